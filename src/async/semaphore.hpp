// A counting semaphore for coroutines, used by the store crawl (one permit
// per concurrent crawl) and by the browser session (one permit per open tab).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <utility>

namespace korvane::async {

// Permits for the coroutines of one executor that runs one thread at a time.
// Waiters get free permits in the order they came. A wait ends with
// boost::system::system_error(operation_aborted) when the waiting coroutine
// is cancelled; a permit it was granted meanwhile is kept (its Permit or
// release() gives it back).
class Semaphore {
 public:
  using Clock = std::chrono::steady_clock;

  Semaphore(boost::asio::any_io_executor executor, std::size_t permits);
  Semaphore(const Semaphore&) = delete;
  Semaphore& operator=(const Semaphore&) = delete;

  // Takes a permit, waiting as long as none is free.
  [[nodiscard]] boost::asio::awaitable<void> acquire();

  // Takes a permit, waiting until `deadline` at most: true with the permit,
  // false when none became free in time.
  [[nodiscard]] boost::asio::awaitable<bool> acquire_until(Clock::time_point deadline);

  // Gives a permit back: to the longest waiter, else to the free ones.
  void release();

  [[nodiscard]] std::size_t available() const noexcept { return available_; }

  // Holds one taken permit and gives it back when it goes.
  class Permit {
   public:
    explicit Permit(Semaphore& semaphore) noexcept : semaphore_(&semaphore) {}
    Permit(Permit&& other) noexcept : semaphore_(std::exchange(other.semaphore_, nullptr)) {}
    Permit& operator=(Permit&&) = delete;
    Permit(const Permit&) = delete;
    Permit& operator=(const Permit&) = delete;
    ~Permit() {
      if (semaphore_ != nullptr) semaphore_->release();
    }

   private:
    Semaphore* semaphore_;
  };

  // acquire(), with the permit held by the returned Permit.
  [[nodiscard]] boost::asio::awaitable<Permit> scoped_acquire();

 private:
  struct Waiter;
  boost::asio::awaitable<bool> wait(Clock::time_point deadline);

  boost::asio::any_io_executor executor_;
  std::size_t available_;
  std::deque<std::shared_ptr<Waiter>> waiters_;
};

}  // namespace korvane::async
