// The running browser behind an entered AsyncStealthySession: the Chromium
// process and its profile, the DevTools connection, the tab permits, and the
// address checks of the pages its tabs load.
#pragma once

#include <korvane/browser/session.hpp>

#include "async/semaphore.hpp"
#include "host/browser/connection.hpp"
#include "host/browser/temp_directory.hpp"
#include "host/browser/process.hpp"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/json/object.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane::browser {

namespace detail {

class Tab;

// What a session was made with.
struct SessionConfig {
  int max_pages;
  std::chrono::milliseconds timeout;
  SessionOptions options;
};

}  // namespace detail

class AsyncStealthySession::Impl : public std::enable_shared_from_this<Impl> {
 public:
  Impl(boost::asio::any_io_executor executor, detail::SessionConfig config);
  ~Impl() { terminate(); }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Launches Chromium in a fresh profile and waits for its first answer.
  // Throws BrowserUnavailableError when it cannot be started.
  boost::asio::awaitable<void> start();
  // One page in a tab of its own (at most max_pages at once, a tab let go
  // by an earlier page first); no page when the link is not http or https or
  // the page was refused. `ready` as for Session::fetch_when_ready() (empty:
  // wait until the page has settled).
  boost::asio::awaitable<std::unique_ptr<Page>> fetch(std::string url, ReadyWhen ready);
  // A tab whose page was let go: kept for the next page when it can load
  // one, else closed.
  void give_back(std::shared_ptr<detail::Tab> tab) noexcept;
  // Starts opening a blank tab for a later page, for a tab in use that will
  // most likely be closed when its page is let go: the next page then need
  // not wait for a tab to open. Does nothing when max_pages tabs already
  // wait for pages (idle or spare), or as many as the fetches still to come
  // (see expect_fetches()).
  void open_spare();
  // The caller's word that `count` more fetches will follow (see
  // Session::expect_fetches()).
  void expect_fetches(std::size_t count) noexcept { fetches_to_come_ = count; }
  boost::asio::awaitable<void> stop();
  // Closes the connection, kills the process group, removes the profile.
  // Idempotent.
  void terminate() noexcept;

  // True when a page may be loaded from `host` (resolved here; a host that
  // does not resolve here is left to the check of the response's address).
  boost::asio::awaitable<bool> host_allowed(std::string host);

  [[nodiscard]] const detail::SessionConfig& config() const noexcept { return config_; }
  [[nodiscard]] const std::shared_ptr<detail::Connection>& connection() const noexcept { return conn_; }
  [[nodiscard]] const boost::asio::any_io_executor& executor() const noexcept { return executor_; }
  // The user agent the tabs present (without "HeadlessChrome"), and its metadata.
  [[nodiscard]] const std::string& user_agent() const noexcept { return user_agent_; }
  [[nodiscard]] const boost::json::object& user_agent_metadata() const noexcept { return user_agent_metadata_; }
  [[nodiscard]] std::optional<int> pid() const noexcept {
    if (process_ && !process_->reaped()) return process_->pid();
    return std::nullopt;
  }
  [[nodiscard]] std::string profile() const { return dir_ ? dir_->path().string() : std::string(); }
  [[nodiscard]] std::chrono::milliseconds start_up_time() const noexcept { return start_up_time_; }

 private:
  boost::asio::awaitable<void> watch_exit();
  // An idle tab that can load `url`, or null; unusable ones are closed.
  std::shared_ptr<detail::Tab> idle_tab(std::string_view url);
  // A spare tab, once it has opened, or null when none is left that did.
  boost::asio::awaitable<std::shared_ptr<detail::Tab>> spare_tab(detail::Clock::time_point deadline);

  boost::asio::any_io_executor executor_;
  detail::SessionConfig config_;
  async::Semaphore tab_slots_;  // one permit per tab in use
  std::vector<std::shared_ptr<detail::Tab>> idle_tabs_;  // open, waiting for a page
  std::vector<std::shared_ptr<detail::Tab>> spares_;     // opened ahead of time, oldest first
  std::string executable_;
  std::optional<detail::TempDirectory> dir_;
  std::optional<detail::ChromiumProcess> process_;
  std::shared_ptr<detail::Connection> conn_;
  std::optional<boost::asio::posix::stream_descriptor> exit_watch_;
  std::string user_agent_;
  boost::json::object user_agent_metadata_;
  std::unordered_map<std::string, bool> host_verdicts_;
  // Fetches announced by expect_fetches() that have no tab yet; unknown
  // without the hint.
  std::optional<std::size_t> fetches_to_come_;
  std::chrono::milliseconds start_up_time_{0};
  bool terminated_ = false;
};

}  // namespace korvane::browser
