#include "message/ecmwf_local.hpp"

namespace vantrel {

namespace {

constexpr std::uint64_t SECTION_LENGTH = 52;

// `width` bits (at most 32) of `field` from bit `offset` on, the most significant first.
std::uint32_t bits(const std::uint8_t* field, unsigned offset, unsigned width) {
  std::uint64_t value = 0;
  for (unsigned i = 0; i < width; ++i) {
    const unsigned at = offset + i;
    value = (value << 1) | ((field[at / 8] >> (7 - at % 8)) & 1u);
  }
  return static_cast<std::uint32_t>(value);
}

// A latitude or longitude in hundred-thousandths of a degree from `reference`.
double degrees(std::uint32_t raw, std::int64_t reference) {
  return static_cast<double>(static_cast<std::int64_t>(raw) + reference) / 100000.0;
}

}  // namespace

std::optional<EcmwfLocalKeys> ecmwf_local_keys(Bytes bytes, const BufrMessage& message) {
  if (message.originating_centre != 98 || !message.local_section_present ||
      message.section2_length != SECTION_LENGTH) {
    return std::nullopt;
  }
  const std::uint64_t start = 8 + message.section1_length;
  if (start > bytes.size() || bytes.size() - start < SECTION_LENGTH) return std::nullopt;
  const std::uint8_t* s = bytes.data() + start;
  const std::uint8_t* key_data = s + 6;   // 13 bytes
  const std::uint8_t* key_more = s + 19;  // 8 bytes
  const std::uint8_t* key_sat = s + 27;   // 9 bytes
  const std::uint8_t* rdbtime = s + 38;   // 3 bytes
  const std::uint8_t* rectime = s + 41;   // 3 bytes
  EcmwfLocalKeys k;
  k.rdb_type = s[4];
  k.old_subtype = s[5];
  k.local_year = static_cast<std::uint16_t>(bits(key_data, 0, 12));
  k.local_month = static_cast<std::uint8_t>(bits(key_data, 12, 4));
  k.local_day = static_cast<std::uint8_t>(bits(key_data, 16, 6));
  k.local_hour = static_cast<std::uint8_t>(bits(key_data, 22, 5));
  k.local_minute = static_cast<std::uint8_t>(bits(key_data, 27, 6));
  k.local_second = static_cast<std::uint8_t>(bits(key_data, 33, 6));
  k.rdbtime_day = static_cast<std::uint8_t>(bits(rdbtime, 0, 6));
  k.rdbtime_hour = static_cast<std::uint8_t>(bits(rdbtime, 6, 5));
  k.rdbtime_minute = static_cast<std::uint8_t>(bits(rdbtime, 11, 6));
  k.rdbtime_second = static_cast<std::uint8_t>(bits(rdbtime, 17, 6));
  k.rectime_day = static_cast<std::uint8_t>(bits(rectime, 0, 6));
  k.rectime_hour = static_cast<std::uint8_t>(bits(rectime, 6, 5));
  k.rectime_minute = static_cast<std::uint8_t>(bits(rectime, 11, 6));
  k.rectime_second = static_cast<std::uint8_t>(bits(rectime, 17, 6));
  k.quality_control = s[48];
  k.new_subtype = static_cast<std::uint16_t>((s[49] << 8) | s[50]);
  k.rdb_subtype = k.old_subtype < 255 ? k.old_subtype : k.new_subtype;
  const bool satellite_type = k.rdb_type == 2 || k.rdb_type == 3 || k.rdb_type == 8 || k.rdb_type == 12;
  k.satellite = satellite_type || message.number_of_subsets > 1;
  if (k.satellite) {
    k.local_longitude1 = degrees(bits(key_data, 40, 26), -18000000);
    k.local_latitude1 = degrees(bits(key_data, 72, 25), -9000000);
    k.local_longitude2 = degrees(bits(key_more, 0, 26), -18000000);
    k.local_latitude2 = degrees(bits(key_more, 32, 25), -9000000);
    const bool wide = k.old_subtype == 255 || message.number_of_subsets > 255 ||
                      (k.old_subtype >= 121 && k.old_subtype <= 130) || k.old_subtype == 31;
    k.local_number_of_observations = static_cast<std::uint16_t>(bits(key_sat, 0, wide ? 16 : 8));
    k.satellite_id = static_cast<std::uint16_t>(bits(key_sat, wide ? 16 : 8, 16));
  } else {
    k.local_latitude = degrees(bits(key_data, 72, 25), -9000000);
    k.local_longitude = degrees(bits(key_data, 40, 26), -18000000);
    // The identifier: 8 characters up to a NUL, without the blanks around it.
    std::size_t end = 0;
    while (end < 8 && key_more[end] != 0) ++end;
    std::size_t first = 0;
    while (first < end && key_more[first] == ' ') ++first;
    while (end > first && key_more[end - 1] == ' ') --end;
    k.ident.assign(reinterpret_cast<const char*>(key_more + first), end - first);
  }
  return k;
}

}  // namespace vantrel
