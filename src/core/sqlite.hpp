// Owning handles for SQLite connections and statements, and a statement
// wrapper whose failures are exceptions carrying SQLite's result code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace korvane::core::detail {

// A failed SQLite call: its primary result code (SQLITE_CORRUPT,
// SQLITE_NOTADB, SQLITE_BUSY, ...) and SQLite's message.
class SqliteError : public std::runtime_error {
 public:
  SqliteError(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  [[nodiscard]] int code() const noexcept { return code_ & 0xFF; }

  // The file is not a database or is damaged.
  [[nodiscard]] bool damaged() const noexcept { return code() == SQLITE_CORRUPT || code() == SQLITE_NOTADB; }

 private:
  int code_;
};

struct SqliteClose {
  void operator()(sqlite3* db) const noexcept { sqlite3_close_v2(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteClose>;

struct SqliteFinalize {
  void operator()(sqlite3_stmt* statement) const noexcept { sqlite3_finalize(statement); }
};

// Throws SqliteError for a result code other than those that mean success.
inline void check_sqlite(sqlite3* db, int code) {
  if (code == SQLITE_OK || code == SQLITE_ROW || code == SQLITE_DONE) return;
  throw SqliteError(code, db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code));
}

// Runs statements that return no rows.
inline void execute(sqlite3* db, const char* sql) {
  check_sqlite(db, sqlite3_exec(db, sql, nullptr, nullptr, nullptr));
}

// A prepared statement, reset and unbound before each use.
class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql) : db_(db) {
    sqlite3_stmt* made = nullptr;
    check_sqlite(db, sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                        &made, nullptr));
    statement_.reset(made);
  }

  // Starts a new use.
  Statement& reset() {
    sqlite3_reset(statement_.get());
    sqlite3_clear_bindings(statement_.get());
    return *this;
  }

  // Binds parameter `index` (from 1); texts and blobs are not copied: they
  // must live until the statement is stepped.
  Statement& bind(int index, std::string_view text) {
    check(sqlite3_bind_text(statement_.get(), index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC));
    return *this;
  }
  Statement& bind_blob(int index, std::string_view bytes) {
    check(sqlite3_bind_blob64(statement_.get(), index, bytes.data(), bytes.size(), SQLITE_STATIC));
    return *this;
  }
  Statement& bind(int index, double value) {
    check(sqlite3_bind_double(statement_.get(), index, value));
    return *this;
  }
  Statement& bind(int index, std::int64_t value) {
    check(sqlite3_bind_int64(statement_.get(), index, value));
    return *this;
  }

  // Steps once: true while a row is there.
  bool step() {
    const int code = sqlite3_step(statement_.get());
    check(code);
    return code == SQLITE_ROW;
  }

  // Steps to the end.
  void run() {
    while (step()) {
    }
  }

  [[nodiscard]] std::string text(int column) const {
    const auto* data = sqlite3_column_blob(statement_.get(), column);
    const int size = sqlite3_column_bytes(statement_.get(), column);
    if (data == nullptr) return {};
    return std::string(static_cast<const char*>(data), static_cast<std::size_t>(size));
  }
  [[nodiscard]] double real(int column) const { return sqlite3_column_double(statement_.get(), column); }
  [[nodiscard]] std::int64_t integer(int column) const { return sqlite3_column_int64(statement_.get(), column); }

 private:
  void check(int code) const { check_sqlite(db_, code); }

  sqlite3* db_;
  std::unique_ptr<sqlite3_stmt, SqliteFinalize> statement_;
};

// A transaction, rolled back unless committed. A writing one starts with
// BEGIN IMMEDIATE: it takes the write lock at once (waiting for another
// process's writer), so two writers never deadlock.
class Transaction {
 public:
  Transaction(sqlite3* db, bool write) : db_(db) { execute(db, write ? "BEGIN IMMEDIATE" : "BEGIN"); }
  ~Transaction() {
    if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  void commit() {
    execute(db_, "COMMIT");
    done_ = true;
  }

 private:
  sqlite3* db_;
  bool done_ = false;
};

}  // namespace korvane::core::detail
