#include "text/url.hpp"

#include "text/utf8.hpp"

#include <korvane/errors.hpp>

#include <algorithm>
#include <array>

namespace korvane::text {
namespace {

// Schemes whose last path segment may carry ";" parameters ("" is a link
// without scheme).
constexpr std::array<std::string_view, 17> schemes_with_params{
    "", "ftp", "hdl", "prospero", "http", "imap", "https", "shttp", "rtsp",
    "rtsps", "rtspu", "sip", "sips", "mms", "sftp", "tel"};

bool is_alpha(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_scheme_char(char c) noexcept {
  return is_alpha(c) || is_digit(c) || c == '+' || c == '-' || c == '.';
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
  if (const auto colon = rest.find(':'); colon != std::string_view::npos && colon > 0 &&
                                         is_alpha(rest[0]) &&
                                         std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(colon),
                                                     is_scheme_char)) {
    parts.scheme.reserve(colon);
    for (const char c : rest.substr(0, colon)) {
      parts.scheme.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
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
    if (is_alpha(c) || is_digit(c) || c == '_' || c == '.' || c == '-' || c == '~') {
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
