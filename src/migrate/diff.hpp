// What the files of the diff stage share among themselves: the Python
// Operation type, the one-line description of a step, the judgement of a
// type change, and the diff of models against a connector's database.
#pragma once

#include "internal.hpp"

#include <string>

namespace tsy::migrate {

// Tessary.Ext.Migrate.Operation (operation_object.cpp).
extern PyTypeObject OperationType;

// _inverse(operation): the step that undoes it (METH_O; for the tests and
// for hand-written downgrades).
PyObject* inverse_function(PyObject* module, PyObject* arg) noexcept;

// The op method that writes a step of `kind` ("addColumn"): Operation.kind.
const char* kind_name(Operation::Kind kind) noexcept;

// The readable line of a step: "add column user.age INT NOT NULL DEFAULT 0",
// "drop column user.nick (destructive)" (operation_text.cpp).
std::string describe(const Operation& op);
// The column as a line describes it: "INT NOT NULL DEFAULT 0".
std::string describe_column(const ColumnSpec& c);

// Whether two steps are the same step (names included; Execute's arguments
// compared with ==): 1, 0, or -1 with an exception.
int same_operation(const Operation& a, const Operation& b) noexcept;

// Whether a column of type `before` may lose data when it becomes `after`
// (both canonical): a shorter text, a smaller number, another family
// (narrowing.cpp).
bool narrows(std::string_view before, std::string_view after) noexcept;

// diff() and checkSchema(): the operations from `connector`'s database to
// the models, a list of Operation objects, or an awaitable of it on a
// coroutine connector. `func` names the caller in argument errors
// (check_schema.cpp).
PyObject* diff_models(const char* func, PyObject* const* models, Py_ssize_t count, PyObject* connector) noexcept;

}  // namespace tsy::migrate
