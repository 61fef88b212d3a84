// The visual report as text: hostile data stays data, only web links are
// followed, the policy names the page's own script, one card per item.
#include <korvane/report.hpp>

#include <korvane/relevance.hpp>

#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "support/records.hpp"
#include <openssl/evp.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace korvane::models;
using korvane::report::commerce_to_html;
using korvane::testing::item;
using testing::HasSubstr;
using testing::Not;

CommerceIntelligence result_of(std::vector<EnrichedCommerceMatch> items) {
  CommerceIntelligence r;
  r.summary = korvane::relevance::recompute_market_summary(items, {});
  r.items = std::move(items);
  return r;
}

// The text between the first `open` and the next `close`.
std::string between(const std::string& html, std::string_view open, std::string_view close) {
  const auto from = html.find(open);
  if (from == std::string::npos) return {};
  const auto start = from + open.size();
  return html.substr(start, html.find(close, start) - start);
}

// The values of every double-quoted attribute `name` in `html`.
std::vector<std::string> attribute_values(const std::string& html, const std::string& name) {
  std::vector<std::string> values;
  const std::string open = " " + name + "=\"";
  for (auto at = html.find(open); at != std::string::npos; at = html.find(open, at + 1)) {
    const auto start = at + open.size();
    values.push_back(html.substr(start, html.find('"', start) - start));
  }
  return values;
}

// The page's data block, parsed; fails the test when the block holds
// anything that could end it early.
boost::json::object data_of(const std::string& html) {
  const std::string block = between(html, "<script type=\"application/json\" id=\"report-data\">", "</script>");
  EXPECT_EQ(block.find('<'), std::string::npos);
  return boost::json::parse(block).as_object();
}

// Column `name` of every item of the data block, texts looked up.
std::vector<boost::json::value> column_of(const boost::json::object& data, std::string_view name) {
  const auto& columns = data.at("columns").as_array();
  const auto at = static_cast<std::size_t>(
      std::find(columns.begin(), columns.end(), boost::json::value(name)) - columns.begin());
  const bool text = name != "amount" && name != "score" && name != "resolved" && name != "group";
  std::vector<boost::json::value> out;
  for (const auto& row : data.at("items").as_array()) {
    const auto& v = row.as_array().at(at);
    const bool indexed = text && v.is_int64();  // else the text itself
    out.push_back(indexed ? data.at("strings").as_array().at(static_cast<std::size_t>(v.as_int64())) : v);
  }
  return out;
}

// The markup of the cards alone.
std::string cards_of(const std::string& html) { return between(html, "<div id=\"grid\"", "</section>"); }

std::string sha256_base64(std::string_view data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
  std::string out(4 * ((length + 2) / 3) + 1, '\0');
  out.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest,
                                                      static_cast<int>(length))));
  return out;
}

// ---------------------------------------------------------------- escaping

struct EscapeCase {
  std::string input;
  std::string as_text;       // in element content
  std::string as_attribute;  // in a double-quoted attribute value
  std::string as_value{};    // as the page's data gives it to the script, when not `input`
};

const EscapeCase ESCAPE_CASES[] = {
    {"<img src=x onerror=alert(1)>", "&lt;img src=x onerror=alert(1)&gt;", "&lt;img src=x onerror=alert(1)&gt;"},
    {"\"><script>alert(1)</script>", "\"&gt;&lt;script&gt;alert(1)&lt;/script&gt;",
     "&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;"},
    {"' onmouseover='alert(1)", "' onmouseover='alert(1)", "&#39; onmouseover=&#39;alert(1)"},
    {"Tom & Jerry &amp; </h3>", "Tom &amp; Jerry &amp;amp; &lt;/h3&gt;", "Tom &amp; Jerry &amp;amp; &lt;/h3&gt;"},
    {"bad \xFF byte\x01, tab\tkept", "bad \xEF\xBF\xBD byte\xEF\xBF\xBD, tab\tkept",
     "bad \xEF\xBF\xBD byte\xEF\xBF\xBD, tab\tkept", "bad \xEF\xBF\xBD byte\xEF\xBF\xBD, tab\tkept"},
    {"</script><!-- \xE2\x80\xA8", "&lt;/script&gt;&lt;!-- \xE2\x80\xA8", "&lt;/script&gt;&lt;!-- \xE2\x80\xA8"},
};

TEST(Report, HostileTextIsEscapedForWhereItGoes) {
  for (const auto& c : ESCAPE_CASES) {
    SCOPED_TRACE(c.input);
    auto m = item(c.input, "https://shop.example/p");
    m.brand = c.input;
    m.merchant_name = c.input;
    m.thumbnail = "https://img.example/t.jpg";
    m.price = korvane::models::NormalizedPrice("$1", 1.0, c.input);
    const std::string html = commerce_to_html(result_of({m}));
    EXPECT_THAT(html, HasSubstr("<h3>" + c.as_text + "</h3>"));                   // title
    EXPECT_THAT(html, HasSubstr("<dt>Brand</dt><dd>" + c.as_text + "</dd>"));     // brand
    EXPECT_THAT(html, HasSubstr("<p class=\"merchant\">" + c.as_text + " <span"));  // merchant
    EXPECT_THAT(html, HasSubstr("<p class=\"price\">1.00 " + c.as_text + "</p>"));  // currency
    EXPECT_THAT(html, HasSubstr("alt=\"" + c.as_attribute + "\""));                // image alt text
    EXPECT_THAT(html, HasSubstr("aria-label=\"" + c.as_attribute + ": 1 price"));  // price chart
    EXPECT_EQ(attribute_values(html, "onerror").size() + attribute_values(html, "onmouseover").size(), 0U);
    // The page's script, then its data block, which ends where it should.
    const std::string data_open = "<script type=\"application/json\" id=\"report-data\">";
    const auto data_at = html.find("<script", html.find("</script>"));
    EXPECT_EQ(html.substr(data_at, data_open.size()), data_open);
    EXPECT_EQ(html.find("<script", data_at + 1), std::string::npos) << "a third script element";
    const auto data = data_of(html);
    const std::string value = c.as_value.empty() ? c.input : c.as_value;
    for (const auto* column : {"title", "brand", "merchant", "currency"}) {
      EXPECT_EQ(column_of(data, column).at(0), boost::json::value(value)) << column;
    }
  }
}

// ---------------------------------------------------------------- links and images

struct LinkCase {
  std::string url;
  std::optional<std::string> href;  // the attribute value when it becomes a link
};

const LinkCase LINK_CASES[] = {
    {"https://shop.example/p?a=1&b=\"2\"", "https://shop.example/p?a=1&amp;b=&quot;2&quot;"},
    {"  HTTP://Shop.example/x\n", "HTTP://Shop.example/x"},
    {"javascript:alert(1)", std::nullopt},
    {" \x01JavaScript:alert(1)", std::nullopt},
    {"java\tscript:alert(1)", std::nullopt},
    {"data:text/html,<script>alert(1)</script>", std::nullopt},
    {"file:///etc/passwd", std::nullopt},
    {"//evil.example/x", std::nullopt},
    {"/relative/path", std::nullopt},
    {"httpx://shop.example", std::nullopt},
};

TEST(Report, OnlyHttpLinksBecomeLinksAndImageSources) {
  std::vector<EnrichedCommerceMatch> items;
  for (const auto& c : LINK_CASES) {
    auto m = item("Item", c.url);
    m.primary_image_url = c.url;
    items.push_back(std::move(m));
  }
  const std::string cards = cards_of(commerce_to_html(result_of(items)));
  std::vector<std::string> expected;
  for (const auto& c : LINK_CASES) {
    if (c.href) expected.push_back(*c.href);
  }
  EXPECT_EQ(attribute_values(cards, "href"), expected);
  EXPECT_EQ(attribute_values(cards, "src"), expected);
  EXPECT_EQ(attribute_values(cards, "rel"), std::vector<std::string>(expected.size(), "noopener noreferrer"));
  // The others are shown as text.
  EXPECT_THAT(cards, HasSubstr("<span class=\"bad\" title=\"Not opened: not an http or https link\">"
                               "javascript:alert(1)</span>"));
  EXPECT_THAT(cards, HasSubstr(">data:text/html,&lt;script&gt;alert(1)&lt;/script&gt;</span>"));
}

// ---------------------------------------------------------------- the policy

TEST(Report, PolicyAllowsOnlyThePagesOwnScriptAndStyleByHash) {
  const std::string html = commerce_to_html(result_of({item("A", "https://a.example/")}));
  const std::string script = between(html, "<script>", "</script>");
  const std::string style = between(html, "<style>", "</style>");
  ASSERT_FALSE(script.empty());
  ASSERT_FALSE(style.empty());
  const std::string policy = between(html, "<meta http-equiv=\"Content-Security-Policy\" content=\"", "\"");
  EXPECT_EQ(policy, "default-src 'none'; script-src 'sha256-" + sha256_base64(script) + "'; style-src 'sha256-" +
                        sha256_base64(style) +
                        "'; img-src http: https: data:; connect-src 'none'; base-uri 'none'; form-action 'none'");
  // The policy comes before anything it governs.
  EXPECT_LT(html.find("Content-Security-Policy"), html.find("<style>"));
}

// ---------------------------------------------------------------- cards, counts, the file

TEST(Report, OneCardPerItemInResultOrder) {
  // The first item's store search link was resolved; the offer's link was not.
  auto resolved = item("Resolved", "https://www.google.com/url?q=https://store.example/search?q=x");
  resolved.direct_url = "https://store.example/p/1";
  auto offer = item("Offer", "https://offer.example/p");
  offer.source_engine = "shopping";
  const auto result = result_of({resolved, item("Plain", "https://plain.example/p"), offer});

  const std::string html = commerce_to_html(result);
  EXPECT_EQ(attribute_values(html, "data-index"), (std::vector<std::string>{"0", "1", "2"}));
  EXPECT_LT(html.find("<h3>Resolved</h3>"), html.find("<h3>Plain</h3>"));
  EXPECT_LT(html.find("<h3>Plain</h3>"), html.find("<h3>Offer</h3>"));
  EXPECT_THAT(html, HasSubstr("<dt>Store links resolved</dt><dd>1</dd>"));
  EXPECT_THAT(commerce_to_html(result, {.resolved_links = 7}), HasSubstr("<dt>Store links resolved</dt><dd>7</dd>"));

  const std::string empty = commerce_to_html(CommerceIntelligence{});
  EXPECT_TRUE(attribute_values(empty, "data-index").empty());
  EXPECT_THAT(empty, HasSubstr("This result has no items."));
  EXPECT_THAT(empty, HasSubstr("No item has a price."));
  EXPECT_THAT(empty, Not(HasSubstr("id=\"filters\"")));
}

TEST(Report, ManyItemsAreDataWithTheFirstCardsWrittenOutCountedBySourceAndProduct) {
  // Pairs share brand and SKU; the last item is the first one's listing with
  // click tracking; the first 150 are shopping offers.
  constexpr std::size_t count = 450;
  std::vector<EnrichedCommerceMatch> items;
  for (std::size_t i = 0; i < count; ++i) {
    auto m = item("Shoe " + std::to_string(i), "https://shop.example/p/" + std::to_string(i));
    m.brand = "Acme";
    m.sku = "AC-" + std::to_string(1000 + i / 2);
    m.price = korvane::models::NormalizedPrice("x", 10.0 + static_cast<double>(i), "USD");
    if (i < 150) m.source_engine = "shopping";
    items.push_back(std::move(m));
  }
  items.back().sku.reset();
  items.back().price = korvane::models::NormalizedPrice("x", 1234567.5, "USD");
  items.back().direct_url = "https://www.shop.example/p/0?mkcid=16&mkevt=1";
  const std::string html = commerce_to_html(result_of(items));

  EXPECT_THAT(html, HasSubstr("<p class=\"sub\">450 items: 300 visual matches, 150 shopping offers; 225 products</p>"));
  EXPECT_THAT(html, HasSubstr("<dt>Visual matches</dt><dd>300</dd>"));
  EXPECT_THAT(html, HasSubstr("<dt>Shopping offers</dt><dd>150</dd>"));
  EXPECT_THAT(html, HasSubstr("<dt>Products</dt><dd>225</dd>"));
  // Cards for the first 200, a note for readers without the script, every item as data.
  EXPECT_EQ(attribute_values(cards_of(html), "data-index").size(), 200U);
  EXPECT_THAT(html, HasSubstr("Without JavaScript this page lists the first 200 of 450 items"));
  const auto data = data_of(html);
  const auto titles = column_of(data, "title");
  const auto groups = column_of(data, "group");
  ASSERT_EQ(titles.size(), count);
  EXPECT_EQ(titles[count - 2], boost::json::value("Shoe 448"));
  EXPECT_EQ(groups[0], groups[1]);
  EXPECT_NE(groups[1], groups[2]);
  EXPECT_EQ(groups[count - 1], groups[0]);
  EXPECT_EQ(groups[count - 2], boost::json::value(224));
  EXPECT_EQ(column_of(data, "price")[count - 1], boost::json::value("1,234,567.50"));
  EXPECT_EQ(column_of(data, "amount")[count - 1], boost::json::value(1234567.5));
  // So many prices are drawn as counts per stretch of the axis, not one mark each.
  EXPECT_THAT(html, Not(HasSubstr("<circle class=\"m")));
  EXPECT_THAT(html, HasSubstr("<rect class=\"m"));
}

TEST(Report, ExportWritesTheReportWhereTheOtherExportsWould) {
  const fs::path dir = fs::temp_directory_path() / ("korvane-report-test-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  const fs::path cwd = fs::current_path();
  fs::create_directories(dir);
  fs::current_path(dir);
  const auto result = result_of({item("A", "https://a.example/")});
  const fs::path written = korvane::report::export_commerce_to_html(result, "new/folder/../report.html");
  fs::current_path(cwd);
  EXPECT_EQ(written, fs::canonical(dir) / "new" / "report.html");
  std::ifstream in(written, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), commerce_to_html(result));
  fs::remove_all(dir);
}

}  // namespace
