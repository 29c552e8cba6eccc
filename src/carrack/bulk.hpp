// Shared parts of the set-oriented writes (saveAll, upsert): multi-row INSERT
// statements in chunks under the connector's parameter limit, run through the
// handle's executeSql on one connection. One coroutine body serves both
// executors: on the synchronous one it is driven to its end at once (nothing
// it calls returns an awaitable there), on the coroutine one it is awaited.
#pragma once

#include "relations.hpp"
#include "tessary/coro.hpp"

#include <vector>

namespace tsy::exec::bulk {

// What the statements of one call depend on, read once per call from the
// connector capsule: the SQL of the connection (ON CONFLICT or ON DUPLICATE
// KEY, identifier quotes), INSERT ... RETURNING, and the parameter limit.
using Backend = db::Dialect;

inline bool is_sqlite(const Backend& b) noexcept { return b.kind == db::DIALECT_SQLITE; }

// The facts of the connector `model`'s statements run on, on `con`, the
// connection the call runs on (the server's version from the connection, no
// statement sent).
bool read_backend(PyObject* model, PyObject* con, Backend& out) noexcept;

// Rows per statement for rows of `width` parameters: as many as the limit
// allows, at most `cap` when `cap` > 0, at least one.
Py_ssize_t rows_per_statement(const Backend& b, Py_ssize_t width, Py_ssize_t cap) noexcept;

// MariaDB's drivers write the values into the statement text, which must fit
// the server's max_allowed_packet (16 MiB by default): the values of one
// statement are kept under this many bytes of text and buffers (escaping may
// double them). SQLite binds its values and has no such bound.
inline constexpr Py_ssize_t kPacketBudget = 4 * 1024 * 1024;

// Instances whose INSERT names the same columns, in the order first met.
struct Group {
    Ref names;                        // tuple of column names, in column order
    Ref cols;                         // tuple of the column properties named
    std::vector<Py_ssize_t> members;  // indices into the call's instance list
};

// The stored values of every instance's INSERT (rows[i], a tuple) and the
// groups: the columns the instance holds with a value other than None, in
// column order, each value as its column's insertCell gives it (its
// toDBValue when the column keeps BaseProperty's own insertCell, without the
// entry dict; an override's entry otherwise). An instance with no value is in
// no group.
bool group_rows(PyObject* model, PyObject* instances, std::vector<Ref>& rows, std::vector<Group>& groups) noexcept;

// The INSERT entries {"col": ..., "value": ...} of one row of `group`, as
// insertCell makes them (a tuple).
Ref cells_of(const Group& group, PyObject* values) noexcept;

// The INSERT of a group up to and including " values ", as the builder
// renders save's INSERT for its columns on `con` (the connection the call
// runs on): same table and column style.
Ref insert_head(PyObject* model, PyObject* con, const Group& group) noexcept;

// The end of the chunk of members that starts at `begin`: at most `per` rows,
// and on MariaDB at most kPacketBudget bytes of values (one row at least).
Py_ssize_t chunk_end(const Backend& b, const std::vector<Ref>& rows, const std::vector<Py_ssize_t>& members,
                     Py_ssize_t begin, Py_ssize_t per) noexcept;

// head + `rows` groups "(%s,...)" of `width` placeholders + tail.
Ref statement_text(PyObject* head, Py_ssize_t width, Py_ssize_t rows, PyObject* tail) noexcept;

// The values of members [begin, end), row after row (a tuple).
Ref chunk_args(const std::vector<Ref>& rows, const std::vector<Py_ssize_t>& members, Py_ssize_t begin,
               Py_ssize_t end) noexcept;

// An identifier as the connector quotes it outside INSERT lists: "name" on
// SQLite, `name` on MariaDB.
Ref quoted(const Backend& b, PyObject* name) noexcept;

// The handle's executeSql(text, args, con): the rows, or their awaitable on
// an asynchronous connector.
Ref run_sql(PyObject* self, PyObject* text, PyObject* args, PyObject* con) noexcept;

// The first item of every row (a new list).
Ref first_column(PyObject* rows) noexcept;

// The argument `instances`: a list of the mappings it yields; TypeError
// naming `func` for anything else.
Ref instance_list(const char* func, PyObject* instances) noexcept;

// The keyword `chunkSize`: None or absent gives 0 (no cap), else a positive int.
bool chunk_size(const char* func, PyObject* value, Py_ssize_t* out) noexcept;

// Runs `task` to its end now (synchronous executor: its result) or hands
// back its coroutine for the caller to await.
Ref launch(coro::Task task, bool is_async, const char* name) noexcept;

// In a task body: `ref` becomes what it stands for (awaited on the coroutine
// executor, taken as it is on the synchronous one).
#define TSY_BULK_RESOLVE(ref, is_async)                               \
    do {                                                              \
        if (is_async) ref = co_await ::tsy::coro::await(std::move(ref)); \
    } while (0)

// The work of one call on connection `con`; `args` the call's own arguments,
// the list of instances first.
using Job = coro::Task (*)(Ref self, Ref con, Ref args, bool is_async);

// `job` on the executor's connection when it is bound to one; otherwise in
// one transaction of the handle (with / async with), committed when the job
// ends and rolled back when it fails. Inside a block of the caller's that
// is open on the handle, the transaction is that block's savepoint.
// `name` names the coroutines (the method's name, a string literal).
coro::Task in_transaction(Ref self, Ref args, Job job, const char* name, bool is_async);
// in_transaction for a job whose first argument is a list of instances: an
// empty list is an empty result at once, nothing sent.
coro::Task transactional(Ref self, Ref args, Job job, const char* name, bool is_async);


// The INSERT of a row of the table's defaults (the model's row with no value
// given) on `con` (NULL or None: the connector's own connection), written in
// the connection's dialect: the generated key, or its awaitable.
Ref insert_defaults(PyObject* model, PyObject* con) noexcept;

// The methods (save_all.cpp, upsert.cpp).
PyObject* saveAll_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* upsert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* async_saveAll_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* async_upsert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tsy::exec::bulk
