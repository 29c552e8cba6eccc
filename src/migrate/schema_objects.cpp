// The Python schema objects of the migration module: Column, Key, Reference
// and Table. Each holds the plain form of schema.hpp (owned, made by
// __init__), exposes it as read-only attributes, compares by value and has
// for repr the constructor call that rebuilds it (migration files hold these
// reprs, so they must round-trip through eval).
#include "inspect.hpp"

#include <algorithm>
#include <array>
#include <memory>

namespace tsy::migrate {
namespace {

template <typename Spec>
struct SpecObject {
    PyObject_HEAD
    Spec* spec;  // NULL until __init__ succeeds
};

using ColumnObject = SpecObject<ColumnSpec>;
using KeyObject = SpecObject<IndexSpec>;
using ReferenceObject = SpecObject<ForeignKeySpec>;
using TableObject = SpecObject<TableSpec>;

extern PyTypeObject ColumnType, KeyType, ReferenceType, TableType;

template <typename Spec>
Spec* spec_of(PyObject* self) noexcept {
    return reinterpret_cast<SpecObject<Spec>*>(self)->spec;
}

template <typename Spec>
bool ready(PyObject* self) noexcept {
    return spec_of<Spec>(self) != nullptr;
}

template <typename Spec>
PyObject* spec_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) reinterpret_cast<SpecObject<Spec>*>(self)->spec = nullptr;
    return self;
}

template <typename Spec>
void spec_dealloc(PyObject* self) noexcept {
    delete spec_of<Spec>(self);
    Py_TYPE(self)->tp_free(self);
}

// Replaces the object's spec (a second __init__ rebuilds it whole).
template <typename Spec>
void install(PyObject* self, Spec&& spec) {
    auto fresh = std::make_unique<Spec>(std::move(spec));
    delete spec_of<Spec>(self);
    reinterpret_cast<SpecObject<Spec>*>(self)->spec = fresh.release();
}

// -- arguments ------------------------------------------------------------------

bool text_arg(PyObject* value, const char* what, std::string& out, bool empty_ok = false) {
    if (!PyUnicode_Check(value)) {
        fail(PyExc_TypeError, "%s must be a str, not %.200s", what, type_name(value));
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (!text) return false;
    if (!size && !empty_ok) {
        fail(PyExc_ValueError, "%s must not be empty", what);
        return false;
    }
    out.assign(text, static_cast<std::size_t>(size));
    return true;
}

bool flag_arg(PyObject* value, bool fallback, bool& out) {
    if (!value) {
        out = fallback;
        return true;
    }
    int t = truth(value);
    if (t < 0) return false;
    out = t != 0;
    return true;
}

// A list or tuple of non-empty str (a str alone is refused: it is a
// sequence of letters, never meant as column names).
bool names_arg(PyObject* value, const char* what, std::vector<std::string>& out, bool empty_ok) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        fail(PyExc_TypeError, "%s must be a list or tuple of str, not %.200s", what, type_name(value));
        return false;
    }
    Ref items = steal(PySequence_Tuple(value));
    if (!items) return false;
    out.clear();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        std::string name;
        if (!text_arg(PyTuple_GET_ITEM(items.get(), i), what, name)) return false;
        out.push_back(std::move(name));
    }
    if (out.empty() && !empty_ok) {
        fail(PyExc_ValueError, "%s must name at least one column", what);
        return false;
    }
    return true;
}

// The specs of a list or tuple of objects of one schema type.
template <typename Spec>
bool specs_arg(PyObject* value, PyTypeObject* type, const char* what, std::vector<Spec>& out) {
    if (!PyList_Check(value) && !PyTuple_Check(value)) {
        fail(PyExc_TypeError, "%s must be a list or tuple of %s, not %.200s", what, type->tp_name, type_name(value));
        return false;
    }
    Ref items = steal(PySequence_Tuple(value));
    if (!items) return false;
    out.clear();
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyObject_TypeCheck(item, type)) {
            fail(PyExc_TypeError, "%s must hold %s objects, not %.200s", what, type->tp_name, type_name(item));
            return false;
        }
        if (!ready<Spec>(item)) {
            not_initialised(item);
            return false;
        }
        out.push_back(*spec_of<Spec>(item));
    }
    return true;
}

constexpr std::array<const char*, 4> kDeleteActions = {"NO ACTION", "CASCADE", "SET NULL", "RESTRICT"};

bool delete_action_arg(PyObject* value, std::string& out) {
    if (!value) {
        out = "NO ACTION";
        return true;
    }
    if (!text_arg(value, "onDelete", out)) return false;
    std::string wanted = upper(out);
    for (const char* action : kDeleteActions) {
        if (wanted == action) {
            out = wanted;
            return true;
        }
    }
    fail(PyExc_ValueError, "onDelete must be one of 'CASCADE', 'SET NULL', 'RESTRICT', 'NO ACTION', not %R", value);
    return false;
}

// -- repr ---------------------------------------------------------------------------

// The Python repr of a str: single quotes unless it holds one, as repr() writes.
bool append_repr(std::string& out, const std::string& text) {
    Ref str = steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
    if (!str) return false;
    Ref repr = steal(PyObject_Repr(str.get()));
    if (!repr) return false;
    const char* utf8 = PyUnicode_AsUTF8(repr.get());
    if (!utf8) return false;
    out += utf8;
    return true;
}

bool append_names(std::string& out, const std::vector<std::string>& names) {
    out += '[';
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) out += ", ";
        if (!append_repr(out, names[i])) return false;
    }
    out += ']';
    return true;
}

Ref finish_repr(const std::string& text) {
    return steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
}

bool column_repr_text(const ColumnSpec& c, std::string& out) {
    out += "Column(";
    if (!append_repr(out, c.name)) return false;
    out += ", ";
    if (!append_repr(out, c.type)) return false;
    if (!c.nullable) out += ", nullable=False";
    if (c.default_sql) {
        out += ", default=";
        if (!append_repr(out, *c.default_sql)) return false;
    }
    if (c.auto_increment) out += ", autoIncrement=True";
    out += ')';
    return true;
}

bool key_repr_text(const IndexSpec& k, std::string& out) {
    out += "Key(";
    if (!append_repr(out, k.name)) return false;
    out += ", ";
    if (!append_names(out, k.columns)) return false;
    if (k.unique) out += ", unique=True";
    if (k.constraint) out += ", constraint=True";
    out += ')';
    return true;
}

bool reference_repr_text(const ForeignKeySpec& r, std::string& out) {
    out += "Reference(";
    if (!append_repr(out, r.name)) return false;
    out += ", ";
    if (!append_names(out, r.columns)) return false;
    out += ", ";
    if (!append_repr(out, r.ref_table)) return false;
    out += ", ";
    if (!append_names(out, r.ref_columns)) return false;
    if (r.on_delete != "NO ACTION") {
        out += ", onDelete=";
        if (!append_repr(out, r.on_delete)) return false;
    }
    out += ')';
    return true;
}

template <typename Spec>
bool append_list(std::string& out, const std::vector<Spec>& items, bool (*one)(const Spec&, std::string&)) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out += ", ";
        if (!one(items[i], out)) return false;
    }
    out += ']';
    return true;
}

bool table_repr_text(const TableSpec& t, std::string& out) {
    out += "Table(";
    if (!append_repr(out, t.name)) return false;
    out += ", ";
    if (!append_list(out, t.columns, column_repr_text)) return false;
    if (!t.primary_key.empty()) {
        out += ", primaryKey=";
        if (!append_names(out, t.primary_key)) return false;
    }
    if (!t.indexes.empty()) {
        out += ", keys=";
        if (!append_list(out, t.indexes, key_repr_text)) return false;
    }
    if (!t.foreign_keys.empty()) {
        out += ", references=";
        if (!append_list(out, t.foreign_keys, reference_repr_text)) return false;
    }
    out += ')';
    return true;
}

template <typename Spec, bool (*Text)(const Spec&, std::string&)>
PyObject* spec_repr(PyObject* self) {
    std::string out;
    if (!Text(*spec_of<Spec>(self), out)) return nullptr;
    return finish_repr(out).release();
}

// -- equality -----------------------------------------------------------------------
// By value, names included (the specs' own == ignores the names SQLite does
// not keep; two Python objects differ when anything they show differs).

bool same(const ColumnSpec& a, const ColumnSpec& b) { return a == b; }
bool same(const IndexSpec& a, const IndexSpec& b) { return a == b && a.name == b.name; }
bool same(const ForeignKeySpec& a, const ForeignKeySpec& b) { return a == b && a.name == b.name; }

template <typename Spec>
bool same_all(const std::vector<Spec>& a, const std::vector<Spec>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Spec& x, const Spec& y) { return same(x, y); });
}

bool same(const TableSpec& a, const TableSpec& b) {
    return a.name == b.name && same_all(a.columns, b.columns) && a.primary_key == b.primary_key &&
           same_all(a.indexes, b.indexes) && same_all(a.foreign_keys, b.foreign_keys);
}

template <typename Spec>
PyObject* spec_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
    if (!ready<Spec>(self)) return not_initialised(self);
    if (!ready<Spec>(other)) return not_initialised(other);
    bool equal = same(*spec_of<Spec>(self), *spec_of<Spec>(other));
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

// -- attributes -------------------------------------------------------------------------

PyObject* str_of(const std::string& text) {
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
}

PyObject* names_of(const std::vector<std::string>& names) {
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        PyObject* name = str_of(names[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), name);
    }
    return tuple.release();
}

template <typename Spec>
PyObject* objects_of(const std::vector<Spec>& items, Ref (*make)(const Spec&) noexcept) {
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        Ref item = make(items[i]);
        if (!item) return nullptr;
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return tuple.release();
}

// A getter reading one field of a ready object.
#define TSY_GETTER(Spec, getter_name, expr)                                  \
    PyObject* getter_name(PyObject* self, void*) noexcept {                  \
        if (!ready<Spec>(self)) return not_initialised(self);                \
        const Spec& s = *spec_of<Spec>(self);                                \
        return (expr);                                                       \
    }

TSY_GETTER(ColumnSpec, column_name, str_of(s.name))
TSY_GETTER(ColumnSpec, column_type, str_of(s.type))
TSY_GETTER(ColumnSpec, column_nullable, PyBool_FromLong(s.nullable))
TSY_GETTER(ColumnSpec, column_default, s.default_sql ? str_of(*s.default_sql) : Py_NewRef(Py_None))
TSY_GETTER(ColumnSpec, column_auto, PyBool_FromLong(s.auto_increment))
TSY_GETTER(IndexSpec, key_name, str_of(s.name))
TSY_GETTER(IndexSpec, key_columns, names_of(s.columns))
TSY_GETTER(IndexSpec, key_unique, PyBool_FromLong(s.unique))
TSY_GETTER(IndexSpec, key_constraint, PyBool_FromLong(s.constraint))
TSY_GETTER(ForeignKeySpec, ref_name, str_of(s.name))
TSY_GETTER(ForeignKeySpec, ref_columns, names_of(s.columns))
TSY_GETTER(ForeignKeySpec, ref_table, str_of(s.ref_table))
TSY_GETTER(ForeignKeySpec, ref_ref_columns, names_of(s.ref_columns))
TSY_GETTER(ForeignKeySpec, ref_on_delete, str_of(s.on_delete))
TSY_GETTER(TableSpec, table_name, str_of(s.name))
TSY_GETTER(TableSpec, table_columns, objects_of(s.columns, column_to_py))
TSY_GETTER(TableSpec, table_primary_key, names_of(s.primary_key))
TSY_GETTER(TableSpec, table_keys, objects_of(s.indexes, key_to_py))
TSY_GETTER(TableSpec, table_references, objects_of(s.foreign_keys, reference_to_py))

#undef TSY_GETTER

// -- constructors ---------------------------------------------------------------------------

const char* const kColumnParams[] = {"name", "type", "nullable", "default", "autoIncrement"};
const char* const kKeyParams[] = {"name", "columns", "unique", "constraint"};
const char* const kReferenceParams[] = {"name", "columns", "refTable", "refColumns", "onDelete"};
const char* const kTableParams[] = {"name", "columns", "primaryKey", "keys", "references"};

// Parses a tp_init call whose parameters after the first `positional` are
// keyword-only.
bool parse_init(const char* type, const char* const* names, Py_ssize_t count, Py_ssize_t positional,
                PyObject* args, PyObject* kwargs, PyObject** out, Ref& kwnames, Ref& holder) {
    if (PyTuple_GET_SIZE(args) > positional) {
        fail(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", type, positional,
             PyTuple_GET_SIZE(args));
        return false;
    }
    const Params params{type, names, count, positional};
    return parse_tuple(params, args, kwargs, out, kwnames, holder);
}

int column_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    Ref kwnames, holder;
    if (!parse_init("Column", kColumnParams, 5, 2, args, kwargs, a, kwnames, holder)) return -1;
    ColumnSpec c;
    if (!text_arg(a[0], "Column name", c.name) || !text_arg(a[1], "Column type", c.type)) return -1;
    if (!flag_arg(a[2], true, c.nullable) || !flag_arg(a[4], false, c.auto_increment)) return -1;
    if (a[3] && a[3] != Py_None) {
        std::string text;
        if (!text_arg(a[3], "Column default (SQL literal text)", text, true)) return -1;
        c.default_sql = std::move(text);
    }
    install(self, std::move(c));
    return 0;
}

int key_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    Ref kwnames, holder;
    if (!parse_init("Key", kKeyParams, 4, 2, args, kwargs, a, kwnames, holder)) return -1;
    IndexSpec k;
    if (!text_arg(a[0], "Key name", k.name, true) || !names_arg(a[1], "Key columns", k.columns, false)) return -1;
    if (!flag_arg(a[2], false, k.unique) || !flag_arg(a[3], false, k.constraint)) return -1;
    if (k.constraint && !k.unique) {
        fail(PyExc_ValueError, "Key %R: a constraint key is a UNIQUE constraint (give unique=True)", a[0]);
        return -1;
    }
    install(self, std::move(k));
    return 0;
}

int reference_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    Ref kwnames, holder;
    if (!parse_init("Reference", kReferenceParams, 5, 4, args, kwargs, a, kwnames, holder)) return -1;
    ForeignKeySpec r;
    if (!text_arg(a[0], "Reference name", r.name, true) || !names_arg(a[1], "Reference columns", r.columns, false) ||
        !text_arg(a[2], "Reference refTable", r.ref_table) ||
        !names_arg(a[3], "Reference refColumns", r.ref_columns, false) || !delete_action_arg(a[4], r.on_delete)) {
        return -1;
    }
    if (r.columns.size() != r.ref_columns.size()) {
        fail(PyExc_ValueError, "Reference %R: %zu columns reference %zu columns", a[0], r.columns.size(),
             r.ref_columns.size());
        return -1;
    }
    install(self, std::move(r));
    return 0;
}

// Every column a key, reference or the primary key names is a column of the table.
bool check_table_columns(const TableSpec& t) {
    auto known = [&](const std::vector<std::string>& names, const char* what) {
        for (const auto& n : names) {
            if (!t.column(n)) {
                fail(PyExc_ValueError, "Table '%s': %s names '%s', which is not one of its columns", t.name.c_str(),
                     what, n.c_str());
                return false;
            }
        }
        return true;
    };
    if (!known(t.primary_key, "primaryKey")) return false;
    for (const auto& k : t.indexes) if (!known(k.columns, "a key")) return false;
    for (const auto& r : t.foreign_keys) if (!known(r.columns, "a reference")) return false;
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            if (t.columns[i].name == t.columns[j].name) {
                fail(PyExc_ValueError, "Table '%s': column '%s' is given twice", t.name.c_str(),
                     t.columns[i].name.c_str());
                return false;
            }
        }
    }
    return true;
}

int table_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    Ref kwnames, holder;
    if (!parse_init("Table", kTableParams, 5, 2, args, kwargs, a, kwnames, holder)) return -1;
    TableSpec t;
    if (!text_arg(a[0], "Table name", t.name) || !specs_arg(a[1], &ColumnType, "Table columns", t.columns)) return -1;
    if (a[2] && !names_arg(a[2], "Table primaryKey", t.primary_key, true)) return -1;
    if (a[3] && !specs_arg(a[3], &KeyType, "Table keys", t.indexes)) return -1;
    if (a[4] && !specs_arg(a[4], &ReferenceType, "Table references", t.foreign_keys)) return -1;
    if (t.columns.empty()) {
        fail(PyExc_ValueError, "Table '%s' must have at least one column", t.name.c_str());
        return -1;
    }
    if (!check_table_columns(t)) return -1;
    install(self, std::move(t));
    return 0;
}

// -- types ---------------------------------------------------------------------------------

PyGetSetDef column_getset[] = {
    {"name", column_name, nullptr, "The column's name.", nullptr},
    {"type", column_type, nullptr, "Its SQL type, as CREATE TABLE writes it (\"INT\", \"VARCHAR(64)\").", nullptr},
    {"nullable", column_nullable, nullptr, "Whether it takes NULL.", nullptr},
    {"default", column_default, nullptr, "The SQL literal of its DEFAULT clause, or None.", nullptr},
    {"autoIncrement", column_auto, nullptr, "Whether the database generates its values (a generated key).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef key_getset[] = {
    {"name", key_name, nullptr, "The index or constraint name ('' when the database keeps none).", nullptr},
    {"columns", key_columns, nullptr, "The column names, in key order (a tuple).", nullptr},
    {"unique", key_unique, nullptr, "Whether the key is unique.", nullptr},
    {"constraint", key_constraint, nullptr, "A UNIQUE constraint written inside CREATE TABLE (not an index).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef reference_getset[] = {
    {"name", ref_name, nullptr, "The constraint name ('' when the database keeps none).", nullptr},
    {"columns", ref_columns, nullptr, "The key columns of the table holding them (a tuple).", nullptr},
    {"refTable", ref_table, nullptr, "The referenced table.", nullptr},
    {"refColumns", ref_ref_columns, nullptr, "The referenced columns (a tuple).", nullptr},
    {"onDelete", ref_on_delete, nullptr, "\"CASCADE\", \"SET NULL\", \"RESTRICT\" or \"NO ACTION\".", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef table_getset[] = {
    {"name", table_name, nullptr, "The table's name.", nullptr},
    {"columns", table_columns, nullptr, "Its columns in table order (a tuple of Column).", nullptr},
    {"primaryKey", table_primary_key, nullptr, "The primary-key column names (a tuple, empty for none).", nullptr},
    {"keys", table_keys, nullptr, "Its indexes and UNIQUE constraints (a tuple of Key).", nullptr},
    {"references", table_references, nullptr, "Its foreign-key constraints (a tuple of Reference).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <typename Spec, bool (*Text)(const Spec&, std::string&)>
constexpr reprfunc repr_slot = guarded<ready<Spec>, entry<spec_repr<Spec, Text>>>;

template <typename Spec, int (*Init)(PyObject*, PyObject*, PyObject*)>
PyTypeObject make_type(const char* name, const char* doc, PyGetSetDef* getset) {
    return PyTypeObject{
        .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
        .tp_name = name,
        .tp_basicsize = sizeof(SpecObject<Spec>),
        .tp_dealloc = spec_dealloc<Spec>,
        .tp_hash = PyObject_HashNotImplemented,
        .tp_flags = Py_TPFLAGS_DEFAULT,
        .tp_doc = doc,
        .tp_richcompare = spec_richcompare<Spec>,
        .tp_getset = getset,
        .tp_init = entry<Init>,
        .tp_new = spec_new<Spec>,
    };
}

PyTypeObject ColumnType = make_type<ColumnSpec, column_init>(
    "Tessary.Ext.Migrate.Column",
    "Column(name, type, *, nullable=True, default=None, autoIncrement=False)\n--\n\n"
    "One column of a table: `default` is the SQL literal text of its DEFAULT clause (\"'bob'\", \"5\", "
    "\"CURRENT_TIMESTAMP\") or None.",
    column_getset);
PyTypeObject KeyType = make_type<IndexSpec, key_init>(
    "Tessary.Ext.Migrate.Key",
    "Key(name, columns, *, unique=False, constraint=False)\n--\n\n"
    "An index of a table (CREATE [UNIQUE] INDEX), or with constraint=True a UNIQUE constraint written "
    "inside CREATE TABLE.",
    key_getset);
PyTypeObject ReferenceType = make_type<ForeignKeySpec, reference_init>(
    "Tessary.Ext.Migrate.Reference",
    "Reference(name, columns, refTable, refColumns, *, onDelete='NO ACTION')\n--\n\n"
    "A foreign-key constraint: FOREIGN KEY (columns) REFERENCES refTable (refColumns) ON DELETE onDelete.",
    reference_getset);
PyTypeObject TableType = make_type<TableSpec, table_init>(
    "Tessary.Ext.Migrate.Table",
    "Table(name, columns, *, primaryKey=(), keys=(), references=())\n--\n\n"
    "One table: its columns in order, primary-key column names, keys and foreign-key references.",
    table_getset);

template <typename Spec>
Ref make_object(PyTypeObject* type, const Spec& spec) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return {};
    try {
        reinterpret_cast<SpecObject<Spec>*>(self.get())->spec = new Spec(spec);
    } catch (...) {
        translate_exception();
        return {};
    }
    return self;
}

template <typename Spec>
bool spec_from(PyObject* obj, PyTypeObject* type, Spec& out) noexcept {
    if (!PyObject_TypeCheck(obj, type)) {
        fail(PyExc_TypeError, "expected %s, got %.200s", type->tp_name, type_name(obj));
        return false;
    }
    if (!ready<Spec>(obj)) {
        not_initialised(obj);
        return false;
    }
    try {
        out = *spec_of<Spec>(obj);
    } catch (...) {
        translate_exception();
        return false;
    }
    return true;
}

}  // namespace

Ref column_to_py(const ColumnSpec& c) noexcept { return make_object(&ColumnType, c); }
bool column_from_py(PyObject* obj, ColumnSpec& out) noexcept { return spec_from(obj, &ColumnType, out); }
Ref key_to_py(const IndexSpec& k) noexcept { return make_object(&KeyType, k); }
bool key_from_py(PyObject* obj, IndexSpec& out) noexcept { return spec_from(obj, &KeyType, out); }
Ref reference_to_py(const ForeignKeySpec& r) noexcept { return make_object(&ReferenceType, r); }
bool reference_from_py(PyObject* obj, ForeignKeySpec& out) noexcept { return spec_from(obj, &ReferenceType, out); }
Ref table_to_py(const TableSpec& t) noexcept { return make_object(&TableType, t); }
bool table_from_py(PyObject* obj, TableSpec& out) noexcept { return spec_from(obj, &TableType, out); }

int add_schema_types(PyObject* module) noexcept {
    ColumnType.tp_repr = repr_slot<ColumnSpec, column_repr_text>;
    KeyType.tp_repr = repr_slot<IndexSpec, key_repr_text>;
    ReferenceType.tp_repr = repr_slot<ForeignKeySpec, reference_repr_text>;
    TableType.tp_repr = repr_slot<TableSpec, table_repr_text>;
    if (add_type(module, &ColumnType, "Column") < 0 || add_type(module, &KeyType, "Key") < 0 ||
        add_type(module, &ReferenceType, "Reference") < 0 || add_type(module, &TableType, "Table") < 0) {
        return -1;
    }
    return 0;
}

}  // namespace tsy::migrate
