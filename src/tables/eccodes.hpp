// Loading tables from an ecCodes definition tree: one table directory
// (element.table, sequence.def, optional codetables/), or a definitions root
// from which a message's header picks the WMO directory
// bufr/tables/{master}/wmo/{version} (possibly through alias files) and the
// optional local directory bufr/tables/{master}/local/{local}/{centre}/{subcentre}.
#pragma once

#include <string>
#include <vector>

#include "error/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

// Longest chain of alias files followed before giving up (a file naming
// itself or a loop of aliases ends here).
inline constexpr int MAX_ALIAS_HOPS = 32;

// How strictly tables are read. Strict (the default): a record of an
// element.table with another field count than the first record fails the
// load. Lenient: such a record is read when it has the 8 fields used (the
// CREX columns may be missing) and skipped otherwise, with a warning naming
// the file and line appended to `warnings` (when not null).
struct TableLoading {
  bool lenient = false;
  std::vector<std::string>* warnings = nullptr;
};

// Reads one element.table ('|'-separated, '#' comments, 8 used columns) into
// `tables`; later lines replace earlier ones. Open and content failures are
// Parse errors.
Status load_eccodes_element_table(const std::string& path, TableSet& tables, const TableLoading& loading = {});
// Reads one sequence.def ("code" = [ members ] statements) into `tables`.
// An unreadable or non-UTF-8 file is an Io error, bad content a Parse error.
Status load_eccodes_sequence_def(const std::string& path, TableSet& tables);
// Reads every NNNNNN.table file of a codetables directory into `tables`; each
// file replaces any earlier table for its code as a whole.
Status load_eccodes_code_tables(const std::string& dir, TableSet& tables);

// A new table set from one table directory, used as given (no alias resolution).
Result<TableSet> from_eccodes_dir(const std::string& dir);
// A new table set for `message`: the WMO tables of its master version, then the
// local tables of its centre, subcentre and local version when present.
Result<TableSet> from_eccodes_definitions(const std::string& root, const BufrMessage& message,
                                          const TableLoading& loading = {});
// `path` itself when it is a directory; when it is a regular file, the
// directory its content names beside it (followed for at most MAX_ALIAS_HOPS files).
Result<std::string> resolve_eccodes_table_dir(const std::string& path);

}  // namespace vantrel
