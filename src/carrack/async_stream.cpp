// AsyncModelExecutor.iterAllBy: `async for` over the rows of findAllBy's
// statement on one connection (see stream.hpp). On AioSqliteConnector the
// statement runs once on a cursor its worker keeps; each batch is one
// fetchmany job there, made instances by findAllBy's row plan. On MySQL each
// batch is a keyset query on the primary key through the handle: it costs
// the same wherever it starts and holds nothing open on the server between
// batches (an unbuffered aiomysql result would block the connection for the
// whole walk); those rows come in primary-key order.
#include "async.hpp"
#include "stream.hpp"
#include "tessary/identifiers.hpp"

namespace tsy::exec {
namespace {

PyObject* getCon_name = nullptr;
PyObject* releaseCon_name = nullptr;
PyObject* close_name = nullptr;

AsyncStreamObject* as_astream(PyObject* obj) noexcept { return reinterpret_cast<AsyncStreamObject*>(obj); }

int astream_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    AsyncStreamObject* s = as_astream(self);
    Py_VISIT(s->model);
    Py_VISIT(s->filter);
    Py_VISIT(s->connector);
    Py_VISIT(s->con);
    Py_VISIT(s->last);
    Py_VISIT(s->statement);
    Py_VISIT(s->cursor);
    Py_VISIT(s->batch);
    return stream_log_traverse(s->log, visit, arg);
}

int astream_clear(PyObject* self) noexcept {
    AsyncStreamObject* s = as_astream(self);
    Py_CLEAR(s->model);
    Py_CLEAR(s->filter);
    Py_CLEAR(s->connector);
    Py_CLEAR(s->con);
    Py_CLEAR(s->last);
    Py_CLEAR(s->statement);
    Py_CLEAR(s->cursor);
    Py_CLEAR(s->batch);
    stream_log_clear(s->log);
    return 0;
}

// Ends the stream; the awaitable of the connection's release (a releaseCon()
// coroutine, which gives it back even when never awaited), or None.
Ref finish(AsyncStreamObject* s) noexcept {
    s->done = 1;
    stream_log_end(s->log);
    Py_CLEAR(s->batch);
    s->pos = 0;
    Ref con = steal(s->con);
    s->con = nullptr;
    Ref cursor = steal(s->cursor);
    s->cursor = nullptr;
    // Queued on the connection's worker ahead of its release.
    if (cursor && con && bound.connector->close_cursor(con.get(), cursor.get()) < 0) return {};
    bool leased = s->leased;
    s->leased = 0;
    if (!con || !leased || !s->connector) return borrow(Py_None);
    Ref connector = borrow(s->connector);
    return call_method(connector.get(), releaseCon_name, con.get());
}

void astream_finalize(PyObject* self) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    // Closing the release coroutine unawaited gives the connection back at once.
    Ref release = finish(as_astream(self));
    if (!release || (release.get() != Py_None && !call_method(release.get(), close_name))) {
        PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(pending);
}

void astream_dealloc(PyObject* self) noexcept {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    astream_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// Clears `busy` however the frame ends (returned, failed, cancelled, dropped).
struct Busy {
    AsyncStreamObject* s;
    explicit Busy(AsyncStreamObject* stream) noexcept : s(stream) { s->busy = 1; }
    ~Busy() { s->busy = 0; }
};

// The batch's condition: the stream's Filter AND pk > the last key read.
Ref batch_condition(AsyncStreamObject* s, PyObject* pk_col) noexcept {
    if (!s->last) return borrow(s->filter);
    Ref after = steal(PyObject_RichCompare(pk_col, s->last, Py_GT));
    if (!after || s->filter == Py_None) return after;
    return steal(PyNumber_And(s->filter, after.get()));
}

// A new executor of the model on the stream's connection, its builder set
// to the next batch's statement.
Ref batch_executor(AsyncStreamObject* s) noexcept {
    Ref model = borrow(s->model);
    Ref pk_col = attr(model.get(), names().pkCol);
    Ref pk_name = pk_col ? attr(model.get(), names().pkName) : Ref();
    Ref table = pk_name ? attr(model.get(), names().tableName) : Ref();
    if (!table) return {};
    Ref executor = call_method(model.get(), names().getExecutor, s->con);
    if (!executor || !async::check_executor(executor.get())) return {};
    if (!executor_ready(executor.get())) return not_initialised(executor.get());
    if (!op(executor.get(), names().reset)) return {};
    Ref cols = model_columns(model.get());
    Ref condition = cols ? batch_condition(s, pk_col.get()) : Ref();
    if (!condition) return {};
    Ref builder = borrow(as_executor(executor.get())->sql ? as_executor(executor.get())->sql : Py_None);
    Ref selected = builder_select(builder.get(), cols.get());
    if (!selected || !builder_where(selected.get(), condition.get())) return {};
    if (!PyObject_TypeCheck(builder.get(), bound.generator->SqlGenerator)) {
        return fail(PyExc_TypeError, "iterAllBy needs the executor's builder to be a SqlGenerator");
    }
    Ref table_text = sql::quoted_name(table.get());
    Ref pk_text = table_text ? sql::quoted_name(pk_name.get()) : Ref();
    Ref order = pk_text ? steal(PyUnicode_FromFormat("%S.%S", table_text.get(), pk_text.get())) : Ref();
    Ref items = order ? steal(PyTuple_Pack(1, order.get())) : Ref();
    if (!items || !steal(bound.generator->orderBy(builder.get(), items.get()))) return {};
    int size = s->batch_size > INT32_MAX ? INT32_MAX : static_cast<int>(s->batch_size);
    if (!steal(bound.generator->Limit(builder.get(), size, 0))) return {};
    return executor;
}

// Starts the record of the cursor's statement, with the text its driver
// receives: the statements of the builder hold no other '%' than their
// "%s" placeholders, which SQLite's driver takes as '?'.
void start_cursor_log(AsyncStreamObject* s) noexcept {
    PyObject* statement = PyTuple_GET_ITEM(s->statement, 0);
    if (!stream_log_start(s->log, statement, nullptr, PyTuple_GET_ITEM(s->statement, 1))) return;
    Ref placeholder = steal(PyUnicode_FromString("%s"));
    Ref qmark = placeholder ? steal(PyUnicode_FromString("?")) : Ref();
    Ref sql = qmark ? steal(PyUnicode_Replace(statement, placeholder.get(), qmark.get(), -1)) : Ref();
    if (!sql) PyErr_Clear();  // the record then shows the "%s" text
    s->log.sql = sql ? sql.release() : Py_NewRef(statement);
}

Ref stop_iteration() noexcept {
    PyErr_SetNone(PyExc_StopAsyncIteration);
    return {};
}

// The next instance, or StopAsyncIteration.
coro::Task anext_task(Ref self, Ref executor = nullptr, Ref rows = nullptr, Ref pending = nullptr) {
    AsyncStreamObject* s = as_astream(self.get());
    if (s->batch && s->pos < PyList_GET_SIZE(s->batch)) co_return borrow(PyList_GET_ITEM(s->batch, s->pos++));
    if (s->done) {
        pending = finish(s);
        if (!pending) co_return nullptr;
        if (pending.get() != Py_None) {
            Ref released = co_await coro::await(pending.get());
            if (!released) co_return nullptr;
        }
        co_return stop_iteration();
    }
    if (s->busy) co_return fail(PyExc_RuntimeError, "AsyncRowStream: a batch is already being read");
    Busy busy(s);
    if (!s->con) {
        Ref connector = borrow(s->connector);
        Ref con = co_await coro::await(call_method(connector.get(), getCon_name));
        if (!con) co_return nullptr;
        if (s->done) {  // closed while waiting: give it straight back
            Ref released = call_method(connector.get(), releaseCon_name, con.get());
            co_return released ? stop_iteration() : Ref();
        }
        set_field(s->con, con.get());
        s->leased = 1;
    }
    if (s->statement) {
        Ref con = borrow(s->con);
        if (!s->cursor) {
            start_cursor_log(s);
            pending = steal(bound.connector->open_cursor(con.get(), PyTuple_GET_ITEM(s->statement, 0),
                                                         PyTuple_GET_ITEM(s->statement, 1)));
            Ref cursor;
            if (pending) cursor = co_await coro::await(pending.get());
            if (cursor && !s->done) set_field(s->cursor, cursor.get());
            else if (cursor && bound.connector->close_cursor(con.get(), cursor.get()) < 0) PyErr_Clear();
        }
        if (s->cursor) {
            pending = steal(bound.connector->fetch(con.get(), s->cursor, s->batch_size));
            Ref fetched;
            if (pending) fetched = co_await coro::await(pending.get());
            if (fetched) rows = instances_of(s->model, fetched.get());
            if (rows && PyList_Check(rows.get())) stream_log_rows(s->log, PyList_GET_SIZE(rows.get()));
        } else if (s->done && !PyErr_Occurred()) {
            co_return stop_iteration();
        }
    } else {
        executor = batch_executor(s);
        if (executor) {
            pending = op(executor.get(), names().execute);
            rows = co_await coro::await(pending.get());
        }
    }
    pending = nullptr;
    if (rows && !PyList_Check(rows.get())) rows = expected_kind("list", rows.get());
    if (!rows) {
        stream_log_end(s->log);
        Ref error = steal(PyErr_GetRaisedException());
        pending = finish(s);
        if (pending && pending.get() != Py_None) {
            Ref released = co_await coro::await(pending.get());
        }
        PyErr_Clear();  // the release's own error would hide the first
        PyErr_SetRaisedException(error.release());
        co_return nullptr;
    }
    Py_ssize_t n = PyList_GET_SIZE(rows.get());
    if (s->done) co_return stop_iteration();  // closed while the batch was read
    if (n < s->batch_size) {
        // The last batch: the connection can go back now.
        pending = finish(s);
        if (!pending) co_return nullptr;
        if (pending.get() != Py_None) {
            Ref released = co_await coro::await(pending.get());
            if (!released) co_return nullptr;
        }
    }
    if (n == 0) co_return stop_iteration();
    if (!s->statement) {
        Ref model = borrow(s->model);
        Ref pk_name = attr(model.get(), names().pkName);
        Ref last = pk_name ? steal(PyObject_GetItem(PyList_GET_ITEM(rows.get(), n - 1), pk_name.get())) : Ref();
        if (!last) co_return nullptr;
        set_field(s->last, last.get());
    }
    set_field(s->batch, rows.get());
    s->pos = 1;
    co_return borrow(PyList_GET_ITEM(rows.get(), 0));
}

coro::Task aclose_task(Ref self, Ref pending = nullptr) {
    pending = finish(as_astream(self.get()));
    if (!pending) co_return nullptr;
    if (pending.get() != Py_None) {
        Ref released = co_await coro::await(pending.get());
        if (!released) co_return nullptr;
    }
    co_return borrow(Py_None);
}

coro::Task aenter_task(Ref self) { co_return std::move(self); }

PyObject* astream_anext(PyObject* self) noexcept {
    if (!as_astream(self)->model) return not_initialised(self);
    return coro::make_coroutine(anext_task(borrow(self)), "__anext__", "AsyncRowStream.__anext__");
}

PyObject* astream_aclose(PyObject* self, PyObject*) noexcept {
    return coro::make_coroutine(aclose_task(borrow(self)), "aclose", "AsyncRowStream.aclose");
}

PyObject* astream_aenter(PyObject* self, PyObject*) noexcept {
    if (!as_astream(self)->model) return not_initialised(self);
    return coro::make_coroutine(aenter_task(borrow(self)), "__aenter__", "AsyncRowStream.__aenter__");
}

PyObject* astream_aexit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept { return astream_aclose(self, nullptr); }

PyObject* get_closed(PyObject* self, void*) noexcept {
    AsyncStreamObject* s = as_astream(self);
    return PyBool_FromLong(s->done && !s->con);
}

PyMethodDef astream_methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. AsyncRowStream[User]."},
    {"aclose", astream_aclose, METH_NOARGS,
     "aclose($self)\n--\n\nawait aclose(): stop reading; a connection taken for the stream is given back."},
    {"__aenter__", astream_aenter, METH_NOARGS, nullptr},
    {"__aexit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(astream_aexit)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef astream_getset[] = {
    {"closed", get_closed, nullptr, "True once the stream is exhausted or closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyAsyncMethods astream_async = {
    .am_await = nullptr,
    .am_aiter = PyObject_SelfIter,
    .am_anext = astream_anext,
};

}  // namespace

namespace async {

PyObject* iterAllBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* filter;
    Py_ssize_t batch_size;
    if (!parse_iter_args("iterAllBy", args, nargs, kwnames, &filter, &batch_size)) return nullptr;
    Ref work = work_of(self);
    Ref connector = work ? statement_connector(as_executor(self)->model, work.get()) : Ref();
    if (!connector) return nullptr;
    Ref stream = steal(PyType_GenericNew(&AsyncRowStreamType, nullptr, nullptr));
    if (!stream) return nullptr;
    AsyncStreamObject* s = as_astream(stream.get());
    s->batch_size = batch_size;
    set_field(s->filter, filter);
    set_field(s->connector, connector.get());
    int has_work = truth(work.get());
    if (has_work < 0) return nullptr;
    if (has_work) set_field(s->con, work.get());
    int sqlite = sqlite_dialect(connector.get(), has_work ? work.get() : nullptr);
    if (sqlite < 0) return nullptr;
    if (sqlite) {
        Ref built = prepare_select(self, filter);
        if (!built) return nullptr;
        set_field(s->statement, built.get());
    }
    set_field(s->model, as_executor(self)->model);
    return stream.release();
}

}  // namespace async

PyTypeObject AsyncRowStreamType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.Carrack.AsyncRowStream",
    .tp_basicsize = sizeof(AsyncStreamObject),
    .tp_dealloc = astream_dealloc,
    .tp_as_async = &astream_async,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "AsyncRowStream()\n--\n\nThe instances of AsyncModelExecutor.iterAllBy for `async for`, a batch at a time over one "
              "connection; aclose() (or `async with`) gives it back before the end.",
    .tp_traverse = astream_traverse,
    .tp_clear = astream_clear,
    .tp_methods = astream_methods,
    .tp_getset = astream_getset,
    .tp_new = PyType_GenericNew,
    .tp_finalize = astream_finalize,
};

int ready_async_stream() noexcept {
    if (!getCon_name && !(getCon_name = intern("getCon"))) return -1;
    if (!releaseCon_name && !(releaseCon_name = intern("releaseCon"))) return -1;
    if (!close_name && !(close_name = intern("close"))) return -1;
    return PyType_Ready(&AsyncRowStreamType);
}

}  // namespace tsy::exec
