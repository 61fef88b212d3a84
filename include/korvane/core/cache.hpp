// A page cache on disk: destination pages kept as they were fetched, so that
// a rerun sends no request for a page still fresh and only a conditional one
// for a page gone stale.
//
//   auto cache = korvane::core::PageCache::open("pages.sqlite");
//   korvane::core::ConcurrentFetcher fetcher({}, nullptr, cache);
//   if (!cache->problem().empty()) ...   // a damaged or foreign file: fetching works without it
//
// One SQLite file in WAL mode: the processes of one machine (batch workers)
// may share it, reading while one of them writes. What it keeps is the
// response (final link, status, Content-Type, body before charset decoding,
// validators), so a page read from the cache is decoded and parsed exactly
// as one read from the network.
#pragma once

#include <korvane/core/fetch.hpp>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane::core {

// Seconds a page that says nothing about its freshness stays fresh, and the
// longest any page does (a day); the size a cache file grows to (1 GiB).
inline constexpr double DEFAULT_CACHE_MAX_AGE = 24.0 * 60 * 60;
inline constexpr std::uint64_t DEFAULT_CACHE_MAX_BYTES = std::uint64_t{1} << 30U;

// How a page cache keeps pages.
struct CacheOptions {
  // Seconds a page stays fresh at most: the lifetime of a page whose headers
  // say nothing, and the cap of one whose Cache-Control or Expires says more.
  double max_age = DEFAULT_CACHE_MAX_AGE;
  // Bytes of pages kept at most; past it the pages used longest ago go.
  std::uint64_t max_bytes = DEFAULT_CACHE_MAX_BYTES;
};

// Eviction needs the order in which pages were used, not the second: a page
// served again within this many seconds of its last use is not marked used
// again, so that serving pages from the cache mostly writes nothing.
inline constexpr double CACHE_USE_MARK_INTERVAL = 60.0 * 60;

// A response the cache holds, with the times that decide its freshness and
// its eviction (seconds since the Unix epoch).
struct CachedResponse {
  RawResponse response;
  double stored_at = 0;    // when it was fetched or last confirmed, less its Age
  double fresh_until = 0;  // after this it must be revalidated
  double used_at = 0;      // when it was last kept or marked used

  [[nodiscard]] bool fresh(double now) const noexcept { return now < fresh_until; }
  // Whether serving it now should mark it used (see CACHE_USE_MARK_INTERVAL).
  [[nodiscard]] bool use_worth_marking(double now) const noexcept { return now - used_at >= CACHE_USE_MARK_INTERVAL; }
};

// A page cache in one SQLite file. Thread-safe; every operation is one short
// transaction, and none throws for what the file does: a damaged file makes
// the cache unusable (problem() says why) and fetching goes on without it.
class PageCache {
 public:
  // Opens the cache file at `path`, creating it (and its folder) when
  // missing. A file that is not a page cache of ours (another program's
  // database, not SQLite at all) is left untouched and the cache unusable; a
  // damaged cache file of ours is set aside as PATH.damaged and a new one is
  // started. Either way problem() says what happened.
  [[nodiscard]] static std::shared_ptr<PageCache> open(const std::filesystem::path& path, CacheOptions options = {});

  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  // The kept responses of `keys` (request links), absent where none is kept;
  // all absent when the cache is unusable.
  [[nodiscard]] std::vector<std::optional<CachedResponse>> lookup(const std::vector<std::string>& keys);

  // One answer for a key, with the time it was received.
  struct Entry {
    std::string key;
    RawResponse response;
    double received_at = 0;
  };

  // What one batch of fetches tells the cache.
  struct Update {
    // Whole answers: kept when they may be (status 200, HTML, neither
    // Cache-Control no-store nor private, not Vary: *), replacing what was
    // kept under their key; an answer that may not be kept drops the kept
    // page, unless it is a server error (5xx, 429), which says nothing about
    // the page.
    std::vector<Entry> fetched;
    // 304 answers to conditional requests: the kept page is confirmed and
    // takes the answer's caching headers (its body and type stay).
    std::vector<Entry> confirmed;
    // Keys whose kept page was served (their last use is now); see
    // CachedResponse::use_worth_marking.
    std::vector<std::string> used;
  };

  // Applies `update` in one transaction, then evicts the pages used longest
  // ago while the cache is past its size cap.
  void apply(const Update& update, double now);

  // Bytes of pages kept (bodies, links and types), and pages kept.
  [[nodiscard]] std::uint64_t size_bytes();
  [[nodiscard]] std::size_t page_count();

  // Why the cache is unusable or what happened to its file; empty when all
  // is well.
  [[nodiscard]] std::string problem() const;
  [[nodiscard]] bool usable() const;
  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }
  [[nodiscard]] const CacheOptions& options() const noexcept { return options_; }

 private:
  struct State;
  PageCache(std::filesystem::path path, CacheOptions options);
  // Runs `work` on the open file under the lock; `fallback` when the cache
  // is unusable or the work fails (a damaged file is then set aside).
  template <class Result, class Work>
  Result guarded(Result fallback, Work&& work);

  std::filesystem::path path_;
  CacheOptions options_;
  std::unique_ptr<State> state_;
};

}  // namespace korvane::core
