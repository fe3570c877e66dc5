// File-system helpers of the table readers: whole-file reading, entry
// metadata, path joining and the sorted directory listing `matching_files`.
// Paths are UTF-8 (or raw byte) strings used as the operating system sees
// them; relative paths start at the current working directory.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace vantrel {

// Text of the error for a path that holds a NUL byte (nothing is opened then).
inline constexpr const char* NUL_IN_PATH_TEXT = "file name contained an unexpected NUL byte";

// Longest file read whole (sequence.def, code tables, alias files). Real ones
// are below 200 KB; the bound stops an endless device such as /dev/zero, or a
// huge file put in a table's place, from exhausting memory.
inline constexpr std::size_t MAX_TEXT_FILE_BYTES = std::size_t{256} << 20;

// Reads the whole file at `path`; the caller owns the returned text. Failures
// are Io errors with the operating system's text ("... (os error N)"),
// "file is longer than 268435456 bytes" past MAX_TEXT_FILE_BYTES, or
// "stream did not contain valid UTF-8" when `require_utf8` and the content
// is not UTF-8.
Result<std::string> read_whole_file(const std::string& path, bool require_utf8);

// Entry metadata, following symbolic links; false when it cannot be obtained.
bool path_exists(const std::string& path);
bool is_directory(const std::string& path);
bool is_regular_file(const std::string& path);

// `base` joined with the relative `name`: no separator is added after an
// empty base or one that already ends in '/'.
std::string join_path(std::string_view base, std::string_view name);

// The full paths of the entries of `dir` whose names (invalid UTF-8 replaced
// by U+FFFD for the test) begin with `prefix` and end with `suffix`, sorted by
// name byte-wise. The kind of entry is not examined. Listing failures are Io
// errors with the operating system's text.
Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix);

}  // namespace vantrel
