// Amounts and currencies as shops write them: every ISO 4217 code, the usual
// symbols and local abbreviations (CHF, zł, kr, R$, ₽, ₩, Kč, Ft, lei, ₺, ₫,
// ฿, ₪, RM, Rp, ...), and digit grouping with commas, points, apostrophes and
// plain, thin or no-break spaces ("1'299.50", "1 450,00 zł", "£3,200.00").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce::detail::extended {

// True when `code` is an ISO 4217 currency code (upper case, as listed).
[[nodiscard]] bool is_currency_code(std::string_view code) noexcept;

// The number of digits of the minor unit of currency `code` by ISO 4217:
// 0 for JPY, KRW, CLP, ...; 3 for KWD, BHD, OMR, ...; 2 for the others and
// for codes it does not know.
[[nodiscard]] int minor_units(std::string_view code) noexcept;

// The ISO 4217 code of a currency value as structured data gives it: a code
// in any case ("eur"), or a symbol or abbreviation ("€", "zł"); absent when
// it names no currency.
[[nodiscard]] std::optional<std::string> currency_code_of(std::string_view value);

// An amount read from a text, with the currency written next to it.
struct Money {
  double amount = 0.0;
  std::string currency;  // ISO 4217 code; empty when the text names none
  bool currency_written = false;  // a token stood next to the number
};

// Reads the first number of `text` and a currency token right before or after
// it (white space between them allowed). An ambiguous token ("$", "kr",
// "Rs", "¥") takes `declared_currency` when that is one of the currencies it
// can stand for, else its usual reading ("$" USD, "¥" JPY) or none ("kr",
// "Rs"). Grouping: the last of two kinds of separator is the decimal mark;
// a single separator followed by exactly three digits groups thousands
// ("2.449" is 2449, "1,234" is 1234), otherwise it is the decimal mark;
// apostrophes and spaces always group. Absent when there is no number or its
// separators contradict each other ("1,234.567.890").
[[nodiscard]] std::optional<Money> read_money(std::string_view text, std::string_view declared_currency = {});

// A machine-written amount ("1299.5", "1299", "1,299.00", "12,50", a number
// with an exponent); absent when `text` is anything more than such a number.
[[nodiscard]] std::optional<double> read_plain_amount(std::string_view text);

}  // namespace korvane::commerce::detail::extended
