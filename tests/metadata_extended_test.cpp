// The extended extraction mode: price, SKU and availability from the sources
// the standard rules do not read, the decision between them, and the pieces
// underneath (amount reading, loose script literals, the page index).
#include <korvane/commerce/json.hpp>
#include <korvane/commerce/metadata.hpp>

#include <korvane/models.hpp>
#include <korvane/models/json.hpp>

#include "commerce/metadata/extended/decide.hpp"
#include "commerce/metadata/extended/evidence.hpp"
#include "commerce/metadata/extended/extended.hpp"
#include "commerce/metadata/extended/loose_json.hpp"
#include "commerce/money.hpp"
#include "commerce/metadata/extended/page_index.hpp"
#include "commerce/metadata/extended/readers.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <cctype>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

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

const PriceCase kPriceCases[] = {
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
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"price":0.000004,
                     "priceCurrency":"EUR"}}</script>)",
                  "", std::nullopt, ""},
        PriceCase{"json_ld_of_several_products_the_one_the_page_names",
                  R"(<script type="application/ld+json">[{"@type":"Product","name":"Garden Hose","offers":{
                     "price":"9.00","priceCurrency":"EUR"}},{"@type":"Product","name":"Desk Lamp","offers":{
                     "price":"24.90","priceCurrency":"EUR"}}]</script>)",
                  "", 24.9, "EUR"},
        PriceCase{"visible_price_of_what_is_bought_together_is_not_the_price", "",
                  R"(<h1>Desk Lamp</h1><div class="frequently-bought-together"><a href="/p/2">Bulb</a>
                     <span class="price">$4.99</span></div><span class="price">$29.99</span>)",
                  29.99, "USD"},
        PriceCase{"visible_price_named_as_the_former_one_is_not_the_price", "",
                  R"(<h1>Desk Lamp</h1><span class="price">Was $29.99</span><span class="price">Now $19.99</span>)",
                  19.99, "USD"},
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
                  R"(<meta property="product:price:amount" content="1260.00"><meta property="product:price:currency" content="PLN">
                     <meta property="product:sale_price:amount" content="1090.00">)",
                  R"(<h1>Lamp</h1><span class="product-price" data-price="1090.00">1090 zł</span>)", 1090.0, "PLN"},
        PriceCase{"analytics_detail_object",
                  "",
                  R"(<script>dataLayer.push({'ecommerce': {'currencyCode': 'EUR', 'detail': {'products': [
                     {'id': '500723118', 'price': '99.95'}]}}});</script>)",
                  99.95, "EUR"},
        PriceCase{"page_state_product_named_like_the_page",
                  "", R"(<script type="application/json">{"props":{"product":{"name":"Desk Lamp","price":"24.90",
                     "currency":"EUR"},"related":{"product":{"name":"Garden Hose","price":"9.00"}}}}</script>)",
                  24.9, "EUR"},
        PriceCase{"page_state_current_amount_in_an_object_of_its_own",
                  "", R"(<script type="application/json">{"product":{"name":"Desk Lamp","price":{"was":{"value":39.9,
                     "currency":"CHF"},"current":{"value":29.9,"currency":"CHF"}}}}</script>)",
                  29.9, "CHF"},
        PriceCase{"page_state_product_of_another_name",
                  "", R"(<script type="application/json">{"product":{"name":"Garden Hose","price":"9.00"}}</script>)",
                  std::nullopt, ""},
        PriceCase{"page_state_whole_number_may_count_cents",
                  "", R"(<script type="application/json">{"product":{"name":"Desk Lamp","price":2490}}</script>)",
                  std::nullopt, ""},
        PriceCase{"page_state_whole_number_of_a_currency_without_minor_units",
                  "", R"(<script type="application/json">{"product":{"name":"Desk Lamp","price":2490,
                     "currency":"JPY"}}</script>)",
                  2490.0, "JPY"},
        PriceCase{"page_state_minor_units_agreeing_with_another_source",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"price":"19.00","priceCurrency":"EUR"}}</script>
                     <meta property="og:price:amount" content="24.90"><meta property="og:price:currency" content="EUR">)",
                  R"(<script type="application/json">{"product":{"name":"Desk Lamp","price":2490}}</script>)",
                  24.9, "EUR"},
        PriceCase{"view_content_event",
                  "", "<script>fbq('track', 'ViewContent', {content_ids: ['2207'], value: 45, currency: 'TWD'});</script>",
                  45.0, "TWD"},
        PriceCase{"view_event_named_again_with_its_parameters",
                  "", R"(<script>var preview = 1; analytics.track("Product Viewed"); analytics.track('PRODUCT VIEWED',
                     {value: 31.5, currency: 'EUR'});</script>)",
                  31.5, "EUR"},
        PriceCase{"data_price_amount",
                  "", R"(<h1>Lamp</h1><span data-price-amount="12.348401" data-price-type="finalPrice"></span>
                     <span data-price-amount="11.95" data-price-type="oldPrice"></span>)",
                  12.35, ""},
        PriceCase{"a_no_slider_class_is_no_carousel",
                  "", R"(<h1>Lamp</h1><div class="col-right no-slider"><div itemprop="offers" itemscope>
                     <meta itemprop="price" content="17.10"><meta itemprop="priceCurrency" content="EUR"></div></div>)",
                  17.1, "EUR"},
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
        PriceCase{"rdfa_schema_property",
                  "", R"(<div vocab="https://schema.org/" typeof="Offer"><span property="schema:price" content="59.00">59</span>
                     <meta property="schema:priceCurrency" content="GBP"></div>)",
                  59.0, "GBP"},
        PriceCase{"open_graph_price_text", R"(<meta property="og:price" content="45,000원~">)", "", 45000.0, "KRW"},
        PriceCase{"product_card_price",
                  R"(<meta name="twitter:data2" content="blue"><meta name="twitter:label2" content="Colour">
                     <meta name="twitter:data1" content="€41.30"><meta name="twitter:label1" content="Price">)",
                  "", 41.3, "EUR"},
        PriceCase{"sale_price_with_an_end_date_gives_way_to_the_regular_one",
                  R"(<meta property="product:price:amount" content="40"><meta property="product:price:currency" content="EUR">
                     <meta property="product:sale_price:amount" content="30">
                     <meta property="product:sale_price_dates:end" content="2020-01-31">)",
                  "", 40.0, "EUR"},
        PriceCase{"json_ld_variant_the_link_names",
                  R"(<script type="application/ld+json">{"@type":"ProductGroup","hasVariant":[
                     {"@type":"Product","sku":"L-RED","offers":{"price":"20","priceCurrency":"EUR"}},
                     {"@type":"Product","sku":"L-BLUE","offers":{"price":"25","priceCurrency":"EUR"}}]}</script>)",
                  "", 20.0, "EUR"},
        PriceCase{"json_ld_list_price_specification_skipped",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"priceSpecification":[
                     {"priceType":"https://schema.org/ListPrice","price":50,"priceCurrency":"EUR"},
                     {"price":35,"priceCurrency":"EUR"}]}}</script>)",
                  "", 35.0, "EUR"},
        PriceCase{"json_ld_recommended_and_per_kilogram_price_specifications_skipped",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"priceSpecification":[
                     {"priceType":"https://schema.org/MSRP","price":9.49,"priceCurrency":"EUR"},
                     {"price":15.98,"priceCurrency":"EUR","referenceQuantity":{"value":1,"unitCode":"KGM"}},
                     {"price":7.99,"priceCurrency":"EUR"}]}}</script>)",
                  "", 7.99, "EUR"},
        PriceCase{"json_ld_event_ticket",
                  R"(<script type="application/ld+json">{"@type":"Event","name":"Show","offers":{"price":"4590",
                     "priceCurrency":"CLP"}}</script>)",
                  "", 4590.0, "CLP"},
        PriceCase{"json_ld_grouped_amount_in_a_currency_without_minor_units",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"price":"24.990",
                     "priceCurrency":"CLP"}}</script>)",
                  "", 24990.0, "CLP"},
        PriceCase{"microdata_price_of_a_listed_product_skipped",
                  "", R"(<ul itemscope itemtype="https://schema.org/ItemList"><li itemprop="itemListElement" itemscope
                     itemtype="https://schema.org/Product"><meta itemprop="price" content="5"></li></ul>)",
                  std::nullopt, ""},
        PriceCase{"declared_currency_for_an_amount_written_without_one",
                  R"(<meta property="og:price:currency" content="SEK">)",
                  R"(<span itemprop="price">1 299</span>)", 1299.0, "SEK"},
        PriceCase{"ambiguous_symbol_takes_the_declared_currency",
                  R"(<meta property="og:price:currency" content="CAD">)",
                  R"(<h1>Lamp</h1><div class="price">$24.99</div>)", 24.99, "CAD"},
        PriceCase{"view_item_event_items",
                  "", R"(<script>gtag("event", "view_item", {currency: "EUR", items: [{item_id: "A1", price: 12.5}]});</script>)",
                  12.5, "EUR"},
        PriceCase{"viewed_product_event",
                  "", R"(<script>analytics.track("Viewed Product", {"currency":"EUR","price":"329.00","sku":"3304518"});</script>)",
                  329.0, "EUR"},
        PriceCase{"state_assignment_with_product_key",
                  "", R"(<script>window.__INITIAL_STATE__ = {"page":{"product":{"title":"Desk Lamp","salePrice":{"now":"24.50"},
                     "currency":"GBP"}}};</script>)",
                  24.5, "GBP"},
        PriceCase{"json_ld_in_a_comment",
                  R"(<script type="application/ld+json"><!-- {"@type":"Product","offers":{"price":"7.25","priceCurrency":"USD"}} --></script>)",
                  "", 7.25, "USD"},
        PriceCase{"json_ld_main_entity_of_a_web_page",
                  R"(<script type="application/ld+json">{"@type":"WebPage","mainEntity":{"@type":["Product","Thing"],
                     "offers":[{"@type":"Offer"},{"@type":"Offer","price":"64.00","priceCurrency":"EUR"}]}}</script>)",
                  "", 64.0, "EUR"},
        PriceCase{"json_ld_aggregate_offer_in_a_product",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"@type":"AggregateOffer",
                     "lowPrice":11.5,"highPrice":19,"priceCurrency":"CHF"}}</script>)",
                  "", 11.5, "CHF"},
        PriceCase{"visible_price_in_navigation_skipped",
                  "", R"(<nav><span class="price">€ 1,00</span></nav><h1>Lamp</h1><p>Nice lamp</p>)", std::nullopt, ""},
        PriceCase{"visible_saving_and_former_price_words_are_not_prices",
                  "", R"(<h1>Lamp</h1><span class="price-note">save € 5,00</span><span class="price">statt 49,99 €</span>)",
                  std::nullopt, ""},
        PriceCase{"former_price_named_in_one_word",
                  "", R"(<h1>Lamp</h1><div><span class="oldprice">49,00 €</span><span class="price">29,00 €</span></div>)",
                  29.0, "EUR"},
        PriceCase{"visible_price_with_cents_set_apart",
                  "", R"(<h1>Lamp</h1><div class="price">$249<sup>99</sup></div>)", 249.99, "USD"},
        PriceCase{"visible_price_with_cents_set_apart_after_grouped_units",
                  "", R"(<h1>Lamp</h1><div class="product-price"><b>1.299</b><i>50</i> €</div>)", 1299.5, "EUR"},
        PriceCase{"box_whose_text_starts_with_an_instalment_or_unit_price",
                  "", R"(<h1>Lamp</h1><div class="product-price"><span class="unit-price">1 kg = 15,98 €</span></div>
                         <div class="price-box"><span class="cuotas">12 cuotas sin interés de $ 1.250</span>
                         <span class="product-price">$ 15.000</span></div>)",
                  15000.0, "USD"},
        PriceCase{"visible_price_with_a_tax_note",
                  "", R"(<h1>Lampe</h1><div class="product-price">49,99 € inkl. MwSt.</div>)", 49.99, "EUR"},
        PriceCase{"data_price_inside_a_struck_element_skipped",
                  "", R"(<h1>Lamp</h1><del><span data-price="40.00"></span></del>)", std::nullopt, ""},
        PriceCase{"the_vote_beats_a_single_structured_source",
                  R"(<script type="application/ld+json">{"@type":"Product","offers":{"price":"18.00","priceCurrency":"EUR"}}</script>)",
                  R"(<h1>Book</h1><div itemprop="offers" itemscope><meta itemprop="price" content="21.30"></div>
                     <span data-price-amount="21.3"></span><div class="price">€ 21,30</div>)",
                  21.3, "EUR"}};

INSTANTIATE_TEST_SUITE_P(Sources, ExtendedPrice, testing::ValuesIn(kPriceCases));

TEST(ExtendedPrice, StandardModeIgnoresTheNewSources) {
  const std::string html = page("", R"(<span itemprop="price">24.50</span><h1>Lamp</h1><div class="price">€ 24,90</div>)");
  EXPECT_FALSE(parse(html, ExtractionMode::standard).price.has_value());
  // And it still guesses the dollar where the extended mode reads the page's currency.
  const std::string woo = page("", R"(<h1>Lamp</h1><p class="price"><span class="woocommerce-Price-amount amount"><bdi>15.00&nbsp;<span
      class="woocommerce-Price-currencySymbol">&euro;</span></bdi></span></p>)");
  const MetadataResult standard = parse(woo, ExtractionMode::standard);
  const MetadataResult extended = parse(woo, ExtractionMode::extended);
  ASSERT_TRUE(standard.price && extended.price);
  EXPECT_EQ(standard.price->currency, "USD");
  EXPECT_EQ(extended.price->amount, 15.0);
  EXPECT_EQ(extended.price->currency, "EUR");
}

TEST(ExtendedPrice, VisiblePriceFarFromTheProductIsNotItsPrice) {
  std::string filler;
  for (int k = 0; k < 400; ++k) filler += "<i>x</i>";
  const std::string near = page("", R"(<h1>Lamp</h1><div class="price">€ 3,00</div>)" + filler);
  const std::string far = page("", "<h1>Lamp</h1>" + filler + R"(<div class="price">€ 3,00</div>)");
  EXPECT_TRUE(parse(near, ExtractionMode::extended).price.has_value());
  EXPECT_FALSE(parse(far, ExtractionMode::extended).price.has_value());
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
                  "mpn":"402217"}</script>)", "https://shop.example/p", "402217"},
        SkuCase{"microdata_element_text_first_word", R"(<span itemprop="productID"> AB1204-55 Lampe de bureau </span>)",
                "https://shop.example/p", "AB1204-55"},
        SkuCase{"meta_retailer_item_id", R"(<meta property="product:retailer_item_id" content="9781234567897">)",
                "https://shop.example/p", "9781234567897"},
        SkuCase{"data_attribute", R"(<button class="wishlist" data-sku="40311BX82QLT">Save</button>)",
                "https://shop.example/p", "40311BX82QLT"},
        SkuCase{"hidden_form_field", R"(<form><input type="hidden" name="sku" value="30127745"></form>)",
                "https://shop.example/p", "30127745"},
        SkuCase{"label_and_value_in_one_text", "<p>Item #20417</p>", "https://shop.example/p", "20417"},
        SkuCase{"label_then_value_in_the_next_cell", "<table><tr><th>Artikelnummer</th><td>1357247</td></tr></table>",
                "https://shop.example/p", "1357247"},
        SkuCase{"label_after_a_word", "<div>Shop item number:</div><div>220931857764</div>",
                "https://shop.example/p", "220931857764"},
        SkuCase{"label_after_two_words_in_capitals", "<div>OUR SHOP ITEM NO.</div><div>A-55120</div>",
                "https://shop.example/p", "A-55120"},
        SkuCase{"cyrillic_label", "<span>Код: 61428</span>", "https://shop.example/p", "61428"},
        SkuCase{"east_asian_label", "<td>〈商品編號：K2041733〉</td>", "https://shop.example/p", "K2041733"},
        SkuCase{"label_with_punctuation", "<li>Art.-Nr.: 500723118</li>", "https://shop.example/p", "500723118"},
        SkuCase{"indonesian_label", "<dl><dt>Kode produk</dt><dd>ID-88213</dd></dl>", "https://shop.example/p",
                "ID-88213"},
        SkuCase{"hebrew_abbreviation_label", R"(<dl><dt>מק"ט</dt><dd>77120</dd></dl>)", "https://shop.example/p",
                "77120"},
        SkuCase{"french_label", "<p>Référence : AB-120455</p>", "https://shop.example/p", "AB-120455"},
        SkuCase{"spanish_label_in_a_definition_list", "<dl><dt>Código</dt><dd>98765</dd></dl>",
                "https://shop.example/p", "98765"},
        SkuCase{"label_between_direction_marks",
                "<li><span>ASIN\n\xE2\x80\x8F : \xE2\x80\x8E</span><span>B0A1C2D3E4</span></li>",
                "https://shop.example/p", "B0A1C2D3E4"},
        SkuCase{"label_and_value_in_separate_spans", R"(<div>Nr ref. <span id="refNumber">93061572</span></div>)",
                "https://shop.example/p", "93061572"},
        SkuCase{"label_without_an_item_number", "<p>SKU: N/A</p>", "https://shop.example/p", ""},
        SkuCase{"sentence_mentioning_a_label_word", "<p>Enter the product code 12345 at checkout</p>",
                "https://shop.example/p", ""},
        SkuCase{"label_in_a_carousel_is_another_products", R"(<div class="carousel"><p>SKU: 999999</p></div>)",
                "https://shop.example/p", ""},
        SkuCase{"link_item_number_as_last_resort", "", "https://shop.example/item/220931857764", "220931857764"},
        SkuCase{"link_query_item_number", "", "https://shop.example/store/1?pid=730155", "730155"},
        SkuCase{"json_ld_variant_the_link_names",
                R"(<script type="application/ld+json">{"@type":"ProductGroup","hasVariant":[
                   {"@type":"Product","sku":"L-RED","offers":{"price":"20"}},
                   {"@type":"Product","sku":"L-BLUE","offers":{"price":"25"}}]}</script>)",
                "https://shop.example/p/lamp?variant=L-BLUE", "L-BLUE"},
        SkuCase{"analytics_sku_key_over_its_id",
                R"(<script>dataLayer.push({"ecommerce":{"detail":{"products":[{"id":"5521900431","sku":"3304518",
                   "price":"499.00"}]}}});</script>)",
                "https://shop.example/p", "3304518"},
        SkuCase{"data_product_code", R"(<div data-product-code="72940315"></div>)", "https://shop.example/p", "72940315"},
        SkuCase{"a_witness_more_beats_a_stronger_field",
                R"(<script type="application/ld+json">{"@type":"Product","gtin13":"4012345678901"}</script>
                   <span itemprop="sku">DWFW-2</span><p>SKU: 4012345678901</p><span data-sku="4012345678901"></span>)",
                "https://shop.example/p", "4012345678901"},
        SkuCase{"microdata_content_shown_with_other_punctuation",
                R"(<h1>Lamp</h1><span itemprop="sku" content="5521907">552/1907</span>)",
                "https://shop.example/p/5521907", "552/1907"},
        SkuCase{"the_shown_product_code_over_hidden_variant_ids",
                R"(<script type="application/ld+json">{"@type":"Product","sku":"900417733","offers":{"price":"10"}}</script>
                   <div data-sku="900417733"></div><h1>Lamp</h1><p class="code">Product code: 61240098</p>)",
                "https://shop.example/p", "61240098"},
        SkuCase{"number_sign_set_apart_from_the_number", R"(<h1>Lamp</h1><p>Item # 4455667</p>)",
                "https://shop.example/p", "4455667"},
        SkuCase{"a_value_with_spaces_is_no_sku", R"(<span itemprop="sku" content="Unavailable at this store"></span>)",
                "https://shop.example/p", ""}));

// ---------------------------------------------------------------- brand

struct BrandCase {
  const char* name;
  const char* head;
  const char* body;
  const char* brand;  // empty: none
};

void PrintTo(const BrandCase& c, std::ostream* os) { *os << c.name; }

class ExtendedBrand : public testing::TestWithParam<BrandCase> {};

TEST_P(ExtendedBrand, NamesTheProductsBrandNotTheShop) {
  const BrandCase& c = GetParam();
  const std::string head = std::string(R"(<meta property="og:price:amount" content="10">)") + c.head;
  const MetadataResult r = parse(page(head, c.body), ExtractionMode::extended, "https://www.lamp-shop.example/p/1");
  EXPECT_EQ(r.brand.value_or(""), c.brand);
}

INSTANTIATE_TEST_SUITE_P(
    Sources, ExtendedBrand,
    testing::Values(
        BrandCase{"json_ld_brand_object", R"(<script type="application/ld+json">{"@type":"Product",
                    "brand":{"@type":"Brand","name":"Lumetta"},"offers":{"price":"10"}}</script>)", "", "Lumetta"},
        BrandCase{"json_ld_brand_name_as_a_list", R"(<script type="application/ld+json">{"@type":"Product",
                    "brand":{"@type":"Brand","name":["Lumetta"]},"offers":{"price":"10"}}</script>)", "", "Lumetta"},
        BrandCase{"json_ld_brand_by_reference_to_a_graph_node", R"(<script type="application/ld+json">{"@graph":[
                    {"@type":"Product","brand":{"@id":"/#brand"},"offers":{"price":"10"}},
                    {"@type":"Brand","@id":"/#brand","name":"Lumetta"}]}</script>)", "", "Lumetta"},
        BrandCase{"json_ld_manufacturer_when_no_brand", R"(<script type="application/ld+json">{"@type":"Product",
                    "manufacturer":{"name":"Lumetta Works"},"offers":{"price":"10"}}</script>)", "", "Lumetta Works"},
        BrandCase{"microdata_brand_item_name", "",
                  R"(<div itemprop="brand" itemscope itemtype="https://schema.org/Brand"><img src="l.png">
                     <span itemprop="name">Lumetta</span></div>)", "Lumetta"},
        BrandCase{"microdata_brand_text_after_its_label", "",
                  R"(<h5 itemprop="brand"><span>More from the brand: </span><a href="/b">Lumetta</a></h5>)", "Lumetta"},
        BrandCase{"product_brand_meta", R"(<meta property="product:brand" content="Lumetta">)", "", "Lumetta"},
        BrandCase{"label_and_name_in_one_text", "", "<h1>Desk Lamp</h1><a href=\"/s?k=lumetta\">Marke: Lumetta</a>",
                  "Lumetta"},
        BrandCase{"label_then_name_in_the_next_cell", "",
                  "<table><tr><td>Kaubamärk</td><td><a href=\"/c/1\">Lumetta</a></td></tr></table>", "Lumetta"},
        BrandCase{"label_of_more_languages", "", "<table><tr><td>Marcă</td><td>Lumetta</td></tr></table>", "Lumetta"},
        BrandCase{"maker_label_when_no_brand", "", "<ul><li>Manufacturer : <span>Lumetta Works</span></li></ul>",
                  "Lumetta Works"},
        BrandCase{"analytics_product_brand", "",
                  R"(<script>dataLayer.push({"ecommerce":{"detail":{"products":[{"id":"L1","price":"10",
                     "brand":"Lumetta"}]}}});</script>)", "Lumetta"},
        BrandCase{"by_line_under_the_heading", "", R"(<h1>Desk Lamp</h1><p>by <a href="/b/lumetta">Lumetta</a></p>)",
                  "Lumetta"},
        BrandCase{"brand_element_next_to_the_heading", "",
                  R"(<div class="pdp-brand">Lumetta</div><h1>Desk Lamp</h1>)", "Lumetta"},
        BrandCase{"brand_as_a_colour_or_a_logo_is_no_brand", "",
                  R"(<a class="navbar-brand">Lamp Shop</a><h1>Desk Lamp</h1><p class="text-brand">New in</p>)", ""},
        BrandCase{"a_label_alone_in_a_menu_link_is_no_label", "",
                  R"(<nav-list><a href="/brands">Brand</a><a href="/gifts">Gift cards</a></nav-list>)", ""},
        BrandCase{"template_placeholder_is_no_brand", "", R"(<span itemprop="brand">$metabrand</span>)", ""},
        BrandCase{"empty_or_placeholder_brand_gives_way_to_the_maker",
                  R"(<script type="application/ld+json">{"@type":"Product","brand":{"@type":"Brand","name":""},
                    "manufacturer":"Lumetta Works","offers":{"price":"10"}}</script>)", "", "Lumetta Works"},
        BrandCase{"a_link_or_none_is_no_brand",
                  R"(<script type="application/ld+json">[{"@type":"Product","brand":"https://schema.org/Brand",
                    "offers":{"price":"10"}},{"@type":"Product","brand":"N/A"}]</script>)", "", ""},
        BrandCase{"site_name_is_the_shop_not_the_brand", R"(<meta property="og:site_name" content="Lamp Shop">)", "",
                  ""},
        BrandCase{"shop_named_as_the_brand_by_structured_data", R"(<meta property="og:site_name" content="Lamp Shop">
                    <script type="application/ld+json">{"@type":"Product","brand":"Lamp Shop","offers":{"price":"10"}}</script>)",
                  "", "Lamp Shop"}));

TEST(ExtendedBrand, TheSearchResultsMerchantIsNoBrand) {
  const std::string html = page(R"(<meta property="og:type" content="product"><meta property="og:price:amount" content="10">)",
                                "<h1>Desk Lamp</h1>");
  const auto request = [&](ExtractionMode mode) {
    return MetadataRequest{.html = html,
                           .direct_url = "https://shop.example/p/1",
                           .initial_title = "Desk Lamp",
                           .initial_merchant = "Lamp Outlet Store",
                           .extraction = mode};
  };
  EXPECT_EQ(DestinationMetadataParser::parse_metadata(request(ExtractionMode::standard)).brand, "Lamp Outlet Store");
  EXPECT_EQ(DestinationMetadataParser::parse_metadata(request(ExtractionMode::extended)).brand, std::nullopt);
}

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
        StockCase{"microdata_any_offer_in_stock",
                  R"(<div itemprop="offers" itemscope><link itemprop="availability" href="https://schema.org/OutOfStock"></div>
                     <div itemprop="offers" itemscope><link itemprop="availability" href="https://schema.org/InStock"></div>)",
                  StockStatus::IN_STOCK},
        StockCase{"microdata_link_href", R"(<link itemprop="availability" href="https://schema.org/PreOrder">)",
                  StockStatus::PREORDER},
        StockCase{"spelled_in_words", R"(<meta itemprop="availability" content="out of stock">)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"enabled_add_to_cart_button", R"(<h1>Lamp</h1><button class="btn add-to-cart">Add to cart</button>)",
                  StockStatus::IN_STOCK},
        StockCase{"sold_out_wording_in_the_shops_language",
                  R"(<h1>Lampe</h1><div id="availability"><span>Derzeit nicht verfügbar.</span></div>)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"open_graph_availability", R"(<meta property="og:availability" content="instock">)",
                  StockStatus::IN_STOCK},
        StockCase{"page_state_flag",
                  R"(<script type="application/json">{"product":{"name":"Desk Lamp","price":"20","inStock":false}}</script>)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"group_in_stock_when_any_variant_is",
                  R"(<script type="application/ld+json">{"@type":"ProductGroup","name":"Lamp","hasVariant":[
                       {"@type":"Product","sku":"L-1","offers":{"price":"9","availability":"OutOfStock"}},
                       {"@type":"Product","sku":"L-2","offers":{"price":"9","availability":"InStock"}}]}</script>)",
                  StockStatus::IN_STOCK},
        StockCase{"add_to_cart_button_saying_sold_out",
                  R"(<h1>Lamp</h1><button class="add-to-cart" disabled>Sold out</button>)", StockStatus::OUT_OF_STOCK},
        StockCase{"hidden_add_to_cart_gives_way_to_sold_out_wording",
                  R"(<h1>Lamp</h1><p class="stock-note">Sold out</p>
                     <form class="product-form" style="display: none"><button class="add-to-cart">Add to cart</button></form>)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"hidden_sold_out_notice_is_a_template",
                  R"(<h1>Lamp</h1><div class="unavailable-alert" style="display: none"><p>Sold out</p></div>
                     <p class="stock-info">In stock</p>)",
                  StockStatus::IN_STOCK},
        StockCase{"add_to_cart_shown_from_a_breakpoint_on",
                  R"(<h1>Lamp</h1><button class="add-to-cart d-none d-md-block">Add to cart</button>)", StockStatus::IN_STOCK},
        StockCase{"cart_controls_and_stock_of_a_product_list_are_not_the_products",
                  R"(<h1>Lamp</h1><p class="stock-note">Sold out</p>
                     <ul class="grid">
                     <li><a href="/p/1">Vase 1</a><button class="btn add-to-cart">Add to cart</button><span class="tile-stock">In stock</span></li>
                     <li><a href="/p/2">Vase 2</a><button class="btn add-to-cart">Add to cart</button><span class="tile-stock">In stock</span></li>
                     <li><a href="/p/3">Vase 3</a><button class="btn add-to-cart">Add to cart</button><span class="tile-stock">In stock</span></li>
                     <li><a href="/p/4">Vase 4</a><button class="btn add-to-cart">Add to cart</button><span class="tile-stock">In stock</span></li></ul>)",
                  StockStatus::OUT_OF_STOCK},
        StockCase{"disabled_add_to_cart_alone_says_nothing",
                  R"(<h1>Lamp</h1><button class="add-to-cart" disabled>Add to cart</button>)", std::nullopt},
        StockCase{"in_stock_wording", R"(<h1>Lampe</h1><p class="stock-info">Auf Lager, sofort lieferbar</p>)",
                  StockStatus::IN_STOCK},
        StockCase{"structured_availability_before_wording",
                  R"(<link itemprop="availability" href="http://schema.org/InStock"><div class="availability">Ausverkauft</div>)",
                  StockStatus::IN_STOCK},
        StockCase{"size_inside_a_longer_class_word_is_no_variant_chooser",
                  R"(<h1>Libro</h1><div class="basic-info imagesize-xl"><div class="availability">Subito disponibile</div></div>)",
                  StockStatus::IN_STOCK},
        StockCase{"sold_out_size_is_about_a_variant",
                  R"(<h1>Shoe</h1><ul class="size-list"><li class="stock">42 - sold out</li></ul>)", std::nullopt},
        StockCase{"sold_out_option_is_about_a_variant",
                  R"(<h1>Shoe</h1><ul class="product-options"><li class="option stock-out">Red - sold out</li></ul>)",
                  std::nullopt},
        // What says nothing about the stock.
        StockCase{"availability_value_that_names_no_state", R"(<meta itemprop="availability" content="see store">)",
                  std::nullopt},
        StockCase{"wishlist_button_is_no_cart", R"(<h1>Lamp</h1><button class="wishlist">Add to wishlist</button>)",
                  std::nullopt},
        StockCase{"stock_words_inside_a_script",
                  R"(<h1>Lamp</h1><script>var labels = {soldOut: "Sold out", inStock: "In stock"};</script>)",
                  std::nullopt},
        StockCase{"page_state_without_a_stock_flag",
                  R"(<script type="application/json">{"product":{"name":"Desk Lamp","sku":"DL-1"}}</script>)",
                  std::nullopt}));

TEST(LinkIdentifier, ReadsItemNumbersOfLinks) {
  struct Case {
    const char* url;
    const char* id;  // empty: none
  };
  const Case cases[] = {
      {"https://www.shop.example/item/220931857764", "220931857764"},
      {"https://www.shop.example/dp/B0F9E8D7C6", "B0F9E8D7C6"},
      {"https://shop.example/kitchen/pans/Brand_PN_2210-3318402.html", "3318402"},
      {"https://shop.example/Brand-Model-x20031177.php", "20031177"},
      {"https://shop.example/de/tischlampe-10322?sku=4417210", "4417210"},
      {"https://shop.example/p/desk-lamp", ""},
      {"https://shop.example/category/12345/", ""},  // five digits: a category more often than an item
      {"https://shop.example/p/desk-lamp?utm_id=123456789", ""},
  };
  const std::string html = "<html><body></body></html>";
  for (const Case& c : cases) {
    const ext::Evidence e = ext::gather(korvane::commerce::detail::ValidUtf8{html}, c.url);
    std::string found;
    for (const auto& sku : e.skus) {
      if (sku.source == ext::Source::link) found = sku.value;
    }
    EXPECT_EQ(found, c.id) << c.url;
  }
}

TEST(ExtendedMode, BrokenPagesGiveWhatCanBeRead) {
  struct Case {
    const char* name;
    std::string body;
    std::optional<double> amount;
  };
  const auto repeat = [](std::string_view unit, int times) {
    std::string out;
    for (int k = 0; k < times; ++k) out += unit;
    return out;
  };
  const Case cases[] = {
      {"json_ld_with_mismatched_brackets_then_meta",
       R"(<script type="application/ld+json">{"@type":"Product","offers":[{"price":"5"}}</script>)"
       R"(<meta property="og:price:amount" content="8">)",
       8.0},
      {"analytics_literal_never_closed", "<script>dataLayer.push({'ecommerce': {'detail': [[[{</script>", std::nullopt},
      {"attribute_value_never_closed", R"(<span itemprop="price" content="9">x</span><div class="a)", 9.0},
      {"nesting_deeper_than_followed", repeat("<div>", 5000) + R"(<span itemprop="price" content="12.00"></span>)",
       12.0},
      {"invalid_bytes_in_a_price_text", "<h1>L</h1><div class=\"price\">\xFF\xFE \xE2\x82\xAC 7,50</div>", 7.5},
      {"nul_bytes", std::string("<h1>L</h1><div class=\"price\">\0\0\xE2\x82\xAC 6</div>", 41), 6.0},
      {"a_tag_of_many_attributes_before_the_price",
       "<div " + repeat("a ", 70000) + R"(></div><span itemprop="price" content="4"></span>)", 4.0},
  };
  for (const Case& c : cases) {
    const MetadataResult r = parse(page("", c.body), ExtractionMode::extended);
    if (c.amount) {
      ASSERT_TRUE(r.price.has_value()) << c.name;
      EXPECT_DOUBLE_EQ(r.price->amount, *c.amount) << c.name;
    } else {
      EXPECT_FALSE(r.price.has_value()) << c.name;
    }
  }
}

// ---------------------------------------------------------------- page type

TEST(ExtendedPageType, AStructuredOfferWithACartMakesAProductPage) {
  // og:type article, but a priced offer and an add-to-cart button: a shop's page.
  const std::string html = page(R"(<meta property="og:type" content="article">
      <script type="application/ld+json">{"@type":"Product","offers":{"price":"9","priceCurrency":"EUR"}}</script>)",
                                R"(<h1>Lamp</h1><button class="add-to-cart">Add to cart</button>)");
  EXPECT_EQ(parse(html, ExtractionMode::standard).page_type, korvane::models::PageType::PRODUCT);
  const std::string article = page(R"(<meta property="og:type" content="article">
      <meta property="og:price:amount" content="9">)", "<h1>News</h1>");
  EXPECT_EQ(parse(article, ExtractionMode::standard).page_type, korvane::models::PageType::ARTICLE);
  EXPECT_EQ(parse(article, ExtractionMode::extended).page_type, korvane::models::PageType::ARTICLE);
  const std::string shop = page(R"(<meta property="og:type" content="article">
      <meta property="og:price:amount" content="9"><meta property="og:availability" content="instock">)", "<h1>Lamp</h1>");
  EXPECT_EQ(parse(shop, ExtractionMode::extended).page_type, korvane::models::PageType::PRODUCT);
}

TEST(ExtendedPageType, SocialPagesAreNotMined) {
  const std::string html = page(R"(<meta property="og:price:amount" content="9">)", R"(<div class="price">€ 9</div>)");
  const MetadataResult r = parse(html, ExtractionMode::extended, "https://www.instagram.com/p/1");
  EXPECT_EQ(r.page_type, korvane::models::PageType::SOCIAL);
  EXPECT_EQ(r, parse(html, ExtractionMode::standard, "https://www.instagram.com/p/1"));
}

TEST(ExtendedMode, StandardRequestEqualsThePositionalForm) {
  const NormalizedPrice serp("$30", 30.0, "USD");
  for (const PriceCase& c : kPriceCases) {
    const std::string html = page(c.head, c.body);
    const MetadataResult positional = DestinationMetadataParser::parse_metadata(
        html, "https://shop.example/p/desk-lamp", "Shop now", "Example Store", serp, true, 4);
    const MetadataResult named = DestinationMetadataParser::parse_metadata(
        MetadataRequest{.html = html,
                        .direct_url = "https://shop.example/p/desk-lamp",
                        .initial_title = "Shop now",
                        .initial_merchant = "Example Store",
                        .initial_price = serp,
                        .initial_stock = true,
                        .rank = 4});
    EXPECT_EQ(positional, named) << c.name;
  }
}

// ---------------------------------------------------------------- the decision

ext::Evidence evidence(std::vector<ext::PriceCandidate> prices, std::vector<ext::SkuCandidate> skus = {},
                       std::vector<std::string> declared = {}) {
  ext::Evidence e;
  e.prices = std::move(prices);
  e.skus = std::move(skus);
  e.declared_currencies = std::move(declared);
  return e;
}

TEST(Decision, PriceByWeightedVote) {
  using S = ext::Source;
  struct Case {
    const char* name;
    ext::Evidence e;
    double amount;
    const char* currency;
    bool settled;  // no visible price could change it
  };
  const Case cases[] = {
      {"one_structured_source", evidence({{19.99, "EUR", S::json_ld, 0}}), 19.99, "EUR", true},
      {"two_weaker_sources_outvote_json_ld",
       evidence({{18.0, "EUR", S::json_ld, 0}, {17.1, "", S::microdata, 0}, {17.1, "EUR", S::data_attributes, 0}}),
       17.1, "EUR", false},
      {"a_tie_goes_to_the_more_trusted", evidence({{10.0, "", S::meta_tags, 0}, {12.0, "", S::microdata, 0}}), 12.0, "",
       false},
      {"each_source_votes_once_with_its_best",
       evidence({{5.0, "", S::microdata, 3}, {7.0, "", S::microdata, 0}, {9.0, "", S::visible_price, 0}}), 7.0, "",
       false},
      {"a_source_of_several_amounts_votes_for_the_one_another_chose",
       evidence({{18.0, "", S::microdata, 0}, {17.1, "", S::microdata, 1}, {17.1, "EUR", S::visible_price, 0},
                 {18.0, "EUR", S::visible_price, 1}}),
       17.1, "EUR", false},
      {"currency_of_the_most_trusted_backer_else_declared",
       evidence({{8.0, "", S::microdata, 0}, {8.0, "", S::analytics, 0}}, {}, {"PLN"}), 8.0, "PLN", true},
      {"visible_price_alone", evidence({{3.5, "GBP", S::visible_price, 0}}), 3.5, "GBP", false},
  };
  for (const Case& c : cases) {
    const auto d = ext::decide(c.e, "https://shop.example/p");
    ASSERT_TRUE(d.price.has_value()) << c.name;
    EXPECT_DOUBLE_EQ(d.price->amount, c.amount) << c.name;
    EXPECT_EQ(d.price->currency, c.currency) << c.name;
    EXPECT_EQ(ext::price_settled(c.e), c.settled) << c.name;
  }
  EXPECT_FALSE(ext::decide(evidence({{3.5, "GBP", S::visible_price, 0}}), "u").price->structured);
}

TEST(Decision, SkuByFieldWitnessesAndLink) {
  using S = ext::Source;
  using F = ext::IdField;
  struct Case {
    const char* name;
    std::vector<ext::SkuCandidate> skus;
    const char* url;
    const char* sku;
  };
  const Case cases[] = {
      {"sku_field_over_gtin", {{"4006381333931", S::json_ld, F::gtin}, {"TS-1", S::json_ld, F::sku}}, "https://s.example/p",
       "TS-1"},
      {"agreeing_witnesses_over_one_stronger_field",
       {{"A-1", S::json_ld, F::sku}, {"B-2", S::microdata, F::product_id}, {"B-2", S::data_attributes, F::sku},
        {"B-2", S::analytics, F::sku}},
       "https://s.example/p", "B-2"},
      {"the_link_is_no_witness_but_a_bonus",
       {{"A-1", S::microdata, F::sku}, {"77777", S::data_attributes, F::sku, true}, {"77777", S::link, F::link}},
       "https://s.example/p/77777", "A-1"},
      {"implausible_values_are_left_out", {{"not a sku", S::json_ld, F::sku}, {"K-9", S::item_label, F::sku}},
       "https://s.example/p", "K-9"},
      {"link_alone_is_the_last_resort", {{"123456789", S::link, F::link}}, "https://s.example/itm/123456789", "123456789"},
      {"a_labelled_number_beats_hidden_ids",
       {{"55512345", S::json_ld, F::sku}, {"55512345", S::data_attributes, F::sku}, {"A-204", S::item_label, F::sku}},
       "https://s.example/p", "A-204"},
      {"a_structured_number_the_page_shows_stays",
       {{"SHOWN-1", S::json_ld, F::sku}, {"A-204", S::item_label, F::sku}}, "https://s.example/p", "SHOWN-1"},
  };
  for (const Case& c : cases) {
    ext::Evidence e;
    e.skus = c.skus;
    e.shown_skus = {"SHOWN-1"};
    const auto d = ext::decide(e, c.url);
    ASSERT_TRUE(d.sku.has_value()) << c.name;
    EXPECT_EQ(d.sku->value, c.sku) << c.name;
  }
}

TEST(Decision, AvailabilityFromTheMostTrustedSource) {
  ext::Evidence e;
  e.stock = {{StockStatus::OUT_OF_STOCK, ext::Source::stock_wording, 1},
             {StockStatus::IN_STOCK, ext::Source::microdata, 0},
             {StockStatus::OUT_OF_STOCK, ext::Source::add_to_cart, 0}};
  EXPECT_EQ(ext::decide(e, "u").stock->status, StockStatus::IN_STOCK);
  EXPECT_TRUE(ext::stock_settled(e));
  EXPECT_FALSE(ext::stock_settled(ext::Evidence{}));
}

TEST(ExtendedStock, BuyButtonsLabelledInTheShopsLanguages) {
  // Buttons named only by their label: no class or name says "cart".
  for (const char* label : {"Add to cart", "Jetzt kaufen", "Lägg i varukorg", "Kup teraz", "Į krepšelį", "Acheter",
                            "Masukkan ke keranjang", "Προσθήκη στο καλάθι", "カートに追加", "구매하기"}) {
    const std::string html = page(R"(<meta property="og:type" content="product">)",
                                  std::string("<h1>Item</h1><form><button class=\"btn\">") + label + "</button></form>");
    EXPECT_EQ(parse(html, ExtractionMode::extended).stock_status, StockStatus::IN_STOCK) << label;
  }
}

TEST(ExtendedStock, WordingInTheShopsLanguages) {
  struct Case {
    const char* text;
    std::optional<StockStatus> status;
  };
  const Case cases[] = {
      // Whole words and negations: no stock word inside another word.
      {"Unavailable", StockStatus::OUT_OF_STOCK},   {"Not available", StockStatus::OUT_OF_STOCK},
      {"Nicht mehr lieferbar", StockStatus::OUT_OF_STOCK},
      {"Ce produit n'est pas disponible", StockStatus::OUT_OF_STOCK},
      {"Ships to Laos and Mali", std::nullopt},
      {"Épuisé", StockStatus::OUT_OF_STOCK},        {"Agotado", StockStatus::OUT_OF_STOCK},
      {"Esaurito", StockStatus::OUT_OF_STOCK},      {"Produkt niedostępny", StockStatus::OUT_OF_STOCK},
      {"Нет в наличии", StockStatus::OUT_OF_STOCK}, {"在庫切れ", StockStatus::OUT_OF_STOCK},
      {"품절", StockStatus::OUT_OF_STOCK},          {"Esgotado", StockStatus::OUT_OF_STOCK},
      {"Uitverkocht", StockStatus::OUT_OF_STOCK},   {"Slutsåld", StockStatus::OUT_OF_STOCK},
      {"Vyprodáno", StockStatus::OUT_OF_STOCK},     {"Tükendi", StockStatus::OUT_OF_STOCK},
      {"En stock", StockStatus::IN_STOCK},          {"Disponibile", StockStatus::IN_STOCK},
      {"В наличии", StockStatus::IN_STOCK},         {"Op voorraad", StockStatus::IN_STOCK},
      {"Skladem", StockStatus::IN_STOCK},           {"In stock - ships today", StockStatus::IN_STOCK},
      {"Nav noliktavā", StockStatus::OUT_OF_STOCK}, {"Ei ole saadaval", StockStatus::OUT_OF_STOCK},
      {"Tidak tersedia", StockStatus::OUT_OF_STOCK}, {"无货", StockStatus::OUT_OF_STOCK},
      {"Nema na zalihi", StockStatus::OUT_OF_STOCK}, {"Na zalihi", StockStatus::IN_STOCK},
      {"Є в наявності", StockStatus::IN_STOCK},     {"有货", StockStatus::IN_STOCK},
      // Expected back, or to be ordered before it ships.
      {"Back in stock soon", StockStatus::OUT_OF_STOCK},
      {"Notify me when available", StockStatus::OUT_OF_STOCK},
      {"Available for pre-order", StockStatus::PREORDER},
      {"Jetzt vorbestellen", StockStatus::PREORDER},
  };
  for (const Case& c : cases) {
    const std::string html = page(R"(<meta property="og:type" content="product">)",
                                  std::string("<h1>Item</h1><div class=\"availability\">") + c.text + "</div>");
    EXPECT_EQ(parse(html, ExtractionMode::extended).stock_status, c.status) << c.text;
  }
}

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
  const auto m = korvane::commerce::detail::read_money(c.text, c.declared);
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
                    MoneyCase{"45,000원~", "", 45000.0, "KRW"},
                    MoneyCase{"₩ 45,000", "", 45000.0, "KRW"},
                    MoneyCase{"1.234.567,89 €", "", 1234567.89, "EUR"},
                    MoneyCase{"$3.179", "ARS", 3179.0, "ARS"},
                    MoneyCase{"12,5 lei", "", 12.5, "RON"},
                    MoneyCase{"0.500", "", 0.5, ""},
                    MoneyCase{"KWD 1.500", "KWD", 1.5, "KWD"},
                    MoneyCase{"120,00 95,00 Kn", "", 95.0, "HRK"},  // two amounts: the one the token stands by
                    MoneyCase{"199 kr", "SEK", 199.0, "SEK"},
                    MoneyCase{"199 kr", "", 199.0, ""},
                    MoneyCase{"$ 10", "CAD", 10.0, "CAD"},
                    MoneyCase{"$ 10", "", 10.0, "USD"},
                    MoneyCase{"Preis: 49,90 EUR", "", 49.9, "EUR"},
                    MoneyCase{"₺1.250,00", "", 1250.0, "TRY"},
                    MoneyCase{"฿990", "", 990.0, "THB"},
                    MoneyCase{"Rp 275.000", "", 275000.0, "IDR"},
                    MoneyCase{"RM 64.90", "", 64.9, "MYR"},
                    MoneyCase{"12.990 Ft", "", 12990.0, "HUF"},
                    MoneyCase{"249 ₽", "", 249.0, "RUB"},
                    MoneyCase{"1 250 грн.", "", 1250.0, "UAH"},
                    MoneyCase{"142 500 тг.", "", 142500.0, "KZT"},
                    MoneyCase{"₪ 79.90", "", 79.9, "ILS"},
                    MoneyCase{"79.90 ש\"ח", "", 79.9, "ILS"},
                    MoneyCase{"350.000₫", "", 350000.0, "VND"},
                    MoneyCase{"₦ 7,250", "", 7250.0, "NGN"},
                    MoneyCase{"185 ر.س", "", 185.0, "SAR"},
                    MoneyCase{"¥ 2,350", "", 2350.0, "JPY"},
                    MoneyCase{"¥ 2,350", "CNY", 2350.0, "CNY"},
                    MoneyCase{"Rs. 18,750", "PKR", 18750.0, "PKR"},
                    MoneyCase{"20,- €", "", 20.0, "EUR"}));

TEST(ReadMoney, WordsAreNoCurrencies) {
  // "ALL" is a code, but only upper case standing by the number counts.
  EXPECT_EQ(korvane::commerce::detail::read_money("all 25")->currency, "");
  EXPECT_EQ(korvane::commerce::detail::read_money("ALL 25")->currency, "ALL");
  EXPECT_FALSE(korvane::commerce::detail::read_money("no digits").has_value());
  EXPECT_FALSE(korvane::commerce::detail::read_money("1,234.567.890").has_value());
}

TEST(ReadMoney, CurrencyValuesOfStructuredData) {
  struct Case {
    const char* value;
    const char* code;  // empty: none
  };
  const Case cases[] = {{"eur", "EUR"}, {" EUR ", "EUR"}, {"€", "EUR"}, {"zł", "PLN"}, {"RUR", "RUB"},
                        {"R$", "BRL"},  {"$", "USD"},     {"kr", ""},   {"XYZ", ""},   {"Dollar", ""}};
  for (const Case& c : cases) {
    EXPECT_EQ(korvane::commerce::detail::currency_code_of(c.value).value_or(""), c.code) << c.value;
  }
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
      {R"([{"id": 1}, {"id": 2}] trailing; code)", R"([{"id":1},{"id":2}])"},
      {R"({`tpl`: `x`, 'q': "a \"b\""})", R"({"tpl":"x","q":"a \"b\""})"},
      {R"({a: .5, b: -2, c: 1e3, d: 0x1F, e: +7})", R"({"a":5E-1,"b":-2,"c":1E3,"d":null,"e":7})"},
      {R"({a: [1, 2], ...rest, [k]: 3, m() { return 1; }, z: 9})", R"({"a":[1,2],"z":9})"},
      {R"({"s": "line
break"})", R"({"s":"line\nbreak"})"},
      {R"({"u": "\uD83D\uDE00 \uD800 \u{1F600}"})", "{\"u\":\"\xF0\x9F\x98\x80 \xEF\xBF\xBD \xF0\x9F\x98\x80\"}"},
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

TEST(LocaleCurrency, TheCountryOfTheLinkTheLocaleOrTheLanguage) {
  struct Case {
    const char* head;
    const char* url;
    const char* currency;
  };
  const Case cases[] = {
      {"<html lang=\"es-CL\">", "https://tienda.example/p", "CLP"},
      {"<html lang=\"en-US\">", "https://shop.example.com.au/p", "AUD"},  // the link's country first
      {"<html lang=\"en\"><meta property=\"og:locale\" content=\"en_NZ\">", "https://shop.example/p", "NZD"},
      {"<html lang=\"sv\">", "https://butik.example.no/p", "NOK"},
      {"<html lang=\"en\">", "https://shop.example.co/p", ""},  // a company's domain
      {"<html lang=\"de-DE\">", "https://shop.example/p", ""},  // the euro's token names it alone
  };
  for (const Case& c : cases) {
    const std::string html = std::string(c.head) + "<title>Lamp</title><body><h1>Lamp</h1>";
    const ext::PageIndex index(korvane::commerce::detail::ValidUtf8{html});
    EXPECT_EQ(ext::locale_currency(index, c.url), c.currency) << c.head << " " << c.url;
  }
  // In a page: "$" of a Chilean shop is the peso, with no minor units.
  const MetadataResult r = parse(page(R"(<meta property="og:locale" content="es_CL">)",
                                      R"(<h1>Desk Lamp</h1><span class="price">$24.990</span>)"),
                                 ExtractionMode::extended);
  ASSERT_TRUE(r.price.has_value());
  EXPECT_EQ(r.price->amount, 24990.0);
  EXPECT_EQ(r.price->currency, "CLP");
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

TEST(PageIndex, ReadsTagsAsBrowsersDo) {
  const std::string html =
      R"(<DIV Class=price-box data-x=1><img src=a.png/><Span itemprop='price'>9</span></div>)"
      R"(<button class="btn-cart" disabled>Add</button><p class="stock">In stock<a href="/x" title="unclosed)";
  const ext::PageIndex index(korvane::commerce::detail::ValidUtf8{html});
  const auto& tags = index.tags();
  ASSERT_GE(tags.size(), 6U);
  EXPECT_EQ(tags[0].kind, ext::TagName::div);
  EXPECT_EQ(index.attribute(tags[0], "class").value_or(""), "price-box");  // unquoted, any case
  EXPECT_NE(tags[0].hints & ext::hint_price, 0);
  EXPECT_NE(tags[2].hints & ext::hint_itemprop, 0);
  EXPECT_EQ(index.element_text(0), "9");  // the img is void, the span's end tag matches without case
  std::size_t button = 0, p = 0;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i].kind == ext::TagName::button && !tags[i].closing) button = i;
    if (tags[i].kind == ext::TagName::p && !tags[i].closing) p = i;
  }
  EXPECT_NE(tags[button].hints & ext::hint_cart, 0);
  EXPECT_NE(tags[p].hints & ext::hint_stock, 0);
  // The link never ends: the index stops before it, the paragraph runs to the end.
  EXPECT_EQ(tags.back().kind, ext::TagName::p);
  EXPECT_EQ(index.element_text(p), "In stock");
}

// The index looks at 16 bytes at once for the next "<", a value's closing
// quote and the end of white space: values, names and runs of every length
// around that, also where the page ends right after them.
TEST(PageIndex, ReadsValuesAndTextOfEveryLength) {
  for (std::size_t n = 0; n <= 40; ++n) {
    SCOPED_TRACE(n);
    const std::string filler(n, 'x');
    const std::string blank(n, n % 2 == 0 ? ' ' : '\n');
    const std::string html = "<button class=\"" + filler + "Stock " + filler + "Cart\" title='" + filler + "'>" + blank +
                             "SKU: 12345</button><p data-" + filler + "price=1>" + blank;
    const ext::PageIndex index(korvane::commerce::detail::ValidUtf8{html});
    const auto& tags = index.tags();
    ASSERT_EQ(tags.size(), 3U);
    EXPECT_EQ(index.attribute(tags[0], "class").value_or(""), filler + "Stock " + filler + "Cart");
    EXPECT_EQ(index.attribute(tags[0], "title").value_or("-"), filler);
    EXPECT_EQ(tags[0].hints & (ext::hint_stock | ext::hint_cart), ext::hint_stock | ext::hint_cart);
    EXPECT_EQ(tags[2].hints & ext::hint_price, ext::hint_price);
    EXPECT_EQ(index.element_text(0), "SKU: 12345");
    const std::string_view label = index.text_after(0);
    EXPECT_EQ(index.leading_space(label), n);
    EXPECT_EQ(index.leading_space(index.text_after(2)), n);  // all white space, up to the page's end
  }
  // Names that share their first letter and length.
  const std::string names = "<script></script><select><strike><strong><source><style></style>";
  const ext::PageIndex index(korvane::commerce::detail::ValidUtf8{names});
  std::vector<ext::TagName> kinds;
  for (const ext::Tag& t : index.tags()) {
    if (!t.closing) kinds.push_back(t.kind);
  }
  EXPECT_EQ(kinds, (std::vector<ext::TagName>{ext::TagName::script, ext::TagName::select, ext::TagName::strike,
                                              ext::TagName::other, ext::TagName::other, ext::TagName::style}));
}

// An end tag that spells its element's name as the start tag does and one
// that spells it otherwise close the same elements: listed and other names,
// long names, an end tag that closes elements left open inside it, one
// that closes nothing.
TEST(PageIndex, EndTagsCloseAlikeInAnyCase) {
  const std::string html =
      "<div><my-widget><b><i>x</b>y</my-widget><section><p>a<p>b</section><span>c</em></div>"
      "<ul><li>d</li><li><textarea>e</textarea></ul><strong>f</strong></Strong>";
  std::string shouted = html;
  for (std::size_t at = shouted.find("</"); at != std::string::npos; at = shouted.find("</", at + 2)) {
    for (std::size_t k = at + 2; k < shouted.size() && shouted[k] != '>'; ++k) {
      shouted[k] = static_cast<char>(std::toupper(static_cast<unsigned char>(shouted[k])));
    }
  }
  ASSERT_NE(shouted, html);
  const ext::PageIndex as_written(korvane::commerce::detail::ValidUtf8{html});
  const ext::PageIndex otherwise(korvane::commerce::detail::ValidUtf8{shouted});
  ASSERT_EQ(as_written.tags().size(), otherwise.tags().size());
  for (std::size_t i = 0; i < as_written.tags().size(); ++i) {
    SCOPED_TRACE(i);
    const ext::Tag& a = as_written.tags()[i];
    const ext::Tag& b = otherwise.tags()[i];
    EXPECT_EQ(a.begin, b.begin);
    EXPECT_EQ(a.kind, b.kind);
    EXPECT_EQ(a.closing, b.closing);
    EXPECT_EQ(a.raw_text, b.raw_text);
    EXPECT_EQ(a.inline_element, b.inline_element);
    EXPECT_EQ(a.parent, b.parent);
    EXPECT_EQ(a.content_end, b.content_end);
  }
  EXPECT_EQ(as_written.element_text(0), "xy a b c");
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
