// A plain `main` for the fuzz targets: runs LLVMFuzzerTestOneInput once on
// every file named on the command line, and on every regular file directly
// inside every directory named there (in name order), so a crash input
// reproduces with any compiler and without libFuzzer:
//
//   build/dev/fuzz/replay_message fuzz/crashes/fuzz_message/ crash-1234
//
// Each input is copied into a heap block of exactly its size, so under
// AddressSanitizer a read one byte past the end is reported. Prints the number
// of inputs run; exits 1 when a path cannot be read.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "io/file.hpp"
#include "tables/files.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

// Runs the target on the file at `path`; false (with a message) when it cannot be read.
bool replay_file(const std::string& path) {
  auto contents = vantrel::read_whole_file(path, vantrel::UNBOUNDED_FILE_BYTES, false);
  if (!contents) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), contents.error().message().c_str());
    return false;
  }
  const std::size_t size = contents->size();
  // An exact-size copy: std::string keeps a readable NUL after its data.
  std::unique_ptr<std::uint8_t[]> exact(new std::uint8_t[size == 0 ? 1 : size]);
  std::copy(contents->begin(), contents->end(), exact.get());
  (void)LLVMFuzzerTestOneInput(exact.get(), size);
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
