#include "text/unicode.hpp"

#include "text/utf8.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>

namespace korvane::text {
namespace {

bool is_ascii(std::string_view s) noexcept {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

constexpr char32_t CAPITAL_SIGMA = 0x03A3;

// Whether a capital sigma followed by `rest` ends its word: no cased letter
// comes next, case-ignorable characters (apostrophes, combining marks ...)
// skipped. With a cased letter before it (the caller's side of Unicode's
// Final_Sigma condition) it then lower-cases to a final sigma.
bool ends_word(std::string_view rest) noexcept {
  std::size_t pos = 0;
  while (pos < rest.size()) {
    const auto cp = static_cast<UChar32>(next_code_point(rest, pos));
    if (u_hasBinaryProperty(cp, UCHAR_CASE_IGNORABLE) != 0) continue;
    return u_hasBinaryProperty(cp, UCHAR_CASED) == 0;
  }
  return true;
}

bool is_ascii_white_space(unsigned char c) noexcept {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Length in bytes of the white-space code point at `pos`, or 0.
std::size_t white_space_at(std::string_view s, std::size_t pos) noexcept {
  const auto b = static_cast<unsigned char>(s[pos]);
  if (b < 0x80) return is_ascii_white_space(b) ? 1 : 0;
  std::size_t p = pos;
  const char32_t cp = next_code_point(s, p);
  return is_white_space(cp) ? p - pos : 0;
}

// Byte offset where the white space that ends `s` begins.
std::size_t trailing_white_space_start(std::string_view s) noexcept {
  std::size_t end = s.size();
  while (end > 0) {
    const std::size_t start = code_point_start(s, end - 1);
    if (white_space_at(s, start) == 0) break;
    end = start;
  }
  return end;
}

std::string from_icu(const icu::UnicodeString& u) {
  std::string out;
  u.toUTF8String(out);
  return out;
}

}  // namespace

bool is_white_space(char32_t cp) noexcept {
  if (cp < 0x80) return is_ascii_white_space(static_cast<unsigned char>(cp));
  return u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_WHITE_SPACE) != 0;
}

std::string_view lstrip(std::string_view s) noexcept {
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t len = white_space_at(s, pos);
    if (len == 0) break;
    pos += len;
  }
  return s.substr(pos);
}

std::string_view rstrip(std::string_view s) noexcept {
  return s.substr(0, trailing_white_space_start(s));
}

std::string_view strip(std::string_view s) noexcept { return rstrip(lstrip(s)); }

std::vector<std::string_view> split_white_space(std::string_view s) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  std::size_t word_start = std::string_view::npos;
  while (pos < s.size()) {
    const std::size_t len = white_space_at(s, pos);
    if (len > 0) {
      if (word_start != std::string_view::npos) {
        words.push_back(s.substr(word_start, pos - word_start));
        word_start = std::string_view::npos;
      }
      pos += len;
    } else {
      if (word_start == std::string_view::npos) word_start = pos;
      std::size_t p = pos;
      (void)next_code_point(s, p);
      pos = p;
    }
  }
  if (word_start != std::string_view::npos) words.push_back(s.substr(word_start));
  return words;
}

std::string collapse_white_space(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (const auto word : split_white_space(s)) {
    if (!out.empty()) out.push_back(' ');
    out.append(word);
  }
  return out;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_upper(c);
  return out;
}

std::string to_lower(std::string_view s) {
  if (is_ascii(s)) return ascii_lower(s);
  auto u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  u.toLower(icu::Locale::getRoot());
  return from_icu(u);
}

std::string to_upper(std::string_view s) {
  if (is_ascii(s)) return ascii_upper(s);
  auto u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), static_cast<int32_t>(s.size())));
  u.toUpper(icu::Locale::getRoot());
  return from_icu(u);
}

std::string letters_and_digits(std::string_view s) {
  std::string out;
  for (const char c : to_lower(s)) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) out.push_back(c);
  }
  return out;
}

std::string title_case(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  bool previous_is_cased = false;
  std::size_t pos = 0;
  while (pos < s.size()) {
    const std::size_t start = pos;
    const char32_t cp = next_code_point(s, pos);
    const std::string_view one = s.substr(start, pos - start);
    if (cp < 0x80) {
      const auto c = static_cast<char>(cp);
      const bool upper = c >= 'A' && c <= 'Z';
      const bool lower = c >= 'a' && c <= 'z';
      if (previous_is_cased && upper) {
        out.push_back(ascii_lower(c));
      } else if (!previous_is_cased && lower) {
        out.push_back(ascii_upper(c));
      } else {
        out.push_back(c);
      }
      previous_is_cased = upper || lower;
      continue;
    }
    const auto uc = static_cast<UChar32>(cp);
    if (previous_is_cased && cp == CAPITAL_SIGMA) {
      out += ends_word(s.substr(pos)) ? "\u03C2" : "\u03C3";  // final or medial small sigma
    } else if (previous_is_cased) {
      out += to_lower(one);
    } else {
      icu::UnicodeString u(uc);
      // One code point is one word: toTitle title-cases it with the full mapping.
      u.toTitle(nullptr, icu::Locale::getRoot(), U_TITLECASE_NO_BREAK_ADJUSTMENT);
      out += from_icu(u);
    }
    previous_is_cased = u_hasBinaryProperty(uc, UCHAR_CASED) != 0;
  }
  return out;
}

}  // namespace korvane::text
