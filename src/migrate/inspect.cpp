// inspect() and modelSchema(): the live schema of a connector's database and
// the schema of model classes, as dicts of table name -> Table. On a
// coroutine connector both give awaitables; inspect's statements then run on
// the connector's loop one after the other.
#include "inspect.hpp"

#include "tessary/coro.hpp"
#include "tessary/db.hpp"

#include <algorithm>
#include <tuple>

namespace tsy::migrate {
namespace {

struct Bindings {
    const db::ConnectorApi* connector = nullptr;
    const db::DbApi* db = nullptr;
};

const Bindings* bindings() noexcept {
    static Bindings b;
    if (!b.connector && !(b.connector = db::import_connector_api())) return nullptr;
    if (!b.db && !(b.db = db::import_db_api())) return nullptr;
    return &b;
}

bool read_dialect(PyObject* connector, db::Dialect& out) noexcept {
    const Bindings* b = bindings();
    return b && b->connector->dialect(connector, nullptr, db::DIALECT_NO_SERVER, &out) == 0;
}

// `connector`, or the handle's when it is NULL or None (new reference). A
// connector is one of the package's or any object with getCon(), as the
// handle takes them.
Ref connector_or_handles(const char* func, PyObject* connector) noexcept {
    const Bindings* b = bindings();
    if (!b) return {};
    if (!connector || connector == Py_None) return steal(b->db->connector());
    if (PyObject_TypeCheck(connector, b->connector->BaseConnector)) return borrow(connector);
    int usable = PyObject_HasAttrStringWithError(connector, "getCon");
    if (usable < 0) return {};
    if (!usable) {
        return fail(PyExc_TypeError, "%s() argument 'connector' must be a connector or None, not %.200s", func,
                    type_name(connector));
    }
    return borrow(connector);
}

const std::vector<const char*>& queries_of(Engine engine) noexcept {
    return engine == Engine::Mysql ? mysql_inspect_queries() : sqlite_inspect_queries();
}

bool build_schema(Engine engine, const std::vector<Ref>& results, SchemaSpec& out) noexcept {
    return engine == Engine::Mysql ? build_mysql_schema(results, out) : build_sqlite_schema(results, out);
}

Ref run_query(PyObject* connector, const char* sql) noexcept {
    const Bindings* b = bindings();
    if (!b) return {};
    Ref text = steal(PyUnicode_FromString(sql));
    if (!text) return {};
    return steal(b->connector->run(connector, nullptr, text.get(), Py_None, db::RUN_ROWS));
}

Ref schema_to_dict(const SchemaSpec& schema) noexcept {
    Ref dict = steal(PyDict_New());
    if (!dict) return {};
    for (const auto& t : schema.tables) {
        Ref table = table_to_py(t);
        if (!table) return {};
        if (PyDict_SetItemString(dict.get(), t.name.c_str(), table.get()) < 0) return {};
    }
    return dict;
}

// The rows of every inspecting statement, awaited one after the other, then
// the schema they describe. `rows` keeps the results visible to the collector.
coro::Task inspect_on_loop(Ref connector, Ref rows) {
    auto engine = engine_of(connector.get());
    if (!engine) co_return nullptr;
    for (const char* sql : queries_of(*engine)) {
        Ref done = co_await coro::await(run_query(connector.get(), sql));
        if (!done || PyList_Append(rows.get(), done.get()) < 0) co_return nullptr;
    }
    std::vector<Ref> results;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(rows.get()); ++i) results.push_back(borrow(PyList_GET_ITEM(rows.get(), i)));
    SchemaSpec schema;
    if (!build_schema(*engine, results, schema)) co_return nullptr;
    co_return schema_to_dict(schema);
}

coro::Task already_done(Ref value) { co_return value; }

// -- the module's functions --------------------------------------------------------------------

const char* const kInspectParams[] = {"connector"};

PyObject* inspect_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"inspect", kInspectParams, 1, 0};
    PyObject* given;
    if (!parse(params, args, nargs, kwnames, &given)) return nullptr;
    Ref connector = connector_or_handles("inspect", given);
    if (!connector) return nullptr;
    db::Dialect dialect;
    if (!read_dialect(connector.get(), dialect)) return nullptr;
    if (dialect.coroutine) {
        Ref rows = steal(PyList_New(0));
        if (!rows) return nullptr;
        return coro::make_coroutine(inspect_on_loop(std::move(connector), std::move(rows)), "inspect");
    }
    SchemaSpec schema;
    if (!inspect_sync(connector.get(), schema)) return nullptr;
    return schema_to_dict(schema).release();
}

PyObject* model_schema_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* given = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_CompareWithASCIIString(key, "connector") != 0) return unexpected_keyword("modelSchema", key);
        given = args[nargs + k];
    }
    Ref connector = connector_or_handles("modelSchema", given);
    if (!connector) return nullptr;
    db::Dialect dialect;
    if (!read_dialect(connector.get(), dialect)) return nullptr;
    SchemaSpec schema;
    Engine engine = dialect.kind == db::DIALECT_MYSQL ? Engine::Mysql : Engine::Sqlite;
    if (!model_schema(args, nargs, engine, connector.get(), schema)) return nullptr;
    Ref dict = schema_to_dict(schema);
    if (!dict) return nullptr;
    if (dialect.coroutine) return coro::make_coroutine(already_done(std::move(dict)), "modelSchema");
    return dict.release();
}

PyMethodDef functions[] = {
    {"inspect", fastkw<inspect_function>(), METH_FASTCALL | METH_KEYWORDS,
     "inspect($module, /, connector=None)\n--\n\n"
     "The live schema of the connector's database (the handle's connector when None): a dict of table name -> "
     "Table, sorted by name, SQLite's own tables and tessary_migrations left out. An awaitable of it on a "
     "coroutine connector."},
    {"modelSchema", fastkw<model_schema_function>(), METH_FASTCALL | METH_KEYWORDS,
     "modelSchema($module, /, *models, connector=None)\n--\n\n"
     "The schema the model classes ask for on the connector's database, as inspect() reads it once "
     "createTables(*models) has made it: a dict of table name -> Table in dependency order (a referenced "
     "table first), the junction models of many-to-many relations included. An awaitable of it on a coroutine "
     "connector."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// -- rows -------------------------------------------------------------------------------------------

namespace {

PyObject* cell(PyObject* row, Py_ssize_t i) noexcept {
    if (!PySequence_Check(row)) {
        fail(PyExc_TypeError, "inspect: a row is not a sequence (%.200s)", type_name(row));
        return nullptr;
    }
    return PySequence_GetItem(row, i);
}

}  // namespace

bool row_text(PyObject* row, Py_ssize_t i, std::optional<std::string>& out) noexcept {
    Ref value = steal(cell(row, i));
    if (!value) return false;
    if (value.get() == Py_None) {
        out.reset();
        return true;
    }
    if (PyBytes_Check(value.get()) || PyByteArray_Check(value.get())) {
        value = steal(PyUnicode_FromEncodedObject(value.get(), "utf-8", "strict"));
        if (!value) return false;
    }
    if (!PyUnicode_Check(value.get())) {
        value = steal(PyObject_Str(value.get()));
        if (!value) return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (!text) return false;
    out.emplace(text, static_cast<std::size_t>(size));
    return true;
}

bool row_text(PyObject* row, Py_ssize_t i, std::string& out) noexcept {
    std::optional<std::string> text;
    if (!row_text(row, i, text)) return false;
    out = text.value_or(std::string());
    return true;
}

bool row_int(PyObject* row, Py_ssize_t i, long long& out) noexcept {
    Ref value = steal(cell(row, i));
    if (!value) return false;
    if (value.get() == Py_None) {
        out = 0;
        return true;
    }
    Ref number = steal(PyNumber_Long(value.get()));
    if (!number) return false;
    out = PyLong_AsLongLong(number.get());
    return !(out == -1 && PyErr_Occurred());
}

void order_keys(TableSpec& table) {
    std::sort(table.indexes.begin(), table.indexes.end(), [](const IndexSpec& a, const IndexSpec& b) {
        return std::tie(a.name, a.columns) < std::tie(b.name, b.columns);
    });
    std::sort(table.foreign_keys.begin(), table.foreign_keys.end(), [](const ForeignKeySpec& a, const ForeignKeySpec& b) {
        return std::tie(a.name, a.columns) < std::tie(b.name, b.columns);
    });
}

void sort_tables(SchemaSpec& schema) {
    std::sort(schema.tables.begin(), schema.tables.end(),
              [](const TableSpec& a, const TableSpec& b) { return a.name < b.name; });
    for (auto& t : schema.tables) order_keys(t);
}

std::optional<Engine> engine_of(PyObject* connector) noexcept {
    db::Dialect dialect;
    if (!read_dialect(connector, dialect)) return std::nullopt;
    return dialect.kind == db::DIALECT_MYSQL ? Engine::Mysql : Engine::Sqlite;
}

bool inspect_sync(PyObject* connector, SchemaSpec& out) noexcept {
    auto engine = engine_of(connector);
    if (!engine) return false;
    try {
        std::vector<Ref> results;
        for (const char* sql : queries_of(*engine)) {
            Ref rows = run_query(connector, sql);
            if (!rows) return false;
            results.push_back(std::move(rows));
        }
        return build_schema(*engine, results, out);
    } catch (...) {
        translate_exception();
        return false;
    }
}

int add_inspect(PyObject* module) noexcept {
    if (!coro::import_coro_api()) return -1;
    if (add_schema_types(module) < 0) return -1;
    return PyModule_AddFunctions(module, functions);
}

}  // namespace tsy::migrate
