#include "host/browser/executable.hpp"

#include <korvane/errors.hpp>

#include <unistd.h>

#include <cstdlib>
#include <iterator>

namespace korvane::browser::detail {
namespace fs = std::filesystem;

namespace {

constexpr std::string_view CANDIDATE_NAMES[] = {"chromium", "chromium-browser",
                                                "google-chrome-stable", "google-chrome"};

bool is_executable_file(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

}  // namespace

std::string find_chromium(std::string_view configured) {
  if (!configured.empty()) {
    const fs::path p{std::string(configured)};
    if (!is_executable_file(p)) {
      throw BrowserUnavailableError("the configured Chromium executable '" + p.string() +
                                    "' is not an executable file");
    }
    return p.string();
  }
  if (const char* env = std::getenv("KORVANE_CHROMIUM"); env != nullptr && *env != '\0') {
    const fs::path p{env};
    if (p.has_parent_path()) {
      if (!is_executable_file(p)) {
        throw BrowserUnavailableError("KORVANE_CHROMIUM names '" + p.string() +
                                      "', which is not an executable file");
      }
      return p.string();
    }
    configured = env;  // a bare name: look for it on PATH below
  }
  const char* path_env = std::getenv("PATH");
  const std::string path_list = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
  std::vector<std::string_view> names;
  if (!configured.empty()) {
    names.push_back(configured);
  } else {
    names.assign(std::begin(CANDIDATE_NAMES), std::end(CANDIDATE_NAMES));
  }
  for (const auto name : names) {
    std::size_t start = 0;
    while (start <= path_list.size()) {
      std::size_t end = path_list.find(':', start);
      if (end == std::string::npos) end = path_list.size();
      const std::string dir = path_list.substr(start, end - start);
      const fs::path candidate = fs::path(dir.empty() ? "." : dir) / std::string(name);
      if (is_executable_file(candidate)) return candidate.string();
      start = end + 1;
    }
  }
  std::string looked;
  for (const auto name : names) {
    if (!looked.empty()) looked += ", ";
    looked += name;
  }
  throw BrowserUnavailableError("no Chromium executable found on PATH (looked for " + looked +
                                "); install chromium or set KORVANE_CHROMIUM");
}

std::vector<std::string> chromium_arguments(bool headless, const fs::path& profile,
                                            std::span<const std::string> extra) {
  std::vector<std::string> args;
  if (headless) args.emplace_back("--headless=new");
  args.insert(args.end(), {
                              "--remote-debugging-pipe",
                              "--user-data-dir=" + profile.string(),
                              "--no-first-run",
                              "--no-default-browser-check",
                              "--disable-background-networking",
                              "--disable-component-update",
                              "--disable-sync",
                              "--disable-default-apps",
                              "--disable-extensions",
                              "--disable-gpu",
                              "--disable-quic",
                              "--disable-breakpad",
                              "--disable-client-side-phishing-detection",
                              "--disable-domain-reliability",
                              "--disable-hang-monitor",
                              "--disable-popup-blocking",
                              "--disable-prompt-on-repost",
                              "--disable-background-timer-throttling",
                              "--disable-backgrounding-occluded-windows",
                              "--disable-renderer-backgrounding",
                              // No trying https first for http links (an http-only
                              // server then costs seconds), no network time queries,
                              // no address-bar pop-up pages (loaded in a renderer of their
                              // own with the first tab, which costs more processor time
                              // than a search page).
                              "--disable-features=Translate,OptimizationHints,MediaRouter,"
                              "AutofillServerCommunication,InterestFeedContentSuggestions,"
                              "HttpsUpgrades,HttpsFirstBalancedModeAutoEnable,NetworkTimeServiceQuerying,"
                              "WebUIOmniboxPopup,WebUIOmniboxAimPopup",
                              "--disable-blink-features=AutomationControlled",
                              "--metrics-recording-only",
                              "--password-store=basic",
                              "--use-mock-keychain",
                              "--mute-audio",
                              "--hide-scrollbars",
                              "--no-service-autorun",
                              "--no-startup-window",  // tabs are opened by fetch()
                              "--noerrdialogs",
                              "--lang=en-US",
                              "--window-size=1366,768",
                          });
  if (::geteuid() == 0) args.emplace_back("--no-sandbox");
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

}  // namespace korvane::browser::detail
