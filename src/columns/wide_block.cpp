#include "columns/wide_block.hpp"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <stdexcept>
#include <vector>

#include "columns/parallel.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantrel {

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();

struct Scatter {
  std::span<const double> value;
  std::span<const std::uint32_t> label;
  std::span<const std::uint32_t> subset;
  std::span<const std::int32_t> column_of;
  std::size_t columns = 0;
  std::size_t total = 0;
  double* cells = nullptr;
};

// The object rows one thread found.
struct Objects {
  PodVector<std::int64_t> rows;
  PodVector<std::int64_t> out;
  PodVector<std::int32_t> column;

  void add(std::size_t row, std::int64_t out_row, std::int32_t j) {
    rows.push_back(static_cast<std::int64_t>(row));
    out.push_back(out_row);
    column.push_back(j);
  }
};

// Copies `count` doubles to `to`, which nothing reads soon: on x86-64 the
// stores bypass the cache, so the block's lines are written without being
// read first (a third of the memory traffic of a plain copy into fresh pages).
void copy_out(double* to, const double* from, std::size_t count) {
#if defined(__SSE2__)
  std::size_t i = 0;
  if ((reinterpret_cast<std::uintptr_t>(to) & 15) != 0 && count != 0) {
    to[0] = from[0];
    i = 1;
  }
  for (; i + 2 <= count; i += 2) {
    _mm_stream_pd(to + i, _mm_loadu_pd(from + i));
  }
  if (i < count) to[i] = from[i];
#else
  std::memcpy(to, from, count * sizeof(double));
#endif
}

std::int32_t column_at(const Scatter& s, std::size_t row) {
  const std::uint32_t at = s.label[row];
  if (at >= s.column_of.size()) throw std::invalid_argument("a label without a column entry");
  const std::int32_t column = s.column_of[at];
  if (column >= 0 && static_cast<std::size_t>(column) >= s.columns) {
    throw std::invalid_argument("a column outside the block");
  }
  return column;
}

// One message of `rows` rows from row `first`, with `subsets` output rows from `base`.
void scatter_message(const Scatter& s, std::size_t first, std::size_t rows, std::size_t base, std::size_t subsets,
                     bool slot_major, std::vector<std::uint64_t>& written, std::uint64_t stamp, Objects& objects) {
  const std::size_t n = subsets;
  if (slot_major && n != 0 && rows % n == 0) {
    // Slot after slot, each with one row per subset in subset order: whole runs of a column.
    for (std::size_t i = first; i < first + rows; i += n) {
      if (s.subset[i] != 1 || s.subset[i + n - 1] != n || s.label[i + n - 1] != s.label[i]) {
        throw std::invalid_argument("the rows of a compressed slot are out of order");
      }
      const std::int32_t column = column_at(s, i);
      if (column >= 0) {
        copy_out(s.cells + static_cast<std::size_t>(column) * s.total + base, s.value.data() + i, n);
        written[static_cast<std::size_t>(column)] = stamp;
      } else if (column < -1) {
        for (std::size_t j = 0; j < n; ++j) objects.add(i + j, static_cast<std::int64_t>(base + j), -2 - column);
      }
    }
  } else {
    for (std::size_t c = 0; c < s.columns; ++c) written[c] = stamp;
    for (std::size_t c = 0; c < s.columns; ++c) std::fill_n(s.cells + c * s.total + base, n, NOT_A_NUMBER);
    for (std::size_t i = first; i < first + rows; ++i) {
      const std::int32_t column = column_at(s, i);
      if (column == -1) continue;
      const std::uint32_t at = s.subset[i];
      if (at == 0 || at > n) throw std::invalid_argument("a row of a subset its message lacks");
      if (column >= 0) {
        s.cells[static_cast<std::size_t>(column) * s.total + base + at - 1] = s.value[i];
      } else {
        objects.add(i, static_cast<std::int64_t>(base + at - 1), -2 - column);
      }
    }
  }
  // The columns the message left: missing.
  for (std::size_t c = 0; c < s.columns; ++c) {
    if (written[c] != stamp) std::fill_n(s.cells + c * s.total + base, n, NOT_A_NUMBER);
  }
}

}  // namespace

WideBlock scatter_wide(std::span<const double> value, std::span<const std::uint32_t> label,
                       std::span<const std::uint32_t> subset, const WideMessages& messages,
                       std::span<const std::int32_t> column_of, std::size_t columns, std::size_t total,
                       unsigned threads, std::span<double> into) {
  const std::size_t rows = value.size();
  const std::size_t count = messages.rows.size();
  if (label.size() != rows || subset.size() != rows) {
    throw std::invalid_argument("value, label and subset need one entry per row");
  }
  if (messages.bases.size() != count || messages.subsets.size() != count || messages.slot_major.size() != count) {
    throw std::invalid_argument("rows, bases, subsets and slot_major need one entry per message");
  }
  if (columns != 0 && total > std::numeric_limits<std::size_t>::max() / sizeof(double) / columns) {
    throw std::invalid_argument("the block is too large");
  }
  // Each message's first row, and its output rows inside the block.
  std::vector<std::size_t> first(count + 1, 0);
  for (std::size_t k = 0; k < count; ++k) {
    if (messages.rows[k] > rows - first[k]) throw std::invalid_argument("the messages hold more rows than the columns");
    first[k + 1] = first[k] + messages.rows[k];
    const std::int64_t base = messages.bases[k];
    const std::int64_t subsets = messages.subsets[k];
    if (base < 0 || subsets < 0 || static_cast<std::uint64_t>(base) > total ||
        static_cast<std::uint64_t>(subsets) > total - static_cast<std::uint64_t>(base)) {
      throw std::invalid_argument("a message's subsets lie outside the block");
    }
    // Threads fill the output rows of different messages: they must not overlap.
    if (k > 0 && base < messages.bases[k - 1] + messages.subsets[k - 1]) {
      throw std::invalid_argument("the messages' output rows overlap or are out of order");
    }
  }
  WideBlock out;
  double* cells = nullptr;  // every cell is written below: by a row, or as missing
  if (!into.empty() && into.size() >= columns * total) {
    const auto overlaps = [&](const void* data, std::size_t bytes) {
      const auto* a = reinterpret_cast<const char*>(into.data());
      const auto* b = static_cast<const char*>(data);
      return std::less<>{}(a, b + bytes) && std::less<>{}(b, a + into.size_bytes());
    };
    if (overlaps(value.data(), value.size_bytes()) || overlaps(label.data(), label.size_bytes()) ||
        overlaps(subset.data(), subset.size_bytes())) {
      throw std::invalid_argument("the block would overwrite the rows it reads");
    }
    cells = into.data();
  } else {
    cells = out.values.extend(columns * total);
  }
  // Output rows no message covers are missing too.
  std::vector<std::uint8_t> covered(total, 0);
  for (std::size_t k = 0; k < count; ++k) {
    std::fill_n(covered.begin() + messages.bases[k], messages.subsets[k], std::uint8_t{1});
  }
  for (std::size_t r = 0; r < total; ++r) {
    if (covered[r] == 0) {
      for (std::size_t c = 0; c < columns; ++c) cells[c * total + r] = NOT_A_NUMBER;
    }
  }
  const Scatter s{value, label, subset, column_of, columns, total, cells};
  // Messages split into runs of about equal rows, one per thread.
  const std::size_t parts = std::max<std::size_t>(1, std::min<std::size_t>(threads, count));
  std::vector<std::size_t> cut(parts + 1, count);
  cut[0] = 0;
  for (std::size_t p = 1, k = 0; p < parts; ++p) {
    const std::size_t goal = rows / parts * p;
    while (k < count && first[k] < goal) ++k;
    cut[p] = std::max(k, cut[p - 1]);
  }
  std::vector<Objects> found(parts);
  run_parallel(parts, [&](std::size_t p) {
#if defined(__SSE2__)
    struct Fence {  // the streamed stores are seen by every thread once this one ends
      ~Fence() { _mm_sfence(); }
    } fence;
#endif
    std::vector<std::uint64_t> written(columns, 0);
    for (std::size_t k = cut[p]; k < cut[p + 1]; ++k) {
      scatter_message(s, first[k], messages.rows[k], static_cast<std::size_t>(messages.bases[k]),
                      static_cast<std::size_t>(messages.subsets[k]), messages.slot_major[k] != 0, written, k + 1,
                      found[p]);
    }
  });
  for (Objects& objects : found) {
    out.object_rows.append(objects.rows.begin(), objects.rows.end());
    out.object_out.append(objects.out.begin(), objects.out.end());
    out.object_column.append(objects.column.begin(), objects.column.end());
  }
  return out;
}

}  // namespace vantrel
