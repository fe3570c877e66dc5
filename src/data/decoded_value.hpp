// DecodedValue: one decoded quantity of section 4, as the plain C++ record
// (the Python class of the same name is built by the Python value sink and
// shares the repr rules below).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel {

// Names of the records that are not Table B elements.
inline constexpr std::string_view ASSOCIATED_FIELD_NAME = "associatedField";
inline constexpr std::string_view OPERATOR_NAME = "operator";

struct DecodedValue {
  std::uint32_t descriptor = 0;            // element code, operator code or 999999
  std::string name;                        // element name, "associatedField" or "operator"
  std::optional<double> raw_value;         // scaled value, position code, or none when missing
  std::optional<std::uint64_t> raw;        // the unsigned number read, before reference and scale
  std::optional<std::string> raw_text;     // text of a character value
  std::optional<std::string> raw_meaning;  // code-table meaning of raw
};

// Appends the shortest decimal that reads back as `value`: plain notation with
// a decimal point (287.15, 0.0, 17.0) unless 0 < |value| < 1e-4 or
// |value| >= 1e16, which use a lower-case exponent without plus sign or
// leading zeros (1e-5, 1.5e16). Non-finite values print as inf, -inf, NaN.
void append_float_repr(std::string& out, double value);

// Appends "DecodedValue(<descriptor:06>, X)" where X is the quoted text, else
// the quoted meaning, else Some(<float>) or None.
void append_value_repr(std::string& out, std::uint32_t descriptor, std::optional<std::string_view> text,
                       std::optional<std::string_view> meaning, std::optional<double> value);

}  // namespace vantrel
