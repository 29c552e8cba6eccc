// The statement log: every statement a connector sends to its driver is a
// DEBUG record of the logger "Tessary.sql", written through the logger as
// any other record (its level, filters, handlers and propagation apply).
//
// Message: "<sql> | args <params> | <elapsed> ms | <outcome>", outcome one of
// "<n> rows", "key <lastrowid>", "<n> rows affected", "done" or
// "failed: <error type>: <error>"; a connector with read replicas adds
// " | on primary" or " | on replica <n>" (counted from 1). The record
// carries the same as fields: sql, statement, params, elapsed_ms, rows,
// lastrowid, rowcount, error, server (None without replicas)
// (docs/guide.md, "Seeing the SQL").
//
// While the logger is off the only cost is the check: logging keeps the
// answer of isEnabledFor(level) in the logger's `_cache` dict and empties
// that dict on every change of configuration (setLevel, disable, a new
// logger), so a cached False is exactly what isEnabledFor would say.
// Anything else (no answer cached yet, a True, a logger of another class)
// asks isEnabledFor itself.
#include "core/statement_log.hpp"

#include <cstdio>

#include "core/connector.hpp"
#include "tessary/coro.hpp"
#include "tessary/db.hpp"

namespace tsy::db {
namespace {

constexpr int kDebug = 10;  // logging.DEBUG
constexpr const char* kFormat = "%s | args %r | %s | %s";
constexpr const char* kServerFormat = "%s | args %r | %s | %s | on %s";

struct LogState {
    PyObject* logger = nullptr;        // logging.getLogger("Tessary.sql"), for the life of the process
    PyObject* cache = nullptr;         // its _cache dict, or NULL when it has none
    PyTypeObject* plain = nullptr;     // the logger's class when its isEnabledFor is logging's own
    PyObject* debug_level = nullptr;   // 10
    PyObject* format = nullptr;
    PyObject* server_format = nullptr;
    PyObject* is_enabled_for = nullptr;
    PyObject* debug = nullptr;
    PyObject* extra = nullptr;
    PyObject* rowcount = nullptr;
    // The record's own fields.
    PyObject* sql = nullptr;
    PyObject* statement = nullptr;
    PyObject* params = nullptr;
    PyObject* elapsed_ms = nullptr;
    PyObject* rows = nullptr;
    PyObject* lastrowid = nullptr;
    PyObject* error = nullptr;
    PyObject* server = nullptr;
    PyObject* primary = nullptr;  // "primary"
};

LogState state;

// A logger whose class keeps logging's isEnabledFor may be answered from its cache.
PyTypeObject* plain_logger_type(PyObject* logger) noexcept {
    Ref logger_class = import_attr("logging", "Logger");
    if (!logger_class || !PyType_Check(logger_class.get())) return nullptr;
    PyObject* standard = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(logger_class.get()), state.is_enabled_for);
    PyObject* own = _PyType_Lookup(Py_TYPE(logger), state.is_enabled_for);
    if (!standard || standard != own) return nullptr;
    return Py_TYPE(logger);
}

bool ask_logger() noexcept {
    Ref answer = call_method(state.logger, state.is_enabled_for, state.debug_level);
    int yes = answer ? truth(answer.get()) : -1;
    if (yes < 0) {
        PyErr_WriteUnraisable(state.logger);
        return false;
    }
    return yes != 0;
}

// The arguments as a tuple (a list is copied); anything else stays as given.
Ref params_tuple(PyObject* params) noexcept {
    if (!params || params == Py_None) return steal(PyTuple_New(0));
    if (PyTuple_Check(params)) return borrow(params);
    Ref copy = steal(PySequence_Tuple(params));
    if (copy) return copy;
    PyErr_Clear();
    return borrow(params);
}

Ref elapsed_text(const StatementTrace& t) noexcept {
    if (t.elapsed_ns < 0) return steal(PyUnicode_FromString("? ms"));
    char text[48];
    std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(t.elapsed_ns) / 1e6);
    return steal(PyUnicode_FromString(text));
}

Ref count_text(Py_ssize_t n, const char* what) noexcept {
    return steal(PyUnicode_FromFormat("%zd %s%s", n, n == 1 ? "row" : "rows", what));
}

Ref failure_text(PyObject* error) noexcept {
    const char* kind = _PyType_Name(Py_TYPE(error));
    Ref said = steal(PyObject_Str(error));
    if (!said) return {};
    if (PyUnicode_GET_LENGTH(said.get()) == 0) return steal(PyUnicode_FromFormat("failed: %s", kind));
    return steal(PyUnicode_FromFormat("failed: %s: %U", kind, said.get()));
}

// What the statement gave, as the record's fields and the message's last part.
struct Outcome {
    Ref rows = borrow(Py_None);
    Ref lastrowid = borrow(Py_None);
    Ref rowcount = borrow(Py_None);
    Ref text;
};

bool describe(const StatementTrace& t, int mode, PyObject* result, PyObject* error, Outcome& out) noexcept {
    if (t.rowcount >= 0 && !(out.rowcount = steal(PyLong_FromSsize_t(t.rowcount)))) return false;
    if (error) {
        out.text = failure_text(error);
    } else if (mode == RUN_ROWS) {
        Py_ssize_t n = t.rows_read >= 0                                 ? t.rows_read
                       : PyList_Check(result) || PyTuple_Check(result) ? Py_SIZE(result)
                                                                        : -1;
        if (n >= 0 && !(out.rows = steal(PyLong_FromSsize_t(n)))) return false;
        // A write run for rows (executeSql("UPDATE ...")) fetches none but tells what it changed.
        if (n == 0 && t.rowcount > 0) out.text = count_text(t.rowcount, " affected");
        else out.text = n >= 0 ? count_text(n, "") : steal(PyUnicode_FromString("done"));
    } else if (mode == RUN_KEY) {
        out.lastrowid = borrow(result);
        out.text = steal(PyUnicode_FromFormat("key %R", result));
    } else {
        out.text = t.rowcount >= 0 ? count_text(t.rowcount, " affected") : steal(PyUnicode_FromString("done"));
    }
    return static_cast<bool>(out.text);
}

// "primary", "replica <n>", or None (a connector without replicas).
Ref server_name(const StatementTrace& t) noexcept {
    if (t.server < 0) return borrow(Py_None);
    if (t.server == 0) return borrow(state.primary);
    return steal(PyUnicode_FromFormat("replica %d", t.server));
}

// logger.debug(format, sql, params, elapsed, outcome[, server], extra={...}).
bool write_record(const StatementTrace& t, PyObject* statement, PyObject* params, int mode, PyObject* result,
                  PyObject* error) noexcept {
    Ref sql = borrow(t.sql ? t.sql.get() : statement);
    Ref args = params_tuple(params);
    Ref elapsed = t.elapsed_ns >= 0 ? steal(PyFloat_FromDouble(static_cast<double>(t.elapsed_ns) / 1e6))
                                    : borrow(Py_None);
    Ref elapsed_part = elapsed_text(t);
    Ref server = server_name(t);
    Outcome outcome;
    if (!args || !elapsed || !elapsed_part || !server || !describe(t, mode, result, error, outcome)) return false;
    Ref fields = steal(PyDict_New());
    if (!fields) return false;
    PyObject* entries[][2] = {
        {state.sql, sql.get()},
        {state.statement, statement},
        {state.params, args.get()},
        {state.elapsed_ms, elapsed.get()},
        {state.rows, outcome.rows.get()},
        {state.lastrowid, outcome.lastrowid.get()},
        {state.rowcount, outcome.rowcount.get()},
        {state.error, error ? error : Py_None},
        {state.server, server.get()},
    };
    for (auto& entry : entries) {
        if (PyDict_SetItem(fields.get(), entry[0], entry[1]) < 0) return false;
    }
    Ref call_args = t.server < 0 ? steal(PyTuple_Pack(5, state.format, sql.get(), args.get(), elapsed_part.get(),
                                                      outcome.text.get()))
                                 : steal(PyTuple_Pack(6, state.server_format, sql.get(), args.get(), elapsed_part.get(),
                                                      outcome.text.get(), server.get()));
    Ref keywords = steal(PyDict_New());
    Ref debug = attr(state.logger, state.debug);
    if (!call_args || !keywords || !debug || PyDict_SetItem(keywords.get(), state.extra, fields.get()) < 0) return false;
    return static_cast<bool>(steal(PyObject_Call(debug.get(), call_args.get(), keywords.get())));
}

coro::Task logged_task(Ref pending, std::shared_ptr<StatementTrace> trace, Ref statement, Ref params, int mode) {
    Ref result = co_await coro::await(std::move(pending));
    co_return steal(log_statement(*trace, statement.get(), params.get(), mode, result.release()));
}

}  // namespace

void StatementTrace::stop(PyObject* text, PyObject* cursor) noexcept {
    if (!on) return;
    elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - started).count();
    sql = borrow(text);
    if (!cursor || PyErr_Occurred()) return;
    Ref count = attr(cursor, state.rowcount);
    Py_ssize_t n = count && PyLong_Check(count.get()) ? PyLong_AsSsize_t(count.get()) : -1;
    if (PyErr_Occurred()) PyErr_Clear();  // a driver without rowcount: nothing to tell
    rowcount = n;
}

bool statement_log_on() noexcept {
    if (state.plain && Py_IS_TYPE(state.logger, state.plain)) {
        PyObject* known = PyDict_GetItemWithError(state.cache, state.debug_level);
        if (known == Py_False) return false;
        if (!known && PyErr_Occurred()) PyErr_Clear();
    }
    return ask_logger();
}

std::shared_ptr<StatementTrace> new_shared_trace() noexcept {
    if (!statement_log_on()) return {};
    try {
        auto trace = std::make_shared<StatementTrace>();
        trace->on = true;
        return trace;
    } catch (...) {
        return {};  // no memory for the trace: the statement runs unlogged
    }
}

PyObject* log_statement(const StatementTrace& trace, PyObject* statement, PyObject* params, int mode,
                        PyObject* result) noexcept {
    if (!trace.on) return result;
    Ref error = result ? Ref() : steal(PyErr_GetRaisedException());
    // A record that cannot be written must not change the statement's outcome.
    if (!write_record(trace, statement, params, mode, result, error.get())) PyErr_WriteUnraisable(state.logger);
    if (error) PyErr_SetRaisedException(error.release());
    return result;
}

void log_stream(PyObject* statement, PyObject* sql, PyObject* params, std::int64_t elapsed_ns,
                Py_ssize_t rows) noexcept {
    StatementTrace trace;
    trace.on = true;
    trace.sql = borrow(sql ? sql : statement);
    trace.elapsed_ns = elapsed_ns;
    trace.rows_read = rows;
    PyObject* result = PyErr_Occurred() ? nullptr : Py_NewRef(Py_None);
    Py_XDECREF(log_statement(trace, statement, params, RUN_ROWS, result));
}

PyObject* logged_awaitable(Ref pending, std::shared_ptr<StatementTrace> trace, PyObject* statement, PyObject* params,
                           int mode) noexcept {
    if (!pending) return nullptr;
    return coro::make_coroutine(logged_task(std::move(pending), std::move(trace), borrow(statement), borrow(params), mode),
                                "execute");
}

namespace {

// Times an awaited driver call and writes its record once it has ended.
coro::Task timed_call_task(Ref pending, std::shared_ptr<StatementTrace> trace, Ref text) {
    trace->start();
    Ref result = co_await coro::await(std::move(pending));
    trace->stop(text.get(), nullptr);
    co_return steal(log_statement(*trace, text.get(), Py_None, RUN_NONE, result.release()));
}

}  // namespace

PyObject* logged_call(PyObject* con, PyObject* method, PyObject* text) noexcept {
    StatementTrace trace = new_trace();
    trace.start();
    Ref result = call_method(con, method);
    trace.stop(text, nullptr);
    return log_statement(trace, text, Py_None, RUN_NONE, result.release());
}

PyObject* logged_call_awaitable(PyObject* con, PyObject* method, PyObject* text) noexcept {
    std::shared_ptr<StatementTrace> trace = new_shared_trace();
    Ref pending = call_method(con, method);
    if (!pending || !trace) return pending.release();
    return coro::make_coroutine(timed_call_task(std::move(pending), std::move(trace), borrow(text)), "execute");
}

PyObject* logged_run_on(PyObject* con, PyObject* text) noexcept {
    StatementTrace trace = new_trace();
    return log_statement(trace, text, Py_None, RUN_NONE, run_on(con, text, Py_None, RUN_NONE, &trace));
}

int ready_statement_log() noexcept {
    const NameSlot all[] = {
        {&state.format, kFormat},
        {&state.server_format, kServerFormat},
        {&state.server, "server"},
        {&state.primary, "primary"},
        {&state.is_enabled_for, "isEnabledFor"},
        {&state.debug, "debug"},
        {&state.extra, "extra"},
        {&state.rowcount, "rowcount"},
        {&state.sql, "sql"},
        {&state.statement, "statement"},
        {&state.params, "params"},
        {&state.elapsed_ms, "elapsed_ms"},
        {&state.rows, "rows"},
        {&state.lastrowid, "lastrowid"},
        {&state.error, "error"},
    };
    if (intern_all(all) < 0) return -1;
    if (!state.debug_level && !(state.debug_level = PyLong_FromLong(kDebug))) return -1;
    if (state.logger) return 0;
    Ref get_logger = import_attr("logging", "getLogger");
    Ref name = steal(PyUnicode_FromString("Tessary.sql"));
    Ref logger = get_logger && name ? call(get_logger.get(), name.get()) : Ref();
    if (!logger) return -1;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttrString(logger.get(), "_cache", &found) < 0) return -1;
    Ref cache = steal(found);
    state.plain = cache && PyDict_Check(cache.get()) ? plain_logger_type(logger.get()) : nullptr;
    if (PyErr_Occurred()) return -1;
    state.cache = state.plain ? cache.release() : nullptr;
    if (state.plain) Py_INCREF(state.plain);
    state.logger = logger.release();
    return 0;
}

}  // namespace tsy::db
