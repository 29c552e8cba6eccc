// Several databases in one process: the names register() gives further
// connectors, the connector a model's statements go to (its `database`
// class attribute), the connector a given connection belongs to, and the
// connector whose SQL the statement being rendered is written in.
#include "handle.hpp"

#include "tessary/model.hpp"

namespace tsy::db {
namespace {

const ConnectorApi* connectors() noexcept {
    static const ConnectorApi* api = nullptr;
    if (!api) api = import_connector_api();
    return api;
}

// The connector the statement being rendered on this thread runs on:
// borrowed, its owner (a RenderingOn of the caller) keeps it alive.
thread_local PyObject* rendering = nullptr;

Failure unknown_database(PyObject* name) noexcept {
    Ref message = steal(PyUnicode_FromFormat(
        "no database is registered as %R: DB.getInstance().register(%R, connector) names it", name, name));
    if (message) PyErr_SetObject(PyExc_KeyError, message.get());
    return {};
}

// The connector registered under `name` (new ref), KeyError when none is.
PyObject* named_connector(PyObject* name) noexcept {
    PyObject* registry = registered_databases(false);
    if (!registry && PyErr_Occurred()) return nullptr;
    PyObject* found = nullptr;
    if (registry && PyDict_GetItemRef(registry, name, &found) < 0) return nullptr;
    if (!found) return unknown_database(name);
    return found;
}

// A model class's `database`, a plain class attribute: found in the class
// dictionaries of its MRO (cached by the interpreter) without the class's
// attribute hook, which would try to resolve pending relations on every
// statement of a model that declares none. `*out` a new ref, NULL when
// absent; -1 on error.
int declared_database(PyObject* model, PyObject** out) noexcept {
    if (PyType_Check(model)) {
        *out = Py_XNewRef(_PyType_Lookup(reinterpret_cast<PyTypeObject*>(model), names.database));
        return 0;
    }
    return PyObject_GetOptionalAttr(model, names.database, out) < 0 ? -1 : 0;
}

// A model's `database`: a str, or None / absent for the handle's connector.
PyObject* model_connector(PyObject* model) noexcept {
    PyObject* declared = nullptr;
    if (declared_database(model, &declared) < 0) return nullptr;
    Ref held = steal(declared);
    if (!declared || declared == Py_None) return current_connector();
    if (!PyUnicode_Check(declared)) {
        return fail(PyExc_TypeError, "%.200s.database must be a str naming a registered database, not %.200s",
                    PyType_Check(model) ? reinterpret_cast<PyTypeObject*>(model)->tp_name : type_name(model),
                    type_name(declared));
    }
    return named_connector(declared);
}

// The kind of SQL (DialectKind) `connector` writes, on `con` when given.
int sql_kind(PyObject* connector, PyObject* con) noexcept {
    Dialect d{};
    if (connectors()->dialect(connector, con, DIALECT_NO_SERVER, &d) < 0) return -1;
    return d.kind;
}

// Every connector the handle knows: its own, then the registered ones.
Ref known_connectors() noexcept {
    Ref own = steal(current_connector());
    if (!own) return {};
    Ref all = steal(PyList_New(0));
    if (!all || PyList_Append(all.get(), own.get()) < 0) return {};
    PyObject* registry = registered_databases(false);
    if (!registry) return PyErr_Occurred() ? Ref() : std::move(all);
    Ref values = steal(PyDict_Values(registry));
    if (!values) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values.get()); ++i) {
        if (PyList_Append(all.get(), PyList_GET_ITEM(values.get(), i)) < 0) return {};
    }
    return all;
}

// A connection no connector claims (a driver's connection opened by the
// application, or one of a connector outside this package): the model's
// connector when the connection takes its SQL (or cannot tell), else the
// first known connector of the connection's SQL.
PyObject* connector_by_kind(PyObject* chosen, PyObject* con, PyObject* known) noexcept {
    int wanted = sql_kind(chosen, con);
    int own = wanted < 0 ? -1 : sql_kind(chosen, nullptr);
    if (own < 0) return nullptr;
    if (wanted == own) return Py_NewRef(chosen);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(known); ++i) {
        Ref candidate = borrow(PyList_GET_ITEM(known, i));
        int kind = sql_kind(candidate.get(), nullptr);
        if (kind < 0) return nullptr;
        if (kind == wanted) return candidate.release();
    }
    return fail(PyExc_ValueError, "the connection %.200R belongs to no connector the handle knows: give its "
                "connector a name with DB.getInstance().register(name, connector)", con);
}

}  // namespace

PyObject* connector_for(PyObject* target) noexcept {
    if (!target || target == Py_None) return current_connector();
    if (PyUnicode_Check(target)) return named_connector(target);
    static const model::ModelApi* models = nullptr;  // the model layer imports this module: bound at first use
    if (!models && !(models = model::import_model_api())) return nullptr;
    if (PyObject_TypeCheck(target, models->ModelMeta)) return model_connector(target);
    if (PyObject_TypeCheck(target, models->ModelInstance)) {
        // An instance's model class is its `object`.
        Ref cls = attr(target, names.object);
        if (!cls) return nullptr;
        if (PyObject_TypeCheck(cls.get(), models->ModelMeta)) return model_connector(cls.get());
    }
    return fail(PyExc_TypeError, "connectorFor() takes a model class, a model instance or a database name (a str), "
                "not %.200s", type_name(target));
}

PyObject* model_statement_connector(PyObject* model) noexcept {
    if (!model || model == Py_None) return current_connector();
    return model_connector(model);
}

PyObject* statement_connector(PyObject* model, PyObject* con) noexcept {
    Ref chosen = steal(model_statement_connector(model));
    if (!chosen || !con || con == Py_None) return chosen.release();
    const ConnectorApi* api = connectors();
    if (!api) return nullptr;
    if (api->owns_connection(chosen.get(), con)) return chosen.release();
    Ref known = known_connectors();
    if (!known) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(known.get()); ++i) {
        PyObject* candidate = PyList_GET_ITEM(known.get(), i);
        if (api->owns_connection(candidate, con)) return Py_NewRef(candidate);
    }
    return connector_by_kind(chosen.get(), con, known.get());
}

PyObject* rendering_connector(PyObject* model) noexcept {
    if (rendering) return Py_NewRef(rendering);
    return model_statement_connector(model);
}

PyObject* swap_rendering(PyObject* connector) noexcept {
    PyObject* previous = rendering;
    rendering = connector;
    return previous;
}

int register_database(PyObject*, PyObject* name, PyObject* connector) noexcept {
    if (!PyUnicode_Check(name)) {
        return fail(PyExc_TypeError, "register() needs a str database name, not %.200s", type_name(name));
    }
    if (PyUnicode_GET_LENGTH(name) == 0) return fail(PyExc_ValueError, "register() needs a non-empty database name");
    if (connector != Py_None && !is_connector(connector, "register()'s connector")) return -1;
    PyObject* registry = registered_databases(true);
    if (!registry) return -1;
    if (connector != Py_None) return PyDict_SetItem(registry, name, connector);
    int removed = PyDict_Pop(registry, name, nullptr);
    if (removed == 0) return unknown_database(name);
    return removed < 0 ? -1 : 0;
}

}  // namespace tsy::db
