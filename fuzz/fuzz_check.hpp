// What every fuzz target shares: the input as text, and a check that stops
// the run with a message when a property does not hold (libFuzzer keeps the
// input that made it fail).
#pragma once

#include "text/utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) noexcept {
  return {reinterpret_cast<const char*>(data), size};
}

// Ends the run (a finding) when `holds` is false.
inline void require(bool holds, std::string_view what) {
  if (holds) return;
  std::fprintf(stderr, "property does not hold: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

// Texts the library gives back are valid UTF-8, whatever it was given.
inline void require_utf8(const std::string& text, std::string_view what) {
  require(text::is_valid_utf8(text), what);
}
inline void require_utf8(const std::optional<std::string>& text, std::string_view what) {
  if (text) require_utf8(*text, what);
}

}  // namespace korvane::fuzz
