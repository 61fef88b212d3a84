#include "core/policy.hpp"

#include "core/charset.hpp"
#include "text/unicode.hpp"
#include "text/url.hpp"

#include <korvane/errors.hpp>

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace korvane::core::detail {
namespace {

using text::ascii_lower;

bool istarts_with(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && text::ascii_iequals(s.substr(0, prefix.size()), prefix);
}

// An IPv4 address as a number, and whether it lies in prefix/bits.
bool in_v4(std::uint32_t a, std::uint32_t prefix, unsigned bits) noexcept {
  const std::uint32_t mask = bits == 0 ? 0U : ~std::uint32_t{0} << (32U - bits);
  return (a & mask) == (prefix & mask);
}

constexpr std::uint32_t v4(unsigned a, unsigned b, unsigned c, unsigned d) noexcept {
  return (a << 24U) | (b << 16U) | (c << 8U) | d;
}

AddressKind classify_v4(std::uint32_t a) noexcept {
  if (in_v4(a, v4(0, 0, 0, 0), 8)) return AddressKind::UNSPECIFIED;
  if (in_v4(a, v4(127, 0, 0, 0), 8)) return AddressKind::LOOPBACK;
  if (in_v4(a, v4(10, 0, 0, 0), 8) || in_v4(a, v4(172, 16, 0, 0), 12) ||
      in_v4(a, v4(192, 168, 0, 0), 16) || in_v4(a, v4(100, 64, 0, 0), 10)) {
    return AddressKind::PRIVATE;
  }
  if (in_v4(a, v4(169, 254, 0, 0), 16)) return AddressKind::LINK_LOCAL;
  if (a == v4(255, 255, 255, 255)) return AddressKind::BROADCAST;
  if (in_v4(a, v4(224, 0, 0, 0), 4)) return AddressKind::MULTICAST;
  if (in_v4(a, v4(240, 0, 0, 0), 4) || in_v4(a, v4(192, 0, 0, 0), 24) ||
      in_v4(a, v4(192, 0, 2, 0), 24) || in_v4(a, v4(198, 51, 100, 0), 24) ||
      in_v4(a, v4(203, 0, 113, 0), 24) || in_v4(a, v4(198, 18, 0, 0), 15) ||
      in_v4(a, v4(192, 88, 99, 0), 24)) {
    return AddressKind::RESERVED;
  }
  return AddressKind::PUBLIC;
}

std::uint32_t v4_at(const std::array<unsigned char, 16>& b, std::size_t i) noexcept {
  return (std::uint32_t{b[i]} << 24U) | (std::uint32_t{b[i + 1]} << 16U) |
         (std::uint32_t{b[i + 2]} << 8U) | std::uint32_t{b[i + 3]};
}

AddressKind classify_v6(const boost::asio::ip::address_v6& address) noexcept {
  const auto b = address.to_bytes();
  const auto zero_until = [&b](std::size_t n) {
    return std::all_of(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n),
                       [](unsigned char x) { return x == 0; });
  };
  if (zero_until(15)) {
    if (b[15] == 0) return AddressKind::UNSPECIFIED;
    if (b[15] == 1) return AddressKind::LOOPBACK;
  }
  if (zero_until(10) && b[10] == 0xFF && b[11] == 0xFF) return classify_v4(v4_at(b, 12));  // mapped
  if (zero_until(12)) return classify_v4(v4_at(b, 12));                                   // compatible
  if (b[0] == 0x00 && b[1] == 0x64 && b[2] == 0xFF && b[3] == 0x9B) {
    if (std::all_of(b.begin() + 4, b.begin() + 12, [](unsigned char x) { return x == 0; })) {
      return classify_v4(v4_at(b, 12));  // NAT64 well-known prefix
    }
    if (b[4] == 0x00 && b[5] == 0x01) return AddressKind::PRIVATE;  // local-use NAT64
  }
  if (b[0] == 0x20 && b[1] == 0x02) return classify_v4(v4_at(b, 2));  // 6to4
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x00 && b[3] == 0x00) {
    return classify_v4(~v4_at(b, 12));  // Teredo: the client address, inverted
  }
  if (b[0] == 0xFF) return AddressKind::MULTICAST;
  if ((b[0] & 0xFEU) == 0xFC) return AddressKind::PRIVATE;                     // fc00::/7
  if (b[0] == 0xFE && (b[1] & 0xC0U) == 0x80) return AddressKind::LINK_LOCAL;  // fe80::/10
  if (b[0] == 0xFE && (b[1] & 0xC0U) == 0xC0) return AddressKind::PRIVATE;     // fec0::/10
  if (b[0] == 0x20 && b[1] == 0x01 && b[2] == 0x0D && b[3] == 0xB8) return AddressKind::RESERVED;
  if (b[0] == 0x01 && std::all_of(b.begin() + 1, b.begin() + 8, [](unsigned char x) { return x == 0; })) {
    return AddressKind::RESERVED;  // 100::/64, discard only
  }
  return AddressKind::PUBLIC;
}

// The host of a network location: without user information, port and
// brackets, lower-cased.
std::string host_of(std::string_view netloc) {
  if (const auto at = netloc.rfind('@'); at != std::string_view::npos) netloc.remove_prefix(at + 1);
  if (!netloc.empty() && netloc.front() == '[') {
    const auto close = netloc.find(']');
    return ascii_lower(netloc.substr(1, close == std::string_view::npos ? std::string_view::npos
                                                                        : close - 1));
  }
  return ascii_lower(netloc.substr(0, netloc.find(':')));
}

bool must_escape(unsigned char c) noexcept {
  if (c <= 0x20 || c >= 0x7F) return true;
  constexpr std::string_view never_in_urls = "\"<>\\^`{|}";
  return never_in_urls.find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

AddressKind classify_address(const boost::asio::ip::address& address) noexcept {
  if (address.is_v4()) return classify_v4(address.to_v4().to_uint());
  return classify_v6(address.to_v6());
}

bool address_allowed(AddressKind kind, bool allow_private) noexcept {
  switch (kind) {
    case AddressKind::PUBLIC: return true;
    case AddressKind::LOOPBACK:
    case AddressKind::PRIVATE:
    case AddressKind::LINK_LOCAL:
    case AddressKind::RESERVED: return allow_private;
    case AddressKind::MULTICAST:
    case AddressKind::BROADCAST:
    case AddressKind::UNSPECIFIED: return false;
  }
  return false;
}

std::optional<FetchMiss> link_problem(std::string_view link) {
  text::UrlParts parts;
  try {
    parts = text::split_url(link);
  } catch (const InvalidUrlError&) {
    return FetchMiss{FetchFailure::malformed_link, "malformed link (unbalanced brackets)"};
  }
  if (parts.scheme.empty()) return FetchMiss{FetchFailure::malformed_link, "malformed link (no scheme)"};
  if (parts.scheme != "http" && parts.scheme != "https") {
    return FetchMiss{FetchFailure::unsupported_scheme, "unsupported scheme (" + parts.scheme + ")"};
  }
  if (host_of(parts.netloc).empty()) return FetchMiss{FetchFailure::malformed_link, "malformed link (no host)"};
  return std::nullopt;
}

std::string request_url(std::string_view link) {
  while (!link.empty() && static_cast<unsigned char>(link.front()) <= 0x20) link.remove_prefix(1);
  while (!link.empty() && static_cast<unsigned char>(link.back()) <= 0x20) link.remove_suffix(1);
  std::string url;
  url.reserve(link.size());
  for (const char c : link) {
    if (c == '#') break;
    if (c != '\t' && c != '\r' && c != '\n') url.push_back(c);
  }
  const std::size_t scheme_end = url.find("://");
  if (scheme_end == std::string::npos) return url;
  const std::size_t path = std::min(url.find_first_of("/?", scheme_end + 3), url.size());
  std::string out = url.substr(0, path);
  constexpr std::string_view hex = "0123456789ABCDEF";
  for (const char c : std::string_view(url).substr(path)) {
    const auto byte = static_cast<unsigned char>(c);
    if (must_escape(byte)) {
      out.push_back('%');
      out.push_back(hex[byte >> 4U]);
      out.push_back(hex[byte & 0x0FU]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string link_host(std::string_view link) {
  try {
    return host_of(text::split_url(link).netloc);
  } catch (const InvalidUrlError&) {
    return {};
  }
}

std::string media_type(std::string_view content_type) {
  std::string_view essence = content_type.substr(0, content_type.find(';'));
  while (!essence.empty() && text::is_html_space(essence.front())) essence.remove_prefix(1);
  while (!essence.empty() && text::is_html_space(essence.back())) essence.remove_suffix(1);
  const auto slash = essence.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == essence.size()) return {};
  return ascii_lower(essence);
}

bool is_html_media_type(std::string_view media) noexcept {
  return media == "text/html" || media == "application/xhtml+xml" ||
         media == "application/vnd.wap.xhtml+xml";
}

bool looks_like_html(std::string_view body) noexcept {
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  while (!body.empty() && text::is_html_space(body.front())) body.remove_prefix(1);
  if (istarts_with(body, "<!--")) return true;
  // Signatures of the MIME sniffing standard, plus <meta> and <link> that
  // open many head-only documents; each followed by a space or ">".
  constexpr std::array<std::string_view, 18> signatures{
      "<!doctype html", "<html", "<head", "<script", "<iframe", "<h1",   "<div",
      "<font",          "<table", "<a",   "<style",  "<title",  "<b",    "<body",
      "<br",            "<p",    "<meta", "<link"};
  for (const std::string_view signature : signatures) {
    if (istarts_with(body, signature) && body.size() > signature.size() &&
        (text::is_html_space(body[signature.size()]) || body[signature.size()] == '>')) {
      return true;
    }
  }
  // A document opening with an XML declaration, a doctype of another form or
  // a comment block before its <html> element.
  const std::string_view head = body.substr(0, 1024);
  for (std::size_t at = head.find('<'); at != std::string_view::npos; at = head.find('<', at + 1)) {
    const std::string_view rest = head.substr(at);
    if (istarts_with(rest, "<html") && rest.size() > 5 && (text::is_html_space(rest[5]) || rest[5] == '>')) {
      return true;
    }
  }
  return false;
}

std::optional<FetchMiss> header_problem(long status, std::string_view content_type) {
  if (status < 200 || status > 299) return FetchMiss{FetchFailure::http_status, "status " + std::to_string(status)};
  const std::string media = media_type(content_type);
  if (!media.empty() && !is_html_media_type(media)) {
    return FetchMiss{FetchFailure::not_html, "not HTML (" + media + ")"};
  }
  return std::nullopt;
}

PageOutcome page_from_response(RawResponse response, const FetcherOptions& options) {
  if (auto problem = header_problem(response.status, response.content_type)) {
    return {std::nullopt, std::move(*problem)};
  }
  if (response.body.empty()) return {std::nullopt, {FetchFailure::empty_response, "empty page"}};
  if (response.body.size() > options.max_decoded_bytes) {
    return {std::nullopt, {FetchFailure::too_large, "too large when decoded"}};
  }
  if (media_type(response.content_type).empty() && !looks_like_html(response.body)) {
    return {std::nullopt, {FetchFailure::not_html, "not HTML (no content type)"}};
  }
  return {decode_page(std::move(response.body), response.content_type), {}};
}

}  // namespace korvane::core::detail
