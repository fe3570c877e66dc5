#include "tables/files.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "error/text.hpp"

namespace vantrel {
namespace {

// A path with a NUL byte cannot be handed to the operating system.
bool has_nul(const std::string& path) { return path.find('\0') != std::string::npos; }

// Closes a directory stream on every path out of a scope.
struct DirGuard {
  DIR* dir;  // open stream, or null
  ~DirGuard() {
    if (dir != nullptr) ::closedir(dir);
  }
};

// Metadata of `path`, following symbolic links; false when it cannot be obtained.
bool stat_path(const std::string& path, struct stat& info) {
  return !has_nul(path) && ::stat(path.c_str(), &info) == 0;
}

// `name` with every invalid UTF-8 byte replaced by U+FFFD; valid names (the
// usual case) are returned unchanged.
std::string lossy_utf8(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  std::size_t i = 0;
  while (i < name.size()) {
    char32_t c;
    std::size_t len;
    if (decode_utf8(name, i, c, len)) {
      out.append(name.substr(i, len));
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

}  // namespace

bool path_exists(const std::string& path) {
  struct stat info;
  return stat_path(path, info);
}

bool is_directory(const std::string& path) {
  struct stat info;
  return stat_path(path, info) && S_ISDIR(info.st_mode);
}

bool is_regular_file(const std::string& path) {
  struct stat info;
  return stat_path(path, info) && S_ISREG(info.st_mode);
}

std::string join_path(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

Result<std::vector<std::string>> matching_files(const std::string& dir, std::string_view prefix,
                                                std::string_view suffix) {
  if (has_nul(dir)) return fail(BufrError::io(NUL_IN_PATH_TEXT));
  DirGuard guard{::opendir(dir.c_str())};
  if (guard.dir == nullptr) return fail(BufrError::os(errno));
  std::vector<std::string> names;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(guard.dir);
    if (entry == nullptr) {
      if (errno != 0) return fail(BufrError::os(errno));
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == "..") continue;
    const bool valid = is_valid_utf8(name);
    const std::string converted = valid ? std::string() : lossy_utf8(name);
    const std::string_view text = valid ? name : std::string_view(converted);
    if (text.starts_with(prefix) && text.ends_with(suffix)) names.emplace_back(name);
  }
  std::sort(names.begin(), names.end());
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) paths.push_back(join_path(dir, name));
  return paths;
}

}  // namespace vantrel
