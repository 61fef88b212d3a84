// Merchant classifier: listed marketplaces and resellers, the merchant label
// of a host, and brand evidence from the brand, merchant name and title.
#include <korvane/commerce/classifier.hpp>

#include "commerce/merchant_label.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

using korvane::commerce::MerchantClassifier;
using korvane::models::MerchantCategory;
namespace detail = korvane::commerce::detail;

namespace {

constexpr auto MARKETPLACE = MerchantCategory::MAJOR_MARKETPLACE;
constexpr auto RESELLER = MerchantCategory::RESELLER_SPECIALIST;
constexpr auto BRAND = MerchantCategory::OFFICIAL_BRAND;
constexpr auto UNVERIFIED = MerchantCategory::UNVERIFIED;

struct ClassifyCase {
  const char* domain;
  const char* title;
  std::optional<const char*> brand;
  std::optional<const char*> merchant_name;
  MerchantCategory expected;
};

void check(const ClassifyCase& c) {
  const auto brand = c.brand ? std::optional<std::string_view>(*c.brand) : std::nullopt;
  const auto merchant = c.merchant_name ? std::optional<std::string_view>(*c.merchant_name) : std::nullopt;
  EXPECT_EQ(MerchantClassifier::classify(c.domain, c.title, brand, merchant), c.expected)
      << "domain \"" << c.domain << "\", title \"" << c.title << "\", brand "
      << (c.brand ? *c.brand : "(none)") << ", merchant " << (c.merchant_name ? *c.merchant_name : "(none)")
      << ": got " << korvane::models::to_string(MerchantClassifier::classify(c.domain, c.title, brand, merchant));
}

}  // namespace

TEST(MerchantTables, HoldEveryListedSiteOnce) {
  using korvane::commerce::MARKETPLACE_DOMAINS;
  using korvane::commerce::MULTI_TENANT_SUBDOMAINS;
  using korvane::commerce::RESELLER_DOMAINS;
  EXPECT_EQ(MARKETPLACE_DOMAINS.size(), 19u);
  EXPECT_EQ(RESELLER_DOMAINS.size(), 10u);
  EXPECT_EQ(MULTI_TENANT_SUBDOMAINS.size(), 17u);
  const auto lower_and_unique = [](const auto& set) {
    for (auto i = set.begin(); i != set.end(); ++i) {
      for (const char c : *i) EXPECT_FALSE(c >= 'A' && c <= 'Z') << *i;
      for (auto j = i + 1; j != set.end(); ++j) EXPECT_NE(*i, *j);
    }
  };
  lower_and_unique(MARKETPLACE_DOMAINS);
  lower_and_unique(RESELLER_DOMAINS);
  lower_and_unique(MULTI_TENANT_SUBDOMAINS);
  for (const auto d : MARKETPLACE_DOMAINS) EXPECT_EQ(MerchantClassifier::classify(d), MARKETPLACE) << d;
  for (const auto d : RESELLER_DOMAINS) EXPECT_EQ(MerchantClassifier::classify(d), RESELLER) << d;
}

TEST(MerchantClassifier, ListedDomainsAndTheirSubdomains) {
  const ClassifyCase cases[] = {
      {"amazon.com", "", {}, {}, MARKETPLACE},
      {"www.amazon.co.uk", "", {}, {}, MARKETPLACE},
      {"smile.amazon.com", "", {}, {}, MARKETPLACE},
      {"a.b.c.ebay.de", "", {}, {}, MARKETPLACE},
      {"pt.mercadolivre.com.br", "", {}, {}, MARKETPLACE},
      {"stockx.com", "", {}, {}, RESELLER},
      {"www.vinted.com", "", {}, {}, RESELLER},
      // The dot is part of the suffix test.
      {"notamazon.com", "", {}, {}, UNVERIFIED},
      {"fakestockx.com", "", {}, {}, UNVERIFIED},
      {"amazon.com.evil.example", "", {}, {}, UNVERIFIED},
      {"amazon.co", "", {}, {}, UNVERIFIED},
      // Case and surrounding white space do not matter.
      {"  Amazon.COM  ", "", {}, {}, MARKETPLACE},
      {"ETSY.COM", "", {}, {}, MARKETPLACE},
      {"\u00A0GOAT.com\t", "", {}, {}, RESELLER},
      // Listed membership beats brand evidence.
      {"amazon.de", "Amazon Basics", "Amazon", "Amazon", MARKETPLACE},
      {"goat.com", "Goat", "GOAT", {}, RESELLER},
      // Nothing to go on.
      {"", "Nike", "Nike", "Nike", UNVERIFIED},
      {"   ", "Nike", "Nike", {}, UNVERIFIED},
  };
  for (const auto& c : cases) check(c);
}

TEST(MerchantClassifier, BrandEvidence) {
  const ClassifyCase cases[] = {
      {"nike.com", "Air Max 90", "Nike", {}, BRAND},
      {"shop.nike.com", "", {}, "Nike, Inc.", BRAND},
      {"us.store.acme.com", "ACME", {}, {}, BRAND},
      {"acme.co.uk", "Acme Ltd", {}, {}, BRAND},
      {"lululemon.co.uk", "", "Lululemon Athletica", {}, BRAND},
      // Brand and label contain one another once reduced to a-z and 0-9.
      {"patagoniastore.com", "", "Patagonia", {}, BRAND},
      {"drmartensstore.com", "", "Dr Martens.", {}, BRAND},
      {"jcrew.com", "", "J. Crew Inc.", {}, BRAND},
      // "inc" is a significant word that the label lacks.
      {"patagoniastore.com", "", "Patagonia Inc.", {}, UNVERIFIED},
      {"the-north-face.com", "", "The North Face", {}, BRAND},
      {"thenorthface.com", "", "North Face", {}, BRAND},
      // Every significant title word occurs in the label; words of one or
      // two letters and "the", "and", "official" do not count.
      {"northfaceoutlet.com", "The North Face Outlet", {}, {}, BRAND},
      {"northfaceoutlet.com", "North Face XL", {}, {}, BRAND},
      {"northfaceoutlet.com", "Official North and Face", {}, {}, BRAND},
      {"northfaceoutlet.com", "North Face Jacket", {}, {}, UNVERIFIED},
      {"apple.com", "The Official Store", {}, {}, UNVERIFIED},
      {"apple.com", "Apple iPhone 15", {}, {}, BRAND},
      // Labels shorter than three characters after cleaning never match.
      {"hm.com", "H&M cotton shirt", "H&M", "H&M", UNVERIFIED},
      {"lg.com", "LG OLED TV", "LG", {}, UNVERIFIED},
      {"a-1.com", "A1", "A-1", {}, UNVERIFIED},
      // "shop" is a listed leading label: the merchant label is "com".
      {"shop.com", "Shop", "Shop", {}, UNVERIFIED},
      // Non-Latin text never matches.
      {"casio.jp", "腕時計", "カシオ", "カシオ", UNVERIFIED},
      // Full Unicode lower-casing: KELVIN SIGN and dotted capital I.
      {"michaelkors.com", "", "Michael \u212Aors", {}, BRAND},
      {"nike.com", "N\u0130KE", {}, {}, BRAND},
      // A host label with non-ASCII letters is reduced too.
      {"café-ü.fr", "Café", {}, {}, BRAND},
      // Invalid UTF-8 is read with U+FFFD.
      {"nike\xFF.com", "", "Nike\xC3", {}, BRAND},
  };
  for (const auto& c : cases) check(c);
}

TEST(MerchantClassifier, BrandThenMerchantNameThenTitle) {
  const ClassifyCase cases[] = {
      {"gymshark.com", "", "Nike", "Gymshark", BRAND},
      {"gymshark.com", "Gymshark Vital Seamless", "Nike", "Bob", BRAND},
      {"gymshark.com", "Vital Seamless", "Nike", "Bob", UNVERIFIED},
      {"gymshark.com", "Vital Seamless", "Gymshark", "Bob", BRAND},
      // Empty brand and merchant name are skipped.
      {"gymshark.com", "Gymshark Leggings", "", "", BRAND},
      {"gymshark.com", "", "", "", UNVERIFIED},
  };
  for (const auto& c : cases) check(c);
}

TEST(ExtractSld, DropsLeadingListedLabelsAndPublicSuffixes) {
  const struct {
    const char* domain;
    const char* expected;
  } cases[] = {
      {"shop.nike.com", "nike"},
      {"nike.co.uk", "nike"},
      {"us.store.nike.com", "nike"},
      {"a.b.nike.com.br", "nike"},
      {"nike.org.uk", "nike"},
      {" WWW.Nike.COM ", "nike"},
      {"nike", "nike"},
      {"m.nike", "nike"},
      {"nike.com.", "nike"},
      // A listed label and a top-level label: the top-level label remains.
      {"shop.com", "com"},
      {"co.uk", "co"},
      {"www.co.uk", "co"},
      // Listed labels only.
      {"www.shop.store", ""},
      {"store.de", ""},
      {"shop.it", ""},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(detail::extract_sld(c.domain), c.expected) << c.domain;
}

TEST(IsMatch, SubstringsThenSignificantWords) {
  const struct {
    const char* alpha_sld;
    const char* text;
    bool expected;
  } cases[] = {
      {"nike", "", false},
      {"nike", "!!!", false},
      {"nike", "NIKE", true},
      {"nikestore", "Nike", true},
      {"nike", "Nike Store", true},
      {"bose700", "Bose 700", true},
      {"abc", "ab cd", true},
      {"abc", "Æbc", true},
      {"northface", "The North Face", true},
      {"northface", "the and official north", true},
      {"northface", "North Face Jacket", true},
      {"northfaceoutlet", "North Face Jacket", false},
      {"northfaceoutlet", "North Face XL", true},
      {"xyz", "the and official", false},
      {"xyz", "a b c", false},
      {"nike", "ナイキ", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(detail::is_match(c.alpha_sld, c.text), c.expected) << c.alpha_sld << " / " << c.text;
  }
}
