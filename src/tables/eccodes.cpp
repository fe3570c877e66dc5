#include "tables/eccodes.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "error/text.hpp"
#include "tables/files.hpp"
#include "tables/numbers.hpp"
#include "tables/record_reader.hpp"

namespace vantrel {
namespace {

// Columns of element.table used by the reader; later ones are ignored.
constexpr std::size_t ELEMENT_COLUMNS = 8;

// ---------------------------------------------------------------------------
// Text helpers over UTF-8 that the caller has already validated.

// Length of the white-space character at text[i], or 0 if it is not white space.
std::size_t space_length(std::string_view text, std::size_t i) {
  char32_t c;
  std::size_t len;
  return decode_utf8(text, i, c, len) && is_unicode_space(c) ? len : 0;
}

// Splits `text` into white-space separated tokens, appending views to `tokens`.
void split_tokens(std::string_view text, std::vector<std::string_view>& tokens) {
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len = space_length(text, i);
    if (len != 0) {
      i += len;
      continue;
    }
    const std::size_t start = i;
    while (i < text.size() && (len = space_length(text, i)) == 0) ++i;
    tokens.push_back(text.substr(start, i - start));
  }
}

// Calls `on_line(line)` for each line of `text`, split at line feeds with a
// carriage return before the line feed removed. Stops at the first failure.
template <class OnLine>
Status for_each_line(std::string_view text, OnLine&& on_line) {
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t found = text.find('\n', start);
    const std::size_t stop = found == std::string_view::npos ? text.size() : found;
    std::string_view line = text.substr(start, stop - start);
    if (found != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    VANTREL_TRY(on_line(line));
    start = found == std::string_view::npos ? text.size() : found + 1;
  }
  return {};
}

// ---------------------------------------------------------------------------
// sequence.def statements

// Turns one complete statement into a sequence definition. A statement
// without '=' is dropped.
Status process_statement(std::string_view statement, TableSet& tables) {
  const std::size_t equals = statement.find('=');
  if (equals == std::string_view::npos) return {};
  const std::string_view key = strip_quotes(trim_unicode(statement.substr(0, equals)));
  VANTREL_ASSIGN(const std::uint32_t code, parse_code(key));
  const std::string_view rest = statement.substr(equals + 1);
  const std::size_t open = rest.find('[');
  const std::size_t close = rest.find(']');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return fail(BufrError::parse(std::string(statement)));
  }
  SequenceDefinition sequence;
  sequence.code = code;
  std::string_view list = rest.substr(open + 1, close - open - 1);
  sequence.members.reserve(static_cast<std::size_t>(std::count(list.begin(), list.end(), ',')) + 1);
  for (;;) {
    const std::size_t comma = list.find(',');
    const std::string_view piece = trim_unicode(list.substr(0, comma));
    if (!piece.empty()) {
      VANTREL_ASSIGN(const std::uint32_t member, parse_code(piece));
      sequence.members.push_back(member);
    }
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  tables.insert_sequence(std::move(sequence));
  return {};
}

// ---------------------------------------------------------------------------
// Code-table files

// The name without its last extension, as the file-system path rules take it:
// a name whose only dot is its first character has no extension.
std::string_view file_stem(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return name;
  return name.substr(0, dot);
}

// The last component of a path made by matching_files (dir + '/' + name).
std::string_view file_name(std::string_view path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Reads one code-table file into a new table.
Result<CodeTable> read_code_table(const std::string& path) {
  VANTREL_ASSIGN(const std::string text, read_whole_file(path, MAX_TEXT_FILE_BYTES, true));
  CodeTable table;
  table.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  std::vector<std::string_view> tokens;
  VANTREL_TRY(for_each_line(text, [&](std::string_view line) -> Status {
    line = trim_unicode(line);
    if (line.empty() || line.front() == '#') return {};
    tokens.clear();
    split_tokens(line, tokens);
    if (tokens.size() < 3) return {};
    VANTREL_ASSIGN(const std::uint64_t raw, parse_code_table_key(tokens[0]));
    // The meaning: tokens 3 onward joined with single spaces.
    std::string meaning;
    meaning.reserve(static_cast<std::size_t>(tokens.back().end() - tokens[2].begin()));
    for (std::size_t i = 2; i < tokens.size(); ++i) {
      if (i > 2) meaning.push_back(' ');
      meaning.append(tokens[i]);
    }
    table.insert_or_assign(raw, std::move(meaning));
    return {};
  }));
  return table;
}

// Reads the three entries of a table directory that exist, in order;
// `required` makes element.table and sequence.def mandatory.
Status load_table_dir(const std::string& dir, bool required, TableSet& tables, const TableLoading& loading = {}) {
  const std::string element_path = join_path(dir, "element.table");
  if (required || path_exists(element_path)) VANTREL_TRY(load_eccodes_element_table(element_path, tables, loading));
  const std::string sequence_path = join_path(dir, "sequence.def");
  if (required || path_exists(sequence_path)) VANTREL_TRY(load_eccodes_sequence_def(sequence_path, tables));
  const std::string code_table_dir = join_path(dir, "codetables");
  if (path_exists(code_table_dir)) VANTREL_TRY(load_eccodes_code_tables(code_table_dir, tables));
  return {};
}

// The parent directory of a path as text: "" for a bare name, "/" for
// entries of the root; false when there is none (an empty path or "/").
bool parent_path(std::string_view path, std::string& parent) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path.empty() || path == "/") return false;
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) {
    parent.clear();
  } else {
    std::string_view head = path.substr(0, slash);
    while (head.size() > 1 && head.back() == '/') head.remove_suffix(1);
    parent.assign(head.empty() ? std::string_view("/") : head);
  }
  return true;
}

// The Parse error for a WMO table entry that is neither a directory nor an alias file.
BufrError missing_table_dir(const std::string& path) {
  return BufrError::parse("ecCodes table directory does not exist: " + path);
}

// Appends to `warnings` (when not null) one line saying `what` of the rows of `path` at `lines`.
void report_rows(std::vector<std::string>* warnings, const std::string& path, const std::vector<std::uint64_t>& lines,
                 const char* what) {
  if (warnings == nullptr || lines.empty()) return;
  const bool one = lines.size() == 1;
  std::string text = path + ": " + std::to_string(lines.size()) + (one ? " row " : " rows ") + what + (one ? " (line " : " (lines ");
  for (std::size_t i = 0; i < lines.size() && i < 5; ++i) text += (i ? ", " : "") + std::to_string(lines[i]);
  text += lines.size() > 5 ? ", ...)" : ")";
  warnings->push_back(std::move(text));
}

}  // namespace

Status load_eccodes_element_table(const std::string& path, TableSet& tables, const TableLoading& loading) {
  VANTREL_ASSIGN(RecordReader reader, RecordReader::open(path, RecordFormat{'|', false, '#', !loading.lenient}));
  // Lenient loading: the lines of rows read without their CREX columns, of
  // numbers read without blanks around them, and of rows skipped.
  std::vector<std::uint64_t> shorter, trimmed, skipped;
  for (;;) {
    VANTREL_ASSIGN(const bool more, reader.next());
    if (!more) break;
    if (reader.size() != reader.first_size()) [[unlikely]] {
      (reader.size() < ELEMENT_COLUMNS ? skipped : shorter).push_back(reader.line());
    }
    if (reader.size() < ELEMENT_COLUMNS) continue;
    ElementDefinition element;
    element.abbreviation = reader.field(1);
    element.element_type = reader.field(2);
    element.name = reader.field(3);
    element.unit = reader.field(4);
    auto read_numbers = [&](auto field) -> Status {
      VANTREL_ASSIGN(element.code, parse_code(field(0)));
      return parse_element_numbers(field(5), field(6), field(7), element);
    };
    Status numbers = read_numbers([&](std::size_t i) { return reader.field(i); });
    if (!numbers && loading.lenient) [[unlikely]] {
      // Blanks around a number are a slip of the table's writer: read it without them, or skip the row.
      numbers = read_numbers([&](std::size_t i) { return trim_unicode(reader.field(i)); });
      (numbers ? trimmed : skipped).push_back(reader.line());
      if (!numbers) continue;
    }
    VANTREL_TRY(numbers);
    tables.insert_element(std::move(element));
  }
  report_rows(loading.warnings, path, shorter, "with fewer fields than the first, read from their first 8");
  report_rows(loading.warnings, path, trimmed, "with blanks around their numbers, read without");
  report_rows(loading.warnings, path, skipped, "without the 8 fields used or whose numbers do not read, skipped");
  return {};
}

Status load_eccodes_sequence_def(const std::string& path, TableSet& tables) {
  VANTREL_ASSIGN(const std::string text, read_whole_file(path, MAX_TEXT_FILE_BYTES, true));
  // The statement being assembled; processed (and emptied) as soon as it holds a ']'.
  std::string pending;
  return for_each_line(text, [&](std::string_view line) -> Status {
    line = trim_unicode(line);
    if (line.empty() || line.front() == '#') return {};
    if (!pending.empty()) pending.push_back(' ');
    pending.append(line);
    if (line.find(']') == std::string_view::npos) return {};
    const Status status = process_statement(pending, tables);
    pending.clear();
    return status;
  });
}

Status load_eccodes_code_tables(const std::string& dir, TableSet& tables) {
  VANTREL_ASSIGN(const std::vector<std::string> paths, matching_files(dir, "", ".table"));
  for (const std::string& path : paths) {
    const std::string_view stem = file_stem(file_name(path));
    if (!is_valid_utf8(stem)) continue;
    VANTREL_ASSIGN(const std::uint32_t code, parse_code(stem));
    VANTREL_ASSIGN(CodeTable table, read_code_table(path));
    tables.insert_code_table(code, std::move(table));
  }
  return {};
}

Result<TableSet> from_eccodes_dir(const std::string& dir) {
  TableSet tables;
  VANTREL_TRY(load_table_dir(dir, true, tables));
  return tables;
}

Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message,
                                          const TableLoading& loading) {
  const std::string master = std::to_string(message.master_table_number);
  const std::string version = std::to_string(message.master_tables_version_number);
  const std::string tables_dir = join_path(join_path(join_path(root, "bufr"), "tables"), master);
  VANTREL_ASSIGN(const std::string wmo_dir, resolve_eccodes_table_dir(join_path(join_path(tables_dir, "wmo"), version)));
  TableSet tables;
  VANTREL_TRY(load_table_dir(wmo_dir, true, tables, loading));
  if (message.local_tables_version_number == 0) return tables;

  std::string local = std::to_string(message.local_tables_version_number);
  if (message.master_tables_version_number == 19) local = version + "-" + local;
  std::string local_dir = join_path(join_path(tables_dir, "local"), local);
  local_dir = join_path(local_dir, std::to_string(message.originating_centre));
  local_dir = join_path(local_dir, std::to_string(message.originating_subcentre));
  if (!path_exists(local_dir)) return tables;
  VANTREL_TRY(load_table_dir(local_dir, false, tables, loading));
  return tables;
}

Result<std::string> resolve_eccodes_table_dir(const std::string& path) {
  std::string current = path;
  for (int hops = 0;; ++hops) {
    if (is_directory(current)) return current;
    if (!is_regular_file(current)) return fail(missing_table_dir(current));
    if (hops == MAX_ALIAS_HOPS) {
      return fail(BufrError::parse("ecCodes table alias chain starting at " + path + " is longer than " +
                                   std::to_string(MAX_ALIAS_HOPS) + " links"));
    }
    VANTREL_ASSIGN(const std::string content, read_whole_file(current, MAX_TEXT_FILE_BYTES, true));
    const std::string_view target = trim_unicode(content);
    if (target.empty() || target.find_first_of("/\\") != std::string_view::npos) {
      std::string text = "invalid ecCodes table alias " + current + " -> ";
      append_quoted(text, target);
      return fail(BufrError::parse(std::move(text)));
    }
    std::string parent;
    if (!parent_path(current, parent)) return fail(missing_table_dir(current));
    current = join_path(parent, target);
  }
}

}  // namespace vantrel
