// Records: validation, shopping-offer conversion, JSON form.
#include <korvane/commerce/normalizer.hpp>
#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <limits>

using namespace korvane::models;

TEST(NormalizedPrice, RefusesAmountsThatAreNotFiniteOrNegative) {
  EXPECT_THROW(NormalizedPrice("x", std::numeric_limits<double>::infinity(), "USD"), korvane::ValueError);
  EXPECT_THROW(NormalizedPrice("x", std::numeric_limits<double>::quiet_NaN(), "USD"), korvane::ValueError);
  EXPECT_THROW(NormalizedPrice("x", -0.01, "USD"), korvane::ValueError);
  const NormalizedPrice blank_currency("12", 12.0, "");
  EXPECT_EQ(blank_currency.currency, "");
}

TEST(Enums, TextValuesRoundTrip) {
  EXPECT_EQ(to_string(MerchantCategory::MAJOR_MARKETPLACE), "major_marketplace");
  EXPECT_EQ(to_string(StockStatus::IN_STOCK), "in_stock");
  EXPECT_EQ(to_string(PageType::UNCATEGORIZED), "uncategorized");
  EXPECT_EQ(enum_from_string<ItemCondition>("refurbished"), ItemCondition::REFURBISHED);
  EXPECT_EQ(enum_from_string<RelevanceLabel>("exact_match"), RelevanceLabel::EXACT_MATCH);
  EXPECT_FALSE(enum_from_string<PageType>("PRODUCT"));
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
