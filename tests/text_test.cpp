// Shared text machinery: UTF-8, white space, case mapping, numbers, JSON text,
// URL splitting and query coding.
#include "text/json_reader.hpp"
#include "text/json_writer.hpp"
#include "text/number.hpp"
#include "text/unicode.hpp"
#include "text/url.hpp"
#include "text/utf8.hpp"

#include <korvane/errors.hpp>

#include <boost/json.hpp>
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <limits>
#include <string>
#include <vector>

namespace text = korvane::text;

TEST(Utf8, SanitizeReplacesEachMaximalSubpartOnce) {
  EXPECT_EQ(text::sanitize_utf8("caf\xC3\xA9"), "caf\xC3\xA9");
  // A truncated three-byte sequence is one replacement, the next byte stays.
  EXPECT_EQ(text::sanitize_utf8("a\xE2\x82z"), "a\xEF\xBF\xBDz");
  // A lone continuation byte, an overlong form and a surrogate.
  EXPECT_EQ(text::sanitize_utf8("\x80"), "\xEF\xBF\xBD");
  EXPECT_EQ(text::sanitize_utf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(text::sanitize_utf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_EQ(text::sanitize_utf8("\xF4\x90\x80\x80"),
            "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
  EXPECT_TRUE(text::is_valid_utf8("plain ascii text that is long enough for the fast path"));
  EXPECT_FALSE(text::is_valid_utf8("plain ascii text that is long enough\xFF"));
  EXPECT_EQ(text::code_point_length("\xE2\x82\xAC" "12"), 3u);
  EXPECT_EQ(text::code_point_prefix_bytes("\xE2\x82\xAC" "12", 2), 4u);
}

// The validation (32 bytes at a time where the processor allows) says
// valid exactly when the repair leaves a text as it is: random texts of
// well-formed and ill-formed pieces, sequences cut by the text's end and by
// the blocks' borders.
TEST(Utf8, ValidationAgreesWithTheRepair) {
  const std::vector<std::string> pieces = {"a", "<p>", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBD",
                                           "\x80", "\xBF", "\xC0\xAF", "\xC2", "\xDF", "\xE0\xA0", "\xE0\x9F\x80",
                                           "\xED\xA0\x80", "\xED\x9F\xBF", "\xF0\x90", "\xF4\x8F\xBF\xBF",
                                           "\xF4\x90\x80\x80", "\xF5", "\xFF", std::string(1, '\0')};
  std::mt19937 rng(11);
  for (int round = 0; round < 4000; ++round) {
    std::string s;
    const std::size_t length = rng() % 160;
    // Mostly one piece among ASCII, so that whole blocks of either occur.
    const std::string& rare = pieces[rng() % pieces.size()];
    while (s.size() < length) s += rng() % 8 == 0 ? rare : pieces[rng() % 3];
    ASSERT_EQ(text::is_valid_utf8(s), text::sanitize_utf8(s) == s) << round;
  }
}

TEST(Unicode, StripAndSplitUseUnicodeWhiteSpace) {
  const std::string nbsp = "\xC2\xA0", ideographic = "\xE3\x80\x80";
  EXPECT_EQ(text::strip(nbsp + " \t x y\n" + ideographic), "x y");
  EXPECT_EQ(text::strip("   "), "");
  const std::string sentence = "  one" + nbsp + "two\u2003three  ";
  const auto words = text::split_white_space(sentence);
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[1], "two");
  EXPECT_EQ(text::collapse_white_space("\n TWO   words\n"), "TWO words");
  // U+001F is not white space in Unicode.
  EXPECT_EQ(text::strip("\x1F" "a"), "\x1F" "a");
}

TEST(Unicode, CaseMapping) {
  EXPECT_EQ(text::to_lower("ÀÉÎ Straße İ"), "àéî straße i\xCC\x87");
  EXPECT_EQ(text::to_lower("ΣΟΦΟΣ"), "σοφος");  // final sigma
  EXPECT_EQ(text::title_case("blue suede-shoes 2x"), "Blue Suede-Shoes 2X");
  EXPECT_EQ(text::title_case("hELLO wORLD"), "Hello World");
  EXPECT_EQ(text::title_case("éclair au café"), "Éclair Au Café");
  EXPECT_EQ(text::title_case("ǆemal"), "ǅemal");  // title-case form, not upper
  EXPECT_EQ(text::title_case("ßtraße"), "Sstraße");
  // A capital sigma that ends a word (case-ignorable characters aside) is
  // a final sigma; one that starts a word or goes on is not.
  EXPECT_EQ(text::title_case("ΣΊΣΥΦΟΣ"), "Σίσυφος");
  EXPECT_EQ(text::title_case("ΟΔΟΣ-ΟΔΟΣ ΑΣ' Σ ΑΣΑ"), "Οδος-Οδος Ας' Σ Ασα");
  EXPECT_EQ(text::title_case("ΟΔΟΣ\u0301 ΟΔΟΣ-"), "Οδος\u0301 Οδος-");
}

TEST(Number, ShortestRoundTripText) {
  const std::pair<double, const char*> cases[] = {
      {12.0, "12.0"},     {1299.99, "1299.99"}, {0.1, "0.1"},        {1e16, "1e+16"},
      {1.5e-05, "1.5e-05"}, {0.0001, "0.0001"}, {123456789012345.0, "123456789012345.0"},
      {9999999999999998.0, "9999999999999998.0"}, {1e22, "1e+22"}, {-2.5, "-2.5"},
      {0.0, "0.0"},       {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& [value, expected] : cases) EXPECT_EQ(text::format_shortest(value), expected) << expected;
  EXPECT_EQ(text::format_shortest(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(text::format_shortest(-std::numeric_limits<double>::infinity()), "-Infinity");
}

TEST(Number, RoundToCentsUsesTheExactBinaryValue) {
  EXPECT_EQ(text::round_to_cents(0.125), 0.12);   // exact tie: to even
  EXPECT_EQ(text::round_to_cents(0.375), 0.38);   // exact tie: to even
  EXPECT_EQ(text::round_to_cents(2.675), 2.67);   // binary value just below 2.675
  EXPECT_EQ(text::round_to_cents(1.005), 1.0);    // binary value just below 1.005
  EXPECT_EQ(text::round_to_cents(1.234), 1.23);
  EXPECT_EQ(text::round_to_cents(1e20), 1e20);
  EXPECT_EQ(text::format_fixed2(1299.5), "1299.50");
  EXPECT_EQ(text::format_fixed2(20.0), "20.00");
  EXPECT_TRUE(std::isinf(text::round_to_cents(std::numeric_limits<double>::infinity())));
}

TEST(Number, ParseDecimalAcceptsOnlyDecimalLiterals) {
  EXPECT_EQ(text::parse_decimal("1299.99"), 1299.99);
  EXPECT_EQ(text::parse_decimal(" 12 "), 12.0);
  EXPECT_EQ(text::parse_decimal(".5"), 0.5);
  EXPECT_EQ(text::parse_decimal("5."), 5.0);
  EXPECT_FALSE(text::parse_decimal("1.234.567"));
  EXPECT_FALSE(text::parse_decimal("1\xC2\xA0" "234"));
  EXPECT_FALSE(text::parse_decimal(""));
  EXPECT_FALSE(text::parse_decimal("."));
  EXPECT_TRUE(std::isinf(*text::parse_decimal(std::string(400, '9'))));
}

TEST(JsonWriter, IndentedAndCompactForms) {
  const auto v = boost::json::parse(R"({"a":[1,2.0,{}],"b":{"c":"x\"y\n","d":[]},"e":null,"f":true})");
  EXPECT_EQ(text::write_json(v, 0), R"({"a":[1,2.0,{}],"b":{"c":"x\"y\n","d":[]},"e":null,"f":true})");
  EXPECT_EQ(text::write_json(v, 2),
            "{\n  \"a\": [\n    1,\n    2.0,\n    {}\n  ],\n  \"b\": {\n    \"c\": \"x\\\"y\\n\",\n"
            "    \"d\": []\n  },\n  \"e\": null,\n  \"f\": true\n}");
  EXPECT_EQ(text::write_json(boost::json::value("caf\xC3\xA9\x01")), "\"caf\xC3\xA9\\u0001\"");
  EXPECT_EQ(text::json_text_form(boost::json::value("plain")), "plain");
  EXPECT_EQ(text::json_text_form(boost::json::value(10)), "10");
  EXPECT_EQ(text::json_text_form(boost::json::value(1e16)), "1e+16");
}

TEST(JsonReader, IntegersTooLargeFor64BitsKeepTheirDigits) {
  const char* source = R"({"a":[123456789012345678901234567890,-9223372036854775809,18446744073709551615,1e30,)"
                       R"(-0.5],"b":{"c":18446744073709551616,"c":7}})";
  text::JsonArena arena;
  const auto document = text::parse_json(source, arena, {});
  ASSERT_TRUE(document);
  EXPECT_EQ(text::write_json(*document),
            R"({"a":[123456789012345678901234567890,-9223372036854775809,18446744073709551615,1e+30,-0.5],"b":{"c":7}})");
  const auto& numbers = document->at("a").as_array();
  EXPECT_EQ(numbers[0].as_double(), 1.2345678901234568e+29);  // the value itself is the nearest double
  EXPECT_EQ(text::json_text_form(numbers[1]), "-9223372036854775809");
  // Outside an arena, and for a document that is one number: the double.
  EXPECT_EQ(text::json_text_form(boost::json::parse("[123456789012345678901234567890]").at(0)),
            "1.2345678901234568e+29");
  EXPECT_EQ(text::json_text_form(*text::parse_json("123456789012345678901234567890", arena, {})),
            "1.2345678901234568e+29");
  EXPECT_FALSE(text::parse_json("[1] x", arena, {}));
  EXPECT_FALSE(text::parse_json("[1", arena, {}));
}

// ---------------------------------------------------------------- URLs

struct SplitCase {
  const char* url;
  text::UrlParts parts;
};

TEST(Url, SplitsIntoSixComponents) {
  const SplitCase cases[] = {
      {"https://Shop.Example:8080/a/b;v=1?x=1&y=2#frag",
       {"https", "Shop.Example:8080", "/a/b", "v=1", "x=1&y=2", "frag"}},
      {"HTTP://h/p", {"http", "h", "/p", "", "", ""}},
      {"shop.example/p", {"", "", "shop.example/p", "", "", ""}},
      {"//host/x?q", {"", "host", "/x", "", "q", ""}},
      {"https://h/a;b/c;d", {"https", "h", "/a;b/c", "d", "", ""}},
      {"mailto:someone@x.org", {"mailto", "", "someone@x.org", "", "", ""}},
      {"custom://h/a;b", {"custom", "h", "/a;b", "", "", ""}},
      {"1http://h/p", {"", "", "1http://h/p", "", "", ""}},
      {" \x01https://h/a b\t/c\n", {"https", "h", "/a b/c", "", "", ""}},
      {"https://h?q=1#a#b", {"https", "h", "", "", "q=1", "a#b"}},
      {"https://[::1]:80/x", {"https", "[::1]:80", "/x", "", "", ""}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::split_url(c.url), c.parts) << c.url;
  }
  EXPECT_THROW((void)text::split_url("https://[::1/x"), korvane::InvalidUrlError);
  EXPECT_THROW((void)text::split_url("http://::1]/x"), korvane::InvalidUrlError);
}

TEST(Url, RecomposesAsWritten) {
  EXPECT_EQ(text::unsplit_url({"https", "h", "p", "a", "q", "f"}), "https://h/p;a?q#f");
  EXPECT_EQ(text::unsplit_url({"https", "", "/p", "", "", ""}), "https:/p");
  EXPECT_EQ(text::unsplit_url({"", "", "shop.example/p", "", "", ""}), "shop.example/p");
  EXPECT_EQ(text::unsplit_url({"https", "h", "", "", "x=1", ""}), "https://h?x=1");
  for (const char* url : {"https://h/a/b;v?x=1#f", "ftp://u@h:21/f.txt", "/relative/path?x"}) {
    EXPECT_EQ(text::unsplit_url(text::split_url(url)), url);
  }
}

TEST(Url, ReferencesResolveAgainstTheirPageAsInABrowser) {
  const std::string base = "HTTPS://www.Store.com/search/shoes?q=air+max#top";
  struct Case {
    const char* reference;
    const char* expected;
  };
  const Case cases[] = {
      // A single "/": the base's scheme and host as written, as before.
      {"/p/123", "https://www.Store.com/p/123"},
      {"/p/123?ref=sr#img", "https://www.Store.com/p/123?ref=sr#img"},
      {"/p/Nike Air Max", "https://www.Store.com/p/Nike Air Max"},   // kept as written
      {"/P/A%2FB/%7E", "https://www.Store.com/P/A%2FB/%7E"},          // escapes untouched
      {"/a/./b/../c", "https://www.Store.com/a/c"},                   // dot segments go
      // Relative paths merge with the search page's folder.
      {"p/123", "https://www.Store.com/search/p/123"},
      {"../item/9", "https://www.Store.com/item/9"},
      {"../../../item/9", "https://www.Store.com/item/9"},
      {"./p/1", "https://www.Store.com/search/p/1"},
      // Protocol-relative: another host.
      {"//cdn.store.com/p/1", "https://cdn.store.com/p/1"},
      // Query and fragment only.
      {"?page=2", "https://www.Store.com/search/shoes?page=2"},
      {"#reviews", "https://www.Store.com/search/shoes?q=air+max#reviews"},
      // Absolute links stay exactly as written.
      {"https://other.example/p/1?x=1", "https://other.example/p/1?x=1"},
      {"HTTPS://Other.example/a/../p", "HTTPS://Other.example/a/../p"},
      {"javascript:void(0)", "javascript:void(0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::resolve_reference(base, c.reference), c.expected) << c.reference;
  // A base with a host but no path, and one without a scheme.
  EXPECT_EQ(text::resolve_reference("https://shop.example", "p/1"), "https://shop.example/p/1");
  EXPECT_EQ(text::resolve_reference("https://shop.example?q=1", "?q=2"), "https://shop.example?q=2");
  EXPECT_EQ(text::resolve_reference("shop.example/search", "/p/1"), "/p/1");
}

TEST(Url, WebUrlsAreHttpOrHttpsWithAHost) {
  for (const char* url : {"https://shop.example/p", "HTTP://Shop.example", "hTTps://h?q#f"}) {
    EXPECT_TRUE(text::is_web_url(url)) << url;
  }
  for (const char* url : {"javascript:fetch('//x.example/')//product/1", "file:///etc/passwd?/product/1",
                          "data:text/html,<p>", "mailto:a@shop.example", "ftp://shop.example/p", "https:/p",
                          "https:///p", "//shop.example/p", "/p/1", " https://shop.example/p", ""}) {
    EXPECT_FALSE(text::is_web_url(url)) << url;
  }
}

// One leading "www." (the unwrapper's domain) or every "www." (the parser's
// and the store crawl's): the two rules differ only there.
TEST(Url, LinkDomainsLoseOneLeadingWwwOrEveryWww) {
  using text::WwwRemoval;
  const struct {
    const char* url;
    const char* leading_once;
    const char* every;
  } cases[] = {
      {"https://WWW.Shop.Example:8080/p?q", "shop.example:8080", "shop.example:8080"},
      {"https://www.www.shop.example/", "www.shop.example", "shop.example"},
      {"https://shop.www.example/", "shop.www.example", "shop.example"},
      {"https://wwww.example/", "wwww.example", "wexample"},
      {"https://user@www.shop.example/", "user@www.shop.example", "user@shop.example"},
      {"https://ÀWWW.shop.example/", "àwww.shop.example", "àshop.example"},
      {"shop.example/p", "", ""},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::link_domain(c.url, WwwRemoval::leading_once), c.leading_once) << c.url;
    EXPECT_EQ(text::link_domain(c.url, WwwRemoval::every), c.every) << c.url;
  }
  EXPECT_THROW((void)text::link_domain("https://[::1/p", WwwRemoval::every), korvane::InvalidUrlError);
}

TEST(Url, QueryParsingDropsBlankValuesAndDecodes) {
  const auto q = text::parse_query("a=1&b=&c&&a=2&d=x+y%20z&e=%E2%82%AC&f=%ZZ&g=%FF&=v");
  ASSERT_EQ(q.size(), 6u);
  EXPECT_EQ(q[0].first, "a");
  EXPECT_EQ(q[0].second, (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(q[1].second.front(), "x y z");
  EXPECT_EQ(q[2].second.front(), "\xE2\x82\xAC");
  EXPECT_EQ(q[3].second.front(), "%ZZ");
  EXPECT_EQ(q[4].second.front(), "\xEF\xBF\xBD");
  EXPECT_EQ(q[5].first, "");
  EXPECT_EQ(text::encode_query({{"q", "a b&c"}, {"k", "\xE2\x82\xAC~._-"}}),
            "q=a+b%26c&k=%E2%82%AC~._-");
}
