// The handle's createTables: each model's CREATE TABLE statement, as
// TableGenerator(model).Build() writes it, in dependency order (a table
// referenced by a foreign-key constraint first, see table_order.cpp), then
// the constraints a cycle deferred, then every model's CREATE INDEX
// statements. Every model is checked and every text rendered before the
// first statement runs, so a wrong argument or a model that cannot be
// rendered creates nothing.
#include "handle.hpp"
#include "table_order.hpp"

#include "tessary/coro.hpp"
#include "tessary/generator.hpp"
#include "tessary/model.hpp"

#include <algorithm>
#include <vector>

namespace tsy::db {
namespace {

// Bound at the first call: the model and generator modules import this one.
struct Bindings {
    const model::ModelApi* model = nullptr;
    const gen::GeneratorApi* generator = nullptr;
    const ConnectorApi* connector = nullptr;
};

const Bindings* bindings() noexcept {
    static Bindings b;
    if (!b.connector && !(b.connector = import_connector_api())) return nullptr;
    if (!b.model && !(b.model = model::import_model_api())) return nullptr;
    if (!b.generator && !(b.generator = gen::import_generator_api())) return nullptr;
    return &b;
}

bool check_models(const Bindings& b, PyObject* const* models, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* m = models[i];
        if (PyObject_TypeCheck(m, b.model->ModelMeta)) continue;
        if (PyType_Check(m)) {
            fail(PyExc_TypeError, "createTables() argument %zd must be a model class, not the class %.200s", i + 1,
                 reinterpret_cast<PyTypeObject*>(m)->tp_name);
        } else {
            fail(PyExc_TypeError, "createTables() argument %zd must be a model class, not %.200s", i + 1,
                 type_name(m));
        }
        return false;
    }
    return true;
}

// `text` with `guarded` in place of its beginning `plain` ("CREATE TABLE "
// becomes "CREATE TABLE IF NOT EXISTS "); a text not starting so is an error.
Ref replace_start(PyObject* text, const char* plain, const char* guarded) noexcept {
    Ref start = steal(PyUnicode_FromString(plain));
    if (!start) return {};
    Py_ssize_t length = PyUnicode_GET_LENGTH(start.get());
    Py_ssize_t starts = PyUnicode_Tailmatch(text, start.get(), 0, length, -1);
    if (starts < 0) return {};
    if (!starts) return fail(PyExc_ValueError, "TableGenerator's text %R does not start with \"%s\"", text, plain);
    Ref rest = steal(PyUnicode_Substring(text, length, PyUnicode_GET_LENGTH(text)));
    Ref replaced = steal(PyUnicode_FromString(guarded));
    if (!rest || !replaced) return {};
    return steal(PyUnicode_Concat(replaced.get(), rest.get()));
}

Ref if_not_exists(PyObject* text) noexcept {
    return replace_start(text, "CREATE TABLE ", "CREATE TABLE IF NOT EXISTS ");
}

Ref index_if_not_exists(PyObject* text) noexcept {
    Ref unique = steal(PyUnicode_FromString("CREATE UNIQUE INDEX "));
    if (!unique) return {};
    Py_ssize_t is_unique = PyUnicode_Tailmatch(text, unique.get(), 0, PyUnicode_GET_LENGTH(unique.get()), -1);
    if (is_unique < 0) return {};
    if (is_unique) return replace_start(text, "CREATE UNIQUE INDEX ", "CREATE UNIQUE INDEX IF NOT EXISTS ");
    return replace_start(text, "CREATE INDEX ", "CREATE INDEX IF NOT EXISTS ");
}

// "... FOREIGN KEY IF NOT EXISTS (...": MariaDB's form that leaves an
// existing constraint of the name alone.
Ref constraint_if_not_exists(PyObject* text) noexcept {
    Ref plain = steal(PyUnicode_FromString(" FOREIGN KEY ("));
    Ref guarded = steal(PyUnicode_FromString(" FOREIGN KEY IF NOT EXISTS ("));
    if (!plain || !guarded) return {};
    return steal(PyUnicode_Replace(text, plain.get(), guarded.get(), 1));
}

bool append_text(PyObject* list, PyObject* text, Ref (*guard)(PyObject*)) noexcept {
    if (!PyUnicode_Check(text)) {
        expected_kind("str", text);
        return false;
    }
    Ref written = guard ? guard(text) : borrow(text);
    return written && PyList_Append(list, written.get()) == 0;
}

// The texts of one CREATE TABLE: the statement (to `creates`) and the ALTER
// TABLE statements of the constraints it defers (to `alters`).
bool render_table(const Bindings& b, const TableStep& step, bool guarded, PyObject* creates,
                  PyObject* alters) noexcept {
    Ref generator = call(reinterpret_cast<PyObject*>(b.generator->TableGenerator), step.model);
    if (!generator) return false;
    Ref built = step.deferred ? call_method(generator.get(), names.buildDeferring, step.deferred.get())
                              : steal(b.generator->Build(generator.get()));
    if (!built) return false;
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) < 1) {
        expected_kind("tuple", built.get());
        return false;
    }
    if (!append_text(creates, PyTuple_GET_ITEM(built.get(), 0), guarded ? if_not_exists : nullptr)) return false;
    if (!step.deferred) return true;
    PyObject* deferred = PyTuple_GET_ITEM(built.get(), 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(deferred); ++i) {
        if (!append_text(alters, PyTuple_GET_ITEM(deferred, i), guarded ? constraint_if_not_exists : nullptr)) {
            return false;
        }
    }
    return true;
}

bool render_indexes(const Bindings& b, PyObject* model, bool guarded, PyObject* out) noexcept {
    Ref generator = call(reinterpret_cast<PyObject*>(b.generator->TableGenerator), model);
    Ref texts = generator ? call_method(generator.get(), names.BuildIndexes) : Ref();
    if (!texts) return false;
    if (!PyTuple_Check(texts.get())) {
        expected_kind("tuple", texts.get());
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts.get()); ++i) {
        if (!append_text(out, PyTuple_GET_ITEM(texts.get(), i), guarded ? index_if_not_exists : nullptr)) return false;
    }
    return true;
}

// MariaDB checks that a referenced table exists when a constraint is made;
// SQLite does not (con_type 0 is MySQL and MariaDB). -1 on error.
int checks_references(PyObject* connector) noexcept {
    Ref type = attr(connector, names.con_type);
    int code = 0;
    if (!type || !to_int(type.get(), &code)) return -1;
    return code == 0;
}

// Every statement text: the tables in dependency order, the deferred
// constraints, the indexes (a tuple).
Ref render_all(const Bindings& b, PyObject* connector, PyObject* const* models, Py_ssize_t count,
               bool guarded) noexcept {
    int defers = checks_references(connector);
    if (defers < 0) return {};
    std::vector<TableStep> order;
    if (!order_tables(models, count, defers != 0, order)) return {};
    Ref texts = steal(PyList_New(0));
    Ref alters = steal(PyList_New(0));
    if (!texts || !alters) return {};
    for (const TableStep& step : order) {
        if (!render_table(b, step, guarded, texts.get(), alters.get())) return {};
    }
    if (PyList_SetSlice(texts.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, alters.get()) < 0) return {};
    for (const TableStep& step : order) {
        if (!render_indexes(b, step.model, guarded, texts.get())) return {};
    }
    return steal(PyList_AsTuple(texts.get()));
}

bool is_coroutine_connector(const Bindings& b, PyObject* connector) noexcept {
    return PyObject_TypeCheck(connector, b.connector->AioSqliteConnector) ||
           PyObject_TypeCheck(connector, b.connector->AioMysqlConnector);
}

// The models of one database and the texts that create their tables there.
struct Database {
    Ref connector;
    std::vector<PyObject*> models;  // borrowed from the call's arguments
    Ref texts;                      // tuple, once rendered
};

// The models grouped by the connector their statements go to, the groups in
// the order their first model was given.
bool group_by_database(PyObject* const* models, Py_ssize_t count, std::vector<Database>& out) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref connector = steal(model_statement_connector(models[i]));
        if (!connector) return false;
        auto same = [&](const Database& d) { return d.connector.get() == connector.get(); };
        auto found = std::find_if(out.begin(), out.end(), same);
        if (found == out.end()) found = out.insert(out.end(), Database{std::move(connector), {}, {}});
        found->models.push_back(models[i]);
    }
    return true;
}

// Renders a group's texts in its connector's SQL.
bool render_database(const Bindings& b, Database& d, bool guarded) noexcept {
    PyObject* previous = swap_rendering(d.connector.get());
    d.texts = render_all(b, d.connector.get(), d.models.data(), static_cast<Py_ssize_t>(d.models.size()), guarded);
    swap_rendering(previous);
    return static_cast<bool>(d.texts);
}

Ref run_text(const Bindings& b, PyObject* connector, PyObject* text) noexcept {
    return steal(b.connector->run(connector, nullptr, text, Py_None, RUN_NONE));
}

// One statement after the other, database after database: the next starts
// once the last has completed (a synchronous connector's at once).
coro::Task run_in_order(std::vector<Database> databases) {
    const Bindings* b = bindings();
    if (!b) co_return nullptr;
    for (const Database& d : databases) {
        bool awaited = is_coroutine_connector(*b, d.connector.get());
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(d.texts.get()); ++i) {
            Ref done = run_text(*b, d.connector.get(), PyTuple_GET_ITEM(d.texts.get(), i));
            if (done && awaited) done = co_await coro::await(std::move(done));
            if (!done) co_return nullptr;
        }
    }
    co_return borrow(Py_None);
}

}  // namespace

PyObject* create_tables(PyObject* const* models, Py_ssize_t count, bool guarded) noexcept {
    const Bindings* b = bindings();
    if (!b || !check_models(*b, models, count)) return nullptr;
    std::vector<Database> databases;
    if (count == 0) {
        Ref connector = steal(current_connector());
        if (!connector) return nullptr;
        databases.push_back(Database{std::move(connector), {}, {}});
    } else if (!group_by_database(models, count, databases)) {
        return nullptr;
    }
    bool any_coroutine = false;
    for (Database& d : databases) {
        if (!render_database(*b, d, guarded)) return nullptr;
        any_coroutine = any_coroutine || is_coroutine_connector(*b, d.connector.get());
    }
    if (any_coroutine) {
        if (!coro::import_coro_api()) return nullptr;
        return coro::make_coroutine(run_in_order(std::move(databases)), "createTables", "DB.createTables");
    }
    for (const Database& d : databases) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(d.texts.get()); ++i) {
            if (!run_text(*b, d.connector.get(), PyTuple_GET_ITEM(d.texts.get(), i))) return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace tsy::db
