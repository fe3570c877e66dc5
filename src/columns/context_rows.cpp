#include "columns/context_rows.hpp"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace vantrel {

bool stays_in_force(std::uint32_t code) {
  // Elements are F = 0: codes below 100000; classes 01 to 08.
  const std::uint32_t x = code / 1000;
  return code < 100000 && x >= 1 && x <= 8;
}

namespace {

using context_kind::ABSENT;
using context_kind::COORDINATE;
using context_kind::OBSERVATION;

// The row being filled and the rows made.
struct Builder {
  Builder(std::vector<std::uint8_t> kinds, std::size_t keys) : column(keys, -1), held(keys, -1) {
    out.kind = std::move(kinds);
    for (std::size_t j = 0; j < keys; ++j) {
      if (out.kind[j] == COORDINATE) column[j] = static_cast<std::int64_t>(coordinates++);
    }
    current.assign(coordinates, -1);
  }

  // Ends the row being filled as a row of `group`; coordinates stay in force.
  void emit(std::int64_t group) {
    const auto row = static_cast<std::int64_t>(out.group.size());
    out.group.push_back(group);
    out.coordinates.append(current.data(), current.data() + coordinates);
    for (const std::size_t j : filled) {
      out.observed.push_back(held[j]);
      out.observed_row.push_back(row);
      held[j] = -1;
    }
    filled.clear();
  }
  void start_group() {
    std::fill(current.begin(), current.end(), -1);
    for (const std::size_t j : filled) held[j] = -1;
    filled.clear();
  }

  std::size_t coordinates = 0;        // coordinate keys
  std::vector<std::int64_t> column;   // per key: its coordinate column, -1 for an observation
  std::vector<std::int64_t> current;  // per coordinate column: the row of its value in force, -1 for none
  std::vector<std::int64_t> held;     // per key: the row of its observation in the row being filled, -1 for none
  std::vector<std::size_t> filled;    // the observation keys the row being filled holds
  ContextRows out;
};

}  // namespace

ContextRows context_rows(std::span<const std::int64_t> rows, std::span<const std::int32_t> chosen,
                         std::span<const std::int64_t> group, std::span<const std::uint32_t> descriptor,
                         std::span<const std::uint32_t> slot, std::size_t keys, std::size_t groups) {
  if (chosen.size() != group.size() || chosen.size() != descriptor.size() || chosen.size() != slot.size()) {
    throw std::invalid_argument("chosen, group, descriptor and slot must have one item per row");
  }
  // A key is an observation when any of its rows is. With no observation key, the keys met
  // more than once in a subset are (the levels), else every key with rows.
  std::vector<std::uint8_t> kind(keys, ABSENT);
  std::vector<std::uint8_t> repeated(keys, 0);
  std::vector<std::int64_t> last_group(keys, -1);
  for (const std::int64_t r : rows) {
    if (r < 0 || static_cast<std::uint64_t>(r) >= chosen.size()) throw std::invalid_argument("row out of range");
    const std::int32_t j = chosen[static_cast<std::size_t>(r)];
    if (j < 0 || static_cast<std::size_t>(j) >= keys) throw std::invalid_argument("chosen key out of range");
    const std::int64_t g = group[static_cast<std::size_t>(r)];
    if (g < 0 || static_cast<std::uint64_t>(g) >= groups) throw std::invalid_argument("group out of range");
    const auto key = static_cast<std::size_t>(j);
    if (!stays_in_force(descriptor[static_cast<std::size_t>(r)])) {
      kind[key] = OBSERVATION;
    } else if (kind[key] == ABSENT) {
      kind[key] = COORDINATE;
    }
    if (last_group[key] == g) repeated[key] = 1;
    last_group[key] = g;
  }
  if (std::none_of(kind.begin(), kind.end(), [](std::uint8_t k) { return k == OBSERVATION; })) {
    const bool levels = std::any_of(repeated.begin(), repeated.end(), [](std::uint8_t r) { return r != 0; });
    for (std::size_t j = 0; j < keys; ++j) {
      if (kind[j] == COORDINATE && (!levels || repeated[j] != 0)) kind[j] = OBSERVATION;
    }
  }

  Builder b(std::move(kind), keys);
  b.out.group.reserve(groups);
  b.out.observed.reserve(rows.size());
  b.out.observed_row.reserve(rows.size());
  std::int64_t open = -1;  // the group being walked
  bool emitted = false;    // whether it has a row yet
  std::int64_t previous = -1;  // the group's last chosen row
  auto finish = [&] {
    if (open >= 0 && (!b.filled.empty() || !emitted)) b.emit(open);
  };
  auto empty_groups = [&](std::int64_t from, std::int64_t to) {
    b.start_group();
    for (std::int64_t g = from; g < to; ++g) b.emit(g);
  };
  for (const std::int64_t r : rows) {
    const auto i = static_cast<std::size_t>(r);
    const std::int64_t g = group[i];
    if (g != open) {
      if (g < open) throw std::invalid_argument("groups out of order");
      finish();
      empty_groups(open + 1, g);
      b.start_group();
      open = g;
      emitted = false;
      previous = -1;
    }
    const auto j = static_cast<std::size_t>(chosen[i]);
    const std::int64_t column = b.column[j];
    if (column >= 0 && previous >= 0) {
      const auto p = static_cast<std::size_t>(previous);
      if (static_cast<std::size_t>(chosen[p]) == j && slot[p] != UINT32_MAX && slot[i] == slot[p] + 1) {
        b.out.ranges.push_back(r);
        b.out.ranges.push_back(previous);
      }
    }
    previous = r;
    // A coordinate that changes after the row's observations, or an observation the row
    // already holds, ends the row.
    if ((column >= 0 && !b.filled.empty()) || (column < 0 && b.held[j] >= 0)) {
      b.emit(g);
      emitted = true;
    }
    if (column >= 0) {
      b.current[static_cast<std::size_t>(column)] = r;
    } else {
      b.held[j] = r;
      b.filled.push_back(j);
    }
  }
  finish();
  empty_groups(open + 1, static_cast<std::int64_t>(groups));
  return std::move(b.out);
}

}  // namespace vantrel
