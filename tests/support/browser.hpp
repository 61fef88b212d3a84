// Pieces for browser sessions in tests and benchmarks: what a fake browser
// counts, a link element as a fake page or a peer's reading gives it, and
// session options that send every host to one loopback server.
#pragma once

#include <korvane/browser/options.hpp>
#include <korvane/browser/session.hpp>

#include "host/browser/snapshot_element.hpp"

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>

namespace korvane::testing {

// What a fake browser counts: sessions made, entered and left; tabs open now
// and at most at once.
struct SessionCounts {
  int made = 0;
  int entered = 0;
  int exited = 0;
  int open_now = 0;
  int open_peak = 0;

  void tab_opened() { open_peak = std::max(open_peak, ++open_now); }
};

// A link with its href and its text (all text and own text alike).
inline std::unique_ptr<browser::Element> link_element(std::string href, const std::string& text) {
  return std::make_unique<browser::detail::SnapshotElement>(std::map<std::string, std::string>{{"href", std::move(href)}},
                                                            text, text);
}

// Session options for a browser whose every host name resolves to the
// loopback server on `port` (private addresses allowed).
inline browser::SessionOptions every_host_to(int port) {
  browser::SessionOptions o;
  o.allow_private_addresses = true;
  o.extra_args.push_back("--host-resolver-rules=MAP * 127.0.0.1:" + std::to_string(port));
  return o;
}

}  // namespace korvane::testing
