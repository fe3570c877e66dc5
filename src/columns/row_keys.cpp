#include "columns/row_keys.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <unordered_map>

#include "columns/parallel.hpp"
#include "descriptor/descriptor.hpp"

namespace vantrel {

std::string key_of(const TableSet& tables, std::uint32_t code) {
  if (code == ASSOCIATED_FIELD_CODE) return std::string(ASSOCIATED_FIELD_KEY);
  if (code < 100000) {
    const ElementDefinition* element = tables.element(code);
    if (element != nullptr && !element->abbreviation.empty()) return element->abbreviation;
  }
  std::array<char, 16> digits{};
  std::snprintf(digits.data(), digits.size(), "%06u", static_cast<unsigned>(code));
  return digits.data();
}

std::string ranked_key(std::string_view key, std::uint32_t rank) {
  std::string out;
  if (rank != 1) {
    out.push_back('#');
    out.append(std::to_string(rank));
    out.push_back('#');
  }
  out.append(key);
  return out;
}

ValueKind value_kind_of(const TableSet& tables, std::uint32_t code) {
  if (code == ASSOCIATED_FIELD_CODE) return ValueKind::Associated;
  if (code >= 100000) return ValueKind::Operator;
  const ElementDefinition* element = tables.element(code);
  if (element == nullptr) return ValueKind::Number;
  switch (element->table_kind()) {
    case ElementDefinition::TableKind::Code:
      return ValueKind::Code;
    case ElementDefinition::TableKind::Flag:
      return ValueKind::Flag;
    case ElementDefinition::TableKind::None:
      break;
  }
  return element->is_character() ? ValueKind::Text : ValueKind::Number;
}

std::optional<Meaning> meaning_of(const TableSet& tables, std::uint32_t code, std::uint64_t raw) {
  switch (value_kind_of(tables, code)) {
    case ValueKind::Code: {
      const std::string* meaning = tables.code_meaning(code, raw);
      if (meaning == nullptr) return std::nullopt;
      return Meaning(*meaning);
    }
    case ValueKind::Flag: {
      const unsigned width = tables.element(code)->width;
      const std::uint64_t all = width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
      if (raw == all) return std::nullopt;  // every bit set: missing
      std::vector<std::string> set;
      for (unsigned bit = 1; bit <= width && bit <= 64; ++bit) {
        if (((raw >> (width - bit)) & 1) == 0) continue;
        if (const std::string* meaning = tables.code_meaning(code, bit)) set.push_back(*meaning);
      }
      return Meaning(std::move(set));
    }
    default:
      return std::nullopt;
  }
}

std::string_view attribute_name(AttributeKind kind) {
  switch (kind) {
    case AttributeKind::Quality: return {};
    case AttributeKind::Substituted: return "substitutedValue";
    case AttributeKind::FirstOrder: return "firstOrderStatisticalValue";
    case AttributeKind::Difference: return "differenceStatisticalValue";
    case AttributeKind::ReplacedRetained: return "replacedRetainedValue";
  }
  return {};
}

namespace {

constexpr std::uint32_t NONE = 0xFFFFFFFFu;
constexpr std::uint32_t DENSE_CODES = 64000;  // element codes (F = 0) are below this

// What a code is with one table set: its key, unit and kind.
struct CodeKeys {
  std::uint32_t key = NONE;
  std::uint32_t unit = 0;
  ValueKind kind = ValueKind::Number;
  bool integer = false;  // an element whose values the tables make whole numbers
};

class Encoder {
 public:
  Encoder(RecordColumns const& columns, RowKeys& out, RowKeyOptions options)
      : columns_(columns), out_(out), options_(options) {
    out_.units.emplace_back();  // id 0: no unit
  }

  // A run of rows with one label and unit, filled later (on several threads).
  struct Fill {
    std::size_t first, stop;
    std::uint32_t label, unit;
  };
  std::vector<Fill> fills;

  void message(const MessageRows& rows) {
    if (rows.slot_major) return slot_major(rows);
    Codes& codes = codes_of(*rows.tables);
    const std::uint32_t* subset = columns_.subset.data();
    const std::uint32_t* descriptor = columns_.descriptor.data();
    const std::uint32_t* slot = columns_.slot.data();
    const bool attributes = !rows.attributes.empty();
    std::size_t link = 0;  // the next attribute link
    std::uint32_t last_subset = NONE;
    for (std::size_t i = rows.first, end = rows.first + rows.count; i < end; ++i) {
      if (subset[i] != last_subset) {
        ++generation_;
        last_subset = subset[i];
        if (attributes) start_attributes();
      }
      const CodeKeys& keys = codes.at(descriptor[i], *rows.tables, *this);
      std::uint32_t label = NONE;
      if (attributes) {
        const std::span<const AttributeLink> links = rows.attributes;
        const std::uint32_t at = subset[i] - 1;
        auto before = [&](const AttributeLink& l) { return l.subset < at || (l.subset == at && l.slot < slot[i]); };
        while (link < links.size() && before(links[link])) ++link;
        if (link < links.size() && links[link].subset == at && links[link].slot == slot[i]) {
          label = attribute_label(links[link], keys);
        }
      }
      if (label == NONE) label = label_of(keys.key, next_rank(keys.key), keys);
      if (attributes) note_slot(slot[i], label);
      out_.label[i] = label;
      if (options_.units) out_.unit[i] = keys.unit;
      if (options_.meanings) out_.meaning[i] = meaning_id(*rows.tables, descriptor[i], keys, i);
    }
  }

 private:
  // Compressed data: every subset of a slot, then the next slot; the ranks
  // count slots, and every row of a slot has its label.
  void slot_major(const MessageRows& rows) {
    Codes& codes = codes_of(*rows.tables);
    const std::uint32_t* slot = columns_.slot.data();
    const std::uint32_t* descriptor = columns_.descriptor.data();
    ++generation_;
    const std::span<const AttributeLink> links = rows.attributes;
    if (!links.empty()) start_attributes();
    std::size_t link = 0;    // the next attribute link
    std::size_t width = 0;  // rows of the last slot: most likely those of the next
    for (std::size_t i = rows.first, end = rows.first + rows.count; i < end;) {
      const std::uint32_t at_slot = slot[i];
      std::size_t stop = i + width;
      if (width == 0 || stop > end || slot[stop - 1] != at_slot || (stop < end && slot[stop] == at_slot)) {
        stop = i + 1;
        while (stop < end && slot[stop] == at_slot) ++stop;
      }
      const CodeKeys& keys = codes.at(descriptor[i], *rows.tables, *this);
      std::uint32_t label = NONE;
      if (!links.empty()) {
        while (link < links.size() && links[link].slot < at_slot) ++link;
        if (link < links.size() && links[link].slot == at_slot) label = attribute_label(links[link], keys);
      }
      if (label == NONE) label = label_of(keys.key, next_rank(keys.key), keys);
      if (!links.empty()) note_slot(at_slot, label);
      fills.push_back({i, stop, label, keys.unit});
      if (options_.meanings) {
        for (std::size_t j = i; j < stop; ++j) out_.meaning[j] = meaning_id(*rows.tables, descriptor[j], keys, j);
      }
      width = stop - i;
      i = stop;
    }
  }

  // ---- attributes -------------------------------------------------------
  // An attribute's key is its element's ranked key, "->" and the attribute's
  // name: the key of a quality value (percentConfidence), or what a marker
  // value is (substitutedValue...); it has its element's rank. A second
  // attribute of one name qualifies the first ("X->percentConfidence->percentConfidence").

  // A subset (a compressed message) starts: no slot has a label yet.
  void start_attributes() {
    std::fill(slot_labels_.begin(), slot_labels_.end(), NONE);
    chains_.clear();
  }
  void note_slot(std::uint32_t slot, std::uint32_t label) {
    if (slot >= slot_labels_.size()) slot_labels_.resize(std::size_t{slot} + 1, NONE);
    slot_labels_[slot] = label;
  }

  // The label of the attribute `link` says the row (of `keys`) is; NONE when
  // the row it qualifies is not among the rows (a key filter left it out).
  std::uint32_t attribute_label(const AttributeLink& link, const CodeKeys& keys) {
    const std::uint32_t name =
        link.kind == AttributeKind::Quality ? keys.key : key_id(std::string(attribute_name(link.kind)));
    std::uint32_t target = link.target;
    for (auto it = chains_.find(chain_key(target, name)); it != chains_.end();
         it = chains_.find(chain_key(target, name))) {
      target = it->second;
    }
    if (target >= slot_labels_.size() || slot_labels_[target] == NONE) return NONE;
    chains_[chain_key(target, name)] = link.slot;
    const std::uint32_t qualified = slot_labels_[target];
    const std::uint32_t element_key = out_.label_key[qualified];
    auto [it, added] = attribute_keys_.try_emplace(chain_key(element_key, name), NONE);
    if (added) it->second = key_id(out_.keys[element_key] + std::string(ATTRIBUTE_SEPARATOR) + out_.keys[name]);
    return label_of(it->second, out_.label_rank[qualified], keys);
  }
  static std::uint64_t chain_key(std::uint32_t a, std::uint32_t b) { return (std::uint64_t{a} << 32) | b; }

  struct Codes {
    std::vector<CodeKeys> dense = std::vector<CodeKeys>(DENSE_CODES);
    std::unordered_map<std::uint32_t, CodeKeys> other;

    const CodeKeys& at(std::uint32_t code, const TableSet& tables, Encoder& encoder) {
      CodeKeys& entry = code < DENSE_CODES ? dense[code] : other[code];
      if (entry.key == NONE) entry = encoder.describe(tables, code);
      return entry;
    }
  };

  CodeKeys describe(const TableSet& tables, std::uint32_t code) {
    CodeKeys entry;
    entry.key = key_id(key_of(tables, code));
    entry.kind = value_kind_of(tables, code);
    const ElementDefinition* element = code < 100000 ? tables.element(code) : nullptr;
    entry.integer = element != nullptr && element->scale <= 0 && entry.kind != ValueKind::Text;
    if (options_.units && element != nullptr) entry.unit = unit_id(element->unit);
    return entry;
  }

  Codes& codes_of(const TableSet& tables) {
    auto& found = codes_[&tables];
    if (!found) found = std::make_unique<Codes>();
    return *found;
  }

  std::uint32_t key_id(const std::string& name) {
    auto [it, added] = key_ids_.try_emplace(name, static_cast<std::uint32_t>(out_.keys.size()));
    if (added) {
      out_.keys.push_back(name);
      counts_.push_back({0, 0});
      labels_.emplace_back();
    }
    return it->second;
  }

  std::uint32_t unit_id(const std::string& name) {
    auto [it, added] = unit_ids_.try_emplace(name, static_cast<std::uint32_t>(out_.units.size()));
    if (added) out_.units.push_back(name);
    return it->second;
  }

  // The rank of the next value of `key` in the current subset.
  std::uint32_t next_rank(std::uint32_t key) {
    Count& count = counts_[key];
    if (count.generation != generation_) count = {generation_, 0};
    return ++count.rank;
  }

  std::uint32_t label_of(std::uint32_t key, std::uint32_t rank, const CodeKeys& keys) {
    std::vector<std::uint32_t>& by_rank = labels_[key];
    if (by_rank.size() < rank) by_rank.resize(rank, NONE);
    std::uint32_t& id = by_rank[rank - 1];
    if (id == NONE) {
      id = static_cast<std::uint32_t>(out_.label_key.size());
      out_.label_key.push_back(key);
      out_.label_rank.push_back(rank);
      out_.label_kind.push_back(keys.kind);
      out_.label_integer.push_back(keys.integer ? 1 : 0);
    }
    return id;
  }

  std::int32_t meaning_id(const TableSet& tables, std::uint32_t code, const CodeKeys& keys, std::size_t row) {
    if (keys.kind != ValueKind::Code && keys.kind != ValueKind::Flag) return -1;
    if ((columns_.flags[row] & (row_flags::MISSING | row_flags::CHARACTER | row_flags::OPERATOR |
                                row_flags::ASSOCIATED)) != 0) {
      return -1;
    }
    const std::uint64_t raw = columns_.raw[row];
    const MeaningKey key{&tables, code, raw};
    if (last_meaning_ && last_meaning_->first == key) return last_meaning_->second;
    auto [it, added] = meaning_ids_.try_emplace(key, -1);
    if (added) {
      if (std::optional<Meaning> meaning = meaning_of(tables, code, raw)) {
        it->second = static_cast<std::int32_t>(out_.meanings.size());
        out_.meanings.push_back(std::move(*meaning));
      }
    }
    last_meaning_ = {key, it->second};
    return it->second;
  }

  struct Count {
    std::uint64_t generation;
    std::uint32_t rank;
  };
  struct MeaningKey {
    const TableSet* tables;
    std::uint32_t code;
    std::uint64_t raw;
    bool operator==(const MeaningKey&) const = default;
  };
  struct MeaningHash {
    std::size_t operator()(const MeaningKey& key) const noexcept {
      TableKeyHash mix;
      return mix(key.raw ^ mix((static_cast<std::uint64_t>(key.code) << 32) ^
                               static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(key.tables))));
    }
  };

  const RecordColumns& columns_;
  RowKeys& out_;
  RowKeyOptions options_;
  std::uint64_t generation_ = 0;  // one per subset (per message for slot-major rows)
  std::unordered_map<const TableSet*, std::unique_ptr<Codes>> codes_;
  std::unordered_map<std::string, std::uint32_t> key_ids_;
  std::unordered_map<std::string, std::uint32_t> unit_ids_;
  std::vector<Count> counts_;                       // per key: its count in the current subset
  std::vector<std::vector<std::uint32_t>> labels_;  // per key: label id by rank - 1
  std::vector<std::uint32_t> slot_labels_;          // per slot of the subset (message) walked: its label
  std::unordered_map<std::uint64_t, std::uint32_t> chains_;          // (qualified slot, name) -> the attribute's slot
  std::unordered_map<std::uint64_t, std::uint32_t> attribute_keys_;  // (element key, name) -> attribute key
  std::unordered_map<MeaningKey, std::int32_t, MeaningHash> meaning_ids_;
  std::optional<std::pair<MeaningKey, std::int32_t>> last_meaning_;
};

}  // namespace

RowKeys key_rows(const RecordColumns& columns, std::span<const MessageRows> messages, RowKeyOptions options,
                 unsigned threads) {
  RowKeys out;
  const std::size_t rows = columns.rows();
  if (options.meanings && columns.raw.size() != rows) options.meanings = false;
  // Rows of no message keep these; when the messages cover every row, each is written once.
  std::size_t covered = 0;
  bool in_order = true;
  for (const MessageRows& message : messages) {
    in_order = in_order && message.first == covered && message.count <= rows - covered && message.tables != nullptr;
    if (in_order) covered += message.count;
  }
  if (in_order && covered == rows) {
    out.label.extend(rows);
    if (options.units) out.unit.extend(rows);
    if (options.meanings) out.meaning.extend(rows);
  } else {
    out.label.append(rows, NONE);
    if (options.units) out.unit.append(rows, 0);
    if (options.meanings) out.meaning.append(rows, -1);
  }
  Encoder encoder(columns, out, options);
  for (const MessageRows& message : messages) {
    if (message.first > rows || message.count > rows - message.first || message.tables == nullptr) continue;
    encoder.message(message);
  }
  // The runs of compressed slots, filled in parts of about equal rows.
  const std::vector<Encoder::Fill>& fills = encoder.fills;
  std::size_t filled = 0;
  for (const auto& fill : fills) filled += fill.stop - fill.first;
  const std::size_t parts = filled < (std::size_t{1} << 20) ? 1 : std::max(1u, threads);
  std::vector<std::size_t> cut(parts + 1, fills.size());
  cut[0] = 0;
  for (std::size_t p = 1, f = 0, sum = 0; p < parts; ++p) {
    while (f < fills.size() && sum < filled / parts * p) sum += fills[f].stop - fills[f].first, ++f;
    cut[p] = f;
  }
  run_parallel(parts, [&](std::size_t p) {
    for (std::size_t f = cut[p]; f < cut[p + 1]; ++f) {
      const auto& fill = fills[f];
      std::fill(out.label.data() + fill.first, out.label.data() + fill.stop, fill.label);
      if (options.units) std::fill(out.unit.data() + fill.first, out.unit.data() + fill.stop, fill.unit);
    }
  });
  return out;
}

}  // namespace vantrel
