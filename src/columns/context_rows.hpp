// Rows in context: the values of chosen keys grouped the way BUFR nests them.
//
// Coordinates and qualifiers (elements of classes 01 to 08: identification,
// instrument, time, position, height, significance) stay in force from their
// value until the key's next value in the same subset. Each row holds one
// value of every chosen observation key (the other classes) with the chosen
// coordinates in force at it: a row ends where an observation key it holds
// comes again or a coordinate changes after its observations. Outer keys
// thus stand on every row of the levels nested in them (a station's number on
// each of its sensor heights, a sounding's position on each of its levels).
// When none of the chosen keys is an observation, those met more than once in
// a subset count as observations (a sounding's pressures), else every one.
//
// A coordinate value that is the very next record after a value of the same
// key closes the range that one opens: two time periods in a row (-12 h,
// 0 h) give the period of a maximum temperature.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "memory/pod_vector.hpp"

namespace vantrel {

// Whether element `code` is a coordinate or qualifier that stays in force.
bool stays_in_force(std::uint32_t code);

// What a chosen key is, in ContextRows::kind.
namespace context_kind {
inline constexpr std::uint8_t ABSENT = 0;       // no row has it
inline constexpr std::uint8_t COORDINATE = 1;   // its values stay in force
inline constexpr std::uint8_t OBSERVATION = 2;  // its values fill rows
}  // namespace context_kind

struct ContextRows {
  std::vector<std::uint8_t> kind;         // per chosen key: a context_kind
  PodVector<std::int64_t> group;          // per row: its group (subset)
  // Rows x coordinate keys (in key order), row after row: the input row of the coordinate in force, -1 for none.
  PodVector<std::int64_t> coordinates;
  PodVector<std::int64_t> observed;      // the input row of each observation value, by row
  PodVector<std::int64_t> observed_row;  // and the row that holds it
  PodVector<std::int64_t> ranges;        // (end, start) input rows of each range of coordinate values
};

// The rows in context of `rows` (input row numbers in walk order, groups in
// ascending order): row r is of chosen key `chosen[r]` (0 .. keys - 1),
// element `descriptor[r]` and record `slot[r]` of its subset, in group
// `group[r]` (0 .. groups - 1). Every group
// has at least one row, with no values when none of its rows is chosen.
// Throws std::invalid_argument for a row, key or group out of range or groups
// out of order.
ContextRows context_rows(std::span<const std::int64_t> rows, std::span<const std::int32_t> chosen,
                         std::span<const std::int64_t> group, std::span<const std::uint32_t> descriptor,
                         std::span<const std::uint32_t> slot, std::size_t keys, std::size_t groups);

}  // namespace vantrel
