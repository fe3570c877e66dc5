#include "message/message.hpp"

#include "message/bytes.hpp"

#include <cstring>
#include <string>
#include <utility>

namespace vantrel {

using message_bytes::be24;
using message_bytes::fits;
using message_bytes::has;
using message_bytes::MARKER;
using message_bytes::TERMINATOR;

Bytes BufrMessage::section4_data(Bytes message_bytes) const {
  // parse_message guarantees the range lies inside the message; clamp anyway so
  // a record paired with the wrong buffer can never reach outside it.
  if (!fits(message_bytes.size(), section4_data_offset, section4_data_length)) return {};
  return message_bytes.subspan(section4_data_offset, section4_data_length);
}

Result<std::uint32_t> read_section_length(Bytes buffer, std::uint64_t offset, std::uint8_t section) {
  if (!fits(buffer.size(), offset, 3)) return fail(BufrError::truncated_section(section, offset));
  return be24(buffer, offset);
}

Result<std::uint16_t> read_u16(Bytes buffer, std::uint64_t offset) {
  if (!fits(buffer.size(), offset, 2)) return fail(BufrError::truncated_section(0, offset));
  return static_cast<std::uint16_t>((buffer[offset] << 8) | buffer[offset + 1]);
}

std::uint16_t year_from_century(std::uint8_t year_of_century) {
  if (year_of_century < 50) return static_cast<std::uint16_t>(2000 + year_of_century);
  if (year_of_century < 100) return static_cast<std::uint16_t>(1900 + year_of_century);
  if (year_of_century == 100) return 2000;
  return static_cast<std::uint16_t>(1900 + year_of_century);
}

namespace {

// Section 1 of edition 4 from its first byte `s` (22 bytes at least).
void read_section1_edition4(const std::uint8_t* s, ParsedHeader& header) {
  BufrMessage& m = header.message;
  m.master_table_number = s[3];
  m.originating_centre = static_cast<std::uint16_t>((s[4] << 8) | s[5]);
  m.originating_subcentre = static_cast<std::uint16_t>((s[6] << 8) | s[7]);
  m.update_sequence_number = s[8];
  m.data_category = s[10];
  m.international_data_subcategory = s[11];
  m.local_data_subcategory = s[12];
  m.master_tables_version_number = s[13];
  m.local_tables_version_number = s[14];
  m.typical_year = static_cast<std::uint16_t>((s[15] << 8) | s[16]);
  m.typical_month = s[17];
  m.typical_day = s[18];
  m.typical_hour = s[19];
  m.typical_minute = s[20];
  m.typical_second = s[21];
  header.subcentre = m.originating_subcentre;
  header.international_subcategory = s[11];
  header.second = s[21];
}

// Section 1 of editions 2 and 3 from its first byte `s` (17 bytes at least).
void read_section1_edition3(const std::uint8_t* s, std::uint8_t edition, ParsedHeader& header) {
  BufrMessage& m = header.message;
  m.master_table_number = s[3];
  if (edition == 3) {
    m.originating_subcentre = s[4];
    header.subcentre = s[4];
    m.originating_centre = s[5];
  } else {
    m.originating_centre = static_cast<std::uint16_t>((s[4] << 8) | s[5]);
  }
  m.update_sequence_number = s[6];
  m.data_category = s[8];
  m.local_data_subcategory = s[9];
  m.master_tables_version_number = s[10];
  m.local_tables_version_number = s[11];
  header.year_of_century = s[12];
  m.typical_year = year_from_century(s[12]);
  m.typical_month = s[13];
  m.typical_day = s[14];
  m.typical_hour = s[15];
  m.typical_minute = s[16];
}

}  // namespace

// Checks run in a fixed order and the first failure ends the parse, so every
// malformed message reports one well-defined error.
Result<ParsedHeader> parse_header(Bytes buffer, HeaderRules rules) {
  const bool strict = rules == HeaderRules::Strict;
  const std::uint64_t n = buffer.size();
  if (strict && n <= 7) return fail(BufrError::message_too_short());
  if (n < 8 || !has(buffer, 0, MARKER)) return fail(BufrError::missing_marker());
  const std::uint8_t edition = buffer[7];
  if (strict) {
    if (edition != 4) return fail(BufrError::unsupported_edition(edition));
    const std::uint64_t declared = be24(buffer, 4);
    if (declared != n) return fail(BufrError::length_mismatch(declared, n));
  } else if (edition < 2 || edition > 4) {
    return fail(BufrError::parse("unsupported BUFR edition " + std::to_string(edition) +
                                 "; editions 2, 3 and 4 are read"));
  }
  // Sections 1 to 4 lie below `limit`: the whole buffer (its "7777" is
  // checked after section 4), or all but the "7777" the framing checked.
  const std::uint64_t limit = strict ? n : n - 4;
  ParsedHeader header;
  BufrMessage& m = header.message;
  m.total_length = n;
  m.edition = edition;

  // Section 1.
  const std::uint64_t s1 = 8;
  if (!fits(limit, s1, 3)) return fail(BufrError::truncated_section(1, s1));
  const std::uint64_t l1 = be24(buffer, s1);
  m.section1_length = l1;
  std::uint8_t optional_flag = 0;
  if (strict) {
    if (!fits(n, s1, l1)) return fail(BufrError::truncated_section(1, s1));
    // The fixed fields reach offset 29, but a malformed message with small,
    // mutually consistent lengths can be shorter than that. Each field is
    // checked where it is read: a buffer that cannot hold a single-byte field
    // of section 1 reports section 1 at offset 8 as truncated; the 16-bit
    // fields report their own offset.
    if (n <= 17) return fail(BufrError::truncated_section(1, s1));
    optional_flag = buffer[17];
    VANTREL_ASSIGN(m.typical_year, read_u16(buffer, 23));
  } else {
    const std::uint64_t l1_min = edition == 4 ? 22 : 17;
    if (l1 < l1_min || !fits(limit, s1, l1)) {
      return fail(BufrError::parse("section 1 length " + std::to_string(l1) + " does not fit: edition " +
                                   std::to_string(edition) + " needs at least " + std::to_string(l1_min) +
                                   " bytes and " + std::to_string(limit - s1) + " are left"));
    }
    const std::uint8_t* s = buffer.data() + s1;
    if (edition == 4) {
      read_section1_edition4(s, header);
      optional_flag = s[9];
      if (m.typical_year < 100) {
        // Some producers write the year of century where edition 4 has the whole year.
        const std::uint16_t coded = m.typical_year;
        header.year_of_century = static_cast<std::uint8_t>(coded);
        header.century_year = true;
        header.quirks |= header_quirks::CENTURY_YEAR;
        m.typical_year = year_from_century(header.year_of_century);
        header.warnings.push_back("edition 4 year " + std::to_string(coded) +
                                  " is below 100; read as year of century: " + std::to_string(m.typical_year));
      }
    } else {
      read_section1_edition3(s, edition, header);
      optional_flag = s[7];
      if (s[12] > 100) {
        header.quirks |= header_quirks::YEAR_ABOVE_100;
        header.warnings.push_back("year of century " + std::to_string(s[12]) + " is above 100; read as " +
                                  std::to_string(m.typical_year));
      }
    }
  }

  // Section 2, when the flag says it is present.
  const std::uint64_t s2 = s1 + l1;
  std::uint64_t l2 = 0;
  if (optional_flag != 0) {
    if (!fits(limit, s2, 3)) return fail(BufrError::truncated_section(2, s2));
    l2 = be24(buffer, s2);
    if ((!strict && l2 < 4) || !fits(limit, s2, l2)) return fail(BufrError::truncated_section(2, s2));
  }
  m.local_section_present = optional_flag != 0;
  m.section2_length = l2;

  // Section 3: subsets, flags and the descriptor list.
  const std::uint64_t s3 = s2 + l2;
  if (!fits(limit, s3, 3)) return fail(BufrError::truncated_section(3, s3));
  const std::uint64_t l3 = be24(buffer, s3);
  if (!fits(limit, s3, l3) || l3 < 7) return fail(BufrError::truncated_section(3, s3));
  m.section3_length = l3;
  m.number_of_subsets = static_cast<std::uint16_t>((buffer[s3 + 4] << 8) | buffer[s3 + 5]);
  const std::uint64_t descriptor_bytes = l3 - 7;
  if (descriptor_bytes % 2 != 0) {
    if (strict) return fail(BufrError::odd_descriptor_bytes());
    if (edition == 4) {
      header.quirks |= header_quirks::ODD_DESCRIPTOR_BYTE;
      header.warnings.push_back("section 3 has an odd number of descriptor bytes (" +
                                std::to_string(descriptor_bytes) + "); the last byte was read as padding");
    }
  }
  const std::uint8_t flags = buffer[s3 + 6];
  m.observed_data = (flags & 0x80) != 0;
  m.compressed_data = (flags & 0x40) != 0;
  m.unexpanded_descriptors.reserve(descriptor_bytes / 2);
  for (std::uint64_t p = s3 + 7; p + 2 <= s3 + l3; p += 2) {
    const std::uint32_t f = buffer[p] >> 6;
    const std::uint32_t x = buffer[p] & 0x3F;
    const std::uint32_t y = buffer[p + 1];
    m.unexpanded_descriptors.push_back(f * 100000 + x * 1000 + y);
  }
  if (!strict && m.unexpanded_descriptors.empty()) {
    header.quirks |= header_quirks::NO_DESCRIPTORS;
    header.warnings.push_back("section 3 lists no descriptors: the message holds no values");
  }

  // Section 4: the data.
  const std::uint64_t s4 = s3 + l3;
  if (!fits(limit, s4, 3)) return fail(BufrError::truncated_section(4, s4));
  const std::uint64_t l4 = be24(buffer, s4);
  if ((!strict && l4 < 4) || !fits(limit, s4, l4)) return fail(BufrError::truncated_section(4, s4));
  m.section4_length = l4;
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = l4 >= 4 ? l4 - 4 : 0;

  const std::uint64_t s5 = s4 + l4;
  if (strict) {
    // Section 5, then the section 1 fields the checks so far did not need.
    if (!fits(n, s5, 4)) return fail(BufrError::truncated_section(5, s5));
    if (!has(buffer, s5, TERMINATOR)) return fail(BufrError::bad_terminator());
    if (n < 30) return fail(BufrError::truncated_section(1, s1));
    read_section1_edition4(buffer.data() + s1, header);
  } else if (s5 < limit) {
    header.quirks |= header_quirks::BYTES_BEFORE_END;
    header.warnings.push_back(std::to_string(limit - s5) + " bytes between the end of section 4 and \"7777\" were skipped");
  }
  return header;
}

Result<BufrMessage> parse_message(Bytes buffer) {
  VANTREL_ASSIGN(ParsedHeader header, parse_header(buffer, HeaderRules::Strict));
  return std::move(header.message);
}

Result<std::vector<Bytes>> split_messages(Bytes buffer) {
  std::vector<Bytes> found;
  const std::uint64_t n = buffer.size();
  std::uint64_t c = 0;
  while (n - c >= 4) {
    const std::uint64_t p = message_bytes::find_marker(buffer, c);
    if (p + 4 > n) break;
    if (p + 8 > n) return fail(BufrError::message_too_short());
    const std::uint64_t length = be24(buffer, p + 4);
    // A declared length of 0 would never move the scan forward; every caller
    // rejects a message that short anyway. Lengths 1 to 7 are returned and
    // rejected by the parser, after the whole buffer has been scanned.
    if (length == 0) return fail(BufrError::message_too_short());
    if (length > n - p) return fail(BufrError::truncated_section(0, p));
    found.push_back(buffer.subspan(p, length));
    c = p + length;
  }
  return found;
}

}  // namespace vantrel
