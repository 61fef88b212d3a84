// enrich_batch(): many requests in one loop with one fetcher and one shared
// browser session, against each request's own enrich() run; its answer
// lines (enrich_batch_lines()).
#include <korvane/commerce/run.hpp>

#include <korvane/browser/session.hpp>
#include <korvane/commerce/batch.hpp>
#include <korvane/commerce/input.hpp>
#include <korvane/commerce/async.hpp>
#include <korvane/commerce/json.hpp>
#include <korvane/core/fetcher.hpp>
#include <korvane/models/json.hpp>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "support/page_table.hpp"
#include "support/records.hpp"
#include "support/browser.hpp"

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

using namespace korvane::models;
using namespace korvane::commerce;
namespace browser = korvane::browser;
namespace core = korvane::core;
namespace asio = boost::asio;

namespace {

using korvane::testing::PageTable;
using korvane::testing::match;

// A browser whose store search pages ("...?_nkw=<words>") each list one
// product link named after the words; a search for "nothing" lists none.
struct FakeBrowser : korvane::testing::SessionCounts {
  std::chrono::milliseconds delay{5};
  bool unavailable = false;
  int fetches = 0;
};

class FakePage final : public browser::Page {
 public:
  FakePage(FakeBrowser& b, std::string words) : browser_(b), words_(std::move(words)) {}
  ~FakePage() override { --browser_.open_now; }
  std::optional<int> status() const override { return 200; }
  awaitable<std::vector<std::unique_ptr<browser::Element>>> css(std::string) override {
    std::vector<std::unique_ptr<browser::Element>> links;
    if (words_ != "nothing") {
      std::string slug = words_;
      std::replace(slug.begin(), slug.end(), '+', '-');
      std::string text = words_;
      std::replace(text.begin(), text.end(), '+', ' ');
      links.push_back(korvane::testing::link_element("https://www.ebay.com/itm/" + slug, text));
    }
    co_return links;
  }

 private:
  FakeBrowser& browser_;
  std::string words_;
};

class FakeSession final : public browser::Session {
 public:
  explicit FakeSession(FakeBrowser& b) : browser_(b) {}
  awaitable<void> enter() override {
    if (browser_.unavailable) throw browser::BrowserUnavailableError("no browser here");
    ++browser_.entered;
    co_return;
  }
  awaitable<std::unique_ptr<browser::Page>> fetch(std::string url) override {
    ++browser_.fetches;
    browser_.tab_opened();
    asio::steady_timer timer(co_await asio::this_coro::executor, browser_.delay);
    try {
      co_await timer.async_wait(asio::use_awaitable);
    } catch (...) {
      --browser_.open_now;  // a cancelled load closes its tab
      throw;
    }
    co_return std::make_unique<FakePage>(browser_, url.substr(url.find("_nkw=") + 5));
  }
  awaitable<void> exit() override {
    ++browser_.exited;
    co_return;
  }

 private:
  FakeBrowser& browser_;
};

browser::SessionFactory factory_of(FakeBrowser& b) {
  return [&b](int, int) -> std::unique_ptr<browser::Session> {
    ++b.made;
    return std::make_unique<FakeSession>(b);
  };
}

std::string product_page(std::string_view name, std::string_view price) {
  return std::string("<html><head><title>") + std::string(name) +
         "</title><script type=\"application/ld+json\">{\"@type\":\"Product\",\"name\":\"" + std::string(name) +
         "\",\"offers\":{\"price\":\"" + std::string(price) +
         "\",\"priceCurrency\":\"EUR\"}}</script></head><body>" + std::string(200, ' ') + "</body></html>";
}

VisualMatch priced(VisualMatch m, std::string price) {
  m.price = std::move(price);
  return m;
}

VisualMatch store_link(const std::string& words) {
  std::string title = words;
  std::replace(title.begin(), title.end(), '+', ' ');
  return match("https://www.ebay.com/sch/i.html?_nkw=" + words, title);
}

// A report as JSON without its times, which differ from run to run.
boost::json::value report_of(const RunResult& run) {
  boost::json::value report = to_json(run.report);
  report.as_object().erase("seconds");
  return report;
}

struct Site {
  std::shared_ptr<PageTable> pages = std::make_shared<PageTable>(std::map<std::string, std::string>{
      {"https://shop.acme.com/p/1", product_page("Acme Runner", "19.99")},
      {"https://shop.acme.com/p/2", product_page("Acme Walker", "24.50")},
      {"https://blog.example/review", "<html><head><meta property=\"og:type\" content=\"article\"><title>Review"
                                      "</title></head><body>" + std::string(300, 'x') + "</body></html>"}},
      "broken");
  RunOptions options;
  Site() {
    options.transport = pages;
    options.store_tabs = 2;
  }
};

// Ten requests of every kind: product pages, missing pages, articles, store
// search links (several per request, one shared by two requests, one with
// no product link), shopping offers, no matches at all.
std::vector<EnrichRequest> mixed_requests() {
  std::vector<EnrichRequest> requests;
  for (int i = 0; i < 10; ++i) {
    EnrichRequest r;
    const std::string n = std::to_string(i);
    r.matches = {priced(match("https://shop.acme.com/p/" + std::to_string(1 + i % 2), "runner " + n), "$" + n + "9.99"),
                 match("https://gone.example/p/" + n, "Gone " + n),
                 store_link("acme+runner+" + n), store_link("acme+walker+" + std::to_string(i / 2)),
                 store_link("nothing")};
    if (i % 3 == 0) r.matches.push_back(match("https://blog.example/review", "Review"));
    if (i % 4 == 1) {
      ShoppingOffer offer;
      offer.title = "Acme Runner " + n;
      offer.link = "https://store.example/acme-runner-" + n;
      offer.extracted_price = 20.0 + i;
      r.offers = std::vector<ShoppingOffer>{offer};
    }
    if (i == 7) r.matches.clear();
    requests.push_back(std::move(r));
  }
  return requests;
}

}  // namespace

TEST(EnrichBatch, GivesEveryRequestTheResultOfItsOwnRunWithOneSessionForAll) {
  Site site;
  const std::vector<EnrichRequest> requests = mixed_requests();

  FakeBrowser shared;
  RunOptions options = site.options;
  options.session_factory = factory_of(shared);
  std::vector<std::string> messages;
  RunCallbacks callbacks;
  callbacks.on_message = [&](std::string m) { messages.push_back(std::move(m)); };
  const std::vector<BatchOutcome> batch = enrich_batch(requests, options, callbacks, {}, 3);

  ASSERT_EQ(batch.size(), requests.size());
  std::size_t resolved = 0;
  for (std::size_t i = 0; i < requests.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    FakeBrowser own;
    RunOptions alone_options = site.options;
    alone_options.session_factory = factory_of(own);
    const RunResult alone = enrich(requests[i], alone_options);
    ASSERT_TRUE(batch[i].run.has_value()) << batch[i].error;
    EXPECT_EQ(model_dump_json(batch[i].run->result), model_dump_json(alone.result));
    EXPECT_EQ(report_of(*batch[i].run), report_of(alone));
    resolved += batch[i].run->report.stores.items_resolved;
  }
  EXPECT_EQ(resolved, 18u);  // two store links in each request with matches
  // One session, entered and left once, for the 9 requests with store links;
  // its 2 tabs were never exceeded by the 3 runs' crawls together.
  EXPECT_EQ(shared.made, 1);
  EXPECT_EQ(shared.entered, 1);
  EXPECT_EQ(shared.exited, 1);
  EXPECT_EQ(shared.fetches, 27);
  EXPECT_EQ(shared.open_peak, 2);
  // Every run's messages reached the callback.
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                          [](const std::string& m) { return m.starts_with("Fetching metadata from"); }),
            9);
}

TEST(EnrichBatch, AFailingRequestGivesItsErrorAndTheOthersGoOn) {
  Site site;
  site.options.resolve_stores = false;
  std::vector<EnrichRequest> requests(3);
  requests[0].matches = {match("https://shop.acme.com/p/1", "runner")};
  requests[1].matches = {match("https://broken.example/p", "broken")};
  requests[2].matches = {match("https://shop.acme.com/p/2", "walker")};
  const auto batch = enrich_batch(requests, site.options, {}, {}, 1);
  ASSERT_EQ(batch.size(), 3u);
  ASSERT_TRUE(batch[0].run && batch[2].run);
  EXPECT_EQ(batch[0].run->result.items.at(0).title, "Acme Runner");
  EXPECT_EQ(batch[2].run->result.items.at(0).title, "Acme Walker");
  EXPECT_FALSE(batch[1].run.has_value());
  EXPECT_EQ(batch[1].error, "transport down for https://broken.example/p");
}

TEST(EnrichBatch, AnUnavailableBrowserIsTriedOnceAndLeavesEveryStoreLinkAsAloneItWould) {
  Site site;
  FakeBrowser none;
  none.unavailable = true;
  site.options.session_factory = factory_of(none);
  const std::vector<EnrichRequest> requests = mixed_requests();
  const auto batch = enrich_batch(requests, site.options);
  EXPECT_EQ(none.made, 1);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    ASSERT_TRUE(batch[i].run.has_value());
    EXPECT_EQ(report_of(*batch[i].run), report_of(enrich(requests[i], site.options)));
  }
  EXPECT_EQ(batch[0].run->report.stores.stores.at(0).outcome, StoreOutcome::browser_unavailable);
  EXPECT_EQ(batch[0].run->report.stores.stores.at(0).detail, "no browser here");
}

TEST(EnrichBatch, AStopEndsTheBatchAfterClosingTheBrowser) {
  Site site;
  FakeBrowser shared;
  site.options.session_factory = factory_of(shared);
  std::stop_source stop;
  int runs_started = 0;
  RunCallbacks callbacks;
  callbacks.on_message = [&](const std::string& m) {
    if (m.starts_with("Fetching metadata")) ++runs_started;
    if (m.starts_with("Resolving direct product links (")) stop.request_stop();
  };
  EXPECT_THROW((void)enrich_batch(mixed_requests(), site.options, callbacks, stop.get_token(), 2),
               korvane::CancelledError);
  EXPECT_EQ(shared.entered, 1);
  EXPECT_EQ(shared.exited, 1);
  EXPECT_EQ(shared.open_now, 0);
  EXPECT_LE(runs_started, 3);  // no request starts after the stop
}

TEST(EnrichBatch, EmptyBatchesAndConcurrencyZero) {
  Site site;
  FakeBrowser shared;
  site.options.session_factory = factory_of(shared);
  EXPECT_TRUE(enrich_batch({}, site.options).empty());
  EXPECT_EQ(shared.made, 0);
  EXPECT_THROW((void)enrich_batch(mixed_requests(), site.options, {}, {}, 0), korvane::ValueError);
}

// Answer lines: each input's identity (its "id", digits kept, or its
// number), its result as the JSON export writes it, or its error; bad inputs
// never stop the batch.
TEST(EnrichBatchLines, AnswersEveryInputWithOneLine) {
  Site site;
  site.options.resolve_stores = false;
  const std::string runner = R"([{"link": "https://shop.acme.com/p/1", "title": "runner"}])";
  const std::vector<BatchLine> lines = enrich_batch_lines(
      {{1, runner},
       {2, R"({"id": 12345678901234567890123, "visual_matches": [{"link": "https://shop.acme.com/p/2"}]})"},
       {3, " \r"},
       {std::nullopt, R"({"visual_matches": [{"link": "https://broken.example/p"}]})"},
       {5, R"({"id": "x")"}},
      site.options);
  ASSERT_EQ(lines.size(), 5u);
  const RunResult alone = enrich(read_search_result(runner), site.options);
  const boost::json::value whole = to_json(alone.result, {.exclude_none = true});
  EXPECT_EQ(lines[0].line, "{\"id\":1,\"summary\":" + json_text(whole.at("summary")) +
                               ",\"items\":" + json_text(whole.at("items")) + "}");
  EXPECT_EQ(lines[0].items, 1u);
  EXPECT_EQ(lines[0].priced, 1u);
  EXPECT_EQ(lines[1].id, "12345678901234567890123");
  EXPECT_TRUE(lines[1].line.starts_with("{\"id\":12345678901234567890123,\"summary\":"));
  EXPECT_EQ(lines[2].line, "{\"id\":3,\"error\":\"line 3: empty line\"}");
  EXPECT_EQ(lines[3].id, "null");
  EXPECT_EQ(lines[3].error, "transport down for https://broken.example/p");
  EXPECT_EQ(lines[4].id, "5");
  EXPECT_TRUE(lines[4].error && lines[4].error->starts_with("line 5: line 1, column 11: invalid JSON"))
      << lines[4].line;
}
