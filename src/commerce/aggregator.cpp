#include <korvane/commerce/aggregator.hpp>

#include "commerce/product_identity.hpp"
#include "commerce/units.hpp"

#include <korvane/commerce/classifier.hpp>
#include <korvane/commerce/unwrapper.hpp>

#include <korvane/relevance.hpp>

#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <string>
#include <unordered_map>
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

// An item made from an offer, with the merchant category of the domain its
// link leads to, classified as a visual match's is.
EnrichedCommerceMatch classified_offer(const models::ShoppingOffer& offer) {
  EnrichedCommerceMatch item = EnrichedCommerceMatch::from_shopping_offer(offer);
  try {
    const std::string domain = URLUnwrapper::extract_domain(URLUnwrapper::unwrap(item.direct_url));
    if (!domain.empty()) {
      item.merchant_category = MerchantClassifier::classify(domain, item.title, item.brand, item.merchant_name);
    }
  } catch (const InvalidUrlError&) {
    // A link that cannot be split names no domain: no category, as for a match.
  }
  return item;
}

template <class T>
void fill_when_missing(std::optional<T>& field, const std::optional<T>& from) {
  if (!field && from) field = from;
}
void fill_when_missing(std::optional<std::string>& field, const std::optional<std::string>& from) {
  if ((!field || field->empty()) && from && !from->empty()) field = from;
}

// `kept` completed with what its duplicate `other` knows and it does not.
// The relevance label is left to be given afresh to the completed item.
void merge_into(EnrichedCommerceMatch& kept, const EnrichedCommerceMatch& other) {
  fill_when_missing(kept.price, other.price);
  fill_when_missing(kept.merchant_name, other.merchant_name);
  fill_when_missing(kept.merchant_category, other.merchant_category);
  fill_when_missing(kept.thumbnail, other.thumbnail);
  fill_when_missing(kept.brand, other.brand);
  fill_when_missing(kept.sku, other.sku);
  fill_when_missing(kept.condition, other.condition);
  fill_when_missing(kept.stock_status, other.stock_status);
  fill_when_missing(kept.primary_image_url, other.primary_image_url);
  fill_when_missing(kept.shipping_info, other.shipping_info);
}

// The keys under which an item is a duplicate in the fusion by product, each
// with its kind: the standard link and merchant-title keys, the listing, and
// GTIN or brand and SKU on the item's own domain. Not on a marketplace,
// where one product has many listings of different sellers: there the
// listing alone says which offer an item is.
std::vector<std::string> fusion_keys(const EnrichedCommerceMatch& item) {
  std::vector<std::string> keys;
  if (std::string link = link_key(item); !link.empty()) keys.push_back("u " + link);
  keys.push_back("t " + merchant_title_key(item));
  const detail::ProductKeys product = detail::product_keys(item);
  if (!product.listing.empty()) keys.push_back("l " + product.listing);
  const bool one_seller = !product.domain.empty() && !product.numbered &&
                          MerchantClassifier::classify(product.domain) != models::MerchantCategory::MAJOR_MARKETPLACE;
  if (one_seller) {
    if (product.gtin) keys.push_back("g " + product.domain + " " + *product.gtin);
    if (product.brand_sku) keys.push_back("b " + product.domain + " " + *product.brand_sku);
  }
  return keys;
}

std::vector<EnrichedCommerceMatch> fuse_by_product(std::span<const EnrichedCommerceMatch> lens_items,
                                                   std::span<const models::ShoppingOffer> shopping_offers) {
  std::unordered_map<std::string, std::size_t> position_of;  // key -> item of `fused`
  std::vector<EnrichedCommerceMatch> fused;
  fused.reserve(lens_items.size() + shopping_offers.size());

  auto consider = [&](EnrichedCommerceMatch item) {
    std::vector<std::string> keys = fusion_keys(item);
    std::size_t at = fused.size();
    for (const auto& key : keys) {
      if (const auto it = position_of.find(key); it != position_of.end()) {
        at = it->second;
        break;
      }
    }
    if (at == fused.size()) {
      fused.push_back(std::move(item));
    } else {
      merge_into(fused[at], item);
    }
    for (auto& key : keys) position_of.try_emplace(std::move(key), at);
  };
  for (const auto& offer : shopping_offers) consider(classified_offer(offer));
  for (const auto& item : lens_items) consider(item);
  return fused;
}

}  // namespace

std::vector<EnrichedCommerceMatch> CommerceAggregator::fuse_matches_and_offers(
    std::span<const EnrichedCommerceMatch> lens_items, std::span<const models::ShoppingOffer> shopping_offers,
    ExtractionMode mode) {
  if (mode == ExtractionMode::standard) return fuse_matches_and_offers(lens_items, shopping_offers);
  detail::start_unit(detail::Unit::aggregator);
  return relevance::sort_commerce_items(fuse_by_product(lens_items, shopping_offers));
}

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
