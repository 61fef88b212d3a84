#include <korvane/commerce/normalizer.hpp>

#include "commerce/money.hpp"
#include "commerce/units.hpp"

#include <korvane/errors.hpp>

#include <algorithm>
#include <cmath>
#include <string>

#include "text/number.hpp"
#include "text/regex.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace korvane::commerce {
namespace {

// The Unicode White_Space code points, as the body of a PCRE2 character
// class. Written out rather than left to `\s`, whose Unicode form differs
// from White_Space between PCRE2 releases (U+180E).
constexpr std::string_view white_space_class_body =
    "\\t-\\r\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}\\x{202F}"
    "\\x{205F}\\x{3000}";

// The price pattern: an optional token, white space, the number, white
// space, an optional token. Groups: 1 leading token, 2 number, 3 trailing
// token. The quantifiers are possessive; since the trailing part is
// optional, the greedy form would never give back a character either (the
// number is always taken whole, and white space never starts a token), so
// the matches are the same, but the engine keeps no backtracking state and
// a text of any length matches in linear time within a fixed stack (so the
// pattern is compiled `linear`: its searches need no step limit).
std::string price_pattern_text() {
  const std::string ws = "[" + std::string(white_space_class_body) + "]";
  const std::string token(CURRENCY_TOKEN_PATTERN);
  return "(?:(" + token + ")" + ws + "*+)?" +                                //
         "([0-9]++(?:[,." + std::string(white_space_class_body) + "][0-9]++)*+)" +  //
         "(?:" + ws + "*+(" + token + "))?";
}

// The three groups of a match; an unmatched group is empty.
struct PriceMatch {
  std::string_view leading_token;
  std::string_view number;
  std::string_view trailing_token;
};

// The price pattern, compiled once: caseless with PCRE2's own (Unicode) case
// folding, linear, JIT-compiled when the platform allows. Shared read-only
// by all threads; each search has its own match data.
const text::Regex& price_pattern() {
  static const text::Regex pattern(price_pattern_text(), text::RegexFlags::caseless | text::RegexFlags::linear);
  return pattern;
}

// The first match in valid UTF-8 `subject`, scanning from the left.
std::optional<PriceMatch> search_price(std::string_view subject) {
  const text::Regex& re = price_pattern();
  text::RegexMatch m(re);
  if (!re.search(subject, 0, m)) return std::nullopt;
  return PriceMatch{m.group(subject, 1), m.group(subject, 2), m.group(subject, 3)};
}

// The ISO 4217 code of a currency token or hint: upper-cased and stripped,
// then looked up; a key the map does not know is its own code.
std::string currency_code(std::string_view token) {
  const std::string upper = text::to_upper(token);
  const std::string_view key = text::strip(upper);
  if (const auto code = CURRENCY_MAP.find(key)) return std::string(*code);
  return std::string(key);
}

void erase_all(std::string& s, char c) { s.erase(std::remove(s.begin(), s.end(), c), s.end()); }

// The number text as a decimal literal: spaces (U+0020 only) removed, then
// the thousands separators dropped and a decimal comma turned into a point.
// Other white space between groups stays and makes the literal invalid.
std::string decimal_literal(std::string_view number) {
  std::string s;
  s.reserve(number.size());
  for (const char c : number) {
    if (c != ' ') s.push_back(c);
  }
  const std::size_t comma = s.find(',');
  const std::size_t point = s.find('.');
  if (comma != std::string::npos && point != std::string::npos) {
    if (comma < point) {
      erase_all(s, ',');
    } else {
      erase_all(s, '.');
      std::replace(s.begin(), s.end(), ',', '.');
    }
  } else if (comma != std::string::npos) {
    // One comma followed by exactly two characters is a decimal comma. A
    // piece after a comma starts and ends with an ASCII digit, so two bytes
    // are two characters.
    const bool single_comma = s.find(',', comma + 1) == std::string::npos;
    if (single_comma && s.size() - comma - 1 == 2) {
      s[comma] = '.';
    } else {
      erase_all(s, ',');
    }
  }
  return s;
}

}  // namespace

const std::string PriceNormalizer::PRICE_PATTERN = price_pattern_text();

void detail::build_price_pattern() { (void)price_pattern(); }

std::optional<models::NormalizedPrice> PriceNormalizer::parse(
    std::optional<std::string_view> raw_price, std::optional<std::string_view> currency_hint) {
  detail::start_unit(detail::Unit::normalizer);
  if (!raw_price || raw_price->empty()) return std::nullopt;
  std::string raw_storage;
  const std::string_view raw = text::strip(text::as_valid_utf8(*raw_price, raw_storage));
  if (raw.empty()) return std::nullopt;

  const std::optional<PriceMatch> match = search_price(raw);
  if (!match) return std::nullopt;

  // A token in the text wins over the hint, one before the number over one after it.
  std::string hint_storage;
  std::string_view token = "USD";
  if (!match->leading_token.empty()) {
    token = match->leading_token;
  } else if (!match->trailing_token.empty()) {
    token = match->trailing_token;
  } else if (currency_hint && !currency_hint->empty()) {
    token = text::as_valid_utf8(*currency_hint, hint_storage);
  }
  std::string currency = currency_code(token);

  const std::optional<double> value = text::parse_decimal(decimal_literal(match->number));
  if (!value) return std::nullopt;
  try {
    return models::NormalizedPrice(std::string(raw), text::round_to_cents(*value), std::move(currency));
  } catch (const ValueError&) {
    // The record refuses the amount (an overflowing literal gives infinity).
    return std::nullopt;
  }
}

std::optional<models::NormalizedPrice> PriceNormalizer::parse_extended(
    std::optional<std::string_view> raw_price, std::optional<std::string_view> currency_hint) {
  detail::start_unit(detail::Unit::normalizer);
  if (!raw_price) return std::nullopt;
  std::string raw_storage;
  const std::string_view raw = text::strip(text::as_valid_utf8(*raw_price, raw_storage));
  // Price texts are short; a longer text is a page or a description.
  constexpr std::size_t kMaxPriceText = 4096;
  if (raw.empty() || raw.size() > kMaxPriceText) return std::nullopt;
  std::string hint_storage;
  std::string hinted;
  if (currency_hint) {
    hinted = detail::currency_code_of(text::as_valid_utf8(*currency_hint, hint_storage)).value_or("");
  }
  const auto money = detail::read_money(raw, detail::MoneyContext{.currency = hinted, .guess = true});
  if (!money && !detail::says_free(raw)) return std::nullopt;
  // "Free" and its translations cost nothing.
  const std::string_view amount = money ? std::string_view(money->decimal) : std::string_view("0");
  std::string currency = money && money->currency_written ? money->currency : hinted;
  const std::optional<double> value = text::parse_decimal(amount);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return models::NormalizedPrice(std::string(raw), *value, std::move(currency));
}

}  // namespace korvane::commerce
