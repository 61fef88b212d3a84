// robots.txt rules (RFC 9309): the standard's own examples as a table, and
// how groups are read.
#include "core/robots.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using korvane::core::detail::RobotsRules;
using korvane::core::detail::robots_link;
using korvane::core::detail::robots_target;

namespace {

struct Case {
  std::string agent;
  std::string link;
  bool allowed;
};

// Section 5.1 of the standard.
constexpr const char* simple_example = R"(User-Agent: *
Disallow: *.gif$
Disallow: /example/
Allow: /publications/

User-Agent: foobot
Disallow:/
Allow:/example/page.html
Allow:/example/allowed.gif

User-Agent: barbot
User-Agent: bazbot
Disallow: /example/page.html

User-Agent: quxbot

EOF
)";

// Section 5.2: the longest match wins, whatever the order.
constexpr const char* longest_match = R"(User-Agent: foobot
Allow: /example/page/
Disallow: /example/page/disallowed.gif
)";

bool allowed(const char* robots, const Case& c) {
  return RobotsRules::parse(robots, c.agent).allows(robots_target(c.link));
}

TEST(Robots, HoldsTheStandardsExamples) {
  const std::vector<Case> simple = {
      // foobot may fetch two path prefixes only (no space after the colon is fine).
      {"foobot", "https://example.com/example/page.html", true},
      {"foobot", "https://example.com/example/page.html?x=1", true},
      {"foobot", "https://example.com/example/allowed.gif", true},
      {"foobot", "https://example.com/example/other.html", false},
      {"foobot", "https://example.com/", false},
      {"FooBot", "https://example.com/index.html", false},  // the token's case does not count
      // barbot and bazbot share a group: all but the /example/page.html prefix.
      {"barbot", "https://example.com/example/page.html", false},
      {"bazbot", "https://example.com/example/page.html.bak", false},
      {"bazbot", "https://example.com/example/other.html", true},
      {"barbot", "https://example.com/image.gif", true},
      // quxbot's group is empty: everything.
      {"quxbot", "https://example.com/example/page.html", true},
      {"quxbot", "https://example.com/image.gif", true},
      // Any other crawler follows "*".
      {"otherbot", "https://example.com/example/x.html", false},
      {"otherbot", "https://example.com/image.gif", false},
      {"otherbot", "https://example.com/image.gif?size=2", true},  // "$" ends the pattern
      {"otherbot", "https://example.com/publications/", true},
      {"otherbot", "https://example.com/publications/chart.gif", true},  // the longer allow
      {"otherbot", "https://example.com/index.html", true},
      {"otherbot", "https://example.com/robots.txt", true},
  };
  for (const Case& c : simple) EXPECT_EQ(allowed(simple_example, c), c.allowed) << c.agent << " " << c.link;

  const std::vector<Case> longest = {
      {"foobot", "https://example.com/example/page/disallowed.gif", false},
      {"foobot", "https://example.com/example/page/disallow.gif", true},
      {"foobot", "https://example.com/example/page/", true},
  };
  for (const Case& c : longest) EXPECT_EQ(allowed(longest_match, c), c.allowed) << c.link;
}

TEST(Robots, MatchesPathsAsTheStandardEncodesThem) {
  // Section 2.2.2: a rule and a path match once both are percent-encoded
  // alike; section 2.2.3: "*" and "$", and their escapes as literals.
  struct PathCase {
    std::string rule;
    std::string path;
    bool matches;
  };
  const std::vector<PathCase> cases = {
      {"/foo/bar?baz=quz", "/foo/bar?baz=quz", true},
      {"/foo/bar/\xE3\x83\x84", "/foo/bar/%E3%83%84", true},
      {"/foo/bar/%E3%83%84", "/foo/bar/%E3%83%84", true},
      {"/foo/bar/%E3%83%84", "/foo/bar/\xE3\x83\x84", true},
      {"/foo/bar/%e3%83%84", "/foo/bar/%E3%83%84", true},
      {"/foo/bar/%62%61%7A", "/foo/bar/baz", true},
      {"/foo/bar/baz", "/foo/bar/%62%61%7A", true},
      {"/a%2fb", "/a/b", false},  // an escaped slash is no slash
      {"/this/path/exactly$", "/this/path/exactly", true},
      {"/this/path/exactly$", "/this/path/exactly/more", false},
      {"/this/*/exactly", "/this/long/path/exactly", true},
      {"/this/*/exactly", "/this/exactly", false},
      {"/*.php$", "/index.php", true},
      {"/*.php$", "/index.php?x", false},
      {"/a*b*c$", "/aXbYc", true},
      {"/a*b*c$", "/aXcYb", false},
      {"/path/file-with-a-%2A.html", "/path/file-with-a-*.html", true},
      {"/path/file-with-a-%2A.html", "/path/file-with-a-x.html", false},
      {"/path/foo-%24", "/path/foo-$", true},
      {"/path/foo-%24", "/path/foo-x", false},
  };
  for (const PathCase& c : cases) {
    const RobotsRules rules = RobotsRules::parse("User-agent: *\nDisallow: " + c.rule + "\n", "bot");
    EXPECT_EQ(!rules.allows(robots_target("https://example.com" + c.path)), c.matches) << c.rule << " " << c.path;
  }
}

TEST(Robots, ReadsGroupsAsTheStandardDefinesThem) {
  const char* robots =
      "\xEF\xBB\xBF"                                // a byte order mark
      "Disallow: /ignored\n"                       // before any group: ignored
      "user-agent: korvane-commerce # us\r\n"
      "disallow: /a\n"
      "Sitemap: https://example.com/sitemap.xml\n"  // does not end the group
      "Disallow: /b\n"
      "User-agent: other\n"
      "Disallow: /c\n"
      "USER-AGENT: Korvane-Commerce/2.1\n"          // a second group of ours: merged
      "Disallow: /d\n"
      "Allow: /d\n"                                 // a tie: allow wins
      "Disallow:\n";                                // an empty path disallows nothing
  const RobotsRules rules = RobotsRules::parse(robots, "korvane-commerce");
  for (const char* path : {"/a", "/b/x"}) EXPECT_FALSE(rules.allows(path)) << path;
  for (const char* path : {"/ignored", "/c", "/d", "/"}) EXPECT_TRUE(rules.allows(path)) << path;

  EXPECT_TRUE(RobotsRules().allows("/anything"));
  EXPECT_FALSE(RobotsRules::disallow_all().allows("/anything"));
  EXPECT_TRUE(RobotsRules::disallow_all().allows("/robots.txt"));
  // No group for us and no "*": no rules.
  EXPECT_TRUE(RobotsRules::parse("User-agent: other\nDisallow: /\n", "korvane-commerce").allows("/x"));

  EXPECT_EQ(robots_link("https://User@Shop.Example:8443/p/1?x#y"), "https://shop.example:8443/robots.txt");
  EXPECT_EQ(robots_target("https://shop.example"), "/");
  EXPECT_EQ(robots_target("https://shop.example/p;v=1?q=a b"), "/p;v=1?q=a%20b");
}

}  // namespace
