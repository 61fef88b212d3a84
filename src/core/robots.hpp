// robots.txt as the Robots Exclusion Protocol (RFC 9309) reads it: the
// group for one crawler, and whether a link's path may be fetched.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace korvane::core::detail {

// How much of a robots.txt is read; the rest is ignored (the protocol asks
// crawlers to read at least 500 KiB).
inline constexpr std::size_t ROBOTS_MAX_BYTES = 500 * 1024;

// The rules of one robots.txt for one crawler.
class RobotsRules {
 public:
  // No rules: everything allowed (no robots.txt, or no group for the
  // crawler).
  RobotsRules() = default;

  // Nothing allowed but /robots.txt (a site whose robots.txt could not be
  // reached).
  [[nodiscard]] static RobotsRules disallow_all();

  // The rules of `text` for the crawler whose product token is `agent`: the
  // groups naming it (case ignored) merged, else the groups for "*", else
  // none. Lines are "user-agent", "allow" and "disallow" records; others and
  // comments are ignored, a user-agent line after a rule starts a new group.
  [[nodiscard]] static RobotsRules parse(std::string_view text, std::string_view agent);

  // Whether the path and query `target` (as robots_target() gives it) may
  // be fetched: the rule with the longest pattern that matches decides, an
  // allow rule winning a tie; no matching rule allows. /robots.txt is always
  // allowed.
  [[nodiscard]] bool allows(std::string_view target) const;

 private:
  struct Rule {
    std::string pattern;  // normalised, '*' a wildcard
    bool anchored = false;  // ended by '$': must match to the end
    bool allow = false;
    std::size_t length = 0;  // octets of the rule as normalised, its weight
  };
  static bool matches(const Rule& rule, std::string_view target);

  std::vector<Rule> rules_;
};

// The path and query of `link`, normalised as rules are ("/" when empty):
// percent-escapes of unreserved characters decoded, other escapes in upper
// case, bytes outside printable ASCII and literal '*' and '$' escaped.
[[nodiscard]] std::string robots_target(std::string_view link);

// The robots.txt link of `link`'s site (scheme, host and port); empty when
// `link` has no host.
[[nodiscard]] std::string robots_link(std::string_view link);

// The robots.txt rules of each site (by robots.txt link), learnt once and
// kept for the memo's life; thread-safe. A fetch claims the sites it is
// about to ask, so that fetches running at once ask each site once.
class RobotsMemo {
 public:
  // What is known of `sites`: their rules (absent while unknown), and the
  // unknown sites this caller now owns (it must learn() or release() each);
  // `waiting` counts unknown sites that another caller owns.
  struct Claim {
    std::vector<std::shared_ptr<const RobotsRules>> rules;  // one per site
    std::vector<std::string> owned;
    std::size_t waiting = 0;
  };
  [[nodiscard]] Claim claim(const std::vector<std::string>& sites);

  void learn(const std::string& site, RobotsRules rules);
  void release(const std::string& site);

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<const RobotsRules>> known_;
  std::unordered_set<std::string> claimed_;
};

}  // namespace korvane::core::detail
