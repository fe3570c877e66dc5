// The walker into the package's sinks: typed columns, their row counts, and matrices.
#include "columns/column_sink.hpp"
#include "data/walker.hpp"

namespace vantrel {

Status decode_columns(const BufrMessage& message, const TableSet& tables, Bytes data, ColumnSink& sink, Rules rules,
                      const DecodeLimits& limits, PlanCache* plans, DecodeReport* report) {
  sink.begin_message(message.number_of_subsets, static_cast<std::uint64_t>(data.size()) * 8u);
  Status status = walk::walk_message(*walk::plan_for(message, tables, rules, plans), message, data, sink, limits, report);
  if (!status) sink.drop_message();
  return status;
}

Status count_columns(const BufrMessage& message, const TableSet& tables, Bytes data, RowCounter& counter, Rules rules,
                     const DecodeLimits& limits, PlanCache* plans, DecodeReport* report) {
  counter.begin_message(message.number_of_subsets);
  return walk::walk_message(*walk::plan_for(message, tables, rules, plans), message, data, counter, limits, report);
}

Status decode_matrix(const BufrMessage& message, const TableSet& tables, Bytes data, MatrixSink& sink, Rules rules,
                     const DecodeLimits& limits, PlanCache* plans, DecodeReport* report) {
  const auto plan = walk::plan_for(message, tables, rules, plans);
  sink.begin_message(message.number_of_subsets, message.compressed_data, data, plan->columns_hint());
  Status status = walk::walk_message(*plan, message, data, sink, limits, report);
  if (status && sink.regular()) {
    plan->note_columns(static_cast<std::uint32_t>(std::min<std::size_t>(sink.cols(), UINT32_MAX)));
  }
  return status;
}

}  // namespace vantrel
