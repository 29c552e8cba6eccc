// Driving the engine's operations (engines/mysql/protocol.hpp) from the
// event loop.
//
// With MYSQL_OPT_NONBLOCK every blocking call X has a pair X_start/X_cont:
// each returns 0 once the call is complete, else the MYSQL_WAIT_* mask of
// what it waits for (the socket readable or writable, a timeout); an
// operation run non-blocking answers the same masks. The coroutines here
// then await a future that loop.add_reader/add_writer (and call_later for a
// timeout) complete, and resume the operation with the event that came. A
// connection has one operation in flight at a time (`busy`).
//
// An operation abandoned half-way (its task cancelled, its coroutine dropped)
// leaves the protocol in the middle of an exchange, so the connection cannot
// serve anyone again: its socket is shut down, the call is run to its end on
// the dead socket (which fails at once, leaving the library's state
// consistent), and the connection is marked broken for the pool to drop.
#include <poll.h>
#include <sys/socket.h>

#include <utility>

#include "engines/mysql/nonblocking.hpp"
#include "engines/mysql/protocol.hpp"

namespace tsy::db::mysql_async {
namespace {

PyObject* add_reader_name = nullptr;
PyObject* remove_reader_name = nullptr;
PyObject* add_writer_name = nullptr;
PyObject* remove_writer_name = nullptr;
PyObject* call_later_name = nullptr;
PyObject* cancel_name = nullptr;

// callback(future): the future's result becomes the event bit it stands for
// (the bound `self`), unless another event came first.
PyObject* socket_ready(PyObject* bit, PyObject* future) noexcept {
    Ref done = call_method(future, names.done);
    if (!done) return nullptr;
    if (done.get() == Py_False && !call_method(future, names.set_result, bit)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef socket_ready_def = {"_socket_ready", socket_ready, METH_O,
                                "Complete a connection's waiting future with the event that came."};

PyObject* on_read = nullptr;
PyObject* on_write = nullptr;
PyObject* on_timeout = nullptr;
PyObject* on_read_bit = nullptr;  // (MYSQL_WAIT_READ,)

PyObject* bound_callback(int bit) noexcept {
    Ref event = steal(PyLong_FromLong(bit));
    return event ? PyCFunction_New(&socket_ready_def, event.get()) : nullptr;
}

const char* const kWatchCapsule = "Tessary.DB.Connector.AioMysqlConnection.watch";

// The watched socket is readable: the wait in progress is over. With none in
// progress, a busy connection is between two waits of one call (the loop
// polls again before the call resumes and reads); an idle one has received
// what an idle session only gets when it ends (an error packet, the end of
// the stream): the watch stops, and the pool finds it dead when it is next
// taken.
PyObject* connection_readable(PyObject* capsule, PyObject*) noexcept {
    auto* c = static_cast<AioMysqlConnectionObject*>(PyCapsule_GetPointer(capsule, kWatchCapsule));
    if (!c) return nullptr;
    Ref waiter = steal(c->waiter);
    c->waiter = nullptr;
    if (!waiter) {
        if (!c->busy) unwatch(c);
        Py_RETURN_NONE;
    }
    return socket_ready(PyTuple_GET_ITEM(on_read_bit, 0), waiter.get());
}

PyMethodDef connection_readable_def = {"_connection_readable", connection_readable, METH_NOARGS,
                                       "Complete the wait in progress on a watched connection."};

// Registers the connection's socket for reading on `loop` (once per loop),
// the callback holding a plain pointer: the connection's dealloc unwatches.
bool watch(AioMysqlConnectionObject* c, PyObject* loop, int fd) noexcept {
    if (c->watch_loop == loop && c->watched_fd == fd) return true;
    unwatch(c);
    if (!c->on_readable) {
        Ref capsule = steal(PyCapsule_New(c, kWatchCapsule, nullptr));
        c->on_readable = capsule ? PyCFunction_New(&connection_readable_def, capsule.get()) : nullptr;
        if (!c->on_readable) return false;
    }
    Ref number = steal(PyLong_FromLong(fd));
    if (!number || !call_method(loop, add_reader_name, number.get(), c->on_readable)) return false;
    set_field(c->watch_loop, loop);
    c->watched_fd = fd;
    return true;
}

// What one suspended call waits for on the running loop: registered by
// arm(), removed by disarm(), and by the destructor when the frame holding it
// goes while it waits. A connected connection's reads go through its watch.
class SocketWait {
public:
    SocketWait() noexcept = default;
    SocketWait(const SocketWait&) = delete;
    SocketWait& operator=(const SocketWait&) = delete;
    ~SocketWait() { disarm(); }

    // The future the next event completes (new ref), or NULL. `watched`:
    // wait for reads through the connection's watch.
    Ref arm(AioMysqlConnectionObject* c, MYSQL* m, int status, bool watched) noexcept {
        loop_ = aio::running_loop();
        if (!loop_) return {};
        if (loop_.get() == Py_None) return fail(PyExc_RuntimeError, "AioMysqlConnection: no running event loop");
        Ref future = call_method(loop_.get(), names.create_future);
        int fd = static_cast<int>(mysql_get_socket(m));
        fd_ = future ? steal(PyLong_FromLong(fd)) : Ref();
        if (!fd_) return {};
        if ((status & (MYSQL_WAIT_READ | MYSQL_WAIT_EXCEPT)) && watched) {
            if (!watch(c, loop_.get(), fd)) return {};
            set_field(c->waiter, future.get());
            watcher_ = c;
        } else if (status & (MYSQL_WAIT_READ | MYSQL_WAIT_EXCEPT)) {
            if (!call_method(loop_.get(), add_reader_name, fd_.get(), on_read, future.get())) return {};
            reading_ = true;
        }
        if (status & MYSQL_WAIT_WRITE) {
            if (!call_method(loop_.get(), add_writer_name, fd_.get(), on_write, future.get())) return {};
            writing_ = true;
        }
        if (status & MYSQL_WAIT_TIMEOUT) {
            Ref delay = steal(PyFloat_FromDouble(mysql_get_timeout_value_ms(m) / 1000.0));
            timer_ = delay ? call_method(loop_.get(), call_later_name, delay.get(), on_timeout, future.get()) : Ref();
            if (!timer_) return {};
        }
        return future;
    }

    void disarm() noexcept {
        if (watcher_) Py_CLEAR(watcher_->waiter);
        watcher_ = nullptr;
        if (!reading_ && !writing_ && !timer_) return;
        Ref pending = steal(PyErr_GetRaisedException());
        if (reading_ && !call_method(loop_.get(), remove_reader_name, fd_.get())) PyErr_Clear();
        if (writing_ && !call_method(loop_.get(), remove_writer_name, fd_.get())) PyErr_Clear();
        if (timer_ && !call_method(timer_.get(), cancel_name)) PyErr_Clear();
        reading_ = writing_ = false;
        timer_.reset();
        PyErr_SetRaisedException(pending.release());
    }

private:
    Ref loop_;
    Ref fd_;
    Ref timer_;
    AioMysqlConnectionObject* watcher_ = nullptr;
    bool reading_ = false;
    bool writing_ = false;
};

// The events a completed wait stands for.
int fired_events(PyObject* fired) noexcept {
    long bit = PyLong_Check(fired) ? PyLong_AsLong(fired) : MYSQL_WAIT_READ;
    if (bit == -1 && PyErr_Occurred()) PyErr_Clear();
    return static_cast<int>(bit);
}

// Shuts the socket: the server ends the session (and a query it runs), and
// every later read or write of the library fails at once.
void cut(MYSQL* m) noexcept {
    my_socket fd = mysql_get_socket(m);
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

// One operation in flight on a connection. Destroyed before it ended (its
// task cancelled, its coroutine dropped), the connection is cut and the
// operation run to its end.
class Flight {
public:
    // `watched`: the connection is connected, its socket kept on the loop's watch.
    Flight(AioMysqlConnectionObject* con, MYSQL* m, mysql::Steps op, bool watched = true) noexcept
        : con_(con), m_(m), op_(std::move(op)), watched_(watched) {}
    Flight(const Flight&) = delete;
    Flight& operator=(const Flight&) = delete;
    ~Flight() {
        wait_.disarm();
        if (status_ != 0) abandon();
    }

    // false when the operation could not be made (MemoryError set).
    bool made() const noexcept { return static_cast<bool>(op_) || (PyErr_NoMemory(), false); }
    int start() noexcept { return status_ = op_.start(); }
    // The awaitable of the next event (new ref), or NULL.
    Ref wait() noexcept { return wait_.arm(con_, m_, status_, watched_); }
    int resume(PyObject* fired) noexcept {
        wait_.disarm();
        return status_ = op_.resume(fired_events(fired));
    }

private:
    void abandon() noexcept {
        con_->broken = true;
        cut(m_);
        // Each step fails on the shut socket; the bound only guards against a
        // library that would keep asking.
        for (int i = 0; status_ != 0 && i < 64; ++i) {
            status_ = op_.resume(MYSQL_WAIT_READ | MYSQL_WAIT_WRITE | MYSQL_WAIT_TIMEOUT);
        }
        unwatch(con_);  // the failed steps may have closed the socket
    }

    AioMysqlConnectionObject* con_;
    MYSQL* m_;
    mysql::Steps op_;
    SocketWait wait_;
    int status_ = 0;
    bool watched_;
};

mysql::Session on_loop(MYSQL* m) noexcept { return mysql::Session{m, false}; }

// Marks the connection busy for the whole of one coroutine's work on it.
class Busy {
public:
    explicit Busy(AioMysqlConnectionObject* c) noexcept : c_(c) { c_->busy = true; }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    ~Busy() { c_->busy = false; }

private:
    AioMysqlConnectionObject* c_;
};

// The library's error as pymysql's exception; a lost connection is broken.
// The library closes the socket of a connection it lost: it leaves the
// loop's watch at once, before another socket can get its number.
void failed_call(AioMysqlConnectionObject* c) noexcept {
    if (!mysql::set_failure(c->mysql)) return;
    c->broken = true;
    unwatch(c);
}

// --- the operations on the loop ------------------------------------------------------------
//
// Each kind of work is an Op: ready(c) checks the connection and prepares
// (false with the error set), steps(m) makes the operation, finish(c) gives
// the answer once it ended (NULL with the error set). `watched`: the
// connection's socket is on the loop's watch.

struct OpenOp {
    MysqlSettings settings;
    mysql::ConnectOutcome out;
    static constexpr bool watched = false;  // the library may open another socket while it connects
    bool ready(AioMysqlConnectionObject*) noexcept { return true; }
    mysql::Steps steps(MYSQL* m) noexcept { return mysql::connect(on_loop(m), settings, out); }
    Ref finish(AioMysqlConnectionObject* c, PyObject* con) noexcept {
        if (!out.failed) return borrow(con);
        mysql::set_connect_error(c->mysql, settings, out);
        c->broken = true;
        unwatch(c);
        return {};
    }
};

struct StatementOp {
    Ref text, args;
    int mode;
    std::shared_ptr<StatementTrace> trace;
    std::string sql;
    mysql::QueryOutcome out;
    static constexpr bool watched = true;

    StatementOp(Ref text_, Ref args_, int mode_, std::shared_ptr<StatementTrace> trace_) noexcept
        : text(std::move(text_)), args(std::move(args_)), mode(mode_), trace(std::move(trace_)) {}
    // Moved into the task's frame before it runs; the result belongs to one of them.
    StatementOp(StatementOp&& other) noexcept
        : text(std::move(other.text)), args(std::move(other.args)), mode(other.mode), trace(std::move(other.trace)),
          sql(std::move(other.sql)), out(std::exchange(other.out, {})) {}
    StatementOp& operator=(StatementOp&&) = delete;
    ~StatementOp() {
        if (out.res) mysql_free_result(out.res);
    }
    bool ready(AioMysqlConnectionObject* c) noexcept {
        if (!usable(c) || !mysql_statement_text(c->mysql, text.get(), args.get(), sql)) return false;
        c->dirty = true;
        if (trace) trace->start();
        return true;
    }
    mysql::Steps steps(MYSQL* m) noexcept { return mysql::statement(on_loop(m), sql, false, out); }
    Ref finish(AioMysqlConnectionObject* c, PyObject*) noexcept {
        Ref result;
        if (out.failed) failed_call(c);
        else if (mode == RUN_CURSOR) result = steal(mysql::cursor_result(out, mysql::handle_encoding(c->mysql)));
        else result = steal(mysql::run_result(out, mode, mysql::handle_encoding(c->mysql)));
        if (trace) {
            trace->stop(text.get(), nullptr);
            if (result) trace->rowcount = static_cast<Py_ssize_t>(out.affected);
        }
        return result;
    }
};

struct CommandOp {
    mysql::Command which;
    bool failed = false;
    static constexpr bool watched = true;
    bool ready(AioMysqlConnectionObject* c) noexcept { return usable(c); }
    mysql::Steps steps(MYSQL* m) noexcept { return mysql::command(on_loop(m), which, failed); }
    Ref finish(AioMysqlConnectionObject* c, PyObject*) noexcept {
        if (failed) {
            failed_call(c);
            return {};
        }
        // A transaction's end leaves nothing uncommitted; BEGIN starts what may hold some.
        c->dirty = which == mysql::Command::Begin;
        return borrow(Py_None);
    }
};

// A failed ping is the answer, not an error: whatever the library says
// (gone, killed, out of sync), this session is over.
struct PingOp {
    bool failed = false;
    static constexpr bool watched = true;
    bool ready(AioMysqlConnectionObject* c) noexcept { return usable(c); }
    mysql::Steps steps(MYSQL* m) noexcept { return mysql::command(on_loop(m), mysql::Command::Ping, failed); }
    Ref finish(AioMysqlConnectionObject* c, PyObject*) noexcept {
        if (!failed) return borrow(Py_True);
        c->broken = true;
        close_now(c);
        return borrow(Py_False);
    }
};

// An awaitable answer known at once.
coro::Task answer(Ref value) { co_return value; }

// The connection busy while `op` runs on it, awaited to its end.
template <typename Op>
coro::Task flight_task(Ref con, Op op, Ref fired = nullptr) {
    AioMysqlConnectionObject* c = as_mysql_con(con.get());
    if (!op.ready(c)) co_return nullptr;
    Busy busy(c);
    Flight flight(c, c->mysql, op.steps(c->mysql), Op::watched);
    if (!flight.made()) co_return nullptr;
    for (int status = flight.start(); status != 0; status = flight.resume(fired.get())) {
        fired = co_await coro::await(flight.wait());
        if (!fired) co_return nullptr;
    }
    co_return op.finish(c, con.get());
}

coro::Task close_task(Ref con, Ref fired = nullptr) {
    AioMysqlConnectionObject* c = as_mysql_con(con.get());
    if (!c->mysql) co_return borrow(Py_None);
    if (c->busy) co_return fail(PyExc_RuntimeError, "AioMysqlConnection: a call is in flight on this connection");
    Busy busy(c);
    // Closed from here on, whatever happens to the close itself.
    MYSQL* m = c->mysql;
    c->mysql = nullptr;
    unwatch(c);  // the close ends with the socket closed: its waits are its own
    Flight close(c, m, mysql::close(on_loop(m)), false);
    if (!close.made()) {
        mysql_close(m);
        co_return nullptr;
    }
    for (int status = close.start(); status != 0; status = close.resume(fired.get())) {
        fired = co_await coro::await(close.wait());
        if (!fired) co_return nullptr;
    }
    co_return borrow(Py_None);
}

}  // namespace

bool usable(AioMysqlConnectionObject* c) noexcept {
    if (!c->mysql) {
        set_pymysql_error("InterfaceError", 0, "Not connected");
        return false;
    }
    if (c->busy) {
        fail(PyExc_RuntimeError, "AioMysqlConnection: another call is in flight on this connection");
        return false;
    }
    if (c->broken) {
        set_pymysql_error("InterfaceError", 0, "the connection was lost or cut off in the middle of a call");
        return false;
    }
    return true;
}

PyObject* open(PyObject* connector, const MysqlSettings& settings) noexcept {
    Ref con = steal(PyObject_GC_New(PyObject, &AioMysqlConnectionType));
    if (!con) return nullptr;
    AioMysqlConnectionObject* c = as_mysql_con(con.get());
    c->mysql = nullptr;
    c->connector = Py_NewRef(connector);
    c->generation = as_aio(connector)->generation;
    c->busy = c->broken = c->lent = c->dirty = false;
    c->watch_loop = c->waiter = c->on_readable = nullptr;
    c->watched_fd = -1;
    PyObject_GC_Track(con.get());
    c->mysql = mysql_init(nullptr);
    if (!c->mysql) return PyErr_NoMemory();
    if (!apply_mysql_options(c->mysql, settings)) return nullptr;
    if (mysql_options(c->mysql, MYSQL_OPT_NONBLOCK, nullptr) != 0) {
        return fail(PyExc_RuntimeError, "MariaDB Connector/C refused its non-blocking mode");
    }
    return coro::make_coroutine(flight_task(std::move(con), OpenOp{settings, {}}), "open", "AioMysqlConnection.open");
}

PyObject* statement(PyObject* con, PyObject* text, PyObject* args, int mode,
                    std::shared_ptr<StatementTrace> trace) noexcept {
    StatementOp op(borrow(text), borrow(args), mode, std::move(trace));
    return coro::make_coroutine(flight_task(borrow(con), std::move(op)), "execute", "AioMysqlConnection.execute");
}

PyObject* command(PyObject* con, Command which) noexcept {
    switch (which) {
        case Command::Begin:
            return coro::make_coroutine(flight_task(borrow(con), CommandOp{mysql::Command::Begin}), "begin",
                                        "AioMysqlConnection.begin");
        case Command::Commit:
            return coro::make_coroutine(flight_task(borrow(con), CommandOp{mysql::Command::Commit}), "commit",
                                        "AioMysqlConnection.commit");
        case Command::Rollback:
            return coro::make_coroutine(flight_task(borrow(con), CommandOp{mysql::Command::Rollback}), "rollback",
                                        "AioMysqlConnection.rollback");
    }
    return fail(PyExc_SystemError, "unknown connection command");
}

PyObject* ping(PyObject* con) noexcept {
    AioMysqlConnectionObject* c = as_mysql_con(con);
    if (!c->mysql || c->broken) return coro::make_coroutine(answer(borrow(Py_False)), "ping", "AioMysqlConnection.ping");
    return coro::make_coroutine(flight_task(borrow(con), PingOp{}), "ping", "AioMysqlConnection.ping");
}

PyObject* close(PyObject* con) noexcept {
    return coro::make_coroutine(close_task(borrow(con)), "close", "AioMysqlConnection.close");
}

void unwatch(AioMysqlConnectionObject* c) noexcept {
    Ref loop = steal(c->watch_loop);
    c->watch_loop = nullptr;
    Py_CLEAR(c->waiter);
    if (!loop) return;
    Ref pending = steal(PyErr_GetRaisedException());
    Ref fd = steal(PyLong_FromLong(c->watched_fd));
    // A closed loop has dropped its registrations already.
    if (!fd || !call_method(loop.get(), remove_reader_name, fd.get())) PyErr_Clear();
    c->watched_fd = -1;
    PyErr_SetRaisedException(pending.release());
}

void close_now(AioMysqlConnectionObject* c) noexcept {
    unwatch(c);
    if (!c->mysql) return;
    Ref pending = steal(PyErr_GetRaisedException());
    MYSQL* m = c->mysql;
    c->mysql = nullptr;
    // A cut connection would only fail to say goodbye.
    if (c->broken) cut(m);
    mysql_close(m);
    PyErr_SetRaisedException(pending.release());
}

bool idle_alive(AioMysqlConnectionObject* c) noexcept {
    if (!c->mysql || c->broken) return false;
    pollfd p{};
    p.fd = mysql_get_socket(c->mysql);
    p.events = POLLIN;
    if (p.fd < 0) return false;
    return ::poll(&p, 1, 0) == 0;
}

int ready() noexcept {
    const NameSlot all[] = {
        {&add_reader_name, "add_reader"},   {&remove_reader_name, "remove_reader"},
        {&add_writer_name, "add_writer"},   {&remove_writer_name, "remove_writer"},
        {&call_later_name, "call_later"},   {&cancel_name, "cancel"},
    };
    if (intern_all(all) < 0) return -1;
    if (!on_read && !(on_read = bound_callback(MYSQL_WAIT_READ))) return -1;
    if (!on_write && !(on_write = bound_callback(MYSQL_WAIT_WRITE))) return -1;
    if (!on_timeout && !(on_timeout = bound_callback(MYSQL_WAIT_TIMEOUT))) return -1;
    if (!on_read_bit && !(on_read_bit = Py_BuildValue("(i)", MYSQL_WAIT_READ))) return -1;
    return 0;
}

}  // namespace tsy::db::mysql_async
