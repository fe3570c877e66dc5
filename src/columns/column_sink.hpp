// Typed column output of a decode, for array consumers: the ColumnSink keeps
// one row per record in growable vectors, the MatrixSink one row per subset
// and one column per slot. Neither touches Python, so both may be filled with
// the interpreter's lock released; their vectors move out without copying.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/decode.hpp"
#include "memory/pod_vector.hpp"
#include "data/value_sink.hpp"
#include "descriptor/descriptor.hpp"
#include "error/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

// Bits of the `flags` column.
namespace row_flags {
inline constexpr std::uint8_t MISSING = 1;      // no value (numeric missing, or text all 0xFF)
inline constexpr std::uint8_t CHARACTER = 2;    // the row has text (character element or 2 05 YYY)
inline constexpr std::uint8_t OPERATOR = 4;     // an operator record or 2 05 YYY text
inline constexpr std::uint8_t ASSOCIATED = 8;   // an associated field (descriptor 999999)
inline constexpr std::uint8_t HAS_MEANING = 16; // the code table has a meaning for `raw`
}  // namespace row_flags

// The columns of the records of a decode, one row per record. Non-compressed
// data comes in subset order (every record of subset 1, then subset 2...);
// compressed data column by column (every subset of slot 0, then slot 1...).
struct RecordColumns {
  PodVector<std::uint32_t> subset;      // 1-based subset number
  PodVector<std::uint32_t> descriptor;  // element, operator or 999999
  PodVector<double> value;              // scaled value; NaN when missing, for text and operator records
  PodVector<std::uint8_t> flags;        // row_flags bits
  PodVector<std::uint32_t> slot;        // the record's slot (see value_sink.hpp)
  PodVector<std::uint64_t> raw;         // bits read (0 for text and operator records); empty unless requested
  PodVector<std::int64_t> text_offsets; // Arrow string layout: row i is text_bytes[offsets[i], offsets[i+1])
  PodVector<char> text_bytes;           // the texts, concatenated; rows without text are empty

  std::size_t rows() const { return subset.size(); }
  // Keeps the first `rows` rows and the first `text` bytes of texts (theirs).
  void truncate(std::size_t rows, std::size_t text);
  // Gives back the capacity beyond the rows.
  void shrink_to_fit();
};

// The elements whose rows a sink keeps when it has a filter: the rows of
// other elements, of operators and of associated fields are dropped.
class RowFilter {
 public:
  void keep(std::uint32_t code) {
    if (code < LIMIT) bits_[code >> 6] |= std::uint64_t{1} << (code & 63);
  }
  bool keeps(std::uint32_t code) const { return code < LIMIT && ((bits_[code >> 6] >> (code & 63)) & 1) != 0; }

 private:
  static constexpr std::uint32_t LIMIT = 1u << 16;  // element codes (F = 0) are below 64000
  std::uint64_t bits_[LIMIT / 64] = {};
};

class ColumnSink final : public ValueSink {
 public:
  // `with_raw`: also fill the raw column.
  explicit ColumnSink(bool with_raw = false) : with_raw_(with_raw) { columns_.text_offsets.push_back(0); }
  // A sink writing into windows of shared arrays (PodVector::window): each
  // column's window starts at the sink's first row (text_offsets one later,
  // its first row's offset being the previous row's end; text_bytes at the
  // sink's first text byte) and holds exactly the rows it will get. Row
  // offsets into the texts count from the start of the shared text array.
  ColumnSink(RecordColumns windows, bool with_raw)
      : columns_(std::move(windows)), with_raw_(with_raw), windows_(true) {}

  // Called by decode_columns before the walk: the message's subset count,
  // and a reservation from the size of its data (bounded, never from a
  // count the message declares).
  void begin_message(std::uint32_t subsets, std::uint64_t data_bits);

  // The columns of the messages ended so far (decode_columns returns with them).
  const RecordColumns& columns() const { return columns_; }
  // Moves the columns out, trimmed to their rows, and leaves the sink empty,
  // ready for reuse.
  RecordColumns take();
  // Appends rows [first, first + count) of `from` (another sink's columns)
  // with their texts.
  void append_rows(const RecordColumns& from, std::size_t first, std::size_t count);
  // Room for `rows` more rows without growing (a caller that decodes many
  // messages into one sink reserves from what the first ones gave).
  void reserve_rows(std::size_t rows);
  // Keeps only the rows `filter` keeps (null: every row); it must outlive the sink's use.
  void set_filter(const RowFilter* filter) { filter_ = filter; }
  // Drops the rows of the message begun last (it failed).
  void drop_message() {
    sync();
    columns_.truncate(message_rows_, message_text_);
  }
  bool end_message() override {
    sync();
    return true;
  }

  bool begin_column(const ColumnInfo& column) override {
    uniform_ = column.uniform;
    // A column of separate values has one row per subset: room for all of them at once.
    if (!uniform_) reserve_rows(subsets_);
    return true;
  }
  bool end_column() override {
    uniform_ = false;
    return true;
  }

  bool numeric(Place place, const ElementDefinition& element, std::uint64_t raw, const std::optional<double>& value,
               const std::string* meaning) override {
    const std::uint8_t flags = (value ? 0 : row_flags::MISSING) | (meaning ? row_flags::HAS_MEANING : 0);
    add(place, element.code, value ? *value : NAN, flags, raw);
    return true;
  }
  bool character(Place place, const ElementDefinition& element, double,
                 std::optional<std::string_view> text) override {
    add_text(place, element.code, row_flags::CHARACTER, text);
    return true;
  }
  bool associated_field(Place place, std::uint64_t raw) override {
    add(place, ASSOCIATED_FIELD_CODE, static_cast<double>(raw), row_flags::ASSOCIATED, raw);
    return true;
  }
  bool operator_record(Place place, std::uint32_t code) override {
    add(place, code, NAN, row_flags::OPERATOR, 0);
    return true;
  }
  bool operator_text(Place place, std::uint32_t code, std::optional<std::string_view> text) override {
    add_text(place, code, row_flags::OPERATOR | row_flags::CHARACTER, text);
    return true;
  }

 private:
  // One row, or one per subset for the event of a uniform column.
  void add(Place place, std::uint32_t descriptor, double value, std::uint8_t flags, std::uint64_t raw) {
    if (filter_ != nullptr && !filter_->keeps(descriptor)) return;
    if (uniform_) [[unlikely]] return add_uniform(place.slot, descriptor, value, flags, raw);
    if (room_ == 0) [[unlikely]] make_room();
    --room_;
    ++written_;
    *at_.subset++ = place.subset + 1;
    *at_.descriptor++ = descriptor;
    *at_.value++ = value;
    *at_.flags++ = flags;
    *at_.slot++ = place.slot;
    if (with_raw_) *at_.raw++ = raw;
    *at_.text_offsets++ = text_end_;
  }
  // Counts the rows add() wrote into the columns' sizes; every other use of
  // the columns comes after it.
  void sync() {
    if (written_ != 0) {
      columns_.subset.commit(written_);
      columns_.descriptor.commit(written_);
      columns_.value.commit(written_);
      columns_.flags.commit(written_);
      columns_.slot.commit(written_);
      if (with_raw_) columns_.raw.commit(written_);
      columns_.text_offsets.commit(written_);
      written_ = 0;
    }
    room_ = 0;
  }
  // Makes room_ at least 1: the rows every column can take without growing,
  // with at_ at their ends (throws when windows are full).
  void make_room();
  void add_uniform(std::uint32_t slot, std::uint32_t descriptor, double value, std::uint8_t flags,
                   std::uint64_t raw);
  void add_text(Place place, std::uint32_t descriptor, std::uint8_t flags, std::optional<std::string_view> text);

  RecordColumns columns_;
  bool with_raw_;             // fill columns_.raw
  bool windows_ = false;      // columns_ are windows: exact, no reservations
  const RowFilter* filter_ = nullptr;  // rows kept (null: all)
  bool uniform_ = false;      // inside a uniform column
  std::uint32_t subsets_ = 0; // subsets of the message
  // add() writes its rows through at_ and counts them in written_ until sync().
  struct Cursor {
    std::uint32_t* subset = nullptr;
    std::uint32_t* descriptor = nullptr;
    double* value = nullptr;
    std::uint8_t* flags = nullptr;
    std::uint32_t* slot = nullptr;
    std::uint64_t* raw = nullptr;
    std::int64_t* text_offsets = nullptr;
  } at_;
  std::int64_t text_end_ = 0;     // text bytes so far: every row add() writes ends there
  std::size_t written_ = 0;       // rows add() wrote since the last sync()
  std::size_t room_ = 0;          // rows add() may still write through at_ (0: make room first)
  std::size_t message_rows_ = 0;  // rows before the message begun last
  std::size_t message_text_ = 0;  // text bytes before it
};

// Counts the rows and text bytes a ColumnSink would get from the same walk.
class RowCounter final : public ValueSink {
 public:
  // As ColumnSink::set_filter.
  void set_filter(const RowFilter* filter) { filter_ = filter; }
  void begin_message(std::uint32_t subsets) {
    subsets_ = subsets;
    rows = 0;
    text = 0;
  }
  std::uint64_t rows = 0;  // of the message
  std::uint64_t text = 0;  // text bytes of the message

  bool begin_column(const ColumnInfo& column) override {
    uniform_ = column.uniform;
    return true;
  }
  bool end_column() override {
    uniform_ = false;
    return true;
  }
  bool numeric(Place, const ElementDefinition& element, std::uint64_t, const std::optional<double>&,
               const std::string*) override {
    return add(element.code, 0);
  }
  bool character(Place, const ElementDefinition& element, double, std::optional<std::string_view> text) override {
    return add(element.code, text ? text->size() : 0);
  }
  bool associated_field(Place, std::uint64_t) override { return add(ASSOCIATED_FIELD_CODE, 0); }
  bool operator_record(Place, std::uint32_t code) override { return add(code, 0); }
  bool operator_text(Place, std::uint32_t code, std::optional<std::string_view> text) override {
    return add(code, text ? text->size() : 0);
  }

 private:
  // One row of `code` (a uniform column: one per subset), each with `bytes` of text.
  bool add(std::uint32_t code, std::size_t bytes) {
    if (filter_ != nullptr && !filter_->keeps(code)) return true;
    const std::uint64_t n = uniform_ ? subsets_ : 1;
    rows += n;
    text += n * bytes;
    return true;
  }
  bool uniform_ = false;
  std::uint32_t subsets_ = 0;
  const RowFilter* filter_ = nullptr;
};

// One row per subset, one column per slot, as a matrix of values (NaN when
// missing, for text and operator records), when every subset has the same
// slots with the same descriptors: always for compressed data; non-compressed
// data whose subsets differ is not regular and leaves the matrix empty.
// Compressed data fills the matrix column by column (column-major), as the
// data lays it out; non-compressed data row by row (row-major).
//
// With several threads, the walk of compressed data leaves the cells of the
// numeric columns it need not look at (no replication factor, no bitmap) for
// later: it reads R0 and NBINC, skips the increments, and end_message fills
// those columns on the threads, each column a range of its own.
class MatrixSink final : public ValueSink {
 public:
  // Threads that fill deferred columns (1: the walk reads every column itself).
  void set_threads(unsigned threads) { threads_ = threads == 0 ? 1 : threads; }
  // Whether the walk may defer the column it is in (compressed data only).
  bool defers() const { return threads_ > 1 && compressed_; }
  // Defers the column begun last: its cells are filled by end_message.
  void defer(DeferredColumn column) {
    column.first = values_.size();
    values_.extend(rows_);
    deferred_.push_back(column);
  }

  // Called by decode_matrix before the walk over `data` (section 4), with a
  // reservation from its size (bounded, never from a count the message
  // declares). `hint`: columns the matrix may have (0: none).
  void begin_message(std::uint32_t subsets, bool compressed, Bytes data = {}, std::uint64_t hint = 0);

  bool regular() const { return regular_; }
  // True when values() holds the columns one after the other (compressed data).
  bool column_major() const { return compressed_; }
  std::uint32_t rows() const { return rows_; }
  std::size_t cols() const { return descriptors_.size(); }
  // The values (rows x cols, see column_major()) and the descriptor of each column.
  PodVector<double>& values() { return values_; }
  PodVector<std::uint32_t>& descriptors() { return descriptors_; }

  bool begin_subset(std::uint32_t index) override;
  bool begin_column(const ColumnInfo& column) override;
  bool end_column() override { return true; }
  bool end_message() override;

  bool numeric(Place place, const ElementDefinition& element, std::uint64_t, const std::optional<double>& value,
               const std::string*) override {
    add(place, element.code, value ? *value : NAN);
    return true;
  }
  bool character(Place place, const ElementDefinition& element, double, std::optional<std::string_view>) override {
    add(place, element.code, NAN);
    return true;
  }
  bool associated_field(Place place, std::uint64_t raw) override {
    add(place, ASSOCIATED_FIELD_CODE, static_cast<double>(raw));
    return true;
  }
  bool operator_record(Place place, std::uint32_t code) override {
    add(place, code, NAN);
    return true;
  }
  bool operator_text(Place place, std::uint32_t code, std::optional<std::string_view>) override {
    add(place, code, NAN);
    return true;
  }

 private:
  void add(Place place, std::uint32_t descriptor, double value) {
    if (compressed_) {
      if (uniform_) [[unlikely]] {
        values_.append(rows_, value);
      } else {
        values_.push_back(value);
      }
      return;
    }
    if (!regular_) return;
    if (place.subset == 0) {
      descriptors_.push_back(descriptor);
    } else if (place.slot >= descriptors_.size() || descriptors_[place.slot] != descriptor) [[unlikely]] {
      return irregular();
    }
    values_.push_back(value);
  }
  void irregular();

  bool compressed_ = false;
  bool regular_ = true;
  bool uniform_ = false;                  // compressed: the open column is uniform
  unsigned threads_ = 1;
  Bytes data_;                            // section 4, for the deferred columns
  std::vector<DeferredColumn> deferred_;
  std::uint32_t rows_ = 0;                // subsets of the message
  PodVector<double> values_;              // the result (see column_major())
  PodVector<std::uint32_t> descriptors_;  // per slot
};

// Decodes `message` like decode_message_values into the columns of `sink`
// (appending rows; a failed decode leaves the rows the sink held before).
// Python-free; safe to call from several threads at once with one `plans`
// cache (each thread with its own sink). `report` as for decode_message_values.
Status decode_columns(const BufrMessage& message, const TableSet& tables, Bytes data, ColumnSink& sink, Rules rules,
                      const DecodeLimits& limits = DecodeLimits{}, PlanCache* plans = nullptr,
                      DecodeReport* report = nullptr);
// Walks `message` into `counter` (the rows decode_columns would append).
Status count_columns(const BufrMessage& message, const TableSet& tables, Bytes data, RowCounter& counter, Rules rules,
                     const DecodeLimits& limits = DecodeLimits{}, PlanCache* plans = nullptr,
                     DecodeReport* report = nullptr);
// Decodes `message` into the matrix of `sink` (replacing its contents; see
// MatrixSink::column_major for the layout).
Status decode_matrix(const BufrMessage& message, const TableSet& tables, Bytes data, MatrixSink& sink, Rules rules,
                     const DecodeLimits& limits = DecodeLimits{}, PlanCache* plans = nullptr,
                     DecodeReport* report = nullptr);

}  // namespace vantrel
