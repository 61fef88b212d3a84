// The page cache on disk: what HTTP caching lets it keep and for how long,
// eviction, files it must not use, a damaged file, and two processes
// writing one file at once.
#include <korvane/core/cache.hpp>

#include "core/freshness.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using korvane::core::CacheHeaders;
using korvane::core::CacheOptions;
using korvane::core::PageCache;
using korvane::core::RawResponse;

namespace {

// A folder of its own, removed afterwards.
class Folder {
 public:
  Folder() : path_(fs::temp_directory_path() / ("korvane-page-cache-" + std::to_string(::getpid()) + "-" +
                                                std::to_string(counter_++))) {
    fs::create_directories(path_);
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Folder(const Folder&) = delete;
  Folder& operator=(const Folder&) = delete;
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  static inline int counter_ = 0;
  fs::path path_;
};

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return std::move(bytes).str();
}

RawResponse page(std::string body, CacheHeaders headers = {}) {
  RawResponse r;
  r.status = 200;
  r.content_type = "text/html; charset=windows-1252";
  r.body = std::move(body);
  r.url = "https://shop.example/final";
  r.cache_headers = std::move(headers);
  return r;
}

PageCache::Update kept(const std::string& key, RawResponse response, double at) {
  PageCache::Update update;
  update.fetched.push_back({key, std::move(response), at});
  return update;
}

constexpr double now = 1.7e9;

TEST(PageCacheRules, KeepPagesForAsLongAsTheirHeadersSay) {
  struct Case {
    const char* what;
    long status;
    std::string type;
    CacheHeaders headers;
    bool storable;
    double lifetime;
  };
  const double day = korvane::core::DEFAULT_CACHE_MAX_AGE;
  const std::vector<Case> cases = {
      {"says nothing: our own maximum age", 200, "text/html", {}, true, day},
      {"max-age", 200, "text/html", {.cache_control = "public, max-age=600"}, true, 600},
      {"quoted max-age", 200, "text/html", {.cache_control = "max-age=\"60\""}, true, 60},
      {"s-maxage first", 200, "text/html", {.cache_control = "max-age=600, s-maxage=60"}, true, 60},
      {"capped at our maximum", 200, "text/html", {.cache_control = "max-age=31536000"}, true, day},
      {"Expires less Date", 200, "text/html",
       {.expires = "Thu, 01 Jan 2026 01:00:00 GMT", .date = "Thu, 01 Jan 2026 00:00:00 GMT"}, true, 3600},
      {"Expires that is no date", 200, "text/html", {.expires = "0", .date = "Thu, 01 Jan 2026 00:00:00 GMT"}, true, 0},
      {"max-age over Expires", 200, "text/html",
       {.cache_control = "max-age=5", .expires = "Thu, 01 Jan 2026 01:00:00 GMT",
        .date = "Thu, 01 Jan 2026 00:00:00 GMT"}, true, 5},
      {"no-cache: confirmed before each use", 200, "text/html", {.cache_control = "no-cache"}, true, 0},
      {"Pragma no-cache", 200, "text/html", {.pragma = "no-cache"}, true, 0},
      {"no-store", 200, "text/html", {.cache_control = "max-age=600, no-store"}, false, 0},
      {"private", 200, "text/html", {.cache_control = "Private"}, false, 0},
      {"private with fields", 200, "text/html", {.cache_control = "private=\"Set-Cookie\""}, false, 0},
      {"Vary: *", 200, "text/html", {.vary = "*"}, false, 0},
      {"Vary on a header", 200, "text/html", {.vary = "Accept-Encoding"}, true, day},
      {"a 404", 404, "text/html", {}, false, 0},
      {"not HTML", 200, "image/png", {}, false, 0},
  };
  for (const Case& c : cases) {
    RawResponse r = page("<html>", c.headers);
    r.status = c.status;
    r.content_type = c.type;
    const auto f = korvane::core::detail::freshness_of(r, day);
    EXPECT_EQ(f.storable, c.storable) << c.what;
    if (c.storable) EXPECT_DOUBLE_EQ(f.lifetime, c.lifetime) << c.what;
  }
  EXPECT_DOUBLE_EQ(korvane::core::detail::freshness_of(page("<html>", {.age = "100"}), day).age, 100);
}

TEST(PageCacheFile, KeepsResponsesAsFetchedAndEvictsTheLeastRecentlyUsed) {
  const Folder folder;
  CacheOptions options;
  options.max_bytes = 100'000;
  const auto cache = PageCache::open(folder / "sub" / "pages.sqlite", options);  // the folder is made
  ASSERT_TRUE(cache->usable()) << cache->problem();
  EXPECT_EQ(cache->problem(), "");

  // The response comes back as it was kept: bytes in their own charset,
  // the final link, the validators.
  const std::string latin1 = "<html><p>caf\xE9</p></html>";
  cache->apply(kept("https://shop.example/a", page(latin1, {.cache_control = "max-age=60", .etag = "\"x\""}), now),
               now);
  auto found = cache->lookup({"https://shop.example/a", "https://shop.example/none"});
  ASSERT_TRUE(found[0]);
  EXPECT_FALSE(found[1]);
  EXPECT_EQ(found[0]->response, page(latin1, {.cache_control = "max-age=60", .etag = "\"x\""}));
  EXPECT_TRUE(found[0]->fresh(now + 59));
  EXPECT_FALSE(found[0]->fresh(now + 61));

  // A 304 refreshes it: the answer's headers, the kept body.
  PageCache::Update confirmed;
  RawResponse not_modified;
  not_modified.status = 304;
  not_modified.cache_headers = {.cache_control = "max-age=600", .etag = "\"x\""};
  confirmed.confirmed.push_back({"https://shop.example/a", not_modified, now + 100});
  cache->apply(confirmed, now + 100);
  found = cache->lookup({"https://shop.example/a"});
  EXPECT_EQ(found[0]->response.body, latin1);
  EXPECT_TRUE(found[0]->fresh(now + 650));

  // An answer that may not be kept drops the page; a server error does not.
  RawResponse error = page("");
  error.status = 503;
  cache->apply(kept("https://shop.example/a", error, now + 200), now + 200);
  EXPECT_TRUE(cache->lookup({"https://shop.example/a"})[0]);
  RawResponse missing = page("");
  missing.status = 404;
  cache->apply(kept("https://shop.example/a", missing, now + 300), now + 300);
  EXPECT_FALSE(cache->lookup({"https://shop.example/a"})[0]);

  // Ten pages of 20 kB in a cache of 100 kB; page 0 is used all along.
  for (int i = 0; i < 10; ++i) {
    PageCache::Update update = kept("p" + std::to_string(i), page(std::string(20'000, 'x')), now + i);
    if (i > 0) update.used.push_back("p0");
    cache->apply(update, now + i);
  }
  EXPECT_LE(cache->size_bytes(), options.max_bytes);
  const auto left = cache->lookup({"p0", "p1", "p5", "p9"});
  EXPECT_TRUE(left[0]);   // used recently
  EXPECT_FALSE(left[1]);  // used longest ago
  EXPECT_FALSE(left[2]);
  EXPECT_TRUE(left[3]);
}

TEST(PageCacheFile, LeavesFilesThatAreNoCacheOfOursAlone) {
  const Folder folder;
  const fs::path text = folder / "notes.txt";
  std::ofstream(text) << "not a database at all\n";
  const fs::path other = folder / "other.sqlite";
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  sqlite3_exec(db, "CREATE TABLE notes (text TEXT); INSERT INTO notes VALUES ('mine');", nullptr, nullptr, nullptr);
  sqlite3_close(db);

  for (const fs::path& path : {text, other}) {
    const std::string before = read_bytes(path);
    const auto cache = PageCache::open(path);
    EXPECT_FALSE(cache->usable()) << path;
    EXPECT_NE(cache->problem().find("not a page cache"), std::string::npos) << cache->problem();
    cache->apply(kept("k", page("<html>"), now), now);  // never throws, does nothing
    EXPECT_FALSE(cache->lookup({"k"})[0]);
    EXPECT_EQ(read_bytes(path), before) << path;
    EXPECT_FALSE(fs::exists(fs::path(path).concat(".damaged")));
  }
  // A folder where the file should be: reported, nothing thrown.
  fs::create_directories(folder / "a-folder");
  const auto cache = PageCache::open(folder / "a-folder");
  EXPECT_FALSE(cache->usable());
  EXPECT_NE(cache->problem().find("cannot use the page cache"), std::string::npos) << cache->problem();
}

TEST(PageCacheFile, SetsADamagedFileAsideAndStartsAnew) {
  const Folder folder;
  const fs::path path = folder / "pages.sqlite";
  {
    const auto cache = PageCache::open(path);
    for (int i = 0; i < 50; ++i) cache->apply(kept("p" + std::to_string(i), page(std::string(20'000, 'y')), now), now);
  }
  ASSERT_FALSE(fs::exists(fs::path(path).concat("-wal")));  // closed: all in the file
  fs::resize_file(path, fs::file_size(path) / 2);

  const auto cache = PageCache::open(path);
  EXPECT_NE(cache->problem().find("damaged"), std::string::npos) << cache->problem();
  EXPECT_NE(cache->problem().find("set aside"), std::string::npos) << cache->problem();
  EXPECT_TRUE(fs::exists(fs::path(path).concat(".damaged")));
  ASSERT_TRUE(cache->usable());
  EXPECT_FALSE(cache->lookup({"p1"})[0]);
  cache->apply(kept("p1", page("<html>again"), now), now);
  EXPECT_EQ(cache->lookup({"p1"})[0]->response.body, "<html>again");
}

TEST(PageCacheFile, TwoProcessesWritingAtOnceLoseAndBreakNothing) {
  const Folder folder;
  const fs::path path = folder / "pages.sqlite";
  constexpr int pages_each = 150;
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(go[1]);
      char start = 0;
      (void)::read(go[0], &start, 1);  // returns when the parent closes the pipe
      const auto cache = PageCache::open(path);
      for (int i = 0; i < pages_each; ++i) {
        const std::string key = "c" + std::to_string(child) + "-" + std::to_string(i);
        PageCache::Update update = kept(key, page(key + std::string(5'000, 'z')), now);
        update.fetched.push_back({"shared-" + std::to_string(i % 10), page("<html>" + key), now});
        cache->apply(update, now);
      }
      ::_exit(cache->usable() && cache->problem().empty() ? 0 : 1);
    }
    children.push_back(pid);
  }
  ::close(go[0]);
  ::close(go[1]);
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  const auto cache = PageCache::open(path);
  ASSERT_TRUE(cache->usable()) << cache->problem();
  EXPECT_EQ(cache->page_count(), 2u * pages_each + 10);
  for (int child = 0; child < 2; ++child) {
    for (int i = 0; i < pages_each; ++i) {
      const std::string key = "c" + std::to_string(child) + "-" + std::to_string(i);
      const auto found = cache->lookup({key})[0];
      ASSERT_TRUE(found) << key;
      EXPECT_EQ(found->response.body, key + std::string(5'000, 'z'));
    }
  }
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  std::string verdict;
  sqlite3_exec(
      db, "PRAGMA integrity_check",
      [](void* out, int, char** values, char**) {
        *static_cast<std::string*>(out) += values[0];
        return 0;
      },
      &verdict, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(verdict, "ok");
}

}  // namespace
