// Reading real archives: framing every message of a buffer without losing a
// good message to a bad neighbour, and parsing the header of a framed message
// of edition 2, 3 or 4, accepting the common quirks with a warning.
//
// The strict parser of message.hpp stays as it is; this layer is what the
// package's reader uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "error/error.hpp"
#include "message/message.hpp"

namespace vantrel {

// One framed message: "BUFR", a 24-bit length L >= 8 that fits in the data,
// and "7777" as the last four of those L bytes.
struct Frame {
  std::uint64_t offset = 0;  // of "BUFR" in the scanned buffer
  std::uint64_t length = 0;  // declared total length
};

// A "BUFR" marker that did not frame a message, or trailing bytes.
struct FrameIssue {
  std::uint64_t offset = 0;  // of the marker (or of the first trailing byte)
  std::string reason;        // what was wrong, for the reader's warnings
};

// Most issues kept in one scan; later ones are only counted, so megabytes of
// repeated "BUFR" cost bounded memory.
inline constexpr std::size_t MAX_FRAME_ISSUES = 1000;

struct ScanResult {
  std::vector<Frame> frames;        // in buffer order, never overlapping
  std::vector<FrameIssue> issues;   // at most MAX_FRAME_ISSUES
  std::uint64_t dropped_issues = 0; // issues beyond MAX_FRAME_ISSUES
};

// Frames every message of `buffer`. A candidate that fails (length below 8 or
// beyond the data, no end marker) becomes an issue and the search resumes 4
// bytes after its marker, so a message after junk that holds "BUFR" is still
// found. Bytes between messages are skipped silently; bytes after the last
// message (or a buffer with no message) give one issue. Never fails.
ScanResult scan_frames(Bytes buffer);

// A framed message's header, for every edition (parse_header under
// HeaderRules::Archive). Fields the edition lacks are unset. `message` carries
// what the decoder and the table loaders need (descriptors, subsets, flags,
// section 4 location, table versions), with absent fields as 0.
using ArchiveHeader = ParsedHeader;

// The header of a framed message, or the text of why it is bad.
using HeaderResult = std::expected<ArchiveHeader, std::string>;
HeaderResult parse_archive_message(Bytes message);

// The warning for a section 4 holding whole bytes its descriptors, which read
// `used_bits` bits, did not consume ("section 4 is longer than the data needs:
// N bytes left over after M"), or nothing. Padding to the next byte is normal,
// and before edition 4 also to an even section length.
std::optional<std::string> section4_surplus_warning(const BufrMessage& message, std::uint64_t used_bits);

// One pass over an archive: every framed message with its header, parsed
// once, for every later question (header fields, tables, decoding).
struct IndexedMessage {
  Frame frame;
  HeaderResult header;  // the header, or the text of why it is bad
};

struct ArchiveIndex {
  std::vector<IndexedMessage> messages;  // in buffer order
  std::vector<FrameIssue> issues;        // of the scan
  std::uint64_t dropped_issues = 0;
};

// Frames every message of `buffer` (scan_frames) and parses each header.
ArchiveIndex index_archive(Bytes buffer);

}  // namespace vantrel
