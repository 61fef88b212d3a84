// Relevance labels, market summary and display order.
#include <korvane/relevance.hpp>

#include <gtest/gtest.h>

using namespace korvane::models;
using namespace korvane::relevance;

namespace {
EnrichedCommerceMatch make(std::string title, PageType type, int score, std::optional<double> amount,
                           std::string currency = "USD") {
  EnrichedCommerceMatch m;
  m.title = std::move(title);
  m.page_type = type;
  m.match_score = score;
  if (amount) m.price = NormalizedPrice("x", *amount, std::move(currency));
  return m;
}
}  // namespace

TEST(Relevance, LabelsFromPageTypeScoreAndPrice) {
  EXPECT_EQ(classify_match_relevance(make("a", PageType::PRODUCT, 98, 10.0)), RelevanceLabel::EXACT_MATCH);
  EXPECT_EQ(classify_match_relevance(make("a", PageType::MARKETPLACE, 92, 10.0)), RelevanceLabel::HIGH);
  EXPECT_EQ(classify_match_relevance(make("a", PageType::PRODUCT, 92, std::nullopt)), RelevanceLabel::HIGH);
  EXPECT_EQ(classify_match_relevance(make("a", PageType::PRODUCT, 50, std::nullopt)), RelevanceLabel::MEDIUM);
  EXPECT_EQ(classify_match_relevance(make("a", PageType::UNCATEGORIZED, 86, std::nullopt)),
            RelevanceLabel::MEDIUM);
  EXPECT_EQ(classify_match_relevance(make("a", PageType::ARTICLE, 98, 10.0)), RelevanceLabel::LOW);
  EXPECT_EQ(classify_match_relevance(make("a", PageType::SOCIAL, 98, std::nullopt)), RelevanceLabel::LOW);

  const RelevanceContext ctx{"Nike Air Max"};
  EXPECT_EQ(classify_match_relevance(make("AIR jordan", PageType::PRODUCT, 98, 1.0), &ctx),
            RelevanceLabel::EXACT_MATCH);
  EXPECT_EQ(classify_match_relevance(make("Adidas Samba", PageType::PRODUCT, 98, 1.0), &ctx),
            RelevanceLabel::HIGH);
}

TEST(Relevance, SummaryUsesTheDominantCurrency) {
  std::vector<EnrichedCommerceMatch> items{
      make("a", PageType::PRODUCT, 98, 10.0, "EUR"), make("b", PageType::PRODUCT, 95, 30.0, "EUR"),
      make("c", PageType::MARKETPLACE, 92, 500.0, "USD"), make("d", PageType::ARTICLE, 89, std::nullopt),
      make("e", PageType::PRODUCT, 86, 25.0, "EUR"), make("f", PageType::PRODUCT, 83, 0.01, "EUR")};
  items[0].stock_status = StockStatus::IN_STOCK;
  items[1].stock_status = StockStatus::OUT_OF_STOCK;
  items[2].merchant_category = MerchantCategory::MAJOR_MARKETPLACE;
  items[4].merchant_category = MerchantCategory::MAJOR_MARKETPLACE;
  const auto s = recompute_market_summary(items, CommerceSummary{.total_matches = 7, .currency = "USD"});
  EXPECT_EQ(s.total_matches, 7);
  EXPECT_EQ(s.total_priced_matches, 5);
  EXPECT_EQ(s.currency, "EUR");
  EXPECT_EQ(s.min_price, 0.01);
  EXPECT_EQ(s.max_price, 30.0);
  EXPECT_EQ(s.median_price, 17.5);
  EXPECT_EQ(s.average_price, 16.25);
  EXPECT_EQ(s.in_stock_count, 1);
  EXPECT_EQ(s.merchant_categories.at(MerchantCategory::MAJOR_MARKETPLACE), 2);
  EXPECT_EQ(s.page_types.at(PageType::PRODUCT), 4);
  EXPECT_EQ(s.page_types.at(PageType::ARTICLE), 1);

  const auto empty = recompute_market_summary({}, CommerceSummary{.total_matches = 0, .currency = "GBP"});
  EXPECT_EQ(empty.currency, "GBP");
  EXPECT_FALSE(empty.min_price);
}

TEST(Relevance, SortIsStableByLabelThenPriceThenScore) {
  std::vector<EnrichedCommerceMatch> items{
      make("low", PageType::ARTICLE, 99, std::nullopt), make("none", PageType::PRODUCT, 99, 1.0),
      make("high-unpriced", PageType::PRODUCT, 97, std::nullopt), make("high-a", PageType::PRODUCT, 90, 1.0),
      make("high-b", PageType::PRODUCT, 92, 1.0), make("high-c", PageType::PRODUCT, 92, 2.0)};
  items[0].relevance = RelevanceLabel::LOW;
  for (std::size_t i = 2; i < items.size(); ++i) items[i].relevance = RelevanceLabel::HIGH;
  const auto sorted = sort_commerce_items(items);
  std::vector<std::string> titles;
  for (const auto& m : sorted) titles.push_back(m.title);
  // "none" has no label: it ranks as the exact match it would be labelled.
  EXPECT_EQ(titles, (std::vector<std::string>{"none", "high-b", "high-c", "high-a", "high-unpriced", "low"}));
  EXPECT_FALSE(sorted.front().relevance);
  EXPECT_EQ(items[0].title, "low");  // input unchanged
}
