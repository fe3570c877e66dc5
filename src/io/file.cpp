#include "io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "error/text.hpp"

namespace vantrel {

Result<FileDescriptor> FileDescriptor::open_read(const std::string& path) {
  if (path.find('\0') != std::string::npos) return fail(BufrError::io(NUL_IN_PATH_TEXT));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(BufrError::os(errno));
  return FileDescriptor(fd);
}

Result<std::size_t> FileDescriptor::read_some(void* out, std::size_t size) const {
  for (;;) {
    const ssize_t got = ::read(fd_, out, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) return fail(BufrError::os(errno));
  }
}

void FileDescriptor::close() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Result<std::string> read_whole_file(const std::string& path, std::size_t max_bytes, bool require_utf8) {
  VANTREL_ASSIGN(const FileDescriptor file, FileDescriptor::open_read(path));
  const auto too_long = [max_bytes] {
    return fail(BufrError::io("file is longer than " + std::to_string(max_bytes) + " bytes"));
  };
  // A regular file's size sizes the buffer; one spare byte lets the read that
  // finds the end of the file go straight into it. Other files (pipes,
  // devices) start at one chunk and double.
  constexpr std::size_t FIRST_CHUNK = 65536;
  std::size_t capacity = FIRST_CHUNK;
  struct stat info;
  if (::fstat(file.get(), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    const auto size = static_cast<std::uint64_t>(info.st_size);
    if (size > max_bytes) return too_long();
    capacity = static_cast<std::size_t>(size) + 1;
  }
  std::string text(capacity, '\0');
  std::size_t used = 0;
  for (;;) {
    if (used == text.size()) {
      // The file may grow, or not be a regular file at all: the bound holds
      // while reading, and one byte past it proves the file too long.
      if (used > max_bytes) return too_long();
      const std::size_t room = max_bytes - used;  // bytes still allowed, plus the one that proves too long
      text.resize(used + (room < used ? room + 1 : used));
    }
    VANTREL_ASSIGN(const std::size_t got, file.read_some(text.data() + used, text.size() - used));
    if (got == 0) break;
    used += got;
  }
  if (used > max_bytes) return too_long();
  text.resize(used);
  if (require_utf8 && !is_valid_utf8(text)) return fail(BufrError::io("stream did not contain valid UTF-8"));
  return text;
}

}  // namespace vantrel
