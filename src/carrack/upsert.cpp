// upsert(instances, conflict, update=None): multi-row INSERTs that overwrite
// the rows whose conflict columns clash, one statement per column set and
// chunk, and the key of every row read back: with RETURNING on SQLite, with a
// SELECT by the conflict columns after the statement on MariaDB (whose ON
// DUPLICATE KEY UPDATE takes no RETURNING), in the same transaction.
#include "bulk.hpp"
#include "tessary/identifiers.hpp"

#include <algorithm>
#include <string>

namespace tsy::exec::bulk {
namespace {

const char* const kUpsertNames[] = {"instances", "conflict", "update", "chunkSize"};

// The column names of `columns` (a tuple or list of column properties of
// `model`), as a tuple; TypeError or ValueError naming `what` otherwise.
Ref own_column_names(PyObject* model, PyObject* columns, const char* what) noexcept {
    if (!PyTuple_Check(columns) && !PyList_Check(columns)) {
        return fail(PyExc_TypeError, "upsert() argument '%s' must be a tuple or list of column properties, not %.200s",
                    what, type_name(columns));
    }
    Ref all = model_columns(model);
    Ref items = all ? steal(PySequence_Tuple(columns)) : Ref();
    if (!items) return {};
    Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    Ref out = steal(PyTuple_New(count));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* col = PyTuple_GET_ITEM(items.get(), i);
        if (!PyObject_TypeCheck(col, bound.property->BaseProperty)) {
            return fail(PyExc_TypeError, "upsert() argument '%s': item %zd must be a column property, not %.200s", what,
                        i, type_name(col));
        }
        bool own = false;
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(all.get()) && !own; ++k) {
            own = PyTuple_GET_ITEM(all.get(), k) == col;
        }
        if (!own) {
            return fail(PyExc_ValueError, "upsert() argument '%s': %R is not a column of %R", what, col, model);
        }
        Ref name = column_name(col);
        if (!name) return {};
        PyTuple_SET_ITEM(out.get(), i, name.release());
    }
    return out;
}

// Every instance must hold a value for each conflict column: a row without
// one could never clash, and its key could not be found again.
bool check_conflict_values(PyObject* instances, PyObject* conflict) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instances); ++i) {
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(conflict); ++k) {
            int has = carries(PyList_GET_ITEM(instances, i), PyTuple_GET_ITEM(conflict, k));
            if (has < 0) return false;
            if (!has) {
                fail(PyExc_ValueError, "upsert(): item %zd has no value for the conflict column %R", i,
                     PyTuple_GET_ITEM(conflict, k));
                return false;
            }
        }
    }
    return true;
}

// `names` joined by ", ", each quoted, optionally as `fmt` % (q, q).
Ref joined(const Backend& b, PyObject* names, const char* fmt) noexcept {
    Ref parts = steal(PyList_New(0));
    if (!parts) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i) {
        Ref q = quoted(b, PyTuple_GET_ITEM(names, i));
        Ref part = q ? (fmt ? steal(PyUnicode_FromFormat(fmt, q.get(), q.get())) : std::move(q)) : Ref();
        if (!part || PyList_Append(parts.get(), part.get()) < 0) return {};
    }
    Ref comma = steal(PyUnicode_FromString(","));
    return comma ? steal(PyUnicode_Join(comma.get(), parts.get())) : Ref();
}

// The columns a clash overwrites for one column set: those of `update` (every
// column given when None) that the set holds, the conflict columns left out.
// None left: the first conflict column set to itself, so that the clashing
// row is still reported.
Ref overwritten(PyObject* group_names, PyObject* conflict, PyObject* update) noexcept {
    PyObject* wanted = update == Py_None ? group_names : update;
    Ref out = steal(PyList_New(0));
    if (!out) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(wanted); ++i) {
        PyObject* name = PyTuple_GET_ITEM(wanted, i);
        int given = PySequence_Contains(group_names, name);
        int clash = given > 0 ? PySequence_Contains(conflict, name) : 0;
        if (given < 0 || clash < 0) return {};
        if (given && !clash && PyList_Append(out.get(), name) < 0) return {};
    }
    if (PyList_GET_SIZE(out.get()) == 0 && PyList_Append(out.get(), PyTuple_GET_ITEM(conflict, 0)) < 0) return {};
    return steal(PyList_AsTuple(out.get()));
}

// The text after the VALUES rows.
Ref upsert_tail(const Backend& b, PyObject* conflict, PyObject* set_names, PyObject* pk_name) noexcept {
    if (is_sqlite(b)) {
        Ref target = joined(b, conflict, nullptr);
        Ref sets = target ? joined(b, set_names, "%U = excluded.%U") : Ref();
        if (!sets) return {};
        if (!b.returning || pk_name == Py_None) {
            return steal(PyUnicode_FromFormat(" ON CONFLICT(%U) DO UPDATE SET %U;", target.get(), sets.get()));
        }
        Ref key = quoted(b, pk_name);
        return key ? steal(PyUnicode_FromFormat(" ON CONFLICT(%U) DO UPDATE SET %U RETURNING %U,%U;", target.get(),
                                                sets.get(), key.get(), target.get()))
                   : Ref();
    }
    Ref sets = joined(b, set_names, "%U = VALUES(%U)");
    return sets ? steal(PyUnicode_FromFormat(" ON DUPLICATE KEY UPDATE %U;", sets.get())) : Ref();
}

// SELECT key, conflict columns FROM table WHERE (conflict columns) IN (rows):
// SQLite takes row values only from a VALUES list there.
Ref key_select(const Backend& b, PyObject* table, PyObject* conflict, PyObject* pk_name, Py_ssize_t rows) noexcept {
    Py_ssize_t width = PyTuple_GET_SIZE(conflict);
    Ref cols = joined(b, conflict, nullptr);
    Ref key = cols ? quoted(b, pk_name) : Ref();
    if (!key) return {};
    std::string row = width > 1 ? "(" : "";
    for (Py_ssize_t k = 0; k < width; ++k) row += k ? ",%s" : "%s";
    if (width > 1) row += ")";
    std::string list;
    for (Py_ssize_t r = 0; r < rows; ++r) list += (r ? "," : "") + row;
    const char* open = width > 1 && is_sqlite(b) ? "VALUES " : "";
    const char* lhs_open = width > 1 ? "(" : "";
    const char* lhs_close = width > 1 ? ")" : "";
    return steal(PyUnicode_FromFormat("SELECT %U,%U FROM %U WHERE %s%U%s IN (%s%s);", key.get(), cols.get(), table,
                                      lhs_open, cols.get(), lhs_close, open, list.c_str()));
}

Ref casefolded(PyObject* text) noexcept {
    static PyObject* casefold = intern("casefold");
    return call_method(text, casefold);
}

// A value as the database gives it back, for matching the sent one: bools
// as ints, buffers as bytes, other values of no basic type as their text.
Ref comparable(PyObject* value, bool fold) noexcept {
    if (value == Py_None || PyLong_CheckExact(value) || PyFloat_CheckExact(value)) return borrow(value);
    if (PyBool_Check(value)) return steal(PyNumber_Long(value));
    if (PyUnicode_Check(value)) return fold ? casefolded(value) : borrow(value);
    if (PyBytes_Check(value) || PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        return steal(PyBytes_FromObject(value));
    }
    if (PyLong_Check(value)) return steal(PyNumber_Long(value));
    Ref text = steal(PyObject_Str(value));
    return text && fold ? casefolded(text.get()) : std::move(text);
}

// A tuple of comparable(items[at + k]) for the `width` conflict values.
Ref match_key(PyObject* seq, Py_ssize_t at, Py_ssize_t width, bool fold) noexcept {
    Ref out = steal(PyTuple_New(width));
    if (!out) return {};
    for (Py_ssize_t k = 0; k < width; ++k) {
        Ref item = steal(PySequence_GetItem(seq, at + k));
        Ref value = item ? comparable(item.get(), fold) : Ref();
        if (!value) return {};
        PyTuple_SET_ITEM(out.get(), k, value.release());
    }
    return out;
}

// The positions of the conflict columns in a column set.
bool conflict_positions(PyObject* group_names, PyObject* conflict, std::vector<Py_ssize_t>& out) noexcept {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(conflict); ++k) {
        Py_ssize_t at = PySequence_Index(group_names, PyTuple_GET_ITEM(conflict, k));
        if (at < 0) return false;
        out.push_back(at);
    }
    return true;
}

// The conflict values sent for member m (a tuple in conflict order).
Ref sent_conflict(PyObject* args, Py_ssize_t row, Py_ssize_t width, const std::vector<Py_ssize_t>& positions) noexcept {
    Ref out = steal(PyTuple_New(static_cast<Py_ssize_t>(positions.size())));
    if (!out) return {};
    for (std::size_t k = 0; k < positions.size(); ++k) {
        PyObject* value = PyTuple_GET_ITEM(args, row * width + positions[k]);
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(k), Py_NewRef(value));
    }
    return out;
}

// Every row (key, conflict values...) mapped by its comparable conflict
// values, exactly and case-folded (a case-insensitive collation matches
// 'A' with 'a'); each instance then gets the key of its row.
bool assign_upsert_keys(PyObject* instances, const std::vector<Py_ssize_t>& members, Py_ssize_t begin, Py_ssize_t end,
                        PyObject* rows, PyObject* args, Py_ssize_t width, const std::vector<Py_ssize_t>& positions,
                        PyObject* pk_name) noexcept {
    Py_ssize_t k = static_cast<Py_ssize_t>(positions.size());
    Ref exact = steal(PyDict_New());
    Ref folded = steal(PyDict_New());
    Ref seq = steal(PySequence_Fast(rows, "the key rows are not a sequence"));
    if (!exact || !folded || !seq) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* row = PySequence_Fast_GET_ITEM(seq.get(), i);
        Ref key = steal(PySequence_GetItem(row, 0));
        Ref plain = key ? match_key(row, 1, k, false) : Ref();
        Ref fold = plain ? match_key(row, 1, k, true) : Ref();
        if (!fold || PyDict_SetItem(exact.get(), plain.get(), key.get()) < 0 ||
            PyDict_SetItem(folded.get(), fold.get(), key.get()) < 0) {
            return false;
        }
    }
    for (Py_ssize_t m = begin; m < end; ++m) {
        Ref sent = sent_conflict(args, m - begin, width, positions);
        Ref plain = sent ? match_key(sent.get(), 0, k, false) : Ref();
        if (!plain) return false;
        PyObject* key = PyDict_GetItemWithError(exact.get(), plain.get());
        if (!key && !PyErr_Occurred()) {
            Ref fold = match_key(sent.get(), 0, k, true);
            if (!fold) return false;
            key = PyDict_GetItemWithError(folded.get(), fold.get());
        }
        if (!key) {
            if (!PyErr_Occurred()) {
                fail(PyExc_RuntimeError,
                     "upsert(): no row holds the conflict values %R after the statement (a clash on another "
                     "unique key updated that row instead)", sent.get());
            }
            return false;
        }
        PyObject* instance = PyList_GET_ITEM(instances, members[static_cast<std::size_t>(m)]);
        if (PyObject_SetItem(instance, pk_name, key) < 0) return false;
    }
    return true;
}

struct UpsertSpec {
    Ref conflict, update, pk_name, table;
};

coro::Task upsert_group(Ref self, Ref con, Ref instances, const UpsertSpec* spec, const Backend* b, const Group* group,
                        const std::vector<Ref>* cells, Py_ssize_t cap, bool is_async) {
    Ref model = borrow(as_executor(self.get())->model);
    PyObject* pk_name = spec->pk_name.get();
    std::vector<Py_ssize_t> positions;
    if (!conflict_positions(group->names.get(), spec->conflict.get(), positions)) co_return nullptr;
    Ref set_names = overwritten(group->names.get(), spec->conflict.get(), spec->update.get());
    Ref head = set_names ? insert_head(model.get(), con.get(), *group) : Ref();
    Ref tail = head ? upsert_tail(*b, spec->conflict.get(), set_names.get(), pk_name) : Ref();
    if (!tail) co_return nullptr;
    bool returning = is_sqlite(*b) && b->returning;
    bool wants_keys = pk_name != Py_None;
    const std::vector<Py_ssize_t>& members = group->members;
    Py_ssize_t count = static_cast<Py_ssize_t>(members.size());
    Py_ssize_t width = PyTuple_GET_SIZE(group->names.get());
    Py_ssize_t per = rows_per_statement(*b, width, cap);
    for (Py_ssize_t begin = 0, end = 0; begin < count; begin = end) {
        end = chunk_end(*b, *cells, members, begin, per);
        Ref text = statement_text(head.get(), width, end - begin, tail.get());
        Ref args = text ? chunk_args(*cells, members, begin, end) : Ref();
        Ref rows = args ? run_sql(self.get(), text.get(), args.get(), con.get()) : Ref();
        TSY_BULK_RESOLVE(rows, is_async);
        if (!rows) co_return nullptr;
        if (!wants_keys) continue;
        if (!returning) {
            Ref select = key_select(*b, spec->table.get(), spec->conflict.get(), pk_name, end - begin);
            Ref keys_args = steal(PyList_New(0));
            if (!select || !keys_args) co_return nullptr;
            for (Py_ssize_t r = 0; r < end - begin; ++r) {
                for (Py_ssize_t at : positions) {
                    PyObject* value = PyTuple_GET_ITEM(args.get(), r * width + at);
                    if (PyList_Append(keys_args.get(), value) < 0) co_return nullptr;
                }
            }
            Ref as_tuple = steal(PyList_AsTuple(keys_args.get()));
            rows = as_tuple ? run_sql(self.get(), select.get(), as_tuple.get(), con.get()) : Ref();
            TSY_BULK_RESOLVE(rows, is_async);
            if (!rows) co_return nullptr;
        }
        if (!assign_upsert_keys(instances.get(), members, begin, end, rows.get(), args.get(), width, positions,
                                pk_name)) {
            co_return nullptr;
        }
    }
    co_return borrow(Py_None);
}

// args: (instances, conflict names, update names or None, cap).
coro::Task upsert_job(Ref self, Ref con, Ref args, bool is_async) {
    Ref instances = borrow(PyTuple_GET_ITEM(args.get(), 0));
    UpsertSpec spec;
    spec.conflict = borrow(PyTuple_GET_ITEM(args.get(), 1));
    spec.update = borrow(PyTuple_GET_ITEM(args.get(), 2));
    Py_ssize_t cap = PyLong_AsSsize_t(PyTuple_GET_ITEM(args.get(), 3));
    Ref model = borrow(as_executor(self.get())->model);
    spec.pk_name = attr(model.get(), names().pkName);
    spec.table = spec.pk_name ? attr(model.get(), names().tableName) : Ref();
    if (spec.table) spec.table = sql::quoted_name(spec.table.get());  // written into the key SELECT
    if (!spec.table) co_return nullptr;
    Backend b;
    if (!read_backend(model.get(), con.get(), b)) co_return nullptr;
    std::vector<Ref> cells;
    std::vector<Group> groups;
    if (!group_rows(model.get(), instances.get(), cells, groups)) co_return nullptr;
    for (const Group& group : groups) {
        Ref done = launch(upsert_group(borrow(self.get()), borrow(con.get()), borrow(instances.get()), &spec, &b, &group,
                                       &cells, cap, is_async),
                          is_async, "upsert");
        TSY_BULK_RESOLVE(done, is_async);
        if (!done) co_return nullptr;
    }
    co_return steal(PyList_GetSlice(instances.get(), 0, PyList_GET_SIZE(instances.get())));
}

// The call's arguments checked before anything is sent, as the job's tuple.
Ref upsert_args(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    static const Params params{"upsert", kUpsertNames, 4, 2};
    PyObject* a[4];
    if (!parse(params, args, nargs, kwnames, a)) return {};
    Ref model = borrow(as_executor(self)->model);
    Ref instances = instance_list("upsert", a[0]);
    Ref conflict = instances ? own_column_names(model.get(), a[1], "conflict") : Ref();
    if (!conflict) return {};
    if (PyTuple_GET_SIZE(conflict.get()) == 0) return fail(PyExc_ValueError, "upsert() argument 'conflict' is empty");
    Ref update = !a[2] || a[2] == Py_None ? borrow(Py_None) : own_column_names(model.get(), a[2], "update");
    Py_ssize_t cap = 0;
    if (!update || !chunk_size("upsert", a[3], &cap)) return {};
    if (!check_conflict_values(instances.get(), conflict.get())) return {};
    Ref size = steal(PyLong_FromSsize_t(cap));
    return size ? steal(PyTuple_Pack(4, instances.get(), conflict.get(), update.get(), size.get())) : Ref();
}

}  // namespace

PyObject* upsert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref job_args = upsert_args(self, args, nargs, kwnames);
    if (!job_args) return nullptr;
    coro::Task job = transactional(borrow(self), std::move(job_args), upsert_job, "upsert", false);
    Ref task = launch(std::move(job), false, "upsert");
    return task.release();
}

PyObject* async_upsert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Ref job_args = upsert_args(self, args, nargs, kwnames);
    if (!job_args) return nullptr;
    coro::Task job = transactional(borrow(self), std::move(job_args), upsert_job, "upsert", true);
    Ref task = launch(std::move(job), true, "upsert");
    return task.release();
}

}  // namespace tsy::exec::bulk
