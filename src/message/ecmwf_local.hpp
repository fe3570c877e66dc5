// ECMWF's local section 2: the keys of its report database, which messages
// from centre 98 carry in a section 2 of 52 bytes (the layout of the ecCodes
// definitions' bufr/rdb_key.def and section.3.def).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "message/message.hpp"

namespace vantrel {

struct EcmwfLocalKeys {
  std::uint8_t rdb_type = 0;
  std::uint8_t old_subtype = 0;
  std::uint16_t new_subtype = 0;
  std::uint16_t rdb_subtype = 0;  // the old subtype below 255, else the new one
  std::uint16_t local_year = 0;
  std::uint8_t local_month = 0, local_day = 0, local_hour = 0, local_minute = 0, local_second = 0;
  std::uint8_t rdbtime_day = 0, rdbtime_hour = 0, rdbtime_minute = 0, rdbtime_second = 0;
  std::uint8_t rectime_day = 0, rectime_hour = 0, rectime_minute = 0, rectime_second = 0;
  std::uint8_t quality_control = 0;
  bool satellite = false;  // a satellite report type (2, 3, 8, 12) or more than one subset
  // Reports of one place (not satellite).
  double local_latitude = 0, local_longitude = 0;
  std::string ident;  // the station or aircraft identifier, blanks around it removed
  // Satellite reports.
  double local_latitude1 = 0, local_longitude1 = 0, local_latitude2 = 0, local_longitude2 = 0;
  std::uint16_t local_number_of_observations = 0, satellite_id = 0;
};

// The keys of `message`'s section 2 (`bytes` are the message's), or nothing
// when the message is not from centre 98 or its section 2 is not 52 bytes.
std::optional<EcmwfLocalKeys> ecmwf_local_keys(Bytes bytes, const BufrMessage& message);

}  // namespace vantrel
