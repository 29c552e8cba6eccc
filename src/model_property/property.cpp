// BaseProperty and its typed subclasses: one column of a model class. The
// model layer's metaclass binds `name` and `owner`; everything else comes
// from the constructor.
#include "internal.hpp"

#include <cstddef>

namespace tsy::model {

#define TSY_PROPERTY_TYPE(var, pyname, doc)                      \
    PyTypeObject var = {                                         \
        .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)             \
        .tp_name = "Tessary.Model.ModelProperty." pyname,        \
        .tp_basicsize = sizeof(PropertyObject),                  \
        .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,    \
        .tp_doc = doc,                                           \
    }

TSY_PROPERTY_TYPE(IntegerPropertyType, "IntegerProperty", "An INT column.");
TSY_PROPERTY_TYPE(BigIntegerPropertyType, "BigIntegerProperty", "A BIGINT column.");
TSY_PROPERTY_TYPE(FloatPropertyType, "FloatProperty", "A DOUBLE column.");
TSY_PROPERTY_TYPE(DecimalPropertyType, "DecimalProperty", "A DECIMAL column; values read back as decimal.Decimal.");
TSY_PROPERTY_TYPE(VarcharPropertyType, "VarcharProperty", "A VARCHAR column; VarcharProperty(64) gives VARCHAR(64).");
TSY_PROPERTY_TYPE(TextPropertyType, "TextProperty", "A TEXT column.");
TSY_PROPERTY_TYPE(BooleanPropertyType, "BooleanProperty", "A BIT column; values read back as bool.");
TSY_PROPERTY_TYPE(DateTimePropertyType, "DateTimeProperty",
                  "A DATETIME column (DATETIME(6) on MySQL, to keep the microseconds) of naive datetime.datetime "
                  "values; a timezone-aware one is refused.");
TSY_PROPERTY_TYPE(DatePropertyType, "DateProperty", "A DATE column; values read back as datetime.date.");
TSY_PROPERTY_TYPE(BytesPropertyType, "BytesProperty", "A BLOB column.");
TSY_PROPERTY_TYPE(JsonPropertyType, "JsonProperty",
                  "A JSON column (TEXT on SQLite) of JSON-serialisable values, stored as json.dumps text and read "
                  "back with json.loads; None is SQL NULL, and equality compares the stored text.");

namespace {

struct ColumnKind {
    PyTypeObject* type;
    const char* pyname;
    const char* sql;
    ValueKind kind;
};

const ColumnKind kColumnKinds[] = {
    {&BasePropertyType, "BaseProperty", "", KIND_PLAIN},
    {&IntegerPropertyType, "IntegerProperty", "INT", KIND_INTEGER},
    {&BigIntegerPropertyType, "BigIntegerProperty", "BIGINT", KIND_INTEGER},
    {&FloatPropertyType, "FloatProperty", "DOUBLE", KIND_FLOAT},
    {&DecimalPropertyType, "DecimalProperty", "DECIMAL", KIND_DECIMAL},
    {&VarcharPropertyType, "VarcharProperty", "VARCHAR", KIND_TEXT},
    {&TextPropertyType, "TextProperty", "TEXT", KIND_TEXT},
    {&BooleanPropertyType, "BooleanProperty", "BIT", KIND_BOOLEAN},
    {&DateTimePropertyType, "DateTimeProperty", "DATETIME", KIND_DATETIME},
    {&DatePropertyType, "DateProperty", "DATE", KIND_DATE},
    {&BytesPropertyType, "BytesProperty", "BLOB", KIND_BYTES},
    {&JsonPropertyType, "JsonProperty", "JSON", KIND_JSON},
};

// The nearest of the package's column classes in the type's base chain.
const ColumnKind& column_kind(PyTypeObject* type) noexcept {
    for (PyTypeObject* t = type; t; t = t->tp_base) {
        for (const ColumnKind& k : kColumnKinds) {
            if (k.type == t) return k;
        }
    }
    return kColumnKinds[0];
}

bool is_null_default(PyObject* value) noexcept {
    return value == reinterpret_cast<PyObject*>(&NullDefaultType) || PyObject_TypeCheck(value, &NullDefaultType);
}

PyObject* property_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    Ref empty_text = steal(PyUnicode_New(0, 0));
    Ref empty_args = steal(PyTuple_New(0));
    const ColumnKind& kind = column_kind(type);
    Ref sql_type = steal(PyUnicode_FromString(kind.sql));
    if (!empty_text || !empty_args || !sql_type) return nullptr;
    PropertyObject* p = as_property(self.get());
    p->name = Py_NewRef(Py_None);
    p->owner = Py_NewRef(Py_None);
    p->renamedFrom = Py_NewRef(Py_None);
    p->default_ = Py_NewRef(reinterpret_cast<PyObject*>(&NullDefaultType));
    p->extra = empty_text.release();
    p->typeArgs = empty_args.release();
    p->targetType = sql_type.release();
    p->kind = kind.kind;
    return self.release();
}

enum Keyword { PRIMARY, NULLABLE, DEFAULT, EXTRA, UNIQUE, INDEX, RENAMED_FROM, KEYWORD_COUNT };
const char* const kKeywords[KEYWORD_COUNT] = {"isPrimaryKey", "nullable", "default", "extra",
                                              "unique", "index", "renamedFrom"};

// The flags are read by their truth value, as isPrimaryKey and nullable are.
bool parse_flag(PyObject* given, int* out) noexcept {
    *out = given ? truth(given) : 0;
    return *out >= 0;
}

// Positional arguments are the SQL type parameters, kept as given; the rest
// are keywords only.
int property_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    PyObject* given[KEYWORD_COUNT] = {};
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        bool known = false;
        for (int i = 0; i < KEYWORD_COUNT && !known; ++i) {
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, kKeywords[i]) == 0) {
                given[i] = value;
                known = true;
            }
        }
        if (!known) return unexpected_keyword("__init__", key);
    }
    int primary, nullable, unique, index;
    if (!parse_flag(given[PRIMARY], &primary) || !parse_flag(given[NULLABLE], &nullable) ||
        !parse_flag(given[UNIQUE], &unique) || !parse_flag(given[INDEX], &index)) {
        return -1;
    }
    if (given[EXTRA] && !check_arg(given[EXTRA], &PyUnicode_Type, "extra", false)) return -1;
    if (given[RENAMED_FROM] && !check_arg(given[RENAMED_FROM], &PyUnicode_Type, "renamedFrom", true)) return -1;
    PropertyObject* p = as_property(self);
    p->isPrimaryKey = primary;
    p->nullable = nullable;
    p->unique = unique;
    p->index = index;
    set_field(p->typeArgs, args);
    if (given[DEFAULT]) set_field(p->default_, given[DEFAULT]);
    p->hasDefault = given[DEFAULT] && !is_null_default(given[DEFAULT]);
    if (given[EXTRA]) set_field(p->extra, given[EXTRA]);
    set_field(p->renamedFrom, given[RENAMED_FROM] ? given[RENAMED_FROM] : Py_None);
    return 0;
}

int property_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    PropertyObject* p = as_property(self);
    Py_VISIT(p->name);
    Py_VISIT(p->default_);
    Py_VISIT(p->owner);
    Py_VISIT(p->extra);
    Py_VISIT(p->typeArgs);
    Py_VISIT(p->targetType);
    Py_VISIT(p->renamedFrom);
    return 0;
}

int property_clear(PyObject* self) noexcept {
    PropertyObject* p = as_property(self);
    Py_CLEAR(p->name);
    Py_CLEAR(p->default_);
    Py_CLEAR(p->owner);
    Py_CLEAR(p->extra);
    Py_CLEAR(p->typeArgs);
    Py_CLEAR(p->targetType);
    Py_CLEAR(p->renamedFrom);
    return 0;
}

void property_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    property_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// "IntegerProperty(user.id)", or "IntegerProperty(<unbound>)".
PyObject* property_repr(PyObject* self) noexcept {
    PropertyObject* p = as_property(self);
    Ref type_name = steal(PyType_GetName(Py_TYPE(self)));
    if (!type_name) return nullptr;
    if (p->name == Py_None) return PyUnicode_FromFormat("%U(<unbound>)", type_name.get());
    Ref table = p->owner == Py_None ? Ref() : attr(p->owner, "tableName");
    if (!table) {
        PyErr_Clear();
        return PyUnicode_FromFormat("%U(%S)", type_name.get(), p->name);
    }
    return PyUnicode_FromFormat("%U(%S.%S)", type_name.get(), table.get(), p->name);
}

Py_hash_t property_hash(PyObject* self) noexcept { return Py_HashPointer(self); }

bool is_bound(PyObject* prop) noexcept { return as_property(prop)->name != Py_None; }

// Comparing with a value makes a filter chain. Comparing two columns of
// model classes makes a condition on both; for == and != its truth value is
// identity, so that properties stay usable in containers and `in` tests.
// Unbound properties compare by identity only.
PyObject* property_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    static const int codes[] = {LT, LE, EQ, NE, GT, GE};  // indexed by Py_LT..Py_GE
    if (is_property(other)) {
        if (is_bound(self) && is_bound(other)) return compare_columns(self, other, codes[op]);
        if (op == Py_EQ) return PyBool_FromLong(self == other);
        if (op == Py_NE) return PyBool_FromLong(self != other);
        Py_RETURN_NOTIMPLEMENTED;
    }
    return comparison(self, other, codes[op]);
}

PyObject* get_bool(int flag) noexcept { return PyBool_FromLong(flag); }

PyObject* get_primary(PyObject* self, void*) noexcept { return get_bool(as_property(self)->isPrimaryKey); }
PyObject* get_nullable(PyObject* self, void*) noexcept { return get_bool(as_property(self)->nullable); }
PyObject* get_has_default(PyObject* self, void*) noexcept { return get_bool(as_property(self)->hasDefault); }
PyObject* get_unique(PyObject* self, void*) noexcept { return get_bool(as_property(self)->unique); }
PyObject* get_index(PyObject* self, void*) noexcept { return get_bool(as_property(self)->index); }
PyObject* get_kind(PyObject* self, void*) noexcept { return PyLong_FromLong(as_property(self)->kind); }
PyObject* get_target_type(PyObject* self, void*) noexcept { return Py_NewRef(as_property(self)->targetType); }
PyObject* get_db_name(PyObject* self, void*) noexcept { return Py_NewRef(as_property(self)->name); }

int set_target_type(PyObject* self, PyObject* value, void*) noexcept {
    if (!value) return fail(PyExc_AttributeError, "cannot delete targetType");
    if (!check_arg(value, &PyUnicode_Type, "targetType", false)) return -1;
    set_field(as_property(self)->targetType, value);
    return 0;
}

PyGetSetDef property_getset[] = {
    {"isPrimaryKey", get_primary, nullptr, "True for the primary-key column.", nullptr},
    {"nullable", get_nullable, nullptr, "True when the column accepts NULL.", nullptr},
    {"hasDefault", get_has_default, nullptr, "True when a default other than NullDefault was given.", nullptr},
    {"unique", get_unique, nullptr, "True when the column has a UNIQUE constraint (uq_<table>_<column>).", nullptr},
    {"index", get_index, nullptr, "True when the column has an index of its own (ix_<table>_<column>).", nullptr},
    {"valueKind", get_kind, nullptr, "How driver values of this column are converted (ValueKind number).", nullptr},
    {"targetType", get_target_type, set_target_type, "SQL type name (INT, VARCHAR, ...).", nullptr},
    {"dbName", get_db_name, nullptr, "The column name as written in SQL.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef property_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(PropertyObject, name), Py_READONLY, "The column name (the attribute name)."},
    {"default", Py_T_OBJECT_EX, offsetof(PropertyObject, default_), Py_READONLY, "The column default."},
    {"owner", Py_T_OBJECT_EX, offsetof(PropertyObject, owner), Py_READONLY, "The declaring model class."},
    {"extra", Py_T_OBJECT_EX, offsetof(PropertyObject, extra), Py_READONLY, "Text appended to the column definition."},
    {"typeArgs", Py_T_OBJECT_EX, offsetof(PropertyObject, typeArgs), Py_READONLY, "SQL type parameters."},
    {"renamedFrom", Py_T_OBJECT_EX, offsetof(PropertyObject, renamedFrom), Py_READONLY,
     "The column's previous name, for a migration to rename it, or None."},
    {nullptr, 0, 0, 0, nullptr},
};

const char* const kValueParam[] = {"value"};
const char* const kPatternParam[] = {"pattern"};
const char* const kValuesParam[] = {"values"};

PyObject* one_arg(const char* func, const char* const* names, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) noexcept {
    const Params params{func, names, 1, 1};
    PyObject* out[1];
    return parse(params, args, nargs, kwnames, out) ? out[0] : nullptr;
}

PyObject* to_db_value_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = one_arg("toDBValue", kValueParam, args, nargs, kwnames);
    return value ? to_db_value(self, value) : nullptr;
}

PyObject* from_db_value_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = one_arg("fromDBValue", kValueParam, args, nargs, kwnames);
    if (!value) return nullptr;
    int kind = as_property(self)->kind;
    // Text that is not JSON is reported with the column's name.
    if (kind == KIND_JSON && value != Py_None) return json_from_db(self, value);
    return column_from_db_value(self, value);
}

// {key: key_value, "value": toDBValue(value)}; the keys are interned, so the
// builder's lookups of them match by identity.
PyObject* cell_dict(PyObject* self, PyObject* key, PyObject* key_value, PyObject* value) noexcept {
    Ref stored = steal(property_to_db_value(self, value));
    Ref cell = steal(stored ? PyDict_New() : nullptr);
    if (!cell || PyDict_SetItem(cell.get(), key, key_value) < 0 ||
        PyDict_SetItem(cell.get(), names.value, stored.get()) < 0) {
        return nullptr;
    }
    return cell.release();
}

PyObject* insert_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = one_arg("insertCell", kValueParam, args, nargs, kwnames);
    return value ? insert_cell_of(self, value) : nullptr;
}

PyObject* update_cell(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value = one_arg("updateCell", kValueParam, args, nargs, kwnames);
    return value ? cell_dict(self, names.name, as_property(self)->name, value) : nullptr;
}

PyObject* like(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* pattern = one_arg("like", kPatternParam, args, nargs, kwnames);
    return pattern ? comparison(self, pattern, LIKE) : nullptr;
}

// The IN list keeps mappings (model instances, whose key the generator
// reads) and sequences (which it rejects) as they are; on a JSON column they
// are values like any other, written as their JSON text.
PyObject* in_values_of(PyObject* self, PyObject* values, const char* func) noexcept {
    if (PyUnicode_Check(values) || PyBytes_Check(values)) {
        return fail(PyExc_TypeError, "%s() expects a sequence of values, got %.200s", func, type_name(values));
    }
    Ref items = steal(PySequence_List(values));
    if (!items) return nullptr;
    bool json = as_property(self)->kind == KIND_JSON;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.get(), i);
        if (!json && (PyDict_Check(item) || PyList_Check(item) || PyTuple_Check(item))) continue;
        PyObject* stored = property_to_db_value(self, item);
        if (!stored) return nullptr;
        PyList_SetItem(items.get(), i, stored);
    }
    return items.release();
}

PyObject* in_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values = one_arg("In", kValuesParam, args, nargs, kwnames);
    if (!values) return nullptr;
    if (as_property(self)->name == Py_None) {
        return fail(PyExc_TypeError, "In() on a column that belongs to no model class");
    }
    int query = 0;
    if (!is_builder(values, &query)) return nullptr;
    if (query) return in_query(self, values, false);
    Ref items = steal(in_values(self, values, "In"));
    if (!items) return nullptr;
    Ref generator_class = import_attr("Tessary.DB.Generator", "InOperatorGenerator");
    if (!generator_class) return nullptr;
    Ref generator = call(generator_class.get(), items.get(), self);
    if (!generator) return nullptr;
    return new_cell(generator.get(), Py_None);
}

const char* const kAliasParam[] = {"alias"};

// The statement builder renders the alias; this module only hands it the column.
PyObject* as_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* alias = one_arg("As", kAliasParam, args, nargs, kwnames);
    if (!alias) return nullptr;
    if (as_property(self)->name == Py_None) {
        return fail(PyExc_TypeError, "As() on a column that belongs to no model class");
    }
    Ref alias_class = import_attr("Tessary.DB.Generator", "ColumnAlias");
    if (!alias_class) return nullptr;
    return call(alias_class.get(), self, alias).release();
}

PyObject* copy_method(PyObject* self, PyObject*) { return clone_property(self); }

PyMethodDef property_methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. BaseProperty[int]."},
    {"toDBValue", fastkw<to_db_value_method>(), METH_FASTCALL | METH_KEYWORDS,
     "toDBValue($self, value)\n--\n\nthe form in which the column stores `value`."},
    {"fromDBValue", fastkw<from_db_value_method>(), METH_FASTCALL | METH_KEYWORDS,
     "fromDBValue($self, value)\n--\n\nthe column's Python value for a value returned by a driver."},
    {"insertCell", fastkw<insert_cell>(), METH_FASTCALL | METH_KEYWORDS,
     "insertCell($self, value)\n--\n\nan INSERT entry {'col': property, 'value': stored value}."},
    {"updateCell", fastkw<update_cell>(), METH_FASTCALL | METH_KEYWORDS,
     "updateCell($self, value)\n--\n\na SET entry {'name': column name, 'value': stored value}."},
    {"like", fastkw<like>(), METH_FASTCALL | METH_KEYWORDS, "like($self, pattern)\n--\n\nthe filter `column LIKE pattern`."},
    {"In", fastkw<in_method>(), METH_FASTCALL | METH_KEYWORDS,
     "In($self, values)\n--\n\nthe filter `column in (values...)`, a group cell; of a SqlGenerator selecting one "
     "column, `column IN (SELECT ...)`."},
    {"notIn", fastkw<not_in_method>(), METH_FASTCALL | METH_KEYWORDS,
     "notIn($self, values)\n--\n\nthe filter `column NOT IN (values...)` (values as for In); an empty list "
     "matches every row."},
    {"isNull", fastkw<is_null_method>(), METH_FASTCALL | METH_KEYWORDS,
     "isNull($self)\n--\n\nthe filter `column IS NULL`."},
    {"isNotNull", fastkw<is_not_null_method>(), METH_FASTCALL | METH_KEYWORDS,
     "isNotNull($self)\n--\n\nthe filter `column IS NOT NULL`."},
    {"between", fastkw<between_method>(), METH_FASTCALL | METH_KEYWORDS,
     "between($self, low, high)\n--\n\nthe filter `column BETWEEN low AND high` (both ends included)."},
    {"ilike", fastkw<ilike_method>(), METH_FASTCALL | METH_KEYWORDS,
     "ilike($self, pattern)\n--\n\nthe filter `LOWER(column) LIKE LOWER(pattern)`: LIKE regardless of case."},
    {"asc", fastkw<asc_method>(), METH_FASTCALL | METH_KEYWORDS,
     "asc($self)\n--\n\nthis column as an ascending ORDER BY term."},
    {"desc", fastkw<desc_method>(), METH_FASTCALL | METH_KEYWORDS,
     "desc($self)\n--\n\nthis column as a descending ORDER BY term."},
    {"As", fastkw<as_method>(), METH_FASTCALL | METH_KEYWORDS,
     "As($self, alias)\n--\n\nthis column selected under `alias`: a ColumnAlias rendered `table.column AS alias`."},
    {"__copy__", entry<copy_method>, METH_NOARGS, "An unbound copy of the property."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject BasePropertyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty.BaseProperty",
    .tp_basicsize = sizeof(PropertyObject),
    .tp_dealloc = property_dealloc,
    .tp_repr = property_repr,
    .tp_as_number = &property_number_methods,
    .tp_hash = property_hash,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "BaseProperty(*typeArgs, isPrimaryKey=False, nullable=False, default=NullDefault, extra='', "
              "unique=False, index=False, renamedFrom=None)\n"
              "One column of a model class; the column name is the attribute name.",
    .tp_traverse = property_traverse,
    .tp_clear = property_clear,
    .tp_richcompare = property_richcompare,
    .tp_methods = property_methods,
    .tp_members = property_members,
    .tp_getset = property_getset,
    .tp_init = property_init,
    .tp_new = property_new,
};

PyObject* insert_cell_of(PyObject* prop, PyObject* value) noexcept {
    return cell_dict(prop, names.col, prop, value);
}

PyObject* in_values(PyObject* prop, PyObject* values, const char* func) noexcept {
    return in_values_of(prop, values, func);
}

PyObject* property_to_db_value(PyObject* prop, PyObject* value) noexcept {
    if (!(Py_TYPE(prop)->tp_flags & Py_TPFLAGS_HEAPTYPE)) return to_db_value(prop, value);
    return call_method(prop, names.toDBValue, value).release();
}

PyObject* clone_property(PyObject* prop) noexcept {
    PyTypeObject* type = Py_TYPE(prop);
    Ref no_args = steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    Ref copy = steal(type->tp_new(type, no_args.get(), nullptr));
    if (!copy) return nullptr;
    PropertyObject* from = as_property(prop);
    PropertyObject* to = as_property(copy.get());
    copy_column_state(prop, copy.get());
    set_field(to->name, from->name);
    to->isPrimaryKey = from->isPrimaryKey;
    to->nullable = from->nullable;
    to->unique = from->unique;
    to->index = from->index;
    set_field(to->renamedFrom, from->renamedFrom);
    set_field(to->default_, from->default_);
    set_field(to->owner, from->owner);
    set_field(to->extra, from->extra);
    set_field(to->typeArgs, from->typeArgs);
    set_field(to->targetType, from->targetType);
    to->kind = from->kind;
    to->hasDefault = from->hasDefault;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE)) return copy.release();
    // Instances of Python subclasses carry their own attributes too.
    Ref source = attr(prop, "__dict__");
    if (!source) {
        PyErr_Clear();
        return copy.release();
    }
    Ref target = attr(copy.get(), "__dict__");
    if (!target || PyDict_Update(target.get(), source.get()) < 0) return nullptr;
    return copy.release();
}

namespace {

// BaseProperty.__signature__, for inspect.signature of the column classes: a text
// signature cannot spell the NullDefault class as a default. Read on a class it is an
// inspect.Signature, built on first use (inspect is not imported before); on an
// instance there is none (a property is not callable).
struct SignatureSlotObject {
    PyObject_HEAD
    PyObject* built;
};

Ref keyword_only(PyObject* parameter, PyObject* kind, const char* name, PyObject* value) noexcept {
    Ref args = steal(Py_BuildValue("(sO)", name, kind));
    Ref kwargs = steal(Py_BuildValue("{sO}", "default", value));
    if (!args || !kwargs) return {};
    return steal(PyObject_Call(parameter, args.get(), kwargs.get()));
}

Ref constructor_signature() noexcept {
    Ref parameter = import_attr("inspect", "Parameter");
    Ref signature = import_attr("inspect", "Signature");
    if (!parameter || !signature) return {};
    Ref var_positional = attr(parameter.get(), "VAR_POSITIONAL");
    Ref kw = attr(parameter.get(), "KEYWORD_ONLY");
    Ref empty = steal(PyUnicode_FromString(""));
    if (!var_positional || !kw || !empty) return {};
    Ref name = steal(PyUnicode_FromString("typeArgs"));
    if (!name) return {};
    Ref type_args = call(parameter.get(), name.get(), var_positional.get());
    Ref primary = keyword_only(parameter.get(), kw.get(), "isPrimaryKey", Py_False);
    Ref nullable = keyword_only(parameter.get(), kw.get(), "nullable", Py_False);
    Ref fallback = keyword_only(parameter.get(), kw.get(), "default", reinterpret_cast<PyObject*>(&NullDefaultType));
    Ref extra = keyword_only(parameter.get(), kw.get(), "extra", empty.get());
    Ref unique = keyword_only(parameter.get(), kw.get(), "unique", Py_False);
    Ref index = keyword_only(parameter.get(), kw.get(), "index", Py_False);
    Ref renamed = keyword_only(parameter.get(), kw.get(), "renamedFrom", Py_None);
    if (!type_args || !primary || !nullable || !fallback || !extra || !unique || !index || !renamed) return {};
    Ref list = steal(PyTuple_Pack(8, type_args.get(), primary.get(), nullable.get(), fallback.get(), extra.get(),
                                  unique.get(), index.get(), renamed.get()));
    if (!list) return {};
    return call(signature.get(), list.get());
}

PyObject* slot_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj && obj != Py_None) return fail(PyExc_AttributeError, "a column property has no __signature__");
    auto* slot = reinterpret_cast<SignatureSlotObject*>(self);
    if (!slot->built) {
        Ref built = constructor_signature();
        if (!built) return nullptr;
        if (!slot->built) slot->built = built.release();
    }
    return Py_NewRef(slot->built);
}

PyTypeObject SignatureSlotType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty._SignatureSlot",
    .tp_basicsize = sizeof(SignatureSlotObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "BaseProperty.__signature__, built on first use.",
    .tp_descr_get = slot_get,
    .tp_new = nullptr,
};

// The slot lives for the process: the class dict holds it, as the static type lives on.
int add_signature_slot() noexcept {
    if (PyType_Ready(&SignatureSlotType) < 0) return -1;
    auto* slot = PyObject_New(SignatureSlotObject, &SignatureSlotType);
    if (!slot) return -1;
    slot->built = nullptr;
    Ref held = steal(reinterpret_cast<PyObject*>(slot));
    if (PyDict_SetItemString(BasePropertyType.tp_dict, "__signature__", held.get()) < 0) return -1;
    PyType_Modified(&BasePropertyType);
    return 0;
}

}  // namespace

int ready_properties(PyObject* module) noexcept {
    if (add_type(module, &BasePropertyType, "BaseProperty") < 0 || add_signature_slot() < 0) return -1;
    for (const ColumnKind& k : kColumnKinds) {
        if (k.type == &BasePropertyType) continue;
        k.type->tp_base = &BasePropertyType;
        if (add_type(module, k.type, k.pyname) < 0) return -1;
    }
    return 0;
}

}  // namespace tsy::model
