// The message layer: finding BUFR messages in a buffer and parsing one
// message's sections 0 to 5 into a BufrMessage record.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "error/error.hpp"

namespace vantrel {

using Bytes = std::span<const std::uint8_t>;

// One parsed message. Holds numbers and the descriptor list only, never the
// message bytes; the section 4 data is located by offset and length.
struct BufrMessage {
  std::uint64_t total_length = 0;             // declared total length == buffer length
  std::uint8_t edition = 4;                   // 4 (2 to 4 under HeaderRules::Archive)
  std::uint64_t section1_length = 0;          // as declared
  std::uint8_t master_table_number = 0;       // offset 11
  std::uint16_t originating_centre = 0;       // offsets 12-13
  std::uint16_t originating_subcentre = 0;    // offsets 14-15
  std::uint8_t update_sequence_number = 0;    // offset 16
  bool local_section_present = false;         // offset 17 non-zero
  std::uint8_t data_category = 0;             // offset 18
  std::uint8_t international_data_subcategory = 0;  // offset 19
  std::uint8_t local_data_subcategory = 0;    // offset 20
  std::uint8_t master_tables_version_number = 0;    // offset 21
  std::uint8_t local_tables_version_number = 0;     // offset 22
  std::uint16_t typical_year = 0;             // offsets 23-24
  std::uint8_t typical_month = 0;             // offset 25
  std::uint8_t typical_day = 0;               // offset 26
  std::uint8_t typical_hour = 0;              // offset 27
  std::uint8_t typical_minute = 0;            // offset 28
  std::uint8_t typical_second = 0;            // offset 29
  std::uint64_t section2_length = 0;          // 0 when section 2 is absent
  std::uint64_t section3_length = 0;          // as declared, at least 7
  std::uint16_t number_of_subsets = 0;        // section 3 octets 5-6
  bool observed_data = false;                 // section 3 flag bit 7
  bool compressed_data = false;               // section 3 flag bit 6
  std::vector<std::uint32_t> unexpanded_descriptors;  // section 3 descriptor codes in order
  std::uint64_t section4_length = 0;          // as declared
  std::uint64_t section4_data_offset = 0;     // S4 + 4, from the start of the message
  std::uint64_t section4_data_length = 0;     // section 4 length - 4, or 0 below 4

  // The section 4 data bytes of `message_bytes` (the buffer this record was parsed from).
  Bytes section4_data(Bytes message_bytes) const;
};

// How a header is read.
enum class HeaderRules : std::uint8_t {
  // Edition 4 only, as decoding needs it: the declared length is the buffer's,
  // every section must fit and "7777" must follow section 4; the first
  // failed check is the error.
  Strict,
  // Editions 2 to 4 as archives hold them, from a frame whose "7777" the
  // framing checked: section 1 by the edition's layout, and quirks accepted
  // with a warning (an odd descriptor byte, bytes between section 4 and
  // "7777", an edition 4 year below 100 read as a year of century).
  Archive,
};

// Quirks of a header read under HeaderRules::Archive, one bit each.
namespace header_quirks {
inline constexpr std::uint32_t CENTURY_YEAR = 1;        // edition 4 year below 100, read as year of century
inline constexpr std::uint32_t YEAR_ABOVE_100 = 2;      // editions 2 and 3: year of century above 100
inline constexpr std::uint32_t ODD_DESCRIPTOR_BYTE = 4;  // section 3 ends in half a descriptor
inline constexpr std::uint32_t NO_DESCRIPTORS = 8;      // section 3 lists no descriptor
inline constexpr std::uint32_t BYTES_BEFORE_END = 16;   // bytes between section 4 and "7777"
}  // namespace header_quirks

// A header: the message record and what its edition leaves out.
struct ParsedHeader {
  BufrMessage message;                                    // edition in message.edition
  std::optional<std::uint16_t> subcentre;                 // absent in edition 2
  std::optional<std::uint8_t> international_subcategory;  // edition 4 only
  std::optional<std::uint8_t> second;                     // edition 4 only
  std::uint8_t year_of_century = 0;                       // editions 2 and 3: as coded
  bool century_year = false;  // edition 4 coded a year below 100: year_of_century holds it
  std::vector<std::string> warnings;                      // quirks accepted (Archive), in words
  std::uint32_t quirks = 0;                               // and as header_quirks bits
};

// Parses a buffer that holds exactly one message under `rules`. Archive
// failures that have no error kind of their own are Parse errors whose text
// says what is wrong.
Result<ParsedHeader> parse_header(Bytes buffer, HeaderRules rules);
// Parses a buffer that holds exactly one message (HeaderRules::Strict).
Result<BufrMessage> parse_message(Bytes buffer);

// The year of a 2-digit year of century (editions 2 and 3): below 50 in this
// century, from 50 the last, 100 as 2000, above 100 as years after 1900.
std::uint16_t year_from_century(std::uint8_t year_of_century);

// The 24-bit big-endian length at `offset`, or TruncatedSection(section, offset).
Result<std::uint32_t> read_section_length(Bytes buffer, std::uint64_t offset, std::uint8_t section);
// The 16-bit big-endian number at `offset`, or TruncatedSection(0, offset).
Result<std::uint16_t> read_u16(Bytes buffer, std::uint64_t offset);

// Finds every message in a buffer by its "BUFR" marker and declared length;
// returns views into `buffer`, in order, without parsing them.
Result<std::vector<Bytes>> split_messages(Bytes buffer);

}  // namespace vantrel
