// Text helpers shared by error messages and reprs.
#pragma once

#include <string>
#include <string_view>

namespace vantrel {

// Appends `text` (UTF-8) enclosed in double quotes, with backslash escapes for
// double quote, backslash, tab, carriage return, line feed and NUL, and
// \u{hex} (lower-case, no leading zeros) for every other non-printable
// character. Single quotes and printable non-ASCII characters stay as they are.
// Bytes that are not valid UTF-8 are written as \u{fffd}.
void append_quoted(std::string& out, std::string_view text);

// Decodes the UTF-8 sequence that starts at text[i] (i < text.size()): on
// success stores its code point in `cp` and its length in `len`. False for an
// invalid or truncated sequence (overlong forms, surrogates, above U+10FFFF).
bool decode_utf8(std::string_view text, std::size_t i, char32_t& cp, std::size_t& len);

// True when `text` is valid UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool is_valid_utf8(std::string_view text);

// Unicode white space as trimmed by the table readers.
bool is_unicode_space(char32_t c);
// `text` without leading and trailing Unicode white space (text must be UTF-8).
std::string_view trim_unicode(std::string_view text);

// `text` without every leading and trailing double-quote character.
std::string_view strip_quotes(std::string_view text);

}  // namespace vantrel
