// The extended extraction mode: price, SKU and availability from the sources
// the standard rules do not read, the decision between them, and the pieces
// underneath (amount reading, loose script literals, the page index).
#include <korvane/commerce/metadata.hpp>

#include <korvane/host/models.hpp>

#include "commerce/metadata/extended/evidence.hpp"
#include "commerce/metadata/extended/loose_json.hpp"
#include "commerce/metadata/extended/money.hpp"
#include "commerce/metadata/extended/page_index.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <optional>
#include <ostream>
#include <string>

namespace {

namespace json = boost::json;
namespace ext = korvane::commerce::detail::extended;
using korvane::commerce::DestinationMetadataParser;
using korvane::commerce::ExtractionMode;
using korvane::commerce::MetadataRequest;
using korvane::commerce::MetadataResult;
using korvane::models::NormalizedPrice;
using korvane::models::StockStatus;

// A page long enough to be read, around `body`.
std::string page(std::string_view head, std::string_view body) {
  return "<!doctype html><html><head><title>Desk Lamp</title>" + std::string(head) + "</head><body>" +
         std::string(body) + "<!--" + std::string(200, '.') + "--></body></html>";
}

MetadataResult parse(const std::string& html, ExtractionMode mode,
                     std::string_view url = "https://shop.example/p/desk-lamp",
                     std::optional<NormalizedPrice> serp_price = std::nullopt) {
  return DestinationMetadataParser::parse_metadata(
      MetadataRequest{.html = html, .direct_url = url, .initial_price = serp_price, .extraction = mode});
}

// ---------------------------------------------------------------- price

struct PriceCase {
  const char* name;
  const char* head;
  const char* body;
  std::optional<double> amount;  // absent: no price
  const char* currency;
};

void PrintTo(const PriceCase& c, std::ostream* os) { *os << c.name; }

class ExtendedPrice : public testing::TestWithParam<PriceCase> {};

TEST_P(ExtendedPrice, ReadsThePagesOwnPrice) {
  const PriceCase& c = GetParam();
  const MetadataResult r = parse(page(c.head, c.body), ExtractionMode::extended);
  if (!c.amount) {
    EXPECT_FALSE(r.price.has_value()) << r.price->amount;
    return;
  }
  ASSERT_TRUE(r.price.has_value());
  EXPECT_DOUBLE_EQ(r.price->amount, *c.amount);
  EXPECT_EQ(r.price->currency, c.currency);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ExtendedPrice,
    testing::Values(
        PriceCase{"json_ld_in_cdata",
                  R"(<script type="application/ld+json">/*<![CDATA[*/{"@type":"Product","name":"Lamp",
                     "offers":{"price":"24.90","priceCurrency":"EUR"}}/*]]>*/</script>)",
                  "", 24.9, "EUR"},
        PriceCase{"json_ld_lower_case_iri_type_in_nested_graph",
                  R"(<script type="application/ld+json">{"@graph":[{"@type":"WebPage","mainEntity":{"@graph":[
                     {"@type":"http://schema.org/product","offers":{"@type":"Offer","price":12,
                     "priceCurrency":"GBP"}}]}}]}</script>)",
                  "", 12.0, "GBP"},
        PriceCase{"json_ld_loose_with_line_break_in_string",
                  "<script type=\"application/ld+json\">{\"@type\":\"Product\",\"description\":\"two\nlines\","
                  "\"offers\":{\"price\":\"8.50\",\"priceCurrency\":\"USD\"}}</script>",
                  "", 8.5, "USD"},
        PriceCase{"json_ld_offer_without_product_and_aggregate_low_price",
                  R"(<script type="application/ld+json">{"@type":"AggregateOffer","lowPrice":"99",
                     "highPrice":"120","priceCurrency":"PLN"}</script>)",
                  "", 99.0, "PLN"},
        PriceCase{"json_ld_price_specification",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"@type":"Offer",
                     "priceSpecification":{"price":2.25,"priceCurrency":"CHF"}}}</script>)",
                  "", 2.25, "CHF"},
        PriceCase{"json_ld_tiny_number_is_no_price",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"price":0.00001,
                     "priceCurrency":"EUR"}}</script>)",
                  "", std::nullopt, ""},
        PriceCase{"json_ld_products_of_an_item_list_are_not_the_pages",
                  R"(<script type="application/ld+json">{"@type":"ItemList","itemListElement":[
                     {"@type":"Product","offers":{"price":"5"}},{"@type":"Product","offers":{"price":"6"}}]}</script>)",
                  "", std::nullopt, ""},
        PriceCase{"microdata_content_before_itemprop",
                  R"(<meta content="EUR" itemprop="priceCurrency">)",
                  R"(<div itemscope itemtype="https://schema.org/Offer"><meta content="19.99" itemprop="price"></div>)",
                  19.99, "EUR"},
        PriceCase{"microdata_element_text_with_grouping",
                  "", R"(<div itemscope itemtype="http://schema.org/Product"><span itemprop="price">1.299,00 €</span></div>)",
                  1299.0, "EUR"},
        PriceCase{"open_graph_price_amount",
                  R"(<meta property="og:price:amount" content="499.00"><meta property="og:price:currency" content="eur">)",
                  "", 499.0, "EUR"},
        PriceCase{"current_sale_price_meta_and_markup_agree",
                  R"(<meta property="product:price:amount" content="1148.00"><meta property="product:price:currency" content="PLN">
                     <meta property="product:sale_price:amount" content="997.00">)",
                  R"(<h1>Lamp</h1><span class="product-price" data-price="997.00">997 zł</span>)", 997.0, "PLN"},
        PriceCase{"analytics_detail_object",
                  "",
                  R"(<script>dataLayer.push({'ecommerce': {'currencyCode': 'EUR', 'detail': {'products': [
                     {'id': '400105394', 'price': '99.95'}]}}});</script>)",
                  99.95, "EUR"},
        PriceCase{"page_state_product_named_like_the_page",
                  "", R"(<script type="application/json">{"props":{"product":{"name":"Desk Lamp","price":"24.90",
                     "currency":"EUR"},"related":{"product":{"name":"Garden Hose","price":"9.00"}}}}</script>)",
                  24.9, "EUR"},
        PriceCase{"page_state_product_of_another_name",
                  "", R"(<script type="application/json">{"product":{"name":"Garden Hose","price":"9.00"}}</script>)",
                  std::nullopt, ""},
        PriceCase{"page_state_whole_number_may_count_cents",
                  "", R"(<script type="application/json">{"product":{"name":"Desk Lamp","price":2490}}</script>)",
                  std::nullopt, ""},
        PriceCase{"view_content_event",
                  "", "<script>fbq('track', 'ViewContent', {content_ids: ['1131'], value: 29, currency: 'TWD'});</script>",
                  29.0, "TWD"},
        PriceCase{"data_price_amount",
                  "", R"(<h1>Lamp</h1><span data-price-amount="10.748401" data-price-type="finalPrice"></span>
                     <span data-price-amount="11.95" data-price-type="oldPrice"></span>)",
                  10.75, ""},
        PriceCase{"visible_price_next_to_heading_not_struck_not_in_carousel",
                  "",
                  R"(<div class="related-products"><span class="price">€ 5,00</span></div><h1>Lamp</h1>
                     <del class="price">€ 30,00</del><div class="product-price">€ 24,90</div>
                     <button class="add-to-cart">Add to cart</button>)",
                  24.9, "EUR"},
        PriceCase{"visible_unit_and_shipping_prices_are_other_amounts",
                  "",
                  R"(<h1>Coffee</h1><span class="price-per-unit">€ 1,20 / 100 g</span>
                     <span class="shipping-price">€ 4,95</span><span class="product-price">€ 11,99</span>)",
                  11.99, "EUR"},
        PriceCase{"visible_bare_number_takes_the_currency_written_around_it",
                  "", R"(<h1>Lamp</h1><strong>€ <span class="actual-price">17,10</span></strong>)", 17.1, "EUR"},
        PriceCase{"visible_number_without_any_currency_is_not_a_price",
                  "", R"(<h1>Lamp</h1><div class="price">24</div>)", std::nullopt, ""},
        PriceCase{"repeated_price_class_is_a_list_of_other_products",
                  "",
                  R"(<h1>Lamp</h1><i class="tile-price">$1</i><i class="tile-price">$2</i><i class="tile-price">$3</i>
                     <i class="tile-price">$4</i>)",
                  std::nullopt, ""},
        PriceCase{"amount_whose_currency_nothing_states_has_none",
                  "", R"(<span itemprop="price">24.50</span>)", 24.5, ""},
        PriceCase{"the_vote_beats_a_single_structured_source",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"price":"18.00","priceCurrency":"EUR"}}</script>)",
                  R"(<h1>Book</h1><div itemprop="offers" itemscope><meta itemprop="price" content="17.10"></div>
                     <span data-price-amount="17.1"></span><div class="price">€ 17,10</div>)",
                  17.1, "EUR"}));

TEST(ExtendedPrice, StandardModeIgnoresTheNewSources) {
  const std::string html = page("", R"(<span itemprop="price">24.50</span><h1>Lamp</h1><div class="price">€ 24,90</div>)");
  EXPECT_FALSE(parse(html, ExtractionMode::standard).price.has_value());
  // And it still guesses the dollar where the extended mode does not.
  const std::string woo = page("", R"(<span class="woocommerce-Price-amount amount">15.00</span>)");
  const MetadataResult standard = parse(woo, ExtractionMode::standard);
  const MetadataResult extended = parse(woo, ExtractionMode::extended);
  ASSERT_TRUE(standard.price && extended.price);
  EXPECT_EQ(standard.price->currency, "USD");
  EXPECT_EQ(extended.price->currency, "");
  EXPECT_EQ(extended.price->raw, "15.00");
}

TEST(ExtendedPrice, SearchResultPriceGivesWayToStructuredDataOnly) {
  const NormalizedPrice serp("$30", 30.0, "USD");
  const std::string visible_only = page("", R"(<h1>Lamp</h1><div class="price">€ 24,90</div>)");
  EXPECT_DOUBLE_EQ(parse(visible_only, ExtractionMode::extended, "https://shop.example/p/1", serp).price->amount, 30.0);
  const std::string structured = page(R"(<meta property="og:price:amount" content="24.90">)", "");
  const auto r = parse(structured, ExtractionMode::extended, "https://shop.example/p/1", serp);
  EXPECT_DOUBLE_EQ(r.price->amount, 24.9);
  EXPECT_EQ(r.price->currency, "USD");  // the page states none; the search result does
}

// ---------------------------------------------------------------- SKU

struct SkuCase {
  const char* name;
  const char* body;
  const char* url;
  const char* sku;  // empty: none
};

void PrintTo(const SkuCase& c, std::ostream* os) { *os << c.name; }

class ExtendedSku : public testing::TestWithParam<SkuCase> {};

TEST_P(ExtendedSku, FindsTheShopsItemNumber) {
  const SkuCase& c = GetParam();
  // A price makes the page a product page, whose SKU is kept.
  const std::string html = page(R"(<meta property="og:price:amount" content="10">)", c.body);
  const MetadataResult r = parse(html, ExtractionMode::extended, c.url);
  EXPECT_EQ(r.sku.value_or(""), c.sku);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ExtendedSku,
    testing::Values(
        SkuCase{"json_ld_sku_over_gtin", R"(<script type="application/ld+json">{"@type":"Product","gtin13":"4006381333931",
                  "sku":"TS-1"}</script>)", "https://shop.example/p", "TS-1"},
        SkuCase{"json_ld_blank_sku_falls_to_mpn", R"(<script type="application/ld+json">{"@type":"Product","sku":" ",
                  "mpn":"101693"}</script>)", "https://shop.example/p", "101693"},
        SkuCase{"microdata_element_text_first_word", R"(<span itemprop="productID"> TE502955-1293415 Housse </span>)",
                "https://shop.example/p", "TE502955-1293415"},
        SkuCase{"meta_retailer_item_id", R"(<meta property="product:retailer_item_id" content="9780552173742">)",
                "https://shop.example/p", "9780552173742"},
        SkuCase{"data_attribute", R"(<button class="wishlist" data-sku="21128AC57NWP">Save</button>)",
                "https://shop.example/p", "21128AC57NWP"},
        SkuCase{"hidden_form_field", R"(<form><input type="hidden" name="sku" value="14551914"></form>)",
                "https://shop.example/p", "14551914"},
        SkuCase{"label_and_value_in_one_text", "<p>Item #418295</p>", "https://shop.example/p", "418295"},
        SkuCase{"label_then_value_in_the_next_cell", "<table><tr><th>Artikelnummer</th><td>1357247</td></tr></table>",
                "https://shop.example/p", "1357247"},
        SkuCase{"label_after_a_word", "<div>eBay item number:</div><div>123808916008</div>",
                "https://shop.example/p", "123808916008"},
        SkuCase{"cyrillic_label", "<span>Код: 73556</span>", "https://shop.example/p", "73556"},
        SkuCase{"east_asian_label", "<td>〈商品編號：M14876706〉</td>", "https://shop.example/p", "M14876706"},
        SkuCase{"label_in_a_carousel_is_another_products", R"(<div class="carousel"><p>SKU: 999999</p></div>)",
                "https://shop.example/p", ""},
        SkuCase{"link_item_number_as_last_resort", "", "https://shop.example/itm/123808916008", "123808916008"},
        SkuCase{"link_query_item_number", "", "https://shop.example/store/1?pid=260591", "260591"},
        SkuCase{"a_value_with_spaces_is_no_sku", R"(<span itemprop="sku" content="Unavailable at this store"></span>)",
                "https://shop.example/p", ""}));

// ---------------------------------------------------------------- availability

struct StockCase {
  const char* name;
  const char* body;
  std::optional<StockStatus> status;
};

void PrintTo(const StockCase& c, std::ostream* os) { *os << c.name; }

class ExtendedStock : public testing::TestWithParam<StockCase> {};

TEST_P(ExtendedStock, ReadsAvailability) {
  const StockCase& c = GetParam();
  // No price, so that nothing infers the stock from one.
  const MetadataResult r = parse(page(R"(<meta property="og:type" content="product">)", c.body),
                                 ExtractionMode::extended);
  EXPECT_EQ(r.stock_status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ExtendedStock,
    testing::Values(
        StockCase{"json_ld_any_offer_in_stock",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":[
                     {"availability":"http://schema.org/OutOfStock"},{"availability":"http://schema.org/InStock"}]}</script>)",
                  StockStatus::IN_STOCK},
        StockCase{"json_ld_sold_out", R"(<script type="application/ld+json">{"@type":"Product","offers":{
                     "availability":"https://schema.org/SoldOut"}}</script>)", StockStatus::OUT_OF_STOCK},
        StockCase{"microdata_link_href", R"(<link itemprop="availability" href="https://schema.org/PreOrder">)",
                  StockStatus::PREORDER},
        StockCase{"spelled_in_words", R"(<meta itemprop="availability" content="out of stock">)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"enabled_add_to_cart_button", R"(<h1>Lamp</h1><button class="btn add-to-cart">Add to cart</button>)",
                  StockStatus::IN_STOCK},
        StockCase{"sold_out_wording_in_the_shops_language",
                  R"(<h1>Lampe</h1><div id="availability"><span>Derzeit nicht verfügbar.</span></div>)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"sold_out_size_is_about_a_variant",
                  R"(<h1>Shoe</h1><ul class="size-list"><li class="stock">42 - sold out</li></ul>)", std::nullopt}));

// ---------------------------------------------------------------- amounts

struct MoneyCase {
  const char* text;
  const char* declared;
  double amount;
  const char* currency;
};

void PrintTo(const MoneyCase& c, std::ostream* os) { *os << c.text; }

class ReadMoney : public testing::TestWithParam<MoneyCase> {};

TEST_P(ReadMoney, ReadsAmountAndCurrency) {
  const MoneyCase& c = GetParam();
  const auto m = ext::read_money(c.text, c.declared);
  ASSERT_TRUE(m.has_value());
  EXPECT_DOUBLE_EQ(m->amount, c.amount);
  EXPECT_EQ(m->currency, c.currency);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReadMoney,
    testing::Values(MoneyCase{"1'299.50 CHF", "", 1299.5, "CHF"},
                    MoneyCase{"1\xC2\xA0" "299,00 zł", "", 1299.0, "PLN"},   // no-break space
                    MoneyCase{"1\xE2\x80\xAF" "299,00 Kč", "", 1299.0, "CZK"},  // narrow no-break space
                    MoneyCase{"R$ 1.299,90", "", 1299.9, "BRL"},
                    MoneyCase{"30,000원~", "", 30000.0, "KRW"},
                    MoneyCase{"₩ 30,000", "", 30000.0, "KRW"},
                    MoneyCase{"1.234.567,89 €", "", 1234567.89, "EUR"},
                    MoneyCase{"$2.449", "ARS", 2449.0, "ARS"},
                    MoneyCase{"12,5 lei", "", 12.5, "RON"},
                    MoneyCase{"0.500", "", 0.5, ""},
                    MoneyCase{"KWD 1.500", "KWD", 1.5, "KWD"},
                    MoneyCase{"881,00 169,00 Kn", "", 881.0, ""},  // two prices: the first, without a token
                    MoneyCase{"199 kr", "SEK", 199.0, "SEK"},
                    MoneyCase{"199 kr", "", 199.0, ""},
                    MoneyCase{"$ 10", "CAD", 10.0, "CAD"},
                    MoneyCase{"$ 10", "", 10.0, "USD"},
                    MoneyCase{"Preis: 49,90 EUR", "", 49.9, "EUR"},
                    MoneyCase{"₺1.250,00", "", 1250.0, "TRY"},
                    MoneyCase{"฿990", "", 990.0, "THB"},
                    MoneyCase{"Rp 150.000", "", 150000.0, "IDR"}));

TEST(ReadMoney, WordsAreNoCurrencies) {
  // "ALL" is a code, but only upper case standing by the number counts.
  EXPECT_EQ(ext::read_money("all 25")->currency, "");
  EXPECT_EQ(ext::read_money("ALL 25")->currency, "ALL");
  EXPECT_FALSE(ext::read_money("no digits").has_value());
  EXPECT_FALSE(ext::read_money("1,234.567.890").has_value());
}

// ---------------------------------------------------------------- script literals and the index

TEST(LooseLiteral, ReadsWhatScriptsWrite) {
  struct Case {
    const char* text;
    const char* expected;  // compact JSON; empty: not readable
  };
  const Case cases[] = {
      {R"({'a': 'x', b: 2, c: [1,,2,], d: !0, e: undefined, /* note */ f: "y"})",
       R"({"a":"x","b":2,"c":[1,2],"d":true,"e":null,"f":"y"})"},
      {R"({"t": new Date(), "n": 12345678901234567890123})", R"({"t":null,"n":"12345678901234567890123"})"},
      {R"({"g": function() { return {a: 1}; }, "h": 1})", R"({"g":null,"h":1})"},
      {R"({'s': 'it\'s \x41 \u00e9'})", R"({"s":"it's A é"})"},
      {R"({"a": [1, 2})", ""},
      {R"({"a": 1)", ""},
  };
  for (const Case& c : cases) {
    const auto v = ext::read_loose_literal(c.text, 0, json::make_shared_resource<json::monotonic_resource>());
    if (*c.expected == '\0') {
      EXPECT_FALSE(v.has_value()) << c.text;
    } else {
      ASSERT_TRUE(v.has_value()) << c.text;
      EXPECT_EQ(json::serialize(v->value), c.expected) << c.text;
    }
  }
}

TEST(PageIndex, FollowsNestingAndText) {
  const std::string html =
      "<div class=a><ul><li>one<li>two</ul><!-- <p>gone</p> --><script>if (a < b) x = '</div>';</script>"
      "<p>tail &amp; <b>bold</b></p></div>";
  const ext::PageIndex index(korvane::commerce::detail::ValidUtf8{html});
  const auto& tags = index.tags();
  ASSERT_FALSE(tags.empty());
  EXPECT_EQ(index.element_text(0), "one two tail & bold");
  std::size_t second_li = 0;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].kind == ext::TagName::li && !tags[i].closing) second_li = i;
  }
  EXPECT_EQ(index.element_text(second_li), "two");  // the second li closed the first
  EXPECT_EQ(tags[0].hints & ext::hint_price, 0);
}

TEST(Availability, ReadsSchemaValuesInAnySpelling) {
  EXPECT_EQ(ext::availability_of("http://schema.org/InStock"), StockStatus::IN_STOCK);
  EXPECT_EQ(ext::availability_of("in_stock"), StockStatus::IN_STOCK);
  EXPECT_EQ(ext::availability_of("Out of Stock"), StockStatus::OUT_OF_STOCK);
  EXPECT_EQ(ext::availability_of("schema:Discontinued"), StockStatus::OUT_OF_STOCK);
  EXPECT_EQ(ext::availability_of("PreOrder"), StockStatus::PREORDER);
  EXPECT_EQ(ext::availability_of("true"), std::nullopt);
}

}  // namespace
