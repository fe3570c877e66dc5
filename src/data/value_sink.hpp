// The value sink: the walkers hand every decoded value to a ValueSink, which
// decides what to build from it (Python DecodedValue objects, native records,
// typed columns...). Walking and building stay apart, so a new kind of output
// plugs in without touching the walkers.
//
// Every value event says where its record belongs:
//   subset: the 0-based subset index;
//   slot:   the 0-based index of the record within its subset's flat list of
//           records (all values of subset 1, then of subset 2...). In
//           compressed data this is the column index; in non-compressed data
//           the count of records the subset produced before it. Two subsets
//           whose walks take the same path through replications and bitmaps
//           give the same element occurrence the same slot.
// Values are final: scaled values, meanings, texts and character position
// codes are what the record holds; a sink computes nothing from them.
//
// Order of events for one message:
//   non-compressed data: for each subset, begin_subset(s) and then one value
//     event per record in walk order (slots 0, 1, 2...);
//   compressed data: for each column, begin_column(info), its value events,
//     end_column(). A column holds one record per subset. When info.uniform is
//     set, every subset holds the same record and exactly one value event
//     (with subset 0) stands for all of them; otherwise one event per subset
//     follows, in subset order. Character element columns are never uniform:
//     their position codes differ from subset to subset.
//   then end_message().
// Pointers handed to a sink point into the TableSet (definitions, meanings)
// and stay valid for the whole decode; string views are valid only during the
// call. A handler returns false to stop the decode; the walker then returns
// BufrError::sink_aborted() and the sink keeps whatever it needs to report.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/decoded_value.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

enum class ColumnKind : std::uint8_t {
  Numeric,          // numeric element values (numeric events)
  Character,        // character element values (character events)
  AssociatedField,  // associated-field values (associated_field events)
  Operator,         // operator records (operator_record events)
  OperatorText,     // 2 05 YYY texts (operator_text events)
};

struct ColumnInfo {
  ColumnKind kind = ColumnKind::Numeric;            // which events follow
  const ElementDefinition* element = nullptr;       // Numeric, Character: the element the records name
  std::uint32_t code = 0;                           // descriptor of the records (element, operator or 999999)
  std::uint32_t slot = 0;                           // the column's slot (its index among the columns)
  bool uniform = false;                             // one event stands for every subset
};

// Where a record belongs (see above).
struct Place {
  std::uint32_t subset = 0;  // 0-based subset index (0 for the one event of a uniform column)
  std::uint32_t slot = 0;    // index of the record within its subset
};

class ValueSink {
 public:
  virtual ~ValueSink() = default;

  // Non-compressed data: subset `index` (0-based) starts.
  virtual bool begin_subset(std::uint32_t index) {
    (void)index;
    return true;
  }
  // Compressed data: a column starts / ends.
  virtual bool begin_column(const ColumnInfo& column) {
    (void)column;
    return true;
  }
  virtual bool end_column() { return true; }
  // The walk finished without error.
  virtual bool end_message() { return true; }

  // A numeric element: `element` gives code and name (for a 2 25 255 value the
  // referenced element, although it was read with other parameters); `raw` the
  // number read; `value` the scaled value or none when missing; `meaning` the
  // code-table entry of raw or null.
  virtual bool numeric(Place place, const ElementDefinition& element, std::uint64_t raw,
                       const std::optional<double>& value, const std::string* meaning) = 0;
  // A character element: its position code and text (none when missing).
  virtual bool character(Place place, const ElementDefinition& element, double position_code,
                         std::optional<std::string_view> text) = 0;
  // An associated field of the bits `raw`.
  virtual bool associated_field(Place place, std::uint64_t raw) = 0;
  // An operator record (raw 0, value 0.0) of the operator `code`.
  virtual bool operator_record(Place place, std::uint32_t code) = 0;
  // The text that a 2 05 YYY operator (`code`) signifies; none when missing.
  virtual bool operator_text(Place place, std::uint32_t code, std::optional<std::string_view> text) = 0;
};

// Collects native DecodedValue records in the flat subset order (all values of
// subset 1, then of subset 2...), flattening compressed columns. For tests,
// fuzzing and C++ callers; the Python layer has its own sink.
class CollectingSink final : public ValueSink {
 public:
  // `subsets`: the message's number of subsets (needed to flatten columns).
  explicit CollectingSink(std::uint32_t subsets) : subsets_(subsets) {}

  bool begin_column(const ColumnInfo& column) override;
  bool end_column() override;
  bool end_message() override;
  bool numeric(Place place, const ElementDefinition& element, std::uint64_t raw, const std::optional<double>& value,
               const std::string* meaning) override;
  bool character(Place place, const ElementDefinition& element, double position_code,
                 std::optional<std::string_view> text) override;
  bool associated_field(Place place, std::uint64_t raw) override;
  bool operator_record(Place place, std::uint32_t code) override;
  bool operator_text(Place place, std::uint32_t code, std::optional<std::string_view> text) override;

  // The records; valid after end_message (compressed) or at any time (non-compressed).
  std::vector<DecodedValue>& values() { return values_; }
  // The slot of each record of values(), in the same order.
  const std::vector<std::uint32_t>& slots() const { return slots_; }

 private:
  void add(Place place, DecodedValue value);

  std::uint32_t subsets_;                          // subsets of the message
  std::vector<DecodedValue> values_;               // output in subset order
  std::vector<std::uint32_t> slots_;               // slot of each value
  bool in_column_ = false;                         // inside begin_column .. end_column
  bool uniform_ = false;                           // the open column is uniform
  std::vector<std::vector<DecodedValue>> columns_; // compressed: one full column each
};

// A compressed column of numeric values filled after the walk: R0 and NBINC
// were read; with NBINC 0 every cell is `constant`, else the increments start
// at bit `position`.
struct DeferredColumn {
  std::uint64_t position = 0;  // of the first increment in section 4
  std::uint64_t r0 = 0;
  __int128 reference = 0;      // the column's coding
  double divisor = 1.0;
  std::size_t first = 0;       // the column's first cell in the matrix
  std::uint8_t nbinc = 0;      // 0 to 63
  bool r0_missing = false;
  bool missing_check = true;
  double constant = 0.0;       // NBINC 0: the value of every cell (NaN when missing)
};

}  // namespace vantrel
