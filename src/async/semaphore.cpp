#include "async/semaphore.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <algorithm>

namespace korvane::async {

namespace asio = boost::asio;

// A coroutine waiting for a permit: its timer runs until the deadline, and
// release() cancels it early once the permit is granted.
struct Semaphore::Waiter {
  Waiter(const asio::any_io_executor& executor, Clock::time_point deadline) : timer(executor, deadline) {}
  asio::steady_timer timer;
  bool granted = false;
};

Semaphore::Semaphore(asio::any_io_executor executor, std::size_t permits)
    : executor_(std::move(executor)), available_(permits) {}

asio::awaitable<bool> Semaphore::wait(Clock::time_point deadline) {
  if (available_ > 0) {
    --available_;
    co_return true;
  }
  const auto waiter = std::make_shared<Waiter>(executor_, deadline);
  waiters_.push_back(waiter);
  boost::system::error_code ec;
  co_await waiter->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  if (waiter->granted) co_return true;
  std::erase(waiters_, waiter);
  if (ec == asio::error::operation_aborted) throw boost::system::system_error(asio::error::operation_aborted);
  co_return false;
}

asio::awaitable<void> Semaphore::acquire() {
  // Without a deadline the wait ends with a permit or by cancellation.
  (void)co_await wait(Clock::time_point::max());
}

asio::awaitable<bool> Semaphore::acquire_until(Clock::time_point deadline) { return wait(deadline); }

void Semaphore::release() {
  while (!waiters_.empty()) {
    const auto next = waiters_.front();
    waiters_.pop_front();
    if (!next->granted) {
      next->granted = true;
      next->timer.cancel();
      return;
    }
  }
  ++available_;
}

asio::awaitable<Semaphore::Permit> Semaphore::scoped_acquire() {
  co_await acquire();
  co_return Permit(*this);
}

}  // namespace korvane::async
