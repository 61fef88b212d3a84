// The stealth browser session and store resolution with a real Chromium and
// a local store server (every host name mapped to it by the browser's
// host-resolver rules). Needs Chromium on PATH or KORVANE_CHROMIUM.
#include <korvane/commerce/resolver.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/browser/session.hpp>
#include <korvane/core/fetcher.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/resolver_crawl.hpp"

#include "host/browser/temp_directory.hpp"
#include "host/browser/process.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <httplib.h>
#include <sys/wait.h>

#include <gmock/gmock.h>
#include "support/browser.hpp"
#include "support/log_capture.hpp"
#include "support/loopback.hpp"
#include "support/processes.hpp"
#include "support/records.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

namespace asio = boost::asio;
namespace fs = std::filesystem;
using namespace korvane::browser;
using korvane::commerce::awaitable;
using korvane::commerce::DirectStoreResolver;
using korvane::commerce::ResolverOptions;
using korvane::commerce::detail::run_coroutine;
using korvane::models::EnrichedCommerceMatch;
using korvane::testing::item;
using korvane::testing::LogCapture;
using testing::HasSubstr;
using std::chrono::milliseconds;

// ---------------------------------------------------------------- the store server

// A search page that asks for its results with fetch() after the load
// event, so that only a browser that runs scripts and waits finds the links.
// It also references an image, a style sheet and a font.
std::string search_page(const std::string& query) {
  return R"(<!doctype html><html><head><title>Search</title>
<link rel="stylesheet" href="/style.css">
<style>@font-face { font-family: F; src: url(/font.woff2); } body { font-family: F; }</style>
</head><body><img src="/img.png" alt=""><h1>Results</h1><div id="results"></div>
<script>
window.addEventListener('load', () => {
  fetch('/api/results?q=)" + query + R"(').then((r) => r.json()).then((items) => {
    const box = document.getElementById('results');
    for (const item of items) {
      const a = document.createElement('a');
      a.href = item.href;
      a.innerHTML = item.html;
      box.appendChild(a);
    }
  });
});
</script></body></html>)";
}

// The results of each store, by host.
std::string results_for(const std::string& host) {
  if (host == "www.ebay.com") {
    return R"([{"href": "/itm/Adidas-Samba/99", "html": "Adidas Samba OG"},
      {"href": "/itm/Nike-Air-Max-90-White/1234?hash=item1&var=5",
       "html": "<span>Nike Air Max 90</span><script>var brand = 'jordan';</script><b>White</b>"}])";
  }
  if (host == "www.walmart.com") {
    return R"([{"href": "/ip/Brightline-Desk-Lamp/777?from=search", "html": "Brightline LED Desk Lamp"}])";
  }
  // shop.example: relative links, resolved against /search/all.
  return R"([{"href": "../p/red-leather-boots", "html": "Red Leather Boots"},
    {"href": "../p/blue-canvas-shoes", "html": "Blue Canvas Shoes"}])";
}

// Search pages that show their results in the ways shops do, by kind: in
// the document itself; after the load event, replacing placeholder links;
// on a timer with no request; in two pieces a few frames apart; with a
// clock ticking on the page all along, the results shown a while after
// they came and then reordered; and a page that never shows any. The
// final list always holds /p/red-leather-boots.
std::string late_page(const std::string& kind) {
  const std::string results = R"([{"href": "/p/blue-canvas-shoes", "text": "Blue Canvas Shoes"},
    {"href": "/p/red-leather-boots", "text": "Red Leather Boots"}])";
  const std::string show = R"(
const show = (items, replace) => {
  const box = document.getElementById('results');
  if (replace) box.textContent = '';
  for (const item of items) {
    const a = document.createElement('a');
    a.href = item.href;
    a.textContent = item.text;
    box.appendChild(a);
  }
};
)";
  std::string body = R"(<div id="results"></div>)";
  std::string script;
  if (kind == "static") {
    body = R"(<div id="results"><a href="/p/blue-canvas-shoes">Blue Canvas Shoes</a>)"
           R"(<a href="/p/red-leather-boots">Red Leather Boots</a></div>)";
  } else if (kind == "replaced") {
    body = R"(<div id="results"><a href="/p/placeholder-1">Loading</a><a href="/p/placeholder-2">Loading</a></div>)";
    script = "window.addEventListener('load', () => fetch('/api/late').then((r) => r.json()).then((items) => "
             "show(items, true)));";
  } else if (kind == "timer") {
    script = "setTimeout(() => show(" + results + ", false), 250);";
  } else if (kind == "pieces") {
    script = "fetch('/api/late').then((r) => r.json()).then((items) => { show([items[0]], false); "
             "setTimeout(() => show([items[1]], false), 60); });";
  } else if (kind == "ticking") {
    body = R"(<p id="clock">0</p><div id="results"></div>)";
    script = "let ticks = 0; setInterval(() => { document.getElementById('clock').textContent = String(++ticks); }, 20);"
             "window.addEventListener('load', () => fetch('/api/late').then((r) => r.json()).then((items) => "
             "setTimeout(() => { show([items[0]], false); setTimeout(() => show([items[1], items[0]], true), 120); "
             "}, 100)));";
  }
  return "<!doctype html><html><head><title>Search</title></head><body>" + body + "<script>" + show + script +
         "</script></body></html>";
}

class StoreServer {
 public:
  StoreServer() : loopback_(32) {
    auto& http = loopback_.http();
    http.set_keep_alive_timeout(1);
    const auto search = [this](const httplib::Request& req, httplib::Response& res) {
      if (on_search) on_search();
      res.set_content(search_page(req.get_param_value("q")), "text/html");
    };
    http.Get("/sch/i.html", search);
    http.Get("/search", search);
    http.Get("/search/all", search);
    http.Get("/api/results", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(results_for(req.get_header_value("Host")), "application/json");
    });
    http.Get("/late/search", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(late_page(req.get_param_value("kind")), "text/html");
    });
    http.Get("/api/late", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(milliseconds(150));
      res.set_content(R"([{"href": "/p/blue-canvas-shoes", "text": "Blue Canvas Shoes"},
        {"href": "/p/red-leather-boots", "text": "Red Leather Boots"}])",
                      "application/json");
    });
    http.Get("/missing/search", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html><body><a href=\"/p/red-leather-boots\">Red Leather Boots</a></body></html>",
                      "text/html");
    });
    http.Get("/slow/search", [this](const httplib::Request&, httplib::Response& res) {
      if (on_slow) on_slow();
      for (int i = 0; i < 60 && !stopping_; ++i) std::this_thread::sleep_for(milliseconds(50));
      res.set_content("<html><body>late</body></html>", "text/html");
    });
    http.Get("/probe", [this](const httplib::Request& req, httplib::Response& res) {
      {
        const std::lock_guard lock(mutex_);
        user_agents_.push_back(req.get_header_value("User-Agent"));
        accept_languages_.push_back(req.get_header_value("Accept-Language"));
      }
      ++probe_requests;
      res.set_content(R"(<html><body><div id="probe"></div><script>
        const p = document.getElementById('probe');
        p.setAttribute('webdriver', String(navigator.webdriver));
        p.setAttribute('ua', navigator.userAgent);
        p.setAttribute('languages', navigator.languages.join(','));
        p.setAttribute('plugins', String(navigator.plugins.length));
        p.setAttribute('chrome', typeof window.chrome);
        p.setAttribute('runtime', typeof (window.chrome && window.chrome.runtime));
      </script></body></html>)",
                      "text/html");
    });
    http.Get("/text", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"(<html><body>
        <p id="b-first">first</p>
        <a id="words" href="/x?y=1" class="c">Nike <b>Air</b><script>var hidden = 'jordan';</script><style>.q { color: red }</style><span>Max</span>90</a>
        <p id="a-last">last</p></body></html>)",
                      "text/html");
    });
    http.Get("/delayed", [this](const httplib::Request&, httplib::Response& res) {
      const int now = ++documents_in_flight;
      int peak = documents_peak.load();
      while (now > peak && !documents_peak.compare_exchange_weak(peak, now)) {
      }
      std::this_thread::sleep_for(milliseconds(300));
      --documents_in_flight;
      res.set_content("<html><body>ok</body></html>", "text/html");
    });
    const auto resource = [this](const httplib::Request&, httplib::Response& res) {
      ++resource_requests;
      res.set_content("", "application/octet-stream");
    };
    http.Get("/img.png", resource);
    http.Get("/style.css", resource);
    http.Get("/font.woff2", resource);
    loopback_.start();
  }
  ~StoreServer() {
    stopping_ = true;
    loopback_.stop();
  }
  StoreServer(const StoreServer&) = delete;
  StoreServer& operator=(const StoreServer&) = delete;

  [[nodiscard]] int port() const { return loopback_.port(); }

  // Session options: private addresses allowed, every host on this server.
  [[nodiscard]] SessionOptions options() const { return korvane::testing::every_host_to(port()); }

  std::vector<std::string> user_agents() {
    const std::lock_guard lock(mutex_);
    return user_agents_;
  }
  std::vector<std::string> accept_languages() {
    const std::lock_guard lock(mutex_);
    return accept_languages_;
  }

  std::function<void()> on_search;  // runs on a server thread for every search page
  std::function<void()> on_slow;    // runs on a server thread when the slow page is asked for
  std::atomic<int> resource_requests{0};
  std::atomic<int> probe_requests{0};
  std::atomic<int> documents_in_flight{0};
  std::atomic<int> documents_peak{0};

 private:
  korvane::testing::LoopbackServer loopback_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<std::string> user_agents_;
  std::vector<std::string> accept_languages_;
};

// ---------------------------------------------------------------- helpers

// Checks that nothing of a session whose browser ran as `pid` with profile
// folder `dir` is left.
void expect_nothing_left(int pid, const std::string& dir) {
  ASSERT_GT(pid, 0);
  ASSERT_FALSE(dir.empty());
  EXPECT_FALSE(korvane::browser::detail::group_has_live_members(pid)) << "live processes in the browser's group";
  EXPECT_EQ(korvane::testing::processes_mentioning(dir), 0) << "processes still using " << dir;
  EXPECT_FALSE(fs::exists(dir)) << dir;
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1) << "the browser was not reaped";
}

std::string href_of(const Element& e) {
  const auto it = e.attrib().find("href");
  return it == e.attrib().end() ? std::string() : it->second;
}

// Every test runs with its own temporary folder, which must be empty when
// the test ends: no session leaves a profile behind.
class Browser : public ::testing::Test {
 protected:
  // Runs `body` with a session of `tabs` tabs on the store server, entered
  // before and left after.
  void with_session(int tabs, const std::function<awaitable<void>(AsyncStealthySession&)>& body) {
    run_coroutine([&]() -> awaitable<void> {
      AsyncStealthySession session(tabs, 10000, server_.options());
      co_await session.enter();
      co_await body(session);
      co_await session.exit();
    }());
  }
  void SetUp() override {
    char templ[] = "/tmp/korvane-browser-test-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    tmp_ = templ;
    const char* old = std::getenv("TMPDIR");
    old_tmpdir_ = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
    ::setenv("TMPDIR", tmp_.c_str(), 1);
  }
  void TearDown() override {
    EXPECT_TRUE(fs::is_empty(tmp_)) << "left in " << tmp_;
    fs::remove_all(tmp_);
    if (old_tmpdir_) {
      ::setenv("TMPDIR", old_tmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }

  StoreServer server_;
  std::string tmp_;
  std::optional<std::string> old_tmpdir_;
};

// ---------------------------------------------------------------- the session

TEST_F(Browser, FindsLinksThatScriptsInsertAfterLoad) {
  with_session(2, [&](AsyncStealthySession& session) -> awaitable<void> {
    EXPECT_GT(session.start_up_time().count(), 0);
    std::string url = "http://www.ebay.com/sch/i.html?_nkw=nike+air+max";
    const auto page = co_await session.fetch(url);
    EXPECT_TRUE(page);
    if (page) {
      EXPECT_EQ(page->status(), 200);
      std::string selector = R"(a[href*="/itm/"])";
      const auto links = co_await page->css(selector);
      EXPECT_EQ(links.size(), 2U);
      if (links.size() == 2) {
        EXPECT_EQ(href_of(*links[0]), "/itm/Adidas-Samba/99");
        EXPECT_EQ(href_of(*links[1]), "/itm/Nike-Air-Max-90-White/1234?hash=item1&var=5");
        EXPECT_EQ(links[1]->get_all_text(), "Nike Air Max 90\nWhite");
      }
    }
  });
}

// A page counted as ready as soon as its links have settled gives the links
// of the page that has loaded and settled, however it shows them, to each
// query of the ready selectors in the order the resolver asks (the store's,
// which matches nothing here, then the generic one) and to a query asked
// again; a page with none is waited for as before. One tab at a time, each
// page's tab reused or replaced as the session sees fit.
TEST_F(Browser, ReadyPagesGiveTheLinksOfTheSettledPage) {
  with_session(1, [&](AsyncStealthySession& session) -> awaitable<void> {
    const auto hrefs = [](const std::vector<std::unique_ptr<Element>>& links) {
      std::vector<std::string> out;
      for (const auto& link : links) out.push_back(href_of(*link));
      return out;
    };
    const std::string generic(korvane::commerce::detail::GENERIC_PRODUCT_SELECTOR);
    for (const std::string kind : {"static", "replaced", "timer", "pieces", "ticking", "none"}) {
      SCOPED_TRACE(kind);
      const std::string url = "http://shop.example/late/search?kind=" + kind;
      std::vector<std::string> settled, ready;
      if (const auto page = co_await session.fetch(url)) settled = hrefs(co_await page->css(generic));
      const std::string store = R"(a[href*="/itm/"])";
      korvane::browser::ReadyWhen when{{store, generic}};
      std::vector<std::string> again;
      if (const auto page = co_await session.fetch_when_ready(url, when)) {
        EXPECT_TRUE((co_await page->css(store)).empty());
        ready = hrefs(co_await page->css(generic));
        again = hrefs(co_await page->css(generic));
      }
      EXPECT_EQ(ready, settled);
      EXPECT_EQ(again, settled);
      if (kind == "none") {
        EXPECT_TRUE(ready.empty());
      } else {
        EXPECT_THAT(ready, testing::Contains("/p/red-leather-boots"));
      }
    }
  });
}

TEST_F(Browser, StatusTextAndDocumentOrder) {
  with_session(1, [&](AsyncStealthySession& session) -> awaitable<void> {
    std::string missing = "http://shop.example/missing/search";
    auto not_found = co_await session.fetch(missing);
    EXPECT_TRUE(not_found);
    if (not_found) EXPECT_EQ(not_found->status(), 404);
    not_found.reset();  // gives its tab back: this session has one

    std::string url = "http://shop.example/text";
    const auto page = co_await session.fetch(url);
    EXPECT_TRUE(page);
    if (page) {
      std::string selector = "#words";
      const auto words = co_await page->css(selector);
      EXPECT_EQ(words.size(), 1U);
      if (!words.empty()) {
        // Script and style left out; words of adjacent elements kept apart.
        EXPECT_EQ(words[0]->get_all_text(), "Nike \nAir\nMax\n90");
        EXPECT_EQ(words[0]->text(), "Nike 90");
        EXPECT_EQ(words[0]->attrib(),
                  (std::map<std::string, std::string>{{"class", "c"}, {"href", "/x?y=1"}, {"id", "words"}}));
      }
      std::string both = "#a-last, #b-first";
      const auto ordered = co_await page->css(both);
      EXPECT_EQ(ordered.size(), 2U);
      if (ordered.size() == 2) EXPECT_EQ(ordered[0]->attrib().at("id"), "b-first");
      std::string none = "#nothing";
      EXPECT_TRUE((co_await page->css(none)).empty());
      std::string invalid = "a[[";
      bool refused = false;
      try {
        (void)co_await page->css(invalid);
      } catch (const BrowserError& e) {
        refused = std::string(e.what()).find("not a valid selector") != std::string::npos;
      }
      EXPECT_TRUE(refused);
    }
  });
}

TEST_F(Browser, StealthMeasures) {
  with_session(1, [&](AsyncStealthySession& session) -> awaitable<void> {
    std::string url = "http://shop.example/probe";
    const auto page = co_await session.fetch(url);
    EXPECT_TRUE(page);
    if (page) {
      std::string selector = "#probe";
      const auto probe = co_await page->css(selector);
      EXPECT_EQ(probe.size(), 1U);
      if (!probe.empty()) {
        const auto& a = probe[0]->attrib();
        EXPECT_EQ(a.at("webdriver"), "false");
        EXPECT_THAT(a.at("ua"), testing::Not(HasSubstr("Headless")));
        EXPECT_THAT(a.at("ua"), HasSubstr("Chrome/"));
        EXPECT_EQ(a.at("languages"), "en-US,en");
        EXPECT_NE(a.at("plugins"), "0");
        EXPECT_EQ(a.at("chrome"), "object");
        // Set by the injected script, which ran before the page's own.
        EXPECT_EQ(a.at("runtime"), "object");
      }
    }
    co_return;
  });
  ASSERT_FALSE(server_.user_agents().empty());
  EXPECT_THAT(server_.user_agents().front(), testing::Not(HasSubstr("Headless")));
  EXPECT_THAT(server_.accept_languages().front(), testing::StartsWith("en-US,en"));
}

TEST_F(Browser, LoadsNoPagesOfItsOwnInterface) {
  // The first tab gives the browser a window, whose address bar would load
  // its pop-up pages in a renderer of their own: they are turned off.
  with_session(1, [&](AsyncStealthySession& session) -> awaitable<void> {
    std::string url = "http://shop.example/text";
    EXPECT_TRUE(co_await session.fetch(url));
    EXPECT_EQ(korvane::testing::processes_mentioning(session.profile_directory(), "--top-chrome-webui"), 0);
  });
}

TEST_F(Browser, DisabledResourcesAreNotRequested) {
  for (const bool disable : {true, false}) {
    const int before = server_.resource_requests.load();
    run_coroutine([this, disable]() -> awaitable<void> {
      SessionOptions options = server_.options();
      options.disable_resources = disable;
      AsyncStealthySession session(1, 10000, options);
      co_await session.enter();
      // One tab for all: a page whose own address ends like a blocked file
      // name loads all the same (its resources still refused by type).
      for (const std::string query : {"boots", "logo.png", "boots"}) {
        std::string url = "http://shop.example/search/all?q=" + query;
        const auto page = co_await session.fetch(url);
        EXPECT_TRUE(page) << url;
        if (page) {
          std::string links = R"(a[href*="/p/"])";
          EXPECT_EQ((co_await page->css(links)).size(), 2U) << url;
        }
      }
      co_await session.exit();
    }());
    const int requested = server_.resource_requests.load() - before;
    if (disable) {
      EXPECT_EQ(requested, 0);
    } else {
      EXPECT_GE(requested, 2);  // at least the image and the style sheet
    }
  }
}

TEST_F(Browser, AtMostMaxPagesTabsAtOnce) {
  with_session(2, [&](AsyncStealthySession& session) -> awaitable<void> {
    std::vector<awaitable<bool>> tasks;
    for (int i = 0; i < 5; ++i) {
      tasks.push_back([](Session& s, std::string url) -> awaitable<bool> {
        const auto page = co_await s.fetch(std::move(url));
        co_return page != nullptr;
      }(session, "http://shop.example/delayed?n=" + std::to_string(i)));
    }
    const auto outcomes = co_await korvane::commerce::detail::gather(std::move(tasks));
    for (const auto& o : outcomes) EXPECT_TRUE(o.ok() && o.value && *o.value);
    co_return;
  });
  EXPECT_EQ(server_.documents_peak.load(), 2);
}

TEST_F(Browser, RefusesPrivateAddressesUnlessAllowed) {
  run_coroutine([this]() -> awaitable<void> {
    SessionOptions options = server_.options();
    options.allow_private_addresses = false;
    AsyncStealthySession session(1, 10000, options);
    co_await session.enter();
    // An address literal on loopback: refused before any request.
    std::string loopback = "http://127.0.0.1:" + std::to_string(server_.port()) + "/probe";
    EXPECT_FALSE(co_await session.fetch(loopback));
    EXPECT_EQ(server_.probe_requests.load(), 0);
    // A name that the browser maps to loopback: refused by the address the
    // response came from.
    std::string mapped = "http://public.example/probe";
    EXPECT_FALSE(co_await session.fetch(mapped));
    // Not a web page at all.
    std::string file = "file:///etc/hostname";
    EXPECT_FALSE(co_await session.fetch(file));
    co_await session.exit();
  }());
}

TEST_F(Browser, PageSlowerThanTheTimeoutFails) {
  const auto started = std::chrono::steady_clock::now();
  run_coroutine([this]() -> awaitable<void> {
    AsyncStealthySession session(1, 1000, server_.options());
    co_await session.enter();
    std::string url = "http://shop.example/slow/search";
    std::string error;
    try {
      (void)co_await session.fetch(url);
    } catch (const BrowserError& e) {
      error = e.what();
    }
    EXPECT_THAT(error, HasSubstr("timed out after 1000 ms"));
    // With the only tab held by a page, another fetch fails in time too.
    std::string fast = "http://shop.example/text";
    const auto held = co_await session.fetch(fast);
    EXPECT_TRUE(held);
    error.clear();
    try {
      (void)co_await session.fetch(fast);
    } catch (const BrowserError& e) {
      error = e.what();
    }
    EXPECT_THAT(error, HasSubstr("no browser tab became free within 1000 ms"));
    co_await session.exit();
  }());
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(8));
}

TEST_F(Browser, MissingOrBrokenBrowserFailsToEnter) {
  struct Case {
    std::string path;
    bool via_environment;
    const char* message;
  };
  const Case cases[] = {
      {"/nonexistent/chromium", false, "not an executable file"},
      {"/nonexistent/chromium", true, "KORVANE_CHROMIUM names '/nonexistent/chromium'"},
      {"/bin/false", false, "did not start"},
  };
  for (const auto& c : cases) {
    SessionOptions options = server_.options();
    if (c.via_environment) {
      ::setenv("KORVANE_CHROMIUM", c.path.c_str(), 1);
    } else {
      options.chromium_path = c.path;
    }
    std::string error;
    try {
      run_coroutine([&options]() -> awaitable<void> {
        AsyncStealthySession session(1, 1000, options);
        co_await session.enter();
      }());
    } catch (const BrowserUnavailableError& e) {
      error = e.what();
    }
    ::unsetenv("KORVANE_CHROMIUM");
    EXPECT_THAT(error, HasSubstr(c.message)) << c.path;
  }
}

TEST_F(Browser, NothingLeftAfterExitCrashOrDestruction) {
  // The folder of a process that was killed (its pid runs no more) goes at
  // the next start; the session's own folder names this process.
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const fs::path abandoned = korvane::browser::detail::temporary_base() / "korvane-chromium-killed";
  fs::create_directories(abandoned / "profile" / "Default");
  std::ofstream(abandoned / korvane::browser::detail::OWNER_FILE) << ended << ".1\n";

  enum class End { exit, crash_then_exit, destroy };
  for (const End end : {End::exit, End::crash_then_exit, End::destroy}) {
    int pid = 0;
    std::string dir;
    run_coroutine([&]() -> awaitable<void> {
      auto session = std::make_unique<AsyncStealthySession>(1, 10000, server_.options());
      co_await session->enter();
      pid = session->browser_pid().value_or(0);
      dir = session->profile_directory();
      EXPECT_FALSE(fs::exists(abandoned));
      std::string owner;
      std::getline(std::ifstream(fs::path(dir) / korvane::browser::detail::OWNER_FILE), owner);
      EXPECT_EQ(owner, korvane::browser::detail::process_mark());
      std::string url = "http://shop.example/text";
      EXPECT_TRUE(co_await session->fetch(url));
      if (end == End::crash_then_exit) {
        ::kill(-pid, SIGKILL);
        bool failed = false;
        try {
          (void)co_await session->fetch(url);
        } catch (const BrowserError&) {
          failed = true;
        }
        EXPECT_TRUE(failed);
      }
      if (end != End::destroy) co_await session->exit();
      session.reset();
    }());
    expect_nothing_left(pid, dir);
  }
}

TEST_F(Browser, CancelledCallerLeavesNothing) {
  int pid = 0;
  std::string dir;
  std::exception_ptr outcome;
  asio::io_context ctx;
  asio::cancellation_signal signal;
  // Cancel while the page is being loaded.
  server_.on_slow = [&] { asio::post(ctx, [&] { signal.emit(asio::cancellation_type::all); }); };
  asio::co_spawn(
      ctx,
      [&]() -> awaitable<void> {
        AsyncStealthySession session(1, 10000, server_.options());
        co_await session.enter();
        pid = session.browser_pid().value_or(0);
        dir = session.profile_directory();
        std::string url = "http://shop.example/slow/search";
        (void)co_await session.fetch(url);
        ADD_FAILURE() << "the fetch was not cancelled";
      },
      asio::bind_cancellation_slot(signal.slot(), [&](std::exception_ptr e) { outcome = e; }));
  ctx.run();
  server_.on_slow = nullptr;
  ASSERT_TRUE(outcome);
  try {
    std::rethrow_exception(outcome);
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), asio::error::operation_aborted);
  }
  expect_nothing_left(pid, dir);
}

// ---------------------------------------------------------------- store resolution

ResolverOptions resolver_options(const StoreServer& server) {
  ResolverOptions options;
  const SessionOptions session_options = server.options();
  options.session_factory = [session_options](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    return std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, session_options);
  };
  return options;
}

TEST_F(Browser, ResolverFindsProductLinksOnStorePages) {
  std::vector<EnrichedCommerceMatch> items{
      item("Nike Air Max 90 White", "http://www.ebay.com/sch/i.html?_nkw=nike+air+max+90", "eBay"),
      item("Brightline Desk Lamp", "http://www.walmart.com/search?q=desk+lamp", "Walmart"),
      item("Red Leather Boots", "http://shop.example/search/all?q=boots"),
      item("Red Leather Boots", "http://shop.example/missing/search?q=boots", "Gone"),
      item("Just a product", "http://shop.example/p/123"),
  };
  std::vector<std::string> progress;
  LogCapture log("korvane.commerce.resolver");
  DirectStoreResolver::resolve(
      items, 2, 10, [&progress](std::string msg) { progress.push_back(std::move(msg)); },
      resolver_options(server_));
  EXPECT_EQ(items[0].direct_url, "http://www.ebay.com/itm/Nike-Air-Max-90-White/1234");
  EXPECT_EQ(items[1].direct_url, "http://www.walmart.com/ip/Brightline-Desk-Lamp/777?from=search");
  EXPECT_EQ(items[2].direct_url, "http://shop.example/p/red-leather-boots");
  EXPECT_EQ(items[3].direct_url, "http://shop.example/missing/search?q=boots");
  EXPECT_EQ(items[4].direct_url, "http://shop.example/p/123");
  ASSERT_EQ(progress.size(), 6U);
  EXPECT_EQ(progress.front(), "Resolving direct product links across 4 store destinations...");
  EXPECT_EQ(progress.back(), "✓ Resolved 3/4 direct product links.");
  EXPECT_THAT(log.text(), HasSubstr("debug Resolved http://www.ebay.com/sch/i.html?_nkw=nike+air+max+90 → "
                                    "http://www.ebay.com/itm/Nike-Air-Max-90-White/1234 (score=1.00)"));
  EXPECT_THAT(log.text(), testing::Not(HasSubstr("Failed")));
}

TEST_F(Browser, ResolverGivesUpOnSlowPagesAndMissingBrowser) {
  {
    std::vector<EnrichedCommerceMatch> items{item("Late Page", "http://shop.example/slow/search?q=late")};
    LogCapture log("korvane.commerce.resolver");
    DirectStoreResolver::resolve(items, 1, 1, {}, resolver_options(server_));
    EXPECT_EQ(items[0].direct_url, "http://shop.example/slow/search?q=late");
    EXPECT_THAT(log.text(), HasSubstr("debug Failed crawling store URL 'http://shop.example/slow/search?q=late': "
                                      "loading http://shop.example/slow/search?q=late timed out after 1000 ms"));
  }
  {
    // A host name that does not resolve is reported as such.
    ResolverOptions options;
    SessionOptions session_options = server_.options();
    session_options.extra_args.back() = "--host-resolver-rules=MAP nowhere.invalid ~NOTFOUND, MAP * 127.0.0.1:" +
                                        std::to_string(server_.port());
    options.session_factory = [session_options](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
      return std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, session_options);
    };
    const auto resolved = run_coroutine(DirectStoreResolver::resolve_links_async(
        {item("Boots", "http://nowhere.invalid/search?q=boots"),
         item("Red Leather Boots", "http://shop.example/search/all?q=boots")},
        2, 10, {}, options));
    ASSERT_EQ(resolved.report.stores.size(), 2U);
    EXPECT_EQ(resolved.report.stores[0].outcome, korvane::commerce::StoreOutcome::host_not_found);
    EXPECT_THAT(resolved.report.stores[0].detail, HasSubstr("ERR_NAME_NOT_RESOLVED"));
    EXPECT_EQ(resolved.report.stores[1].outcome, korvane::commerce::StoreOutcome::resolved);
  }
  {
    ::setenv("KORVANE_CHROMIUM", "/nonexistent/chromium", 1);
    std::vector<EnrichedCommerceMatch> items{item("A", "http://www.ebay.com/sch/i.html?_nkw=a"),
                                             item("B", "http://shop.example/search/all?q=b")};
    const auto before = items;
    std::vector<std::string> progress;
    LogCapture log("korvane.commerce.resolver");
    DirectStoreResolver::resolve(items, 4, 15, [&progress](std::string msg) { progress.push_back(std::move(msg)); });
    ::unsetenv("KORVANE_CHROMIUM");
    EXPECT_EQ(items, before);
    EXPECT_EQ(progress.size(), 1U);
    EXPECT_THAT(log.text(), HasSubstr("warning Stealth browser unavailable; leaving 2 store search URLs unresolved: "
                                      "KORVANE_CHROMIUM names '/nonexistent/chromium'"));
  }
}

// A session that tells the test its browser's process id once it runs.
class WatchedSession final : public Session {
 public:
  WatchedSession(std::unique_ptr<AsyncStealthySession> inner, std::atomic<int>& pid, std::string& dir)
      : inner_(std::move(inner)), pid_(pid), dir_(dir) {}
  awaitable<void> enter() override {
    co_await inner_->enter();
    dir_ = inner_->profile_directory();
    pid_ = inner_->browser_pid().value_or(0);
  }
  awaitable<std::unique_ptr<Page>> fetch(std::string url) override { return inner_->fetch(std::move(url)); }
  awaitable<void> exit() override { return inner_->exit(); }

 private:
  std::unique_ptr<AsyncStealthySession> inner_;
  std::atomic<int>& pid_;
  std::string& dir_;
};

TEST_F(Browser, KillingTheBrowserMidCrawlLeavesNothingAndReturns) {
  std::atomic<int> pid{0};
  std::string dir;
  // The first search page request kills the whole browser.
  std::atomic<bool> killed{false};
  server_.on_search = [&] {
    if (!killed.exchange(true) && pid > 0) ::kill(-pid, SIGKILL);
  };
  ResolverOptions options;
  const SessionOptions session_options = server_.options();
  options.session_factory = [&, session_options](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    return std::make_unique<WatchedSession>(
        std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, session_options), pid, dir);
  };
  std::vector<EnrichedCommerceMatch> items{item("Red Leather Boots", "http://shop.example/search/all?q=1"),
                                           item("Red Leather Boots", "http://shop.example/search/all?q=2"),
                                           item("Red Leather Boots", "http://shop.example/search/all?q=3")};
  std::vector<std::string> progress;
  LogCapture log("korvane.commerce.resolver");
  DirectStoreResolver::resolve(
      items, 1, 10, [&progress](std::string msg) { progress.push_back(std::move(msg)); }, options);
  server_.on_search = nullptr;
  EXPECT_TRUE(killed);
  EXPECT_EQ(progress.back(),
            "Store crawling complete (3 attempted, 0 resolved — stores may be blocking automated access).");
  EXPECT_THAT(log.text(), HasSubstr("Failed crawling store URL 'http://shop.example/search/all?q=3'"));
  expect_nothing_left(pid, dir);
}

// ---------------------------------------------------------------- batches

// A transport without pages: every match keeps its own link.
class NoPages final : public korvane::core::Transport {
 public:
  awaitable<std::vector<korvane::core::TransportResult>> fetch_all(std::vector<std::string> links,
                                                                   const korvane::core::FetcherOptions&, double,
                                                                   const LinkDone& on_link_done) const override {
    std::vector<korvane::core::TransportResult> results(links.size());
    for (auto& r : results) {
      r.failure = {korvane::core::FetchFailure::http_status, "status 404"};
      if (on_link_done) on_link_done();
    }
    co_return results;
  }
};

TEST_F(Browser, ABatchSharesOneBrowserAndReopensItWhenItDied) {
  using namespace korvane::commerce;
  // Four requests one after the other, each with a store search link; the
  // browser is killed when the third starts, and a new one serves the rest.
  std::vector<AsyncStealthySession*> made;
  std::vector<std::string> dirs;
  RunOptions options;
  options.transport = std::make_shared<NoPages>();
  options.session_factory = [&, session_options = server_.options()](int max_pages,
                                                                     int timeout_ms) -> std::unique_ptr<Session> {
    auto session = std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, session_options);
    made.push_back(session.get());
    return session;
  };
  std::vector<EnrichRequest> requests(4);
  for (auto& request : requests) {
    korvane::models::VisualMatch match;
    match.link = "http://www.ebay.com/sch/i.html?_nkw=nike+air+max+90";
    match.title = "Nike Air Max 90 White";
    request.matches.push_back(match);
  }
  int started = 0;
  std::vector<int> pids;
  RunCallbacks callbacks;
  callbacks.on_message = [&](const std::string& m) {
    if (!m.starts_with("Fetching metadata") || ++started != 3) return;
    ASSERT_EQ(made.size(), 1U);
    dirs.push_back(made[0]->profile_directory());
    pids.push_back(made[0]->browser_pid().value_or(0));
    ::kill(-pids[0], SIGKILL);
    // Dead (not yet reaped) before the run goes on, which here awaits nothing
    // before it asks for the browser.
    siginfo_t info{};
    for (int i = 0; i < 500 && info.si_pid != pids[0]; ++i) {
      std::this_thread::sleep_for(milliseconds(10));
      ::waitid(P_PID, static_cast<id_t>(pids[0]), &info, WEXITED | WNOHANG | WNOWAIT);
    }
  };
  const auto batch = enrich_batch(requests, options, callbacks, {}, 1);
  ASSERT_EQ(batch.size(), 4U);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    ASSERT_TRUE(batch[i].run.has_value()) << batch[i].error;
    EXPECT_EQ(batch[i].run->result.items.at(0).direct_url, "http://www.ebay.com/itm/Nike-Air-Max-90-White/1234")
        << "request " << i;
  }
  EXPECT_EQ(made.size(), 2U);
  expect_nothing_left(pids.at(0), dirs.at(0));
}

}  // namespace
