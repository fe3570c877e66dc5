#include "data/coding.hpp"

#include <cmath>

#include "descriptor/descriptor.hpp"

namespace vantrel {
namespace {

[[gnu::cold, gnu::noinline]] BufrError reference_overflow(std::uint32_t code, std::uint8_t power) {
  const std::string y = std::to_string(power);
  return BufrError::parse("reference value of element " + format_code(code) + " times 10^" + y +
                          " under operator " + format_code(make_code(2, 7, power)) +
                          " does not fit in 128 bits");
}

}  // namespace

void ValueCodingState::reset() {
  bitmap.clear();
  history.clear();
  history_slots.clear();
  quality_block = false;
  quality_cursor = 0;
  reference_power = 0;
  bitmap_cursor = 0;
  bitmap_anchor = 0;
  awaited_anchor = 0;
  back_reference.reset();
  character_column_count = 0;
  local_width.reset();
  character_width.reset();
  width_change = 0;
  scale_change = 0;
  bitmap_phase = BitmapPhase::None;
  associated_width = 0;
  reference_definition_width = 0;
  if (!new_references.empty()) new_references.clear();
}

BaseCoding base_coding(const ElementDefinition& element, const ValueCodingState& state) {
  BaseCoding base{element.width, element.reference};
  if (!state.new_references.empty()) [[unlikely]] {
    auto it = state.new_references.find(element.code);
    if (it != state.new_references.end()) base.reference = it->second;
  }
  return base;
}

BaseCoding difference_coding(const ElementDefinition& element) {
  // -2^width: the power is taken modulo 2^64 and negated in unsigned
  // arithmetic, then reinterpreted as two's complement.
  const std::uint64_t power = element.width < 64 ? std::uint64_t{1} << element.width : 0;
  const std::uint16_t width = element.width == 65535 ? element.width : static_cast<std::uint16_t>(element.width + 1);
  return BaseCoding{width, static_cast<std::int64_t>(std::uint64_t{0} - power)};
}

Result<ElementCoding> effective_coding(const ResolvedElement& resolved, BaseCoding base,
                                       const ValueCodingState& state) {
  const ElementDefinition& element = *resolved.definition;
  const bool quantity = resolved.takes_changes;
  ElementCoding coding;
  coding.character = resolved.character;
  coding.missing_check = !is_class31(element.code);
  if (coding.character) {
    coding.width = state.character_width ? *state.character_width : base.width;
  } else if (state.local_width) {
    coding.width = *state.local_width;
  } else {
    // |width_change| <= 850, so the sum cannot overflow.
    const std::int64_t sum = static_cast<std::int64_t>(base.width) + (quantity ? state.width_change : 0);
    coding.width = sum > 0 ? static_cast<std::uint32_t>(sum) : 0;
  }
  coding.scale = static_cast<std::int64_t>(element.scale) + (quantity ? state.scale_change : 0);
  coding.divisor = scale_divisor(coding.scale);
  coding.reference = base.reference;
  // Text has no reference value: the product is taken for quantities only.
  const unsigned power = coding.character || !quantity ? 0 : state.reference_power;
  for (unsigned i = 0; i < power && coding.reference != 0; ++i) {
    if (__builtin_mul_overflow(coding.reference, 10, &coding.reference)) [[unlikely]] {
      return fail(reference_overflow(element.code, state.reference_power));
    }
  }
  return coding;
}

double scale_divisor(std::int64_t scale) {
  static constexpr double EXACT[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                     1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  // |scale| without overflow: scale is at most 2^31 + 850 in magnitude.
  const std::uint64_t exponent = scale < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(scale)
                                           : static_cast<std::uint64_t>(scale);
  double power;
  if (exponent < std::size(EXACT)) {
    power = EXACT[exponent];
  } else {
    power = 1.0;
    double running = 10.0;
    for (std::uint64_t bits = exponent; bits != 0; bits >>= 1) {
      if (bits & 1u) power *= running;
      running *= running;
    }
  }
  return scale < 0 ? 1.0 / power : power;
}

bool decode_ia5_text(const std::vector<std::uint8_t>& bytes, std::string& out) {
  out.clear();
  bool all_ff = true;
  for (std::uint8_t byte : bytes) all_ff = all_ff && byte == 0xFF;
  if (all_ff) return false;  // also for no bytes at all
  out.resize(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out[i] = bytes[i] < 0x80 ? static_cast<char>(bytes[i]) : '?';
  }
  std::size_t end = out.size();
  while (end > 0) {
    const char c = out[end - 1];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') break;
    --end;
  }
  out.resize(end);
  return true;
}

bool decode_wmo_text(const std::vector<std::uint8_t>& bytes, std::string& out) {
  out.clear();
  bool all_ff = true;
  bool nul = false;
  for (std::uint8_t byte : bytes) {
    all_ff = all_ff && byte == 0xFF;
    nul = nul || byte == 0;
  }
  if (all_ff) return false;  // also for no bytes at all
  for (std::uint8_t byte : bytes) {
    if (byte < 0x80) {
      out.push_back(static_cast<char>(byte));
    } else {  // U+0080..U+00FF in two UTF-8 bytes
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  std::size_t end = out.size();
  while (end > 0) {
    const char c = out[end - 1];
    if (c != '\0' && c != ' ' && c != '\t' && c != '\n' && c != '\v' && c != '\f' && c != '\r') break;
    --end;
  }
  out.resize(end);
  return !(end == 0 && nul);
}

std::uint8_t bitmap_byte(double value) {
  if (!(value > 0.0)) return 0;  // also NaN
  if (value >= 255.0) return 255;
  return static_cast<std::uint8_t>(value);
}

Result<const ResolvedElement*> next_bitmap_element(ValueCodingState& state, std::uint32_t* slot) {
  const std::size_t n = state.bitmap.size();
  if (n == 0) return nullptr;
  const std::size_t offset = state.bitmap_anchor >= n ? state.bitmap_anchor - n : 0;
  if (state.bitmap_cursor >= n) return nullptr;
  while (state.bitmap[state.bitmap_cursor] == 1) {
    if (++state.bitmap_cursor == n) return nullptr;
  }
  const std::size_t p = state.bitmap_cursor++;
  const std::size_t target = offset + p;
  if (target >= state.history.size()) {
    return fail(BufrError::parse("bitmap reference is outside descriptor history"));
  }
  if (slot != nullptr && target < state.history_slots.size()) *slot = state.history_slots[target];
  return state.history[target];
}

std::optional<std::uint32_t> next_quality_target(ValueCodingState& state) {
  const std::size_t n = state.bitmap.size();
  const std::size_t offset = state.bitmap_anchor >= n ? state.bitmap_anchor - n : 0;
  while (state.quality_cursor < n && state.bitmap[state.quality_cursor] == 1) ++state.quality_cursor;
  if (state.quality_cursor >= n) return std::nullopt;
  const std::size_t target = offset + state.quality_cursor++;
  if (target >= state.history_slots.size()) return std::nullopt;
  return state.history_slots[target];
}

namespace {

// An empty bitmap whose positions will end at history entry `anchor`.
void begin_bitmap(ValueCodingState& state, std::size_t anchor) {
  state.bitmap.clear();
  state.bitmap_cursor = 0;
  state.quality_cursor = 0;
  state.bitmap_anchor = anchor;
}

}  // namespace

void await_bitmap(ValueCodingState& state) {
  if (!state.back_reference) state.back_reference = state.history.size();
  state.awaited_anchor = *state.back_reference;
  state.bitmap_phase = BitmapPhase::Awaiting;
}

void define_bitmap(ValueCodingState& state) {
  if (state.bitmap_phase != BitmapPhase::Awaiting) {
    state.awaited_anchor = state.history.size();
    if (!state.back_reference) state.back_reference = state.awaited_anchor;
  }
  begin_bitmap(state, state.awaited_anchor);
  state.bitmap_phase = BitmapPhase::Awaiting;
}

void define_bitmap_strict(ValueCodingState& state) {
  begin_bitmap(state, state.history.size());
  state.bitmap_phase = BitmapPhase::Defined;
}

void clear_bitmap(ValueCodingState& state) { begin_bitmap(state, 0); }

bool take_bitmap_value(ValueCodingState& state) {
  switch (state.bitmap_phase) {
    case BitmapPhase::Awaiting:
      begin_bitmap(state, state.awaited_anchor);
      state.bitmap_phase = BitmapPhase::Collecting;
      return true;
    case BitmapPhase::Collecting:
    case BitmapPhase::Defined:
      return true;
    case BitmapPhase::None:
      break;
  }
  return false;
}

void close_bitmap_run(ValueCodingState& state, bool element) {
  if (state.bitmap_phase == BitmapPhase::Collecting) {
    state.bitmap_phase = BitmapPhase::None;
  } else if (state.bitmap_phase == BitmapPhase::Awaiting && element) {
    begin_bitmap(state, state.awaited_anchor);
    state.bitmap_phase = BitmapPhase::None;
  }
}

void reuse_bitmap(ValueCodingState& state) {
  state.bitmap_cursor = 0;
  state.quality_cursor = 0;
  state.bitmap_phase = BitmapPhase::None;
}

void cancel_bitmap(ValueCodingState& state) {
  begin_bitmap(state, 0);
  state.bitmap_phase = BitmapPhase::None;
}

void cancel_back_reference(ValueCodingState& state) {
  cancel_bitmap(state);
  state.back_reference.reset();
}

std::int64_t signed_reference(std::uint64_t bits, std::uint32_t width) {
  if (width == 0) return 0;
  const std::uint64_t sign = std::uint64_t{1} << (width - 1);  // width is 1..64
  const std::uint64_t magnitude = bits & (sign - 1);          // at most 2^63 - 1
  return (bits & sign) ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
}

}  // namespace vantrel
