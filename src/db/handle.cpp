// DB: the database handle. One instance per process; it holds the connector
// in use and runs the statements the executors prepare.
#include "handle.hpp"

#include <cstddef>

namespace tsy::db {
namespace {

struct HandleObject {
    PyObject_HEAD
    PyObject* connector;  // NULL until set or first needed
    PyObject* dict;       // instance attributes (lets callers wrap `execute`)
    PyObject* databases;  // dict: registered name -> connector; NULL until the first register()
};

HandleObject* as_handle(PyObject* obj) noexcept { return reinterpret_cast<HandleObject*>(obj); }

// Owned for the life of the process.
PyObject* the_handle = nullptr;

const ConnectorApi* connector_api() noexcept {
    static const ConnectorApi* api = nullptr;
    if (!api) api = import_connector_api();
    return api;
}

PyObject* tp_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        return fail(PyExc_TypeError, "DB() takes no arguments");
    }
    return get_instance();
}

int tp_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_handle(self)->connector);
    Py_VISIT(as_handle(self)->dict);
    Py_VISIT(as_handle(self)->databases);
    return 0;
}

int tp_clear(PyObject* self) noexcept {
    Py_CLEAR(as_handle(self)->connector);
    Py_CLEAR(as_handle(self)->dict);
    Py_CLEAR(as_handle(self)->databases);
    return 0;
}

void tp_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    tp_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// --- methods ----------------------------------------------------------------

const char* const kExecuteNames[] = {"executor", "con"};
const char* const kExecuteSqlNames[] = {"text", "args", "con"};

PyObject* getInstance(PyObject*, PyObject*) noexcept { return get_instance(); }

PyObject* execute_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"execute", kExecuteNames, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    return execute_statement(a[0], a[1]);
}

PyObject* executeSql_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"executeSql", kExecuteSqlNames, 3, 1};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg(a[0], &PyUnicode_Type, "text", false)) return nullptr;
    const ConnectorApi* api = connector_api();
    Ref connector = steal(statement_connector(nullptr, a[2]));  // the connector `con` belongs to
    if (!api || !connector) return nullptr;
    return api->run(connector.get(), a[2], a[0], a[1], RUN_ROWS);
}

PyObject* transaction_method(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("transaction", nargs, kwnames)) return nullptr;
    Ref connector = steal(current_connector());
    if (!connector) return nullptr;
    return call_method(connector.get(), names.transaction).release();
}

// The connector's own scope(): a `with` block on the synchronous connectors,
// `async with` on the coroutine ones.
PyObject* scope_method(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    static PyObject* scope_name = intern("scope");
    if (!no_args("scope", nargs, kwnames) || !scope_name) return nullptr;
    Ref connector = steal(current_connector());
    if (!connector) return nullptr;
    return call_method(connector.get(), scope_name).release();
}

// createTables(*models, ifNotExists=False)
PyObject* createTables_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* guarded = Py_False;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (PyUnicode_CompareWithASCIIString(key, "ifNotExists") != 0) return unexpected_keyword("createTables", key);
        guarded = args[nargs + k];
    }
    int yes = truth(guarded);
    if (yes < 0) return nullptr;
    return create_tables(args, nargs, yes != 0);
}

// checkSchema(*models)
PyObject* checkSchema_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (!no_keywords("checkSchema", kwnames)) return nullptr;
    return check_schema(args, nargs);
}

const char* const kRegisterNames[] = {"name", "connector"};
const char* const kConnectorForNames[] = {"target"};

// register(name, connector): names a further database; None removes the name.
PyObject* register_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"register", kRegisterNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (register_database(self, a[0], a[1]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* connectorFor_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"connectorFor", kConnectorForNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (a[0] == Py_None) return fail(PyExc_TypeError, "connectorFor() needs a model class, a model instance or a "
                                     "registered database name, not None");
    return connector_for(a[0]);
}

PyMethodDef methods[] = {
    {"getInstance", reinterpret_cast<PyCFunction>(getInstance), METH_NOARGS | METH_CLASS,
     "The database handle; every call returns the same object."},
    {"execute", fastkw<execute_method>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, executor, con=None)\n--\n\nrun the executor's pending statement, written in the SQL of "
     "the connector it runs on (the one that opened `con`, else the one of its model's database), and return "
     "what the executor's process makes of the result; with an asynchronous connector, a coroutine resolving "
     "to it."},
    {"executeSql", fastkw<executeSql_method>(), METH_FASTCALL | METH_KEYWORDS,
     "executeSql($self, text, args=(), con=None)\n--\n\nexecuteSql(text, args=(), con=None): run SQL text with \"%s\" placeholders and return the rows "
     "(with an asynchronous connector, a coroutine resolving to them); on `con`, through the connector that "
     "opened it."},
    {"createTables", fastkw<createTables_method>(), METH_FASTCALL | METH_KEYWORDS,
     "createTables($self, /, *models, ifNotExists=False)\n--\n\n"
     "Run TableGenerator(model).Build() of each model class, in the order given but for a table referenced by "
     "a foreign-key constraint, which comes first, then each model's BuildIndexes() (with ifNotExists, as "
     "CREATE TABLE / INDEX IF NOT EXISTS). Every argument is checked and every text rendered before the "
     "first statement runs. Returns None; with an asynchronous connector, a coroutine running the "
     "statements one after the other."},
    {"register", fastkw<register_method>(), METH_FASTCALL | METH_KEYWORDS,
     "register($self, name, connector)\n--\n\n"
     "Name a further database: the models whose class attribute `database` is `name` run their statements "
     "on `connector` (a connector, as DB.connector takes). Registering a name again replaces its connector; "
     "a connector of None removes the name (KeyError when it was not registered)."},
    {"connectorFor", fastkw<connectorFor_method>(), METH_FASTCALL | METH_KEYWORDS,
     "connectorFor($self, target)\n--\n\n"
     "The connector the statements of `target` go to: a model class or instance (its `database`, the handle's "
     "connector when it has none) or a registered database name. KeyError for a name that is not registered."},
    {"checkSchema", fastkw<checkSchema_method>(), METH_FASTCALL | METH_KEYWORDS,
     "checkSchema($self, /, *models)\n--\n\n"
     "The operations (Tessary.Ext.Migrate.Operation) that would bring the connector's database to the "
     "schema of the model classes: an empty list when they agree. Give every model of the database: a "
     "table no model asks for shows as dropped. With an asynchronous connector, a coroutine resolving "
     "to the list."},
    {"transaction", fastkw<transaction_method>(), METH_FASTCALL | METH_KEYWORDS,
     "transaction($self)\n--\n\nwith DB.getInstance().transaction() as con: one transaction on the connector's connection "
     "(`async with` on a pooled connection for an asynchronous connector)."},
    {"scope", fastkw<scope_method>(), METH_FASTCALL | METH_KEYWORDS,
     "scope($self)\n--\n\nwith DB.getInstance().scope(): the connector's scope(), one pooled connection lent to "
     "the calling thread for the block (`async with` on an asynchronous connector, for the task)."},
    {nullptr, nullptr, 0, nullptr},
};

// --- attributes ---------------------------------------------------------------

PyObject* get_connector(PyObject*, void*) noexcept { return current_connector(); }

// Whether `obj` offers attribute `name`, found without running its code: on
// its class (a property counts, unread) or in its own dictionary. Only an
// object that computes its attributes (__getattr__, a module) is asked.
// 1, 0, or -1 on error.
int offers(PyObject* obj, PyObject* name) noexcept {
    if (_PyType_Lookup(Py_TYPE(obj), name)) return 1;
    int own = in_instance_dict(obj, name);
    if (own != 0) return own;
    if (Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) return 0;
    PyObject* found = nullptr;
    int known = PyObject_GetOptionalAttr(obj, name, &found);
    Py_XDECREF(found);
    return known;
}

constexpr const char* kConnectorKinds = "a BaseConnector or an object with isAsync, con_type and getCon";

// What every statement path reads from a connector: isAsync chooses it,
// con_type shapes every INSERT, getCon gives the connection.
bool check_connector(PyObject* value, const char* what) noexcept {
    const ConnectorApi* api = connector_api();
    if (!api) return false;
    if (PyObject_TypeCheck(value, api->BaseConnector) || PyObject_TypeCheck(value, api->AioSqliteConnector) ||
        PyObject_TypeCheck(value, api->AioMysqlConnector)) {
        return true;
    }
    if (PyType_Check(value)) {
        fail(PyExc_TypeError, "%s must be a connector (%s), not the class %.200s", what, kConnectorKinds,
             reinterpret_cast<PyTypeObject*>(value)->tp_name);
        return false;
    }
    for (PyObject* name : {names.isAsync, names.con_type, names.getCon}) {
        int has = offers(value, name);
        if (has < 0) return false;
        if (!has) {
            fail(PyExc_TypeError, "%s must be a connector (%s), not %.200s: it has no %U", what, kConnectorKinds,
                 type_name(value), name);
            return false;
        }
    }
    return true;
}

}  // namespace

bool is_connector(PyObject* value, const char* what) noexcept { return check_connector(value, what); }

PyObject* registered_databases(bool make) noexcept {
    Ref handle = steal(get_instance());
    if (!handle) return nullptr;
    HandleObject* h = as_handle(handle.get());
    if (!h->databases && make) h->databases = PyDict_New();
    return h->databases;
}

namespace {

// None (or deletion) brings back the default at the next use; anything
// else must be a connector, checked before the one in place is let go.
int set_connector(PyObject* self, PyObject* value, void*) noexcept {
    if (value && value != Py_None && !check_connector(value, "DB.connector")) return -1;
    PyObject* stored = value == Py_None ? nullptr : value;
    PyObject* old = as_handle(self)->connector;
    as_handle(self)->connector = Py_XNewRef(stored);
    Py_XDECREF(old);
    return 0;
}

PyGetSetDef getset[] = {
    {"connector", get_connector, set_connector,
     "The connector in use; Sqlite3Connector(\":memory:\") unless another one is set (None brings that "
     "back). Anything but a connector (a BaseConnector or an object with isAsync, con_type and getCon) "
     "is refused with a TypeError.", nullptr},
    {"_connector", get_connector, set_connector, "The same as `connector`.", nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject DBType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.DB.DB",
    .tp_basicsize = sizeof(HandleObject),
    .tp_dealloc = tp_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "DB()\n--\n\nThe database handle: DB.getInstance() returns the one instance.",
    .tp_traverse = tp_traverse,
    .tp_clear = tp_clear,
    .tp_methods = methods,
    .tp_getset = getset,
    .tp_dictoffset = offsetof(HandleObject, dict),
    .tp_new = tp_new,
};

int ready_handle() noexcept { return PyType_Ready(&DBType); }

PyObject* get_instance() noexcept {
    if (!the_handle) {
        the_handle = DBType.tp_alloc(&DBType, 0);
        if (!the_handle) return nullptr;
    }
    return Py_NewRef(the_handle);
}

PyObject* current_connector() noexcept {
    Ref handle = steal(get_instance());
    if (!handle) return nullptr;
    HandleObject* h = as_handle(handle.get());
    if (!h->connector) {
        const ConnectorApi* api = connector_api();
        if (!api) return nullptr;
        Ref memory = steal(PyUnicode_FromString(":memory:"));
        if (!memory) return nullptr;
        Ref fresh = call(reinterpret_cast<PyObject*>(api->Sqlite3Connector), memory.get());
        if (!fresh) return nullptr;
        if (!h->connector) h->connector = fresh.release();
    }
    return Py_NewRef(h->connector);
}

}  // namespace tsy::db
