// Fuzz target: the column sink and the collecting sink agree on the first
// message of the input: both decodes fail with the same message, or both
// succeed with the same records in the same order (descriptor, value or
// missing, raw, text, meaning present, slot), uniform columns expanded. The
// row counter agrees with the column sink, and a batch of copies of the
// message decodes alike on one thread and on two (which count, then fill).
// Same tables and lowered limits as fuzz_decode.cpp.
#include <dirent.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "columns/column_batch.hpp"
#include "columns/column_sink.hpp"
#include "data/decode.hpp"
#include "message/message.hpp"
#include "fixed_tables.hpp"
#include "tables/eccodes.hpp"

namespace {

[[noreturn]] void disagree(const char* what) {
  std::fprintf(stderr, "column sink and collecting sink disagree: %s\n", what);
  __builtin_trap();
}

bool same_double(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

template <class T>
bool same_bytes(const vantrel::PodVector<T>& a, const vantrel::PodVector<T>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

void check_same(const vantrel::ColumnBatch& one, const vantrel::ColumnBatch& two);

// The matrix of the message is the same on one thread and on two (which fill
// compressed columns after the walk), or both decodes fail alike.
void check_matrix(const vantrel::BufrMessage& message, vantrel::Bytes section4, vantrel::Rules rules,
                  const vantrel::DecodeLimits& limits) {
  using namespace vantrel;
  MatrixSink one;
  MatrixSink two;
  two.set_threads(2);
  const Status a = decode_matrix(message, fixed_tables(), section4, one, rules, limits);
  const Status b = decode_matrix(message, fixed_tables(), section4, two, rules, limits);
  if (a.has_value() != b.has_value() || (!a && a.error().message() != b.error().message())) {
    disagree("matrix on one thread and on two: status");
  }
  if (a && (one.regular() != two.regular() || !same_bytes(one.values(), two.values()) ||
            !same_bytes(one.descriptors(), two.descriptors()))) {
    disagree("matrix on one thread and on two");
  }
}

// Copies of the framed message `bytes` parsed as `message` (enough of them to
// be split between threads) decode alike on one thread and on two, with and
// without a row filter.
void check_batch(vantrel::Bytes bytes, const vantrel::BufrMessage& message, vantrel::Rules rules) {
  using namespace vantrel;
  const std::size_t copies = std::min<std::size_t>(64, std::max<std::size_t>(2, 4096 / bytes.size() + 1));
  std::vector<ColumnJob> jobs(copies);
  for (std::size_t i = 0; i < copies; ++i) {
    jobs[i] = ColumnJob{bytes, &message, static_cast<std::uint32_t>(i + 1), &fixed_tables(), nullptr, rules};
  }
  // Every element the first time; then every third code only.
  static const RowFilter every_third = [] {
    RowFilter filter;
    for (std::uint32_t code = 0; code < 64000; code += 3) filter.keep(code);
    return filter;
  }();
  for (const RowFilter* filter : {static_cast<const RowFilter*>(nullptr), &every_third}) {
    check_same(decode_column_batch(jobs, true, 1, filter), decode_column_batch(jobs, true, 2, filter));
  }
}

void check_same(const vantrel::ColumnBatch& one, const vantrel::ColumnBatch& two) {
  using namespace vantrel;
  const RecordColumns& a = one.columns;
  const RecordColumns& b = two.columns;
  if (!same_bytes(a.subset, b.subset) || !same_bytes(a.descriptor, b.descriptor) || !same_bytes(a.value, b.value) ||
      !same_bytes(a.flags, b.flags) || !same_bytes(a.slot, b.slot) || !same_bytes(a.raw, b.raw) ||
      !same_bytes(a.text_offsets, b.text_offsets) || !same_bytes(a.text_bytes, b.text_bytes) ||
      !same_bytes(one.message, two.message) || one.failures != two.failures || one.bits.size() != two.bits.size()) {
    disagree("a batch on one thread and on two");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vantrel;
  auto slices = split_messages(Bytes(data, size));
  if (!slices || slices->empty()) return 0;
  const Bytes bytes = slices->front();
  auto message = parse_message(bytes);
  if (!message) return 0;
  DecodeLimits limits;
  limits.max_steps = 1 << 17;
  limits.max_values = 1 << 17;
  limits.unbacked_base = 1 << 14;
  const Bytes section4 = message->section4_data(bytes);
  // Both rule sets, chosen by the input's length.
  const Rules rules = size % 2 == 0 ? Rules::Strict : Rules::Wmo;

  CollectingSink collected(message->number_of_subsets);
  const Status expected = decode_message_values(*message, fixed_tables(), section4, collected, rules, limits);
  ColumnSink sink(true);
  const Status got = decode_columns(*message, fixed_tables(), section4, sink, rules, limits);
  if (expected.has_value() != got.has_value()) disagree("one decode failed");
  if (!expected) {
    if (expected.error().message() != got.error().message()) disagree("error messages");
    return 0;
  }
  const RecordColumns& rows = sink.columns();
  RowCounter counter;
  const Status counted = count_columns(*message, fixed_tables(), section4, counter, rules, limits);
  if (!counted || counter.rows != rows.rows() || counter.text != rows.text_bytes.size()) disagree("row counter");
  check_batch(bytes, *message, rules);
  check_matrix(*message, section4, rules, limits);
  const std::vector<DecodedValue>& values = collected.values();
  if (rows.rows() != values.size() || rows.text_offsets.size() != rows.rows() + 1) disagree("row counts");
  // Compressed rows come column by column; the collected records subset by subset.
  const std::size_t n = values.size();
  const std::size_t subsets = message->number_of_subsets;
  const std::size_t cols = message->compressed_data && subsets != 0 ? n / subsets : 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t j = message->compressed_data ? (i % subsets) * cols + i / subsets : i;
    const DecodedValue& v = values[j];
    if (rows.descriptor[i] != v.descriptor) disagree("descriptor");
    if (rows.slot[i] != collected.slots()[j]) disagree("slot");
    if (message->compressed_data ? rows.subset[i] != i % subsets + 1 : rows.subset[i] == 0) disagree("subset");
    const std::uint8_t flags = rows.flags[i];
    const std::string_view text(rows.text_bytes.data() + rows.text_offsets[i],
                                static_cast<std::size_t>(rows.text_offsets[i + 1] - rows.text_offsets[i]));
    if (flags & row_flags::CHARACTER) {
      if (((flags & row_flags::MISSING) != 0) != !v.raw_text) disagree("text missing");
      if (v.raw_text && text != *v.raw_text) disagree("text");
      if (!std::isnan(rows.value[i])) disagree("text value");
    } else {
      if (!text.empty() || v.raw_text) disagree("non-text row with text");
      if (flags & row_flags::OPERATOR) {
        if (!std::isnan(rows.value[i]) || v.raw != std::optional<std::uint64_t>(0)) disagree("operator record");
      } else {
        if (((flags & row_flags::MISSING) != 0) != !v.raw_value) disagree("missing");
        if (v.raw_value && !same_double(rows.value[i], *v.raw_value)) disagree("value");
        if (!v.raw_value && !std::isnan(rows.value[i])) disagree("missing value");
        if (!v.raw || rows.raw[i] != *v.raw) disagree("raw");
        if (((flags & row_flags::HAS_MEANING) != 0) != v.raw_meaning.has_value()) disagree("meaning");
        if (((flags & row_flags::ASSOCIATED) != 0) != (v.descriptor == ASSOCIATED_FIELD_CODE)) disagree("associated");
      }
    }
  }
  return 0;
}
