// A compiled PCRE2 pattern (UTF, UCP, JIT when the platform has it) and the
// literal scanning that keeps pattern searches over whole pages linear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace korvane::commerce::detail {

// Pattern options beside UTF and UCP, which are always on.
enum class RegexFlags : std::uint32_t {
  none = 0,
  dotall = 1U << 0,          // "." also matches line ends
  ascii_caseless = 1U << 1,  // ASCII letters outside bracket expressions match both cases
  anchored = 1U << 2,        // a match must start at the start offset
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

 private:
  friend class RegexMatch;
  struct Code;
  std::unique_ptr<Code> code_;
  std::uint32_t groups_ = 0;
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
  [[nodiscard]] std::size_t begin(std::uint32_t n = 0) const noexcept;
  [[nodiscard]] std::size_t end(std::uint32_t n = 0) const noexcept;
  [[nodiscard]] bool matched(std::uint32_t n) const noexcept { return begin(n) != std::string_view::npos; }
  // The text of group `n` in `subject`; empty when it did not take part.
  [[nodiscard]] std::string_view group(std::string_view subject, std::uint32_t n) const noexcept;

 private:
  friend class Regex;
  struct Data;
  std::unique_ptr<Data> data_;
};

// ---------------------------------------------------------------- literal scanning

// First position at or after `from` where `needle` occurs in `hay`, ASCII
// letters compared without case (`needle` written in lower case); npos when
// there is none. Linear in the part of `hay` it looks at.
[[nodiscard]] std::size_t find_icase(std::string_view hay, std::string_view needle,
                                     std::size_t from = 0) noexcept;

// True when `hay` begins at `pos` with `needle` (lower case), ASCII letters
// compared without case.
[[nodiscard]] bool starts_with_icase(std::string_view hay, std::size_t pos,
                                     std::string_view needle) noexcept;

}  // namespace korvane::commerce::detail
