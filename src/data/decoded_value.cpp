#include "data/decoded_value.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "descriptor/descriptor.hpp"
#include "error/text.hpp"

namespace vantrel {

void append_float_repr(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::signbit(value)) out.push_back('-');
  const double magnitude = std::fabs(value);
  if (std::isinf(magnitude)) {
    out += "inf";
    return;
  }
  if (magnitude == 0.0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form: d[.ddd]e<sign><exp>.
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific);
  const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  const std::size_t e = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e)) {
    if (c != '.') digits.push_back(c);
  }
  const int exponent = std::atoi(std::string(text.substr(e + 1)).c_str());  // value = d.ddd * 10^exponent

  if (exponent < -4 || exponent >= 16) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out += std::to_string(exponent);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return;
  }
  const std::size_t integer_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= integer_digits) {
    out += digits;
    out.append(integer_digits - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, integer_digits);
    out.push_back('.');
    out.append(digits, integer_digits);
  }
}

void append_value_repr(std::string& out, std::uint32_t descriptor, std::optional<std::string_view> text,
                       std::optional<std::string_view> meaning, std::optional<double> value) {
  out += "DecodedValue(";
  append_code(out, descriptor);
  out += ", ";
  if (text) {
    append_quoted(out, *text);
  } else if (meaning) {
    append_quoted(out, *meaning);
  } else if (value) {
    out += "Some(";
    append_float_repr(out, *value);
    out.push_back(')');
  } else {
    out += "None";
  }
  out.push_back(')');
}

}  // namespace vantrel
