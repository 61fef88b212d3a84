// A batch run twice over the same search results with a page cache on disk:
// the first run fetches every page from a local server that answers each
// after a delay (a shop on the network), the second finds them fresh in the
// cache. Prints the requests the server received and the time of each run.
// A plain program, not a Google Benchmark: the two runs are one scenario.
//
//   bench_cache [--results 2000] [--matches 15] [--latency 0.3] [--page-kb 100] [--hosts 50]
//               [--concurrency 8] [--cache FILE]
#include <korvane/commerce/run.hpp>

#include "support/loopback.hpp"

#include <httplib.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Settings {
  int results = 2000;
  int matches = 15;
  double latency = 0.3;  // seconds the server takes per page
  int page_kb = 100;
  int hosts = 50;
  std::size_t concurrency = 8;
  fs::path cache = fs::temp_directory_path() / ("korvane-bench-cache-" + std::to_string(::getpid()) + ".sqlite");
};

Settings parse(int argc, char** argv) {
  Settings s;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string_view name = argv[i];
    const char* value = argv[i + 1];
    if (name == "--results") s.results = std::atoi(value);
    else if (name == "--matches") s.matches = std::atoi(value);
    else if (name == "--latency") s.latency = std::atof(value);
    else if (name == "--page-kb") s.page_kb = std::atoi(value);
    else if (name == "--hosts") s.hosts = std::atoi(value);
    else if (name == "--concurrency") s.concurrency = static_cast<std::size_t>(std::atoi(value));
    else if (name == "--cache") s.cache = value;
  }
  return s;
}

// A product page of about `bytes` bytes: JSON-LD with its own name, price
// and SKU, a title, and a description that fills it up.
std::string product_page(int n, std::size_t bytes) {
  const std::string id = std::to_string(n);
  std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Trail shoe " + id +
                     "</title><script type=\"application/ld+json\">{\"@context\":\"https://schema.org\","
                     "\"@type\":\"Product\",\"name\":\"Trail shoe " + id + "\",\"sku\":\"TS-" + id +
                     "\",\"brand\":{\"@type\":\"Brand\",\"name\":\"Korrun\"},\"offers\":{\"@type\":\"Offer\","
                     "\"price\":\"" + std::to_string(40 + n % 90) + ".99\",\"priceCurrency\":\"EUR\","
                     "\"availability\":\"https://schema.org/InStock\"}}</script></head><body><h1>Trail shoe " + id +
                     "</h1>";
  for (int i = 0; html.size() + 200 < bytes; ++i) {
    html += "<p>A light trail shoe with a grippy sole, size " + std::to_string(36 + i % 12) +
            ", recycled upper and a cushioned midsole for long runs on rough ground.</p>\n";
  }
  return html + "</body></html>";
}

// Serves /p/<n> after the latency, counting requests in shared memory.
pid_t start_server(const Settings& s, int& port, std::atomic<long>*& requests) {
  void* shared = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  requests = new (shared) std::atomic<long>(0);
  auto server = std::make_unique<httplib::Server>();
  port = server->bind_to_any_port("127.0.0.1");
  korvane::testing::widen_backlog(port);
  const pid_t child = fork();
  if (child != 0) return child;
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  server->new_task_queue = [] { return new httplib::ThreadPool(512); };
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(1000000);
  const auto latency = std::chrono::duration<double>(s.latency);
  const std::size_t bytes = static_cast<std::size_t>(s.page_kb) * 1024;
  std::atomic<long>* const counter = requests;
  server->Get(R"(/p/(\d+))", [=](const httplib::Request& req, httplib::Response& res) {
    counter->fetch_add(1);
    std::this_thread::sleep_for(latency);
    // As it stands: brotli by the server would cost more than the latency.
    korvane::testing::serve_as_is(
        res, std::make_shared<const std::string>(product_page(std::stoi(req.matches[1].str()), bytes)),
        "text/html; charset=utf-8");
  });
  server->listen_after_bind();
  _exit(0);
}

// The search results: every match a page of its own on one of the hosts.
std::vector<korvane::commerce::EnrichRequest> search_results(const Settings& s) {
  std::vector<korvane::commerce::EnrichRequest> requests(static_cast<std::size_t>(s.results));
  int page = 0;
  for (auto& request : requests) {
    for (int m = 0; m < s.matches; ++m, ++page) {
      korvane::models::VisualMatch match;
      match.link = "http://shop" + std::to_string(page % s.hosts) + ".test/p/" + std::to_string(page);
      match.title = "Trail shoe " + std::to_string(page);
      request.matches.push_back(std::move(match));
    }
  }
  return requests;
}

struct RunFigures {
  double seconds = 0;
  long requests = 0;
  std::size_t pages = 0, from_cache = 0, priced = 0;
  double fetch_seconds = 0, parse_seconds = 0;  // summed over the runs
};

RunFigures run(const Settings& s, int port, std::atomic<long>& requests) {
  korvane::commerce::RunOptions options;
  options.allow_private_addresses = true;
  options.resolve_stores = false;
  options.fetch_timeout = 10 + s.latency;
  for (int h = 0; h < s.hosts; ++h) {
    options.fetcher.connect_to.push_back("shop" + std::to_string(h) + ".test:80:127.0.0.1:" + std::to_string(port));
  }
  if (!s.cache.empty()) options.cache = s.cache;
  options.cache_max_bytes = std::uint64_t{64} << 30U;  // no eviction within the scenario
  const long before = requests.load();
  const auto start = std::chrono::steady_clock::now();
  const auto outcomes = korvane::commerce::enrich_batch(search_results(s), options, {}, {}, s.concurrency);
  RunFigures f;
  f.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  f.requests = requests.load() - before;
  for (const auto& outcome : outcomes) {
    if (!outcome.run) continue;
    f.pages += outcome.run->report.pages_fetched;
    f.fetch_seconds += outcome.run->report.fetch_time.count();
    f.parse_seconds += outcome.run->report.parse_time.count();
    f.from_cache += outcome.run->report.fetch_counts.from_cache;
    f.priced += static_cast<std::size_t>(outcome.run->result.summary.total_priced_matches);
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const Settings s = parse(argc, argv);
  int port = 0;
  std::atomic<long>* requests = nullptr;
  const pid_t server = start_server(s, port, requests);
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fs::path(s.cache).concat(suffix));

  std::printf("%d results x %d matches, pages of %d KB on %d hosts after %.2f s each, %zu results at once\n",
              s.results, s.matches, s.page_kb, s.hosts, s.latency, s.concurrency);
  const RunFigures cold = run(s, port, *requests);
  std::error_code ec;
  const auto cache_bytes = fs::file_size(s.cache, ec);
  const RunFigures warm = run(s, port, *requests);
  for (const auto& [name, f] :
       {std::pair{"first run (empty cache)", cold}, std::pair{"second run (warm cache)", warm}}) {
    std::printf("%-24s %8.2f s  %7ld requests  %7zu pages (%zu from the cache)  %zu priced items; fetching %.1f s, "
                "parsing %.1f s summed over the results\n",
                name, f.seconds, f.requests, f.pages, f.from_cache, f.priced, f.fetch_seconds, f.parse_seconds);
  }
  std::printf("second / first: %.3f; cache file %.0f MiB\n", warm.seconds / cold.seconds,
              static_cast<double>(cache_bytes) / (1 << 20));

  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(fs::path(s.cache).concat(suffix));
  return warm.requests == 0 ? 0 : 1;
}
