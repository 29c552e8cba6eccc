// The module functions of migration files: make, apply, rollback, status and
// main (the command line), each checking its arguments before any work.
#include "runner.hpp"

namespace tsy::migrate {
namespace {

// parse() for a function whose parameters after the first `positional` are
// keyword-only.
bool parse_keyword_only(const Params& p, Py_ssize_t positional, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, PyObject** out) noexcept {
    if (nargs > positional) {
        arg_count_error(p.func, p.required, positional, nargs);
        return false;
    }
    return parse(p, args, nargs, kwnames, out);
}

// A folder: str or os.PathLike giving str; "migrations" when not given.
bool directory_arg(PyObject* value, std::string& out) noexcept {
    if (!value) {
        out = "migrations";
        return true;
    }
    Ref path = steal(PyOS_FSPath(value));
    if (!path) return false;
    if (!PyUnicode_Check(path.get())) {
        wrong_arg_type("directory", &PyUnicode_Type, value);
        return false;
    }
    return text_of(path.get(), out);
}

bool flag_arg(PyObject* value, bool& out) noexcept {
    if (!value) return true;
    int set = truth(value);
    if (set < 0) return false;
    out = set;
    return true;
}

Ref version_list(const std::vector<std::string>& versions) noexcept {
    Ref list = steal(PyList_New(0));
    if (!list) return {};
    for (const std::string& version : versions) {
        Ref item = steal(PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size())));
        if (!item || PyList_Append(list.get(), item.get()) < 0) return {};
    }
    return list;
}

PyObject* make(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"name", "models", "directory", "connector"};
    static const Params p = {"make", names, 4, 2};
    PyObject* v[4];
    if (!parse_keyword_only(p, 3, args, nargs, kwnames, v) || !check_arg(v[0], &PyUnicode_Type, "name", false)) {
        return nullptr;
    }
    std::string name, directory;
    Ref connector = text_of(v[0], name) && directory_arg(v[2], directory) ? sync_connector(v[3]) : Ref();
    if (!connector) return nullptr;
    return make_migration(name, v[1], directory, connector.get()).release();
}

PyObject* apply(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"directory", "to", "connector", "allowDestructive", "dryRun"};
    static const Params p = {"apply", names, 5, 0};
    PyObject* v[5];
    if (!parse_keyword_only(p, 1, args, nargs, kwnames, v) || (v[1] && !check_arg(v[1], &PyUnicode_Type, "to"))) {
        return nullptr;
    }
    RunOptions options;
    std::string to;
    if (!directory_arg(v[0], options.directory) || (v[1] && v[1] != Py_None && !text_of(v[1], to)) ||
        !flag_arg(v[3], options.allow_destructive) || !flag_arg(v[4], options.dry_run)) {
        return nullptr;
    }
    Ref connector = sync_connector(v[2]);
    std::vector<std::string> done;
    if (!connector || !apply_migrations(connector.get(), options, to, done)) return nullptr;
    return version_list(done).release();
}

PyObject* rollback(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"directory", "steps", "connector", "allowDestructive", "dryRun"};
    static const Params p = {"rollback", names, 5, 0};
    PyObject* v[5];
    if (!parse_keyword_only(p, 1, args, nargs, kwnames, v)) return nullptr;
    RunOptions options;
    int steps = 1;
    if (v[1] && (PyBool_Check(v[1]) || !PyLong_Check(v[1]))) {
        wrong_arg_type("steps", &PyLong_Type, v[1]);
        return nullptr;
    }
    if (!directory_arg(v[0], options.directory) || (v[1] && !to_int(v[1], &steps)) ||
        !flag_arg(v[3], options.allow_destructive) || !flag_arg(v[4], options.dry_run)) {
        return nullptr;
    }
    Ref connector = sync_connector(v[2]);
    std::vector<std::string> done;
    if (!connector || !rollback_migrations(connector.get(), options, steps, done)) return nullptr;
    return version_list(done).release();
}

PyObject* status(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"directory", "connector"};
    static const Params p = {"status", names, 2, 0};
    PyObject* v[2];
    std::string directory;
    if (!parse_keyword_only(p, 1, args, nargs, kwnames, v) || !directory_arg(v[0], directory)) return nullptr;
    Ref connector = sync_connector(v[1]);
    if (!connector) return nullptr;
    return migration_status(connector.get(), directory).release();
}

PyObject* main_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"argv"};
    static const Params p = {"main", names, 1, 0};
    PyObject* v[1];
    if (!parse(p, args, nargs, kwnames, v)) return nullptr;
    return cli_main(v[0] ? v[0] : Py_None);
}

PyMethodDef functions[] = {
    {"make", fastkw<make>(), METH_FASTCALL | METH_KEYWORDS,
     "make($module, /, name, models, directory='migrations', *, connector=None)\n--\n\n"
     "Write the next migration file of `directory`: the steps from the database, as the applied "
     "migrations left it, to the models (a module's name, a module or an iterable of model classes), "
     "and the steps back. Returns its path, or None when nothing differs. Refused with MigrationError "
     "while migrations are pending."},
    {"apply", fastkw<apply>(), METH_FASTCALL | METH_KEYWORDS,
     "apply($module, /, directory='migrations', *, to=None, connector=None, allowDestructive=False, "
     "dryRun=False)\n--\n\n"
     "Run the pending migrations of `directory` in order (up to and including version `to`), each "
     "recorded in tessary_migrations once it ran; returns their versions. With dryRun, only plans them "
     "and returns the versions that would run."},
    {"rollback", fastkw<rollback>(), METH_FASTCALL | METH_KEYWORDS,
     "rollback($module, /, directory='migrations', *, steps=1, connector=None, allowDestructive=False, "
     "dryRun=False)\n--\n\n"
     "Run downgrade() of the last `steps` applied migrations, newest first, and forget their records; "
     "returns their versions."},
    {"status", fastkw<status>(), METH_FASTCALL | METH_KEYWORDS,
     "status($module, /, directory='migrations', *, connector=None)\n--\n\n"
     "One dict per migration known to the folder or the database, by version: version, name, applied, "
     "edited (applied, its file changed since) and missing (applied, no file)."},
    {"main", fastkw<main_function>(), METH_FASTCALL | METH_KEYWORDS,
     "main($module, /, argv=None)\n--\n\n"
     "The command line (`python -m Tessary.Ext.Migrate`); argv defaults to sys.argv[1:]. Returns the "
     "exit status: 0 success, 1 a migration failed or was refused, 2 a usage error."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_runner(PyObject* module) noexcept { return PyModule_AddFunctions(module, functions); }

}  // namespace tsy::migrate
