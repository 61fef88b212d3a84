#include <korvane/commerce/aggregator.hpp>

#include "commerce/units.hpp"

#include <korvane/relevance.hpp>

#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <string>
#include <unordered_set>

namespace korvane::commerce {
using models::EnrichedCommerceMatch;

namespace {

// The title prefix that identifies an item at one merchant.
constexpr std::size_t title_key_length = 30;

std::string link_key(const EnrichedCommerceMatch& item) {
  return text::to_lower(text::strip(item.direct_url));
}

std::string merchant_title_key(const EnrichedCommerceMatch& item) {
  const std::string_view title = item.title;
  std::string key = item.merchant_name.value_or("");
  key.push_back(':');
  key.append(title.substr(0, text::code_point_prefix_bytes(title, title_key_length)));
  return std::string(text::strip(text::to_lower(key)));
}

}  // namespace

std::vector<EnrichedCommerceMatch> CommerceAggregator::fuse_matches_and_offers(
    std::span<const EnrichedCommerceMatch> lens_items, std::span<const models::ShoppingOffer> shopping_offers) {
  detail::start_unit(detail::Unit::aggregator);
  std::unordered_set<std::string> seen_links;
  std::unordered_set<std::string> seen_merchant_titles;
  std::vector<EnrichedCommerceMatch> fused;
  fused.reserve(lens_items.size() + shopping_offers.size());

  auto consider = [&](EnrichedCommerceMatch item) {
    std::string link = link_key(item);
    std::string merchant_title = merchant_title_key(item);
    if (!link.empty() && seen_links.contains(link)) return;
    if (seen_merchant_titles.contains(merchant_title)) return;
    if (!link.empty()) seen_links.insert(std::move(link));
    seen_merchant_titles.insert(std::move(merchant_title));
    fused.push_back(std::move(item));
  };
  for (const auto& offer : shopping_offers) consider(EnrichedCommerceMatch::from_shopping_offer(offer));
  for (const auto& item : lens_items) consider(item);
  return relevance::sort_commerce_items(std::move(fused));
}

}  // namespace korvane::commerce
