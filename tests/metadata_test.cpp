// Destination metadata parser: page classification, field resolution from
// JSON-LD, Next.js data, meta tags and shop markup, and the parse driver.
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/metadata.hpp>

#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include "commerce/metadata/hosts.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <climits>
#include <ostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace json = boost::json;
using korvane::commerce::DestinationMetadataParser;
using korvane::commerce::MetadataResult;
using namespace korvane::models;

// A page long enough to be read.
std::string page(std::string_view head, std::string_view body = {}) {
  return "<!doctype html><html><head>" + std::string(head) + "</head><body>" + std::string(body) +
         "<!--" + std::string(200, '.') + "--></body></html>";
}

std::string ld(std::string_view json_text) {
  return R"(<script type="application/ld+json">)" + std::string(json_text) + "</script>";
}

std::string next_data(std::string_view product) {
  return R"(<script id="__NEXT_DATA__" type="application/json">{"props":{"pageProps":{"product":)" +
         std::string(product) + "}}}</script>";
}

std::string meta(std::string_view key, std::string_view content) {
  return R"(<meta property=")" + std::string(key) + R"(" content=")" + std::string(content) + R"(">)";
}

// The search result's side of one parse.
struct Serp {
  std::string title = "Blue Suede Shoe";
  std::string merchant;
  std::optional<NormalizedPrice> price;
  std::optional<bool> in_stock;
  int rank = 1;
};

MetadataResult parse(std::optional<std::string> html, std::string_view url, const Serp& serp = {}) {
  return DestinationMetadataParser::parse_metadata(
      html ? std::optional<std::string_view>(*html) : std::nullopt, url, serp.title, serp.merchant,
      serp.price, serp.in_stock, serp.rank);
}

NormalizedPrice price(double amount, std::string currency) {
  return NormalizedPrice("p", amount, std::move(currency));
}

std::optional<double> amount_of(const MetadataResult& r) {
  return r.price ? std::optional<double>(r.price->amount) : std::nullopt;
}
std::optional<std::string> currency_of(const MetadataResult& r) {
  return r.price ? std::optional<std::string>(r.price->currency) : std::nullopt;
}

// ---------------------------------------------------------------- host tables

TEST(HostTables, WholeLabelsMatch) {
  using korvane::commerce::detail::host_occurs_in;
  struct Case {
    const char* domain;
    const char* host;
    bool match;
  };
  const Case cases[] = {
      {"x.com", "x.com", true},          {"m.x.com", "x.com", true},
      {"x.com:8080", "x.com", true},     {"facebook.com.br", "facebook.com", true},
      {"rolex.com", "x.com", false},     {"netflix.com", "x.com", false},
      {"fedex.com", "x.com", false},     {"x.community", "x.com", false},
      {"mytarget.com", "target.com", false}, {"target.com.au", "target.com", true},
      {"ax.com.x.com", "x.com", true},   {"user.github.io:8080", "github.io", true},
      {"", "x.com", false},              {"x.com", "", false},
  };
  for (const auto& c : cases) EXPECT_EQ(host_occurs_in(c.domain, c.host), c.match) << c.domain << " " << c.host;
}

// ---------------------------------------------------------------- page types

struct TypeCase {
  const char* name;
  std::optional<std::string> html;
  std::string url;
  Serp serp;
  PageType type;
  const char* source;
};

void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.name << " " << c.url; }

class PageTypes : public ::testing::TestWithParam<TypeCase> {};

TEST_P(PageTypes, Classify) {
  const auto& c = GetParam();
  const MetadataResult r = parse(c.html, c.url, c.serp);
  EXPECT_EQ(r.page_type, c.type) << korvane::models::to_string(r.page_type);
  EXPECT_EQ(korvane::commerce::to_string(r.fetch_source), c.source);
}

const Serp kPlain{};
const Serp kPriced{.price = price(20, "EUR")};
const std::string kProductLd = ld(R"({"@type":"Product","name":"Shoe","offers":{"price":"5"}})");

INSTANTIATE_TEST_SUITE_P(
    HostTest, PageTypes,
    ::testing::Values(
        TypeCase{"social", std::nullopt, "https://www.x.com/a/status/1", kPriced, PageType::SOCIAL, "serp_fallback"},
        TypeCase{"social_subdomain", std::nullopt, "https://m.facebook.com/p", kPriced, PageType::SOCIAL, "serp_fallback"},
        TypeCase{"social_country", std::nullopt, "https://facebook.com.br/p", kPlain, PageType::SOCIAL, "serp_fallback"},
        TypeCase{"social_port", std::nullopt, "https://x.com:8080/p", kPlain, PageType::SOCIAL, "serp_fallback"},
        TypeCase{"x_inside_other_host", std::nullopt, "https://www.rolex.com/watch", kPriced, PageType::PRODUCT, "serp_fallback"},
        TypeCase{"x_inside_news_host", std::nullopt, "https://www.fox.com/shows", kPlain, PageType::UNCATEGORIZED, "serp_fallback"},
        TypeCase{"social_wins_over_marketplace", std::nullopt, "https://amazon.com.facebook.com/", kPlain, PageType::SOCIAL, "serp_fallback"},
        TypeCase{"marketplace", std::nullopt, "https://smile.amazon.com/dp/1", kPlain, PageType::MARKETPLACE, "serp_fallback"},
        TypeCase{"marketplace_country", std::nullopt, "https://www.amazon.com.mx/dp/1", kPlain, PageType::MARKETPLACE, "serp_fallback"},
        TypeCase{"not_a_marketplace", std::nullopt, "https://mytarget.com/p", kPlain, PageType::UNCATEGORIZED, "serp_fallback"},
        TypeCase{"social_page_is_not_read", page(kProductLd + meta("og:type", "product")), "https://instagram.com/p/1", kPlain, PageType::SOCIAL, "serp_fallback"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Promotions, PageTypes,
    ::testing::Values(
        TypeCase{"marketplace_stays", page(kProductLd), "https://www.ebay.com/itm/1", kPlain, PageType::MARKETPLACE, "ld_json"},
        TypeCase{"uncategorized_becomes_product", page(kProductLd), "https://shop.example/x", kPlain, PageType::PRODUCT, "ld_json"},
        TypeCase{"next_data_product", page(next_data(R"({"name":"N"})")), "https://shop.example/x", kPlain, PageType::PRODUCT, "next_data"},
        TypeCase{"empty_next_product_is_ignored", page(next_data("{}")), "https://shop.example/x", kPlain, PageType::UNCATEGORIZED, "opengraph"},
        TypeCase{"woocommerce_price", page("", R"(<span class="woocommerce-Price-amount">9.99</span>)"), "https://shop.example/x", kPlain, PageType::PRODUCT, "opengraph"},
        TypeCase{"microdata_price", page("", R"(<meta itemprop="price" content="9.99">)"), "https://shop.example/x", kPlain, PageType::PRODUCT, "opengraph"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    OpenGraph, PageTypes,
    ::testing::Values(
        TypeCase{"og_product_on_marketplace", page(meta("og:type", "og:Product")), "https://www.etsy.com/listing/1", kPlain, PageType::PRODUCT, "opengraph"},
        TypeCase{"blog_link_on_marketplace", page(""), "https://www.etsy.com/blog/1", kPlain, PageType::ARTICLE, "opengraph"},
        TypeCase{"og_article", page(meta("og:type", "ARTICLE")), "https://shop.example/x", kPlain, PageType::ARTICLE, "opengraph"},
        TypeCase{"news_link", page(""), "https://paper.example/news/1", kPlain, PageType::ARTICLE, "opengraph"},
        TypeCase{"medium", page(""), "https://medium.com/@a/story-1", kPlain, PageType::ARTICLE, "opengraph"},
        TypeCase{"medium_inside_other_host", page(""), "https://notmedium.com/x", kPlain, PageType::UNCATEGORIZED, "opengraph"},
        TypeCase{"website_keeps_type", page(meta("og:type", "website")), "https://shop.example/x", kPlain, PageType::UNCATEGORIZED, "opengraph"},
        TypeCase{"website_keeps_marketplace", page(meta("og:type", "website")), "https://walmart.com/x", kPlain, PageType::MARKETPLACE, "opengraph"},
        TypeCase{"product_in_query", page(""), "https://shop.example/x?next=/product/1", kPlain, PageType::PRODUCT, "opengraph"},
        TypeCase{"product_marker_is_case_sensitive", page(meta("og:type", "article")), "https://shop.example/Product/1", kPlain, PageType::ARTICLE, "opengraph"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    UrlTest, PageTypes,
    ::testing::Values(
        TypeCase{"price_known", std::nullopt, "https://shop.example/", kPriced, PageType::PRODUCT, "serp_fallback"},
        TypeCase{"product_path_alone", std::nullopt, "https://shop.example/products/blue-shoe", kPlain, PageType::UNCATEGORIZED, "serp_fallback"},
        TypeCase{"product_path_with_page", page(meta("og:type", "website")), "https://shop.example/products/blue-shoe", kPlain, PageType::PRODUCT, "opengraph"},
        TypeCase{"product_path_with_sku", page(R"(<a data-product_sku="S1">)"), "https://shop.example/Item/x", kPlain, PageType::PRODUCT, "opengraph"},
        TypeCase{"product_in_query_only", std::nullopt, "https://shop.example/x?p=/product/1", kPlain, PageType::UNCATEGORIZED, "serp_fallback"},
        TypeCase{"shop_path", std::nullopt, "https://shop.example/shop/product/x", kPlain, PageType::PRODUCT, "serp_fallback"},
        TypeCase{"postcards", std::nullopt, "https://shop.example/postcards/set-of-4", kPlain, PageType::ARTICLE, "serp_fallback"},
        TypeCase{"editorial_host", std::nullopt, "https://someone.substack.com/p/x", kPlain, PageType::ARTICLE, "serp_fallback"},
        TypeCase{"editorial_inside_other_host", std::nullopt, "https://mysubstack.com/p/x", kPlain, PageType::UNCATEGORIZED, "serp_fallback"},
        TypeCase{"wallpaper_title_before_store_host", std::nullopt, "https://prints.store/", {.title = "Desert WALLPAPER"}, PageType::PORTFOLIO, "serp_fallback"},
        TypeCase{"portfolio_path", std::nullopt, "https://me.example/Portfolio/x", kPlain, PageType::PORTFOLIO, "serp_fallback"},
        TypeCase{"portfolio_host", std::nullopt, "https://user.github.io:8080/", kPlain, PageType::PORTFOLIO, "serp_fallback"},
        TypeCase{"store_host", std::nullopt, "https://prints.store/", kPlain, PageType::PRODUCT, "serp_fallback"},
        TypeCase{"catalog_path", std::nullopt, "https://shop.example/Collections/summer;v=1", kPlain, PageType::PRODUCT, "serp_fallback"},
        TypeCase{"nothing", std::nullopt, "https://shop.example/about", kPlain, PageType::UNCATEGORIZED, "serp_fallback"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PageTypes, ProductFieldsOnlyOnProductPages) {
  const Serp serp{.title = "Used Shoe", .price = price(10, "USD"), .in_stock = true};
  const std::string html = page(meta("og:type", "article"), R"(<meta itemprop="sku" content="S1">)");
  const MetadataResult social = parse(html, "https://www.instagram.com/p/1", serp);
  const MetadataResult article = parse(html, "https://shop.example/x", serp);
  EXPECT_EQ(social.page_type, PageType::SOCIAL);
  EXPECT_EQ(article.page_type, PageType::ARTICLE);
  for (const auto& r : {social, article}) {
    EXPECT_EQ(r.sku, std::nullopt);
    EXPECT_EQ(r.stock_status, std::nullopt);
    EXPECT_EQ(r.condition, std::nullopt);
    EXPECT_EQ(amount_of(r), 10.0);
  }
  // The same page as a product page keeps them.
  const MetadataResult product = parse(page("", R"(<meta itemprop="sku" content="S1">)"), "https://shop.example/x", serp);
  EXPECT_EQ(product.page_type, PageType::PRODUCT);
  EXPECT_EQ(product.sku, "S1");
  EXPECT_EQ(product.stock_status, StockStatus::IN_STOCK);
  EXPECT_EQ(product.condition, ItemCondition::USED);
}

// ---------------------------------------------------------------- JSON-LD stage

TEST(JsonLdStage, Offers) {
  struct Case {
    std::string product;
    std::optional<double> amount;
    std::optional<std::string> currency;
    std::optional<StockStatus> stock;
    std::optional<ItemCondition> condition;
  };
  // A known price without a stock term gives IN_STOCK on product pages (by
  // the inference from the title, which here says nothing against it).
  const auto in = StockStatus::IN_STOCK;
  const Case cases[] = {
      {R"({"offers":{"price":"19.99","priceCurrency":"EUR","availability":"https://schema.org/InStock"}})",
       19.99, "EUR", StockStatus::IN_STOCK, std::nullopt},
      {R"({"offers":[{"price":7,"availability":"OutOfStock"},{"price":9,"availability":"InStock"}]})",
       7.0, "USD", StockStatus::OUT_OF_STOCK, std::nullopt},
      {R"({"offers":{"lowPrice":10,"highPrice":20}})", 10.0, "USD", in, std::nullopt},
      {R"({"offers":{"lowPrice":0,"highPrice":0}})", 0.0, "USD", in, std::nullopt},
      {R"({"offers":{"price":"12,50","priceCurrency":"EUR","availability":"SoldOut"}})", 12.5, "EUR",
       StockStatus::OUT_OF_STOCK, std::nullopt},
      {R"({"offers":{"price":"1.5","availability":"https://schema.org/PreOrder"}})", 1.5, "USD",
       StockStatus::PREORDER, std::nullopt},
      {R"({"offers":{"price":"call","priceCurrency":"GBP"}})", std::nullopt, std::nullopt, std::nullopt,
       std::nullopt},
      {R"({"offers":{"price":"3","priceCurrency":978}})", 3.0, "USD", in, std::nullopt},
      {R"({"offers":{"price":"3","itemCondition":"https://schema.org/RefurbishedCondition"}})", 3.0, "USD", in,
       ItemCondition::REFURBISHED},
      {R"({"offers":{"price":"3","itemCondition":"Renewed"}})", 3.0, "USD", in, ItemCondition::NEW},
      {R"({"offers":{"price":"3","itemCondition":"UsedCondition"}})", 3.0, "USD", in, ItemCondition::USED},
      {R"({"offers":["not an object"]})", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
      {R"({"offers":{"price":")" + std::string(400, '9') + R"("}})", std::nullopt, std::nullopt, std::nullopt,
       std::nullopt},
      {R"({"offers":{"price":1e400}})", std::nullopt, std::nullopt, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string product = R"({"@type":"Product","name":"Shoe",)" + c.product.substr(1);
    // No search-result price: what the offer gives is all there is.
    const MetadataResult r = parse(page(ld(product)), "https://www.ebay.com/itm/1", {.title = "Shoe"});
    EXPECT_EQ(r.fetch_source, korvane::commerce::FetchSource::ld_json);
    EXPECT_EQ(amount_of(r), c.amount) << c.product;
    EXPECT_EQ(currency_of(r), c.currency) << c.product;
    EXPECT_EQ(r.stock_status, c.stock) << c.product;
    EXPECT_EQ(r.condition, c.condition) << c.product;
  }
}

TEST(JsonLdStage, SearchResultValuesYieldOnlyToReadableOffers) {
  const Serp serp{.price = price(5, "CHF"), .in_stock = false};
  const auto r1 = parse(page(ld(R"({"@type":"Product","offers":{"price":"oops","availability":"x"}})")),
                        "https://shop.example/p", serp);
  EXPECT_EQ(amount_of(r1), 5.0);
  EXPECT_EQ(currency_of(r1), "CHF");
  EXPECT_EQ(r1.stock_status, StockStatus::OUT_OF_STOCK);
  const auto r2 = parse(page(ld(R"({"@type":"Product","offers":{"price":"8 EUR"}})")), "https://shop.example/p", serp);
  EXPECT_EQ(amount_of(r2), 8.0);
  EXPECT_EQ(currency_of(r2), "EUR");
  EXPECT_EQ(r2.price->raw, "8.00 EUR");
}

TEST(JsonLdStage, ProductChoiceAndFields) {
  struct Case {
    std::string blocks;
    const char* title;
    std::optional<std::string> brand;
    std::optional<std::string> sku;
    std::optional<std::string> image;
    std::optional<double> amount;
  };
  const Case cases[] = {
      // The first product with offers, a SKU or variants is chosen.
      {ld(R"({"@type":"Product","name":"Bare"})") + ld(R"({"@type":"Product","name":"  Full &amp; Co ","sku":" S9 ","brand":{"@type":"Brand","name":" Acme "},"image":["i1","i2"]})"),
       "Full & Co", "Acme", "S9", "i1", std::nullopt},
      {ld(R"({"@type":"Product","name":"Only","brand":"  B  ","image":"i"})"), "Only", "B", std::nullopt, "i", std::nullopt},
      // Text forms of non-text values.
      {ld(R"({"@type":"Product","name":"T","gtin13":4006381333931,"brand":{"name":12.5},"image":{"url":7}})"),
       "T", "12.5", "4006381333931", "7", std::nullopt},
      {ld(R"({"@type":"Product","name":"T","sku":1234.0,"brand":{"name":null},"image":[{"url":"u"}]})"),
       "T", "null", "1234.0", R"({"url":"u"})", std::nullopt},
      {ld(R"({"@type":"Product","name":"T","sku":0,"mpn":"","brand":["x"],"image":{"src":"u"}})"), "T",
       std::nullopt, "", std::nullopt, std::nullopt},
      {ld(R"({"@type":"Product","name":"T","sku":"","gtin8":false,"mpn":null,"image":[]})"), "T", std::nullopt,
       std::nullopt, std::nullopt, std::nullopt},
      // Integers too large for 64 bits keep their exact digits.
      {ld(R"({"@type":"Product","name":"T","sku":123456789012345678901234567890,"brand":{"name":18446744073709551616},)"
          R"("image":[{"url":-99999999999999999999,"w":1e30}]})"),
       "T", "18446744073709551616", "123456789012345678901234567890", R"({"url":-99999999999999999999,"w":1e+30})",
       std::nullopt},
      {ld(R"({"@type":"Product","name":"T","gtin13":18446744073709551615,"image":{"url":18446744073709551616}})"),
       "T", std::nullopt, "18446744073709551615", "18446744073709551616", std::nullopt},
      // A group's variants supply offers, and the SKU and image of an earlier variant.
      {ld(R"({"@type":"ProductGroup","name":"G","hasVariant":["junk",{"@type":"Product","sku":"V1","image":["v1.jpg"]},)"
          R"({"@type":"Product","sku":"V2","image":"v2.jpg","offers":{"price":"30"}},{"offers":{"price":"40"}}]})"),
       "G", std::nullopt, "V1", "v1.jpg", 30.0},
      // Without variant offers, the first product with offers lends them (and its SKU).
      {ld(R"({"@type":"ProductGroup","name":"G","hasVariant":[{"name":"v"}]})") +
           ld(R"({"@type":"Product","name":"Other","sku":"O1","offers":{"price":"11"}})"),
       "G", std::nullopt, "O1", std::nullopt, 11.0},
      // A name that is not text leaves the title as it was.
      {ld(R"({"@type":"Product","name":["x"],"offers":{"price":"2"}})"), "Serp Title", std::nullopt, std::nullopt,
       std::nullopt, 2.0},
  };
  for (const auto& c : cases) {
    const MetadataResult r = parse(page(c.blocks), "https://www.amazon.de/x", {.title = "Serp Title"});
    EXPECT_EQ(r.title, c.title) << c.blocks;
    EXPECT_EQ(r.brand, c.brand) << c.blocks;
    EXPECT_EQ(r.sku, c.sku) << c.blocks;
    EXPECT_EQ(r.primary_image_url, c.image) << c.blocks;
    EXPECT_EQ(amount_of(r), c.amount) << c.blocks;
  }
}

// ---------------------------------------------------------------- Next.js stage

TEST(NextDataStage, SoldOutAndPrices) {
  struct Case {
    std::string product;
    std::optional<NormalizedPrice> serp_price;
    std::optional<StockStatus> stock;
    std::optional<double> amount;
    std::optional<std::string> currency;
  };
  const auto serp = price(40, "GBP");
  const Case cases[] = {
      {R"({"isSoldOut":true,"priceCents":2599})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"priceCents":2599})", std::nullopt, StockStatus::IN_STOCK, 25.99, "USD"},
      {R"({"priceCents":2599})", serp, StockStatus::IN_STOCK, 40.0, "GBP"},
      {R"({"inventoryCount":0,"quantity":5,"priceCents":100})", std::nullopt, StockStatus::IN_STOCK, 1.0, "USD"},
      {R"({"inventoryCount":0,"quantity":0,"stockCount":0})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"inventoryCount":0,"quantity":0})", serp, StockStatus::IN_STOCK, 40.0, "GBP"},
      {R"({"currentPriceCents":0})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"priceCents":0,"currentPriceCents":5})", std::nullopt, StockStatus::IN_STOCK, 0.05, "USD"},
      {R"({"sellingCount":false})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"sellingCount":0.0})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"sellingCount":"0"})", serp, StockStatus::IN_STOCK, 40.0, "GBP"},
      {R"({"inStock":false})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"inStock":"false","isAvailable":0})", serp, StockStatus::IN_STOCK, 40.0, "GBP"},
      {R"({"available":false})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"status":"","stockStatus":"SOLD_OUT"})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"availability":"Currently Unavailable"})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"status":{"code":"OutOfStock"}})", serp, StockStatus::OUT_OF_STOCK, std::nullopt, std::nullopt},
      {R"({"price":"$12.00","priceCents":null})", std::nullopt, StockStatus::IN_STOCK, 12.0, "USD"},
      {R"({"price":"12,50 €"})", std::nullopt, StockStatus::IN_STOCK, 12.5, "EUR"},
      {R"({"salePrice":"9.99","currentPrice":""})", std::nullopt, StockStatus::IN_STOCK, 9.99, "USD"},
      {R"({"price":"call us","currentPrice":"9.99","msrp":"15"})", std::nullopt, StockStatus::IN_STOCK, 15.0, "USD"},
      {R"({"retailPriceCents":1999,"msrp":"5"})", std::nullopt, StockStatus::IN_STOCK, 19.99, "USD"},
      {R"({"retailPriceCents":-5,"msrp":"5 GBP"})", std::nullopt, StockStatus::IN_STOCK, 5.0, "GBP"},
      {R"({"priceCents":true})", std::nullopt, StockStatus::IN_STOCK, 0.01, "USD"},
      // An amount that is not finite is never stored.
      {R"({"priceCents":1e400,"price":"12","retailPriceCents":1000})", std::nullopt, StockStatus::IN_STOCK, 10.0, "USD"},
      {R"({"price":")" + std::string(400, '9') + R"("})", std::nullopt, StockStatus::IN_STOCK, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::string product = R"({"name":"N",)" + c.product.substr(1);
    const MetadataResult r = parse(page(next_data(product)), "https://shop.example/x",
                                   {.title = "N", .price = c.serp_price});
    EXPECT_EQ(r.fetch_source, korvane::commerce::FetchSource::next_data) << c.product;
    EXPECT_EQ(r.stock_status, c.stock) << c.product;
    EXPECT_EQ(amount_of(r), c.amount) << c.product;
    EXPECT_EQ(currency_of(r), c.currency) << c.product;
    EXPECT_EQ(r.condition, ItemCondition::NEW) << c.product;
  }
}

TEST(NextDataStage, Fields) {
  const auto r = parse(page(next_data(R"({"title":" The &lt;Shoe&gt; ","brandName":"","brand":" Acme ","sku":778})")),
                       "https://shop.example/x");
  EXPECT_EQ(r.title, "The <Shoe>");
  EXPECT_EQ(r.brand, "Acme");
  EXPECT_EQ(r.sku, "778");
  const auto big = parse(page(next_data(R"({"name":"N","sku":123456789012345678901234567890})")),
                         "https://shop.example/x");
  EXPECT_EQ(big.sku, "123456789012345678901234567890");
  const auto objects = parse(page(next_data(R"({"name":"N","brand":{"name":"B"}})")), "https://shop.example/x");
  EXPECT_EQ(objects.brand, std::nullopt);
  // JSON-LD products win; the Next.js stage does not run then.
  const auto both = parse(page(ld(R"({"@type":"Product","name":"L"})") + next_data(R"({"name":"N","sku":"S"})")),
                          "https://shop.example/x");
  EXPECT_EQ(both.fetch_source, korvane::commerce::FetchSource::ld_json);
  EXPECT_EQ(both.title, "L");
  EXPECT_EQ(both.condition, std::nullopt);
}

// ---------------------------------------------------------------- meta tags stage

TEST(MetaTagStage, Brand) {
  struct Case {
    std::string head;
    std::optional<std::string> brand;
  };
  const Case cases[] = {
      {meta("og:brand", "OgBrand") + meta("product:brand", "PB"), "OgBrand"},
      {meta("product:brand", "PB") + meta("author", "Jane Doe"), "PB"},
      {meta("author", "Jane Doe") + meta("og:site_name", "Site"), "Jane Doe"},
      {meta("author", std::string(31, 'a')) + meta("og:site_name", std::string(30, 's')), std::string(30, 's')},
      {meta("author", "https://me.example") + meta("og:site_name", "S"), std::nullopt},
      {meta("author", "J") + meta("og:site_name", std::string(31, 's')), std::nullopt},
      {meta("author", "\xC3\xA9\xC3\xA9"), "\xC3\xA9\xC3\xA9"},
      // Contents are text once their character references are decoded;
      // the length tests count the decoded characters.
      {meta("og:brand", "Joss &amp; Main"), "Joss & Main"},
      {meta("product:brand", "Caf&eacute; &#x26; Co"), "Café & Co"},
      {meta("author", "Ann &amp; Bo &amp; Cy &amp; Dee &amp; Ed"), "Ann & Bo & Cy & Dee & Ed"},
      {meta("og:site_name", "&amp;") + meta("author", "&#104;ttp"), std::nullopt},
  };
  for (const auto& c : cases) {
    const auto r = parse(page(c.head), "https://shop.example/x", {.merchant = "ex"});
    EXPECT_EQ(r.brand, c.brand) << c.head;
  }
}

TEST(MetaTagStage, PriceCurrencyStockImage) {
  const auto r = parse(page(meta("og:image", "img.jpg") + meta("product:price:amount", "1.299,00") +
                            meta("product:price:currency", "eur") + meta("product:availability", "In Stock") +
                            meta("og:type", "product")),
                       "https://shop.example/x", {.title = "Jacket sold out"});
  EXPECT_EQ(r.primary_image_url, "img.jpg");
  EXPECT_EQ(amount_of(r), 1299.0);
  EXPECT_EQ(currency_of(r), "EUR");
  EXPECT_EQ(r.stock_status, std::nullopt);  // "in stock" is not "instock"
  // An image link is text once its character references are decoded; a
  // legacy name before "=" is part of its query, as in a browser.
  const auto escaped = parse(page(meta("og:image", "https://cdn.example/i.jpg?w=1&amp;h=2&copy=3")),
                             "https://shop.example/x");
  EXPECT_EQ(escaped.primary_image_url, "https://cdn.example/i.jpg?w=1&h=2&copy=3");

  const auto unread = parse(page(meta("product:price:amount", "n/a") + meta("product:price:currency", "chf") +
                                 meta("product:availability", "oos OutOfStock")),
                            "https://shop.example/p", {.price = price(3, "")});
  EXPECT_EQ(amount_of(unread), 3.0);
  EXPECT_EQ(currency_of(unread), "CHF");
  EXPECT_EQ(unread.stock_status, StockStatus::OUT_OF_STOCK);
}

TEST(MetaTagStage, SocialPagesGetImagePriceAndCurrencyButNoBrand) {
  const std::string html = page(ld(R"({"@type":"Product","name":"LD","sku":"S"})") + meta("og:brand", "B") +
                                meta("og:image", "i.jpg") + meta("product:price:amount", "12") +
                                meta("product:price:currency", "GBP") + meta("product:availability", "instock"),
                                R"(<meta itemprop="sku" content="M">)");
  const auto r = parse(html, "https://www.tiktok.com/@a/video/1", {.title = "Clip"});
  EXPECT_EQ(r.page_type, PageType::SOCIAL);
  EXPECT_EQ(r.fetch_source, korvane::commerce::FetchSource::serp_fallback);
  EXPECT_EQ(r.title, "Clip");
  EXPECT_EQ(r.brand, std::nullopt);
  EXPECT_EQ(r.primary_image_url, "i.jpg");
  EXPECT_EQ(amount_of(r), 12.0);
  EXPECT_EQ(currency_of(r), "GBP");
  EXPECT_EQ(r.stock_status, std::nullopt);  // cleared on social pages
  EXPECT_EQ(r.sku, std::nullopt);
}

// ---------------------------------------------------------------- HTML pattern stage

TEST(HtmlPatternStage, Prices) {
  struct Case {
    std::string html;
    Serp serp;
    std::optional<double> amount;
    std::optional<std::string> currency;
  };
  const Case cases[] = {
      {page("", R"(<span class="woocommerce-Price-amount amount"><bdi>1,299.00</bdi></span>)"), {}, 1299.0, "USD"},
      {page("", R"(<span class="woocommerce-Price-amount">1,299.00</span><meta itemprop="price" content="5">)"),
       {}, 1299.0, "USD"},
      {page("", R"(<span class="woocommerce-Price-amount">,,,</span><meta itemprop="price" content="5.50">)"),
       {}, 5.5, "USD"},
      {page("", R"(<span class="woocommerce-Price-amount">)" + std::string(400, '9') +
                    R"(</span><meta itemprop="price" content="6">)"),
       {}, 6.0, "USD"},
      {page("", R"(<meta itemprop="price" content="7"><meta itemprop="priceCurrency" content="eur">)"), {}, 7.0, "EUR"},
      // A currency known without a price is replaced by the microdata currency.
      {page(ld(R"({"@type":"Product","offers":{"priceCurrency":"GBP"}})"),
            R"(<meta itemprop="price" content="7"><meta itemprop="priceCurrency" content="eur">)"),
       {}, 7.0, "EUR"},
      {page(ld(R"({"@type":"Product","offers":{"priceCurrency":"GBP"}})"), R"(<meta itemprop="price" content="7">)"),
       {}, 7.0, "GBP"},
      // A known price is not replaced.
      {page("", R"(<meta itemprop="price" content="7">)"), {.price = price(2, "CAD")}, 2.0, "CAD"},
  };
  for (const auto& c : cases) {
    const auto r = parse(c.html, "https://shop.example/x", c.serp);
    EXPECT_EQ(amount_of(r), c.amount) << c.html;
    EXPECT_EQ(currency_of(r), c.currency) << c.html;
    EXPECT_EQ(r.page_type, PageType::PRODUCT) << c.html;
  }
}

TEST(HtmlPatternStage, SkuAndStock) {
  struct Case {
    std::string body;
    std::optional<std::string> sku;
    std::optional<StockStatus> stock;
  };
  const Case cases[] = {
      {R"(<a data-product_sku="D1"><span class="sku">S1</span><meta itemprop="sku" content="M1">)", "M1", std::nullopt},
      {R"(<a data-product_sku="D1"><span class="sku"> S1 </span>)", "S1", std::nullopt},
      {R"(<a data-product_sku="  ">)", std::nullopt, std::nullopt},
      // Decoded, then stripped and tested for emptiness.
      {R"(<meta itemprop="sku" content="A&amp;B-&#49;"><a data-product_sku="D1">)", "A&B-1", std::nullopt},
      {R"(<span class="sku">&nbsp;S&lt;1&gt;&#32;</span>)", "S<1>", std::nullopt},
      {R"(<span class="sku">&nbsp;</span><a data-product_sku="D1">)", std::nullopt, std::nullopt},
      {R"(<a data-product_sku="D&amp;2">)", "D&2", std::nullopt},
      {R"(<p class="stock in-stock instock">)", std::nullopt, StockStatus::IN_STOCK},
      {R"(<link href="http://SCHEMA.org/InStock"><p class="outofstock">)", std::nullopt, StockStatus::IN_STOCK},
      {R"(<p class="outofstock">)", std::nullopt, StockStatus::OUT_OF_STOCK},
      {R"(<link href="https://schema.org/OutOfStock">)", std::nullopt, StockStatus::OUT_OF_STOCK},
      {R"(<p class="notinstock">)", std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto r = parse(page(meta("og:type", "product"), c.body), "https://shop.example/x");
    EXPECT_EQ(r.sku, c.sku) << c.body;
    EXPECT_EQ(r.stock_status, c.stock) << c.body;
  }
  // A stock status already known is kept.
  const auto known = parse(page(meta("og:type", "product"), R"(<p class="outofstock">)"), "https://shop.example/x",
                           {.in_stock = true});
  EXPECT_EQ(known.stock_status, StockStatus::IN_STOCK);
}

// ---------------------------------------------------------------- the driver

TEST(ParseDriver, SearchResultOnly) {
  const Serp serp{.title = "Blue Shoe", .merchant = "Acme", .price = price(20, "EUR"), .in_stock = true};
  const auto r = parse(std::nullopt, "https://shop.example/p/1", serp);
  EXPECT_EQ(r.page_type, PageType::PRODUCT);
  EXPECT_EQ(r.stock_status, StockStatus::IN_STOCK);
  EXPECT_EQ(r.condition, std::nullopt);
  EXPECT_EQ(r.brand, "Acme");
  ASSERT_TRUE(r.price);
  EXPECT_EQ(r.price->raw, "20.00 EUR");
  EXPECT_EQ(r.price->currency, "EUR");
  EXPECT_EQ(r.fetch_source, korvane::commerce::FetchSource::serp_fallback);
  EXPECT_EQ(r.match_score, 98);
  EXPECT_EQ(r.shipping_info, std::nullopt);

  // The merchant named by the host is no brand; a brand in the title adds 2, up to 99.
  const auto host = parse(std::nullopt, "https://www.acme.example/p/1", serp);
  EXPECT_EQ(host.brand, std::nullopt);
  const auto bonus = parse(std::nullopt, "https://shop.example/p/1",
                           {.title = "ACME Blue Shoe", .merchant = "Acme", .price = price(20, "EUR")});
  EXPECT_EQ(bonus.match_score, 99);
}

TEST(ParseDriver, PageLengthCountsCharacters) {
  const std::string head = R"(<meta property="og:title" content="From Page">)";
  const auto sized = [&](std::size_t chars) { return head + std::string(chars - head.size(), 'x'); };
  const Serp serp{.title = "Shoe", .merchant = "Shoe"};
  EXPECT_EQ(parse(sized(200), "https://shop.example/x", serp).title, "Shoe");
  EXPECT_EQ(parse(sized(201), "https://shop.example/x", serp).title, "From Page");
  // 201 bytes, but 200 characters: not read.
  std::string multi = head + std::string(200 - head.size() - 1, 'x') + "\xC3\xA9";
  ASSERT_EQ(multi.size(), 201U);
  EXPECT_EQ(parse(multi, "https://shop.example/x", serp).title, "Shoe");
  EXPECT_EQ(parse(multi + "x", "https://shop.example/x", serp).title, "From Page");
  // Invalid bytes count as one character each once repaired.
  std::string bad = head + std::string(200 - head.size(), '\xFF');
  EXPECT_EQ(parse(bad, "https://shop.example/x", serp).title, "Shoe");
  EXPECT_EQ(parse(bad + "\xFF", "https://shop.example/x", serp).title, "From Page");
}

TEST(ParseDriver, TitleRepairAndFallback) {
  struct Case {
    const char* name;
    std::optional<std::string> html;
    std::string url;
    Serp serp;
    const char* title;
    const char* merchant;
    std::optional<std::string> brand;
  };
  const std::string og_generic = meta("og:title", "Learn More") + "<title>The  Real\nTitle</title>";
  const Case cases[] = {
      {"generic_to_merchant", std::nullopt, "https://outdoor.example/x", {.title = "Shop Now", .merchant = "Acme Outdoor Store"},
       "Acme Outdoor Store", "outdoor.example", std::nullopt},
      {"generic_any_case", std::nullopt, "https://outdoor.example/x", {.title = "SHOP NOW", .merchant = "Acme Outdoor Store"},
       "Acme Outdoor Store", "outdoor.example", std::nullopt},
      {"generic_to_path", std::nullopt, "https://shop.example/p/blue_suede-shoes/", {.title = "Untitled", .merchant = "Acmes"},
       "Blue Suede Shoes", "Acmes", std::nullopt},
      {"generic_merchant_in_host", std::nullopt, "https://acmeoutdoor.example/a/%C3%A9t%C3%A9-x", {.title = "click here", .merchant = "acmeoutdoor"},
       "%C3%A9T%C3%A9 X", "acmeoutdoor", std::nullopt},
      {"generic_without_path", std::nullopt, "https://shop.example//", {.title = "Buy now", .merchant = "Acme"},
       "Buy now", "Acme", std::nullopt},
      {"swap", std::nullopt, "https://shop.example/x", {.title = "Nike", .merchant = "Air Max 90 Sneakers"},
       "Air Max 90 Sneakers", "Nike", "Nike"},
      {"no_swap_for_two_words", std::nullopt, "https://shop.example/x", {.title = "Nike", .merchant = "Air Max"},
       "Nike", "Air Max", std::nullopt},
      {"short_title_og", page(meta("og:title", "Blue &amp; Suede Shoes")), "https://shop.example/x",
       {.title = "Abc", .merchant = "Acme"}, "Blue & Suede Shoes", "Acme", std::nullopt},
      {"og_generic_html_title", page(og_generic), "https://shop.example/x", {.title = "Acme", .merchant = "ACME"},
       "The Real Title", "ACME", std::nullopt},
      {"title_equal_merchant", page(meta("og:title", "Page Title")), "https://shop.example/x",
       {.title = "acme store", .merchant = "Acme Store"}, "Page Title", "Acme Store", std::nullopt},
      {"good_title_kept", page(meta("og:title", "Page Title")), "https://shop.example/x",
       {.title = "Search Title", .merchant = "Acme"}, "Search Title", "Acme", std::nullopt},
      {"double_escape", std::nullopt, "https://shop.example/x", {.title = " Salt &amp;amp;\n Pepper ", .merchant = "Acme"},
       "Salt & Pepper", "Acme", std::nullopt},
      {"empty_merchant_is_host", std::nullopt, "https://WWW.Shop.www.Example.COM:8080/x", {.title = "Thing"},
       "Thing", "shop.example.com:8080", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto r = parse(c.html, c.url, c.serp);
    EXPECT_EQ(r.title, c.title) << c.name;
    EXPECT_EQ(r.merchant_name, c.merchant) << c.name;
    EXPECT_EQ(r.brand, c.brand) << c.name;
  }
}

TEST(ParseDriver, InferenceOnProductPages) {
  struct Case {
    std::string url;
    Serp serp;
    std::optional<ItemCondition> condition;
    std::optional<StockStatus> stock;
  };
  const Case cases[] = {
      {"https://www.amazon.com/dp/1", {.title = "Phone (Renewed)"}, ItemCondition::REFURBISHED, std::nullopt},
      {"https://www.amazon.com/dp/1", {.title = "Pre-Owned Watch", .price = price(5, "")}, ItemCondition::USED, StockStatus::IN_STOCK},
      {"https://www.amazon.com/dp/1", {.title = "Jacket SOLD OUT", .price = price(5, "")}, std::nullopt, std::nullopt},
      {"https://www.amazon.com/dp/1", {.title = "Jacket - out of stock", .price = price(5, ""), .in_stock = true}, std::nullopt, StockStatus::IN_STOCK},
      {"https://shop.example/blog/x", {.title = "Refurbished phones", .in_stock = true}, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto r = parse(std::nullopt, c.url, c.serp);
    EXPECT_EQ(r.condition, c.condition) << c.serp.title;
    EXPECT_EQ(r.stock_status, c.stock) << c.serp.title;
  }
}

TEST(ParseDriver, RootAndProtocolRelativeImagesResolveAgainstThePageLink) {
  struct Case {
    std::string head;
    const char* url;
    std::optional<std::string> image;
  };
  const auto image = [](std::string_view value) {
    return ld(R"({"@type":"Product","name":"Shoe","sku":"S","image":)" + std::string(value) + "}");
  };
  const char* page_link = "https://Shop.example/p/1?x=1";
  const Case cases[] = {
      {image(R"("/img/a.jpg")"), page_link, "https://Shop.example/img/a.jpg"},
      {image(R"("//cdn.example/a.jpg?w=1")"), page_link, "https://cdn.example/a.jpg?w=1"},
      {image(R"(["/img/../a%20b.jpg;v=2"])"), "HTTP://Shop.example", "http://Shop.example/a%20b.jpg;v=2"},
      {meta("og:image", "/og.jpg?w=1&amp;h=2"), page_link, "https://Shop.example/og.jpg?w=1&h=2"},
      // Not only URI characters, not starting with "/", or a page link that
      // is not http(s): as it is.
      {image(R"("/img/a b.jpg")"), page_link, "/img/a b.jpg"},
      {image(R"("/img/ä.jpg")"), page_link, "/img/ä.jpg"},
      {image(R"("img/a.jpg")"), page_link, "img/a.jpg"},
      {image(R"("https://cdn.example/a.jpg")"), page_link, "https://cdn.example/a.jpg"},
      {image(R"([null])"), page_link, "null"},
      {image(R"([5])"), page_link, "5"},
      {image(R"([{"url":"/x.jpg"}])"), page_link, R"({"url":"/x.jpg"})"},
      {image(R"("")"), page_link, ""},  // empty: the enrichment falls back to the thumbnail
      {image(R"("/img/a.jpg")"), "ftp://shop.example/p", "/img/a.jpg"},
      {image(R"("/img/a.jpg")"), "shop.example/p", "/img/a.jpg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parse(page(c.head), c.url).primary_image_url, c.image) << c.head << " on " << c.url;
  }
}

TEST(ParseDriver, MatchScore) {
  struct Case {
    int rank;
    bool brand_in_title;
    int score;
  };
  const Case cases[] = {{1, false, 98},  {2, false, 95},  {3, false, 92},       {16, false, 53},
                        {17, false, 50}, {40, false, 50}, {1, true, 99},        {3, true, 94},
                        {40, true, 52},  {0, false, 101}, {0, true, 99},        {INT_MAX, false, 50},
                        {INT_MIN, false, INT_MAX}};
  for (const auto& c : cases) {
    const Serp serp{.title = c.brand_in_title ? "Acme Shoe" : "Shoe", .merchant = "Acme", .price = price(1, ""),
                    .rank = c.rank};
    EXPECT_EQ(parse(std::nullopt, "https://shop.example/x", serp).match_score, c.score) << c.rank;
  }
}

TEST(ParseDriver, PriceRecord) {
  const auto r = parse(std::nullopt, "https://shop.example/x", {.price = price(1299, "")});
  ASSERT_TRUE(r.price);
  EXPECT_EQ(r.price->raw, "1299.00 USD");
  EXPECT_EQ(r.price->currency, "USD");
  EXPECT_EQ(parse(std::nullopt, "https://shop.example/x", {.price = price(0.125, "EUR")}).price->raw, "0.12 EUR");
  EXPECT_EQ(parse(std::nullopt, "https://shop.example/x").price, std::nullopt);
}

TEST(ParseDriver, MalformedInputNeverThrows) {
  const std::vector<std::string> urls = {"https://[::1/x", "", "not a url", "https://\xFF\xFE/\xC3",
                                         "//x.com", "https://a]b/"};
  const std::vector<std::optional<std::string>> pages = {
      std::nullopt, std::string(), page("\xFF\xC0\x80<meta property=\"og:title\" content=\"\xED\xA0\x80\">"),
      std::string(300, '<'), page(ld(std::string(200'000, '['))), page(next_data(std::string(200'000, '{'))),
      page("<title>" + std::string(1000, '&') + "</title>")};
  for (const auto& url : urls) {
    for (const auto& html : pages) {
      MetadataResult r;
      EXPECT_NO_THROW(r = parse(html, url, {.title = "\xFFTitle", .merchant = "M\xC3"})) << url;
      EXPECT_FALSE(r.title.empty());
    }
  }
  const auto r = parse(std::nullopt, "https://[::1/x", {.title = "T"});
  EXPECT_EQ(r.merchant_name, "");
  EXPECT_EQ(r.page_type, PageType::UNCATEGORIZED);
  EXPECT_EQ(parse(std::nullopt, "https://x.com/\xFF", {.title = "\xFF"}).title, "\xEF\xBF\xBD");
}

TEST(ParseDriver, ConcurrentCallsAgree) {
  // The compiled patterns and tables are shared by all threads.
  const std::vector<std::string> pages = {
      page(ld(R"({"@type":"Product","name":"A","offers":{"price":"5","priceCurrency":"EUR"}})")),
      page(next_data(R"({"name":"B","priceCents":1999})")),
      page(meta("og:type", "product") + meta("product:price:amount", "7"), R"(<span class="sku">S</span>)"),
      page("", R"(<span class="woocommerce-Price-amount">3.50</span><p class="instock">)")};
  std::vector<json::value> expected;
  for (const auto& p : pages) expected.push_back(korvane::commerce::to_json(parse(p, "https://shop.example/x")));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 50; ++round) {
        for (std::size_t i = 0; i < pages.size(); ++i) {
          if (korvane::commerce::to_json(parse(pages[i], "https://shop.example/x")) != expected[i]) ++mismatches[t];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(ParseDriver, ResultAsJson) {
  const auto r = parse(page(ld(R"({"@type":"Product","name":"Shoe","sku":"S","offers":{"price":"5",)"
                               R"("priceCurrency":"EUR","availability":"InStock","itemCondition":"NewCondition"}})")),
                       "https://shop.example/x", {.rank = 2});
  const json::value v = korvane::commerce::to_json(r);
  std::vector<std::string> keys;
  for (const auto& m : v.as_object()) keys.emplace_back(m.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"title", "merchant_name", "brand", "sku", "price", "stock_status",
                                            "condition", "primary_image_url", "shipping_info", "page_type",
                                            "match_score", "fetch_source"}));
  EXPECT_EQ(korvane::models::json_text(v),
            R"({"title":"Shoe","merchant_name":"shop.example","brand":null,"sku":"S",)"
            R"("price":{"raw":"5.00 EUR","amount":5.0,"currency":"EUR"},"stock_status":"in_stock",)"
            R"("condition":"new","primary_image_url":null,"shipping_info":null,"page_type":"product",)"
            R"("match_score":95,"fetch_source":"ld_json"})");
}

}  // namespace
