// ORDER BY items: OrderTerm (an expression and its direction, what
// col.asc() and col.desc() make) and the rendering of one item of a
// builder's ordering.
#include "internal.hpp"

#include <cstddef>

namespace tsy::gen {

namespace {

struct OrderTermObject {
    BaseGeneratorObject base;
    PyObject* expression;  // a bound column or a generator
    int descending;
};

OrderTermObject* term(PyObject* self) noexcept { return reinterpret_cast<OrderTermObject*>(self); }

PyObject* term_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) term(self)->expression = Py_NewRef(Py_None);
    return self;
}

const char* const kTermParams[] = {"expression", "descending"};

// What a term orders by: a column of a model class or an expression (any
// generator but another term, whose direction would be lost).
bool check_expression(PyObject* expression) {
    if (bound_column(expression)) return true;
    if (is_generator(expression) && !PyObject_TypeCheck(expression, &OrderTermType)) return true;
    fail(PyExc_TypeError, "OrderTerm() orders by a column of a model class or an expression, got %.200s",
         type_name(expression));
    return false;
}

int term_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kTermParams, 2, 1};
    PyObject* a[2];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, a, kwnames, values)) return -1;
    if (!check_expression(a[0])) return -1;
    if (a[1] && !PyBool_Check(a[1])) {
        return fail(PyExc_TypeError, "OrderTerm() descending must be a bool, got %.200s", type_name(a[1]));
    }
    replace_field(term(self)->expression, borrow(a[0]));
    term(self)->descending = a[1] == Py_True;
    return 0;
}

int term_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(term(self)->expression);
    return 0;
}

int term_clear(PyObject* self) noexcept {
    Py_CLEAR(term(self)->expression);
    return 0;
}

void term_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    term_clear(self);
    Py_TYPE(self)->tp_free(self);
}

// A column as table.column; a builder as a parenthesised subquery; another
// generator as its Build gives it. Blanks around the text are trimmed, so
// that items and directions are separated by one space.
bool render_order_expression(PyObject* expression, Text& out, PyObject* args) {
    Ref held = borrow(expression);
    std::size_t start = out.size();
    if (is_property(expression)) {
        if (!render_column_ref(expression, out)) return false;
    } else if (PyObject_TypeCheck(expression, &SqlGeneratorType)) {
        if (!render_subquery(expression, false, "orderBy", out, args)) return false;
    } else {
        RecursionGuard guard(" while rendering an ordering");
        if (!guard.entered() || !embed(expression, out, args)) return false;
    }
    while (out.size() > start && out.ends_with(" ")) out.drop_last(1);
    std::size_t blanks = 0;
    while (start + blanks < out.size() && out.buffer()[start + blanks] == ' ') ++blanks;
    out.buffer().erase(start, blanks);
    return true;
}

bool render_term(PyObject* self, Text& out, PyObject* args) {
    Ref expression = borrow(term(self)->expression);
    if (expression.get() == Py_None) {
        fail(PyExc_ValueError, "OrderTerm was not initialised");
        return false;
    }
    if (!render_order_expression(expression.get(), out, args)) return false;
    if (term(self)->descending) out.lit(" DESC");
    else out.lit(" ASC");
    return true;
}

PyObject* term_build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return rendered_pair<render_term>(self).release();
}

PyObject* get_descending(PyObject* self, void*) noexcept { return PyBool_FromLong(term(self)->descending); }

PyMethodDef term_methods[] = {
    {"Build", fastkw<term_build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (\"expression ASC\" or \"expression DESC\", args)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef term_getset[] = {
    {"descending", get_descending, nullptr, "True for a descending order.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef term_members[] = {
    {"expression", Py_T_OBJECT_EX, offsetof(OrderTermObject, expression), Py_READONLY,
     "The column or expression ordered by."},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

PyTypeObject OrderTermType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.OrderTerm",
    .tp_basicsize = sizeof(OrderTermObject),
    .tp_dealloc = term_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "OrderTerm(expression, descending=False)\n--\n\nOne ORDER BY item: a column or an expression, "
              "ascending or descending (what col.asc() and col.desc() make).",
    .tp_traverse = term_traverse,
    .tp_clear = term_clear,
    .tp_methods = term_methods,
    .tp_members = term_members,
    .tp_getset = term_getset,
    .tp_init = term_init,
    .tp_new = term_new,
};

int ready_order() noexcept {
    OrderTermType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&OrderTermType) < 0) return -1;
    return register_build(&OrderTermType, rendered_pair<render_term>);
}

Ref make_order_term(PyObject* expression, bool descending) {
    Ref self = steal(term_new(&OrderTermType, nullptr, nullptr));
    if (!self) return {};
    replace_field(term(self.get())->expression, borrow(expression));
    term(self.get())->descending = descending;
    return self;
}

PyObject* asc_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("asc", nargs, kwnames)) return nullptr;
    return make_order_term(self, false).release();
}

PyObject* desc_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("desc", nargs, kwnames)) return nullptr;
    return make_order_term(self, true).release();
}

bool check_order_item(PyObject* item) {
    if (PyUnicode_Check(item) || bound_column(item) || is_generator(item)) return true;
    fail(PyExc_TypeError, "orderBy() takes columns, asc()/desc() terms, expressions or SQL text, got %.200s",
         type_name(item));
    return false;
}

bool render_order_item(PyObject* item, Text& out, PyObject* args) {
    if (PyUnicode_Check(item)) return out.str(item);  // text as written, as it always was
    if (!check_order_item(item)) return false;
    if (Py_IS_TYPE(item, &OrderTermType)) return render_term(item, out, args);
    return render_order_expression(item, out, args);
}

}  // namespace tsy::gen
