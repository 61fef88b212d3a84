#include "text/utf8.hpp"

#include "text/cpu.hpp"

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <array>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korvane::text {
namespace {

// Length of the well-formed sequence that starts at `i`, or 0 when ill-formed.
// `bad` receives the length of the maximal subpart to replace by one U+FFFD.
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& bad) noexcept {
  const auto b0 = static_cast<unsigned char>(s[i]);
  bad = 1;
  if (b0 < 0x80) return 1;
  std::size_t need = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char l = k == 1 ? lo : 0x80;
    const unsigned char h = k == 1 ? hi : 0xBF;
    if (b < l || b > h) return 0;
    bad = k + 1;
  }
  return need + 1;
}

// The portable check, from byte `i` on.
bool is_valid_utf8_from(std::string_view s, std::size_t i) noexcept {
  const std::size_t n = s.size();
  while (i < n) {
    // Skip ASCII sixteen bytes at a time.
    while (i + 16 <= n) {
      std::uint64_t a = 0, b = 0;
      std::memcpy(&a, s.data() + i, 8);
      std::memcpy(&b, s.data() + i + 8, 8);
      if ((a | b) & 0x8080808080808080ULL) break;
      i += 16;
    }
    if (i >= n) break;
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t len = sequence_length(s, i, bad);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

#if defined(KORVANE_HAVE_AVX2_TARGET)
// The check 32 bytes at a time: each byte is classified by three table
// look-ups (the high and low half of the byte before it, the high half of
// its own), whose AND is non-zero exactly where a two-byte combination is
// ill-formed (too short, too long, overlong, surrogate, above U+10FFFF);
// third and fourth bytes are checked by where lead bytes two and three
// places back require a continuation. This is the validation published by
// Keiser and Lemire ("Validating UTF-8 in less than one instruction per
// byte", 2021).
namespace avx2 {

constexpr std::uint8_t kTooShort = 1U << 0U;    // a lead or ASCII byte where a continuation must be
constexpr std::uint8_t kTooLong = 1U << 1U;     // a continuation after ASCII
constexpr std::uint8_t kOverlong3 = 1U << 2U;   // E0 80..9F
constexpr std::uint8_t kTooLarge = 1U << 3U;    // F4 90.. and F5..FF
constexpr std::uint8_t kSurrogate = 1U << 4U;   // ED A0..BF
constexpr std::uint8_t kOverlong2 = 1U << 5U;   // C0, C1
constexpr std::uint8_t kTooLarge1000 = 1U << 6U;
constexpr std::uint8_t kOverlong4 = 1U << 6U;   // F0 80..8F
constexpr std::uint8_t kTwoContinuations = 1U << 7U;
constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoContinuations;

__attribute__((target("avx2"))) inline __m256i table(std::array<std::uint8_t, 16> t) noexcept {
  const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data()));
  return _mm256_broadcastsi128_si256(half);
}

struct Tables {
  __m256i byte1_high, byte1_low, byte2_high;
};

__attribute__((target("avx2"))) inline Tables tables() noexcept {
  constexpr std::uint8_t l = kTooLarge | kTooLarge1000;
  return {table({kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                 kTwoContinuations, kTwoContinuations, kTwoContinuations, kTwoContinuations,
                 kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
                 kTooShort | kTooLarge | kTooLarge1000 | kOverlong4}),
          table({kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry,
                 kCarry | kTooLarge, kCarry | l, kCarry | l, kCarry | l, kCarry | l, kCarry | l, kCarry | l,
                 kCarry | l, kCarry | l, kCarry | l | kSurrogate, kCarry | l, kCarry | l}),
          table({kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                 kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge1000 | kOverlong4,
                 kTooLong | kOverlong2 | kTwoContinuations | kOverlong3 | kTooLarge,
                 kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge,
                 kTooLong | kOverlong2 | kTwoContinuations | kSurrogate | kTooLarge, kTooShort, kTooShort,
                 kTooShort, kTooShort})};
}

// The error bits of the 32 bytes at `p`, the three before them readable.
__attribute__((target("avx2"))) inline __m256i errors(const Tables& t, const char* p) noexcept {
  const __m256i input = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i prev1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 1));
  const __m256i low_half = _mm256_set1_epi8(0x0F);
  const __m256i high1 = _mm256_and_si256(_mm256_srli_epi16(prev1, 4), low_half);
  const __m256i low1 = _mm256_and_si256(prev1, low_half);
  const __m256i high2 = _mm256_and_si256(_mm256_srli_epi16(input, 4), low_half);
  const __m256i special = _mm256_and_si256(
      _mm256_and_si256(_mm256_shuffle_epi8(t.byte1_high, high1), _mm256_shuffle_epi8(t.byte1_low, low1)),
      _mm256_shuffle_epi8(t.byte2_high, high2));
  // Bytes two and three places after a three- and four-byte lead must be
  // continuations: there the tables flag two continuations in a row.
  const __m256i prev2 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 2));
  const __m256i prev3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 3));
  const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
  const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
  const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
  return _mm256_xor_si256(must_continue, special);
}

// The bytes before a block are read from memory (a shift across the two
// halves of a vector needs an immediate operand that unoptimised builds do
// not give); the first block and the end are checked from copies between
// zero bytes, which are ASCII: a character cut by the end is one too short.
__attribute__((target("avx2"))) bool is_valid(std::string_view s) noexcept {
  const Tables t = tables();
  __m256i error = _mm256_setzero_si256();
  const std::size_t n = s.size();
  std::size_t i = 0;
  if (n >= 32) {
    std::array<char, 3 + 32> head{};
    std::memcpy(head.data() + 3, s.data(), 32);
    error = errors(t, head.data() + 3);
    for (i = 32; i + 32 <= n; i += 32) {
      const char* const p = s.data() + i;
      // ASCII after three ASCII bytes has nothing to check.
      const __m256i window = _mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                                             _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p - 3)));
      if (_mm256_movemask_epi8(window) == 0) continue;
      error = _mm256_or_si256(error, errors(t, p));
    }
  }
  std::array<char, 3 + 64> tail{};
  const std::size_t before = std::min<std::size_t>(i, 3);
  if (n > 0) std::memcpy(tail.data() + 3 - before, s.data() + i - before, before + (n - i));
  error = _mm256_or_si256(error, errors(t, tail.data() + 3));
  error = _mm256_or_si256(error, errors(t, tail.data() + 35));
  return _mm256_testz_si256(error, error) != 0;
}

}  // namespace avx2
#endif

}  // namespace

bool is_valid_utf8(std::string_view s) noexcept {
#if defined(KORVANE_HAVE_AVX2_TARGET)
  if (has_avx2()) return avx2::is_valid(s);
#endif
  return is_valid_utf8_from(s, 0);
}

std::string sanitize_utf8(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t bad = 0;
    const std::size_t len = sequence_length(s, i, bad);
    if (len == 0) {
      out.append(replacement_character);
      i += bad;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

std::string_view as_valid_utf8(std::string_view s, std::string& storage) {
  if (is_valid_utf8(s)) return s;
  storage = sanitize_utf8(s);
  return storage;
}

std::size_t code_point_length(std::string_view s) noexcept {
  std::size_t count = 0;
  for (const char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

std::size_t code_point_prefix_bytes(std::string_view s, std::size_t n) noexcept {
  std::size_t seen = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) {
      if (seen == n) return i;
      ++seen;
    }
  }
  return s.size();
}

char32_t next_code_point(std::string_view s, std::size_t& pos) noexcept {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  std::size_t extra = b0 >= 0xF0 ? 3 : b0 >= 0xE0 ? 2 : 1;
  char32_t cp = b0 & (0x3F >> extra);
  ++pos;
  for (; extra > 0 && pos < s.size(); --extra, ++pos) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[pos]) & 0x3F);
  }
  return cp;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
  if (cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace korvane::text
