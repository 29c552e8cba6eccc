// The handle's execute: renders an executor's pending statement, runs it on
// the connector and hands the driver's result to the executor's native
// process.
#include "handle.hpp"

#include "tessary/carrack.hpp"
#include "tessary/generator.hpp"

#include <algorithm>

namespace tsy::db {
namespace {

// Bound at the first statement: the executor module imports this one at its
// own import, so binding it at ours would be circular.
struct Bindings {
    const exec::CarrackApi* carrack = nullptr;
    const gen::GeneratorApi* generator = nullptr;
    const ConnectorApi* connector = nullptr;
};

const Bindings* bindings() noexcept {
    static Bindings b;
    if (!b.connector && !(b.connector = import_connector_api())) return nullptr;
    if (!b.generator && !(b.generator = gen::import_generator_api())) return nullptr;
    if (!b.carrack && !(b.carrack = exec::import_carrack_api())) return nullptr;
    return &b;
}

// (text, args) from the builder's Build(), which may be a Python override.
Ref render(const Bindings& b, PyObject* builder) noexcept {
    bool native = PyObject_TypeCheck(builder, b.generator->BaseSqlGenerator);
    Ref built = native ? steal(b.generator->Build(builder)) : call_method(builder, names.Build);
    if (!built) return {};
    if (!PyTuple_Check(built.get())) return expected_kind("tuple", built.get());
    if (PyTuple_GET_SIZE(built.get()) != 2) {
        return fail(PyExc_ValueError, "Build() must return (sql, args), got a tuple of %zd items",
                    PyTuple_GET_SIZE(built.get()));
    }
    return built;
}

int statement_kind(const Bindings& b, PyObject* builder) noexcept {
    if (!PyObject_TypeCheck(builder, b.generator->BaseSqlGenerator)) return gen::UNSET;
    return reinterpret_cast<gen::BaseGeneratorObject*>(builder)->currentType;
}

int run_mode(int kind) noexcept {
    if (kind == gen::SELECT) return RUN_ROWS;
    if (kind == gen::INSERT) return RUN_KEY;
    if (kind == gen::UPDATE || kind == gen::DELETE) return RUN_COUNT;  // the executor's rowcount
    return RUN_NONE;
}

// The column names of a SELECT whose list differs from the model's whole
// column list (a tuple, new ref), or None when the lists are the same:
// values of such rows must not be taken in the model's column order.
Ref partial_columns(PyObject* model, PyObject* builder) noexcept {
    // Held: the columns' __bool__ and `name` may run Python code that replaces the field.
    Ref held = borrow(reinterpret_cast<gen::SqlGeneratorObject*>(builder)->selectCol);
    PyObject* selected = held.get();
    if (!selected || !PyList_Check(selected)) return borrow(Py_None);
    Ref cols = attr(model, names.col);
    if (!cols) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();  // not a model class: rows go to it as they are
        return borrow(Py_None);
    }
    Ref all = steal(PySequence_Fast(cols.get(), "the model's col is not a sequence"));
    if (!all) return {};
    Py_ssize_t n = PySequence_Fast_GET_SIZE(all.get());
    bool whole = n == PyList_GET_SIZE(selected);
    for (Py_ssize_t i = 0; whole && i < n; ++i) {
        whole = PySequence_Fast_GET_ITEM(all.get(), i) == PyList_GET_ITEM(selected, i);
    }
    if (whole) return borrow(Py_None);
    Ref columns = steal(PyList_New(0));
    if (!columns) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(selected); ++i) {
        Ref column = borrow(PyList_GET_ITEM(selected, i));
        int present = truth(column.get());
        if (present < 0) return {};
        if (!present) continue;  // the builder leaves such entries out of the text
        Ref name = attr(column.get(), names.name);
        if (!name && PyErr_ExceptionMatches(PyExc_AttributeError)) {  // a call or an expression
            PyErr_Clear();
            fail(PyExc_TypeError, "the selected %.200s has no name to key its value in the rows: "
                 "select it with .As(alias)", type_name(column.get()));
        }
        if (!name || PyList_Append(columns.get(), name.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(columns.get()));
}

// Each row as a dict of column name to value.
Ref rows_as_mappings(PyObject* rows, PyObject* names) noexcept {
    Ref seq = steal(PySequence_Fast(rows, "the driver's rows are not a sequence"));
    if (!seq) return {};
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    Ref out = steal(PyList_New(n));
    if (!out) return {};
    Py_ssize_t width = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref row = steal(PySequence_Fast(PySequence_Fast_GET_ITEM(seq.get(), i), "a row is not a sequence"));
        Ref mapping = steal(PyDict_New());
        if (!row || !mapping) return {};
        Py_ssize_t count = std::min(width, PySequence_Fast_GET_SIZE(row.get()));
        for (Py_ssize_t k = 0; k < count; ++k) {
            if (PyDict_SetItem(mapping.get(), PyTuple_GET_ITEM(names, k), PySequence_Fast_GET_ITEM(row.get(), k)) < 0) {
                return {};
            }
        }
        PyList_SET_ITEM(out.get(), i, mapping.release());
    }
    return out;
}

// Asynchronous connectors return awaitables; their path belongs to the
// coroutine executor.
bool refuse_async(PyObject* connector, const Bindings& b) noexcept {
    if (PyObject_TypeCheck(connector, b.connector->BaseConnector)) return false;
    Ref flag = attr(connector, names.isAsync);
    if (!flag) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return true;
        PyErr_Clear();
        return false;
    }
    int yes = truth(flag.get());
    if (yes > 0) fail(PyExc_NotImplementedError, "asynchronous connectors are not supported by the synchronous handle");
    return yes != 0;
}

// The connectors of Tessary.DB.Connector driven by an event loop: their run
// gives an awaitable of the driver's result.
bool is_coroutine_connector(const Bindings& b, PyObject* connector) noexcept {
    return PyObject_TypeCheck(connector, b.connector->AioSqliteConnector) ||
           PyObject_TypeCheck(connector, b.connector->AioMysqlConnector);
}

}  // namespace

PyObject* execute_statement(PyObject* executor, PyObject* con) noexcept {
    const Bindings* b = bindings();
    if (!b) return nullptr;
    if (!check_arg(executor, b->carrack->BaseModelExecutor, "executor", false)) return nullptr;
    if (!exec::executor_ready(executor)) return not_initialised(executor);
    auto* ex = reinterpret_cast<exec::ExecutorObject*>(executor);
    // Held: process and Python overrides may replace the executor's fields.
    Ref builder = borrow(ex->sql);
    Ref model = borrow(ex->model);
    // The statement is written in the SQL of the connection it runs on.
    Ref connector = steal(statement_connector(model.get(), con));
    if (!connector) return nullptr;
    Ref built;
    {
        PyObject* previous = swap_rendering(connector.get());
        built = render(*b, builder.get());
        swap_rendering(previous);
    }
    if (!built) return nullptr;
    int kind = statement_kind(*b, builder.get());
    Ref names = kind == gen::SELECT ? partial_columns(model.get(), builder.get()) : borrow(Py_None);
    if (!names) return nullptr;
    bool awaited = is_coroutine_connector(*b, connector.get());
    if (!awaited && refuse_async(connector.get(), *b)) return nullptr;
    Ref result = steal(b->connector->run(connector.get(), con, PyTuple_GET_ITEM(built.get(), 0),
                                          PyTuple_GET_ITEM(built.get(), 1), run_mode(kind)));
    if (!result) return nullptr;
    if (awaited) return await_statement(executor, std::move(result), std::move(names));
    // Python code called meanwhile (the connector, a Build override) that
    // re-ran the executor's __init__ or gave it another builder: its rows
    // would be read as the new builder's statement.
    if (ex->sql != builder.get()) {
        return fail(PyExc_RuntimeError, "%.200s's statement builder was replaced while its statement ran",
                    _PyType_Name(Py_TYPE(executor)));
    }
    return finish_statement(executor, result.get(), names.get());
}

PyObject* finish_statement(PyObject* executor, PyObject* result, PyObject* names) noexcept {
    const Bindings* b = bindings();
    if (!b) return nullptr;
    Ref rows = names != Py_None ? rows_as_mappings(result, names) : borrow(result);
    if (!rows) return nullptr;
    return b->carrack->process(executor, rows.get());
}

}  // namespace tsy::db
