// Loading Table B and Table D from the WMO's published BUFR4 CSV files:
// BUFRCREX_TableB_en_*.csv (one file per element class) and
// BUFR_TableD_en_*.csv (one file per sequence category), read in name order.
#pragma once

#include <string>

#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

// A new table set from the CSV files directly inside `dir`. Elements get an
// empty abbreviation and an element type derived from the unit; no code
// tables are read. A sequence takes its members from the last file (in name
// order) that lists it.
Result<TableSet> from_bufr4_45(const std::string& dir);

}  // namespace vantrel
