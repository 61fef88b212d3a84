// The visual report in a real Chromium over the DevTools pipe: the demo's
// report loads cleanly and its controls work; a hostile result runs no
// script. Screenshots of the demo's report are left in KORVANE_ARTEFACT_DIR.
// Needs Chromium on PATH or KORVANE_CHROMIUM.
#include <korvane/report.hpp>

#include <korvane/commerce/async.hpp>

#include "commerce/async_runtime.hpp"
#include <korvane/models/json.hpp>
#include <korvane/relevance.hpp>

#include "cli_support.hpp"
#include "support/devtools.hpp"
#include "support/files.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
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
      {"category major_marketplace", choose("category", "major_marketplace")},
      {"and in stock", click("#filters input[name=instock]")},
      {"reset", click("#filters button[type=reset]")},
      {"priced only", click("#filters input[name=priced]")},
      {"price up", choose("sort", "price-up")},
      {"price down", choose("sort", "price-down")},
      {"result order", choose("sort", "result")},
      {"and exact matches", choose("relevance", "exact_match")},
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

  // What each step should show, worked out from the items.
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
  const std::map<std::string, std::vector<std::size_t>> expected = {
      {"category major_marketplace", where(marketplace)},
      {"and in stock",
       where([&](const auto& m) { return marketplace(m) && m.stock_status == models::StockStatus::IN_STOCK; })},
      {"reset", all},
      {"priced only", where(priced)},
      {"price up", up},
      {"price down", down},
      {"result order", where(priced)},
      {"and exact matches",
       where([&](const auto& m) { return priced(m) && m.relevance == models::RelevanceLabel::EXACT_MATCH; })},
  };
  EXPECT_EQ(view.cards, all);
  EXPECT_EQ(view.after, expected);
  // Each step shows something and changes something.
  for (const auto& [name, visible] : expected) EXPECT_FALSE(visible.empty()) << name;
  EXPECT_NE(expected.at("and in stock"), expected.at("category major_marketplace"));
  EXPECT_NE(up, expected.at("priced only"));
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
  EXPECT_EQ(view.page.at("scripts").to_number<int>(), 1);
  EXPECT_EQ(view.page.at("with_handlers").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("foreign").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("pwned").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("link_schemes").as_string(), "data: https:");  // data: is the page's own empty icon
  EXPECT_EQ(view.page.at("image_schemes").as_string(), "https:");
}

}  // namespace
