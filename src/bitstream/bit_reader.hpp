// BitReader: reads section 4 data, a stream of bit fields packed without
// regard to byte boundaries, most significant bit first. Bit i of the stream
// is bit (7 - i % 8) of byte i / 8.
//
// The walkers use the inline `try_read` fast path, which reads up to 64 bits
// with one or two loads and never touches a byte outside the data; failures
// are turned into their error by the out-of-line `read_failure`, so building
// the message text costs nothing on the hot path.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "error/error.hpp"

namespace vantrel {

class BitReader {
 public:
  // `data` is borrowed and must outlive the reader.
  explicit BitReader(std::span<const std::uint8_t> data)
      : data_(data.data()), length_(data.size()), bit_length_(static_cast<std::uint64_t>(data.size()) * 8u) {}

  std::uint64_t position() const { return position_; }
  std::uint64_t bit_length() const { return bit_length_; }

  // Reads the next `width` bits (0 to 64) into `out` and advances. Returns
  // false, with the position unchanged, when width > 64 or fewer than width
  // bits remain; `read_failure(width)` then gives the error.
  bool try_read(std::uint32_t width, std::uint64_t& out) {
    if (width == 0) {
      out = 0;
      return true;
    }
    // position <= bit_length always holds, so the subtraction cannot wrap.
    if (width > 64 || width > bit_length_ - position_) [[unlikely]] return false;
    const std::uint64_t byte = position_ >> 3;
    const unsigned offset = static_cast<unsigned>(position_ & 7u);
    std::uint64_t window = load_window(byte);
    std::uint64_t bits = window << offset;  // the 64 - offset bits from the position on, left-aligned
    if (offset + width > 64) {
      // Only when width > 56 and offset > 0: the ninth byte holds the rest,
      // and it exists because position + width <= bit_length.
      bits |= static_cast<std::uint64_t>(data_[byte + 8]) >> (8u - offset);
    }
    out = bits >> (64u - width);
    position_ += width;
    return true;
  }

  // Moves past the next `bits` bits; false, with the position unchanged, when
  // fewer remain.
  bool try_skip(std::uint64_t bits) {
    if (bits > bit_length_ - position_) return false;
    position_ += bits;
    return true;
  }
  // Moves to bit `position` of the data; false, with the position unchanged,
  // when the data is shorter.
  bool try_seek(std::uint64_t position) {
    if (position > bit_length_) return false;
    position_ = position;
    return true;
  }

  // `read_u64` with its error: "cannot read {width} bits into u64" or
  // "not enough bits while reading section 4 at bit {position} for width
  // {width} ({available} bits available)".
  Result<std::uint64_t> read_u64(std::uint32_t width) {
    std::uint64_t value;
    if (!try_read(width, value)) [[unlikely]] return fail(read_failure(width));
    return value;
  }

  // Reads `bit_count` bits as ceil(bit_count / 8) bytes into `out` (replacing
  // its contents); a final partial byte holds its bits at the top. On failure
  // the position stands after the last whole byte that could be read and the
  // error names the byte (width 8) or the final bits (width bit_count % 8)
  // that did not fit.
  Status read_bytes(std::uint32_t bit_count, std::vector<std::uint8_t>& out);

  // The error for a failed `try_read(width)` at the current position.
  [[gnu::cold, gnu::noinline]] BufrError read_failure(std::uint32_t width) const;

 private:
  // Eight bytes from `byte` on as a big-endian number, zero-filled past the end.
  std::uint64_t load_window(std::uint64_t byte) const {
    unsigned char buffer[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const std::uint64_t available = length_ - byte;  // >= 1: at least one bit remains at byte
    std::memcpy(buffer, data_ + byte, available >= 8 ? 8 : static_cast<std::size_t>(available));
    std::uint64_t value;
    std::memcpy(&value, buffer, 8);
    return __builtin_bswap64(value);
  }

  const std::uint8_t* data_;     // borrowed section 4 data
  std::uint64_t length_;         // bytes in data_
  std::uint64_t bit_length_;     // length_ * 8
  std::uint64_t position_ = 0;   // next bit to read
};

}  // namespace vantrel
