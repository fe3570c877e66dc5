// Decoding the section 4 data of one message: the descriptor walkers for
// non-compressed and compressed data. Both walk the message's unexpanded
// descriptors, expanding Table D sequences and replications as they meet them,
// and hand every value to a ValueSink.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/decoded_value.hpp"
#include "data/rules.hpp"
#include "data/value_sink.hpp"
#include "error/error.hpp"
#include "message/message.hpp"
#include "tables/table_set.hpp"

namespace vantrel {

// Deepest nesting of sequences and replications below the top-level list.
inline constexpr int MAX_WALK_DEPTH = 64;

// Bounds on the work of one decode, so that a small hostile message (nested
// replications of operators, replication factors near 2^64 over elements of
// width 0, 65535 subsets of constant compressed columns) fails within a
// fraction of a second instead of running for minutes or filling memory.
// Real messages stay far below: the largest reach a few million values and
// about as many walk steps; every value of real non-compressed data reads bits
// of its own, and constant compressed columns stay below one value per data
// bit (HIRS: 342720 such values from 376000 bits).
struct DecodeLimits {
  // Descriptor visits, counting every pass through a replicated list and
  // every subset of non-compressed data (about 6 ns each).
  std::uint64_t max_steps = std::uint64_t{1} << 25;  // 33554432
  // Values produced (compressed data: columns x subsets, counted before a
  // column is built).
  std::uint64_t max_values = std::uint64_t{1} << 25;  // 33554432
  // Values that read no bits of their own: operator records, elements of
  // width 0, and the subsets of a compressed column whose subsets share one
  // value. At most `unbacked_base` + `unbacked_per_bit` x (bits of section 4
  // data). Every other value consumes at least one bit, so together the
  // output of a message, and the memory of the thread decoding it, is bounded
  // by its size: a hostile 100 KB message peaks near 350 MB in Python value
  // records and 250 MB in columns (64 per bit let it reach 1.3 GB).
  std::uint64_t unbacked_base = std::uint64_t{1} << 20;  // 1048576
  std::uint64_t unbacked_per_bit = 4;

  // The unbacked-value limit for `data_bits` bits of data (saturating).
  std::uint64_t max_unbacked_values(std::uint64_t data_bits) const {
    const std::uint64_t scaled =
        data_bits > UINT64_MAX / (unbacked_per_bit | 1) ? UINT64_MAX : data_bits * unbacked_per_bit;
    return scaled > UINT64_MAX - unbacked_base ? UINT64_MAX : unbacked_base + scaled;
  }
};

class PlanCache;

// What a value qualifies, under the WMO rules: the record at `slot` is an
// attribute of the record at `target` (its quality, substituted value,
// statistic...), as the data present bitmap says.
enum class AttributeKind : std::uint8_t {
  Quality = 1,          // a class 33 value after 2 22 000 (the attribute is named by its own key)
  Substituted = 2,      // 2 23 255
  FirstOrder = 3,       // 2 24 255
  Difference = 4,       // 2 25 255
  ReplacedRetained = 5  // 2 32 255
};

struct AttributeLink {
  static constexpr std::uint32_t ALL_SUBSETS = 0xFFFFFFFF;  // compressed data: every subset alike
  std::uint32_t subset = 0;  // 0-based subset, or ALL_SUBSETS
  std::uint32_t slot = 0;    // the attribute's record
  std::uint32_t target = 0;  // the record it qualifies (same subset)
  AttributeKind kind = AttributeKind::Quality;
};

// What a successful decode tells besides its values.
struct DecodeReport {
  std::uint64_t used_bits = 0;        // bits of the data the descriptors consumed (the rest is padding or surplus)
  std::vector<std::string> warnings;  // quirks the rules accepted, once per kind and message
  std::vector<AttributeLink> attributes;  // WMO rules: the attributes, in walk order
};

// Decodes the section 4 `data` of `message` (the bytes from
// section4_data_offset for section4_data_length) with `tables` under
// `rules`, handing each value to `sink`; compressed or not as the message's
// flag says. `tables` is only read. The walk runs from the plan of the
// message's descriptor list, taken from `plans` (a cache serving `tables`)
// or compiled for this call when it is null. The first error ends the
// decode. After a successful decode `report`, when given, is filled in.
Status decode_message_values(const BufrMessage& message, const TableSet& tables, Bytes data, ValueSink& sink,
                             Rules rules, const DecodeLimits& limits = DecodeLimits{}, PlanCache* plans = nullptr,
                             DecodeReport* report = nullptr);

}  // namespace vantrel
