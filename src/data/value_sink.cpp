#include "data/value_sink.hpp"

#include <utility>

#include "descriptor/descriptor.hpp"

namespace vantrel {

bool CollectingSink::begin_column(const ColumnInfo& column) {
  in_column_ = true;
  column_ = column;
  columns_.emplace_back();
  return true;
}

bool CollectingSink::end_column() {
  in_column_ = false;
  return true;
}

void CollectingSink::add(DecodedValue value) {
  if (!in_column_) {
    values_.push_back(std::move(value));
    return;
  }
  std::vector<DecodedValue>& column = columns_.back();
  if (!column_.uniform) {
    column.push_back(std::move(value));
    return;
  }
  // One event for every subset; character position codes step by 1000.
  for (std::uint32_t s = 0; s < subsets_; ++s) {
    DecodedValue copy = value;
    if (column_.kind == ColumnKind::Character && copy.raw_value) *copy.raw_value += 1000.0 * s;
    column.push_back(std::move(copy));
  }
}

bool CollectingSink::end_message() {
  if (columns_.empty()) return true;
  for (std::uint32_t s = 0; s < subsets_; ++s) {
    for (auto& column : columns_) {
      if (s < column.size()) values_.push_back(std::move(column[s]));
    }
  }
  columns_.clear();
  return true;
}

bool CollectingSink::numeric(const ElementDefinition& element, std::uint64_t raw, std::optional<double> value,
                             const std::string* meaning) {
  add(DecodedValue{element.code, element.name, value, raw, std::nullopt,
                   meaning ? std::optional<std::string>(*meaning) : std::nullopt});
  return true;
}

bool CollectingSink::character(const ElementDefinition& element, double position_code,
                               std::optional<std::string_view> text) {
  add(DecodedValue{element.code, element.name, position_code, std::nullopt,
                   text ? std::optional<std::string>(*text) : std::nullopt, std::nullopt});
  return true;
}

bool CollectingSink::associated_field(std::uint64_t raw) {
  add(DecodedValue{ASSOCIATED_FIELD_CODE, std::string(ASSOCIATED_FIELD_NAME), static_cast<double>(raw), raw,
                   std::nullopt, std::nullopt});
  return true;
}

bool CollectingSink::operator_record(std::uint32_t code) {
  add(DecodedValue{code, std::string(OPERATOR_NAME), 0.0, 0, std::nullopt, std::nullopt});
  return true;
}

bool CollectingSink::operator_text(std::uint32_t code, std::optional<std::string_view> text) {
  add(DecodedValue{code, std::string(OPERATOR_NAME), std::nullopt, std::nullopt,
                   text ? std::optional<std::string>(*text) : std::nullopt, std::nullopt});
  return true;
}

}  // namespace vantrel
