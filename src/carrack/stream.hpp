// Internal declarations of the row streams of iterAllBy (stream.cpp,
// async_stream.cpp).
#pragma once

#include "carrack.hpp"

namespace tsy::exec {

// The one record a stream writes to the statement log when it ends, however
// it ends (exhausted, closed, failed, dropped), with every row it read.
struct StreamLog {
    PyObject* statement;  // the "%s" text; NULL while nothing is to be written
    PyObject* sql;        // the text the driver received
    PyObject* params;
    std::int64_t started_ns;
    Py_ssize_t rows;
};

// Starts the record of a statement being sent, when the log takes it now
// (true); `sql` NULL until the driver's text is known.
bool stream_log_start(StreamLog& log, PyObject* statement, PyObject* sql, PyObject* params) noexcept;
inline void stream_log_rows(StreamLog& log, Py_ssize_t n) noexcept { log.rows += n; }
// Writes the record (once): a failure when an error is pending, which stays pending.
void stream_log_end(StreamLog& log) noexcept;
void stream_log_clear(StreamLog& log) noexcept;
int stream_log_traverse(StreamLog& log, visitproc visit, void* arg) noexcept;

// RowStream: the synchronous executor's stream, reading one driver cursor.
struct StreamObject {
    PyObject_HEAD
    PyObject* model;      // NULL for a stream made by __new__ alone
    PyObject* cursor;     // the driver's cursor; NULL once closed
    PyObject* owned_con;  // a connection opened for this stream alone, closed with it
    PyObject* batch;      // instances of the current batch (a list)
    Py_ssize_t pos;       // the next one to hand out
    Py_ssize_t batch_size;
    int busy;             // reading a batch: a next() from its code is refused
    int done;
    StreamLog log;
};

// AsyncRowStream: the coroutine executor's stream, on one connection held
// from the first batch to the last: the executor's own, or one taken with
// getCon() and given back with releaseCon() at the end, on aclose() or when
// the stream is dropped. On AioSqliteConnector the statement runs once on a
// cursor the connection's worker keeps open, read with fetchmany; on MySQL
// the batches are keyset queries on the primary key (`WHERE <Filter> AND pk
// > <last key> ORDER BY pk LIMIT batchSize`), which hold nothing open on the
// server between batches and come in key order.
struct AsyncStreamObject {
    PyObject_HEAD
    PyObject* model;      // NULL for a stream made by __new__ alone
    PyObject* filter;     // the condition (a FilterListCell) or None
    PyObject* connector;
    PyObject* con;        // the connection the batches run on, NULL before the first
    PyObject* last;       // keyset batches: the primary key of the last row read, NULL before the first
    PyObject* statement;  // cursor batches: findAllBy's (text, args); NULL for keyset batches
    PyObject* cursor;     // cursor batches: the worker's cursor once opened
    PyObject* batch;
    Py_ssize_t pos;
    Py_ssize_t batch_size;
    int leased;           // `con` came from getCon(): it is given back
    int busy;
    int done;             // no statement is left to send
    StreamLog log;        // cursor batches: the statement's record
};

extern PyTypeObject RowStreamType;
extern PyTypeObject AsyncRowStreamType;

int ready_streams() noexcept;
int ready_async_stream() noexcept;

// A list of instances of `model` from driver rows, by findAllBy's row plan.
Ref instances_of(PyObject* model, PyObject* rows) noexcept;
// findAllBy's statement prepared on the executor's builder, rendered: (text, args).
Ref prepare_select(PyObject* self, PyObject* filter) noexcept;
// 1 when the connector's statements run on SQLite on `con` (NULL or None:
// its own connection), 0 on MySQL/MariaDB, -1 on error.
int sqlite_dialect(PyObject* connector, PyObject* con) noexcept;

// Filter=None, batchSize=1000 of both iterAllBy methods (filter borrowed).
bool parse_iter_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filter,
                     Py_ssize_t* batch_size) noexcept;

PyObject* iterAllBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
namespace async {
PyObject* iterAllBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
}

}  // namespace tsy::exec
