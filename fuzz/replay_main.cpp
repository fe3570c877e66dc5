// A plain `main` for the fuzz targets: runs LLVMFuzzerTestOneInput once on
// every file named on the command line, and on every regular file directly
// inside every directory named there (in name order), so a crash input
// reproduces with any compiler and without libFuzzer:
//
//   build/dev/fuzz/replay_message fuzz/crashes/fuzz_message/ crash-1234
//
// Each input is copied so that it ends exactly at an unreadable page: a read
// one byte past the end crashes, with or without AddressSanitizer. Prints the number
// of inputs run; exits 1 when a path cannot be read.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "tables/files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// `size` bytes that end exactly at an unreadable page: a read one byte past
// them crashes, with or without a sanitizer (std::string, and a heap block
// rounded up by the allocator, keep readable bytes after the data).
class GuardedBlock {
 public:
  explicit GuardedBlock(std::size_t size) {
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t readable = (size + page - 1) / page * page;
    length_ = readable + page;
    void* base = ::mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    base_ = static_cast<std::uint8_t*>(base);
    if (::mprotect(base_ + readable, page, PROT_NONE) != 0) return;
    data_ = base_ + (readable - size);
  }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;
  ~GuardedBlock() {
    if (base_ != nullptr) ::munmap(base_, length_);
  }
  bool ok() const { return data_ != nullptr; }
  std::uint8_t* data() const { return data_; }

 private:
  std::uint8_t* base_ = nullptr;  // the mapping
  std::size_t length_ = 0;        // its size: the data's pages and the guard page
  std::uint8_t* data_ = nullptr;  // the data, ending at the guard page
};

// Runs the target on the file at `path`; false (with a message) when it cannot be read.
bool replay_file(const std::string& path) {
  auto contents = vantrel::read_whole_file(path, vantrel::UNBOUNDED_FILE_BYTES, false);
  if (!contents) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), contents.error().message().c_str());
    return false;
  }
  const std::size_t size = contents->size();
  GuardedBlock block(size);
  if (!block.ok()) {
    std::fprintf(stderr, "%s: cannot map %zu bytes\n", path.c_str(), size);
    return false;
  }
  std::copy(contents->begin(), contents->end(), block.data());
  (void)LLVMFuzzerTestOneInput(block.data(), size);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bool ok = true;
  std::size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string path = argv[i];
    std::vector<std::string> files;
    if (vantrel::is_directory(path)) {
      auto listed = vantrel::matching_files(path, "", "");
      if (!listed) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), listed.error().message().c_str());
        ok = false;
        continue;
      }
      for (std::string& file : *listed) {
        if (vantrel::is_regular_file(file)) files.push_back(std::move(file));
      }
    } else {
      files.push_back(path);
    }
    for (const std::string& file : files) {
      if (replay_file(file)) {
        ++runs;
      } else {
        ok = false;
      }
    }
  }
  std::printf("replayed %zu inputs\n", runs);
  return ok ? 0 : 1;
}
