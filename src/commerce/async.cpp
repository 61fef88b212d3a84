#include "commerce/async_runtime.hpp"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace korvane::commerce::detail {
namespace {

// How many of the library's loops the thread runs (nested calls run more).
thread_local int loops_in_this_thread = 0;

}  // namespace

LoopMark::LoopMark() noexcept { ++loops_in_this_thread; }
LoopMark::~LoopMark() { --loops_in_this_thread; }

bool loop_running_in_this_thread() noexcept { return loops_in_this_thread > 0; }

std::string message_of(const std::exception_ptr& error) {
  if (!error) return "unknown failure";
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown failure";
  }
}

bool is_cancellation(const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const boost::system::system_error& e) {
    return e.code() == boost::asio::error::operation_aborted;
  } catch (...) {
    return false;
  }
}

}  // namespace korvane::commerce::detail
