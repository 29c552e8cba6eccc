// Expression: arithmetic on columns, function calls and values
// (`User.visits + 1`, `(User.a + 1) * 2`), rendered in place wherever a
// generator is embedded. Expressions and function calls also compare like
// columns: `expr > 10` is a filter chain whose head holds the expression.
#include "internal.hpp"

#include <cstddef>

namespace tsy::gen {

namespace {

ExpressionObject* expression(PyObject* o) noexcept { return reinterpret_cast<ExpressionObject*>(o); }

// The four operators, each with its binding strength: * and / bind tighter
// than + and -.
struct Operator {
    const char* text;
    int precedence;
    bool associative;  // (a op b) op c == a op (b op c)
};
constexpr Operator kOperators[] = {{"+", 1, true}, {"-", 1, false}, {"*", 2, true}, {"/", 2, false}};

// The interned operator texts, in kOperators order (immortal once made).
PyObject* operator_texts[std::size(kOperators)] = {};

// Index of the operator `op` (a str), or -1.
int operator_index(PyObject* op) noexcept {
    if (!PyUnicode_Check(op)) return -1;
    for (std::size_t i = 0; i < std::size(kOperators); ++i) {
        if (op == operator_texts[i] || PyUnicode_CompareWithASCIIString(op, kOperators[i].text) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool is_sql_operand(PyObject* o) noexcept {
    return is_property(o) || PyObject_TypeCheck(o, &ExpressionType) || PyObject_TypeCheck(o, &FunctionCallType) ||
           PyObject_TypeCheck(o, &CustomSqlGeneratorType);
}

// A value that can stand in an arithmetic expression as a placeholder: not
// None (NULL arithmetic is always NULL), no text (SQL's + is not
// concatenation), no container, condition or other generator.
bool is_number_like(PyObject* o) noexcept {
    return o != Py_None && !PyUnicode_Check(o) && !PyBytes_Check(o) && !PyByteArray_Check(o) && !PyDict_Check(o) &&
           !PyList_Check(o) && !PyTuple_Check(o) && !PyAnySet_Check(o) && !PyType_Check(o) && !is_cell(o) &&
           !is_generator(o);
}

bool check_operand(PyObject* o, const char* which) noexcept {
    if (is_sql_operand(o) || is_number_like(o)) return true;
    fail(PyExc_TypeError,
         "Expression: the %s operand must be a column, an Expression, a FunctionCall or a number, not %.200s", which,
         type_name(o));
    return false;
}

// A value beside a column is stored as that column stores its values.
Ref stored_operand(PyObject* value, PyObject* other) {
    if (is_sql_operand(value) || !is_property(other)) return borrow(value);
    return steal(bound.prop->toDBValue(other, value));
}

PyObject* expression_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        expression(self)->left = Py_NewRef(Py_None);
        expression(self)->op = Py_NewRef(Py_None);
        expression(self)->right = Py_NewRef(Py_None);
    }
    return self;
}

bool fill(PyObject* self, PyObject* left, PyObject* op, PyObject* right) {
    int index = operator_index(op);
    if (index < 0) {
        fail(PyExc_ValueError, "Expression: the operator must be one of '+', '-', '*', '/', got %R", op);
        return false;
    }
    if (!check_operand(left, "left") || !check_operand(right, "right")) return false;
    Ref stored_left = stored_operand(left, right);
    Ref stored_right = stored_left ? stored_operand(right, left) : Ref();
    if (!stored_right) return false;
    replace_field(expression(self)->left, std::move(stored_left));
    replace_field(expression(self)->op, borrow(operator_texts[index]));
    replace_field(expression(self)->right, std::move(stored_right));
    return true;
}

const char* const kExpressionParams[] = {"left", "op", "right"};

int expression_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kExpressionParams, 3, 3};
    PyObject* values[3];
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, values, kwnames, holder)) return -1;
    return fill(self, values[0], values[1], values[2]) ? 0 : -1;
}

int expression_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(expression(self)->left);
    Py_VISIT(expression(self)->op);
    Py_VISIT(expression(self)->right);
    return 0;
}

int expression_clear(PyObject* self) noexcept {
    Py_CLEAR(expression(self)->left);
    Py_CLEAR(expression(self)->op);
    Py_CLEAR(expression(self)->right);
    return 0;
}

// Expressions nest to any depth: the trashcan frees a deep one off the C stack.
void expression_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, expression_dealloc)
    expression_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

PyObject* expression_repr(PyObject* self) noexcept {
    auto* e = expression(self);
    return PyUnicode_FromFormat("Expression(%R, %R, %R)", e->left ? e->left : Py_None, e->op ? e->op : Py_None,
                                e->right ? e->right : Py_None);
}

// A nested expression needs parentheses when it binds looser than its
// parent, or as loosely on the right of an operator that does not associate
// (a - (b - c)).
bool needs_parentheses(PyObject* operand, int parent, bool on_right) noexcept {
    if (!PyObject_TypeCheck(operand, &ExpressionType)) return false;
    int child = operator_index(expression(operand)->op);
    if (child < 0 || parent < 0) return true;
    int child_strength = kOperators[child].precedence;
    int parent_strength = kOperators[parent].precedence;
    if (child_strength != parent_strength) return child_strength < parent_strength;
    return on_right && !kOperators[parent].associative;
}

bool render_operand(PyObject* operand, int parent, bool on_right, Text& out, PyObject* args) {
    if (is_property(operand)) return render_column_ref(operand, out);
    if (PyObject_TypeCheck(operand, &ExpressionType)) {
        bool wrap = needs_parentheses(operand, parent, on_right);
        if (wrap) out.lit("(");
        if (!render_expression(operand, out, args)) return false;
        if (wrap) out.lit(")");
        return true;
    }
    if (PyObject_TypeCheck(operand, &FunctionCallType)) {
        if (!render_function(operand, out, args)) return false;
        out.drop_last(1);  // the call's trailing space
        return true;
    }
    if (is_generator(operand)) {  // caller-supplied SQL: kept whole
        out.lit("(");
        if (!embed(operand, out, args)) return false;
        out.lit(")");
        return true;
    }
    if (PyList_Append(args, operand) < 0) return false;
    out.lit("%s");
    return true;
}

PyObject* build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return rendered_pair<render_expression>(self).release();
}

PyMethodDef expression_methods[] = {
    {"Build", fastkw<build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (\"table.column + %s\", args): the expression's text and arguments."},
    {"As", fastkw<as_method>(), METH_FASTCALL | METH_KEYWORDS,
     "As($self, alias)\n--\n\nthis expression selected under `alias`: a ColumnAlias rendered `... AS alias`."},
    {"asc", fastkw<asc_method>(), METH_FASTCALL | METH_KEYWORDS,
     "asc($self)\n--\n\nthe ORDER BY term `... ASC` of this expression."},
    {"desc", fastkw<desc_method>(), METH_FASTCALL | METH_KEYWORDS,
     "desc($self)\n--\n\nthe ORDER BY term `... DESC` of this expression."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef expression_members[] = {
    {"left", Py_T_OBJECT_EX, offsetof(ExpressionObject, left), Py_READONLY, "The left operand."},
    {"op", Py_T_OBJECT_EX, offsetof(ExpressionObject, op), Py_READONLY, "The operator: '+', '-', '*' or '/'."},
    {"right", Py_T_OBJECT_EX, offsetof(ExpressionObject, right), Py_READONLY, "The right operand."},
    {nullptr, 0, 0, 0, nullptr},
};

// --- arithmetic and comparison slots (Expression and FunctionCall) ----------

PyObject* arithmetic(PyObject* a, PyObject* b, int index) noexcept {
    Ref self = steal(expression_new(&ExpressionType, nullptr, nullptr));
    if (!self || !fill(self.get(), a, operator_texts[index], b)) return nullptr;
    return self.release();
}

PyObject* add(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, 0); }
PyObject* subtract(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, 1); }
PyObject* multiply(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, 2); }
PyObject* divide(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, 3); }

// What a comparison may set an expression against: a column, a generator
// rendered in place, or a single value; never a container or a condition.
bool comparable(PyObject* other) noexcept {
    return !(PyDict_Check(other) || PyList_Check(other) || PyTuple_Check(other) || PyAnySet_Check(other) ||
             PyType_Check(other) || is_cell(other));
}

// `x == None` / `x != None`, as for a column: IS NULL / IS NOT NULL, a
// one-cell condition holding the test's text and arguments (written now,
// when the condition is made). `< NULL` holds for no row, so the order
// comparisons with None are refused.
PyObject* null_test(PyObject* self, int op) noexcept {
    if (op != Py_EQ && op != Py_NE) {
        return fail(PyExc_ValueError, "an order comparison of %.200s with None matches no row in SQL",
                    type_name(self));
    }
    Ref args = steal(PyList_New(0));
    if (!args) return nullptr;
    Text out;
    if (!embed(self, out, args.get())) return nullptr;
    while (out.ends_with(" ")) out.drop_last(1);
    if (op == Py_EQ) out.lit(" IS NULL ");
    else out.lit(" IS NOT NULL ");
    Ref text = out.finish();
    Ref arg_tuple = text ? steal(PyList_AsTuple(args.get())) : Ref();
    if (!arg_tuple) return nullptr;
    Ref test = call(reinterpret_cast<PyObject*>(&CustomSqlGeneratorType), text.get(), arg_tuple.get());
    return test ? bound.prop->newCell(test.get(), Py_None) : nullptr;
}

}  // namespace

PyNumberMethods operand_number_methods = {
    .nb_add = add,
    .nb_subtract = subtract,
    .nb_multiply = multiply,
    .nb_true_divide = divide,
};

PyObject* operand_richcompare(PyObject* self, PyObject* other, int op) noexcept {
    static const int codes[] = {model::LT, model::LE, model::EQ, model::NE, model::GT, model::GE};  // Py_LT..Py_GE
    // Against a column: the column's own comparison with this as its value,
    // the operator mirrored (`expr < col` is `col > expr`).
    static const int mirrored[] = {Py_GT, Py_GE, Py_EQ, Py_NE, Py_LT, Py_LE};
    if (is_property(other)) return PyObject_RichCompare(other, self, mirrored[op]);
    if (!comparable(other)) {
        return fail(PyExc_TypeError, "cannot compare %.200s with a %.200s: give a single value, a column or an expression",
                    type_name(self), type_name(other));
    }
    if (other == Py_None) return null_test(self, op);
    Ref head = steal(bound.prop->newCell(self, Py_None));
    Ref tail = head ? steal(bound.prop->newCell(other, Py_None)) : Ref();
    if (!tail) return nullptr;
    cell(head.get())->relationship = codes[op];
    replace_field(cell(head.get())->next, std::move(tail));
    return head.release();
}

bool render_expression(PyObject* self, Text& out, PyObject* args) {
    Ref left = borrow(expression(self)->left ? expression(self)->left : Py_None);
    Ref op = borrow(expression(self)->op ? expression(self)->op : Py_None);
    Ref right = borrow(expression(self)->right ? expression(self)->right : Py_None);
    int index = operator_index(op.get());
    if (index < 0) {  // made by __new__ alone
        fail(PyExc_ValueError, "an Expression without an operator (made without __init__)");
        return false;
    }
    RecursionGuard guard(" while rendering an expression");
    if (!guard.entered()) return false;
    if (!render_operand(left.get(), index, false, out, args)) return false;
    out.lit(" ");
    if (!out.str(op.get())) return false;
    out.lit(" ");
    return render_operand(right.get(), index, true, out, args);
}

PyTypeObject ExpressionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.Expression",
    .tp_basicsize = sizeof(ExpressionObject),
    .tp_dealloc = expression_dealloc,
    .tp_repr = expression_repr,
    .tp_as_number = &operand_number_methods,
    .tp_hash = PyObject_GenericHash,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Expression(left, op, right)\n--\n\nExpression(left, op, right): `left op right` with op one of + - * /; "
              "made by\narithmetic on columns (`User.visits + 1`). Columns render as table.column, values as\n"
              "placeholders (converted by the column's toDBValue when the other side is a column).\n"
              "Compares like a column: `User.visits + 1 > 10` is a condition.",
    .tp_traverse = expression_traverse,
    .tp_clear = expression_clear,
    .tp_richcompare = operand_richcompare,
    .tp_methods = expression_methods,
    .tp_members = expression_members,
    .tp_init = expression_init,
    .tp_new = expression_new,
};

int ready_expression() noexcept {
    for (std::size_t i = 0; i < std::size(kOperators); ++i) {
        operator_texts[i] = intern(kOperators[i].text);
        if (!operator_texts[i]) return -1;
    }
    ExpressionType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&ExpressionType) < 0) return -1;
    return register_build(&ExpressionType, rendered_pair<render_expression>);
}

}  // namespace tsy::gen
