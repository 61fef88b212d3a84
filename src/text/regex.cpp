#include "text/regex.hpp"

#include "text/cpu.hpp"
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
#include <bit>
#include <cstdint>
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

// One byte of a needle: a letter of a caseless needle matches both cases
// (the byte with bit 0x20 set equals its lower case), anything else itself.
struct ByteTest {
  unsigned char value;  // lower case for letters
  bool letter;
  [[nodiscard]] bool operator()(unsigned char x) const noexcept {
    return (letter ? static_cast<unsigned char>(x | 0x20) : x) == value;
  }
};

ByteTest byte_test(char c, bool caseless) noexcept {
  return {static_cast<unsigned char>(c), caseless && c >= 'a' && c <= 'z'};
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

// A search for a needle of two or more bytes. At every position the scan
// first tests four of the needle's bytes, 32 or 64 positions at once: its
// rarest adjacent pair, its first and its last byte (a pair alone, such as
// "<s" of "<script", stops at every "<span"); only where all four hold is
// the whole needle compared.
struct LiteralScan {
  std::string_view hay;
  std::string_view needle;
  bool caseless;
  std::array<std::size_t, 4> offset{};  // of the tested bytes in the needle
  std::array<ByteTest, 4> test{};
  std::size_t at = 0;    // the next candidate start to look at
  std::size_t last = 0;  // the last candidate start (hay.size() - needle.size())
  std::size_t found = std::string_view::npos;

  LiteralScan(std::string_view h, std::string_view n, bool icase, std::size_t from) noexcept
      : hay(h), needle(n), caseless(icase), at(from), last(h.size() - n.size()) {
    const std::size_t k = scan_pair(n);
    offset = {k, k + 1, 0, n.size() - 1};
    for (std::size_t i = 0; i < offset.size(); ++i) test[i] = byte_test(n[offset[i]], icase);
  }

  [[nodiscard]] bool matches_at(std::size_t pos) const noexcept {
    return caseless ? starts_with_icase(hay, pos, needle)
                    : std::memcmp(hay.data() + pos, needle.data(), needle.size()) == 0;
  }

  // Checks the candidates of `mask` (bit j: a start at `base` + j whose
  // tested bytes hold); true when the needle is found there.
  template <class Mask>
  bool check(Mask mask, std::size_t base) noexcept {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t pos = base + static_cast<std::size_t>(std::countr_zero(mask));
      if (matches_at(pos)) {
        found = pos;
        return true;
      }
    }
    return false;
  }

  // The rest, one position at a time; returns the find.
  std::size_t finish() noexcept {
    const char* const base = hay.data();
    for (; at <= last; ++at) {
      bool candidate = true;
      for (std::size_t i = 0; i < offset.size() && candidate; ++i) {
        candidate = test[i](static_cast<unsigned char>(base[at + offset[i]]));
      }
      if (candidate && matches_at(at)) return at;
    }
    return std::string_view::npos;
  }
};

#if defined(__SSE2__)
// Bit i set when `t` holds for byte i of the 16 at `p`.
unsigned block_mask16(const char* p, ByteTest t) noexcept {
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  if (t.letter) v = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i eq = _mm_cmpeq_epi8(v, _mm_set1_epi8(static_cast<char>(t.value)));
  return static_cast<unsigned>(_mm_movemask_epi8(eq));
}

// 16 candidate starts at a time; true when the needle is found.
bool scan_sse2(LiteralScan& s) noexcept {
  const char* const base = s.hay.data();
  // A block's last candidate reads up to the needle's last byte.
  for (; s.at + 16 <= s.last + 1; s.at += 16) {
    const char* const p = base + s.at;
    const unsigned mask = block_mask16(p + s.offset[0], s.test[0]) & block_mask16(p + s.offset[1], s.test[1]) &
                          block_mask16(p + s.offset[2], s.test[2]) & block_mask16(p + s.offset[3], s.test[3]);
    if (mask != 0 && s.check(mask, s.at)) return true;
  }
  return false;
}
#endif

#if defined(KORVANE_HAVE_AVX2_TARGET)
// A LiteralScan's four byte tests in registers: the bits each byte gets
// ORed with (0x20 for a caseless letter) and the value it must then have.
// (Plain arrays: a vector type loses its alignment as a template argument.)
struct Tests32 {
  __m256i fold[4];
  __m256i value[4];
  std::size_t offset[4];
};

__attribute__((target("avx2"))) inline std::uint32_t candidates32(const Tests32& t, const char* p) noexcept {
  __m256i eq[4];
  for (std::size_t i = 0; i < 4; ++i) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + t.offset[i]));
    eq[i] = _mm256_cmpeq_epi8(_mm256_or_si256(v, t.fold[i]), t.value[i]);
  }
  const __m256i all = _mm256_and_si256(_mm256_and_si256(eq[0], eq[1]), _mm256_and_si256(eq[2], eq[3]));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(all));
}

// 64 candidate starts at a time, on processors with AVX2; true when the
// needle is found.
__attribute__((target("avx2"))) bool scan_avx2(LiteralScan& s) noexcept {
  Tests32 t{};
  for (std::size_t i = 0; i < 4; ++i) {
    t.fold[i] = _mm256_set1_epi8(s.test[i].letter ? 0x20 : 0);
    t.value[i] = _mm256_set1_epi8(static_cast<char>(s.test[i].value));
    t.offset[i] = s.offset[i];
  }
  const char* const base = s.hay.data();
  const std::size_t end = s.last + 1;  // past the last candidate start
  std::size_t at = s.at;
  for (; at + 64 <= end; at += 64) {
    const std::uint64_t mask = static_cast<std::uint64_t>(candidates32(t, base + at)) |
                               static_cast<std::uint64_t>(candidates32(t, base + at + 32)) << 32U;
    if (mask != 0 && s.check(mask, at)) return true;
  }
  if (at + 32 <= end) {
    const std::uint32_t mask = candidates32(t, base + at);
    if (mask != 0 && s.check(mask, at)) return true;
    at += 32;
  }
  s.at = at;
  return false;
}
#endif

std::size_t find_literal_in(std::string_view hay, std::string_view needle, std::size_t from, bool caseless) noexcept {
  constexpr std::size_t npos = std::string_view::npos;
  if (needle.empty()) return from <= hay.size() ? from : npos;
  if (from > hay.size() || hay.size() - from < needle.size()) return npos;
  if (needle.size() == 1) {
    const ByteTest t = byte_test(needle[0], caseless);
    if (!t.letter) {
      const void* hit = std::memchr(hay.data() + from, needle[0], hay.size() - from);
      return hit == nullptr ? npos : static_cast<std::size_t>(static_cast<const char*>(hit) - hay.data());
    }
    for (std::size_t i = from; i < hay.size(); ++i) {
      if (t(static_cast<unsigned char>(hay[i]))) return i;
    }
    return npos;
  }
  LiteralScan scan(hay, needle, caseless, from);
#if defined(KORVANE_HAVE_AVX2_TARGET)
  if (has_avx2() && scan_avx2(scan)) return scan.found;
#endif
#if defined(__SSE2__)
  if (scan_sse2(scan)) return scan.found;
#endif
  return scan.finish();
}

// ---------------------------------------------------------------- several needles at once

// Nibble tables of a search for up to eight needles by three adjacent bytes
// of each (its rarest three): bit b of low[j][x & 15] & high[j][x >> 4] is
// set exactly when byte x may be byte j of needle b's three (a letter in
// either case). Tested 32 positions at a time with byte shuffles, the
// needles cost no more than one.
struct TrigramTables {
  std::array<std::array<std::uint8_t, 16>, 3> low{};
  std::array<std::array<std::uint8_t, 16>, 3> high{};
  std::array<std::size_t, 8> offset{};  // of each needle's three bytes

  [[nodiscard]] std::uint8_t bits(const char* p) const noexcept {
    std::uint8_t b = 0xFF;
    for (std::size_t j = 0; j < 3; ++j) {
      const auto x = static_cast<unsigned char>(p[j]);
      b &= static_cast<std::uint8_t>(low[j][x & 15U] & high[j][x >> 4U]);
    }
    return b;
  }
};

// The rarest three adjacent bytes of `needle`, by the product of their
// frequencies (the first on a tie).
std::size_t scan_trigram(std::string_view needle) noexcept {
  const auto weight = [&](std::size_t k) {
    return static_cast<unsigned long>(kByteFrequency[static_cast<unsigned char>(needle[k])]) *
           kByteFrequency[static_cast<unsigned char>(needle[k + 1])] *
           kByteFrequency[static_cast<unsigned char>(needle[k + 2])];
  };
  std::size_t best = 0;
  for (std::size_t k = 1; k + 2 < needle.size(); ++k) {
    if (weight(k) < weight(best)) best = k;
  }
  return best;
}

TrigramTables trigram_tables(std::span<const Needle> needles) noexcept {
  TrigramTables t;
  for (std::size_t b = 0; b < needles.size(); ++b) {
    const auto bit = static_cast<std::uint8_t>(1U << b);
    const std::string_view n = needles[b].lower;
    t.offset[b] = scan_trigram(n);
    for (std::size_t j = 0; j < 3; ++j) {
      const auto c = static_cast<unsigned char>(n[t.offset[b] + j]);
      t.low[j][c & 15U] |= bit;
      t.high[j][c >> 4U] |= bit;
      if (c >= 'a' && c <= 'z') t.high[j][(c ^ 0x20U) >> 4U] |= bit;
    }
  }
  return t;
}

// The state of a search for several needles: what is found so far and
// which needles are still looked for.
struct MultiScan {
  std::string_view hay;
  std::span<const Needle> needles;
  TrigramTables tables;
  std::vector<std::vector<std::size_t>> found;
  std::uint8_t active = 0;  // bit b: needle b is still looked for

  MultiScan(std::string_view h, std::span<const Needle> n)
      : hay(h), needles(n), tables(trigram_tables(n)), found(n.size()) {
    for (std::size_t b = 0; b < n.size(); ++b) {
      if (n[b].most > 0) active = static_cast<std::uint8_t>(active | 1U << b);
    }
  }

  // The needles of `bits` whose three bytes stand at `pos`: compared whole,
  // in needle order.
  void check(std::size_t pos, unsigned bits) {
    for (bits &= active; bits != 0; bits &= bits - 1) {
      const auto b = static_cast<std::size_t>(std::countr_zero(bits));
      const std::size_t k = tables.offset[b];
      if (pos < k || !starts_with_icase(hay, pos - k, needles[b].lower)) continue;
      found[b].push_back(pos - k);
      if (found[b].size() >= needles[b].most) active = static_cast<std::uint8_t>(active & ~(1U << b));
    }
  }

  // Positions of the three bytes from `from` on, one at a time.
  void finish(std::size_t from) {
    for (std::size_t pos = from; pos + 3 <= hay.size() && active != 0; ++pos) {
      if (const std::uint8_t bits = tables.bits(hay.data() + pos); (bits & active) != 0) check(pos, bits);
    }
  }
};

#if defined(KORVANE_HAVE_AVX2_TARGET)
// 32 positions at a time, on processors with AVX2; returns where it stopped.
__attribute__((target("avx2"))) std::size_t scan_each_avx2(MultiScan& s) {
  __m256i low[3];
  __m256i high[3];
  for (std::size_t j = 0; j < 3; ++j) {
    low[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.tables.low[j].data())));
    high[j] = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.tables.high[j].data())));
  }
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const char* const base = s.hay.data();
  std::size_t pos = 0;
  alignas(32) std::array<std::uint8_t, 32> bits{};
  for (; pos + 34 <= s.hay.size() && s.active != 0; pos += 32) {
    __m256i all = _mm256_set1_epi8(static_cast<char>(s.active));
    for (std::size_t j = 0; j < 3; ++j) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(base + pos + j));
      const __m256i lo = _mm256_shuffle_epi8(low[j], _mm256_and_si256(v, nibble));
      const __m256i hi = _mm256_shuffle_epi8(high[j], _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
      all = _mm256_and_si256(all, _mm256_and_si256(lo, hi));
    }
    auto hits = ~static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(all, _mm256_setzero_si256())));
    if (hits == 0) continue;
    _mm256_store_si256(reinterpret_cast<__m256i*>(bits.data()), all);
    for (; hits != 0; hits &= hits - 1) {
      const auto i = static_cast<std::size_t>(std::countr_zero(hits));
      s.check(pos + i, bits[i]);
    }
  }
  return pos;
}
#endif

}  // namespace

std::size_t find_icase(std::string_view hay, std::string_view needle, std::size_t from) noexcept {
  return find_literal_in(hay, needle, from, true);
}

std::size_t find_literal(std::string_view hay, std::string_view needle, std::size_t from) noexcept {
  return find_literal_in(hay, needle, from, false);
}

std::vector<std::vector<std::size_t>> find_each_icase(std::string_view hay, std::span<const Needle> needles) {
  if (needles.size() > 8) throw std::invalid_argument("find_each_icase: at most eight needles");
  for (const Needle& n : needles) {
    if (n.lower.size() < 3) throw std::invalid_argument("find_each_icase: a needle shorter than three bytes");
  }
  MultiScan scan(hay, needles);
  std::size_t pos = 0;
#if defined(KORVANE_HAVE_AVX2_TARGET)
  if (has_avx2()) pos = scan_each_avx2(scan);
#endif
  scan.finish(pos);
  return std::move(scan.found);
}

}  // namespace korvane::text
