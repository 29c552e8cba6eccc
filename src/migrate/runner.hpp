// Versioned migration files and the runner that applies and rolls them back:
// declarations shared by runner.cpp, migration_files.cpp, history.cpp,
// lock.cpp, make.cpp and cli.cpp.
#pragma once

#include "plan.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace tsy::migrate {

// -- runner.cpp ----------------------------------------------------------------

// MigrationError(message), or a subclass named by `kind`, with the pending
// exception (if any) as its cause.
bool fail_with_cause(const std::string& message, const char* kind = "MigrationError") noexcept;
// Writes `text` to sys.stdout or sys.stderr (`stream`); false with an exception.
bool write_stream(const char* stream, const std::string& text) noexcept;
// The text of a Python str, false with an exception for anything else.
bool text_of(PyObject* obj, std::string& out) noexcept;

// -- migration_files.cpp ----------------------------------------------------

// One file `<directory>/<version>_<name>.py` (version: 4 digits).
struct MigrationFile {
    std::string version;
    std::string name;
    std::string path;
    std::string checksum;  // sha256 of the file's bytes, hex
    std::string stem() const { return version + "_" + name; }
};

// [A-Za-z0-9_]+
bool is_safe_name(std::string_view name) noexcept;
// The migration files of `directory` (a missing folder has none), by version;
// two files of one version are refused (MigrationError).
bool list_migration_files(const std::string& directory, std::vector<MigrationFile>& out) noexcept;
// The file run as a module of its own (kept out of sys.modules, no bytecode
// cache written beside it). New reference.
Ref load_migration(const MigrationFile& file) noexcept;
// Writes `text` to `<directory>/<file name>`, making the folder when missing.
bool write_text_file(const std::string& directory, const std::string& file_name, const std::string& text,
                     std::string& path) noexcept;

// -- history.cpp: the table tessary_migrations ------------------------------

struct AppliedRecord {
    std::string version;
    std::string name;
    std::string checksum;
};

bool ensure_history(PyObject* connector) noexcept;
// Every record, by version.
bool read_history(PyObject* connector, std::vector<AppliedRecord>& out) noexcept;
// 1 when `version` is recorded, 0 when not, -1 on error.
int is_recorded(PyObject* connector, const std::string& version) noexcept;
bool record_applied(PyObject* connector, const MigrationFile& file) noexcept;
bool delete_record(PyObject* connector, const std::string& version) noexcept;

// -- lock.cpp ---------------------------------------------------------------

// One run's hold on the database: on MariaDB the named lock of the
// connection, taken for the whole run and released by release() or the
// destructor (an error pending then is kept). On SQLite nothing: each
// migration takes the write lock with its own BEGIN IMMEDIATE.
class RunLock {
public:
    RunLock() = default;
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;
    ~RunLock();
    bool acquire(PyObject* connector, Engine engine) noexcept;
    bool release() noexcept;

private:
    Ref connector_;
    bool entered_ = false;  // this run holds the thread's one run (see lock.cpp)
};

// One migration's transaction on SQLite: foreign_keys turned off around it
// when asked (the pragma is a no-op inside a transaction), BEGIN IMMEDIATE,
// and COMMIT by commit(); rolled back by the destructor otherwise, the pragma
// put back as it was in both cases.
class SqliteMigrationTransaction {
public:
    SqliteMigrationTransaction() = default;
    SqliteMigrationTransaction(const SqliteMigrationTransaction&) = delete;
    SqliteMigrationTransaction& operator=(const SqliteMigrationTransaction&) = delete;
    ~SqliteMigrationTransaction();
    bool begin(PyObject* connector, bool foreign_keys_off) noexcept;
    bool commit() noexcept;

private:
    bool restore_foreign_keys() noexcept;
    Ref connector_;
    bool open_ = false;
    bool restore_ = false;
};

// -- runner.cpp: applying and rolling back ----------------------------------

enum class Direction { Up, Down };

struct RunOptions {
    std::string directory = "migrations";
    bool allow_destructive = false;
    bool dry_run = false;
    bool verbose = false;  // one progress line per migration on stdout (the command line)
    bool show_sql = false;  // dry run: each migration's statements on stdout (the `plan` command)
};

// The versions applied (or, dry, that would be) in order.
bool apply_migrations(PyObject* connector, const RunOptions& options, const std::string& to,
                      std::vector<std::string>& done) noexcept;
bool rollback_migrations(PyObject* connector, const RunOptions& options, long steps,
                         std::vector<std::string>& done) noexcept;
// The list of status dicts.
Ref migration_status(PyObject* connector, const std::string& directory) noexcept;

// -- make.cpp ----------------------------------------------------------------

// The path of the file written, or None when the database already matches.
Ref make_migration(const std::string& name, PyObject* models, const std::string& directory,
                   PyObject* connector) noexcept;

// -- cli.cpp -----------------------------------------------------------------

// main(argv): the command line's exit status.
PyObject* cli_main(PyObject* argv) noexcept;

}  // namespace tsy::migrate
