// Store resolution in a real Chromium against a local store server.
//
// BM_BrowserStartUp: entering and leaving a session (launch to the first
// DevTools answer is reported as start_up_ms, the whole enter() and exit()
// as enter_ms and exit_ms).
// BM_Resolve20StorePages/N: one DirectStoreResolver::resolve call over 20
// distinct store search pages with max_concurrency N, browser start and exit
// included. Every page is a shop's results page (see PageStyle::shop): its
// results come by fetch() after the load event; the server delays every
// response by 200 ms. Counters: peak resident memory of the browser's
// processes (RSS summed, and PSS, which counts shared pages once) and of the
// whole tree with this process, and the number of links resolved.
// BM_VersusPlaywright/tabs/light: the same 20 pages and server read by the
// project and by a Playwright script (bench/playwright/store_links.mjs)
// waiting for network idle and, separately, for the product link.
//
// Needs Chromium (PATH or KORVANE_CHROMIUM), and for the Playwright case
// node with playwright-core (bench/playwright/setup). Run the release build:
//   build/release/bench/bench_resolver --benchmark_counters_tabular=true
#include <korvane/commerce/resolver.hpp>
#include <korvane/browser/session.hpp>

#include "commerce/async_runtime.hpp"
#include "commerce/resolver_crawl.hpp"
#include "host/browser/executable.hpp"
#include "support/browser.hpp"
#include "support/loopback.hpp"

#include <benchmark/benchmark.h>
#include <boost/json.hpp>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace korvane::browser;
using korvane::commerce::DirectStoreResolver;
using korvane::commerce::ResolverOptions;
using korvane::models::EnrichedCommerceMatch;

constexpr auto RESPONSE_DELAY = std::chrono::milliseconds(200);

// Hosts and paths of the 20 search pages; the store selectors of the first
// five, the generic selector for the rest.
struct Store {
  const char* host;
  const char* path;
  const char* product_prefix;
};
constexpr Store STORES[] = {
    {"www.ebay.com", "/sch/i.html?_nkw=", "/itm/"},       {"www.walmart.com", "/search?q=", "/ip/"},
    {"www.lyst.com", "/search?q=", "/shop/"},             {"www.mercari.com", "/search?keyword=", "/item/"},
    {"www.goat.com", "/search?query=", "/sneakers/"},     {"shop.example", "/search?q=", "/p/"},
    {"boutique.example", "/catalogsearch/result?q=", "/product/"},
};

// How the generated search pages look (set before a case runs).
enum class PageStyle {
  // A shop's results page: a style sheet with a web font, a logo, a banner
  // and eight category icons; the results, fetched by script after the load
  // event, are cards with a thumbnail each.
  shop,
  // The same without the banner, icons, font and thumbnails.
  light,
};
std::atomic<PageStyle> page_style{PageStyle::shop};

std::string search_page() {
  const bool shop = page_style == PageStyle::shop;
  std::string page = R"(<!doctype html><html><head><meta charset="utf-8"><title>Search results</title>
<link rel="stylesheet" href="/static/site.css"></head>
<body><header><img src="/static/logo.png" alt="Store">)";
  if (shop) {
    page += R"(<img src="/static/banner.jpg" alt="Sale"></header><nav>)";
    for (int i = 0; i < 8; ++i) {
      const std::string n = std::to_string(i);
      page += R"(<a href="/c/)" + n + R"("><img src="/static/category-)" + n + R"(.png" alt="">Category )" + n + "</a>";
    }
    page += "</nav>";
  } else {
    page += "</header>";
  }
  page += R"(<h1>Results</h1><main id="results"><p>Loading…</p></main>
<script>
const thumbnails = )" + std::string(shop ? "true" : "false") + R"(;
window.addEventListener('load', () => {
  fetch('/api/search' + location.search).then((r) => r.json()).then((items) => {
    const main = document.getElementById('results');
    main.textContent = '';
    items.forEach((item, i) => {
      const card = document.createElement('div');
      card.className = 'card';
      card.innerHTML = (thumbnails ? '<img src="/thumbs/' + i + '.jpg" alt="">' : '') +
        '<a href="' + item.href + '"><span class="title">' + item.title +
        '</span> <span class="price">$' + item.price + '</span></a>';
      main.appendChild(card);
    });
  });
});
</script></body></html>)";
  return page;
}

// Twelve results per page; the seventh matches the item's title.
std::string results(const std::string& host, const std::string& query) {
  std::string prefix = "/p/";
  for (const auto& s : STORES) {
    if (host == s.host) prefix = s.product_prefix;
  }
  std::ostringstream out;
  out << '[';
  for (int i = 0; i < 12; ++i) {
    if (i > 0) out << ',';
    const std::string title = i == 6 ? "Trail Runner " + query + " Waterproof" : "Other Shoe Model " + std::to_string(i);
    std::string slug = title;
    for (auto& c : slug) c = c == ' ' ? '-' : c;
    out << R"({"href": ")" << prefix << slug << "/" << i << R"(?ref=search", "title": ")" << title
        << R"(", "price": )" << 40 + i << '}';
  }
  out << ']';
  return out.str();
}

class StoreServer {
 public:
  // Enough workers that connections kept alive by either browser never
  // make the other wait for one.
  StoreServer() : loopback_(256) {
    auto& http = loopback_.http();
    http.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
      std::this_thread::sleep_for(RESPONSE_DELAY);
      return httplib::Server::HandlerResponse::Unhandled;
    });
    const auto page = [](const httplib::Request&, httplib::Response& res) {
      res.set_content(search_page(), "text/html; charset=utf-8");
    };
    http.Get("/sch/i.html", page);
    http.Get("/search", page);
    http.Get("/catalogsearch/result", page);
    http.Get("/api/search", [](const httplib::Request& req, httplib::Response& res) {
      std::string query;
      for (const auto& [name, value] : req.params) query = value;  // the one parameter
      res.set_content(results(req.get_header_value("Host"), query), "application/json");
    });
    http.Get("/static/site.css", [](const httplib::Request&, httplib::Response& res) {
      std::string css = ".card { margin: 4px; }";
      if (page_style == PageStyle::shop) {
        css = "@font-face { font-family: Brand; src: url(/static/brand.woff2); } body { font-family: Brand; } " + css;
      }
      res.set_content(css, "text/css");
    });
    const auto image = [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(2048, '\0'), "image/png");
    };
    http.Get(R"(/static/.*\.(png|jpg))", image);
    http.Get(R"(/thumbs/.*)", image);
    http.Get("/static/brand.woff2", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(4096, '\0'), "font/woff2");
    });
    loopback_.start();
  }
  ~StoreServer() { loopback_.stop(); }
  StoreServer(const StoreServer&) = delete;
  StoreServer& operator=(const StoreServer&) = delete;

  [[nodiscard]] int port() const { return loopback_.port(); }

  // Session options: private addresses allowed, every host on this server.
  [[nodiscard]] SessionOptions options() const { return korvane::testing::every_host_to(port()); }

 private:
  korvane::testing::LoopbackServer loopback_;
};

StoreServer& server() {
  static StoreServer instance;
  return instance;
}

// The folder the browser's profiles go to: every browser process names it
// on its command line, which is how the sampler finds them. Removed at exit.
const std::string& bench_tmp() {
  struct Folder {
    Folder() {
      char templ[] = "/tmp/korvane-bench-XXXXXX";
      if (::mkdtemp(templ) == nullptr) std::abort();
      path = templ;
      ::setenv("TMPDIR", templ, 1);
    }
    ~Folder() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;
    std::string path;
  };
  static const Folder folder;
  return folder.path;
}

// kB of a "Name:   123 kB" line of a /proc file.
long proc_kb(const fs::path& file, std::string_view name) {
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with(name)) return std::atol(line.c_str() + name.size());
  }
  return 0;
}

// Samples the memory of the browser's processes: finds them every 250 ms
// (their command line names the bench folder), reads their resident size
// every 50 ms (statm) and their proportional size every 250 ms
// (smaps_rollup, which costs more).
class MemorySampler {
 public:
  MemorySampler() : thread_([this] { loop(); }) {}
  ~MemorySampler() {
    stop_ = true;
    thread_.join();
  }
  MemorySampler(const MemorySampler&) = delete;
  MemorySampler& operator=(const MemorySampler&) = delete;

  double peak_browser_rss_mib() const { return static_cast<double>(peak_rss_) / 1024.0; }
  double peak_browser_pss_mib() const { return static_cast<double>(peak_pss_) / 1024.0; }
  double peak_tree_rss_mib() const { return static_cast<double>(peak_tree_) / 1024.0; }
  int peak_processes() const { return peak_processes_; }

 private:
  static std::vector<fs::path> browser_processes() {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator("/proc")) {
      const auto name = entry.path().filename().string();
      if (name.empty() || name[0] < '1' || name[0] > '9') continue;
      std::ifstream cmd(entry.path() / "cmdline", std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(cmd)), std::istreambuf_iterator<char>());
      if (text.find(bench_tmp()) != std::string::npos) found.push_back(entry.path());
    }
    return found;
  }

  static long statm_rss_kb(const fs::path& dir) {
    std::ifstream in(dir / "statm");
    long size = 0;
    long resident = 0;
    if (!(in >> size >> resident)) return 0;
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
  }

  void loop() {
    std::vector<fs::path> processes;
    for (int tick = 0; !stop_; ++tick) {
      const bool slow_tick = tick % 5 == 0;
      if (slow_tick) processes = browser_processes();
      long rss = 0;
      long pss = 0;
      for (const auto& p : processes) {
        rss += statm_rss_kb(p);
        if (slow_tick) pss += proc_kb(p / "smaps_rollup", "Pss:");
      }
      const long self = statm_rss_kb("/proc/self");
      peak_rss_ = std::max(peak_rss_.load(), rss);
      if (slow_tick) peak_pss_ = std::max(peak_pss_.load(), pss);
      peak_tree_ = std::max(peak_tree_.load(), rss + self);
      peak_processes_ = std::max(peak_processes_.load(), static_cast<int>(processes.size()));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

  std::atomic<bool> stop_{false};
  std::atomic<long> peak_rss_{0};
  std::atomic<long> peak_pss_{0};
  std::atomic<long> peak_tree_{0};
  std::atomic<int> peak_processes_{0};
  std::thread thread_;
};

void BM_BrowserStartUp(benchmark::State& state) {
  (void)bench_tmp();
  const SessionOptions options = server().options();
  double launch_ms = 0;
  double enter_ms = 0;
  double exit_ms = 0;
  using Clock = std::chrono::steady_clock;
  const auto ms_since = [](Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
  };
  for (auto _ : state) {
    AsyncStealthySession session(1, 15000, options);
    korvane::commerce::detail::run_coroutine([&]() -> korvane::commerce::awaitable<void> {
      const auto entering = Clock::now();
      co_await session.enter();
      enter_ms += ms_since(entering);
      const auto leaving = Clock::now();
      co_await session.exit();
      exit_ms += ms_since(leaving);
    }());
    launch_ms += static_cast<double>(session.start_up_time().count());
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["start_up_ms"] = launch_ms / n;  // launch to the first DevTools answer
  state.counters["enter_ms"] = enter_ms / n;
  state.counters["exit_ms"] = exit_ms / n;
}
BENCHMARK(BM_BrowserStartUp)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// The 20 items whose store search links the cases resolve.
std::vector<EnrichedCommerceMatch> store_items() {
  std::vector<EnrichedCommerceMatch> items;
  for (int i = 0; i < 20; ++i) {
    const Store& store = STORES[static_cast<std::size_t>(i) % std::size(STORES)];
    const std::string word = "Model" + std::to_string(i);
    EnrichedCommerceMatch item;
    item.title = "Trail Runner " + word + " Waterproof";
    item.direct_url = std::string("http://") + store.host + store.path + word;
    item.original_url = item.direct_url;
    items.push_back(std::move(item));
  }
  return items;
}

void BM_Resolve20StorePages(benchmark::State& state) {
  (void)bench_tmp();
  const int concurrency = static_cast<int>(state.range(0));
  const SessionOptions session_options = server().options();
  ResolverOptions options;
  options.session_factory = [session_options](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    return std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, session_options);
  };
  double resolved = 0;
  double rss = 0;
  double pss = 0;
  double tree = 0;
  int processes = 0;
  for (auto _ : state) {
    std::vector<EnrichedCommerceMatch> items = store_items();
    MemorySampler sampler;
    DirectStoreResolver::resolve(items, concurrency, 15, {}, options);
    for (const auto& item : items) resolved += item.direct_url != item.original_url ? 1 : 0;
    rss = std::max(rss, sampler.peak_browser_rss_mib());
    pss = std::max(pss, sampler.peak_browser_pss_mib());
    tree = std::max(tree, sampler.peak_tree_rss_mib());
    processes = std::max(processes, sampler.peak_processes());
  }
  state.counters["resolved"] = resolved / static_cast<double>(state.iterations());
  state.counters["browser_rss_MiB"] = rss;
  state.counters["browser_pss_MiB"] = pss;
  state.counters["tree_rss_MiB"] = tree;
  state.counters["processes"] = processes;
}
BENCHMARK(BM_Resolve20StorePages)
    ->Arg(1)
    ->Arg(2)
    ->Arg(4)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// ---------------------------------------------------------------- against Playwright

// What one run of the peer gave: its time, and the product link it leads
// to for each item (the project's own choice applied to the links it read).
struct PeerRun {
  double seconds = 0;
  std::vector<std::optional<std::string>> chosen;
  std::string failure;  // empty when the peer ran
};

std::string shell_quoted(const std::string& s) {
  std::string out = "'";
  for (const char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs bench/playwright/store_links.mjs over the items' search pages with
// `tabs` tabs, reading each page at network idle ("networkidle") or as soon
// as a product link is there ("link").
PeerRun run_playwright(const std::vector<EnrichedCommerceMatch>& items, int tabs, const std::string& wait) {
  PeerRun run;
  const char* env_dir = std::getenv("KORVANE_PLAYWRIGHT_DIR");
  const std::string dir = env_dir != nullptr ? env_dir : KORVANE_PLAYWRIGHT_DIR;
  if (!fs::exists(fs::path(dir) / "node_modules" / "playwright-core")) {
    run.failure = "no playwright-core in " + dir + ": run bench/playwright/setup first";
    return run;
  }
  boost::json::array pages;
  for (const auto& item : items) {
    boost::json::array selectors;
    for (const auto& selector : korvane::commerce::detail::ready_selectors(item.direct_url)) {
      selectors.emplace_back(selector);
    }
    pages.push_back(boost::json::object{{"url", item.direct_url}, {"selectors", std::move(selectors)}});
  }
  const boost::json::object job{
      {"chromium", korvane::browser::detail::find_chromium("")},
      {"args", boost::json::array{"--host-resolver-rules=MAP * 127.0.0.1:" + std::to_string(server().port())}},
      {"tabs", tabs},
      {"wait", wait},
      {"timeout_ms", 15000},
      {"pages", std::move(pages)}};
  const fs::path job_file = fs::path(bench_tmp()) / "playwright-job.json";
  std::ofstream(job_file) << boost::json::serialize(job);
  const std::string command = "node " + shell_quoted(KORVANE_BENCH_SOURCE_DIR "/playwright/store_links.mjs") + " " +
                              shell_quoted(dir) + " < " + shell_quoted(job_file.string());
  std::string output;
  if (FILE* child = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, child)) > 0;) output.append(buffer, n);
    if (::pclose(child) != 0) run.failure = "the Playwright script failed";
  }
  boost::system::error_code ec;
  const boost::json::value answer = boost::json::parse(output, ec);
  if (ec || !answer.is_object()) {
    if (run.failure.empty()) run.failure = "the Playwright script gave no answer";
    return run;
  }
  run.seconds = answer.at("elapsed_ms").to_number<double>() / 1000.0;
  const auto& results = answer.at("results").as_array();
  for (std::size_t i = 0; i < items.size() && i < results.size(); ++i) {
    std::vector<std::unique_ptr<korvane::browser::Element>> links;
    for (const auto& link : results[i].at("links").as_array()) {
      links.push_back(korvane::testing::link_element(std::string(link.at("href").as_string()),
                                                     std::string(link.at("text").as_string())));
    }
    run.chosen.push_back(
        korvane::commerce::detail::choose_product_link(links, items[i].direct_url, items[i].title).product_url);
  }
  return run;
}

// The project and Playwright over the same 20 generated store search pages
// and server, with N tabs (argument 0) on shop-like (argument 1 = 0) or
// light pages (1): one DirectStoreResolver::resolve call (browser start and
// exit included), then the Playwright script waiting for network idle, then
// waiting for the product link (launch and close included), in turn, for
// each iteration. Counters: mean seconds of each, the project's time as a
// share of each peer's, the links the project found and how many of the
// peer's choices agree with the project's.
void BM_VersusPlaywright(benchmark::State& state) {
  (void)bench_tmp();
  const int tabs = static_cast<int>(state.range(0));
  page_style = state.range(1) == 0 ? PageStyle::shop : PageStyle::light;
  const SessionOptions session_options = server().options();
  ResolverOptions options;
  options.session_factory = [session_options](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    return std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, session_options);
  };
  double project = 0, idle = 0, link = 0, found = 0, same_idle = 0, same_link = 0;
  for (auto _ : state) {
    std::vector<EnrichedCommerceMatch> items = store_items();
    const std::vector<EnrichedCommerceMatch> asked = items;
    const auto start = std::chrono::steady_clock::now();
    DirectStoreResolver::resolve(items, tabs, 15, {}, options);
    project += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<std::optional<std::string>> ours;
    for (std::size_t i = 0; i < items.size(); ++i) {
      const bool resolved = items[i].direct_url != asked[i].direct_url;
      ours.push_back(resolved ? std::optional<std::string>(items[i].direct_url) : std::nullopt);
      found += resolved ? 1 : 0;
    }
    for (const std::string wait : {"networkidle", "link"}) {
      const PeerRun peer = run_playwright(asked, tabs, wait);
      if (!peer.failure.empty()) {
        state.SkipWithError(peer.failure.c_str());
        return;
      }
      (wait == "link" ? link : idle) += peer.seconds;
      double agree = 0;
      for (std::size_t i = 0; i < ours.size() && i < peer.chosen.size(); ++i) agree += peer.chosen[i] == ours[i] ? 1 : 0;
      (wait == "link" ? same_link : same_idle) += agree;
    }
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["project_s"] = project / n;
  state.counters["pw_idle_s"] = idle / n;
  state.counters["pw_link_s"] = link / n;
  state.counters["vs_idle"] = project / idle;
  state.counters["vs_link"] = project / link;
  state.counters["found"] = found / n;
  state.counters["same_idle"] = same_idle / n;
  state.counters["same_link"] = same_link / n;
  state.SetLabel(page_style == PageStyle::shop ? "shop pages" : "light pages");
}
BENCHMARK(BM_VersusPlaywright)
    ->ArgNames({"tabs", "light"})
    ->ArgsProduct({{1, 4}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
