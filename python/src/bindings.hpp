// The parts of the extension module korvane._core, each bound by its own
// function (module.cpp calls them in order).
#pragma once

#include "convert.hpp"

namespace korvane::python {

// korvane::Error and its subclasses as the classes of korvane.errors,
// std::filesystem::filesystem_error as OSError.
void register_errors();

// The component operations and the constant tables of the package surface,
// the aggregator, the exports, the relevance services and the report.
void bind_operations(py::module_& m);

// The blocking runs (enrichment, store resolution, fetching) as Run objects
// that a Python thread runs without the GIL and another thread can stop.
void bind_runs(py::module_& m);

}  // namespace korvane::python
