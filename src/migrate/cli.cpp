// `python -m Tessary.Ext.Migrate <command> [options]`: the runner from a
// shell. Exit status 0 on success, 1 when a migration failed or was refused
// (the message on stderr), 2 on a usage error (the usage on stderr).
#include "runner.hpp"

#include <cstdlib>
#include <optional>

namespace tsy::migrate {
namespace {

constexpr const char* usage_text =
    "usage: python -m Tessary.Ext.Migrate <command> [options]\n"
    "commands:\n"
    "  make NAME --models MODULE   write the next migration file (the models' difference)\n"
    "  apply [--to VERSION]        run the pending migrations\n"
    "  rollback [--steps N]        undo the last N applied migrations (1)\n"
    "  status                      list the migrations and whether they ran\n"
    "  plan [--to VERSION]         show the statements apply would run\n"
    "options:\n"
    "  --dir DIR                   the migrations folder (migrations)\n"
    "  --url URL                   the database (default: $TESSARY_DATABASE_URL)\n"
    "  --allow-destructive         run steps that lose data\n"
    "  --dry-run                   plan only: show what would run\n";

constexpr int exit_ok = 0, exit_failed = 1, exit_usage = 2;

struct CommandLine {
    std::string command, name, models, to, directory = "migrations", url;
    long steps = 1;
    bool allow_destructive = false, dry_run = false, help = false;
    bool has_to = false, has_steps = false, has_models = false;
};

// A usage error's message (empty: none).
using Usage = std::string;

Usage option_value(const std::vector<std::string>& words, std::size_t& i, const std::string& option,
                   std::optional<std::string>& inline_value, std::string& out) {
    if (inline_value) {
        out = *inline_value;
    } else if (i + 1 < words.size()) {
        out = words[++i];
    } else {
        return option + " needs a value";
    }
    return "";
}

Usage parse_steps(const std::string& text, long& out) {
    char* end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || value < 1) return "--steps needs a whole number of 1 or more, not '" + text + "'";
    out = value;
    return "";
}

Usage parse_option(const std::vector<std::string>& words, std::size_t& i, CommandLine& out) {
    std::string option = words[i];
    std::optional<std::string> inline_value;
    if (auto eq = option.find('='); eq != std::string::npos) {
        inline_value = option.substr(eq + 1);
        option.resize(eq);
    }
    bool is_flag = option == "--allow-destructive" || option == "--dry-run" || option == "-h" || option == "--help";
    if (is_flag && inline_value) return option + " takes no value";
    if (option == "--allow-destructive") out.allow_destructive = true;
    else if (option == "--dry-run") out.dry_run = true;
    else if (option == "-h" || option == "--help") out.help = true;
    else if (option == "--dir") return option_value(words, i, option, inline_value, out.directory);
    else if (option == "--url") return option_value(words, i, option, inline_value, out.url);
    else if (option == "--models") return out.has_models = true, option_value(words, i, option, inline_value, out.models);
    else if (option == "--to") return out.has_to = true, option_value(words, i, option, inline_value, out.to);
    else if (option == "--steps") {
        std::string text;
        Usage error = option_value(words, i, option, inline_value, text);
        out.has_steps = true;
        return error.empty() ? parse_steps(text, out.steps) : error;
    } else {
        return "unknown option " + option;
    }
    return "";
}

Usage check_command(const CommandLine& c, const std::vector<std::string>& positionals) {
    static const char* const commands[] = {"make", "apply", "rollback", "status", "plan"};
    bool known = false;
    for (const char* name : commands) known = known || c.command == name;
    if (c.command.empty()) return "no command given";
    if (!known) return "unknown command " + c.command;
    std::size_t allowed = c.command == "make" ? 1 : 0;
    if (positionals.size() > allowed) return "unexpected argument " + positionals[allowed];
    if (c.command == "make" && (positionals.empty() || !c.has_models)) return "make needs NAME and --models MODULE";
    if (c.command == "make" && !is_safe_name(c.name)) return "a migration's name is letters, digits and '_' only";
    if (c.has_models && c.command != "make") return "--models is an option of make";
    if (c.has_to && c.command != "apply" && c.command != "plan") return "--to is an option of apply and plan";
    if (c.has_steps && c.command != "rollback") return "--steps is an option of rollback";
    return "";
}

Usage parse_words(const std::vector<std::string>& words, CommandLine& out) {
    std::vector<std::string> positionals;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i].size() > 1 && words[i][0] == '-') {
            Usage error = parse_option(words, i, out);
            if (!error.empty()) return error;
        } else if (out.command.empty()) {
            out.command = words[i];
        } else {
            positionals.push_back(words[i]);
        }
    }
    if (out.help) return "";
    if (!positionals.empty()) out.name = positionals[0];
    return check_command(out, positionals);
}

// argv: None (sys.argv[1:]) or a sequence of str.
bool argv_words(PyObject* argv, std::vector<std::string>& out) noexcept {
    Ref given = borrow(argv);
    if (argv == Py_None) {
        PyObject* sys_argv = PySys_GetObject("argv");  // borrowed
        if (!sys_argv) {
            PyErr_SetString(PyExc_RuntimeError, "sys.argv is not set");
            return false;
        }
        given = steal(PySequence_GetSlice(sys_argv, 1, PY_SSIZE_T_MAX));
        if (!given) return false;
    }
    Ref items = steal(PySequence_Fast(given.get(), "argv must be a sequence of str"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        std::string word;
        PyObject* item = PySequence_Fast_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argv must be a sequence of str, item %zd is %.200s", i, type_name(item));
            return false;
        }
        if (!text_of(item, word)) return false;
        out.push_back(std::move(word));
    }
    return true;
}

// os.environ.get("TESSARY_DATABASE_URL", "")
bool url_from_environment(std::string& out) noexcept {
    Ref environ = import_attr("os", "environ");
    Ref key = steal(PyUnicode_FromString("TESSARY_DATABASE_URL"));
    Ref value = environ && key ? call_method(environ.get(), intern("get"), key.get()) : Ref();
    if (!value) return false;
    return value.get() == Py_None || text_of(value.get(), out);
}

// The connector of the URL, installed on the handle while the command runs;
// the previous one put back and the URL's closed afterwards.
class InstalledConnector {
public:
    ~InstalledConnector() {
        if (!connector_) return;
        Ref pending = steal(PyErr_GetRaisedException());
        if (PyObject_SetAttrString(handle_.get(), "connector", previous_.get()) < 0) PyErr_Clear();
        if (!call_method(connector_.get(), intern("close"))) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    // -1 error, 0 the URL is malformed (ValueError pending), 1 installed.
    int install(const std::string& url) noexcept {
        Ref connect = import_attr("Tessary.DB.Connector", "connect");
        Ref text = steal(PyUnicode_FromStringAndSize(url.data(), static_cast<Py_ssize_t>(url.size())));
        if (!connect || !text) return -1;
        Ref made = call(connect.get(), text.get());
        if (!made) return PyErr_ExceptionMatches(PyExc_ValueError) ? 0 : -1;
        Ref db_class = import_attr("Tessary.DB.DB", "DB");
        handle_ = db_class ? call_method(db_class.get(), intern("getInstance")) : Ref();
        previous_ = handle_ ? attr(handle_.get(), "connector") : Ref();
        if (!previous_ || PyObject_SetAttrString(handle_.get(), "connector", made.get()) < 0) {
            call_method(made.get(), intern("close"));
            return -1;
        }
        connector_ = std::move(made);
        return 1;
    }
    PyObject* connector() const noexcept { return connector_.get(); }

private:
    Ref handle_, previous_, connector_;
};

bool print_status(PyObject* connector, const std::string& directory) noexcept {
    Ref entries = migration_status(connector, directory);
    if (!entries) return false;
    std::string text;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        std::string version, name;
        if (!text_of(PyDict_GetItemString(entry, "version"), version) ||
            !text_of(PyDict_GetItemString(entry, "name"), name)) {
            return false;
        }
        const char* state = PyDict_GetItemString(entry, "missing") == Py_True  ? "applied, file missing"
                            : PyDict_GetItemString(entry, "edited") == Py_True ? "applied, file edited since"
                            : PyDict_GetItemString(entry, "applied") == Py_True ? "applied"
                                                                                : "pending";
        text += version + "_" + name + "  " + state + "\n";
    }
    if (text.empty()) text = "no migrations in " + directory + "\n";
    return write_stream("stdout", text);
}

bool print_versions(const char* doing, const std::vector<std::string>& versions) noexcept {
    std::string text;
    for (const auto& version : versions) text += std::string(doing) + " " + version + "\n";
    return write_stream("stdout", text);
}

bool run_make(PyObject* connector, const CommandLine& c) noexcept {
    Ref module_name = steal(PyUnicode_FromStringAndSize(c.models.data(), static_cast<Py_ssize_t>(c.models.size())));
    Ref path = module_name ? make_migration(c.name, module_name.get(), c.directory, connector) : Ref();
    if (!path) return false;
    if (path.get() == Py_None) return write_stream("stdout", "no changes: the database matches the models\n");
    std::string shown;
    return text_of(path.get(), shown) && write_stream("stdout", "created " + shown + "\n");
}

bool run_command(PyObject* connector, const CommandLine& c) noexcept {
    RunOptions options;
    options.directory = c.directory;
    options.allow_destructive = c.allow_destructive;
    options.dry_run = c.dry_run || c.command == "plan";
    options.verbose = !options.dry_run;
    options.show_sql = c.command == "plan";
    std::vector<std::string> done;
    if (c.command == "make") return run_make(connector, c);
    if (c.command == "status") return print_status(connector, c.directory);
    if (c.command == "rollback") {
        if (!rollback_migrations(connector, options, c.steps, done)) return false;
        if (done.empty()) return write_stream("stdout", "nothing to roll back\n");
        return !c.dry_run || print_versions("would roll back", done);
    }
    if (!apply_migrations(connector, options, c.to, done)) return false;
    if (done.empty()) return write_stream("stdout", "nothing to run\n");
    return c.command == "plan" || !c.dry_run || print_versions("would apply", done);
}

PyObject* exit_status(int status) noexcept { return PyLong_FromLong(status); }

PyObject* usage_error(const std::string& message) noexcept {
    if (!write_stream("stderr", "error: " + message + "\n" + usage_text)) return nullptr;
    return exit_status(exit_usage);
}

// The pending exception reported on stderr as the command's failure; errors
// that are not the program's own (KeyboardInterrupt, SystemExit) propagate.
PyObject* command_failed() noexcept {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    Ref error = steal(PyErr_GetRaisedException());
    Ref migration = import_attr("Tessary.Error.MigrateError", "MigrationError");
    if (!migration) return nullptr;
    Ref text = steal(PyObject_Str(error.get()));
    std::string message;
    if (!text || !text_of(text.get(), message)) return nullptr;
    if (!PyObject_IsInstance(error.get(), migration.get())) message = std::string(type_name(error.get())) + ": " + message;
    if (!write_stream("stderr", "error: " + message + "\n")) return nullptr;
    return exit_status(exit_failed);
}

}  // namespace

PyObject* cli_main(PyObject* argv) noexcept {
    std::vector<std::string> words;
    CommandLine c;
    Usage problem;
    try {
        if (!argv_words(argv, words)) return nullptr;
        problem = parse_words(words, c);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    if (c.help) return write_stream("stdout", usage_text) ? exit_status(exit_ok) : nullptr;
    if (!problem.empty()) return usage_error(problem);
    if (c.url.empty() && !url_from_environment(c.url)) return nullptr;
    if (c.url.empty()) return usage_error("no database: give --url or set TESSARY_DATABASE_URL");
    InstalledConnector installed;
    int ready = installed.install(c.url);
    if (ready == 0) {
        std::string message = "bad --url: ";
        Ref error = steal(PyErr_GetRaisedException());
        Ref text = steal(PyObject_Str(error.get()));
        std::string detail;
        if (!text || !text_of(text.get(), detail)) return nullptr;
        return usage_error(message + detail);
    }
    if (ready < 0) return command_failed();
    Ref connector = sync_connector(installed.connector());
    if (!connector || !run_command(connector.get(), c)) return command_failed();
    return exit_status(exit_ok);
}

}  // namespace tsy::migrate
