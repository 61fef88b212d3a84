#include "commerce/money.hpp"

#include "text/number.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"
#include "text/wording.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <vector>

namespace korvane::commerce::detail {
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
// Families without a usual reading list their most common member first (by
// the size of its online trade): a reader that must guess takes it.
constexpr Family kKrona{"", {"SEK", "NOK", "DKK", "ISK"}};
constexpr Family kKronaDot{"", {"DKK", "NOK", "SEK", "ISK"}};  // "kr." is mostly Danish
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
        {"cn\xC2\xA5", "CNY"},          // CN¥
        {"rmb", "CNY"},
        {"\xE0\xA7\xB3", "BDT"},        // ৳
        {"tk", "BDT"},
        {"\xE2\x82\xB9", "INR"},        // ₹
        {"\xE2\x82\xA8", "", &kRupee},  // ₨
        {"rs", "", &kRupee},
        {"rs.", "", &kRupee},
        {"\xE2\x82\xBD", "RUB"},        // ₽
        {"\xD1\x80\xD1\x83\xD0\xB1", "RUB"},      // руб
        {"\xD1\x80\xD1\x83\xD0\xB1.", "RUB"},     // руб.
        {"\xD1\x80.", "RUB"},                     // р.
        {"\xD0\xB1.\xD1\x80.", "BYN"},            // б.р., the Belarusian rouble
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
        {"kr.", "", &kKronaDot},
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
        {"\xD8\xB1.\xD8\xB9", "OMR"},             // ر.ع
        {"\xD8\xB1.\xD8\xB9.", "OMR"},            // ر.ع.
        {"\xD8\xAF.\xD8\xA8", "BHD"},             // د.ب
        {"\xD8\xAF.\xD8\xA3", "JOD"},             // د.أ
        {"\xD8\xAF.\xD8\xA7", "JOD"},             // د.ا
        {"\xD8\xAF.\xD8\xAA", "TND"},             // د.ت
        {"\xD8\xAF.\xD8\xAC", "DZD"},             // د.ج
        {"\xD8\xAF.\xD8\xB9", "IQD"},             // د.ع
        {"\xD8\xAF.\xD9\x84", "LYD"},             // د.ل
        {"\xD9\x84.\xD9\x84", "LBP"},             // ل.ل
        {"\xD8\xAC.\xD9\x85", "EGP"},             // ج.م
        {"e\xC2\xA3", "EGP"},                     // e£
        {"rur", "RUB"},                           // the former code, still written
        {"nis", "ILS"},
        {"\xD7\xA9\"\xD7\x97", "ILS"},          // ש"ח, the shekel's Hebrew abbreviation
        {"\xD7\xA9\xD7\xB4\xD7\x97", "ILS"},    // ש״ח
        {":-", "", &kKrona},                      // "199:-", Swedish and Norwegian whole amounts
        {"euro", "EUR"},
        {"euros", "EUR"},
        {"pounds", "GBP"},
        {"yen", "JPY"},
        {"reais", "BRL"},
        {"zl", "PLN"},
        {"z\xC5\x82otych", "PLN"},              // złotych
        {"kc", "CZK"},
        {"k\xC4\x8Ds", "CZK"},                  // kčs
        {"lv", "BGN"},
        {"\xD1\x80\xD1\x83\xD0\xB1\xD0\xBB\xD0\xB5\xD0\xB9", "RUB"},  // рублей
        {"\xD1\x80", "RUB"},                    // р
        {"dh", "MAD"},
        {"\xD8\xAF.\xD9\x85.", "MAD"},         // د.م.
        {"ksh", "KES"},
        {"tsh", "TZS"},
        {"gh\xE2\x82\xB5", "GHS"},             // gh₵
        {"\xEF\xBF\xA1", "GBP"},               // fullwidth £
        {"\xEF\xBC\x84", "", &kDollar},        // fullwidth $
        {"din.", "RSD"},
        {"\xD0\xB4\xD0\xB8\xD0\xBD.", "RSD"},  // дин.
        {"kd", "KWD"},
        {"bd", "BHD"},
        {"jd", "JOD"},
        {"dt", "TND"},
        {"r.o.", "OMR"},
        {"vn\xC4\x91", "VND"},                  // vnđ
        {"r", "ZAR"},                             // "R 199", South Africa
        {"br", "BYN"},                            // "Br 12,99", Belarus
        // Upper-case forms of non-ASCII letters, which ASCII lower-casing keeps.
        {"vn\xC4\x90", "VND"},                  // vnĐ
        {"z\xC5\x81", "PLN"},                   // zŁ
        {"k\xC4\x8C", "CZK"},                   // kČ
    };
    return t;
  }();
  return table;
}

// Codes written in lower case next to an amount ("12,50 eur"): the common
// ones only, so that words that are also codes ("all", "top", "try",
// "pen", "cup") never read as currencies.
constexpr std::array<std::string_view, 46> kLowerCaseCodes{
    "aed", "ars", "aud", "bgn", "bhd", "brl", "cad", "chf", "clp", "cny", "cop", "czk", "dkk", "egp", "eur", "gbp",
    "hkd", "hrk", "huf", "idr", "ils", "inr", "isk", "jod", "jpy", "kes", "krw", "kwd", "kzt", "mxn", "myr", "nok",
    "nzd", "omr", "php", "pln", "qar", "ron", "rsd", "rub", "sar", "sek", "sgd", "uah", "usd", "zar"};

// A symbol token has no ASCII letters and so cannot hide inside a word.
bool has_ascii_letter(std::string_view s) noexcept {
  return std::any_of(s.begin(), s.end(), [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); });
}

bool in_family(const Family& f, std::string_view code) noexcept {
  return !code.empty() && std::find(f.members.begin(), f.members.end(), code) != f.members.end();
}

// The code a token stands for, given the declared currency; with `guess`, a
// family without a usual reading gives its most common member.
std::string resolve(const Token& t, std::string_view declared, bool guess) {
  if (t.family == nullptr) return std::string(t.code);
  if (in_family(*t.family, declared)) return std::string(declared);
  if (t.family->usual.empty() && guess) return std::string(t.family->members.front());
  return std::string(t.family->usual);  // may be empty: written, but not known
}

// What `token` stands for: an ISO code (upper case, or a common one in lower
// case), or a table entry.
std::optional<std::string> token_code(std::string_view token, std::string_view declared, bool guess = false) {
  if (token.size() == 3) {
    if (is_currency_code(token)) return std::string(token);
    const std::string lower = text::ascii_lower(token);
    if (std::find(kLowerCaseCodes.begin(), kLowerCaseCodes.end(), lower) != kLowerCaseCodes.end()) {
      return text::ascii_upper(token);
    }
  }
  const std::string lower = text::ascii_lower(token);
  for (const Token& t : tokens()) {
    if (t.text == lower) return resolve(t, declared, guess);
  }
  return std::nullopt;
}

// White space that may stand between a token and its number, or group digits.
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

std::size_t skip_space(std::string_view s, std::size_t pos) noexcept {
  while (const std::size_t n = space_length_at(s, pos)) pos += n;
  return pos;
}

std::size_t skip_space_back(std::string_view s, std::size_t end) noexcept {
  while (end > 0) {
    const std::size_t prev = text::code_point_start(s, end - 1);
    if (space_length_at(s, prev) == 0) break;
    end = prev;
  }
  return end;
}

std::size_t digits_at(std::string_view s, std::size_t pos) noexcept {
  std::size_t n = 0;
  while (pos + n < s.size() && text::is_ascii_digit(s[pos + n])) ++n;
  return n;
}

// ---------------------------------------------------------------- other scripts' digits

// `text` with the digits and number punctuation of other scripts as ASCII:
// full-width forms ("１，９８０"), Arabic-Indic and Persian digits, the Arabic
// decimal and thousands separators, Devanagari digits. Other text stays.
std::string ascii_numbers(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c < 0x80) {
      out.push_back(text[pos++]);
      continue;
    }
    const std::size_t start = pos;
    const char32_t cp = text::next_code_point(text, pos);
    if (cp >= 0xFF10 && cp <= 0xFF19) {
      out.push_back(static_cast<char>('0' + (cp - 0xFF10)));
    } else if (cp >= 0x0660 && cp <= 0x0669) {
      out.push_back(static_cast<char>('0' + (cp - 0x0660)));
    } else if (cp >= 0x06F0 && cp <= 0x06F9) {
      out.push_back(static_cast<char>('0' + (cp - 0x06F0)));
    } else if (cp >= 0x0966 && cp <= 0x096F) {
      out.push_back(static_cast<char>('0' + (cp - 0x0966)));
    } else if (cp == 0xFF0C || cp == 0x066C) {
      out.push_back(',');
    } else if (cp == 0xFF0E || cp == 0x066B) {
      out.push_back('.');
    } else {
      out.append(text.substr(start, pos - start));
    }
  }
  return out;
}

// True when `text` may hold such digits or punctuation (bytes that start
// them); most texts do not, and are read as they are.
bool may_hold_other_digits(std::string_view text) noexcept {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u == 0xEF || u == 0xD9 || u == 0xDB || u == 0xE0;
  });
}

// ---------------------------------------------------------------- numbers

enum class Sep : std::uint8_t { point, comma, group, point_space, comma_space };

struct Mark {
  Sep kind;
  std::size_t digits_after;
};

// A number as written: its digit groups and the separators between them.
struct NumberSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::string digits;                       // all its digits
  std::vector<std::size_t> group_starts;    // index into `digits` where each group starts
  std::vector<Mark> marks;                  // the separators, in order
  bool leading_point = false;               // ".75"
};

// A separator between digit groups at `pos`: its kind and byte length.
std::optional<Sep> separator_at(std::string_view s, std::size_t pos, std::size_t& length) noexcept {
  length = 0;
  if (pos >= s.size()) return std::nullopt;
  if (s[pos] == '.') {
    // "8. 94": a point, then one space, then the cents.
    if (pos + 1 < s.size() && s[pos + 1] == ' ' && digits_at(s, pos + 2) > 0) return length = 2, Sep::point_space;
    return length = 1, Sep::point;
  }
  if (s[pos] == ',') {
    // "12, 99": a comma, then one space, then exactly two digits of cents.
    if (pos + 1 < s.size() && s[pos + 1] == ' ' && digits_at(s, pos + 2) == 2) return length = 2, Sep::comma_space;
    return length = 1, Sep::comma;
  }
  if (s[pos] == '\'') return length = 1, Sep::group;
  if (s.compare(pos, 3, "\xE2\x80\x99") == 0) return length = 3, Sep::group;  // ’
  if (const std::size_t n = space_length_at(s, pos); n > 0 && s[pos] != '\n' && s[pos] != '\t' && s[pos] != '\r') {
    return length = n, Sep::group;
  }
  return std::nullopt;
}

// The number starting at `begin` (a digit, or a point before digits):
// digit groups joined by one separator each. Points and commas join any
// group; spaces and apostrophes join only groups of exactly three digits
// after a first group of at most three, and never after a point or comma
// ("120,00 95,00" is two numbers).
NumberSpan number_at(std::string_view s, std::size_t begin) {
  NumberSpan n;
  n.begin = begin;
  std::size_t pos = begin;
  if (s[pos] == '.') {
    n.leading_point = true;
    ++pos;
  }
  const std::size_t first = digits_at(s, pos);
  n.group_starts.push_back(0);
  n.digits.append(s.substr(pos, first));
  pos += first;
  bool marked = n.leading_point;
  while (true) {
    std::size_t length = 0;
    const auto sep = separator_at(s, pos, length);
    if (!sep) break;
    const std::size_t group = digits_at(s, pos + length);
    if (group == 0) break;
    if (*sep == Sep::group) {
      const bool whole_group = group == 3 && first <= 3 && !marked;
      if (!whole_group) break;
    }
    n.marks.push_back({*sep, group});
    n.group_starts.push_back(n.digits.size());
    n.digits.append(s.substr(pos + length, group));
    pos += length + group;
    if (*sep != Sep::group) marked = true;
    if (*sep == Sep::point_space || *sep == Sep::comma_space) break;
  }
  n.end = pos;
  return n;
}

std::size_t group_length(const NumberSpan& n, std::size_t g) {
  const std::size_t to = g + 1 < n.group_starts.size() ? n.group_starts[g + 1] : n.digits.size();
  return to - n.group_starts[g];
}

// True when the groups after the first, up to `last` (exclusive), group
// thousands: three digits each, or the Indian way (twos, then three).
bool groups_thousands(const NumberSpan& n, std::size_t last) {
  if (last <= 1) return true;
  if (group_length(n, 0) > 3) return false;
  if (group_length(n, last - 1) != 3) return false;
  bool twos = false;
  for (std::size_t g = 1; g + 1 < last; ++g) {
    const std::size_t len = group_length(n, g);
    if (len == 2) {
      twos = true;
    } else if (len != 3 || twos) {
      return false;
    }
  }
  return true;
}

// The exact decimal a number stands for ("1299.9", "0.75", "2490"), without
// leading zeros of the whole part or trailing zeros of the fraction; absent
// when its separators do not make sense together.
std::optional<std::string> decimal_of(const NumberSpan& n, int minor) {
  // Which group starts the fraction (none: a whole number).
  std::optional<std::size_t> fraction;  // index of the group after the decimal mark
  if (n.leading_point) {
    if (!n.marks.empty()) return std::nullopt;
    fraction = 0;
  }
  std::size_t points = 0, commas = 0;
  for (const Mark& m : n.marks) {
    points += m.kind == Sep::point || m.kind == Sep::point_space;
    commas += m.kind == Sep::comma || m.kind == Sep::comma_space;
  }
  const std::size_t count = n.marks.size();
  if (points > 0 && commas > 0) {
    // The last of the two kinds is the decimal mark, written once.
    const Mark& last = n.marks.back();
    if (last.kind == Sep::group) return std::nullopt;
    const bool last_is_point = last.kind == Sep::point || last.kind == Sep::point_space;
    if ((last_is_point ? points : commas) != 1) return std::nullopt;
    if (!groups_thousands(n, count)) return std::nullopt;
    fraction = count;
  } else if (points + commas == 1) {
    std::size_t at = 0;
    while (n.marks[at].kind == Sep::group) ++at;
    const Mark& m = n.marks[at];
    const bool last = at == count - 1;
    bool decimal = m.digits_after != 3 || m.kind == Sep::point_space || m.kind == Sep::comma_space;
    if (!decimal) {
      // "1.500": a decimal in a currency of three decimals, after a zero
      // ("0.500"), or when what stands before cannot be a first group of
      // thousands ("12345.678").
      decimal = minor == 3 || n.digits.front() == '0' || group_length(n, at) > 3;
    }
    if (decimal) {
      if (!last) return std::nullopt;
      fraction = at + 1;
    } else if (!groups_thousands(n, count + 1)) {
      return std::nullopt;
    }
  } else if (points + commas > 1) {
    // One kind, several times: thousands only ("1.234.567", "1,29,999").
    if (!groups_thousands(n, count + 1)) return std::nullopt;
  }
  std::string whole, frac;
  for (std::size_t g = 0; g < n.group_starts.size(); ++g) {
    const std::size_t len = group_length(n, g);
    (fraction && g >= *fraction ? frac : whole).append(n.digits, n.group_starts[g], len);
  }
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  frac.erase(frac.find_last_not_of('0') + 1);
  if (whole.empty()) whole.push_back('0');
  if (!frac.empty()) {
    whole.push_back('.');
    whole.append(frac);
  }
  return whole;
}

// A hundredth of decimal `d` ("99" gives "0.99", "5" gives "0.05").
std::string hundredth_of(const std::string& d) {
  const std::size_t point = d.find('.');
  std::string digits = d;
  std::size_t whole = point == std::string::npos ? d.size() : point;
  if (point != std::string::npos) digits.erase(point, 1);
  while (whole < 2) {
    digits.insert(digits.begin(), '0');
    ++whole;
  }
  std::string out = digits.substr(0, whole - 2);
  out.erase(0, std::min(out.find_first_not_of('0'), out.size()));
  if (out.empty()) out.push_back('0');
  std::string frac = digits.substr(whole - 2);
  frac.erase(frac.find_last_not_of('0') + 1);
  if (!frac.empty()) {
    out.push_back('.');
    out.append(frac);
  }
  return out;
}

// ---------------------------------------------------------------- tokens around a number

// The code points of `s` before `end`, at most `count` of them, that are
// neither digits nor white space: the start of that run.
std::size_t run_before(std::string_view s, std::size_t end, int count) noexcept {
  std::size_t begin = end;
  while (begin > 0 && count > 0) {
    const std::size_t prev = text::code_point_start(s, begin - 1);
    if (text::is_ascii_digit(s[prev]) || space_length_at(s, prev) > 0) break;
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

// True when a letter, ASCII or of the Latin, Greek or Cyrillic scripts (two
// UTF-8 bytes, U+00C0 to U+052F), ends at `at`: a lettered token after it
// would continue a word ("Før" holds no rand).
bool letter_before(std::string_view s, std::size_t at) noexcept {
  if (at == 0) return false;
  const auto c = static_cast<unsigned char>(s[at - 1]);
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  const std::size_t start = text::code_point_start(s, at - 1);
  const auto lead = static_cast<unsigned char>(s[start]);
  return at - start == 2 && lead >= 0xC3 && lead <= 0xD4;
}

// The longest currency token that ends the run [begin, end), as long as a
// lettered token does not continue a word.
std::optional<std::string> token_ending(std::string_view s, std::size_t begin, std::size_t end,
                                        std::string_view declared, bool guess, std::size_t& token_begin) {
  for (std::size_t from = begin; from < end; ++from) {
    if (text::is_continuation_byte(s[from])) continue;
    const std::string_view token = s.substr(from, end - from);
    const bool glued = has_ascii_letter(token) && letter_before(s, from);
    if (glued) continue;
    if (auto code = token_code(token, declared, guess)) {
      token_begin = from;
      return code;
    }
  }
  return std::nullopt;
}

// The family an ambiguous token stands for ("$", "kr", "¥"); null for any other.
const Family* family_of(std::string_view token) {
  const std::string lower = text::ascii_lower(token);
  for (const Token& t : tokens()) {
    if (t.text == lower) return t.family;
  }
  return nullptr;
}

bool is_ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The country prefix written apart before a dollar sign ("C $24.99",
// "AU $49.95", as marketplaces list foreign offers).
std::optional<std::string> dollar_prefix_before(std::string_view s, std::size_t end) {
  static constexpr std::array<std::pair<std::string_view, std::string_view>, 9> prefixes{{
      {"US", "USD"}, {"C", "CAD"}, {"CA", "CAD"}, {"AU", "AUD"}, {"NZ", "NZD"},
      {"HK", "HKD"}, {"S", "SGD"}, {"NT", "TWD"}, {"MX", "MXN"}}};
  end = skip_space_back(s, end);
  std::size_t begin = end;
  while (begin > 0 && end - begin < 3 && is_ascii_letter(s[begin - 1])) --begin;
  if (begin == end || (begin > 0 && is_ascii_letter(s[begin - 1]))) return std::nullopt;
  const std::string_view word = s.substr(begin, end - begin);
  for (const auto& [prefix, code] : prefixes) {
    if (word == prefix) return std::string(code);
  }
  return std::nullopt;
}

// The ISO code written as a word of three letters that ends at `end` (after
// white space), or starts at `begin` (after white space); empty when none.
std::string code_word_before(std::string_view s, std::size_t end) {
  end = skip_space_back(s, end);
  if (end < 3 || (end > 3 && is_ascii_letter(s[end - 4]))) return {};
  const std::string word = text::ascii_upper(s.substr(end - 3, 3));
  return std::all_of(word.begin(), word.end(), is_ascii_letter) && is_currency_code(word) ? word : std::string();
}

std::string code_word_after(std::string_view s, std::size_t begin) {
  begin = skip_space(s, begin);
  if (begin + 3 > s.size() || (begin + 3 < s.size() && is_ascii_letter(s[begin + 3]))) return {};
  const std::string word = text::ascii_upper(s.substr(begin, 3));
  return std::all_of(word.begin(), word.end(), is_ascii_letter) && is_currency_code(word) ? word : std::string();
}

// The longest currency token that starts the run [begin, end), the same way.
std::optional<std::string> token_starting(std::string_view s, std::size_t begin, std::size_t end,
                                          std::string_view declared, bool guess, std::size_t& token_end) {
  for (std::size_t to = end; to > begin; --to) {
    if (to < s.size() && text::is_continuation_byte(s[to])) continue;
    const std::string_view token = s.substr(begin, to - begin);
    const bool glued = to < s.size() && has_ascii_letter(token) && has_ascii_letter(s.substr(to, 1));
    if (glued) continue;
    if (auto code = token_code(token, declared, guess)) {
      token_end = to;
      return code;
    }
  }
  return std::nullopt;
}

// Dashes after a number that write a whole amount: "20,-", "1.299,–", "20.--".
std::size_t whole_amount_dash(std::string_view s, std::size_t pos) noexcept {
  for (const std::string_view dash : {",--", ",-", ".-", ",\xE2\x80\x93", ".\xE2\x80\x93", ",\xE2\x80\x94"}) {
    if (s.substr(pos, dash.size()) == dash) return dash.size();
  }
  return 0;
}

// ---------------------------------------------------------------- words around a number

// Up to `count` words (runs of letters, lower-cased) before `end`.
std::vector<std::string> words_before(std::string_view s, std::size_t end, int count) {
  std::vector<std::string> words;
  // Only the short stretch before a number says what the number is.
  constexpr std::size_t kLookBack = 40;
  const std::size_t from = end > kLookBack ? end - kLookBack : 0;
  std::string lower = text::to_lower(s.substr(from, end - from));
  std::size_t pos = lower.size();
  bool after_initial = false;
  while (pos > 0 && static_cast<int>(words.size()) < count) {
    while (pos > 0 && !(static_cast<unsigned char>(lower[pos - 1]) >= 0x80 || std::isalpha(static_cast<unsigned char>(lower[pos - 1])))) {
      if (text::is_ascii_digit(lower[pos - 1])) return words;  // another number stands between
      --pos;
    }
    std::size_t begin = pos;
    while (begin > 0 && (static_cast<unsigned char>(lower[begin - 1]) >= 0x80 ||
                         std::isalpha(static_cast<unsigned char>(lower[begin - 1])))) {
      --begin;
    }
    if (begin == pos) break;
    // An initialism ("M.R.P.") is one word.
    const bool initial = pos - begin == 1 && pos < lower.size() && lower[pos] == '.';
    if (initial && after_initial) {
      words.back().insert(0, lower.substr(begin, 1));
    } else {
      words.push_back(lower.substr(begin, pos - begin));
    }
    after_initial = initial;
    pos = begin;
  }
  return words;
}

// The word (lower-cased letters) that starts at or after `pos`, skipping
// white space and "/" (which it reports).
std::string word_after(std::string_view s, std::size_t pos, bool& slash) {
  slash = false;
  pos = skip_space(s, pos);
  if (pos < s.size() && s[pos] == '/') {
    slash = true;
    pos = skip_space(s, pos + 1);
  }
  std::size_t end = pos;
  while (end < s.size() && end - pos < 24 &&
         (static_cast<unsigned char>(s[end]) >= 0x80 || std::isalpha(static_cast<unsigned char>(s[end])))) {
    ++end;
  }
  return text::to_lower(s.substr(pos, end - pos));
}

template <std::size_t N>
bool one_of(std::string_view word, const std::array<std::string_view, N>& words) {
  return std::find(words.begin(), words.end(), word) != words.end();
}

// A former or list price: "was", "statt", "UVP", "RRP", "avant", "antes" ...
constexpr std::array<std::string_view, 45> kFormerWords{
    "was",       "statt",     "uvp",        "rrp",      "msrp",        "mrp",        "list",     "listino",
    "regular",   "regularna", "reg",        "orig",     "original",    "before",     "avant",    "antes",
    "anterior",  "prima",     "zamiast",    "było",     "было",        "vorher",     "bisher",   "ehemals",
    "normal",    "normalpreis", "compare",  "previously", "old",       "instead",    "voorheen", "van",
    "tidigare",  "ord",       "ordinary",   "anteriormente", "consigliato", "conseillé", "barré", "ursprünglich",
    "ursprünglicher", "lowest", "niedrigster", "laagste", "najniższa"};
// The current price: "now", "jetzt", "nur", "sale", "our price" ...
constexpr std::array<std::string_view, 30> kCurrentWords{
    "now",    "jetzt",  "nur",     "only",  "ahora",  "maintenant", "ora",         "teraz",         "nu",    "voor",
    "por",    "sale",   "special", "offer", "deal",   "today",      "price",       "nyt",           "promo", "promotion",
    "oferta", "offerta", "tilbud", "akce",  "promocja", "sonderpreis", "aktionspreis", "angebotspreis", "soldes", "actual"};
// A saving, not a price: "save", "sparen", "économisez" ...
constexpr std::array<std::string_view, 20> kSavingWords{
    "save",       "saving",  "savings", "spare",  "sparen",  "sparst", "économisez", "economisez", "ahorra",
    "ahorras",    "ahorro",  "risparmi", "risparmia", "oszczędzasz", "economize", "bespaar", "discount", "rabatt",
    "descuento",  "sconto"};
// Words after an amount that make it a discount or a count.
constexpr std::array<std::string_view, 4> kOffWords{"off", "rabatt", "korting", "remise"};
// A bare number before one of these counts or measures something: "12 Stück",
// "29개", "500 ml", "128 reviews", "only 3 left".
constexpr std::array<std::string_view, 52> kCountWords{
    "x",      "pcs",     "pc",    "pieces", "piece",   "items",  "item",    "st",      "stk",    "stück",  "stuks",
    "pack",   "ks",      "szt",   "units",  "unit",    "ea",     "pz",      "pezzi",   "pièces", "unidades", "uds",
    "шт",     "штук",    "adet",  "buc",    "db",      "kpl",    "개",      "件",      "个",     "個",     "ml",
    "cl",     "kg",      "mg",    "cm",     "mm",      "oz",     "lb",      "lbs",     "gb",     "tb",     "mah",
    "reviews", "review", "ratings", "rating", "stars", "sold",   "left",    "bewertungen"};
// Instalments: "/mo", "per month", "mtl.", "4 x ...", "cuotas de".
constexpr std::array<std::string_view, 14> kMonthWords{"mo", "month", "mon", "mth", "mes", "mois", "monat", "mês",
                                                       "miesiąc", "mies", "monthly", "mtl", "monatlich", "kk"};
constexpr std::array<std::string_view, 9> kInstalmentWords{"payments", "installments", "instalments", "cuotas",
                                                           "parcelas", "rate",        "raten",       "monthly",
                                                           "x"};
// Words before "from" that make the amount after it a former price
// ("reduced from $80 to $60", "marked down from"); "from" alone starts a range.
constexpr std::array<std::string_view, 5> kReductionWords{"reduced", "down", "lowered", "discounted", "cut"};
// Hundredths of a currency written out after a whole number: "99 cents", "50 ct".
constexpr std::array<std::string_view, 8> kCentWords{"cents",   "cent",     "ct",        "cts",
                                                     "centimes", "céntimos", "centavos", "centésimos"};
// A per-unit price: "/ kg", "per 100 g", "pro Stück", "je Liter".
constexpr std::array<std::string_view, 6> kPerWords{"per", "pro", "je", "par", "за", "la"};

// Words meaning the price is nothing.
constexpr std::array<std::string_view, 20> kFreeWords{
    "free",     "gratis",   "gratuit",  "gratuite", "kostenlos", "gratuito", "gratuita", "grátis",
    "бесплатно", "ücretsiz", "darmowy", "darmowa",  "za darmo", "zdarma",    "ingyenes", "ilmainen",
    "免费",      "無料",      "무료",     "kostnadsfritt"};

// What else may be free: "Free shipping" says nothing of the price.
constexpr std::array<std::string_view, 18> kServiceWords{
    "shipping", "delivery", "returns",  "postage",  "versand", "lieferung", "livraison", "envío", "envio",
    "spedizione", "frete",  "dostawa",  "verzending", "frakt", "doprava",  "gift",      "trial",  "sample"};

// One number of a text, with what surrounds it.
struct Reading {
  NumberSpan number;
  std::optional<std::string> currency;  // the token next to it
  std::string decimal;
  bool excluded = false;  // a percentage, a saving or a count
  bool secondary = false;  // a former, per-unit or instalment price
  bool former = false;     // named as a former or list price
  bool current = false;    // named as the current price
};

// Where the currency tokens around a number lie.
struct Around {
  std::size_t before_end = 0;   // where the text before the number ends, white space skipped
  std::size_t token_begin = 0;  // where the token before it starts (before_end: none)
  std::size_t after_begin = 0;  // where the text after it starts, a whole-amount dash and white space skipped
  std::size_t token_end = 0;    // where the token after it ends (after_begin: none)
  std::string_view symbol;      // the token, as written, that named the currency first
};

// True when the number is one run of digits: no separator, no leading point.
bool is_plain_whole(const NumberSpan& n) noexcept { return n.marks.empty() && !n.leading_point; }

// The two digits at `at` become the number's cents.
void append_cents(NumberSpan& n, std::string_view s, std::size_t at) {
  n.marks.push_back({Sep::point, 2});
  n.group_starts.push_back(n.digits.size());
  n.digits.append(s.substr(at, 2));
  n.end = at + 2;
}

// True when one space and exactly two digits follow a plain whole number
// ("12 99"): cents that may be set apart.
bool cents_set_apart(std::string_view s, const NumberSpan& n) noexcept {
  return is_plain_whole(n) && n.end < s.size() && s[n.end] == ' ' && digits_at(s, n.end + 1) == 2 &&
         digits_at(s, n.end + 3) == 0;
}

// "12€99": a symbol between the units and the cents; the number takes the
// cents, and the symbol's code is returned.
std::optional<std::string> symbol_inside(std::string_view s, const MoneyContext& ctx, NumberSpan& n) {
  if (!is_plain_whole(n)) return std::nullopt;
  std::size_t token_end = 0;
  auto code = token_starting(s, n.end, run_after(s, n.end, 3), ctx.currency, ctx.guess, token_end);
  if (!code || has_ascii_letter(s.substr(n.end, token_end - n.end)) || digits_at(s, token_end) != 2 ||
      digits_at(s, token_end + 2) != 0) {
    return std::nullopt;
  }
  append_cents(n, s, token_end);
  return code;
}

// Finds the currency tokens around the reading's number and takes the
// currency of the one before it, else the one inside it, else the one after.
Around currency_tokens(std::string_view s, const MoneyContext& ctx, Reading& r) {
  NumberSpan& n = r.number;
  Around a;
  // The token right before wins over the one right after.
  a.before_end = skip_space_back(s, n.begin);
  a.token_begin = a.before_end;
  r.currency = token_ending(s, run_before(s, a.before_end, 6), a.before_end, ctx.currency, ctx.guess, a.token_begin);
  a.symbol = s.substr(a.token_begin, a.before_end - a.token_begin);
  if (!r.currency) r.currency = symbol_inside(s, ctx, n);
  a.after_begin = skip_space(s, n.end + whole_amount_dash(s, n.end));
  a.token_end = a.after_begin;
  auto after = token_starting(s, a.after_begin, run_after(s, a.after_begin, 6), ctx.currency, ctx.guess, a.token_end);
  // "Size 5 $12": a token set apart from the number and written onto the
  // next one is that one's, unless the next one has a token after it of its
  // own ("30 ر.س35 ر.س", two amounts run together).
  if (after && a.after_begin > n.end && a.token_end < s.size() && text::is_ascii_digit(s[a.token_end])) {
    std::size_t next_end = a.token_end;
    while (next_end < s.size() && (text::is_ascii_digit(s[next_end]) || s[next_end] == '.' || s[next_end] == ',')) ++next_end;
    const std::size_t next_after = skip_space(s, next_end);
    std::size_t ignored = 0;
    if (!token_starting(s, next_after, run_after(s, next_after, 6), ctx.currency, ctx.guess, ignored)) {
      after.reset();
      a.token_end = a.after_begin;
    }
  }
  if (!r.currency) {
    r.currency = std::move(after);
    a.symbol = s.substr(a.after_begin, a.token_end - a.after_begin);
  }
  return a;
}

// "$12 99": cents set apart after a token-led whole number.
void join_cents_after_token(std::string_view s, Around& a, Reading& r) {
  if (!r.currency || a.token_end != a.after_begin || !cents_set_apart(s, r.number)) return;
  append_cents(r.number, s, r.number.end + 1);
  a.token_end = r.number.end;
}

// An ISO code beside an ambiguous symbol settles it: "CAD $12", "$12 NZD",
// "12 $ CAD".
void settle_family(std::string_view s, const Around& a, Reading& r) {
  const Family* family = r.currency ? family_of(a.symbol) : nullptr;
  if (family == nullptr) return;
  if (family == &kDollar) {
    if (auto code = dollar_prefix_before(s, a.token_begin); code && in_family(kDollar, *code)) r.currency = std::move(*code);
  }
  for (const std::string& code :
       {code_word_before(s, a.token_begin), code_word_after(s, a.after_begin), code_word_after(s, a.token_end)}) {
    if (in_family(*family, code)) r.currency = code;
  }
}

// "12 99 €": cents set apart before a trailing token.
void join_cents_before_token(std::string_view s, const MoneyContext& ctx, Around& a, Reading& r) {
  NumberSpan& n = r.number;
  if (r.currency || !cents_set_apart(s, n)) return;
  const std::size_t cents_token = skip_space(s, n.end + 3);
  std::size_t cents_token_end = 0;
  if (auto code =
          token_starting(s, cents_token, run_after(s, cents_token, 6), ctx.currency, ctx.guess, cents_token_end)) {
    append_cents(n, s, n.end + 1);
    r.currency = std::move(code);
    a.token_end = cents_token_end;
  }
}

// What the words around the number say: a percentage, a change to a price,
// a saving or a count is excluded; a former, per-unit or instalment price is
// secondary; a price named as current is current.
void read_words_around(std::string_view s, const Around& a, Reading& r) {
  const std::size_t rest = skip_space(s, a.token_end);
  if (rest < s.size() && (s[rest] == '%' || s.compare(rest, 2, "\xD9\xAA") == 0)) r.excluded = true;  // % and ٪
  // "-20%", "−5 €", "+ 4.95": a change to a price, not one.
  const std::size_t run_start = run_before(s, a.before_end, 6);
  const std::size_t sign = s.substr(run_start, a.before_end - run_start).empty() || r.currency
                               ? skip_space_back(s, run_start)
                               : run_start + 1;
  const auto is_sign_before = [&s](std::size_t at) {
    return at > 0 && (s[at - 1] == '-' || s[at - 1] == '+' || (at >= 3 && s.compare(at - 3, 3, "\xE2\x88\x92") == 0));
  };
  if (is_sign_before(sign)) r.excluded = true;
  // "1/2 price", "12/24": a fraction or a date, not an amount.
  const NumberSpan& n = r.number;
  if ((n.begin >= 2 && s[n.begin - 1] == '/' && text::is_ascii_digit(s[n.begin - 2])) ||
      (n.end + 1 < s.size() && s[n.end] == '/' && text::is_ascii_digit(s[n.end + 1]))) {
    r.excluded = true;
  }
  bool slash = false;
  const std::string next = word_after(s, rest, slash);
  if (one_of(next, kOffWords)) r.excluded = true;
  if (!slash && !r.currency && one_of(next, kCountWords)) r.excluded = true;
  if (slash || one_of(next, kPerWords)) r.secondary = true;
  if (one_of(next, kMonthWords)) r.secondary = true;
  const std::vector<std::string> before = words_before(s, a.token_begin, 3);
  if (before.size() >= 2 && before[0] == "from" && one_of(before[1], kReductionWords)) r.secondary = r.former = true;
  for (const std::string& w : before) {
    if (one_of(w, kSavingWords)) r.excluded = true;
    if (one_of(w, kFormerWords)) r.secondary = r.former = true;
    if (one_of(w, kInstalmentWords)) r.secondary = true;
    if (one_of(w, kCurrentWords)) r.current = true;
  }
}

// Reads the number at `begin` and what surrounds it; an empty decimal when
// its separators do not make sense together.
Reading reading_at(std::string_view s, std::size_t begin, const MoneyContext& ctx) {
  Reading r;
  r.number = number_at(s, begin);
  Around a = currency_tokens(s, ctx, r);
  join_cents_after_token(s, a, r);
  settle_family(s, a, r);
  join_cents_before_token(s, ctx, a, r);
  // "99¢": cents of a dollar.
  bool cents_sign = !r.currency && s.compare(a.after_begin, 2, "\xC2\xA2") == 0;
  if (cents_sign) {
    r.currency = in_family(kDollar, ctx.currency) ? std::string(ctx.currency) : std::string(kDollar.usual);
    a.token_end = a.after_begin + 2;
  } else if (!r.currency && is_plain_whole(r.number)) {
    // "99p": pence; "99 cents", "50 ct": hundredths of the currency the
    // caller declares, else of one the text does not name.
    bool slash = false;
    const std::string word = word_after(s, r.number.end, slash);
    const bool pence = word == "p" && a.after_begin == r.number.end;
    if (!slash && (pence || one_of(word, kCentWords))) {
      cents_sign = true;
      r.currency = pence ? (in_family(kPound, ctx.currency) ? std::string(ctx.currency) : std::string("GBP"))
                         : std::string(ctx.currency);
      a.token_end = a.after_begin + word.size();
      // "1080p" is also a picture's lines: pence give way to another amount.
      r.secondary = pence;
    }
  }
  const std::string code = r.currency && !r.currency->empty() ? *r.currency : std::string(ctx.currency);
  auto decimal = decimal_of(r.number, minor_units(code));
  if (!decimal) return r;
  r.decimal = cents_sign ? hundredth_of(*decimal) : std::move(*decimal);
  read_words_around(s, a, r);
  return r;
}

// True when only a dash, with white space around it, stands between `from`
// and `to`: two numbers that make a range ("10,00 – 20,00 €").
bool is_range_gap(std::string_view s, std::size_t from, std::size_t to) noexcept {
  const std::size_t at = skip_space(s, from);
  // - – — ~ 〜 ～
  for (const std::string_view dash : {"-", "\xE2\x80\x93", "\xE2\x80\x94", "~", "\xE3\x80\x9C", "\xEF\xBD\x9E"}) {
    if (s.substr(at, dash.size()) == dash) return skip_space(s, at + dash.size()) == to;
  }
  // "12 to 15 €", "de 12 à 15 €", "12 bis 15 €": a word with white space around it.
  if (at == from) return false;
  for (const std::string_view word : {"to", "\xC3\xA0", "a", "bis", "tot", "till", "\xD0\xB4\xD0\xBE"}) {  // à, до
    const std::size_t after = at + word.size();
    if (after < to && text::to_lower(s.substr(at, word.size())) == word && s[after] == ' ') return skip_space(s, after) == to;
  }
  return false;
}

// "10,00 – 20,00 €": the low end of a range takes the currency written after
// its high end, and is read again in that currency's minor units.
void share_range_currency(std::string_view s, const Reading& high, Reading& low) {
  if (low.currency || !high.currency || !is_range_gap(s, low.number.end, high.number.begin)) return;
  if (!high.currency->empty()) {
    auto decimal = decimal_of(low.number, minor_units(*high.currency));
    if (!decimal) return;
    low.decimal = std::move(*decimal);
  }
  low.currency = high.currency;
}

}  // namespace

bool is_currency_code(std::string_view code) noexcept {
  return std::binary_search(kCurrencyCodes.begin(), kCurrencyCodes.end(), code);
}

int minor_units(std::string_view code) noexcept {
  // ISO 4217's exponents other than 2 (the test and metal codes have none
  // and count as 2 here).
  static constexpr std::array<std::string_view, 17> none{"BIF", "CLP", "DJF", "GNF", "ISK", "JPY",
                                                         "KMF", "KRW", "PYG", "RWF", "UGX", "UYI",
                                                         "VND", "VUV", "XAF", "XOF", "XPF"};
  static constexpr std::array<std::string_view, 7> three{"BHD", "IQD", "JOD", "KWD", "LYD", "OMR", "TND"};
  static constexpr std::array<std::string_view, 2> four{"CLF", "UYW"};
  if (one_of(code, none)) return 0;
  if (one_of(code, three)) return 3;
  if (one_of(code, four)) return 4;
  return 2;
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

std::optional<Money> read_money(std::string_view input, const MoneyContext& ctx) {
  std::string storage;
  std::string_view s = input;
  if (may_hold_other_digits(input)) {
    storage = ascii_numbers(input);
    s = storage;
  }
  std::optional<Reading> best;
  const auto rank = [](const Reading& r) { return std::pair(r.secondary ? 1 : 0, r.current ? 0 : 1); };
  // Numbers read per text, at most: a price text holds a few.
  constexpr int kMaxNumbers = 16;
  int numbers = 0;
  std::size_t pos = 0;
  while (pos < s.size() && numbers < kMaxNumbers) {
    // A point that ends an abbreviation ("Rs.1,299") starts no number.
    const bool starts = text::is_ascii_digit(s[pos]) ||
                        (s[pos] == '.' && pos + 1 < s.size() && text::is_ascii_digit(s[pos + 1]) &&
                         (pos == 0 || !(text::is_ascii_digit(s[pos - 1]) || std::isalpha(static_cast<unsigned char>(s[pos - 1])))));
    if (!starts) {
      ++pos;
      continue;
    }
    ++numbers;
    Reading r = reading_at(s, pos, ctx);
    // A number whose separators contradict each other is skipped whole.
    pos = std::max(pos + 1, r.number.end);
    while (pos < s.size() && (text::is_ascii_digit(s[pos]) || ((s[pos] == '.' || s[pos] == ',') && digits_at(s, pos + 1) > 0))) {
      ++pos;
    }
    if (r.decimal.empty() || r.excluded) continue;
    if (best) share_range_currency(s, r, *best);
    // A number a token stands next to beats one without; then the current
    // price beats a former, per-unit or instalment one; then the first.
    const bool better = !best || (r.currency.has_value() && !best->currency.has_value()) ||
                        (r.currency.has_value() == best->currency.has_value() && rank(r) < rank(*best));
    if (better) best = std::move(r);
  }
  if (!best) return std::nullopt;
  // A whole number without a currency in a text of words is a count ("Buy 2
  // get 1 free", "Only 3 left"), not a price; beside a price stands at most
  // a one-word label ("Preis: 1299", "Price 1299"), of at most this many letters.
  constexpr std::size_t kMaxLettersBesideBareNumber = 8;
  const auto letters = static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  }));
  if (!best->currency && best->number.marks.empty() && letters > kMaxLettersBesideBareNumber) return std::nullopt;
  const auto value = text::parse_decimal(best->decimal);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  Money m;
  m.amount = text::round_to_cents(*value);
  m.currency_written = best->currency.has_value();
  m.currency = best->currency ? *best->currency : std::string();
  m.decimal = std::move(best->decimal);
  m.former = best->former;
  return m;
}

bool says_free(std::string_view text) {
  if (std::any_of(text.begin(), text.end(), text::is_ascii_digit)) return false;
  const std::string lower = text::to_lower(text);
  const auto any_in = [&lower](const auto& words) {
    return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return text::has_phrase(lower, w); });
  };
  return any_in(kFreeWords) && !any_in(kServiceWords);
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
  const auto decimal = decimal_of(number, 2);
  if (!decimal) return std::nullopt;
  const auto value = text::parse_decimal(*decimal);
  if (!value || !std::isfinite(*value)) return std::nullopt;
  return text::round_to_cents(*value);
}

}  // namespace korvane::commerce::detail
