// diff(*models, connector=None) and the handle's checkSchema(*models): the
// operations from a connector's database to the schema of the models. A
// synchronous connector answers at once; a coroutine connector gives an
// awaitable, its live schema read by the awaitable of inspect().
#include "diff.hpp"

#include "tessary/coro.hpp"
#include "tessary/db.hpp"
#include "tessary/model.hpp"

#include <algorithm>

namespace tsy::migrate {
namespace {

// The other modules' interfaces, bound at the first call (each imports this
// module's neighbours, never this one).
const model::ModelApi* model_api() noexcept {
    static const model::ModelApi* api = nullptr;
    if (!api) api = model::import_model_api();
    return api;
}

const db::DbApi* db_api() noexcept {
    static const db::DbApi* api = nullptr;
    if (!api) api = db::import_db_api();
    return api;
}

const db::ConnectorApi* connector_api() noexcept {
    static const db::ConnectorApi* api = nullptr;
    if (!api) api = db::import_connector_api();
    return api;
}

bool check_models(const char* func, PyObject* const* models, Py_ssize_t count) noexcept {
    const model::ModelApi* api = model_api();
    if (!api) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* m = models[i];
        if (PyObject_TypeCheck(m, api->ModelMeta)) continue;
        if (PyType_Check(m)) {
            fail(PyExc_TypeError, "%s() argument %zd must be a model class, not the class %.200s", func, i + 1,
                 reinterpret_cast<PyTypeObject*>(m)->tp_name);
        } else {
            fail(PyExc_TypeError, "%s() argument %zd must be a model class, not %.200s", func, i + 1, type_name(m));
        }
        return false;
    }
    return true;
}

// `connector`, or the handle's when it is NULL or None.
Ref connector_or_handles(PyObject* connector) noexcept {
    if (connector && connector != Py_None) return borrow(connector);
    const db::DbApi* api = db_api();
    if (!api) return {};
    return steal(api->connector());
}

// 1 when the connector's statements give awaitables, 0 when not, -1 on error.
int is_coroutine(PyObject* connector) noexcept {
    const db::ConnectorApi* api = connector_api();
    if (!api) return -1;
    db::Dialect dialect;
    if (api->dialect(connector, nullptr, db::DIALECT_NO_SERVER, &dialect) < 0) return -1;
    return dialect.coroutine != 0;
}

// The operations from `live` to the models' schema, as a list of Operation.
PyObject* diff_to_list(const SchemaSpec& live, PyObject* const* models, Py_ssize_t count,
                       PyObject* connector) noexcept {
    SchemaSpec wanted;
    std::vector<Operation> ops;
    if (!model_schema(models, count, live.engine, connector, wanted) || !diff_schemas(live, wanted, ops)) {
        return nullptr;
    }
    Ref list = steal(PyList_New(static_cast<Py_ssize_t>(ops.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < ops.size(); ++i) {
        Ref item = operation_to_py(std::move(ops[i]));
        if (!item) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
}

// The schema of what inspect() gave (a dict of Table), sorted by name like
// inspect_sync's.
bool schema_of_tables(PyObject* tables, Engine engine, SchemaSpec& out) noexcept {
    if (!PyDict_Check(tables)) {
        expected_kind("dict", tables);
        return false;
    }
    try {
        out.engine = engine;
        Py_ssize_t pos = 0;
        PyObject *name, *table;
        while (PyDict_Next(tables, &pos, &name, &table)) {
            TableSpec spec;
            if (!table_from_py(table, spec)) return false;
            out.tables.push_back(std::move(spec));
        }
        std::sort(out.tables.begin(), out.tables.end(),
                  [](const TableSpec& a, const TableSpec& b) { return a.name < b.name; });
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

coro::Task diff_when_inspected(Ref models, Ref connector, Ref inspecting, Engine engine) {
    Ref tables = co_await coro::await(std::move(inspecting));
    if (!tables) co_return nullptr;
    SchemaSpec live;
    if (!schema_of_tables(tables.get(), engine, live)) co_return nullptr;
    co_return steal(diff_to_list(live, &PyTuple_GET_ITEM(models.get(), 0), PyTuple_GET_SIZE(models.get()),
                                 connector.get()));
}

PyObject* diff_on_coroutine_connector(PyObject* const* models, Py_ssize_t count, Ref connector,
                                      Engine engine) noexcept {
    if (!coro::import_coro_api()) return nullptr;
    Ref inspect = import_attr("Tessary.Ext.Migrate", "inspect");
    if (!inspect) return nullptr;
    Ref inspecting = call(inspect.get(), connector.get());
    Ref kept = steal(PyTuple_New(count));
    if (!inspecting || !kept) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(kept.get(), i, Py_NewRef(models[i]));
    return coro::make_coroutine(diff_when_inspected(std::move(kept), std::move(connector), std::move(inspecting),
                                                    engine),
                                "diff", "diff");
}

const char* const kDiffNames[] = {"connector"};

// diff(*models, connector=None)
PyObject* diff_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{"diff", kDiffNames, 1, 0};
    PyObject* connector = nullptr;
    if (!parse(params, args + nargs, 0, kwnames, &connector)) return nullptr;
    return diff_models("diff", args, nargs, connector);
}

PyMethodDef functions[] = {
    {"diff", fastkw<diff_function>(), METH_FASTCALL | METH_KEYWORDS,
     "diff($module, /, *models, connector=None)\n--\n\n"
     "The operations that bring the database of `connector` (None: the handle's) to the schema of the "
     "model classes, in an order that runs: a list of Operation, empty when they agree; with a coroutine "
     "connector, an awaitable resolving to it. Give every model of the database: a table no model asks "
     "for is dropped."},
    {"_inverse", inverse_function, METH_O,
     "_inverse($module, operation, /)\n--\n\nThe Operation that undoes `operation` (ValueError for a data step)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* diff_models(const char* func, PyObject* const* models, Py_ssize_t count, PyObject* connector) noexcept {
    if (!check_models(func, models, count)) return nullptr;
    Ref target = connector_or_handles(connector);
    if (!target) return nullptr;
    std::optional<Engine> engine = engine_of(target.get());
    if (!engine) return nullptr;
    int awaitable = is_coroutine(target.get());
    if (awaitable < 0) return nullptr;
    if (awaitable) return diff_on_coroutine_connector(models, count, std::move(target), *engine);
    SchemaSpec live;
    if (!inspect_sync(target.get(), live)) return nullptr;
    return diff_to_list(live, models, count, target.get());
}

PyObject* check_schema(PyObject* const* models, Py_ssize_t count, PyObject* connector) noexcept {
    return diff_models("checkSchema", models, count, connector);
}

int add_diff(PyObject* module) noexcept {
    if (add_type(module, &OperationType, "Operation") < 0) return -1;
    return PyModule_AddFunctions(module, functions);
}

}  // namespace tsy::migrate
