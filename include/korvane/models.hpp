// The commerce records: what a visual search returns, what the pipeline
// builds, and their JSON form.
//
// Records are plain structs. Optional fields are std::optional; absent means
// "not known". Their JSON form is in <korvane/models/json.hpp>.
#pragma once

#include <korvane/errors.hpp>

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::models {

// ---------------------------------------------------------------- enumerations

// What kind of page a destination link leads to.
enum class PageType { PRODUCT, MARKETPLACE, ARTICLE, PORTFOLIO, SOCIAL, UNCATEGORIZED };

// Who sells behind a domain.
enum class MerchantCategory { OFFICIAL_BRAND, MAJOR_MARKETPLACE, RESELLER_SPECIALIST, UNVERIFIED };

enum class StockStatus { IN_STOCK, OUT_OF_STOCK, PREORDER };

enum class ItemCondition { NEW, USED, REFURBISHED };

// How closely an item answers the search (see <korvane/relevance.hpp>).
enum class RelevanceLabel { EXACT_MATCH, HIGH, MEDIUM, LOW };

// Text values, in lower snake case: "product", "major_marketplace",
// "in_stock", "refurbished", "exact_match".
[[nodiscard]] std::string_view to_string(PageType v) noexcept;
[[nodiscard]] std::string_view to_string(MerchantCategory v) noexcept;
[[nodiscard]] std::string_view to_string(StockStatus v) noexcept;
[[nodiscard]] std::string_view to_string(ItemCondition v) noexcept;
[[nodiscard]] std::string_view to_string(RelevanceLabel v) noexcept;

// The member with text value `text`; absent for an unknown text.
template <class Enum>
[[nodiscard]] std::optional<Enum> enum_from_string(std::string_view text) noexcept;

// One member of an enumeration: its value, its name as written in the code
// ("MAJOR_MARKETPLACE") and its text value ("major_marketplace").
template <class Enum>
struct EnumMember {
  Enum value;
  std::string_view name;
  std::string_view text;
};

// Every member of `Enum`, in declaration order, for code that lists them
// (bindings, help texts):
//   for (const auto& m : enum_members<PageType>()) std::cout << m.name << '=' << m.text;
template <class Enum>
[[nodiscard]] std::span<const EnumMember<Enum>> enum_members() noexcept;

// ---------------------------------------------------------------- records

// One visual match of the search engine.
struct VisualMatch {
  std::string link{};
  std::string title{};
  std::optional<std::string> source{};     // site or merchant name
  std::optional<std::string> price{};      // raw price text
  std::optional<std::string> currency{};   // currency hint
  std::optional<std::string> thumbnail{};
  std::optional<bool> in_stock{};

  friend bool operator==(const VisualMatch&, const VisualMatch&) = default;
};

// One shopping result of the search engine.
struct ShoppingOffer {
  std::string title{};
  std::string link{};
  std::optional<std::string> source{};            // merchant name
  std::optional<std::string> price{};             // price text, e.g. "$1,299.99"
  std::optional<double> extracted_price{};        // the engine's numeric price
  std::optional<std::string> currency{};          // ISO 4217 code or symbol
  std::optional<std::string> thumbnail{};
  std::optional<double> rating{};
  std::optional<long long> reviews{};
  std::optional<std::string> delivery{};          // shipping text
  std::optional<std::string> condition{};         // "new", "used", "refurbished", ...
  std::optional<bool> in_stock{};
  std::optional<long long> position{};            // 1-based rank in the engine's list

  friend bool operator==(const ShoppingOffer&, const ShoppingOffer&) = default;
};

// A price amount with its ISO 4217 currency code and the text it came from.
// The constructor refuses an amount that is negative or not finite with a
// ValueError; an empty currency text is accepted.
struct NormalizedPrice {
  std::string raw{};
  double amount = 0.0;
  std::string currency{};

  NormalizedPrice(std::string raw, double amount, std::string currency);
  friend bool operator==(const NormalizedPrice&, const NormalizedPrice&) = default;
};

// One commerce item: a visual match or a shopping offer, enriched.
struct EnrichedCommerceMatch {
  std::string title{};
  std::string direct_url{};
  std::string original_url{};
  std::optional<NormalizedPrice> price{};
  std::optional<std::string> merchant_name{};
  std::optional<MerchantCategory> merchant_category{};
  std::optional<std::string> thumbnail{};
  int match_score = 0;
  PageType page_type = PageType::UNCATEGORIZED;
  std::optional<std::string> brand{};
  std::optional<std::string> sku{};
  std::optional<ItemCondition> condition{};
  std::optional<StockStatus> stock_status{};
  std::optional<std::string> primary_image_url{};
  std::optional<std::string> shipping_info{};
  std::string source_engine = "lens";
  std::optional<RelevanceLabel> relevance{};

  // An item made from a shopping offer: its title, link (as both direct and
  // original link), price (the engine's extracted value rounded to cents, else
  // nothing), merchant, thumbnail (also as primary image), delivery text as
  // shipping information, condition and stock when the offer states them,
  // page type PRODUCT, match score 100 minus the offer's position (at least
  // 50; 95 without a position) and source engine "shopping".
  [[nodiscard]] static EnrichedCommerceMatch from_shopping_offer(const ShoppingOffer& offer);

  friend bool operator==(const EnrichedCommerceMatch&, const EnrichedCommerceMatch&) = default;
};

// The market summary of a result (see recompute_market_summary).
struct CommerceSummary {
  int total_matches = 0;
  std::string currency = "USD";            // currency of the price statistics
  int total_priced_matches = 0;            // items with a price, any currency
  std::optional<double> min_price{};         // statistics over items priced in `currency`
  std::optional<double> median_price{};
  std::optional<double> average_price{};
  std::optional<double> max_price{};
  int in_stock_count = 0;
  std::map<MerchantCategory, int> merchant_categories{};  // items per category
  std::map<PageType, int> page_types{};                   // items per page type

  friend bool operator==(const CommerceSummary&, const CommerceSummary&) = default;
};

// The result of one enrichment: a summary and the items.
struct CommerceIntelligence {
  CommerceSummary summary{};
  std::vector<EnrichedCommerceMatch> items{};

  friend bool operator==(const CommerceIntelligence&, const CommerceIntelligence&) = default;
};

}  // namespace korvane::models
