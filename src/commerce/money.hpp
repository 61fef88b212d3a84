// Amounts and currencies as shops write them: every ISO 4217 code with its
// minor units, the usual symbols and local abbreviations (CHF, zł, kr, R$, ₽,
// ₩, Kč, Ft, lei, ₺, ₫, ฿, ₪, RM, Rp, ...), digit grouping with commas,
// points, apostrophes and plain, thin or no-break spaces ("1'299.50",
// "1 450,00 zł", "£3,200.00", "₹1,29,999"), whole amounts written "20,-",
// digits of other scripts ("１，９８０円"), and the words around an amount
// that say what it is ("was", "save", "40% off", "/ kg"). Used by the
// extended price-text reading and the extended page readers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce::detail {

// True when `code` is an ISO 4217 currency code (upper case, as listed).
[[nodiscard]] bool is_currency_code(std::string_view code) noexcept;

// The number of digits of the minor unit of currency `code` by ISO 4217:
// 0 for JPY, KRW, CLP, ...; 3 for KWD, BHD, OMR, ...; 2 for the others and
// for codes it does not know.
[[nodiscard]] int minor_units(std::string_view code) noexcept;

// The ISO 4217 code of a currency value as structured data or a caller's
// hint gives it: a code in any case ("eur"), or a symbol or abbreviation
// ("€", "zł", "US$"); an ambiguous symbol takes its usual reading ("$" USD,
// "kr" none); absent when it names no currency.
[[nodiscard]] std::optional<std::string> currency_code_of(std::string_view value);

// An amount read from a text, with the currency written next to it.
struct Money {
  double amount = 0.0;            // rounded to cents
  std::string currency;           // ISO 4217 code; empty when the text names none
  bool currency_written = false;  // a token stood next to the number
  std::string decimal;            // the amount as written, as an exact decimal ("1299.9", "0.75", "2490")
  bool former = false;            // named as a former or list price ("Was $30"), the text holding no other
};

// What a price text is read with besides itself.
struct MoneyContext {
  // The currency the page or caller declares (an ISO code, or empty): an
  // ambiguous token ("$", "kr", "¥") stands for it when it can, and its
  // minor units tell "1.500" (KWD 1.5) from "1.500" (EUR 1500).
  std::string_view currency;
  // An ambiguous token without a usual reading ("kr", "Rs") that the
  // declared currency does not settle stands for its most common currency
  // (SEK, INR; "kr." DKK) instead of none.
  bool guess = false;
};

// The price in `text`: the amount a currency token stands next to (the
// first such that is not a former, per-unit, instalment price when there
// is another), else the first plain number; never a percentage ("40% OFF"),
// a saving ("save $5") or a count ("2 x"). The token before the number wins
// over one after it. Grouping: of two kinds of separator the last is the
// decimal mark; a lone point or comma before 1, 2 or 4+ digits is the
// decimal mark, before exactly three digits it groups thousands unless the
// currency has three decimals or the number starts with "0" ("0.500");
// apostrophes and spaces group. A leading point (".75") and
// a point followed by a space ("8. 94") are decimal marks. Absent when no
// amount can be read or its separators contradict each other
// ("1,234.567.890").
[[nodiscard]] std::optional<Money> read_money(std::string_view text, const MoneyContext& context);
[[nodiscard]] inline std::optional<Money> read_money(std::string_view text, std::string_view declared_currency = {}) {
  return read_money(text, MoneyContext{declared_currency});
}

// True when `text` says the price is nothing ("Free", "Gratis", "Kostenlos",
// "Gratuit", "無料", ...) and holds no digit.
[[nodiscard]] bool says_free(std::string_view text);

// A machine-written amount ("1299.5", "1299", "1,299.00", "12,50", a number
// with an exponent), rounded to cents; absent when `text` is anything more
// than such a number.
[[nodiscard]] std::optional<double> read_plain_amount(std::string_view text);

}  // namespace korvane::commerce::detail
