#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/metadata.hpp>

#include "commerce/metadata/hosts.hpp"
#include "commerce/metadata/state.hpp"
#include "text/unicode.hpp"

#include <array>

namespace korvane::commerce {
namespace detail {
namespace {

using models::PageType;

// The paths of product pages, for the URL test.
constexpr std::array<std::string_view, 4> kProductPathMarkers{"/product", "/products/", "/item/",
                                                              "/goods/"};
// Host endings of stores, for the URL test.
constexpr std::array<std::string_view, 3> kStoreHostEndings{".shop", ".store", ".boutique"};
// Medium's host, for the Open Graph test.
constexpr std::string_view kMediumHost = "medium.com";

bool contains(std::string_view s, std::string_view part) noexcept {
  return s.find(part) != std::string_view::npos;
}

template <std::size_t N>
bool any_occurs(const std::array<std::string_view, N>& parts, std::string_view s) noexcept {
  for (const auto part : parts) {
    if (contains(s, part)) return true;
  }
  return false;
}

}  // namespace

bool host_occurs_in(std::string_view domain, std::string_view host) noexcept {
  if (host.empty()) return false;
  for (std::size_t pos = domain.find(host); pos != std::string_view::npos;
       pos = domain.find(host, pos + 1)) {
    const bool starts_label = pos == 0 || domain[pos - 1] == '.';
    const std::size_t after = pos + host.size();
    const bool ends_label = after == domain.size() || domain[after] == '.' || domain[after] == ':';
    if (starts_label && ends_label) return true;
  }
  return false;
}

void classify_host(MetadataParseState& s) {
  s.page_type = PageType::UNCATEGORIZED;
  s.is_social = false;
  if (any_host_occurs_in(SOCIAL_DOMAINS, s.domain)) {
    s.page_type = PageType::SOCIAL;
    s.is_social = true;
  } else if (any_host_occurs_in(MARKETPLACE_DOMAINS, s.domain)) {
    s.page_type = PageType::MARKETPLACE;
  }
}

void promote_structured(MetadataParseState& s) {
  if (s.page_type != PageType::MARKETPLACE) s.page_type = PageType::PRODUCT;
}

void promote_pattern_price(MetadataParseState& s) {
  if (s.page_type == PageType::UNCATEGORIZED) s.page_type = PageType::PRODUCT;
}

void classify_open_graph(MetadataParseState& s, const MetaTags& meta) {
  std::string og_type;
  if (const auto it = meta.find("og:type"); it != meta.end()) og_type = text::to_lower(it->second);
  if (contains(og_type, "product") || contains(s.direct_url, "/product")) {
    s.page_type = PageType::PRODUCT;
  } else if (contains(og_type, "article") || contains(s.direct_url, "/blog/") ||
             contains(s.direct_url, "/news/") || host_occurs_in(s.domain, kMediumHost)) {
    s.page_type = PageType::ARTICLE;
  }
  s.fetch_source = FetchSource::opengraph;
}

void classify_url(MetadataParseState& s) {
  if (s.page_type != PageType::UNCATEGORIZED || s.is_social) return;
  const std::string path = text::to_lower(s.path);
  const std::string title = text::to_lower(s.title);
  // A product-looking path alone is not enough when only the search result
  // backs it; a SKU or any page data source is.
  const bool only_search_result = !s.sku.has_value() && s.fetch_source == FetchSource::serp_fallback;
  if (s.price_amount.has_value() || (any_occurs(kProductPathMarkers, path) && !only_search_result)) {
    s.page_type = PageType::PRODUCT;
  } else if (ARTICLE_PATH_PATTERNS.any_occurs_in(path) ||
             any_host_occurs_in(EDITORIAL_DOMAINS, s.domain)) {
    s.page_type = PageType::ARTICLE;
  } else if (PORTFOLIO_PATH_PATTERNS.any_occurs_in(path) || PORTFOLIO_KEYWORDS.any_occurs_in(title) ||
             any_host_occurs_in(PORTFOLIO_DOMAINS, s.domain)) {
    s.page_type = PageType::PORTFOLIO;
  } else if (CATALOG_PATH_PATTERNS.any_occurs_in(path) ||
             std::any_of(kStoreHostEndings.begin(), kStoreHostEndings.end(),
                         [&](std::string_view e) { return s.domain.ends_with(e); })) {
    s.page_type = PageType::PRODUCT;
  }
}

}  // namespace detail
}  // namespace korvane::commerce
