#include "core/robots.hpp"

#include "text/unicode.hpp"
#include "text/url.hpp"

#include <korvane/errors.hpp>

#include <algorithm>

namespace korvane::core::detail {
namespace {

bool is_unreserved(unsigned char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_' || c == '~';
}

int hex_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void escape(std::string& out, unsigned char c) {
  constexpr std::string_view hex = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(hex[c >> 4U]);
  out.push_back(hex[c & 0x0FU]);
}

// `path` normalised for matching. In a rule, '*' stays a wildcard; in a
// link's path it is a literal and escaped, as '$' always is.
std::string normalise(std::string_view path, bool rule) {
  std::string out;
  out.reserve(path.size());
  for (std::size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<unsigned char>(path[i]);
    if (c == '%' && i + 2 < path.size() && hex_value(path[i + 1]) >= 0 && hex_value(path[i + 2]) >= 0) {
      const auto decoded = static_cast<unsigned char>(hex_value(path[i + 1]) * 16 + hex_value(path[i + 2]));
      if (is_unreserved(decoded)) {
        out.push_back(static_cast<char>(decoded));
      } else {
        escape(out, decoded);
      }
      i += 2;
    } else if (c <= 0x20 || c >= 0x7F || c == '$' || (c == '*' && !rule)) {
      escape(out, c);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The product token at the start of a user-agent value ("FooBot/1.2" ->
// "FooBot"), or "*".
std::string_view agent_token(std::string_view value) noexcept {
  if (!value.empty() && value.front() == '*') return "*";
  std::size_t n = 0;
  const auto token_char = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == '-';
  };
  while (n < value.size() && token_char(value[n])) ++n;
  return value.substr(0, n);
}

// One record of robots.txt: its key in lower case and its value.
struct Record {
  std::string key;
  std::string_view value;
};

std::vector<Record> records_of(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  text = text.substr(0, ROBOTS_MAX_BYTES);
  std::vector<Record> records;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = line.substr(0, line.find('#'));
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    records.push_back({text::ascii_lower(trim(line.substr(0, colon))), trim(line.substr(colon + 1))});
  }
  return records;
}

}  // namespace

RobotsRules RobotsRules::disallow_all() {
  RobotsRules rules;
  rules.rules_.push_back({"/", false, false, 1});
  return rules;
}

RobotsRules RobotsRules::parse(std::string_view text, std::string_view agent) {
  struct Group {
    bool ours = false;
    bool any = false;  // "*"
    std::vector<const Record*> rules;
  };
  const std::vector<Record> records = records_of(text);
  std::vector<Group> groups;
  bool in_agents = false;  // the last record was a user-agent line
  for (const Record& record : records) {
    if (record.key == "user-agent") {
      if (!in_agents) groups.emplace_back();
      in_agents = true;
      const std::string_view token = agent_token(record.value);
      groups.back().any = groups.back().any || token == "*";
      groups.back().ours = groups.back().ours || (!token.empty() && text::ascii_iequals(token, agent));
    } else if (record.key == "allow" || record.key == "disallow") {
      in_agents = false;
      if (!groups.empty()) groups.back().rules.push_back(&record);  // rules before any group are ignored
    }
  }
  const bool named = std::any_of(groups.begin(), groups.end(), [](const Group& g) { return g.ours; });
  RobotsRules rules;
  for (const Group& group : groups) {
    if (named ? !group.ours : !group.any) continue;
    for (const Record* record : group.rules) {
      if (record->value.empty()) continue;  // "Disallow:" with no path disallows nothing
      Rule rule;
      std::string_view pattern = record->value;
      rule.anchored = pattern.back() == '$';
      if (rule.anchored) pattern.remove_suffix(1);
      rule.pattern = normalise(pattern, true);
      rule.length = rule.pattern.size() + (rule.anchored ? 1 : 0);
      rule.allow = record->key == "allow";
      rules.rules_.push_back(std::move(rule));
    }
  }
  return rules;
}

bool RobotsRules::matches(const Rule& rule, std::string_view target) {
  std::string_view pattern = rule.pattern;
  std::size_t star = pattern.find('*');
  // The part before the first '*' is a prefix of the target.
  const std::string_view head = pattern.substr(0, star);
  if (target.substr(0, head.size()) != head) return false;
  if (star == std::string_view::npos) return !rule.anchored || target.size() == head.size();
  std::size_t at = head.size();
  pattern.remove_prefix(star + 1);
  // Each later part at its leftmost place after the one before (leaving the
  // most room for the rest); an anchored pattern's last part ends the target.
  while (true) {
    star = pattern.find('*');
    const std::string_view part = pattern.substr(0, star);
    if (star == std::string_view::npos) {
      if (!rule.anchored) return target.find(part, at) != std::string_view::npos;
      return target.size() >= at + part.size() && target.substr(target.size() - part.size()) == part;
    }
    const std::size_t found = target.find(part, at);
    if (found == std::string_view::npos) return false;
    at = found + part.size();
    pattern.remove_prefix(star + 1);
  }
}

bool RobotsRules::allows(std::string_view target) const {
  if (target == "/robots.txt") return true;
  const Rule* best = nullptr;
  for (const Rule& rule : rules_) {
    if (!matches(rule, target)) continue;
    if (best == nullptr || rule.length > best->length || (rule.length == best->length && rule.allow)) best = &rule;
  }
  return best == nullptr || best->allow;
}

std::string robots_target(std::string_view link) {
  text::UrlParts parts;
  try {
    parts = text::split_url(link);
  } catch (const InvalidUrlError&) {
    return "/";
  }
  std::string path = parts.path.empty() ? "/" : parts.path;
  if (!parts.params.empty()) path += ";" + parts.params;
  if (!parts.query.empty()) path += "?" + parts.query;
  return normalise(path, false);
}

std::string robots_link(std::string_view link) {
  text::UrlParts parts;
  try {
    parts = text::split_url(link);
  } catch (const InvalidUrlError&) {
    return {};
  }
  std::string_view authority = parts.netloc;
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) authority.remove_prefix(at + 1);
  if (authority.empty()) return {};
  return text::ascii_lower(parts.scheme) + "://" + text::ascii_lower(authority) + "/robots.txt";
}

RobotsMemo::Claim RobotsMemo::claim(const std::vector<std::string>& sites) {
  const std::lock_guard lock(mutex_);
  Claim claim;
  claim.rules.reserve(sites.size());
  for (const std::string& site : sites) {
    if (const auto found = known_.find(site); found != known_.end()) {
      claim.rules.push_back(found->second);
      continue;
    }
    claim.rules.emplace_back();
    if (claimed_.insert(site).second) {
      claim.owned.push_back(site);
    } else if (std::find(claim.owned.begin(), claim.owned.end(), site) == claim.owned.end()) {
      ++claim.waiting;
    }
  }
  return claim;
}

void RobotsMemo::learn(const std::string& site, RobotsRules rules) {
  const std::lock_guard lock(mutex_);
  known_.insert_or_assign(site, std::make_shared<const RobotsRules>(std::move(rules)));
  claimed_.erase(site);
}

void RobotsMemo::release(const std::string& site) {
  const std::lock_guard lock(mutex_);
  claimed_.erase(site);
}

}  // namespace korvane::core::detail
