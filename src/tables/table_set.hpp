// The in-memory BUFR tables: Table B elements, Table D sequences and code
// tables, keyed by descriptor code. A table set is filled by one loader call and
// never changed afterwards, so decoders hold plain pointers into it for the
// length of a call (node-based maps keep entries in place).
#pragma once

#include <sys/random.h>

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "error/error.hpp"

namespace vantrel {

// One Table B entry.
struct ElementDefinition {
  std::uint32_t code = 0;    // the element's descriptor code
  std::string abbreviation;  // short key name
  std::string element_type;  // kind of value as the table gives it
  std::string name;          // element name
  std::string unit;          // unit name as it stands in the table
  std::int32_t scale = 0;    // Table B scale
  std::int64_t reference = 0;  // Table B reference value
  std::uint16_t width = 0;   // data width in bits

  // Character data is exactly the unit "CCITT IA5".
  bool is_character() const { return unit == "CCITT IA5"; }

  // Whether the value is a code table entry, a set of flag table bits, or a
  // quantity: the unit names its table ("CODE TABLE", "Flag table", "Common
  // CODE TABLE C-1", "Code table defined by originating/generating centre"...),
  // in any case and anywhere in the unit.
  enum class TableKind : std::uint8_t { None, Code, Flag };
  TableKind table_kind() const {
    for (std::size_t i = 0; i + 10 <= unit.size(); ++i) {
      std::string_view rest = std::string_view(unit).substr(i, 10);
      if (equal_ignoring_case(rest, "code table")) return TableKind::Code;
      if (equal_ignoring_case(rest, "flag table")) return TableKind::Flag;
    }
    return TableKind::None;
  }
  bool is_code_or_flag_table() const { return table_kind() != TableKind::None; }

 private:
  static bool equal_ignoring_case(std::string_view a, std::string_view b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
      const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
      if (x != b[i]) return false;
    }
    return true;
  }
};

// One Table D entry.
struct SequenceDefinition {
  std::uint32_t code = 0;              // the sequence's descriptor code
  std::vector<std::uint32_t> members;  // member codes in table order
};

// A random value chosen once per process (the kernel's random source, or the
// address-space layout and the clock when that is unavailable).
inline std::uint64_t random_hash_seed() noexcept {
  std::uint64_t seed = 0;
  if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof seed)) {
    seed = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&seed)) ^
           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  }
  return seed;
}
inline const std::uint64_t TABLE_HASH_SEED = random_hash_seed();

// Hash of the codes and raw values that key the table maps. The keys come from
// table files: with the identity hash a file of keys that are all multiples of
// the bucket count puts every entry in one bucket and makes loading quadratic.
// Seeding a strong 64-bit mix per process keeps the buckets unpredictable.
// The seed is copied into each map's hasher when the map is made: a table set
// built by one extension module and probed by the other (each has its own
// copy of TABLE_HASH_SEED) then still hashes every key the same way.
struct TableKeyHash {
  std::uint64_t seed = TABLE_HASH_SEED;  // fixed for the life of the map

  std::size_t operator()(std::uint64_t key) const noexcept {
    std::uint64_t x = key + seed;  // unsigned: wraps
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return static_cast<std::size_t>(x ^ (x >> 31));
  }
};

using CodeTable = std::unordered_map<std::uint64_t, std::string, TableKeyHash>;  // raw value -> meaning

// Bounds of one expansion. Nested fixed replications can ask for 255^64
// codes from a few hundred bytes, so the output is capped far above any real
// table (the largest WMO sequence, 3 40 007, expands to 17707 codes), and so is
// the number of codes walked, which catches replicated groups that append
// nothing (operators, empty sequences).
inline constexpr std::size_t MAX_EXPANSION_CODES = 10'000'000;
inline constexpr std::uint64_t MAX_EXPANSION_STEPS = 100'000'000;
// Deepest level an expansion may start (the input list is level 0).
inline constexpr int MAX_EXPANSION_LEVEL = 64;

// State shared by one whole expansion (every level, repetition and sequence).
struct ExpansionState {
  // ecCodes' expandedDescriptors instead: a delayed replication stays, before
  // its factor, as 1 XX 000 with XX the codes its group expanded to.
  bool as_eccodes = false;
  std::uint8_t associated_width = 0;  // associated-field width in force; only zero or not matters
  std::size_t produced = 0;           // codes appended so far, bounded by MAX_EXPANSION_CODES
  std::uint64_t steps = 0;            // codes walked so far, bounded by MAX_EXPANSION_STEPS
};

class TableSet {
 public:
  const ElementDefinition* element(std::uint32_t code) const {
    auto it = elements_.find(code);
    return it == elements_.end() ? nullptr : &it->second;
  }
  const SequenceDefinition* sequence(std::uint32_t code) const {
    auto it = sequences_.find(code);
    return it == sequences_.end() ? nullptr : &it->second;
  }
  // The whole code table of an element, or null; lets decoders hoist the first probe.
  const CodeTable* code_table(std::uint32_t code) const {
    auto it = code_tables_.find(code);
    return it == code_tables_.end() ? nullptr : &it->second;
  }
  const std::string* code_meaning(std::uint32_t code, std::uint64_t raw) const {
    const CodeTable* table = code_table(code);
    if (table == nullptr) return nullptr;
    auto it = table->find(raw);
    return it == table->end() ? nullptr : &it->second;
  }

  std::size_t element_count() const { return elements_.size(); }
  // Calls f(definition) for every element, in no particular order.
  template <class F>
  void for_each_element(F&& f) const {
    for (const auto& entry : elements_) f(entry.second);
  }
  std::size_t sequence_count() const { return sequences_.size(); }

  // Readers only: a later insertion under the same code replaces the earlier entry.
  void insert_element(ElementDefinition element) {
    const std::uint32_t code = element.code;
    elements_.insert_or_assign(code, std::move(element));
  }
  void insert_sequence(SequenceDefinition sequence) {
    const std::uint32_t code = sequence.code;
    sequences_.insert_or_assign(code, std::move(sequence));
  }
  void insert_code_table(std::uint32_t code, CodeTable table) {
    code_tables_.insert_or_assign(code, std::move(table));
  }

  // Expands `codes` at `level` into `output` through Table D; returns the
  // number of codes appended. Bounded in depth and in output size.
  Result<std::size_t> expand_into(std::span<const std::uint32_t> codes, std::vector<std::uint32_t>& output,
                                  ExpansionState& state, int level) const;

 private:
  std::unordered_map<std::uint32_t, ElementDefinition, TableKeyHash> elements_;
  std::unordered_map<std::uint32_t, SequenceDefinition, TableKeyHash> sequences_;
  std::unordered_map<std::uint32_t, CodeTable, TableKeyHash> code_tables_;
};

}  // namespace vantrel
