// Decoding into a ValueSink: the walker over one message's plan.
#include "data/decode.hpp"

#include "data/walker.hpp"

namespace vantrel {

Status decode_message_values(const BufrMessage& message, const TableSet& tables, Bytes data, ValueSink& sink,
                             Rules rules, const DecodeLimits& limits, PlanCache* plans, DecodeReport* report) {
  return walk::walk_message(*walk::plan_for(message, tables, rules, plans), message, data, sink, limits, report);
}

}  // namespace vantrel
