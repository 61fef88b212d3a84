// One browser tab: its DevTools session, the events that tell how its page
// loads (requests in flight, lifecycle, the main document's status and
// address), the address checks of the documents it opens, and the element
// queries of the loaded page.
#pragma once

#include <korvane/browser/session.hpp>

#include "async/semaphore.hpp"
#include "host/browser/connection.hpp"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvane::browser::detail {

// One tab of the running browser and the state of its navigation, fed by
// its events. Holds one of the browser's tab permits until it is closed.
class Tab final : public EventSink, public std::enable_shared_from_this<Tab> {
 public:
  // What became of one navigation, keyed by its loader id.
  struct Navigation {
    std::optional<int> status;
    std::string remote_ip;
    std::optional<Clock::time_point> dom_content_loaded;
    std::optional<Clock::time_point> loaded;
  };

  Tab(std::shared_ptr<AsyncStealthySession::Impl> owner, async::Semaphore::Permit permit);
  ~Tab() override { close(); }
  Tab(const Tab&) = delete;
  Tab& operator=(const Tab&) = delete;

  // Opens the tab, attaches to it and sets up the stealth measures and the
  // request interception before its first request.
  boost::asio::awaitable<void> open(Clock::time_point deadline);
  // A page that loaded, with its HTTP status when it has one.
  struct Loaded {
    std::optional<int> status;
  };

  // Navigates and waits until the page has settled. Absent when the page
  // was refused.
  boost::asio::awaitable<std::optional<Loaded>> load(const std::string& url, Clock::time_point deadline);
  // The elements matching `selector`, evaluated in an isolated world.
  boost::asio::awaitable<std::vector<std::unique_ptr<Element>>> query(std::string selector);

  void on_event(std::string_view method, const boost::json::object& params) override;
  void on_connection_closed() override { wake_.cancel(); }

  // Closes the browser tab and gives its permit back. Idempotent.
  void close() noexcept;

 private:
  boost::asio::awaitable<void> check_document(std::string request_id, std::string url, bool main_frame);
  void touch_network() {
    last_activity_ = Clock::now();
    wake_.cancel();
  }

  std::shared_ptr<AsyncStealthySession::Impl> owner_;
  std::optional<async::Semaphore::Permit> permit_;
  boost::asio::steady_timer wake_;
  std::string target_id_;
  std::string session_id_;
  std::unordered_set<std::string> in_flight_;
  Clock::time_point last_activity_ = Clock::now();
  std::unordered_map<std::string, Navigation> navigations_;
  std::optional<int> context_id_;
  bool refused_ = false;
  bool crashed_ = false;
  bool detached_ = false;
  bool closed_ = false;
};

// A loaded page: its tab stays open until the page is destroyed.
class ChromiumPage final : public Page {
 public:
  ChromiumPage(std::shared_ptr<Tab> tab, std::optional<int> status) : tab_(std::move(tab)), status_(status) {}
  ~ChromiumPage() override { tab_->close(); }
  ChromiumPage(const ChromiumPage&) = delete;
  ChromiumPage& operator=(const ChromiumPage&) = delete;

  [[nodiscard]] std::optional<int> status() const override { return status_; }
  [[nodiscard]] boost::asio::awaitable<std::vector<std::unique_ptr<Element>>> css(std::string selector) override;

 private:
  std::shared_ptr<Tab> tab_;
  std::optional<int> status_;
};

}  // namespace korvane::browser::detail
