// AsyncStealthySession: Chromium driven over the DevTools pipe. The running
// browser is AsyncStealthySession::Impl ("host/browser/browser.hpp"), its tabs
// are detail::Tab ("host/browser/tab.hpp").
#include <korvane/browser/session.hpp>

#include "host/browser/browser.hpp"

#include <boost/asio/this_coro.hpp>

#include <exception>
#include <utility>

namespace korvane::browser {

namespace asio = boost::asio;
using std::chrono::milliseconds;

SessionFactory stealth_session_factory(SessionOptions options) {
  return [options = std::move(options)](int max_pages, int timeout_ms) -> std::unique_ptr<Session> {
    return std::make_unique<AsyncStealthySession>(max_pages, timeout_ms, options);
  };
}

AsyncStealthySession::AsyncStealthySession(int max_pages, int timeout_ms, SessionOptions options)
    : max_pages_(max_pages), timeout_ms_(timeout_ms), options_(std::move(options)) {
  if (max_pages < 1) throw ValueError("max_pages must be at least 1");
  if (timeout_ms < 1) throw ValueError("timeout_ms must be at least 1");
}

AsyncStealthySession::~AsyncStealthySession() {
  if (impl_) impl_->terminate();
}

asio::awaitable<void> AsyncStealthySession::enter() {
  if (impl_) throw BrowserError("the browser session is already entered");
  // No temporaries beside co_await in one expression: GCC 12 mishandles them.
  const asio::any_io_executor executor = co_await asio::this_coro::executor;
  auto impl = std::make_shared<Impl>(executor, detail::SessionConfig{max_pages_, milliseconds(timeout_ms_), options_});
  std::exception_ptr failure;
  try {
    co_await impl->start();
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    impl->terminate();
    std::rethrow_exception(failure);
  }
  start_up_time_ = impl->start_up_time();
  impl_ = std::move(impl);
}

asio::awaitable<std::unique_ptr<Page>> AsyncStealthySession::fetch(std::string url) {
  const auto impl = impl_;
  if (!impl) throw BrowserError("the browser session is not entered");
  ReadyWhen settled;  // (no temporaries beside co_await: GCC 12 destroys some of them twice)
  co_return co_await impl->fetch(std::move(url), std::move(settled));
}

asio::awaitable<std::unique_ptr<Page>> AsyncStealthySession::fetch_when_ready(std::string url, ReadyWhen ready) {
  const auto impl = impl_;
  if (!impl) throw BrowserError("the browser session is not entered");
  co_return co_await impl->fetch(std::move(url), std::move(ready));
}

void AsyncStealthySession::expect_fetches(std::size_t count) {
  if (impl_) impl_->expect_fetches(count);
}

asio::awaitable<void> AsyncStealthySession::exit() {
  const auto impl = std::move(impl_);
  impl_.reset();
  if (!impl) co_return;
  try {
    co_await impl->stop();
  } catch (...) {  // NOLINT(bugprone-empty-catch): cancelled; terminate() still cleans up
  }
  impl->terminate();
}

std::optional<int> AsyncStealthySession::browser_pid() const noexcept {
  return impl_ ? impl_->pid() : std::nullopt;
}

std::string AsyncStealthySession::profile_directory() const { return impl_ ? impl_->profile() : std::string(); }

std::chrono::milliseconds AsyncStealthySession::start_up_time() const noexcept { return start_up_time_; }

}  // namespace korvane::browser
