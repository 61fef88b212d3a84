#include "core/pacing.hpp"

#include <algorithm>
#include <cmath>

namespace korvane::core::detail {
namespace {

PaceClock::duration seconds(double s) {
  return std::chrono::duration_cast<PaceClock::duration>(std::chrono::duration<double>(s));
}

}  // namespace

PacingRules PacingRules::of(const FetcherOptions& options) noexcept {
  return {std::max<std::size_t>(options.max_per_host, 1),
          std::isfinite(options.host_delay) ? std::max(0.0, options.host_delay) : 0.0, options.adaptive};
}

double next_adaptive_delay(double delay, double latency, bool error, double floor) noexcept {
  double next = latency > delay ? latency : (delay + latency) / 2;
  if (error) next = std::max({delay * 2, latency, MIN_DELAY_AFTER_ERROR});
  return std::clamp(next, floor, std::max(floor, MAX_ADAPTIVE_DELAY));
}

double HostPacer::delay_of(const Host& h, const PacingRules& rules) noexcept {
  return rules.adaptive ? std::max(rules.delay, h.learnt_delay.value_or(0)) : rules.delay;
}

HostPacer::Admission HostPacer::admit(const std::string& host, PaceClock::time_point now, const PacingRules& rules) {
  const std::lock_guard lock(mutex_);
  Host& h = hosts_[host];
  if (h.in_flight >= rules.max_per_host) return {};
  if (rules.spaced() && h.unsent > 0) return {};  // the previous one is not out yet
  // An adaptive pace asks a host it has not heard from one request at a time.
  if (rules.adaptive && !h.learnt_delay && h.in_flight > 0) return {};
  PaceClock::time_point earliest = h.held_until;
  if (rules.spaced() && h.last_sent) {
    const double delay = delay_of(h, rules);
    earliest = std::max(earliest, *h.last_sent + seconds(delay * (1 + SPACING_MARGIN_SHARE) + SPACING_MARGIN));
  }
  if (now < earliest) return {false, earliest};
  ++h.in_flight;
  if (rules.spaced()) ++h.unsent;
  return {true, std::nullopt};
}

void HostPacer::sent(const std::string& host, PaceClock::time_point now) {
  const std::lock_guard lock(mutex_);
  Host& h = hosts_[host];
  if (h.unsent > 0) --h.unsent;
  h.last_sent = std::max(h.last_sent.value_or(now), now);
  wake_all();
}

void HostPacer::ended(const std::string& host, PaceClock::time_point now, double latency, bool error, bool was_sent,
                      const PacingRules& rules) {
  const std::lock_guard lock(mutex_);
  Host& h = hosts_[host];
  if (h.in_flight > 0) --h.in_flight;
  if (rules.spaced() && !was_sent && h.unsent > 0) {
    // It never went out (no connection): counted as sent now, to be safe.
    --h.unsent;
    h.last_sent = std::max(h.last_sent.value_or(now), now);
  }
  if (rules.adaptive && latency >= 0) {
    h.learnt_delay = next_adaptive_delay(h.learnt_delay.value_or(0), latency, error, rules.delay);
  }
  wake_all();
}

void HostPacer::hold(const std::string& host, PaceClock::time_point until) {
  const std::lock_guard lock(mutex_);
  Host& h = hosts_[host];
  h.held_until = std::max(h.held_until, until);
}

std::size_t HostPacer::subscribe(std::function<void()> waker) {
  const std::lock_guard lock(mutex_);
  wakers_.emplace(next_id_, std::move(waker));
  return next_id_++;
}

void HostPacer::unsubscribe(std::size_t id) {
  const std::lock_guard lock(mutex_);
  wakers_.erase(id);
}

void HostPacer::wake_all() {
  for (const auto& [id, waker] : wakers_) waker();
}

RetryRules RetryRules::of(const FetcherOptions& options) noexcept {
  const auto finite = [](double v, double fallback) { return std::isfinite(v) && v >= 0 ? v : fallback; };
  return {std::max(options.retries, 0), finite(options.retry_backoff, 0.5), finite(options.max_retry_after, 60.0)};
}

bool is_retryable_status(long status) noexcept {
  return status == 429 || status == 502 || status == 503 || status == 504;
}

std::optional<double> retry_wait(const RetryRules& rules, int attempt, std::optional<double> retry_after,
                                 double jitter) noexcept {
  if (retry_after) {
    if (*retry_after > rules.max_retry_after) return std::nullopt;
    return std::max(0.0, *retry_after);
  }
  const double backoff = std::min(rules.backoff * std::ldexp(1.0, std::min(attempt, 30)), rules.max_retry_after);
  return backoff * (0.5 + 0.5 * std::clamp(jitter, 0.0, 1.0));
}

}  // namespace korvane::core::detail
