// Running a plan on a synchronous connector, as the migration runner does and
// as plan() lists it: SQLite's foreign keys turned off around a plan holding
// a table rebuild (the pragma does nothing inside a transaction, so it goes
// around it), PRAGMA foreign_key_check after each rebuild, the statements in
// one transaction of the connector.
#include "plan.hpp"

#include "tessary/db.hpp"

namespace tsy::migrate {

namespace {

constexpr const char* kForeignKeyCheck = "PRAGMA foreign_key_check";

const db::ConnectorApi* connector_api() noexcept {
    static const db::ConnectorApi* api = nullptr;
    if (!api) api = db::import_connector_api();
    return api;
}

Ref text(std::string_view s) noexcept {
    return steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

// Fails with MigrationError when the foreign keys of the database do not
// hold (a rebuild copied rows whose keys point nowhere).
bool foreign_keys_hold(PyObject* connector) {
    Ref rows = run_sql(connector, kForeignKeyCheck, nullptr);
    if (!rows) return false;
    Py_ssize_t n = PyObject_Size(rows.get());
    if (n < 0) return false;
    if (n == 0) return true;
    Ref first = steal(PySequence_GetItem(rows.get(), 0));
    if (!first) return false;
    Ref shown = steal(PyObject_Repr(first.get()));
    const char* utf8 = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
    if (!utf8) return false;
    return migration_error("foreign key violation after a table rebuild: " + std::to_string(n) +
                           " row(s) refer to missing rows, first (table, rowid, parent, key) " + utf8);
}

// The pragma's current value (0 or 1), or -1 with an exception.
int foreign_keys_setting(PyObject* connector) {
    Ref rows = run_sql(connector, "PRAGMA foreign_keys", nullptr);
    if (!rows) return -1;
    Ref row = steal(PySequence_GetItem(rows.get(), 0));
    Ref cell = row ? steal(PySequence_GetItem(row.get(), 0)) : Ref();
    if (!cell) return -1;
    return PyObject_IsTrue(cell.get());
}

bool set_foreign_keys(PyObject* connector, int on) {
    return static_cast<bool>(run_sql(connector, on ? "PRAGMA foreign_keys = ON" : "PRAGMA foreign_keys = OFF", nullptr));
}

// `connector.transaction()` entered around run_statements, left with the
// outcome (commit, or rollback keeping the error).
bool run_in_transaction(PyObject* connector, const Plan& plan) {
    Ref block = steal(PyObject_CallMethod(connector, "transaction", nullptr));
    if (!block) return false;
    Ref entered = steal(PyObject_CallMethod(block.get(), "__enter__", nullptr));
    if (!entered) return false;
    bool ok = run_statements(connector, plan);
    if (ok) {
        Ref left = steal(PyObject_CallMethod(block.get(), "__exit__", "OOO", Py_None, Py_None, Py_None));
        return static_cast<bool>(left);
    }
    PyObject* error = PyErr_GetRaisedException();
    Ref left = steal(PyObject_CallMethod(block.get(), "__exit__", "OOO", reinterpret_cast<PyObject*>(Py_TYPE(error)),
                                         error, Py_None));
    if (!left) {
        Py_DECREF(error);
        return false;
    }
    PyErr_SetRaisedException(error);
    return false;
}

bool run_whole(PyObject* connector, const Plan& plan) {
    if (!plan.foreign_keys_off) return run_in_transaction(connector, plan);
    int was_on = foreign_keys_setting(connector);
    if (was_on < 0 || !set_foreign_keys(connector, 0)) return false;
    bool ok = run_in_transaction(connector, plan);
    PyObject* error = ok ? nullptr : PyErr_GetRaisedException();
    bool restored = !was_on || set_foreign_keys(connector, 1);
    if (error) {
        if (!restored) PyErr_Clear();
        PyErr_SetRaisedException(error);
        return false;
    }
    return restored;
}

Ref pair(std::string_view sql, PyObject* args) noexcept {
    Ref s = text(sql);
    Ref a = args ? borrow(args) : steal(PyTuple_New(0));
    if (!s || !a) return {};
    return steal(PyTuple_Pack(2, s.get(), a.get()));
}

bool append(PyObject* list, std::string_view sql, PyObject* args) noexcept {
    Ref item = pair(sql, args);
    return item && PyList_Append(list, item.get()) == 0;
}

}  // namespace

Ref run_sql(PyObject* connector, std::string_view sql, PyObject* args) noexcept {
    const db::ConnectorApi* api = connector_api();
    if (!api) return {};
    Ref statement = text(sql);
    if (!statement) return {};
    return steal(api->run(connector, nullptr, statement.get(), args, db::RUN_ROWS));
}

bool run_statements(PyObject* connector, const Plan& plan) noexcept {
    try {
        for (const Statement& s : plan.statements) {
            if (!run_sql(connector, s.sql, s.args.get())) return false;
            if (s.check_foreign_keys && !foreign_keys_hold(connector)) return false;
        }
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

bool run_plan(PyObject* connector, const Plan& plan) noexcept {
    try {
        return run_whole(connector, plan);
    } catch (...) {
        translate_exception();
        return false;
    }
}

Ref plan_listing(Engine engine, const Plan& plan) noexcept {
    Ref list = steal(PyList_New(0));
    if (!list) return {};
    bool pragmas = plan.foreign_keys_off && engine == Engine::Sqlite;
    if (pragmas && !append(list.get(), "PRAGMA foreign_keys = OFF", nullptr)) return {};
    for (const Statement& s : plan.statements) {
        if (!append(list.get(), s.sql, s.args.get())) return {};
        if (s.check_foreign_keys && !append(list.get(), kForeignKeyCheck, nullptr)) return {};
    }
    if (pragmas && !append(list.get(), "PRAGMA foreign_keys = ON", nullptr)) return {};
    return list;
}

}  // namespace tsy::migrate
