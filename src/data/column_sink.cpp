#include "data/column_sink.hpp"

#include <algorithm>
#include <utility>

namespace vantrel {
namespace {

// Rows reserved ahead of a message: one per 16 bits of its data, at most this
// many; the vectors grow with the output beyond.
constexpr std::uint64_t MAX_RESERVED_ROWS = std::uint64_t{1} << 20;

// Rows x columns block of the transposition (fits the first-level cache).
constexpr std::size_t TRANSPOSE_BLOCK = 32;

}  // namespace

void ColumnSink::begin_message(std::uint32_t subsets, std::uint64_t data_bits) {
  subsets_ = subsets;
  const std::size_t rows = columns_.rows() + static_cast<std::size_t>(std::min(data_bits / 16, MAX_RESERVED_ROWS));
  columns_.subset.reserve(rows);
  columns_.descriptor.reserve(rows);
  columns_.value.reserve(rows);
  columns_.flags.reserve(rows);
  columns_.slot.reserve(rows);
  if (with_raw_) columns_.raw.reserve(rows);
  columns_.text_offsets.reserve(rows + 1);
}

RecordColumns ColumnSink::take() {
  RecordColumns out = std::move(columns_);
  columns_ = RecordColumns{};
  columns_.text_offsets.push_back(0);
  return out;
}

void ColumnSink::add_uniform(std::uint32_t slot, std::uint32_t descriptor, double value, std::uint8_t flags,
                             std::uint64_t raw) {
  const std::size_t n = subsets_;
  for (std::uint32_t s = 1; s <= subsets_; ++s) columns_.subset.push_back(s);
  columns_.descriptor.insert(columns_.descriptor.end(), n, descriptor);
  columns_.value.insert(columns_.value.end(), n, value);
  columns_.flags.insert(columns_.flags.end(), n, flags);
  columns_.slot.insert(columns_.slot.end(), n, slot);
  if (with_raw_) columns_.raw.insert(columns_.raw.end(), n, raw);
  columns_.text_offsets.insert(columns_.text_offsets.end(), n, columns_.text_offsets.back());
}

void ColumnSink::add_text(Place place, std::uint32_t descriptor, std::uint8_t flags,
                          std::optional<std::string_view> text) {
  if (!text) flags |= row_flags::MISSING;
  // A uniform text column (2 05 YYY with NBINC 0) repeats its text per subset.
  const std::uint32_t first = uniform_ ? 1 : place.subset + 1;
  const std::uint32_t last = uniform_ ? subsets_ : place.subset + 1;
  for (std::uint32_t s = first; s <= last; ++s) {
    columns_.subset.push_back(s);
    columns_.descriptor.push_back(descriptor);
    columns_.value.push_back(NAN);
    columns_.flags.push_back(flags);
    columns_.slot.push_back(place.slot);
    if (with_raw_) columns_.raw.push_back(0);
    if (text) columns_.text_bytes.insert(columns_.text_bytes.end(), text->begin(), text->end());
    columns_.text_offsets.push_back(static_cast<std::int64_t>(columns_.text_bytes.size()));
  }
}

void MatrixSink::begin_message(std::uint32_t subsets, bool compressed) {
  compressed_ = compressed;
  regular_ = true;
  uniform_ = false;
  rows_ = subsets;
  values_.clear();
  descriptors_.clear();
  by_column_.clear();
}

bool MatrixSink::begin_subset(std::uint32_t index) {
  // Every subset after the first must have produced all the first one's slots.
  if (regular_ && index > 1 && values_.size() != static_cast<std::size_t>(index) * descriptors_.size()) irregular();
  return true;
}

bool MatrixSink::begin_column(const ColumnInfo& column) {
  uniform_ = column.uniform;
  descriptors_.push_back(column.code);
  return true;
}

void MatrixSink::irregular() {
  regular_ = false;
  values_.clear();
  values_.shrink_to_fit();
}

bool MatrixSink::end_message() {
  if (!compressed_) {
    if (regular_ && values_.size() != static_cast<std::size_t>(rows_) * descriptors_.size()) irregular();
    if (!regular_) descriptors_.clear();
    return true;
  }
  // Columns one after the other -> rows one after the other.
  const std::size_t rows = rows_;
  const std::size_t cols = descriptors_.size();
  values_.resize(rows * cols);
  for (std::size_t c0 = 0; c0 < cols; c0 += TRANSPOSE_BLOCK) {
    const std::size_t c1 = std::min(cols, c0 + TRANSPOSE_BLOCK);
    for (std::size_t r0 = 0; r0 < rows; r0 += TRANSPOSE_BLOCK) {
      const std::size_t r1 = std::min(rows, r0 + TRANSPOSE_BLOCK);
      for (std::size_t c = c0; c < c1; ++c) {
        const double* from = by_column_.data() + c * rows;
        for (std::size_t r = r0; r < r1; ++r) values_[r * cols + c] = from[r];
      }
    }
  }
  by_column_.clear();
  return true;
}

}  // namespace vantrel
