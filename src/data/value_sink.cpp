#include "data/value_sink.hpp"

#include <utility>

#include "descriptor/descriptor.hpp"

namespace vantrel {

bool CollectingSink::begin_column(const ColumnInfo& column) {
  in_column_ = true;
  uniform_ = column.uniform;
  columns_.emplace_back();
  return true;
}

bool CollectingSink::end_column() {
  in_column_ = false;
  return true;
}

void CollectingSink::add(Place place, DecodedValue value) {
  if (!in_column_) {
    values_.push_back(std::move(value));
    slots_.push_back(place.slot);
    return;
  }
  std::vector<DecodedValue>& column = columns_.back();
  if (uniform_) {
    column.assign(subsets_, value);
  } else {
    column.push_back(std::move(value));
  }
}

bool CollectingSink::end_message() {
  if (columns_.empty()) return true;
  for (std::uint32_t s = 0; s < subsets_; ++s) {
    for (std::size_t c = 0; c < columns_.size(); ++c) {
      std::vector<DecodedValue>& column = columns_[c];
      if (s < column.size()) {
        values_.push_back(std::move(column[s]));
        slots_.push_back(static_cast<std::uint32_t>(c));
      }
    }
  }
  columns_.clear();
  return true;
}

bool CollectingSink::numeric(Place place, const ElementDefinition& element, std::uint64_t raw,
                             const std::optional<double>& value, const std::string* meaning) {
  add(place, DecodedValue{element.code, element.name, value, raw, std::nullopt,
                   meaning ? std::optional<std::string>(*meaning) : std::nullopt});
  return true;
}

bool CollectingSink::character(Place place, const ElementDefinition& element, double position_code,
                               std::optional<std::string_view> text) {
  add(place, DecodedValue{element.code, element.name, position_code, std::nullopt,
                   text ? std::optional<std::string>(*text) : std::nullopt, std::nullopt});
  return true;
}

bool CollectingSink::associated_field(Place place, std::uint64_t raw) {
  add(place, DecodedValue{ASSOCIATED_FIELD_CODE, std::string(ASSOCIATED_FIELD_NAME), static_cast<double>(raw), raw,
                   std::nullopt, std::nullopt});
  return true;
}

bool CollectingSink::operator_record(Place place, std::uint32_t code) {
  add(place, DecodedValue{code, std::string(OPERATOR_NAME), 0.0, 0, std::nullopt, std::nullopt});
  return true;
}

bool CollectingSink::operator_text(Place place, std::uint32_t code, std::optional<std::string_view> text) {
  add(place, DecodedValue{code, std::string(OPERATOR_NAME), std::nullopt, std::nullopt,
                   text ? std::optional<std::string>(*text) : std::nullopt, std::nullopt});
  return true;
}

}  // namespace vantrel
