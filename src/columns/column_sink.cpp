#include "columns/column_sink.hpp"

#include "bitstream/bit_reader.hpp"
#include "data/coding.hpp"
#include "columns/parallel.hpp"

#include <algorithm>
#include <stdexcept>
#include <numeric>
#include <utility>

namespace vantrel {
namespace {

// Rows reserved ahead of a message: one per 16 bits of its data, at most this
// many; the vectors grow with the output beyond.
constexpr std::uint64_t MAX_RESERVED_ROWS = std::uint64_t{1} << 20;
// At most this many cells from a hint (the columns an earlier message of the same list gave).
constexpr std::uint64_t MAX_HINTED_CELLS = std::uint64_t{1} << 26;

}  // namespace

void RecordColumns::truncate(std::size_t rows, std::size_t text) {
  if (rows >= this->rows()) return;
  subset.truncate(rows);
  descriptor.truncate(rows);
  value.truncate(rows);
  flags.truncate(rows);
  slot.truncate(rows);
  raw.truncate(rows);
  text_offsets.truncate(rows + 1);
  text_bytes.truncate(text);
}

void RecordColumns::shrink_to_fit() {
  subset.shrink_to_fit();
  descriptor.shrink_to_fit();
  value.shrink_to_fit();
  flags.shrink_to_fit();
  slot.shrink_to_fit();
  raw.shrink_to_fit();
  text_offsets.shrink_to_fit();
  text_bytes.shrink_to_fit();
}

void ColumnSink::begin_message(std::uint32_t subsets, std::uint64_t data_bits) {
  sync();
  subsets_ = subsets;
  message_rows_ = columns_.rows();
  message_text_ = columns_.text_bytes.size();
  reserve_rows(static_cast<std::size_t>(std::min(data_bits / 16, MAX_RESERVED_ROWS)));
}

void ColumnSink::make_room() {
  auto room = [&] {
    const RecordColumns& c = columns_;
    std::size_t n = std::min({c.subset.capacity() - c.subset.size(), c.descriptor.capacity() - c.descriptor.size(),
                              c.value.capacity() - c.value.size(), c.flags.capacity() - c.flags.size(),
                              c.slot.capacity() - c.slot.size(), c.text_offsets.capacity() - c.text_offsets.size()});
    if (with_raw_) n = std::min(n, c.raw.capacity() - c.raw.size());
    return n;
  };
  sync();
  if (room() == 0) {
    if (windows_) throw std::length_error("window full");
    reserve_rows(std::max<std::size_t>(columns_.rows(), 256));
  }
  RecordColumns& c = columns_;
  at_ = Cursor{c.subset.end(), c.descriptor.end(), c.value.end(), c.flags.end(), c.slot.end(),
               with_raw_ ? c.raw.end() : nullptr, c.text_offsets.end()};
  text_end_ = static_cast<std::int64_t>(c.text_bytes.size());
  room_ = room();
}

void ColumnSink::reserve_rows(std::size_t rows) {
  sync();  // the columns may move: room is made again on the next row
  if (windows_) return;  // windows hold their rows exactly
  columns_.subset.reserve_more(rows);
  columns_.descriptor.reserve_more(rows);
  columns_.value.reserve_more(rows);
  columns_.flags.reserve_more(rows);
  columns_.slot.reserve_more(rows);
  if (with_raw_) columns_.raw.reserve_more(rows);
  columns_.text_offsets.reserve_more(rows);
}

RecordColumns ColumnSink::take() {
  sync();
  RecordColumns out = std::move(columns_);
  out.shrink_to_fit();
  columns_ = RecordColumns{};
  columns_.text_offsets.push_back(0);
  return out;
}

void ColumnSink::append_rows(const RecordColumns& from, std::size_t first, std::size_t count) {
  sync();
  const std::size_t last = first + count;
  columns_.subset.append(from.subset.begin() + first, from.subset.begin() + last);
  columns_.descriptor.append(from.descriptor.begin() + first, from.descriptor.begin() + last);
  columns_.value.append(from.value.begin() + first, from.value.begin() + last);
  columns_.flags.append(from.flags.begin() + first, from.flags.begin() + last);
  columns_.slot.append(from.slot.begin() + first, from.slot.begin() + last);
  if (with_raw_) columns_.raw.append(from.raw.begin() + first, from.raw.begin() + last);
  // The offsets move from where the rows' texts start there to where they start here.
  const std::int64_t shift = static_cast<std::int64_t>(columns_.text_bytes.size()) - from.text_offsets[first];
  std::int64_t* offsets = columns_.text_offsets.extend(count);
  for (std::size_t i = 0; i < count; ++i) offsets[i] = from.text_offsets[first + 1 + i] + shift;
  columns_.text_bytes.append(from.text_bytes.begin() + from.text_offsets[first],
                             from.text_bytes.begin() + from.text_offsets[last]);
}

void ColumnSink::add_uniform(std::uint32_t slot, std::uint32_t descriptor, double value, std::uint8_t flags,
                             std::uint64_t raw) {
  sync();
  const std::size_t n = subsets_;
  std::uint32_t* subset = columns_.subset.extend(n);
  std::iota(subset, subset + n, std::uint32_t{1});
  columns_.descriptor.append(n, descriptor);
  columns_.value.append(n, value);
  columns_.flags.append(n, flags);
  columns_.slot.append(n, slot);
  if (with_raw_) columns_.raw.append(n, raw);
  columns_.text_offsets.append(n, static_cast<std::int64_t>(columns_.text_bytes.size()));
}

void ColumnSink::add_text(Place place, std::uint32_t descriptor, std::uint8_t flags,
                          std::optional<std::string_view> text) {
  if (filter_ != nullptr && !filter_->keeps(descriptor)) return;
  sync();
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
    if (text) columns_.text_bytes.append(text->data(), text->data() + text->size());
    columns_.text_offsets.push_back(static_cast<std::int64_t>(columns_.text_bytes.size()));
  }
}

void MatrixSink::begin_message(std::uint32_t subsets, bool compressed, Bytes data, std::uint64_t hint) {
  const std::uint64_t data_bits = static_cast<std::uint64_t>(data.size()) * 8u;
  data_ = data;
  deferred_.clear();
  compressed_ = compressed;
  regular_ = true;
  uniform_ = false;
  rows_ = subsets;
  values_.clear();
  descriptors_.clear();
  const std::uint64_t hinted = std::min(hint * subsets, MAX_HINTED_CELLS);  // hint <= 2^32, so no overflow
  values_.reserve(static_cast<std::size_t>(std::max(std::min(data_bits / 16, MAX_RESERVED_ROWS), hinted)));
}

bool MatrixSink::begin_subset(std::uint32_t index) {
  // Every subset after the first must have produced all the first one's slots.
  if (regular_ && index > 1 && values_.size() != static_cast<std::size_t>(index) * descriptors_.size()) irregular();
  return true;
}

bool MatrixSink::begin_column(const ColumnInfo& column) {
  uniform_ = column.uniform;
  descriptors_.push_back(column.code);
  // A column of separate values has one value per subset: room for all of them at once.
  if (!uniform_) values_.reserve_more(rows_);
  return true;
}

void MatrixSink::irregular() {
  regular_ = false;
  values_.clear();
  values_.shrink_to_fit();
}

namespace {

// Fills the cells of a deferred column as the walk would have.
void fill(const DeferredColumn& column, Bytes data, std::uint32_t rows, double* values) {
  if (column.nbinc == 0) {
    std::fill_n(values + column.first, rows, column.constant);
    return;
  }
  BitReader reader(data);
  // The walk skipped these bits, so every read succeeds.
  if (!reader.try_seek(column.position)) return;
  for (std::uint32_t s = 0; s < rows; ++s) {
    std::uint64_t increment = 0;
    if (!reader.try_read(column.nbinc, increment)) return;
    const bool present = !column.r0_missing && !is_missing_value(increment, column.nbinc, column.missing_check);
    const std::uint64_t raw = present ? column.r0 + increment : column.r0;  // modulo 2^64
    values[column.first + s] = present ? scaled_value(raw, column.reference, column.divisor) : NAN;
  }
}

}  // namespace

bool MatrixSink::end_message() {
  if (!deferred_.empty()) {
    // Shares of about equal cells, one per thread, each a run of whole columns.
    const std::size_t shares = std::min<std::size_t>(threads_, deferred_.size());
    double* values = values_.data();
    run_parallel(shares, [&](std::size_t share) {
      const std::size_t first = deferred_.size() * share / shares;
      const std::size_t last = deferred_.size() * (share + 1) / shares;
      for (std::size_t i = first; i < last; ++i) fill(deferred_[i], data_, rows_, values);
    });
    deferred_.clear();
  }
  if (!compressed_) {
    if (regular_ && values_.size() != static_cast<std::size_t>(rows_) * descriptors_.size()) irregular();
    if (!regular_) descriptors_.clear();
  }
  return true;
}

}  // namespace vantrel
