#include "text/regex.hpp"

#include "text/unicode.hpp"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <array>
#include <utility>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <type_traits>

namespace korvane::text {
namespace {

bool is_ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

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
      const char lower = ascii_lower(c);
      out.push_back('[');
      out.push_back(lower);
      out.push_back(ascii_upper(lower));
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

Regex::Regex(std::string_view pattern, RegexFlags flags) : linear_(has_flag(flags, RegexFlags::linear)) {
  const std::string source =
      has_flag(flags, RegexFlags::ascii_caseless) ? ascii_caseless(pattern) : std::string(pattern);
  std::uint32_t options = PCRE2_UTF | PCRE2_UCP | PCRE2_NEVER_BACKSLASH_C;
  if (has_flag(flags, RegexFlags::dotall)) options |= PCRE2_DOTALL;
  if (has_flag(flags, RegexFlags::anchored)) options |= PCRE2_ANCHORED;
  if (has_flag(flags, RegexFlags::caseless)) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE offset = 0;
  code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), options, &error, &offset,
                        nullptr);
  if (code_ == nullptr) {
    PCRE2_UCHAR message[256];
    pcre2_get_error_message(error, message, sizeof message);
    throw std::logic_error("pattern does not compile at offset " + std::to_string(offset) + ": " +
                           reinterpret_cast<const char*>(message));
  }
  // Without a JIT (unsupported platform, no executable memory) the
  // interpreter runs the same pattern.
  jit_ = pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE) == 0;
  std::uint32_t captures = 0;
  pcre2_pattern_info(code_, PCRE2_INFO_CAPTURECOUNT, &captures);
  groups_ = captures;
  if (linear_) {
    // A text of any length must not hit the default limit meant for
    // runaway backtracking.
    linear_context_ = pcre2_match_context_create(nullptr);
    if (linear_context_ == nullptr) {
      pcre2_code_free(code_);
      throw std::bad_alloc();
    }
    pcre2_set_match_limit(linear_context_, std::numeric_limits<std::uint32_t>::max());
  }
}

Regex::~Regex() {
  pcre2_match_context_free(linear_context_);
  pcre2_code_free(code_);
}

// The offsets are read in place, an unset one as npos.
static_assert(std::is_same_v<PCRE2_SIZE, std::size_t> && PCRE2_UNSET == std::string_view::npos);

RegexMatch::RegexMatch(const Regex& re) {
  match_ = pcre2_match_data_create_from_pattern(re.code_, nullptr);
  if (match_ == nullptr) throw std::bad_alloc();
  offsets_ = pcre2_get_ovector_pointer(match_);
  pairs_ = re.groups_ + 1;  // the match data made from a pattern holds all its groups
  if (re.linear_) return;
  context_ = pcre2_match_context_create(nullptr);
  if (context_ == nullptr) {
    pcre2_match_data_free(match_);
    throw std::bad_alloc();
  }
  pcre2_set_depth_limit(context_, kDepthLimit);
}

RegexMatch::~RegexMatch() {
  if (context_ != nullptr) pcre2_match_context_free(context_);
  pcre2_match_data_free(match_);
}

bool Regex::search(std::string_view subject, std::size_t start, RegexMatch& m) const {
  if (start > subject.size()) return false;
  pcre2_match_context* context = linear_context_;
  if (context == nullptr) {
    // A match object made for a linear pattern has no context of its own.
    if (m.context_ == nullptr) return false;
    context = m.context_;
    pcre2_set_match_limit(context, match_limit_for(subject.size() - start));
  }
  // The text was validated (or repaired) once when it entered the library,
  // so the JIT's own entry (which checks nothing) gives the same answer.
  const auto* text = reinterpret_cast<PCRE2_SPTR>(subject.data());
  const int rc = jit_ ? pcre2_jit_match(code_, text, subject.size(), start, 0, m.match_, context)
                      : pcre2_match(code_, text, subject.size(), start, PCRE2_NO_UTF_CHECK, m.match_, context);
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

namespace {

// One byte of a needle: a letter matches both cases, anything else itself.
struct ByteTest {
  unsigned char value;  // lower case for letters
  bool letter;
  [[nodiscard]] bool operator()(unsigned char x) const noexcept {
    return (letter ? static_cast<unsigned char>(x | 0x20) : x) == value;
  }
};

ByteTest byte_test(char c) noexcept {
  return {static_cast<unsigned char>(c), is_ascii_letter(c)};
}

// About how often each byte occurs in web pages, per thousand bytes (an
// ASCII letter's two cases together): the English letter frequencies scaled
// to the share of letters in markup, and markup's own punctuation. Only the
// order matters: it picks the pair of needle bytes whose occurrences a scan
// stops at least often.
constexpr std::array<unsigned short, 256> kByteFrequency = [] {
  std::array<unsigned short, 256> f{};
  for (auto& v : f) v = 2;  // other punctuation, control and non-ASCII bytes
  for (char c = '0'; c <= '9'; ++c) f[static_cast<unsigned char>(c)] = 8;
  constexpr std::string_view letters = "etaoinsrcldpumhfgbywvkxjqz";
  constexpr unsigned short share[] = {60, 50, 45, 40, 40, 40, 40, 38, 30, 30, 25, 22, 20,
                                      20, 20, 15, 12, 12, 8,  8,  8,  6,  4,  2,  1,  1};
  for (std::size_t i = 0; i < letters.size(); ++i) {
    f[static_cast<unsigned char>(letters[i])] = share[i];
    f[static_cast<unsigned char>(letters[i] - 'a' + 'A')] = share[i];
  }
  for (const auto& [c, n] : {std::pair{' ', 80}, {'"', 30}, {'/', 25}, {'=', 20}, {'<', 20}, {'>', 20},
                             {'-', 15}, {'.', 10}, {':', 8}, {'\n', 8}, {'_', 4}, {'\'', 4}}) {
    f[static_cast<unsigned char>(c)] = static_cast<unsigned short>(n);
  }
  return f;
}();

// The pair of adjacent needle bytes to scan for: the one whose two bytes
// occur least often together, the first on a tie.
std::size_t scan_pair(std::string_view needle) noexcept {
  const auto weight = [](char a, char b) {
    return static_cast<unsigned>(kByteFrequency[static_cast<unsigned char>(a)]) *
           kByteFrequency[static_cast<unsigned char>(b)];
  };
  std::size_t best = 0;
  for (std::size_t k = 1; k + 1 < needle.size(); ++k) {
    if (weight(needle[k], needle[k + 1]) < weight(needle[best], needle[best + 1])) best = k;
  }
  return best;
}

// Where a scan for a needle's pair of bytes (`first` at offset k, `second`
// after it) stands: `at` is the next position of the pair's first byte to
// look at; `found` the needle's start once found.
struct PairScan {
  std::string_view hay;
  std::string_view needle;
  std::size_t k;
  ByteTest first;
  ByteTest second;
  std::size_t at;
  std::size_t last;  // the pair's last possible position
  std::size_t found = std::string_view::npos;

  // Checks the candidates of `mask` (bit j: the pair at `base`+j); true
  // when the scan is over (found, or past the last position).
  bool check(unsigned mask, std::size_t base) noexcept {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t pos = base + static_cast<std::size_t>(__builtin_ctz(mask));
      if (pos > last) return true;
      if (starts_with_icase(hay, pos - k, needle)) {
        found = pos - k;
        return true;
      }
    }
    return false;
  }
};

#if defined(__SSE2__)
// Bit i set when `t` holds for byte i of the 16 at `p`.
unsigned block_mask(const char* p, ByteTest t) noexcept {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if (t.letter) v = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i eq = _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(t.value)));
  return static_cast<unsigned>(_mm_movemask_epi8(eq));
}

// 16 positions at a time; true when the scan is over.
bool scan_sse2(PairScan& s) noexcept {
  const char* const base = s.hay.data();
  for (; s.at + 17 <= s.hay.size() && s.at <= s.last; s.at += 16) {
    if (s.check(block_mask(base + s.at, s.first) & block_mask(base + s.at + 1, s.second), s.at)) return true;
  }
  return false;
}
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KORVANE_SCAN_AVX2 1
// Bit i set when `t` holds for byte i of the 32 at `p`.
__attribute__((target("avx2"))) unsigned block_mask32(const char* p, ByteTest t) noexcept {
  __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  if (t.letter) v = _mm256_or_si256(v, _mm256_set1_epi8(0x20));
  const __m256i eq = _mm256_cmpeq_epi8(v, _mm256_set1_epi8(static_cast<char>(t.value)));
  return static_cast<unsigned>(_mm256_movemask_epi8(eq));
}

// 32 positions at a time, on processors with AVX2; true when the scan is over.
__attribute__((target("avx2"))) bool scan_avx2(PairScan& s) noexcept {
  const char* const base = s.hay.data();
  for (; s.at + 33 <= s.hay.size() && s.at <= s.last; s.at += 32) {
    if (s.check(block_mask32(base + s.at, s.first) & block_mask32(base + s.at + 1, s.second), s.at)) return true;
  }
  return false;
}

// Whether this processor runs AVX2 (asked once).
bool has_avx2() noexcept {
  static const bool avx2 = __builtin_cpu_supports("avx2") != 0;
  return avx2;
}
#endif

}  // namespace

std::size_t find_icase(std::string_view hay, std::string_view needle, std::size_t from) noexcept {
  constexpr std::size_t npos = std::string_view::npos;
  if (needle.empty()) return from <= hay.size() ? from : npos;
  if (from > hay.size() || hay.size() - from < needle.size()) return npos;
  if (needle.size() == 1) {
    const ByteTest t = byte_test(needle[0]);
    for (std::size_t i = from; i < hay.size(); ++i) {
      if (t(static_cast<unsigned char>(hay[i]))) return i;
    }
    return npos;
  }
  // Candidates are the places where a pair of the needle's bytes occurs; the
  // whole needle is compared there.
  const std::size_t k = scan_pair(needle);
  PairScan scan{hay, needle, k, byte_test(needle[k]), byte_test(needle[k + 1]), from + k,
                hay.size() - needle.size() + k};
#if defined(KORVANE_SCAN_AVX2)
  if (has_avx2() && scan_avx2(scan)) return scan.found;
#endif
#if defined(__SSE2__)
  if (scan_sse2(scan)) return scan.found;
#endif
  const char* const base = hay.data();
  for (; scan.at <= scan.last; ++scan.at) {
    if (scan.first(static_cast<unsigned char>(base[scan.at])) &&
        scan.second(static_cast<unsigned char>(base[scan.at + 1])) && starts_with_icase(hay, scan.at - k, needle)) {
      return scan.at - k;
    }
  }
  return npos;
}

}  // namespace korvane::text
