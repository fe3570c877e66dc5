// The wide form of keyed rows: one row per subset, one column per chosen
// label, filled by a scatter of the rows' values into one block.
#pragma once

#include <cstdint>
#include <span>

#include "memory/pod_vector.hpp"

namespace vantrel {

struct WideBlock {
  PodVector<double> values;               // columns x total cells, column after column; NaN where no row lands
  PodVector<std::int64_t> object_rows;    // rows of object columns (texts, meanings), in row order
  PodVector<std::int64_t> object_out;     // the output row of each
  PodVector<std::int32_t> object_column;  // and its object column
};

// The messages whose rows a scatter places, in row order.
struct WideMessages {
  std::span<const std::uint64_t> rows;     // rows of each (they follow each other)
  std::span<const std::int64_t> bases;     // output row of its first subset
  std::span<const std::int64_t> subsets;   // its subsets (output rows)
  std::span<const std::uint8_t> slot_major;  // nonzero: compressed rows, every subset of a slot in turn
};

// Scatters keyed rows: row i of the k-th message lands in output row
// bases[k] + subset[i] - 1 of column column_of[label[i]] when that is 0 or
// more; -1 skips the row; -2 - j makes it a row of object column j, listed
// instead. Uses up to `threads` threads (the result does not depend on it).
// The cells go to `into` when it holds columns x total of them (memory the
// caller has done with, whose pages are already in place: writing fresh
// pages costs more than the scatter), else to WideBlock::values. Throws
// std::invalid_argument when a row would land outside its message's output
// rows or outside the block, or `into` overlaps the rows read.
WideBlock scatter_wide(std::span<const double> value, std::span<const std::uint32_t> label,
                       std::span<const std::uint32_t> subset, const WideMessages& messages,
                       std::span<const std::int32_t> column_of, std::size_t columns, std::size_t total,
                       unsigned threads, std::span<double> into = {});

}  // namespace vantrel
