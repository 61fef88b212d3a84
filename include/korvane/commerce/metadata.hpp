// Destination metadata parser: product data of a merchant's page, mined from
// its JSON-LD and Next.js data, meta tags and shop markup, combined with what
// the search result already said, typed as a page kind and scored.
#pragma once

#include <korvane/commerce/tables.hpp>
#include <korvane/models.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce {

// Hosts of social networks. A destination on one of them is a SOCIAL page
// and is not mined for product data.
inline constexpr StringSet SOCIAL_DOMAINS{std::array<std::string_view, 9>{
    "instagram.com", "facebook.com", "twitter.com", "x.com", "linkedin.com", "pinterest.com",
    "tiktok.com", "youtube.com", "reddit.com"}};

// Hosts of blogging platforms and lifestyle magazines (ARTICLE pages).
inline constexpr StringSet EDITORIAL_DOMAINS{std::array<std::string_view, 6>{
    "medium.com", "substack.com", "wordpress.com", "blogger.com", "lifestyleasia.com",
    "augustman.com"}};

// Hosts of design portfolios and picture sites (PORTFOLIO pages).
inline constexpr StringSet PORTFOLIO_DOMAINS{std::array<std::string_view, 7>{
    "behance.net", "dribbble.com", "artstation.com", "figma.com", "github.io", "unsplash.com",
    "allmacwallpaper.com"}};

// Path fragments of articles; matched anywhere in the lower-cased path.
inline constexpr StringSet ARTICLE_PATH_PATTERNS{std::array<std::string_view, 18>{
    "/blog", "/article", "/news", "/journal", "/post", "/posts/", "/advice/", "/insights/",
    "/story/", "/fashion/", "/style/", "/author/", "/editorial/", "/guide/", "/review/",
    "/reviews/", "/trends/", "/hub/"}};

// Path fragments of portfolio and template pages; matched anywhere in the
// lower-cased path.
inline constexpr StringSet PORTFOLIO_PATH_PATTERNS{std::array<std::string_view, 12>{
    "/works", "/portfolio", "/projects", "/project", "/design", "/showcase", "/template",
    "/templates", "/themes", "/redesign", "/case-study", "/photos/"}};

// Title words of portfolio and picture pages; matched anywhere in the
// lower-cased title.
inline constexpr StringSet PORTFOLIO_KEYWORDS{std::array<std::string_view, 8>{
    "portfolio", "template", "redesign", "showcase", "mockup", "theme", "wallpaper", "pictures"}};

// Path fragments of a store's category, collection and shop listings (they
// count as PRODUCT pages); matched anywhere in the lower-cased path.
inline constexpr StringSet CATALOG_PATH_PATTERNS{std::array<std::string_view, 10>{
    "/categories", "/category", "/collections", "/collection", "/catalog", "/shop", "/store",
    "/offers", "/sale", "/w/"}};

// Link texts that say nothing about a product; compared with the whole
// lower-cased title.
inline constexpr StringSet GENERIC_TITLES{std::array<std::string_view, 8>{
    "read more", "click here", "learn more", "view product", "shop now", "see details", "buy now",
    "untitled"}};

// The best source of product data a parse read: JSON-LD, the Next.js page
// state, Open Graph meta tags, or only the search result.
enum class FetchSource { ld_json, next_data, opengraph, serp_fallback };

// Text values: "ld_json", "next_data", "opengraph", "serp_fallback".
[[nodiscard]] std::string_view to_string(FetchSource source) noexcept;

// The member with text value `text` (of FetchSource, RunPhase or
// StoreOutcome); absent for an unknown text:
// enum_from_string<FetchSource>("next_data").
template <class Enum>
[[nodiscard]] std::optional<Enum> enum_from_string(std::string_view text) noexcept;

// How much of a page the parser reads: `standard` is the documented rule set; `extended`
// reads everything standard reads and then more sources (opt-in).
enum class ExtractionMode { standard, extended };

// The product metadata of one destination page. `shipping_info` is always
// absent; `fetch_source` names the best source that was read. A root- or
// protocol-relative `primary_image_url` ("/img/a.jpg", "//cdn.example/a.jpg")
// is made absolute against an http or https page link.
struct MetadataResult {
  std::string title;
  std::string merchant_name;
  std::optional<std::string> brand;
  std::optional<std::string> sku;
  std::optional<models::NormalizedPrice> price;
  std::optional<models::StockStatus> stock_status;
  std::optional<models::ItemCondition> condition;
  std::optional<std::string> primary_image_url;
  std::optional<std::string> shipping_info;
  models::PageType page_type = models::PageType::UNCATEGORIZED;
  int match_score = 0;
  FetchSource fetch_source = FetchSource::serp_fallback;

  friend bool operator==(const MetadataResult&, const MetadataResult&) = default;
};

// The inputs of one parse, by name (the positional parse_metadata is a thin wrapper).
struct MetadataRequest {
  std::optional<std::string_view> html;
  std::string_view direct_url;
  std::string_view initial_title;
  std::string_view initial_merchant;
  std::optional<models::NormalizedPrice> initial_price;
  std::optional<bool> initial_stock;
  int rank = 1;
  ExtractionMode extraction = ExtractionMode::standard;
};

class DestinationMetadataParser {
 public:
  DestinationMetadataParser() = delete;

  // The product metadata of `request.html`, as the positional form below
  // describes it. With `ExtractionMode::extended` the page is also read for
  // JSON-LD the standard rules skip, microdata and RDFa, price and
  // availability meta tags, shop page-state and analytics objects, data
  // attributes, the visible price next to the main heading and add-to-cart
  // form, add-to-cart buttons and sold-out wording, and labelled item
  // numbers; these fill missing fields and replace values the page
  // contradicts. In that mode an amount whose currency neither the page nor
  // the search result states has an empty currency (raw text "12.00"), never
  // a guessed "USD". Results with `standard` are exactly those of the
  // positional form.
  [[nodiscard]] static MetadataResult parse_metadata(const MetadataRequest& request);

  // The product metadata of the page `html` behind `direct_url`, starting
  // from the search result's title, merchant, price and stock flag; `rank`
  // (1-based position in the result list) gives the match score: 98 for rank
  // 1, 3 less per rank, at least 50, plus 2 (at most 99) when the brand
  // occurs in the title. An absent page, or one of 200 characters or fewer,
  // is typed from the link and the search result alone. Never throws on
  // malformed input: invalid UTF-8 is read with U+FFFD, broken markup and
  // JSON leave fields absent, an unsplittable link counts as empty. Reads
  // with ExtractionMode::standard.
  [[nodiscard]] static MetadataResult parse_metadata(
      std::optional<std::string_view> html, std::string_view direct_url,
      std::string_view initial_title = {}, std::string_view initial_merchant = {},
      const std::optional<models::NormalizedPrice>& initial_price = std::nullopt,
      std::optional<bool> initial_stock = std::nullopt, int rank = 1);
};

}  // namespace korvane::commerce
