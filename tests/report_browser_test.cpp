// The visual report in a real Chromium over the DevTools pipe: the demo's
// report loads cleanly and its controls work; a report of 50,000 items opens
// and searches quickly; a hostile result runs no script. Screenshots are
// left in KORVANE_ARTEFACT_DIR.
// Needs Chromium on PATH or KORVANE_CHROMIUM.
#include <korvane/report.hpp>

#include <korvane/commerce/async.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/product_identity.hpp"
#include <korvane/models/json.hpp>
#include <korvane/relevance.hpp>

#include "cli_support.hpp"
#include "support/devtools.hpp"
#include "support/files.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <map>
#include <numeric>
#include <sstream>

namespace {

namespace json = boost::json;
namespace fs = std::filesystem;
namespace models = korvane::models;
using korvane::commerce::awaitable;
using korvane::commerce::detail::run_coroutine;
using korvane::testing::Chromium;
using korvane::testing::PageEvents;
using testing::IsEmpty;

const fs::path ARTEFACTS = fs::path(KORVANE_ARTEFACT_DIR) / "report";

void write_file(const fs::path& p, std::string_view content) { std::ofstream(p, std::ios::binary) << content; }

using korvane::testing::read_file;

std::string choose(std::string_view control, std::string_view value) {
  return "(() => { const c = document.getElementById('filters').elements['" + std::string(control) + "']; c.value = '" +
         std::string(value) + "'; c.dispatchEvent(new Event('change', {bubbles: true})); })()";
}

std::string click(std::string_view selector) { return "document.querySelector('" + std::string(selector) + "').click()"; }

// Types `text` into the search box (one input event).
std::string search(std::string_view text) {
  return "(() => { const q = document.querySelector('#filters input[name=q]'); q.value = '" + std::string(text) +
         "'; q.dispatchEvent(new Event('input', {bubbles: true})); })()";
}

// The first item of each product group among `shown` (item positions in the
// order shown): what one card per product shows.
std::vector<std::size_t> group_firsts(const std::vector<std::size_t>& shown, const std::vector<std::size_t>& groups) {
  std::vector<std::size_t> firsts;
  std::vector<bool> seen(groups.size() + 1);
  for (const auto i : shown) {
    if (!seen[groups[i]]) firsts.push_back(i);
    seen[groups[i]] = true;
  }
  return firsts;
}

// Whether every word of `query` occurs in the item's title, merchant, brand
// or SKU (ASCII test data, compared lower-cased).
bool found(const models::EnrichedCommerceMatch& m, std::string_view query) {
  std::string hay = m.title + "\n" + m.merchant_name.value_or("") + "\n" + m.brand.value_or("") + "\n" + m.sku.value_or("");
  std::transform(hay.begin(), hay.end(), hay.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  std::istringstream words{std::string(query)};
  for (std::string w; words >> w;) {
    std::transform(w.begin(), w.end(), w.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (hay.find(w) == std::string::npos) return false;
  }
  return true;
}

// The data-index of the cards a reader sees, in the order shown (after the
// reset handler's turn).
constexpr std::string_view VISIBLE = R"(new Promise((done) => setTimeout(() => done(
  Array.from(document.querySelectorAll("#grid > article")).filter((a) => !a.hidden && a.offsetParent !== null)
    .map((a) => Number(a.dataset.index))), 20)))";

std::vector<std::size_t> indices_of(const json::value& v) {
  std::vector<std::size_t> out;
  for (const auto& x : v.as_array()) out.push_back(static_cast<std::size_t>(x.to_number<double>()));
  return out;
}

// ---------------------------------------------------------------- the demo's report

// What a reader does with the controls, one step after the other.
std::vector<std::pair<std::string, std::string>> demo_steps() {
  return {
      {"1 one card per item", click("#filters input[name=group]")},
      {"2 category major_marketplace", choose("category", "major_marketplace")},
      {"3 and in stock", click("#filters input[name=instock]")},
      {"4 reset", click("#filters button[type=reset]")},
      {"5 search ebay", search("ebay")},
      {"6 one card per item", click("#filters input[name=group]")},
      {"7 search cleared", search("")},
      {"8 priced only", click("#filters input[name=priced]")},
      {"9 price up", choose("sort", "price-up")},
      {"10 price down", choose("sort", "price-down")},
      {"11 result order", choose("sort", "result")},
      {"12 and exact matches", choose("relevance", "exact_match")},
  };
}

struct DemoView {
  PageEvents events;
  std::vector<std::size_t> cards;  // data-index in document order
  std::map<std::string, std::vector<std::size_t>> after;  // visible cards after each step
  std::string filters_display;                            // the filter form on screen, in print
};

awaitable<DemoView> view_demo(fs::path html) {
  Chromium browser;
  co_await browser.start();
  auto tab = co_await browser.open_tab();
  co_await browser.load(*tab, html);
  DemoView view;
  const auto cards = co_await browser.evaluate(*tab, "Array.from(document.querySelectorAll('#grid > article'), "
                                                     "(a) => Number(a.dataset.index))");
  view.cards = indices_of(cards);
  const std::string desktop = co_await browser.screenshot(*tab, 1280, false);
  write_file(ARTEFACTS / "demo-report.png", desktop);
  const std::string phone = co_await browser.screenshot(*tab, 390, true);
  write_file(ARTEFACTS / "demo-report-phone.png", phone);

  const auto steps = demo_steps();
  for (const auto& [name, script] : steps) {
    (void)co_await browser.evaluate(*tab, script);
    const auto visible = co_await browser.evaluate(*tab, VISIBLE);
    view.after[name] = indices_of(visible);
  }
  constexpr std::string_view display =
      "getComputedStyle(document.getElementById('filters')).display === 'none' ? 'hidden' : 'shown'";
  const auto on_screen = co_await browser.evaluate(*tab, display);
  co_await browser.emulate_media(*tab, "print");
  const auto printed = co_await browser.evaluate(*tab, display);
  view.filters_display = std::string(on_screen.as_string()) + ", " + std::string(printed.as_string());
  const std::string print = co_await browser.screenshot(*tab, 800, false);
  write_file(ARTEFACTS / "demo-report-print.png", print);
  view.events = tab->events;
  co_return view;
}

TEST(ReportBrowser, DemoReportLoadsCleanlyAndItsControlsWork) {
  const fs::path out = ARTEFACTS / "demo";
  fs::create_directories(out);
  ASSERT_EQ(korvane::testing::run_cli("demo --quiet --output " + out.string()).status, 0);
  const auto items = models::from_json<models::CommerceIntelligence>(json::parse(read_file(out / "result.json"))).items;
  ASSERT_GT(items.size(), 10U);

  const DemoView view = run_coroutine(view_demo(out / "result.html"));
  EXPECT_THAT(view.events.errors, IsEmpty());
  EXPECT_THAT(view.events.other_requests, IsEmpty());
  EXPECT_GT(view.events.images, 0);
  EXPECT_EQ(view.filters_display, "shown, hidden");

  // What each step should show, worked out from the items: one card per
  // product at first (its first item's position), one per item once asked.
  const std::vector<std::size_t> groups = korvane::commerce::detail::product_groups(items);
  const auto where = [&](auto keep) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (keep(items[i])) out.push_back(i);
    }
    return out;
  };
  const auto marketplace = [](const auto& m) { return m.merchant_category == models::MerchantCategory::MAJOR_MARKETPLACE; };
  const auto priced = [](const auto& m) { return m.price.has_value(); };
  const auto all = where([](const auto&) { return true; });
  auto up = where(priced);
  std::stable_sort(up.begin(), up.end(), [&](auto a, auto b) { return items[a].price->amount < items[b].price->amount; });
  auto down = where(priced);
  std::stable_sort(down.begin(), down.end(),
                   [&](auto a, auto b) { return items[a].price->amount > items[b].price->amount; });
  const auto ebay = where([](const auto& m) { return found(m, "ebay"); });
  const std::map<std::string, std::vector<std::size_t>> expected = {
      {"1 one card per item", all},
      {"2 category major_marketplace", where(marketplace)},
      {"3 and in stock",
       where([&](const auto& m) { return marketplace(m) && m.stock_status == models::StockStatus::IN_STOCK; })},
      {"4 reset", group_firsts(all, groups)},
      {"5 search ebay", group_firsts(ebay, groups)},
      {"6 one card per item", ebay},
      {"7 search cleared", all},
      {"8 priced only", where(priced)},
      {"9 price up", up},
      {"10 price down", down},
      {"11 result order", where(priced)},
      {"12 and exact matches",
       where([&](const auto& m) { return priced(m) && m.relevance == models::RelevanceLabel::EXACT_MATCH; })},
  };
  EXPECT_EQ(view.cards, group_firsts(all, groups));
  EXPECT_LT(view.cards.size(), items.size());  // some items are one product
  EXPECT_EQ(view.after, expected);
  // Each step shows something and changes something.
  for (const auto& [name, visible] : expected) EXPECT_FALSE(visible.empty()) << name;
  EXPECT_NE(expected.at("3 and in stock"), expected.at("2 category major_marketplace"));
  EXPECT_NE(expected.at("5 search ebay"), expected.at("6 one card per item"));
  EXPECT_NE(up, expected.at("8 priced only"));
}

// ---------------------------------------------------------------- hostile data

struct HostileView {
  PageEvents events;
  std::vector<std::string> titles;  // the cards' headings as text, in the order shown
  json::value page;                 // what the page holds
};

awaitable<HostileView> view_hostile(fs::path html) {
  Chromium browser;
  co_await browser.start();
  auto tab = co_await browser.open_tab();
  co_await browser.load(*tab, html);
  const std::string priced = click("#filters input[name=priced]");
  (void)co_await browser.evaluate(*tab, priced);
  const std::string by_price = choose("sort", "price-down");
  (void)co_await browser.evaluate(*tab, by_price);
  HostileView view;
  const auto titles = co_await browser.evaluate(
      *tab, "Array.from(document.querySelectorAll('#grid h3'), (h) => h.textContent)");
  for (const auto& t : titles.as_array()) view.titles.emplace_back(t.as_string());
  view.page = co_await browser.evaluate(*tab, R"(({
    scripts: document.scripts.length,
    data_blocks: document.querySelectorAll('script#report-data[type="application/json"]').length,
    with_handlers: Array.from(document.querySelectorAll('*'))
      .filter((e) => Array.from(e.attributes).some((a) => a.name.toLowerCase().startsWith('on'))).length,
    foreign: document.querySelectorAll('iframe, object, embed, math, base, form:not(#filters), ' +
      'link:not([rel=icon]), meta[http-equiv=refresh], style ~ style, #grid svg').length,
    link_schemes: Array.from(new Set(Array.from(document.querySelectorAll('[href]'), (a) => new URL(a.href).protocol)))
      .sort().join(' '),
    image_schemes: Array.from(new Set(Array.from(document.images, (i) => new URL(i.src).protocol))).sort().join(' '),
    pwned: window.pwned === undefined ? 0 : 1,
  }))");
  view.events = tab->events;
  co_return view;
}

TEST(ReportBrowser, HostileResultRunsNoScript) {
  const std::vector<std::string> payloads = {
      "<img src=x onerror=alert(1)>",
      "\"><script>window.pwned=1</script>",
      "<svg onload=window.pwned=1>",
      "</h3><iframe src=\"javascript:alert(1)\"></iframe>",
      "' autofocus onfocus='window.pwned=1",
      "</style></script><script>alert(1)</script>",
      "<!-- <base href=\"https://evil.example/\">",
      "<math><mtext><table><mglyph><style><img src=x onerror=alert(1)>",
  };
  const std::vector<std::string> links = {
      "javascript:alert(1)",          " JavaScript:alert(1)", "data:text/html,<script>alert(1)</script>",
      "https://shop.example/\" onmouseover=\"alert(1)", "vbscript:msgbox(1)", "file:///etc/passwd",
      "https://shop.example/p?q=<script>", "//evil.example/x"};
  models::CommerceIntelligence result;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    const auto other = [&](std::size_t k) { return payloads[(i + k) % payloads.size()]; };
    models::EnrichedCommerceMatch m;
    m.title = payloads[i];
    m.brand = other(1);
    m.merchant_name = other(2);
    m.sku = other(3);
    m.shipping_info = other(4);
    m.direct_url = links[i];
    m.original_url = links[(i + 1) % links.size()];
    m.primary_image_url = links[(i + 2) % links.size()];
    m.thumbnail = i % 2 == 0 ? "https://img.example/" + std::to_string(i) + "\" onerror=\"alert(1)" : links[i];
    m.price = models::NormalizedPrice("x", 10.0 * static_cast<double>(i + 1), i % 2 == 0 ? "USD" : payloads[i]);
    result.items.push_back(std::move(m));
  }
  result.summary = korvane::relevance::recompute_market_summary(result.items, {});
  result.summary.currency = payloads[1];
  const fs::path html = korvane::report::export_commerce_to_html(result, ARTEFACTS / "hostile" / "report.html");

  const HostileView view = run_coroutine(view_hostile(html));
  EXPECT_EQ(view.events.dialogs, 0);
  EXPECT_THAT(view.events.errors, IsEmpty());  // a blocked inline script or handler would be one
  EXPECT_THAT(view.events.other_requests, IsEmpty());
  // Shown as the text they are; priced by position, so price down is the reverse.
  EXPECT_EQ(view.titles, std::vector<std::string>(payloads.rbegin(), payloads.rend()));
  EXPECT_EQ(view.page.at("scripts").to_number<int>(), 2);  // the page's script and its data, never run
  EXPECT_EQ(view.page.at("data_blocks").to_number<int>(), 1);
  EXPECT_EQ(view.page.at("with_handlers").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("foreign").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("pwned").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("link_schemes").as_string(), "data: https:");  // data: is the page's own empty icon
  EXPECT_EQ(view.page.at("image_schemes").as_string(), "https:");
}

// ---------------------------------------------------------------- a large result

// 50,000 items as a large fused result holds them: 9,000 products sold by
// five shops each (one brand and SKU), the rest single items; prices in two
// currencies, every category, stock and relevance.
models::CommerceIntelligence large_result() {
  constexpr int count = 50000;
  constexpr int grouped_items = 45000;
  models::CommerceIntelligence result;
  result.items.reserve(count);
  for (int i = 0; i < count; ++i) {
    const int product = i < grouped_items ? i / 5 : i;
    models::EnrichedCommerceMatch m;
    m.title = "Runner " + std::to_string(product) + " \"Infrared\" low-top sneaker, size " + std::to_string(36 + i % 12);
    m.direct_url = "https://shop" + std::to_string(i % 200) + ".example/p/" + std::to_string(i);
    m.original_url = m.direct_url;
    m.merchant_name = "Shop " + std::to_string(i % 200);
    m.merchant_category = static_cast<models::MerchantCategory>(i % 4);
    if (i % 6 != 0) m.price = models::NormalizedPrice("x", 40.0 + (i * 7919) % 300, i % 10 == 1 ? "EUR" : "USD");
    m.brand = i % 3 == 0 ? "Acme" : "Stride";
    if (i < grouped_items) m.brand = "Acme";
    m.sku = "RX-" + std::to_string(100000 + product);
    m.stock_status = i % 3 == 0 ? models::StockStatus::OUT_OF_STOCK : models::StockStatus::IN_STOCK;
    m.relevance = static_cast<models::RelevanceLabel>(i % 4);
    m.primary_image_url = "https://img.example/" + std::to_string(i) + ".jpg";
    m.match_score = 50 + i % 50;
    m.source_engine = i % 4 == 0 ? "shopping" : "lens";
    result.items.push_back(std::move(m));
  }
  result.summary = korvane::relevance::recompute_market_summary(result.items, {});
  return result;
}

struct LargeView {
  PageEvents events;
  double load_ms = 0;    // navigation start to the first page of cards built and laid out
  double search_ms = 0;  // a search typed: filtering, the cards of the first page, their layout
  json::value counts;    // cards and items shown after each step
  std::vector<std::size_t> searched;  // the cards found by the search, one per product
  std::vector<std::size_t> page_two;  // the cards of the second page of all items
};

// What the page shows: cards, matching items, the first cards' data-index.
constexpr std::string_view SHOWN = R"((() => {
  const shown = document.getElementById('shown');
  return {cards: Number(shown.dataset.cards), items: Number(shown.dataset.items),
          on_page: document.querySelectorAll('#grid > article').length};
})())";

constexpr std::string_view INDICES = "Array.from(document.querySelectorAll('#grid > article'), (a) => Number(a.dataset.index))";

awaitable<LargeView> view_large(fs::path html, std::string query) {
  Chromium browser;
  co_await browser.start();
  auto tab = co_await browser.open_tab();
  co_await browser.set_viewport(*tab, 1280, 900, false);
  co_await browser.load(*tab, html);
  LargeView view;
  // Open: the cards of the first page are built when the page's ready
  // handler ends; their layout is measured on top. (The load event also
  // waits for images, which come from the network at their own pace.)
  const auto loaded = co_await browser.evaluate(*tab, R"((() => {
    const shown = performance.getEntriesByType('navigation')[0].domContentLoadedEventEnd;
    const t = performance.now();
    void document.body.offsetHeight;
    return shown + performance.now() - t;
  })())");
  view.load_ms = loaded.to_number<double>();
  json::object counts;
  counts["grouped"] = co_await browser.evaluate(*tab, SHOWN);
  const std::string timed_search = R"((() => {
    const t = performance.now();
    )" + search(query) + R"(;
    void document.body.offsetHeight;
    return performance.now() - t;
  })())";
  view.search_ms = (co_await browser.evaluate(*tab, timed_search)).to_number<double>();
  counts["searched grouped"] = co_await browser.evaluate(*tab, SHOWN);
  view.searched = indices_of(co_await browser.evaluate(*tab, INDICES));
  const std::string phone = co_await browser.screenshot(*tab, 390, true);
  write_file(ARTEFACTS / "large-report-search-phone.png", phone);
  (void)co_await browser.evaluate(*tab, click("#filters input[name=group]"));
  counts["searched per item"] = co_await browser.evaluate(*tab, SHOWN);
  const std::string cleared = search("");
  (void)co_await browser.evaluate(*tab, cleared);
  counts["per item"] = co_await browser.evaluate(*tab, SHOWN);
  (void)co_await browser.evaluate(*tab, click("#pager button[data-go=next]"));
  view.page_two = indices_of(co_await browser.evaluate(*tab, INDICES));
  const std::string grouped = click("#filters button[type=reset]");
  (void)co_await browser.evaluate(*tab, grouped);
  const std::string desktop = co_await browser.screenshot(*tab, 1280, false);
  write_file(ARTEFACTS / "large-report.png", desktop);
  view.counts = std::move(counts);
  view.events = tab->events;
  co_return view;
}

TEST(ReportBrowser, FiftyThousandItemsOpenInUnderTwoSecondsAndASearchNarrowsThemInUnder100ms) {
  const auto result = large_result();
  const fs::path html = korvane::report::export_commerce_to_html(result, ARTEFACTS / "large" / "report.html");
  const std::string query = "Runner 424 SIZE 43";  // a rare word first, then common ones
  const LargeView view = run_coroutine(view_large(html, query));
  EXPECT_THAT(view.events.errors, IsEmpty());
  EXPECT_THAT(view.events.other_requests, IsEmpty());
  EXPECT_LT(view.load_ms, 2000.0);
  EXPECT_LT(view.search_ms, 100.0);
  std::cout << "[ report ] 50,000 items: loaded in " << view.load_ms << " ms, searched in " << view.search_ms
            << " ms\n";

  // Expected from the items: which ones the search finds, and their products.
  const auto groups = korvane::commerce::detail::product_groups(result.items);
  std::vector<std::size_t> all(result.items.size());
  std::iota(all.begin(), all.end(), 0);
  std::vector<std::size_t> hits;
  for (std::size_t i = 0; i < result.items.size(); ++i) {
    if (found(result.items[i], query)) hits.push_back(i);
  }
  ASSERT_GT(hits.size(), 1U);
  const std::size_t products = group_firsts(all, groups).size();
  const auto shown = [](std::size_t cards, std::size_t items, std::size_t on_page) {
    json::object o;
    o["cards"] = cards;
    o["items"] = items;
    o["on_page"] = on_page;
    return json::value(o);
  };
  const std::size_t page = 48;
  json::object expected;
  expected["grouped"] = shown(products, all.size(), page);
  expected["searched grouped"] = shown(group_firsts(hits, groups).size(), hits.size(), group_firsts(hits, groups).size());
  expected["searched per item"] = shown(hits.size(), hits.size(), hits.size());
  expected["per item"] = shown(all.size(), all.size(), page);
  EXPECT_EQ(view.counts, json::value(expected));
  EXPECT_EQ(products, 9000U + 5000U);
  EXPECT_EQ(view.searched, group_firsts(hits, groups));
  EXPECT_EQ(view.page_two, std::vector<std::size_t>(all.begin() + page, all.begin() + 2 * page));
}

}  // namespace
