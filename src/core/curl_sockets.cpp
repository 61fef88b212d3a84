// The sockets of a batch, watched through Asio descriptors for libcurl's
// socket interface (and its timer), the sockets it opens (refused for
// addresses not allowed), and the data callbacks: body, size caps, the
// moment a request goes out.
#include "core/curl_batch.hpp"

#include "core/policy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>

namespace korvane::core::detail {
namespace {

std::optional<asio::ip::address> address_of(const curl_sockaddr& a) {
  if (a.family == AF_INET && a.addrlen >= sizeof(sockaddr_in)) {
    sockaddr_in in{};
    std::memcpy(&in, &a.addr, sizeof in);
    return asio::ip::address_v4(ntohl(in.sin_addr.s_addr));
  }
  if (a.family == AF_INET6 && a.addrlen >= sizeof(sockaddr_in6)) {
    sockaddr_in6 in6{};
    std::memcpy(&in6, &a.addr, sizeof in6);
    asio::ip::address_v6::bytes_type bytes{};
    std::memcpy(bytes.data(), &in6.sin6_addr, bytes.size());
    return asio::ip::address_v6(bytes, in6.sin6_scope_id);
  }
  return std::nullopt;
}

}  // namespace

// ---------------------------------------------------------------- sockets

void CurlBatch::watch(curl_socket_t s, int what, void* socketp) {
  auto found = sockets_.find(s);
  if (what == CURL_POLL_REMOVE) {
    if (found == sockets_.end()) return;
    SocketWatch& w = *found->second;
    w.wanted = 0;
    if (w.owned) {
      // The socket may rest in the connection cache: keep it, stop waiting.
      boost::system::error_code ignored;
      w.descriptor.cancel(ignored);
    } else {
      w.close();
      sockets_.erase(found);
    }
    return;
  }
  // A socket of libcurl's own that we never heard being removed was closed
  // behind our back; this is a new one with the same number.
  if (found != sockets_.end() && socketp == nullptr && !found->second->owned) {
    found->second->close();
    sockets_.erase(found);
    found = sockets_.end();
  }
  if (found == sockets_.end()) {
    found = sockets_.emplace(s, std::make_shared<SocketWatch>(executor_, s, false)).first;
  }
  const std::shared_ptr<SocketWatch> w = found->second;
  curl_multi_assign(multi_.get(), s, w.get());
  w->wanted = what & (CURL_POLL_IN | CURL_POLL_OUT);
  arm(w, s);
}

void CurlBatch::arm(const std::shared_ptr<SocketWatch>& w, curl_socket_t s) {
  if (w->closed) return;
  using Wait = asio::posix::descriptor_base::wait_type;
  const auto start = [&](Wait wait, bool& pending, int direction) {
    pending = true;
    w->descriptor.async_wait(wait, [this, w, s, direction, alive = alive_](boost::system::error_code ec) {
      (direction == CURL_CSELECT_IN ? w->read_pending : w->write_pending) = false;
      if (!*alive || w->closed) return;
      on_ready(w, s, direction, ec);
    });
  };
  if ((w->wanted & CURL_POLL_IN) != 0 && !w->read_pending) {
    start(asio::posix::descriptor_base::wait_read, w->read_pending, CURL_CSELECT_IN);
  }
  if ((w->wanted & CURL_POLL_OUT) != 0 && !w->write_pending) {
    start(asio::posix::descriptor_base::wait_write, w->write_pending, CURL_CSELECT_OUT);
  }
}

void CurlBatch::on_ready(const std::shared_ptr<SocketWatch>& w, curl_socket_t s, int direction,
                     boost::system::error_code ec) {
  try {
    const int wanted_bit = direction == CURL_CSELECT_IN ? CURL_POLL_IN : CURL_POLL_OUT;
    if (ec != asio::error::operation_aborted && (w->wanted & wanted_bit) != 0) {
      act(s, ec ? CURL_CSELECT_ERR : direction);
    }
    arm(w, s);
  } catch (...) {
    fail(std::current_exception());
  }
}

int CurlBatch::on_socket(CURL* /*easy*/, curl_socket_t s, int what, void* batch, void* socketp) noexcept {
  CurlBatch& self = *static_cast<CurlBatch*>(batch);
  try {
    self.watch(s, what, socketp);
    return 0;
  } catch (...) {
    self.fail(std::current_exception());
    return -1;
  }
}

int CurlBatch::on_timer(CURLM* /*multi*/, long timeout_ms, void* batch) noexcept {
  CurlBatch& self = *static_cast<CurlBatch*>(batch);
  try {
    if (timeout_ms < 0) {
      self.curl_timer_.cancel();
      return 0;
    }
    // libcurl may not be called from inside its own callback: even a zero
    // timeout goes through the loop.
    self.curl_timer_.expires_after(std::chrono::milliseconds(timeout_ms));
    self.curl_timer_.async_wait([&self, alive = self.alive_](boost::system::error_code ec) {
      if (ec || !*alive) return;
      try {
        self.act(CURL_SOCKET_TIMEOUT, 0);
      } catch (...) {
        self.fail(std::current_exception());
      }
    });
    return 0;
  } catch (...) {
    self.fail(std::current_exception());
    return -1;
  }
}

curl_socket_t CurlBatch::open_socket(void* transfer, curlsocktype purpose, curl_sockaddr* address) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  CurlBatch& self = *t.batch;
  if (purpose != CURLSOCKTYPE_IPCXN || address == nullptr) return CURL_SOCKET_BAD;
  try {
    const auto ip = address_of(*address);
    if (!ip) {
      t.refused.emplace_back("of address family " + std::to_string(address->family));
      return CURL_SOCKET_BAD;
    }
    if (!address_allowed(classify_address(*ip), self.options_.allow_private_addresses)) {
      t.refused.push_back(ip->to_string());
      return CURL_SOCKET_BAD;
    }
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    if (fd < 0) return CURL_SOCKET_BAD;
    try {
      // A number libcurl's own socket had before it was closed unseen.
      if (const auto stale = self.sockets_.find(fd); stale != self.sockets_.end()) {
        stale->second->close();
        self.sockets_.erase(stale);
      }
      self.sockets_.emplace(fd, std::make_shared<SocketWatch>(self.executor_, fd, true));
    } catch (...) {
      ::close(fd);
      throw;
    }
    return fd;
  } catch (...) {
    self.fail(std::current_exception());
    return CURL_SOCKET_BAD;
  }
}

int CurlBatch::close_socket(void* batch, curl_socket_t s) noexcept {
  CurlBatch& self = *static_cast<CurlBatch*>(batch);
  if (const auto found = self.sockets_.find(s); found != self.sockets_.end() && found->second->owned) {
    found->second->close();
    self.sockets_.erase(found);
    return 0;
  }
  return ::close(s);
}

// ---------------------------------------------------------------- data

std::size_t CurlBatch::write_body(char* data, std::size_t size, std::size_t count, void* transfer) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  const std::size_t n = size * count;
  try {
    if (!t.headers_checked) {
      t.headers_checked = true;
      long status = 0;
      curl_easy_getinfo(t.easy.get(), CURLINFO_RESPONSE_CODE, &status);
      char* type = nullptr;
      curl_easy_getinfo(t.easy.get(), CURLINFO_CONTENT_TYPE, &type);
      if (!t.any_response && header_problem(status, type != nullptr ? type : "")) {
        t.stopped_on_headers = true;
        return 0;  // not a page: no need for its body
      }
      curl_off_t length = -1;
      curl_easy_getinfo(t.easy.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length > 0) {
        t.body.reserve(std::min(static_cast<std::size_t>(length), t.batch->options_.max_decoded_bytes));
      }
    }
    if (t.body.size() + n > t.batch->options_.max_decoded_bytes) {
      t.failure = FetchMiss{FetchFailure::too_large, "too large when decoded"};
      return 0;
    }
    t.body.append(data, n);
    return n;
  } catch (...) {
    t.failure = FetchMiss{FetchFailure::transfer_failed, "out of memory"};
    return 0;
  }
}

int CurlBatch::on_progress(void* transfer, curl_off_t, curl_off_t now, curl_off_t, curl_off_t) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  if (now > 0 && static_cast<std::uint64_t>(now) > t.batch->options_.max_page_bytes) {
    t.failure = FetchMiss{FetchFailure::too_large, "too large"};
    return 1;
  }
  return 0;
}

int CurlBatch::on_request_sent(void* transfer, char*, char*, int, int) noexcept {
  Transfer& t = *static_cast<Transfer*>(transfer);
  // Only the first request counts (a redirect's next hop may go elsewhere).
  if (!t.sent) {
    t.sent = true;
    try {
      t.batch->pacer_->sent(t.host, PaceClock::now());
    } catch (...) {
      t.batch->fail(std::current_exception());
    }
  }
  return CURL_PREREQFUNC_OK;
}

}  // namespace korvane::core::detail
