#include "data/plan.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>

#include "data/decode.hpp"
#include "descriptor/descriptor.hpp"

namespace vantrel {
namespace {

// A code table becomes a dense array when its largest key stays below this
// bound and the array is at most DENSE_SLACK times larger than the table.
constexpr std::uint64_t DENSE_MAX_KEY = 1u << 16;
constexpr std::uint64_t DENSE_SLACK = 8;

// Compiles the blocks of one plan breadth first, so each sequence gets its
// block at the shallowest level where the walk can meet it.
class Compiler {
 public:
  Compiler(const TableSet& tables, Rules rules, std::vector<std::vector<PlanNode>>& blocks,
           std::vector<std::vector<const std::string*>>& meanings, std::deque<ElementDefinition>& unlisted_definitions,
           std::deque<ResolvedElement>& unlisted)
      : tables_(tables),
        rules_(rules),
        blocks_(blocks),
        meanings_(meanings),
        unlisted_definitions_(unlisted_definitions),
        unlisted_(unlisted) {}

  void run(std::span<const std::uint32_t> descriptors) {
    blocks_.emplace_back();
    pending_.push_back(Pending{0, descriptors, 0});
    for (std::size_t next = 0; next < pending_.size(); ++next) {
      const Pending work = pending_[next];
      // The walk enters a block of level L at depth L or deeper, and fails on
      // entering any list below MAX_WALK_DEPTH, so deeper blocks stay empty.
      if (work.level > MAX_WALK_DEPTH) continue;
      std::vector<PlanNode> nodes(work.codes.size());
      for (std::size_t i = 0; i < work.codes.size(); ++i) nodes[i] = node(work.codes[i], work.level);
      blocks_[work.block] = std::move(nodes);
    }
  }

 private:
  struct Pending {
    std::uint32_t block;                   // block to fill
    std::span<const std::uint32_t> codes;  // its list (the message's or a Table D entry's)
    int level;                             // sequence nesting below the message's list
  };

  PlanNode node(std::uint32_t code, int level) {
    PlanNode node;
    node.code = code;
    node.f = code_f(code);
    node.element = resolve(code);
    if (node.f == 0 && node.element.definition == nullptr && rules_ == Rules::Wmo) node.unlisted = unlisted(code);
    if (node.f == 3) {
      const SequenceDefinition* sequence = tables_.sequence(code);
      if (sequence == nullptr) {
        node.block = PlanNode::NO_BLOCK;
      } else if (auto it = sequence_blocks_.find(code); it != sequence_blocks_.end()) {
        node.block = it->second;
      } else {
        node.block = static_cast<std::uint32_t>(blocks_.size());
        blocks_.emplace_back();
        sequence_blocks_.emplace(code, node.block);
        pending_.push_back(Pending{node.block, sequence->members, level + 1});
      }
    }
    return node;
  }

  ResolvedElement resolve(std::uint32_t code) {
    ResolvedElement resolved;
    resolved.class31 = is_class31(code);
    resolved.definition = tables_.element(code);
    if (resolved.definition == nullptr) return resolved;
    const ElementDefinition& definition = *resolved.definition;
    resolved.character = definition.is_character();
    // Under the WMO rules 2 01, 2 02 and 2 07 leave code and flag tables alone.
    resolved.takes_changes =
        !resolved.character && (rules_ == Rules::Strict || !definition.is_code_or_flag_table());
    resolved.meanings = meanings(code);
    // With no operator in force the coding cannot fail (no 2 07 YYY product).
    resolved.coding = *effective_coding(resolved, BaseCoding{definition.width, definition.reference}, ValueCodingState{});
    return resolved;
  }

  // The unnamed element read in the place of `code` (one per code and plan).
  const ResolvedElement* unlisted(std::uint32_t code) {
    if (auto it = unlisted_codes_.find(code); it != unlisted_codes_.end()) return it->second;
    ElementDefinition& definition = unlisted_definitions_.emplace_back();
    definition.code = code;
    ResolvedElement& resolved = unlisted_.emplace_back();
    resolved.definition = &definition;
    resolved.class31 = is_class31(code);
    resolved.takes_changes = true;  // a quantity of no table: a marker that refers to it reads it as one
    unlisted_codes_.emplace(code, &resolved);
    return &resolved;
  }

  MeaningLookup meanings(std::uint32_t code) {
    MeaningLookup lookup;
    lookup.table = tables_.code_table(code);
    if (lookup.table == nullptr || lookup.table->empty()) return lookup;
    if (auto it = dense_.find(lookup.table); it != dense_.end()) {
      lookup.dense = meanings_[it->second].data();
      lookup.dense_size = meanings_[it->second].size();
      return lookup;
    }
    std::uint64_t largest = 0;
    for (const auto& [raw, meaning] : *lookup.table) largest = std::max(largest, raw);
    if (largest >= DENSE_MAX_KEY || largest + 1 > DENSE_SLACK * lookup.table->size()) return lookup;
    std::vector<const std::string*> array(largest + 1, nullptr);
    for (const auto& [raw, meaning] : *lookup.table) array[raw] = &meaning;
    dense_.emplace(lookup.table, meanings_.size());
    meanings_.push_back(std::move(array));
    lookup.dense = meanings_.back().data();
    lookup.dense_size = meanings_.back().size();
    return lookup;
  }

  const TableSet& tables_;
  const Rules rules_;
  std::vector<std::vector<PlanNode>>& blocks_;
  std::vector<std::vector<const std::string*>>& meanings_;
  std::deque<ElementDefinition>& unlisted_definitions_;
  std::deque<ResolvedElement>& unlisted_;
  std::unordered_map<std::uint32_t, const ResolvedElement*> unlisted_codes_;  // code -> entry of unlisted_
  std::vector<Pending> pending_;                                   // blocks to fill, in level order
  std::unordered_map<std::uint32_t, std::uint32_t> sequence_blocks_;  // sequence code -> block
  std::unordered_map<const CodeTable*, std::size_t> dense_;        // code table -> index in meanings_
};

}  // namespace

std::shared_ptr<const DecodePlan> DecodePlan::compile(const TableSet& tables,
                                                      std::span<const std::uint32_t> descriptors, Rules rules) {
  std::shared_ptr<DecodePlan> plan(new DecodePlan());
  plan->tables_ = &tables;
  plan->rules_ = rules;
  plan->descriptors_.assign(descriptors.begin(), descriptors.end());
  Compiler(tables, rules, plan->blocks_, plan->meanings_, plan->unlisted_definitions_, plan->unlisted_)
      .run(plan->descriptors_);
  for (const std::vector<PlanNode>& block : plan->blocks_) {
    for (const PlanNode& node : block) {
      if (node.f != 2) continue;
      switch (code_x(node.code)) {
        case 22: case 23: case 24: case 25: case 32: case 36: case 37:
          plan->uses_bitmaps_ = true;
          break;
        default:
          break;
      }
    }
  }
  return plan;
}

std::shared_ptr<const DecodePlan> PlanCache::plan(const TableSet& tables,
                                                  std::span<const std::uint32_t> descriptors, Rules rules) {
  if (&tables != tables_) return DecodePlan::compile(tables, descriptors, rules);
  auto same = [&](const std::shared_ptr<const DecodePlan>& entry) {
    return entry->rules() == rules && std::ranges::equal(entry->descriptors(), descriptors);
  };
  {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(), same);
    if (it != entries_.end()) {
      std::rotate(entries_.begin(), it, it + 1);
      return entries_.front();
    }
  }
  // Compiled outside the lock; a thread that lost the race uses its own plan.
  std::shared_ptr<const DecodePlan> compiled = DecodePlan::compile(tables, descriptors, rules);
  std::lock_guard lock(mutex_);
  auto it = std::find_if(entries_.begin(), entries_.end(), same);
  if (it != entries_.end()) return *it;
  if (entries_.size() == CAPACITY) entries_.pop_back();
  entries_.insert(entries_.begin(), compiled);
  return compiled;
}

}  // namespace vantrel
