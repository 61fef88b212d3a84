#include "commerce/metadata/extended/json_values.hpp"

#include "text/number.hpp"
#include "text/unicode.hpp"

#include <boost/json/string.hpp>

#include <algorithm>
#include <cmath>

namespace korvane::commerce::detail::extended {
namespace json = boost::json;

const json::value* member(const json::object* o, std::string_view key) noexcept {
  return o == nullptr ? nullptr : o->if_contains(key);
}

const json::value* first_member(const json::object* o, std::initializer_list<std::string_view> keys) noexcept {
  for (const std::string_view key : keys) {
    const json::value* v = member(o, key);
    if (v == nullptr) continue;
    if (v->is_string() && !text::strip(v->get_string()).empty()) return v;
    if (v->is_number()) return v;
  }
  return nullptr;
}

std::optional<std::string> identifier_of(const json::value* v) {
  if (v == nullptr) return std::nullopt;
  if (v->is_string()) {
    const std::string_view s = text::strip(v->get_string());
    if (s.empty()) return std::nullopt;
    return std::string(s);
  }
  if (v->is_int64()) return std::to_string(v->get_int64());
  if (v->is_uint64()) return std::to_string(v->get_uint64());
  return std::nullopt;
}

std::optional<std::string> scalar_text(const json::value* v) {
  if (v == nullptr) return std::nullopt;
  if (v->is_string()) return std::string(v->get_string());
  if (v->is_int64()) return std::to_string(v->get_int64());
  if (v->is_uint64()) return std::to_string(v->get_uint64());
  if (v->is_double()) return text::format_shortest(v->get_double());
  return std::nullopt;
}

std::optional<double> read_machine_amount(std::string_view text, std::string_view currency) {
  const std::string_view t = text::strip(text);
  // One to three digits, a point, three digits: a group of thousands when a fraction cannot be.
  constexpr std::size_t kGroup = 3;
  const std::size_t point = t.find('.');
  const bool one_group = point != std::string_view::npos && point >= 1 && point <= kGroup &&
                         t.size() == point + 1 + kGroup &&
                         std::all_of(t.begin(), t.end(), [](char c) { return c == '.' || text::is_ascii_digit(c); }) &&
                         t.find('.', point + 1) == std::string_view::npos;
  if (one_group && !currency.empty() && minor_units(currency) == 0) {
    std::string digits(t.substr(0, point));
    digits.append(t.substr(point + 1));
    return read_plain_amount(digits);
  }
  return read_plain_amount(t);
}

std::optional<Money> price_of(const json::value* v, std::string_view declared_currency) {
  if (v == nullptr) return std::nullopt;
  std::optional<Money> money;
  if (v->is_number()) {
    const double d = v->to_number<double>();
    if (std::isfinite(d)) money = Money{text::round_to_cents(d), {}, false, {}};
  } else if (v->is_string()) {
    const std::string_view s = v->get_string();
    if (const auto plain = read_machine_amount(s, declared_currency)) {
      money = Money{*plain, {}, false, {}};
    } else if (s.size() <= 64) {
      money = read_money(s, declared_currency);
    }
  }
  if (!money || !(money->amount > 0.0)) return std::nullopt;
  return money;
}

std::string type_name(std::string_view type) {
  const std::size_t cut = type.find_last_of("/:#");
  if (cut != std::string_view::npos) type.remove_prefix(cut + 1);
  return text::ascii_lower(text::strip(type));
}

bool has_type(const json::object& o, std::initializer_list<std::string_view> names) {
  const json::value* t = o.if_contains("@type");
  if (t == nullptr) t = o.if_contains("type");
  if (t == nullptr) return false;
  const auto matches = [&](const json::value& v) {
    if (!v.is_string()) return false;
    const std::string name = type_name(v.get_string());
    for (const std::string_view n : names) {
      if (name == n) return true;
    }
    return false;
  };
  if (matches(*t)) return true;
  if (const auto* arr = t->if_array()) {
    for (const auto& el : *arr) {
      if (matches(el)) return true;
    }
  }
  return false;
}

}  // namespace korvane::commerce::detail::extended
