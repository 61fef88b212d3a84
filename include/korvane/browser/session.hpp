// The stealth headless-browser session: store search pages opened in a real
// Chromium, driven over the DevTools protocol through --remote-debugging-pipe.
//
// Session, Page and Element are the interfaces the store resolver uses;
// AsyncStealthySession implements them with Chromium, tests use fakes. All
// operations of one session run on the executor of the coroutine that entered
// it (one thread at a time); a session is not thread-safe.
#pragma once

#include <korvane/browser/options.hpp>
#include <korvane/errors.hpp>

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace korvane::browser {

// The browser's failures, korvane::BrowserError and BrowserUnavailableError
// (Session::enter() throws the latter when the browser cannot be used).
using korvane::BrowserError;
using korvane::BrowserUnavailableError;

// One element found by Page::css(), as it was when the selector ran.
class Element {
 public:
  virtual ~Element() = default;

  // The element's attributes by name ("href", "class", ...).
  [[nodiscard]] virtual const std::map<std::string, std::string>& attrib() const = 0;

  // The text of the element's text nodes, script and style contents left
  // out, blank pieces dropped and the others joined by "\n" so that words of
  // adjacent elements never run together. May throw.
  [[nodiscard]] virtual std::string get_all_text() const = 0;

  // The text directly inside the element (its own text nodes only).
  [[nodiscard]] virtual std::string text() const = 0;
};

// One loaded page. A page holds its browser tab until it is destroyed; it
// must not outlive its session's exit() (later calls throw BrowserError).
class Page {
 public:
  virtual ~Page() = default;

  // The HTTP status of the main document after redirects; absent when the
  // page has none (the caller then assumes 200).
  [[nodiscard]] virtual std::optional<int> status() const = 0;

  // The elements matching `selector` (comma-separated alternatives allowed),
  // in document order. Throws BrowserError for a selector the page refuses
  // or when the browser is gone.
  [[nodiscard]] virtual boost::asio::awaitable<std::vector<std::unique_ptr<Element>>> css(
      std::string selector) = 0;
};

// What a fetch may take as a sign that the page is ready before it has
// loaded: elements matching the first of `selectors` that matches anything
// (tried in order, as a caller that queries them in that order would).
struct ReadyWhen {
  std::vector<std::string> selectors;
};

// A browser session: entered once, used for any number of fetches, exited
// once. Parameters are taken by value because they outlive suspension.
class Session {
 public:
  virtual ~Session() = default;

  // Starts the browser. Throws BrowserUnavailableError when it cannot.
  [[nodiscard]] virtual boost::asio::awaitable<void> enter() = 0;

  // Opens `url` in a new tab and waits for it to load. Returns no page (a
  // null pointer) when the page is refused; throws BrowserError when the
  // navigation fails or times out.
  [[nodiscard]] virtual boost::asio::awaitable<std::unique_ptr<Page>> fetch(std::string url) = 0;

  // fetch(url), where the page may count as loaded as soon as `ready` says
  // so; a session that cannot tell waits as fetch(url) does (this default).
  [[nodiscard]] virtual boost::asio::awaitable<std::unique_ptr<Page>> fetch_when_ready(std::string url,
                                                                                       ReadyWhen ready) {
    (void)ready;
    return fetch(std::move(url));
  }

  // A hint from a caller that knows its work: exactly `count` more fetches
  // will follow in this session. A session that opens tabs ahead of time
  // then opens none that no fetch would take; without the hint it assumes
  // that more may always follow. Sessions that cannot use it ignore it
  // (this default).
  virtual void expect_fetches(std::size_t count) { (void)count; }

  // Stops the browser and releases everything the session holds. Never
  // throws; calling it twice, or without enter(), does nothing.
  [[nodiscard]] virtual boost::asio::awaitable<void> exit() = 0;
};

// A stealth Chromium session: headless, with a fresh temporary profile, a
// user agent without "HeadlessChrome", navigator.webdriver hidden and
// realistic languages and plugins. At most `max_pages` tabs at once, each
// reused for a later fetch once its page is let go (except a tab whose
// page's clock was let run ahead, see below, which is closed). `timeout_ms`
// bounds the navigation and load of each page; a page counts as loaded
// after its load event plus the quiet period with no request in flight
// (returned as it is when the timeout comes first), or, for
// fetch_when_ready(), from DOMContentLoaded on as soon as the elements it
// names are there and have not changed for the ready quiet period with no
// request in flight (or have been there for the settle limit). From the
// load event on, that quiet period is one of the page's own time: its clock
// runs ahead while the page only waits for its timers and stands still
// while a request of it is in flight, so that Date.now() in such a page may
// jump ahead by up to the ready quiet period at a time. With `options.disable_resources`,
// images, media, fonts and style sheets are refused at the network level.
// The browser's process group and profile directory are gone after exit(),
// after a crash of the browser and when the session is destroyed. The
// profile directory ($TMPDIR/korvane-chromium-*) names the process that
// made it: a process that was killed before it could remove its directory
// leaves it to the next session's enter(), which removes the directories of
// processes that no longer run. The
// browser is tied to the thread that entered the session: it is killed if
// that thread ends first.
class AsyncStealthySession final : public Session {
 public:
  // Throws korvane::ValueError when max_pages or timeout_ms is below 1.
  AsyncStealthySession(int max_pages, int timeout_ms, SessionOptions options = {});
  ~AsyncStealthySession() override;
  AsyncStealthySession(const AsyncStealthySession&) = delete;
  AsyncStealthySession& operator=(const AsyncStealthySession&) = delete;

  [[nodiscard]] boost::asio::awaitable<void> enter() override;
  [[nodiscard]] boost::asio::awaitable<std::unique_ptr<Page>> fetch(std::string url) override;
  [[nodiscard]] boost::asio::awaitable<std::unique_ptr<Page>> fetch_when_ready(std::string url,
                                                                               ReadyWhen ready) override;
  void expect_fetches(std::size_t count) override;
  [[nodiscard]] boost::asio::awaitable<void> exit() override;

  // The browser's process id while it runs, else absent (for tests and
  // diagnostics).
  [[nodiscard]] std::optional<int> browser_pid() const noexcept;

  // The profile directory while the session runs, else empty.
  [[nodiscard]] std::string profile_directory() const;

  // How long the last enter() took from launching the browser to its first
  // answer.
  [[nodiscard]] std::chrono::milliseconds start_up_time() const noexcept;

  class Impl;

 private:
  int max_pages_;
  int timeout_ms_;
  SessionOptions options_;
  std::shared_ptr<Impl> impl_;
  std::chrono::milliseconds start_up_time_{0};
};

}  // namespace korvane::browser
