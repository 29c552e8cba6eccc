// The order createTables runs the CREATE TABLEs in: a table referenced by a
// foreign-key constraint before the table holding the key, the given order
// otherwise. A cycle of constraints is broken at the first table of the
// cycle in the given order: on MariaDB its constraints towards tables not
// created yet are deferred to ALTER TABLE statements after every table
// exists; SQLite does not check the referenced table at CREATE time, so
// there nothing is deferred.
#include "table_order.hpp"

#include <vector>

namespace tsy::db {
namespace {

// What the ordering reads of one model.
struct Node {
    PyObject* model;
    Ref table;        // str
    Ref constraints;  // tuple of (name, column, refTable, refColumn, onDelete)
    bool placed = false;
};

// The model's foreignKeyConstraints; an empty tuple for a class made without
// the model layer's metaclass.
Ref constraints_of(PyObject* model) noexcept {
    Ref value = attr(model, "foreignKeyConstraints");
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        return steal(PyTuple_New(0));
    }
    if (!PyTuple_Check(value.get())) return expected_kind("tuple", value.get());
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(value.get(), i);
        if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 5 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(item, 2))) {
            return fail(PyExc_TypeError, "foreignKeyConstraints of %R holds %R, not a (name, column, refTable, "
                        "refColumn, onDelete) tuple", model, item);
        }
    }
    return value;
}

bool read_nodes(PyObject* const* models, Py_ssize_t count, std::vector<Node>& nodes) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref table = attr(models[i], "tableName");
        if (!table) return false;
        if (!PyUnicode_Check(table.get())) {
            expected_kind("str", table.get());
            return false;
        }
        Ref constraints = constraints_of(models[i]);
        if (!constraints) return false;
        nodes.push_back({models[i], std::move(table), std::move(constraints)});
    }
    return true;
}

// Whether the table `name` is one of the models given and not created yet
// (a table outside the call, or the node's own, is no dependency). -1 on error.
int waits_for(const std::vector<Node>& nodes, const Node& node, PyObject* name) noexcept {
    for (const Node& other : nodes) {
        if (other.placed) continue;
        int same = PyUnicode_Compare(other.table.get(), name);
        if (same == -1 && PyErr_Occurred()) return -1;
        if (same == 0) return &other != &node;
    }
    return 0;
}

// The names of the node's constraints towards tables not created yet (a
// tuple; empty when the node can be created now).
Ref pending_constraints(const std::vector<Node>& nodes, const Node& node) noexcept {
    Ref names = steal(PyList_New(0));
    if (!names) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(node.constraints.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(node.constraints.get(), i);
        int waits = waits_for(nodes, node, PyTuple_GET_ITEM(item, 2));
        if (waits < 0) return {};
        if (waits && PyList_Append(names.get(), PyTuple_GET_ITEM(item, 0)) < 0) return {};
    }
    return steal(PyList_AsTuple(names.get()));
}

// The first node, in the given order, that can be created now; or, when a
// cycle blocks them all, the first one left with the constraints it defers.
bool next_table(std::vector<Node>& nodes, bool defers, TableStep& step) noexcept {
    Node* blocked = nullptr;
    Ref blocked_by;
    for (Node& node : nodes) {
        if (node.placed) continue;
        Ref pending = pending_constraints(nodes, node);
        if (!pending) return false;
        if (PyTuple_GET_SIZE(pending.get()) == 0) {
            node.placed = true;
            step = {node.model, {}};
            return true;
        }
        if (!blocked) {
            blocked = &node;
            blocked_by = std::move(pending);
        }
    }
    blocked->placed = true;
    step = {blocked->model, defers ? std::move(blocked_by) : Ref()};
    return true;
}

}  // namespace

bool order_tables(PyObject* const* models, Py_ssize_t count, bool defers, std::vector<TableStep>& out) noexcept {
    std::vector<Node> nodes;
    nodes.reserve(static_cast<std::size_t>(count));
    if (!read_nodes(models, count, nodes)) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        TableStep step;
        if (!next_table(nodes, defers, step)) return false;
        out.push_back(std::move(step));
    }
    return true;
}

}  // namespace tsy::db
