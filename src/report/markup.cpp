#include "report/markup.hpp"

#include "text/number.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

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

bool starts_with_ascii_nocase(std::string_view s, std::string_view prefix) noexcept {
  return s.size() >= prefix.size() && text::ascii_iequals(s.substr(0, prefix.size()), prefix);
}

}  // namespace

void append_text(std::string& out, std::string_view text) { append_escaped(out, text, text_reference); }

void append_attribute(std::string& out, std::string_view text) { append_escaped(out, text, attribute_reference); }

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

std::string format_amount(double amount) {
  const std::string fixed = text::format_fixed2(amount);
  const std::size_t point = fixed.find('.');
  const std::size_t digits_end = point == std::string::npos ? fixed.size() : point;
  const std::size_t digits_begin = !fixed.empty() && fixed.front() == '-' ? 1 : 0;
  std::string out(fixed.substr(0, digits_begin));
  for (std::size_t i = digits_begin; i < digits_end; ++i) {
    if (i > digits_begin && (digits_end - i) % 3 == 0) out.push_back(',');
    out.push_back(fixed[i]);
  }
  out.append(fixed.substr(digits_end));
  return out;
}

std::string format_coordinate(double value) {
  const double rounded = std::round(value * 10.0) / 10.0;
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, rounded == 0.0 ? 0.0 : rounded);
  return std::string(buf, res.ptr);
}

}  // namespace korvane::report::detail
