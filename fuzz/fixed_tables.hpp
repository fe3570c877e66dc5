// The fixed table set of the decoding fuzz targets: the highest WMO version
// of the Debian ecCodes definitions (empty when they are not installed), loaded
// once per process.
#pragma once

#include <dirent.h>

#include <cstdlib>
#include <string>

#include "tables/eccodes.hpp"

namespace {

const char* const WMO_DIR = "/usr/share/eccodes/definitions/bufr/tables/0/wmo";

// The highest numbered table directory under WMO_DIR, or empty.
inline std::string latest_wmo_dir() {
  DIR* dir = ::opendir(WMO_DIR);
  if (dir == nullptr) return {};
  long best = -1;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long version = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && version > best) best = version;
  }
  ::closedir(dir);
  return best < 0 ? std::string() : std::string(WMO_DIR) + "/" + std::to_string(best);
}

inline const vantrel::TableSet& fixed_tables() {
  static const vantrel::TableSet tables = [] {
    const std::string dir = latest_wmo_dir();
    if (dir.empty()) return vantrel::TableSet();
    auto loaded = vantrel::from_eccodes_dir(dir);
    return loaded ? std::move(*loaded) : vantrel::TableSet();
  }();
  return tables;
}

}  // namespace
