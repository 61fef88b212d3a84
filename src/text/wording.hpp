// Wording of shop pages in many languages, found as whole words: "in stock"
// is not found in "not in stockholm", "available" not in "unavailable".
#pragma once

#include <cstddef>
#include <string_view>

namespace korvane::text {

// Where lower-cased `text` holds `phrase` (written in lower case) from
// `from` on, as whole words: neither preceded nor followed by a letter, mark
// or digit. A phrase in a script written without spaces between words (Han,
// kana, Hangul, Thai) matches anywhere. npos when it does not occur.
[[nodiscard]] std::size_t find_phrase(std::string_view text, std::string_view phrase, std::size_t from = 0) noexcept;

// True when `text` holds `phrase` as whole words.
[[nodiscard]] inline bool has_phrase(std::string_view text, std::string_view phrase) noexcept {
  return find_phrase(text, phrase) != std::string_view::npos;
}

// True when one of the two words before `at` in lower-cased `text` negates
// what follows ("not", "nicht", "pas", "no", "nie", "не", ...): "not in
// stock", "nicht mehr verfügbar", "n'est pas disponible".
[[nodiscard]] bool negated_before(std::string_view text, std::size_t at) noexcept;

}  // namespace korvane::text
