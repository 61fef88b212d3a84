#include "commerce/metadata/regex.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace korvane::commerce::detail {
namespace {

bool is_ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

char ascii_lower_char(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Nesting of backtracking frames the interpreter may use. The patterns here
// nest a few groups at most; the bound only matters when the JIT is missing.
constexpr std::uint32_t kDepthLimit = 10'000;

// Backtracking steps allowed per search: a fixed floor plus a multiple of the
// bytes the search may look at. The scanning code only hands the matcher
// windows in which every pattern runs in linear time, so the limit is a guard
// against a mistake there, never the thing that decides a match.
std::uint32_t match_limit_for(std::size_t window) noexcept {
  constexpr std::size_t floor = 1'000'000;
  constexpr std::size_t per_byte = 64;
  const std::size_t max = std::numeric_limits<std::uint32_t>::max();
  if (window > (max - floor) / per_byte) return static_cast<std::uint32_t>(max);
  return static_cast<std::uint32_t>(floor + per_byte * window);
}

}  // namespace

std::string ascii_caseless(std::string_view pattern) {
  std::string out;
  out.reserve(pattern.size() * 3);
  std::size_t i = 0;
  const std::size_t n = pattern.size();
  // Copies an escape sequence starting at the backslash at `i`.
  const auto copy_escape = [&] {
    out.push_back(pattern[i++]);
    if (i >= n) return;
    const char c = pattern[i++];
    out.push_back(c);
    if ((c == 'x' || c == 'p' || c == 'P' || c == 'o') && i < n && pattern[i] == '{') {
      while (i < n && pattern[i] != '}') out.push_back(pattern[i++]);
      if (i < n) out.push_back(pattern[i++]);
    }
  };
  while (i < n) {
    const char c = pattern[i];
    if (c == '\\') {
      copy_escape();
    } else if (c == '[') {
      // A bracket expression: a "]" right after "[" or "[^" is a member.
      out.push_back(pattern[i++]);
      if (i < n && pattern[i] == '^') out.push_back(pattern[i++]);
      if (i < n && pattern[i] == ']') out.push_back(pattern[i++]);
      while (i < n && pattern[i] != ']') {
        if (pattern[i] == '\\') {
          copy_escape();
        } else {
          out.push_back(pattern[i++]);
        }
      }
      if (i < n) out.push_back(pattern[i++]);
    } else if (is_ascii_letter(c)) {
      const char lower = ascii_lower_char(c);
      out.push_back('[');
      out.push_back(lower);
      out.push_back(static_cast<char>(lower - 'a' + 'A'));
      out.push_back(']');
      ++i;
    } else if (c == '(' && i + 1 < n && pattern[i + 1] == '?') {
      // Group syntax such as "(?:", "(?<!" and "(?=" holds no letters to fold.
      out.push_back(pattern[i++]);
      out.push_back(pattern[i++]);
    } else {
      out.push_back(pattern[i++]);
    }
  }
  return out;
}

// ---------------------------------------------------------------- Regex

struct Regex::Code {
  pcre2_code* code = nullptr;
  bool jit = false;
  ~Code() { pcre2_code_free(code); }
};

Regex::Regex(std::string_view pattern, RegexFlags flags) : code_(std::make_unique<Code>()) {
  const std::string source =
      has_flag(flags, RegexFlags::ascii_caseless) ? ascii_caseless(pattern) : std::string(pattern);
  std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_NEVER_BACKSLASH_C;
  if (has_flag(flags, RegexFlags::dotall)) options |= PCRE2_DOTALL;
  if (has_flag(flags, RegexFlags::anchored)) options |= PCRE2_ANCHORED;
  int error = 0;
  PCRE2_SIZE offset = 0;
  code_->code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), options,
                              &error, &offset, nullptr);
  if (code_->code == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    throw std::logic_error("pattern does not compile at offset " + std::to_string(offset) + ": " +
                           reinterpret_cast<const char*>(message));
  }
  // Without a JIT (unsupported platform, no executable memory) the
  // interpreter runs the same pattern.
  code_->jit = pcre2_jit_compile(code_->code, PCRE2_JIT_COMPLETE) == 0;
  std::uint32_t captures = 0;
  pcre2_pattern_info(code_->code, PCRE2_INFO_CAPTURECOUNT, &captures);
  groups_ = captures;
}

Regex::~Regex() = default;

struct RegexMatch::Data {
  pcre2_match_data* match = nullptr;
  pcre2_match_context* context = nullptr;
  ~Data() {
    pcre2_match_data_free(match);
    pcre2_match_context_free(context);
  }
};

RegexMatch::RegexMatch(const Regex& re) : data_(std::make_unique<Data>()) {
  data_->match = pcre2_match_data_create_from_pattern(re.code_->code, nullptr);
  data_->context = pcre2_match_context_create(nullptr);
  if (data_->match == nullptr || data_->context == nullptr) throw std::bad_alloc();
  pcre2_set_depth_limit(data_->context, kDepthLimit);
}

RegexMatch::~RegexMatch() = default;

std::size_t RegexMatch::begin(std::uint32_t n) const noexcept {
  if (n >= pcre2_get_ovector_count(data_->match)) return std::string_view::npos;
  const PCRE2_SIZE v = pcre2_get_ovector_pointer(data_->match)[2 * n];
  return v == PCRE2_UNSET ? std::string_view::npos : v;
}

std::size_t RegexMatch::end(std::uint32_t n) const noexcept {
  if (n >= pcre2_get_ovector_count(data_->match)) return std::string_view::npos;
  const PCRE2_SIZE v = pcre2_get_ovector_pointer(data_->match)[2 * n + 1];
  return v == PCRE2_UNSET ? std::string_view::npos : v;
}

std::string_view RegexMatch::group(std::string_view subject, std::uint32_t n) const noexcept {
  const std::size_t b = begin(n);
  const std::size_t e = end(n);
  if (b == std::string_view::npos || e == std::string_view::npos || e < b || e > subject.size()) {
    return {};
  }
  return subject.substr(b, e - b);
}

bool Regex::search(std::string_view subject, std::size_t start, RegexMatch& m) const {
  if (start > subject.size()) return false;
  pcre2_set_match_limit(m.data_->context, match_limit_for(subject.size() - start));
  // The text was validated (or repaired) once when it entered the library.
  const int rc = pcre2_match(code_->code, reinterpret_cast<PCRE2_SPTR>(subject.data()),
                             subject.size(), start, PCRE2_NO_UTF_CHECK, m.data_->match,
                             m.data_->context);
  return rc > 0;
}

// ---------------------------------------------------------------- literal scanning

bool starts_with_icase(std::string_view hay, std::size_t pos, std::string_view needle) noexcept {
  if (pos > hay.size() || hay.size() - pos < needle.size()) return false;
  const char* h = hay.data() + pos;
  for (std::size_t k = 0; k < needle.size(); ++k) {
    const char c = needle[k];
    const char x = h[k];
    if (c >= 'a' && c <= 'z') {
      if (static_cast<char>(x | 0x20) != c) return false;
    } else if (x != c) {
      return false;
    }
  }
  return true;
}

std::size_t find_icase(std::string_view hay, std::string_view needle, std::size_t from) noexcept {
  constexpr std::size_t npos = std::string_view::npos;
  if (needle.empty()) return from <= hay.size() ? from : npos;
  if (from > hay.size() || hay.size() - from < needle.size()) return npos;
  // Anchor the scan on a byte that has one form only (not a letter) when the
  // needle has one, so memchr does the walking.
  std::size_t anchor = 0;
  while (anchor < needle.size() && is_ascii_letter(needle[anchor])) ++anchor;
  const char* const base = hay.data();
  const std::size_t last_start = hay.size() - needle.size();
  if (anchor < needle.size()) {
    const char a = needle[anchor];
    std::size_t pos = from + anchor;
    while (pos <= last_start + anchor) {
      const void* hit = std::memchr(base + pos, a, last_start + anchor + 1 - pos);
      if (hit == nullptr) return npos;
      const auto at = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
      if (starts_with_icase(hay, at - anchor, needle)) return at - anchor;
      pos = at + 1;
    }
    return npos;
  }
  // All letters: walk both cases of the first letter.
  const char lower = needle[0];
  const char upper = static_cast<char>(lower - 'a' + 'A');
  std::size_t next_lower = from;
  std::size_t next_upper = from;
  const auto next_of = [&](char c, std::size_t pos) -> std::size_t {
    if (pos > last_start) return npos;
    const void* hit = std::memchr(base + pos, c, last_start + 1 - pos);
    return hit == nullptr ? npos : static_cast<std::size_t>(static_cast<const char*>(hit) - base);
  };
  next_lower = next_of(lower, from);
  next_upper = next_of(upper, from);
  while (next_lower != npos || next_upper != npos) {
    const std::size_t at = std::min(next_lower, next_upper);
    if (starts_with_icase(hay, at, needle)) return at;
    if (at == next_lower) next_lower = next_of(lower, at + 1);
    if (at == next_upper) next_upper = next_of(upper, at + 1);
  }
  return npos;
}

}  // namespace korvane::commerce::detail
