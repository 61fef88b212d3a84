// The page cache's SQLite file: one table of responses, written in short
// IMMEDIATE transactions (so that two processes never deadlock upgrading a
// read to a write), read in WAL mode while another process writes.
#include <korvane/core/cache.hpp>

#include "core/freshness.hpp"
#include "core/log.hpp"
#include "core/sqlite.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

namespace korvane::core {
namespace {

namespace fs = std::filesystem;
using detail::SqliteError;
using detail::Statement;

// Marks a database as a page cache of ours (SQLite's application_id), and
// the layout of its table (user_version).
constexpr std::int64_t APPLICATION_ID = 0x4B56504C;  // "KVPL"
constexpr std::int64_t SCHEMA_VERSION = 1;
// How long a writer waits for another process's transaction to end.
constexpr int BUSY_TIMEOUT_MS = 10'000;
// Eviction goes below the cap by this share, so that not every write of a
// full cache evicts.
constexpr double EVICTION_SLACK = 0.1;

constexpr const char* SCHEMA = R"(
CREATE TABLE pages (
  key TEXT NOT NULL UNIQUE,
  used_at REAL NOT NULL,
  size INTEGER NOT NULL,
  stored_at REAL NOT NULL,
  fresh_until REAL NOT NULL,
  status INTEGER NOT NULL,
  url TEXT NOT NULL,
  content_type TEXT NOT NULL,
  cache_control TEXT NOT NULL,
  expires TEXT NOT NULL,
  date TEXT NOT NULL,
  age TEXT NOT NULL,
  etag TEXT NOT NULL,
  last_modified TEXT NOT NULL,
  vary TEXT NOT NULL,
  pragma TEXT NOT NULL,
  body BLOB NOT NULL);
CREATE INDEX pages_by_use ON pages (used_at, size);
)";

constexpr const char* COLUMNS =
    "status, url, content_type, cache_control, expires, date, age, etag, last_modified, vary, pragma, body, "
    "stored_at, fresh_until, used_at";

// What the first 100 bytes of a file say about it.
enum class FileKind { missing_or_empty, ours, other_sqlite, not_sqlite, truncated };

std::uint32_t big_endian(const std::array<unsigned char, 100>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24U) | (std::uint32_t{b[at + 1]} << 16U) | (std::uint32_t{b[at + 2]} << 8U) |
         std::uint32_t{b[at + 3]};
}

FileKind inspect(const fs::path& path) {
  std::error_code ec;
  const auto size = fs::file_size(path, ec);
  if (ec || size == 0) return FileKind::missing_or_empty;
  std::array<unsigned char, 100> header{};
  std::ifstream in(path, std::ios::binary);
  if (!in.read(reinterpret_cast<char*>(header.data()), header.size())) return FileKind::not_sqlite;
  if (std::string_view(reinterpret_cast<const char*>(header.data()), 16) != std::string_view("SQLite format 3\0", 16)) {
    return FileKind::not_sqlite;
  }
  if (big_endian(header, 68) != APPLICATION_ID) return FileKind::other_sqlite;
  // With no process holding it open (no write-ahead log beside it), the
  // file must hold every page its header counts (when that count is valid:
  // the change counter equals the version-valid-for number).
  if (!fs::exists(fs::path(path).concat("-wal"), ec) && big_endian(header, 24) == big_endian(header, 92)) {
    const std::uint32_t page_size = (std::uint32_t{header[16]} << 8U) | header[17];
    const std::uint64_t bytes = std::uint64_t{page_size == 1 ? 65536U : page_size} * big_endian(header, 28);
    if (size < bytes) return FileKind::truncated;
  }
  return FileKind::ours;
}

// The caching headers and response of the current row of a statement that
// selected COLUMNS, from column `first` on.
CachedResponse cached_from(const Statement& row, int first) {
  CachedResponse cached;
  RawResponse& r = cached.response;
  r.status = static_cast<long>(row.integer(first));
  r.url = row.text(first + 1);
  r.content_type = row.text(first + 2);
  CacheHeaders& h = r.cache_headers;
  h.cache_control = row.text(first + 3);
  h.expires = row.text(first + 4);
  h.date = row.text(first + 5);
  h.age = row.text(first + 6);
  h.etag = row.text(first + 7);
  h.last_modified = row.text(first + 8);
  h.vary = row.text(first + 9);
  h.pragma = row.text(first + 10);
  r.body = row.text(first + 11);
  cached.stored_at = row.real(first + 12);
  cached.fresh_until = row.real(first + 13);
  cached.used_at = row.real(first + 14);
  return cached;
}

// The bytes a page counts for against the cap.
std::int64_t size_of(const std::string& key, const RawResponse& r) {
  return static_cast<std::int64_t>(key.size() + r.url.size() + r.content_type.size() + r.body.size());
}

// Whether an answer that may not be kept says the kept page is gone, rather
// than that the server is in trouble for now.
bool drops_kept_page(long status) noexcept { return status < 500 && status != 429; }

// Switches the connection to write-ahead logging. Two processes opening a
// new file at once can meet in that switch, and SQLite then answers "database
// is locked" at once instead of waiting in its busy handler: the switch is
// tried again, for as long as a writer would wait.
void use_write_ahead_log(sqlite3* db) {
  constexpr auto RETRY_EVERY = std::chrono::milliseconds(10);
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
  for (;;) {
    const int code = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    if ((code & 0xFF) != SQLITE_BUSY || std::chrono::steady_clock::now() >= give_up) {
      detail::check_sqlite(db, code);
      return;
    }
    std::this_thread::sleep_for(RETRY_EVERY);
  }
}

}  // namespace

// The open connection and its statements; the mutex guards all of it.
struct PageCache::State {
  mutable std::mutex mutex;
  detail::SqliteHandle db;
  std::optional<Statement> select;
  std::optional<Statement> upsert;
  std::optional<Statement> confirm;
  std::optional<Statement> touch;
  std::optional<Statement> drop;
  std::optional<Statement> total;
  std::optional<Statement> oldest;
  std::string problem;
  bool usable = false;

  void open(const fs::path& path);
  // Opens the file; SQLite's failure becomes `problem`, unless the file is
  // damaged: then true, with SQLite's message in `reason`.
  bool try_open(const fs::path& path, std::string& reason);
  void prepare();
  void keep(const Entry& entry, double now, double max_age);
  void refresh(const Entry& entry, double now, double max_age);
  void evict(std::uint64_t max_bytes);
  void bind_headers(Statement& statement, int first, const CacheHeaders& h);
  void close() noexcept {
    select.reset(), upsert.reset(), confirm.reset(), touch.reset(), drop.reset(), total.reset(), oldest.reset();
    db.reset();
    usable = false;
  }
};

void PageCache::State::open(const fs::path& path) {
  sqlite3* raw = nullptr;
  const int code = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
  db.reset(raw);
  detail::check_sqlite(raw, code);
  sqlite3_busy_timeout(raw, BUSY_TIMEOUT_MS);
  sqlite3_extended_result_codes(raw, 1);
  use_write_ahead_log(raw);
  detail::execute(raw, "PRAGMA synchronous=NORMAL");
  detail::execute(raw, "BEGIN IMMEDIATE");
  try {
    Statement id(raw, "PRAGMA application_id");
    id.step();
    Statement version(raw, "PRAGMA user_version");
    version.step();
    Statement tables(raw, "SELECT count(*) FROM sqlite_schema");
    tables.step();
    if (id.integer(0) == 0 && tables.integer(0) == 0) {
      detail::execute(raw, SCHEMA);
      detail::execute(raw, ("PRAGMA application_id=" + std::to_string(APPLICATION_ID) +
                            "; PRAGMA user_version=" + std::to_string(SCHEMA_VERSION))
                               .c_str());
    } else if (id.integer(0) != APPLICATION_ID) {
      problem = path.string() + " is another program's database, not a page cache; not used";
    } else if (version.integer(0) != SCHEMA_VERSION) {
      problem = path.string() + " is a page cache of another version; not used";
    }
    detail::execute(raw, "COMMIT");
  } catch (...) {
    sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  if (!problem.empty()) {
    db.reset();
    return;
  }
  prepare();
  usable = true;
}

void PageCache::State::prepare() {
  sqlite3* const raw = db.get();
  select.emplace(raw, std::string("SELECT ") + COLUMNS + " FROM pages WHERE key = ?1");
  upsert.emplace(raw,
                 "INSERT INTO pages (key, used_at, size, stored_at, fresh_until, status, url, content_type, "
                 "cache_control, expires, date, age, etag, last_modified, vary, pragma, body) VALUES "
                 "(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16, ?17) ON CONFLICT (key) DO "
                 "UPDATE SET used_at = ?2, size = ?3, stored_at = ?4, fresh_until = ?5, status = ?6, url = ?7, "
                 "content_type = ?8, cache_control = ?9, expires = ?10, date = ?11, age = ?12, etag = ?13, "
                 "last_modified = ?14, vary = ?15, pragma = ?16, body = ?17");
  confirm.emplace(raw,
                  "UPDATE pages SET used_at = ?2, stored_at = ?3, fresh_until = ?4, cache_control = ?5, "
                  "expires = ?6, date = ?7, age = ?8, etag = ?9, last_modified = ?10, vary = ?11, pragma = ?12 "
                  "WHERE key = ?1");
  touch.emplace(raw, "UPDATE pages SET used_at = ?2 WHERE key = ?1");
  drop.emplace(raw, "DELETE FROM pages WHERE key = ?1");
  total.emplace(raw, "SELECT total(size), count(*) FROM pages");
  oldest.emplace(raw, "SELECT key, size FROM pages ORDER BY used_at LIMIT 256");
}

void PageCache::State::bind_headers(Statement& statement, int first, const CacheHeaders& h) {
  statement.bind(first, h.cache_control).bind(first + 1, h.expires).bind(first + 2, h.date).bind(first + 3, h.age);
  statement.bind(first + 4, h.etag).bind(first + 5, h.last_modified).bind(first + 6, h.vary).bind(first + 7, h.pragma);
}

void PageCache::State::keep(const Entry& entry, double now, double max_age) {
  const RawResponse& r = entry.response;
  const detail::Freshness freshness = detail::freshness_of(r, max_age);
  if (!freshness.storable) {
    if (drops_kept_page(r.status)) drop->reset().bind(1, entry.key).run();
    return;
  }
  const double stored_at = entry.received_at - freshness.age;
  upsert->reset().bind(1, entry.key).bind(2, now).bind(3, size_of(entry.key, r)).bind(4, stored_at);
  upsert->bind(5, stored_at + freshness.lifetime).bind(6, std::int64_t{r.status}).bind(7, r.url);
  upsert->bind(8, r.content_type);
  bind_headers(*upsert, 9, r.cache_headers);
  upsert->bind_blob(17, r.body).run();
}

void PageCache::State::refresh(const Entry& entry, double now, double max_age) {
  if (!select->reset().bind(1, entry.key).step()) return;  // evicted meanwhile
  CachedResponse kept = cached_from(*select, 0);
  select->reset();
  CacheHeaders& headers = kept.response.cache_headers;
  headers = detail::merge_headers(std::move(headers), entry.response.cache_headers);
  const detail::Freshness freshness = detail::freshness_of(kept.response, max_age);
  if (!freshness.storable) {
    drop->reset().bind(1, entry.key).run();
    return;
  }
  const double stored_at = entry.received_at - freshness.age;
  confirm->reset().bind(1, entry.key).bind(2, now).bind(3, stored_at).bind(4, stored_at + freshness.lifetime);
  bind_headers(*confirm, 5, kept.response.cache_headers);
  confirm->run();
}

void PageCache::State::evict(std::uint64_t max_bytes) {
  total->reset().step();
  double size = total->real(0);
  total->reset();
  if (size <= static_cast<double>(max_bytes)) return;
  const double goal = static_cast<double>(max_bytes) * (1 - EVICTION_SLACK);
  while (size > goal) {
    std::vector<std::pair<std::string, double>> batch;
    oldest->reset();
    while (oldest->step()) batch.emplace_back(oldest->text(0), static_cast<double>(oldest->integer(1)));
    oldest->reset();
    if (batch.empty()) return;
    for (const auto& [key, bytes] : batch) {
      if (size <= goal) return;
      drop->reset().bind(1, key).run();
      size -= bytes;
    }
  }
}

PageCache::PageCache(fs::path path, CacheOptions options)
    : path_(std::move(path)), options_(options), state_(std::make_unique<State>()) {}

PageCache::~PageCache() = default;

// Renames a damaged cache file and its write-ahead files out of the way (a
// new file must not meet the old log); returns whether it could.
bool set_aside(const fs::path& path) {
  std::error_code ec;
  fs::rename(path, fs::path(path).concat(".damaged"), ec);
  for (const char* suffix : {"-wal", "-shm"}) {
    std::error_code ignored;
    if (fs::exists(fs::path(path).concat(suffix), ignored)) {
      fs::rename(fs::path(path).concat(suffix), fs::path(path).concat(".damaged").concat(suffix), ignored);
    }
  }
  return !ec;
}

// What setting a damaged file aside did, for problem().
std::string set_aside_notice(const fs::path& path, const std::string& reason, bool done) {
  const std::string damaged = "the page cache " + path.string() + " was damaged (" + reason + ")";
  return done ? damaged + "; set aside as " + path.string() + ".damaged" : damaged + " and cannot be set aside";
}

bool PageCache::State::try_open(const fs::path& path, std::string& reason) {
  try {
    open(path);
    return false;
  } catch (const SqliteError& e) {
    close();
    reason = e.what();
    if (!e.damaged()) problem = "cannot use the page cache " + path.string() + ": " + reason;
    return e.damaged();
  }
}

std::shared_ptr<PageCache> PageCache::open(const fs::path& path, CacheOptions options) {
  std::shared_ptr<PageCache> cache(new PageCache(path, options));
  State& state = *cache->state_;
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const FileKind kind = inspect(path);
  if (kind == FileKind::not_sqlite || kind == FileKind::other_sqlite) {
    state.problem = path.string() +
                    (kind == FileKind::not_sqlite ? " is not an SQLite file" : " is another program's database") +
                    ", not a page cache; not used";
  } else {
    std::string reason = "shorter than its header says";
    const bool damaged = kind == FileKind::truncated || state.try_open(path, reason);
    if (damaged) {
      // A new cache where the damaged one was; the notice stays.
      const bool moved = set_aside(path);
      std::string notice = set_aside_notice(path, reason, moved);
      if (moved && !state.try_open(path, reason) && state.usable) notice += "; a new one was started";
      state.problem = state.problem.empty() ? notice : notice + "; " + state.problem;
    }
  }
  if (!state.problem.empty()) detail::fetcher_logger()->warn("{}", state.problem);
  return cache;
}

template <class Result, class Work>
Result PageCache::guarded(Result fallback, Work&& work) {
  const std::lock_guard lock(state_->mutex);
  if (!state_->usable) return fallback;
  try {
    return work(*state_);
  } catch (const SqliteError& e) {
    if (e.damaged()) {
      state_->close();
      state_->problem = set_aside_notice(path_, e.what(), set_aside(path_));
      detail::fetcher_logger()->warn("{}", state_->problem);
    } else {
      detail::fetcher_logger()->warn("page cache {}: {}", path_.string(), e.what());
    }
    return fallback;
  }
}

std::vector<std::optional<CachedResponse>> PageCache::lookup(const std::vector<std::string>& keys) {
  std::vector<std::optional<CachedResponse>> none(keys.size());
  return guarded(none, [&](State& s) {
    std::vector<std::optional<CachedResponse>> found(keys.size());
    detail::Transaction read(s.db.get(), false);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (!s.select->reset().bind(1, keys[i]).step()) continue;
      found[i] = cached_from(*s.select, 0);
      // The maximum age in force now caps what the page said when kept.
      found[i]->fresh_until = std::min(found[i]->fresh_until, found[i]->stored_at + options_.max_age);
    }
    s.select->reset();
    read.commit();
    return found;
  });
}

void PageCache::apply(const Update& update, double now) {
  if (update.fetched.empty() && update.confirmed.empty() && update.used.empty()) return;
  (void)guarded(false, [&](State& s) {
    detail::Transaction write(s.db.get(), true);
    for (const Entry& e : update.fetched) s.keep(e, now, options_.max_age);
    for (const Entry& e : update.confirmed) s.refresh(e, now, options_.max_age);
    for (const std::string& key : update.used) s.touch->reset().bind(1, key).bind(2, now).run();
    if (!update.fetched.empty()) s.evict(options_.max_bytes);  // only new pages make it grow
    write.commit();
    return true;
  });
}

std::uint64_t PageCache::size_bytes() {
  return guarded(std::uint64_t{0}, [](State& s) {
    s.total->reset().step();
    return static_cast<std::uint64_t>(s.total->real(0));
  });
}

std::size_t PageCache::page_count() {
  return guarded(std::size_t{0}, [](State& s) {
    s.total->reset().step();
    return static_cast<std::size_t>(s.total->integer(1));
  });
}

std::string PageCache::problem() const {
  const std::lock_guard lock(state_->mutex);
  return state_->problem;
}

bool PageCache::usable() const {
  const std::lock_guard lock(state_->mutex);
  return state_->usable;
}

}  // namespace korvane::core
