// The columns of many framed messages of one buffer in one set of arrays,
// decoded on several threads: each thread decodes a run of consecutive
// messages into a sink of its own, and the runs are then joined behind the
// first one (whose columns grow in place) by copies split over the threads.
// Python-free; the caller releases the interpreter's lock around it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "columns/column_sink.hpp"
#include "data/plan.hpp"

namespace vantrel {

// One message: its bytes and its header as the archive's index parsed it
// (never parsed again), the number its rows carry in the `message` column,
// the tables (and their plans) to decode it with and the rules to decode it under.
struct ColumnJob {
  Bytes bytes;
  const BufrMessage* message = nullptr;
  std::uint32_t number = 0;
  const TableSet* tables = nullptr;
  PlanCache* plans = nullptr;
  Rules rules = Rules::Wmo;
};

struct ColumnBatch {
  struct Failure {
    std::size_t position;  // of the job
    ErrorKind kind;
    std::string reason;    // the error's message
    bool operator==(const Failure&) const = default;
  };
  struct Bits {
    std::size_t position;     // of the job
    std::uint64_t used;       // bits the decode read
    std::uint64_t available;  // bits of section 4
    std::vector<std::string> warnings;  // what the decode accepted, and a section 4 with bytes left over
    std::uint64_t rows = 0;   // the rows it gave (the jobs' rows follow each other in job order)
    std::vector<AttributeLink> attributes;  // what its attributes qualify (WMO rules)
  };
  RecordColumns columns;                                  // the rows of every message decoded, in job order
  PodVector<std::uint32_t> message;                       // the job's number, per row
  std::vector<Failure> failures;                          // in job order
  std::vector<Bits> bits;                                 // of each job decoded, in job order
};

// Decodes every job with up to `threads` threads (0 or 1: the calling thread
// only), keeping the rows `filter` keeps (null: all). The result is the same
// whatever the number of threads. Throws std::bad_alloc.
ColumnBatch decode_column_batch(std::span<const ColumnJob> jobs, bool with_raw, unsigned threads,
                                const RowFilter* filter = nullptr);

}  // namespace vantrel
