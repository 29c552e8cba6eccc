// The statements of the set-oriented writes: the connector's facts, rows
// grouped by the columns they name, multi-row INSERT texts in chunks, and the
// transaction around a call.
#include "bulk.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace tsy::exec::bulk {
namespace {

struct BulkNames {
    PyObject* executeSql;
    PyObject* transaction;
    PyObject* enter;
    PyObject* exit;
    PyObject* aenter;
    PyObject* aexit;
    PyObject* value;
    PyObject* col;
};

// Interned on first use; immortal afterwards.
const BulkNames* bulk_names() noexcept {
    static BulkNames n{};
    static bool made = false;
    if (made) return &n;
    const NameSlot all[] = {
        {&n.executeSql, "executeSql"}, {&n.transaction, "transaction"}, {&n.enter, "__enter__"},
        {&n.exit, "__exit__"},         {&n.aenter, "__aenter__"},       {&n.aexit, "__aexit__"},
        {&n.value, "value"},           {&n.col, "col"},
    };
    if (intern_all(all) < 0) return nullptr;
    made = true;
    return &n;
}

}  // namespace

bool read_backend(PyObject* model, PyObject* con, Backend& out) noexcept {
    Ref connector = statement_connector(model, con);
    if (!connector) return false;
    return bound.connector->dialect(connector.get(), con, 0, &out) == 0;
}

Py_ssize_t rows_per_statement(const Backend& b, Py_ssize_t width, Py_ssize_t cap) noexcept {
    Py_ssize_t rows = width > 0 ? b.param_limit / width : b.param_limit;
    if (cap > 0 && cap < rows) rows = cap;
    return rows > 0 ? rows : 1;
}

namespace {

// What the rows of one call read of the model's columns, looked up once.
struct ColumnPlan {
    Ref cols;                 // model.col as a tuple
    Ref names;                // their names
    std::vector<char> native; // the column keeps BaseProperty's own insertCell

    bool load(PyObject* model) noexcept {
        cols = model_columns(model);
        if (!cols) return false;
        Py_ssize_t n = PyTuple_GET_SIZE(cols.get());
        names = steal(PyTuple_New(n));
        if (!names) return false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
            Ref name = column_name(col);
            if (!name) return false;
            PyTuple_SET_ITEM(names.get(), i, name.release());
            bool own = _PyType_Lookup(Py_TYPE(col), exec::names().insertCell) == bound.native_insert_cell;
            int hidden = own ? in_instance_dict(col, exec::names().insertCell) : 1;
            if (hidden < 0) return false;
            native.push_back(own && !hidden);
        }
        return true;
    }
};

// instance[name] when the instance holds a value other than None there: 1
// with `out` set, 0 when not, -1 on error (save's reading of the instance).
int column_value(PyObject* instance, PyObject* name, Ref& out) noexcept {
    if (plain_mapping(instance)) {
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(instance, name, &found) < 0) return -1;
        out = steal(found);
        return found && found != Py_None;
    }
    int has_value = carries(instance, name);
    if (has_value <= 0) return has_value;
    out = steal(PyObject_GetItem(instance, name));
    return out ? 1 : -1;
}

// The value column i stores for `value`: insertCell's "value".
Ref stored_value(const ColumnPlan& plan, Py_ssize_t i, PyObject* value, const BulkNames& n) noexcept {
    PyObject* col = PyTuple_GET_ITEM(plan.cols.get(), i);
    if (plan.native[static_cast<std::size_t>(i)]) return steal(bound.property->toDBValue(col, value));
    Ref cell = call_method(col, exec::names().insertCell, value);
    if (!cell) return {};
    if (!PyDict_Check(cell.get())) return steal(PyObject_GetItem(cell.get(), n.value));
    PyObject* found = PyDict_GetItemWithError(cell.get(), n.value);
    if (!found && PyErr_Occurred()) return {};
    return borrow(found ? found : Py_None);  // a missing value is None, as the builder has it
}

// The items of `all` where `key` holds '1' (a tuple).
Ref picked(PyObject* all, const std::string& key) noexcept {
    Ref out = steal(PyList_New(0));
    if (!out) return {};
    for (std::size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '1' && PyList_Append(out.get(), PyTuple_GET_ITEM(all, static_cast<Py_ssize_t>(i))) < 0) return {};
    }
    return steal(PyList_AsTuple(out.get()));
}

}  // namespace

bool group_rows(PyObject* model, PyObject* instances, std::vector<Ref>& rows, std::vector<Group>& groups) noexcept {
    const BulkNames* n = bulk_names();
    ColumnPlan plan;
    if (!n || !plan.load(model)) return false;
    Py_ssize_t width = PyTuple_GET_SIZE(plan.cols.get());
    std::unordered_map<std::string, std::size_t> index;  // columns held ('1' per column) -> group
    std::string key(static_cast<std::size_t>(width), '0');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instances); ++i) {
        Ref instance = borrow(PyList_GET_ITEM(instances, i));
        Ref values = steal(PyList_New(0));
        if (!values) return false;
        for (Py_ssize_t c = 0; c < width; ++c) {
            Ref value;
            int held = column_value(instance.get(), PyTuple_GET_ITEM(plan.names.get(), c), value);
            if (held < 0) return false;
            key[static_cast<std::size_t>(c)] = held ? '1' : '0';
            if (!held) continue;
            Ref stored = stored_value(plan, c, value.get(), *n);
            if (!stored || PyList_Append(values.get(), stored.get()) < 0) return false;
        }
        Ref row = steal(PyList_AsTuple(values.get()));
        if (!row) return false;
        bool empty = PyTuple_GET_SIZE(row.get()) == 0;
        rows.push_back(std::move(row));
        if (empty) continue;
        auto found = index.find(key);
        if (found != index.end()) {
            groups[found->second].members.push_back(i);
            continue;
        }
        Ref names = picked(plan.names.get(), key);
        Ref cols = names ? picked(plan.cols.get(), key) : Ref();
        if (!cols) return false;
        index.emplace(key, groups.size());
        groups.push_back(Group{std::move(names), std::move(cols), {i}});
    }
    return true;
}

Ref cells_of(const Group& group, PyObject* values) noexcept {
    const BulkNames* n = bulk_names();
    if (!n) return {};
    Py_ssize_t count = PyTuple_GET_SIZE(group.cols.get());
    Ref out = steal(PyTuple_New(count));
    if (!out) return {};
    for (Py_ssize_t k = 0; k < count; ++k) {
        Ref cell = steal(PyDict_New());
        if (!cell || PyDict_SetItem(cell.get(), n->col, PyTuple_GET_ITEM(group.cols.get(), k)) < 0 ||
            PyDict_SetItem(cell.get(), n->value, PyTuple_GET_ITEM(values, k)) < 0) {
            return {};
        }
        PyTuple_SET_ITEM(out.get(), k, cell.release());
    }
    return out;
}

Ref insert_head(PyObject* model, PyObject* con, const Group& group) noexcept {
    // The builder reads the columns' names; the values of the first row stand in.
    Ref none = steal(PyTuple_New(PyTuple_GET_SIZE(group.cols.get())));
    if (!none) return {};
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(none.get()); ++k) PyTuple_SET_ITEM(none.get(), k, Py_NewRef(Py_None));
    Ref cells = cells_of(group, none.get());
    if (!cells) return {};
    Ref connector = statement_connector(model, con);
    if (!connector) return {};
    const gen::GeneratorApi* g = bound.generator;
    Ref builder = steal(g->newFor(model));
    Ref inserting = builder ? steal(g->insert(builder.get(), model)) : Ref();
    Ref filled = inserting ? steal(g->values(builder.get(), cells.get())) : Ref();
    Ref built;
    if (filled) {
        db::RenderingOn rendering(bound.db, connector.get());  // in the SQL of the connection it runs on
        built = steal(g->Build(builder.get()));
    }
    if (!built) return {};
    PyObject* text = PyTuple_Check(built.get()) && PyTuple_GET_SIZE(built.get()) == 2 ? PyTuple_GET_ITEM(built.get(), 0)
                                                                                       : nullptr;
    if (!text || !PyUnicode_Check(text)) return fail(PyExc_TypeError, "the INSERT builder gave no text");
    Ref marker = steal(PyUnicode_FromString(" values ("));
    if (!marker) return {};
    Py_ssize_t at = PyUnicode_Find(text, marker.get(), 0, PyUnicode_GET_LENGTH(text), -1);
    if (at == -2) return {};
    if (at < 0) return fail(PyExc_ValueError, "the INSERT text has no values list");
    return steal(PyUnicode_Substring(text, 0, at + 8));  // up to and including " values "
}

namespace {

// What one value adds to a MariaDB statement's text, roughly: its length for
// text and buffers, a few bytes for anything else.
Py_ssize_t value_bytes(PyObject* value) noexcept {
    if (PyUnicode_Check(value)) return PyUnicode_GET_LENGTH(value) * PyUnicode_KIND(value);
    if (PyBytes_Check(value)) return PyBytes_GET_SIZE(value);
    if (PyByteArray_Check(value)) return PyByteArray_GET_SIZE(value);
    if (PyMemoryView_Check(value)) return PyMemoryView_GET_BUFFER(value)->len;
    return 8;
}

}  // namespace

Py_ssize_t chunk_end(const Backend& b, const std::vector<Ref>& rows, const std::vector<Py_ssize_t>& members,
                     Py_ssize_t begin, Py_ssize_t per) noexcept {
    Py_ssize_t count = static_cast<Py_ssize_t>(members.size());
    Py_ssize_t end = std::min(count, begin + per);
    if (is_sqlite(b)) return end;  // SQLite binds its values: no packet to fill
    Py_ssize_t bytes = 0;
    for (Py_ssize_t m = begin; m < end; ++m) {
        PyObject* row = rows[static_cast<std::size_t>(members[static_cast<std::size_t>(m)])].get();
        Py_ssize_t row_bytes = 0;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(row); ++k) row_bytes += value_bytes(PyTuple_GET_ITEM(row, k));
        if (m > begin && bytes + row_bytes > kPacketBudget) return m;
        bytes += row_bytes;
    }
    return end;
}

Ref statement_text(PyObject* head, Py_ssize_t width, Py_ssize_t rows, PyObject* tail) noexcept {
    std::string row = "(";
    for (Py_ssize_t k = 0; k < width; ++k) row += k ? ",%s" : "%s";
    row += ")";
    std::string values;
    values.reserve(static_cast<std::size_t>(rows) * (row.size() + 1));
    for (Py_ssize_t r = 0; r < rows; ++r) {
        if (r) values += ",";
        values += row;
    }
    Ref middle = steal(PyUnicode_FromStringAndSize(values.data(), static_cast<Py_ssize_t>(values.size())));
    Ref start = middle ? steal(PyUnicode_Concat(head, middle.get())) : Ref();
    return start ? steal(PyUnicode_Concat(start.get(), tail)) : Ref();
}

Ref chunk_args(const std::vector<Ref>& rows, const std::vector<Py_ssize_t>& members, Py_ssize_t begin,
               Py_ssize_t end) noexcept {
    Py_ssize_t total = 0;
    for (Py_ssize_t m = begin; m < end; ++m) {
        total += PyTuple_GET_SIZE(rows[static_cast<std::size_t>(members[static_cast<std::size_t>(m)])].get());
    }
    Ref args = steal(PyTuple_New(total));
    if (!args) return {};
    Py_ssize_t at = 0;
    for (Py_ssize_t m = begin; m < end; ++m) {
        PyObject* row = rows[static_cast<std::size_t>(members[static_cast<std::size_t>(m)])].get();
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(row); ++k) {
            PyTuple_SET_ITEM(args.get(), at++, Py_NewRef(PyTuple_GET_ITEM(row, k)));
        }
    }
    return args;
}

Ref quoted(const Backend& b, PyObject* name) noexcept {
    return steal(PyUnicode_FromFormat(b.quote == db::QUOTE_DOUBLE ? "\"%U\"" : "`%U`", name));
}

Ref run_sql(PyObject* self, PyObject* text, PyObject* args, PyObject* con) noexcept {
    const BulkNames* n = bulk_names();
    if (!n) return {};
    Ref handle = borrow(as_executor(self)->db ? as_executor(self)->db : Py_None);
    return call_method(handle.get(), n->executeSql, text, args, con);
}

Ref first_column(PyObject* rows) noexcept {
    Ref seq = steal(PySequence_Fast(rows, "the RETURNING rows are not a sequence"));
    if (!seq) return {};
    Ref out = steal(PyList_New(0));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Ref value = steal(PySequence_GetItem(PySequence_Fast_GET_ITEM(seq.get(), i), 0));
        if (!value || PyList_Append(out.get(), value.get()) < 0) return {};
    }
    return out;
}

Ref instance_list(const char* func, PyObject* instances) noexcept {
    if (PyUnicode_Check(instances) || PyBytes_Check(instances) ||
        PyType_HasFeature(Py_TYPE(instances), Py_TPFLAGS_MAPPING)) {
        return fail(PyExc_TypeError, "%.200s() argument 'instances' must be an iterable of mappings, not %.200s", func,
                    type_name(instances));
    }
    Ref list = steal(PySequence_List(instances));
    if (!list) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return {};
        PyErr_Clear();
        return fail(PyExc_TypeError, "%.200s() argument 'instances' must be an iterable of mappings, not %.200s", func,
                    type_name(instances));
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(list.get(), i);
        if (!PyType_HasFeature(Py_TYPE(item), Py_TPFLAGS_MAPPING)) {
            return fail(PyExc_TypeError, "%.200s() argument 'instances': item %zd must be a mapping, not %.200s",
                        func, i, type_name(item));
        }
    }
    return list;
}

bool chunk_size(const char* func, PyObject* value, Py_ssize_t* out) noexcept {
    *out = 0;
    if (!value || value == Py_None) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        fail(PyExc_TypeError, "%.200s() argument 'chunkSize' must be a positive int or None, not %.200s", func,
             type_name(value));
        return false;
    }
    Py_ssize_t size = PyLong_AsSsize_t(value);
    if (size == -1 && PyErr_Occurred()) return false;
    if (size <= 0) {
        fail(PyExc_ValueError, "%.200s() argument 'chunkSize' must be positive, got %zd", func, size);
        return false;
    }
    *out = size;
    return true;
}

Ref launch(coro::Task task, bool is_async, const char* name) noexcept {
    Ref coroutine = steal(coro::make_coroutine(std::move(task), name));
    if (!coroutine || is_async) return coroutine;
    PyObject* result = nullptr;
    PySendResult status = PyIter_Send(coroutine.get(), Py_None, &result);
    if (status == PYGEN_RETURN) return steal(result);
    if (status == PYGEN_ERROR) return {};
    // Only an awaitable suspends the body, and the synchronous executor's
    // calls return none: a result of Python code that did is refused.
    Py_XDECREF(result);
    Ref closed = call_method(coroutine.get(), steal(PyUnicode_FromString("close")).get());
    if (!closed) return {};
    return fail(PyExc_TypeError, "%.200s(): a call of the synchronous executor returned an awaitable", name);
}

namespace {

// tx.__exit__ (or __aexit__) with the pending error's type, value and
// traceback, or three Nones when there is none: the call's result.
Ref exit_call(PyObject* tx, PyObject* error, bool is_async, const BulkNames& n) noexcept {
    PyObject* exit = is_async ? n.aexit : n.exit;
    if (!error) return call_method(tx, exit, Py_None, Py_None, Py_None);
    Ref tb = steal(PyException_GetTraceback(error));
    return call_method(tx, exit, reinterpret_cast<PyObject*>(Py_TYPE(error)), error, tb ? tb.get() : Py_None);
}

// The transaction block a call of an executor not bound to a connection
// runs in: on the connector of its model's database, or through the
// handle's transaction() when the handle is not the package's own (or
// wraps transaction()).
Ref model_transaction(PyObject* self, const BulkNames& n) noexcept {
    Ref handle = borrow(as_executor(self)->db ? as_executor(self)->db : Py_None);
    int wrapped = Py_IS_TYPE(handle.get(), bound.db->DB) ? in_instance_dict(handle.get(), n.transaction) : 1;
    if (wrapped < 0) return {};
    if (wrapped) return call_method(handle.get(), n.transaction);
    Ref connector = statement_connector(as_executor(self)->model, nullptr);
    return connector ? call_method(connector.get(), n.transaction) : Ref();
}

}  // namespace

coro::Task transactional(Ref self, Ref args, Job job, const char* name, bool is_async) {
    // No rows: nothing is sent, no transaction begun.
    PyObject* instances = PyTuple_GET_ITEM(args.get(), 0);
    if (PyList_GET_SIZE(instances) == 0) co_return steal(PyList_New(0));
    Ref done = launch(in_transaction(std::move(self), std::move(args), job, name, is_async), is_async, name);
    TSY_BULK_RESOLVE(done, is_async);
    co_return done;
}

coro::Task in_transaction(Ref self, Ref args, Job job, const char* name, bool is_async) {
    const BulkNames* n = bulk_names();
    if (!n) co_return nullptr;
    Ref work = work_of(self.get());
    int bound_to_connection = work ? truth(work.get()) : -1;
    if (bound_to_connection < 0) co_return nullptr;
    if (bound_to_connection) {
        Ref done = launch(job(borrow(self.get()), std::move(work), borrow(args.get()), is_async), is_async, name);
        TSY_BULK_RESOLVE(done, is_async);
        co_return done;
    }
    Ref tx = model_transaction(self.get(), *n);
    if (!tx) co_return nullptr;
    Ref con = call_method(tx.get(), is_async ? n->aenter : n->enter);
    TSY_BULK_RESOLVE(con, is_async);
    if (!con) co_return nullptr;
    Ref done = launch(job(borrow(self.get()), borrow(con.get()), borrow(args.get()), is_async), is_async, name);
    TSY_BULK_RESOLVE(done, is_async);
    // Cancellation and interruptions end the block too: every error rolls back.
    Ref error = done ? Ref() : steal(PyErr_GetRaisedException());
    Ref closed = exit_call(tx.get(), error.get(), is_async, *n);
    TSY_BULK_RESOLVE(closed, is_async);
    if (error) {
        if (!closed) {
            // The block's error stays the answer; the failed rollback is its context.
            Ref rollback_error = steal(PyErr_GetRaisedException());
            PyException_SetContext(error.get(), rollback_error.release());
        }
        PyErr_SetRaisedException(error.release());
        co_return nullptr;
    }
    if (!closed) co_return nullptr;
    co_return done;
}

Ref insert_defaults(PyObject* model, PyObject* con) noexcept {
    PyObject* on = con && con != Py_None ? con : nullptr;
    Backend b;
    Ref connector = statement_connector(model, on);
    if (!connector || bound.connector->dialect(connector.get(), on, 0, &b) < 0) return {};
    Ref table = attr(model, names().tableName);
    Ref name = table ? quoted(b, table.get()) : Ref();
    if (!name) return {};
    // SQLite has no empty column list; MySQL and MariaDB have no DEFAULT VALUES.
    Ref text = steal(PyUnicode_FromFormat(is_sqlite(b) ? "INSERT INTO %U DEFAULT VALUES;" : "INSERT INTO %U () VALUES ();",
                                          name.get()));
    Ref args = text ? steal(PyTuple_New(0)) : Ref();
    if (!args) return {};
    return steal(bound.connector->run(connector.get(), on, text.get(), args.get(), db::RUN_KEY));
}

}  // namespace tsy::exec::bulk
