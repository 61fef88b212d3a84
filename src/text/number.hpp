// Number formatting and rounding with exactly defined results.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace korvane::text {

// The shortest decimal text that reads back as the same double, with ".0"
// for whole numbers and exponent form (mantissa, "e", sign, at least two
// exponent digits) below 1e-4 and from 1e16 on: 12.0, 1299.99, 1e+16,
// 1.5e-05. NaN and infinities are written "NaN", "Infinity", "-Infinity".
[[nodiscard]] std::string format_shortest(double value);

// `value` rounded to the nearest multiple of 0.01 of its exact binary value,
// an exact tie going to the even last digit, then to the nearest double.
// Not finite values come back unchanged.
[[nodiscard]] double round_to_cents(double value);

// The exact value of `value` rounded to two decimals (ties to even) in fixed
// notation without grouping: 1299.5 gives "1299.50".
[[nodiscard]] std::string format_fixed2(double value);

// Parses an ordinary decimal literal (optional sign, digits with at most one
// point, optional exponent; surrounding ASCII spaces allowed). Absent when the
// text is not such a literal. Overflow gives an infinity, which callers that
// store amounts must refuse.
[[nodiscard]] std::optional<double> parse_decimal(std::string_view s);

}  // namespace korvane::text
