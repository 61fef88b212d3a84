// Merchant classifier: what kind of merchant sits behind a domain.
#pragma once

#include <korvane/commerce/tables.hpp>
#include <korvane/models.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce {

// Registrable domains of major marketplaces.
inline constexpr StringSet MARKETPLACE_DOMAINS{std::array<std::string_view, 19>{
    "amazon.com", "amazon.co.uk", "amazon.de", "amazon.fr", "amazon.ca", "amazon.co.jp",
    "ebay.com", "ebay.co.uk", "ebay.de", "walmart.com", "target.com", "aliexpress.com",
    "alibaba.com", "temu.com", "etsy.com", "bestbuy.com", "rakuten.com",
    "mercadolivre.com.br", "mercadolibre.com"}};

// Registrable domains of resale and second-hand specialists.
inline constexpr StringSet RESELLER_DOMAINS{std::array<std::string_view, 10>{
    "stockx.com", "goat.com", "grailed.com", "poshmark.com", "mercari.com",
    "therealreal.com", "rebag.com", "chrono24.com", "depop.com", "vinted.com"}};

// Leading host labels that say nothing about the merchant.
inline constexpr StringSet MULTI_TENANT_SUBDOMAINS{std::array<std::string_view, 17>{
    "www", "store", "shop", "app", "m", "us", "uk", "ca", "eu", "de", "fr", "es", "it",
    "jp", "cn", "in", "au"}};

class MerchantClassifier {
 public:
  MerchantClassifier() = delete;

  // The category of the merchant at `domain` (normally extract_domain's
  // result): MAJOR_MARKETPLACE or RESELLER_SPECIALIST when the domain is a
  // listed one or a subdomain of one; OFFICIAL_BRAND when the merchant label
  // names the brand, the merchant name or the title (tried in that order);
  // UNVERIFIED otherwise (also for an empty domain or a merchant label of
  // fewer than three letters and digits). The domain is compared lower-cased
  // (full Unicode) and stripped; invalid UTF-8 is read as U+FFFD.
  //   classify("shop.nike.com", "Air Max 90", "Nike") == OFFICIAL_BRAND
  //   classify("www.amazon.co.uk") == MAJOR_MARKETPLACE
  [[nodiscard]] static models::MerchantCategory classify(
      std::string_view domain, std::string_view title = {},
      std::optional<std::string_view> brand = std::nullopt,
      std::optional<std::string_view> merchant_name = std::nullopt);
};

}  // namespace korvane::commerce
