#include "commerce/metadata/extended/money.hpp"

#include "text/number.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace korvane::commerce::detail::extended {
namespace {

// ISO 4217 (without the test codes XTS and XXX), sorted.
constexpr std::array<std::string_view, 179> kCurrencyCodes{
    "AED", "AFN", "ALL", "AMD", "ANG", "AOA", "ARS", "AUD", "AWG", "AZN", "BAM", "BBD", "BDT",
    "BGN", "BHD", "BIF", "BMD", "BND", "BOB", "BOV", "BRL", "BSD", "BTN", "BWP", "BYN", "BZD",
    "CAD", "CDF", "CHE", "CHF", "CHW", "CLF", "CLP", "CNY", "COP", "COU", "CRC", "CUC", "CUP",
    "CVE", "CZK", "DJF", "DKK", "DOP", "DZD", "EGP", "ERN", "ETB", "EUR", "FJD", "FKP", "GBP",
    "GEL", "GHS", "GIP", "GMD", "GNF", "GTQ", "GYD", "HKD", "HNL", "HRK", "HTG", "HUF", "IDR",
    "ILS", "INR", "IQD", "IRR", "ISK", "JMD", "JOD", "JPY", "KES", "KGS", "KHR", "KMF", "KPW",
    "KRW", "KWD", "KYD", "KZT", "LAK", "LBP", "LKR", "LRD", "LSL", "LYD", "MAD", "MDL", "MGA",
    "MKD", "MMK", "MNT", "MOP", "MRU", "MUR", "MVR", "MWK", "MXN", "MXV", "MYR", "MZN", "NAD",
    "NGN", "NIO", "NOK", "NPR", "NZD", "OMR", "PAB", "PEN", "PGK", "PHP", "PKR", "PLN", "PYG",
    "QAR", "RON", "RSD", "RUB", "RWF", "SAR", "SBD", "SCR", "SDG", "SEK", "SGD", "SHP", "SLE",
    "SLL", "SOS", "SRD", "SSP", "STN", "SVC", "SYP", "SZL", "THB", "TJS", "TMT", "TND", "TOP",
    "TRY", "TTD", "TWD", "TZS", "UAH", "UGX", "USD", "USN", "UYI", "UYU", "UYW", "UZS", "VED",
    "VES", "VND", "VUV", "WST", "XAF", "XAG", "XAU", "XBA", "XBB", "XBC", "XBD", "XCD", "XDR",
    "XOF", "XPD", "XPF", "XPT", "XSU", "XUA", "YER", "ZAR", "ZMW", "ZWL"};

// The currencies an ambiguous token may stand for; the first is its usual
// reading, or none when it has no usual reading.
struct Family {
  std::string_view usual;  // empty: no usual reading
  std::array<std::string_view, 16> members;
};

constexpr Family kDollar{"USD", {"USD", "CAD", "AUD", "NZD", "MXN", "ARS", "CLP", "COP", "SGD", "HKD", "TWD",
                                 "UYU", "DOP", "JMD", "TTD", "BSD"}};
constexpr Family kKrona{"", {"SEK", "NOK", "DKK", "ISK"}};
constexpr Family kRupee{"", {"INR", "PKR", "LKR", "NPR", "MUR", "SCR"}};
constexpr Family kYen{"JPY", {"JPY", "CNY"}};
constexpr Family kYuan{"CNY", {"CNY", "TWD", "HKD", "JPY"}};
constexpr Family kLeu{"RON", {"RON", "MDL"}};
constexpr Family kPound{"GBP", {"GBP", "EGP", "GIP", "FKP", "SHP", "LBP", "SYP", "SSP"}};
constexpr Family kFranc{"CHF", {"CHF", "XOF", "XAF", "XPF"}};

// A currency token as pages write it (letters in lower case; matched
// without ASCII case), and what it stands for: one code, or a family.
struct Token {
  std::string_view text;
  std::string_view code;
  const Family* family = nullptr;
};

// Symbols and local abbreviations. ISO codes are handled apart (upper case
// only, so that words such as "all" or "top" never read as currencies).
const std::vector<Token>& tokens() {
  static const std::vector<Token> table = [] {
    std::vector<Token> t{
        {"$", "", &kDollar},
        {"us$", "USD"},
        {"u$s", "USD"},
        {"ca$", "CAD"},
        {"c$", "CAD"},
        {"cad$", "CAD"},
        {"a$", "AUD"},
        {"au$", "AUD"},
        {"nz$", "NZD"},
        {"hk$", "HKD"},
        {"s$", "SGD"},
        {"nt$", "TWD"},
        {"mx$", "MXN"},
        {"rd$", "DOP"},
        {"r$", "BRL"},
        {"\xE2\x82\xAC", "EUR"},        // €
        {"\xC2\xA3", "", &kPound},      // £
        {"\xC2\xA5", "", &kYen},        // ¥
        {"\xEF\xBF\xA5", "", &kYen},    // fullwidth ¥
        {"\xE5\x86\x86", "JPY"},        // 円
        {"\xE5\x85\x83", "", &kYuan},   // 元
        {"\xE2\x82\xB9", "INR"},        // ₹
        {"\xE2\x82\xA8", "", &kRupee},  // ₨
        {"rs", "", &kRupee},
        {"rs.", "", &kRupee},
        {"\xE2\x82\xBD", "RUB"},        // ₽
        {"\xD1\x80\xD1\x83\xD0\xB1", "RUB"},      // руб
        {"\xD1\x80\xD1\x83\xD0\xB1.", "RUB"},     // руб.
        {"\xD1\x80.", "RUB"},                     // р.
        {"\xE2\x82\xA9", "KRW"},                  // ₩
        {"\xEC\x9B\x90", "KRW"},                  // 원
        {"\xE2\x82\xBA", "TRY"},                  // ₺
        {"tl", "TRY"},
        {"\xE2\x82\xAB", "VND"},                  // ₫
        {"\xC4\x91", "VND"},                      // đ
        {"\xE0\xB8\xBF", "THB"},                  // ฿
        {"\xE0\xB8\x9A\xE0\xB8\xB2\xE0\xB8\x97", "THB"},  // บาท
        {"\xE2\x82\xAA", "ILS"},                  // ₪
        {"\xE2\x82\xB4", "UAH"},                  // ₴
        {"\xD0\xB3\xD1\x80\xD0\xBD", "UAH"},      // грн
        {"\xD0\xB3\xD1\x80\xD0\xBD.", "UAH"},     // грн.
        {"\xE2\x82\xB8", "KZT"},                  // ₸
        {"\xD1\x82\xD0\xB3", "KZT"},              // тг
        {"\xD1\x82\xD0\xB3.", "KZT"},             // тг.
        {"\xE2\x82\xA6", "NGN"},                  // ₦
        {"\xE2\x82\xB1", "PHP"},                  // ₱
        {"\xE2\x82\xA1", "CRC"},                  // ₡
        {"\xE2\x82\xB2", "PYG"},                  // ₲
        {"\xE2\x82\xB5", "GHS"},                  // ₵
        {"\xE2\x82\xAD", "LAK"},                  // ₭
        {"\xE2\x82\xAE", "MNT"},                  // ₮
        {"\xE2\x82\xBC", "AZN"},                  // ₼
        {"\xE2\x82\xBE", "GEL"},                  // ₾
        {"z\xC5\x82", "PLN"},                     // zł
        {"k\xC4\x8D", "CZK"},                     // kč
        {"ft", "HUF"},
        {"lei", "", &kLeu},
        {"kn", "HRK"},
        {"kr", "", &kKrona},
        {"kr.", "", &kKrona},
        {"\xD0\xBB\xD0\xB2", "BGN"},              // лв
        {"\xD0\xBB\xD0\xB2.", "BGN"},             // лв.
        {"\xD0\xB4\xD0\xB8\xD0\xBD", "RSD"},      // дин
        {"din", "RSD"},
        {"\xD0\xB4\xD0\xB5\xD0\xBD", "MKD"},      // ден
        {"rp", "IDR"},
        {"rp.", "IDR"},
        {"rm", "MYR"},
        {"s/", "PEN"},
        {"s/.", "PEN"},
        {"fr.", "", &kFranc},
        {"sfr", "CHF"},
        {"\xD8\xB1.\xD8\xB3", "SAR"},             // ر.س
        {"\xD8\xB1.\xD8\xB3.", "SAR"},            // ر.س.
        {"\xD8\xAF.\xD8\xA5", "AED"},             // د.إ
        {"\xD8\xAF.\xD9\x83", "KWD"},             // د.ك
        {"\xD8\xB1.\xD9\x82", "QAR"},             // ر.ق
        {"\xD8\xAC.\xD9\x85", "EGP"},             // ج.م
        {"e\xC2\xA3", "EGP"},                     // e£
        {"rur", "RUB"},                           // the former code, still written
        {"nis", "ILS"},
        {"eur", "EUR"},
        {"usd", "USD"},
        {"gbp", "GBP"},
        {"chf", "CHF"},
    };
    return t;
  }();
  return table;
}

// A symbol token has no ASCII letters and so cannot hide inside a word.
bool has_ascii_letter(std::string_view s) noexcept {
  return std::any_of(s.begin(), s.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

bool in_family(const Family& f, std::string_view code) noexcept {
  return std::find(f.members.begin(), f.members.end(), code) != f.members.end() && !code.empty();
}

// The code a token stands for, given the page's declared currency.
std::optional<std::string> resolve(const Token& t, std::string_view declared) {
  if (t.family == nullptr) return std::string(t.code);
  if (in_family(*t.family, declared)) return std::string(declared);
  return std::string(t.family->usual);  // may be empty: written, but not known
}

// What `token` stands for: an upper-case ISO code, or a table entry.
std::optional<std::string> token_code(std::string_view token, std::string_view declared) {
  if (token.size() == 3 && is_currency_code(token)) return std::string(token);
  const std::string lower = text::ascii_lower(token);
  for (const Token& t : tokens()) {
    if (t.text == lower) return resolve(t, declared);
  }
  return std::nullopt;
}

// White space that may stand between a token and its number.
std::size_t space_length_at(std::string_view s, std::size_t pos) noexcept {
  if (pos >= s.size()) return 0;
  if (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\n' || s[pos] == '\r') return 1;
  if (s.compare(pos, 2, "\xC2\xA0") == 0) return 2;                                     // no-break space
  if (s.compare(pos, 3, "\xE2\x80\x89") == 0 || s.compare(pos, 3, "\xE2\x80\xAF") == 0 ||  // thin, narrow no-break
      s.compare(pos, 3, "\xE2\x80\x8A") == 0 || s.compare(pos, 3, "\xE2\x80\x88") == 0) {
    return 3;
  }
  return 0;
}

// A separator between digit groups at `pos`: its kind and byte length.
enum class Sep { none, point, comma, group };
Sep separator_at(std::string_view s, std::size_t pos, std::size_t& length) noexcept {
  length = 0;
  if (pos >= s.size()) return Sep::none;
  if (s[pos] == '.') return length = 1, Sep::point;
  if (s[pos] == ',') return length = 1, Sep::comma;
  if (s[pos] == '\'') return length = 1, Sep::group;
  if (s.compare(pos, 3, "\xE2\x80\x99") == 0) return length = 3, Sep::group;  // ’
  if (const std::size_t n = space_length_at(s, pos); n > 0 && s[pos] != '\n' && s[pos] != '\t') {
    return length = n, Sep::group;
  }
  return Sep::none;
}

std::size_t digits_at(std::string_view s, std::size_t pos) noexcept {
  std::size_t n = 0;
  while (pos + n < s.size() && text::is_ascii_digit(s[pos + n])) ++n;
  return n;
}

// Currencies whose minor unit has three digits: "1.500" is a decimal there.
bool three_decimals(std::string_view code) noexcept {
  static constexpr std::array<std::string_view, 7> codes{"BHD", "IQD", "JOD", "KWD", "LYD", "OMR", "TND"};
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

struct NumberSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The number starting at `begin`: digit groups joined by one separator each.
// A point or comma followed by other than three digits is the decimal mark
// and ends the number; spaces and apostrophes join only groups of exactly
// three digits after a first group of at most three, and never after a
// point or comma ("881,00 169,00" is two numbers).
NumberSpan number_at(std::string_view s, std::size_t begin) noexcept {
  const std::size_t first = digits_at(s, begin);
  std::size_t end = begin + first;
  bool marks = false;  // a point or comma joined groups so far
  while (true) {
    std::size_t length = 0;
    const Sep sep = separator_at(s, end, length);
    if (sep == Sep::none) break;
    const std::size_t group = digits_at(s, end + length);
    if (group == 0) break;
    if (sep == Sep::group) {
      if (group != 3 || first > 3 || marks) break;
      end += length + group;
      continue;
    }
    end += length + group;
    marks = true;
    if (group != 3) break;
  }
  return {begin, end};
}

// The decimal literal of a number text; absent when its separators do not
// make sense together.
std::optional<std::string> literal_of(std::string_view number, std::string_view currency) {
  std::vector<std::pair<Sep, std::size_t>> seps;  // kind, digits after it
  std::string digits;
  std::vector<std::size_t> group_starts;  // index into digits where each group starts
  std::size_t pos = 0;
  group_starts.push_back(0);
  while (pos < number.size()) {
    if (text::is_ascii_digit(number[pos])) {
      digits.push_back(number[pos++]);
      continue;
    }
    std::size_t length = 0;
    const Sep sep = separator_at(number, pos, length);
    pos += length == 0 ? 1 : length;
    seps.emplace_back(sep, digits_at(number, pos));
    group_starts.push_back(digits.size());
  }
  std::size_t points = 0, commas = 0;
  for (const auto& [kind, after] : seps) {
    points += kind == Sep::point;
    commas += kind == Sep::comma;
  }
  // Which separator, if any, is the decimal mark.
  std::optional<std::size_t> decimal;  // index into seps
  if (points > 0 && commas > 0) {
    const Sep last = seps.back().first;
    if (last == Sep::group || (last == Sep::point ? points : commas) != 1) return std::nullopt;
    decimal = seps.size() - 1;
  } else if (points + commas == 1) {
    std::size_t at = 0;
    while (seps[at].first == Sep::group) ++at;
    const bool last = at == seps.size() - 1;
    const bool thousands = seps[at].second == 3 && !three_decimals(currency) && digits.front() != '0' &&
                           group_starts[1] <= 3;
    if (last && !thousands) decimal = at;
  }
  std::string literal;
  for (std::size_t g = 0; g < group_starts.size(); ++g) {
    if (decimal && g == *decimal + 1) literal.push_back('.');
    const std::size_t from = group_starts[g];
    const std::size_t to = g + 1 < group_starts.size() ? group_starts[g + 1] : digits.size();
    literal.append(digits, from, to - from);
  }
  return literal;
}

// The code points of `s` before `end`, at most `count` of them, that are
// neither digits nor white space: the start of that run.
std::size_t run_before(std::string_view s, std::size_t end, int count) noexcept {
  std::size_t begin = end;
  while (begin > 0 && count > 0) {
    const std::size_t prev = text::code_point_start(s, begin - 1);
    const char c = s[prev];
    if (text::is_ascii_digit(c) || space_length_at(s, prev) > 0) break;
    begin = prev;
    --count;
  }
  return begin;
}

std::size_t run_after(std::string_view s, std::size_t begin, int count) noexcept {
  std::size_t end = begin;
  while (end < s.size() && count > 0) {
    if (text::is_ascii_digit(s[end]) || space_length_at(s, end) > 0) break;
    std::size_t next = end + 1;
    while (next < s.size() && text::is_continuation_byte(s[next])) ++next;
    end = next;
    --count;
  }
  return end;
}

// The longest currency token that ends the run [begin, end), as long as a
// lettered token does not continue a word.
std::optional<std::string> token_ending(std::string_view s, std::size_t begin, std::size_t end,
                                        std::string_view declared) {
  for (std::size_t from = begin; from < end; ++from) {
    if (text::is_continuation_byte(s[from])) continue;
    const std::string_view token = s.substr(from, end - from);
    const bool glued = from > begin && has_ascii_letter(token) && has_ascii_letter(s.substr(from - 1, 1));
    if (glued) continue;
    if (auto code = token_code(token, declared)) return code;
  }
  return std::nullopt;
}

std::optional<std::string> token_starting(std::string_view s, std::size_t begin, std::size_t end,
                                          std::string_view declared) {
  for (std::size_t to = end; to > begin; --to) {
    if (to < s.size() && text::is_continuation_byte(s[to])) continue;
    const std::string_view token = s.substr(begin, to - begin);
    const bool glued = to < end && has_ascii_letter(token) && has_ascii_letter(s.substr(to, 1));
    if (glued) continue;
    if (auto code = token_code(token, declared)) return code;
  }
  return std::nullopt;
}

std::size_t skip_space_back(std::string_view s, std::size_t end) noexcept {
  while (end > 0) {
    const std::size_t prev = text::code_point_start(s, end - 1);
    if (space_length_at(s, prev) == 0) break;
    end = prev;
  }
  return end;
}

std::size_t skip_space(std::string_view s, std::size_t pos) noexcept {
  while (const std::size_t n = space_length_at(s, pos)) pos += n;
  return pos;
}

}  // namespace

bool is_currency_code(std::string_view code) noexcept {
  return std::binary_search(kCurrencyCodes.begin(), kCurrencyCodes.end(), code);
}

std::optional<std::string> currency_code_of(std::string_view value) {
  const std::string_view v = text::strip(value);
  if (v.empty() || v.size() > 12) return std::nullopt;
  const std::string upper = text::ascii_upper(v);
  if (is_currency_code(upper)) return upper;
  auto code = token_code(v, {});
  if (code && code->empty()) return std::nullopt;
  return code;
}

std::optional<Money> read_money(std::string_view text, std::string_view declared_currency) {
  std::size_t first = 0;
  while (first < text.size() && !text::is_ascii_digit(text[first])) ++first;
  if (first == text.size()) return std::nullopt;
  const NumberSpan number = number_at(text, first);

  // A token right before the number wins over one right after it.
  std::optional<std::string> code;
  const std::size_t before_end = skip_space_back(text, number.begin);
  code = token_ending(text, run_before(text, before_end, 6), before_end, declared_currency);
  if (!code) {
    // "20,-" and "20.–" write whole amounts; the token comes after the dash.
    std::size_t after_number = number.end;
    for (const std::string_view dash : {",--", ",-", ".-", ",\xE2\x80\x93", ".\xE2\x80\x93"}) {
      if (text.substr(after_number, dash.size()) == dash) {
        after_number += dash.size();
        break;
      }
    }
    const std::size_t after_begin = skip_space(text, after_number);
    code = token_starting(text, after_begin, run_after(text, after_begin, 6), declared_currency);
  }
  const std::string currency = code ? *code : std::string();
  const auto literal = literal_of(text.substr(number.begin, number.end - number.begin),
                                  currency.empty() ? declared_currency : std::string_view(currency));
  if (!literal) return std::nullopt;
  const auto value = text::parse_decimal(*literal);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return Money{text::round_to_cents(*value), currency, code.has_value()};
}

std::optional<double> read_plain_amount(std::string_view text) {
  const std::string_view t = text::strip(text);
  if (t.empty() || t.size() > 40) return std::nullopt;
  if (const auto exact = text::parse_decimal(t); exact && std::isfinite(*exact) && *exact >= 0) {
    return text::round_to_cents(*exact);
  }
  if (!text::is_ascii_digit(t.front()) || !text::is_ascii_digit(t.back())) return std::nullopt;
  const NumberSpan number = number_at(t, 0);
  if (number.end != t.size()) return std::nullopt;
  const auto literal = literal_of(t, {});
  if (!literal) return std::nullopt;
  const auto value = text::parse_decimal(*literal);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return text::round_to_cents(*value);
}

}  // namespace korvane::commerce::detail::extended
