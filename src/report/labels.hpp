// The words the report shows for the records' values, and the keys its
// cards and data carry for them.
#pragma once

#include <korvane/models.hpp>

#include <array>
#include <optional>
#include <string_view>

namespace korvane::report::detail {

[[nodiscard]] constexpr std::string_view label(models::MerchantCategory v) noexcept {
  switch (v) {
    case models::MerchantCategory::OFFICIAL_BRAND: return "Official brand";
    case models::MerchantCategory::MAJOR_MARKETPLACE: return "Major marketplace";
    case models::MerchantCategory::RESELLER_SPECIALIST: return "Reseller";
    case models::MerchantCategory::UNVERIFIED: return "Unverified";
  }
  return "";
}

[[nodiscard]] constexpr std::string_view label(models::PageType v) noexcept {
  switch (v) {
    case models::PageType::PRODUCT: return "Product";
    case models::PageType::MARKETPLACE: return "Marketplace";
    case models::PageType::ARTICLE: return "Article";
    case models::PageType::PORTFOLIO: return "Portfolio";
    case models::PageType::SOCIAL: return "Social";
    case models::PageType::UNCATEGORIZED: return "Uncategorised";
  }
  return "";
}

[[nodiscard]] constexpr std::string_view label(models::RelevanceLabel v) noexcept {
  switch (v) {
    case models::RelevanceLabel::EXACT_MATCH: return "Exact match";
    case models::RelevanceLabel::HIGH: return "High relevance";
    case models::RelevanceLabel::MEDIUM: return "Medium relevance";
    case models::RelevanceLabel::LOW: return "Low relevance";
  }
  return "";
}

[[nodiscard]] constexpr std::string_view label(models::StockStatus v) noexcept {
  switch (v) {
    case models::StockStatus::IN_STOCK: return "In stock";
    case models::StockStatus::OUT_OF_STOCK: return "Out of stock";
    case models::StockStatus::PREORDER: return "Preorder";
  }
  return "";
}

[[nodiscard]] constexpr std::string_view label(models::ItemCondition v) noexcept {
  switch (v) {
    case models::ItemCondition::NEW: return "New";
    case models::ItemCondition::USED: return "Used";
    case models::ItemCondition::REFURBISHED: return "Refurbished";
  }
  return "";
}

// The words for an absent value.
inline constexpr std::string_view NO_CATEGORY = "No category";
inline constexpr std::string_view NO_RELEVANCE = "Not labelled";
inline constexpr std::string_view NO_STOCK = "Unknown";

// The value's text ("major_marketplace"), or "none" when absent: the key the
// cards carry and the filters compare.
template <class Enum>
[[nodiscard]] std::string_view key_of(const std::optional<Enum>& v) noexcept {
  return v ? models::to_string(*v) : std::string_view("none");
}

// Every value, in the order the report lists them.
inline constexpr std::array CATEGORIES = {models::MerchantCategory::OFFICIAL_BRAND,
                                          models::MerchantCategory::MAJOR_MARKETPLACE,
                                          models::MerchantCategory::RESELLER_SPECIALIST,
                                          models::MerchantCategory::UNVERIFIED};
inline constexpr std::array RELEVANCE = {models::RelevanceLabel::EXACT_MATCH, models::RelevanceLabel::HIGH,
                                         models::RelevanceLabel::MEDIUM, models::RelevanceLabel::LOW};
inline constexpr std::array PAGE_TYPES = {models::PageType::PRODUCT,   models::PageType::MARKETPLACE,
                                          models::PageType::ARTICLE,   models::PageType::PORTFOLIO,
                                          models::PageType::SOCIAL,    models::PageType::UNCATEGORIZED};
inline constexpr std::array STOCK = {models::StockStatus::IN_STOCK, models::StockStatus::OUT_OF_STOCK,
                                     models::StockStatus::PREORDER};
inline constexpr std::array CONDITIONS = {models::ItemCondition::NEW, models::ItemCondition::USED,
                                          models::ItemCondition::REFURBISHED};

}  // namespace korvane::report::detail
