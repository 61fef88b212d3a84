// Price normalizer: a free-form price text to an amount and an ISO 4217 code.
#pragma once

#include <korvane/commerce/tables.hpp>
#include <korvane/models.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce {

// The regular-expression alternative for one currency token.
inline constexpr std::string_view CURRENCY_TOKEN_PATTERN =
    "[\\$\xE2\x82\xAC\xC2\xA3\xC2\xA5\xE2\x82\xB9]|USD|EUR|GBP|CAD|AUD|INR|JPY|CNY";

// Upper-case currency token to ISO 4217 code.
inline constexpr StringMap CURRENCY_MAP{std::array<std::pair<std::string_view, std::string_view>, 17>{{
    {"$", "USD"}, {"US$", "USD"}, {"USD", "USD"},
    {"\xE2\x82\xAC", "EUR"}, {"EUR", "EUR"},
    {"\xC2\xA3", "GBP"}, {"GBP", "GBP"},
    {"\xC2\xA5", "JPY"}, {"JPY", "JPY"},
    {"CN\xC2\xA5", "CNY"}, {"CNY", "CNY"},
    {"CA$", "CAD"}, {"CAD", "CAD"},
    {"A$", "AUD"}, {"AUD", "AUD"},
    {"\xE2\x82\xB9", "INR"}, {"INR", "INR"},
}}};

// Reads prices with one pattern, compiled once and shared by all threads:
// an optional currency token, white space, the number (ASCII digits, then
// further digit groups each introduced by one comma, point or white-space
// character), white space, an optional currency token; tokens match in any
// case and white space is every Unicode White_Space character. The first
// match from the left is read.
class PriceNormalizer {
 public:
  PriceNormalizer() = delete;

  // The text of that pattern (PCRE2 syntax, compiled with PCRE2_UTF and
  // PCRE2_CASELESS): groups 1 and 3 are CURRENCY_TOKEN_PATTERN, group 2 the
  // number; white space is written out as the Unicode White_Space class.
  static const std::string PRICE_PATTERN;

  // The price in `raw_price`: its stripped text, the amount rounded to cents
  // (its exact binary value to the nearest 0.01, ties to even)
  // and the currency code (the token before the number, else the one after
  // it, else `currency_hint`, else "USD"):
  //   parse("$1,299.99") -> {"$1,299.99", 1299.99, "USD"}
  //   parse("1.299,99 €") -> {"1.299,99 €", 1299.99, "EUR"}
  // Absent when the text is absent, blank, holds no ASCII digit, or its
  // number cannot be read ("1.234.567", a no-break space between groups, an
  // amount that overflows). Invalid UTF-8 is read as U+FFFD. A hint that is
  // not a key of CURRENCY_MAP comes back upper-cased and stripped ("chf"
  // gives "CHF", a blank hint the empty code).
  [[nodiscard]] static std::optional<models::NormalizedPrice> parse(
      std::optional<std::string_view> raw_price,
      std::optional<std::string_view> currency_hint = std::nullopt);

  // The price in `raw_price` read the way shops write prices (opt-in, beside
  // parse): every ISO 4217 code and the usual symbols and abbreviations
  // ("zł", "Kč", "R$", "kr", "₹", ...); grouping with points, commas,
  // apostrophes, thin and no-break spaces decided from the currency's minor
  // units ("24.990" CLP is 24990, "1.500" KWD is 1.5); "1.299,-", ".75",
  // "8. 94", digits of other scripts; the amount a currency stands next to,
  // not a saving, a percentage ("40% OFF" gives none) or a former price
  // ("was $30 now $20" gives 20); "Free" and its translations give 0. The
  // amount is the written decimal exactly, not rounded to cents. The
  // currency is the one the text writes (an ambiguous symbol takes the hint
  // when it can stand for it: "$" with hint "CAD" is CAD), else the hint's
  // code, else empty: never a guessed "USD".
  //   parse_extended("1.299,- €") -> {"1.299,- €", 1299, "EUR"}
  //   parse_extended("KWD 1.250") -> {"KWD 1.250", 1.25, "KWD"}
  //   parse_extended("19.99")     -> {"19.99", 19.99, ""}
  // Absent when the text is absent or holds no price.
  [[nodiscard]] static std::optional<models::NormalizedPrice> parse_extended(
      std::optional<std::string_view> raw_price,
      std::optional<std::string_view> currency_hint = std::nullopt);
};

}  // namespace korvane::commerce
