// korvane._core: the C++ library in Python. The package korvane (the Python
// modules beside this one) offers it under the names of the system's
// modules; this module is not meant to be imported on its own.
#include "bindings.hpp"
#include "records.hpp"

PYBIND11_MODULE(_core, m) {
  using namespace korvane::python;
  m.doc() = "The korvane-commerce C++ library; use it through the package korvane.";
  m.attr("__version__") = KORVANE_VERSION;
  register_errors();
  bind_enums(m);
  bind_records(m);
  bind_operations(m);
  bind_runs(m);
}
