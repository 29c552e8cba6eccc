// The runner: applies pending migration files in order and rolls applied ones
// back, each migration's steps planned one at a time against the schema the
// steps before them left (a data step can fill a column before it becomes
// NOT NULL), each migration recorded in tessary_migrations once it ran.
#include "runner.hpp"

#include <algorithm>
#include <filesystem>
#include <map>

namespace tsy::migrate {

bool fail_with_cause(const std::string& message, const char* kind) noexcept {
    Ref cause = steal(PyErr_GetRaisedException());
    Ref type = import_attr("Tessary.Error.MigrateError", kind);
    Ref error = type ? call(type.get(), steal(PyUnicode_FromString(message.c_str())).get()) : Ref();
    if (!error) return false;  // the import's error stands
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetRaisedException(error.release());
    return false;
}

bool write_stream(const char* stream, const std::string& text) noexcept {
    PyObject* file = PySys_GetObject(stream);  // borrowed
    if (!file || file == Py_None) return true;  // no stream (pythonw): nothing to show it on
    Ref line = steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    // Flushed at once: a progress line ends before an error on stderr shows,
    // and a long migration shows what it is doing while it runs.
    if (!line || !call_method(file, intern("write"), line.get())) return false;
    int has_flush = PyObject_HasAttrWithError(file, intern("flush"));
    return has_flush == 0 || (has_flush > 0 && call_method(file, intern("flush")));
}

bool text_of(PyObject* obj, std::string& out) noexcept {
    if (!PyUnicode_Check(obj)) {
        expected_kind("str", obj);
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
    if (!data) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

namespace {

// The message of the pending exception ("" when there is none).
std::string pending_message() noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    std::string text;
    if (pending) {
        Ref message = steal(PyObject_Str(pending));
        if (!message || !text_of(message.get(), text)) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    return text;
}

bool pending_is(const char* kind) noexcept {
    PyObject* pending = PyErr_Occurred();
    if (!pending) return false;
    Ref type = import_attr("Tessary.Error.MigrateError", kind);
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return PyErr_ExceptionMatches(type.get());
}

std::string str_of(PyObject* obj) noexcept {
    std::string text;
    Ref shown = steal(PyObject_Str(obj));
    if (!shown || !text_of(shown.get(), text)) PyErr_Clear();
    return text;
}

// The steps a migration file's upgrade() or downgrade() records on an `op`.
struct RecordedSteps {
    Ref list;                                   // keeps the Operation objects alive
    std::vector<PyObject*> objects;             // borrowed from `list`
    std::vector<const Operation*> operations;
};

bool record_steps(const MigrationFile& file, Direction direction, RecordedSteps& out) noexcept {
    const char* function = direction == Direction::Up ? "upgrade" : "downgrade";
    Ref module = load_migration(file);
    if (!module) return fail_with_cause("migration " + file.stem() + " cannot be loaded: " + pending_message());
    Ref step_function = attr(module.get(), function);
    if (!step_function) {
        return fail_with_cause("migration " + file.stem() + " has no " + function + "(op): " + pending_message());
    }
    Ref operations_type = import_attr("Tessary.Ext.Migrate", "Operations");
    Ref op = operations_type ? call(operations_type.get()) : Ref();
    if (!op) return false;
    if (!call(step_function.get(), op.get())) {
        return fail_with_cause("migration " + file.stem() + ": " + function + "(op) failed: " + pending_message());
    }
    Ref recorded = attr(op.get(), "operations");
    out.list = recorded ? steal(PySequence_Tuple(recorded.get())) : Ref();
    if (!out.list) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(out.list.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(out.list.get(), i);
        const Operation* operation = operation_of(item);
        if (!operation) return false;
        out.objects.push_back(item);
        out.operations.push_back(operation);
    }
    return true;
}

// Refuses every step that loses data by its kind alone, naming each.
bool refuse_destructive(const MigrationFile& file, const RecordedSteps& steps, bool allowed) noexcept {
    if (allowed) return true;
    std::string named;
    for (std::size_t i = 0; i < steps.operations.size(); ++i) {
        if (!is_destructive(*steps.operations[i])) continue;
        named += "\n  step " + std::to_string(i + 1) + ": " + str_of(steps.objects[i]);
    }
    if (named.empty()) return true;
    PyErr_Clear();
    return fail_with_cause("migration " + file.stem() + " holds steps that lose data (allowDestructive=True "
                           "runs them):" + named, "DestructiveChangeError");
}

// A failed step: MigrationError naming the migration, the step, its
// operation and the statement (a refusal keeps its own kind).
bool step_failed(const MigrationFile& file, std::size_t step, PyObject* operation, const std::string& sql) noexcept {
    const char* kind = pending_is("DestructiveChangeError") ? "DestructiveChangeError" : "MigrationError";
    std::string message = "migration " + file.stem() + " failed at step " + std::to_string(step + 1) + " (" +
                          str_of(operation) + ")";
    if (!sql.empty()) message += "\n  statement: " + sql;
    message += "\n  " + pending_message();
    return fail_with_cause(message, kind);
}

// The step's statements one at a time, so that a failure names its statement.
bool run_plan_statements(PyObject* connector, const MigrationFile& file, std::size_t step, PyObject* operation,
                         Plan& plan) noexcept {
    for (Statement& statement : plan.statements) {
        Plan one;
        one.statements.push_back(std::move(statement));
        if (!run_statements(connector, one)) return step_failed(file, step, operation, one.statements[0].sql);
    }
    return true;
}

// Plans and runs each step in turn on the live schema.
bool run_steps(PyObject* connector, const MigrationFile& file, const RecordedSteps& steps,
               bool allow_destructive, bool foreign_keys_off = true) noexcept {
    SchemaSpec live;
    if (!inspect_sync(connector, live)) return false;
    for (std::size_t i = 0; i < steps.operations.size(); ++i) {
        Plan plan;
        if (!plan_operations({steps.operations[i]}, live, connector, allow_destructive, plan)) {
            return step_failed(file, i, steps.objects[i], "");
        }
        if (plan.foreign_keys_off && !foreign_keys_off) {
            // A rebuild drops the old table: with foreign keys on, that would
            // delete or refuse the rows that refer to it.
            PyErr_SetString(PyExc_RuntimeError, "the step rebuilds a table but foreign keys are on");
            return step_failed(file, i, steps.objects[i], "");
        }
        if (!run_plan_statements(connector, file, i, steps.objects[i], plan)) return false;
    }
    return true;
}

// Whether the whole migration needs SQLite's foreign keys off. A migration
// that cannot be planned whole here is left to the planning of each step,
// whose error names the step.
int needs_foreign_keys_off(PyObject* connector, const RecordedSteps& steps) noexcept {
    SchemaSpec live;
    Plan plan;
    if (!inspect_sync(connector, live)) return -1;
    if (!plan_operations(steps.operations, live, connector, true, plan)) {
        if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return plan.foreign_keys_off;
}

bool bookkeep(PyObject* connector, const MigrationFile& file, Direction direction) noexcept {
    return direction == Direction::Up ? record_applied(connector, file) : delete_record(connector, file.version);
}

// 1: ran, 0: another run did it meanwhile, -1: error. The write lock comes
// first: only under it is the schema the steps are planned on settled. A
// plan that needs foreign keys off begins again with them off (the pragma is
// a no-op inside a transaction).
int run_on_sqlite(PyObject* connector, const MigrationFile& file, Direction direction, const RecordedSteps& steps,
                  const RunOptions& options) noexcept {
    bool foreign_keys_off = false;
    for (;;) {
        SqliteMigrationTransaction transaction;
        if (!transaction.begin(connector, foreign_keys_off)) return -1;
        // Read again under the write lock: another run may have taken it first.
        int recorded = is_recorded(connector, file.version);
        if (recorded < 0) return -1;
        if (recorded != (direction == Direction::Down)) return 0;
        if (!foreign_keys_off) {
            int needed = needs_foreign_keys_off(connector, steps);
            if (needed < 0) return -1;
            if (needed) {
                foreign_keys_off = true;
                continue;  // rolled back by the transaction's end
            }
        }
        if (!run_steps(connector, file, steps, options.allow_destructive, foreign_keys_off) ||
            !bookkeep(connector, file, direction)) {
            return -1;
        }
        return transaction.commit() ? 1 : -1;
    }
}

// MariaDB commits each DDL statement by itself: the steps run one by one and
// the record is written once all of them ran (the run's named lock keeps
// other runs out meanwhile).
int run_on_mysql(PyObject* connector, const MigrationFile& file, Direction direction, const RecordedSteps& steps,
                 const RunOptions& options) noexcept {
    int recorded = is_recorded(connector, file.version);
    if (recorded < 0) return -1;
    if (recorded != (direction == Direction::Down)) return 0;
    if (!run_steps(connector, file, steps, options.allow_destructive) || !bookkeep(connector, file, direction)) {
        return -1;
    }
    return 1;
}

bool progress(const RunOptions& options, const std::string& text) noexcept {
    return !options.verbose || write_stream("stdout", text);
}

// One migration, one direction. 1: ran, 0: skipped, -1: error.
int run_migration(PyObject* connector, Engine engine, const MigrationFile& file, Direction direction,
                  const RunOptions& options) noexcept {
    std::string doing = direction == Direction::Up ? "applying " : "rolling back ";
    if (!progress(options, doing + file.stem() + " ... ")) return -1;
    RecordedSteps steps;
    int ran = -1;
    if (record_steps(file, direction, steps) && refuse_destructive(file, steps, options.allow_destructive)) {
        ran = engine == Engine::Sqlite ? run_on_sqlite(connector, file, direction, steps, options)
                                       : run_on_mysql(connector, file, direction, steps, options);
    }
    if (ran < 0) {
        // The failure is what the caller sees, not one of writing the line.
        Ref pending = steal(PyErr_GetRaisedException());
        if (!progress(options, "failed\n")) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
        return -1;
    }
    return progress(options, ran > 0 ? "ok\n" : "done by another run\n") ? ran : -1;
}

bool show_statements(const MigrationFile& file, Direction direction, const Plan& plan) noexcept {
    std::string text = std::string("-- ") + (direction == Direction::Up ? "upgrade " : "downgrade ") + file.stem() + "\n";
    for (const Statement& statement : plan.statements) {
        text += statement.sql + ";";
        if (statement.args) text += "  -- arguments: " + str_of(statement.args.get());
        text += "\n";
    }
    return write_stream("stdout", text);
}

// Dry run: the migrations planned in turn on the schema the ones before them
// would leave; the statements shown when asked.
bool plan_only(PyObject* connector, const std::vector<const MigrationFile*>& files, Direction direction,
               const RunOptions& options, std::vector<std::string>& done) noexcept {
    SchemaSpec live;
    if (!inspect_sync(connector, live)) return false;
    for (const MigrationFile* file : files) {
        RecordedSteps steps;
        Plan plan;
        if (!record_steps(*file, direction, steps) || !refuse_destructive(*file, steps, options.allow_destructive) ||
            !plan_operations(steps.operations, live, connector, options.allow_destructive, plan)) {
            return false;
        }
        if (options.show_sql && !show_statements(*file, direction, plan)) return false;
        done.push_back(file->version);
    }
    return true;
}

// The files and the records of a folder and a database, read under the run's lock.
struct Ledger {
    std::vector<MigrationFile> files;
    std::vector<AppliedRecord> records;
    const MigrationFile* file(const std::string& version) const noexcept {
        for (const auto& f : files) if (f.version == version) return &f;
        return nullptr;
    }
    const AppliedRecord* record(const std::string& version) const noexcept {
        for (const auto& r : records) if (r.version == version) return &r;
        return nullptr;
    }
};

// A folder that is not there is refused rather than read as "no migrations":
// a mistyped --dir must not look like an up-to-date database.
bool folder_exists(const std::string& directory) noexcept {
    std::error_code error;
    if (std::filesystem::is_directory(std::filesystem::path(directory), error)) return true;
    PyErr_Format(PyExc_FileNotFoundError, "no migrations folder %s (make writes the first migration there)",
                 directory.c_str());
    return false;
}

bool read_ledger(PyObject* connector, const std::string& directory, Ledger& out) noexcept {
    return folder_exists(directory) && ensure_history(connector) && list_migration_files(directory, out.files) &&
           read_history(connector, out.records);
}

// An applied file changed since: its recorded steps are no longer what it says.
bool refuse_edited(const Ledger& ledger) noexcept {
    for (const AppliedRecord& record : ledger.records) {
        const MigrationFile* file = ledger.file(record.version);
        if (file && file->checksum != record.checksum) {
            return fail_with_cause("migration " + file->stem() + " was edited after it was applied (its checksum "
                                   "differs from the recorded one): restore it, or roll it back with the old file "
                                   "first");
        }
    }
    return true;
}

// "0002" or "0002_add_age" -> the version, when a file has it.
bool target_version(const Ledger& ledger, const std::string& to, const std::string& directory,
                    std::string& version) noexcept {
    for (const MigrationFile& file : ledger.files) {
        if (file.version == to || file.stem() == to) {
            version = file.version;
            return true;
        }
    }
    return fail_with_cause("no migration " + to + " in " + directory);
}

bool run_files(PyObject* connector, Engine engine, const std::vector<const MigrationFile*>& files,
               Direction direction, const RunOptions& options, std::vector<std::string>& done) noexcept {
    if (options.dry_run) return plan_only(connector, files, direction, options, done);
    for (const MigrationFile* file : files) {
        int ran = run_migration(connector, engine, *file, direction, options);
        if (ran < 0) return false;
        if (ran > 0) done.push_back(file->version);
    }
    return true;
}

}  // namespace

bool apply_migrations(PyObject* connector, const RunOptions& options, const std::string& to,
                      std::vector<std::string>& done) noexcept {
    std::optional<Engine> engine = engine_of(connector);
    if (!engine) return false;
    RunLock lock;
    Ledger ledger;
    std::string last;
    if (!lock.acquire(connector, *engine) || !read_ledger(connector, options.directory, ledger) ||
        !refuse_edited(ledger) || (!to.empty() && !target_version(ledger, to, options.directory, last))) {
        return false;
    }
    std::vector<const MigrationFile*> pending;
    for (const MigrationFile& file : ledger.files) {
        if (!last.empty() && file.version > last) break;
        if (!ledger.record(file.version)) pending.push_back(&file);
    }
    return run_files(connector, *engine, pending, Direction::Up, options, done) && lock.release();
}

bool rollback_migrations(PyObject* connector, const RunOptions& options, long steps,
                         std::vector<std::string>& done) noexcept {
    if (steps < 0) {
        PyErr_Format(PyExc_ValueError, "steps must be 0 or more, not %ld", steps);
        return false;
    }
    std::optional<Engine> engine = engine_of(connector);
    if (!engine) return false;
    RunLock lock;
    Ledger ledger;
    if (!lock.acquire(connector, *engine) || !read_ledger(connector, options.directory, ledger) ||
        !refuse_edited(ledger)) {
        return false;
    }
    std::vector<const MigrationFile*> last_applied;
    for (auto record = ledger.records.rbegin(); record != ledger.records.rend(); ++record) {
        if (static_cast<long>(last_applied.size()) == steps) break;
        const MigrationFile* file = ledger.file(record->version);
        if (!file) {
            return fail_with_cause("cannot roll back " + record->version + "_" + record->name + ": its file is missing "
                                   "from " + options.directory);
        }
        last_applied.push_back(file);
    }
    return run_files(connector, *engine, last_applied, Direction::Down, options, done) && lock.release();
}

Ref migration_status(PyObject* connector, const std::string& directory) noexcept {
    Ledger ledger;
    if (!read_ledger(connector, directory, ledger)) return {};
    std::map<std::string, std::string> names;  // every version, by version
    for (const auto& file : ledger.files) names[file.version] = file.name;
    for (const auto& record : ledger.records) names.emplace(record.version, record.name);
    Ref list = steal(PyList_New(0));
    if (!list) return {};
    for (const auto& [version, name] : names) {
        const MigrationFile* file = ledger.file(version);
        const AppliedRecord* record = ledger.record(version);
        Ref entry = steal(Py_BuildValue("{s:s#,s:s#,s:O,s:O,s:O}", "version", version.data(),
                                        static_cast<Py_ssize_t>(version.size()), "name", name.data(),
                                        static_cast<Py_ssize_t>(name.size()), "applied", record ? Py_True : Py_False,
                                        "edited", record && file && file->checksum != record->checksum ? Py_True : Py_False,
                                        "missing", record && !file ? Py_True : Py_False));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0) return {};
    }
    return list;
}

}  // namespace tsy::migrate
