// The CSV text of a result, as the CSV export writes it.
#pragma once

#include <korvane/models.hpp>

#include <string>

namespace korvane::commerce::detail {

[[nodiscard]] std::string commerce_csv_text(const models::CommerceIntelligence& commerce);

}  // namespace korvane::commerce::detail
