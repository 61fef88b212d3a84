// The destination fetcher against a local server: 500 pages of 100 KB per
// batch, served after a delay (a slow shop) or at once (the client's own
// cost per page). The server runs in a child process, so that the peak
// resident memory reported is the fetching process's alone.
//
//   bench_fetcher --benchmark_counters_tabular=true
#include <korvane/core/fetcher.hpp>

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include "support/loopback.hpp"

#include <httplib.h>
#include <zlib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int page_count = 500;
constexpr std::size_t page_bytes = 100 * 1024;
constexpr int host_count = 50;  // a batch spans many shops

int server_port = 0;

std::string make_page() {
  std::string html = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Product</title></head><body>";
  int i = 0;
  while (html.size() < page_bytes - 64) {
    html += "<div class=\"card\"><a href=\"/p/" + std::to_string(i) + "\">Blue suede shoe, size " +
            std::to_string(36 + i % 12) + "</a><span class=\"price\">" + std::to_string(40 + i % 60) +
            ".99 EUR</span></div>\n";
    ++i;
  }
  html += "</body></html>";
  html.resize(page_bytes, ' ');
  return html;
}

// Runs the server in a child process: /page/<delay ms>/<plain|gzip>/<n>.
pid_t start_server() {
  auto server = std::make_unique<httplib::Server>();
  server_port = server->bind_to_any_port("127.0.0.1");
  korvane::testing::widen_backlog(server_port);
  const pid_t child = fork();
  if (child != 0) return child;  // the parent only keeps the port
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  const auto plain = std::make_shared<std::string>(make_page());
  const auto packed = std::make_shared<std::string>(korvane::testing::gzip(*plain, 6));
  server->new_task_queue = [] { return new httplib::ThreadPool(96); };
  server->set_tcp_nodelay(true);
  server->set_keep_alive_max_count(100000);
  server->Get(R"(/page/(\d+)/(plain|gzip)/(\d+))", [plain, packed](const httplib::Request& req,
                                                                   httplib::Response& res) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(req.matches[1].str())));
    const bool zipped = req.matches[2].str() == "gzip";
    korvane::testing::serve_as_is(res, zipped ? packed : plain, "text/html; charset=utf-8", zipped ? "gzip" : "");
  });
  server->listen_after_bind();
  _exit(0);
}

double peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// args: delay in ms, max_connections, 1 for gzip bodies
void BM_FetchBatch(benchmark::State& state) {
  const auto delay = state.range(0);
  korvane::core::FetcherOptions options;
  options.allow_private_addresses = true;
  options.max_connections = static_cast<std::size_t>(state.range(1));
  const std::string port = std::to_string(server_port);
  std::vector<std::string> links;
  for (int h = 0; h < host_count; ++h) {
    options.connect_to.push_back("shop" + std::to_string(h) + ".test:80:127.0.0.1:" + port);
  }
  const korvane::core::ConcurrentFetcher fetcher(options);
  std::size_t failures = 0, bytes = 0;
  int round = 0;
  for (auto _ : state) {
    links.clear();
    for (int i = 0; i < page_count; ++i) {
      links.push_back("http://shop" + std::to_string(i % host_count) + ".test/page/" + std::to_string(delay) +
                      (state.range(2) != 0 ? "/gzip/" : "/plain/") + std::to_string(round * page_count + i));
    }
    ++round;
    boost::asio::io_context io;
    auto result = boost::asio::co_spawn(io, fetcher.fetch(links, 30), boost::asio::use_future);
    io.run();
    const korvane::core::FetchReport report = result.get();
    failures += report.failures.size();
    for (const auto& [link, page] : report.pages) bytes += page ? page->size() : 0;
  }
  state.counters["pages/s"] = benchmark::Counter(static_cast<double>(page_count) * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate);
  state.counters["failed"] = static_cast<double>(failures);
  state.counters["MiB/page-set"] = static_cast<double>(bytes) / static_cast<double>(state.iterations()) / (1 << 20);
  state.counters["peak_rss_MiB"] = peak_rss_mib();
}

BENCHMARK(BM_FetchBatch)
    ->ArgNames({"delay_ms", "conns", "gzip"})
    ->Args({100, 16, 0})
    ->Args({100, 64, 0})
    ->Args({0, 16, 0})
    ->Args({0, 64, 0})
    ->Args({0, 16, 1})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  const pid_t server = start_server();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kill(server, SIGTERM);
  waitpid(server, nullptr, 0);
  return 0;
}
