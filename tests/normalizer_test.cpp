// Price normalizer: separators in either style, currency tokens and hints,
// exact rounding to cents, texts that hold no readable price, and the
// pattern shared by several threads.
#include <korvane/commerce/normalizer.hpp>

#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

using korvane::commerce::PriceNormalizer;
using korvane::models::NormalizedPrice;

namespace {

struct Expected {
  double amount;
  const char* currency;
};

struct Case {
  std::optional<const char*> raw;
  std::optional<const char*> hint;
  std::optional<Expected> expected;  // absent: no price
  const char* stored_raw = nullptr;  // the raw text kept; the input when null
};

std::optional<std::string_view> view(std::optional<const char*> s) {
  return s ? std::optional<std::string_view>(*s) : std::nullopt;
}

std::string describe(const Case& c) {
  return std::string("raw ") + (c.raw ? "\"" + std::string(*c.raw) + "\"" : "(none)") + ", hint " +
         (c.hint ? "\"" + std::string(*c.hint) + "\"" : "(none)");
}

template <std::size_t N>
void check(const Case (&cases)[N]) {
  for (const Case& c : cases) {
    const auto got = PriceNormalizer::parse(view(c.raw), view(c.hint));
    if (!c.expected) {
      EXPECT_FALSE(got.has_value()) << describe(c) << ": got amount " << got->amount;
      continue;
    }
    ASSERT_TRUE(got.has_value()) << describe(c);
    EXPECT_EQ(got->amount, c.expected->amount) << describe(c);
    EXPECT_EQ(got->currency, c.expected->currency) << describe(c);
    EXPECT_EQ(got->raw, c.stored_raw ? c.stored_raw : *c.raw) << describe(c);
  }
}

constexpr std::nullopt_t none = std::nullopt;

}  // namespace

TEST(PriceNormalizer, SeparatorStyles) {
  const Case cases[] = {
      {"$1,299.99", none, Expected{1299.99, "USD"}},
      {"1.299,99 €", none, Expected{1299.99, "EUR"}},
      {"12,50 EUR", none, Expected{12.5, "EUR"}},
      {"12,50 eur", none, Expected{12.5, "EUR"}},
      {"0,99 €", none, Expected{0.99, "EUR"}},
      {"1,23", none, Expected{1.23, "USD"}},
      // Commas without a point: thousands separators unless there is one
      // comma followed by exactly two digits.
      {"1,234", none, Expected{1234.0, "USD"}},
      {"1,234,567", none, Expected{1234567.0, "USD"}},
      {"1,5", none, Expected{15.0, "USD"}},
      {"1,234,56", none, Expected{123456.0, "USD"}},
      {"₹1,00,000", none, Expected{100000.0, "INR"}},
      // Both: the one that comes first is the thousands separator.
      {"12,345.6", none, Expected{12345.6, "USD"}},
      {"12.345,6", none, Expected{12345.6, "USD"}},
      {"1,2,3.45", none, Expected{123.45, "USD"}},
      {"1.2.3,45", none, Expected{123.45, "USD"}},
      {"1.005,005", none, Expected{1005.0, "USD"}},
      {"1,234.56.78", none, none},
      // Points only: a lone point is a decimal point, two make no number.
      {"1.234", none, Expected{1.23, "USD"}},
      {"1.234.567", none, none},
      // Ordinary spaces between groups are removed, other white space is not.
      {"1 234,56", none, Expected{1234.56, "USD"}},
      {"12 99", none, Expected{1299.0, "USD"}},
      {"JPY 1 000", none, Expected{1000.0, "JPY"}},
      {"1\u00A0234,56", none, none},
      {"1\u202F234,56 €", none, none},
      {"1\u2009234", none, none},
      {"12\t345", none, none},
  };
  check(cases);
}

TEST(PriceNormalizer, CurrencyTokensAndHints) {
  const Case cases[] = {
      {"€19,99", none, Expected{19.99, "EUR"}},
      {"19,99€", none, Expected{19.99, "EUR"}},
      {"£1,000,000.00", none, Expected{1000000.0, "GBP"}},
      {"₹ 2,499", none, Expected{2499.0, "INR"}},
      {"¥12,800", none, Expected{12800.0, "JPY"}},
      {"CNY 88", none, Expected{88.0, "CNY"}},
      {"Price: 45.00 USD", none, Expected{45.0, "USD"}},
      {"USD1,299", none, Expected{1299.0, "USD"}},
      {"19.99 EUR/kg", none, Expected{19.99, "EUR"}},
      {"From $19.99/mo", none, Expected{19.99, "USD"}},
      // Multi-character symbols: the pattern takes the "$" alone.
      {"US$ 45", none, Expected{45.0, "USD"}},
      {"CA$ 89.00", none, Expected{89.0, "USD"}},
      // White space between token and number is any Unicode white space.
      {"€\u00A012", none, Expected{12.0, "EUR"}},
      {"12\u3000usd", none, Expected{12.0, "USD"}},
      {"12\tUSD", none, Expected{12.0, "USD"}},
      // A token before the number wins over one after it, a token in the
      // text over the hint.
      {"€ 5 $", none, Expected{5.0, "EUR"}},
      {"1,299.99 USD $", none, Expected{1299.99, "USD"}},
      {"5 £", "EUR", Expected{5.0, "GBP"}},
      // The first number is read; a token not next to it does not count.
      {"2 for $30", none, Expected{2.0, "USD"}},
      {"2 for $30", "€", Expected{2.0, "EUR"}},
      {"3 x 2,50 €", "GBP", Expected{3.0, "GBP"}},
      {"Save 20% - now 79,99 €", none, Expected{20.0, "USD"}},
      {"$1,299.99 $999.99", none, Expected{1299.99, "USD"}},
      {"$.99", none, Expected{99.0, "USD"}},
      // Hints: upper-cased, stripped, looked up; unknown keys are their own code.
      {"100", "€", Expected{100.0, "EUR"}},
      {"88", "CN¥", Expected{88.0, "CNY"}},
      {"88", "cn¥", Expected{88.0, "CNY"}},
      {"88", "A$", Expected{88.0, "AUD"}},
      {"88", "ca$", Expected{88.0, "CAD"}},
      {"88", "¥", Expected{88.0, "JPY"}},
      {"100", " gbp ", Expected{100.0, "GBP"}},
      {"100", "chf", Expected{100.0, "CHF"}},
      {"100", "straße", Expected{100.0, "STRASSE"}},
      {"100", "", Expected{100.0, "USD"}},
      {"100", none, Expected{100.0, "USD"}},
      {"100", "  ", Expected{100.0, ""}},
      {"100", "\u00A0", Expected{100.0, ""}},
      // Caseless matching is Unicode's: LATIN SMALL LETTER LONG S is an "s".
      {"u\u017Fd 7", none, Expected{7.0, "USD"}},
  };
  check(cases);
}

TEST(PriceNormalizer, RawTextIsStrippedAndSanitised) {
  const Case cases[] = {
      {"  $5  ", none, Expected{5.0, "USD"}, "$5"},
      {"\u3000\u00A0€5\u2028", none, Expected{5.0, "EUR"}, "€5"},
      {"\xFF$5", none, Expected{5.0, "USD"}, "\uFFFD$5"},
      {"5", "\xE2\x82", Expected{5.0, "\uFFFD"}},
      {"$0.00", none, Expected{0.0, "USD"}},
  };
  check(cases);
}

TEST(PriceNormalizer, NoPrice) {
  const Case cases[] = {
      {none, none, none},
      {"", "USD", none},
      {"   ", none, none},
      {"\u00A0\u3000\t", none, none},
      {"$", none, none},
      {"Price on request", "EUR", none},
      {"١٢٣", none, none},  // digits other than ASCII
  };
  check(cases);
}

TEST(PriceNormalizer, RoundsTheExactBinaryValueToCents) {
  const Case cases[] = {
      // Binary value just above a half cent: up.
      {"0.005", none, Expected{0.01, "USD"}},
      {"8.345", none, Expected{8.35, "USD"}},
      {"4.445", none, Expected{4.45, "USD"}},
      {"0.025", none, Expected{0.03, "USD"}},
      // Just below: down, although the decimal text ends in 5.
      {"2.675", none, Expected{2.67, "USD"}},
      {"1.005", none, Expected{1.0, "USD"}},
      {"1.115", none, Expected{1.11, "USD"}},
      {"0.045", none, Expected{0.04, "USD"}},
      {"0.015", none, Expected{0.01, "USD"}},
      // Exact ties go to the even cent.
      {"0.125", none, Expected{0.12, "USD"}},
      {"0.375", none, Expected{0.38, "USD"}},
      {"1.125", none, Expected{1.12, "USD"}},
      // The literal is read to the nearest double first.
      {"1.00499999999999999999999", none, Expected{1.0, "USD"}},
      {"0.0150000000000000001", none, Expected{0.01, "USD"}},
      {"999.995", none, Expected{1000.0, "USD"}},
      {"1299.999", none, Expected{1300.0, "USD"}},
      // Large amounts.
      {"12345678901234.565", none, Expected{12345678901234.56, "USD"}},
      {"99999999999999.995", none, Expected{100000000000000.0, "USD"}},
      {"9007199254740993.005", none, Expected{9007199254740994.0, "USD"}},
      {"1234567890123456789.99", none, Expected{1.2345678901234568e18, "USD"}},
  };
  check(cases);
}

TEST(PriceNormalizer, HugeLiterals) {
  // The largest finite amounts are kept; a literal beyond them overflows to
  // infinity, which the record refuses, so there is no price.
  const std::string max_digits = "1" + std::string(308, '0');
  const auto big = PriceNormalizer::parse(max_digits);
  ASSERT_TRUE(big.has_value());
  EXPECT_EQ(big->amount, 1e308);
  const std::string too_big = "$" + std::string(400, '9');
  EXPECT_FALSE(PriceNormalizer::parse(too_big).has_value());
  const std::string grouped_too_big = "1" + [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += ",000";
    return s;
  }();
  EXPECT_FALSE(PriceNormalizer::parse(grouped_too_big).has_value());
}

TEST(PriceNormalizer, LongTextsMatchWithoutEngineLimits) {
  // Half a million digit groups: the pattern keeps no backtracking state.
  std::string grouped;
  for (int i = 0; i < 500000; ++i) grouped += "0,";
  grouped += "5 usd";
  const auto price = PriceNormalizer::parse(grouped);
  ASSERT_TRUE(price.has_value());
  EXPECT_EQ(price->amount, 5.0);
  EXPECT_EQ(price->currency, "USD");

  const std::string words(1 << 20, 'x');
  EXPECT_FALSE(PriceNormalizer::parse(words).has_value());
  EXPECT_EQ(PriceNormalizer::parse(words + " 12,50 €")->amount, 12.5);
}

TEST(PriceNormalizer, WhiteSpaceBetweenGroupsIsExactlyUnicodeWhiteSpace) {
  // "5", one character, "5": white space joins the groups into one number,
  // which reads only when it is an ordinary space; any other character ends
  // the number after the first "5" (or is a separator or digit itself).
  std::size_t white_space_seen = 0;
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x3100 ? 1 : 97)) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    if ((cp >= '0' && cp <= '9') || cp == ',' || cp == '.') continue;
    std::string text = "5";
    korvane::text::append_utf8(text, cp);
    text += "5";
    const auto price = PriceNormalizer::parse(text);
    if (cp == ' ') {
      ASSERT_TRUE(price.has_value());
      EXPECT_EQ(price->amount, 55.0);
    } else if (korvane::text::is_white_space(cp)) {
      ++white_space_seen;
      EXPECT_FALSE(price.has_value()) << "U+" << std::hex << static_cast<unsigned>(cp);
    } else {
      ASSERT_TRUE(price.has_value()) << "U+" << std::hex << static_cast<unsigned>(cp);
      EXPECT_EQ(price->amount, 5.0) << "U+" << std::hex << static_cast<unsigned>(cp);
    }
  }
  EXPECT_EQ(white_space_seen, 24u);  // White_Space has 25 code points, U+0020 among them
}

TEST(PriceNormalizer, SharedPatternFromSeveralThreads) {
  const std::vector<std::string> texts = {
      "$1,299.99", "1.299,99 €", "12,50 EUR", "₹ 2,499", "¥12,800", "1.234.567",
      "1\u00A0234,56", "2 for $30", "Price: 45.00 USD", "no digits", "0.005", "CNY 88",
  };
  std::vector<std::optional<NormalizedPrice>> expected;
  for (const auto& t : texts) expected.push_back(PriceNormalizer::parse(t, "GBP"));

  constexpr int thread_count = 8;
  constexpr int rounds = 2000;
  std::vector<int> mismatches(thread_count, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < thread_count; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 0; r < rounds; ++r) {
        const std::size_t i = static_cast<std::size_t>(r + t) % texts.size();
        if (PriceNormalizer::parse(texts[i], "GBP") != expected[i]) ++mismatches[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < thread_count; ++t) EXPECT_EQ(mismatches[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

TEST(PriceNormalizer, PatternTextHasTheTokenBeforeAndAfterTheNumber) {
  const std::string& pattern = PriceNormalizer::PRICE_PATTERN;
  const std::string token = "(" + std::string(korvane::commerce::CURRENCY_TOKEN_PATTERN) + ")";
  const auto leading = pattern.find(token);
  const auto number = pattern.find("([0-9]");
  const auto trailing = pattern.rfind(token);
  ASSERT_NE(leading, std::string::npos);
  EXPECT_LT(leading, number);
  EXPECT_LT(number, trailing);
}

// ---------------------------------------------------------------- extended reading

namespace {

struct ExtendedCase {
  const char* raw;
  const char* hint;         // null: none
  const char* amount;       // the exact decimal; null: no price
  const char* currency;
};

}  // namespace

TEST(PriceNormalizerExtended, ReadsPricesAsShopsWriteThem) {
  const ExtendedCase cases[] = {
      // Grouping and decimal marks, decided by the currency's minor units.
      {"$1,299.99", nullptr, "1299.99", "USD"},
      {"1.299,99 €", nullptr, "1299.99", "EUR"},
      {"1.299,- €", nullptr, "1299", "EUR"},
      {"CHF 1'299.50", nullptr, "1299.5", "CHF"},
      {"CHF 1\xE2\x80\x99" "299.\xE2\x80\x93", nullptr, "1299", "CHF"},            // ’ and an en dash
      {"1\xC2\xA0" "298,00 z\xC5\x82", nullptr, "1298", "PLN"},                     // no-break space
      {"1\xE2\x80\xAF" "450,00 K\xC4\x8D", nullptr, "1450", "CZK"},                 // narrow no-break space
      {"1 298,00 \xE2\x82\xAC", nullptr, "1298", "EUR"},
      {"\xE2\x82\xB9" "1,29,999.00", nullptr, "129999", "INR"},                     // ₹, lakh grouping
      {"$24.990", "CLP", "24990", "CLP"},
      {"5.000 \xE2\x82\xAC", nullptr, "5000", "EUR"},
      {"KWD 1.250", nullptr, "1.25", "KWD"},
      {"3.500 OMR", nullptr, "3.5", "OMR"},
      {"BHD 12.125", nullptr, "12.125", "BHD"},
      {"12,5 lei", nullptr, "12.5", "RON"},
      {".75", "GBP", "0.75", "GBP"},
      {"\xC2\xA3.99", nullptr, "0.99", "GBP"},
      {"8. 94 \xE2\x82\xAC", nullptr, "8.94", "EUR"},
      {"$12 99", nullptr, "12.99", "USD"},                                           // cents set apart
      {"12\xE2\x82\xAC" "99", nullptr, "12.99", "EUR"},                             // 12€99
      {"\xEF\xBC\x91\xEF\xBC\x8C\xEF\xBC\x99\xEF\xBC\x98\xEF\xBC\x90\xE5\x86\x86", nullptr, "1980", "JPY"},  // １，９８０円
      {"0.005", "KWD", "0.005", "KWD"},                                             // exact, not rounded to cents
      // Currencies: symbols, abbreviations, codes in any case, the hint.
      {"R$ 1.299,90", nullptr, "1299.9", "BRL"},
      {"12,50 eur", nullptr, "12.5", "EUR"},
      {"US$ 12", nullptr, "12", "USD"},
      {"C$ 14.99", nullptr, "14.99", "CAD"},
      {"$ 10", "CAD", "10", "CAD"},
      {"$ 10", "EUR", "10", "USD"},
      {"\xC2\xA5 2,350", "CNY", "2350", "CNY"},
      {"199 kr", nullptr, "199", "SEK"},
      {"kr. 249,00", nullptr, "249", "DKK"},
      {"199 kr", "NOK", "199", "NOK"},
      {"2 350 \xE2\x82\xBD", nullptr, "2350", "RUB"},
      {"185 \xD8\xB1.\xD8\xB3", nullptr, "185", "SAR"},                             // ر.س
      {"CAD $12.99", nullptr, "12.99", "CAD"},                                      // a code settles a symbol
      {"$12.99 NZD", nullptr, "12.99", "NZD"},
      {"CN\xC2\xA5 1,299", nullptr, "1299", "CNY"},                                  // CN¥, not the yen
      {"\xE0\xA7\xB3 1,299", nullptr, "1299", "BDT"},                                // ৳
      {"C $24.99", nullptr, "24.99", "CAD"},                                        // a marketplace's country prefix
      {"AU $49.95", nullptr, "49.95", "AUD"},
      {"\xD8\xB1.\xD8\xB9. 3.500", nullptr, "3.5", "OMR"},                          // ر.ع., three decimals
      {"99\xC2\xA2", nullptr, "0.99", "USD"},                                       // 99¢
      {"R199.00", nullptr, "199", "ZAR"},
      {"350.000 VN\xC4\x90", nullptr, "350000", "VND"},                             // VNĐ
      {"12,50 \xD0\xB1.\xD1\x80.", nullptr, "12.5", "BYN"},                         // б.р.
      {"\xE2\x82\xAC 12, 99", nullptr, "12.99", "EUR"},                              // cents after a comma and a space
      {"19.99", nullptr, "19.99", ""},                                              // never a guessed USD
      {"19.99", "\xE2\x82\xAC", "19.99", "EUR"},
      {"19.99", "no currency", "19.99", ""},
      // Which amount of several.
      {"Was $30 Now $20", nullptr, "20", "USD"},
      {"Preis: 30,00 \xE2\x82\xAC Sonderpreis: 20,00 \xE2\x82\xAC", nullptr, "20", "EUR"},
      {"M.R.P.: \xE2\x82\xB9" "3,000 \xE2\x82\xB9" "2,000", nullptr, "2000", "INR"},           // an initialism
      {"F\xC3\xB8r 300,- Nu 200,-", nullptr, "200", ""},                               // Før: no rand in a word
      {"Precio anterior: $30.000 Precio actual: $20.000", "CLP", "20000", "CLP"},
      {"Regular price $35.00 Sale price $29.00", nullptr, "29", "USD"},
      {"UVP 49,99 \xE2\x82\xAC 39,99 \xE2\x82\xAC", nullptr, "39.99", "EUR"},
      {"\xE2\x82\xAC 1,99 (\xE2\x82\xAC 9,95 / kg)", nullptr, "1.99", "EUR"},
      {"-20% 39,99 \xE2\x82\xAC", nullptr, "39.99", "EUR"},
      {"2 x 19,99 \xE2\x82\xAC", nullptr, "19.99", "EUR"},
      {"from 12,50 \xE2\x82\xAC", nullptr, "12.5", "EUR"},
      {"$60.00 Price reduced from $80.00 to", nullptr, "60", "USD"},
      {"Marked down from \xC2\xA3" "40 to \xC2\xA3" "30", nullptr, "30", "GBP"},
      {"$10.00 - $20.00", nullptr, "10", "USD"},
      {"10,00 \xE2\x80\x93 20,00 \xE2\x82\xAC", nullptr, "10", "EUR"},                 // the low end takes the range's currency
      {"24.990 - 29.990 CLP", nullptr, "24990", "CLP"},
      {"de 12 \xC3\xA0 15 \xE2\x82\xAC", nullptr, "12", "EUR"},                    // a range in words
      {"Size 5 $12", nullptr, "12", "USD"},                                         // the token is the next number's
      {"Rs.1,299.00", nullptr, "1299", "INR"},                                      // an abbreviation's point
      {"99p", nullptr, "0.99", "GBP"},                                              // hundredths
      {"Camera 1080p $49.99", nullptr, "49.99", "USD"},                             // lines, not pence
      {"99 cents", nullptr, "0.99", ""},
      {"Br 12,99", nullptr, "12.99", "BYN"},
      {"49,99 \xE2\x82\xAC inkl. MwSt. zzgl. 4,95 \xE2\x82\xAC Versand", nullptr, "49.99", "EUR"},
      // Nothing, and no price.
      {"Free", "USD", "0", "USD"},
      {"Gratis", nullptr, "0", ""},
      {"40% OFF", nullptr, nullptr, ""},
      {"Save $5.00", nullptr, nullptr, ""},
      {"1/2 price", nullptr, nullptr, ""},
      {"Free shipping", nullptr, nullptr, ""},
      {"Livraison gratuite", nullptr, nullptr, ""},
      {"Buy 2 get 1 free", nullptr, nullptr, ""},
      {"Sold out", nullptr, nullptr, ""},
      {"12 St\xC3\xBC" "ck", nullptr, nullptr, ""},                                     // counts and measures
      {"29\xEA\xB0\x9C \xEA\xB5\xAC\xEB\xA7\xA4", nullptr, nullptr, ""},
      {"500 ml", nullptr, nullptr, ""},
      {"Only 3 left", nullptr, nullptr, ""},
      {"128 reviews", nullptr, nullptr, ""},
      {"1,234.567.890", nullptr, nullptr, ""},
  };
  for (const ExtendedCase& c : cases) {
    const auto hint = c.hint ? std::optional<std::string_view>(c.hint) : std::nullopt;
    const auto price = PriceNormalizer::parse_extended(c.raw, hint);
    if (c.amount == nullptr) {
      EXPECT_FALSE(price.has_value()) << c.raw << " gave " << price->amount;
      continue;
    }
    ASSERT_TRUE(price.has_value()) << c.raw;
    EXPECT_EQ(price->amount, std::stod(c.amount)) << c.raw;
    EXPECT_EQ(price->currency, c.currency) << c.raw;
    EXPECT_EQ(price->raw, korvane::text::strip(c.raw)) << c.raw;
  }
  EXPECT_FALSE(PriceNormalizer::parse_extended(std::nullopt).has_value());
  EXPECT_FALSE(PriceNormalizer::parse_extended("   ").has_value());
}
