// count, exists, aggregate and values: SELECTs made on the pending builder
// (reset first, as findAllBy does), sent through the handle's executeSql on
// the executor's connection, and answered with numbers or plain dicts.
#include "reads.hpp"

#include "read_shape.hpp"
#include "tessary/coro.hpp"

#include <climits>

namespace tsy::exec::reads {
namespace {

struct ReadNames {
    PyObject* executeSql;
    PyObject* groupBy;
    PyObject* having;
    PyObject* orderBy;
    PyObject* distinct;
    PyObject* As;
    PyObject* Filter;
    PyObject* count_star;  // CustomSqlGenerator("COUNT(*)", ())
    PyObject* one;         // CustomSqlGenerator("1", ())
};

// Made at the first call, immortal afterwards.
const ReadNames* read_names() noexcept {
    static ReadNames n{};
    if (n.one) return &n;
    const NameSlot all[] = {
        {&n.executeSql, "executeSql"}, {&n.groupBy, "groupBy"}, {&n.having, "having"}, {&n.orderBy, "orderBy"},
        {&n.distinct, "distinct"},     {&n.As, "As"},           {&n.Filter, "Filter"},
    };
    if (intern_all(all) < 0) return nullptr;
    auto custom = [](const char* text) -> PyObject* {
        Ref sql = steal(PyUnicode_FromString(text));
        Ref no_args = steal(PyTuple_New(0));
        if (!sql || !no_args) return nullptr;
        return call(reinterpret_cast<PyObject*>(bound.generator->CustomSqlGenerator), sql.get(), no_args.get())
            .release();
    };
    if (!n.count_star && !(n.count_star = custom("COUNT(*)"))) return nullptr;
    n.one = custom("1");
    return n.one ? &n : nullptr;
}

// --- arguments ---------------------------------------------------------------

bool check_filter(PyObject* filter) noexcept { return check_arg(filter, bound.property->FilterListCell, "Filter"); }

// A non-negative int (bool refused) that fits a LIMIT; `fallback` when absent or None.
bool limit_value(const char* func, const char* arg, PyObject* value, int fallback, int* out) noexcept {
    *out = fallback;
    if (!value || value == Py_None) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        fail(PyExc_TypeError, "%s() argument '%s' must be a non-negative int or None, not %.200s", func, arg,
             type_name(value));
        return false;
    }
    long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > INT_MAX) {
        fail(PyExc_ValueError, "%s() argument '%s' must be between 0 and %d, got %ld", func, arg, INT_MAX, v);
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// Terms given as one item or as a tuple or list of them: a tuple.
Ref terms_of(PyObject* value) noexcept {
    if (!value || value == Py_None) return steal(PyTuple_New(0));
    if (PyTuple_Check(value) || PyList_Check(value)) return steal(PySequence_Tuple(value));
    return steal(PyTuple_Pack(1, value));
}

// --- the statement -----------------------------------------------------------

// The pending builder after reset, held: Python code called back may replace the field.
Ref fresh_builder(PyObject* self) noexcept {
    if (!op(self, names().reset)) return {};
    PyObject* builder = as_executor(self)->sql;
    return borrow(builder ? builder : Py_None);
}

// A statement that failed while it was being built leaves its builder spent,
// so that the executor's next operation starts from a new one (reset keeps a
// builder that was never run).
PyObject* discard_builder(PyObject* self) noexcept {
    as_executor(self)->executed = 1;
    return nullptr;
}

Ref call_with(PyObject* obj, PyObject* name, PyObject* items) noexcept {
    Ref method = attr(obj, name);
    return method ? steal(PyObject_Call(method.get(), items, nullptr)) : Ref();
}

// The clauses of values() beside the select list and the condition.
struct Clauses {
    Ref group;   // tuple
    Ref having;  // condition or None
    Ref order;   // tuple
    int limit = -1;        // -1: none
    int offset = 0;
    bool distinct = false;
};

bool add_clauses(PyObject* builder, const Clauses& c, const ReadNames& n) noexcept {
    if (PyTuple_GET_SIZE(c.group.get()) && !call_with(builder, n.groupBy, c.group.get())) return false;
    if (c.having.get() != Py_None && !call_method(builder, n.having, c.having.get())) return false;
    if (PyTuple_GET_SIZE(c.order.get()) && !call_with(builder, n.orderBy, c.order.get())) return false;
    if (c.distinct && !call_method(builder, n.distinct)) return false;
    if (c.limit >= 0 || c.offset > 0) {
        if (!builder_limit(builder, c.limit >= 0 ? c.limit : INT_MAX, c.offset)) return false;
    }
    return true;
}

// The handle's executeSql(text, args, con) on the executor's connection:
// the rows, or their awaitable on an asynchronous connector. The database
// layer's own method is called without the lookup unless an instance
// attribute replaces it.
Ref send(PyObject* self, PyObject* builder, const ReadNames& n) noexcept {
    as_executor(self)->executed = 1;  // run or failed, this builder is done
    Ref built = steal(bound.generator->Build(builder));
    if (!built) return {};
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) != 2) return expected_kind("(sql, args)", built.get());
    Ref handle = borrow(as_executor(self)->db ? as_executor(self)->db : Py_None);
    Ref work = work_of(self);
    int on_work = work ? truth(work.get()) : -1;
    if (on_work < 0) return {};
    PyObject* con = on_work ? work.get() : Py_None;
    PyObject* text = PyTuple_GET_ITEM(built.get(), 0);
    PyObject* args = PyTuple_GET_ITEM(built.get(), 1);
    int hidden = Py_IS_TYPE(handle.get(), bound.db->DB) ? in_instance_dict(handle.get(), n.executeSql) : 1;
    if (hidden < 0) return {};
    if (hidden) return call_method(handle.get(), n.executeSql, text, args, con);
    Ref connector = statement_connector(as_executor(self)->model, con);
    if (!connector) return {};
    return steal(bound.connector->run(connector.get(), con, text, args, db::RUN_ROWS));
}

// --- delivering the result ----------------------------------------------------

coro::Task awaited_result(Ref pending, Plan plan) {
    Ref rows = co_await coro::await(std::move(pending));
    if (!rows) co_return nullptr;
    co_return shape_rows(plan, rows.get());
}

bool is_awaitable(PyObject* o) noexcept {
    PyAsyncMethods* am = Py_TYPE(o)->tp_as_async;
    return am && am->am_await;
}

// The synchronous executor shapes the rows it got; the coroutine executor
// hands back a coroutine that awaits them first.
template <bool Async>
PyObject* deliver(Ref pending, Plan plan, const char* name, const char* qualname) noexcept {
    if (!pending) return nullptr;
    if constexpr (Async) {
        return coro::make_coroutine(awaited_result(std::move(pending), std::move(plan)), name, qualname);
    } else {
        if (is_awaitable(pending.get())) {
            static PyObject* close_name = intern("close");
            Ref closed = close_name ? call_method(pending.get(), close_name) : Ref();
            if (!closed) return nullptr;
            return fail(PyExc_TypeError, "ModelExecutor.%s(): the connector is asynchronous; use AsyncModelExecutor",
                        name);
        }
        return shape_rows(plan, pending.get()).release();
    }
}

template <bool Async>
const char* qualified(const char* sync_name, const char* async_name) noexcept {
    return Async ? async_name : sync_name;
}

const char* const kFilterOnly[] = {"Filter"};

// count() and exists(): one fixed select item under the condition.
template <bool Async>
PyObject* filtered_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Shape shape,
                        const char* name, const char* qualname) {
    const Params params{name, kFilterOnly, 1, 0};
    PyObject* filter;
    if (!parse(params, args, nargs, kwnames, &filter)) return nullptr;
    if (!filter) filter = Py_None;
    if (!check_filter(filter)) return nullptr;
    const ReadNames* n = read_names();
    if (!n) return nullptr;
    Ref builder = fresh_builder(self);
    if (!builder) return nullptr;
    Ref item = steal(PyTuple_Pack(1, shape == Shape::COUNT ? n->count_star : n->one));
    if (!item || !builder_select(builder.get(), item.get()) || !builder_where(builder.get(), filter)) {
        return discard_builder(self);
    }
    if (shape == Shape::EXISTS && !builder_limit(builder.get(), 1, 0)) return discard_builder(self);
    Plan plan;
    plan.shape = shape;
    return deliver<Async>(send(self, builder.get(), *n), std::move(plan), name, qualname);
}

// --- aggregate ------------------------------------------------------------------

// A class of the statement builder the capsule does not carry, looked up
// once (owned for the life of the process).
PyTypeObject* generator_class(PyObject*& cache, const char* name) noexcept {
    if (!cache) cache = import_attr("Tessary.DB.Generator", name).release();
    return reinterpret_cast<PyTypeObject*>(cache);
}

PyTypeObject* expression_class() noexcept {
    static PyObject* cls = nullptr;
    return generator_class(cls, "Expression");
}

PyTypeObject* alias_class() noexcept {
    static PyObject* cls = nullptr;
    return generator_class(cls, "ColumnAlias");
}

// A FunctionCall or an Expression: -1 with the error set when the classes cannot be found.
int is_computed(PyObject* o) noexcept {
    if (PyObject_TypeCheck(o, bound.generator->FunctionCall)) return 1;
    PyTypeObject* expression = expression_class();
    if (!expression) return -1;
    return PyObject_TypeCheck(o, expression);
}

// `key=value` of aggregate(): a FunctionCall or an Expression, selected as `value AS key`.
bool aggregate_item(PyObject* key, PyObject* value, const ReadNames& n, Plan& plan, PyObject* select) noexcept {
    int computed = is_computed(value);
    if (computed < 0) return false;
    if (!computed) {
        fail(PyExc_TypeError, "aggregate() argument '%U' must be a FunctionCall or an Expression, not %.200s", key,
             type_name(value));
        return false;
    }
    Ref aliased = call_method(value, n.As, key);
    Item item;
    if (!aliased || !computed_item(value, key, item) || PyList_Append(select, aliased.get()) < 0) return false;
    plan.items.push_back(std::move(item));
    return true;
}

// --- values -----------------------------------------------------------------------

// One selected item of values(): a column, or anything aliased with .As().
bool values_item(PyObject* col, Py_ssize_t index, Plan& plan) noexcept {
    Item item;
    if (PyObject_TypeCheck(col, bound.property->BaseProperty)) {
        if (!column_item(col, item)) return false;
    } else if (PyTypeObject* cls = alias_class(); cls && PyObject_TypeCheck(col, cls)) {
        Ref source = attr(col, "source");
        Ref key = source ? attr(col, "name") : Ref();
        if (!key) return false;
        if (!PyUnicode_Check(key.get())) {  // an alias made by __new__ alone
            fail(PyExc_TypeError, "values() argument 'columns': item %zd is an alias without a name", index);
            return false;
        }
        if (!computed_item(source.get(), key.get(), item)) return false;
    } else {
        int computed = cls ? is_computed(col) : -1;
        if (computed < 0) return false;
        const char* hint = computed ? " (name a function call or an expression with .As(\"name\"))" : "";
        fail(PyExc_TypeError, "values() argument 'columns': item %zd must be a column property or an aliased item%s, "
             "not %.200s", index, hint, type_name(col));
        return false;
    }
    for (const Item& earlier : plan.items) {
        int same = PyUnicode_Compare(earlier.key.get(), item.key.get());
        if (same == 0) {
            fail(PyExc_ValueError, "values(): two selected items share the name %R; select one under another name "
                 "with .As(alias)", item.key.get());
            return false;
        }
    }
    plan.items.push_back(std::move(item));
    return true;
}

const char* const kValuesNames[] = {"Filter", "groupBy", "having", "orderBy", "limit", "offset", "distinct"};

// values' keywords (the positional arguments are the columns).
bool values_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
    static const Params params{"values", kValuesNames, 7, 0, true};
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    return parse(params, args + nargs, 0, nkw ? kwnames : nullptr, out);
}

bool read_clauses(PyObject** kw, Clauses& c) noexcept {
    if (kw[2] && kw[2] != Py_None && !PyObject_TypeCheck(kw[2], bound.property->FilterListCell)) {
        fail(PyExc_TypeError, "values() argument 'having' must be a condition or None, not %.200s", type_name(kw[2]));
        return false;
    }
    if (kw[6] && !PyBool_Check(kw[6])) {
        fail(PyExc_TypeError, "values() argument 'distinct' must be a bool, not %.200s", type_name(kw[6]));
        return false;
    }
    c.group = terms_of(kw[1]);
    c.having = borrow(kw[2] ? kw[2] : Py_None);
    c.order = terms_of(kw[3]);
    c.distinct = kw[6] == Py_True;
    return c.group && c.order && limit_value("values", "limit", kw[4], -1, &c.limit) &&
           limit_value("values", "offset", kw[5], 0, &c.offset);
}

}  // namespace

template <bool Async>
PyObject* count_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filtered_read<Async>(self, args, nargs, kwnames, Shape::COUNT, "count",
                                qualified<Async>("ModelExecutor.count", "AsyncModelExecutor.count"));
}

template <bool Async>
PyObject* exists_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return filtered_read<Async>(self, args, nargs, kwnames, Shape::EXISTS, "exists",
                                qualified<Async>("ModelExecutor.exists", "AsyncModelExecutor.exists"));
}

template <bool Async>
PyObject* aggregate_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs > 1) return arg_count_error("aggregate", 0, 1, nargs);
    const ReadNames* n = read_names();
    if (!n) return nullptr;
    PyObject* filter = nargs ? args[0] : nullptr;
    Plan plan;
    plan.shape = Shape::ONE_ROW;
    Ref select = steal(PyList_New(0));
    if (!select) return nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_Compare(key, n->Filter) == 0) {
            if (filter) return fail(PyExc_TypeError, "aggregate() got multiple values for argument 'Filter'");
            filter = args[nargs + k];
            continue;
        }
        if (!aggregate_item(key, args[nargs + k], *n, plan, select.get())) return nullptr;
    }
    if (plan.items.empty()) {
        return fail(PyExc_TypeError, "aggregate() needs at least one named aggregate, e.g. n=FunctionCall(\"count\", col)");
    }
    if (!filter) filter = Py_None;
    if (!check_filter(filter)) return nullptr;
    Ref items = steal(PyList_AsTuple(select.get()));
    Ref builder = items ? fresh_builder(self) : Ref();
    if (!builder) return nullptr;
    if (!builder_select(builder.get(), items.get()) || !builder_where(builder.get(), filter)) return discard_builder(self);
    return deliver<Async>(send(self, builder.get(), *n), std::move(plan), "aggregate",
                          qualified<Async>("ModelExecutor.aggregate", "AsyncModelExecutor.aggregate"));
}

template <bool Async>
PyObject* values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* kw[7];
    if (!values_keywords(args, nargs, kwnames, kw)) return nullptr;
    PyObject* filter = kw[0] ? kw[0] : Py_None;
    if (!check_filter(filter)) return nullptr;
    Clauses clauses;
    if (!read_clauses(kw, clauses)) return nullptr;
    const ReadNames* n = read_names();
    if (!n) return nullptr;
    Ref model = borrow(as_executor(self)->model);  // held: a re-run __init__ may replace it
    Ref columns = nargs ? steal(PyTuple_New(nargs)) : model_columns(model.get());
    if (!columns) return nullptr;
    for (Py_ssize_t i = 0; nargs && i < nargs; ++i) PyTuple_SET_ITEM(columns.get(), i, Py_NewRef(args[i]));
    Plan plan;
    plan.shape = Shape::ROWS;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns.get()); ++i) {
        if (!values_item(PyTuple_GET_ITEM(columns.get(), i), i, plan)) return nullptr;
    }
    Ref builder = fresh_builder(self);
    if (!builder) return nullptr;
    if (!builder_select(builder.get(), columns.get()) || !builder_where(builder.get(), filter) ||
        !add_clauses(builder.get(), clauses, *n)) {
        return discard_builder(self);
    }
    return deliver<Async>(send(self, builder.get(), *n), std::move(plan), "values",
                          qualified<Async>("ModelExecutor.values", "AsyncModelExecutor.values"));
}

template PyObject* count_method<false>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* count_method<true>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* exists_method<false>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* exists_method<true>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* aggregate_method<false>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* aggregate_method<true>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* values_method<false>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template PyObject* values_method<true>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace tsy::exec::reads
