// Fuzz target: decoding the first message of the input, non-compressed or
// compressed, against a fixed real table set (the latest WMO table directory
// of the installed ecCodes definitions; an empty set when they are absent).
// The work limits are lowered so that each input stays fast; the limits are
// part of what is exercised.
#include <dirent.h>

#include <cstdlib>
#include <string>

#include "data/decode.hpp"
#include "message/message.hpp"
#include "fixed_tables.hpp"
#include "tables/eccodes.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto slices = vantrel::split_messages(vantrel::Bytes(data, size));
  if (!slices || slices->empty()) return 0;
  const vantrel::Bytes bytes = slices->front();
  auto message = vantrel::parse_message(bytes);
  if (!message) return 0;
  vantrel::DecodeLimits limits;
  limits.max_steps = 1 << 17;
  limits.max_values = 1 << 17;
  limits.unbacked_base = 1 << 14;
  for (vantrel::Rules rules : {vantrel::Rules::Strict, vantrel::Rules::Wmo}) {
    vantrel::CollectingSink sink(message->number_of_subsets);
    if (vantrel::decode_message_values(*message, fixed_tables(), message->section4_data(bytes), sink, rules,
                                       limits)) {
      // A finished compressed decode holds subsets x columns records.
      if (message->compressed_data && message->number_of_subsets != 0 &&
          sink.values().size() % message->number_of_subsets != 0) {
        __builtin_trap();
      }
    }
  }
  return 0;
}
