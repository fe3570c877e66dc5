// Fuzz target: the WMO BUFR4 CSV reader. The first input byte chooses a
// Table B or a Table D file; the rest is its content.
#include <sys/stat.h>

#include "table_file.hpp"
#include "tables/bufr4_csv.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool table_d = (data[0] & 1) != 0;
  const std::string dir = vantrel::fuzz::scratch_dir() + "/csv";
  ::mkdir(dir.c_str(), 0700);
  // Only one of the two files exists at a time.
  ::unlink((dir + "/BUFRCREX_TableB_en_00.csv").c_str());
  ::unlink((dir + "/BUFR_TableD_en_00.csv").c_str());
  vantrel::fuzz::write_file(table_d ? "csv/BUFR_TableD_en_00.csv" : "csv/BUFRCREX_TableB_en_00.csv", data + 1, size - 1);
  (void)vantrel::from_bufr4_45(dir);
  return 0;
}
