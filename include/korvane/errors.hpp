// The exceptions of korvane-commerce. Operations that "cannot produce a
// result" return an absent value instead; these are for failures that reach
// the caller. Every one of them is a korvane::Error, so a host can catch the
// library's failures in one place; export files also throw
// std::filesystem::filesystem_error, as the standard library's file
// operations do.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

// The base of every exception the library throws.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A value refused: a negative or non-finite price amount, an unknown
// enumeration text, an option out of range (a concurrency or timeout below
// 1), a record of the wrong shape.
class ValueError : public Error {
 public:
  using Error::Error;
};

// A link that cannot be split into URL components, such as one whose network
// location holds "[" without "]" or the reverse.
class InvalidUrlError : public ValueError {
 public:
  using ValueError::ValueError;
};

// JSON input that cannot be read as the expected records. The message names
// the source, the position ("line 3, column 14") or the member
// ("visual_matches[2].link must be a string").
class InputError : public ValueError {
 public:
  using ValueError::ValueError;
};

// The page fetcher cannot work at all: libcurl cannot start, or the manifest
// of a folder of saved pages cannot be read. A link that fails is never this.
class FetchError : public Error {
 public:
  using Error::Error;
};

// A failure of the browser or of the protocol: the browser went away, a
// command failed or timed out, a selector was refused.
class BrowserError : public Error {
 public:
  using Error::Error;
};

// The browser cannot be used at all: no executable was found, it could not be
// started, or it did not answer in time.
class BrowserUnavailableError : public BrowserError {
 public:
  using BrowserError::BrowserError;
};

// A page could not be opened because its host name does not resolve (no
// network, or no such name).
class HostNotFoundError : public BrowserError {
 public:
  using BrowserError::BrowserError;
};

// A run stopped because its caller asked it to stop (a requested stop token);
// what the run held (browser, temporary files) is released first.
class CancelledError : public Error {
 public:
  using Error::Error;
};

}  // namespace korvane
