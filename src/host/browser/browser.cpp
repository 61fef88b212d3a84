#include "host/browser/browser.hpp"

#include "host/browser/address.hpp"
#include "host/browser/devtools.hpp"
#include "host/browser/executable.hpp"
#include "host/browser/tab.hpp"
#include "text/unicode.hpp"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <exception>
#include <filesystem>
#include <utility>
#include <vector>

namespace korvane::browser {

namespace asio = boost::asio;
namespace json = boost::json;
using detail::Clock;
using std::chrono::milliseconds;
using Impl = AsyncStealthySession::Impl;

Impl::Impl(asio::any_io_executor executor, detail::SessionConfig config)
    : executor_(std::move(executor)),
      config_(std::move(config)),
      tab_slots_(executor_, static_cast<std::size_t>(config_.max_pages)) {
  // There are never more tabs than permits (a tab is opened only when none
  // is idle), so giving one back never needs memory.
  idle_tabs_.reserve(static_cast<std::size_t>(config_.max_pages));
}

asio::awaitable<void> Impl::start() {
  executable_ = detail::find_chromium(config_.options.chromium_path);
  // The folder names this process as its owner, so that a later start can
  // tell the folders of killed processes (which nothing else removes) from
  // those still in use, and remove them.
  constexpr std::string_view profile_prefix = "korvane-chromium-";
  (void)detail::remove_abandoned_directories(detail::temporary_base(), profile_prefix);
  dir_.emplace(profile_prefix);
  (void)detail::mark_as_owned(dir_->path());
  const auto profile = dir_->path() / "profile";
  std::error_code ec;
  std::filesystem::create_directory(profile, ec);
  if (ec) throw BrowserUnavailableError("cannot create the browser profile: " + ec.message());
  const auto log = dir_->path() / "chromium.log";

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw BrowserUnavailableError("cannot create the browser's control socket");
  }
  const auto started = Clock::now();
  try {
    // Chromium keeps crash reports and caches under the XDG folders and its
    // profile's lock socket in a folder under TMPDIR: all of them go into
    // the session's directory, so nothing outlives it even after a kill.
    const auto tmp = dir_->path() / "tmp";
    std::filesystem::create_directory(tmp, ec);
    if (ec) throw BrowserUnavailableError("cannot create the browser's temporary folder: " + ec.message());
    const std::vector<std::pair<std::string, std::string>> env = {
        {"XDG_CONFIG_HOME", (dir_->path() / "config").string()},
        {"XDG_CACHE_HOME", (dir_->path() / "cache").string()},
        {"TMPDIR", tmp.string()},
    };
    process_.emplace(executable_,
                     detail::chromium_arguments(config_.options.headless, profile, config_.options.extra_args), env,
                     fds[1], log, dir_->path().string());
  } catch (...) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  conn_ = std::make_shared<detail::Connection>(executor_, fds[0]);
  conn_->start();
  if (process_->exit_descriptor() >= 0) {
    const int watch_fd = ::fcntl(process_->exit_descriptor(), F_DUPFD_CLOEXEC, 0);
    if (watch_fd >= 0) exit_watch_.emplace(executor_, watch_fd);
  }
  asio::co_spawn(executor_, watch_exit(), asio::detached);

  json::object version;
  try {
    version = co_await conn_->call("Browser.getVersion", {}, "", started + config_.options.start_timeout);
  } catch (const BrowserError& e) {
    std::string message = "Chromium (" + executable_ + ") did not start: " + e.what();
    if (process_->try_reap()) message += " (" + process_->exit_description() + ")";
    const auto tail = detail::file_tail(log, 1500);
    if (!tail.empty()) message += "; its last output:\n" + tail;
    throw BrowserUnavailableError(message);
  }
  start_up_time_ = std::chrono::duration_cast<milliseconds>(Clock::now() - started);

  user_agent_ = std::string(detail::text_of(version, "userAgent"));
  for (auto pos = user_agent_.find("HeadlessChrome"); pos != std::string::npos;
       pos = user_agent_.find("HeadlessChrome", pos)) {
    user_agent_.replace(pos, 14, "Chrome");
  }
  const auto product = detail::text_of(version, "product");  // "Chrome/156.0.8078.129"
  user_agent_metadata_ = detail::user_agent_metadata(product.substr(product.find('/') + 1));

  conn_->post("Browser.setDownloadBehavior", detail::target_params("behavior", "deny"), "");
}

asio::awaitable<void> Impl::watch_exit() {
  const auto self = shared_from_this();
  for (;;) {
    boost::system::error_code ec;
    if (exit_watch_) {
      co_await exit_watch_->async_wait(asio::posix::stream_descriptor::wait_read,
                                       asio::redirect_error(asio::use_awaitable, ec));
    } else {
      asio::steady_timer poll(executor_, milliseconds(100));
      co_await poll.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
    if (terminated_ || !process_) co_return;
    if (process_->try_reap()) {
      if (conn_) conn_->close("the browser exited (" + process_->exit_description() + ")");
      co_return;
    }
    if (ec && exit_watch_) co_return;  // the descriptor was closed
  }
}

asio::awaitable<std::unique_ptr<Page>> Impl::fetch(std::string url, ReadyWhen ready) {
  const auto self = shared_from_this();
  if (!conn_ || conn_->closed()) {
    throw BrowserError(conn_ ? conn_->close_reason() : std::string("the browser is not running"));
  }
  const auto scheme = detail::scheme_of(url);
  if (scheme != "http" && scheme != "https") co_return nullptr;

  // At most max_pages tabs at once. The wait for a free one ends at the
  // page timeout: a caller that keeps all its pages while fetching another
  // gets an error instead of waiting forever.
  if (!co_await tab_slots_.acquire_until(Clock::now() + config_.timeout)) {
    throw BrowserError("no browser tab became free within " + std::to_string(config_.timeout.count()) +
                       " ms: all pages of the session are still open");
  }
  async::Semaphore::Permit slot(tab_slots_);
  if (fetches_to_come_ && *fetches_to_come_ > 0) --*fetches_to_come_;
  const auto deadline = Clock::now() + config_.timeout;
  std::shared_ptr<detail::Tab> tab = idle_tab(url);
  if (!tab) tab = co_await spare_tab(deadline);
  const bool fresh = !tab;
  if (fresh) {
    tab = std::make_shared<detail::Tab>(shared_from_this(), std::move(slot));
  } else {
    tab->hold(std::move(slot));
  }
  std::exception_ptr failure;
  std::optional<detail::Tab::Loaded> loaded;
  try {
    if (fresh) co_await tab->open(deadline);
    loaded = co_await tab->load(url, ready, deadline);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure || !loaded) {
    tab->close();
    if (failure) {
      try {
        std::rethrow_exception(failure);
      } catch (const detail::CommandTimeout&) {
        throw BrowserError("loading " + url + " timed out after " + std::to_string(config_.timeout.count()) +
                           " ms");
      }
    }
    co_return nullptr;
  }
  co_return std::make_unique<detail::ChromiumPage>(std::move(tab), loaded->status);
}

std::shared_ptr<detail::Tab> Impl::idle_tab(std::string_view url) {
  while (!idle_tabs_.empty()) {
    std::shared_ptr<detail::Tab> tab = std::move(idle_tabs_.back());
    idle_tabs_.pop_back();
    // A load that would stay in the tab's document starts no navigation.
    if (tab->reusable() && !tab->within_document(url)) return tab;
    tab->close();
  }
  return nullptr;
}

asio::awaitable<std::shared_ptr<detail::Tab>> Impl::spare_tab(Clock::time_point deadline) {
  while (!spares_.empty()) {
    std::shared_ptr<detail::Tab> tab = std::move(spares_.front());
    spares_.erase(spares_.begin());
    if (co_await tab->opened(deadline)) co_return tab;
    tab->close();
  }
  co_return nullptr;
}

void Impl::open_spare() {
  if (terminated_ || !conn_ || conn_->closed()) return;
  const std::size_t waiting = idle_tabs_.size() + spares_.size();
  if (waiting >= static_cast<std::size_t>(config_.max_pages)) return;
  if (fetches_to_come_ && waiting >= *fetches_to_come_) return;  // no fetch would take it
  auto tab = std::make_shared<detail::Tab>(shared_from_this(), std::nullopt);
  spares_.push_back(tab);
  asio::co_spawn(executor_, tab->open_ahead(Clock::now() + config_.timeout), asio::detached);
}

void Impl::give_back(std::shared_ptr<detail::Tab> tab) noexcept {
  if (terminated_ || !tab->reusable()) {
    tab->close();
    return;
  }
  tab->park();
  idle_tabs_.push_back(std::move(tab));  // never grows: room for max_pages was made at the start
}

asio::awaitable<bool> Impl::host_allowed(std::string host) {
  const auto self = shared_from_this();
  host = text::ascii_lower(host);
  if (host.empty() || host == "localhost" || host.ends_with(".localhost")) co_return false;
  if (const auto address = detail::parse_address(host)) co_return detail::is_public_address(*address);
  if (const auto it = host_verdicts_.find(host); it != host_verdicts_.end()) co_return it->second;
  asio::ip::tcp::resolver resolver(executor_);
  boost::system::error_code ec;
  const auto results = co_await resolver.async_resolve(host, "", asio::redirect_error(asio::use_awaitable, ec));
  bool allowed = true;
  if (!ec) {
    for (const auto& entry : results) {
      if (!detail::is_public_address(entry.endpoint().address())) allowed = false;
    }
  }
  host_verdicts_[host] = allowed;
  co_return allowed;
}

asio::awaitable<void> Impl::stop() {
  // The profile is thrown away, so there is nothing for the browser to save:
  // killing it at once is quicker than asking it to close, and leaves no
  // more behind (its children are reaped by the system either way).
  terminate();
  co_return;
}

void Impl::terminate() noexcept {
  if (terminated_) return;
  terminated_ = true;
  idle_tabs_.clear();  // (they hold this object)
  spares_.clear();
  if (conn_) conn_->close("the browser session has ended");
  if (exit_watch_) {
    boost::system::error_code ec;
    exit_watch_->close(ec);
  }
  if (process_) process_->terminate();
  if (dir_) dir_->remove();
}
}  // namespace korvane::browser
