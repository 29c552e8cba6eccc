// Which connector a connection came from (ConnectorApi's owns_connection):
// the database handle, which may know several connectors, runs a statement
// given a connection through the connector that opened it, so that the
// statement is written in that connection's SQL and follows its commit
// rules.
#include "aio/aio_connector.hpp"
#include "engines/mysql/nonblocking.hpp"

namespace tsy::db {

int owns_connection(PyObject* connector, PyObject* con) noexcept;

namespace {

// The calling thread's connection of a synchronous connector (a thread
// uses its own; a connection handed to another thread is matched by kind by
// the caller instead). Looked up without opening one.
bool thread_connection_of(PyObject* connector, PyObject* con) noexcept {
    Ref state = existing_thread_state(connector);
    if (!state) {
        PyErr_Clear();
        return false;
    }
    return state.get() != Py_None && as_thread_con(state.get())->con == con;
}

// A pooled connection of a driver whose connection does not name its
// connector (aiomysql): lent out, or idle in the pool.
bool pooled_connection_of(AioConnectorObject* c, PyObject* con) noexcept {
    if (c->lent && PyDict_Check(c->lent) && PyDict_Contains(c->lent, con) > 0) return true;
    if (!c->idle || !PyList_Check(c->idle)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(c->idle); ++i) {
        if (PyList_GET_ITEM(c->idle, i) == con) return true;
    }
    return false;
}

}  // namespace

int owns_connection(PyObject* connector, PyObject* con) noexcept {
    if (!connector || !con || con == Py_None) return 0;
    if (is_aio(connector)) {
        if (PyObject_TypeCheck(con, &AioSqliteConnectionType)) return as_sqlite_con(con)->connector == connector;
        if (PyObject_TypeCheck(con, &AioMysqlConnectionType)) return as_mysql_con(con)->connector == connector;
        return pooled_connection_of(as_aio(connector), con);
    }
    if (PyObject_TypeCheck(connector, &BaseConnectorType)) return thread_connection_of(connector, con);
    return 0;
}

}  // namespace tsy::db
