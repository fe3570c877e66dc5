#include "columns/column_batch.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>

#include "columns/parallel.hpp"
#include "message/archive.hpp"

namespace vantrel {
namespace {

// Largest reservation a run makes from its estimate (the columns grow beyond).
constexpr double MAX_ESTIMATED_ROWS = static_cast<double>(std::uint64_t{1} << 28);
// A thread of its own only for at least this many bytes of messages (starting
// a thread costs about as much as decoding a kilobyte).
constexpr std::uint64_t MIN_BYTES_PER_THREAD = 1024;

// What one thread decodes: jobs [first, last).
struct Run {
  std::size_t first = 0;
  std::size_t last = 0;
  std::uint64_t bytes = 0;  // of its messages
  ColumnBatch out;
};

// Room for the rest of a run at the rate of rows per byte its messages so far
// gave, and an eighth more: unused room is never touched, so costs no memory,
// and take() gives it back.
std::size_t estimated_rows(std::size_t rows, std::uint64_t done_bytes, std::uint64_t run_bytes) {
  const double rate = static_cast<double>(rows) / static_cast<double>(done_bytes);
  const double rest = rate * static_cast<double>(run_bytes - done_bytes) * 1.125;
  return static_cast<std::size_t>(std::min(rest, MAX_ESTIMATED_ROWS));
}

void decode_run(std::span<const ColumnJob> jobs, bool with_raw, const RowFilter* filter, Run& run) {
  ColumnSink sink(with_raw);
  sink.set_filter(filter);
  ColumnBatch& out = run.out;
  out.bits.reserve(run.last - run.first);
  std::uint64_t done_bytes = 0;
  bool reserved = false;
  for (std::size_t i = run.first; i < run.last; ++i) {
    const ColumnJob& job = jobs[i];
    if (!reserved && done_bytes != 0) {
      const std::size_t rows = estimated_rows(sink.columns().rows(), done_bytes, run.bytes);
      sink.reserve_rows(rows);
      out.message.reserve_more(rows);
      reserved = true;
    }
    const BufrMessage& m = *job.message;
    const std::size_t before = sink.columns().rows();
    DecodeReport report;
    const Bytes section4 = m.section4_data(job.bytes);
    const Status status = decode_columns(m, *job.tables, section4, sink, job.rules, DecodeLimits{}, job.plans, &report);
    if (!status) {
      out.failures.push_back({i, status.error().kind(), status.error().message()});
      continue;
    }
    if (auto surplus = section4_surplus_warning(m, report.used_bits)) report.warnings.push_back(std::move(*surplus));
    const std::size_t rows = sink.columns().rows() - before;
    out.bits.push_back({i, report.used_bits, static_cast<std::uint64_t>(section4.size()) * 8u,
                        std::move(report.warnings), rows, std::move(report.attributes)});
    out.message.append(rows, job.number);
    done_bytes += job.bytes.size();
  }
  out.columns = sink.take();
}

// Runs of consecutive jobs with about equal bytes, at most `threads` of them.
std::vector<Run> split(std::span<const ColumnJob> jobs, unsigned threads) {
  std::uint64_t total = 0;
  for (const ColumnJob& job : jobs) total += job.bytes.size();
  const std::uint64_t most = std::max<std::uint64_t>(1, total / MIN_BYTES_PER_THREAD);
  const std::size_t count = static_cast<std::size_t>(
      std::min<std::uint64_t>({std::max(threads, 1u), most, std::max<std::size_t>(jobs.size(), 1)}));
  std::vector<Run> runs(count);
  std::size_t i = 0;
  std::uint64_t before = 0;  // bytes of the runs so far
  for (std::size_t r = 0; r < count; ++r) {
    Run& run = runs[r];
    run.first = i;
    // Each run ends where the bytes so far reach its share; the last takes the rest.
    const std::uint64_t goal = r + 1 == count ? total : total / count * (r + 1);
    while (i < jobs.size() && (r + 1 == count || before + run.bytes < goal)) {
      run.bytes += jobs[i].bytes.size();
      ++i;
    }
    run.last = i;
    before += run.bytes;
  }
  return runs;
}

// ---- several threads ---------------------------------------------------
//
// The first pass decodes each run's non-compressed messages into a sink of
// the run (their walk costs more than copying their rows later) and only
// counts the rows of compressed ones (a count costs a fraction of writing
// hundreds of rows per value read). The rows of every message then have
// their place in arrays of the exact total size, and the second pass fills
// each run's range: compressed messages decode straight into it, the others
// are copied from the run's sink.

struct Counted {
  bool ok = false;          // decodes (else a failure is recorded)
  bool decoded = false;     // its rows wait in the run's sink (non-compressed)
  std::uint64_t rows = 0;
  std::uint64_t text = 0;   // text bytes
  std::size_t first_row = 0;   // decoded: in the run's sink
  std::size_t first_text = 0;
};

struct CountedRun {
  ColumnSink sink;                 // rows of its non-compressed messages
  std::vector<Counted> jobs;       // one per job of the run
  ColumnBatch out;                 // failures and bits
  std::uint64_t rows = 0;          // of the run's messages, in the final arrays
  std::uint64_t text = 0;
  explicit CountedRun(bool with_raw) : sink(with_raw) {}
};

void count_run(std::span<const ColumnJob> jobs, const Run& run, CountedRun& counted,
               const RowFilter* filter) {
  RowCounter counter;
  counter.set_filter(filter);
  counted.sink.set_filter(filter);
  counted.jobs.resize(run.last - run.first);
  std::uint64_t done_bytes = 0;  // of the messages decoded into the run's sink
  bool reserved = false;
  for (std::size_t i = run.first; i < run.last; ++i) {
    const ColumnJob& job = jobs[i];
    Counted& c = counted.jobs[i - run.first];
    const BufrMessage& m = *job.message;
    const Bytes section4 = m.section4_data(job.bytes);
    DecodeReport report;
    Status status;
    if (m.compressed_data) {
      status = count_columns(m, *job.tables, section4, counter, job.rules, DecodeLimits{}, job.plans, &report);
      c.rows = counter.rows;
      c.text = counter.text;
    } else {
      if (!reserved && done_bytes != 0) {
        counted.sink.reserve_rows(estimated_rows(counted.sink.columns().rows(), done_bytes, run.bytes));
        reserved = true;
      }
      const RecordColumns& held = counted.sink.columns();
      c.first_row = held.rows();
      c.first_text = held.text_bytes.size();
      status = decode_columns(m, *job.tables, section4, counted.sink, job.rules, DecodeLimits{}, job.plans, &report);
      c.decoded = true;
      c.rows = held.rows() - c.first_row;
      c.text = held.text_bytes.size() - c.first_text;
      if (status) done_bytes += job.bytes.size();
    }
    if (!status) {
      counted.out.failures.push_back({i, status.error().kind(), status.error().message()});
      continue;
    }
    c.ok = true;
    if (auto surplus = section4_surplus_warning(m, report.used_bits)) report.warnings.push_back(std::move(*surplus));
    counted.out.bits.push_back({i, report.used_bits, static_cast<std::uint64_t>(section4.size()) * 8u,
                                std::move(report.warnings), c.rows, std::move(report.attributes)});
    counted.rows += c.rows;
    counted.text += c.text;
  }
}

template <class T>
PodVector<T> window_at(PodVector<T>& array, std::size_t first, std::size_t count) {
  return PodVector<T>::window(array.data(), first, first + count);
}

// Fills the run's rows of `all` from row `row` and text byte `text` on.
void fill_run(std::span<const ColumnJob> jobs, const Run& run, CountedRun& counted, ColumnBatch& all,
              std::size_t row, std::size_t text, bool with_raw, const RowFilter* filter) {
  RecordColumns& to = all.columns;
  RecordColumns windows;
  windows.subset = window_at(to.subset, row, counted.rows);
  windows.descriptor = window_at(to.descriptor, row, counted.rows);
  windows.value = window_at(to.value, row, counted.rows);
  windows.flags = window_at(to.flags, row, counted.rows);
  windows.slot = window_at(to.slot, row, counted.rows);
  if (with_raw) windows.raw = window_at(to.raw, row, counted.rows);
  windows.text_offsets = window_at(to.text_offsets, row + 1, counted.rows);
  windows.text_bytes = window_at(to.text_bytes, text, counted.text);
  ColumnSink sink(std::move(windows), with_raw);
  sink.set_filter(filter);
  PodVector<std::uint32_t> message = window_at(all.message, row, counted.rows);
  const RecordColumns& held = counted.sink.columns();
  for (std::size_t i = run.first; i < run.last; ++i) {
    const Counted& c = counted.jobs[i - run.first];
    if (!c.ok) continue;
    const std::size_t before = sink.columns().rows();
    if (c.decoded) {
      sink.append_rows(held, c.first_row, c.rows);
    } else {
      // The same walk as the count, now into the arrays.
      const BufrMessage& m = *jobs[i].message;
      if (!decode_columns(m, *jobs[i].tables, m.section4_data(jobs[i].bytes), sink, jobs[i].rules, DecodeLimits{},
                          jobs[i].plans)) {
        throw std::logic_error("a counted message no longer decodes");
      }
    }
    if (sink.columns().rows() - before != c.rows) throw std::logic_error("a message gave other rows than counted");
    message.append(c.rows, jobs[i].number);
  }
}

ColumnBatch decode_in_parallel(std::span<const ColumnJob> jobs, bool with_raw, const RowFilter* filter,
                               std::vector<Run>& runs) {
  std::vector<CountedRun> counted;
  counted.reserve(runs.size());
  for (std::size_t r = 0; r < runs.size(); ++r) counted.emplace_back(with_raw);
  run_parallel(runs.size(), [&](std::size_t r) { count_run(jobs, runs[r], counted[r], filter); });

  ColumnBatch all;
  std::vector<std::size_t> first_row(runs.size());
  std::vector<std::size_t> first_text(runs.size());
  std::size_t rows = 0;
  std::size_t text = 0;
  for (std::size_t r = 0; r < runs.size(); ++r) {
    first_row[r] = rows;
    first_text[r] = text;
    rows += counted[r].rows;
    text += counted[r].text;
    ColumnBatch& out = counted[r].out;
    all.failures.insert(all.failures.end(), std::make_move_iterator(out.failures.begin()),
                        std::make_move_iterator(out.failures.end()));
    all.bits.insert(all.bits.end(), std::make_move_iterator(out.bits.begin()), std::make_move_iterator(out.bits.end()));
  }
  RecordColumns& to = all.columns;
  to.subset.extend(rows);
  to.descriptor.extend(rows);
  to.value.extend(rows);
  to.flags.extend(rows);
  to.slot.extend(rows);
  if (with_raw) to.raw.extend(rows);
  to.text_offsets.extend(rows + 1)[0] = 0;
  to.text_bytes.extend(text);
  all.message.extend(rows);
  run_parallel(runs.size(), [&](std::size_t r) {
    fill_run(jobs, runs[r], counted[r], all, first_row[r], first_text[r], with_raw, filter);
  });
  return all;
}

}  // namespace

ColumnBatch decode_column_batch(std::span<const ColumnJob> jobs, bool with_raw, unsigned threads,
                                const RowFilter* filter) {
  std::vector<Run> runs = split(jobs, threads);
  ColumnBatch out;
  if (runs.size() > 1) {
    out = decode_in_parallel(jobs, with_raw, filter, runs);
  } else {
    decode_run(jobs, with_raw, filter, runs[0]);
    out = std::move(runs[0].out);
  }
  out.columns.shrink_to_fit();
  out.message.shrink_to_fit();
  return out;
}

}  // namespace vantrel
