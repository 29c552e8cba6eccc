// CREATE TABLE of a model class: TableGenerator, one line per column
// (build_col), the default or key text of a column (buildDefault) and the
// SQL literal of a default value (_processValue). The lines of unique and
// foreign-key constraints and the CREATE INDEX statements are written by
// table_constraints.cpp.
#include "internal.hpp"

namespace tsy::gen {

namespace {

TableGeneratorObject* table(PyObject* o) noexcept { return reinterpret_cast<TableGeneratorObject*>(o); }

// Optional text results (buildDefault, a generator's text) are a str or None.
bool text_or_none(PyObject* obj) noexcept {
    if (obj == Py_None || PyUnicode_Check(obj)) return true;
    expected_kind("unicode", obj);
    return false;
}

// The connector the table being written is created on (borrowed, held by
// create_table_text while it writes), NULL outside one: a column rendered
// on its own (build_col, buildDefault) takes the rendering connector.
thread_local PyObject* creating_on = nullptr;

Ref table_connector() {
    if (creating_on) return borrow(creating_on);
    return rendering_connector(nullptr, names.connector);
}

// Sets `creating_on` for one table, restoring the outer one after.
class CreatingOn {
public:
    explicit CreatingOn(PyObject* connector) noexcept : previous_(creating_on) { creating_on = connector; }
    ~CreatingOn() { creating_on = previous_; }
    CreatingOn(const CreatingOn&) = delete;
    CreatingOn& operator=(const CreatingOn&) = delete;

private:
    PyObject* previous_;
};

// The connector type of the connector a column's table is created on
// (every connector has one: 0 for MySQL and MariaDB).
bool connector_type(int* out) {
    Ref connector = table_connector();
    if (!connector) return false;
    Ref type = attr(connector.get(), names.con_type);
    return type && to_int(type.get(), out);
}

// A datetime column given no precision: MySQL's DATETIME drops the
// fraction of a second, so a saved value would not read back equal (nor
// match an equality condition); DATETIME(6) keeps it. SQLite stores the
// text whole under any type name. 1 when "(6)" is wanted, -1 on error.
int wants_microseconds(PyObject* col) {
    if (property(col)->kind != model::KIND_DATETIME) return 0;
    int con_type = 0;
    if (!connector_type(&con_type)) return -1;
    return con_type == 0;
}

// Type parameters after the type name: (255,) -> "(255)", (10, 2) -> "(10, 2)",
// () -> "" (or "(6)" for a datetime column on MySQL).
bool render_type_args(PyObject* col, Text& out) {
    Ref args = borrow(property(col)->typeArgs ? property(col)->typeArgs : Py_None);
    Ref text = steal(PyObject_Str(args.get()));
    if (!text) return false;
    Text written;
    if (!written.str(text.get())) return false;
    if (written.ends_with(",)")) {
        written.erase_all(0, ",");
        out.append(written);
        return true;
    }
    Py_ssize_t n = PyObject_Size(args.get());
    if (n < 0) return false;
    if (n) {
        out.append(written);
        return true;
    }
    int fraction = wants_microseconds(col);
    if (fraction < 0) return false;
    if (fraction) out.lit("(6)");
    return true;
}

bool render_null(PyObject* col, Text& out) {
    if (property(col)->nullable) out.lit("NULL ");
    else out.lit("NOT NULL ");
    return true;
}

// SQLite gives a column declared JSON numeric affinity: JSON text such as
// 10 or 1.0 would be stored as a number and read back as other text. A JSON
// column keeps its type name on MySQL and MariaDB and is TEXT on SQLite.
// 1 when "TEXT" is written instead of `type`, -1 on error.
int json_as_text(PyObject* col, PyObject* type) {
    if (property(col)->kind != model::KIND_JSON || !PyUnicode_Check(type) ||
        PyUnicode_CompareWithASCIIString(type, "JSON") != 0) {
        return 0;
    }
    int con_type = 0;
    if (!connector_type(&con_type)) return -1;
    return con_type != 0;
}

// SQLite gives a column declared DECIMAL numeric affinity, which keeps 15
// significant digits: a column declaring more precision than that is
// declared DECIMAL TEXT there (text affinity) and keeps the text the column
// writes (every value at its declared scale), at the price of comparing and
// ordering as text. A column of up to 15 digits keeps numeric affinity, so
// `<`, `>` and ORDER BY compare numbers; its values hold every digit anyway
// and read back at their scale. 1 when " TEXT" follows the type, -1 on error.
constexpr long kSqliteExactDigits = 15;

bool wider_than_sqlite_numbers(PyObject* col) noexcept {
    PyObject* args = property(col)->typeArgs;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0) return false;
    PyObject* precision = PyTuple_GET_ITEM(args, 0);
    if (!PyLong_Check(precision) || PyBool_Check(precision)) return false;
    long p = PyLong_AsLong(precision);
    if (p == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return p > kSqliteExactDigits;
}

int decimal_as_text(PyObject* col, PyObject* type) {
    if (property(col)->kind != model::KIND_DECIMAL || !PyUnicode_Check(type) ||
        PyUnicode_CompareWithASCIIString(type, "DECIMAL") != 0 || !wider_than_sqlite_numbers(col)) {
        return 0;
    }
    int con_type = 0;
    if (!connector_type(&con_type)) return -1;
    return con_type != 0;
}

// targetType + type parameters + " " + NULL / NOT NULL
bool render_plain_type(PyObject* col, Text& out) {
    Ref type = attr(col, names.targetType);
    if (!type) return false;
    int as_text = json_as_text(col, type.get());
    if (as_text < 0) return false;
    int decimal_text = as_text ? 0 : decimal_as_text(col, type.get());
    if (decimal_text < 0) return false;
    if (as_text) out.lit("TEXT");
    else if (!out.str(type.get())) return false;
    if (decimal_text) out.lit(" TEXT");
    if (!render_type_args(col, out)) return false;
    out.lit(" ");
    return render_null(col, out);
}

Ref auto_increment_text(PyObject* col) {
    Ref connector = table_connector();
    if (!connector) return {};
    return call_method(connector.get(), names.autoFiledAnnounce, col);
}

bool is_null_default(PyObject* value) noexcept {
    PyTypeObject* marker = bound.prop->NullDefault;
    return value == reinterpret_cast<PyObject*>(marker) || PyObject_TypeCheck(value, marker);
}

// A column default is a value written into CREATE TABLE: a function (to be
// called for each row) has no SQL text, and its repr is no default.
Failure callable_default(PyObject* col, PyObject* value) {
    Ref name = name_of(col);
    if (!name) return {};
    return fail(PyExc_TypeError, "column '%S': a callable default (%.200s) cannot be written in CREATE TABLE; "
                "give a value", name.get(), type_name(value));
}

// buildDefault: a str, or None when a generator's text is None.
Ref default_text(PyObject* col) {
    Ref value = borrow(property(col)->default_ ? property(col)->default_ : Py_None);
    if (is_generator(value.get())) {
        Ref built = virtual_build(value.get());
        if (!built) return {};
        Ref text = steal(PySequence_GetItem(built.get(), 0));
        if (!text || !text_or_none(text.get())) return {};
        return text;
    }
    if (property(col)->isPrimaryKey) {
        int is_auto = PyObject_RichCompareBool(value.get(), reinterpret_cast<PyObject*>(bound.prop->AutoIncrement), Py_EQ);
        if (is_auto < 0) return {};
        if (is_auto) {
            Ref text = auto_increment_text(col);
            if (!text || !text_or_none(text.get())) return {};
            return text;
        }
        Text out;
        if (!render_plain_type(col, out)) return {};
        return out.finish();
    }
    if (!is_null_default(value.get())) {
        if (PyCallable_Check(value.get())) return callable_default(col, value.get());
        Ref stored = call_method(col, names.toDBValue, value.get());
        if (!stored) return {};
        return process_value(stored.get());
    }
    return borrow(names.empty);
}

bool render_col(PyObject* col, Text& out) {
    Ref name = borrow(property(col)->name ? property(col)->name : Py_None);
    out.lit("   `");
    if (!out.str(name.get())) return false;
    out.lit("` ");
    if (property(col)->isPrimaryKey) {
        Ref key = default_text(col);
        if (!key || !out.str(key.get())) return false;
    } else {
        if (!render_plain_type(col, out)) return false;
        Ref has_default = attr(col, names.hasDefault);
        if (!has_default) return false;
        int wanted = truth(has_default.get());
        if (wanted < 0) return false;
        if (wanted) {
            out.lit("DEFAULT ");
            Ref text = default_text(col);
            if (!text || !out.str(text.get())) return false;
        }
    }
    Ref extra = borrow(property(col)->extra ? property(col)->extra : Py_None);
    if (!out.str(extra.get())) return false;
    out.lit(",\n");
    return true;
}

// "<table>_pk", quoted as an identifier when the table's name is not plain.
bool constraint_name(PyObject* table_name, Text& out) {
    if (!PyUnicode_Check(table_name)) {
        concat_error(table_name);
        return false;
    }
    Ref name = steal(PyUnicode_FromFormat("%U_pk", table_name));
    return name && out.ident(name.get());
}

// The CREATE TABLE text; the foreign-key constraints named in `deferred`
// (NULL: none) are left out, for ALTER TABLE statements to add later.
Ref create_table_text(PyObject* self, PyObject* deferred) {
    Ref model = borrow(table(self)->model);
    // Written in the SQL of the model's database.
    Ref connector = rendering_connector(model.get(), names.connector);
    if (!connector) return {};
    CreatingOn creating(connector.get());
    Ref table_name = attr(model.get(), names.tableName);
    if (!table_name) return {};
    Text out;
    out.lit("CREATE TABLE ");
    if (!out.ident(table_name.get())) return {};
    out.lit("( \n");
    Ref cols = attr(model.get(), names.col);
    if (!cols) return {};
    Py_ssize_t n = PyObject_Size(cols.get());
    if (n < 0) return {};
    Ref rendered = steal(PyTuple_New(n));  // the columns as read, for the constraint lines
    if (!rendered) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        // `col` is read anew for each column: a model may compute it.
        cols = attr(model.get(), names.col);
        if (!cols) return {};
        Ref index = steal(PyLong_FromSsize_t(i));
        if (!index) return {};
        Ref col = steal(PyObject_GetItem(cols.get(), index.get()));
        if (!col || !check_convert(col.get(), bound.prop->BaseProperty, false)) return {};
        if (!render_col(col.get(), out)) return {};
        PyTuple_SET_ITEM(rendered.get(), i, col.release());
    }
    Ref pk = attr(model.get(), names.pkCol);
    if (!pk) return {};
    int has_pk = truth(pk.get());
    if (has_pk < 0) return {};
    if (has_pk) {
        Ref pk_name = name_of(pk.get());
        if (!pk_name) return {};
        out.lit("   constraint ");
        if (!constraint_name(table_name.get(), out)) return {};
        out.lit(" PRIMARY KEY (");
        if (!out.ident(pk_name.get())) return {};
        out.lit("),\n");
    }
    if (!render_table_constraints(model.get(), table_name.get(), rendered.get(), deferred, out)) return {};
    if (out.ends_with(",\n")) {
        out.drop_last(2);
        out.lit("\n");
    }
    out.lit(") ;");
    return out.finish();
}

Ref table_build(PyObject* self) {
    Ref text = create_table_text(self, nullptr);
    if (!text) return {};
    return steal(PyTuple_Pack(1, text.get()));
}

PyObject* table_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) table(self)->model = Py_NewRef(Py_None);
    return self;
}

const char* const kModelParams[] = {"model"};
const char* const kColParams[] = {"col"};
const char* const kValueParams[] = {"value"};

int table_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kModelParams, 1, 1};
    PyObject* model;
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, &model, kwnames, holder)) return -1;
    replace_field(table(self)->model, borrow(model));
    return 0;
}

int table_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(table(self)->model);
    return 0;
}

int table_clear(PyObject* self) noexcept {
    Py_CLEAR(table(self)->model);
    return 0;
}

void table_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    table_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* table_build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return table_build(self).release();
}

PyObject* build_indexes_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("BuildIndexes", nargs, kwnames)) return nullptr;
    return build_indexes(table(self)->model).release();
}

const char* const kDeferredParams[] = {"deferred"};

// createTables' form of Build for a cycle of constraints: (CREATE TABLE text
// without the constraints named in `deferred`, their ALTER TABLE texts).
PyObject* build_deferring_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_buildDeferring", kDeferredParams, 1, 1};
    PyObject* deferred;
    if (!parse(params, args, nargs, kwnames, &deferred)) return nullptr;
    if (!PyTuple_Check(deferred)) {
        return fail(PyExc_TypeError, "_buildDeferring() expects a tuple of constraint names, not %.200s",
                    type_name(deferred));
    }
    Ref create = create_table_text(self, deferred);
    Ref table_name = create ? attr(table(self)->model, names.tableName) : Ref();
    Ref alters = table_name ? deferred_constraints(table(self)->model, table_name.get(), deferred) : Ref();
    if (!alters) return nullptr;
    return PyTuple_Pack(2, create.get(), alters.get());
}

bool column_arg(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** col) {
    const Params params{func, kColParams, 1, 1};
    return parse(params, args, nargs, kwnames, col) && check_arg(*col, bound.prop->BaseProperty, "col", false);
}

PyObject* build_col_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* col;
    if (!column_arg("build_col", args, nargs, kwnames, &col)) return nullptr;
    Text out;
    if (!render_col(col, out)) return nullptr;
    return out.finish().release();
}

PyObject* build_default_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* col;
    if (!column_arg("buildDefault", args, nargs, kwnames, &col)) return nullptr;
    return default_text(col).release();
}

PyObject* process_value_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_processValue", kValueParams, 1, 1};
    PyObject* value;
    if (!parse(params, args, nargs, kwnames, &value)) return nullptr;
    return process_value(value).release();
}

PyMethodDef table_methods[] = {
    {"Build", fastkw<table_build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (CREATE TABLE text,)."},
    {"BuildIndexes", fastkw<build_indexes_method>(), METH_FASTCALL | METH_KEYWORDS,
     "BuildIndexes($self)\n--\n\nBuildIndexes() -> the CREATE INDEX texts of the model's indexed columns and its "
     "`indexes` (a tuple, empty when none)."},
    {"_buildDeferring", fastkw<build_deferring_method>(), METH_FASTCALL | METH_KEYWORDS,
     "_buildDeferring($self, deferred)\n--\n\n(CREATE TABLE text without the foreign-key constraints named in "
     "`deferred`, their ALTER TABLE ... ADD texts)."},
    {"build_col", fastkw<build_col_method>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "build_col(col)\n--\n\nbuild_col(col) -> the CREATE TABLE line of one column."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef table_functions[] = {
    {"buildDefault", fastkw<build_default_function>(), METH_FASTCALL | METH_KEYWORDS,
     "buildDefault($module, col)\n--\n\nbuildDefault(col) -> the default text of a column, or the whole type text of a key column."},
    {"_processValue", fastkw<process_value_function>(), METH_FASTCALL | METH_KEYWORDS,
     "_processValue(value) -> the SQL literal of a default value."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject TableGeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.TableGenerator",
    .tp_basicsize = sizeof(TableGeneratorObject),
    .tp_dealloc = table_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "TableGenerator(model)\n--\n\nTableGenerator(model): the CREATE TABLE statement of a model class.",
    .tp_traverse = table_traverse,
    .tp_clear = table_clear,
    .tp_methods = table_methods,
    .tp_init = table_init,
    .tp_new = table_new,
};

int ready_table() noexcept {
    TableGeneratorType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&TableGeneratorType) < 0) return -1;
    return register_build(&TableGeneratorType, table_build);
}

Ref process_value(PyObject* value) {
    // None is SQL's NULL: its text form, None, is no default either database
    // reads as one (MariaDB refuses it, SQLite stores the text 'None').
    if (value == Py_None) return steal(PyUnicode_FromString("NULL"));
    if (PyBytes_Check(value)) {
        bool one = PyBytes_GET_SIZE(value) == 1 && PyBytes_AS_STRING(value)[0] == '\x01';
        return steal(PyUnicode_FromString(one ? "1" : "0"));
    }
    if (PyUnicode_Check(value)) {
        // Quotes are doubled: a default is data, never SQL.
        Text out;
        out.lit("'");
        std::size_t start = out.size();
        if (!out.str(value)) return {};
        std::string& buf = out.buffer();
        for (std::size_t i = buf.find('\'', start); i != std::string::npos; i = buf.find('\'', i + 2)) {
            buf.insert(i, 1, '\'');
        }
        out.lit("'");
        return out.finish();
    }
    return steal(PyObject_Str(value));
}

}  // namespace tsy::gen
