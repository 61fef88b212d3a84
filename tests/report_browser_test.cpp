// The visual report in a real Chromium, driven over the DevTools pipe with
// the browser session's own process and connection parts. Every request of
// the page is intercepted: images get a generated picture, anything else is
// refused and reported. Needs Chromium on PATH or KORVANE_CHROMIUM.
//
// Screenshots of the demo's report are left in KORVANE_ARTEFACT_DIR.
#include <korvane/report.hpp>

#include <korvane/commerce/async.hpp>
#include <korvane/models/json.hpp>
#include <korvane/relevance.hpp>

#include "cli_support.hpp"
#include "host/browser/connection.hpp"
#include "host/browser/process.hpp"

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <string_view>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

namespace asio = boost::asio;
namespace json = boost::json;
namespace fs = std::filesystem;
namespace devtools = korvane::browser::detail;
using korvane::commerce::awaitable;
using korvane::commerce::detail::run_coroutine;
using korvane::models::CommerceIntelligence;
using korvane::models::EnrichedCommerceMatch;
using devtools::Clock;

const fs::path ARTEFACTS = fs::path(KORVANE_ARTEFACT_DIR) / "report";

Clock::time_point deadline() { return Clock::now() + std::chrono::seconds(30); }

std::string base64_encode(std::string_view data) {
  std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string base64_decode(std::string_view text) {
  std::string out(3 * (text.size() / 4) + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  out.resize(static_cast<std::size_t>(std::max(n, 0)));
  while (!text.empty() && text.back() == '=' && !out.empty()) {
    text.remove_suffix(1);
    out.pop_back();
  }
  return out;
}

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A picture for an intercepted image request, its colour taken from the URL.
std::string picture_for(std::string_view url) {
  const auto hue = std::hash<std::string_view>{}(url) % 360;
  const std::string h = std::to_string(hue);
  return "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 400 300'><rect width='400' height='300' fill='hsl(" +
         h + ",45%,92%)'/><path d='M70 200 q40-70 120-60 q40 5 70 40 q40 5 70 20 v20 H70z' fill='hsl(" + h +
         ",55%,50%)'/><rect x='70' y='222' width='260' height='14' rx='7' fill='hsl(" + h + ",20%,30%)'/></svg>";
}

// ---------------------------------------------------------------- DevTools parameters

json::object object_with(std::string_view key, json::value value) {
  json::object o;
  o[key] = std::move(value);
  return o;
}

json::object text_param(std::string_view key, std::string_view text) {
  json::object o;
  o[key] = text;
  return o;
}

json::object evaluate_params(std::string_view expression) {
  json::object o;
  o["expression"] = expression;
  o["returnByValue"] = true;
  o["awaitPromise"] = true;
  return o;
}

json::object viewport_params(int width, int height, bool mobile) {
  json::object o;
  o["width"] = width;
  o["height"] = height;
  o["deviceScaleFactor"] = 1;
  o["mobile"] = mobile;
  return o;
}

json::object fulfil_params(std::string_view request_id, std::string_view url) {
  json::object header;
  header["name"] = "Content-Type";
  header["value"] = "image/svg+xml";
  json::object o;
  o["requestId"] = request_id;
  o["responseCode"] = 200;
  o["responseHeaders"] = json::array{std::move(header)};
  o["body"] = base64_encode(picture_for(url));
  return o;
}

json::object refuse_params(std::string_view request_id) {
  json::object o;
  o["requestId"] = request_id;
  o["errorReason"] = "BlockedByClient";
  return o;
}

json::object intercept_everything() {
  json::object pattern;
  pattern["urlPattern"] = "*";
  return object_with("patterns", json::array{std::move(pattern)});
}

std::string_view text_at(const json::value* v) {
  return v != nullptr && v->is_string() ? std::string_view(v->as_string()) : std::string_view();
}

// The DevTools domains each tab turns on.
constexpr std::array<std::string_view, 4> DOMAINS = {"Page.enable", "Runtime.enable", "Log.enable", "Network.enable"};

void write_file(const fs::path& p, std::string_view content) {
  std::ofstream(p, std::ios::binary) << content;
}

// ---------------------------------------------------------------- one tab

// What a page did, as the browser reported it.
struct PageEvents {
  std::vector<std::string> errors;       // console errors, exceptions, error log entries (CSP included)
  std::vector<std::string> other_requests;  // requests that are neither the page itself nor images
  int images = 0;
  int dialogs = 0;
};

class Tab final : public devtools::EventSink {
 public:
  Tab(std::shared_ptr<devtools::Connection> conn, std::string session_id)
      : conn_(std::move(conn)), session_id_(std::move(session_id)) {}

  void on_event(std::string_view method, const json::object& params) override {
    if (method == "Network.requestWillBeSent") {
      const auto* request = params.if_contains("request");
      const std::string url(text_at(request != nullptr ? request->as_object().if_contains("url") : nullptr));
      const auto type = text_at(params.if_contains("type"));
      if (type == "Image") {
        ++events.images;
      } else if (url != document_url) {
        events.other_requests.push_back(std::string(type) + " " + url);
      }
    } else if (method == "Fetch.requestPaused") {
      const auto id = text_at(params.if_contains("requestId"));
      const auto& request = params.at("request").as_object();
      const auto url = text_at(request.if_contains("url"));
      if (text_at(params.if_contains("resourceType")) == "Image") {
        conn_->post("Fetch.fulfillRequest", fulfil_params(id, url), session_id_);
      } else if (url == document_url) {
        conn_->post("Fetch.continueRequest", text_param("requestId", id), session_id_);
      } else {
        conn_->post("Fetch.failRequest", refuse_params(id), session_id_);
      }
    } else if (method == "Page.javascriptDialogOpening") {
      ++events.dialogs;
      conn_->post("Page.handleJavaScriptDialog", object_with("accept", false), session_id_);
    } else if (method == "Runtime.exceptionThrown") {
      events.errors.push_back("exception: " + json::serialize(params));
    } else if (method == "Runtime.consoleAPICalled") {
      const auto type = text_at(params.if_contains("type"));
      if (type == "error" || type == "assert") events.errors.push_back("console: " + json::serialize(params));
    } else if (method == "Log.entryAdded") {
      const auto& entry = params.at("entry").as_object();
      if (text_at(entry.if_contains("level")) == "error") events.errors.push_back("log: " + json::serialize(entry));
    }
  }
  void on_connection_closed() override {}

  [[nodiscard]] const std::string& session_id() const { return session_id_; }

  PageEvents events;
  std::string document_url;

 private:
  std::shared_ptr<devtools::Connection> conn_;
  std::string session_id_;
};

// ---------------------------------------------------------------- the browser

// Chromium started as the stealth session starts it (same executable
// lookup, arguments, process group and private folders), without the
// session's page policy: the tests drive one tab directly.
class Chromium {
 public:
  Chromium() : dir_("korvane-report-test-") {}
  ~Chromium() { stop(); }
  Chromium(const Chromium&) = delete;
  Chromium& operator=(const Chromium&) = delete;

  awaitable<void> start() {
    const std::string executable = devtools::find_chromium("");
    fs::create_directory(dir_.path() / "profile");
    fs::create_directory(dir_.path() / "tmp");
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    const std::vector<std::pair<std::string, std::string>> env = {
        {"XDG_CONFIG_HOME", (dir_.path() / "config").string()},
        {"XDG_CACHE_HOME", (dir_.path() / "cache").string()},
        {"TMPDIR", (dir_.path() / "tmp").string()},
    };
    // Nothing may reach the network, whatever the interception misses.
    const std::vector<std::string> extra = {"--host-resolver-rules=MAP * ~NOTFOUND"};
    process_.emplace(executable, devtools::chromium_arguments(true, dir_.path() / "profile", extra), env, fds[1],
                     dir_.path() / "chromium.log", dir_.path().string());
    ::close(fds[1]);
    const auto executor = co_await asio::this_coro::executor;
    conn_ = std::make_shared<devtools::Connection>(executor, fds[0]);
    conn_->start();
    (void)co_await conn_->call("Browser.getVersion", {}, "", deadline());
  }

  // A new tab with the Page, Runtime, Log and Network domains on and every
  // request intercepted.
  awaitable<std::shared_ptr<Tab>> open_tab() {
    const auto target = co_await conn_->call("Target.createTarget", text_param("url", "about:blank"), "", deadline());
    json::object attach = object_with("targetId", target.at("targetId"));
    attach["flatten"] = true;
    const auto attached = co_await conn_->call("Target.attachToTarget", std::move(attach), "", deadline());
    auto tab = std::make_shared<Tab>(conn_, std::string(attached.at("sessionId").as_string()));
    conn_->subscribe(tab->session_id(), tab);
    for (const std::string_view method : DOMAINS) (void)co_await conn_->call(method, {}, tab->session_id(), deadline());
    (void)co_await conn_->call("Fetch.enable", intercept_everything(), tab->session_id(), deadline());
    co_return tab;
  }

  // The value of `expression` (awaited when it is a promise).
  // (Views, not strings, as parameters: GCC 12 mishandles temporaries
  // beside co_await.)
  awaitable<json::value> evaluate(const Tab& tab, std::string_view expression) {
    auto reply = co_await conn_->call("Runtime.evaluate", evaluate_params(expression), tab.session_id(), deadline());
    if (const auto* details = reply.if_contains("exceptionDetails")) {
      throw std::runtime_error(std::string(expression) + " failed: " + json::serialize(*details));
    }
    const auto* value = reply.at("result").as_object().if_contains("value");
    co_return value != nullptr ? *value : json::value();
  }

  // Opens `file` in `tab` and waits until it has loaded.
  awaitable<void> load(Tab& tab, const fs::path& file) {
    tab.document_url = "file://" + file.string();
    (void)co_await conn_->call("Page.navigate", text_param("url", tab.document_url), tab.session_id(), deadline());
    const auto until = deadline();
    for (;;) {
      const auto state = co_await evaluate(tab, "document.readyState");
      if (state.is_string() && state.as_string() == "complete") co_return;
      if (Clock::now() > until) throw std::runtime_error("the report did not load");
      asio::steady_timer pause(conn_->executor(), std::chrono::milliseconds(20));
      co_await pause.async_wait(asio::use_awaitable);
    }
  }

  awaitable<void> set_viewport(const Tab& tab, int width, int height, bool mobile) {
    (void)co_await conn_->call("Emulation.setDeviceMetricsOverride", viewport_params(width, height, mobile),
                               tab.session_id(), deadline());
  }

  awaitable<void> emulate_media(const Tab& tab, std::string_view media) {
    (void)co_await conn_->call("Emulation.setEmulatedMedia", text_param("media", media), tab.session_id(),
                               deadline());
  }

  // The whole page as PNG at `width` pixels, once its images have loaded.
  awaitable<std::string> screenshot(const Tab& tab, int width, bool mobile) {
    co_await set_viewport(tab, width, 800, mobile);
    const auto height = co_await evaluate(tab, "document.documentElement.scrollHeight");
    co_await set_viewport(tab, width, static_cast<int>(height.to_number<double>()), mobile);
    (void)co_await evaluate(tab, R"(new Promise((done) => {
      const settled = () => Array.from(document.images).every((i) => i.complete);
      const poll = (left) => settled() || left === 0 ? done(true) : setTimeout(() => poll(left - 1), 20);
      poll(150);
    }))");
    const auto shot =
        co_await conn_->call("Page.captureScreenshot", text_param("format", "png"), tab.session_id(), deadline());
    co_return base64_decode(shot.at("data").as_string());
  }

  void stop() {
    if (conn_) conn_->close("the test is over");
    if (process_) process_->terminate();
    dir_.remove();
  }

 private:
  devtools::TempDirectory dir_;
  std::optional<devtools::ChromiumProcess> process_;
  std::shared_ptr<devtools::Connection> conn_;
};

// ---------------------------------------------------------------- page scripts

// The data-index of the cards a reader sees, in the order shown.
constexpr std::string_view VISIBLE = R"(new Promise((done) => setTimeout(() => done(
  Array.from(document.querySelectorAll("#grid > article")).filter((a) => !a.hidden && a.offsetParent !== null)
    .map((a) => Number(a.dataset.index))), 20)))";

std::string choose(std::string_view control, std::string_view value) {
  return "(() => { const c = document.getElementById('filters').elements['" + std::string(control) +
         "']; c.value = '" + std::string(value) + "'; c.dispatchEvent(new Event('change', {bubbles: true})); })()";
}

std::string click(std::string_view selector) {
  return "document.querySelector('" + std::string(selector) + "').click()";
}

std::vector<std::size_t> indices_of(const json::value& v) {
  std::vector<std::size_t> out;
  for (const auto& x : v.as_array()) out.push_back(static_cast<std::size_t>(x.to_number<double>()));
  return out;
}

// ---------------------------------------------------------------- the demo's report

// What a reader does with the controls, one step after the other: a name
// and the script that does it.
std::vector<std::pair<std::string, std::string>> demo_steps() {
  return {
      {"category major_marketplace", choose("category", "major_marketplace")},
      {"and in stock", click("#filters input[name=instock]")},
      {"reset", click("#filters button[type=reset]")},
      {"priced only", click("#filters input[name=priced]")},
      {"price up", choose("sort", "price-up")},
      {"price down", choose("sort", "price-down")},
      {"result order", choose("sort", "result")},
      {"relevance exact_match", choose("relevance", "exact_match")},
  };
}

struct DemoView {
  PageEvents events;
  std::vector<std::size_t> cards;                                 // data-index in document order
  std::vector<std::pair<std::string, std::vector<std::size_t>>> steps;  // visible cards after each step
  std::string filters_in_print;                                   // the filter form's display when printed
  bool filters_shown = false;
};

awaitable<DemoView> view_demo(fs::path html) {
  Chromium browser;
  co_await browser.start();
  auto tab = co_await browser.open_tab();
  co_await browser.set_viewport(*tab, 1280, 900, false);
  co_await browser.load(*tab, html);
  DemoView view;
  const auto cards = co_await browser.evaluate(
      *tab, "Array.from(document.querySelectorAll('#grid > article'), (a) => Number(a.dataset.index))");
  view.cards = indices_of(cards);
  const auto shown = co_await browser.evaluate(*tab, "!document.getElementById('filters').hidden");
  view.filters_shown = shown.as_bool();

  const std::string desktop = co_await browser.screenshot(*tab, 1280, false);
  write_file(ARTEFACTS / "demo-report.png", desktop);
  const std::string phone = co_await browser.screenshot(*tab, 390, true);
  write_file(ARTEFACTS / "demo-report-phone.png", phone);

  const auto steps = demo_steps();
  for (const auto& [name, script] : steps) {
    (void)co_await browser.evaluate(*tab, script);
    const auto visible = co_await browser.evaluate(*tab, VISIBLE);
    view.steps.emplace_back(name, indices_of(visible));
  }

  const std::string reset = click("#filters button[type=reset]");
  (void)co_await browser.evaluate(*tab, reset);
  co_await browser.emulate_media(*tab, "print");
  const auto display = co_await browser.evaluate(*tab, "getComputedStyle(document.getElementById('filters')).display");
  view.filters_in_print = display.as_string();
  const std::string print = co_await browser.screenshot(*tab, 800, false);
  write_file(ARTEFACTS / "demo-report-print.png", print);
  view.events = tab->events;
  co_return view;
}

// The items that pass `keep`, in result order.
template <class Keep>
std::vector<std::size_t> indices_where(const std::vector<EnrichedCommerceMatch>& items, Keep keep) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (keep(items[i])) out.push_back(i);
  }
  return out;
}

TEST(ReportBrowser, DemoReportLoadsCleanlyAndItsControlsWork) {
  const fs::path out = ARTEFACTS / "demo";
  fs::create_directories(out);
  const auto run = korvane::testing::run_cli("demo --quiet --output " + out.string());
  ASSERT_EQ(run.status, 0);
  const auto result = korvane::models::commerce_intelligence_from_json(json::parse(read_file(out / "result.json")));
  const auto& items = result.items;
  ASSERT_GT(items.size(), 10U);

  const DemoView view = run_coroutine(view_demo(out / "result.html"));
  EXPECT_THAT(view.events.errors, testing::IsEmpty());
  EXPECT_THAT(view.events.other_requests, testing::IsEmpty());
  EXPECT_GT(view.events.images, 0);
  EXPECT_EQ(view.events.dialogs, 0);
  EXPECT_TRUE(view.filters_shown);
  EXPECT_EQ(view.filters_in_print, "none");

  std::vector<std::size_t> all(items.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  EXPECT_EQ(view.cards, all);

  const auto is = [](const auto& field, auto value) { return field && *field == value; };
  const auto marketplace = [&](const EnrichedCommerceMatch& m) {
    return is(m.merchant_category, korvane::models::MerchantCategory::MAJOR_MARKETPLACE);
  };
  const auto in_stock = [&](const EnrichedCommerceMatch& m) {
    return is(m.stock_status, korvane::models::StockStatus::IN_STOCK);
  };
  auto priced = indices_where(items, [](const EnrichedCommerceMatch& m) { return m.price.has_value(); });
  std::stable_sort(priced.begin(), priced.end(),
                   [&](std::size_t a, std::size_t b) { return items[a].price->amount < items[b].price->amount; });
  auto priced_down = priced;
  std::stable_sort(priced_down.begin(), priced_down.end(),
                   [&](std::size_t a, std::size_t b) { return items[a].price->amount > items[b].price->amount; });

  const std::map<std::string, std::vector<std::size_t>> expected = {
      {"category major_marketplace", indices_where(items, marketplace)},
      {"and in stock", indices_where(items, [&](const auto& m) { return marketplace(m) && in_stock(m); })},
      {"reset", all},
      {"priced only", indices_where(items, [](const auto& m) { return m.price.has_value(); })},
      {"price up", priced},
      {"price down", priced_down},
      {"result order", indices_where(items, [](const auto& m) { return m.price.has_value(); })},
      {"relevance exact_match",
       indices_where(items, [&](const auto& m) {
         return m.price.has_value() && is(m.relevance, korvane::models::RelevanceLabel::EXACT_MATCH);
       })},
  };
  ASSERT_EQ(view.steps.size(), expected.size());
  for (const auto& [name, visible] : view.steps) {
    EXPECT_EQ(visible, expected.at(name)) << name;
    EXPECT_FALSE(visible.empty()) << name << " shows nothing: the example does not exercise it";
  }
  EXPECT_NE(expected.at("and in stock"), expected.at("category major_marketplace"));
}

// ---------------------------------------------------------------- hostile data

struct HostileView {
  PageEvents events;
  std::vector<std::string> titles;   // the cards' headings as text
  std::vector<std::string> brands;   // the brand facts as text
  json::value page;                  // counts taken in the page
};

awaitable<HostileView> view_hostile(fs::path html) {
  Chromium browser;
  co_await browser.start();
  auto tab = co_await browser.open_tab();
  co_await browser.load(*tab, html);
  // Let every image that will fail fail, and use the controls.
  (void)co_await browser.evaluate(*tab, "new Promise((done) => setTimeout(done, 300))");
  const std::string priced = click("#filters input[name=priced]");
  (void)co_await browser.evaluate(*tab, priced);
  const std::string by_price = choose("sort", "price-down");
  (void)co_await browser.evaluate(*tab, by_price);
  HostileView view;
  const auto titles =
      co_await browser.evaluate(*tab, "Array.from(document.querySelectorAll('#grid h3'), (h) => h.textContent)");
  for (const auto& t : titles.as_array()) view.titles.emplace_back(t.as_string());
  const auto brands = co_await browser.evaluate(*tab, R"(Array.from(document.querySelectorAll('#grid dt'))
        .filter((dt) => dt.textContent === 'Brand').map((dt) => dt.nextElementSibling.textContent))");
  for (const auto& t : brands.as_array()) view.brands.emplace_back(t.as_string());
  view.page = co_await browser.evaluate(*tab, R"(({
    scripts: document.scripts.length,
    with_handlers: Array.from(document.querySelectorAll('*'))
      .filter((e) => Array.from(e.attributes).some((a) => a.name.toLowerCase().startsWith('on'))).length,
    foreign: document.querySelectorAll('iframe, object, embed, math, base, form:not(#filters), ' +
      'link:not([rel=icon]), meta[http-equiv=refresh], style ~ style, #grid svg').length,
    link_schemes: Array.from(new Set(Array.from(document.querySelectorAll('[href]'),
      (a) => new URL(a.href).protocol))).sort(),
    image_schemes: Array.from(new Set(Array.from(document.images, (i) => new URL(i.src).protocol))).sort(),
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
      "javascript:alert(1)", " JavaScript:alert(1)", "data:text/html,<script>alert(1)</script>",
      "https://shop.example/\" onmouseover=\"alert(1)", "vbscript:msgbox(1)", "file:///etc/passwd",
      "https://shop.example/p?q=<script>", "//evil.example/x"};
  std::vector<EnrichedCommerceMatch> items;
  for (std::size_t i = 0; i < payloads.size(); ++i) {
    EnrichedCommerceMatch m;
    m.title = payloads[i];
    m.brand = payloads[(i + 1) % payloads.size()];
    m.merchant_name = payloads[(i + 2) % payloads.size()];
    m.sku = payloads[(i + 3) % payloads.size()];
    m.shipping_info = payloads[(i + 4) % payloads.size()];
    m.direct_url = links[i];
    m.original_url = links[(i + 1) % links.size()];
    m.primary_image_url = links[(i + 2) % links.size()];
    m.thumbnail = i % 2 == 0 ? "https://img.example/" + std::to_string(i) + "\" onerror=\"alert(1)" : links[i];
    m.price = korvane::models::NormalizedPrice("x", 10.0 * static_cast<double>(i + 1),
                                               i % 2 == 0 ? "USD" : payloads[i]);
    m.merchant_category = korvane::models::MerchantCategory::UNVERIFIED;
    items.push_back(std::move(m));
  }
  CommerceIntelligence result;
  result.summary = korvane::relevance::recompute_market_summary(items, {});
  result.summary.currency = payloads[1];
  result.items = items;
  const fs::path html = korvane::report::export_commerce_to_html(result, ARTEFACTS / "hostile" / "report.html");

  const HostileView view = run_coroutine(view_hostile(html));
  EXPECT_EQ(view.events.dialogs, 0);
  EXPECT_THAT(view.events.errors, testing::IsEmpty());
  EXPECT_THAT(view.events.other_requests, testing::IsEmpty());
  // Shown as the text they are, sorted by price down: the last item first.
  std::vector<std::string> titles(payloads.rbegin(), payloads.rend());
  EXPECT_EQ(view.titles, titles);
  EXPECT_EQ(view.brands.size(), payloads.size());
  EXPECT_EQ(view.page.at("scripts").to_number<int>(), 1);
  EXPECT_EQ(view.page.at("with_handlers").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("foreign").to_number<int>(), 0);
  EXPECT_EQ(view.page.at("pwned").to_number<int>(), 0);
  // The page's own icon link is data:; every other link is a web link.
  EXPECT_EQ(json::serialize(view.page.at("link_schemes")), R"(["data:","https:"])");
  EXPECT_EQ(json::serialize(view.page.at("image_schemes")), R"(["https:"])");
}

// ---------------------------------------------------------------- a large report

struct LargeView {
  PageEvents events;
  double parsed_ms = 0;   // navigation start to the end of DOMContentLoaded (the script's set-up included)
  double load_ms = 0;     // navigation start to the load event
  double filter_ms = 0;   // one filter change, layout included
  double sort_ms = 0;     // one sort change, layout included
  std::size_t shown_after_filter = 0;
};

awaitable<LargeView> view_large(fs::path html) {
  Chromium browser;
  co_await browser.start();
  auto tab = co_await browser.open_tab();
  co_await browser.set_viewport(*tab, 1280, 900, false);
  co_await browser.load(*tab, html);
  LargeView view;
  const auto load = co_await browser.evaluate(*tab, R"((() => {
    const n = performance.getEntriesByType('navigation')[0];
    return [n.domContentLoadedEventEnd, n.loadEventStart];
  })())");
  view.parsed_ms = load.as_array()[0].to_number<double>();
  view.load_ms = load.as_array()[1].to_number<double>();
  const auto timing = co_await browser.evaluate(*tab, R"((() => {
    const controls = document.getElementById('filters').elements;
    const change = (name, value) => {
      controls[name].value = value;
      controls[name].dispatchEvent(new Event('change', {bubbles: true}));
      return document.body.offsetHeight;  // layout
    };
    const t0 = performance.now();
    change('category', 'major_marketplace');
    const t1 = performance.now();
    change('sort', 'price-up');
    const t2 = performance.now();
    return [t1 - t0, t2 - t1,
            Array.from(document.querySelectorAll('#grid > article')).filter((a) => !a.hidden).length];
  })())");
  view.filter_ms = timing.as_array()[0].to_number<double>();
  view.sort_ms = timing.as_array()[1].to_number<double>();
  view.shown_after_filter = static_cast<std::size_t>(timing.as_array()[2].to_number<double>());
  view.events = tab->events;
  co_return view;
}

TEST(ReportBrowser, ThousandItemsLoadAndFilterQuickly) {
  constexpr std::size_t count = 1000;
  std::vector<EnrichedCommerceMatch> items;
  for (std::size_t i = 0; i < count; ++i) {
    EnrichedCommerceMatch m;
    m.title = "Nike Air Max 90 Infrared item " + std::to_string(i);
    m.direct_url = "https://shop" + std::to_string(i % 50) + ".example/p/" + std::to_string(i);
    m.original_url = m.direct_url;
    m.primary_image_url = "https://img.example/" + std::to_string(i) + ".jpg";
    if (i % 5 != 0) m.price = korvane::models::NormalizedPrice("x", 80.0 + static_cast<double>(i * 37 % 200), "USD");
    m.merchant_category = static_cast<korvane::models::MerchantCategory>(i % 4);
    m.relevance = static_cast<korvane::models::RelevanceLabel>(i % 4);
    m.stock_status = korvane::models::StockStatus::IN_STOCK;
    m.match_score = static_cast<int>(100 - i % 50);
    items.push_back(std::move(m));
  }
  CommerceIntelligence result;
  result.summary = korvane::relevance::recompute_market_summary(items, {});
  result.items = std::move(items);
  const fs::path html = korvane::report::export_commerce_to_html(result, ARTEFACTS / "large" / "report.html");

  const LargeView view = run_coroutine(view_large(html));
  EXPECT_THAT(view.events.errors, testing::IsEmpty());
  EXPECT_EQ(view.shown_after_filter, count / 4);
  std::printf("report of %zu items (%ju bytes): DOMContentLoaded done after %.0f ms, load event after %.0f ms; "
              "filter %.1f ms, sort %.1f ms\n",
              count, static_cast<std::uintmax_t>(fs::file_size(html)), view.parsed_ms, view.load_ms, view.filter_ms,
              view.sort_ms);
  RecordProperty("load_ms", std::to_string(view.load_ms));
  RecordProperty("filter_ms", std::to_string(view.filter_ms));
  RecordProperty("sort_ms", std::to_string(view.sort_ms));
}

}  // namespace
