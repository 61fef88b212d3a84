// Direct store resolution with a fake browser: candidate selection, crawl
// targets, link choice, progress messages, log lines, title similarity.
#include <korvane/commerce/resolver.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/resolver_crawl.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include "support/browser.hpp"
#include "support/log_capture.hpp"
#include "support/records.hpp"

#include <map>
#include <set>
#include <sstream>

namespace {

namespace asio = boost::asio;
using korvane::browser::BrowserError;
using korvane::browser::Element;
using korvane::browser::Page;
using korvane::browser::Session;
using namespace korvane::commerce;
using korvane::models::EnrichedCommerceMatch;
using korvane::testing::item;
using korvane::testing::LogCapture;
using testing::ElementsAre;
using testing::HasSubstr;

// ---------------------------------------------------------------- the fake browser

struct LinkSpec {
  std::optional<std::string> href;
  std::string text;
  bool text_fails = false;  // get_all_text() throws; text() gives `own`
  std::string own;
};

struct SiteSpec {
  std::optional<int> status = 200;  // absent: the page has no status
  bool absent = false;              // fetch() gives no page
  std::string fetch_error;          // fetch() throws this
  std::map<std::string, std::vector<LinkSpec>> links;  // by selector
};

// What the fake browser serves and what it saw.
struct FakeBrowser : korvane::testing::SessionCounts {
  std::map<std::string, SiteSpec> sites;
  std::string enter_error;  // enter() throws this
  bool factory_throws = false;
  std::chrono::milliseconds delay{0};

  int max_pages = 0;
  int timeout_ms = 0;
  std::vector<std::string> fetched;
  std::vector<std::string> queries;  // "url | selector"
  std::vector<std::size_t> announced;  // expect_fetches() counts, in order
};

class FakeElement final : public Element {
 public:
  explicit FakeElement(LinkSpec link) : link_(std::move(link)) {
    if (link_.href) attrib_["href"] = *link_.href;
  }
  const std::map<std::string, std::string>& attrib() const override { return attrib_; }
  std::string get_all_text() const override {
    if (link_.text_fails) throw std::runtime_error("no text");
    return link_.text;
  }
  std::string text() const override { return link_.own; }

 private:
  LinkSpec link_;
  std::map<std::string, std::string> attrib_;
};

class FakePage final : public Page {
 public:
  FakePage(FakeBrowser& browser, std::string url, const SiteSpec& site)
      : browser_(browser), url_(std::move(url)), site_(site) {}
  ~FakePage() override { --browser_.open_now; }
  std::optional<int> status() const override { return site_.status; }
  awaitable<std::vector<std::unique_ptr<Element>>> css(std::string selector) override {
    browser_.queries.push_back(url_ + " | " + selector);
    std::vector<std::unique_ptr<Element>> out;
    const auto it = site_.links.find(selector);
    if (it != site_.links.end()) {
      for (const auto& link : it->second) out.push_back(std::make_unique<FakeElement>(link));
    }
    co_return out;
  }

 private:
  FakeBrowser& browser_;
  std::string url_;
  SiteSpec site_;
};

class FakeSession final : public Session {
 public:
  explicit FakeSession(FakeBrowser& browser) : browser_(browser) {}
  awaitable<void> enter() override {
    if (!browser_.enter_error.empty()) throw korvane::browser::BrowserUnavailableError(browser_.enter_error);
    ++browser_.entered;
    co_return;
  }
  awaitable<std::unique_ptr<Page>> fetch(std::string url) override {
    browser_.fetched.push_back(url);
    browser_.tab_opened();
    if (browser_.delay.count() > 0) {
      const auto executor = co_await asio::this_coro::executor;
      asio::steady_timer timer(executor, browser_.delay);
      co_await timer.async_wait(asio::use_awaitable);
    }
    const auto it = browser_.sites.find(url);
    const SiteSpec site = it != browser_.sites.end() ? it->second : SiteSpec{};
    if (!site.fetch_error.empty() || site.absent) {
      --browser_.open_now;
      if (!site.fetch_error.empty()) throw BrowserError(site.fetch_error);
      co_return nullptr;
    }
    co_return std::make_unique<FakePage>(browser_, url, site);
  }
  void expect_fetches(std::size_t count) override { browser_.announced.push_back(count); }
  awaitable<void> exit() override {
    ++browser_.exited;
    co_return;
  }

 private:
  FakeBrowser& browser_;
};

ResolverOptions fake_options(FakeBrowser& browser) {
  ResolverOptions options;
  options.session_factory = [&browser](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    ++browser.made;
    browser.max_pages = max_pages;
    browser.timeout_ms = timeout_ms;
    if (browser.factory_throws) throw std::runtime_error("cannot make a browser");
    return std::make_unique<FakeSession>(browser);
  };
  return options;
}

// ---------------------------------------------------------------- helpers

struct Outcome {
  std::vector<std::string> progress;
  std::vector<std::string> log;
};

Outcome resolve(std::vector<EnrichedCommerceMatch>& items, FakeBrowser& browser, int max_concurrency = 4) {
  LogCapture capture("korvane.commerce.resolver");
  Outcome run;
  auto& returned = DirectStoreResolver::resolve(
      items, max_concurrency, 15, [&run](std::string msg) { run.progress.push_back(std::move(msg)); },
      fake_options(browser));
  EXPECT_EQ(&returned, &items);
  run.log = capture.lines();
  return run;
}

const std::string EBAY = R"(a[href*="/itm/"])";
const std::string WALMART = R"(a[href*="/ip/"])";
const std::string AMAZON = R"(a[href*="/dp/"])";
const std::string LYST = R"(a[href*="/shoes/"], a[href*="/clothing/"], a[href*="/shop/"])";
const std::string GENERIC(detail::GENERIC_PRODUCT_SELECTOR);

// One crawl of `url` for `title` on a page with `site`: the link chosen, the
// css queries made and the log lines.
struct Crawl {
  std::optional<std::string> link;
  std::vector<std::string> queries;
  std::vector<std::string> log;
  std::vector<std::string> progress;
};

Crawl crawl(const std::string& url, const std::string& title, SiteSpec site) {
  FakeBrowser browser;
  browser.sites[url] = std::move(site);
  std::vector<EnrichedCommerceMatch> items{item(title, url)};
  const Outcome run = resolve(items, browser);
  Crawl c;
  if (items[0].direct_url != url) c.link = items[0].direct_url;
  for (const auto& q : browser.queries) c.queries.push_back(q.substr(q.find(" | ") + 3));
  c.log = run.log;
  c.progress = run.progress;
  return c;
}

std::vector<LinkSpec> links(std::initializer_list<std::pair<const char*, const char*>> hrefs_and_texts) {
  std::vector<LinkSpec> out;
  for (const auto& [href, text] : hrefs_and_texts) out.push_back(LinkSpec{std::string(href), text});
  return out;
}

// ---------------------------------------------------------------- title similarity

TEST(Tokenize, RunsOfTwoOrMoreAsciiLettersAndDigits) {
  using Set = std::set<std::string>;
  EXPECT_EQ(detail::tokenize("Air Jordan 1 Retro-High_OG"), (Set{"air", "jordan", "retro", "high", "og"}));
  EXPECT_EQ(detail::tokenize("Café 4K 2024 a b"), (Set{"caf", "4k", "2024"}));
  EXPECT_EQ(detail::tokenize("NIKE nike Nike"), (Set{"nike"}));
  EXPECT_EQ(detail::tokenize("A B C !!! ÄÖÜ"), Set{});
  EXPECT_EQ(detail::tokenize(""), Set{});
}

TEST(TitleSimilarity, ShareOfTitleTokensTheLinkMentions) {
  struct Case {
    const char* title;
    const char* text;
    const char* href;
    double expected;
  };
  const Case cases[] = {
      {"A B C", "a b c", "/a/b/c", 0.0},                              // no title token
      {"!!!", "anything", "/x", 0.0},
      {"ÄÖÜ", "äöü", "/", 0.0},
      {"NIKE Air", "nike air", "", 1.0},                              // case does not matter
      {"Air Jordan 1 Retro High", "Jordan 1 High", "/", 0.5},         // 2 of 4
      {"Red red red shoe", "red", "", 0.5},                           // repeated words count once
      {"Nike Air Max 90", "", "/p/nike-air-max-90-white", 1.0},       // slug in the path
      {"Nike Air", "", "/search?q=nike+air", 0.0},                    // only the path counts
      {"Search Nike", "", "https://nike.com/search?q=nike#nike", 0.5},  // host, query, fragment ignored
      {"Nike Air", "", "/?", 0.0},                                    // no link token
      {"Air Max Plus", "Air Max Plus TN - black, size 10", "/x", 1.0},  // extra link words do no harm
      {"Air Max", "", "/p;air-max", 1.0},                             // ";" parameters are part of the path
      {"Nike Air Max", "", "/p/nike;air=max", 1.0},
      {"Nike Air Max", "", "https://shop.example/p/nike;air=max?q=x#f", 1.0},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(detail::title_similarity(c.title, c.text, c.href), c.expected)
        << c.title << " | " << c.text << " | " << c.href;
  }
  EXPECT_THROW((void)detail::title_similarity("Nike Air", "", "https://[::1/p"), korvane::InvalidUrlError);
}

// ---------------------------------------------------------------- candidates and targets

TEST(Resolve, OnlyStoreSearchLinksAreCrawled) {
  struct Case {
    const char* url;
    bool crawled;
  };
  const Case cases[] = {
      {"https://www.ebay.com/sch/i.html?_nkw=nike", true},
      {"https://shop.example/catalogsearch/result/?q=nike", true},
      {"https://shop.example/list?QUERY=nike", true},    // the query, lower-cased
      {"https://shop.example/SEARCH/nike", true},        // the path, lower-cased
      {"https://shop.example/s?k=nike&search=1", true},
      {"https://www.google.com/search?q=nike", false},   // the search engine's own hosts
      {"https://shopping.google.co.uk/search?q=x", false},
      {"https://shop.example/product/123", false},
      {"https://shop.example/p#search", false},          // the fragment does not count
      {"https://shop.example/p;search", false},          // nor path parameters
      {"https://[::1/search", false},                    // cannot be split
      {"", false},
  };
  for (const auto& c : cases) {
    FakeBrowser browser;
    std::vector<EnrichedCommerceMatch> items{item("Nike Air", c.url)};
    const Outcome run = resolve(items, browser);
    EXPECT_EQ(browser.fetched.size(), c.crawled ? 1U : 0U) << c.url;
    EXPECT_EQ(browser.made, c.crawled ? 1 : 0) << c.url;
    EXPECT_EQ(run.progress.empty(), !c.crawled) << c.url;
  }
}

TEST(Resolve, NothingToDoSendsNothingAndMakesNoSession) {
  FakeBrowser browser;
  std::vector<EnrichedCommerceMatch> none;
  EXPECT_TRUE(resolve(none, browser).progress.empty());
  std::vector<EnrichedCommerceMatch> products{item("A", "https://a.example/p/1"), item("B", "https://b.example/x")};
  const auto before = products;
  const Outcome run = resolve(products, browser);
  EXPECT_TRUE(run.progress.empty());
  EXPECT_TRUE(run.log.empty());
  EXPECT_EQ(products, before);
  EXPECT_EQ(browser.made, 0);
}

TEST(Resolve, RejectsConcurrencyAndTimeoutBelowOne) {
  std::vector<EnrichedCommerceMatch> items{item("A", "https://a.example/search?q=a")};
  FakeBrowser browser;
  EXPECT_THROW(DirectStoreResolver::resolve(items, 0, 15, {}, fake_options(browser)), korvane::ValueError);
  EXPECT_THROW(DirectStoreResolver::resolve(items, 4, 0, {}, fake_options(browser)), korvane::ValueError);
  EXPECT_EQ(browser.made, 0);
}

TEST(Resolve, FullRunProgressAndSessionArguments) {
  FakeBrowser browser;
  const std::string a = "https://www.ebay.com/sch/i.html?_nkw=air+max";
  const std::string b = "https://shop.example/search?q=boots";
  browser.sites[a].links[EBAY] = links({{"/itm/111?hash=x", "Nike Air Max 90"}});
  std::vector<EnrichedCommerceMatch> items{item("Nike Air Max 90", a, "eBay"), item("Leather Boots", b),
                                           item("Other", "https://x.example/p/1")};
  const Outcome run = resolve(items, browser, 3);
  EXPECT_THAT(run.progress, ElementsAre("Resolving direct product links across 2 store destinations...",
                                        "Resolving direct product links (1/2)... eBay",
                                        "Resolving direct product links (2/2)... Store",
                                        "✓ Resolved 1/2 direct product links."));
  EXPECT_EQ(items[0].direct_url, "https://www.ebay.com/itm/111");
  EXPECT_EQ(items[1].direct_url, b);
  EXPECT_EQ(items[2].direct_url, "https://x.example/p/1");
  EXPECT_EQ(browser.max_pages, 3);
  EXPECT_EQ(browser.timeout_ms, 15000);
  EXPECT_EQ(browser.entered, 1);
  EXPECT_EQ(browser.exited, 1);
  EXPECT_THAT(run.log, ElementsAre("debug Resolved " + a + " → https://www.ebay.com/itm/111 (score=1.00)"));
}

TEST(Resolve, AtMostTwentyDistinctTargetsFirstSeenFirst) {
  FakeBrowser browser;
  std::vector<EnrichedCommerceMatch> items;
  for (int i = 0; i < 30; ++i) items.push_back(item("T", "https://s.example/search?q=" + std::to_string(i)));
  items.push_back(item("T", "https://s.example/search?q=0"));  // a repeat: 31 candidates, 30 URLs
  const Outcome run = resolve(items, browser);
  ASSERT_EQ(browser.fetched.size(), detail::MAX_CRAWL);
  // The session is told how many pages follow, so that it opens no tab ahead that none would take.
  EXPECT_THAT(browser.announced, ElementsAre(detail::MAX_CRAWL));
  std::set<std::string> fetched(browser.fetched.begin(), browser.fetched.end());
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(fetched.contains("https://s.example/search?q=" + std::to_string(i)));
  ASSERT_EQ(run.progress.size(), 22U);
  EXPECT_EQ(run.progress.front(), "Resolving direct product links across 31 store destinations...");
  std::set<std::string> counted(run.progress.begin() + 1, run.progress.end() - 1);
  for (int i = 1; i <= 20; ++i) {
    EXPECT_TRUE(counted.contains("Resolving direct product links (" + std::to_string(i) + "/20)... Store"));
  }
  EXPECT_EQ(run.progress.back(),
            "Store crawling complete (31 attempted, 0 resolved — stores may be blocking automated access).");
}

TEST(Resolve, SharedSearchUrlIsCrawledOnceAndResolvesEveryItem) {
  FakeBrowser browser;
  const std::string url = "https://www.walmart.com/search?q=trail+runner";
  browser.sites[url].links[WALMART] = links({{"/ip/Trail-Runner/77", "Trail Runner Shoe"}});
  // The label is the first item's merchant ("Store" when absent) even though
  // the second has one; the title is the first non-empty one.
  std::vector<EnrichedCommerceMatch> items{item("", url), item("Trail Runner", url, "Walmart")};
  const Outcome run = resolve(items, browser);
  EXPECT_EQ(browser.fetched.size(), 1U);
  EXPECT_EQ(items[0].direct_url, "https://www.walmart.com/ip/Trail-Runner/77");
  EXPECT_EQ(items[1].direct_url, "https://www.walmart.com/ip/Trail-Runner/77");
  EXPECT_EQ(run.progress[1], "Resolving direct product links (1/1)... Store");
  EXPECT_EQ(run.progress.back(), "✓ Resolved 2/2 direct product links.");
}

TEST(Resolve, EmptyTitlesChooseNothing) {
  FakeBrowser browser;
  const std::string url = "https://shop.example/search?q=x";
  browser.sites[url].links[GENERIC] = links({{"/p/1", "Anything at all"}});
  std::vector<EnrichedCommerceMatch> items{item("", url), item("", url)};
  const Outcome run = resolve(items, browser);
  EXPECT_EQ(browser.fetched.size(), 1U);
  EXPECT_EQ(items[0].direct_url, url);
  EXPECT_TRUE(run.log.empty());
  EXPECT_EQ(run.progress.back(),
            "Store crawling complete (2 attempted, 0 resolved — stores may be blocking automated access).");
}

TEST(Resolve, SummaryCountsCandidates) {
  FakeBrowser browser;
  std::vector<EnrichedCommerceMatch> items;
  for (int i = 0; i < 5; ++i) {
    const std::string url = "https://shop.example/search?q=" + std::to_string(i);
    if (i < 2) browser.sites[url].links[GENERIC] = links({{"/p/shoe", "Blue Shoe"}});
    items.push_back(item("Blue Shoe", url));
  }
  EXPECT_EQ(resolve(items, browser).progress.back(), "✓ Resolved 2/5 direct product links.");
  EXPECT_EQ(items[0].direct_url, "https://shop.example/p/shoe");
  EXPECT_EQ(items[4].direct_url, "https://shop.example/search?q=4");

  FakeBrowser none;
  std::vector<EnrichedCommerceMatch> seven;
  for (int i = 0; i < 7; ++i) seven.push_back(item("Blue Shoe", "https://s.example/search?q=" + std::to_string(i)));
  EXPECT_EQ(resolve(seven, none).progress.back(),
            "Store crawling complete (7 attempted, 0 resolved — stores may be blocking automated access).");
}

TEST(Resolve, UnavailableBrowserLeavesItemsWithAWarning) {
  for (const bool factory_throws : {true, false}) {
    FakeBrowser browser;
    browser.factory_throws = factory_throws;
    browser.enter_error = "no Chromium executable found";
    std::vector<EnrichedCommerceMatch> items{item("A", "https://s.example/search?q=a"),
                                             item("B", "https://s.example/search?q=b"),
                                             item("C", "https://s.example/search?q=a")};
    const auto before = items;
    const Outcome run = resolve(items, browser);
    EXPECT_EQ(items, before);
    EXPECT_THAT(run.progress, ElementsAre("Resolving direct product links across 3 store destinations..."));
    const std::string reason = factory_throws ? "cannot make a browser" : "no Chromium executable found";
    EXPECT_THAT(run.log,
                ElementsAre("warning Stealth browser unavailable; leaving 2 store search URLs unresolved: " + reason));
    EXPECT_TRUE(browser.fetched.empty());
  }
}

TEST(Resolve, ConcurrencyIsBoundedBySemaphore) {
  for (const int limit : {1, 3}) {
    FakeBrowser browser;
    browser.delay = std::chrono::milliseconds(5);
    std::vector<EnrichedCommerceMatch> items;
    for (int i = 0; i < 8; ++i) items.push_back(item("T", "https://s.example/search?q=" + std::to_string(i)));
    (void)resolve(items, browser, limit);
    EXPECT_EQ(browser.open_peak, limit);
    EXPECT_EQ(browser.fetched.size(), 8U);
  }
}

TEST(Resolve, FailingProgressCallback) {
  const std::string url = "https://shop.example/search?q=shoe";
  FakeBrowser browser;
  browser.sites[url].links[GENERIC] = links({{"/p/shoe", "Blue Shoe"}});
  // Failing at the opening message ends the call before any session.
  std::vector<EnrichedCommerceMatch> items{item("Blue Shoe", url)};
  EXPECT_THROW(DirectStoreResolver::resolve(
                   items, 4, 15, [](const std::string&) { throw std::runtime_error("stop"); }, fake_options(browser)),
               std::runtime_error);
  EXPECT_EQ(browser.made, 0);

  // Failing inside a crawl drops that crawl's link; the others stay, the
  // session is closed and the summary still comes.
  const std::string other = "https://shop.example/search?q=boot";
  browser.sites[other].links[GENERIC] = links({{"/p/boot", "Blue Boot"}});
  std::vector<EnrichedCommerceMatch> two{item("Blue Shoe", url, "Failing"), item("Blue Boot", other)};
  std::vector<std::string> seen;
  DirectStoreResolver::resolve(
      two, 1, 15,
      [&seen](const std::string& msg) {
        seen.push_back(msg);
        if (msg.ends_with("Failing")) throw std::runtime_error("callback failed");
      },
      fake_options(browser));
  EXPECT_EQ(two[0].direct_url, url);
  EXPECT_EQ(two[1].direct_url, "https://shop.example/p/boot");
  EXPECT_EQ(seen.back(), "✓ Resolved 1/2 direct product links.");
  EXPECT_EQ(browser.exited, browser.entered);
}

TEST(Resolve, AsyncCallbackIsAwaitedAndBlockingFormWorksInsideALoop) {
  const std::string url = "https://shop.example/search?q=shoe";
  FakeBrowser browser;
  browser.sites[url].links[GENERIC] = links({{"/p/shoe", "Blue Shoe"}});
  std::vector<EnrichedCommerceMatch> items{item("Blue Shoe", url)};
  std::vector<std::string> seen;
  asio::io_context ctx;
  bool done = false;
  asio::co_spawn(
      ctx,
      [&]() -> awaitable<void> {
        // The blocking form, called on a thread that runs a loop.
        DirectStoreResolver::resolve(
            items, 2, 15,
            [&seen](std::string msg) -> awaitable<void> {
              const auto executor = co_await asio::this_coro::executor;
              asio::steady_timer t(executor, std::chrono::milliseconds(1));
              co_await t.async_wait(asio::use_awaitable);
              seen.push_back(std::move(msg));
            },
            fake_options(browser));
        done = true;
        co_return;
      },
      [](std::exception_ptr e) {
        if (e) std::rethrow_exception(e);
      });
  ctx.run();
  EXPECT_TRUE(done);
  EXPECT_EQ(items[0].direct_url, "https://shop.example/p/shoe");
  EXPECT_EQ(seen.size(), 3U);
}

// ---------------------------------------------------------------- one crawl

TEST(Crawl, StoreSelectorThenGenericOnTheSamePage) {
  const std::string url = "https://www.walmart.com/search?q=lamp";
  SiteSpec site;
  site.links[GENERIC] = links({{"/p/desk-lamp", "Desk Lamp"}});
  const Crawl c = crawl(url, "Desk Lamp", site);
  EXPECT_THAT(c.queries, ElementsAre(WALMART, GENERIC));
  EXPECT_EQ(c.link, "https://www.walmart.com/p/desk-lamp");
}

TEST(Crawl, StoreKeyChoice) {
  struct Case {
    const char* url;
    std::vector<std::string> queries;  // all store selectors find nothing here
  };
  const Case cases[] = {
      {"https://shop.example/search?q=x", {GENERIC}},
      {"https://www.amazon.co.uk/s?k=x&search=1", {GENERIC}},      // no ".com" key
      {"https://www.amazon.com.au/s?k=x&search=1", {AMAZON, GENERIC}},  // key plus a suffix
      {"https://www.ebay.www.com/sch/i.html?q=x", {EBAY, GENERIC}},     // every "www." removed
      {"https://WWW.LYST.COM/search?q=x", {LYST, GENERIC}},
      {"https://ebay.com.lyst.com/search?q=x", {EBAY, GENERIC}},        // table order breaks ties
  };
  for (const auto& c : cases) EXPECT_EQ(crawl(c.url, "X", SiteSpec{}).queries, c.queries) << c.url;
}

TEST(Crawl, PageStatusDecidesWhetherLinksAreRead) {
  struct Case {
    std::optional<int> status;
    bool absent;
    bool read;
  };
  const Case cases[] = {{200, false, true},  {301, false, true},  {302, false, true}, {std::nullopt, false, true},
                        {404, false, false}, {500, false, false}, {204, false, false}, {200, true, false}};
  for (const auto& c : cases) {
    SiteSpec site;
    site.status = c.status;
    site.absent = c.absent;
    site.links[GENERIC] = links({{"/p/lamp", "Lamp Shade"}});
    const Crawl r = crawl("https://shop.example/search?q=lamp", "Lamp Shade", site);
    EXPECT_EQ(r.link.has_value(), c.read) << c.status.value_or(-1);
    if (!c.read) EXPECT_TRUE(r.log.empty());
    EXPECT_EQ(r.progress.size(), 3U);  // progress is sent whatever the page
  }
}

TEST(Crawl, LinkChoiceRules) {
  struct Case {
    const char* name;
    std::vector<LinkSpec> links;
    std::optional<std::string> expected;
  };
  std::vector<LinkSpec> twelve;
  for (int i = 0; i < 10; ++i) twelve.push_back({"/p/x" + std::to_string(i), "Green Lamp"});
  twelve.push_back({"/p/perfect", "Red Desk Lamp"});
  twelve.push_back({"/p/perfect2", "Red Desk Lamp"});
  const Case cases[] = {
      {"only the first ten are scored", twelve, "https://shop.example/p/x0"},
      {"equal scores keep the earlier", links({{"/p/a", "Red Lamp"}, {"/p/b", "Red Lamp"}}), "https://shop.example/p/a"},
      {"the better later link wins", links({{"/p/a", "Red"}, {"/p/b", "Red Desk Lamp"}}), "https://shop.example/p/b"},
      // 1 of 3 title tokens: 0.33, accepted; the href is stripped.
      {"no href or a blank one is skipped",
       {LinkSpec{std::nullopt, "Red Desk Lamp"}, LinkSpec{std::string(" \t "), "Red Desk Lamp"},
        LinkSpec{std::string("  /p/ok  "), "Red"}},
       "https://shop.example/p/ok"},
      {"all zero: nothing", links({{"/p/a", "Blue"}, {"/p/b", "Green"}}), std::nullopt},
      {"text falls back to the element's own text",
       {LinkSpec{std::string("/p/a"), "", true, "Red Desk Lamp"}}, "https://shop.example/p/a"},
      // Only http and https links are candidates: others never win, even
      // with every title word in them, and are not even logged as rejected.
      {"links of other schemes are passed over",
       links({{"javascript:fetch('//x.example/'+document.cookie)//product/red-desk-lamp", "Red Desk Lamp"},
              {"file:///etc/passwd?/product/red-desk-lamp", "Red Desk Lamp"},
              {"data:text/html,<a>red desk lamp</a>", "Red Desk Lamp"},
              {"JavaScript:void(0)", "Red Desk Lamp"},
              {"/p/red", "Red"}}),
       "https://shop.example/p/red"},
      {"no http link: nothing",
       links({{"mailto:shop@shop.example?subject=red-desk-lamp", "Red Desk Lamp"},
              {"https:/p/red-desk-lamp", "Red Desk Lamp"}}),
       std::nullopt},
  };
  for (const auto& c : cases) {
    SiteSpec site;
    site.links[GENERIC] = c.links;
    const Crawl r = crawl("https://shop.example/search?q=lamp", "Red Desk Lamp", site);
    EXPECT_EQ(r.link, c.expected) << c.name;
    if (!c.expected) EXPECT_TRUE(r.log.empty()) << c.name;
  }
}

TEST(Crawl, ThresholdAcceptsPointThreeAndLogsRejections) {
  const std::string url = "https://shop.example/search?q=x";
  // 3 of 10 title tokens: exactly 0.3.
  const std::string title = "aa bb cc dd ee ff gg hh ii jj";
  SiteSpec accepted;
  accepted.links[GENERIC] = links({{"/p/1", "aa bb cc"}});
  const Crawl a = crawl(url, title, accepted);
  EXPECT_EQ(a.link, "https://shop.example/p/1");
  EXPECT_THAT(a.log, ElementsAre("debug Resolved " + url + " → https://shop.example/p/1 (score=0.30)"));

  SiteSpec rejected;
  rejected.links[GENERIC] = links({{"/p/1?utm_source=x", "aa bb"}});
  const Crawl r = crawl(url, title, rejected);
  EXPECT_FALSE(r.link);
  EXPECT_THAT(r.log, ElementsAre("debug Rejected " + url +
                                 " → https://shop.example/p/1?utm_source=x (score=0.20 < 0.30 threshold)"));
}

TEST(Crawl, ChosenLinkIsCleanedAndCutOnQueryCutStores) {
  struct Case {
    const char* url;
    std::string selector;
    const char* href;
    const char* expected;
  };
  const Case cases[] = {
      {"https://www.ebay.com/sch/i.html?_nkw=x", EBAY, "/itm/Red-Lamp/1?hash=abc&var=2",
       "https://www.ebay.com/itm/Red-Lamp/1"},
      {"https://www.lyst.com/search?q=x", LYST, "https://www.lyst.com/shop/red-lamp/?ref=1",
       "https://www.lyst.com/shop/red-lamp/"},
      {"https://www.amazon.com/s?k=x&search=1", AMAZON, "/Red-Lamp/dp/B01?psc=1&utm_source=z&tag=t",
       "https://www.amazon.com/Red-Lamp/dp/B01?psc=1&tag=t"},
      {"https://WWW.Shop.example/search?q=x", GENERIC, "/p/red-lamp", "https://WWW.Shop.example/p/red-lamp"},
      // Relative and protocol-relative hrefs resolve as in a browser.
      {"https://shop.example/search/all?q=x", GENERIC, "p/red-lamp", "https://shop.example/search/p/red-lamp"},
      {"https://shop.example/a/b/search?q=x", GENERIC, "../item/red-lamp", "https://shop.example/a/item/red-lamp"},
      {"https://shop.example/search?q=x", GENERIC, "//cdn.shop.example/p/red-lamp",
       "https://cdn.shop.example/p/red-lamp"},
  };
  for (const auto& c : cases) {
    SiteSpec site;
    site.links[c.selector] = links({{c.href, "Red Lamp"}});
    EXPECT_EQ(crawl(c.url, "Red Lamp", site).link, c.expected) << c.href;
  }
}

TEST(Crawl, FailuresAreLoggedAndCounted) {
  const std::string url = "https://shop.example/search?q=x";
  SiteSpec failing;
  failing.fetch_error = "the browser exited (killed by signal 9)";
  const Crawl f = crawl(url, "Red Lamp", failing);
  EXPECT_FALSE(f.link);
  EXPECT_THAT(f.log, ElementsAre("debug Failed crawling store URL '" + url +
                                 "': the browser exited (killed by signal 9)"));
  EXPECT_EQ(f.progress[1], "Resolving direct product links (1/1)... Store");

  // A link that cannot be unwrapped fails the whole page, earlier scores too.
  SiteSpec bad_link;
  bad_link.links[GENERIC] = links({{"/p/red", "Red"}, {"https://[::1/p/red-lamp", "Red Lamp"}});
  const Crawl b = crawl(url, "Red Lamp", bad_link);
  EXPECT_FALSE(b.link);
  ASSERT_EQ(b.log.size(), 1U);
  EXPECT_THAT(b.log[0], HasSubstr("debug Failed crawling store URL '" + url + "': "));
}

}  // namespace

TEST(Resolve, ByValueFormReportsEverySearchPage) {
  FakeBrowser browser;
  const std::string found = "https://www.ebay.com/sch/i.html?_nkw=acme";
  const std::string weak = "https://www.ebay.com/sch/i.html?_nkw=weak";
  const std::string empty = "https://shop.example/search?q=empty";
  const std::string gone = "https://shop.example/search?q=gone";
  const std::string broken = "https://shop.example/search?q=broken";
  browser.sites[found].links[EBAY] = links({{"https://www.ebay.com/itm/1?hash=x", "Acme Runner Blue"}});
  browser.sites[weak].links[EBAY] = links({{"https://www.ebay.com/itm/2", "Something else entirely"}});
  browser.sites[gone].status = 404;
  browser.sites[broken].fetch_error = "the tab crashed";
  const std::vector<EnrichedCommerceMatch> items{item("Acme Runner Blue", found), item("Acme Runner", found),
                                                 item("Acme Runner", weak),      item("Acme Runner", empty),
                                                 item("Acme Runner", gone),      item("Acme Runner", broken),
                                                 item("Acme Runner", "https://a.example/p/1")};
  const auto result = detail::run_coroutine(
      DirectStoreResolver::resolve_links_async(items, 2, 15, {}, fake_options(browser)));

  using korvane::commerce::StoreOutcome;
  const auto& report = result.report;
  EXPECT_EQ(report.candidates, 6u);
  EXPECT_EQ(report.items_resolved, 2u);
  ASSERT_EQ(report.stores.size(), 5u);
  std::vector<std::pair<std::string, StoreOutcome>> outcomes;
  for (const auto& attempt : report.stores) outcomes.emplace_back(attempt.search_url, attempt.outcome);
  EXPECT_THAT(outcomes, ElementsAre(std::pair{found, StoreOutcome::resolved}, std::pair{weak, StoreOutcome::no_match},
                                    std::pair{empty, StoreOutcome::no_links},
                                    std::pair{gone, StoreOutcome::page_refused},
                                    std::pair{broken, StoreOutcome::failed}));
  EXPECT_EQ(report.stores[0].product_url, "https://www.ebay.com/itm/1");
  EXPECT_EQ(report.stores[0].items, 2u);
  EXPECT_EQ(report.stores[3].detail, "status 404");
  EXPECT_THAT(report.stores[4].detail, HasSubstr("the tab crashed"));
  EXPECT_EQ(report.stores_resolved(), 1u);
  EXPECT_EQ(report.stores_failed(), 1u);
  // By value: the caller's items keep their links, the returned ones have the product link.
  EXPECT_EQ(items[0].direct_url, found);
  EXPECT_EQ(result.items[0].direct_url, "https://www.ebay.com/itm/1");
  EXPECT_EQ(result.items[1].direct_url, "https://www.ebay.com/itm/1");
  EXPECT_EQ(result.items[2].direct_url, weak);
}
