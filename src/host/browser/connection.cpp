#include "host/browser/connection.hpp"

#include <korvane/browser/session.hpp>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <vector>

namespace korvane::browser::detail {

namespace asio = boost::asio;
namespace json = boost::json;

PendingCall::PendingCall(const asio::any_io_executor& executor, std::string method,
                         Clock::time_point deadline)
    : timer_(executor, deadline), method_(std::move(method)), deadline_(deadline) {}

Connection::Connection(const asio::any_io_executor& executor, int fd)
    : executor_(executor), socket_(executor) {
  boost::system::error_code ec;
  socket_.assign(asio::local::stream_protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    throw BrowserUnavailableError("cannot use the browser's control socket: " + ec.message());
  }
}

Connection::~Connection() {
  boost::system::error_code ec;
  socket_.close(ec);
}

void Connection::start() {
  asio::co_spawn(
      executor_, [self = shared_from_this()]() { return self->read_loop(); }, asio::detached);
}

asio::awaitable<void> Connection::read_loop() {
  // Keeps the connection alive while reading.
  const auto self = shared_from_this();
  std::array<char, 64 * 1024> chunk{};
  std::string inbox;
  std::size_t scanned = 0;
  for (;;) {
    boost::system::error_code ec;
    const std::size_t n = co_await socket_.async_read_some(
        asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      close(ec == asio::error::eof ? "the browser closed its DevTools connection"
                                   : "the DevTools connection failed: " + ec.message());
      co_return;
    }
    inbox.append(chunk.data(), n);
    std::size_t start = 0;
    for (std::size_t nul = inbox.find('\0', scanned); nul != std::string::npos;
         nul = inbox.find('\0', start)) {
      dispatch(std::string_view(inbox).substr(start, nul - start));
      start = nul + 1;
      if (closed_) co_return;
    }
    inbox.erase(0, start);
    scanned = inbox.size();
  }
}

void Connection::dispatch(std::string_view message) {
  boost::system::error_code ec;
  json::value value = json::parse(message, ec);
  if (ec || !value.is_object()) return;  // not a protocol message: ignore it
  json::object& msg = value.as_object();

  if (const auto* id = msg.if_contains("id"); id != nullptr && id->is_int64()) {
    const auto it = pending_.find(id->as_int64());
    if (it == pending_.end()) return;
    const auto call = it->second.lock();
    pending_.erase(it);
    if (!call) return;
    call->done_ = true;
    if (auto* error = msg.if_contains("error"); error != nullptr && error->is_object()) {
      const auto* text = error->as_object().if_contains("message");
      call->error_ = text != nullptr && text->is_string() ? std::string(text->as_string())
                                                          : json::serialize(*error);
      if (const auto* data = error->as_object().if_contains("data");
          data != nullptr && data->is_string()) {
        call->error_ += " (" + std::string(data->as_string()) + ")";
      }
    } else if (auto* result = msg.if_contains("result"); result != nullptr && result->is_object()) {
      call->result_ = std::move(result->as_object());
    }
    call->timer_.cancel();
    return;
  }

  const auto* method = msg.if_contains("method");
  if (method == nullptr || !method->is_string()) return;
  static const json::object no_params;
  const auto* params_value = msg.if_contains("params");
  const json::object& params =
      params_value != nullptr && params_value->is_object() ? params_value->as_object() : no_params;

  // Events of a tab carry its session id; browser events about a session
  // (detached, crashed) name it in their parameters.
  const json::value* session = msg.if_contains("sessionId");
  if (session == nullptr) session = params.if_contains("sessionId");
  if (session == nullptr || !session->is_string()) return;
  const auto it = sinks_.find(std::string(session->as_string()));
  if (it == sinks_.end()) return;
  if (const auto sink = it->second.lock()) {
    sink->on_event(method->as_string(), params);
  } else {
    sinks_.erase(it);
  }
}

std::shared_ptr<PendingCall> Connection::begin(std::string_view method, json::object params,
                                               std::string_view session_id,
                                               Clock::time_point deadline) {
  auto call = std::make_shared<PendingCall>(executor_, std::string(method), deadline);
  if (closed_) return call;  // finish() reports the closed connection
  const std::int64_t id = next_id_++;
  json::object msg;
  msg["id"] = id;
  msg["method"] = method;
  msg["params"] = std::move(params);
  if (!session_id.empty()) msg["sessionId"] = session_id;
  pending_.emplace(id, call);
  enqueue(json::serialize(msg));
  return call;
}

asio::awaitable<json::object> Connection::finish(std::shared_ptr<PendingCall> call) {
  const auto self = shared_from_this();
  if (!call->done_ && !closed_) {
    boost::system::error_code ec;
    co_await call->timer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!call->done_ && !closed_) {
      if (ec == asio::error::operation_aborted) {
        throw boost::system::system_error(asio::error::operation_aborted);
      }
      throw CommandTimeout("the browser did not answer " + call->method_ + " in time");
    }
  }
  if (!call->done_) throw BrowserError(close_reason_);
  if (!call->error_.empty()) throw BrowserError(call->method_ + " failed: " + call->error_);
  co_return std::move(call->result_);
}

asio::awaitable<json::object> Connection::call(std::string_view method, json::object params,
                                               std::string_view session_id,
                                               Clock::time_point deadline) {
  co_return co_await finish(begin(method, std::move(params), session_id, deadline));
}

void Connection::post(std::string_view method, json::object params, std::string_view session_id) {
  if (closed_) return;
  json::object msg;
  msg["id"] = next_id_++;
  msg["method"] = method;
  msg["params"] = std::move(params);
  if (!session_id.empty()) msg["sessionId"] = session_id;
  enqueue(json::serialize(msg));
}

void Connection::enqueue(std::string message) {
  message.push_back('\0');
  outbox_.push_back(std::move(message));
  if (writing_) return;
  writing_ = true;
  asio::co_spawn(
      executor_, [self = shared_from_this()]() { return self->write_loop(); }, asio::detached);
}

asio::awaitable<void> Connection::write_loop() {
  const auto self = shared_from_this();
  while (!outbox_.empty() && !closed_) {
    boost::system::error_code ec;
    co_await asio::async_write(socket_, asio::buffer(outbox_.front()),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      close("writing to the browser failed: " + ec.message());
      break;
    }
    outbox_.pop_front();
  }
  outbox_.clear();
  writing_ = false;
}

void Connection::subscribe(const std::string& session_id, std::weak_ptr<EventSink> sink) {
  sinks_[session_id] = std::move(sink);
}

void Connection::unsubscribe(const std::string& session_id) { sinks_.erase(session_id); }

void Connection::close(std::string reason) {
  if (closed_) return;
  closed_ = true;
  close_reason_ = std::move(reason);
  boost::system::error_code ec;
  socket_.close(ec);
  for (auto& [id, weak] : pending_) {
    if (const auto call = weak.lock()) call->timer_.cancel();
  }
  pending_.clear();
  std::vector<std::shared_ptr<EventSink>> sinks;
  for (auto& [id, weak] : sinks_) {
    if (auto sink = weak.lock()) sinks.push_back(std::move(sink));
  }
  sinks_.clear();
  for (const auto& sink : sinks) sink->on_connection_closed();
}

}  // namespace korvane::browser::detail
