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
#include <boost/json/array.hpp>
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
// its events. Holds one of the browser's tab permits while a page of it is
// in use; between pages it waits, blank, for the next one.
class Tab final : public EventSink, public std::enable_shared_from_this<Tab> {
 public:
  // What became of one navigation, keyed by its loader id.
  struct Navigation {
    std::optional<int> status;
    std::string remote_ip;
    std::optional<Clock::time_point> dom_content_loaded;
    std::optional<Clock::time_point> loaded;
  };

  // A tab for a page that holds `permit`, or, without one, a spare opened
  // ahead of time for a later page.
  Tab(std::shared_ptr<AsyncStealthySession::Impl> owner, std::optional<async::Semaphore::Permit> permit);
  ~Tab() override { close(); }
  Tab(const Tab&) = delete;
  Tab& operator=(const Tab&) = delete;

  // Opens the tab, attaches to it and sets up the stealth measures and the
  // request interception before its first request.
  boost::asio::awaitable<void> open(Clock::time_point deadline);
  // open() for a spare tab, which a later page waits for with opened(); a
  // tab that fails to open is closed.
  boost::asio::awaitable<void> open_ahead(Clock::time_point deadline);
  // Waits until open_ahead() has ended, or `deadline`: true when the tab
  // opened and can load a page.
  boost::asio::awaitable<bool> opened(Clock::time_point deadline);
  // A page that loaded, with its HTTP status when it has one.
  struct Loaded {
    std::optional<int> status;
  };

  // Navigates and waits until the page has settled, or is ready as `ready`
  // tells (see AsyncStealthySession). Absent when the page was refused.
  boost::asio::awaitable<std::optional<Loaded>> load(const std::string& url, const ReadyWhen& ready,
                                                     Clock::time_point deadline);
  // The elements matching `selector`, evaluated in an isolated world.
  boost::asio::awaitable<std::vector<std::unique_ptr<Element>>> query(std::string selector);

  void on_event(std::string_view method, const boost::json::object& params) override;
  void on_connection_closed() override { wake_.cancel(); }

  // True while the tab can load another page: open, attached, not crashed,
  // and its clock never ran ahead of the wall clock (see settle()).
  [[nodiscard]] bool reusable() const noexcept;
  // True when loading `url` here would only move within the current
  // document (same address up to the fragment), which starts no load.
  [[nodiscard]] bool within_document(std::string_view url) const noexcept;
  // Takes a tab permit for the next page.
  void hold(async::Semaphore::Permit permit) { permit_.emplace(std::move(permit)); }
  // The page is let go: the tab gives its permit back and blanks the page,
  // so that its scripts stop, until it is given the next one.
  void park() noexcept;
  // Hands the tab back to its browser, for reuse or to be closed.
  void release() noexcept;

  // Closes the browser tab and gives its permit back. Idempotent.
  void close() noexcept;

 private:
  // The elements a fetch_when_ready() waits for, as the last looks saw them.
  struct ReadyWatch {
    bool active = false;     // watching: selectors were given and the page accepts them
    std::string signature;   // at the last look; empty while none is there
    Clock::time_point changed_at{};
    Clock::time_point first_seen{};
    // The page's clock runs ahead for the quiet period (see settle()); false
    // when the browser refused it, and the quiet period is on the wall clock.
    bool page_time = true;
    // The page's clock has been let run ahead: it may stand still now, so no
    // look waits on a timer of the page.
    bool page_clock = false;
    Clock::time_point retry_at{};  // no look before (after one that failed)
  };

  // The elements the last quiet look saw, taken with its signature once the
  // page was ready: they answer the caller's first queries of the ready
  // selectors without another look at the page. Forgotten as soon as the
  // page may have changed (a request, a lifecycle event, another load).
  struct ReadyLinks {
    std::vector<std::string> selectors;  // the ReadyWhen's
    std::size_t matched = 0;             // the first that matched anything
    boost::json::array elements;         // of selectors[matched], as query() reads them
  };

  // Forgets the previous page's navigation state.
  void begin_load();
  // Waits until the navigation of `loader` has settled or is ready; false
  // when the page was refused meanwhile.
  boost::asio::awaitable<bool> settle(const std::string& loader, const std::string& url, const ReadyWhen& ready,
                                      Clock::time_point deadline);
  // Looks at the ready signature: at once when `wait_until` has passed, else
  // waits in the page (at most until `wait_until`, and 100 ms) for it to
  // change. Turns the watch off when the page refuses the selectors.
  boost::asio::awaitable<void> look(const ReadyWhen& ready, ReadyWatch& watch, Clock::time_point wait_until,
                                    Clock::time_point deadline);
  // One quiet period on the page's clock, watched by one look: lets the
  // clock run ahead by the ready quiet period and takes the signature at its
  // end, or as soon as it changes. True when the elements stayed the same
  // through it with no request in flight. Bounded by the settle limit (see
  // ready_now()); turns page_time off when the browser refuses the clock.
  boost::asio::awaitable<bool> quiet_look(const ReadyWhen& ready, ReadyWatch& watch, Clock::time_point deadline);
  // Ready by the wall-clock rule: the elements are there and have not
  // changed for the ready quiet period with no request in flight, or have
  // been there for the settle limit.
  [[nodiscard]] bool ready_now(const ReadyWatch& watch, Clock::time_point now) const;
  // When ready_now() can next become true with nothing changing.
  [[nodiscard]] Clock::time_point ready_at(const ReadyWatch& watch) const;
  // The isolated world of the current document, made when there is none.
  boost::asio::awaitable<int> world(Clock::time_point deadline);
  boost::asio::awaitable<void> check_document(std::string request_id, std::string url, bool main_frame);
  void touch_network() {
    last_activity_ = Clock::now();
    ready_links_.reset();
    wake_.cancel();
  }

  std::shared_ptr<AsyncStealthySession::Impl> owner_;
  std::optional<async::Semaphore::Permit> permit_;
  boost::asio::steady_timer wake_;
  std::string target_id_;
  std::string session_id_;
  std::string url_;  // the address last loaded
  std::unordered_set<std::string> in_flight_;
  Clock::time_point last_activity_ = Clock::now();
  std::unordered_map<std::string, Navigation> navigations_;
  std::optional<int> context_id_;
  std::optional<ReadyLinks> ready_links_;
  bool blocking_by_name_ = false;  // Network.setBlockedURLs holds BLOCKED_FILE_ENDINGS
  bool opening_ = false;           // open_ahead() runs
  bool spare_asked_ = false;       // a spare tab was asked for to replace this one
  bool clock_ran_ahead_ = false;   // the page's clock was let run ahead: the tab is not reused
  bool refused_ = false;
  bool crashed_ = false;
  bool detached_ = false;
  bool closed_ = false;
};

// A loaded page: its tab is the page's until the page is destroyed, and
// then goes back to the browser.
class ChromiumPage final : public Page {
 public:
  ChromiumPage(std::shared_ptr<Tab> tab, std::optional<int> status) : tab_(std::move(tab)), status_(status) {}
  ~ChromiumPage() override { tab_->release(); }
  ChromiumPage(const ChromiumPage&) = delete;
  ChromiumPage& operator=(const ChromiumPage&) = delete;

  [[nodiscard]] std::optional<int> status() const override { return status_; }
  [[nodiscard]] boost::asio::awaitable<std::vector<std::unique_ptr<Element>>> css(std::string selector) override;

 private:
  std::shared_ptr<Tab> tab_;
  std::optional<int> status_;
};

}  // namespace korvane::browser::detail
