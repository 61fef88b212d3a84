// URL splitting and recomposition, reference resolution, query parsing and
// form encoding, in the lenient way real links need (spaces, unicode and odd
// characters pass).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvane::text {

// The six components of a URL.
struct UrlParts {
  std::string scheme;    // lower-cased; empty when there is none
  std::string netloc;    // as written, after "//"
  std::string path;
  std::string params;    // after the first ";" of the last path segment
  std::string query;     // between "?" and "#", without them
  std::string fragment;  // after "#"
  friend bool operator==(const UrlParts&, const UrlParts&) = default;
};

// Splits `url` (see the unwrapper for the exact rules). Leading C0 controls
// and spaces are stripped and every tab, CR and LF removed first. Throws
// korvane::InvalidUrlError when the network location holds "[" without "]"
// or the reverse.
[[nodiscard]] UrlParts split_url(std::string_view url);

// Recomposes components: path + ";" params (when non-empty); "//" netloc in
// front when netloc is non-empty (a non-empty path then starts with "/");
// scheme ":" in front when non-empty; "?" query and "#" fragment when
// non-empty.
[[nodiscard]] std::string unsplit_url(const UrlParts& parts);

// `reference` resolved against the page at `base` as a browser does (RFC
// 3986, section 5.2): "/p/1", "p/1", "../p/1", "//host/p/1", "?q" and "#f"
// become absolute links on the base's scheme (lower-cased) and network
// location (as written); "." and ".." segments are removed; everything else
// is kept as written. A reference with a scheme, and any reference when
// `base` has no scheme, comes back unchanged.
[[nodiscard]] std::string resolve_reference(std::string_view base, std::string_view reference);

// True when `url` starts with the scheme "http" or "https" (in any case)
// followed by "://" and a non-empty network location: a link a browser opens
// as a web page. False for relative links and for every other scheme
// ("javascript:", "data:", "file:", "mailto:" ...).
[[nodiscard]] bool is_web_url(std::string_view url) noexcept;

// Which "www." a link's domain loses.
enum class WwwRemoval {
  leading_once,  // one leading "www." (the unwrapper's extract_domain)
  every,         // every "www.", wherever it stands (the metadata parser, the store crawl)
};

// The network location of `url` (valid UTF-8), lower-cased (full Unicode
// lower-casing) and without "www." as `www` says; a port and user
// information stay. Empty when the link has no network location. Throws
// korvane::InvalidUrlError when `url` cannot be split.
// link_domain("https://WWW.Shop.example:8080/p", WwwRemoval::leading_once)
// == "shop.example:8080".
[[nodiscard]] std::string link_domain(std::string_view url, WwwRemoval www);
// The same for a link already split.
[[nodiscard]] std::string link_domain(const UrlParts& parts, WwwRemoval www);

// A parsed query: names in order of first appearance, each with its values.
using QueryMap = std::vector<std::pair<std::string, std::vector<std::string>>>;

// Splits `query` on "&"; drops empty pieces, pieces without "=" and pieces
// with an empty value; "+" becomes a space, then percent-escapes are decoded
// as UTF-8 (invalid bytes become U+FFFD, malformed escapes stay as written).
[[nodiscard]] QueryMap parse_query(std::string_view query);

// Decodes percent-escapes as UTF-8, invalid bytes becoming U+FFFD; malformed
// escapes are kept as they stand.
[[nodiscard]] std::string percent_decode(std::string_view s);

// Form-encodes one name or value: letters, digits and "_.-~" unchanged, a
// space as "+", every other byte as "%XX" (upper-case hex digits).
[[nodiscard]] std::string form_encode(std::string_view s);

// name=value pairs joined by "&", each side form-encoded.
[[nodiscard]] std::string encode_query(const std::vector<std::pair<std::string, std::string>>& pairs);

}  // namespace korvane::text
