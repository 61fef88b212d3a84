// How a stealth browser session is set up, and the factory that makes one.
// (No Asio here: the session itself is in <korvane/browser/session.hpp>.)
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace korvane::browser {

class Session;

// Settings of AsyncStealthySession beyond its page limit and page timeout.
struct SessionOptions {
  // Run the browser without a window.
  bool headless = true;
  // Do not load images, media, fonts and style sheets.
  bool disable_resources = true;
  // Open pages on loopback, private, link-local, multicast and unspecified
  // addresses too (tests and the offline demo); refused when false.
  bool allow_private_addresses = false;
  // The Chromium executable; when empty, the environment variable
  // KORVANE_CHROMIUM, else "chromium" (or "chromium-browser",
  // "google-chrome-stable", "google-chrome") on PATH.
  std::string chromium_path;
  // More command-line arguments for Chromium, after ours (for instance
  // "--host-resolver-rules=MAP * 127.0.0.1:8080").
  std::vector<std::string> extra_args;
  // How long the browser may take to start and answer.
  std::chrono::milliseconds start_timeout{30000};
  // How long a loaded page must have no request in flight before it counts
  // as settled (scripts that fetch results after the load event).
  std::chrono::milliseconds quiet_period{500};
  // For fetch_when_ready(): how long the elements it names must stay the
  // same, with no request in flight, before the page counts as ready (of the
  // page's own time once it has loaded: see AsyncStealthySession). A list
  // that comes in pieces is either still loading (a request in flight) or
  // rendered a few frames apart (16 ms each), well within it even when a
  // loaded machine delays the page's timers.
  std::chrono::milliseconds ready_quiet_period{200};
  // For fetch_when_ready(): once its elements are there, the page counts
  // as ready after this long even if they or the network never settle
  // (endless polling, streamed lists).
  std::chrono::milliseconds ready_settle_limit{2000};
};

// Makes a session, not yet entered, from the most pages open at once and the
// page timeout in milliseconds.
using SessionFactory = std::function<std::unique_ptr<Session>(int max_pages, int timeout_ms)>;

// The factory of real Chromium sessions (AsyncStealthySession) with `options`.
[[nodiscard]] SessionFactory stealth_session_factory(SessionOptions options = {});

}  // namespace korvane::browser
