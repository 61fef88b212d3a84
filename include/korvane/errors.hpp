// The exceptions of korvane-commerce. Operations that "cannot produce a
// result" return an absent value instead; these are for failures that reach
// the caller.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

// A value refused by a record's validation (a negative or non-finite price
// amount, an unknown enumeration text).
class ValueError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// A link that cannot be split into URL components, such as one whose network
// location holds "[" without "]" or the reverse.
class InvalidUrlError : public ValueError {
 public:
  using ValueError::ValueError;
};

// The page fetcher cannot work at all: libcurl cannot start, or the manifest
// of a folder of saved pages cannot be read. A link that fails is never this.
class FetchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace korvane
