// Conversions between Python objects and the library's values.
//
// Every conversion from Python names what it converts ("raw_price",
// "VisualMatch.link", "matches[3]") in the TypeError it raises for a value of
// the wrong type, so a caller sees which argument or field was wrong:
//   TypeError: raw_price must be str or None, not int
// Conversions to Python build new objects; enumerations become members of the
// package's enum.Enum classes (see enums.hpp).
#pragma once

#include <korvane/models.hpp>

#include <boost/json/value.hpp>
#include <pybind11/pybind11.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace korvane::python {

namespace py = pybind11;

// The name the extension module is imported under.
inline constexpr const char* MODULE_NAME = "korvane._core";

// Raises TypeError "<what> must be <expected>, not <type of got>".
[[noreturn]] void raise_type_error(std::string_view what, std::string_view expected, py::handle got);

// ---------------------------------------------------------------- from Python

// A str as UTF-8; the view lives as long as `h`.
[[nodiscard]] std::string_view text_view(py::handle h, std::string_view what);
[[nodiscard]] std::optional<std::string_view> optional_text_view(py::handle h, std::string_view what);
// An int that is not a bool (ValueError beyond the range of long long).
[[nodiscard]] long long integer(py::handle h, std::string_view what);
// An int (not a bool) or a float.
[[nodiscard]] double number(py::handle h, std::string_view what);
[[nodiscard]] bool boolean(py::handle h, std::string_view what);
// A str or os.PathLike, in the file system's encoding.
[[nodiscard]] std::filesystem::path path(py::handle h, std::string_view what);
// The elements of a list, a tuple or any other iterable (a generator, say:
// read once, here) as a sequence; TypeError for a str, bytes, a mapping or
// what is not iterable.
[[nodiscard]] py::sequence elements(py::handle h, std::string_view what, std::string_view element_type);

// elements() each converted by `convert(element, "<what>[i]")`.
template <class Convert>
[[nodiscard]] auto list_of(py::handle h, std::string_view what, std::string_view element_type, Convert convert) {
  const py::sequence seq = elements(h, what, element_type);
  std::vector<std::decay_t<decltype(convert(h, std::string(what)))>> out;
  out.reserve(seq.size());
  std::size_t i = 0;
  for (const py::handle element : seq) {
    out.push_back(convert(element, std::string(what) + "[" + std::to_string(i++) + "]"));
  }
  return out;
}

// Whether the bound instance `h` holds its C++ value: not when it was made
// by Class.__new__ without __init__ (its memory was never initialised).
[[nodiscard]] bool holds_value(py::handle h);

// The value of an instance of the bound class of Record. TypeError for any
// other object (also an unbound method called with another `self`) and for
// an instance that holds no value.
template <class Record>
[[nodiscard]] Record& record(py::handle h, std::string_view what) {
  const auto name = [] { return py::str(py::type::of<Record>().attr("__name__")).cast<std::string>(); };
  if (!py::isinstance<Record>(h)) raise_type_error(what, name(), h);
  if (!holds_value(h)) {
    throw py::type_error(std::string(what) + " is an uninitialised " + name() + " (made by __new__ without __init__)");
  }
  return h.cast<Record&>();
}

// ---------------------------------------------------------------- enumerations

// The Python class of each enumeration, by its C++ type.
template <class Enum>
struct EnumName;
template <> struct EnumName<models::PageType> { static constexpr const char* value = "PageType"; };
template <> struct EnumName<models::MerchantCategory> { static constexpr const char* value = "MerchantCategory"; };
template <> struct EnumName<models::StockStatus> { static constexpr const char* value = "StockStatus"; };
template <> struct EnumName<models::ItemCondition> { static constexpr const char* value = "ItemCondition"; };
template <> struct EnumName<models::RelevanceLabel> { static constexpr const char* value = "RelevanceLabel"; };

// The enum.Enum class the module made for `name` at import.
[[nodiscard]] py::object enum_class(const char* name);

// The member of the Python enumeration for `v`.
template <class Enum>
[[nodiscard]] py::object to_python(Enum v) requires std::is_enum_v<Enum> {
  const py::object members = enum_class(EnumName<Enum>::value).attr("_value2member_map_");
  return members[py::str(std::string(models::to_string(v)))];
}

// A member of the Python enumeration, or its text value.
template <class Enum>
[[nodiscard]] Enum enumeration(py::handle h, std::string_view what) {
  if (!PyUnicode_Check(h.ptr())) {
    raise_type_error(what, std::string(EnumName<Enum>::value) + " or its text value", h);
  }
  const std::string_view text = text_view(h, what);
  const auto v = models::enum_from_string<Enum>(text);
  if (!v) {
    throw py::value_error(std::string(what) + ": '" + std::string(text) + "' is not a " + EnumName<Enum>::value);
  }
  return *v;
}

// ---------------------------------------------------------------- to Python

[[nodiscard]] py::object to_python(std::string_view s);
[[nodiscard]] py::object path_to_python(const std::filesystem::path& p);  // str, as os.fsdecode gives it

// A JSON value as Python values: objects as dicts (member order kept),
// arrays as lists, numbers as int or float.
[[nodiscard]] py::object json_to_python(const boost::json::value& v);

// Python values as JSON: dicts with str keys, lists and tuples, str (enum
// members as their text), int, float, bool, None, and the records (as their
// JSON form).
[[nodiscard]] boost::json::value python_to_json(py::handle h, std::string_view what);

// ---------------------------------------------------------------- fields

// Conversion of one field type both ways; `what` names the field.
template <class T>
struct Field;

template <>
struct Field<std::string> {
  static py::object to(const std::string& v) { return to_python(v); }
  static std::string from(py::handle h, std::string_view what) { return std::string(text_view(h, what)); }
};
template <>
struct Field<int> {
  static py::object to(int v) { return py::int_(v); }
  static int from(py::handle h, std::string_view what);
};
template <>
struct Field<long long> {
  static py::object to(long long v) { return py::int_(v); }
  static long long from(py::handle h, std::string_view what) { return integer(h, what); }
};
template <>
struct Field<double> {
  static py::object to(double v) { return py::float_(v); }
  static double from(py::handle h, std::string_view what) { return number(h, what); }
};
template <>
struct Field<bool> {
  static py::object to(bool v) { return py::bool_(v); }
  static bool from(py::handle h, std::string_view what) { return boolean(h, what); }
};
template <class Enum>
  requires std::is_enum_v<Enum>
struct Field<Enum> {
  static py::object to(Enum v) { return to_python(v); }
  static Enum from(py::handle h, std::string_view what) { return enumeration<Enum>(h, what); }
};
template <>
struct Field<models::NormalizedPrice> {
  static py::object to(const models::NormalizedPrice& v) { return py::cast(v); }
  static models::NormalizedPrice from(py::handle h, std::string_view what) {
    return record<models::NormalizedPrice>(h, what);
  }
};
template <class T>
struct Field<std::optional<T>> {
  static py::object to(const std::optional<T>& v) { return v ? Field<T>::to(*v) : py::none(); }
  static std::optional<T> from(py::handle h, std::string_view what) {
    if (h.is_none()) return std::nullopt;
    return Field<T>::from(h, what);
  }
};
// Counts per enumeration member: a read-only mapping (types.MappingProxyType)
// from member to count, so that changing it fails instead of changing a copy.
template <class Enum>
struct Field<std::map<Enum, int>> {
  static py::object to(const std::map<Enum, int>& v) {
    py::dict d;
    for (const auto& [key, count] : v) d[to_python(key)] = count;
    return py::module_::import("types").attr("MappingProxyType")(d);
  }
  static std::map<Enum, int> from(py::handle h, std::string_view what) {
    if (!py::isinstance(h, py::module_::import("collections.abc").attr("Mapping"))) {
      raise_type_error(what, "a mapping", h);
    }
    std::map<Enum, int> out;
    for (const auto& [key, count] : py::dict(py::reinterpret_borrow<py::object>(h))) {
      const std::string key_what = std::string(what) + "[" + py::repr(key).template cast<std::string>() + "]";
      out[enumeration<Enum>(key, key_what)] = Field<int>::from(count, key_what);
    }
    return out;
  }
};

}  // namespace korvane::python
