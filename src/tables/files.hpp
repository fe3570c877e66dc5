// File-system helpers of the table readers: entry metadata, path joining and
// the sorted directory listing `matching_files` (files are read through
// io/file.hpp).
// Paths are UTF-8 (or raw byte) strings used as the operating system sees
// them; relative paths start at the current working directory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "io/file.hpp"

namespace vantrel {

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
