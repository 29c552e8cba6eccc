// The column methods that make conditions beyond `column <op> value`:
// isNull/isNotNull, notIn, between, ilike, In over a subquery, a column
// compared with a column, `~condition`, and the ordering terms asc()/desc().
// Values are converted by the column here; the statement builder renders
// the conditions (its _predicate() makes them, imported on first use: the
// builder binds this module at its own init).
#include "internal.hpp"

namespace tsy::model {
namespace {

// Tessary.DB.Generator._predicate, held for the life of the process once found.
PyObject* predicate_factory() noexcept {
    static PyObject* factory = nullptr;
    if (factory) return factory;
    // The import may let another thread in: the first one found is kept.
    PyObject* found = import_attr("Tessary.DB.Generator", "_predicate").release();
    if (!factory) factory = found;
    else Py_XDECREF(found);
    return factory;
}

// `kind` is one of the few names below, interned once (immortal afterwards).
Ref make_condition(const char* kind, PyObject* subject, PyObject* operands, int code = 0) noexcept {
    PyObject* factory = predicate_factory();
    if (!factory) return {};
    PyObject* name = PyUnicode_InternFromString(kind);
    Ref number = steal(PyLong_FromLong(code));
    if (!name || !number) return {};
    Ref held_name = steal(name);
    return call(factory, name, subject, operands, number.get());
}

bool check_bound(PyObject* self, const char* func) noexcept {
    if (as_property(self)->name != Py_None) return true;
    fail(PyExc_TypeError, "%s() on a column that belongs to no model class", func);
    return false;
}

// The values converted by the column, as a tuple.
Ref converted(PyObject* self, std::initializer_list<PyObject*> values) noexcept {
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(values.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (PyObject* value : values) {
        PyObject* stored = property_to_db_value(self, value);
        if (!stored) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, stored);
    }
    return tuple;
}

// `column <code> None`: the statement builder renders it IS [NOT] NULL, with
// no argument (no conversion: NULL is NULL on every column kind).
PyObject* null_test(PyObject* self, const char* func, int code, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args(func, nargs, kwnames) || !check_bound(self, func)) return nullptr;
    Ref head = steal(new_cell(as_property(self)->name, self));
    if (!head) return nullptr;
    PyObject* tail = new_cell(Py_None, Py_None);
    if (!tail) return nullptr;
    as_cell(head.get())->relationship = code;
    Py_SETREF(as_cell(head.get())->next, tail);
    return head.release();
}

const char* const kBetweenParams[] = {"low", "high"};
const char* const kPatternParam[] = {"pattern"};
const char* const kValuesParam[] = {"values"};

// An order term of this column (Tessary.DB.Generator.OrderTerm).
PyObject* order_term(PyObject* self, const char* func, bool descending, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_args(func, nargs, kwnames) || !check_bound(self, func)) return nullptr;
    Ref term_class = import_attr("Tessary.DB.Generator", "OrderTerm");
    if (!term_class) return nullptr;
    return call(term_class.get(), self, descending ? Py_True : Py_False).release();
}

}  // namespace

PyObject* is_null_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return null_test(self, "isNull", EQ, nargs, kwnames);
}

PyObject* is_not_null_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return null_test(self, "isNotNull", NE, nargs, kwnames);
}

PyObject* between_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"between", kBetweenParams, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a) || !check_bound(self, "between")) return nullptr;
    Ref operands = converted(self, {a[0], a[1]});
    return operands ? make_condition("between", self, operands.get()).release() : nullptr;
}

PyObject* ilike_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"ilike", kPatternParam, 1, 1};
    PyObject* pattern;
    if (!parse(params, args, nargs, kwnames, &pattern) || !check_bound(self, "ilike")) return nullptr;
    if (!PyUnicode_Check(pattern)) return fail(PyExc_TypeError, "ilike() expects a str pattern, got %.200s", type_name(pattern));
    Ref operands = steal(PyTuple_Pack(1, pattern));
    return operands ? make_condition("ilike", self, operands.get()).release() : nullptr;
}

bool is_builder(PyObject* value, int* answer) noexcept {
    Ref builder_class = import_attr("Tessary.DB.Generator", "SqlGenerator");
    if (!builder_class) return false;
    *answer = PyObject_IsInstance(value, builder_class.get());
    return *answer >= 0;
}

PyObject* in_query(PyObject* self, PyObject* query, bool negated) noexcept {
    Ref operands = steal(PyTuple_Pack(1, query));
    return operands ? make_condition(negated ? "notIn_query" : "in_query", self, operands.get()).release() : nullptr;
}

PyObject* not_in_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"notIn", kValuesParam, 1, 1};
    PyObject* values;
    if (!parse(params, args, nargs, kwnames, &values) || !check_bound(self, "notIn")) return nullptr;
    int query = 0;
    if (!is_builder(values, &query)) return nullptr;
    if (query) return in_query(self, values, true);
    Ref items = steal(in_values(self, values, "notIn"));
    return items ? make_condition("notIn", self, items.get()).release() : nullptr;
}

PyObject* asc_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return order_term(self, "asc", false, nargs, kwnames);
}

PyObject* desc_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    return order_term(self, "desc", true, nargs, kwnames);
}

PyObject* compare_columns(PyObject* self, PyObject* other, int code) noexcept {
    Ref operands = steal(PyTuple_Pack(1, other));
    return operands ? make_condition("columns", self, operands.get(), code).release() : nullptr;
}

PyObject* negate(PyObject* condition) noexcept {
    if (!is_cell(condition)) Py_RETURN_NOTIMPLEMENTED;
    if (settle_chain(condition) < 0) return nullptr;
    Ref operands = steal(PyTuple_New(0));
    return operands ? make_condition("not", condition, operands.get()).release() : nullptr;
}

}  // namespace tsy::model
