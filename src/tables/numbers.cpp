#include "tables/numbers.hpp"

#include <string>

#include "error/text.hpp"

namespace vantrel {
namespace {

// Why an integer text was refused; the texts are the reasons users see.
enum class IntFault : std::uint8_t { None, Empty, InvalidDigit, TooLarge, TooSmall };

const char* fault_text(IntFault fault) {
  switch (fault) {
    case IntFault::Empty: return "cannot parse integer from empty string";
    case IntFault::InvalidDigit: return "invalid digit found in string";
    case IntFault::TooLarge: return "number too large to fit in target type";
    case IntFault::TooSmall: return "number too small to fit in target type";
    case IntFault::None: break;
  }
  return "";
}

// Parses an optionally signed decimal integer into `magnitude` and `negative`.
// `max_positive` and `max_negative` are the largest magnitudes allowed for
// each sign (max_negative 0 forbids '-', which then counts as a bad digit).
// Characters are taken left to right and the first fault wins, so
// "99999999999x" as i32 is too large rather than a bad digit.
IntFault parse_magnitude(std::string_view text, std::uint64_t max_positive, std::uint64_t max_negative,
                         std::uint64_t& magnitude, bool& negative) {
  if (text.empty()) return IntFault::Empty;
  std::size_t i = 0;
  negative = false;
  if (text[0] == '+') {
    i = 1;
  } else if (text[0] == '-' && max_negative != 0) {
    negative = true;
    i = 1;
  }
  if (i == text.size()) return IntFault::InvalidDigit;  // a lone sign
  const std::uint64_t limit = negative ? max_negative : max_positive;
  std::uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const unsigned digit = static_cast<unsigned char>(text[i]) - static_cast<unsigned>('0');
    if (digit > 9) return IntFault::InvalidDigit;
    // value * 10 + digit > limit, written without overflow.
    if (value > (limit - digit) / 10) return negative ? IntFault::TooSmall : IntFault::TooLarge;
    value = value * 10 + digit;
  }
  magnitude = value;
  return IntFault::None;
}

// Builds "{what} {quoted text}: {reason}" as a Parse error.
BufrError number_error(const char* what, std::string_view text, IntFault fault) {
  std::string detail = what;
  detail += ' ';
  append_quoted(detail, text);
  detail += ": ";
  detail += fault_text(fault);
  return BufrError::parse(std::move(detail));
}

// Unsigned number up to `max`; '-' is a bad digit.
Result<std::uint64_t> parse_unsigned(const char* what, std::string_view text, std::string_view digits,
                                     std::uint64_t max) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const IntFault fault = parse_magnitude(digits, max, 0, magnitude, negative);
  if (fault != IntFault::None) return fail(number_error(what, text, fault));
  return magnitude;
}

// Signed number from -max-1 to max.
Result<std::int64_t> parse_signed(const char* what, std::string_view text, std::uint64_t max) {
  std::uint64_t magnitude = 0;
  bool negative = false;
  const IntFault fault = parse_magnitude(text, max, max + 1, magnitude, negative);
  if (fault != IntFault::None) return fail(number_error(what, text, fault));
  if (!negative) return static_cast<std::int64_t>(magnitude);
  // -magnitude with magnitude up to 2^63: computed in unsigned arithmetic, then
  // converted (well defined since C++20).
  return static_cast<std::int64_t>(std::uint64_t{0} - magnitude);
}

}  // namespace

Result<std::uint32_t> parse_code(std::string_view text) {
  const std::string_view digits = strip_quotes(trim_unicode(text));
  VANTREL_ASSIGN(const std::uint64_t code, parse_unsigned("bad descriptor code", text, digits, UINT32_MAX));
  return static_cast<std::uint32_t>(code);
}

Result<std::int32_t> parse_i32(std::string_view text) {
  VANTREL_ASSIGN(const std::int64_t value, parse_signed("bad i32", text, INT32_MAX));
  return static_cast<std::int32_t>(value);
}

Result<std::int64_t> parse_i64(std::string_view text) { return parse_signed("bad i64", text, INT64_MAX); }

Result<std::uint16_t> parse_u16(std::string_view text) {
  VANTREL_ASSIGN(const std::uint64_t value, parse_unsigned("bad u16", text, text, UINT16_MAX));
  return static_cast<std::uint16_t>(value);
}

Result<std::uint64_t> parse_code_table_key(std::string_view text) {
  return parse_unsigned("bad code table key", text, text, UINT64_MAX);
}

Status parse_element_numbers(std::string_view scale, std::string_view reference, std::string_view width,
                             ElementDefinition& element) {
  VANTREL_ASSIGN(element.scale, parse_i32(scale));
  VANTREL_ASSIGN(element.reference, parse_i64(reference));
  VANTREL_ASSIGN(element.width, parse_u16(width));
  return {};
}

}  // namespace vantrel
