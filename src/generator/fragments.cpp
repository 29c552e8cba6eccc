// SQL fragments embedded in larger statements: IN lists, caller-supplied SQL,
// function calls and custom column texts.
#include "internal.hpp"

namespace tsy::gen {

namespace {

template <typename T>
T* as(PyObject* o) noexcept { return reinterpret_cast<T*>(o); }

// ---------------------------------------------------------------------------
// InOperatorGenerator
// ---------------------------------------------------------------------------

PyObject* in_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        as<InOperatorObject>(self)->property = Py_NewRef(Py_None);
        as<InOperatorObject>(self)->temp = Py_NewRef(Py_None);
    }
    return self;
}

// The value an IN list holds for one item: a model instance stands for its
// primary key; containers are refused (they have no single SQL value).
Ref in_value(PyObject* item, PyObject* instance_type) {
    int is_instance = PyObject_IsInstance(item, instance_type);
    if (is_instance < 0) return {};
    if (is_instance) {
        Ref model = attr(item, names.object);
        if (!model) return {};
        Ref pk_name = attr(model.get(), names.pkName);
        if (!pk_name) return {};
        return attr(item, pk_name.get());
    }
    if (PyDict_Check(item) || PyList_Check(item) || PyTuple_Check(item)) {
        return fail(PyExc_TypeError,
                    "InOperatorGenerator: an IN value cannot be a %.200s (give single values or model instances)",
                    type_name(item));
    }
    return borrow(item);
}

const char* const kInParams[] = {"others", "pro"};

int in_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kInParams, 2, 2};
    PyObject* values[2];
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, values, kwnames, holder)) return -1;
    if (!check_arg(values[1], bound.prop->BaseProperty, "pro")) return -1;
    Ref temp = in_list_values(values[0]);
    if (!temp) return -1;
    replace_field(as<InOperatorObject>(self)->temp, std::move(temp));
    replace_field(as<InOperatorObject>(self)->property, borrow(values[1]));
    return 0;
}

int in_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as<InOperatorObject>(self)->property);
    Py_VISIT(as<InOperatorObject>(self)->temp);
    return 0;
}

int in_clear(PyObject* self) noexcept {
    Py_CLEAR(as<InOperatorObject>(self)->property);
    Py_CLEAR(as<InOperatorObject>(self)->temp);
    return 0;
}

void in_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    in_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// ---------------------------------------------------------------------------
// CustomSqlGenerator
// ---------------------------------------------------------------------------

PyObject* custom_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        as<CustomSqlObject>(self)->sql = Py_NewRef(Py_None);
        as<CustomSqlObject>(self)->args = Py_NewRef(Py_None);
    }
    return self;
}

const char* const kCustomParams[] = {"sql", "args"};

int custom_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kCustomParams, 2, 2};
    PyObject* values[2];
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, values, kwnames, holder)) return -1;
    if (!check_arg(values[0], &PyUnicode_Type, "sql") || !check_arg(values[1], &PyTuple_Type, "args")) return -1;
    replace_field(as<CustomSqlObject>(self)->sql, borrow(values[0]));
    replace_field(as<CustomSqlObject>(self)->args, borrow(values[1]));
    return 0;
}

int custom_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as<CustomSqlObject>(self)->sql);
    Py_VISIT(as<CustomSqlObject>(self)->args);
    return 0;
}

int custom_clear(PyObject* self) noexcept {
    Py_CLEAR(as<CustomSqlObject>(self)->sql);
    Py_CLEAR(as<CustomSqlObject>(self)->args);
    return 0;
}

void custom_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    custom_clear(self);
    Py_TYPE(self)->tp_free(self);
}

Ref custom_build(PyObject* self) {
    auto* c = as<CustomSqlObject>(self);
    return steal(PyTuple_Pack(2, c->sql ? c->sql : Py_None, c->args ? c->args : Py_None));
}

// ---------------------------------------------------------------------------
// FunctionCall
// ---------------------------------------------------------------------------

PyObject* function_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        as<FunctionCallObject>(self)->func_name = Py_NewRef(Py_None);
        as<FunctionCallObject>(self)->args = PyTuple_New(0);
        if (!as<FunctionCallObject>(self)->args) Py_CLEAR(self);
    }
    return self;
}

// `FunctionCall(func_name, *args)`: the name positionally or by keyword, the
// arguments positionally only.
int function_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* func_name = nargs ? PyTuple_GET_ITEM(args, 0) : nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (kwargs && PyDict_Next(kwargs, &pos, &key, &value)) {
        if (PyUnicode_Compare(key, names.func_name) != 0) {
            if (PyErr_Occurred()) return -1;
            return unexpected_keyword("__init__", key);
        }
        if (func_name) {
            return fail(PyExc_TypeError, "__init__() got multiple values for keyword argument 'func_name'");
        }
        func_name = value;
    }
    if (!func_name) return arg_count_error("__init__", 1, PY_SSIZE_T_MAX, 0);
    if (!check_arg(func_name, &PyUnicode_Type, "func_name")) return -1;
    Ref rest = steal(PyTuple_GetSlice(args, nargs ? 1 : 0, nargs));
    if (!rest) return -1;
    replace_field(as<FunctionCallObject>(self)->func_name, borrow(func_name));
    replace_field(as<FunctionCallObject>(self)->args, std::move(rest));
    return 0;
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as<FunctionCallObject>(self)->func_name);
    Py_VISIT(as<FunctionCallObject>(self)->args);
    return 0;
}

int function_clear(PyObject* self) noexcept {
    Py_CLEAR(as<FunctionCallObject>(self)->func_name);
    Py_CLEAR(as<FunctionCallObject>(self)->args);
    return 0;
}

void function_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    function_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// One generator argument of a call: its public Build must give a tuple whose
// item 0 is the text and item 1 the arguments.
bool render_nested(PyObject* gen, Text& out, PyObject* args) {
    if (Py_IS_TYPE(gen, &FunctionCallType)) return render_function(gen, out, args);
    if (Py_IS_TYPE(gen, &ExpressionType)) return render_expression(gen, out, args);
    Ref built = public_build(gen);
    if (!built) return false;
    if (!PyTuple_Check(built.get())) {
        expected_kind("tuple", built.get());
        return false;
    }
    if (PyTuple_GET_SIZE(built.get()) < 2) {
        fail(PyExc_IndexError, "tuple index out of range");
        return false;
    }
    return out.str(PyTuple_GET_ITEM(built.get(), 0)) && extend(args, PyTuple_GET_ITEM(built.get(), 1));
}

bool render_call_argument(PyObject* item, Text& out, PyObject* args) {
    if (is_generator(item)) {
        if (!render_nested(item, out, args)) return false;
    } else if (is_property(item)) {
        if (!render_column_ref(item, out)) return false;
    } else {
        if (PyList_Append(args, item) < 0) return false;
        out.lit("%s");
    }
    out.lit(", ");
    return true;
}

// ---------------------------------------------------------------------------
// CustomColAnnounce
// ---------------------------------------------------------------------------

PyObject* announce_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) as<ColAnnounceObject>(self)->announce = Py_NewRef(Py_None);
    return self;
}

const char* const kAnnounceParams[] = {"announce"};

int announce_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kAnnounceParams, 1, 1};
    PyObject* announce;
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, &announce, kwnames, holder)) return -1;
    if (!check_arg(announce, &PyUnicode_Type, "announce")) return -1;
    replace_field(as<ColAnnounceObject>(self)->announce, borrow(announce));
    return 0;
}

int announce_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as<ColAnnounceObject>(self)->announce);
    return 0;
}

int announce_clear(PyObject* self) noexcept {
    Py_CLEAR(as<ColAnnounceObject>(self)->announce);
    return 0;
}

void announce_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    announce_clear(self);
    Py_TYPE(self)->tp_free(self);
}

Ref announce_build(PyObject* self) {
    PyObject* announce = as<ColAnnounceObject>(self)->announce;
    return steal(PyTuple_Pack(2, announce ? announce : Py_None, Py_None));
}

// ---------------------------------------------------------------------------
// Public Build methods
// ---------------------------------------------------------------------------

template <Ref (*Build)(PyObject*)>
PyObject* build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return Build(self).release();
}

PyMethodDef in_methods[] = {
    {"Build", fastkw<build_method<rendered_pair<render_in>>>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (\" table.column in (%s, ...) \", values)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef custom_methods[] = {
    {"Build", fastkw<build_method<custom_build>>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (sql, args), the stored objects unchanged."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"Build", fastkw<build_method<rendered_pair<render_function>>>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (\"NAME(arg, ...) \", args)."},
    {"As", fastkw<as_method>(), METH_FASTCALL | METH_KEYWORDS,
     "As($self, alias)\n--\n\nthis call selected under `alias`: a ColumnAlias rendered `NAME(arg, ...) AS alias`."},
    {"asc", fastkw<asc_method>(), METH_FASTCALL | METH_KEYWORDS,
     "asc($self)\n--\n\nthe ORDER BY term `... ASC` of this call."},
    {"desc", fastkw<desc_method>(), METH_FASTCALL | METH_KEYWORDS,
     "desc($self)\n--\n\nthe ORDER BY term `... DESC` of this call."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr unsigned long kFragmentFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;

}  // namespace

PyTypeObject InOperatorGeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.InOperatorGenerator",
    .tp_basicsize = sizeof(InOperatorObject),
    .tp_dealloc = in_dealloc,
    .tp_flags = kFragmentFlags,
    .tp_doc = "InOperatorGenerator(others, pro)\n--\n\nInOperatorGenerator(others, pro): generates the SQL of the IN operator on column `pro`.\n\n"
              "`others` is a sequence of values; model instances may be passed and stand for their\n"
              "primary key. An empty sequence renders a condition that matches no row.",
    .tp_traverse = in_traverse,
    .tp_clear = in_clear,
    .tp_methods = in_methods,
    .tp_init = in_init,
    .tp_new = in_new,
};

PyTypeObject CustomSqlGeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.CustomSqlGenerator",
    .tp_basicsize = sizeof(CustomSqlObject),
    .tp_dealloc = custom_dealloc,
    .tp_flags = kFragmentFlags,
    .tp_doc = "CustomSqlGenerator(sql, args)\n--\n\nCustomSqlGenerator(sql, args): caller-supplied SQL text and arguments, used verbatim.",
    .tp_traverse = custom_traverse,
    .tp_clear = custom_clear,
    .tp_methods = custom_methods,
    .tp_init = custom_init,
    .tp_new = custom_new,
};

PyTypeObject FunctionCallType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.FunctionCall",
    .tp_basicsize = sizeof(FunctionCallObject),
    .tp_dealloc = function_dealloc,
    .tp_as_number = &operand_number_methods,
    .tp_hash = PyObject_GenericHash,  // comparisons make conditions; identity stays the hash
    .tp_flags = kFragmentFlags,
    .tp_doc = "FunctionCall(func_name, *args)\n--\n\nFunctionCall(func_name, *args): an SQL function call; columns are written as\n"
              "table.column, generators render in place, other values become placeholders.\n"
              "Compares like a column (`FunctionCall(\"lower\", User.name) == \"ann\"` is a condition) and\n"
              "takes arithmetic (+ - * /) into an Expression.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_richcompare = operand_richcompare,
    .tp_methods = function_methods,
    .tp_init = function_init,
    .tp_new = function_new,
};

PyTypeObject CustomColAnnounceType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.CustomColAnnounce",
    .tp_basicsize = sizeof(ColAnnounceObject),
    .tp_dealloc = announce_dealloc,
    .tp_flags = kFragmentFlags,
    .tp_doc = "CustomColAnnounce(announce)\n--\n\nCustomColAnnounce(announce): a column default (or key type) text written verbatim\n"
              "in CREATE TABLE.",
    .tp_traverse = announce_traverse,
    .tp_clear = announce_clear,
    .tp_init = announce_init,
    .tp_new = announce_new,
};

int ready_fragments() noexcept {
    struct Entry {
        PyTypeObject* type;
        BuildFn build;
    };
    const Entry entries[] = {
        {&InOperatorGeneratorType, rendered_pair<render_in>},
        {&CustomSqlGeneratorType, custom_build},
        {&FunctionCallType, rendered_pair<render_function>},
        {&CustomColAnnounceType, announce_build},
    };
    for (const Entry& e : entries) {
        e.type->tp_base = &BaseSqlGeneratorType;
        if (PyType_Ready(e.type) < 0 || register_build(e.type, e.build) < 0) return -1;
    }
    return 0;
}

bool render_in(PyObject* self, Text& out, PyObject* args) {
    Ref prop = borrow(as<InOperatorObject>(self)->property);
    Ref values = borrow(as<InOperatorObject>(self)->temp);
    return render_value_list(prop.get(), values.get(), false, out, args);
}

bool render_value_list(PyObject* prop, PyObject* values, bool negated, Text& out, PyObject* args) {
    if (PyList_Check(values) && PyList_GET_SIZE(values) == 0) {
        // No value can match: a condition that holds for no row (IN) or for
        // every row (NOT IN), on every connector, instead of the invalid `in ()`.
        if (negated) out.lit(" 1 = 1 ");
        else out.lit(" 1 = 0 ");
        return true;
    }
    out.lit(" ");
    if (!render_column_ref(prop, out)) return false;
    if (negated) out.lit(" NOT IN (");
    else out.lit(" in (");
    if (!PyList_Check(values)) {
        fail(PyExc_TypeError, "'%.200s' object is not iterable", type_name(values));
        return false;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
        if (PyList_Append(args, PyList_GET_ITEM(values, i)) < 0) return false;
        out.lit("%s, ");
    }
    out.drop_last(2);
    out.lit(") ");
    return true;
}

bool render_column_ref(PyObject* prop, Text& out) {
    Ref table = owner_table(prop, out);
    if (!table || !out.ident(table.get())) return false;
    out.lit(".");
    Ref column = attr(prop, names.dbName);
    return column && out.ident(column.get());
}

bool render_function(PyObject* self, Text& out, PyObject* args) {
    Ref name = borrow(as<FunctionCallObject>(self)->func_name);
    Ref items = borrow(as<FunctionCallObject>(self)->args);
    if (!out.str(name.get())) return false;
    out.lit("(");
    if (!PyTuple_Check(items.get())) {
        expected_kind("tuple", items.get());
        return false;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    RecursionGuard guard(" while rendering a function call");
    if (!guard.entered()) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!render_call_argument(PyTuple_GET_ITEM(items.get(), i), out, args)) return false;
    }
    // Without arguments there is no trailing ", " to take back: NAME() stays whole.
    if (n) out.drop_last(2);
    out.lit(") ");
    return true;
}

Ref in_list_values(PyObject* others) {
    Ref instance_type = module_attr(names.mod_DataModel, names.ModelInstance);
    if (!instance_type) return {};
    Py_ssize_t n = PyObject_Size(others);
    if (n < 0) return {};
    Ref values = steal(PyList_New(0));
    if (!values) return {};
    for (Py_ssize_t i = 0; i < n; ++i) {
        Ref index = steal(PyLong_FromSsize_t(i));
        if (!index) return {};
        Ref item = steal(PyObject_GetItem(others, index.get()));
        if (!item) return {};
        Ref value = in_value(item.get(), instance_type.get());
        if (!value || PyList_Append(values.get(), value.get()) < 0) return {};
    }
    return values;
}

Ref new_in(PyObject* others, PyObject* prop) {
    return call(reinterpret_cast<PyObject*>(&InOperatorGeneratorType), others, prop);
}

}  // namespace tsy::gen
