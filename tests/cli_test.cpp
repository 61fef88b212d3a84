// The command line: argument mode and --jsonl mode of the subcommands.
#include "cli_support.hpp"

#include <algorithm>

#include <gtest/gtest.h>

using korvane::testing::run_cli;

TEST(CliUnwrap, ArgumentsGiveOneLineEach) {
  const auto r = run_cli("unwrap 'https://a.example/p?utm_source=x&id=1' 'https://www.google.com/url?q=https://b.example/'");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, "https://a.example/p?id=1\nhttps://b.example/\n");
  const auto d = run_cli("domain 'https://WWW.Shop.example:8080/x'");
  EXPECT_EQ(d.output, "shop.example:8080\n");
  const auto bad = run_cli("domain 'https://[::1/x' 'https://ok.example/'");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.output, "ok.example\n");
}

TEST(CliUnwrap, JsonlAnswersEveryLineAndGoesOnAfterBadOnes) {
  const auto r = run_cli("unwrap --jsonl",
                         "{\"url\": \"https://a.example/?gclid=1\"}\n"
                         "not json\n"
                         "\n"
                         "{\"url\": \"https://[bad/\"}\n"
                         "[1]\n"
                         "{\"link\": \"x\"}\n"
                         "{\"url\": \"\"}\n");
  EXPECT_EQ(r.status, 0);
  const std::string expected_start = "{\"result\":\"https://a.example/\"}\n{\"error\":\"line 2: invalid JSON";
  EXPECT_EQ(r.output.substr(0, expected_start.size()), expected_start);
  // One answer per line, a blank one included, so answers stay aligned.
  EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 7);
  EXPECT_NE(r.output.find("{\"error\":\"line 3: empty line\"}"), std::string::npos);
  EXPECT_NE(r.output.find("{\"error\":\"Invalid IPv6 URL"), std::string::npos);
  EXPECT_NE(r.output.find("{\"error\":\"line 5: expected a JSON object\"}"), std::string::npos);
  EXPECT_NE(r.output.find("{\"error\":\"missing member \\\"url\\\"\"}"), std::string::npos);
  EXPECT_EQ(r.output.substr(r.output.size() - 14), "{\"result\":\"\"}\n");
}

TEST(CliSimilarity, ArgumentsAndJsonl) {
  EXPECT_EQ(run_cli("similarity 'Air Jordan 1 Retro High' --text 'Jordan 1 High' --href /x").output, "0.5\n");
  EXPECT_EQ(run_cli("similarity 'Nike Air Max 90' --href 'https://s.example/p/nike-air-max-90?q=x'").output,
            "1.0\n");
  EXPECT_EQ(run_cli("similarity 'A B C' --text 'a b c'").output, "0.0\n");
  const auto bad = run_cli("similarity 'Nike' --href 'https://[::1/p'");
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.output, "");
  EXPECT_NE(run_cli("similarity").status, 0);

  const auto r = run_cli("similarity --jsonl",
                         "{\"item_title\": \"Red red shoe\", \"link_text\": \"red\"}\n"
                         "{\"item_title\": \"Nike Air\", \"link_text\": \"\", \"link_href\": \"/p/nike-air\"}\n"
                         "{\"link_text\": \"x\"}\n"
                         "{\"item_title\": \"Nike\", \"link_href\": \"https://[::1/p\"}\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output.substr(0, 32), "{\"result\":0.5}\n{\"result\":1.0}\n{\"");
  EXPECT_NE(r.output.find("{\"error\":\"missing member \\\"item_title\\\"\"}"), std::string::npos);
  EXPECT_EQ(std::count(r.output.begin(), r.output.end(), '\n'), 4);
  EXPECT_NE(r.output.rfind("{\"error\":"), r.output.find("{\"error\":"));
}

// Arguments of the wrong kind are taken as meant or refused clearly: a link
// where a domain is expected stands for its domain, a search result given
// to resolve is refused with a hint, a value out of range says what is
// wanted.
TEST(CliArguments, WrongKindsAreTakenAsMeantOrRefusedClearly) {
  EXPECT_EQ(run_cli("classify 'https://www.amazon.com/dp/x'").output, "major_marketplace\n");
  EXPECT_EQ(run_cli("classify --jsonl", "{\"domain\": \"https://www.ebay.com/itm/1\"}\n").output,
            "{\"result\":\"major_marketplace\"}\n");
  const auto search_result = run_cli("resolve " KORVANE_SOURCE_DIR "/examples/visual-search-result.json 2>&1");
  EXPECT_EQ(search_result.status, 1);
  EXPECT_NE(search_result.output.find("a visual-search result, not enriched items: enrich it first"),
            std::string::npos)
      << search_result.output;
  const auto timeout = run_cli("enrich x.json --timeout abc 2>&1");
  EXPECT_EQ(timeout.status, 2);
  EXPECT_NE(timeout.output.find("--timeout: must be a positive number of seconds, not 'abc'"), std::string::npos)
      << timeout.output;
  EXPECT_LT(timeout.output.size(), 200u);
}
