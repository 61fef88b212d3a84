// The asynchronous machinery of the pipeline: progress delivery, the bridge
// from blocking callers to coroutines (with cancellation) and a concurrent
// "run all, collect each outcome" helper. (The counting semaphore is
// async::Semaphore, "async/semaphore.hpp".)
#pragma once

#include <korvane/commerce/async.hpp>
#include <korvane/errors.hpp>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/deferred.hpp>
#include <boost/asio/experimental/parallel_group.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <cstddef>
#include <exception>
#include <future>
#include <optional>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace korvane::commerce {

namespace detail {

// Delivers one progress message: nothing when `on_progress` is empty, else it
// is called once and an awaitable it returns is awaited.
[[nodiscard]] inline awaitable<void> notify_progress(const ProgressCallback& on_progress, std::string msg) {
  if (on_progress) co_await on_progress(std::move(msg));
}

// True while the calling thread runs one of the library's own event loops
// (inside run_coroutine(): the pipeline's coroutines and the progress
// callbacks they call).
[[nodiscard]] bool loop_running_in_this_thread() noexcept;

// Marks the calling thread as running one of the library's loops while it
// lives.
class LoopMark {
 public:
  LoopMark() noexcept;
  ~LoopMark();
  LoopMark(const LoopMark&) = delete;
  LoopMark& operator=(const LoopMark&) = delete;
};

// Throws the cancellation of an asynchronous operation when the calling
// coroutine has been cancelled: a point where long work without awaited
// operations (parsing thousands of pages, reading a page folder) stops.
[[nodiscard]] inline awaitable<void> throw_if_cancelled() {
  const auto state = co_await boost::asio::this_coro::cancellation_state;
  if (state.cancelled() != boost::asio::cancellation_type::none) {
    throw boost::system::system_error(boost::asio::error::operation_aborted);
  }
}

// True when `error` is the cancellation of an asynchronous operation.
[[nodiscard]] bool is_cancellation(const std::exception_ptr& error) noexcept;

// Runs `coro` to completion on a new io_context in the calling thread. Once
// `stop` is requested, the coroutine's awaited operations are cancelled
// (terminal cancellation), and a run that ends by that cancellation throws
// korvane::CancelledError.
// `coro` after one trip through its executor. (Asio 1.81 lets a cancelled
// coroutine that never suspended throw out of io_context::run() instead of
// reaching its completion handler; one suspension first avoids that.)
template <class T>
awaitable<T> after_first_suspension(awaitable<T> coro) {
  co_await boost::asio::post(boost::asio::use_awaitable);
  co_return co_await std::move(coro);
}

// Keeps the value a coroutine completed with (a flag for one without value).
inline void keep_value(std::optional<bool>& slot) { slot.emplace(true); }
template <class T, class V>
void keep_value(std::optional<T>& slot, V&& value) {
  slot.emplace(std::forward<V>(value));
}

template <class T>
T run_on_new_loop(awaitable<T> coro, std::stop_token stop = {}) {
  boost::asio::io_context ctx;
  boost::asio::cancellation_signal cancel;
  std::exception_ptr error;
  std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> result;
  const auto on_done = [&](std::exception_ptr e, auto&&... value) {
    if (e) {
      error = e;
    } else {
      keep_value(result, std::forward<decltype(value)>(value)...);
    }
  };
  boost::asio::co_spawn(ctx, after_first_suspension(std::move(coro)),
                        boost::asio::bind_cancellation_slot(cancel.slot(), on_done));
  const auto emit = [&cancel] { cancel.emit(boost::asio::cancellation_type::terminal); };
  const std::stop_callback on_stop(stop, [&] {
    // From the run itself (a callback) at once, from other threads through
    // the loop.
    if (ctx.get_executor().running_in_this_thread()) {
      emit();
    } else {
      boost::asio::post(ctx, emit);
    }
  });
  try {
    const LoopMark mark;
    ctx.run();
  } catch (...) {
    error = std::current_exception();  // what escaped the loop instead of reaching on_done
  }
  if (error) {
    if (stop.stop_requested() && is_cancellation(error)) throw CancelledError("the run was stopped");
    std::rethrow_exception(error);
  }
  if constexpr (!std::is_void_v<T>) return std::move(*result);
}

// Runs a not yet started coroutine to completion for a blocking caller and
// returns its result, or throws what it threw. Without one of our loops
// running in the calling thread the work runs on a new loop in that thread;
// called from inside one (a progress callback that calls a blocking entry
// point, say), it runs on a new loop of a one-worker pool made for this call
// while the caller blocks, and the pool is gone when this returns.
// Cancellation by `stop` as for run_on_new_loop().
template <class T>
T run_coroutine(awaitable<T> coro, std::stop_token stop = {}) {
  if (!loop_running_in_this_thread()) return run_on_new_loop(std::move(coro), std::move(stop));
  boost::asio::thread_pool pool(1);
  struct Joiner {
    boost::asio::thread_pool& p;
    ~Joiner() { p.join(); }
  } joiner{pool};
  std::packaged_task<T()> job([&coro, &stop] { return run_on_new_loop(std::move(coro), std::move(stop)); });
  auto result = job.get_future();
  boost::asio::post(pool, std::move(job));
  return result.get();
}

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
