// The words that name an item's condition in a title or a condition text:
// one list for the metadata parser's title rule and for shopping offers.
#pragma once

#include <korvane/models.hpp>

#include <optional>
#include <string_view>

namespace korvane::models::detail {

// REFURBISHED when lower-cased `text` contains "refurbished" or "renewed",
// else USED when it contains "pre-owned", "vintage", "used" or "thrift",
// else nothing.
[[nodiscard]] constexpr std::optional<ItemCondition> condition_named_in(std::string_view lower_text) noexcept {
  const auto has = [lower_text](std::string_view word) { return lower_text.find(word) != std::string_view::npos; };
  if (has("refurbished") || has("renewed")) return ItemCondition::REFURBISHED;
  if (has("pre-owned") || has("vintage") || has("used") || has("thrift")) return ItemCondition::USED;
  return std::nullopt;
}

}  // namespace korvane::models::detail
