// Two runs on one database apply each migration once: on MariaDB a named lock
// held by the connection for the whole run, on SQLite the write lock each
// migration's transaction takes before it reads tessary_migrations again.
#include "runner.hpp"

namespace tsy::migrate {
namespace {

// Seconds a run waits for another run's named lock before giving up.
constexpr const char* get_lock_sql = "SELECT GET_LOCK('tessary_migrate', 600)";
constexpr const char* release_lock_sql = "SELECT RELEASE_LOCK('tessary_migrate')";

// Runs a cleanup statement while an error may be pending: the error that
// stopped the run is what the caller sees, not one of the cleanup.
void run_keeping_error(PyObject* connector, const char* sql) noexcept {
    Ref pending = steal(PyErr_GetRaisedException());
    Ref done = run_sql(connector, sql, nullptr);
    if (pending) {
        PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
}

// The first column of the first row: 1, 0 or -1 (NULL, no row or an error).
long first_value(PyObject* rows) noexcept {
    if (PyObject_Length(rows) <= 0) return -1;
    Ref row = steal(PySequence_GetItem(rows, 0));
    Ref value = row ? steal(PySequence_GetItem(row.get(), 0)) : Ref();
    if (!value) return -1;
    if (value.get() == Py_None) return -1;
    long number = PyLong_AsLong(value.get());
    if (number == -1 && PyErr_Occurred()) return -1;
    return number;
}

// A run started from inside another on the same thread (apply or rollback
// called by a migration file's upgrade) would run that same file again, and
// so on down to the recursion limit: refused at once instead.
thread_local bool thread_runs = false;

}  // namespace

RunLock::~RunLock() {
    if (connector_) run_keeping_error(connector_.get(), release_lock_sql);
    if (entered_) thread_runs = false;
}

bool RunLock::acquire(PyObject* connector, Engine engine) noexcept {
    if (thread_runs) {
        return fail_with_cause("a migration run is already in progress on this thread (apply or rollback called "
                               "from a migration file?)");
    }
    thread_runs = entered_ = true;
    if (engine != Engine::Mysql) return true;
    Ref rows = run_sql(connector, get_lock_sql, nullptr);
    if (!rows) return false;
    long got = first_value(rows.get());
    if (got != 1) {
        if (PyErr_Occurred()) return false;
        return fail_with_cause("another migration run holds the lock 'tessary_migrate': gave up waiting");
    }
    connector_ = borrow(connector);
    return true;
}

bool RunLock::release() noexcept {
    if (!connector_) return true;
    Ref connector = std::move(connector_);
    return static_cast<bool>(run_sql(connector.get(), release_lock_sql, nullptr));
}

SqliteMigrationTransaction::~SqliteMigrationTransaction() {
    if (open_) run_keeping_error(connector_.get(), "ROLLBACK");
    if (restore_) run_keeping_error(connector_.get(), "PRAGMA foreign_keys = ON");
}

bool SqliteMigrationTransaction::begin(PyObject* connector, bool foreign_keys_off) noexcept {
    connector_ = borrow(connector);
    if (foreign_keys_off) {
        Ref rows = run_sql(connector, "PRAGMA foreign_keys", nullptr);
        if (!rows) return false;
        if (first_value(rows.get()) == 1) {
            if (!run_sql(connector, "PRAGMA foreign_keys = OFF", nullptr)) return false;
            restore_ = true;
        }
    }
    if (!run_sql(connector, "BEGIN IMMEDIATE", nullptr)) return false;
    open_ = true;
    return true;
}

bool SqliteMigrationTransaction::commit() noexcept {
    if (!run_sql(connector_.get(), "COMMIT", nullptr)) return false;
    open_ = false;
    return restore_foreign_keys();
}

bool SqliteMigrationTransaction::restore_foreign_keys() noexcept {
    if (!restore_) return true;
    restore_ = false;
    return static_cast<bool>(run_sql(connector_.get(), "PRAGMA foreign_keys = ON", nullptr));
}

}  // namespace tsy::migrate
