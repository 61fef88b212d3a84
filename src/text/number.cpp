#include "text/number.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>

namespace korvane::text {

std::string format_shortest(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0.0) return std::signbit(value) ? "-0.0" : "0.0";

  // Shortest round-trip digits in scientific form: [-]d[.ddd]e[+-]xx
  std::array<char, 64> buf{};
  const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::scientific);
  const std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  const int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());

  std::string out;
  if (mantissa.front() == '-') {
    out.push_back('-');
    mantissa.remove_prefix(1);
  }
  std::string digits;
  for (const char c : mantissa) {
    if (c != '.') digits.push_back(c);
  }

  if (exponent < -4 || exponent >= 16) {
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out.push_back(exponent < 0 ? '-' : '+');
    const int mag = exponent < 0 ? -exponent : exponent;
    if (mag < 10) out.push_back('0');
    out += std::to_string(mag);
    return out;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return out;
  }
  const auto int_digits = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= int_digits) {
    out += digits;
    out.append(int_digits - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, int_digits);
    out.push_back('.');
    out.append(digits, int_digits);
  }
  return out;
}

std::string format_fixed2(double value) {
  // libstdc++'s to_chars with a precision is exact: the decimal expansion of
  // the binary value is rounded half to even.
  std::string buf(400, '\0');
  const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value,
                                 std::chars_format::fixed, 2);
  buf.resize(static_cast<std::size_t>(res.ptr - buf.data()));
  return buf;
}

double round_to_cents(double value) {
  if (!std::isfinite(value)) return value;
  const std::string fixed = format_fixed2(value);
  double rounded = 0.0;
  std::from_chars(fixed.data(), fixed.data() + fixed.size(), rounded);
  return rounded;
}

std::optional<double> parse_decimal(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.empty()) return std::nullopt;
  std::size_t i = 0;
  if (s[i] == '+' || s[i] == '-') ++i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;

  const std::string text(s[0] == '+' ? s.substr(1) : s);
  double value = 0.0;
  const auto res = std::from_chars(text.data(), text.data() + text.size(), value);
  if (res.ec == std::errc::result_out_of_range) {
    // from_chars reports overflow and underflow alike; strtod tells which.
    return std::strtod(text.c_str(), nullptr);
  }
  if (res.ec != std::errc{} || res.ptr != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace korvane::text
