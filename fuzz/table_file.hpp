// Fuzz helper: the table readers take paths, so each input is written to a
// file in a private directory on a memory file system before it is read.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace vantrel::fuzz {

// The private directory, created once per process.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    char pattern[] = "/dev/shm/vantrel-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    return std::string(made);
  }();
  return dir;
}

// Writes `size` bytes to `name` inside the scratch directory (replacing it)
// and returns the file's full path.
inline std::string write_file(const std::string& name, const std::uint8_t* data, std::size_t size) {
  const std::string path = scratch_dir() + "/" + name;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  ::close(fd);
  return path;
}

}  // namespace vantrel::fuzz
