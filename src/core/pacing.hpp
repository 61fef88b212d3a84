// The pace of requests per host: how many run at once, how long after one
// the next may start, and the delays an adaptive pace learns from answers.
// One pacer serves every batch of a transport, on any thread.
#pragma once

#include <korvane/core/fetch.hpp>

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace korvane::core::detail {

using PaceClock = std::chrono::steady_clock;

// The pacing a batch asks for (from its FetcherOptions).
struct PacingRules {
  std::size_t max_per_host = 1;
  double delay = 0;  // seconds between the requests to one host
  bool adaptive = false;

  [[nodiscard]] static PacingRules of(const FetcherOptions& options) noexcept;
  // Whether requests are spaced in time (a delay or the adaptive pace).
  [[nodiscard]] bool spaced() const noexcept { return delay > 0 || adaptive; }
};

// The adaptive pace's bounds: its widest delay, and the least delay it
// takes after an error (a server that fails fast must not be asked faster).
inline constexpr double MAX_ADAPTIVE_DELAY = 60.0;
inline constexpr double MIN_DELAY_AFTER_ERROR = 1.0;

// A server sees a request a little after it goes out, more or less so from
// one request to the next (a new connection or a kept one, its own
// scheduling: tens of milliseconds on a busy machine): spaced requests go out
// later than the delay by this much plus this share of it, so that the
// server never sees two closer than the delay. Slower than asked is polite;
// faster is not.
inline constexpr double SPACING_MARGIN = 0.01;
inline constexpr double SPACING_MARGIN_SHARE = 0.1;

// The next adaptive delay of a host after an answer that took `latency`
// seconds (one request at a time, on average): the latency at once when it
// is longer than `delay` (a host that slows down is asked less often at
// once), half-way towards it when shorter (one that recovers is asked more
// often step by step); after an error twice the delay, at least the latency
// and MIN_DELAY_AFTER_ERROR. Never below `floor` (the delay asked for) nor
// above MAX_ADAPTIVE_DELAY.
[[nodiscard]] double next_adaptive_delay(double delay, double latency, bool error, double floor) noexcept;

class HostPacer {
 public:
  // Whether a request to a host may start now: started, or not yet, until
  // `wait_until` or (absent) until another request to the host moves on.
  struct Admission {
    bool started = false;
    std::optional<PaceClock::time_point> wait_until;
  };

  // Starts a request to `host` when the rules allow it now.
  [[nodiscard]] Admission admit(const std::string& host, PaceClock::time_point now, const PacingRules& rules);

  // The first request of a started transfer to `host` goes out now: the
  // next one may start a delay later.
  void sent(const std::string& host, PaceClock::time_point now);

  // A started request to `host` ended; `latency` is the seconds its server
  // took to answer (negative: nothing to learn from, a request given up),
  // `error` says whether it failed (a 429 or 5xx status, a timeout, a
  // reset). `was_sent` tells whether sent() was called for it.
  void ended(const std::string& host, PaceClock::time_point now, double latency, bool error, bool was_sent,
             const PacingRules& rules);

  // No request to `host` starts before `until` (a Retry-After).
  void hold(const std::string& host, PaceClock::time_point until);

  // Callbacks told, with no lock held by their caller's thread other than
  // the pacer's own, when a host may take another request; each must only
  // post work elsewhere. The id removes it again.
  [[nodiscard]] std::size_t subscribe(std::function<void()> waker);
  void unsubscribe(std::size_t id);

 private:
  struct Host {
    std::size_t in_flight = 0;
    std::size_t unsent = 0;  // started but not yet sent (spaced rules only)
    std::optional<PaceClock::time_point> last_sent;
    PaceClock::time_point held_until{};  // Retry-After
    std::optional<double> learnt_delay;  // adaptive: absent until the host first answers
  };

  [[nodiscard]] static double delay_of(const Host& h, const PacingRules& rules) noexcept;
  void wake_all();  // with mutex_ held

  std::mutex mutex_;
  std::unordered_map<std::string, Host> hosts_;
  std::map<std::size_t, std::function<void()>> wakers_;
  std::size_t next_id_ = 0;
};

// Retries: whether an outcome may be asked again, and after how long.
struct RetryRules {
  int retries = 0;
  double backoff = 0.5;
  double max_retry_after = 60.0;

  [[nodiscard]] static RetryRules of(const FetcherOptions& options) noexcept;
};

// Statuses a server gives when it is overloaded or down for a moment.
[[nodiscard]] bool is_retryable_status(long status) noexcept;

// The seconds before retry number `attempt` (from 0): `retry_after` when the
// server gave one (absent when it is longer than the rules allow: no
// retry), else the backoff doubled per attempt, scaled by `jitter` (a
// number in [0, 1): the wait lies between half the backoff and all of it).
[[nodiscard]] std::optional<double> retry_wait(const RetryRules& rules, int attempt, std::optional<double> retry_after,
                                               double jitter) noexcept;

}  // namespace korvane::core::detail
