#include "tables/bufr4_csv.hpp"

#include <unordered_map>
#include <utility>
#include <vector>

#include "tables/files.hpp"
#include "tables/numbers.hpp"
#include "tables/record_reader.hpp"

namespace vantrel {
namespace {

// Column layout of the WMO files (counted from 0).
constexpr std::size_t TABLE_B_COLUMNS = 8;  // class, class name, FXY, name, unit, scale, reference, width
constexpr std::size_t TABLE_D_COLUMNS = 6;  // category, category name, FXY1, title, subtitle, FXY2
constexpr RecordFormat CSV_FORMAT{',', true, -1};

// The element type that the unit implies (exact, case-sensitive match).
const char* element_type_of(std::string_view unit) {
  if (unit == "Code table") return "code";
  if (unit == "Flag table") return "flags";
  if (unit == "CCITT IA5") return "string";
  return "long";
}

Status load_table_b(const std::string& path, TableSet& tables) {
  VANTREL_ASSIGN(RecordReader reader, RecordReader::open(path, CSV_FORMAT));
  for (;;) {
    VANTREL_ASSIGN(const bool more, reader.next());
    if (!more) return {};
    if (reader.size() < TABLE_B_COLUMNS) continue;
    ElementDefinition element;
    VANTREL_ASSIGN(element.code, parse_code(reader.field(2)));
    element.element_type = element_type_of(reader.field(4));
    element.name = reader.field(3);
    element.unit = reader.field(4);
    VANTREL_TRY(parse_element_numbers(reader.field(5), reader.field(6), reader.field(7), element));
    tables.insert_element(std::move(element));
  }
}

// `groups` is the caller's scratch map (emptied here) so its buckets are reused across files.
Status load_table_d(const std::string& path, TableSet& tables,
                    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>, TableKeyHash>& groups) {
  groups.clear();
  VANTREL_ASSIGN(RecordReader reader, RecordReader::open(path, CSV_FORMAT));
  for (;;) {
    VANTREL_ASSIGN(const bool more, reader.next());
    if (!more) break;
    if (reader.size() < TABLE_D_COLUMNS) continue;
    VANTREL_ASSIGN(const std::uint32_t code, parse_code(reader.field(2)));
    VANTREL_ASSIGN(const std::uint32_t member, parse_code(reader.field(5)));
    groups[code].push_back(member);
  }
  for (auto& [code, members] : groups) tables.insert_sequence(SequenceDefinition{code, std::move(members)});
  groups.clear();
  return {};
}

}  // namespace

Result<TableSet> from_bufr4_45(const std::string& dir) {
  TableSet tables;
  VANTREL_ASSIGN(const std::vector<std::string> b_files, matching_files(dir, "BUFRCREX_TableB_en_", ".csv"));
  for (const std::string& path : b_files) VANTREL_TRY(load_table_b(path, tables));
  VANTREL_ASSIGN(const std::vector<std::string> d_files, matching_files(dir, "BUFR_TableD_en_", ".csv"));
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>, TableKeyHash> groups;
  for (const std::string& path : d_files) VANTREL_TRY(load_table_d(path, tables, groups));
  return tables;
}

}  // namespace vantrel
