// Deep enrichment of 200 matches whose pages are real saved pages served by a
// local HTTP server (a child process, so the peak memory reported is the
// enriching process's own), timed as fetch and parse; the CPU time of
// enriching 2,000 matches from pages in memory, the same product searched
// again and again (2,000 matches over the distinct pages) and every match
// on a page of its own (2,000 distinct links); and the exports of 10,000
// items.
//
//   bench_enrichment --benchmark_counters_tabular=true
#include <korvane/commerce/export.hpp>
#include <korvane/commerce/aggregator.hpp>
#include <korvane/commerce/run.hpp>
#include <korvane/core/fetcher.hpp>
#include <korvane/models/json.hpp>

#include "support/files.hpp"


#include <benchmark/benchmark.h>
#include <boost/json.hpp>
#include <httplib.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unordered_map>

namespace {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using korvane::models::VisualMatch;

constexpr std::size_t match_count = 200;

using korvane::testing::read_file;

// Link (http, as served here) to page, from the corpus; empty without it.
std::unordered_map<std::string, std::string> corpus_pages() {
  std::unordered_map<std::string, std::string> pages;
  const fs::path corpus(KORVANE_CORPUS_DIR);
  if (!fs::exists(corpus / "manifest.json")) return pages;
  const auto manifest = boost::json::parse(read_file(corpus / "manifest.json"));
  for (const auto& entry : manifest.as_array()) {
    const auto* url = entry.as_object().if_contains("original_url");
    const std::string file(entry.at("file").as_string());
    if (url == nullptr || !url->is_string() || !file.starts_with("pages/")) continue;
    std::string link(url->as_string());
    if (link.starts_with("https://")) link.replace(0, 5, "http");
    pages.emplace(std::move(link), read_file(corpus / file));
  }
  return pages;
}

// Builds pages when there is no corpus: product pages of about 60 KB.
std::unordered_map<std::string, std::string> built_pages() {
  std::unordered_map<std::string, std::string> pages;
  for (int i = 0; i < 150; ++i) {
    std::string html = "<html><head><title>Shoe " + std::to_string(i) +
                       "</title><meta property=\"og:type\" content=\"product\"><script type=\"application/ld+json\">"
                       "{\"@type\":\"Product\",\"name\":\"Shoe\",\"offers\":{\"price\":\"" +
                       std::to_string(40 + i) + ".99\",\"priceCurrency\":\"EUR\"}}</script></head><body>";
    while (html.size() < 60000) html += "<div class=\"card\"><a href=\"/p/1\">Related product</a></div>\n";
    pages.emplace("http://shop" + std::to_string(i) + ".test/p/" + std::to_string(i), html + "</body></html>");
  }
  return pages;
}

struct Served {
  std::vector<std::string> links;  // match_count links, repeats made distinct
  std::size_t bytes = 0;
  int port = 0;
};

Served& served() {
  static Served s = [] {
    Served out;
    auto pages = corpus_pages();
    if (pages.empty()) pages = built_pages();
    std::vector<std::string> keys;
    for (const auto& [link, page] : pages) keys.push_back(link);
    std::sort(keys.begin(), keys.end());
    auto table = std::make_shared<std::unordered_map<std::string, std::string>>();
    for (std::size_t i = 0; i < match_count; ++i) {
      const std::string& base = keys[i % keys.size()];
      std::string link = base;
      if (i >= keys.size()) link += (base.find('?') == std::string::npos ? "?copy=" : "&copy=") + std::to_string(i);
      (*table)[link] = pages[base];
      out.bytes += pages[base].size();
      out.links.push_back(std::move(link));
    }
    auto server = std::make_unique<httplib::Server>();
    int listening = -1;
    server->set_socket_options([&listening](int fd) { listening = fd; });
    out.port = server->bind_to_any_port("127.0.0.1");
    if (listening >= 0) ::listen(listening, 512);
    if (fork() == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      server->new_task_queue = [] { return new httplib::ThreadPool(64); };
      server->set_tcp_nodelay(true);
      // One request per connection: idle kept-alive connections of ~150
      // hosts would otherwise hold every worker.
      server->set_keep_alive_max_count(1);
      server->Get(".*", [table](const httplib::Request& req, httplib::Response& res) {
        const std::string host = "http://" + req.get_header_value("Host");
        auto it = table->find(host + req.target);
        // A link without a path is requested as "/".
        if (it == table->end() && req.target.starts_with("/")) it = table->find(host + req.target.substr(1));
        if (it == table->end()) {
          res.status = 404;
          return;
        }
        // A body of known length goes out as it is: the library would
        // otherwise compress every page on the fly (brotli, ~1 s per MB),
        // which would time the server, not the client.
        const std::string& page = it->second;
        res.set_content_provider(page.size(), "text/html",
                                 [&page](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                   sink.write(page.data() + offset, length);
                                   return true;
                                 });
      });
      server->listen_after_bind();
      _exit(0);
    }
    return out;
  }();
  return s;
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

void BM_DeepEnrichment(benchmark::State& state) {
  const Served& s = served();
  korvane::commerce::RunOptions options;
  options.allow_private_addresses = true;
  options.fetcher.connect_to = {"::127.0.0.1:" + std::to_string(s.port)};
  options.resolve_stores = false;
  std::vector<VisualMatch> matches;
  for (const auto& link : s.links) matches.push_back(VisualMatch{.link = link, .title = "Product"});

  double fetch_s = 0, parse_s = 0;
  std::size_t missed = 0;
  for (auto _ : state) {
    auto run = korvane::commerce::enrich({.matches = matches}, options);
    benchmark::DoNotOptimize(run);
    fetch_s += run.report.fetch_time.count();
    parse_s += run.report.parse_time.count();
    missed = run.report.pages_missed.size();
  }
  const auto n = static_cast<double>(state.iterations());
  state.counters["fetch_s"] = fetch_s / n;
  state.counters["parse_s"] = parse_s / n;
  state.counters["parse_MB/s"] = static_cast<double>(s.bytes) / 1e6 / (parse_s / n);
  state.counters["pages_missed"] = static_cast<double>(missed);
  state.counters["peak_rss_MiB"] = peak_rss_mib();
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * matches.size()));
}
BENCHMARK(BM_DeepEnrichment)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

// Pages served from memory, as a transport: no server, no network, so the
// CPU time measured is the enriching process's alone.
class PagesInMemory final : public korvane::core::Transport {
 public:
  explicit PagesInMemory(std::unordered_map<std::string, std::string> pages) : pages_(std::move(pages)) {}

  boost::asio::awaitable<std::vector<korvane::core::TransportResult>> fetch_all(
      std::vector<std::string> links, const korvane::core::FetcherOptions&, double,
      const LinkDone& on_link_done) const override {
    std::vector<korvane::core::TransportResult> results;
    for (const auto& link : links) {
      korvane::core::TransportResult r;
      if (const auto it = pages_.find(link); it != pages_.end()) {
        r.response = korvane::core::RawResponse{200, "text/html", it->second};
      } else {
        r.failure = {korvane::core::FetchFailure::http_status, "status 404"};
      }
      results.push_back(std::move(r));
      if (on_link_done) on_link_done();
    }
    co_return results;
  }

 private:
  std::unordered_map<std::string, std::string> pages_;
};

constexpr std::size_t many_matches = 2000;

// Enriches 2,000 matches in one run from pages in memory: with `distinct`,
// every match links a page of its own (the saved pages again under links
// made distinct), else the matches cycle over the saved pages. Process CPU
// time; counter "pages" is the number of distinct links.
void enrich_many(benchmark::State& state, bool distinct) {
  auto saved = corpus_pages();
  if (saved.empty()) saved = built_pages();
  std::vector<std::string> keys;
  for (const auto& [link, page] : saved) keys.push_back(link);
  std::sort(keys.begin(), keys.end());
  std::unordered_map<std::string, std::string> served;
  std::vector<VisualMatch> matches;
  for (std::size_t i = 0; i < many_matches; ++i) {
    const std::string& base = keys[i % keys.size()];
    std::string link = base;
    if (distinct) link += (base.find('?') == std::string::npos ? "?copy=" : "&copy=") + std::to_string(i);
    served.emplace(link, saved[base]);
    matches.push_back(VisualMatch{.link = std::move(link),
                                  .title = "Product " + std::to_string(i % 7),
                                  .source = "Shop",
                                  .price = i % 3 == 0 ? std::optional<std::string>("$19.99") : std::nullopt});
  }
  korvane::commerce::RunOptions options;
  options.transport = std::make_shared<PagesInMemory>(served);
  options.resolve_stores = false;
  for (auto _ : state) {
    auto run = korvane::commerce::enrich({.matches = matches}, options);
    benchmark::DoNotOptimize(run);
  }
  state.counters["pages"] = static_cast<double>(served.size());
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * matches.size()));
}

void BM_EnrichRepeatedPages(benchmark::State& state) { enrich_many(state, false); }
BENCHMARK(BM_EnrichRepeatedPages)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(3);

void BM_EnrichDistinctPages(benchmark::State& state) { enrich_many(state, true); }
BENCHMARK(BM_EnrichDistinctPages)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->Iterations(3);

korvane::models::CommerceIntelligence many_items() {
  korvane::models::CommerceIntelligence ci;
  for (int i = 0; i < 10000; ++i) {
    korvane::models::EnrichedCommerceMatch m;
    m.title = "Nike Air Max 90 \"Infrared\", size " + std::to_string(36 + i % 12);
    m.direct_url = "https://shop" + std::to_string(i % 50) + ".example/p/" + std::to_string(i);
    m.original_url = m.direct_url + "?utm_source=lens";
    if (i % 4 != 0) m.price = korvane::models::NormalizedPrice("x", 99.99 + i % 100, "USD");
    m.merchant_name = "Shop " + std::to_string(i % 50);
    m.merchant_category = korvane::models::MerchantCategory::UNVERIFIED;
    m.match_score = 50 + i % 49;
    m.page_type = korvane::models::PageType::PRODUCT;
    m.brand = "Nike";
    m.sku = "CT1685-" + std::to_string(i);
    m.primary_image_url = "https://img.example/" + std::to_string(i) + ".jpg";
    m.relevance = korvane::models::RelevanceLabel::HIGH;
    ci.items.push_back(std::move(m));
  }
  return ci;
}

// Writes the items to a temporary file with `write` in every iteration.
template <class Write>
void export_items(benchmark::State& state, Write write, const std::string& ending) {
  const auto ci = many_items();
  const fs::path out = fs::temp_directory_path() / ("korvane-bench-export." + ending);
  for (auto _ : state) benchmark::DoNotOptimize(write(ci, out));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * ci.items.size()));
  fs::remove(out);
}

void BM_ExportCsv(benchmark::State& state) {
  export_items(
      state, [](const auto& ci, const fs::path& out) { return korvane::commerce::export_commerce_to_csv(ci, out); },
      "csv");
}
BENCHMARK(BM_ExportCsv)->Unit(benchmark::kMillisecond);

void BM_ExportJson(benchmark::State& state) {
  export_items(
      state, [](const auto& ci, const fs::path& out) { return korvane::commerce::export_commerce_to_json(ci, out); },
      "json");
}
BENCHMARK(BM_ExportJson)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
