// The destination page fetcher: downloads many web pages at once, the way a
// careful crawler does, and hands back each page's HTML as UTF-8 text.
//
//   korvane::core::ConcurrentFetcher fetcher;             // real network, defaults
//   FetchReport report = co_await fetcher.fetch(links, 5.0);
//   report.pages.at(link)      // the page's HTML, or nothing
//   report.failures.at(link)   // why there is nothing: {FetchFailure::timeout, "timeout"}, ...
//
// Every link passed gets an entry in `pages`, and every link without a page
// gets a reason in `failures`; a single bad link never fails the call. The
// reasons are also logged at debug level through the spdlog logger named
// "korvane.core.fetcher", when the host has registered one (the library
// never prints).
#pragma once

#include <korvane/core/cache.hpp>
#include <korvane/core/fetch.hpp>

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane::core {

namespace detail {
class RobotsMemo;
}  // namespace detail

// One link for a transport to fetch. A stored copy's validators make the
// request conditional (If-None-Match, If-Modified-Since: a 304 answer means
// the copy is still good). `any_response` keeps every answer with its body,
// whatever its status and type (robots.txt); otherwise a transport may stop
// reading a body that the status or type rules out.
struct TransportRequest {
  std::string link;
  std::string if_none_match{};
  std::string if_modified_since{};
  bool any_response = false;
};

// What a transport got for one link: a response, or the reason it has none;
// and how many times the request was made again before that.
struct TransportResult {
  std::optional<RawResponse> response;
  FetchMiss failure;  // set when `response` is absent
  std::size_t retries = 0;
};

// Where pages come from: the network through libcurl, a folder of saved
// pages, or a fake in tests. The fetcher does the rest (link checks,
// duplicates, status and type checks, charset decoding, reasons).
class Transport {
 public:
  virtual ~Transport() = default;

  // Called once for each link as soon as its result is known.
  using LinkDone = std::function<void()>;

  // Fetches each of `links` (distinct, with an http or https scheme and a
  // host) within `timeout_seconds` per link, honouring `options`, and calls
  // `on_link_done` (when not empty) as each link ends. Returns one result
  // per link, in the order of `links`. Throws only when the transport cannot
  // work at all; a failing link is a result.
  [[nodiscard]] virtual boost::asio::awaitable<std::vector<TransportResult>> fetch_all(
      std::vector<std::string> links, const FetcherOptions& options, double timeout_seconds,
      const LinkDone& on_link_done) const = 0;

  // Fetches each of `requests` as fetch_all() fetches links, honouring their
  // validators and `any_response`. This default asks fetch_all() for the
  // links alone, as a transport that cannot make conditional requests does:
  // the whole page comes back instead of a 304.
  [[nodiscard]] virtual boost::asio::awaitable<std::vector<TransportResult>> fetch_requests(
      std::vector<TransportRequest> requests, const FetcherOptions& options, double timeout_seconds,
      const LinkDone& on_link_done) const;
};

// The network transport: libcurl's multi interface driven by the awaiting
// coroutine's executor, never blocking it. Throws korvane::FetchError when
// libcurl cannot be initialised.
[[nodiscard]] std::shared_ptr<const Transport> make_curl_transport();

// One page of a page folder: its file and the Content-Type it is served with.
struct SavedPage {
  std::filesystem::path file;
  std::string content_type;
};

// Reads the manifest.json of a page folder: an object mapping each link to a
// file name or to {"file": ..., "content_type": ...}, or an array of objects
// with "file" and "url" (or "original_url"). File names are relative to the
// folder and may not leave it, not even through a symbolic link: their real
// path must lie in the folder's, and is what `file` holds. Without a content
// type, names ending in .html, .htm or .xhtml are HTML and others have none.
// Throws korvane::FetchError when the manifest cannot be read or names a
// file outside the folder.
[[nodiscard]] std::unordered_map<std::string, SavedPage> read_page_manifest(const std::filesystem::path& folder);

// Serves saved pages from `folder` for offline runs and reproducible
// batches, as listed by its manifest (read_page_manifest). A link not in the
// manifest fails with "not in the page folder" (FetchFailure::not_in_page_folder); a file without a content
// type must look like HTML. Throws korvane::FetchError when the manifest
// cannot be read.
[[nodiscard]] std::shared_ptr<const Transport> make_directory_transport(
    const std::filesystem::path& folder);

// Fetches batches of pages concurrently. Holds its options, its transport,
// its page cache and what it learnt of sites' robots.txt; one instance can
// serve any number of calls, also at once, and its copies share all of it.
class ConcurrentFetcher {
 public:
  // A fetcher with `options`, fetching through `transport`, or through
  // libcurl when it is null (korvane::FetchError when libcurl cannot start),
  // and keeping pages in `cache` when there is one.
  explicit ConcurrentFetcher(FetcherOptions options = {}, std::shared_ptr<const Transport> transport = nullptr,
                             std::shared_ptr<PageCache> cache = nullptr);
  ~ConcurrentFetcher();
  ConcurrentFetcher(const ConcurrentFetcher&);
  ConcurrentFetcher(ConcurrentFetcher&&) noexcept;
  ConcurrentFetcher& operator=(const ConcurrentFetcher&);
  ConcurrentFetcher& operator=(ConcurrentFetcher&&) noexcept;

  // Fetches every link of `urls` (duplicates once) within `timeout_seconds`
  // per page (per attempt, with retries), following redirects. Keeps only
  // HTML pages with a 2xx status, decoded to UTF-8 as browsers do: by a byte
  // order mark, else the Content-Type charset, else a <meta> charset
  // declaration in the first 16 KiB, else as UTF-8; invalid bytes become
  // U+FFFD. With a page cache, a fresh kept page is served without a
  // request and a stale one is asked for conditionally; with
  // options.respect_robots, links their site's robots.txt disallows are not
  // asked for. Throws korvane::ValueError when the timeout is not a positive
  // finite number, and whatever the transport throws when it cannot work;
  // never for a single link. `on_progress`, when not empty, is told after
  // each distinct link has its outcome. The fetcher must outlive the
  // awaited call.
  [[nodiscard]] boost::asio::awaitable<FetchReport> fetch(std::vector<std::string> urls, double timeout_seconds,
                                                          FetchProgress on_progress = {}) const;

  // The pages of `urls` fetched from the network by a fetcher with default
  // options; the map of fetch() without the reasons.
  [[nodiscard]] static boost::asio::awaitable<PageMap> fetch_many(std::vector<std::string> urls,
                                                                  double timeout = 5.0);

  // The options the fetcher was made with, and its page cache (null when it
  // has none).
  [[nodiscard]] const FetcherOptions& options() const noexcept { return options_; }
  [[nodiscard]] const std::shared_ptr<PageCache>& cache() const noexcept { return cache_; }

 private:
  FetcherOptions options_;
  std::shared_ptr<const Transport> transport_;
  std::shared_ptr<PageCache> cache_;
  std::shared_ptr<detail::RobotsMemo> robots_;
};

}  // namespace korvane::core
