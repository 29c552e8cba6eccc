// ModelExecutor.iterAllBy: the rows of findAllBy's statement read a batch at
// a time from one driver cursor, so that memory follows the batch, not the
// result. Each batch becomes instances through the row plan of findAllBy.
//
// Where the cursor lives:
// - SQLite: on the executor's connection (`work`) or the connector's
//   getCon(); sqlite3 steps the statement on fetchmany and lets other cursors
//   of the same connection run meanwhile.
// - MySQL without `work`: an unbuffered cursor (SSCursor) on a connection of
//   its own, opened by connector.connect() and closed with the stream: pymysql
//   cannot run another statement on a connection while an unbuffered result
//   is being read, and would silently cut the stream short.
// - MySQL with `work`, or inside a transaction() block of the thread: a
//   buffered cursor on that connection, so the stream sees the transaction's
//   rows and the connection stays usable; the driver then holds the rows, the
//   instances are still made per batch.
#include "stream.hpp"

#include <chrono>

namespace tsy::exec {
namespace {

const char* const kIterNames[] = {"Filter", "batchSize"};

StreamObject* as_stream(PyObject* obj) noexcept { return reinterpret_cast<StreamObject*>(obj); }

PyObject* fetchmany_name = nullptr;
PyObject* cursor_name = nullptr;
PyObject* close_name = nullptr;
PyObject* connect_name = nullptr;
PyObject* getCon_name = nullptr;
PyObject* translate_name = nullptr;
PyObject* execute_name = nullptr;
PyObject* Build_name = nullptr;
PyObject* ss_cursor = nullptr;  // pymysql.cursors.SSCursor

int stream_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    StreamObject* s = as_stream(self);
    Py_VISIT(s->model);
    Py_VISIT(s->cursor);
    Py_VISIT(s->owned_con);
    Py_VISIT(s->batch);
    return stream_log_traverse(s->log, visit, arg);
}

int stream_clear(PyObject* self) noexcept {
    StreamObject* s = as_stream(self);
    Py_CLEAR(s->model);
    Py_CLEAR(s->cursor);
    Py_CLEAR(s->owned_con);
    Py_CLEAR(s->batch);
    stream_log_clear(s->log);
    return 0;
}

// Lets go of the cursor and of the connection opened for the stream. The
// fields are cleared before the driver is called, so a close re-entered
// from its code finds nothing left to do. -1 with the first driver error.
int close_stream(StreamObject* s) noexcept {
    s->done = 1;
    stream_log_end(s->log);
    Ref cursor = steal(s->cursor);
    Ref con = steal(s->owned_con);
    s->cursor = nullptr;
    s->owned_con = nullptr;
    Py_CLEAR(s->batch);
    s->pos = 0;
    int status = 0;
    // An unbuffered cursor's close reads the rest of its result: the server
    // sends all of it whatever the client does (the driver's own close does
    // the same), and a connection dropped with it unread leaves the driver's
    // result object reading a closed socket when it is collected.
    if (cursor && !call_method(cursor.get(), close_name)) status = -1;
    if (con) {
        PyObject* pending = status < 0 ? PyErr_GetRaisedException() : nullptr;
        if (!call_method(con.get(), close_name)) {
            if (pending) PyErr_Clear();
            status = -1;
        }
        if (pending) PyErr_SetRaisedException(pending);
    }
    return status;
}

void stream_finalize(PyObject* self) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    if (close_stream(as_stream(self)) < 0) PyErr_WriteUnraisable(self);
    PyErr_SetRaisedException(pending);
}

void stream_dealloc(PyObject* self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    stream_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// The next batch's instances (a list, empty at the end of the result).
Ref next_batch(StreamObject* s) noexcept {
    Ref cursor = borrow(s->cursor);
    Ref model = borrow(s->model);
    Ref size = steal(PyLong_FromSsize_t(s->batch_size));
    if (!size) return {};
    Ref rows = call_method(cursor.get(), fetchmany_name, size.get());
    if (!rows) return {};
    Ref batch = instances_of(model.get(), rows.get());
    if (batch) stream_log_rows(s->log, PyList_GET_SIZE(batch.get()));
    return batch;
}

PyObject* stream_next(PyObject* self) noexcept {
    StreamObject* s = as_stream(self);
    if (!s->model) return not_initialised(self);
    if (s->batch && s->pos < PyList_GET_SIZE(s->batch)) return Py_NewRef(PyList_GET_ITEM(s->batch, s->pos++));
    if (s->done || !s->cursor) return nullptr;
    if (s->busy) return fail(PyExc_RuntimeError, "RowStream: next() called while the stream reads its next batch");
    s->busy = 1;
    Ref batch = next_batch(s);
    s->busy = 0;
    if (!batch) {
        stream_log_end(s->log);
        PyObject* pending = PyErr_GetRaisedException();
        if (close_stream(s) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return nullptr;
    }
    if (s->done) return nullptr;  // closed by code the batch ran
    if (PyList_GET_SIZE(batch.get()) == 0) {
        close_stream(s);
        return nullptr;
    }
    Py_XSETREF(s->batch, batch.release());
    s->pos = 1;
    return Py_NewRef(PyList_GET_ITEM(s->batch, 0));
}

PyObject* stream_close(PyObject* self, PyObject*) noexcept {
    if (close_stream(as_stream(self)) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject* stream_enter(PyObject* self, PyObject*) noexcept {
    if (!as_stream(self)->model) return not_initialised(self);
    return Py_NewRef(self);
}

PyObject* stream_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept {
    if (close_stream(as_stream(self)) < 0) return nullptr;
    Py_RETURN_FALSE;
}

PyObject* get_closed(PyObject* self, void*) noexcept { return PyBool_FromLong(as_stream(self)->cursor == nullptr); }

PyMethodDef stream_methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. RowStream[User]."},
    {"close", stream_close, METH_NOARGS, "Stop reading: the cursor is closed and its connection given back."},
    {"__enter__", stream_enter, METH_NOARGS, nullptr},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(stream_exit)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef stream_getset[] = {
    {"closed", get_closed, nullptr, "True once the stream is exhausted or closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// --- starting a stream ----------------------------------------------------------

// The pending builder's (text, args).
Ref render(PyObject* builder) noexcept {
    bool native = PyObject_TypeCheck(builder, bound.generator->BaseSqlGenerator);
    Ref built = native ? steal(bound.generator->Build(builder)) : call_method(builder, Build_name);
    if (!built) return {};
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) != 2) {
        return fail(PyExc_TypeError, "Build() must return (sql, args)");
    }
    return built;
}

bool bind_driver_names() noexcept {
    if (ss_cursor) return true;
    const NameSlot all[] = {
        {&fetchmany_name, "fetchmany"}, {&cursor_name, "cursor"},   {&close_name, "close"},
        {&connect_name, "connect"},     {&getCon_name, "getCon"},   {&translate_name, "translate"},
        {&execute_name, "execute"},     {&Build_name, "Build"},
    };
    if (intern_all(all) < 0) return false;
    ss_cursor = import_attr("pymysql.cursors", "SSCursor").release();
    return ss_cursor != nullptr;
}

// The connector's inTransaction (false for a connector without one), -1 on error.
int in_transaction_block(PyObject* connector) noexcept {
    Ref flag = attr(connector, "inTransaction");
    if (!flag) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        return 0;
    }
    return truth(flag.get());
}

// Opens the stream's cursor and runs the statement on it.
int open_cursor(StreamObject* s, PyObject* connector, PyObject* work, PyObject* built) noexcept {
    int bound_to_work = truth(work);
    if (bound_to_work < 0) return -1;
    int sqlite = sqlite_dialect(connector, bound_to_work ? work : nullptr);
    if (sqlite < 0) return -1;
    Ref text = call_method(connector, translate_name, PyTuple_GET_ITEM(built, 0));
    Ref args = text ? steal(PySequence_Tuple(PyTuple_GET_ITEM(built, 1))) : Ref();
    if (!args) return -1;
    // Inside a transaction() block of this thread the stream must see the
    // block's rows: it reads on the thread's connection, as findAllBy does.
    int in_block = sqlite || bound_to_work ? 0 : in_transaction_block(connector);
    if (in_block < 0) return -1;
    bool own_connection = !sqlite && !bound_to_work && !in_block;
    Ref con, cursor;
    if (bound_to_work) {
        con = borrow(work);
    } else if (!own_connection) {
        con = call_method(connector, getCon_name);
    } else {
        con = call_method(connector, connect_name);
        if (con) set_field(s->owned_con, con.get());
    }
    if (!con) return -1;
    cursor = own_connection ? call_method(con.get(), cursor_name, ss_cursor) : call_method(con.get(), cursor_name);
    if (!cursor) return -1;
    set_field(s->cursor, cursor.get());
    stream_log_start(s->log, PyTuple_GET_ITEM(built, 0), text.get(), args.get());
    if (!call_method(cursor.get(), execute_name, text.get(), args.get())) return -1;
    return 0;
}

// The connector the executor's statements run on (its connection's, else
// its model's), refused when it runs on an event loop.
Ref sync_connector(PyObject* self) noexcept {
    Ref work = work_of(self);
    int bound_to_work = work ? truth(work.get()) : -1;
    if (bound_to_work < 0) return {};
    Ref connector = statement_connector(as_executor(self)->model, bound_to_work ? work.get() : nullptr);
    if (!connector) return {};
    Ref is_async = attr(connector.get(), "isAsync");
    int yes = is_async ? truth(is_async.get()) : -1;
    if (yes < 0) return {};
    if (yes) {
        return fail(PyExc_TypeError,
                    "iterAllBy of ModelExecutor needs a synchronous connector: with an asyncio connector, "
                    "use AsyncModelExecutor's iterAllBy in `async for`");
    }
    return connector;
}

std::int64_t now_ns() noexcept {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(since).count();
}

}  // namespace

bool stream_log_start(StreamLog& log, PyObject* statement, PyObject* sql, PyObject* params) noexcept {
    stream_log_clear(log);
    if (!bound.connector->statement_log_on()) return false;
    log.statement = Py_NewRef(statement);
    log.sql = Py_XNewRef(sql);
    log.params = Py_NewRef(params);
    log.rows = 0;
    log.started_ns = now_ns();
    return true;
}

void stream_log_end(StreamLog& log) noexcept {
    if (!log.statement) return;
    std::int64_t elapsed = now_ns() - log.started_ns;
    // Taken off the stream first: a handler that re-enters the stream finds nothing left to write.
    Ref statement = steal(log.statement), sql = steal(log.sql), params = steal(log.params);
    log.statement = log.sql = log.params = nullptr;
    bound.connector->log_stream(statement.get(), sql.get(), params.get(), elapsed, log.rows);
}

void stream_log_clear(StreamLog& log) noexcept {
    Py_CLEAR(log.statement);
    Py_CLEAR(log.sql);
    Py_CLEAR(log.params);
}

int stream_log_traverse(StreamLog& log, visitproc visit, void* arg) noexcept {
    Py_VISIT(log.statement);
    Py_VISIT(log.sql);
    Py_VISIT(log.params);
    return 0;
}

Ref instances_of(PyObject* model, PyObject* rows) noexcept {
    Ref seq = steal(PySequence_Fast(rows, "the fetched rows are not a sequence"));
    Ref list = seq ? steal(bound.model->newList()) : Ref();
    if (!list) return {};
    if (native_model_call(model)) {
        if (bound.model->fromRows(model, seq.get(), list.get()) < 0) return {};
        return list;
    }
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref row = borrow(PySequence_Fast_GET_ITEM(seq.get(), i));
        Ref instance = make_instance(model, row.get());
        if (!instance || PyList_Append(list.get(), instance.get()) < 0) return {};
    }
    return list;
}

Ref prepare_select(PyObject* self, PyObject* filter) noexcept {
    if (!op(self, names().reset)) return {};
    Ref model = borrow(as_executor(self)->model);
    Ref cols = model_columns(model.get());
    if (!cols) return {};
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    Ref selected = builder_select(builder.get(), cols.get());
    if (!selected || !builder_where(selected.get(), filter)) return {};
    as_executor(self)->executed = 1;
    return render(builder.get());
}

int sqlite_dialect(PyObject* connector, PyObject* con) noexcept {
    db::Dialect dialect{};
    if (bound.connector->dialect(connector, con, db::DIALECT_NO_SERVER, &dialect) < 0) return -1;
    return dialect.kind == db::DIALECT_SQLITE;
}

bool parse_iter_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** filter,
                     Py_ssize_t* batch_size) noexcept {
    const Params params{func, kIterNames, 2, 0};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return false;
    *filter = a[0] ? a[0] : Py_None;
    if (!check_arg(*filter, bound.property->FilterListCell, "Filter")) return false;
    *batch_size = 1000;
    if (a[1]) {
        if (!PyLong_Check(a[1]) || PyBool_Check(a[1])) {
            fail(PyExc_TypeError, "%s(): batchSize must be an int, not %.200s", func, type_name(a[1]));
            return false;
        }
        *batch_size = PyLong_AsSsize_t(a[1]);
        if (*batch_size == -1 && PyErr_Occurred()) return false;
        if (*batch_size <= 0) {
            fail(PyExc_ValueError, "%s(): batchSize must be positive, got %zd", func, *batch_size);
            return false;
        }
    }
    return bind_driver_names();
}

PyObject* iterAllBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* filter;
    Py_ssize_t batch_size;
    if (!parse_iter_args("iterAllBy", args, nargs, kwnames, &filter, &batch_size)) return nullptr;
    Ref connector = sync_connector(self);
    if (!connector) return nullptr;
    Ref built = prepare_select(self, filter);
    if (!built) return nullptr;
    Ref work = work_of(self);
    Ref stream = steal(PyType_GenericNew(&RowStreamType, nullptr, nullptr));
    if (!work || !stream) return nullptr;
    StreamObject* s = as_stream(stream.get());
    s->batch_size = batch_size;
    set_field(s->model, as_executor(self)->model);
    if (open_cursor(s, connector.get(), work.get(), built.get()) < 0) {
        stream_log_end(s->log);
        PyObject* pending = PyErr_GetRaisedException();
        if (close_stream(s) < 0) PyErr_Clear();
        PyErr_SetRaisedException(pending);
        return nullptr;
    }
    return stream.release();
}

PyTypeObject RowStreamType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.Carrack.RowStream",
    .tp_basicsize = sizeof(StreamObject),
    .tp_dealloc = stream_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "RowStream()\n--\n\nThe instances of ModelExecutor.iterAllBy, read a batch at a time; close() (or `with`) "
              "gives the cursor back before the end.",
    .tp_traverse = stream_traverse,
    .tp_clear = stream_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = stream_next,
    .tp_methods = stream_methods,
    .tp_getset = stream_getset,
    .tp_new = PyType_GenericNew,
    .tp_finalize = stream_finalize,
};

int ready_streams() noexcept {
    if (PyType_Ready(&RowStreamType) < 0) return -1;
    return ready_async_stream();
}

}  // namespace tsy::exec
