// What a model declares beyond its columns and primary key: the UNIQUE
// constraints of its unique columns and the FOREIGN KEY constraints of
// `Model.foreignKeyConstraints` (lines of CREATE TABLE, or ALTER TABLE
// statements when createTables adds one after both tables exist), and the
// CREATE INDEX statements of its indexed columns and its `indexes`.
#include "internal.hpp"

namespace tsy::gen {
namespace {

// An attribute of the model that a class made without the model layer's
// metaclass may lack: then it declares nothing (an empty tuple).
Ref optional_tuple(PyObject* model, const char* name) {
    Ref value = attr(model, name);
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
        PyErr_Clear();
        return steal(PyTuple_New(0));
    }
    if (!PyTuple_Check(value.get()) && !PyList_Check(value.get())) {
        return fail(PyExc_TypeError, "%s of a model must be a tuple, not %.200s", name, type_name(value.get()));
    }
    return steal(PySequence_Tuple(value.get()));
}

// The column properties of the model (its `col`, checked).
Ref model_columns(PyObject* model) {
    Ref cols = attr(model, names.col);
    Ref items = cols ? steal(PySequence_Tuple(cols.get())) : Ref();
    if (!items) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        if (!check_convert(PyTuple_GET_ITEM(items.get(), i), bound.prop->BaseProperty, false)) return {};
    }
    return items;
}

// "<prefix>_<table>_<column>" as an identifier.
bool derived_name(const char* prefix, PyObject* table_name, PyObject* column, Text& out) {
    Ref name = steal(PyUnicode_FromFormat("%s_%U_%U", prefix, table_name, column));
    return name && out.ident(name.get());
}

// "(a, b)" of column names.
bool column_list(PyObject* columns, Text& out) {
    out.lit("(");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        if (i) out.lit(", ");
        if (!out.ident(PyTuple_GET_ITEM(columns, i))) return false;
    }
    out.lit(")");
    return true;
}

bool render_unique_lines(PyObject* table_name, PyObject* cols, Text& out) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols, i);
        if (!property(col)->unique) continue;
        Ref name = name_of(col);
        if (!name) return false;
        out.lit("   constraint ");
        if (!derived_name("uq", table_name, name.get(), out)) return false;
        out.lit(" UNIQUE (");
        if (!out.ident(name.get())) return false;
        out.lit("),\n");
    }
    return true;
}

// One item of foreignKeyConstraints: (name, column, refTable, refColumn, onDelete), all str.
bool check_constraint(PyObject* item) {
    if (PyTuple_Check(item) && PyTuple_GET_SIZE(item) == 5) {
        bool texts = true;
        for (Py_ssize_t i = 0; i < 5; ++i) texts = texts && PyUnicode_Check(PyTuple_GET_ITEM(item, i));
        if (texts) return true;
    }
    fail(PyExc_TypeError, "a foreign-key constraint must be a tuple (name, column, refTable, refColumn, onDelete) "
         "of str, got %R", item);
    return false;
}

// "constraint <name> FOREIGN KEY (<column>) REFERENCES <refTable> (<refColumn>) ON DELETE <action>"
bool render_foreign_key(PyObject* item, Text& out) {
    if (!check_constraint(item)) return false;
    out.lit("constraint ");
    if (!out.ident(PyTuple_GET_ITEM(item, 0))) return false;
    out.lit(" FOREIGN KEY (");
    if (!out.ident(PyTuple_GET_ITEM(item, 1))) return false;
    out.lit(") REFERENCES ");
    if (!out.ident(PyTuple_GET_ITEM(item, 2))) return false;
    out.lit(" (");
    if (!out.ident(PyTuple_GET_ITEM(item, 3))) return false;
    out.lit(") ON DELETE ");
    return out.str(PyTuple_GET_ITEM(item, 4));
}

// Whether the constraint `item` is among the names in `deferred` (NULL: none is).
int is_deferred(PyObject* item, PyObject* deferred) {
    if (!deferred) return 0;
    return PySequence_Contains(deferred, PyTuple_GET_ITEM(item, 0));
}

// "ALTER TABLE <table> ADD constraint ... ;"
Ref alter_text(PyObject* table_name, PyObject* item) {
    Text out;
    out.lit("ALTER TABLE ");
    if (!out.ident(table_name)) return {};
    out.lit(" ADD ");
    if (!render_foreign_key(item, out)) return {};
    out.lit(" ;");
    return out.finish();
}

// CREATE [UNIQUE] INDEX <name> ON <table> (<columns>) ;
Ref index_text(PyObject* name, PyObject* table_name, PyObject* columns, bool unique) {
    Text out;
    if (unique) out.lit("CREATE UNIQUE INDEX ");
    else out.lit("CREATE INDEX ");
    if (!out.ident(name)) return {};
    out.lit(" ON ");
    if (!out.ident(table_name)) return {};
    out.lit(" ");
    if (!column_list(columns, out)) return {};
    out.lit(" ;");
    return out.finish();
}

bool append_column_indexes(PyObject* table_name, PyObject* cols, PyObject* texts) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols, i);
        if (!property(col)->index) continue;
        Ref column = name_of(col);
        Ref name = column ? steal(PyUnicode_FromFormat("ix_%U_%U", table_name, column.get())) : Ref();
        Ref columns = name ? steal(PyTuple_Pack(1, column.get())) : Ref();
        Ref text = columns ? index_text(name.get(), table_name, columns.get(), false) : Ref();
        if (!text || PyList_Append(texts, text.get()) < 0) return false;
    }
    return true;
}

// A declared index is read by its attributes: `indexes` may have been
// replaced on the class after it was made.
bool append_declared_index(PyObject* table_name, PyObject* index, PyObject* texts) {
    Ref name = attr(index, "name");
    Ref columns = name ? attr(index, "columns") : Ref();
    Ref unique = columns ? attr(index, "unique") : Ref();
    if (!unique) return false;
    if (!PyUnicode_Check(name.get()) || !PyTuple_Check(columns.get()) || PyTuple_GET_SIZE(columns.get()) == 0) {
        fail(PyExc_TypeError, "an index must have a str name and a tuple of column names, got %R", index);
        return false;
    }
    int is_unique = truth(unique.get());
    if (is_unique < 0) return false;
    Ref text = index_text(name.get(), table_name, columns.get(), is_unique);
    return text && PyList_Append(texts, text.get()) == 0;
}

}  // namespace

bool render_table_constraints(PyObject* model, PyObject* table_name, PyObject* cols, PyObject* deferred, Text& out) {
    if (!PyUnicode_Check(table_name)) {
        concat_error(table_name);
        return false;
    }
    if (!render_unique_lines(table_name, cols, out)) return false;
    Ref constraints = optional_tuple(model, "foreignKeyConstraints");
    if (!constraints) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constraints.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(constraints.get(), i);
        if (!check_constraint(item)) return false;
        int skip = is_deferred(item, deferred);
        if (skip < 0) return false;
        if (skip) continue;
        out.lit("   ");
        if (!render_foreign_key(item, out)) return false;
        out.lit(",\n");
    }
    return true;
}

Ref deferred_constraints(PyObject* model, PyObject* table_name, PyObject* deferred) {
    Ref constraints = optional_tuple(model, "foreignKeyConstraints");
    Ref texts = constraints ? steal(PyList_New(0)) : Ref();
    if (!texts) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(constraints.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(constraints.get(), i);
        if (!check_constraint(item)) return {};
        int wanted = is_deferred(item, deferred);
        if (wanted < 0) return {};
        if (!wanted) continue;
        Ref text = alter_text(table_name, item);
        if (!text || PyList_Append(texts.get(), text.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(texts.get()));
}

Ref build_indexes(PyObject* model) {
    Ref table_name = attr(model, names.tableName);
    if (!table_name) return {};
    if (!PyUnicode_Check(table_name.get())) return concat_error(table_name.get());
    Ref cols = model_columns(model);
    Ref declared = cols ? optional_tuple(model, "indexes") : Ref();
    Ref texts = declared ? steal(PyList_New(0)) : Ref();
    if (!texts || !append_column_indexes(table_name.get(), cols.get(), texts.get())) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(declared.get()); ++i) {
        if (!append_declared_index(table_name.get(), PyTuple_GET_ITEM(declared.get(), i), texts.get())) return {};
    }
    return steal(PyList_AsTuple(texts.get()));
}

}  // namespace tsy::gen
