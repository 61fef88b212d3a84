// Embedded product data extraction: JSON-LD products, the Next.js product,
// meta tags and the title; the pattern scanning under them.
#include "commerce/metadata/embedded_data.hpp"
#include "commerce/metadata/shop_markup.hpp"
#include "commerce/metadata/patterns.hpp"
#include "text/regex.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/json.hpp>

#include <functional>
#include <stdexcept>
#include <random>
#include <string>
#include <vector>

namespace {

namespace json = boost::json;
using namespace korvane::commerce::detail;
using korvane::text::ascii_caseless;
using korvane::text::find_icase;
using ::testing::ElementsAre;
using ::testing::Pair;

std::string ld_block(std::string_view body, std::string_view open = R"(<script type="application/ld+json">)") {
  return std::string(open) + std::string(body) + "</script>";
}

// The "name" (or "@type" when there is none) of each product found.
std::vector<std::string> product_names(std::string_view html) {
  const LdJsonProducts ld = find_ld_json_products(html);
  std::vector<std::string> names;
  for (const auto* p : ld.products) {
    const json::value* name = p->if_contains("name");
    names.push_back(name != nullptr && name->is_string() ? std::string(name->get_string()) : "?");
  }
  return names;
}

std::string nested_arrays(std::size_t depth, std::string_view inner) {
  return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}

// ---------------------------------------------------------------- JSON-LD

TEST(LdJsonProducts, BlocksAreReadInOrderAndBadOnesSkipped) {
  const std::string html = ld_block("   \n ") + ld_block("{not json") +
                           ld_block(R"({"@type":"Product","name":"A"})") +
                           "<p>between</p>" +
                           ld_block(R"([{"@type":"Product","name":"B"},{"@type":"Offer"}])",
                                    R"(<SCRIPT data-x="1" type='application/LD+JSON' async>)");
  EXPECT_THAT(product_names(html), ElementsAre("A", "B"));
}

TEST(LdJsonProducts, TypeRules) {
  struct Case {
    const char* type;
    bool product;
  };
  const Case cases[] = {
      {R"("Product")", true},
      {R"("ProductGroup")", true},
      {R"("IndividualProduct")", true},
      {R"(["Thing","Product"])", true},
      {R"(["ProductGroup"])", true},
      {R"(["IndividualProduct"])", false},
      {R"("product")", false},
      {R"("Product ")", false},
      {R"({"name":"Product"})", false},
      {"null", false},
  };
  for (const auto& c : cases) {
    const std::string html = ld_block(std::string(R"({"name":"X","@type":)") + c.type + "}");
    EXPECT_EQ(find_ld_json_products(html).products.size(), c.product ? 1U : 0U) << c.type;
  }
}

TEST(LdJsonProducts, WalkOrder) {
  // "@graph" members are visited twice; a group comes before its variants;
  // products nested in products are found too.
  EXPECT_THAT(product_names(ld_block(
                  R"({"@context":"https://schema.org","@graph":[{"@type":"Organization","name":"Org"},)"
                  R"({"@type":"Product","name":"P"}]})")),
              ElementsAre("P", "P"));
  EXPECT_THAT(product_names(ld_block(
                  R"({"@type":"ProductGroup","name":"G","hasVariant":[{"@type":"Product","name":"V1"},)"
                  R"({"@type":"Product","name":"V2"}]})")),
              ElementsAre("G", "V1", "V2"));
  EXPECT_THAT(product_names(ld_block(
                  R"({"@type":"WebPage","a":{"@type":"Product","name":"A","isRelatedTo":)"
                  R"({"@type":"Product","name":"R"}},"b":[1,"x",{"@type":"Product","name":"B"}]})")),
              ElementsAre("A", "R", "B"));
  // A product's own "@graph" is walked once, as an ordinary member.
  EXPECT_THAT(product_names(ld_block(
                  R"({"@type":"Product","name":"P","@graph":[{"@type":"Product","name":"Q"}]})")),
              ElementsAre("P", "Q"));
}

TEST(LdJsonProducts, DuplicateKeysKeepTheLastValueAndOrderIsKept) {
  const LdJsonProducts ld =
      find_ld_json_products(ld_block(R"({"@type":"Thing","z":1,"a":2,"@type":"Product"})"));
  ASSERT_EQ(ld.products.size(), 1U);
  std::vector<std::string> keys;
  for (const auto& m : *ld.products[0]) keys.emplace_back(m.key());
  EXPECT_THAT(keys, ElementsAre("@type", "z", "a"));
}

TEST(LdJsonProducts, ProductsPointIntoTheParsedDocuments) {
  LdJsonProducts ld = find_ld_json_products(
      ld_block(R"({"@type":"Product","name":"A"})") + ld_block(R"({"x":{"@type":"Product"}})"));
  ASSERT_EQ(ld.products.size(), 2U);
  ASSERT_EQ(ld.documents.size(), 2U);
  EXPECT_EQ(ld.products[0], &ld.documents[0].get_object());
  EXPECT_EQ(ld.products[1], &ld.documents[1].at("x").get_object());
  const LdJsonProducts moved = std::move(ld);
  EXPECT_EQ(moved.products[0], &moved.documents[0].get_object());
  EXPECT_EQ(moved.products[0]->at("name").as_string(), "A");
}

TEST(LdJsonProducts, HostileJson) {
  const std::string product = R"({"@type":"Product","name":"deep"})";
  // Real pages nest a few levels; 900 still parses, beyond 1000 the block is invalid.
  EXPECT_THAT(product_names(ld_block(nested_arrays(900, product))), ElementsAre("deep"));
  EXPECT_THAT(product_names(ld_block(nested_arrays(999, product))), ElementsAre("deep"));
  EXPECT_TRUE(product_names(ld_block(nested_arrays(1000, product))).empty());
  EXPECT_TRUE(product_names(ld_block(nested_arrays(100'000, product))).empty());
  EXPECT_TRUE(product_names(ld_block(std::string(100'000, '{'))).empty());
  // Non-standard number tokens make the block invalid; huge numbers do not.
  EXPECT_TRUE(product_names(ld_block(R"({"@type":"Product","name":"n","price":NaN})")).empty());
  EXPECT_TRUE(product_names(ld_block(R"({"@type":"Product","name":"n","price":-Infinity})")).empty());
  EXPECT_THAT(product_names(ld_block(R"({"@type":"Product","name":"big","price":1e400,"sku":)" +
                                     std::string(400, '9') + "}")),
              ElementsAre("big"));
  // Nested "@graph" lists double the visits per level; the walk stops in time
  // and still lists the first products.
  std::string graph = R"({"@type":"Product","name":"bottom"})";
  for (int i = 0; i < 200; ++i) graph = R"({"@graph":[)" + graph + "]}";
  const auto names = product_names(ld_block(graph));
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "bottom");
}

TEST(LdJsonProducts, LoneSurrogateEscapesReadAsReplacementCharacters) {
  struct Case {
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {R"(Cool \ud83d)", "Cool \xEF\xBF\xBD"},
      {R"(\udc00x\uD800)", "\xEF\xBF\xBDx\xEF\xBF\xBD"},
      {R"(\ud83d\ude00 ok \ud83d)", "\xF0\x9F\x98\x80 ok \xEF\xBF\xBD"},
      {R"(\\ud800 \ud800)", "\\ud800 \xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    const std::string html = ld_block(std::string(R"({"@type":"Product","name":")") + c.name + R"("})");
    EXPECT_THAT(product_names(html), ElementsAre(c.expected)) << c.name;
  }
  EXPECT_TRUE(product_names(ld_block(R"({"@type":"Product","name":"\ud800)")).empty());
}

TEST(LdJsonProducts, BrokenMarkup) {
  const std::string body = R"({"@type":"Product","name":"A"})";
  // No closing tag: nothing, also for later blocks.
  EXPECT_TRUE(product_names(R"(<script type="application/ld+json">)" + body).empty());
  // No ">" to end the tag.
  EXPECT_TRUE(product_names(R"(<script type="application/ld+json")" + body).empty());
  // The body ends at the first "</script>", whatever its case.
  EXPECT_TRUE(product_names(ld_block(R"({"@type":"Product","name":"</SCRIPT>"})")).empty());
  // A quote class holds a backslash: \application/ld+json\ is a type.
  EXPECT_THAT(product_names(ld_block(body, R"(<script type=\application/ld+json\>)")), ElementsAre("A"));
  // Mixed quotes still match.
  EXPECT_THAT(product_names(ld_block(body, R"(<script type="application/ld+json'>)")), ElementsAre("A"));
  // Only ASCII letters fold: a long s (U+017F) is no "s".
  EXPECT_TRUE(product_names(ld_block(body, "<\xC5\xBF" "cript type=\"application/ld+json\">")).empty());
  // Invalid UTF-8 around and inside a block.
  EXPECT_THAT(product_names("\xFF\xFE" + ld_block(R"({"@type":"Product","name":"A)" "\xC3" R"("})")),
              ElementsAre("A\xEF\xBF\xBD"));
}

// ---------------------------------------------------------------- Next.js

std::string next_block(std::string_view body, std::string_view open = R"(<script id="__NEXT_DATA__" type="application/json">)") {
  return std::string(open) + std::string(body) + "</script>";
}

// The product as compact JSON, or "none".
std::string next_product_json(std::string_view html) {
  const NextDataProduct next = find_next_data_product(html);
  return next.product == nullptr ? "none" : json::serialize(*next.product);
}

TEST(NextDataProduct, Cases) {
  struct Case {
    std::string html;
    const char* expected;
  };
  const auto props = [](std::string_view page_props) {
    return next_block(std::string(R"({"props":{"pageProps":)") + std::string(page_props) + "}}");
  };
  const Case cases[] = {
      {props(R"({"product":{"name":"P","sku":"1"}})"), R"({"name":"P","sku":"1"})"},
      {props(R"({"product":{}})"), "{}"},
      {props(R"({"item":{"a":1},"productTemplate":{"b":2}})"), R"({"b":2})"},
      {props(R"({"product":"text","productDetails":{"d":1}})"), R"({"d":1})"},
      {props(R"({"data":{"x":{"brand":"B","name":"N"}}})"), R"({"brand":"B","name":"N"})"},
      {props(R"({"data":{"x":{"brand":"B","price":3}}})"), "none"},
      {props(R"({"brandName":null,"sku":null,"x":{"brand":"B","name":"N"}})"),
       R"({"brandName":null,"sku":null,"x":{"brand":"B","name":"N"}})"},
      {props(R"({"list":[{"brand":"B","name":"N"}],"later":{"brand":"C","sku":"2"}})"),
       R"({"brand":"C","sku":"2"})"},
      {props(R"({"a":{"b":{"brand":"deep","name":"1"}},"c":{"brand":"late","name":"2"}})"),
       R"({"brand":"deep","name":"1"})"},
      {props("[]"), "none"},
      {props("null"), "none"},
      {next_block(R"({"props":[1]})"), "none"},
      {next_block(R"([{"props":{}}])"), "none"},
      {next_block(R"({"other":{"pageProps":{"product":{"a":1}}}})"), "none"},
      {next_block(R"({"props":{"pageProps":{"product":{"a":1}}}} trailing)"), "none"},
      {next_block(R"({"props":{"pageProps":{"product":{"a":NaN}}}})"), "none"},
      // Case-sensitive, and only the first matching script counts.
      {next_block(R"({"props":{"pageProps":{"product":{"a":1}}}})", R"(<SCRIPT id="__NEXT_DATA__">)"), "none"},
      {next_block(R"({"props":{"pageProps":{"product":{"a":1}}}})", R"(<script id='__next_data__'>)"), "none"},
      {next_block("{") + props(R"({"product":{"a":1}})"), "none"},
      {"<script id=x>" + props(R"({"product":{"a":2}})"), R"({"a":2})"},
      {next_block(R"({"props":{"pageProps":{"product":{"a":1}}}})", R"(<script id="__NEXT_DATA__")"), "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(next_product_json(c.html), c.expected) << c.html;
}

TEST(NextDataProduct, DeepNestingIsRefusedNotFollowed) {
  std::string deep = R"({"brand":"B","name":"N"})";
  for (int i = 0; i < 950; ++i) deep = R"({"x":)" + deep + "}";
  EXPECT_EQ(next_product_json(next_block(R"({"props":{"pageProps":)" + deep + "}}")),
            R"({"brand":"B","name":"N"})");
  std::string deeper;
  for (int i = 0; i < 100'000; ++i) deeper += R"({"x":)";
  deeper += R"({"brand":"B","name":"N"})" + std::string(100'000, '}');
  EXPECT_EQ(next_product_json(next_block(R"({"props":{"pageProps":)" + deeper + "}}")), "none");
}

TEST(NextDataProduct, ProductPointsIntoTheDocument) {
  NextDataProduct next =
      find_next_data_product(next_block(R"({"props":{"pageProps":{"product":{"name":"P"}}}})"));
  ASSERT_NE(next.product, nullptr);
  EXPECT_EQ(next.product, &next.document.at("props").at("pageProps").at("product").get_object());
  const NextDataProduct moved = std::move(next);
  EXPECT_EQ(moved.product->at("name").as_string(), "P");
}

// ---------------------------------------------------------------- meta tags

TEST(MetaTags, Extraction) {
  const std::string html =
      R"(<meta property="og:title" content="First">)"
      R"(<META content='Second' PROPERTY='OG:Title'>)"           // any order, any case; later wins
      R"(<meta name="description" content="">)"                  // empty content: not recorded
      R"(<meta name="keywords" content="   ">)"                  // blank content: not recorded
      R"(<meta name="  " content="x">)"                          // blank key: not recorded
      R"(<meta data-name="suffix" content="counts">)"            // an attribute ending in "name"
      R"(<meta content="a &amp; b" name="amp">)"                 // values are not decoded
      R"(<meta name=\slash\ content=\back\>)"                    // a backslash quotes too
      R"(<meta name="mixed' content='quotes">)"                  // a quote of one kind closes the other
      R"(<meta charset="utf-8">)"                                // no name/property
      R"(<meta property="x" content="a"b">)"                     // the value ends at the quote
      "<meta\xC2\xA0name=\"nbsp\" content=\"1\">"               // Unicode white space after <meta
      "<meta\xC2\x85name=\"nel\" content=\"2\">"                // U+0085 is white space
      "<meta\xE1\xA0\x8Ename=\"mvs\" content=\"3\">"            // U+180E is not
      "<metaname=\"glued\" content=\"4\">"                       // white space is required
      "<meta name=\"\xC3\x84\xC3\x96\" content=\" \xC3\xA4 \">"  // Unicode lower-casing and strip
      R"(<meta property="og:image" content="u1"><meta property="og:image">)";
  EXPECT_THAT(extract_meta_tags(html),
              ElementsAre(Pair("amp", "a &amp; b"), Pair("mixed", "quotes"), Pair("nbsp", "1"), Pair("nel", "2"), Pair("og:image", "u1"), Pair("og:title", "Second"),
                          Pair("slash", "back"), Pair("suffix", "counts"), Pair("x", "a"),
                          Pair("\xC3\xA4\xC3\xB6", "\xC3\xA4")));
}

// A page lists its first few thousand meta and script tags in one pass;
// the tags past them are still read.
TEST(MetaTags, TagsPastTheListedOnesAreRead) {
  const std::size_t count = PageMarkers::kListedTags + 3;
  std::string html;
  for (std::size_t i = 0; i < count; ++i) html += "<meta name=\"k" + std::to_string(i) + "\" content=\"v\"><script></script>";
  html += ld_block(R"({"@type":"Product","name":"Last"})");
  html += R"(<script id="__NEXT_DATA__">{"props":{"pageProps":{"product":{"name":"N"}}}}</script>)";
  const MetaTags meta = extract_meta_tags(html);
  EXPECT_EQ(meta.size(), count);
  EXPECT_EQ(meta.count("k" + std::to_string(count - 1)), 1U);
  EXPECT_THAT(product_names(html), ElementsAre("Last"));
  EXPECT_NE(find_next_data_product(html).product, nullptr);
}

TEST(MetaTags, BrokenMarkup) {
  EXPECT_TRUE(extract_meta_tags(R"(<meta name="a" content="b")").empty());
  EXPECT_TRUE(extract_meta_tags("<meta >").empty());
  EXPECT_THAT(extract_meta_tags("<meta <meta name=\"a\" content=\"b\">"), ElementsAre(Pair("a", "b")));
  EXPECT_THAT(extract_meta_tags("<meta name=\"k\xFF\" content=\"v\">"),
              ElementsAre(Pair("k\xEF\xBF\xBD", "v")));
}

// ---------------------------------------------------------------- title

TEST(HtmlTitle, Extraction) {
  struct Case {
    std::string html;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {"<TITLE>\nBlue   Shoe\n</TITLE>", "Blue Shoe"},
      {"<title></title>", ""},
      {"<title>  \t </title>", ""},
      {"<html><body>no title</body></html>", std::nullopt},
      {R"(<title lang="en">A &amp; B</title><title>second</title>)", "A &amp; B"},
      {"<title>unclosed", std::nullopt},
      {"<title", std::nullopt},
      {"<title>a</TITLE>", "a"},
      {"<titlex>odd</title>", "odd"},
      {"<title>one\xE2\x80\x83two\xC2\x85three</title>", "one two three"},
      {"<title>bad \xFF byte</title>", "bad \xEF\xBF\xBD byte"},
  };
  for (const auto& c : cases) EXPECT_EQ(extract_html_title(c.html), c.expected) << c.html;
}

// ---------------------------------------------------------------- shop markup

std::optional<std::string> opt(std::optional<std::string_view> v) {
  return v ? std::optional<std::string>(*v) : std::nullopt;
}

TEST(ShopMarkup, Patterns) {
  const auto woo = [](std::string_view h) { return opt(find_woocommerce_amount(ValidUtf8{h})); };
  EXPECT_EQ(woo(R"(<span class="woocommerce-Price-amount amount"><bdi><span class="woocommerce-Price-currencySymbol">&#36;</span>1,299.00</bdi></span>)"),
            "1,299.00");
  EXPECT_EQ(woo(R"(<span class='WOOCOMMERCE-PRICE-AMOUNT'>12.5</span>)"), "12");
  EXPECT_EQ(woo(R"(<span class="woocommerce-Price-amount">free</span>)"), std::nullopt);

  const auto price = [](std::string_view h) { return opt(find_microdata_price(ValidUtf8{h})); };
  EXPECT_EQ(price(R"(<meta itemprop="price" content="19.99">)"), "19.99");
  EXPECT_EQ(price(R"(<meta itemprop="price" x content="1" content="2,000.50">)"), "2,000.50");
  EXPECT_EQ(price(R"(<meta itemprop="priceCurrency" content="19.99">)"), std::nullopt);
  EXPECT_EQ(price(R"(<meta itemprop="price"><meta content="5">)"), std::nullopt);

  const auto currency = [](std::string_view h) { return opt(find_microdata_currency(ValidUtf8{h})); };
  EXPECT_EQ(currency(R"(<meta itemprop="priceCurrency" content="eur">)"), "eur");
  EXPECT_EQ(currency(R"(<meta itemprop="pricecurrency" content="EURO">)"), std::nullopt);

  const auto sku = [](std::string_view h) {
    const ValidUtf8 v{h};
    auto found = find_microdata_sku(v);
    if (!found) found = find_sku_span(v);
    if (!found) found = find_sku_data_attribute(v);
    return opt(found);
  };
  EXPECT_EQ(sku(R"(<span class="sku">S1</span><meta itemprop="sku" content="M1"><a data-product_sku="D1">)"), "M1");
  EXPECT_EQ(sku(R"(<a data-product_sku="D1"><span id=x class="product-sku">  S1 </span>)"), "  S1 ");
  EXPECT_EQ(sku(R"(<span class="sku"></span><a data-product_sku='D1'>)"), "D1");
  EXPECT_EQ(sku(R"(<meta itemprop="sku" content="a>b">)"), "a>b");

  const auto in_stock = [](std::string_view h) { return has_in_stock_class(ValidUtf8{h}); };
  EXPECT_TRUE(in_stock(R"(<p class="stock instock">)"));
  EXPECT_TRUE(in_stock(R"(<p class='InStock'>)"));
  EXPECT_FALSE(in_stock(R"(<p class="notinstock">)"));
  EXPECT_FALSE(in_stock(R"(<p class="instock_now">)"));
  EXPECT_TRUE(in_stock(R"(<p class="in-stock instock-x">)"));
  EXPECT_TRUE(has_out_of_stock_class(ValidUtf8{R"(<li class="product outofstock">)"}));
}

// ---------------------------------------------------------------- scanning helpers

TEST(ScanHelpers, AsciiCaseless) {
  EXPECT_EQ(ascii_caseless("<a>"), "<[aA]>");
  EXPECT_EQ(ascii_caseless(R"([^"\\']x\d\x{85}\p{L}(?:a|b)(?<!c))"),
            R"([^"\\'][xX]\d\x{85}\p{L}(?:[aA]|[bB])(?<![cC]))");
  EXPECT_EQ(ascii_caseless("[]a]b"), "[]a][bB]");
}

// The literal scans against plain searches of a lower-cased copy: random
// texts past two 64-byte blocks, needles starting in one block and ending in
// the next, at the very end, in other cases, empty texts and needles.
TEST(ScanHelpers, LiteralScansAgreeWithANaiveSearch) {
  std::mt19937 rng(7);
  const std::string alphabet = "aAbB<>-=/s_";
  const std::vector<std::string> needles = {"ab", "<ab", "a-b", "b=", "bab", "s", "<s>", "<", "ab=s", "bb-<a", "",
                                            "a_b_s", "<sab=", "ba<", "_bs", "s_=a-b<"};
  const auto lower_of = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (int round = 0; round < 2000; ++round) {
    std::string hay(rng() % 300, ' ');
    for (char& c : hay) c = alphabet[rng() % alphabet.size()];
    const std::string lower = lower_of(hay);
    for (const auto& n : needles) {
      const std::size_t from = rng() % (hay.size() + 2);
      const std::size_t expected = from <= lower.size() ? lower.find(n, from) : std::string::npos;
      ASSERT_EQ(find_icase(hay, n, from), expected) << hay << " / " << n << " from " << from;
      const std::size_t exact = from <= hay.size() ? hay.find(n, from) : std::string::npos;
      ASSERT_EQ(korvane::text::find_literal(hay, n, from), exact) << hay << " / " << n << " from " << from;
    }
    // Eight needles at once (three bytes or more): the first one, three or
    // all starts of each.
    std::vector<korvane::text::Needle> set;
    for (const auto& n : needles) {
      if (n.size() >= 3 && set.size() < 8) set.push_back({n, std::size_t{set.size() % 3 == 0 ? 1U : set.size() % 3 == 1 ? 3U : 1000U}});
    }
    const auto found = korvane::text::find_each_icase(hay, set);
    ASSERT_EQ(found.size(), set.size());
    for (std::size_t k = 0; k < set.size(); ++k) {
      std::vector<std::size_t> expected;
      for (std::size_t at = lower.find(set[k].lower); at != std::string::npos; at = lower.find(set[k].lower, at + 1)) {
        if (expected.size() == set[k].most) break;
        expected.push_back(at);
      }
      ASSERT_EQ(found[k], expected) << hay << " / " << set[k].lower;
    }
  }
  const std::vector<korvane::text::Needle> too_short{{"ab"}};
  EXPECT_THROW((void)korvane::text::find_each_icase("abc", too_short), std::invalid_argument);
}

// The scanning code must find exactly what a plain search with each pattern
// finds. Pages are random soups of the markup pieces the patterns react to.
class AgainstPlainSearch : public ::testing::Test {
 protected:
  static std::string soup(std::mt19937& rng, std::size_t pieces) {
    static const std::vector<std::string> parts = {
        "<script", "<SCRIPT", " ", "type=", "id=", "\"", "'", "\\", ">", "application/ld+json",
        "__NEXT_DATA__", "</script>", "{}", "<meta", "\t", "name=", "property=", "content=", "x",
        "<title", "</title>", "class=", "sku", "woocommerce-Price-amount", "<span", "</span>",
        "<bdi>", "itemprop=", "price", "priceCurrency", "12", ",", ".50", "EUR", "data-product_sku=",
        "instock", "outofstock", "-", "<", "\xC3\xA9"};
    std::string s;
    for (std::size_t i = 0; i < pieces; ++i) s += parts[rng() % parts.size()];
    return s;
  }

  // True when the tags' own pass finds the tags that the pass for every
  // marker finds.
  static bool same_tag_markers(ValidUtf8 v) {
    const AllMarkers all = find_all_markers(v);
    const PageMarkers tags = find_page_markers(v);
    return tags.meta == all.page.meta && tags.script == all.page.script && tags.next_data == all.page.next_data;
  }

  // Group 1 of every non-overlapping match of `pattern` (or only the first).
  static std::vector<std::string> plain(std::string_view pattern, RegexFlags flags, std::string_view subject,
                                        bool all) {
    const Regex re(pattern, flags);
    RegexMatch m(re);
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos <= subject.size() && re.search(subject, pos, m)) {
      out.emplace_back(m.group(subject, 1));
      if (!all) break;
      pos = m.end(0) > m.begin(0) ? m.end(0) : m.end(0) + 1;
    }
    return out;
  }
};

TEST_F(AgainstPlainSearch, RandomPages) {
  using F = RegexFlags;
  std::mt19937 rng(2024);
  for (int round = 0; round < 3000; ++round) {
    const std::string page = soup(rng, 5 + rng() % 60);
    const ValidUtf8 v{page};

    ASSERT_TRUE(same_tag_markers(v)) << page;

    // Titles.
    const auto title = plain(kTitlePattern, F::ascii_caseless | F::dotall, page, false);
    const auto got_title = extract_html_title(v);
    ASSERT_EQ(got_title.has_value(), !title.empty()) << page;

    // Meta tags: the attribute texts of all matches, compared through the map.
    MetaTags expected_meta;
    for (const auto& attrs : plain(kMetaTagPattern, F::ascii_caseless, page, true)) {
      const auto p = plain(kMetaPropertyPattern, F::ascii_caseless, attrs, false);
      const auto c = plain(kMetaContentPattern, F::ascii_caseless, attrs, false);
      if (p.empty() || c.empty()) continue;
      std::string key = p[0];
      for (char& ch : key) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      const auto trim = [](std::string s) {
        const auto b = s.find_first_not_of(" \t\n\r\f\v");
        if (b == std::string::npos) return std::string();
        return s.substr(b, s.find_last_not_of(" \t\n\r\f\v") - b + 1);
      };
      key = trim(key);
      const std::string value = trim(c[0]);
      if (!key.empty() && !value.empty()) expected_meta.insert_or_assign(key, value);
    }
    ASSERT_EQ(extract_meta_tags(v), expected_meta) << page;

    // Shop markup: the first match of each pattern, found from where the
    // page's markers stand.
    // The markers found with the tags' (the standard mode's pass), or on
    // first use.
    ShopMarkup markup = round % 2 == 0 ? ShopMarkup(v, find_all_markers(v).shop) : ShopMarkup(v);
    const struct {
      std::string_view pattern;
      std::function<std::optional<std::string_view>()> find;
    } firsts[] = {
        {kWooCommerceAmountPattern, [&] { return markup.woocommerce_amount(); }},
        {kMicrodataPricePattern, [&] { return markup.microdata_price(); }},
        {kMicrodataCurrencyPattern, [&] { return markup.microdata_currency(); }},
        {kMicrodataSkuPattern, [&] { return markup.microdata_sku(); }},
        {kSkuSpanPattern, [&] { return markup.sku_span(); }},
        {kSkuDataAttributePattern, [&] { return markup.sku_data_attribute(); }},
    };
    for (const auto& f : firsts) {
      const auto expected = plain(f.pattern, F::ascii_caseless, page, false);
      const auto got = f.find();
      ASSERT_EQ(got.has_value(), !expected.empty()) << f.pattern << "\n" << page;
      if (got) ASSERT_EQ(*got, expected[0]) << f.pattern << "\n" << page;
    }
    ASSERT_EQ(has_in_stock_class(v), !plain(kInStockClassPattern, F::ascii_caseless, page, false).empty());
    ASSERT_EQ(has_out_of_stock_class(v), !plain(kOutOfStockClassPattern, F::ascii_caseless, page, false).empty());
  }
}

// The tags' pass looks 32 bytes at a time: markers at every place of a
// block and at the page's end, and a marker after an extra "_".
TEST_F(AgainstPlainSearch, MarkersAtEveryPlace) {
  for (std::size_t n = 0; n <= 70; ++n) {
    const std::string filler(n, n % 3 == 0 ? '_' : 'x');
    for (const std::string_view tail : {"___NeXt_DaTa__<META<Script<scrip", "<meta", "__next_data_", "__next_data__"}) {
      const std::string page = filler + std::string(tail);
      ASSERT_TRUE(same_tag_markers(ValidUtf8{page})) << page;
    }
  }
}

TEST_F(AgainstPlainSearch, ScriptBlocks) {
  using F = RegexFlags;
  std::mt19937 rng(99);
  for (int round = 0; round < 3000; ++round) {
    // Bodies are valid JSON products so that every matched block shows up.
    std::string page;
    const std::size_t pieces = 3 + rng() % 30;
    for (std::size_t i = 0; i < pieces; ++i) {
      switch (rng() % 8) {
        case 0: page += R"({"@type":"Product","name":"p)" + std::to_string(i) + R"("})"; break;
        case 1: page += "</script>"; break;
        case 2: page += R"(<script type="application/ld+json">)"; break;
        case 3: page += R"(<script type='application/ld+json' )"; break;
        case 4: page += "<script"; break;
        case 5: page += ">"; break;
        case 6: page += R"( id="__NEXT_DATA__")"; break;
        default: page += soup(rng, 2); break;
      }
    }
    std::vector<std::string> expected;
    for (const auto& body : plain(kLdJsonScriptPattern, F::ascii_caseless | F::dotall, page, true)) {
      boost::system::error_code ec;
      const json::value v = json::parse(body, ec);
      if (!ec && v.is_object() && v.as_object().contains("name")) expected.emplace_back(v.at("name").as_string());
    }
    ASSERT_EQ(product_names(page), expected) << page;

    const auto next = plain(kNextDataScriptPattern, F::dotall, page, false);
    const NextDataProduct found = find_next_data_product(page);
    if (next.empty()) ASSERT_EQ(found.product, nullptr) << page;
  }
}

// ---------------------------------------------------------------- hostile pages

TEST(HostilePages, LongRunsFinish) {
  // Each would take quadratic time with a plain search of its pattern.
  const std::size_t n = 1 << 20;
  std::string scripts;
  while (scripts.size() < n) scripts += "<script";
  EXPECT_TRUE(find_ld_json_products(scripts).products.empty());
  EXPECT_TRUE(find_ld_json_products(scripts + ">").products.empty());
  EXPECT_EQ(find_next_data_product(scripts + " id=\"__NEXT_DATA__\">").product, nullptr);

  std::string typed;
  while (typed.size() < n) typed += R"(<script type="application/ld+json">{})";
  EXPECT_TRUE(find_ld_json_products(typed).products.empty());

  std::string metas;
  while (metas.size() < n) metas += "<meta name=\"a\" ";
  EXPECT_TRUE(extract_meta_tags(metas).empty());
  EXPECT_THAT(extract_meta_tags(metas + "content=\"b\">"), ElementsAre(Pair("a", "b")));

  std::string spans = "<span ";
  while (spans.size() < n) spans += "class='sku' ";
  EXPECT_EQ(find_sku_span(ValidUtf8{spans + "><b>"}), std::nullopt);
  EXPECT_EQ(opt(find_sku_span(ValidUtf8{spans + ">S</span>"})), "S");

  std::string woo;
  while (woo.size() < n) woo += "<i class='woocommerce-Price-amount' ";
  EXPECT_EQ(find_woocommerce_amount(ValidUtf8{woo + "><b>"}), std::nullopt);

  std::string props;
  while (props.size() < n) props += R"(<i itemprop="price" content="x" )";
  EXPECT_EQ(find_microdata_price(ValidUtf8{props + ">"}), std::nullopt);

  std::string titles;
  while (titles.size() < n) titles += "<title>";
  EXPECT_EQ(extract_html_title(titles), std::nullopt);
}

}  // namespace
