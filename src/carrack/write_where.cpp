// updateWhere and deleteWhere on both executors: one UPDATE or DELETE over
// the rows a condition matches, answered with the rows the driver counted
// (also left in the executor's rowcount). A missing condition would write
// the whole table: that takes everyRow=True, said out loud.
#include "related_writes.hpp"

namespace tsy::exec {
namespace {

// The arguments of a call: the condition, everyRow, and (updateWhere) the
// column values by name, in the order given.
struct WhereCall {
    const char* func;
    bool takes_values;
    PyObject* filter = nullptr;
    bool every_row = false;
    Ref values;  // dict of name -> value; updateWhere only
};

bool read_every_row(WhereCall& call, PyObject* value) noexcept {
    if (!PyBool_Check(value)) {
        fail(PyExc_TypeError, "%s() argument 'everyRow' must be a bool, not %.200s", call.func, type_name(value));
        return false;
    }
    call.every_row = value == Py_True;
    return true;
}

// Filter positionally (or by keyword on deleteWhere, which takes no values),
// everyRow by keyword only, any other keyword a value.
bool parse_where_call(WhereCall& call, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs > 1) {
        arg_count_error(call.func, 1, 1, nargs);
        return false;
    }
    if (nargs == 1) call.filter = args[0];
    if (call.takes_values && !(call.values = steal(PyDict_New()))) return false;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        PyObject* value = args[nargs + k];
        if (PyUnicode_CompareWithASCIIString(name, "everyRow") == 0) {
            if (!read_every_row(call, value)) return false;
        } else if (!call.takes_values && PyUnicode_CompareWithASCIIString(name, "Filter") == 0) {
            if (call.filter) {
                fail(PyExc_TypeError, "%s() got multiple values for argument 'Filter'", call.func);
                return false;
            }
            call.filter = value;
        } else if (!call.takes_values) {
            unexpected_keyword(call.func, name);
            return false;
        } else if (PyDict_SetItem(call.values.get(), name, value) < 0) {
            return false;
        }
    }
    if (!call.filter) {
        fail(PyExc_TypeError, "%s() missing required argument 'Filter' (pos 1)", call.func);
        return false;
    }
    if (!check_arg(call.filter, bound.property->FilterListCell, "Filter")) return false;
    if (call.filter == Py_None && !call.every_row) {
        fail(PyExc_ValueError, "%s(None) would write every row of the table: pass everyRow=True to mean it",
             call.func);
        return false;
    }
    if (call.takes_values && PyDict_GET_SIZE(call.values.get()) == 0) {
        fail(PyExc_TypeError, "%s() needs at least one column value (column=value)", call.func);
        return false;
    }
    return true;
}

// The SET entries of the values, in the order given; every name checked first.
Ref set_entries(PyObject* model, PyObject* values) noexcept {
    if (!named_columns("updateWhere", model, values)) return {};
    Ref by_name = columns_by_name(model);
    Ref entries = by_name ? steal(PyTuple_New(PyDict_GET_SIZE(values))) : Ref();
    if (!entries) return {};
    Py_ssize_t pos = 0, i = 0;
    PyObject *name, *value;
    while (PyDict_Next(values, &pos, &name, &value)) {
        Ref col = borrow(PyDict_GetItemWithError(by_name.get(), name));
        if (!col) {
            // Checked above: only a model whose `col` changed meanwhile lacks it now.
            return PyErr_Occurred() ? Ref() : fail(PyExc_ValueError, "updateWhere(): %R is not a column any more", name);
        }
        Ref entry = set_entry(col.get(), value);
        if (!entry) return {};
        PyTuple_SET_ITEM(entries.get(), i++, entry.release());
    }
    return entries;
}

// The statement on a fresh builder: UPDATE ... SET (entries) or DELETE, then
// the condition unless every row is meant.
bool prepare(PyObject* self, PyObject* entries, PyObject* filter) noexcept {
    if (!op(self, names().reset)) return false;
    Ref model = borrow(as_executor(self)->model);
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    if (!call_method(builder.get(), entries ? names().update : names().delete_, model.get())) return false;
    builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    if (entries) {
        Ref set = attr(builder.get(), names().set);
        if (!set || !steal(PyObject_Call(set.get(), entries, nullptr))) return false;
    }
    return filter == Py_None || builder_where(builder.get(), filter);
}

coro::Task write_where_body(Ref self, Ref entries, Ref filter, ExecutorRules rules) {
    if (!prepare(self.get(), entries.get(), filter.get())) co_return nullptr;
    // Unknown unless the statement's result reports it (a handle of the
    // application's may not).
    as_executor(self.get())->rowcount = -1;
    Ref done = op(self.get(), names().execute);
    TSY_WRITTEN(done, rules);
    if (!done) co_return nullptr;
    co_return steal(PyLong_FromLongLong(as_executor(self.get())->rowcount));
}

Ref start_write_where(PyObject* self, Ref entries, PyObject* filter, const ExecutorRules& rules, const char* name,
                      const char* qualname) noexcept {
    return start_body(write_where_body(borrow(self), std::move(entries), borrow(filter), rules), rules, name, qualname);
}

}  // namespace

template <const ExecutorRules& rules>
PyObject* updateWhere_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WhereCall call{"updateWhere", true};
    if (!parse_where_call(call, args, nargs, kwnames)) return nullptr;
    Ref entries = set_entries(as_executor(self)->model, call.values.get());
    if (!entries) return nullptr;
    return start_write_where(self, std::move(entries), call.filter, rules, "updateWhere",
                             "AsyncModelExecutor.updateWhere")
        .release();
}
template PyObject* updateWhere_method<kSyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames);
template PyObject* updateWhere_method<kAsyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames);

template <const ExecutorRules& rules>
PyObject* deleteWhere_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    WhereCall call{"deleteWhere", false};
    if (!parse_where_call(call, args, nargs, kwnames)) return nullptr;
    return start_write_where(self, nullptr, call.filter, rules, "deleteWhere", "AsyncModelExecutor.deleteWhere")
        .release();
}
template PyObject* deleteWhere_method<kSyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames);
template PyObject* deleteWhere_method<kAsyncRules>(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames);

}  // namespace tsy::exec
