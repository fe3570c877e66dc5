// Fuzz target: framing every message of arbitrary bytes, and parsing the
// header of each framed message with the rules of editions 2 to 4. Checks
// that frames lie inside the data in order without overlapping, start with
// "BUFR" and end with "7777", and that the issue list stays bounded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "message/archive.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const vantrel::Bytes buffer(data, size);
  const vantrel::ScanResult result = vantrel::scan_frames(buffer);
  if (result.issues.size() > vantrel::MAX_FRAME_ISSUES) std::abort();
  std::uint64_t end = 0;
  for (const vantrel::Frame& frame : result.frames) {
    if (frame.offset < end || frame.length < 8 || frame.offset > size || frame.length > size - frame.offset) {
      std::abort();
    }
    const vantrel::Bytes message = buffer.subspan(frame.offset, frame.length);
    if (std::memcmp(message.data(), "BUFR", 4) != 0 || std::memcmp(message.data() + frame.length - 4, "7777", 4) != 0) {
      std::abort();
    }
    end = frame.offset + frame.length;
    auto header = vantrel::parse_archive_message(message);
    if (header) {
      const vantrel::BufrMessage& m = header->message;
      // Section 4 lies inside the message, before "7777".
      if (m.section4_data_offset > frame.length - 4 || m.section4_data_length > frame.length - 4 - m.section4_data_offset) {
        std::abort();
      }
    }
  }
  return 0;
}
