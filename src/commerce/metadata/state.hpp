// The working values of one parse_metadata call, and the steps that read and
// write them: page classification and the four field-resolution stages.
#pragma once

#include "commerce/metadata/embedded_data.hpp"
#include "commerce/metadata/shop_markup.hpp"

#include <korvane/commerce/metadata.hpp>
#include <korvane/models.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce::detail {

// The fetch sources, from the most to the least reliable.

struct MetadataParseState {
  // Inputs derived from the link (all valid UTF-8).
  std::string_view direct_url;
  std::string domain;  // network location, lower-cased, every "www." removed
  std::string path;    // path component, without ";" parameters

  std::string title;
  std::string merchant_name;
  std::optional<double> price_amount;
  std::optional<std::string> currency;
  std::optional<models::StockStatus> stock_status;
  std::optional<std::string> brand;
  std::optional<std::string> sku;
  std::optional<models::ItemCondition> condition;
  std::optional<std::string> primary_image_url;
  models::PageType page_type = models::PageType::UNCATEGORIZED;
  bool is_social = false;
  FetchSource fetch_source = FetchSource::serp_fallback;
};

// A text is set when present and non-empty.
[[nodiscard]] inline bool is_set(const std::optional<std::string>& s) noexcept {
  return s.has_value() && !s->empty();
}

// ---------------------------------------------------------------- classification

// The host test: SOCIAL (and is_social) for a social host, else MARKETPLACE
// for a marketplace host, else UNCATEGORIZED.
void classify_host(MetadataParseState& s);

// Structured product data was found: PRODUCT, unless the page is a MARKETPLACE.
void promote_structured(MetadataParseState& s);

// A price was read from shop markup: an UNCATEGORIZED page becomes PRODUCT.
void promote_pattern_price(MetadataParseState& s);

// The Open Graph test (run when no structured stage ran): PRODUCT for an
// og:type naming a product or a link with "/product", else ARTICLE for an
// article type, "/blog/" or "/news/" in the link, or Medium's host;
// fetch_source becomes "opengraph" in every case.
void classify_open_graph(MetadataParseState& s, const MetaTags& meta);

// The URL test for pages still UNCATEGORIZED and not social: path, title and
// host tables decide PRODUCT, ARTICLE, PORTFOLIO or PRODUCT (catalogue).
void classify_url(MetadataParseState& s);

// ---------------------------------------------------------------- field resolution

// Stage A: the JSON-LD product (`ld` non-empty).
void resolve_ld_json(MetadataParseState& s, const LdJsonProducts& ld);

// Stage B: the Next.js product (non-empty).
void resolve_next_data(MetadataParseState& s, const boost::json::object& product);

// Stage C: Open Graph and product meta tags. The brand and image contents
// are read with their character references decoded.
void resolve_meta_tags(MetadataParseState& s, const MetaTags& meta);

// Stage D: shop markup in the page (not for social pages); a SKU is read
// with its character references decoded.
void resolve_html_patterns(MetadataParseState& s, ShopMarkup& markup);

}  // namespace korvane::commerce::detail
