#include "text/url.hpp"

#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <korvane/errors.hpp>

#include <algorithm>
#include <array>
#include <optional>

namespace korvane::text {
namespace {

// Schemes whose last path segment may carry ";" parameters ("" is a link
// without scheme).
constexpr std::array<std::string_view, 17> schemes_with_params{
    "", "ftp", "hdl", "prospero", "http", "imap", "https", "shttp", "rtsp",
    "rtsps", "rtspu", "sip", "sips", "mms", "sftp", "tel"};

bool is_alpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_scheme_char(char c) noexcept {
  return is_alpha(c) || is_ascii_digit(c) || c == '+' || c == '-' || c == '.';
}

bool has_scheme(std::string_view s) noexcept {
  const auto colon = s.find(':');
  if (colon == std::string_view::npos || colon == 0 || !is_alpha(s.front())) return false;
  return std::all_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(colon), is_scheme_char);
}

// The five components of a URI reference (RFC 3986, appendix B); absent
// components are distinguished from empty ones.
struct UriReference {
  std::optional<std::string_view> scheme;
  std::optional<std::string_view> authority;
  std::string_view path;
  std::optional<std::string_view> query;
  std::optional<std::string_view> fragment;
};

UriReference split_reference(std::string_view s) noexcept {
  UriReference r;
  if (has_scheme(s)) {
    const auto colon = s.find(':');
    r.scheme = s.substr(0, colon);
    s.remove_prefix(colon + 1);
  }
  if (s.starts_with("//")) {
    const auto end = s.find_first_of("/?#", 2);
    r.authority = s.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
    s.remove_prefix(end == std::string_view::npos ? s.size() : end);
  }
  const auto path_end = s.find_first_of("?#");
  r.path = s.substr(0, path_end);
  s.remove_prefix(path_end == std::string_view::npos ? s.size() : path_end);
  if (s.starts_with("?")) {
    const auto query_end = s.find('#');
    r.query = s.substr(1, query_end == std::string_view::npos ? std::string_view::npos : query_end - 1);
    s.remove_prefix(query_end == std::string_view::npos ? s.size() : query_end);
  }
  if (s.starts_with("#")) r.fragment = s.substr(1);
  return r;
}

// RFC 3986, 5.2.4: "." and ".." segments interpreted and removed.
std::string remove_dot_segments(std::string_view path) {
  std::string in(path);
  std::string out;
  const auto drop_last_segment = [&out] {
    const auto slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
  };
  while (!in.empty()) {
    if (in.starts_with("../")) {
      in.erase(0, 3);
    } else if (in.starts_with("./")) {
      in.erase(0, 2);
    } else if (in.starts_with("/./")) {
      in.erase(0, 2);
    } else if (in == "/.") {
      in = "/";
    } else if (in.starts_with("/../")) {
      in.erase(0, 3);
      drop_last_segment();
    } else if (in == "/..") {
      in = "/";
      drop_last_segment();
    } else if (in == "." || in == "..") {
      in.clear();
    } else {
      const auto next = in.find('/', 1);
      out.append(in, 0, next);
      in.erase(0, next);
    }
  }
  return out;
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

UrlParts split_url(std::string_view input) {
  // Strip leading C0 controls and spaces, remove every tab, CR and LF.
  std::size_t start = 0;
  while (start < input.size() && static_cast<unsigned char>(input[start]) <= 0x20) ++start;
  std::string url;
  url.reserve(input.size() - start);
  for (const char c : input.substr(start)) {
    if (c != '\t' && c != '\r' && c != '\n') url.push_back(c);
  }

  UrlParts parts;
  std::string_view rest = url;

  // Scheme: the text before the first ":" when it is a valid scheme name.
  if (has_scheme(rest)) {
    const auto colon = rest.find(':');
    parts.scheme.reserve(colon);
    for (const char c : rest.substr(0, colon)) {
      parts.scheme.push_back(ascii_lower(c));
    }
    rest.remove_prefix(colon + 1);
  }

  // Network location: after "//" up to the next "/", "?" or "#".
  if (rest.substr(0, 2) == "//") {
    rest.remove_prefix(2);
    const std::size_t end = std::min(rest.find_first_of("/?#"), rest.size());
    parts.netloc = std::string(rest.substr(0, end));
    rest.remove_prefix(end);
    const bool open = parts.netloc.find('[') != std::string::npos;
    const bool close = parts.netloc.find(']') != std::string::npos;
    if (open != close) throw InvalidUrlError("Invalid IPv6 URL: unbalanced bracket in network location");
  }

  if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
    parts.fragment = std::string(rest.substr(hash + 1));
    rest = rest.substr(0, hash);
  }
  if (const auto q = rest.find('?'); q != std::string_view::npos) {
    parts.query = std::string(rest.substr(q + 1));
    rest = rest.substr(0, q);
  }

  // Parameters of the last path segment.
  const bool has_params = std::find(schemes_with_params.begin(), schemes_with_params.end(),
                                    parts.scheme) != schemes_with_params.end();
  if (has_params && rest.find(';') != std::string_view::npos) {
    const auto last_slash = rest.rfind('/');
    const auto semi = last_slash == std::string_view::npos ? rest.find(';') : rest.find(';', last_slash);
    if (semi != std::string_view::npos) {
      parts.params = std::string(rest.substr(semi + 1));
      rest = rest.substr(0, semi);
    }
  }
  parts.path = std::string(rest);
  return parts;
}

std::string unsplit_url(const UrlParts& parts) {
  std::string url = parts.path;
  if (!parts.params.empty()) {
    url += ';';
    url += parts.params;
  }
  if (!parts.netloc.empty()) {
    if (!url.empty() && url.front() != '/') url.insert(url.begin(), '/');
    url = "//" + parts.netloc + url;
  }
  if (!parts.scheme.empty()) url = parts.scheme + ":" + url;
  if (!parts.query.empty()) {
    url += '?';
    url += parts.query;
  }
  if (!parts.fragment.empty()) {
    url += '#';
    url += parts.fragment;
  }
  return url;
}

std::string resolve_reference(std::string_view base, std::string_view reference) {
  if (has_scheme(reference)) return std::string(reference);
  const UriReference b = split_reference(base);
  if (!b.scheme) return std::string(reference);
  const UriReference r = split_reference(reference);
  // RFC 3986, 5.2.2, for a reference without a scheme.
  std::optional<std::string_view> authority = b.authority;
  std::string path;
  std::optional<std::string_view> query = r.query;
  if (r.authority) {
    authority = r.authority;
    path = remove_dot_segments(r.path);
  } else if (r.path.empty()) {
    path = std::string(b.path);
    if (!r.query) query = b.query;
  } else if (r.path.starts_with("/")) {
    path = remove_dot_segments(r.path);
  } else {
    // 5.2.3: merge with the base path.
    std::string merged;
    if (b.authority && b.path.empty()) {
      merged = "/";
    } else {
      const auto slash = b.path.rfind('/');
      if (slash != std::string_view::npos) merged = std::string(b.path.substr(0, slash + 1));
    }
    merged += r.path;
    path = remove_dot_segments(merged);
  }
  std::string out;
  for (const char c : *b.scheme) out.push_back(ascii_lower(c));
  out.push_back(':');
  if (authority) out.append("//").append(*authority);
  out += path;
  if (query) out.append("?").append(*query);
  if (r.fragment) out.append("#").append(*r.fragment);
  return out;
}

bool is_web_url(std::string_view url) noexcept {
  const UriReference r = split_reference(url);
  if (!r.scheme || !r.authority || r.authority->empty()) return false;
  return ascii_iequals(*r.scheme, "http") || ascii_iequals(*r.scheme, "https");
}

std::string link_domain(std::string_view url, WwwRemoval www) { return link_domain(split_url(url), www); }

std::string link_domain(const UrlParts& parts, WwwRemoval www) {
  std::string domain = to_lower(parts.netloc);
  if (www == WwwRemoval::leading_once) {
    if (domain.starts_with("www.")) domain.erase(0, 4);
    return domain;
  }
  // Left to right, each hit searched for after the previous one.
  for (auto pos = domain.find("www."); pos != std::string::npos; pos = domain.find("www.", pos)) {
    domain.erase(pos, 4);
  }
  return domain;
}

std::string percent_decode(std::string_view s) {
  if (s.find('%') == std::string_view::npos) return std::string(s);
  std::string bytes;
  bytes.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size()) {
      const int hi = hex_value(s[i + 1]);
      const int lo = hex_value(s[i + 2]);
      if (hi >= 0 && lo >= 0) {
        bytes.push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
        continue;
      }
    }
    bytes.push_back(s[i]);
  }
  return is_valid_utf8(bytes) ? bytes : sanitize_utf8(bytes);
}

QueryMap parse_query(std::string_view query) {
  QueryMap map;
  while (!query.empty()) {
    const auto amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
    const auto eq = piece.find('=');
    if (piece.empty() || eq == std::string_view::npos || eq + 1 == piece.size()) continue;
    std::string name(piece.substr(0, eq));
    std::string value(piece.substr(eq + 1));
    std::replace(name.begin(), name.end(), '+', ' ');
    std::replace(value.begin(), value.end(), '+', ' ');
    name = percent_decode(name);
    value = percent_decode(value);
    auto it = std::find_if(map.begin(), map.end(), [&](const auto& e) { return e.first == name; });
    if (it == map.end()) {
      map.emplace_back(std::move(name), std::vector<std::string>{std::move(value)});
    } else {
      it->second.push_back(std::move(value));
    }
  }
  return map;
}

std::string form_encode(std::string_view s) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (is_alpha(c) || is_ascii_digit(c) || c == '_' || c == '.' || c == '-' || c == '~') {
      out.push_back(c);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(hex[u >> 4]);
      out.push_back(hex[u & 0xF]);
    }
  }
  return out;
}

std::string encode_query(const std::vector<std::pair<std::string, std::string>>& pairs) {
  std::string out;
  for (const auto& [name, value] : pairs) {
    if (!out.empty()) out.push_back('&');
    out += form_encode(name);
    out.push_back('=');
    out += form_encode(value);
  }
  return out;
}

}  // namespace korvane::text
