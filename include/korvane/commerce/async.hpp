// Asynchronous plumbing shared by the pipeline: the progress callback, the
// bridge from blocking callers to coroutines, a counting semaphore and a
// concurrent "run all, collect each outcome" helper. All on Boost.Asio C++20
// coroutines.
#pragma once

#include <boost/asio/any_completion_handler.hpp>
#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <concepts>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace korvane::commerce {

template <class T>
using awaitable = boost::asio::awaitable<T>;

// An optional progress callback, called with one text per message. It holds
// either a plain function (its result is ignored) or one that returns
// awaitable<void>, which the pipeline awaits before it goes on. Empty means
// absent. Failures of the callback are not caught: they end the operation
// that reported progress.
class ProgressCallback {
 public:
  using Plain = std::function<void(std::string)>;
  using Async = std::function<awaitable<void>(std::string)>;

  ProgressCallback() = default;
  ProgressCallback(std::nullptr_t) noexcept {}  // NOLINT: absent, like a null function

  template <class F>
    requires(std::invocable<F&, std::string> && !std::same_as<std::decay_t<F>, ProgressCallback>)
  ProgressCallback(F f) {  // NOLINT: implicit, as std::function
    using Result = std::invoke_result_t<F&, std::string>;
    if constexpr (std::is_same_v<Result, awaitable<void>>) {
      fn_ = Async(std::move(f));
    } else {
      fn_ = Plain([g = std::move(f)](std::string msg) mutable { (void)std::invoke(g, std::move(msg)); });
    }
  }

  [[nodiscard]] explicit operator bool() const noexcept { return fn_.index() != 0; }
  [[nodiscard]] bool returns_awaitable() const noexcept { return fn_.index() == 2; }

  // Calls the callback once with `msg` and awaits its awaitable, if any.
  [[nodiscard]] awaitable<void> operator()(std::string msg) const {
    if (const auto* plain = std::get_if<Plain>(&fn_)) {
      (*plain)(std::move(msg));
    } else if (const auto* async = std::get_if<Async>(&fn_)) {
      co_await (*async)(std::move(msg));
    }
  }

 private:
  std::variant<std::monostate, Plain, Async> fn_;
};

namespace detail {

// Delivers one progress message: nothing when `on_progress` is empty, else it
// is called once and an awaitable it returns is awaited.
[[nodiscard]] inline awaitable<void> notify_progress(const ProgressCallback& on_progress, std::string msg) {
  if (on_progress) co_await on_progress(std::move(msg));
}

// True while the calling thread runs an Asio event loop (an io_context or a
// thread pool of this or any other caller's), i.e. inside a handler or
// coroutine.
[[nodiscard]] bool loop_running_in_this_thread() noexcept;

// Runs `coro` to completion on a new io_context in the calling thread.
template <class T>
T run_on_new_loop(awaitable<T> coro) {
  boost::asio::io_context ctx;
  std::exception_ptr error;
  if constexpr (std::is_void_v<T>) {
    boost::asio::co_spawn(ctx, std::move(coro), [&](std::exception_ptr e) { error = e; });
    ctx.run();
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> result;
    boost::asio::co_spawn(ctx, std::move(coro), [&](std::exception_ptr e, T value) {
      if (e) {
        error = e;
      } else {
        result.emplace(std::move(value));
      }
    });
    ctx.run();
    if (error) std::rethrow_exception(error);
    return std::move(*result);
  }
}

// Runs a not yet started coroutine to completion for a blocking caller and
// returns its result, or throws what it threw. Without a running loop in the
// calling thread the work runs on a new loop in that thread; called from
// inside a running loop (a progress callback that calls a blocking entry
// point, say), it runs on a new loop of a one-worker pool made for this call
// while the caller blocks, and the pool is gone when this returns.
template <class T>
T run_coroutine(awaitable<T> coro) {
  if (!loop_running_in_this_thread()) return run_on_new_loop(std::move(coro));
  boost::asio::thread_pool pool(1);
  struct Joiner {
    boost::asio::thread_pool& p;
    ~Joiner() { p.join(); }
  } joiner{pool};
  std::packaged_task<T()> job([&coro] { return run_on_new_loop(std::move(coro)); });
  auto result = job.get_future();
  boost::asio::post(pool, std::move(job));
  return result.get();
}

// A counting semaphore for coroutines of one single-threaded executor.
// acquire() suspends until a permit is free; release() hands a permit to the
// longest waiter.
class AsyncSemaphore {
 public:
  AsyncSemaphore(boost::asio::any_io_executor executor, std::size_t permits)
      : executor_(std::move(executor)), available_(permits) {}
  AsyncSemaphore(const AsyncSemaphore&) = delete;
  AsyncSemaphore& operator=(const AsyncSemaphore&) = delete;

  [[nodiscard]] awaitable<void> acquire() {
    if (available_ > 0) {
      --available_;
      co_return;
    }
    co_await boost::asio::async_initiate<decltype(boost::asio::use_awaitable), void()>(
        [this](auto handler) { waiters_.emplace_back(std::move(handler)); }, boost::asio::use_awaitable);
  }

  void release() {
    if (waiters_.empty()) {
      ++available_;
      return;
    }
    auto next = std::move(waiters_.front());
    waiters_.pop_front();
    boost::asio::post(executor_, std::move(next));
  }

  [[nodiscard]] std::size_t available() const noexcept { return available_; }

  // Holds one permit for its lifetime.
  class Permit {
   public:
    explicit Permit(AsyncSemaphore& s) noexcept : s_(&s) {}
    Permit(Permit&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    Permit& operator=(Permit&&) = delete;
    ~Permit() {
      if (s_) s_->release();
    }

   private:
    AsyncSemaphore* s_;
  };

  // Acquires a permit that is released when the returned guard goes.
  [[nodiscard]] awaitable<Permit> scoped_acquire() {
    co_await acquire();
    co_return Permit(*this);
  }

 private:
  boost::asio::any_io_executor executor_;
  std::size_t available_;
  std::deque<boost::asio::any_completion_handler<void()>> waiters_;
};

// The outcome of one task: its value or its exception.
template <class T>
struct Outcome {
  std::optional<T> value;
  std::exception_ptr error;
  [[nodiscard]] bool ok() const noexcept { return !error; }
};
template <>
struct Outcome<void> {
  std::exception_ptr error;
  [[nodiscard]] bool ok() const noexcept { return !error; }
};

// Runs every task concurrently on the current executor and waits until all
// have ended; a failing task does not stop the others. The outcomes come in
// task order.
template <class T>
awaitable<std::vector<Outcome<T>>> gather(std::vector<awaitable<T>> tasks) {
  std::vector<Outcome<T>> outcomes(tasks.size());
  if (tasks.empty()) co_return outcomes;
  const auto executor = co_await boost::asio::this_coro::executor;
  using Op = decltype(boost::asio::co_spawn(executor, std::move(tasks.front()), boost::asio::deferred));
  std::vector<Op> ops;
  ops.reserve(tasks.size());
  for (auto& task : tasks) ops.push_back(boost::asio::co_spawn(executor, std::move(task), boost::asio::deferred));
  if constexpr (std::is_void_v<T>) {
    auto [order, errors] = co_await boost::asio::experimental::make_parallel_group(std::move(ops))
                               .async_wait(boost::asio::experimental::wait_for_all(), boost::asio::use_awaitable);
    for (std::size_t i = 0; i < errors.size(); ++i) outcomes[i].error = errors[i];
  } else {
    auto [order, errors, values] = co_await boost::asio::experimental::make_parallel_group(std::move(ops))
                                       .async_wait(boost::asio::experimental::wait_for_all(),
                                                   boost::asio::use_awaitable);
    for (std::size_t i = 0; i < errors.size(); ++i) {
      if (errors[i]) {
        outcomes[i].error = errors[i];
      } else {
        outcomes[i].value.emplace(std::move(values[i]));
      }
    }
  }
  co_return outcomes;
}

}  // namespace detail
}  // namespace korvane::commerce
