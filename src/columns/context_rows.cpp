#include "columns/context_rows.hpp"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace vantrel {

bool stays_in_force(std::uint32_t code) {
  // Elements are F = 0: codes below 100000; classes 01 to 08.
  const std::uint32_t x = code / 1000;
  return code < 100000 && x >= 1 && x <= 8;
}

namespace {

// The row being filled and the rows made.
struct Builder {
  explicit Builder(std::size_t keys) : keys(keys), current(keys, -1) {}

  // Ends the row being filled as a row of `group`; coordinates stay in force.
  void emit(std::int64_t group, const std::vector<std::uint8_t>& observation) {
    out.source.append(current.data(), current.data() + keys);
    out.group.push_back(group);
    for (std::size_t j = 0; j < keys; ++j) {
      if (observation[j] != 0) current[j] = -1;
    }
    has_observation = false;
  }
  void start_group() {
    std::fill(current.begin(), current.end(), -1);
    has_observation = false;
  }

  std::size_t keys;
  std::vector<std::int64_t> current;  // per key: the row of its value in force, -1 for none
  bool has_observation = false;       // whether the row being filled holds an observation
  ContextRows out;
};

}  // namespace

ContextRows context_rows(std::span<const std::int64_t> rows, std::span<const std::int32_t> chosen,
                         std::span<const std::int64_t> group, std::span<const std::uint32_t> descriptor,
                         std::size_t keys, std::size_t groups) {
  if (chosen.size() != group.size() || chosen.size() != descriptor.size()) {
    throw std::invalid_argument("chosen, group and descriptor must have one item per row");
  }
  // A key is an observation when any of its rows is; with no observation key, every key is one.
  std::vector<std::uint8_t> observation(keys, 0);
  for (const std::int64_t r : rows) {
    if (r < 0 || static_cast<std::uint64_t>(r) >= chosen.size()) throw std::invalid_argument("row out of range");
    const std::int32_t j = chosen[static_cast<std::size_t>(r)];
    if (j < 0 || static_cast<std::size_t>(j) >= keys) throw std::invalid_argument("chosen key out of range");
    const std::int64_t g = group[static_cast<std::size_t>(r)];
    if (g < 0 || static_cast<std::uint64_t>(g) >= groups) throw std::invalid_argument("group out of range");
    if (!stays_in_force(descriptor[static_cast<std::size_t>(r)])) observation[static_cast<std::size_t>(j)] = 1;
  }
  bool any = false;
  for (const auto o : observation) any = any || o != 0;
  if (!any) std::fill(observation.begin(), observation.end(), std::uint8_t{1});

  Builder b(keys);
  b.out.source.reserve(rows.size() * keys + groups * keys);
  b.out.group.reserve(rows.size() + groups);
  std::int64_t open = -1;   // the group being walked
  bool emitted = false;     // whether it has a row yet
  auto finish = [&] {
    if (open >= 0 && (b.has_observation || !emitted)) b.emit(open, observation);
  };
  auto empty_groups = [&](std::int64_t from, std::int64_t to) {
    b.start_group();
    for (std::int64_t g = from; g < to; ++g) b.emit(g, observation);
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
    }
    const auto j = static_cast<std::size_t>(chosen[i]);
    if (observation[j] == 0) {
      if (b.has_observation) {
        b.emit(g, observation);
        emitted = true;
      }
    } else if (b.current[j] >= 0) {  // the key comes again: a new row
      b.emit(g, observation);
      emitted = true;
    }
    b.current[j] = r;
    if (observation[j] != 0) b.has_observation = true;
  }
  finish();
  empty_groups(open + 1, static_cast<std::int64_t>(groups));
  return std::move(b.out);
}

}  // namespace vantrel
