// Declarations shared by the files of the migration module.
#pragma once

#include "schema.hpp"

namespace tsy::migrate {

// Each stage adds its types and functions to the module (0, or -1 with an
// exception): inspect.cpp the schema types, inspect() and modelSchema();
// diff.cpp diff(), plan() and the Operation type; runner.cpp the migration
// files, their runner and the command line.
int add_inspect(PyObject* module) noexcept;
int add_diff(PyObject* module) noexcept;
int add_runner(PyObject* module) noexcept;

// The capsule's checkSchema (diff.cpp).
PyObject* check_schema(PyObject* const* models, Py_ssize_t count, PyObject* connector) noexcept;

}  // namespace tsy::migrate
