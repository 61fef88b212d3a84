#include "convert.hpp"

#include "records.hpp"

#include <korvane/models/json.hpp>

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <climits>
#include <cmath>

namespace korvane::python {

void raise_type_error(std::string_view what, std::string_view expected, py::handle got) {
  const std::string type_name = py::str(py::type::handle_of(got).attr("__name__")).cast<std::string>();
  throw py::type_error(std::string(what) + " must be " + std::string(expected) + ", not " + type_name);
}

std::string_view text_view(py::handle h, std::string_view what) {
  if (!PyUnicode_Check(h.ptr())) raise_type_error(what, "str", h);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(h.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();  // lone surrogates: UnicodeEncodeError
  return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string_view> optional_text_view(py::handle h, std::string_view what) {
  if (h.is_none()) return std::nullopt;
  if (!PyUnicode_Check(h.ptr())) raise_type_error(what, "str or None", h);
  return text_view(h, what);
}

long long integer(py::handle h, std::string_view what) {
  if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) raise_type_error(what, "int", h);
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
  if (overflow != 0) throw py::value_error(std::string(what) + " is out of range");
  if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
  return v;
}

int Field<int>::from(py::handle h, std::string_view what) {
  const long long v = integer(h, what);
  if (v < INT_MIN || v > INT_MAX) throw py::value_error(std::string(what) + " is out of range");
  return static_cast<int>(v);
}

double number(py::handle h, std::string_view what) {
  if (PyFloat_Check(h.ptr())) return PyFloat_AS_DOUBLE(h.ptr());
  if (!PyLong_Check(h.ptr()) || PyBool_Check(h.ptr())) raise_type_error(what, "float or int", h);
  const double v = PyLong_AsDouble(h.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();  // OverflowError
  return v;
}

bool boolean(py::handle h, std::string_view what) {
  if (!PyBool_Check(h.ptr())) raise_type_error(what, "bool", h);
  return h.ptr() == Py_True;
}

std::filesystem::path path(py::handle h, std::string_view what) {
  if (!PyUnicode_Check(h.ptr()) && !PyBytes_Check(h.ptr()) &&
      !py::isinstance(h, py::module_::import("os").attr("PathLike"))) {
    raise_type_error(what, "str or os.PathLike", h);
  }
  const py::object fs = py::reinterpret_steal<py::object>(PyOS_FSPath(h.ptr()));
  if (!fs) throw py::error_already_set();
  // os.fsencode: str in the file system's encoding, with surrogateescape.
  const py::object encoded = PyBytes_Check(fs.ptr())
                                 ? fs
                                 : py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(fs.ptr()));
  if (!encoded) throw py::error_already_set();
  return std::filesystem::path(std::string(PyBytes_AS_STRING(encoded.ptr()),
                                           static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr()))));
}

py::sequence elements(py::handle h, std::string_view what, std::string_view element_type) {
  if (PyList_Check(h.ptr()) || PyTuple_Check(h.ptr())) return py::reinterpret_borrow<py::sequence>(h);
  const bool text_or_mapping = PyUnicode_Check(h.ptr()) || PyBytes_Check(h.ptr()) || PyByteArray_Check(h.ptr()) ||
                               py::isinstance(h, py::module_::import("collections.abc").attr("Mapping"));
  if (text_or_mapping || !py::isinstance<py::iterable>(h)) {
    raise_type_error(what, "a list or other iterable of " + std::string(element_type), h);
  }
  PyObject* listed = PySequence_List(h.ptr());
  if (listed == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::sequence>(listed);
}

bool holds_value(py::handle h) {
  auto* instance = reinterpret_cast<py::detail::instance*>(h.ptr());
  const py::detail::value_and_holder held = instance->get_value_and_holder(nullptr, false);
  return held && held.holder_constructed();
}

py::object enum_class(const char* name) {
  const py::object module = py::reinterpret_steal<py::object>(PyImport_GetModule(py::str(MODULE_NAME).ptr()));
  if (!module) {
    if (PyErr_Occurred()) throw py::error_already_set();
    throw py::import_error(std::string(MODULE_NAME) + " is not imported");
  }
  return module.attr(name);
}

py::object to_python(std::string_view s) {
  PyObject* o = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

py::object path_to_python(const std::filesystem::path& p) {
  const std::string& native = p.native();
  PyObject* o = PyUnicode_DecodeFSDefaultAndSize(native.data(), static_cast<Py_ssize_t>(native.size()));
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(o);
}

py::object json_to_python(const boost::json::value& v) {
  switch (v.kind()) {
    case boost::json::kind::null: return py::none();
    case boost::json::kind::bool_: return py::bool_(v.get_bool());
    case boost::json::kind::int64: return py::int_(v.get_int64());
    case boost::json::kind::uint64: return py::int_(v.get_uint64());
    case boost::json::kind::double_: return py::float_(v.get_double());
    case boost::json::kind::string: return to_python(std::string_view(v.get_string()));
    case boost::json::kind::array: {
      const auto& a = v.get_array();
      py::list out(a.size());
      for (std::size_t i = 0; i < a.size(); ++i) out[i] = json_to_python(a[i]);
      return out;
    }
    case boost::json::kind::object: {
      py::dict out;
      for (const auto& member : v.get_object()) {
        out[to_python(std::string_view(member.key()))] = json_to_python(member.value());
      }
      return out;
    }
  }
  return py::none();
}

namespace {

// Deeper than this is refused rather than risking the stack (a list that
// holds itself).
constexpr int MAX_DEPTH = 500;

std::optional<boost::json::value> record_to_json(py::handle h) {
  if (py::isinstance<models::NormalizedPrice>(h)) return models::to_json(h.cast<const models::NormalizedPrice&>());
  if (py::isinstance<models::VisualMatch>(h)) return models::to_json(h.cast<const models::VisualMatch&>());
  if (py::isinstance<models::ShoppingOffer>(h)) return models::to_json(h.cast<const models::ShoppingOffer&>());
  if (py::isinstance<models::EnrichedCommerceMatch>(h)) {
    return models::to_json(h.cast<const models::EnrichedCommerceMatch&>());
  }
  if (py::isinstance<models::CommerceSummary>(h)) return models::to_json(h.cast<const models::CommerceSummary&>());
  if (py::isinstance<Intelligence>(h)) return models::to_json(to_model(h, "value"));
  return std::nullopt;
}

boost::json::value to_json_value(py::handle h, const std::string& what, int depth) {
  if (depth > MAX_DEPTH) throw py::value_error(what + " is nested too deeply");
  PyObject* o = h.ptr();
  if (o == Py_None) return nullptr;
  if (PyBool_Check(o)) return o == Py_True;
  if (PyLong_Check(o)) {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
      if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
      return v;
    }
    const unsigned long long u = PyLong_AsUnsignedLongLong(o);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw py::value_error(what + " is out of range");
    }
    return u;
  }
  if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
  if (PyUnicode_Check(o)) return boost::json::string(text_view(h, what));
  if (PyDict_Check(o)) {
    boost::json::object out;
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(h)) {
      if (!PyUnicode_Check(key.ptr())) raise_type_error(what + " key", "str", key);
      const std::string_view name = text_view(key, what);
      out[name] = to_json_value(value, what + "." + std::string(name), depth + 1);
    }
    return out;
  }
  if (PyList_Check(o) || PyTuple_Check(o)) {
    boost::json::array out;
    std::size_t i = 0;
    for (const py::handle element : py::reinterpret_borrow<py::sequence>(h)) {
      out.push_back(to_json_value(element, what + "[" + std::to_string(i++) + "]", depth + 1));
    }
    return out;
  }
  if (auto record = record_to_json(h)) return std::move(*record);
  raise_type_error(what, "a JSON value (dict, list, str, int, float, bool or None) or a record", h);
}

}  // namespace

boost::json::value python_to_json(py::handle h, std::string_view what) {
  return to_json_value(h, std::string(what), 0);
}

}  // namespace korvane::python
