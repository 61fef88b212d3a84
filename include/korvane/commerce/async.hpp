// The coroutine type of the asynchronous operations and the progress
// callback they take (Boost.Asio C++20 coroutines).
#pragma once

#include <boost/asio/awaitable.hpp>

#include <concepts>
#include <cstddef>
#include <functional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

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

}  // namespace korvane::commerce
