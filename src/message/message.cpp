#include "message/message.hpp"

#include <cstring>

namespace vantrel {
namespace {

constexpr std::uint8_t MARKER[4] = {'B', 'U', 'F', 'R'};
constexpr std::uint8_t TERMINATOR[4] = {'7', '7', '7', '7'};

// True when `count` bytes starting at `offset` lie inside a buffer of `size`
// bytes; an offset so large that offset + count overflows counts as outside.
constexpr bool fits(std::uint64_t size, std::uint64_t offset, std::uint64_t count) {
  return offset <= size && count <= size - offset;
}

std::uint32_t be24(Bytes buffer, std::uint64_t offset) {
  return (std::uint32_t{buffer[offset]} << 16) | (std::uint32_t{buffer[offset + 1]} << 8) | buffer[offset + 2];
}

bool has_marker(Bytes buffer, std::uint64_t offset) {
  return std::memcmp(buffer.data() + offset, MARKER, 4) == 0;
}

}  // namespace

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

// Checks run in a fixed order and the first failure ends the parse, so every
// malformed message reports one well-defined error.
Result<BufrMessage> parse_message(Bytes buffer) {
  const std::uint64_t n = buffer.size();
  if (n <= 7) return fail(BufrError::message_too_short());
  if (!has_marker(buffer, 0)) return fail(BufrError::missing_marker());
  if (buffer[7] != 4) return fail(BufrError::unsupported_edition(buffer[7]));
  const std::uint64_t declared = be24(buffer, 4);
  if (declared != n) return fail(BufrError::length_mismatch(declared, n));
  if (n <= 10) return fail(BufrError::truncated_section(1, 8));
  const std::uint64_t l1 = be24(buffer, 8);
  if (8 + l1 > n) return fail(BufrError::truncated_section(1, 8));
  // The fixed section 1 fields reach offset 29, but a malformed message with
  // small, mutually consistent lengths can be shorter than that. Each field is
  // checked where it is read: a buffer that cannot hold a single-byte field of
  // section 1 reports section 1 at offset 8 as truncated; the 16-bit fields
  // report their own offset.
  if (n <= 17) return fail(BufrError::truncated_section(1, 8));

  BufrMessage m;
  m.total_length = n;
  m.section1_length = l1;
  const std::uint8_t optional_flag = buffer[17];
  VANTREL_ASSIGN(m.typical_year, read_u16(buffer, 23));

  const std::uint64_t s2 = 8 + l1;
  std::uint64_t l2 = 0;
  if (optional_flag != 0) {
    VANTREL_ASSIGN(l2, read_section_length(buffer, s2, 2));
    if (!fits(n, s2, l2)) return fail(BufrError::truncated_section(2, s2));
  }

  const std::uint64_t s3 = s2 + l2;
  VANTREL_ASSIGN(const std::uint64_t l3, read_section_length(buffer, s3, 3));
  if (!fits(n, s3, l3) || l3 < 7) return fail(BufrError::truncated_section(3, s3));
  VANTREL_ASSIGN(m.number_of_subsets, read_u16(buffer, s3 + 4));
  if ((l3 - 7) % 2 != 0) return fail(BufrError::odd_descriptor_bytes());
  const std::uint8_t flags = buffer[s3 + 6];
  m.observed_data = (flags & 0x80) != 0;
  m.compressed_data = (flags & 0x40) != 0;
  m.unexpanded_descriptors.reserve((l3 - 7) / 2);
  for (std::uint64_t p = s3 + 7; p < s3 + l3; p += 2) {
    const std::uint32_t f = buffer[p] >> 6;
    const std::uint32_t x = buffer[p] & 0x3F;
    const std::uint32_t y = buffer[p + 1];
    m.unexpanded_descriptors.push_back(f * 100000 + x * 1000 + y);
  }

  const std::uint64_t s4 = s3 + l3;
  VANTREL_ASSIGN(const std::uint64_t l4, read_section_length(buffer, s4, 4));
  if (!fits(n, s4, l4)) return fail(BufrError::truncated_section(4, s4));
  const std::uint64_t s5 = s4 + l4;
  if (!fits(n, s5, 4)) return fail(BufrError::truncated_section(5, s5));
  if (std::memcmp(buffer.data() + s5, TERMINATOR, 4) != 0) return fail(BufrError::bad_terminator());

  if (n < 30) return fail(BufrError::truncated_section(1, 8));
  m.master_table_number = buffer[11];
  VANTREL_ASSIGN(m.originating_centre, read_u16(buffer, 12));
  VANTREL_ASSIGN(m.originating_subcentre, read_u16(buffer, 14));
  m.update_sequence_number = buffer[16];
  m.local_section_present = optional_flag != 0;
  m.data_category = buffer[18];
  m.international_data_subcategory = buffer[19];
  m.local_data_subcategory = buffer[20];
  m.master_tables_version_number = buffer[21];
  m.local_tables_version_number = buffer[22];
  m.typical_month = buffer[25];
  m.typical_day = buffer[26];
  m.typical_hour = buffer[27];
  m.typical_minute = buffer[28];
  m.typical_second = buffer[29];
  m.section2_length = l2;
  m.section3_length = l3;
  m.section4_length = l4;
  m.section4_data_offset = s4 + 4;
  m.section4_data_length = l4 >= 4 ? l4 - 4 : 0;
  return m;
}

Result<std::vector<Bytes>> split_messages(Bytes buffer) {
  std::vector<Bytes> found;
  const std::uint64_t n = buffer.size();
  std::uint64_t c = 0;
  while (n - c >= 4) {
    std::uint64_t p = c;
    while (p + 4 <= n && !has_marker(buffer, p)) ++p;
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
