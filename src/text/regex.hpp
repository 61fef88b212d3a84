// A compiled PCRE2 pattern (UTF, UCP, JIT when the platform has it) and the
// literal scanning that keeps pattern searches over whole pages linear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// PCRE2's own types (8-bit code units), declared here so that users of the
// wrapper do not include <pcre2.h>.
struct pcre2_real_code_8;
struct pcre2_real_match_context_8;
struct pcre2_real_match_data_8;

namespace korvane::text {

// Pattern options beside UTF and UCP, which are always on.
enum class RegexFlags : std::uint32_t {
  none = 0,
  dotall = 1U << 0,          // "." also matches line ends
  ascii_caseless = 1U << 1,  // ASCII letters outside bracket expressions match both cases
  anchored = 1U << 2,        // a match must start at the start offset
  caseless = 1U << 3,        // letters match every Unicode case form (PCRE2's caseless mode)
  linear = 1U << 4,          // the pattern runs in linear time: searches need no step limit
};
[[nodiscard]] constexpr RegexFlags operator|(RegexFlags a, RegexFlags b) noexcept {
  return static_cast<RegexFlags>(static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b));
}
[[nodiscard]] constexpr bool has_flag(RegexFlags set, RegexFlags f) noexcept {
  return (static_cast<std::uint32_t>(set) & static_cast<std::uint32_t>(f)) != 0;
}

// `pattern` with every ASCII letter outside bracket expressions and escapes
// written as a two-letter class ("a" -> "[aA]"). Caseless matching of PCRE2
// in UTF mode would also fold non-ASCII letters into ASCII ones (the long s,
// the Kelvin sign); this keeps case-insensitivity to ASCII letters.
// Bracket expressions are copied unchanged and must list both cases.
[[nodiscard]] std::string ascii_caseless(std::string_view pattern);

class RegexMatch;

// An immutable compiled pattern, safe to share between threads.
//
// A search may take a number of backtracking steps proportional to the
// bytes it looks at (a guard against a pattern that backtracks without
// bound; hitting it counts as no match). A pattern compiled `linear` (written
// with possessive quantifiers, so that it cannot backtrack far) has no such
// limit.
class Regex {
 public:
  // Compiles `pattern`; throws std::logic_error when it does not compile.
  Regex(std::string_view pattern, RegexFlags flags);
  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // Searches `subject` (valid UTF-8, not checked again) from byte `start`,
  // which must be a character boundary. True on a match, whose groups `m`
  // then holds. A match or depth limit that is hit counts as no match.
  [[nodiscard]] bool search(std::string_view subject, std::size_t start, RegexMatch& m) const;

  [[nodiscard]] std::uint32_t group_count() const noexcept { return groups_; }
  [[nodiscard]] bool linear() const noexcept { return linear_; }

 private:
  friend class RegexMatch;
  pcre2_real_code_8* code_ = nullptr;
  // The limits of a linear pattern's searches, shared read-only by them.
  pcre2_real_match_context_8* linear_context_ = nullptr;
  std::uint32_t groups_ = 0;
  bool linear_ = false;
  bool jit_ = false;
};

// The groups of one match, and the per-call scratch memory of the matcher.
// One object serves one thread; reuse it for many searches of one pattern.
class RegexMatch {
 public:
  explicit RegexMatch(const Regex& re);
  ~RegexMatch();
  RegexMatch(const RegexMatch&) = delete;
  RegexMatch& operator=(const RegexMatch&) = delete;

  // Byte offsets of group `n` (0: the whole match); npos when it did not take part.
  [[nodiscard]] std::size_t begin(std::uint32_t n = 0) const noexcept {
    return n < pairs_ ? offsets_[2 * n] : std::string_view::npos;
  }
  [[nodiscard]] std::size_t end(std::uint32_t n = 0) const noexcept {
    return n < pairs_ ? offsets_[2 * n + 1] : std::string_view::npos;
  }
  [[nodiscard]] bool matched(std::uint32_t n) const noexcept { return begin(n) != std::string_view::npos; }
  // The text of group `n` in `subject`; empty when it did not take part.
  [[nodiscard]] std::string_view group(std::string_view subject, std::uint32_t n) const noexcept {
    const std::size_t b = begin(n);
    const std::size_t e = end(n);
    if (b == std::string_view::npos || e == std::string_view::npos || e < b || e > subject.size()) return {};
    return subject.substr(b, e - b);
  }

 private:
  friend class Regex;
  pcre2_real_match_data_8* match_ = nullptr;
  // The step limit of each search (patterns that are not linear).
  pcre2_real_match_context_8* context_ = nullptr;
  // The match data's offset pairs (an unset offset is npos).
  const std::size_t* offsets_ = nullptr;
  std::uint32_t pairs_ = 0;
};

// ---------------------------------------------------------------- literal scanning

// First position at or after `from` where `needle` occurs in `hay`, ASCII
// letters compared without case (`needle` written in lower case); npos when
// there is none. Linear in the part of `hay` it looks at.
[[nodiscard]] std::size_t find_icase(std::string_view hay, std::string_view needle,
                                     std::size_t from = 0) noexcept;

// The same with every byte compared exactly.
[[nodiscard]] std::size_t find_literal(std::string_view hay, std::string_view needle,
                                       std::size_t from = 0) noexcept;

// One needle of a search for several at once: written in lower case, at
// least three bytes; `most` is how many of its occurrences to list.
struct Needle {
  std::string_view lower;
  std::size_t most = 1;
};

// The occurrences of up to eight needles in `hay` (ASCII letters compared
// without case), found in one pass over it: element i lists, in order, the
// first starts of needle i (at most its `most`). Throws
// std::invalid_argument for more than eight needles or one shorter than
// three bytes.
[[nodiscard]] std::vector<std::vector<std::size_t>> find_each_icase(std::string_view hay,
                                                                   std::span<const Needle> needles);

// True when `hay` begins at `pos` with `needle` (lower case), ASCII letters
// compared without case.
[[nodiscard]] bool starts_with_icase(std::string_view hay, std::size_t pos,
                                     std::string_view needle) noexcept;

}  // namespace korvane::text
