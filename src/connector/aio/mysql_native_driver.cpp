// The native driver of AioMysqlConnector: connections of MariaDB
// Connector/C in its non-blocking mode, driven by the loop
// (engines/mysql/nonblocking.cpp), pooled by aio/pool.cpp.
//
// Connections do not commit by themselves. A connection given back with
// work left (a lease ended by a cleanup path) cannot be rolled back on the
// spot, that is a call on the network: it is marked (`dirty`) and rolled back
// when it is next lent. One cut off in the middle of a call, or lost, is
// closed and dropped; an idle one whose socket shows the server went away
// is dropped when found.
#include "aio/aio_connector.hpp"
#include "engines/mysql/nonblocking.hpp"

namespace tsy::db {
namespace {

using aio::Op;
using mysql_async::Command;

// The connect settings from the connector's keywords (aiomysql's names:
// "db" for the database; the pool sizes are the pool's own).
bool connect_settings(AioConnectorObject* c, MysqlSettings& out) noexcept {
    static const char* const kept[] = {"host",    "port",       "user",       "password", "unix_socket",
                                       "charset", "autocommit", "client_flag"};
    Ref kwargs = steal(PyDict_New());
    if (!kwargs) return false;
    for (const char* key : kept) {
        PyObject* value = PyDict_GetItemString(c->base.settings, key);
        if (value && value != Py_None && PyDict_SetItemString(kwargs.get(), key, value) < 0) return false;
    }
    PyObject* db = PyDict_GetItemWithError(c->base.settings, names.db);
    if (db && db != Py_None && PyDict_SetItem(kwargs.get(), names.database, db) < 0) return false;
    if (PyErr_Occurred()) return false;
    return parse_mysql_settings(kwargs.get(), out);
}

PyObject* open_connection(PyObject* connector) noexcept {
    MysqlSettings settings;
    if (!connect_settings(as_aio(connector), settings)) return nullptr;
    return mysql_async::open(connector, settings);  // the settings are copied into its frame
}

bool belongs(PyObject* connector, PyObject* con) noexcept {
    if (!check_arg(con, &AioMysqlConnectionType, "con", false)) return false;
    if (as_mysql_con(con)->connector != connector) {
        fail(PyExc_ValueError, "the connection does not belong to this connector");
        return false;
    }
    return true;
}

PyObject* step(PyObject* con, Op op, PyObject* text, PyObject* args, int mode, bool,
               std::shared_ptr<StatementTrace> trace) noexcept {
    switch (op) {
        case Op::Run: return mysql_async::statement(con, text, args, mode, std::move(trace));
        case Op::Begin: return mysql_async::command(con, Command::Begin);
        case Op::Commit: return mysql_async::command(con, Command::Commit);
        case Op::Rollback: return mysql_async::command(con, Command::Rollback);
        default: return fail(PyExc_SystemError, "AioMysqlConnection: no %s step", aio::step_name(op));
    }
}

bool may_hold_work(PyObject* con) noexcept {
    AioMysqlConnectionObject* m = as_mysql_con(con);
    return m->mysql && !m->broken && m->dirty;
}

// Its leftover work is rolled back when it is next lent.
bool discard_work(PyObject* con) noexcept {
    AioMysqlConnectionObject* m = as_mysql_con(con);
    return m->mysql && !m->broken && !m->busy;
}

bool idle_alive(PyObject* con) noexcept { return mysql_async::idle_alive(as_mysql_con(con)); }

void close_now(PyObject* con) noexcept { mysql_async::close_now(as_mysql_con(con)); }

}  // namespace

const AioDriver kMysqlNativeBackend = {
    .name = "native",
    .native = true,
    .names = &kMysqlConnectorNames,
    .loop_bound = true,  // the loop watches the sockets
    .settles_itself = false,
    .binds_in_place = false,  // the text is written when the call starts, while the loop may change the buffers
    .belongs = belongs,
    .table_of = aio::mysql_table_of,
    .slot_of = nullptr,
    .open = open_connection,
    .step = step,
    .may_hold_work = may_hold_work,
    .discard_work = discard_work,
    .rolls_back_when_lent = true,
    .idle_alive = idle_alive,
    .close_now = close_now,
    .close = mysql_async::close,
    .close_cursor = nullptr,
    .auto_field = aio::mysql_auto_field,
    .ping = mysql_async::ping,
};

int ready_aio_mysql_engine(PyObject* module) noexcept {
    if (mysql_async::ready() < 0 || mysql_async::ready_cursor(module) < 0) return -1;
    return add_type(module, &AioMysqlConnectionType, "AioMysqlConnection");
}

}  // namespace tsy::db
