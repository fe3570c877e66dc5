// Text-to-number routines shared by every table reader. Each failure is a
// Parse error whose detail names what was being read, the offending text in
// double quotes and the reason, for example
//   bad u16 "abc": invalid digit found in string
#pragma once

#include <cstdint>
#include <string_view>

#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

// A descriptor code: white space and then double-quote characters are removed
// from both ends, the rest must be an unsigned 32-bit decimal number with an
// optional leading '+'. Detail on failure: "bad descriptor code {text}: {reason}"
// with the text as passed in.
Result<std::uint32_t> parse_code(std::string_view text);

// Signed 32-bit, signed 64-bit and unsigned 16-bit decimal numbers taken
// exactly as written (no trimming): an optional sign ('-' only for signed
// types), then digits. Details: "bad i32 ...", "bad i64 ...", "bad u16 ...".
Result<std::int32_t> parse_i32(std::string_view text);
Result<std::int64_t> parse_i64(std::string_view text);
Result<std::uint16_t> parse_u16(std::string_view text);

// Scale, reference value and width of a Table B entry, converted in that order
// (the first failure is returned) into `element`.
Status parse_element_numbers(std::string_view scale, std::string_view reference, std::string_view width,
                             ElementDefinition& element);

// The raw-value key of a code-table line: an unsigned 64-bit decimal number
// with an optional '+'. Detail: "bad code table key {text}: {reason}".
Result<std::uint64_t> parse_code_table_key(std::string_view text);

}  // namespace vantrel
