// Files as the core reads them: the one owner of an open file descriptor and
// the one whole-file reader. Paths are UTF-8 (or raw byte) strings used as
// the operating system sees them; relative paths start at the current
// working directory.
#pragma once

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "error/error.hpp"

namespace vantrel {

// Text of the error for a path that holds a NUL byte (nothing is opened then).
inline constexpr const char* NUL_IN_PATH_TEXT = "file name contained an unexpected NUL byte";

// Longest table file read whole (sequence.def, code tables, alias files).
// Real ones are below 200 KB; the bound stops an endless device such as
// /dev/zero, or a huge file put in a table's place, from exhausting memory.
inline constexpr std::size_t MAX_TEXT_FILE_BYTES = std::size_t{256} << 20;
// No bound but memory (message files are read whole, whatever their size).
inline constexpr std::size_t UNBOUNDED_FILE_BYTES = std::numeric_limits<std::size_t>::max();

// An open file descriptor, closed when its owner goes away. Move-only.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  // Opens `path` read-only (close-on-exec). Failures are Io errors: the
  // operating system's text "... (os error N)", or NUL_IN_PATH_TEXT.
  static Result<FileDescriptor> open_read(const std::string& path);

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }

  // Reads up to `size` bytes into `out`, retrying after a signal; 0 at the
  // end of the file. A failure is an Io error with the operating system's text.
  Result<std::size_t> read_some(void* out, std::size_t size) const;

 private:
  void close() noexcept;

  int fd_ = -1;  // open descriptor, or -1
};

// Reads the whole file at `path`; the caller owns the returned bytes. Failures
// are the Io errors of FileDescriptor, "file is longer than <max_bytes> bytes"
// past `max_bytes`, or "stream did not contain valid UTF-8" when
// `require_utf8` and the content is not UTF-8.
Result<std::string> read_whole_file(const std::string& path, std::size_t max_bytes, bool require_utf8);

}  // namespace vantrel
