// A value computed on first use and kept.
#pragma once

#include <optional>

namespace korvane::commerce::detail {

// Holds the result of the first get()'s `make` and gives it to every later
// get(). Not for use by two threads at once.
template <class T>
class Lazy {
 public:
  template <class Make>
  const T& get(Make&& make) {
    if (!value_) value_.emplace(make());
    return *value_;
  }

 private:
  std::optional<T> value_;
};

}  // namespace korvane::commerce::detail
