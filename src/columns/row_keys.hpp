// Keys of decoded rows: the names values go by, their rank within a subset,
// their unit and the meaning of code and flag table values. These are the
// rules every table and frame of the package shows; Python formats them.
//
// A value's key is its element's abbreviation (`airTemperature`), else its
// descriptor as six digits (`012101`, also for operators); associated fields
// are `associatedField`. Within one subset, in walk order, the first value of
// a key has rank 1, the next rank 2 and so on; the ranked key is the bare key
// for rank 1 and `#n#key` after. A label is one (key, rank) pair.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "columns/column_sink.hpp"
#include "data/decode.hpp"
#include "memory/pod_vector.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

inline constexpr std::string_view ASSOCIATED_FIELD_KEY = "associatedField";

// What a row's values are.
enum class ValueKind : std::uint8_t { Number, Text, Code, Flag, Operator, Associated };

// The key of `code` with `tables` (see above).
std::string key_of(const TableSet& tables, std::uint32_t code);
// `key` for rank 1, `#rank#key` above.
std::string ranked_key(std::string_view key, std::uint32_t rank);

// Attributes (WMO rules): a value that qualifies another (see AttributeLink)
// has the key of the value it qualifies, ATTRIBUTE_SEPARATOR and its name,
// and that value's rank: "#2#airTemperature->percentConfidence". The name of
// a quality value is its own key; that of a marker value tells what it is.
inline constexpr std::string_view ATTRIBUTE_SEPARATOR = "->";
// "substitutedValue", "firstOrderStatisticalValue", "differenceStatisticalValue",
// "replacedRetainedValue"; empty for Quality.
std::string_view attribute_name(AttributeKind kind);
// What the values of element or operator `code` are.
ValueKind value_kind_of(const TableSet& tables, std::uint32_t code);

// A code table value's meaning, or the meanings of the set bits of a flag
// table value (bit 1 is the most significant of the element's width; an
// empty list when no bit with a meaning is set).
using Meaning = std::variant<std::string, std::vector<std::string>>;
// The meaning of `raw` for element `code`; nullopt for elements of neither
// table, a code without an entry, and a flag value with every bit set (missing).
std::optional<Meaning> meaning_of(const TableSet& tables, std::uint32_t code, std::uint64_t raw);

// The rows of one decoded message within a set of columns.
struct MessageRows {
  std::size_t first = 0;   // its first row
  std::size_t count = 0;   // its rows
  const TableSet* tables = nullptr;
  bool slot_major = false;  // compressed data: every subset of a slot, then the next slot
  std::span<const AttributeLink> attributes;  // what its attributes qualify, in walk order
};

struct RowKeyOptions {
  bool units = false;     // fill RowKeys::unit
  bool meanings = false;  // fill RowKeys::meaning (the columns must hold raw)
};

// The keys of a set of rows, dictionary-encoded. Ids count from 0 in the
// order rows first use them.
struct RowKeys {
  PodVector<std::uint32_t> label;   // per row: its (key, rank) pair
  PodVector<std::uint32_t> unit;    // per row: its unit (units only)
  PodVector<std::int32_t> meaning;  // per row: its meaning, -1 for none (meanings only)
  std::vector<std::string> keys;    // key names by id
  std::vector<std::uint32_t> label_key;   // per label: its key id
  std::vector<std::uint32_t> label_rank;  // per label: its rank
  std::vector<ValueKind> label_kind;      // per label: the kind of the row that first had it
  std::vector<std::uint8_t> label_integer;  // per label: 1 when the tables make its values whole (scale <= 0)
  std::vector<std::string> units;         // unit names by id ("" for rows without a unit)
  std::vector<Meaning> meanings;          // meanings by id
};

// Keys, ranks, units and meanings of the rows of `messages` (in any order;
// rows of no message get label 0xFFFFFFFF). Non-compressed rows must come in
// walk order, subset after subset; compressed rows slot after slot. Uses up
// to `threads` threads; the result does not depend on their number.
RowKeys key_rows(const RecordColumns& columns, std::span<const MessageRows> messages, RowKeyOptions options,
                 unsigned threads = 1);

}  // namespace vantrel
