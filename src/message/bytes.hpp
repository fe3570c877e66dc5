// Reading the framing bytes of messages: bounds, big-endian lengths and the
// "BUFR" marker, shared by the parser and both framers.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

namespace vantrel::message_bytes {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint8_t MARKER[4] = {'B', 'U', 'F', 'R'};
inline constexpr std::uint8_t TERMINATOR[4] = {'7', '7', '7', '7'};

// True when `count` bytes starting at `offset` lie inside `size` bytes; an
// offset so large that offset + count overflows counts as outside.
constexpr bool fits(std::uint64_t size, std::uint64_t offset, std::uint64_t count) {
  return offset <= size && count <= size - offset;
}

// The 24-bit big-endian number at `offset` (callers check that 3 bytes fit).
inline std::uint32_t be24(Bytes buffer, std::uint64_t offset) {
  return (std::uint32_t{buffer[offset]} << 16) | (std::uint32_t{buffer[offset + 1]} << 8) | buffer[offset + 2];
}

// Whether the 4 bytes at `offset` (which must fit) are `text`.
inline bool has(Bytes buffer, std::uint64_t offset, const std::uint8_t (&text)[4]) {
  return std::memcmp(buffer.data() + offset, text, 4) == 0;
}

// Offset of the next "BUFR" at or after `from`, or buffer.size().
inline std::uint64_t find_marker(Bytes buffer, std::uint64_t from) {
  const std::uint64_t n = buffer.size();
  while (fits(n, from, 4)) {
    const void* hit = std::memchr(buffer.data() + from, 'B', n - from - 3);
    if (hit == nullptr) break;
    const auto p = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - buffer.data());
    if (has(buffer, p, MARKER)) return p;
    from = p + 1;
  }
  return n;
}

}  // namespace vantrel::message_bytes
