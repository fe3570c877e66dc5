#include "bitstream/bit_reader.hpp"

#include <string>

namespace vantrel {

BufrError BitReader::read_failure(std::uint32_t width) const {
  if (width > 64) return BufrError::parse("cannot read " + std::to_string(width) + " bits into u64");
  return BufrError::parse("not enough bits while reading section 4 at bit " + std::to_string(position_) +
                          " for width " + std::to_string(width) + " (" + std::to_string(bit_length_) +
                          " bits available)");
}

Status BitReader::read_bytes(std::uint32_t bit_count, std::vector<std::uint8_t>& out) {
  out.clear();
  const std::uint32_t whole = bit_count / 8;
  const std::uint32_t rest = bit_count % 8;
  const std::uint64_t remaining = bit_length_ - position_;
  if (remaining < bit_count) {
    // Fail where a byte-by-byte read would: at the first byte (or the final
    // partial byte) that does not fit, after consuming the bytes before it.
    const std::uint64_t readable = remaining / 8 < whole ? remaining / 8 : whole;
    position_ += readable * 8;
    return fail(read_failure(readable < whole ? 8 : rest));
  }
  out.resize(whole + (rest != 0 ? 1 : 0));
  for (std::uint32_t i = 0; i < whole; ++i) {
    std::uint64_t byte = 0;
    (void)try_read(8, byte);  // cannot fail: checked above
    out[i] = static_cast<std::uint8_t>(byte);
  }
  if (rest != 0) {
    std::uint64_t bits = 0;
    (void)try_read(rest, bits);
    out[whole] = static_cast<std::uint8_t>(bits << (8 - rest));
  }
  return {};
}

}  // namespace vantrel
