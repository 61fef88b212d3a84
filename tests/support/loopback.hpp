// Helpers for tests and benchmarks that run cpp-httplib servers on loopback.
#pragma once

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

namespace korvane::testing {

// A cpp-httplib server bound to an ephemeral loopback port, answering with
// `workers` threads (cpp-httplib's default pool is as small as the machine,
// so that connections a browser keeps alive can leave others waiting).
// Handlers go on `http()`; `start()` runs the accept loop on a thread of its
// own until `stop()` or destruction.
class LoopbackServer {
 public:
  explicit LoopbackServer(std::size_t workers) : port_(server_.bind_to_any_port("127.0.0.1")) {
    if (port_ <= 0) throw std::runtime_error("cannot bind a loopback port");
    server_.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
  }
  ~LoopbackServer() { stop(); }
  LoopbackServer(const LoopbackServer&) = delete;
  LoopbackServer& operator=(const LoopbackServer&) = delete;

  [[nodiscard]] httplib::Server& http() { return server_; }
  [[nodiscard]] int port() const { return port_; }

  void start() {
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // stop() before the accept loop runs would leave it running for ever.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  void stop() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  httplib::Server server_;
  int port_;
  std::thread thread_;
};

// cpp-httplib listens with a backlog of 5, so that a burst of connections
// loses SYNs and waits a second for their retransmission: widen the
// backlog of the listening socket on `port`.
inline void widen_backlog(int port) {
  for (int fd = 3; fd < 1024; ++fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int listening = 0;
    socklen_t flag_length = sizeof listening;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
        address.sin_family == AF_INET && ntohs(address.sin_port) == port &&
        getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flag_length) == 0 && listening != 0) {
      ::listen(fd, 1024);
    }
  }
}

// Serves `body` as it stands (with `encoding` as its Content-Encoding when
// given): a content provider with a known length is never compressed again
// by the server, which would otherwise brotli-compress text for clients that
// accept it.
inline void serve_as_is(httplib::Response& res, std::shared_ptr<const std::string> body, const std::string& type,
                        const std::string& encoding = "") {
  if (!encoding.empty()) res.set_header("Content-Encoding", encoding);
  const std::size_t size = body->size();
  res.set_content_provider(size, type,
                           [body = std::move(body)](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             sink.write(body->data() + offset, length);
                             return true;
                           });
}

// `in` compressed as a gzip stream.
inline std::string gzip(std::string_view in, int level = 9) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(in.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

}  // namespace korvane::testing
