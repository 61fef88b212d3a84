// Records: validation, shopping-offer conversion, JSON form; the text values
// of every enumeration.
#include <korvane/commerce/normalizer.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/core/fetch.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

using namespace korvane::models;

TEST(NormalizedPrice, RefusesAmountsThatAreNotFiniteOrNegative) {
  EXPECT_THROW(NormalizedPrice("x", std::numeric_limits<double>::infinity(), "USD"), korvane::ValueError);
  EXPECT_THROW(NormalizedPrice("x", std::numeric_limits<double>::quiet_NaN(), "USD"), korvane::ValueError);
  EXPECT_THROW(NormalizedPrice("x", -0.01, "USD"), korvane::ValueError);
  const NormalizedPrice blank_currency("12", 12.0, "");
  EXPECT_EQ(blank_currency.currency, "");
}

namespace {

// to_string() of the values 0 to count - 1 of `Enum` (its members are
// numbered from 0 in declaration order).
template <class Enum>
std::vector<std::string_view> text_values(std::size_t count) {
  std::vector<std::string_view> texts;
  for (std::size_t i = 0; i < count; ++i) texts.push_back(to_string(static_cast<Enum>(i)));
  return texts;
}

// `texts` are the text values of all of `Enum`'s members in declaration
// order (the value after the last member has none), and each reads back
// (through `parse`) as its member; other texts read as none.
template <class Enum, class Parse>
void expect_round_trip(std::string_view name, const std::vector<std::string_view>& texts, Parse parse) {
  SCOPED_TRACE(name);
  auto expected = texts;
  expected.emplace_back();  // no text past the last member
  EXPECT_EQ(text_values<Enum>(expected.size()), expected);
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(parse(texts[i]), std::optional<Enum>(static_cast<Enum>(i))) << texts[i];
    EXPECT_FALSE(parse(std::string(texts[i]) + " ")) << texts[i];
  }
  EXPECT_FALSE(parse(""));
}

template <class Enum>
void expect_members_listed(std::string_view name) {
  SCOPED_TRACE(name);
  std::size_t with_text = 0;
  while (!to_string(static_cast<Enum>(with_text)).empty()) ++with_text;
  const auto members = enum_members<Enum>();
  ASSERT_EQ(members.size(), with_text);
  for (std::size_t i = 0; i < members.size(); ++i) {
    EXPECT_EQ(members[i].value, static_cast<Enum>(i));
    EXPECT_EQ(members[i].text, to_string(members[i].value));
    std::string upper(members[i].text);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(members[i].name, upper);  // MAJOR_MARKETPLACE for major_marketplace
  }
}

}  // namespace

// Every member of every enumeration has one text value (the one its JSON and
// logs carry) and reads back from it; unknown and differently written texts
// read as none.
TEST(Enums, EveryMemberRoundTripsThroughItsTextValue) {
  namespace commerce = korvane::commerce;
  namespace core = korvane::core;
  expect_round_trip<PageType>(
      "PageType", {"product", "marketplace", "article", "portfolio", "social", "uncategorized"},
      enum_from_string<PageType>);
  expect_round_trip<MerchantCategory>(
      "MerchantCategory", {"official_brand", "major_marketplace", "reseller_specialist", "unverified"},
      enum_from_string<MerchantCategory>);
  expect_round_trip<StockStatus>("StockStatus", {"in_stock", "out_of_stock", "preorder"},
                                 enum_from_string<StockStatus>);
  expect_round_trip<ItemCondition>("ItemCondition", {"new", "used", "refurbished"},
                                   enum_from_string<ItemCondition>);
  expect_round_trip<RelevanceLabel>("RelevanceLabel", {"exact_match", "high", "medium", "low"},
                                    enum_from_string<RelevanceLabel>);
  expect_round_trip<core::FetchFailure>(
      "FetchFailure",
      {"malformed_link", "unsupported_scheme", "refused_address", "dns_failure", "connection_failed",
       "tls_failure", "timeout", "too_many_redirects", "http_status", "not_html", "empty_response", "too_large",
       "bad_content_encoding", "not_in_page_folder", "unreadable_file", "transfer_failed", "robots_disallowed"},
      core::enum_from_string<core::FetchFailure>);
  expect_round_trip<commerce::FetchSource>("FetchSource", {"ld_json", "next_data", "opengraph", "serp_fallback"},
                                           commerce::enum_from_string<commerce::FetchSource>);
  expect_round_trip<commerce::RunPhase>("RunPhase", {"fetching", "parsing", "resolving"},
                                        commerce::enum_from_string<commerce::RunPhase>);
  expect_round_trip<commerce::StoreOutcome>(
      "StoreOutcome",
      {"resolved", "no_match", "no_links", "page_refused", "failed", "not_crawled", "browser_unavailable",
       "host_not_found"},
      commerce::enum_from_string<commerce::StoreOutcome>);
  EXPECT_FALSE(enum_from_string<PageType>("PRODUCT"));
  EXPECT_FALSE(commerce::enum_from_string<commerce::StoreOutcome>("Resolved"));
}

// The member list of every record enumeration (what the bindings and help
// texts list) holds each value once in declaration order, as many as have a
// text value, each with that text and its name as the code writes it.
TEST(Enums, MembersListEveryValueInDeclarationOrder) {
  expect_members_listed<PageType>("PageType");
  expect_members_listed<MerchantCategory>("MerchantCategory");
  expect_members_listed<StockStatus>("StockStatus");
  expect_members_listed<ItemCondition>("ItemCondition");
  expect_members_listed<RelevanceLabel>("RelevanceLabel");
}

TEST(FromShoppingOffer, MapsTheOfferFields) {
  ShoppingOffer offer;
  offer.title = "Air Max 90";
  offer.link = "https://shop.example/p/1";
  offer.source = "Shop Example";
  offer.price = "\xE2\x82\xAC" "129.999";
  offer.extracted_price = 129.999;
  offer.thumbnail = "https://img.example/1.jpg";
  offer.delivery = "Free delivery";
  offer.condition = "Pre-owned";
  offer.in_stock = false;
  offer.position = 3;
  const auto item = EnrichedCommerceMatch::from_shopping_offer(offer);
  EXPECT_EQ(item.direct_url, offer.link);
  EXPECT_EQ(item.original_url, offer.link);
  ASSERT_TRUE(item.price);
  EXPECT_EQ(item.price->amount, 130.0);
  EXPECT_EQ(item.price->currency, "EUR");
  EXPECT_EQ(item.price->raw, offer.price);
  EXPECT_EQ(item.merchant_name, "Shop Example");
  EXPECT_EQ(item.primary_image_url, offer.thumbnail);
  EXPECT_EQ(item.shipping_info, "Free delivery");
  EXPECT_EQ(item.condition, ItemCondition::USED);
  EXPECT_EQ(item.stock_status, StockStatus::OUT_OF_STOCK);
  EXPECT_EQ(item.match_score, 97);
  EXPECT_EQ(item.page_type, PageType::PRODUCT);
  EXPECT_EQ(item.source_engine, "shopping");
}

TEST(FromShoppingOffer, ConditionWordsAreThoseOfPageTitles) {
  const std::pair<const char*, std::optional<ItemCondition>> cases[] = {
      {"Renewed", ItemCondition::REFURBISHED}, {"Refurbished - Excellent", ItemCondition::REFURBISHED},
      {"Vintage", ItemCondition::USED},        {"Thrift find", ItemCondition::USED},
      {"Brand New", ItemCondition::NEW},       {"Open box", std::nullopt}};
  for (const auto& [text, expected] : cases) {
    ShoppingOffer offer;
    offer.condition = text;
    EXPECT_EQ(EnrichedCommerceMatch::from_shopping_offer(offer).condition, expected) << text;
  }
}

// The currency of an offer is read as the price normalizer reads a page's
// price and a search result's hint: every entry of its table gives the same
// code, written in any case, and so does a currency symbol in the price text.
TEST(FromShoppingOffer, CurrencyAgreesWithThePriceNormalizer) {
  using korvane::commerce::CURRENCY_MAP;
  using korvane::commerce::PriceNormalizer;
  const auto offer_currency = [](std::optional<std::string> currency, std::optional<std::string> price) {
    ShoppingOffer offer;
    offer.extracted_price = 10;
    offer.currency = std::move(currency);
    offer.price = std::move(price);
    const auto item = EnrichedCommerceMatch::from_shopping_offer(offer);
    return item.price ? item.price->currency : std::string("(no price)");
  };
  for (const auto& [token, code] : CURRENCY_MAP) {
    std::string lower(token);
    for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    for (const std::string& written : {std::string(token), lower}) {
      const auto page = PriceNormalizer::parse("10", written);
      ASSERT_TRUE(page) << written;
      EXPECT_EQ(page->currency, code) << written;
      EXPECT_EQ(offer_currency(written, std::nullopt), code) << written;
    }
  }
  for (const std::string symbol : {"$", "\xE2\x82\xAC", "\xC2\xA3", "\xC2\xA5", "\xE2\x82\xB9"}) {
    const std::string price = symbol + "10";
    const auto page = PriceNormalizer::parse(price);
    ASSERT_TRUE(page) << price;
    EXPECT_EQ(offer_currency(std::nullopt, price), page->currency) << price;
  }
  // Beyond the table the offers know the won.
  EXPECT_EQ(offer_currency("\xE2\x82\xA9", std::nullopt), "KRW");
  EXPECT_EQ(offer_currency(std::nullopt, "\xE2\x82\xA9" "30,000"), "KRW");
}

TEST(FromShoppingOffer, WithoutExtractedValueThereIsNoPrice) {
  ShoppingOffer offer;
  offer.title = "T";
  offer.link = "https://x.example/";
  offer.price = "$10";
  const auto item = EnrichedCommerceMatch::from_shopping_offer(offer);
  EXPECT_FALSE(item.price);
  EXPECT_EQ(item.match_score, 95);
  offer.extracted_price = 10;
  offer.currency = "usd";
  const auto priced = EnrichedCommerceMatch::from_shopping_offer(offer);
  ASSERT_TRUE(priced.price);
  EXPECT_EQ(priced.price->currency, "USD");
}

TEST(Json, DeclarationOrderEnumsAndAbsentFields) {
  EnrichedCommerceMatch item;
  item.title = "Blue Shoe";
  item.direct_url = "https://a.example/p";
  item.original_url = "https://a.example/p?utm_source=x";
  item.price = NormalizedPrice("12.00 USD", 12.0, "USD");
  item.match_score = 98;
  item.page_type = PageType::PRODUCT;
  item.brand = "";
  item.stock_status = StockStatus::IN_STOCK;
  EXPECT_EQ(model_dump_json(item, 0, true),
            R"({"title":"Blue Shoe","direct_url":"https://a.example/p",)"
            R"("original_url":"https://a.example/p?utm_source=x",)"
            R"("price":{"raw":"12.00 USD","amount":12.0,"currency":"USD"},"match_score":98,)"
            R"("page_type":"product","brand":"","stock_status":"in_stock","source_engine":"lens"})");
  const auto with_nulls = to_json(item, {.exclude_none = false});
  EXPECT_TRUE(with_nulls.at("sku").is_null());
  EXPECT_EQ(with_nulls.as_object().size(), 17u);

  CommerceIntelligence ci;
  ci.items.push_back(item);
  const std::string text = model_dump_json(ci);
  EXPECT_EQ(text.substr(0, 30), "{\n  \"summary\": {\n    \"total_ma");
  EXPECT_NE(text.back(), '\n');
  // The JSON form reads back into the same records.
  EXPECT_EQ(from_json<CommerceIntelligence>(boost::json::parse(text)), ci);
}

TEST(Json, SearchEngineRecordsReadBackTheirOwnForm) {
  const VisualMatch match{.link = "https://a.example/p", .title = "Blue Shoe", .price = "$12", .in_stock = false};
  EXPECT_EQ(from_json<VisualMatch>(to_json(match)), match);
  EXPECT_EQ(from_json<VisualMatch>(to_json(match, {.exclude_none = true})), match);

  const ShoppingOffer offer{.title = "Blue Shoe", .link = "https://b.example/1", .extracted_price = 11.5,
                            .rating = 4.5, .reviews = 12, .position = 2};
  EXPECT_EQ(from_json<ShoppingOffer>(to_json(offer)), offer);
}

TEST(Json, ReadingRejectsWrongShapesWithTheMemberName) {
  try {
    (void)from_json<EnrichedCommerceMatch>(boost::json::parse(R"({"title": 3})"));
    FAIL();
  } catch (const korvane::ValueError& e) {
    EXPECT_STREQ(e.what(), "title must be a string");
  }
  EXPECT_THROW((void)from_json<EnrichedCommerceMatch>(boost::json::parse(R"({"page_type": "shop"})")),
               korvane::ValueError);
  EXPECT_THROW((void)from_json<NormalizedPrice>(boost::json::parse(R"({"amount": -1})")),
               korvane::ValueError);
}
