// ColumnAlias: a selected column, function call or expression under a name
// of the caller's (`col.As("alias")`, rendered `table.col AS alias`), so that two
// columns of one name can be selected together and read apart.
#include "internal.hpp"

#include <cstddef>

namespace tsy::gen {

namespace {

ColumnAliasObject* alias_of(PyObject* o) noexcept { return reinterpret_cast<ColumnAliasObject*>(o); }

// The alias is written into the statement as it is: only a plain SQL
// identifier is accepted, so no text of the caller's can become SQL.
bool check_alias(PyObject* alias) noexcept {
    if (!PyUnicode_Check(alias)) {
        fail(PyExc_TypeError, "As() takes the alias as a str, got %.200s", type_name(alias));
        return false;
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(alias);
    bool valid = n > 0 && n <= 64;
    for (Py_ssize_t i = 0; valid && i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(alias, i);
        bool letter = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || ch == '_';
        valid = letter || (i > 0 && ch >= '0' && ch <= '9');
    }
    if (!valid) fail(PyExc_ValueError, "As(): the alias must be an SQL identifier (letters, digits, _), got %R", alias);
    return valid;
}

bool check_source(PyObject* source) noexcept {
    if (is_property(source) || PyObject_TypeCheck(source, &FunctionCallType) ||
        PyObject_TypeCheck(source, &ExpressionType)) {
        return true;
    }
    fail(PyExc_TypeError, "a ColumnAlias names a column property or a FunctionCall (or an Expression), got %.200s",
         type_name(source));
    return false;
}

PyObject* alias_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        alias_of(self)->source = Py_NewRef(Py_None);
        alias_of(self)->alias = Py_NewRef(Py_None);
    }
    return self;
}

const char* const kAliasParams[] = {"source", "alias"};

int alias_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kAliasParams, 2, 2};
    PyObject* values[2];
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, values, kwnames, holder)) return -1;
    if (!check_source(values[0]) || !check_alias(values[1])) return -1;
    replace_field(alias_of(self)->source, borrow(values[0]));
    replace_field(alias_of(self)->alias, borrow(values[1]));
    return 0;
}

int alias_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(alias_of(self)->source);
    Py_VISIT(alias_of(self)->alias);
    return 0;
}

int alias_clear(PyObject* self) noexcept {
    Py_CLEAR(alias_of(self)->source);
    Py_CLEAR(alias_of(self)->alias);
    return 0;
}

void alias_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    alias_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* alias_repr(PyObject* self) noexcept {
    PyObject* source = alias_of(self)->source;
    PyObject* alias = alias_of(self)->alias;
    return PyUnicode_FromFormat("ColumnAlias(%R, %R)", source ? source : Py_None, alias ? alias : Py_None);
}

PyObject* alias_build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return rendered_pair<render_alias>(self).release();
}

PyMethodDef alias_methods[] = {
    {"Build", fastkw<alias_build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (\"table.column AS alias\", args) as the select list writes it."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef alias_members[] = {
    {"source", Py_T_OBJECT_EX, offsetof(ColumnAliasObject, source), Py_READONLY,
     "The column property, FunctionCall or Expression selected."},
    {"name", Py_T_OBJECT_EX, offsetof(ColumnAliasObject, alias), Py_READONLY,
     "The alias: the key of the selected value in the rows read."},
    {nullptr, 0, 0, 0, nullptr},
};

const char* const kAsParams[] = {"alias"};

}  // namespace

PyTypeObject ColumnAliasType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.ColumnAlias",
    .tp_basicsize = sizeof(ColumnAliasObject),
    .tp_dealloc = alias_dealloc,
    .tp_repr = alias_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "ColumnAlias(source, alias)\n--\n\nColumnAlias(source, alias): a column property, FunctionCall or Expression "
              "selected under another name\n(`source.As(alias)`); rendered `table.column AS alias`.",
    .tp_traverse = alias_traverse,
    .tp_clear = alias_clear,
    .tp_methods = alias_methods,
    .tp_members = alias_members,
    .tp_init = alias_init,
    .tp_new = alias_new,
};

int ready_alias() noexcept {
    ColumnAliasType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&ColumnAliasType) < 0) return -1;
    return register_build(&ColumnAliasType, rendered_pair<render_alias>);
}

Ref make_alias(PyObject* source, PyObject* alias) {
    if (!check_source(source) || !check_alias(alias)) return {};
    Ref self = steal(alias_new(&ColumnAliasType, nullptr, nullptr));
    if (!self) return {};
    replace_field(alias_of(self.get())->source, borrow(source));
    replace_field(alias_of(self.get())->alias, borrow(alias));
    return self;
}

PyObject* as_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"As", kAsParams, 1, 1};
    PyObject* alias;
    if (!parse(params, args, nargs, kwnames, &alias)) return nullptr;
    return make_alias(self, alias).release();
}

bool render_alias(PyObject* self, Text& out, PyObject* args) {
    Ref source = borrow(alias_of(self)->source ? alias_of(self)->source : Py_None);
    Ref alias = borrow(alias_of(self)->alias ? alias_of(self)->alias : Py_None);
    if (!check_source(source.get())) return false;
    if (is_property(source.get())) {
        Ref table = owner_table(source.get(), out);
        Ref column = table ? name_of(source.get()) : Ref();
        if (!column || !out.ident_of(table.get())) return false;
        out.lit(".");
        if (!out.ident_of(column.get())) return false;
    } else if (PyObject_TypeCheck(source.get(), &ExpressionType)) {
        if (!render_expression(source.get(), out, args)) return false;
    } else {
        if (!render_function(source.get(), out, args)) return false;
        out.drop_last(1);  // the call's trailing space
    }
    out.lit(" AS ");
    // A reserved word (`count` is not one, `order` is) is quoted like any name.
    return out.ident(alias.get());
}

}  // namespace tsy::gen
