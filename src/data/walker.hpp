// The descriptor walker, for the decodes that instantiate it with their sink. One template serves both kinds of data: the
// descriptor classes, replication, the operator table, the bitmap mechanics
// and the limits exist once; `COMPRESSED` only changes how a value is read
// (one value per subset from the running stream, or one column of R0, NBINC
// and increments for all subsets) and how it reaches the sink.
#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <span>
#include <string>

#include "bitstream/bit_reader.hpp"
#include "data/coding.hpp"
#include "data/decode.hpp"
#include "data/plan.hpp"
#include "data/value_sink.hpp"
#include "descriptor/descriptor.hpp"

namespace vantrel::walk {


inline constexpr double FACTOR_EPSILON = 2.220446049250313e-16;

// What the walker needs to know about one value it has read: the factor of a
// delayed replication and the byte of a 0 31 031 bitmap value come from here.
// Plain fields, each written on its own, so that reading the summary never
// waits on a partly written wider copy.
struct ValueSummary {
  double first = 0.0;            // raw_value of the record (compressed: of subset 1), with has_first
  bool has_first = false;        // false when missing or no subsets
  bool consistent = true;        // compressed: every subset has a value within FACTOR_EPSILON of `first`
  bool position_code = false;    // non-compressed character data: `first` is a position code, no factor

  void set(double value, bool present) {
    first = value;
    has_first = present;
  }
};

// Factor of a delayed replication (a missing factor counts 0): negative and NaN give 0, values from
// 2^64 on give 2^64 - 1, others are truncated toward zero.
inline std::uint64_t repetition_count(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(value);
}

[[gnu::cold, gnu::noinline]] inline BufrError limit_error(const char* what, std::uint64_t limit) {
  return BufrError::parse(std::string("decoding exceeded the limit of ") + std::to_string(limit) + " " + what);
}

// The error of a replication at `i` of a list of `n` codes that does not fit it.
[[gnu::cold, gnu::noinline]] inline BufrError span_error(std::uint32_t code, std::size_t i, std::size_t n) {
  auto span = replication_span(code, i, n);
  return span ? BufrError::unsupported_replication(code) : span.error();
}

[[gnu::cold, gnu::noinline]] inline BufrError invalid_descriptor(std::uint32_t code) {
  return BufrError::parse("invalid descriptor " + format_code(code));
}

// `Sink`: ValueSink, or a final sink class whose handlers are then called directly.
template <bool COMPRESSED, class Sink>
class Walker {
 public:
  // `subsets`: the message's number of subsets (compressed data only).
  Walker(const DecodePlan& plan, BitReader& reader, Sink& sink, const DecodeLimits& limits,
         std::uint32_t subsets)
      : plan_(plan),
        reader_(reader),
        sink_(sink),
        limits_(limits),
        max_unbacked_values_(limits.max_unbacked_values(reader.bit_length())),
        subsets_(subsets) {}

  ValueCodingState state;  // the coding state (one per subset, or per message when compressed)

  // Non-compressed data: subset `index` starts; its records count slots from 0.
  void begin_subset(std::uint32_t index) {
    subset_ = index;
    slot_ = 0;
  }

  // What the attributes read so far qualify (WMO rules), moved out.
  std::vector<AttributeLink> take_attributes() { return std::move(attributes_); }

  // The warnings of the walk so far (the unnamed elements read), appended to `out`.
  void report_warnings(std::vector<std::string>& out) const {
    if (unlisted_count_ == 0) return;
    std::string text = "descriptor " + format_code(unlisted_code_) + " is not in Table B: read its " +
                       std::to_string(unlisted_width_) + " bits (operator " +
                       format_code(make_code(2, 6, unlisted_width_)) + ") as an unnamed raw value";
    if (unlisted_count_ > 1) text += " (" + std::to_string(unlisted_count_) + " such values in the message)";
    out.push_back(std::move(text));
  }

  // Walks one descriptor list at `depth` (0 for the message's own list).
  Status walk(std::span<const PlanNode> list, int depth) {
    if (depth > MAX_WALK_DEPTH) [[unlikely]] {
      return fail(BufrError::parse(COMPRESSED ? "compressed descriptor decode exceeded recursion depth"
                                              : "descriptor decode exceeded recursion depth"));
    }
    const std::size_t n = list.size();
    std::size_t i = 0;
    while (i < n) {
      const PlanNode& node = list[i];
      if (++steps_ > limits_.max_steps) [[unlikely]] return fail(limit_error("descriptor steps", limits_.max_steps));
      switch (node.f) {
        case 0:
          VANTREL_TRY(element(node));
          ++i;
          break;
        case 1: {
          VANTREL_ASSIGN(i, replication(list, i, depth));
          break;
        }
        case 2:
          VANTREL_TRY(apply_operator(node.code));
          ++i;
          break;
        case 3: {
          if (node.block == PlanNode::NO_BLOCK) return fail(BufrError::sequence_not_found(node.code));
          VANTREL_TRY(walk(plan_.block(node.block), depth + 1));
          ++i;
          break;
        }
        default:
          return fail(invalid_descriptor(node.code));
      }
    }
    return {};
  }

 private:
  // ---- descriptor classes ------------------------------------------------

  // F = 0: associated field, the value, then history or bitmap.
  Status element(const PlanNode& node) {
    if (state.reference_definition_width != 0) [[unlikely]] return define_reference(node);
    const ResolvedElement& element = node.element;
    if (state.associated_width != 0 && !element.class31) VANTREL_TRY(associated_field());
    if (element.definition == nullptr) [[unlikely]] return unlisted_element(node);
    VANTREL_ASSIGN(const ElementCoding* element_coding, coding(element));
    // Only a 0 31 031 value may be looked at (as a bitmap byte).
    VANTREL_TRY(read_value(element, *element_coding, node.code == 31031));
    const ValueSummary& summary = summary_;
    state.local_width.reset();
    if (node.code == 31031 && take_bitmap_value(state)) {
      // Compressed data always adds a byte: 0 for no subsets or a missing first value.
      if (summary.has_first) {
        state.bitmap.push_back(bitmap_byte(summary.first));
      } else if constexpr (COMPRESSED) {
        state.bitmap.push_back(0);
      }
    } else {
      end_bitmap_run(state, true);
      if (keep_history_) remember(&element);
      if (state.quality_block && code_x(node.code) == 33) [[unlikely]] {
        if (const auto target = next_quality_target(state)) note_attribute(*target, AttributeKind::Quality);
      }
    }
    return {};
  }

  // An element, factor or unnamed value just read enters the history (with its record's slot).
  void remember(const ResolvedElement* element) {
    state.history.push_back(element);
    state.history_slots.push_back(slot_ - 1);
  }

  // Under the WMO rules: the record just read qualifies the record at slot `target`.
  void note_attribute(std::uint32_t target, AttributeKind kind) {
    if (!wmo_) return;
    attributes_.push_back(AttributeLink{COMPRESSED ? AttributeLink::ALL_SUBSETS : subset_, slot_ - 1, target, kind});
  }

  // An element without a Table B entry: under the WMO rules, when 2 06 YYY
  // announced its width, YYY bits read as an unnamed raw value (no missing
  // value, scale and reference 0), noted for the report; otherwise the decode fails.
  Status unlisted_element(const PlanNode& node) {
    if (node.unlisted == nullptr || !state.local_width) return fail(BufrError::element_not_found(node.code));
    ElementCoding raw_coding;
    raw_coding.width = *state.local_width;
    raw_coding.missing_check = false;
    VANTREL_TRY(read_value(*node.unlisted, raw_coding, false));
    if (unlisted_count_++ == 0) {
      unlisted_code_ = node.code;
      unlisted_width_ = raw_coding.width;
    }
    state.local_width.reset();
    end_bitmap_run(state, true);
    if (keep_history_) remember(node.unlisted);
    return {};
  }

  // How `element` is read with the operators in force: the plan's coding
  // unless an operator changes it. Changed codings are remembered per element
  // and operator state (data under 2 01 / 2 02 reads the same elements with
  // the same change again and again); the result stays valid until the next
  // call.
  Result<const ElementCoding*> coding(const ResolvedElement& element) {
    if (state.plain_coding()) [[likely]] return &element.coding;
    const ElementDefinition& definition = *element.definition;
    if (!state.new_references.empty()) {  // 2 03 YYY: the reference may be the element's own
      VANTREL_ASSIGN(changed_coding_, effective_coding(element, base_coding(definition, state), state));
      return &changed_coding_;
    }
    const CodingKey key{&element, state.width_change, state.scale_change, state.local_width, state.character_width,
                        state.reference_power};
    CodingMemo& memo = memo_[(reinterpret_cast<std::uintptr_t>(&element) / alignof(ResolvedElement)) % MEMO_SIZE];
    if (!(memo.key == key)) {
      VANTREL_ASSIGN(memo.coding, effective_coding(element, base_coding(definition, state), state));
      memo.key = key;
    }
    return &memo.coding;
  }

  // F = 1 at list[i]; returns the index after the replication.
  Result<std::size_t> replication(std::span<const PlanNode> list, std::size_t i, int depth) {
    const std::uint32_t code = list[i].code;
    // replication_span's rules, checked inline: X codes (and the factor when
    // delayed) must follow within the list.
    ReplicationSpan span;
    span.delayed = narrow8(code_y(code)) == 0;
    span.count = code_x(code);
    span.first = i + (span.delayed ? 2 : 1);
    span.next = span.first + span.count;
    if (span.count == 0 || span.next > list.size()) [[unlikely]] return fail(span_error(code, i, list.size()));
    const auto body = list.subspan(span.first, span.count);
    if (!span.delayed) {
      const std::uint8_t y = narrow8(code_y(code));
      for (unsigned r = 0; r < y; ++r) VANTREL_TRY(walk(body, depth + 1));
      return span.next;
    }
    const PlanNode& factor_node = list[i + 1];
    const ResolvedElement& factor = factor_node.element;
    if constexpr (!COMPRESSED) {
      if (state.associated_width != 0 && !factor.class31) VANTREL_TRY(associated_field());
    }
    if (factor.definition == nullptr) return fail(BufrError::element_not_found(factor_node.code));
    VANTREL_ASSIGN(const ElementCoding* factor_coding, coding(factor));
    VANTREL_TRY(read_value(factor, *factor_coding, true));
    const ValueSummary& summary = summary_;
    if constexpr (COMPRESSED) {
      if (summary.has_first && !summary.consistent) {
        return fail(BufrError::parse("compressed delayed replication with varying factors is not implemented"));
      }
    }
    // A character factor of non-compressed data counts as none.
    const std::uint64_t count = summary.position_code || !summary.has_first ? 0 : repetition_count(summary.first);
    end_bitmap_run(state, false);
    if (keep_history_) remember(&factor);
    // Each pass walks at least one descriptor, so the step limit ends huge counts.
    for (std::uint64_t r = 0; r < count; ++r) VANTREL_TRY(walk(body, depth + 1));
    return span.next;
  }

  // F = 2: the operator table.
  Status apply_operator(std::uint32_t code) {
    const std::uint32_t x = code_x(code);
    const std::uint8_t y = narrow8(code_y(code));
    switch (x) {
      case 1:
        state.width_change = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
        return {};
      case 2:
        state.scale_change = y == 0 ? 0 : static_cast<std::int32_t>(y) - 128;
        return {};
      case 3:
        // 2 03 YYY: the elements that follow define new reference values of
        // YYY bits until 2 03 255; 2 03 000 restores the Table B values.
        if (y == 0) {
          state.new_references.clear();
          state.reference_definition_width = 0;
        } else {
          state.reference_definition_width = y == 255 ? 0 : y;
        }
        return {};
      case 4:
        state.associated_width = y;
        return {};
      case 5:
        return operator_text(code, y);
      case 6:
        state.local_width = y;
        return {};
      case 7:
        if (y == 0) {
          state.scale_change = 0;
          state.width_change = 0;
          state.reference_power = 0;
        } else {
          state.scale_change = y;
          state.width_change = (10 * static_cast<std::int32_t>(y) + 2) / 3;
          state.reference_power = y;
        }
        return {};
      case 8:
        if (y == 0) {
          state.character_width.reset();
        } else {
          state.character_width = static_cast<std::uint16_t>(y * 8u);
        }
        return {};
      case 22:
        if (y != 0) return {};
        VANTREL_TRY(operator_record(code));
        if (wmo_) await_bitmap(state);
        state.quality_block = wmo_;
        return {};
      case 62:
        return y == 0 ? operator_record(code) : Status{};
      case 23:
      case 24:
      case 25:
      case 32:
        if (y == 255) return marker(x);
        VANTREL_TRY(operator_record(code));
        if (y == 0 && wmo_) {
          await_bitmap(state);
          state.quality_block = false;
        }
        return {};
      case 26:
      case 27:
      case 29:
      case 30:
      case 31:
      case 33:
      case 34:
      case 38:
      case 39:
      case 40:
      case 41:
      case 42:
        return operator_record(code);
      case 35:
        VANTREL_TRY(operator_record(code));
        if (y == 0) {
          if (wmo_) {
            cancel_back_reference(state);
            state.quality_block = false;
          } else {
            clear_bitmap(state);
          }
        }
        return {};
      case 36:
        if (y != 0) return {};
        VANTREL_TRY(operator_record(code));
        if (wmo_) {
          define_bitmap(state);
        } else {
          define_bitmap_strict(state);
        }
        return {};
      case 37:
        VANTREL_TRY(operator_record(code));
        if (y == 0) {
          if (wmo_) {
            reuse_bitmap(state);
          } else {
            state.bitmap_cursor = 0;
          }
        } else if (wmo_) {
          cancel_bitmap(state);
          state.quality_block = false;
        } else {
          clear_bitmap(state);
        }
        return {};
      default:
        return {};  // operators without effect
    }
  }

  // 2 23/24/25/32 255: one value for the next present bitmap position, read
  // with the referenced definition (2 25 255: reference -2^width, width + 1);
  // `x` is 23, 24, 25 or 32. Marker values enter neither the history nor the
  // bitmap; under the WMO rules they end a run of bitmap values and are noted
  // as attributes of the element they refer to.
  Status marker(std::uint32_t x) {
    end_bitmap_run(state, true);
    std::uint32_t target = 0;
    VANTREL_ASSIGN(const ResolvedElement* element, next_bitmap_element(state, &target));
    if (element == nullptr) return {};
    const ElementDefinition& definition = *element->definition;
    const BaseCoding base = x == 25 ? difference_coding(definition) : base_coding(definition, state);
    VANTREL_ASSIGN(const ElementCoding marker_coding, effective_coding(*element, base, state));
    VANTREL_TRY(read_value(*element, marker_coding, false));
    note_attribute(target, x == 23   ? AttributeKind::Substituted
                           : x == 24 ? AttributeKind::FirstOrder
                           : x == 25 ? AttributeKind::Difference
                                     : AttributeKind::ReplacedRetained);
    return {};
  }

  // An element descriptor while 2 03 YYY is in force: reads its new reference
  // value (compressed: a column whose increments must be absent).
  Status define_reference(const PlanNode& node) {
    const std::uint32_t code = node.code;
    if (node.element.definition == nullptr) return fail(BufrError::element_not_found(code));
    const std::uint32_t width = state.reference_definition_width;
    VANTREL_ASSIGN(const std::uint64_t bits, read_bits(width));
    if constexpr (COMPRESSED) {
      VANTREL_ASSIGN(const std::uint64_t nbinc, read_bits(6));
      if (nbinc != 0) {
        return fail(BufrError::parse("compressed reference value change for descriptor " + format_code(code) +
                                     " has non-zero increment width " + std::to_string(nbinc)));
      }
    }
    state.new_references.insert_or_assign(code, signed_reference(bits, width));
    return {};
  }

  // ---- reading values ----------------------------------------------------

  Result<std::uint64_t> read_bits(std::uint32_t width) {
    std::uint64_t value;
    if (!reader_.try_read(width, value)) [[unlikely]] return fail(reader_.read_failure(width));
    return value;
  }

  // Counts values before they are built; `backed`: each read bits of its own.
  Status count_values(std::uint64_t count, bool backed) {
    values_ += count;
    if (values_ > limits_.max_values) [[unlikely]] return fail(limit_error("values", limits_.max_values));
    if (!backed) {
      unbacked_values_ += count;
      if (unbacked_values_ > max_unbacked_values_) [[unlikely]] {
        return fail(limit_error("values that read no bits of their own", max_unbacked_values_));
      }
    }
    return {};
  }

  static BufrError sink_aborted() { return BufrError::sink_aborted(); }

  // One element value (compressed: one column) with `coding`, named after
  // `element`; leaves its summary in summary_ when `summarise` (else it may not).
  Status read_value(const ResolvedElement& resolved, const ElementCoding& coding, bool summarise) {
    const ElementDefinition& element = *resolved.definition;
    if constexpr (COMPRESSED) {
      if (coding.character) return character_column(element, coding.width);
      return numeric_column(ColumnKind::Numeric, &element, element.code, &resolved.meanings, coding, summarise);
    } else {
      if (coding.character) {
        VANTREL_TRY(reader_.read_bytes(coding.width, bytes_));
        VANTREL_TRY(count_values(1, coding.width != 0));
        const bool present = decode_text();
        const double position = character_position_code(++state.character_value_count, coding.width);
        if (!sink_.character(next_place(), element, position,
                             present ? std::optional<std::string_view>(text_) : std::nullopt))
          return fail(sink_aborted());
        summary_.set(position, true);
        summary_.position_code = true;
        return {};
      }
      VANTREL_ASSIGN(const std::uint64_t raw, read_bits(coding.width));
      VANTREL_TRY(count_values(1, coding.width != 0));
      const bool present = !is_missing_value(raw, coding.width, coding.missing_check);
      const double value = present ? scaled_value(raw, coding.reference, coding.divisor) : 0.0;
      summary_.set(value, present);
      summary_.position_code = false;
      if (!sink_.numeric(next_place(), element, raw, present ? std::optional<double>(value) : std::nullopt,
                         resolved.meanings.find(raw)))
        return fail(sink_aborted());
      return {};
    }
  }

  // 2 04 YYY: the associated field before an element.
  Status associated_field() {
    const std::uint32_t width = state.associated_width;
    if constexpr (COMPRESSED) {
      ElementCoding coding;
      coding.width = width;
      coding.missing_check = false;
      VANTREL_TRY(numeric_column(ColumnKind::AssociatedField, nullptr, ASSOCIATED_FIELD_CODE, nullptr, coding));
    } else {
      VANTREL_ASSIGN(const std::uint64_t raw, read_bits(width));
      VANTREL_TRY(count_values(1, true));
      if (!sink_.associated_field(next_place(), raw)) return fail(sink_aborted());
    }
    return {};
  }

  // An operator record (compressed: a column of them).
  Status operator_record(std::uint32_t code) {
    if constexpr (COMPRESSED) {
      VANTREL_TRY(count_values(subsets_, false));
      const std::uint32_t slot = slot_++;
      if (!sink_.begin_column(ColumnInfo{ColumnKind::Operator, nullptr, code, slot, true}) ||
          !sink_.operator_record(Place{0, slot}, code) || !sink_.end_column()) {
        return fail(sink_aborted());
      }
    } else {
      VANTREL_TRY(count_values(1, false));
      if (!sink_.operator_record(next_place(), code)) return fail(sink_aborted());
    }
    return {};
  }

  // 2 05 YYY: YYY characters of text follow in the data (compressed: a
  // character column of that width).
  Status operator_text(std::uint32_t code, std::uint8_t characters) {
    const std::uint32_t width = characters * 8u;
    VANTREL_TRY(reader_.read_bytes(width, bytes_));
    if constexpr (COMPRESSED) {
      VANTREL_ASSIGN(const std::uint64_t nbinc, read_bits(6));
      VANTREL_TRY(count_values(subsets_, nbinc != 0));
      const std::uint32_t slot = slot_++;
      if (!sink_.begin_column(ColumnInfo{ColumnKind::OperatorText, nullptr, code, slot, nbinc == 0}))
        return fail(sink_aborted());
      if (nbinc == 0) {
        VANTREL_TRY(emit_operator_text(Place{0, slot}, code));
      } else {
        for (std::uint32_t s = 0; s < subsets_; ++s) {
          VANTREL_TRY(reader_.read_bytes(static_cast<std::uint32_t>(nbinc) * 8u, bytes_));
          VANTREL_TRY(emit_operator_text(Place{s, slot}, code));
        }
      }
      if (!sink_.end_column()) return fail(sink_aborted());
    } else {
      VANTREL_TRY(count_values(1, width != 0));
      VANTREL_TRY(emit_operator_text(next_place(), code));
    }
    return {};
  }

  Status emit_operator_text(Place place, std::uint32_t code) {
    const bool present = decode_text();
    if (!sink_.operator_text(place, code, present ? std::optional<std::string_view>(text_) : std::nullopt))
      return fail(sink_aborted());
    return {};
  }

  // The text of the character bytes in bytes_, into text_; false when missing.
  // The WMO rules also drop trailing NULs (padding), count a text of NULs
  // and blanks as missing and keep bytes from 0x80 as Latin-1 characters.
  bool decode_text() { return wmo_ ? decode_wmo_text(bytes_, text_) : decode_ia5_text(bytes_, text_); }

  // Non-compressed data: the place of the subset's next record.
  Place next_place() { return Place{subset_, slot_++}; }

  // ---- compressed columns ------------------------------------------------

  // R0 (coding.width bits), NBINC (6 bits), then NBINC bits per subset when
  // NBINC > 0. `kind` is Numeric or AssociatedField.
  Status numeric_column(ColumnKind kind, const ElementDefinition* element, std::uint32_t code,
                        const MeaningLookup* meanings, const ElementCoding& coding, bool summarise = true) {
    VANTREL_ASSIGN(const std::uint64_t r0, read_bits(coding.width));
    VANTREL_ASSIGN(const std::uint64_t nbinc64, read_bits(6));
    const auto nbinc = static_cast<std::uint32_t>(nbinc64);
    const bool r0_missing = is_missing_value(r0, coding.width, coding.missing_check);
    const double divisor = coding.divisor;
    VANTREL_TRY(count_values(subsets_, nbinc != 0));
    const std::uint32_t slot = slot_++;
    if (!sink_.begin_column(ColumnInfo{kind, element, code, slot, nbinc == 0})) return fail(sink_aborted());

    ValueSummary& summary = summary_;
    summary = ValueSummary{};
    if constexpr (requires { sink_.defers(); }) {
      // The cells are written after the walk when they are one value (whose
      // summary is R0's), or when nothing looks at them now and the
      // increments are all there (a short read fails here, as it would have).
      if ((nbinc == 0 || !summarise) && kind == ColumnKind::Numeric && sink_.defers()) {
        const std::uint64_t at = reader_.position();
        if (reader_.try_skip(std::uint64_t{nbinc} * subsets_)) {
          const double value = r0_missing ? 0.0 : scaled_value(r0, coding.reference, divisor);
          if (nbinc == 0 && subsets_ > 0) summary.set(value, !r0_missing);
          sink_.defer(DeferredColumn{at, r0, coding.reference, divisor, 0, static_cast<std::uint8_t>(nbinc),
                                     r0_missing, coding.missing_check, r0_missing ? NAN : value});
          if (!sink_.end_column()) return fail(sink_aborted());
          return {};
        }
      }
    }
    auto emit = [&](std::uint32_t s, std::uint64_t raw, bool present, double value) {
      if (kind == ColumnKind::AssociatedField) return sink_.associated_field(Place{s, slot}, raw);
      return sink_.numeric(Place{s, slot}, *element, raw, present ? std::optional<double>(value) : std::nullopt,
                           meanings->find(raw));
    };
    if (nbinc == 0) {
      const double value = r0_missing ? 0.0 : scaled_value(r0, coding.reference, divisor);
      if (!emit(0, r0, !r0_missing, value)) return fail(sink_aborted());
      if (subsets_ > 0) summary.set(value, !r0_missing);
    } else {
      for (std::uint32_t s = 0; s < subsets_; ++s) {
        VANTREL_ASSIGN(const std::uint64_t increment, read_bits(nbinc));
        const bool present = !r0_missing && !is_missing_value(increment, nbinc, coding.missing_check);
        const std::uint64_t raw = present ? r0 + increment : r0;  // modulo 2^64
        const double value = present ? scaled_value(raw, coding.reference, divisor) : 0.0;
        if (!emit(s, raw, present, value)) return fail(sink_aborted());
        if (s == 0) {
          summary.set(value, present);
        } else if (!present || !summary.has_first || !(std::fabs(value - summary.first) <= FACTOR_EPSILON)) {
          summary.consistent = false;
        }
      }
    }
    if (!sink_.end_column()) return fail(sink_aborted());
    return {};
  }

  // R0 (width bits of text), NBINC (a count of characters), then NBINC
  // characters per subset when NBINC > 0. Position codes run over the
  // character columns: (c * subsets + s + 1) * 1000 + width / 8. The
  // position codes differ per subset, so the column is never uniform.
  Status character_column(const ElementDefinition& element, std::uint32_t width) {
    VANTREL_TRY(reader_.read_bytes(width, bytes_));
    VANTREL_ASSIGN(const std::uint64_t nbinc, read_bits(6));
    const std::uint64_t c = state.character_column_count++;
    VANTREL_TRY(count_values(subsets_, nbinc != 0));
    const std::uint32_t slot = slot_++;
    if (!sink_.begin_column(ColumnInfo{ColumnKind::Character, &element, element.code, slot, false}))
      return fail(sink_aborted());
    // c <= the step limit and subsets < 2^16: the product stays far below 2^53,
    // so every position code is an exact double.
    const std::uint64_t first_k = c * subsets_ + 1;
    ValueSummary& summary = summary_;
    summary = ValueSummary{};
    if (subsets_ > 0) summary.set(character_position_code(first_k, width), true);
    summary.consistent = subsets_ <= 1;
    bool present = nbinc == 0 && decode_text();  // R0's text serves every subset
    for (std::uint32_t s = 0; s < subsets_; ++s) {
      if (nbinc != 0) {
        VANTREL_TRY(reader_.read_bytes(static_cast<std::uint32_t>(nbinc) * 8u, bytes_));
        present = decode_text();
      }
      if (!sink_.character(Place{s, slot}, element, character_position_code(first_k + s, width),
                           present ? std::optional<std::string_view>(text_) : std::nullopt))
        return fail(sink_aborted());
    }
    if (!sink_.end_column()) return fail(sink_aborted());
    return {};
  }

  const DecodePlan& plan_;            // the compiled descriptor lists
  const bool keep_history_ = plan_.uses_bitmaps();  // bitmaps may refer back to the elements
  const bool wmo_ = plan_.rules() == Rules::Wmo;     // which bitmap rules the operators follow
  BitReader& reader_;                 // the one reader over section 4
  Sink& sink_;                        // receives every value
  const DecodeLimits& limits_;        // bounds on the work of this decode
  const std::uint64_t max_unbacked_values_;  // limits_ applied to the size of the data
  const std::uint32_t subsets_;       // compressed: number of subsets
  std::uint64_t steps_ = 0;           // descriptor visits so far
  std::uint64_t values_ = 0;          // values counted so far
  std::uint64_t unbacked_values_ = 0; // of which read no bits of their own
  std::uint32_t subset_ = 0;          // non-compressed: the subset being walked
  std::uint32_t slot_ = 0;            // slot of the next record (compressed: of the next column)
  std::vector<std::uint8_t> bytes_;   // scratch: character bytes
  std::string text_;                  // scratch: decoded text
  ValueSummary summary_;              // of the last value read_value read
  ElementCoding changed_coding_;      // the latest coding 2 03 YYY changed
  std::uint64_t unlisted_count_ = 0;  // unnamed elements read (WMO rules)
  std::vector<AttributeLink> attributes_;  // WMO rules: what the attributes read so far qualify
  std::uint32_t unlisted_code_ = 0;   // the first of them
  std::uint32_t unlisted_width_ = 0;  // and its width

  // What a changed coding depends on besides the element's definition.
  struct CodingKey {
    const ResolvedElement* element = nullptr;
    std::int32_t width_change = 0;
    std::int32_t scale_change = 0;
    std::optional<std::uint16_t> local_width;
    std::optional<std::uint16_t> character_width;
    std::uint8_t reference_power = 0;
    bool operator==(const CodingKey&) const = default;
  };
  struct CodingMemo {
    CodingKey key;
    ElementCoding coding;
  };
  static constexpr std::size_t MEMO_SIZE = 64;
  std::array<CodingMemo, MEMO_SIZE> memo_{};  // changed codings by element
};

// Walks the plan of `message` over `data`, handing every value to `sink`;
// on success fills `report` (when not null).
template <class Sink>
Status walk_message(const DecodePlan& plan, const BufrMessage& message, Bytes data, Sink& sink,
                    const DecodeLimits& limits, DecodeReport* report) {
  BitReader reader(data);
  const std::span<const PlanNode> descriptors = plan.root();
  auto finish = [&](auto& walker) -> Status {
    if (!sink.end_message()) return fail(BufrError::sink_aborted());
    if (report != nullptr) {
      report->used_bits = reader.position();
      walker.report_warnings(report->warnings);
      report->attributes = walker.take_attributes();
    }
    return {};
  };
  if (message.compressed_data) {
    Walker<true, Sink> walker(plan, reader, sink, limits, message.number_of_subsets);
    VANTREL_TRY(walker.walk(descriptors, 0));
    return finish(walker);
  }
  Walker<false, Sink> walker(plan, reader, sink, limits, 1);
  std::uint64_t characters = 0;  // position codes of character values run through the message
  for (std::uint32_t s = 0; s < message.number_of_subsets; ++s) {
    walker.state.reset();
    walker.state.character_value_count = characters;
    walker.begin_subset(s);
    if (!sink.begin_subset(s)) return fail(BufrError::sink_aborted());
    VANTREL_TRY(walker.walk(descriptors, 0));
    characters = walker.state.character_value_count;
  }
  return finish(walker);
}

inline std::shared_ptr<const DecodePlan> plan_for(const BufrMessage& message, const TableSet& tables, Rules rules,
                                           PlanCache* plans) {
  return plans != nullptr ? plans->plan(tables, message.unexpanded_descriptors, rules)
                          : DecodePlan::compile(tables, message.unexpanded_descriptors, rules);
}

}  // namespace vantrel::walk
