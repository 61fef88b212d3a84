// Reading product fields out of JSON values as pages write them: amounts as
// numbers or texts, identifiers as texts or numbers, type names in any case
// or as IRIs.
#pragma once

#include "commerce/money.hpp"

#include <boost/json/object.hpp>
#include <boost/json/value.hpp>

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace korvane::commerce::detail::extended {

// The member `key` of `o`; null when `o` is null or has none.
[[nodiscard]] const boost::json::value* member(const boost::json::object* o, std::string_view key) noexcept;

// The first member of `o` among `keys` that holds a non-empty scalar.
[[nodiscard]] const boost::json::value* first_member(const boost::json::object* o,
                                                     std::initializer_list<std::string_view> keys) noexcept;

// An identifier: a text stripped of white space, or an integer's digits;
// absent for anything else or an empty text.
[[nodiscard]] std::optional<std::string> identifier_of(const boost::json::value* v);

// A machine-written amount as read_plain_amount reads it, in `currency`
// (an ISO code, or empty): in a currency without minor units a lone point
// before exactly three digits groups thousands ("24.990" CLP is 24990, a
// CLP amount has no fraction; "24.990" EUR stays 24.99).
[[nodiscard]] std::optional<double> read_machine_amount(std::string_view text, std::string_view currency);

// A price: a number, or a text holding one ("19.99", "1.299,00 €"); the
// currency when the text writes one. Absent for zero, negative or unreadable
// values.
[[nodiscard]] std::optional<Money> price_of(const boost::json::value* v, std::string_view declared_currency = {});

// The text of a scalar (a string itself, a number in decimal); absent for
// anything else.
[[nodiscard]] std::optional<std::string> scalar_text(const boost::json::value* v);

// A type name reduced to its last IRI segment and lower-cased:
// "http://schema.org/Product", "schema:Product" and "product" all give
// "product".
[[nodiscard]] std::string type_name(std::string_view type);

// True when the "@type" (or "type") of `o` names one of `names` (lower case).
[[nodiscard]] bool has_type(const boost::json::object& o, std::initializer_list<std::string_view> names);

}  // namespace korvane::commerce::detail::extended
