// Query operations: find/By, findAllBy, findOneBy, findAnyMatch, and the
// example-instance filter behind findAnyMatch.
#include "carrack.hpp"

namespace tsy::exec {
namespace {

const char* const kFilterNames[] = {"Filter"};
const char* const kFindAllNames[] = {"Filter", "orderBy", "limit", "offset"};
const char* const kAnyMatchNames[] = {"instance", "limit", "offset"};

// The one optional Filter argument of By, findAllBy and findOneBy (borrowed).
bool parse_filter(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filter) {
    const Params params{func, kFilterNames, 1, 0};
    if (!parse(params, args, nargs, kwnames, filter)) return false;
    if (!*filter) *filter = Py_None;
    return check_arg(*filter, bound.property->FilterListCell, "Filter");
}

// The pending builder, held: operations called back may replace the field.
Ref pending(PyObject* self) noexcept {
    PyObject* builder = as_executor(self)->sql;
    return borrow(builder ? builder : Py_None);
}

// select(*model.col) on the pending builder; returns what select returned.
Ref select_all_columns(PyObject* self) noexcept {
    Ref model = borrow(as_executor(self)->model);  // held: a re-run __init__ may replace it
    Ref cols = model_columns(model.get());
    if (!cols) return {};
    Ref builder = pending(self);
    return builder_select(builder.get(), cols.get());
}

// limit= / offset= of findAllBy: absent or None is -1, else a non-negative int.
bool row_count(PyObject* value, const char* name, long long* out) noexcept {
    *out = -1;
    if (!value || value == Py_None) return true;
    if (PyBool_Check(value) || !PyLong_Check(value)) {
        fail(PyExc_TypeError, "findAllBy() %s must be an int, got %.200s", name, type_name(value));
        return false;
    }
    *out = PyLong_AsLongLong(value);
    if (*out == -1 && PyErr_Occurred()) return false;
    if (*out >= 0) return true;
    fail(PyExc_ValueError, "findAllBy() %s must not be negative, got %lld", name, *out);
    return false;
}

// What findAllBy adds to its statement after the filter.
struct Window {
    PyObject* order = nullptr;  // one term or a list/tuple of terms; NULL or None: none
    long long limit = -1;
    long long offset = -1;
};

// " limit N", " limit N offset M"; an offset alone takes the largest count
// both databases accept (SQLite's is a signed 64-bit one, MariaDB's unsigned),
// so that one text serves every connection.
Ref limit_text(const Window& w) noexcept {
    long long count = w.limit >= 0 ? w.limit : 9223372036854775807LL;
    if (w.offset < 0) return steal(PyUnicode_FromFormat(" limit %lld", count));
    return steal(PyUnicode_FromFormat(" limit %lld offset %lld", count, w.offset));
}

Ref order_items(PyObject* order) noexcept {
    if (PyList_Check(order) || PyTuple_Check(order)) return steal(PySequence_Tuple(order));
    return steal(PyTuple_Pack(1, order));
}

bool is_sql_generator(PyObject* builder) noexcept {
    return PyObject_TypeCheck(builder, bound.generator->SqlGenerator);
}

// The ordering goes first: a refused term leaves the builder without a
// statement kind, as it was. Native on a SqlGenerator, by attribute
// otherwise (None, once the builder was removed: AttributeError).
bool apply_order(PyObject* builder, const Window& w) noexcept {
    if (!w.order || w.order == Py_None) return true;
    Ref items = order_items(w.order);
    if (!items) return false;
    if (is_sql_generator(builder)) return bool(steal(bound.generator->orderBy(builder, items.get())));
    Ref method = attr(builder, "orderBy");
    return method && steal(PyObject_Call(method.get(), items.get(), nullptr));
}

bool apply_limit(PyObject* builder, const Window& w) noexcept {
    if (w.limit < 0 && w.offset < 0) return true;
    if (!is_sql_generator(builder)) {
        fail(PyExc_TypeError, "findAllBy() limit/offset need a SqlGenerator builder, got %.200s", type_name(builder));
        return false;
    }
    Ref text = limit_text(w);
    if (!text) return false;
    auto* b = reinterpret_cast<gen::SqlGeneratorObject*>(builder);
    Py_SETREF(b->limit, text.release());
    return true;
}

}  // namespace

PyObject* find_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("find", kwnames)) return nullptr;
    Ref cols = steal(PyTuple_New(nargs));
    if (!cols) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(cols.get(), i, Py_NewRef(args[i]));
    if (!op(self, names().reset)) return nullptr;
    Ref builder = pending(self);
    if (!builder_select(builder.get(), cols.get())) return nullptr;
    return Py_NewRef(self);
}

PyObject* By_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* filter;
    if (!parse_filter("By", args, nargs, kwnames, &filter)) return nullptr;
    Ref builder = pending(self);
    if (!builder_where(builder.get(), filter)) return nullptr;
    return op(self, names().execute).release();
}

// findAllBy(Filter=None, *, orderBy=None, limit=None, offset=None).
PyObject* findAllBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"findAllBy", kFindAllNames, 4, 0};
    if (nargs > 1) return arg_count_error("findAllBy", 0, 1, nargs);
    PyObject* a[4];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* filter = a[0] ? a[0] : Py_None;
    if (!check_arg(filter, bound.property->FilterListCell, "Filter")) return nullptr;
    Window window;
    window.order = a[1];
    if (!row_count(a[2], "limit", &window.limit) || !row_count(a[3], "offset", &window.offset)) return nullptr;
    if (!op(self, names().reset)) return nullptr;
    if (!apply_order(pending(self).get(), window)) return nullptr;
    Ref selected = select_all_columns(self);
    if (!selected || !builder_where(selected.get(), filter)) return nullptr;
    if (!apply_limit(selected.get(), window)) return nullptr;
    return op(self, names().execute).release();
}

PyObject* findOneBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* filter;
    if (!parse_filter("findOneBy", args, nargs, kwnames, &filter)) return nullptr;
    if (!op(self, names().reset)) return nullptr;
    Ref found = op(self, names().findAllBy, filter);
    if (!found || !check_convert(found.get(), bound.model->InstanceList)) return nullptr;
    if (found.get() == Py_None) return fail(PyExc_TypeError, "object of type 'NoneType' has no len()");
    Py_ssize_t count = PyObject_Length(found.get());
    if (count < 0) return nullptr;
    if (count != 1) {
        PyErr_SetNone(bound.QueryResoutIsNotOne);
        return nullptr;
    }
    return PySequence_GetItem(found.get(), 0);
}

PyObject* findAnyMatch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"findAnyMatch", kAnyMatchNames, 3, 1};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    int limit = 0, offset = 0;
    if ((a[1] && !to_int(a[1], &limit)) || (a[2] && !to_int(a[2], &offset))) return nullptr;
    if (!op(self, names().reset) || !select_all_columns(self)) return nullptr;
    if (!check_convert(a[0], bound.model->ModelInstance)) return nullptr;
    Ref filter = steal(instanceToFilter(self, a[0]));
    if (!filter) return nullptr;
    Ref builder = pending(self);
    if (!builder_where(builder.get(), filter.get())) return nullptr;
    if (limit > 0 && !builder_limit(builder.get(), limit, offset)) return nullptr;
    return op(self, names().execute).release();
}

// Head cell "1" AND column = value for each column the instance sets. Only a
// missing or None field is "no condition": 0, "" and False are values to
// match, and every column of the model is examined.
PyObject* instanceToFilter(PyObject* self, PyObject* instance) noexcept {
    Ref one = steal(PyUnicode_FromString("1"));
    if (!one) return nullptr;
    Ref head = new_cell(one.get(), Py_None);
    Ref model = borrow(as_executor(self)->model);  // held: instance.get may re-run __init__
    Ref cols = model_columns(model.get());
    if (!head || !cols) return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols.get()); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
        Ref name = column_name(col);
        if (!name) return nullptr;
        Ref value = call_method(instance, names().get, name.get());
        if (!value) return nullptr;
        if (value.get() == Py_None) continue;
        Ref column_cell = new_cell(name.get(), col);
        if (!column_cell) return nullptr;
        Ref linked = steal(bound.property->addCell(head.get(), column_cell.get(), model::AND));
        if (!linked) return nullptr;
        Ref again = call_method(instance, names().get, name.get());
        if (!again) return nullptr;
        Ref value_cell = new_cell(again.get(), Py_None);
        if (!value_cell) return nullptr;
        if (!steal(bound.property->addCell(linked.get(), value_cell.get(), model::EQ))) return nullptr;
    }
    return head.release();
}

}  // namespace tsy::exec
