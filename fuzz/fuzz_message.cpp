// Fuzz target: message scanning and parsing of arbitrary bytes.
#include <cstddef>
#include <cstdint>

#include "message/message.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const vantrel::Bytes buffer(data, size);
  if (auto slices = vantrel::split_messages(buffer)) {
    for (vantrel::Bytes slice : *slices) {
      if (auto message = vantrel::parse_message(slice)) {
        // The located data area must lie inside the message.
        const vantrel::Bytes section4 = message->section4_data(slice);
        if (message->section4_data_length != section4.size()) __builtin_trap();
      }
    }
  }
  (void)vantrel::parse_message(buffer);
  return 0;
}
