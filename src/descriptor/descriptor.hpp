// Descriptor codes: every descriptor travels as one unsigned 32-bit number
// F * 100000 + X * 1000 + Y (element 0 12 001 is 12001, sequence 3 01 001 is
// 301001). These helpers split a code and print it in the six-digit form used
// by every message and repr that names a descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "error/error.hpp"

namespace vantrel {

// The pseudo-code that marks an associated-field value.
inline constexpr std::uint32_t ASSOCIATED_FIELD_CODE = 999999;

// F, X and Y of a code before any narrowing: F is 0 to 42949, X 0 to 99, Y 0 to 999.
constexpr std::uint32_t code_f(std::uint32_t code) { return code / 100000; }
constexpr std::uint32_t code_x(std::uint32_t code) { return (code % 100000) / 1000; }
constexpr std::uint32_t code_y(std::uint32_t code) { return code % 1000; }
// X and Y together; class 31 elements are those with 31000 <= xy <= 31999.
constexpr std::uint32_t code_xy(std::uint32_t code) { return code % 100000; }
constexpr bool is_class31(std::uint32_t code) { return code_xy(code) / 1000 == 31; }

// A part narrowed to 8 bits, as stored in 8-bit fields.
constexpr std::uint8_t narrow8(std::uint32_t part) { return static_cast<std::uint8_t>(part & 0xFFu); }

constexpr std::uint32_t make_code(std::uint32_t f, std::uint32_t x, std::uint32_t y) {
  return f * 100000u + x * 1000u + y;
}

// Appends the code in decimal, zero-padded on the left to at least six digits.
inline void append_code(std::string& out, std::uint32_t code) {
  char digits[10];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + code % 10);
    code /= 10;
  } while (code != 0);
  for (int pad = n; pad < 6; ++pad) out.push_back('0');
  while (n > 0) out.push_back(digits[--n]);
}

inline std::string format_code(std::uint32_t code) {
  std::string out;
  append_code(out, code);
  return out;
}

// What a replication descriptor F = 1 at position `i` of a list of `n` codes
// replicates: the X codes after it, after its factor when it is delayed (Y = 0).
struct ReplicationSpan {
  bool delayed = false;    // Y is 0: the factor follows the descriptor
  std::size_t first = 0;   // index of the first replicated code
  std::size_t count = 0;   // X, the number of replicated codes
  std::size_t next = 0;    // index just after the replication
};

// The span of the replication `code` at `i` (i < n). X = 0, or fewer than X
// codes after it, is UnsupportedReplication; a delayed replication without
// room for its factor and X codes is IncompleteDelayedReplication.
inline Result<ReplicationSpan> replication_span(std::uint32_t code, std::size_t i, std::size_t n) {
  const std::size_t x = code_x(code);
  // x >= n - i is i + x >= n without overflow: fewer than x codes follow.
  if (x == 0 || x >= n - i) return fail(BufrError::unsupported_replication(code));
  ReplicationSpan span;
  span.count = x;
  if (narrow8(code_y(code)) != 0) {
    span.first = i + 1;
  } else {
    if (x + 1 >= n - i) return fail(BufrError::incomplete_delayed_replication(code));
    span.delayed = true;
    span.first = i + 2;
  }
  span.next = span.first + x;
  return span;
}

}  // namespace vantrel
