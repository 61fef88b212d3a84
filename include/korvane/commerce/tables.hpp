// Constant tables: fixed sets and maps of texts, built at compile time and
// read-only. Iteration follows the order in which the entries are written.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace korvane::commerce {

// A fixed set of texts. `contains` is exact, case-sensitive equality.
template <std::size_t N>
class StringSet {
 public:
  constexpr explicit StringSet(std::array<std::string_view, N> entries) : entries_(entries) {}

  [[nodiscard]] constexpr bool contains(std::string_view s) const noexcept {
    return std::find(entries_.begin(), entries_.end(), s) != entries_.end();
  }
  // True when some entry occurs in `s` as a substring.
  [[nodiscard]] constexpr bool any_occurs_in(std::string_view s) const noexcept {
    return std::any_of(entries_.begin(), entries_.end(),
                       [s](std::string_view e) { return s.find(e) != std::string_view::npos; });
  }
  [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }
  [[nodiscard]] constexpr auto begin() const noexcept { return entries_.begin(); }
  [[nodiscard]] constexpr auto end() const noexcept { return entries_.end(); }

 private:
  std::array<std::string_view, N> entries_;
};

template <std::size_t N>
StringSet(std::array<std::string_view, N>) -> StringSet<N>;

// A fixed map from text to text, in the order written.
template <std::size_t N>
class StringMap {
 public:
  using Entry = std::pair<std::string_view, std::string_view>;
  constexpr explicit StringMap(std::array<Entry, N> entries) : entries_(entries) {}

  // The value stored under `key`, absent when there is none.
  [[nodiscard]] constexpr std::optional<std::string_view> find(std::string_view key) const noexcept {
    for (const auto& [k, v] : entries_) {
      if (k == key) return v;
    }
    return std::nullopt;
  }
  [[nodiscard]] constexpr bool contains(std::string_view key) const noexcept {
    return find(key).has_value();
  }
  [[nodiscard]] static constexpr std::size_t size() noexcept { return N; }
  [[nodiscard]] constexpr auto begin() const noexcept { return entries_.begin(); }
  [[nodiscard]] constexpr auto end() const noexcept { return entries_.end(); }

 private:
  std::array<Entry, N> entries_;
};

template <std::size_t N>
StringMap(std::array<std::pair<std::string_view, std::string_view>, N>) -> StringMap<N>;

}  // namespace korvane::commerce
