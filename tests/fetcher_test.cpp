// The destination fetcher against real HTTP servers on loopback (cpp-httplib,
// started by the tests on ephemeral ports), and its directory transport.
#include <korvane/core/fetcher.hpp>

#include <korvane/errors.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <korvane/core/cache.hpp>
#include <gtest/gtest.h>
#include "support/log_capture.hpp"
#include "support/loopback.hpp"

#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <array>
#include <atomic>
#include <chrono>
#include <ctime>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

namespace asio = boost::asio;
using korvane::core::ConcurrentFetcher;
using korvane::core::FetcherOptions;
using korvane::core::FetchReport;
using namespace std::chrono_literals;

namespace {

// A loopback HTTP server on an ephemeral port, with a few counters the
// tests read.
class TestServer {
 public:
  TestServer() : server_(64) {
    auto& http = server_.http();
    http.set_keep_alive_max_count(1000);
    http.set_tcp_nodelay(true);  // no Nagle delay between headers and body
    korvane::testing::widen_backlog(server_.port());
  }
  ~TestServer() { stop(); }
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  httplib::Server& http() { return server_.http(); }
  void start() { server_.start(); }
  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    stopped_.notify_all();
    server_.stop();
  }

  int port() const { return server_.port(); }
  std::string url(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(port()) + std::string(path);
  }

  // Sleeps up to `d`, less when the server stops.
  void pause(std::chrono::milliseconds d) {
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, d, [this] { return stopping_; });
  }

  // Counts a request to `path` with `host`, and tracks requests in flight.
  class InFlight {
   public:
    InFlight(TestServer& s, const httplib::Request& req) : s_(s), host_(req.get_header_value("Host")) {
      const std::lock_guard lock(s_.mutex_);
      ++s_.hits_[req.path];
      s_.last_headers_ = req.headers;
      s_.arrivals_.push_back({host_, req.path, std::chrono::steady_clock::now(), req.get_header_value("If-None-Match"),
                              req.get_header_value("If-Modified-Since")});
      const int now = ++s_.in_flight_;
      s_.peak_ = std::max(s_.peak_, now);
      const int on_host = ++s_.in_flight_by_host_[host_];
      s_.peak_by_host_[host_] = std::max(s_.peak_by_host_[host_], on_host);
    }
    ~InFlight() {
      const std::lock_guard lock(s_.mutex_);
      --s_.in_flight_;
      --s_.in_flight_by_host_[host_];
    }
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;

   private:
    TestServer& s_;
    std::string host_;
  };

  // A request as it arrived.
  struct Arrival {
    std::string host;
    std::string path;
    std::chrono::steady_clock::time_point at;
    std::string if_none_match;
    std::string if_modified_since;
  };
  std::vector<Arrival> arrivals() {
    const std::lock_guard lock(mutex_);
    return arrivals_;
  }
  // The seconds between the arrivals of the requests to `host`.
  std::vector<double> gaps(const std::string& host) {
    std::vector<double> gaps;
    std::optional<std::chrono::steady_clock::time_point> last;
    for (const Arrival& a : arrivals()) {
      if (a.host != host) continue;
      if (last) gaps.push_back(std::chrono::duration<double>(a.at - *last).count());
      last = a.at;
    }
    return gaps;
  }

  int hits(const std::string& path) {
    const std::lock_guard lock(mutex_);
    return hits_[path];
  }
  int total_hits() {
    const std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& [path, count] : hits_) n += count;
    return n;
  }
  int peak() {
    const std::lock_guard lock(mutex_);
    return peak_;
  }
  std::map<std::string, int> peak_by_host() {
    const std::lock_guard lock(mutex_);
    return peak_by_host_;
  }
  std::string last_header(const std::string& name) {
    const std::lock_guard lock(mutex_);
    const auto found = last_headers_.find(name);
    return found == last_headers_.end() ? std::string() : found->second;
  }

 private:
  korvane::testing::LoopbackServer server_;
  std::mutex mutex_;
  std::condition_variable stopped_;
  bool stopping_ = false;
  std::map<std::string, int> hits_;
  httplib::Headers last_headers_;
  std::vector<Arrival> arrivals_;
  int in_flight_ = 0;
  int peak_ = 0;
  std::map<std::string, int> in_flight_by_host_;
  std::map<std::string, int> peak_by_host_;
};

// Serves `body` as it stands (see serve_as_is).
void serve_raw(httplib::Response& res, std::string body, const std::string& type,
               const std::string& encoding = "") {
  korvane::testing::serve_as_is(res, std::make_shared<const std::string>(std::move(body)), type, encoding);
}

// Fetches `urls`, checking that progress counts every distinct link once.
FetchReport fetch(const ConcurrentFetcher& fetcher, std::vector<std::string> urls, double timeout = 5) {
  asio::io_context io;
  std::size_t last_done = 0, last_total = 0;
  auto progress = [&](std::size_t done, std::size_t total) {
    EXPECT_GT(done, last_done);
    EXPECT_LE(done, total);
    last_done = done;
    last_total = total;
  };
  auto result = asio::co_spawn(io, fetcher.fetch(std::move(urls), timeout, progress), asio::use_future);
  io.run();
  FetchReport report = result.get();
  EXPECT_EQ(last_done, last_total);
  EXPECT_EQ(last_total, report.pages.size());
  return report;
}

FetcherOptions local_options() {
  FetcherOptions options;
  options.allow_private_addresses = true;
  return options;
}

const std::string page_html = "<!DOCTYPE html><html><head><title>Blue shoe</title></head><body>ok</body></html>";

class Fetcher : public ::testing::Test {
 protected:
  void SetUp() override {
    serve_pages();
    serve_redirects();
    serve_compressed();
    serve_charsets();
    serve_refusals();
    serve_large_and_stalled();
    server_.start();
  }

  // A page, and numbered pages that take 200 ms each.
  void serve_pages() {
    auto& http = server_.http();
    http.Get("/page", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_content(page_html, "text/html; charset=utf-8");
    });
    http.Get(R"(/slow/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      server_.pause(200ms);
      res.set_content("<html><body>page " + req.matches[1].str() + "</body></html>", "text/html");
    });
  }

  // Redirects within the server, in a loop, and to schemes and addresses
  // never followed.
  void serve_redirects() {
    auto& http = server_.http();
    http.Get("/redirect", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/hop"); });
    http.Get("/hop", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/page", 301);
    });
    http.Get("/loop", [](const httplib::Request&, httplib::Response& res) { res.set_redirect("/loop"); });
    http.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/passwd");
    });
    http.Get("/to-gopher", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("gopher://127.0.0.1/");
    });
    http.Get("/to-unspecified", [this](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("http://0.0.0.0:" + std::to_string(server_.port()) + "/page");
    });
  }

  // Content codings: gzip, brotli, a bomb and a body that is no gzip.
  void serve_compressed() {
    auto& http = server_.http();
    http.Get("/gzip", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      serve_raw(res, korvane::testing::gzip(page_html), "text/html", "gzip");
    });
    http.Get("/brotli", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      // The server brotli-compresses text when the client accepts br.
      res.set_content(page_html, "text/html");
    });
    http.Get("/bomb", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, korvane::testing::gzip("<html><body>" + std::string(std::size_t{8} << 20U, ' ')), "text/html", "gzip");
    });
    http.Get("/bad-gzip", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "this is not gzip at all", "text/html", "gzip");
    });
  }

  // Pages in charsets declared by header, by <meta>, or not at all.
  void serve_charsets() {
    auto& http = server_.http();
    http.Get("/sjis", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "<html><title>\x93\xFA\x96\x7B\x8C\xEA</title></html>", "text/html; charset=Shift_JIS");
    });
    http.Get("/latin1", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "<html><p>Caf\xE9 \x80 12</p></html>", "text/html; charset=ISO-8859-1");
    });
    http.Get("/meta-1252", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "<html><head><meta charset=\"windows-1252\"></head><p>na\xEFve</p></html>", "text/html");
    });
    http.Get("/meta-euc", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res,
                "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">"
                "</head><p>\xC6\xFC\xCB\xDC</p></html>",
                "text/html");
    });
    http.Get("/broken-utf8", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "<html><p>a\xFF" "b</p></html>", "text/html; charset=utf-8");
    });
    http.Get("/untyped", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "<!doctype html><p>untyped</p>", "");
    });
  }

  // Answers that are no page: error statuses, other types.
  void serve_refusals() {
    auto& http = server_.http();
    http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("<html>not found</html>", "text/html");
    });
    http.Get("/error", [](const httplib::Request&, httplib::Response& res) {
      res.status = 500;
      res.set_content("<html>oops</html>", "text/html");
    });
    http.Get("/image", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "\x89PNG\r\n\x1A\n", "image/png");
    });
    http.Get("/untyped-binary", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "%PDF-1.7 binary", "");
    });
  }

  // Pages past the size caps, and one that stalls past any timeout.
  void serve_large_and_stalled() {
    auto& http = server_.http();
    http.Get("/big", [](const httplib::Request&, httplib::Response& res) {
      serve_raw(res, "<html>" + std::string(200 * 1024, 'x'), "text/html");
    });
    // No length announced, and letters in no order, so that the server's
    // own compression leaves it large.
    http.Get("/big-chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/html", [state = 12345U](std::size_t offset,
                                                                     httplib::DataSink& sink) mutable {
        if (offset >= 400 * 1024) {
          sink.done();
          return true;
        }
        std::string chunk = offset == 0 ? "<html>" : "";
        while (chunk.size() < 16 * 1024) {
          state = state * 1103515245U + 12345U;
          chunk.push_back(static_cast<char>('a' + (state >> 16U) % 26U));
        }
        sink.write(chunk.data(), chunk.size());
        return true;
      });
    });
    http.Get("/stall", [this](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/html", [this](std::size_t offset, httplib::DataSink& sink) {
        if (offset == 0) {
          sink.write("<html>", 6);
          return true;
        }
        server_.pause(5s);  // far past the client's timeout
        sink.done();
        return true;
      });
    });
  }

  TestServer server_;
};

TEST_F(Fetcher, FetchesPagesOnceWithBrowserHeaders) {
  FetcherOptions options = local_options();
  options.accept_language = "de-CH,de;q=0.9";
  const ConcurrentFetcher fetcher(options);
  const std::string page = server_.url("/page");
  const std::string also = server_.url("/page?ref=2");
  const FetchReport report = fetch(fetcher, {page, also, page, page});

  ASSERT_EQ(report.pages.size(), 2u);
  EXPECT_EQ(report.pages.at(page), page_html);
  EXPECT_EQ(report.pages.at(also), page_html);
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(server_.hits("/page"), 2);  // the duplicate link once

  EXPECT_EQ(server_.last_header("User-Agent"), options.user_agent);
  EXPECT_EQ(server_.last_header("Accept-Language"), "de-CH,de;q=0.9");
  EXPECT_NE(server_.last_header("Accept").find("text/html"), std::string::npos);
  const std::string encodings = server_.last_header("Accept-Encoding");
  for (const char* coding : {"gzip", "deflate", "br", "zstd"}) {
    EXPECT_NE(encodings.find(coding), std::string::npos) << coding << " in " << encodings;
  }
}

TEST_F(Fetcher, RunsTransfersConcurrentlyWithinTheBound) {
  FetcherOptions options = local_options();
  options.max_connections = 8;
  options.max_per_host = 8;
  const ConcurrentFetcher fetcher(options);
  std::vector<std::string> links;
  for (int i = 0; i < 40; ++i) links.push_back(server_.url("/slow/" + std::to_string(i)));

  // A ticker on the same loop shows that awaiting the fetch never blocks it.
  asio::io_context io;
  int ticks = 0;
  bool done = false;
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer timer(co_await asio::this_coro::executor);
        while (!done) {
          timer.expires_after(10ms);
          co_await timer.async_wait(asio::use_awaitable);
          ++ticks;
        }
      },
      asio::detached);
  const auto start = std::chrono::steady_clock::now();
  auto result = asio::co_spawn(
      io,
      [&]() -> asio::awaitable<FetchReport> {
        FetchReport report = co_await fetcher.fetch(links, 5);
        done = true;
        co_return report;
      },
      asio::use_future);
  io.run();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const FetchReport report = result.get();

  ASSERT_EQ(report.failures.size(), 0u) << report.failures.begin()->second.detail;
  EXPECT_EQ(*report.pages.at(links[17]), "<html><body>page 17</body></html>");
  // 40 links of 200 ms each, 8 at a time: 5 waves of about 200 ms, where one
  // link after the other would take 8 s.
  EXPECT_LT(seconds, 3.0);
  EXPECT_GE(seconds, 0.9);
  EXPECT_LE(server_.peak(), 8);
  EXPECT_GE(server_.peak(), 4);
  EXPECT_GE(ticks, 30);
}

TEST_F(Fetcher, BoundsTransfersPerHost) {
  FetcherOptions options = local_options();
  options.max_connections = 16;
  options.max_per_host = 2;
  const std::string port = std::to_string(server_.port());
  std::vector<std::string> links;
  for (const char* host : {"a.shop.test", "b.shop.test", "c.shop.test"}) {
    options.connect_to.push_back(std::string(host) + ":" + port + ":127.0.0.1:" + port);
    for (int i = 0; i < 4; ++i) {
      links.push_back("http://" + std::string(host) + ":" + port + "/slow/" + std::to_string(i));
    }
  }
  const auto start = std::chrono::steady_clock::now();
  const FetchReport report = fetch(ConcurrentFetcher(options), links);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  EXPECT_TRUE(report.failures.empty());
  const auto peaks = server_.peak_by_host();
  ASSERT_EQ(peaks.size(), 3u);
  for (const auto& [host, peak] : peaks) EXPECT_LE(peak, 2) << host;
  EXPECT_GE(server_.peak(), 3);  // the hosts ran side by side
  EXPECT_LT(seconds, 2.0);        // two waves, not twelve
}

TEST_F(Fetcher, FollowsRedirectsOnlyToAllowedTargets) {
  FetcherOptions options = local_options();
  options.max_redirects = 3;
  const ConcurrentFetcher fetcher(options);
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"/redirect", std::nullopt},
      {"/loop", "too many redirects"},
      {"/to-file", "unsupported scheme on redirect"},
      {"/to-gopher", "unsupported scheme on redirect"},
      {"/to-unspecified", "refused address 0.0.0.0"},
  };
  std::vector<std::string> links;
  for (const auto& [path, reason] : cases) links.push_back(server_.url(path));
  const FetchReport report = fetch(fetcher, links);
  for (const auto& [path, reason] : cases) {
    const std::string link = server_.url(path);
    if (reason) {
      EXPECT_FALSE(report.pages.at(link).has_value()) << path;
      EXPECT_EQ(report.failures.at(link).detail, *reason) << path;
    } else {
      EXPECT_EQ(report.pages.at(link), page_html) << path;
    }
  }
  EXPECT_EQ(server_.hits("/page"), 1);  // only through /redirect
}

TEST_F(Fetcher, DecodesContentCodingsAndStopsCompressionBombs) {
  FetcherOptions options = local_options();
  options.max_page_bytes = 64 * 1024;
  options.max_decoded_bytes = 1 << 20;
  const ConcurrentFetcher fetcher(options);
  const std::string gz = server_.url("/gzip"), br = server_.url("/brotli");
  const std::string bomb = server_.url("/bomb"), bad = server_.url("/bad-gzip");
  const FetchReport report = fetch(fetcher, {gz, br, bomb, bad});

  EXPECT_EQ(report.pages.at(gz), page_html);
  EXPECT_EQ(report.pages.at(br), page_html);
  EXPECT_EQ(report.failures.at(bomb).detail, "too large when decoded");
  EXPECT_EQ(report.failures.at(bad).detail, "bad content encoding");
}

TEST_F(Fetcher, DecodesCharsetsToUtf8) {
  const ConcurrentFetcher fetcher(local_options());
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/sjis", "<html><title>日本語</title></html>"},
      {"/latin1", "<html><p>Café € 12</p></html>"},
      {"/meta-1252", "<html><head><meta charset=\"windows-1252\"></head><p>naïve</p></html>"},
      {"/meta-euc",
       "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=EUC-JP\">"
       "</head><p>日本</p></html>"},
      {"/broken-utf8", "<html><p>a\xEF\xBF\xBD" "b</p></html>"},
      {"/untyped", "<!doctype html><p>untyped</p>"},
  };
  std::vector<std::string> links;
  for (const auto& [path, text] : cases) links.push_back(server_.url(path));
  const FetchReport report = fetch(fetcher, links);
  EXPECT_TRUE(report.failures.empty());
  for (const auto& [path, text] : cases) {
    EXPECT_EQ(report.pages.at(server_.url(path)), text) << path;
  }
}

TEST_F(Fetcher, GivesAReasonForEveryPageItDidNotGet) {
  FetcherOptions options = local_options();
  options.max_page_bytes = 64 * 1024;
  const ConcurrentFetcher fetcher(options);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {server_.url("/missing"), "status 404"},
      {server_.url("/error"), "status 500"},
      {server_.url("/nowhere"), "status 404"},
      {server_.url("/image"), "not HTML (image/png)"},
      {server_.url("/untyped-binary"), "not HTML (no content type)"},
      {server_.url("/big"), "too large"},
      {server_.url("/big-chunked"), "too large"},
      {"http://no-such-host.invalid/page", "DNS failure"},
      {"ftp://files.example/page.html", "unsupported scheme (ftp)"},
      {"not a link", "malformed link (no scheme)"},
      {"http://exa mple.com/", "malformed link"},
      {"http://127.0.0.1:1/page", "connection failed"},
  };
  std::vector<std::string> links{server_.url("/page")};
  for (const auto& [link, reason] : cases) links.push_back(link);
  const FetchReport report = fetch(fetcher, links);

  EXPECT_EQ(report.pages.at(server_.url("/page")), page_html);  // a bad link fails nothing else
  EXPECT_EQ(report.pages.size(), links.size());
  EXPECT_EQ(report.failures.size(), cases.size());
  for (const auto& [link, reason] : cases) {
    EXPECT_FALSE(report.pages.at(link).has_value()) << link;
    EXPECT_EQ(report.failures.at(link).detail, reason) << link;
  }
}

TEST_F(Fetcher, GivesUpOnAStalledServerAtTheTimeout) {
  const ConcurrentFetcher fetcher(local_options());
  const std::string stall = server_.url("/stall"), page = server_.url("/page");
  const auto start = std::chrono::steady_clock::now();
  const FetchReport report = fetch(fetcher, {stall, page}, 0.5);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(report.failures.at(stall).detail, "timeout");
  EXPECT_EQ(report.pages.at(page), page_html);
  EXPECT_GE(seconds, 0.45);
  EXPECT_LT(seconds, 2.0);
}

TEST_F(Fetcher, CleansUpWhenTheLoopIsDroppedMidBatch) {
  const ConcurrentFetcher fetcher(local_options());
  for (const auto wait : {0ms, 5ms, 100ms}) {
    auto io = std::make_unique<asio::io_context>();
    bool finished = false;
    asio::co_spawn(*io, fetcher.fetch({server_.url("/stall"), server_.url("/slow/1"), server_.url("/page")}, 5),
                   [&finished](std::exception_ptr, FetchReport) { finished = true; });
    io->run_for(wait);
    io.reset();  // destroys the suspended batch: transfers, sockets and timers
    EXPECT_FALSE(finished);
  }
  // (Under the sanitizers this also shows that nothing leaks or is used
  // after being freed.) A new batch works as ever.
  EXPECT_EQ(fetch(fetcher, {server_.url("/page")}).pages.at(server_.url("/page")), page_html);
}

TEST_F(Fetcher, RefusesPrivateAddressesUnlessAllowed) {
  FetcherOptions options;  // allow_private_addresses = false
  const std::string port = std::to_string(server_.port());
  options.connect_to.push_back("shop.example:80:127.0.0.1:" + port);
  const ConcurrentFetcher fetcher(options);
  const std::string direct = server_.url("/page");
  const std::string named = "http://localhost:" + port + "/page";
  const std::string mapped = "http://shop.example/page";  // a public name leading to loopback
  const std::string v6 = "http://[::ffff:127.0.0.1]:" + port + "/page";
  const FetchReport report = fetch(fetcher, {direct, named, mapped, v6});

  EXPECT_EQ(report.failures.at(direct).detail, "refused address 127.0.0.1");
  EXPECT_EQ(report.failures.at(named).detail.rfind("refused address ", 0), 0u) << report.failures.at(named).detail;
  EXPECT_EQ(report.failures.at(mapped).detail, "refused address 127.0.0.1");
  EXPECT_EQ(report.failures.at(v6).detail.rfind("refused address ", 0), 0u) << report.failures.at(v6).detail;
  EXPECT_EQ(server_.total_hits(), 0);

  // The class-level operation uses the default options too.
  asio::io_context io;
  auto pages = asio::co_spawn(io, ConcurrentFetcher::fetch_many({direct, direct}, 2), asio::use_future);
  io.run();
  const auto map = pages.get();
  ASSERT_EQ(map.size(), 1u);
  EXPECT_FALSE(map.at(direct).has_value());
  EXPECT_EQ(server_.total_hits(), 0);
}

TEST_F(Fetcher, WorksOnAPoolOfThreads) {
  const ConcurrentFetcher fetcher(local_options());
  std::vector<std::string> links;
  for (int i = 0; i < 10; ++i) links.push_back(server_.url("/slow/" + std::to_string(i)));
  links.push_back(server_.url("/gzip"));
  asio::thread_pool pool(3);
  auto result = asio::co_spawn(pool, fetcher.fetch(links, 5), asio::use_future);
  const FetchReport report = result.get();
  pool.join();
  EXPECT_TRUE(report.failures.empty());
  EXPECT_EQ(report.pages.at(server_.url("/gzip")), page_html);
}

// A server for the manners of a fetcher at scale: pacing, retries,
// robots.txt, caching. Hosts are told apart by name (CURLOPT_CONNECT_TO
// sends them all to this one server).
class FetcherManners : public ::testing::Test {
 protected:
  void SetUp() override {
    serve_paced();
    serve_troubled();
    serve_robots();
    serve_cacheable();
    server_.start();
  }

  // Options that send the example hosts to the test server.
  FetcherOptions options() const {
    FetcherOptions o = local_options();
    const std::string port = std::to_string(server_.port());
    for (const char* host : {"a.test", "b.test", "rules.test", "missing.test", "broken.test"}) {
      o.connect_to.push_back(std::string(host) + ":80:127.0.0.1:" + port);
    }
    return o;
  }

  // Pages that answer at once, after 200 ms, and ever later (50 ms more per
  // page number).
  void serve_paced() {
    auto& http = server_.http();
    http.Get(R"(/now/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_content("<html>now</html>", "text/html");
    });
    http.Get(R"(/slow/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      server_.pause(200ms);
      res.set_content("<html>slow</html>", "text/html");
    });
    http.Get(R"(/slower/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      server_.pause(std::chrono::milliseconds(50 * std::stoi(req.matches[1].str())));
      res.set_content("<html>slower</html>", "text/html");
    });
  }

  // Answers that ask to come back later, and one that cuts the connection.
  void serve_troubled() {
    auto& http = server_.http();
    // 503 with Retry-After: 1 twice, then the page.
    http.Get("/unavailable", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      if (server_.hits(req.path) <= 2) {
        res.status = 503;
        res.set_header("Retry-After", "1");
        return;
      }
      res.set_content(page_html, "text/html");
    });
    // 503 once with Retry-After as a date two seconds ahead, then the page.
    http.Get("/unavailable-until", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      if (server_.hits(req.path) == 1) {
        res.status = 503;
        const std::time_t later = std::time(nullptr) + 2;
        std::array<char, 64> date{};
        std::tm utc{};
        gmtime_r(&later, &utc);
        std::strftime(date.data(), date.size(), "%a, %d %b %Y %H:%M:%S GMT", &utc);
        res.set_header("Retry-After", date.data());
        return;
      }
      res.set_content(page_html, "text/html");
    });
    // 502 twice with no Retry-After (backoff), then the page.
    http.Get("/bad-gateway", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      if (server_.hits(req.path) <= 2) {
        res.status = 502;
        return;
      }
      res.set_content(page_html, "text/html");
    });
    http.Get("/down", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.status = 503;
    });
    // Asks for an hour: longer than any cap.
    http.Get("/busy", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.status = 429;
      res.set_header("Retry-After", "3600");
    });
    http.Get("/gone", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.status = 404;
      res.set_content("<html>gone</html>", "text/html");
    });
    // The first answer takes longer than the client waits.
    http.Get("/late", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      if (server_.hits(req.path) == 1) server_.pause(3s);
      res.set_content(page_html, "text/html");
    });
    // The first answer breaks off after its headers.
    http.Get("/cut", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      const bool first = server_.hits(req.path) == 1;
      res.set_content_provider(page_html.size(), "text/html",
                               [first](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 if (first) return false;
                                 sink.write(page_html.data() + offset, length);
                                 return true;
                               });
    });
  }

  // robots.txt of three hosts: rules, none (404), a server error.
  void serve_robots() {
    server_.http().Get("/robots.txt", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      const std::string host = req.get_header_value("Host");
      if (host.rfind("rules.test", 0) == 0) {
        res.set_content("User-agent: *\nDisallow: /now/\nAllow: /now/1$\n\nUser-agent: korvane-commerce\n"
                        "Disallow: /private\n",
                        "text/plain");
      } else if (host.rfind("broken.test", 0) == 0) {
        res.status = 500;
      } else {
        res.status = 404;
      }
    });
    server_.http().Get("/private", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_content(page_html, "text/html");
    });
  }

  // Pages with what HTTP caching needs: a lifetime, validators, refusals.
  void serve_cacheable() {
    auto& http = server_.http();
    http.Get("/fresh", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_header("Cache-Control", "max-age=600");
      serve_raw(res, "<html><title>\x93\xFA\x96\x7B</title></html>", "text/html; charset=Shift_JIS");
    });
    http.Get("/tagged", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_header("Cache-Control", "no-cache");
      res.set_header("ETag", "\"v1\"");
      if (req.get_header_value("If-None-Match") == "\"v1\"") {
        res.status = 304;
        return;
      }
      res.set_content(page_html, "text/html");
    });
    http.Get("/dated", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_header("Last-Modified", "Wed, 21 Oct 2015 07:28:00 GMT");
      res.set_header("Cache-Control", "max-age=0");
      if (req.has_header("If-Modified-Since")) {
        res.status = 304;
        return;
      }
      res.set_content(page_html, "text/html");
    });
    http.Get("/plain", [this](const httplib::Request& req, httplib::Response& res) {
      TestServer::InFlight counted(server_, req);
      res.set_content(page_html, "text/html");
    });
    const std::pair<const char*, const char*> refusals[] = {{"/unkept", "no-store"},
                                                            {"/personal", "private, max-age=600"}};
    for (const auto& refusal : refusals) {
      http.Get(refusal.first, [this, cache_control = refusal.second](const httplib::Request& req,
                                                                      httplib::Response& res) {
        TestServer::InFlight counted(server_, req);
        res.set_header("Cache-Control", cache_control);
        res.set_content(page_html, "text/html");
      });
    }
  }

  TestServer server_;
};

TEST_F(FetcherManners, BoundsEachHostAcrossTheBatchesOfOneFetcher) {
  FetcherOptions o = options();
  o.max_per_host = 2;
  const ConcurrentFetcher fetcher(o);
  // Two batches at once through one fetcher (as the runs of a batch share
  // theirs), each with six pages on each of two hosts.
  asio::io_context io;
  std::vector<std::future<FetchReport>> reports;
  for (int batch = 0; batch < 2; ++batch) {
    std::vector<std::string> links;
    for (const char* host : {"a.test", "b.test"}) {
      for (int i = 0; i < 6; ++i) {
        links.push_back("http://" + std::string(host) + "/slow/" + std::to_string(batch * 10 + i));
      }
    }
    reports.push_back(asio::co_spawn(io, fetcher.fetch(links, 5), asio::use_future));
  }
  io.run();
  for (auto& report : reports) EXPECT_TRUE(report.get().failures.empty());
  const auto peaks = server_.peak_by_host();
  ASSERT_EQ(peaks.size(), 2u);
  for (const auto& [host, peak] : peaks) EXPECT_EQ(peak, 2) << host;
}

TEST_F(FetcherManners, SpacesTheRequestsToOneHost) {
  FetcherOptions o = options();
  o.host_delay = 0.2;
  std::vector<std::string> links;
  for (int i = 0; i < 4; ++i) {
    links.push_back("http://a.test/now/" + std::to_string(i));
    links.push_back("http://b.test/now/" + std::to_string(i));
  }
  const auto start = std::chrono::steady_clock::now();
  const FetchReport report = fetch(ConcurrentFetcher(o), links);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(report.failures.empty());
  for (const char* host : {"a.test", "b.test"}) {
    const std::vector<double> gaps = server_.gaps(host);
    ASSERT_EQ(gaps.size(), 3u) << host;
    for (const double gap : gaps) EXPECT_GE(gap, 0.2) << host;
  }
  EXPECT_LT(seconds, 2.0);  // the two hosts side by side: about 0.6 s
}

TEST_F(FetcherManners, AdaptivePaceSlowsDownForAHostThatAnswersSlower) {
  FetcherOptions o = options();
  o.adaptive = true;
  std::vector<std::string> links;
  for (int i = 1; i <= 8; ++i) links.push_back("http://a.test/slower/" + std::to_string(i));
  const FetchReport report = fetch(ConcurrentFetcher(o), links);
  EXPECT_TRUE(report.failures.empty());
  // Without the adaptive pace the four allowed at once would start together;
  // with it the host is asked one request at a time until it answers, and
  // then no faster than its latency (50 ms more per page): when page k
  // starts, with at most four in flight, page k - 4 has answered at least.
  const std::vector<double> gaps = server_.gaps("a.test");
  ASSERT_EQ(gaps.size(), 7u);
  EXPECT_GE(gaps[0], 0.05) << "page 2 waits for page 1's answer";
  for (int page = 5; page <= 8; ++page) {
    EXPECT_GE(gaps[static_cast<std::size_t>(page - 2)], 0.05 * (page - 4)) << "before page " << page;
  }
}

TEST_F(FetcherManners, RetriesWhatTheServerAsksToRetryAndNothingElse) {
  FetcherOptions o = options();
  o.retries = 2;
  o.retry_backoff = 0.05;
  o.max_retry_after = 10;
  const std::vector<std::string> links{"http://a.test/unavailable", "http://a.test/bad-gateway", "http://a.test/busy",
                                       "http://a.test/gone", "http://a.test/cut", "http://a.test/late",
                                       "http://a.test/unavailable-until"};
  const auto start = std::chrono::steady_clock::now();
  const FetchReport report = fetch(ConcurrentFetcher(o), links, 1.0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  EXPECT_EQ(report.pages.at("http://a.test/unavailable"), page_html);
  EXPECT_GE(seconds, 2.0);  // two Retry-After: 1
  EXPECT_EQ(server_.hits("/unavailable"), 3);
  EXPECT_EQ(report.retried.at("http://a.test/unavailable"), 2u);
  EXPECT_EQ(report.pages.at("http://a.test/bad-gateway"), page_html);  // after two backoffs
  EXPECT_EQ(report.pages.at("http://a.test/cut"), page_html);
  EXPECT_EQ(report.retried.at("http://a.test/cut"), 1u);
  EXPECT_EQ(report.pages.at("http://a.test/late"), page_html);  // after a timeout
  EXPECT_EQ(report.retried.at("http://a.test/late"), 1u);
  EXPECT_EQ(report.pages.at("http://a.test/unavailable-until"), page_html);
  const auto arrivals = server_.arrivals();
  std::vector<std::chrono::steady_clock::time_point> until;
  for (const auto& a : arrivals) {
    if (a.path == "/unavailable-until") until.push_back(a.at);
  }
  ASSERT_EQ(until.size(), 2u);
  EXPECT_GE(std::chrono::duration<double>(until[1] - until[0]).count(), 0.9);  // the date, a second or two ahead
  // An hour is past the cap: asked once, its status the reason.
  EXPECT_EQ(server_.hits("/busy"), 1);
  EXPECT_EQ(report.failures.at("http://a.test/busy").detail, "status 429");
  EXPECT_FALSE(report.retried.contains("http://a.test/busy"));
  // An answer that came is never asked again.
  EXPECT_EQ(server_.hits("/gone"), 1);
  EXPECT_EQ(report.failures.at("http://a.test/gone").detail, "status 404");
  EXPECT_EQ(report.counts.retries, 7u);

  // Without retries (the default) every link is asked once.
  const FetchReport once = fetch(ConcurrentFetcher(options()), {"http://b.test/down", "http://b.test/cut"});
  EXPECT_EQ(once.failures.at("http://b.test/down").detail, "status 503");
  EXPECT_EQ(server_.hits("/down"), 1);
  EXPECT_EQ(once.counts.retries, 0u);
}

TEST_F(FetcherManners, RespectsRobotsTxtWhenAskedTo) {
  FetcherOptions o = options();
  o.respect_robots = true;
  const ConcurrentFetcher fetcher(o);
  const std::vector<std::string> links{"http://rules.test/private", "http://rules.test/now/1",
                                       "http://missing.test/private", "http://broken.test/now/2"};
  FetchReport report = fetch(fetcher, links);
  // The group naming us wins over "*": /private is refused, /now/1 allowed.
  EXPECT_EQ(report.failures.at("http://rules.test/private"),
            (korvane::core::FetchMiss{korvane::core::FetchFailure::robots_disallowed, "disallowed by robots.txt"}));
  EXPECT_TRUE(report.pages.at("http://rules.test/now/1"));
  EXPECT_TRUE(report.pages.at("http://missing.test/private"));  // no robots.txt: all allowed
  EXPECT_EQ(report.failures.at("http://broken.test/now/2").reason, korvane::core::FetchFailure::robots_disallowed);
  EXPECT_EQ(report.counts.robots_refused, 2u);
  EXPECT_EQ(server_.hits("/private"), 1);  // only missing.test's
  EXPECT_EQ(server_.hits("/now/2"), 0);
  // Each robots.txt once per fetcher, however many calls.
  report = fetch(fetcher, {"http://rules.test/now/3", "http://broken.test/now/4"});
  EXPECT_EQ(server_.hits("/robots.txt"), 3);
  EXPECT_TRUE(report.pages.at("http://rules.test/now/3"));  // "*" forbids /now/, not our group
  EXPECT_EQ(server_.total_hits(), 6);

  // Without the option robots.txt is never asked for.
  EXPECT_TRUE(fetch(ConcurrentFetcher(options()), {"http://rules.test/private"}).failures.empty());
  EXPECT_EQ(server_.hits("/robots.txt"), 3);
}

// A cache file in a folder of its own, removed afterwards.
class CacheFolder {
 public:
  CacheFolder()
      : path_(std::filesystem::temp_directory_path() /
              ("korvane-cache-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
    std::filesystem::create_directories(path_);
  }
  ~CacheFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  CacheFolder(const CacheFolder&) = delete;
  CacheFolder& operator=(const CacheFolder&) = delete;
  std::filesystem::path file() const { return path_ / "pages.sqlite"; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

TEST_F(FetcherManners, ServesFreshPagesFromItsCacheAndRevalidatesStaleOnes) {
  const CacheFolder folder;
  const std::vector<std::string> links{"http://a.test/fresh",  "http://a.test/tagged",   "http://a.test/dated",
                                       "http://a.test/plain",  "http://a.test/unkept",   "http://a.test/personal",
                                       "http://a.test/gone"};
  const FetchReport first =
      fetch(ConcurrentFetcher(options(), nullptr, korvane::core::PageCache::open(folder.file())), links);
  EXPECT_EQ(server_.total_hits(), 7);
  EXPECT_EQ(first.counts, korvane::core::FetchCounts{});

  // A new fetcher (a new run) on the same file.
  const FetchReport second =
      fetch(ConcurrentFetcher(options(), nullptr, korvane::core::PageCache::open(folder.file())), links);
  // Fresh pages (max-age, or no word and our own day) without a request;
  // stale ones asked with their validators, answered 304; pages that may not
  // be kept, and misses, asked again.
  EXPECT_EQ(second.pages, first.pages);  // decoded alike: the Shift_JIS title too
  EXPECT_EQ(second.pages.at("http://a.test/fresh"), "<html><title>日本</title></html>");
  EXPECT_EQ(second.failures, first.failures);
  EXPECT_EQ(second.counts.from_cache, 2u);
  EXPECT_EQ(second.counts.revalidated, 2u);
  for (const char* path : {"/fresh", "/plain"}) EXPECT_EQ(server_.hits(path), 1) << path;
  for (const char* path : {"/tagged", "/dated", "/unkept", "/personal", "/gone"}) {
    EXPECT_EQ(server_.hits(path), 2) << path;
  }
  const auto arrivals = server_.arrivals();
  const auto last = [&](const std::string& path) {
    return *std::find_if(arrivals.rbegin(), arrivals.rend(), [&](const auto& a) { return a.path == path; });
  };
  EXPECT_EQ(last("/tagged").if_none_match, "\"v1\"");
  EXPECT_EQ(last("/dated").if_modified_since, "Wed, 21 Oct 2015 07:28:00 GMT");
  EXPECT_EQ(last("/unkept").if_none_match, "");

  // Our own maximum age: with none left, the plain page is asked again (no
  // validators: a whole request).
  korvane::core::CacheOptions short_lived;
  short_lived.max_age = 0;
  (void)fetch(ConcurrentFetcher(options(), nullptr, korvane::core::PageCache::open(folder.file(), short_lived)),
              {"http://a.test/plain"});
  EXPECT_EQ(server_.hits("/plain"), 2);
}

TEST(FetcherCall, RejectsTimeoutsThatAreNoDuration) {
  const ConcurrentFetcher fetcher;
  for (const double timeout : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity()}) {
    EXPECT_THROW(fetch(fetcher, {"http://shop.example/"}, timeout), korvane::ValueError) << timeout;
  }
}

// A transport that answers from a table, or breaks as told.
class FakeTransport final : public korvane::core::Transport {
 public:
  enum class Mode { answer, short_answer, throw_error };
  explicit FakeTransport(Mode mode) : mode_(mode) {}
  asio::awaitable<std::vector<korvane::core::TransportResult>> fetch_all(std::vector<std::string> links,
                                                                         const FetcherOptions&, double,
                                                                         const LinkDone&) const override {
    if (mode_ == Mode::throw_error) throw korvane::FetchError("transport down");
    asked_ = links;
    std::vector<korvane::core::TransportResult> results;
    for (const std::string& link : links) {
      if (link.find("json") != std::string::npos) {
        results.push_back({korvane::core::RawResponse{200, "application/json", "{}"}, {}});
      } else if (link.find("lost") != std::string::npos) {
        results.push_back({std::nullopt, {korvane::core::FetchFailure::transfer_failed, "lost in transit"}});
      } else {
        results.push_back({korvane::core::RawResponse{200, "text/html; charset=latin1", "<p>\xE9"}, {}});
      }
    }
    if (mode_ == Mode::short_answer) results.pop_back();
    co_return results;
  }
  mutable std::vector<std::string> asked_;

 private:
  Mode mode_;
};

TEST(FetcherCall, AppliesItsRulesToAnyTransport) {
  const auto transport = std::make_shared<FakeTransport>(FakeTransport::Mode::answer);
  const ConcurrentFetcher fetcher({}, transport);
  const FetchReport report =
      fetch(fetcher, {"https://a.example/", "https://a.example/", "mailto:x@y.example",
                      "https://a.example/json", "https://a.example/lost"});
  // Only distinct fetchable links reach the transport, in order.
  EXPECT_EQ(transport->asked_, (std::vector<std::string>{"https://a.example/", "https://a.example/json",
                                                         "https://a.example/lost"}));
  EXPECT_EQ(report.pages.at("https://a.example/"), "<p>é");
  using korvane::core::FetchFailure;
  using korvane::core::FetchMiss;
  EXPECT_EQ(report.failures.at("mailto:x@y.example"),
            (FetchMiss{FetchFailure::unsupported_scheme, "unsupported scheme (mailto)"}));
  EXPECT_EQ(report.failures.at("https://a.example/json"),
            (FetchMiss{FetchFailure::not_html, "not HTML (application/json)"}));
  EXPECT_EQ(report.failures.at("https://a.example/lost"), (FetchMiss{FetchFailure::transfer_failed, "lost in transit"}));
  EXPECT_EQ(report.pages.size(), 4u);
}

TEST(FetcherCall, LogsEveryReasonAtDebugLevelToTheHostsLogger) {
  const ConcurrentFetcher fetcher({}, std::make_shared<FakeTransport>(FakeTransport::Mode::answer));
  // Without a logger of the host's, nothing is written anywhere.
  EXPECT_NO_THROW(fetch(fetcher, {"https://a.example/lost"}));

  std::string log;
  {
    const korvane::testing::LogCapture capture("korvane.core.fetcher");
    (void)fetch(fetcher, {"https://a.example/", "https://a.example/lost", "gopher://a.example/"});
    log = capture.text();
  }
  EXPECT_NE(log.find("debug no page for https://a.example/lost: lost in transit"), std::string::npos) << log;
  EXPECT_NE(log.find("debug no page for gopher://a.example/: unsupported scheme (gopher)"), std::string::npos)
      << log;
  EXPECT_NE(log.find("debug fetched 1 of 3 links"), std::string::npos) << log;
}

TEST(FetcherCall, FailsWholeWhenTheTransportCannotWork) {
  const ConcurrentFetcher down({}, std::make_shared<FakeTransport>(FakeTransport::Mode::throw_error));
  EXPECT_THROW(fetch(down, {"https://a.example/"}), korvane::FetchError);
  const ConcurrentFetcher short_of_answers({}, std::make_shared<FakeTransport>(FakeTransport::Mode::short_answer));
  EXPECT_THROW(fetch(short_of_answers, {"https://a.example/", "https://b.example/"}), korvane::FetchError);
  // Nothing to fetch: the transport is not asked at all.
  EXPECT_NO_THROW(fetch(down, {"not a link"}));
}

// A folder of saved pages, removed afterwards.
class PageFolder {
 public:
  PageFolder() : path_(std::filesystem::temp_directory_path() / ("korvane-pages-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++))) {
    std::filesystem::create_directories(path_ / "sub");
  }
  ~PageFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  PageFolder(const PageFolder&) = delete;
  PageFolder& operator=(const PageFolder&) = delete;
  void write(const std::string& name, std::string_view content) const {
    std::ofstream(path_ / name, std::ios::binary) << content;
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};

TEST(DirectoryTransport, ServesSavedPagesByLink) {
  const PageFolder folder;
  folder.write("manifest.json", R"({
    "https://shop.example/a": "a.html",
    "https://shop.example/b": "sub/b.htm",
    "https://shop.example/c": "c.txt",
    "https://shop.example/d": "d.bin",
    "https://shop.example/gone": "gone.html",
    "https://shop.example/big": "big.html"
  })");
  folder.write("a.html", page_html);
  folder.write("sub/b.htm", "<html><head><meta charset=\"shift_jis\"></head>\x93\xFA\x96\x7B</html>");
  folder.write("c.txt", "<!DOCTYPE html><p>saved without extension</p>");
  folder.write("d.bin", "GIF89a");
  folder.write("big.html", "<html>" + std::string(4096, 'x'));
  FetcherOptions options;
  options.max_page_bytes = 1024;
  const ConcurrentFetcher fetcher(options, korvane::core::make_directory_transport(folder.path()));
  const FetchReport report =
      fetch(fetcher, {"https://shop.example/a", "https://shop.example/b", "https://shop.example/c",
                      "https://shop.example/d", "https://shop.example/gone", "https://shop.example/big",
                      "https://shop.example/unknown"});
  EXPECT_EQ(report.pages.at("https://shop.example/a"), page_html);
  EXPECT_EQ(report.pages.at("https://shop.example/b"), "<html><head><meta charset=\"shift_jis\"></head>日本</html>");
  EXPECT_EQ(report.pages.at("https://shop.example/c"), "<!DOCTYPE html><p>saved without extension</p>");
  EXPECT_EQ(report.failures.at("https://shop.example/d").detail, "not HTML (no content type)");
  EXPECT_EQ(report.failures.at("https://shop.example/gone").detail, "cannot read gone.html");
  EXPECT_EQ(report.failures.at("https://shop.example/big").detail, "too large");
  EXPECT_EQ(report.failures.at("https://shop.example/unknown").detail, "not in the page folder");
}

TEST(DirectoryTransport, ReadsAnArrayManifestWithOriginalLinks) {
  const PageFolder folder;
  folder.write("manifest.json", R"([
    {"file": "sub/p.html", "original_url": "https://shop.example/p", "kind": "product"},
    {"file": "sub/q.html", "original_url": null},
    {"file": "sub/r.html", "url": "https://shop.example/r"}
  ])");
  folder.write("sub/p.html", "<html>p</html>");
  folder.write("sub/r.html", "<html>r</html>");
  const ConcurrentFetcher fetcher({}, korvane::core::make_directory_transport(folder.path()));
  const FetchReport report = fetch(fetcher, {"https://shop.example/p", "https://shop.example/r"});
  EXPECT_EQ(report.pages.at("https://shop.example/p"), "<html>p</html>");
  EXPECT_EQ(report.pages.at("https://shop.example/r"), "<html>r</html>");
}

TEST(DirectoryTransport, RefusesBrokenManifests) {
  const std::pair<const char*, const char*> cases[] = {
      {"manifest.json", "{not json"},
      {"manifest.json", R"({"https://shop.example/": "../outside.html"})"},
      {"manifest.json", R"({"https://shop.example/": "/etc/passwd"})"},
      {"manifest.json", R"({"https://shop.example/": 3})"},
      {"manifest.json", R"("just text")"},
      {"other.json", "{}"},  // no manifest at all
  };
  for (const auto& [name, content] : cases) {
    const PageFolder folder;
    folder.write(name, content);
    EXPECT_THROW((void)korvane::core::make_directory_transport(folder.path()), korvane::FetchError)
        << content;
  }

  // A symbolic link counts by where it leads: a link to a file outside, or
  // a linked folder on the way out, is refused; a link within is followed.
  const PageFolder elsewhere;
  elsewhere.write("secret.html", "<html>secret</html>");
  const std::pair<const char*, std::filesystem::path> links[] = {
      {"link.html", elsewhere.path() / "secret.html"},
      {"linked/secret.html", elsewhere.path()},
  };
  for (const auto& [entry, target] : links) {
    const PageFolder folder;
    const std::string link_name = std::filesystem::path(entry).begin()->string();
    std::filesystem::create_symlink(target, folder.path() / link_name);
    folder.write("manifest.json", std::string(R"({"https://shop.example/": ")") + entry + R"("})");
    EXPECT_THROW((void)korvane::core::read_page_manifest(folder.path()), korvane::FetchError) << entry;
  }
  const PageFolder folder;
  folder.write("sub/page.html", "<html>page</html>");
  std::filesystem::create_symlink("sub/page.html", folder.path() / "alias.html");
  folder.write("manifest.json", R"({"https://shop.example/": "alias.html"})");
  const ConcurrentFetcher fetcher({}, korvane::core::make_directory_transport(folder.path()));
  EXPECT_EQ(fetch(fetcher, {"https://shop.example/"}).pages.at("https://shop.example/"), "<html>page</html>");
}

}  // namespace
