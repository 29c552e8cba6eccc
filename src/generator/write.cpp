// INSERT, UPDATE and DELETE on SqlGenerator: choosing the kind, taking the
// value and SET entries, and rendering the statements.
#include "internal.hpp"

namespace tsy::gen {

namespace {

enum ConType : int { QUALIFIED = 0, QUOTED = 1 };

Failure not_iterable(PyObject* obj) {
    return fail(PyExc_TypeError, "'%.200s' object is not iterable", type_name(obj));
}

// entry[key] of a dict entry; a missing key is the interpreter's KeyError.
Ref required(PyObject* entry, PyObject* key) {
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(entry, key, &value);
    if (found == 0) PyErr_SetObject(PyExc_KeyError, key);
    return steal(value);
}

// entry.get(key): None when missing.
Ref optional(PyObject* entry, PyObject* key) {
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(entry, key, &value) < 0) return {};
    return steal(value ? value : Py_NewRef(Py_None));
}

// The con_type of the connector the INSERT is written for, read once per INSERT.
bool connector_type(int* out) {
    Ref connector = rendering_connector(nullptr, names._connector);
    if (!connector) return false;
    Ref type = attr(connector.get(), names.con_type);
    return type && to_int(type.get(), out);
}

// The two entries of a cell made by insertCell: an exact dict holding just
// the interned keys "col" and "value", read in one pass instead of two hashed
// lookups. False, with nothing read, for an entry of any other shape.
bool cell_parts(PyObject* entry, Ref& col, Ref& value) noexcept {
    if (!PyDict_CheckExact(entry) || PyDict_GET_SIZE(entry) != 2) return false;
    PyObject* found[2] = {nullptr, nullptr};
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(entry, &pos, &key, &item)) {
        if (key == names.col) found[0] = item;
        if (key == names.value) found[1] = item;
    }
    if (!found[0] || !found[1]) return false;
    col = borrow(found[0]);
    value = borrow(found[1]);
    return true;
}

// A column of the quoted INSERT form: 'name', or the name's own quotes
// when it needs them (a reserved word in quotes is a string on MySQL).
bool quoted_column(PyObject* name, Text& cols) {
    Ref text = sql::quoted_name(name);
    if (!text) return false;
    if (text.get() != name) return cols.str(text.get());
    cols.lit("'");
    if (!cols.str_of(name)) return false;
    cols.lit("'");
    return true;
}

bool render_insert_entry(PyObject* entry, PyObject* target, int con_type, Text& cols, bool first,
                         PyObject* args) {
    if (!PyDict_Check(entry)) {
        expected_kind("dict", entry);
        return false;
    }
    Ref col;
    Ref value;
    bool plain = cell_parts(entry, col, value);
    if (con_type == QUALIFIED || con_type == QUOTED) {
        if (!plain) col = required(entry, names.col);
        if (!col) return false;
        Ref name = name_of(col.get());
        if (!name) return false;
        if (!first) cols.lit(",");
        if (con_type == QUALIFIED) {
            if (!cols.str(target)) return false;
            cols.lit(".");
            if (!cols.ident_of(name.get())) return false;
        } else if (!quoted_column(name.get(), cols)) {
            return false;
        }
    }
    if (!plain) value = optional(entry, names.value);
    return value && PyList_Append(args, value.get()) == 0;
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

const char* const kModelParams[] = {"model"};
const char* const kTargetParams[] = {"target"};

PyObject* insert_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"insert", kModelParams, 1, 1};
    PyObject* model;
    if (!parse(params, args, nargs, kwnames, &model)) return nullptr;
    return do_insert(self, model).release();
}

PyObject* values_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("values", kwnames)) return nullptr;
    Ref entries = list_of(args, nargs);
    if (!entries) return nullptr;
    return do_values(self, entries.get()).release();
}

PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"update", kTargetParams, 1, 1};
    PyObject* target;
    if (!parse(params, args, nargs, kwnames, &target)) return nullptr;
    return do_update(self, target).release();
}

PyObject* set_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("set", kwnames)) return nullptr;
    Ref entries = list_of(args, nargs);
    if (!entries) return nullptr;
    return do_set(self, entries.get()).release();
}

PyObject* delete_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"delete", kTargetParams, 1, 1};
    PyObject* target;
    if (!parse(params, args, nargs, kwnames, &target)) return nullptr;
    return do_delete(self, target).release();
}

template <Ref (*Build)(PyObject*)>
PyObject* build_kind_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("build", nargs, kwnames)) return nullptr;
    return Build(self).release();
}

}  // namespace

PyMethodDef write_methods[] = {
    {"insert", fastkw<insert_method>(), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, model)\n--\n\nmake this an INSERT into a table (name or model class)."},
    {"values", fastkw<values_method>(), METH_FASTCALL | METH_KEYWORDS,
     "values($self, *entries)\n--\n\nINSERT value entries, dicts with the keys \"col\" and \"value\"."},
    {"update", fastkw<update_method>(), METH_FASTCALL | METH_KEYWORDS,
     "update($self, target)\n--\n\nmake this an UPDATE of a table (name or model class), whatever it was before."},
    {"set", fastkw<set_method>(), METH_FASTCALL | METH_KEYWORDS,
     "set($self, *entries)\n--\n\nUPDATE SET entries, dicts with the keys \"name\" and \"value\"."},
    {"delete", fastkw<delete_method>(), METH_FASTCALL | METH_KEYWORDS,
     "delete($self, target)\n--\n\nmake this a DELETE from a table (name or model class)."},
    {"build_insert", fastkw<build_kind_method<build_insert>>(), METH_FASTCALL | METH_KEYWORDS,
     "build_insert($self)\n--\n\nbuild_insert() -> (sql, args) of the INSERT statement."},
    {"build_update", fastkw<build_kind_method<build_update>>(), METH_FASTCALL | METH_KEYWORDS,
     "build_update($self)\n--\n\nbuild_update() -> (sql, args) of the UPDATE statement."},
    {"build_delete", fastkw<build_kind_method<build_delete>>(), METH_FASTCALL | METH_KEYWORDS,
     "build_delete($self)\n--\n\nbuild_delete() -> (sql, args) of the DELETE statement."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Operations
// ---------------------------------------------------------------------------

Ref do_insert(PyObject* self, PyObject* model) {
    auto* b = builder(self);
    if (b->base.currentType != UNSET) return raise_kind_error(b->base.currentType, INSERT);
    b->base.currentType = INSERT;
    if (!call_from(self, model)) return {};
    return borrow(self);
}

Ref do_values(PyObject* self, PyObject* entries) {
    if (!PyList_Check(entries)) return expected_kind("list", entries);
    replace_field(builder(self)->selectCol, borrow(entries));
    return borrow(self);
}

Ref do_update(PyObject* self, PyObject* target) {
    builder(self)->base.currentType = UPDATE;
    if (!call_from(self, target)) return {};
    return borrow(self);
}

Ref call_update(PyObject* self, PyObject* target) {
    if (Py_IS_TYPE(self, &SqlGeneratorType) || !find_override(self, names.update, own.update)) {
        return do_update(self, target);
    }
    Ref result = call_method(self, names.update, target);
    if (result && !check_builder_result(result.get())) return {};
    return result;
}

Ref do_set(PyObject* self, PyObject* entries) {
    if (!PyList_Check(entries)) return expected_kind("list", entries);
    if (builder(self)->base.currentType == UNSET) return raise_error(bound.SetSQLError);
    replace_field(builder(self)->updateCol, borrow(entries));
    return borrow(self);
}

Ref do_delete(PyObject* self, PyObject* target) {
    auto* b = builder(self);
    if (b->base.currentType != UNSET) return raise_kind_error(b->base.currentType, DELETE);
    if (!call_from(self, target)) return {};
    b->base.currentType = DELETE;
    return borrow(self);
}

Ref build_insert(PyObject* self) {
    auto* b = builder(self);
    Ref target = borrow(b->target);
    Ref entries = borrow(b->selectCol);
    Text out;
    out.lit("INSERT INTO ");
    if (!out.str(target.get())) return {};
    out.lit(" ");
    int con_type = 0;
    if (!connector_type(&con_type)) return {};
    if (!PyList_Check(entries.get())) return not_iterable(entries.get());
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    Text cols;
    bool first = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref entry = borrow(PyList_GET_ITEM(entries.get(), i));
        if (!render_insert_entry(entry.get(), target.get(), con_type, cols, first, args.get())) return {};
        first = first && con_type != QUALIFIED && con_type != QUOTED;
    }
    out.lit("(");
    out.append(cols);
    out.lit(") values (");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args.get()); ++i) {
        if (i) out.lit(",");
        out.lit("%s");
    }
    out.lit(");");
    return make_pair(out, args.get());
}

Ref build_update(PyObject* self) {
    auto* b = builder(self);
    Ref target = borrow(b->target);
    Ref entries = borrow(b->updateCol);
    Ref where_cell = borrow(b->whereCol);
    Text out;
    out.lit("UPDATE ");
    if (!out.str(target.get())) return {};
    out.lit(" SET ");
    if (!PyList_Check(entries.get())) return not_iterable(entries.get());
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref entry = borrow(PyList_GET_ITEM(entries.get(), i));
        if (!PyDict_Check(entry.get())) return expected_kind("dict", entry.get());
        Ref name = required(entry.get(), names.name);
        if (!name) return {};
        Ref value = required(entry.get(), names.value);
        if (!value) return {};
        out.lit("`");
        if (!out.str(name.get())) return {};
        // A generator value (a function call, an expression on columns) is
        // SQL computed by the database, its own arguments in their place.
        if (is_generator(value.get())) {
            out.lit("` = ");
            if (!embed(value.get(), out, args.get())) return {};
            out.lit(",");
            continue;
        }
        out.lit("` = %s,");
        if (PyList_Append(args.get(), value.get()) < 0) return {};
    }
    Text where;
    if (!render_where(where_cell.get(), where, args.get())) return {};
    out.drop_last(1);
    out.append(where);
    out.lit(";");
    return make_pair(out, args.get());
}

Ref build_delete(PyObject* self) {
    auto* b = builder(self);
    Ref target = borrow(b->target);
    Ref where_cell = borrow(b->whereCol);
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    Text where;
    if (!render_where(where_cell.get(), where, args.get())) return {};
    Text out;
    out.lit("DELETE FROM ");
    if (!out.str(target.get())) return {};
    out.lit(" ");
    out.append(where);
    return make_pair(out, args.get());
}

}  // namespace tsy::gen
