#include "message/archive.hpp"

#include "message/bytes.hpp"

#include <cstring>

namespace vantrel {
namespace {

using message_bytes::be24;
using message_bytes::find_marker;
using message_bytes::fits;
using message_bytes::has;
using message_bytes::TERMINATOR;

constexpr std::uint64_t MIN_MESSAGE_LENGTH = 8;  // section 0 alone
constexpr std::uint64_t MARKER_LENGTH = 4;

void add_issue(ScanResult& result, std::uint64_t offset, std::string reason) {
  if (result.issues.size() < MAX_FRAME_ISSUES) {
    result.issues.push_back(FrameIssue{offset, std::move(reason)});
  } else {
    ++result.dropped_issues;
  }
}

// Why the candidate at `p` frames no message, or empty when it frames one of
// `length` bytes.
std::string candidate_failure(Bytes buffer, std::uint64_t p, std::uint64_t& length) {
  const std::uint64_t n = buffer.size();
  if (!fits(n, p, MIN_MESSAGE_LENGTH)) {
    return "only " + std::to_string(n - p) + " bytes follow the marker, fewer than the 8 of section 0";
  }
  length = be24(buffer, p + 4);
  if (length < MIN_MESSAGE_LENGTH) {
    return "declared length " + std::to_string(length) + " is below the 8 bytes of section 0";
  }
  if (!fits(n, p, length)) {
    return "declared length " + std::to_string(length) + " runs past the end of the data (" +
           std::to_string(n - p) + " bytes left): truncated message";
  }
  if (!has(buffer, p + length - 4, TERMINATOR)) {
    return "no end marker \"7777\" at the end of the declared length " + std::to_string(length);
  }
  return {};
}

// The offset of the first message that frames cleanly inside the frame of
// `length` bytes at `p` (a "BUFR" whose declared length ends on "7777" within
// it), or 0 when there is none: a stray marker whose length happens to end on
// a later message's "7777" would otherwise swallow every message in between.
std::uint64_t nested_frame(Bytes buffer, std::uint64_t p, std::uint64_t length) {
  const std::uint64_t end = p + length;
  for (std::uint64_t q = find_marker(buffer, p + MARKER_LENGTH); q < end; q = find_marker(buffer, q + MARKER_LENGTH)) {
    std::uint64_t inner = 0;
    if (candidate_failure(buffer, q, inner).empty() && inner <= end - q) return q;
  }
  return 0;
}

}  // namespace

ScanResult scan_frames(Bytes buffer) {
  ScanResult result;
  const std::uint64_t n = buffer.size();
  std::uint64_t end_of_last = 0;  // just after the last framed message
  bool reported_after_last = false; // a failed candidate lies after it
  std::uint64_t p = find_marker(buffer, 0);
  while (p < n) {
    std::uint64_t length = 0;
    std::string failure = candidate_failure(buffer, p, length);
    if (failure.empty()) {
      if (const std::uint64_t q = nested_frame(buffer, p, length); q != 0) [[unlikely]] {
        failure = "its declared length " + std::to_string(length) + " spans the message at offset " +
                  std::to_string(q) + ": read from there instead";
      }
    }
    if (failure.empty()) {
      if (p > end_of_last) {  // bytes no message holds: junk, padding, a damaged message
        add_issue(result, end_of_last,
                  "skipped " + std::to_string(p - end_of_last) + " bytes at offset " + std::to_string(end_of_last) +
                      " before the message at offset " + std::to_string(p));
      }
      result.frames.push_back(Frame{p, length});
      end_of_last = p + length;
      reported_after_last = false;
      p = find_marker(buffer, end_of_last);
    } else {
      add_issue(result, p, "no message at offset " + std::to_string(p) + ": " + failure);
      reported_after_last = true;
      p = find_marker(buffer, p + MARKER_LENGTH);
    }
  }
  // Trailing bytes are reported once: by their failed candidate, or here.
  if (end_of_last < n && !reported_after_last) {
    if (result.frames.empty()) {
      add_issue(result, 0, std::to_string(n) + " bytes hold no BUFR message");
    } else {
      add_issue(result, end_of_last,
                std::to_string(n - end_of_last) + " bytes after the last message (offset " +
                    std::to_string(end_of_last) + ")");
    }
  }
  return result;
}

HeaderResult parse_archive_message(Bytes buffer) {
  Result<ParsedHeader> header = parse_header(buffer, HeaderRules::Archive);
  if (!header) {
    const BufrError& error = header.error();
    return std::unexpected(error.kind() == ErrorKind::Parse ? error.text() : error.message());
  }
  return std::move(*header);
}

std::optional<std::string> section4_surplus_warning(const BufrMessage& message, std::uint64_t used_bits) {
  // The 4 octets before the data, then the data to a whole byte.
  std::uint64_t needed = 4 + used_bits / 8 + (used_bits % 8 != 0);
  if (message.edition < 4) needed += needed % 2;
  const std::uint64_t length = 4 + message.section4_data_length;
  if (length <= needed) return std::nullopt;
  const std::uint64_t surplus = length - needed;
  return "section 4 is longer than the data needs: " + std::to_string(surplus) + (surplus == 1 ? " byte" : " bytes") +
         " left over after " + std::to_string(needed);
}

ArchiveIndex index_archive(Bytes buffer) {
  ScanResult scanned = scan_frames(buffer);
  ArchiveIndex index;
  index.messages.reserve(scanned.frames.size());
  for (const Frame& frame : scanned.frames) {
    index.messages.push_back({frame, parse_archive_message(buffer.subspan(frame.offset, frame.length))});
  }
  index.issues = std::move(scanned.issues);
  index.dropped_issues = scanned.dropped_issues;
  return index;
}

}  // namespace vantrel
