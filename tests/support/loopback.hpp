// Helpers for tests and benchmarks that run cpp-httplib servers on loopback.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <zlib.h>

#include <string>
#include <string_view>

namespace korvane::testing {

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
