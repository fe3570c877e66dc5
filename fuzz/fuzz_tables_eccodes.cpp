// Fuzz target: the ecCodes table readers. The first input byte chooses the
// reader (element.table, sequence.def or one code-table file); the rest is
// the file's content.
#include <sys/stat.h>

#include "table_file.hpp"
#include "tables/eccodes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t selector = data[0] % 3;
  ++data;
  --size;
  vantrel::TableSet tables;
  switch (selector) {
    case 0:
      (void)vantrel::load_eccodes_element_table(vantrel::fuzz::write_file("element.table", data, size), tables);
      break;
    case 1:
      (void)vantrel::load_eccodes_sequence_def(vantrel::fuzz::write_file("sequence.def", data, size), tables);
      break;
    default: {
      const std::string dir = vantrel::fuzz::scratch_dir() + "/codetables";
      ::mkdir(dir.c_str(), 0700);
      vantrel::fuzz::write_file("codetables/1003.table", data, size);
      (void)vantrel::load_eccodes_code_tables(dir, tables);
      break;
    }
  }
  // Whatever was loaded must answer lookups consistently.
  if (const vantrel::ElementDefinition* element = tables.element(1001)) {
    if (element->code != 1001) __builtin_trap();
  }
  return 0;
}
