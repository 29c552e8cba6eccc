// Tessary.DB.Connector.MysqlCursor: the cursors of a native MariaDB
// connection, behaving as pymysql's Cursor (buffered: the whole result is
// read by execute()) and SSCursor (unbuffered: rows are read from the
// server a batch at a time as they are fetched, and the connection serves
// nothing else until the result is read to its end or the cursor closed).
#include <algorithm>
#include <cstddef>
#include <memory>
#include <vector>

#include "engines/mysql/connection.hpp"

namespace tsy::db {
namespace {

struct MysqlCursorObject {
    PyObject_HEAD
    PyObject* connection;    // MysqlConnectionObject; NULL once the cursor is closed
    PyObject* rows;          // buffered: tuple of the last result's rows, or NULL
    PyObject* description;   // None, or the last result's 7-tuples
    PyObject* lastrowid;     // None, or the last statement's key
    PyObject* rowcount;      // int
    // Unbuffered: the plan of the open result, from execute() until the
    // cursor reads it to its end or ends it itself. Kept while the connection
    // no longer holds the result: the rows left were cut off by its close().
    MysqlRowReader* reader;
    Py_ssize_t rownumber;
    Py_ssize_t arraysize;
    int unbuffered;
    int executed;
};

MysqlCursorObject* as_cursor(PyObject* obj) noexcept { return reinterpret_cast<MysqlCursorObject*>(obj); }

constexpr Py_ssize_t kStreamBatch = 1000;  // rows read a time by fetchall() of an unbuffered cursor
constexpr size_t kMaxStatement = 1024000;  // pymysql's max_stmt_length for executemany's multi-row INSERT

MysqlConnectionObject* open_connection(MysqlCursorObject* cur) noexcept {
    if (!cur->connection) {
        set_pymysql_error("ProgrammingError", -1, "Cursor closed");
        return nullptr;
    }
    return as_mysql(cur->connection);
}

bool owns_stream(MysqlCursorObject* cur) noexcept {
    return cur->connection && as_mysql(cur->connection)->stream_owner == reinterpret_cast<PyObject*>(cur);
}

void forget_result(MysqlCursorObject* cur) noexcept {
    cur->rownumber = 0;
    Py_CLEAR(cur->rows);
    set_field(cur->description, Py_None);
    set_field(cur->lastrowid, Py_None);
    delete cur->reader;
    cur->reader = nullptr;
}

// The cursor is done with its unbuffered result: nothing of it is left to tell.
void let_go_of_stream(MysqlCursorObject* cur) noexcept {
    delete cur->reader;
    cur->reader = nullptr;
}

// This cursor's open unbuffered result, read to its end and dropped.
bool end_own_stream(MysqlCursorObject* cur) noexcept {
    if (!owns_stream(cur)) return true;
    MysqlConnectionObject* c = as_mysql(cur->connection);
    if (c->busy) {
        set_pymysql_error("ProgrammingError", -1, "the cursor is in use by another thread");
        return false;
    }
    let_go_of_stream(cur);
    return end_stream(c);
}

// The connection's close() dropped the cursor's result before its end: a
// fetch must not pass the rows never read for an empty rest.
bool stream_cut_off(MysqlCursorObject* cur) noexcept {
    if (!cur->reader || !cur->connection || owns_stream(cur)) return false;
    set_pymysql_error("ProgrammingError", -1, "Cannot read the rest of a result whose connection was closed.");
    return true;
}

// --- execute --------------------------------------------------------------------------

bool keep_stored(MysqlCursorObject* cur, MysqlConnectionObject* c, QueryOutcome& r) noexcept {
    if (r.res) {
        PyObject* rows = mysql_stored_rows(r.res, c->encoding, true);
        Ref description = rows ? steal(mysql_description(r.res)) : Ref();
        mysql_free_result(r.res);
        r.res = nullptr;
        if (!description) {
            Py_XDECREF(rows);
            return false;
        }
        cur->rows = rows;
        set_field(cur->description, description.get());
    }
    if (!r.field_count) {
        Ref key = steal(PyLong_FromUnsignedLongLong(r.insert_id));
        if (!key) return false;
        set_field(cur->lastrowid, key.get());
    }
    return true;
}

// The result stays open on the connection, for the fetches to read.
bool keep_stream(MysqlCursorObject* cur, MysqlConnectionObject* c, QueryOutcome& r) noexcept {
    c->stream = r.res;
    c->stream_owner = reinterpret_cast<PyObject*>(cur);
    r.res = nullptr;
    std::unique_ptr<MysqlRowReader> reader(new (std::nothrow) MysqlRowReader());
    if (!reader) return PyErr_NoMemory(), false;
    if (!reader->prepare(c->stream, c->encoding)) return false;
    Ref description = steal(mysql_description(c->stream));
    if (!description) return false;
    set_field(cur->description, description.get());
    cur->reader = reader.release();
    return true;
}

PyObject* zero() noexcept {
    static PyObject* value = PyLong_FromLong(0);  // a small int: immortal
    return value;
}

// Builds the statement text while the handle is claimed (an argument's
// str() runs Python code, which must not close the handle the escaping reads).
using TextMaker = bool (*)(MYSQL* m, PyObject* query, PyObject* args, std::string& out) noexcept;

bool as_is(MYSQL*, PyObject*, PyObject*, std::string&) noexcept { return true; }

bool statement_for(MYSQL* m, PyObject* query, PyObject* args, std::string& sql) noexcept {
    if (!PyUnicode_Check(query)) {
        fail(PyExc_TypeError, "query must be a str, not %.200s", type_name(query));
        return false;
    }
    return mysql_statement_text(m, query, args, sql);
}

// One statement on the cursor's connection: `sql` as it is, or written by
// `make` from the query and its arguments first.
bool run_text(MysqlCursorObject* cur, MysqlConnectionObject* c, std::string& sql, TextMaker make = as_is,
              PyObject* query = nullptr, PyObject* args = nullptr) noexcept {
    QueryOutcome r;
    bool kept = false;
    {
        HandleClaim claim(c, reinterpret_cast<PyObject*>(cur));
        if (!claim || !make(c->handle, query, args, sql)) return false;
        // As pymysql: the last result is gone even when the statement fails.
        forget_result(cur);
        set_field(cur->rowcount, zero());
        if (!run_query(c, sql, cur->unbuffered != 0, r)) return false;
        cur->executed = 1;
        Ref count = steal(PyLong_FromUnsignedLongLong(r.affected));
        if (!count) return false;
        set_field(cur->rowcount, count.get());
        kept = cur->unbuffered && r.res ? keep_stream(cur, c, r) : keep_stored(cur, c, r);
    }
    // A stream whose rows could not be planned is dropped once the claim has ended.
    if (!kept && owns_stream(cur)) {
        Ref pending = steal(PyErr_GetRaisedException());
        if (!end_stream(c)) PyErr_Clear();
        PyErr_SetRaisedException(pending.release());
    }
    return kept;
}

bool execute_one(MysqlCursorObject* cur, PyObject* query, PyObject* args) noexcept {
    MysqlConnectionObject* c = open_connection(cur);
    if (!c || !end_own_stream(cur)) return false;
    try {
        std::string sql;
        return run_text(cur, c, sql, statement_for, query, args);
    } catch (...) {
        translate_exception();
        return false;
    }
}

PyObject* cur_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"query", "args"};
    static const Params params{"execute", names, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    MysqlCursorObject* cur = as_cursor(self);
    if (!execute_one(cur, a[0], a[1] ? a[1] : Py_None)) return nullptr;
    return Py_NewRef(cur->rowcount);
}

// --- executemany ----------------------------------------------------------------------------

// pymysql's multi-row INSERT: "INSERT ... VALUES (%s, %s)" run for many
// argument rows as few statements, each at most kMaxStatement octets.
struct InsertParts {
    Ref prefix, values, postfix;
};

int split_insert(PyObject* query, InsertParts& out) noexcept {
    Ref pattern = import_attr("pymysql.cursors", "RE_INSERT_VALUES");
    Ref match = pattern ? steal(PyObject_CallMethod(pattern.get(), "match", "O", query)) : Ref();
    if (!match) return -1;
    if (match.get() == Py_None) return 0;
    out.prefix = steal(PyObject_CallMethod(match.get(), "group", "i", 1));
    Ref values = out.prefix ? steal(PyObject_CallMethod(match.get(), "group", "i", 2)) : Ref();
    out.values = values ? steal(PyObject_CallMethod(values.get(), "rstrip", nullptr)) : Ref();
    out.postfix = out.values ? steal(PyObject_CallMethod(match.get(), "group", "i", 3)) : Ref();
    if (!out.postfix) return -1;
    if (out.postfix.get() == Py_None) out.postfix = steal(PyUnicode_FromString(""));
    return out.postfix ? 1 : -1;
}

bool utf8_of(PyObject* text, std::string& out) noexcept {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (!data) return false;
    out.assign(data, static_cast<size_t>(size));
    return true;
}

bool run_counted(MysqlCursorObject* cur, MysqlConnectionObject* c, std::string sql,
                 unsigned long long& total) noexcept {
    if (!run_text(cur, c, sql)) return false;
    total += PyLong_AsUnsignedLongLong(cur->rowcount);
    return !PyErr_Occurred();
}

// The text of `query` with `args`, written while the handle is claimed.
bool write_claimed(MysqlConnectionObject* c, PyObject* query, PyObject* args, std::string& out) {
    HandleClaim claim(c);
    return claim && mysql_statement_text(c->handle, query, args, out);
}

bool execute_insert_rows(MysqlCursorObject* cur, MysqlConnectionObject* c, const InsertParts& parts,
                         PyObject* rows, unsigned long long& total) {
    std::string prefix, postfix, sql, row;
    // The prefix goes through "%" with no argument, as pymysql does: "%%" becomes "%".
    Ref no_args = steal(PyTuple_New(0));
    if (!no_args || !utf8_of(parts.postfix.get(), postfix)) return false;
    if (!write_claimed(c, parts.prefix.get(), no_args.get(), prefix)) return false;
    Ref items = steal(PySequence_Fast(rows, "executemany() needs a sequence of argument rows"));
    if (!items) return false;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    sql = prefix;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref args = borrow(PySequence_Fast_GET_ITEM(items.get(), i));
        if (!write_claimed(c, parts.values.get(), args.get(), row)) return false;
        if (i > 0 && sql.size() + row.size() + postfix.size() + 1 > kMaxStatement) {
            if (!run_counted(cur, c, sql + postfix, total)) return false;
            sql = prefix;
        } else if (i > 0) {
            sql += ',';
        }
        sql += row;
    }
    return run_counted(cur, c, sql + postfix, total);
}

bool execute_each(MysqlCursorObject* cur, PyObject* query, PyObject* rows, unsigned long long& total) noexcept {
    Ref iterator = steal(PyObject_GetIter(rows));
    if (!iterator) return false;
    while (Ref item = steal(PyIter_Next(iterator.get()))) {
        if (!execute_one(cur, query, item.get())) return false;
        total += PyLong_AsUnsignedLongLong(cur->rowcount);
        if (PyErr_Occurred()) return false;
    }
    return !PyErr_Occurred();
}

PyObject* cur_executemany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"query", "args"};
    static const Params params{"executemany", names, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    MysqlCursorObject* cur = as_cursor(self);
    int any = PyObject_IsTrue(a[1]);
    if (any <= 0) return any < 0 ? nullptr : Py_NewRef(Py_None);
    if (!PyUnicode_Check(a[0])) return fail(PyExc_TypeError, "query must be a str, not %.200s", type_name(a[0]));
    MysqlConnectionObject* c = open_connection(cur);
    if (!c || !end_own_stream(cur)) return nullptr;
    InsertParts parts;
    int is_insert = split_insert(a[0], parts);
    if (is_insert < 0) return nullptr;
    unsigned long long total = 0;
    bool ok = false;
    try {
        ok = is_insert && c->handle ? execute_insert_rows(cur, c, parts, a[1], total)
                                    : execute_each(cur, a[0], a[1], total);
    } catch (...) {
        translate_exception();
    }
    if (!ok) return nullptr;
    Ref count = steal(PyLong_FromUnsignedLongLong(total));
    if (!count) return nullptr;
    set_field(cur->rowcount, count.get());
    return count.release();
}

// --- fetching from a stream ------------------------------------------------------------------

// Rows copied out of the library's buffer while the GIL is released (an
// unbuffered fetch reuses that buffer for each row), made into Python values
// once it is held again.
struct Batch {
    struct Cell {
        size_t offset;
        unsigned long length;
        bool null;
    };
    std::string octets;
    std::vector<Cell> cells;
    size_t rows = 0;

    void add(MYSQL_ROW values, const unsigned long* lengths, unsigned fields) {
        for (unsigned i = 0; i < fields; ++i) {
            cells.push_back({octets.size(), lengths[i], values[i] == nullptr});
            if (values[i]) octets.append(values[i], lengths[i]);
        }
        ++rows;
    }
};

// Without the GIL: up to `wanted` rows; `ended` when the result has no more.
void read_rows(MYSQL_RES* res, unsigned fields, Py_ssize_t wanted, Batch& batch, bool& ended, bool& out_of_memory) {
    for (Py_ssize_t i = 0; i < wanted; ++i) {
        MYSQL_ROW values = mysql_fetch_row(res);
        if (!values) {
            ended = true;
            return;
        }
        try {
            batch.add(values, mysql_fetch_lengths(res), fields);
        } catch (...) {
            out_of_memory = true;
            return;
        }
    }
}

bool convert_batch(const MysqlRowReader& reader, const Batch& batch, PyObject* out) noexcept {
    unsigned fields = reader.fields();
    for (size_t r = 0; r < batch.rows; ++r) {
        Ref row = steal(PyTuple_New(fields));
        if (!row) return false;
        for (unsigned i = 0; i < fields; ++i) {
            const Batch::Cell& cell = batch.cells[r * fields + i];
            PyObject* value = cell.null ? Py_NewRef(Py_None)
                                        : reader.value(i, batch.octets.data() + cell.offset, cell.length);
            if (!value) return false;
            PyTuple_SET_ITEM(row.get(), i, value);
        }
        if (PyList_Append(out, row.get()) < 0) return false;
    }
    return true;
}

// Appends up to `wanted` rows of the cursor's stream to `out` (a list).
bool fetch_stream(MysqlCursorObject* cur, Py_ssize_t wanted, PyObject* out) noexcept {
    if (stream_cut_off(cur)) return false;
    if (!owns_stream(cur) || wanted <= 0) return true;
    MysqlConnectionObject* c = as_mysql(cur->connection);
    if (c->busy) {
        set_pymysql_error("ProgrammingError", -1, "the cursor is in use by another thread");
        return false;
    }
    MYSQL_RES* res = c->stream;
    unsigned fields = cur->reader->fields();
    Batch batch;
    bool ended = false, out_of_memory = false;
    mark_busy(c);
    without_gil([&] { read_rows(res, fields, wanted, batch, ended, out_of_memory); });
    bool ok = !out_of_memory ? convert_batch(*cur->reader, batch, out) : (PyErr_NoMemory(), false);
    if (ended && mysql_errno(c->handle)) {
        if (ok) handle_failed(c);  // the server went away in the middle of the result
        ok = false;
    }
    release_handle(c);  // a close() from another thread meanwhile happens here
    if (ended) {
        let_go_of_stream(cur);
        bool let_go = end_stream(c);
        ok = ok && let_go;
    }
    return ok;
}

// --- the fetch methods ------------------------------------------------------------------------

bool check_executed(MysqlCursorObject* cur) noexcept {
    if (cur->executed) return true;
    set_pymysql_error("ProgrammingError", -1, "execute() first");
    return false;
}

Py_ssize_t stored_count(MysqlCursorObject* cur) noexcept { return cur->rows ? PyTuple_GET_SIZE(cur->rows) : 0; }

PyObject* cur_fetchone(PyObject* self, PyObject*) noexcept {
    MysqlCursorObject* cur = as_cursor(self);
    if (!check_executed(cur)) return nullptr;
    if (cur->unbuffered) {
        Ref got = steal(PyList_New(0));
        if (!got || !fetch_stream(cur, 1, got.get())) return nullptr;
        if (PyList_GET_SIZE(got.get()) == 0) Py_RETURN_NONE;
        return Py_NewRef(PyList_GET_ITEM(got.get(), 0));
    }
    if (cur->rownumber >= stored_count(cur)) Py_RETURN_NONE;
    return Py_NewRef(PyTuple_GET_ITEM(cur->rows, cur->rownumber++));
}

PyObject* fetch_some(MysqlCursorObject* cur, Py_ssize_t size) noexcept {
    if (cur->unbuffered) {
        Ref got = steal(PyList_New(0));
        if (!got || !fetch_stream(cur, size, got.get())) return nullptr;
        return got.release();
    }
    if (!cur->rows) return PyTuple_New(0);
    Py_ssize_t end = std::min(cur->rownumber + size, stored_count(cur));
    PyObject* some = PyTuple_GetSlice(cur->rows, cur->rownumber, end);
    if (some) cur->rownumber = std::max(cur->rownumber, end);
    return some;
}

PyObject* cur_fetchmany(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"size"};
    static const Params params{"fetchmany", names, 1, 0};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    MysqlCursorObject* cur = as_cursor(self);
    if (!check_executed(cur)) return nullptr;
    Py_ssize_t size = cur->arraysize;
    if (a[0] && a[0] != Py_None) {
        size = PyNumber_AsSsize_t(a[0], PyExc_OverflowError);
        if (size == -1 && PyErr_Occurred()) return nullptr;
        if (size == 0) size = cur->arraysize;  // pymysql: `size or self.arraysize`
    }
    return fetch_some(cur, size);
}

PyObject* cur_fetchall(PyObject* self, PyObject*) noexcept {
    MysqlCursorObject* cur = as_cursor(self);
    if (!check_executed(cur)) return nullptr;
    if (!cur->unbuffered) {
        if (!cur->rows) return PyTuple_New(0);
        if (cur->rownumber == 0) {
            cur->rownumber = stored_count(cur);
            return Py_NewRef(cur->rows);
        }
        return fetch_some(cur, stored_count(cur));
    }
    Ref all = steal(PyList_New(0));
    if (!all) return nullptr;
    while (owns_stream(cur)) {
        if (!fetch_stream(cur, kStreamBatch, all.get())) return nullptr;
    }
    if (stream_cut_off(cur)) return nullptr;  // before or while reading: not the whole rest
    return all.release();
}

// --- the rest of the cursor ----------------------------------------------------------------------

// pymysql's close(): an unbuffered result is read to its end first, so the
// connection can serve the next statement; the rows fetched stay readable.
PyObject* cur_close(PyObject* self, PyObject*) noexcept {
    MysqlCursorObject* cur = as_cursor(self);
    if (!cur->connection) Py_RETURN_NONE;
    if (owns_stream(cur) && as_mysql(cur->connection)->busy) {
        set_pymysql_error("ProgrammingError", -1, "the cursor is in use by another thread");
        return nullptr;
    }
    bool ended = end_own_stream(cur);
    Py_CLEAR(cur->connection);
    if (!ended) return nullptr;
    Py_RETURN_NONE;
}

PyObject* cur_mogrify(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const char* const names[] = {"query", "args"};
    static const Params params{"mogrify", names, 2, 1};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    MysqlConnectionObject* c = open_connection(as_cursor(self));
    if (!c) return nullptr;
    try {
        std::string sql;
        HandleClaim claim(c, self);
        if (!claim || !statement_for(c->handle, a[0], a[1] ? a[1] : Py_None, sql)) return nullptr;
        return PyUnicode_DecodeUTF8(sql.data(), static_cast<Py_ssize_t>(sql.size()), "surrogateescape");
    } catch (...) {
        translate_exception();
        return nullptr;
    }
}

PyObject* cur_nextset(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }  // later results were read and dropped

PyObject* cur_ignore(PyObject*, PyObject*) noexcept { Py_RETURN_NONE; }

PyObject* cur_enter(PyObject* self, PyObject*) noexcept { return Py_NewRef(self); }

PyObject* cur_exit(PyObject* self, PyObject*) noexcept { return cur_close(self, nullptr); }

PyObject* cur_iternext(PyObject* self) noexcept {
    PyObject* row = cur_fetchone(self, nullptr);
    if (row == Py_None) {
        Py_DECREF(row);
        return nullptr;
    }
    return row;
}

void cur_dealloc(PyObject* self) noexcept {
    MysqlCursorObject* cur = as_cursor(self);
    if (owns_stream(cur)) {
        Ref pending = steal(PyErr_GetRaisedException());
        if (!end_own_stream(cur)) PyErr_WriteUnraisable(self);
        // Never left pointing at freed memory: a stream that could not be
        // ended stays on the connection without an owner, refusing every call.
        if (owns_stream(cur)) as_mysql(cur->connection)->stream_owner = nullptr;
        PyErr_SetRaisedException(pending.release());
    }
    Py_CLEAR(cur->connection);
    Py_CLEAR(cur->rows);
    Py_CLEAR(cur->description);
    Py_CLEAR(cur->lastrowid);
    Py_CLEAR(cur->rowcount);
    delete cur->reader;
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_field(PyObject* self, void* offset) noexcept {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + reinterpret_cast<size_t>(offset));
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_arraysize(PyObject* self, void*) noexcept { return PyLong_FromSsize_t(as_cursor(self)->arraysize); }

int set_arraysize(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "arraysize cannot be deleted");
    Py_ssize_t size = PyNumber_AsSsize_t(value, PyExc_OverflowError);
    if (size == -1 && PyErr_Occurred()) return -1;
    if (size < 1) return fail(PyExc_ValueError, "arraysize must be at least 1");
    as_cursor(self)->arraysize = size;
    return 0;
}

PyObject* get_rownumber(PyObject* self, void*) noexcept { return PyLong_FromSsize_t(as_cursor(self)->rownumber); }

template <auto F>
PyCFunction method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<F>));
}

PyMethodDef cur_methods[] = {
    {"execute", fastkw<cur_execute>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, /, query, args=None)\n--\n\nRuns one statement; its \"%s\" take `args`. The row count."},
    {"executemany", fastkw<cur_executemany>(), METH_FASTCALL | METH_KEYWORDS,
     "executemany($self, /, query, args)\n--\n\nRuns the statement for each argument row (an INSERT ... VALUES as "
     "multi-row statements). The rows changed."},
    {"fetchone", method<cur_fetchone>(), METH_NOARGS, "fetchone($self, /)\n--\n\nThe next row, or None."},
    {"fetchmany", fastkw<cur_fetchmany>(), METH_FASTCALL | METH_KEYWORDS,
     "fetchmany($self, /, size=None)\n--\n\nUp to `size` (arraysize) more rows."},
    {"fetchall", method<cur_fetchall>(), METH_NOARGS, "fetchall($self, /)\n--\n\nEvery row left."},
    {"close", method<cur_close>(), METH_NOARGS,
     "close($self, /)\n--\n\nCloses the cursor; an unbuffered result is read to its end first."},
    {"mogrify", fastkw<cur_mogrify>(), METH_FASTCALL | METH_KEYWORDS,
     "mogrify($self, /, query, args=None)\n--\n\nThe statement text execute() would send."},
    {"nextset", method<cur_nextset>(), METH_NOARGS,
     "nextset($self, /)\n--\n\nNone: a statement's further results are read and dropped."},
    {"setinputsizes", method<cur_ignore>(), METH_VARARGS, "setinputsizes($self, /, *args)\n--\n\nDoes nothing."},
    {"setoutputsizes", method<cur_ignore>(), METH_VARARGS, "setoutputsizes($self, /, *args)\n--\n\nDoes nothing."},
    {"__enter__", method<cur_enter>(), METH_NOARGS, "__enter__($self, /)\n--\n\nThe cursor."},
    {"__exit__", method<cur_exit>(), METH_VARARGS, "__exit__($self, /, *exc_info)\n--\n\nCloses the cursor."},
    {nullptr, nullptr, 0, nullptr},
};

void* offset_of(size_t offset) noexcept { return reinterpret_cast<void*>(offset); }

PyGetSetDef cur_getset[] = {
    {"rowcount", get_field, nullptr, "Rows of the last statement (18446744073709551615 for an open unbuffered result).",
     offset_of(offsetof(MysqlCursorObject, rowcount))},
    {"lastrowid", get_field, nullptr, "The key the last statement generated; None after one with rows.",
     offset_of(offsetof(MysqlCursorObject, lastrowid))},
    {"description", get_field, nullptr, "The last result's columns as 7-tuples, or None.",
     offset_of(offsetof(MysqlCursorObject, description))},
    {"connection", get_field, nullptr, "The connection, or None once the cursor is closed.",
     offset_of(offsetof(MysqlCursorObject, connection))},
    {"arraysize", get_arraysize, set_arraysize, "Rows fetchmany() reads by default.", nullptr},
    {"rownumber", get_rownumber, nullptr, "Rows of a buffered result fetched so far.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject MysqlCursorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Connector.MysqlCursor",
    .tp_basicsize = sizeof(MysqlCursorObject),
    .tp_dealloc = cur_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A cursor of a native MariaDB connection (MysqlConnection.cursor()).",
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = cur_iternext,
    .tp_methods = cur_methods,
    .tp_getset = cur_getset,
};

PyObject* new_mysql_cursor(PyObject* connection, bool unbuffered) noexcept {
    Ref made = steal(MysqlCursorType.tp_alloc(&MysqlCursorType, 0));
    Ref count = made ? steal(PyLong_FromLong(-1)) : Ref();
    if (!count) return nullptr;
    MysqlCursorObject* cur = as_cursor(made.get());
    cur->connection = Py_NewRef(connection);
    cur->description = Py_NewRef(Py_None);
    cur->lastrowid = Py_NewRef(Py_None);
    cur->rowcount = count.release();
    cur->arraysize = 1;
    cur->unbuffered = unbuffered;
    return made.release();
}

int ready_mysql_cursor() noexcept { return PyType_Ready(&MysqlCursorType); }

}  // namespace tsy::db
