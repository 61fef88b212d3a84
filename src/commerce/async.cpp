#include <korvane/commerce/async.hpp>

#include <boost/asio/detail/thread_context.hpp>

namespace korvane::commerce::detail {

bool loop_running_in_this_thread() noexcept {
  // Asio keeps a per-thread call stack of the schedulers running in the
  // thread: non-empty inside io_context::run() and pool workers.
  return boost::asio::detail::thread_context::top_of_thread_call_stack() != nullptr;
}

}  // namespace korvane::commerce::detail
