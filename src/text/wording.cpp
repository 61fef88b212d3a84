#include "text/wording.hpp"

#include "text/utf8.hpp"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>

namespace korvane::text {
namespace {

bool is_word_code_point(char32_t cp) noexcept {
  const auto c = static_cast<UChar32>(cp);
  if (u_hasBinaryProperty(c, UCHAR_ALPHABETIC) != 0 || u_isdigit(c) != 0) return true;
  const auto type = u_charType(c);
  return type == U_NON_SPACING_MARK || type == U_COMBINING_SPACING_MARK;
}

// Scripts written without spaces between words: Thai, and from the CJK
// radicals on (Han, kana, Hangul).
bool written_without_spaces(char32_t cp) noexcept { return (cp >= 0x0E00 && cp <= 0x0E7F) || cp >= 0x2E80; }

// The code point that ends just before byte `at` (0 at the start).
char32_t code_point_before(std::string_view s, std::size_t at) noexcept {
  if (at == 0) return 0;
  std::size_t begin = at - 1;
  while (begin > 0 && (static_cast<unsigned char>(s[begin]) & 0xC0) == 0x80) --begin;
  return next_code_point(s, begin);
}

char32_t code_point_at(std::string_view s, std::size_t at) noexcept {
  if (at >= s.size()) return 0;
  return next_code_point(s, at);
}

// Negating words, lower-cased, in the languages of the wording lists.
constexpr std::array<std::string_view, 26> kNegations{
    "not",  "no",  "non", "nicht", "kein", "keine", "pas",  "nie",  "niet",
    "geen", "ikke", "inte", "ej",  "ei",    "nem",  "ne",    "nu",   "não",
    "nao",  "ni",  "δεν", "μη",  "не",    "нет",  "немає", "değil"};

}  // namespace

std::size_t find_phrase(std::string_view text, std::string_view phrase, std::size_t from) noexcept {
  if (phrase.empty()) return std::string_view::npos;
  const bool anywhere = written_without_spaces(code_point_at(phrase, 0));
  for (std::size_t at = text.find(phrase, from); at != std::string_view::npos; at = text.find(phrase, at + 1)) {
    if (anywhere) return at;
    if (is_word_code_point(code_point_before(text, at))) continue;
    if (is_word_code_point(code_point_at(text, at + phrase.size()))) continue;
    return at;
  }
  return std::string_view::npos;
}

bool negated_before(std::string_view text, std::size_t at) noexcept {
  // The two words before `at`, split at anything that is not a word code
  // point (an apostrophe too: "n'est pas").
  std::size_t end = at;
  for (int words = 0; words < 2; ++words) {
    while (end > 0 && !is_word_code_point(code_point_before(text, end))) {
      std::size_t prev = end - 1;
      while (prev > 0 && (static_cast<unsigned char>(text[prev]) & 0xC0) == 0x80) --prev;
      end = prev;
    }
    std::size_t begin = end;
    while (begin > 0 && is_word_code_point(code_point_before(text, begin))) {
      std::size_t prev = begin - 1;
      while (prev > 0 && (static_cast<unsigned char>(text[prev]) & 0xC0) == 0x80) --prev;
      begin = prev;
    }
    if (begin == end) return false;
    const std::string_view word = text.substr(begin, end - begin);
    if (std::find(kNegations.begin(), kNegations.end(), word) != kNegations.end()) return true;
    end = begin;
  }
  return false;
}

}  // namespace korvane::text
