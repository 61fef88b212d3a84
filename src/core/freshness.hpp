// How long a response may be kept, by its caching headers (HTTP caching,
// RFC 9111, as a cache shared by the processes of a machine).
#pragma once

#include <korvane/core/fetch.hpp>

#include <optional>
#include <string_view>

namespace korvane::core::detail {

// What the headers of a response allow a cache to do with it.
struct Freshness {
  bool storable = false;  // may be kept at all
  double lifetime = 0;    // seconds it stays fresh from its generation (0: revalidate on every use)
  double age = 0;         // seconds it had aged when it was received (its Age header)
};

// The freshness of `response`: storable when its status is 200, its type is
// HTML and it is neither `no-store`, `private` nor `Vary: *`. Its lifetime is
// s-maxage, else max-age, else Expires less Date, capped at `max_age`; a
// response that says nothing lives `max_age`; `no-cache` (also as Pragma)
// lives 0.
[[nodiscard]] Freshness freshness_of(const RawResponse& response, double max_age);

// Whether the Cache-Control value `value` holds directive `name` (case
// ignored), and its argument ("" when it has none).
[[nodiscard]] std::optional<std::string_view> cache_directive(std::string_view value, std::string_view name);

// An HTTP date (IMF-fixdate, RFC 850 or asctime form) in seconds since the
// Unix epoch; absent when `text` is none.
[[nodiscard]] std::optional<double> http_date(std::string_view text);

// `stored` merged with the headers of a 304 answer that confirmed it: every
// header the answer carries replaces the stored one.
[[nodiscard]] CacheHeaders merge_headers(CacheHeaders stored, const CacheHeaders& confirmed);

}  // namespace korvane::core::detail
