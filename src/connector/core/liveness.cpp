// Whether a connection of a synchronous connector still answers.
//
// A connection left idle can die without a word reaching the client: the
// server killed it, restarted, or closed it after wait_timeout. The first
// statement sent on it would then fail (2006, 2013). A ping is one round trip
// that finds out first. A connection found dead is closed here, so whatever
// the caller does next, its socket and handle are gone.
#include "aio/aio_connector.hpp"
#include "core/connector.hpp"
#include "core/engines.hpp"
#include "engines/mysql/connection.hpp"

namespace tsy::db {
namespace {

// The native engine: COM_PING on the handle, the GIL released meanwhile. The
// library never reconnects by itself (MYSQL_OPT_RECONNECT stays off), so a
// failed ping means this session is over.
int ping_native(PyObject* con) noexcept {
    MysqlConnectionObject* c = as_mysql(con);
    if (!mysql_connection_ready(con) || !c->handle) return 0;
    bool failed = false;
    {
        HandleClaim claim(c);
        if (!claim) return -1;  // in use by a call or an unread result: not an idle connection
        if (!run_blocking(mysql::command(mysql::Session{c->handle, true}, mysql::Command::Ping, failed))) return -1;
    }
    if (!failed) return 1;
    close_handle(c);
    return 0;
}

// A driver connection with pymysql's ping(reconnect=False): it raises when
// the server does not answer (pymysql.err.Error, or OSError from the socket).
int ping_module(PyObject* con) noexcept {
    Ref ping = steal(PyObject_GetAttrString(con, "ping"));
    if (!ping) {
        // Nothing to ask (a connection of an overridden connect()): assumed alive.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 1;
    }
    Ref no_args = steal(PyTuple_New(0));
    Ref kwargs = steal(Py_BuildValue("{s:O}", "reconnect", Py_False));
    if (!no_args || !kwargs) return -1;
    Ref answered = steal(PyObject_Call(ping.get(), no_args.get(), kwargs.get()));
    if (answered) return 1;
    if (!pending_error_means_dead()) return -1;
    PyErr_Clear();
    // pymysql has closed its socket already when the server went away, not
    // when it answered with an error (1927 after a KILL): close() makes sure.
    Ref closed = call_method(con, names.close);
    if (!closed) PyErr_Clear();  // "Already closed"
    return 0;
}

}  // namespace

int ping_connection(PyObject* self, PyObject* con) noexcept {
    if (!con || con == Py_None) {
        fail(PyExc_TypeError, "ping_connection: no connection");
        return -1;
    }
    if (PyObject_TypeCheck(self, &Sqlite3ConnectorType) || is_native_sqlite(con)) return 1;
    if (is_native_mysql(con)) return ping_native(con);
    if (!PyObject_TypeCheck(self, &MysqlConnectorType)) return 1;  // SQLite's module connections
    return ping_module(con);
}

namespace {

// An awaitable answer known at once.
coro::Task answer(Ref value) { co_return value; }

// A dead connection that is the calling thread's own is forgotten, for its
// next statement to open a new one (not inside a transaction() block, whose
// later statements must fail rather than run outside it).
void forget_if_own(PyObject* connector, PyObject* con) noexcept {
    Ref state = existing_thread_state(connector);
    if (!state) {
        PyErr_Clear();
        return;
    }
    if (state.get() != Py_None && as_thread_con(state.get())->con == con) drop_if_broken(as_thread_con(state.get()));
}

// _ping(connector, con): what the pools ask before reusing a connection, for
// a program (or a test) that wants to know now. Coroutine connectors answer
// with an awaitable.
PyObject* ping_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const kNames[] = {"connector", "con"};
    static const Params params{"_ping", kNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (!is_aio(a[0])) {
        if (!check_arg(a[0], &BaseConnectorType, "connector", false)) return nullptr;
        int alive = ping_connection(a[0], a[1]);
        if (alive < 0) return nullptr;
        if (!alive) forget_if_own(a[0], a[1]);
        return PyBool_FromLong(alive);
    }
    if (!aio_ready(a[0])) return not_initialised(a[0]);
    const AioDriver* driver = as_aio(a[0])->driver;
    if (!driver->belongs(a[0], a[1])) return nullptr;
    const AioDriver* own = driver->table_of(a[1]);
    if (!own->ping) return coro::make_coroutine(answer(borrow(Py_True)), "ping", "_ping");
    return own->ping(a[1]);
}

PyMethodDef liveness_functions[] = {
    {"_ping", fastkw<ping_function>(), METH_FASTCALL | METH_KEYWORDS,
     "_ping($module, connector, con, /)\n--\n\n"
     "Whether `con`, a connection of `connector`, still answers the server (an awaitable of it on a "
     "coroutine connector). A connection found dead is closed."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_liveness_functions(PyObject* module) noexcept { return PyModule_AddFunctions(module, liveness_functions); }

}  // namespace tsy::db
