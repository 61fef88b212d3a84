// HTML character references: named (with and without ";"), numeric, and
// text that holds no reference at all.
#include "text/html.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>

using korvane::text::html_unescape;

namespace {

struct Case {
  const char* input;
  const char* expected;
};

void check(const Case* begin, const Case* end) {
  for (const Case* c = begin; c != end; ++c) {
    EXPECT_EQ(html_unescape(c->input), c->expected) << "input: " << c->input;
  }
}

template <std::size_t N>
void check(const Case (&cases)[N]) {
  check(cases, cases + N);
}

}  // namespace

TEST(HtmlUnescape, TextWithoutReferencesIsUnchanged) {
  const Case cases[] = {
      {"", ""},
      {"plain text", "plain text"},
      {"Café crème — 12 €", "Café crème — 12 €"},
      {"semi;colons; and #hashes", "semi;colons; and #hashes"},
  };
  check(cases);
  // Bytes that are not UTF-8 are copied, with or without references.
  EXPECT_EQ(html_unescape("a\xFF" "b"), "a\xFF" "b");
  EXPECT_EQ(html_unescape("\xC3&amp;\x28"), "\xC3&\x28");
}

TEST(HtmlUnescape, NamedReferencesWithSemicolon) {
  const Case cases[] = {
      {"&amp;", "&"},
      {"&lt;b&gt;bold&lt;/b&gt;", "<b>bold</b>"},
      {"&quot;x&quot; &apos;y&apos;", "\"x\" 'y'"},
      {"&AMP;&LT;&GT;&QUOT;", "&<>\""},
      {"&eacute;&Eacute;", "éÉ"},
      {"&nbsp;", "\xC2\xA0"},
      {"&hellip;", "…"},
      {"&notin;", "∉"},
      {"&gtrsim;", "≳"},
      {"&fjlig;", "fj"},                                     // two code points
      {"&NotNestedGreaterGreater;", "\u2AA2\u0338"},        // two code points
      {"&CounterClockwiseContourIntegral;", "∳"},            // the longest name
      {"&bne;", "=\u20E5"},
      {"&Café;", "&Café;"},
      {"5 &times; 3 &ne; 14", "5 × 3 ≠ 14"},
  };
  check(cases);
}

TEST(HtmlUnescape, LegacyNamesWithoutSemicolonByLongestMatch) {
  const Case cases[] = {
      {"&amp", "&"},
      {"&ampx", "&x"},
      {"&ampx;", "&x;"},
      {"&amp;x", "&x"},
      {"&notit;", "¬it;"},
      {"&notin", "¬in"},          // "notin;" needs its ";"
      {"&not", "¬"},
      {"&copy2024", "©2024"},
      {"&frac34x", "¾x"},
      {"&Eacute", "É"},
      {"&lt", "<"},
      {"&LTx", "<x"},
      {"&lte;", "<e;"},
      {"&gt=", ">="},
      {"&nbspx", "\xC2\xA0x"},
      {"&ltgt", "<gt"},
      {"a&ampb&ampc", "a&b&c"},
      {"&middotx", "·x"},         // the longest legacy name, 6 letters
      {"&micro&para&sect", "µ¶§"},
  };
  check(cases);
}

TEST(HtmlUnescape, AttributeValuesKeepLegacyNamesBeforeEqualsOrAlphanumerics) {
  const Case cases[] = {
      {"a.jpg?w=1&amp;h=2&copy=3", "a.jpg?w=1&h=2&copy=3"},
      {"?x&not=1&para2&sect", "?x&not=1&para2§"},
      {"&notit; &not; &not!", "&notit; ¬ ¬!"},
      {"&ampx &amp=", "&ampx &amp="},
      {"&#38;x &#x26=", "&x &="},  // numeric references decode as in text
      {"Joss &amp; Main", "Joss & Main"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(korvane::text::html_unescape_attribute(c.input), c.expected) << "input: " << c.input;
  }
}

TEST(HtmlUnescape, NamesOnlyKnownWithSemicolonStayWithoutIt) {
  const Case cases[] = {
      {"&hellip", "&hellip"},
      {"&hellipx;", "&hellipx;"},
      {"&euro 5", "&euro 5"},
      {"&CounterClockwiseContourIntegral", "&CounterClockwiseContourIntegral"},
      {"&CounterClockwiseContourIntegralX;", "&CounterClockwiseContourIntegralX;"},
      {"&Amp;", "&Amp;"},          // names are case-sensitive
      {"&unknown;", "&unknown;"},
      {"&xyz", "&xyz"},
  };
  check(cases);
}

TEST(HtmlUnescape, AmpersandsThatStartNoReference) {
  const Case cases[] = {
      {"&", "&"},
      {"& ", "& "},
      {"&;", "&;"},
      {"&&amp;", "&&"},
      {"a & b", "a & b"},
      {"&-amp;", "&-amp;"},
      {"fish&chips", "fish&chips"},
      {"&#", "&#"},
      {"&#;", "&#;"},
      {"&#a1;", "&#a1;"},
      {"&#x;", "&#x;"},
      {"&#xg1;", "&#xg1;"},
      {"&#X", "&#X"},
      {"&# 65;", "&# 65;"},
  };
  check(cases);
}

TEST(HtmlUnescape, NumericReferences) {
  const Case cases[] = {
      // Decimal and hexadecimal, with or without ";".
      {"&#65;", "A"},
      {"&#65", "A"},
      {"&#65x", "Ax"},
      {"&#x41;", "A"},
      {"&#X41;", "A"},
      {"&#x41", "A"},
      {"&#x41g", "Ag"},
      {"&#xe9;&#xE9;", "éé"},
      {"&#0000000000000000065;", "A"},
      {"&#65&#66;&#x43", "ABC"},
      {"&#233;t&#233;", "été"},
      {"&#x1F600;", "😀"},
      {"&#128512", "😀"},
      // Zero, surrogates and values beyond U+10FFFF.
      {"&#0;", "\uFFFD"},
      {"&#x0", "\uFFFD"},
      {"&#xD800;", "\uFFFD"},
      {"&#xDBFF;&#xDC00;", "\uFFFD\uFFFD"},
      {"&#57343;", "\uFFFD"},
      {"&#x110000;", "\uFFFD"},
      {"&#1114112;", "\uFFFD"},
      {"&#99999999999999999999999999999999;", "\uFFFD"},
      {"&#xFFFFFFFFFFFFFFFFFFFFFFFF41;", "\uFFFD"},
      // The largest code point and noncharacters are kept.
      {"&#x10FFFF;", "\U0010FFFF"},
      {"&#1114111;", "\U0010FFFF"},
      {"&#xFDD0;&#xFFFE;", "\uFDD0\uFFFE"},
      // Controls other than 0x80-0x9F are kept.
      {"&#1;", "\x01"},
      {"&#13;", "\r"},
      {"&#x7F;", "\x7F"},
      {"&#xD7FF;&#xE000;", "\uD7FF\uE000"},
  };
  check(cases);
}

TEST(HtmlUnescape, C1RangeGoesThroughWindows1252) {
  const Case cases[] = {
      {"&#128;", "€"},   {"&#x80;", "€"},   {"&#x82;", "‚"},   {"&#x83;", "ƒ"},
      {"&#x84;", "„"},   {"&#x85;", "…"},   {"&#x86;", "†"},   {"&#x87;", "‡"},
      {"&#x88;", "ˆ"},   {"&#x89;", "‰"},   {"&#x8A;", "Š"},   {"&#x8B;", "‹"},
      {"&#x8C;", "Œ"},   {"&#x8E;", "Ž"},   {"&#x91;", "‘"},   {"&#x92;", "’"},
      {"&#x93;", "“"},   {"&#x94;", "”"},   {"&#x95;", "•"},   {"&#150;", "–"},
      {"&#151;", "—"},   {"&#x98;", "˜"},   {"&#x99;", "™"},   {"&#x9A;", "š"},
      {"&#x9B;", "›"},   {"&#x9C;", "œ"},   {"&#x9E;", "ž"},   {"&#x9F;", "Ÿ"},
      // No entry in the table: the C1 control itself.
      {"&#x81;", "\u0081"}, {"&#x8D;", "\u008D"}, {"&#x8F;", "\u008F"},
      {"&#x90;", "\u0090"}, {"&#x9D;", "\u009D"},
      // Just outside the range.
      {"&#x7F;", "\x7F"}, {"&#xA0;", "\xC2\xA0"},
  };
  check(cases);
}

TEST(NamedReferenceTable, HoldsTheStandardsNamesSortedAndUnique) {
  const auto table = korvane::text::detail::named_references();
  ASSERT_EQ(table.size(), 2231u);
  for (std::size_t i = 1; i < table.size(); ++i) {
    EXPECT_LT(table[i - 1].name, table[i].name) << "at " << i;
  }
  std::size_t legacy = 0;
  for (const auto& entry : table) {
    ASSERT_FALSE(entry.name.empty());
    ASSERT_FALSE(entry.value.empty()) << entry.name;
    const std::string_view stem = entry.name.back() == ';' ? entry.name.substr(0, entry.name.size() - 1)
                                                           : entry.name;
    EXPECT_TRUE(std::all_of(stem.begin(), stem.end(),
                            [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }))
        << entry.name;
    if (entry.name.back() == ';') continue;
    // A legacy name is also listed with ";" and the same value.
    ++legacy;
    const auto twin = std::find_if(table.begin(), table.end(), [&](const auto& e) {
      return e.name == std::string(entry.name) + ";";
    });
    ASSERT_NE(twin, table.end()) << entry.name;
    EXPECT_EQ(twin->value, entry.value) << entry.name;
  }
  EXPECT_EQ(legacy, 106u);
}

TEST(NamedReferenceTable, EveryNameDecodes) {
  for (const auto& entry : korvane::text::detail::named_references()) {
    const std::string text = "<&" + std::string(entry.name) + " >";
    EXPECT_EQ(html_unescape(text), "<" + std::string(entry.value) + " >") << entry.name;
  }
}
