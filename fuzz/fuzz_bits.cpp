// Fuzz target: the bit reader against a plain bit-by-bit model. The input is
// a count k (first byte, at most 32), k widths (one byte each, taken modulo
// 65), then the data. The widths are read in turn, over and over, until one
// fails; every value must equal the model's, a failure must happen exactly
// when fewer bits remain, and the data ends where the input ends, so a read
// one byte past the data is out of bounds (under ASan, and at the guard page
// the replay programs put after every input).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "bitstream/bit_reader.hpp"

namespace {

// Bit `i` of the data, most significant bit of each byte first.
unsigned model_bit(std::span<const std::uint8_t> data, std::uint64_t i) {
  return (data[i / 8] >> (7 - i % 8)) & 1u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t count = input[0] % 33;
  if (size < 1 + count) return 0;
  std::vector<std::uint32_t> widths;
  for (std::size_t i = 0; i < count; ++i) widths.push_back(input[1 + i] % 65);
  // The data ends where the input ends.
  const std::size_t length = size - 1 - count;
  const std::span<const std::uint8_t> data(input + 1 + count, length);
  vantrel::BitReader reader(data);
  const std::uint64_t total = static_cast<std::uint64_t>(length) * 8u;
  std::uint64_t position = 0;
  if (widths.empty()) return 0;
  for (std::size_t step = 0; step < 4 * total + 64; ++step) {
    const std::uint32_t width = widths[step % widths.size()];
    std::uint64_t value = 0;
    const bool read = reader.try_read(width, value);
    if (read != (width <= total - position)) std::abort();
    if (!read) {
      if (reader.position() != position) std::abort();
      break;
    }
    std::uint64_t expected = 0;
    for (std::uint32_t b = 0; b < width; ++b) expected = (expected << 1) | model_bit(data, position + b);
    if (value != expected) std::abort();
    position += width;
    if (reader.position() != position) std::abort();
  }
  // Whole bytes from an unaligned position, as character data reads them.
  vantrel::BitReader bytes_reader(data);
  std::uint64_t skip = 0;
  if (total > 0) (void)bytes_reader.try_read(static_cast<std::uint32_t>(input[0] % 8 % (total + 1)), skip);
  std::vector<std::uint8_t> out;
  const std::uint64_t start = bytes_reader.position();
  const std::uint32_t want = static_cast<std::uint32_t>((total - start) / 8 * 8);
  if (!bytes_reader.read_bytes(want, out)) std::abort();
  for (std::uint64_t i = 0; i < want; ++i) {
    if (((out[i / 8] >> (7 - i % 8)) & 1u) != model_bit(data, start + i)) std::abort();
  }
  return 0;
}
