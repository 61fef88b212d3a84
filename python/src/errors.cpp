#include "bindings.hpp"

#include <korvane/errors.hpp>

#include <exception>
#include <filesystem>

namespace korvane::python {
namespace {

// Sets the Python error to the class `name` of korvane.errors (defined in
// Python, so that the hierarchy and its documentation live in one readable
// place) with `message`.
void set_error(const char* name, const char* message) {
  try {
    const py::object cls = py::module_::import("korvane.errors").attr(name);
    PyErr_SetString(cls.ptr(), message);
  } catch (py::error_already_set& e) {
    e.restore();  // korvane.errors cannot be imported: that error instead
  }
}

void translate(std::exception_ptr p) {
  try {
    if (p) std::rethrow_exception(p);
  } catch (const InvalidUrlError& e) {
    set_error("InvalidUrlError", e.what());
  } catch (const InputError& e) {
    set_error("InputError", e.what());
  } catch (const ValueError& e) {
    set_error("InvalidValueError", e.what());
  } catch (const FetchError& e) {
    set_error("FetchError", e.what());
  } catch (const BrowserUnavailableError& e) {
    set_error("BrowserUnavailableError", e.what());
  } catch (const BrowserError& e) {
    set_error("BrowserError", e.what());
  } catch (const CancelledError& e) {
    set_error("CancelledError", e.what());
  } catch (const Error& e) {
    set_error("KorvaneError", e.what());
  } catch (const std::filesystem::filesystem_error& e) {
    // OSError(errno, text, filename) picks the subclass for the errno
    // (FileNotFoundError, NotADirectoryError, ...).
    try {
      const py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
          e.code().value(), e.code().message(), path_to_python(e.path1()));
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    } catch (py::error_already_set& error) {
      error.restore();
    }
  }
}

}  // namespace

void register_errors() { py::register_exception_translator(&translate); }

}  // namespace korvane::python
