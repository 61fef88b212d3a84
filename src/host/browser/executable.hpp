// The Chromium program: finding the executable and its command line.
#pragma once

#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::browser::detail {

// The Chromium executable to run: `configured` when non-empty, else the
// environment variable KORVANE_CHROMIUM when set, else the first of
// chromium, chromium-browser, google-chrome-stable, google-chrome on PATH.
// Throws BrowserUnavailableError saying where it looked.
[[nodiscard]] std::string find_chromium(std::string_view configured);

// Chromium's command line (without the program name) for a server: headless
// or not, the profile directory, the DevTools pipe, no first run, no
// background networking, component updates, sync, crash reporter or GPU,
// no QUIC, no background throttling of tabs, and no sandbox when running as
// root. `extra` comes last.
[[nodiscard]] std::vector<std::string> chromium_arguments(bool headless,
                                                          const std::filesystem::path& profile,
                                                          std::span<const std::string> extra);

}  // namespace korvane::browser::detail
