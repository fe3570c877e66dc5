// The state of a descriptor walk (ValueCodingState) and the rules both
// walkers share: effective width, scale and reference of an element, the
// missing-value rule, the scaling of a raw number, IA5 text, character
// position codes and the bitmap mechanics of the quality operators.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "error/error.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

struct ResolvedElement;

// Where a walk stands with the data present bitmap.
enum class BitmapPhase : std::uint8_t {
  None,        // 0 31 031 values are ordinary elements
  Awaiting,    // WMO rules: an operator asked for a bitmap: the next 0 31 031 value starts it
  Collecting,  // WMO rules: 0 31 031 values extend the bitmap until any other value is read
  Defined,     // strict rules: 2 36 000 was met; every 0 31 031 value until the end of the walk extends the bitmap
};

struct ValueCodingState {
  std::vector<std::uint8_t> bitmap;                  // 0 = present, other = absent; one byte per 0 31 031
  std::vector<const ResolvedElement*> history;       // elements decoded so far (entries of the decode plan)
  std::vector<std::uint32_t> history_slots;          // the slot of each entry's record
  std::uint8_t reference_power = 0;                  // 2 07 YYY: Table B references are multiplied by 10^YYY
  std::size_t bitmap_cursor = 0;                     // next bitmap position a marker examines
  std::size_t bitmap_anchor = 0;                     // history length the bitmap's last position refers to
  std::size_t awaited_anchor = 0;                    // the anchor of the bitmap being awaited
  std::optional<std::size_t> back_reference;         // history length the operators' bitmaps refer back to
  std::uint64_t character_value_count = 0;           // character values read so far (non-compressed)
  std::uint64_t character_column_count = 0;          // character columns read so far (compressed)
  std::optional<std::uint16_t> local_width;          // 2 06 YYY: width of the next element only
  std::optional<std::uint16_t> character_width;      // 2 08 YYY: width of character elements, in bits
  std::int32_t width_change = 0;                     // 2 01 / 2 07: added to non-character widths
  std::int32_t scale_change = 0;                     // 2 02 / 2 07: added to scales
  BitmapPhase bitmap_phase = BitmapPhase::None;      // whether 0 31 031 values build a bitmap
  std::uint8_t associated_width = 0;                 // 2 04 YYY: bits of the associated field
  std::uint16_t reference_definition_width = 0;      // 2 03 YYY (1..254) in force: bits of each new reference
  std::unordered_map<std::uint32_t, std::int64_t> new_references;  // 2 03 YYY: element code -> reference
  bool quality_block = false;                        // WMO rules: class 33 values qualify the bitmap's elements
  std::size_t quality_cursor = 0;                    // the next bitmap position a quality value examines

  // Back to the initial state, keeping allocations; `character_value_count`
  // is the caller's to carry.
  void reset();

  // No operator changes how an element is read: every element is read with
  // the coding its plan entry precomputed.
  bool plain_coding() const {
    return width_change == 0 && scale_change == 0 && reference_power == 0 && !local_width &&
           !character_width && new_references.empty();
  }
};

// How one element is read, after the operators in force have been applied.
struct ElementCoding {
  std::uint32_t width = 0;       // bits to read (above 64 the read fails)
  std::int64_t scale = 0;        // decimal scale
  __int128 reference = 0;        // reference value (exact under 2 07 YYY)
  double divisor = 1.0;          // scale_divisor(scale)
  bool character = false;        // unit "CCITT IA5": read as text
  bool missing_check = true;     // all-ones means missing (false for class 31)
};

// The code-table meanings of one element: a dense array indexed by raw value
// when the table's keys are small, else the table itself.
struct MeaningLookup {
  const CodeTable* table = nullptr;            // the element's code table, or null
  const std::string* const* dense = nullptr;   // meaning per raw value below dense_size (null: none), or null
  std::uint64_t dense_size = 0;                // entries of `dense`

  const std::string* find(std::uint64_t raw) const {
    if (dense != nullptr) return raw < dense_size ? dense[raw] : nullptr;
    if (table == nullptr) return nullptr;
    auto it = table->find(raw);
    return it == table->end() ? nullptr : &it->second;
  }
};

// An element code resolved against the tables once (by the decode plan).
struct ResolvedElement {
  const ElementDefinition* definition = nullptr;  // Table B entry, or null
  MeaningLookup meanings;                         // its code table
  bool character = false;                         // definition->is_character()
  bool takes_changes = false;                     // 2 01, 2 02 and 2 07 change its coding (rule set dependent)
  bool class31 = false;                           // is_class31(code): no associated field, never missing
  ElementCoding coding;                           // how it is read with no operator in force
};

// The definition's width and reference before the operators apply; 2 25 255
// values and 2 03 YYY changes replace them without copying the definition.
struct BaseCoding {
  std::uint16_t width = 0;       // Table B width (or the changed one)
  std::int64_t reference = 0;    // Table B reference (or the changed one)
};

// Table B width and reference of `element`, or its 2 03 YYY reference when one is in force.
BaseCoding base_coding(const ElementDefinition& element, const ValueCodingState& state);
// The coding of a 2 25 255 difference value for `element`: reference -2^width,
// width + 1 (at most 65535). 2^width is taken modulo 2^64 as a signed 64-bit
// number, so width 63 gives the reference -2^63 (the negation wraps) and
// widths from 64 on give 0.
BaseCoding difference_coding(const ElementDefinition& element);

// Applies the operators in force to `base` (the rules serve both walkers):
// character elements use `character_width` if set, else the base width; other
// elements `local_width` if set, else base width + width_change, 0 when that
// is not positive. Scale = element scale + scale_change, computed exactly in
// 64 bits. Reference (numeric elements) = base reference * 10^reference_power, exact; a product
// that does not fit in a signed 128-bit integer fails with a parse error
// naming the element and the operator. An element whose plan entry says it
// takes no changes (a code or flag table under the WMO rules) keeps its
// Table B width, scale and reference under 2 01, 2 02 and 2 07;
// local_width applies to every numeric element. `element` must have its
// definition; its flags were looked up once per element, not per value.
Result<ElementCoding> effective_coding(const ResolvedElement& element, BaseCoding base,
                                       const ValueCodingState& state);

// 10^|scale| by square-and-multiply in double arithmetic (exact table values
// up to 10^22, where the products are exact anyway), its reciprocal when the
// scale is negative. Huge scales give inf or 0.
double scale_divisor(std::int64_t scale);

// (raw + reference) / divisor with the sum taken exactly before the single
// rounding to double: in 64 bits when it fits, else in 128 bits, and above
// the signed 128-bit range (a reference near 2^127) as an unsigned 128-bit sum.
inline double scaled_value(std::uint64_t raw, __int128 reference, double divisor) {
  std::int64_t sum;
  double numerator;
  if (raw <= static_cast<std::uint64_t>(INT64_MAX) && reference >= INT64_MIN && reference <= INT64_MAX &&
      !__builtin_add_overflow(static_cast<std::int64_t>(raw), static_cast<std::int64_t>(reference), &sum)) [[likely]] {
    numerator = static_cast<double>(sum);
  } else if (__int128 wide; !__builtin_add_overflow(static_cast<__int128>(raw), reference, &wide)) {
    numerator = static_cast<double>(wide);
  } else {
    numerator = static_cast<double>(static_cast<unsigned __int128>(reference) + raw);  // reference > 0: < 2^128
  }
  return numerator / divisor;
}

// 2^width - 1 for width 0 to 64 (width 0 gives 0, so a 0-bit value is "all ones").
inline std::uint64_t all_ones(std::uint32_t width) {
  return width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << width) - 1;
}

// The missing-value rule: a value of `width` bits is missing when the element
// has the rule (`missing_check`: not class 31), the width is below 64 and
// every bit is set. A width of 0 reads 0, which counts as all ones.
inline bool is_missing_value(std::uint64_t raw, std::uint32_t width, bool missing_check) {
  return missing_check && width < 64 && raw == all_ones(width);
}

// Decodes CCITT IA5 bytes into `out`: none when empty or all 0xFF; otherwise
// bytes from 0x80 become '?' and trailing tab, LF, VT, FF, CR and spaces are
// dropped. `out` is scratch reused between calls.
bool decode_ia5_text(const std::vector<std::uint8_t>& bytes, std::string& out);

// Decodes character bytes under the WMO rules into `out` (UTF-8): none when
// empty or all 0xFF; bytes from 0x80 are Latin-1 characters; trailing NULs,
// tabs, LF, VT, FF, CR and spaces are dropped, and a text that held a NUL and
// nothing is left of is missing too (NUL padding of an absent identifier).
bool decode_wmo_text(const std::vector<std::uint8_t>& bytes, std::string& out);

// The position code k * 1000 + width / 8 of the k-th character value.
inline double character_position_code(std::uint64_t k, std::uint32_t width) {
  return static_cast<double>(k) * 1000.0 + static_cast<double>(width / 8);
}

// Bitmap byte of a 0 31 031 value: clamped to 0..255, truncated toward zero.
std::uint8_t bitmap_byte(double value);

// The element the next present bitmap position refers to, or null when there
// is no bitmap or it is exhausted. Advances the cursor.
Result<const ResolvedElement*> next_bitmap_element(ValueCodingState& state, std::uint32_t* slot = nullptr);
// The slot of the record the next present bitmap position refers to for a
// quality value (its own cursor: the markers' is left alone), or nothing.
std::optional<std::uint32_t> next_quality_target(ValueCodingState& state);

// Strict rules: 2 36 000 starts a bitmap anchored at the current history
// length; every later 0 31 031 value of the walk extends it.
void define_bitmap_strict(ValueCodingState& state);
// Strict rules: 2 35 000 and 2 37 YYY (YYY != 0) empty the bitmap and set its
// cursor and anchor to 0; 0 31 031 values still extend it.
void clear_bitmap(ValueCodingState& state);

// WMO rules: the data present bitmap follows the operators as data is encoded:
// 2 22 000, 2 23 000, 2 24 000, 2 25 000 and 2 32 000 each await a bitmap of
// their own, formed by the run of 0 31 031 values that follows them (directly
// or through a replication), unless 2 37 000 comes first and reuses the
// bitmap in force. 2 36 000 starts a bitmap that 2 37 000 can reuse. The
// run ends at the first other value; 0 31 031 values after it are elements.
//
// Every bitmap of those operators refers back to the same elements: the
// ones decoded before the first of them (the back reference), so quality
// values and bitmaps of an earlier block are not counted. 2 35 000 cancels the
// back reference, and the next operator refers to the elements before itself.
//
// 2 22/23/24/25/32 000: awaits a bitmap anchored at the back reference (set here if none).
void await_bitmap(ValueCodingState& state);
// 2 36 000: starts a bitmap, anchored like the awaited one when it follows such an
// operator, else at the current history; its 0 31 031 values follow.
void define_bitmap(ValueCodingState& state);
// A 0 31 031 value: true when it belongs to a bitmap (starting the awaited one), false when it is an element.
bool take_bitmap_value(ValueCodingState& state);
// Any other value (`element`: an element or a marker value; false: a replication factor): ends a
// run of bitmap values. An element met while a bitmap is awaited leaves that bitmap empty;
// a factor does not, since a replicated 0 31 031 run may follow it.
void close_bitmap_run(ValueCodingState& state, bool element);
inline void end_bitmap_run(ValueCodingState& state, bool element) {
  if (state.bitmap_phase == BitmapPhase::Awaiting || state.bitmap_phase == BitmapPhase::Collecting) [[unlikely]] {
    close_bitmap_run(state, element);
  }
}
// 2 37 000: the markers that follow walk the bitmap in force again from its start.
void reuse_bitmap(ValueCodingState& state);
// 2 37 YYY (YYY != 0): no bitmap is in force or awaited.
void cancel_bitmap(ValueCodingState& state);
// 2 35 000: as cancel_bitmap, and the back reference ends too.
void cancel_back_reference(ValueCodingState& state);

// A 2 03 YYY reference: the leftmost of `width` bits is the sign (set:
// negative), the rest the magnitude.
std::int64_t signed_reference(std::uint64_t bits, std::uint32_t width);

}  // namespace vantrel
