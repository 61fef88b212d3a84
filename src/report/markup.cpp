#include "report/markup.hpp"

#include <korvane/commerce/unwrapper.hpp>

#include "text/number.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korvane::report::detail {

namespace {

bool is_control(unsigned char c) noexcept {
  return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
}

// Appends valid UTF-8 `text`, replacing what `replacement` maps to a
// non-empty text (one ASCII byte at a time).
template <class Replacement>
void append_escaped(std::string& out, std::string_view text, Replacement replacement) {
  std::string storage;
  const std::string_view valid = text::as_valid_utf8(text, storage);
  out.reserve(out.size() + valid.size());
  std::size_t clean_from = 0;
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const std::string_view with = replacement(static_cast<unsigned char>(valid[i]));
    if (with.empty()) continue;
    out.append(valid.substr(clean_from, i - clean_from));
    out.append(with);
    clean_from = i + 1;
  }
  out.append(valid.substr(clean_from));
}

std::string_view text_reference(unsigned char c) noexcept {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return is_control(c) ? text::replacement_character : std::string_view();
  }
}

std::string_view attribute_reference(unsigned char c) noexcept {
  switch (c) {
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return text_reference(c);
  }
}

std::string_view json_escape(unsigned char c) noexcept {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case '<': return "\\u003c";
    case '>': return "\\u003e";
    case '&': return "\\u0026";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    default: return is_control(c) ? text::replacement_character : std::string_view();
  }
}

bool starts_with_ascii_nocase(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && text::ascii_iequals(s.substr(0, prefix.size()), prefix);
}

}  // namespace

void append_text(std::string& out, std::string_view text) { append_escaped(out, text, text_reference); }

void append_attribute(std::string& out, std::string_view text) { append_escaped(out, text, attribute_reference); }

void append_json_string(std::string& out, std::string_view text) {
  out.push_back('"');
  append_escaped(out, text, json_escape);
  out.push_back('"');
}

std::optional<std::string_view> web_link(std::string_view url) {
  // Browsers strip leading and trailing C0 controls and spaces before they
  // read the scheme (and drop tabs and line breaks anywhere, which cannot
  // turn a text that starts with "http:" into another scheme).
  const auto droppable = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!url.empty() && droppable(url.front())) url.remove_prefix(1);
  while (!url.empty() && droppable(url.back())) url.remove_suffix(1);
  if (starts_with_ascii_nocase(url, "http:") || starts_with_ascii_nocase(url, "https:")) return url;
  return std::nullopt;
}

bool has_price(const models::EnrichedCommerceMatch& item) noexcept {
  return item.price && std::isfinite(item.price->amount);
}

std::vector<std::string_view> image_sources(const models::EnrichedCommerceMatch& item) {
  std::vector<std::string_view> sources;
  for (const auto* candidate : {&item.primary_image_url, &item.thumbnail}) {
    if (!*candidate) continue;
    const auto link = web_link(**candidate);
    if (link && std::find(sources.begin(), sources.end(), *link) == sources.end()) sources.push_back(*link);
  }
  return sources;
}

std::string link_text(std::string_view link) {
  std::string host;
  try {
    host = commerce::URLUnwrapper::extract_domain(link);
  } catch (const InvalidUrlError&) {
  }
  return host.empty() ? std::string(link) : host;
}

namespace {

// Appends the digits `digits` with a comma before every group of three from
// the right: "1299" gives "1,299".
void append_grouped(std::string& out, std::string_view digits) {
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
}

}  // namespace

std::string format_amount(double amount) {
  const std::string fixed = text::format_fixed2(amount);
  const std::string_view text = fixed;
  const std::size_t digits_begin = text.starts_with('-') ? 1 : 0;
  const std::size_t digits_end = std::min(text.find('.'), text.size());
  std::string out(text.substr(0, digits_begin));
  append_grouped(out, text.substr(digits_begin, digits_end - digits_begin));
  out.append(text.substr(digits_end));
  return out;
}

std::string format_count(std::size_t n) {
  std::string out;
  append_grouped(out, std::to_string(n));
  return out;
}

std::string format_coordinate(double value) {
  const double rounded = std::round(value * 10.0) / 10.0;
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, rounded == 0.0 ? 0.0 : rounded);
  return std::string(buf, res.ptr);
}

}  // namespace korvane::report::detail
