// The records and enumerations in Python.
//
// VisualMatch, ShoppingOffer, NormalizedPrice, EnrichedCommerceMatch,
// CommerceSummary and RelevanceContext are the library's structs themselves:
// a Python record owns its C++ value, fields are properties that convert on
// access (with a TypeError naming the field on a wrong type), == is the C++
// one, and the JSON form is the library's. CommerceIntelligence is the one
// exception: it holds its summary and its list of items as Python objects
// (struct Intelligence), so that changing an item of result.items changes
// the result, as records in a Python list behave.
#pragma once

#include "convert.hpp"

#include <korvane/models.hpp>

#include <string_view>
#include <vector>

namespace korvane::python {

// The Python form of a CommerceIntelligence.
struct Intelligence {
  py::object summary;  // a CommerceSummary
  py::object items;    // a list of EnrichedCommerceMatch
};

// The CommerceIntelligence `h` as the library's record (its items copied).
[[nodiscard]] models::CommerceIntelligence to_model(py::handle h, std::string_view what);

// A new Python CommerceIntelligence holding new Python records.
[[nodiscard]] py::object to_python(models::CommerceIntelligence v);

// New Python records in a new list.
[[nodiscard]] py::list to_python(std::vector<models::EnrichedCommerceMatch> items);

// The items of a list or tuple of EnrichedCommerceMatch, copied.
[[nodiscard]] std::vector<models::EnrichedCommerceMatch> items_of(py::handle h, std::string_view what);

// The enum.Enum classes, made from the library's member tables.
void bind_enums(py::module_& m);

// The record classes.
void bind_records(py::module_& m);

}  // namespace korvane::python
