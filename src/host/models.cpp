// The records: enumerations and their texts, NormalizedPrice's checks, items
// made from shopping offers. (Their JSON form: models_json.cpp.)
#include <korvane/errors.hpp>
#include <korvane/models.hpp>

#include "host/condition_words.hpp"
#include "text/number.hpp"
#include "text/unicode.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

namespace korvane::models {

// ---------------------------------------------------------------- enumerations
namespace {

template <class Enum, std::size_t N>
struct EnumNames {
  std::array<EnumMember<Enum>, N> entries;

  [[nodiscard]] std::string_view name(Enum v) const noexcept {
    for (const auto& e : entries) {
      if (e.value == v) return e.text;
    }
    return {};
  }
  [[nodiscard]] std::optional<Enum> find(std::string_view text) const noexcept {
    for (const auto& e : entries) {
      if (e.text == text) return e.value;
    }
    return std::nullopt;
  }
};

constexpr EnumNames<PageType, 6> page_type_names{{{
    {PageType::PRODUCT, "PRODUCT", "product"},
    {PageType::MARKETPLACE, "MARKETPLACE", "marketplace"},
    {PageType::ARTICLE, "ARTICLE", "article"},
    {PageType::PORTFOLIO, "PORTFOLIO", "portfolio"},
    {PageType::SOCIAL, "SOCIAL", "social"},
    {PageType::UNCATEGORIZED, "UNCATEGORIZED", "uncategorized"},
}}};
constexpr EnumNames<MerchantCategory, 4> merchant_category_names{{{
    {MerchantCategory::OFFICIAL_BRAND, "OFFICIAL_BRAND", "official_brand"},
    {MerchantCategory::MAJOR_MARKETPLACE, "MAJOR_MARKETPLACE", "major_marketplace"},
    {MerchantCategory::RESELLER_SPECIALIST, "RESELLER_SPECIALIST", "reseller_specialist"},
    {MerchantCategory::UNVERIFIED, "UNVERIFIED", "unverified"},
}}};
constexpr EnumNames<StockStatus, 3> stock_status_names{{{
    {StockStatus::IN_STOCK, "IN_STOCK", "in_stock"},
    {StockStatus::OUT_OF_STOCK, "OUT_OF_STOCK", "out_of_stock"},
    {StockStatus::PREORDER, "PREORDER", "preorder"},
}}};
constexpr EnumNames<ItemCondition, 3> item_condition_names{{{
    {ItemCondition::NEW, "NEW", "new"},
    {ItemCondition::USED, "USED", "used"},
    {ItemCondition::REFURBISHED, "REFURBISHED", "refurbished"},
}}};
constexpr EnumNames<RelevanceLabel, 4> relevance_names{{{
    {RelevanceLabel::EXACT_MATCH, "EXACT_MATCH", "exact_match"},
    {RelevanceLabel::HIGH, "HIGH", "high"},
    {RelevanceLabel::MEDIUM, "MEDIUM", "medium"},
    {RelevanceLabel::LOW, "LOW", "low"},
}}};

constexpr const auto& names_of(PageType) { return page_type_names; }
constexpr const auto& names_of(MerchantCategory) { return merchant_category_names; }
constexpr const auto& names_of(StockStatus) { return stock_status_names; }
constexpr const auto& names_of(ItemCondition) { return item_condition_names; }
constexpr const auto& names_of(RelevanceLabel) { return relevance_names; }

}  // namespace

std::string_view to_string(PageType v) noexcept { return page_type_names.name(v); }
std::string_view to_string(MerchantCategory v) noexcept { return merchant_category_names.name(v); }
std::string_view to_string(StockStatus v) noexcept { return stock_status_names.name(v); }
std::string_view to_string(ItemCondition v) noexcept { return item_condition_names.name(v); }
std::string_view to_string(RelevanceLabel v) noexcept { return relevance_names.name(v); }

template <class Enum>
std::optional<Enum> enum_from_string(std::string_view text) noexcept {
  return names_of(Enum{}).find(text);
}
template std::optional<PageType> enum_from_string<PageType>(std::string_view) noexcept;
template std::optional<MerchantCategory> enum_from_string<MerchantCategory>(std::string_view) noexcept;
template std::optional<StockStatus> enum_from_string<StockStatus>(std::string_view) noexcept;
template std::optional<ItemCondition> enum_from_string<ItemCondition>(std::string_view) noexcept;
template std::optional<RelevanceLabel> enum_from_string<RelevanceLabel>(std::string_view) noexcept;

template <class Enum>
std::span<const EnumMember<Enum>> enum_members() noexcept {
  return names_of(Enum{}).entries;
}
template std::span<const EnumMember<PageType>> enum_members<PageType>() noexcept;
template std::span<const EnumMember<MerchantCategory>> enum_members<MerchantCategory>() noexcept;
template std::span<const EnumMember<StockStatus>> enum_members<StockStatus>() noexcept;
template std::span<const EnumMember<ItemCondition>> enum_members<ItemCondition>() noexcept;
template std::span<const EnumMember<RelevanceLabel>> enum_members<RelevanceLabel>() noexcept;

// ---------------------------------------------------------------- records

NormalizedPrice::NormalizedPrice(std::string raw_text, double amount_value, std::string currency_code)
    : raw(std::move(raw_text)), amount(amount_value), currency(std::move(currency_code)) {
  if (!std::isfinite(amount)) {
    throw ValueError("price amount must be a finite number");
  }
  if (amount < 0.0) {
    throw ValueError("price amount must not be negative");
  }
}

namespace {

// ISO 4217 code of a currency as shopping results write it ("USD", "$", "€"):
// upper-cased and stripped, then looked up, as the price normalizer reads a
// currency hint (its table's entries give the same codes here; ₩ is ours).
std::string currency_code_of(std::string_view text) {
  const std::string t = text::ascii_upper(text::strip(text));
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> symbols{{
      {"US$", "USD"}, {"CA$", "CAD"}, {"A$", "AUD"}, {"CN\xC2\xA5", "CNY"},
      {"$", "USD"}, {"\xE2\x82\xAC", "EUR"}, {"\xC2\xA3", "GBP"}, {"\xC2\xA5", "JPY"},
      {"\xE2\x82\xB9", "INR"}, {"\xE2\x82\xA9", "KRW"},
  }};
  for (const auto& [symbol, code] : symbols) {
    if (t == symbol) return std::string(code);
  }
  return t;
}

// The currency of a price text such as "$1,299.99" or "1.299,99 €", or empty.
std::string currency_in_price_text(std::string_view price) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 10> marks{{
      {"US$", "USD"}, {"CA$", "CAD"}, {"A$", "AUD"}, {"CN\xC2\xA5", "CNY"},
      {"\xE2\x82\xAC", "EUR"}, {"\xC2\xA3", "GBP"}, {"\xC2\xA5", "JPY"},
      {"\xE2\x82\xB9", "INR"}, {"\xE2\x82\xA9", "KRW"}, {"$", "USD"},
  }};
  for (const auto& [mark, code] : marks) {
    if (price.find(mark) != std::string_view::npos) return std::string(code);
  }
  return {};
}

// An offer's condition text read with the words the page titles are read
// with ("Renewed" is refurbished, "Pre-owned" used), else "new".
std::optional<ItemCondition> condition_of(std::string_view text) {
  const std::string t = text::to_lower(text);
  if (const auto named = detail::condition_named_in(t)) return named;
  if (t.find("new") != std::string::npos) return ItemCondition::NEW;
  return std::nullopt;
}

}  // namespace

EnrichedCommerceMatch EnrichedCommerceMatch::from_shopping_offer(const ShoppingOffer& offer) {
  EnrichedCommerceMatch item;
  item.title = offer.title;
  item.direct_url = offer.link;
  item.original_url = offer.link;
  if (offer.extracted_price && std::isfinite(*offer.extracted_price) && *offer.extracted_price >= 0) {
    std::string code;
    if (offer.currency && !text::strip(*offer.currency).empty()) code = currency_code_of(*offer.currency);
    if (code.empty() && offer.price) code = currency_in_price_text(*offer.price);
    if (code.empty()) code = "USD";
    const double amount = text::round_to_cents(*offer.extracted_price);
    std::string raw = offer.price && !text::strip(*offer.price).empty()
                          ? std::string(text::strip(*offer.price))
                          : text::format_fixed2(amount) + " " + code;
    item.price = NormalizedPrice(std::move(raw), amount, std::move(code));
  }
  if (offer.source && !offer.source->empty()) item.merchant_name = offer.source;
  item.thumbnail = offer.thumbnail;
  item.primary_image_url = offer.thumbnail;
  item.shipping_info = offer.delivery;
  if (offer.condition) item.condition = condition_of(*offer.condition);
  if (offer.in_stock) item.stock_status = *offer.in_stock ? StockStatus::IN_STOCK : StockStatus::OUT_OF_STOCK;
  item.page_type = PageType::PRODUCT;
  if (offer.position && *offer.position >= 1) {
    item.match_score = static_cast<int>(std::max<long long>(50, 100 - *offer.position));
  } else {
    item.match_score = 95;
  }
  item.source_engine = "shopping";
  return item;
}

}  // namespace korvane::models
