// A read-only map of a whole file that survives the file shrinking under it.
//
// A page of a file map that the file no longer covers (the writer truncated or
// rotated it while it was read) raises SIGBUS when touched, which kills the
// process. Every MappedFile is listed where the process's SIGBUS handler finds
// it: a fault inside one replaces the vanished page by a page of zeros, notes
// its offset and lets the read go on. The owner asks `lost_from()` after each
// read and turns a loss into an error naming the file and the offset; the
// zeros read in between are never used as data. Faults anywhere else go to
// the handler that was there before (or kill the process as they would have).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

#include "error/error.hpp"
#include "io/file.hpp"

namespace vantrel {

class MappedFile {
 public:
  MappedFile() = default;
  MappedFile(MappedFile&& other) noexcept
      : file_(std::move(other.file_)), data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)), slot_(std::exchange(other.slot_, -1)) {}
  MappedFile& operator=(MappedFile&& other) noexcept {
    if (this != &other) {
      release();
      file_ = std::move(other.file_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      slot_ = std::exchange(other.slot_, -1);
    }
    return *this;
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { release(); }

  // Maps the whole of the open file `fd` as it is now; the map keeps its own
  // descriptor of the file and `fd` may be closed. Fails with the operating system's error (an empty
  // file, a pipe or a device cannot be mapped), or when MAX_MAPS maps are open.
  static Result<MappedFile> map(int fd);

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }

  // Where the map stopped holding the file's bytes, if it has: the file's
  // size now when it is shorter than the map (the bytes of the last page past
  // it read as zeros without a fault), or the offset of the first page read
  // after it had left the file.
  std::optional<std::uint64_t> lost_from() const;

  // Maps open at once in a process (each takes one slot of a fixed table the
  // signal handler reads without locks).
  static constexpr int MAX_MAPS = 4096;

 private:
  void release() noexcept;

  FileDescriptor file_;  // asked for the file's size
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  int slot_ = -1;  // the map's entry in the handler's table, or -1
};

}  // namespace vantrel
