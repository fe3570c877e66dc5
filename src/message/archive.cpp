#include "message/archive.hpp"

#include <cstring>
#include <string_view>

namespace vantrel {
namespace {

constexpr std::string_view MARKER = "BUFR";
constexpr std::string_view TERMINATOR = "7777";
constexpr std::uint64_t MIN_MESSAGE_LENGTH = 8;  // section 0 alone

// True when `count` bytes starting at `offset` lie inside `size` bytes
// (offset + count <= size, written so that it cannot overflow).
constexpr bool fits(std::uint64_t size, std::uint64_t offset, std::uint64_t count) {
  return offset <= size && count <= size - offset;
}

// Callers check that offset + 3 <= buffer.size().
std::uint32_t be24(Bytes buffer, std::uint64_t offset) {
  return (std::uint32_t{buffer[offset]} << 16) | (std::uint32_t{buffer[offset + 1]} << 8) | buffer[offset + 2];
}

bool matches(Bytes buffer, std::uint64_t offset, std::string_view text) {
  return fits(buffer.size(), offset, text.size()) && std::memcmp(buffer.data() + offset, text.data(), text.size()) == 0;
}

// Offset of the next "BUFR" at or after `from`, or buffer.size().
std::uint64_t find_marker(Bytes buffer, std::uint64_t from) {
  const std::uint64_t n = buffer.size();
  while (fits(n, from, MARKER.size())) {
    const void* hit = std::memchr(buffer.data() + from, 'B', n - from - (MARKER.size() - 1));
    if (hit == nullptr) break;
    const auto p = static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - buffer.data());
    if (matches(buffer, p, MARKER)) return p;
    from = p + 1;
  }
  return n;
}

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
  if (!matches(buffer, p + length - TERMINATOR.size(), TERMINATOR)) {
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
  for (std::uint64_t q = find_marker(buffer, p + MARKER.size()); q < end; q = find_marker(buffer, q + MARKER.size())) {
    std::uint64_t inner = 0;
    if (candidate_failure(buffer, q, inner).empty() && inner <= end - q) return q;
  }
  return 0;
}

std::string truncated(std::uint8_t section, std::uint64_t offset) {
  return BufrError::truncated_section(section, offset).message();
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
      p = find_marker(buffer, p + MARKER.size());
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

std::uint16_t year_from_century(std::uint8_t year_of_century) {
  if (year_of_century < 50) return static_cast<std::uint16_t>(2000 + year_of_century);
  if (year_of_century < 100) return static_cast<std::uint16_t>(1900 + year_of_century);
  if (year_of_century == 100) return 2000;
  return static_cast<std::uint16_t>(1900 + year_of_century);
}

HeaderResult parse_archive_message(Bytes buffer) {
  const std::uint64_t n = buffer.size();
  if (n < MIN_MESSAGE_LENGTH || !matches(buffer, 0, MARKER)) return std::unexpected(BufrError::missing_marker().message());
  const std::uint8_t edition = buffer[7];
  if (edition < 2 || edition > 4) {
    return std::unexpected(("unsupported BUFR edition " + std::to_string(edition) +
                              "; editions 2, 3 and 4 are read"));
  }
  // The last 4 bytes are "7777" (the framing checked them); sections 1 to 4 lie before.
  const std::uint64_t body_end = n - TERMINATOR.size();
  ArchiveHeader header;
  BufrMessage& m = header.message;
  m.total_length = n;
  m.edition = edition;

  // Section 1: its fixed part is 22 bytes in edition 4 and 17 before.
  const std::uint64_t s1 = 8;
  if (!fits(body_end, s1, 3)) return std::unexpected((truncated(1, s1)));
  const std::uint64_t l1 = be24(buffer, s1);
  const std::uint64_t l1_min = edition == 4 ? 22 : 17;
  if (l1 < l1_min || !fits(body_end, s1, l1)) {
    return std::unexpected(("section 1 length " + std::to_string(l1) + " does not fit: edition " +
                              std::to_string(edition) + " needs at least " + std::to_string(l1_min) +
                              " bytes and " + std::to_string(body_end - s1) + " are left"));
  }
  m.section1_length = l1;
  const std::uint8_t* s = buffer.data() + s1;
  m.master_table_number = s[3];
  std::uint8_t section2_flag = 0;
  if (edition == 4) {
    m.originating_centre = static_cast<std::uint16_t>((s[4] << 8) | s[5]);
    m.originating_subcentre = static_cast<std::uint16_t>((s[6] << 8) | s[7]);
    header.subcentre = m.originating_subcentre;
    m.update_sequence_number = s[8];
    section2_flag = s[9];
    m.data_category = s[10];
    m.international_data_subcategory = s[11];
    header.international_subcategory = s[11];
    m.local_data_subcategory = s[12];
    m.master_tables_version_number = s[13];
    m.local_tables_version_number = s[14];
    m.typical_year = static_cast<std::uint16_t>((s[15] << 8) | s[16]);
    if (m.typical_year < 100) {
      // Some producers write the year of century where edition 4 has the whole year.
      const std::uint16_t coded = m.typical_year;
      header.year_of_century = static_cast<std::uint8_t>(coded);
      header.century_year = true;
      m.typical_year = year_from_century(header.year_of_century);
      header.warnings.push_back("edition 4 year " + std::to_string(coded) + " is below 100; read as year of century: " +
                                std::to_string(m.typical_year));
    }
    m.typical_month = s[17];
    m.typical_day = s[18];
    m.typical_hour = s[19];
    m.typical_minute = s[20];
    m.typical_second = s[21];
    header.second = s[21];
  } else {
    if (edition == 3) {
      m.originating_subcentre = s[4];
      header.subcentre = s[4];
      m.originating_centre = s[5];
    } else {
      m.originating_centre = static_cast<std::uint16_t>((s[4] << 8) | s[5]);
    }
    m.update_sequence_number = s[6];
    section2_flag = s[7];
    m.data_category = s[8];
    m.local_data_subcategory = s[9];
    m.master_tables_version_number = s[10];
    m.local_tables_version_number = s[11];
    header.year_of_century = s[12];
    m.typical_year = year_from_century(s[12]);
    if (s[12] > 100) {
      header.warnings.push_back("year of century " + std::to_string(s[12]) + " is above 100; read as " +
                                std::to_string(m.typical_year));
    }
    m.typical_month = s[13];
    m.typical_day = s[14];
    m.typical_hour = s[15];
    m.typical_minute = s[16];
  }

  // Section 2, when the flag says it is present.
  const std::uint64_t s2 = s1 + l1;
  std::uint64_t l2 = 0;
  if (section2_flag != 0) {
    if (!fits(body_end, s2, 3)) return std::unexpected((truncated(2, s2)));
    l2 = be24(buffer, s2);
    if (l2 < 4 || !fits(body_end, s2, l2)) return std::unexpected((truncated(2, s2)));
  }
  m.local_section_present = section2_flag != 0;
  m.section2_length = l2;

  // Section 3: subsets, flags and the descriptor list.
  const std::uint64_t s3 = s2 + l2;
  if (!fits(body_end, s3, 3)) return std::unexpected((truncated(3, s3)));
  const std::uint64_t l3 = be24(buffer, s3);
  if (l3 < 7 || !fits(body_end, s3, l3)) return std::unexpected((truncated(3, s3)));
  m.section3_length = l3;
  m.number_of_subsets = static_cast<std::uint16_t>((buffer[s3 + 4] << 8) | buffer[s3 + 5]);
  const std::uint8_t flags = buffer[s3 + 6];
  m.observed_data = (flags & 0x80) != 0;
  m.compressed_data = (flags & 0x40) != 0;
  const std::uint64_t descriptor_bytes = l3 - 7;
  if (descriptor_bytes % 2 != 0 && edition == 4) {
    header.warnings.push_back("section 3 has an odd number of descriptor bytes (" +
                              std::to_string(descriptor_bytes) + "); the last byte was read as padding");
  }
  m.unexpanded_descriptors.reserve(descriptor_bytes / 2);
  for (std::uint64_t p = s3 + 7; p + 2 <= s3 + l3; p += 2) {
    const std::uint32_t f = buffer[p] >> 6;
    const std::uint32_t x = buffer[p] & 0x3F;
    const std::uint32_t y = buffer[p + 1];
    m.unexpanded_descriptors.push_back(f * 100000 + x * 1000 + y);
  }
  if (m.unexpanded_descriptors.empty()) header.warnings.push_back("section 3 lists no descriptors: the message holds no values");

  // Section 4: the data.
  const std::uint64_t s4 = s3 + l3;
  if (!fits(body_end, s4, 3)) return std::unexpected((truncated(4, s4)));
  const std::uint64_t l4 = be24(buffer, s4);
  if (l4 < 4 || !fits(body_end, s4, l4)) return std::unexpected((truncated(4, s4)));
  m.section4_length = l4;
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = l4 - 4;
  if (s4 + l4 < body_end) {
    header.warnings.push_back(std::to_string(body_end - (s4 + l4)) +
                              " bytes between the end of section 4 and \"7777\" were skipped");
  }
  return header;
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
