// Blocking bridge, progress delivery, semaphore and gather.
#include <korvane/commerce/async.hpp>

#include "async/semaphore.hpp"
#include "commerce/async_runtime.hpp"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

using namespace korvane::commerce;
using namespace std::chrono_literals;
namespace asio = boost::asio;

namespace {

awaitable<std::thread::id> current_thread() { co_return std::this_thread::get_id(); }

awaitable<int> fail_after_suspend() {
  asio::steady_timer t(co_await asio::this_coro::executor, 1ms);
  co_await t.async_wait(asio::use_awaitable);
  throw std::runtime_error("task failed");
}

awaitable<void> sleep_for(std::chrono::milliseconds d) {
  asio::steady_timer t(co_await asio::this_coro::executor, d);
  co_await t.async_wait(asio::use_awaitable);
}

awaitable<void> release_after(korvane::async::Semaphore& s, std::chrono::milliseconds d) {
  co_await sleep_for(d);
  s.release();
}

}  // namespace

TEST(RunCoroutine, WithoutALoopRunsInTheCallingThread) {
  EXPECT_FALSE(detail::loop_running_in_this_thread());
  EXPECT_EQ(detail::run_coroutine(current_thread()), std::this_thread::get_id());
  EXPECT_THROW(detail::run_coroutine(fail_after_suspend()), std::runtime_error);
  detail::run_coroutine(sleep_for(1ms));  // void results work too
}

TEST(RunCoroutine, InsideOneOfOurLoopsUsesAOneWorkerPoolAndBlocks) {
  std::thread::id worker, caller;
  std::string error;
  bool inside = false;
  detail::run_coroutine([&]() -> awaitable<void> {
    caller = std::this_thread::get_id();
    inside = detail::loop_running_in_this_thread();
    worker = detail::run_coroutine(current_thread());  // blocks this loop's thread
    try {
      (void)detail::run_coroutine(fail_after_suspend());
    } catch (const std::runtime_error& e) {
      error = e.what();
    }
    co_return;
  }());
  EXPECT_TRUE(inside);
  EXPECT_FALSE(detail::loop_running_in_this_thread());
  EXPECT_NE(worker, caller);
  EXPECT_NE(worker, std::thread::id{});
  EXPECT_EQ(error, "task failed");
}

TEST(RunCoroutine, ProgressCallbackMayCallABlockingEntryAgain) {
  // The nested case: a callback running on the pipeline's loop calls a
  // blocking operation, which must not deadlock.
  int nested_result = 0;
  ProgressCallback cb = [&](const std::string&) {
    nested_result = detail::run_coroutine([]() -> awaitable<int> {
      co_await sleep_for(1ms);
      co_return 42;
    }());
  };
  detail::run_coroutine([&]() -> awaitable<void> { co_await detail::notify_progress(cb, "go"); }());
  EXPECT_EQ(nested_result, 42);
}

TEST(NotifyProgress, PlainAwaitableAbsentAndFailingCallbacks) {
  std::vector<std::string> log;
  const ProgressCallback absent;
  const ProgressCallback plain = [&](std::string m) { log.push_back("plain " + m); return 7; };
  const ProgressCallback async = [&](std::string m) -> awaitable<void> {
    co_await sleep_for(5ms);
    log.push_back("async " + m);
  };
  const ProgressCallback failing = [](const std::string&) { throw std::logic_error("callback failed"); };
  EXPECT_FALSE(absent);
  EXPECT_TRUE(async.returns_awaitable());
  EXPECT_FALSE(plain.returns_awaitable());
  detail::run_coroutine([&]() -> awaitable<void> {
    co_await detail::notify_progress(absent, "a");
    co_await detail::notify_progress(plain, "b");
    co_await detail::notify_progress(async, "c");
    log.push_back("after");  // the awaitable was awaited before this step
  }());
  EXPECT_EQ(log, (std::vector<std::string>{"plain b", "async c", "after"}));
  EXPECT_THROW(detail::run_coroutine(detail::notify_progress(failing, "x")), std::logic_error);
}

TEST(Semaphore, BoundsConcurrencyAndGatherKeepsTaskOrder) {
  int running = 0, peak = 0;
  const auto outcomes = detail::run_coroutine([&]() -> awaitable<std::vector<detail::Outcome<int>>> {
    korvane::async::Semaphore sem(co_await asio::this_coro::executor, 2);
    std::vector<awaitable<int>> tasks;
    for (int i = 0; i < 6; ++i) {
      tasks.push_back([](korvane::async::Semaphore& s, int& run, int& top, int n) -> awaitable<int> {
        auto permit = co_await s.scoped_acquire();
        top = std::max(top, ++run);
        co_await sleep_for(std::chrono::milliseconds(6 - n));  // finish out of order
        --run;
        if (n == 3) throw std::runtime_error("task 3");
        co_return n * 10;
      }(sem, running, peak, i));
    }
    auto result = co_await detail::gather(std::move(tasks));
    EXPECT_EQ(sem.available(), 2u);
    co_return result;
  }());
  EXPECT_EQ(peak, 2);
  ASSERT_EQ(outcomes.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    if (i == 3) {
      EXPECT_FALSE(outcomes[3].ok());
    } else {
      ASSERT_TRUE(outcomes[static_cast<std::size_t>(i)].ok());
      EXPECT_EQ(*outcomes[static_cast<std::size_t>(i)].value, i * 10);
    }
  }
}

TEST(Semaphore, TimedWaitEndsAtItsDeadlineAndACancelledWaitTakesNothing) {
  using Clock = korvane::async::Semaphore::Clock;
  bool at_once = false, in_time = false, late = true, cancelled = false;
  std::size_t after_timeout = 9, after_cancel = 9;
  detail::run_coroutine([&]() -> awaitable<void> {
    const auto executor = co_await asio::this_coro::executor;
    korvane::async::Semaphore sem(executor, 1);
    const auto soon = Clock::now() + 1s;
    at_once = co_await sem.acquire_until(soon);
    const auto shortly = Clock::now() + 5ms;
    late = co_await sem.acquire_until(shortly);  // nobody gives the permit back
    after_timeout = sem.available();
    // A permit given back before the deadline goes to the waiter.
    asio::co_spawn(executor, release_after(sem, 2ms), asio::detached);
    const auto later = Clock::now() + 10s;
    in_time = co_await sem.acquire_until(later);
    // A wait without deadline ends when its coroutine is cancelled.
    asio::cancellation_signal cancel;
    std::exception_ptr outcome;
    asio::co_spawn(executor, sem.acquire(),
                   asio::bind_cancellation_slot(cancel.slot(), [&](std::exception_ptr e) { outcome = e; }));
    co_await sleep_for(2ms);
    cancel.emit(asio::cancellation_type::terminal);
    co_await sleep_for(2ms);
    cancelled = detail::is_cancellation(outcome);
    sem.release();
    after_cancel = sem.available();
  }());
  EXPECT_TRUE(at_once);
  EXPECT_FALSE(late);
  EXPECT_EQ(after_timeout, 0u);
  EXPECT_TRUE(in_time);
  EXPECT_TRUE(cancelled);
  EXPECT_EQ(after_cancel, 1u);  // the permit went back to the free ones, not to the cancelled waiter
}
