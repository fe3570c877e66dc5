// Decode plans: the static part of a descriptor walk, compiled once for one
// table set and one unexpanded descriptor list and shared by every message
// (and every thread) that decodes with the same pair.
//
// A plan holds one block per descriptor list it can reach: block 0 is the
// message's own list, the others are Table D sequences. Block entries align
// with the codes of their list one for one, so a replication body is a plain
// sub-span of its block and the walker visits exactly the entries the codes
// would give. Every element entry carries its Table B definition, its code
// table (as a dense array where the keys allow) and its coding with no
// operator in force (width, scale, reference, divisor, missing rule), so the
// walker touches no hash table for a value unless an operator changes the
// coding. Replications, operators and bitmaps stay the walker's business.
//
// Lookup failures are not compile errors: an entry without its Table B or
// Table D definition fails only when the walk reaches it, so a plan decodes
// exactly as a walk over the tables would.
//
// A compiled plan is immutable; a PlanCache hands out shared plans under a
// mutex, so any number of threads may decode with one cache.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "data/coding.hpp"
#include "memory/fork_safe_mutex.hpp"
#include "data/rules.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

// One entry of a block: the descriptor code at that place of its list.
struct PlanNode {
  std::uint32_t code = 0;      // the descriptor code
  std::uint32_t f = 0;         // code_f(code)
  std::uint32_t block = 0;     // F = 3: block of the sequence's members, or NO_BLOCK without a Table D entry
  ResolvedElement element;     // Table B resolution of `code` (any F: a delayed replication reads its factor through it)
  // WMO rules, F = 0 without a Table B entry: an unnamed element (no name,
  // unit or abbreviation; scale and reference 0) to read when 2 06 YYY gives
  // its width. Null otherwise.
  const ResolvedElement* unlisted = nullptr;

  static constexpr std::uint32_t NO_BLOCK = 0xFFFFFFFFu;
};

class DecodePlan {
 public:
  // Compiles the plan of `descriptors` against `tables`, which must outlive
  // it, for decodes under `rules`.
  static std::shared_ptr<const DecodePlan> compile(const TableSet& tables, std::span<const std::uint32_t> descriptors,
                                                   Rules rules);

  // The entries of block `index` (0: the message's list).
  std::span<const PlanNode> block(std::uint32_t index) const { return blocks_[index]; }
  std::span<const PlanNode> root() const { return blocks_[0]; }

  const TableSet* tables() const { return tables_; }
  Rules rules() const { return rules_; }
  // Whether any list holds an operator that defines or uses a data present
  // bitmap (2 22, 23, 24, 25, 32, 36 or 37 YYY): without one, the walk need
  // not keep the history of elements that bitmaps refer back to.
  bool uses_bitmaps() const { return uses_bitmaps_; }

  // The columns of the latest regular matrix decoded with this plan: a hint
  // for the next reservation (messages of one list mostly have the same
  // columns, whatever their subsets), never a bound. Safe from any thread.
  std::uint32_t columns_hint() const { return columns_hint_.load(std::memory_order_relaxed); }
  void note_columns(std::uint32_t columns) const { columns_hint_.store(columns, std::memory_order_relaxed); }
  const std::vector<std::uint32_t>& descriptors() const { return descriptors_; }

 private:
  DecodePlan() = default;

  const TableSet* tables_ = nullptr;                         // the tables it was compiled against
  Rules rules_ = Rules::Strict;                              // the rule set it decodes under (a cache key)
  bool uses_bitmaps_ = false;
  mutable std::atomic<std::uint32_t> columns_hint_{0};        // see columns_hint
  std::vector<std::uint32_t> descriptors_;                   // the compiled list (the cache key)
  std::vector<std::vector<PlanNode>> blocks_;                // block 0: the message's list
  std::vector<std::vector<const std::string*>> meanings_;    // dense code tables the entries point into
  std::deque<ElementDefinition> unlisted_definitions_;       // WMO rules: the unnamed elements' definitions
  std::deque<ResolvedElement> unlisted_;                     // and their entries (PlanNode::unlisted)
};

// A bounded cache of plans for one table set. It must not outlive that table
// set; a lookup with another table set compiles a plan without caching it.
class PlanCache {
 public:
  static constexpr std::size_t CAPACITY = 16;  // distinct (descriptor list, rule set) pairs kept

  explicit PlanCache(const TableSet& tables) noexcept : tables_(&tables) {}
  PlanCache(const PlanCache&) = delete;
  PlanCache& operator=(const PlanCache&) = delete;

  // The plan of `descriptors` against `tables` under `rules`, compiled on first use.
  std::shared_ptr<const DecodePlan> plan(const TableSet& tables, std::span<const std::uint32_t> descriptors,
                                         Rules rules);

 private:
  const TableSet* tables_;                                 // the table set served
  ForkSafeMutex mutex_;                                    // guards entries_
  std::vector<std::shared_ptr<const DecodePlan>> entries_; // most recently used first
};

}  // namespace vantrel
