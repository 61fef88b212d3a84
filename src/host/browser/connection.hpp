// A DevTools protocol connection over the browser's debugging pipe: JSON
// messages ended by a NUL byte, commands answered by id, events routed to
// the session (tab) they belong to.
#pragma once

#include <korvane/browser/session.hpp>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/json/object.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

namespace korvane::browser::detail {

using Clock = std::chrono::steady_clock;

// A command the browser did not answer by its deadline.
class CommandTimeout : public BrowserError {
 public:
  using BrowserError::BrowserError;
};

// Receives the events of one DevTools session.
class EventSink {
 public:
  virtual ~EventSink() = default;
  // One event of the session (or a browser event naming it, such as
  // Target.detachedFromTarget).
  virtual void on_event(std::string_view method, const boost::json::object& params) = 0;
  // The connection is gone.
  virtual void on_connection_closed() = 0;
};

// A command sent and not yet awaited.
class PendingCall;

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Takes ownership of `fd`, a connected stream socket to the browser.
  Connection(const boost::asio::any_io_executor& executor, int fd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Starts reading messages.
  void start();

  // Sends a command now; finish() awaits its answer. `session_id` empty
  // addresses the browser itself.
  [[nodiscard]] std::shared_ptr<PendingCall> begin(std::string_view method,
                                                   boost::json::object params,
                                                   std::string_view session_id,
                                                   Clock::time_point deadline);

  // The command's result. Throws BrowserError when the browser answers with
  // an error, does not answer by the deadline or goes away; a cancelled
  // caller gets boost::system::system_error(operation_aborted).
  [[nodiscard]] boost::asio::awaitable<boost::json::object> finish(std::shared_ptr<PendingCall> call);

  // begin() and finish() together.
  [[nodiscard]] boost::asio::awaitable<boost::json::object> call(std::string_view method,
                                                                 boost::json::object params,
                                                                 std::string_view session_id,
                                                                 Clock::time_point deadline);

  // Sends a command whose answer nobody waits for.
  void post(std::string_view method, boost::json::object params, std::string_view session_id);

  // Routes the events of DevTools session `session_id` to `sink`.
  void subscribe(const std::string& session_id, std::weak_ptr<EventSink> sink);
  void unsubscribe(const std::string& session_id);

  // Closes the connection: pending commands fail with `reason`, sinks are told.
  void close(std::string reason);
  [[nodiscard]] bool closed() const noexcept { return closed_; }
  [[nodiscard]] const std::string& close_reason() const noexcept { return close_reason_; }

  [[nodiscard]] const boost::asio::any_io_executor& executor() const noexcept { return executor_; }

 private:
  boost::asio::awaitable<void> read_loop();
  boost::asio::awaitable<void> write_loop();
  void enqueue(std::string message);
  void dispatch(std::string_view message);

  boost::asio::any_io_executor executor_;
  boost::asio::local::stream_protocol::socket socket_;
  std::deque<std::string> outbox_;
  bool writing_ = false;
  std::int64_t next_id_ = 1;
  std::unordered_map<std::int64_t, std::weak_ptr<PendingCall>> pending_;
  std::unordered_map<std::string, std::weak_ptr<EventSink>> sinks_;
  bool closed_ = false;
  std::string close_reason_;
};

class PendingCall {
 public:
  PendingCall(const boost::asio::any_io_executor& executor, std::string method,
              Clock::time_point deadline);

 private:
  friend class Connection;
  boost::asio::steady_timer timer_;
  std::string method_;
  Clock::time_point deadline_;
  bool done_ = false;
  boost::json::object result_;
  std::string error_;  // the browser's error message, when it answered with one
};

}  // namespace korvane::browser::detail
