#include "core/freshness.hpp"

#include "core/policy.hpp"
#include "text/unicode.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <string>

namespace korvane::core::detail {
namespace {

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A delta-seconds value ("3600"); absent when it is none. Values past what a
// double holds exactly are as good as forever.
std::optional<double> seconds(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  unsigned long long n = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
  if (end != text.data() + text.size()) return std::nullopt;
  if (error == std::errc::result_out_of_range) return 1e15;
  if (error != std::errc()) return std::nullopt;
  return static_cast<double>(n);
}

}  // namespace

std::optional<std::string_view> cache_directive(std::string_view value, std::string_view name) {
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    std::string_view item = trim(value.substr(0, comma));
    value = comma == std::string_view::npos ? std::string_view() : value.substr(comma + 1);
    const std::size_t equals = item.find('=');
    if (!text::ascii_iequals(trim(item.substr(0, equals)), name)) continue;
    if (equals == std::string_view::npos) return std::string_view();
    std::string_view argument = trim(item.substr(equals + 1));
    if (argument.size() >= 2 && argument.front() == '"' && argument.back() == '"') {
      argument = argument.substr(1, argument.size() - 2);
    }
    return argument;
  }
  return std::nullopt;
}

std::optional<double> http_date(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  const time_t t = curl_getdate(std::string(text).c_str(), nullptr);
  if (t == -1) return std::nullopt;
  return static_cast<double>(t);
}

Freshness freshness_of(const RawResponse& response, double max_age) {
  Freshness f;
  const CacheHeaders& h = response.cache_headers;
  if (response.status != 200 || header_problem(response.status, response.content_type)) return f;
  if (cache_directive(h.cache_control, "no-store") || cache_directive(h.cache_control, "private")) return f;
  if (trim(h.vary) == "*") return f;
  f.storable = true;
  f.age = seconds(h.age).value_or(0);

  const bool no_cache = cache_directive(h.cache_control, "no-cache").has_value() ||
                        (h.cache_control.empty() && cache_directive(h.pragma, "no-cache").has_value());
  if (no_cache) return f;  // kept, but confirmed before every use
  std::optional<double> lifetime;
  if (const auto shared = cache_directive(h.cache_control, "s-maxage")) lifetime = seconds(*shared);
  if (!lifetime) {
    if (const auto own = cache_directive(h.cache_control, "max-age")) lifetime = seconds(*own).value_or(0);
  }
  if (!lifetime && !h.expires.empty()) {
    // An Expires that is no date means already expired (RFC 9111, 5.3).
    const auto expires = http_date(h.expires);
    const auto date = http_date(h.date);
    lifetime = expires && date ? std::max(0.0, *expires - *date) : 0.0;
  }
  f.lifetime = std::min(lifetime.value_or(max_age), max_age);
  return f;
}

CacheHeaders merge_headers(CacheHeaders stored, const CacheHeaders& confirmed) {
  const auto take = [](std::string& kept, const std::string& fresh) {
    if (!fresh.empty()) kept = fresh;
  };
  take(stored.cache_control, confirmed.cache_control);
  take(stored.expires, confirmed.expires);
  take(stored.date, confirmed.date);
  stored.age = confirmed.age;  // the answer's own age, not the stored one's
  take(stored.etag, confirmed.etag);
  take(stored.last_modified, confirmed.last_modified);
  take(stored.vary, confirmed.vary);
  take(stored.pragma, confirmed.pragma);
  return stored;
}

}  // namespace korvane::core::detail
