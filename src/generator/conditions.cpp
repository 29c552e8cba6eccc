// Conditions beyond a column compared with a value: BETWEEN, LIKE regardless
// of case, NOT IN lists, a column compared with a column, NOT, and IN / EXISTS
// over a subquery. Each is a Predicate held by a filter cell, so that & | ~
// link it like any other condition. The model layer's column methods make
// them through _predicate(), Exists() makes its own. Both check what they are
// given, and a Predicate cannot be made otherwise, so its fields always hold
// what its kind needs.
#include "internal.hpp"

namespace tsy::gen {

namespace {

enum PredicateKind : int { BETWEEN, ILIKE, NOT_IN, IN_QUERY, NOT_IN_QUERY, COLUMNS, NEGATION, EXISTS };

struct KindName {
    const char* name;
    PredicateKind kind;
    Py_ssize_t operands;  // how many the kind takes; -1: a list of values
};

constexpr KindName kKinds[] = {
    {"between", BETWEEN, 2},   {"ilike", ILIKE, 1},   {"notIn", NOT_IN, -1},      {"in_query", IN_QUERY, 1},
    {"notIn_query", NOT_IN_QUERY, 1}, {"columns", COLUMNS, 1}, {"not", NEGATION, 0}, {"exists", EXISTS, 0},
};

struct PredicateObject {
    BaseGeneratorObject base;
    int kind;
    int code;            // COLUMNS: the comparison's relationship code
    PyObject* subject;   // a bound column; the negated chain (NEGATION); the builder (EXISTS)
    PyObject* operands;  // tuple of values or of one column / builder; a list for NOT_IN
};

PredicateObject* predicate(PyObject* self) noexcept { return reinterpret_cast<PredicateObject*>(self); }

int predicate_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(predicate(self)->subject);
    Py_VISIT(predicate(self)->operands);
    return 0;
}

int predicate_clear(PyObject* self) noexcept {
    Py_CLEAR(predicate(self)->subject);
    Py_CLEAR(predicate(self)->operands);
    return 0;
}

// A NOT holds a chain that may hold another NOT, to any depth.
void predicate_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, predicate_dealloc)
    predicate_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

Ref make_predicate(int kind, PyObject* subject, PyObject* operands, int code) {
    Ref self = steal(PredicateType.tp_alloc(&PredicateType, 0));
    if (!self) return {};
    auto* p = predicate(self.get());
    p->kind = kind;
    p->code = code;
    p->subject = Py_NewRef(subject);
    p->operands = Py_NewRef(operands);
    return self;
}

bool is_builder(PyObject* o) noexcept { return PyObject_TypeCheck(o, &SqlGeneratorType); }

bool render_operand(PyObject* operands, Py_ssize_t i, Text& out, PyObject* args) {
    if (PyList_Append(args, PyTuple_GET_ITEM(operands, i)) < 0) return false;
    out.lit("%s");
    return true;
}

}  // namespace

bool render_predicate(PyObject* self, Text& out, PyObject* args) {
    auto* p = predicate(self);
    if (!p->subject || !p->operands) {  // cleared by the collector while part of a cycle
        fail(PyExc_ValueError, "this condition was cleared");
        return false;
    }
    // Held: rendering reads tableName, which may run code.
    Ref subject = borrow(p->subject);
    Ref operands = borrow(p->operands);
    switch (p->kind) {
        case BETWEEN:
            out.lit(" ");
            if (!render_column_ref(subject.get(), out)) return false;
            out.lit(" BETWEEN ");
            if (!render_operand(operands.get(), 0, out, args)) return false;
            out.lit(" AND ");
            if (!render_operand(operands.get(), 1, out, args)) return false;
            out.lit(" ");
            return true;
        case ILIKE:
            // LOWER on both sides: ASCII letters match regardless of case on
            // every database; beyond ASCII it folds as the database's LOWER does.
            out.lit(" LOWER(");
            if (!render_column_ref(subject.get(), out)) return false;
            out.lit(") LIKE LOWER(");
            if (!render_operand(operands.get(), 0, out, args)) return false;
            out.lit(") ");
            return true;
        case NOT_IN:
            return render_value_list(subject.get(), operands.get(), true, out, args);
        case IN_QUERY:
        case NOT_IN_QUERY:
            out.lit(" ");
            if (!render_column_ref(subject.get(), out)) return false;
            if (p->kind == IN_QUERY) out.lit(" IN ");
            else out.lit(" NOT IN ");
            if (!render_subquery(PyTuple_GET_ITEM(operands.get(), 0), true, "In", out, args)) return false;
            out.lit(" ");
            return true;
        case COLUMNS:
            out.lit(" ");
            if (!render_column_ref(subject.get(), out)) return false;
            out.raw(relationship_text(p->code));
            if (!render_column_ref(PyTuple_GET_ITEM(operands.get(), 0), out)) return false;
            out.lit(" ");
            return true;
        case NEGATION: {
            // A level of its own beside the group's: NOT nests to any depth.
            RecursionGuard guard(" while rendering a negated condition");
            if (!guard.entered()) return false;
            out.lit(" NOT");
            return render_group(subject.get(), out, args);
        }
        case EXISTS:
            out.lit(" EXISTS ");
            if (!render_subquery(subject.get(), false, "Exists", out, args)) return false;
            out.lit(" ");
            return true;
        default:
            fail(PyExc_SystemError, "unknown condition kind %d", p->kind);
            return false;
    }
}

namespace {

PyObject* predicate_build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return rendered_pair<render_predicate>(self).release();
}

PyMethodDef predicate_methods[] = {
    {"Build", fastkw<predicate_build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (condition text, args)."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// ColumnComparison: the cell of `col == col` / `col != col`
// ---------------------------------------------------------------------------

// Properties stay usable in containers, `in` tests and as dict keys: the
// equality of two columns answers bool() by identity, as it did before it
// became a condition. Any other content has no truth value, like a condition.
int comparison_bool(PyObject* self) noexcept {
    PyObject* value = cell(self)->value;
    if (value && Py_IS_TYPE(value, &PredicateType) && predicate(value)->kind == COLUMNS && predicate(value)->operands) {
        auto* p = predicate(value);
        bool same = p->subject == PyTuple_GET_ITEM(p->operands, 0);
        if (p->code == model::EQ) return same;
        if (p->code == model::NE) return !same;
    }
    return bound.prop->FilterListCell->tp_as_number->nb_bool(self);
}

PyNumberMethods comparison_as_number = {
    .nb_bool = comparison_bool,
};

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------

const KindName* find_kind(PyObject* name) noexcept {
    if (!PyUnicode_Check(name)) return nullptr;
    for (const KindName& k : kKinds) {
        if (PyUnicode_CompareWithASCIIString(name, k.name) == 0) return &k;
    }
    return nullptr;
}

// The subject a kind takes, checked.
bool check_subject(const KindName& k, PyObject* subject) {
    if (k.kind == NEGATION) return check_arg(subject, bound.prop->FilterListCell, "subject", false);
    if (k.kind == EXISTS) return check_subquery(subject, false, "Exists");
    if (bound_column(subject)) return true;
    fail(PyExc_TypeError, "a condition on a column needs a column of a model class, got %.200s", type_name(subject));
    return false;
}

// The operands a kind takes, checked; NOT_IN's values become the IN list's.
Ref checked_operands(const KindName& k, PyObject* operands) {
    if (k.operands < 0) return in_list_values(operands);
    if (!check_arg(operands, &PyTuple_Type, "operands", false)) return {};
    if (PyTuple_GET_SIZE(operands) != k.operands) {
        return fail(PyExc_TypeError, "_predicate(): '%s' takes %zd operands, got %zd", k.name, k.operands,
                    PyTuple_GET_SIZE(operands));
    }
    if ((k.kind == IN_QUERY || k.kind == NOT_IN_QUERY) && !check_subquery(PyTuple_GET_ITEM(operands, 0), true, "In")) {
        return {};
    }
    if (k.kind == COLUMNS && !bound_column(PyTuple_GET_ITEM(operands, 0))) {
        return fail(PyExc_TypeError, "a column comparison needs two columns of model classes");
    }
    return borrow(operands);
}

// The cell that holds a predicate: a ColumnComparison for == and != of two
// columns, a plain filter cell otherwise. Made without the class call: an
// equality of two columns is made wherever properties meet in containers.
Ref condition_cell(Ref pred, bool identity_truth) {
    if (!identity_truth) return steal(bound.prop->newCell(pred.get(), Py_None));
    Ref empty = steal(PyTuple_New(0));
    if (!empty) return {};
    // The base's tp_new gives a cell holding None, linked to nothing.
    Ref made = steal(ColumnComparisonType.tp_new(&ColumnComparisonType, empty.get(), nullptr));
    if (made) replace_field(cell(made.get())->value, std::move(pred));
    return made;
}

const char* const kPredicateParams[] = {"kind", "subject", "operands", "code"};

PyObject* predicate_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_predicate", kPredicateParams, 4, 3};
    PyObject* a[4];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    const KindName* k = find_kind(a[0]);
    if (!k) return fail(PyExc_ValueError, "_predicate(): unknown kind %R", a[0]);
    int code = 0;
    if (a[3] && !to_int(a[3], &code)) return nullptr;
    if (k->kind == COLUMNS && (code < model::EQ || code > model::NE)) {
        return fail(PyExc_ValueError, "_predicate(): %d is not a comparison code", code);
    }
    if (!check_subject(*k, a[1])) return nullptr;
    Ref operands = checked_operands(*k, a[2]);
    if (!operands) return nullptr;
    Ref pred = make_predicate(k->kind, a[1], operands.get(), code);
    if (!pred) return nullptr;
    bool identity_truth = k->kind == COLUMNS && (code == model::EQ || code == model::NE);
    return condition_cell(std::move(pred), identity_truth).release();
}

const char* const kExistsParams[] = {"query"};

PyObject* exists_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"Exists", kExistsParams, 1, 1};
    PyObject* query;
    if (!parse(params, args, nargs, kwnames, &query)) return nullptr;
    if (!check_subquery(query, false, "Exists")) return nullptr;
    Ref empty = steal(PyTuple_New(0));
    Ref pred = empty ? make_predicate(EXISTS, query, empty.get(), 0) : Ref();
    if (!pred) return nullptr;
    return condition_cell(std::move(pred), false).release();
}

}  // namespace

PyMethodDef condition_functions[] = {
    {"Exists", fastkw<exists_function>(), METH_FASTCALL | METH_KEYWORDS,
     "Exists($module, query)\n--\n\nthe condition `EXISTS (SELECT ...)` of a SELECT builder; its WHERE may "
     "compare its columns with the outer statement's (a correlated subquery)."},
    {"_predicate", fastkw<predicate_function>(), METH_FASTCALL | METH_KEYWORDS,
     "_predicate($module, kind, subject, operands, code=0)\n--\n\nthe condition cell of the column methods "
     "(between, ilike, notIn, In of a builder, column comparisons, ~)."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject PredicateType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.Predicate",
    .tp_basicsize = sizeof(PredicateObject),
    .tp_dealloc = predicate_dealloc,
    // Made only by _predicate() and Exists(), which fill every field.
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A condition a filter cell holds (BETWEEN, NOT IN, NOT, EXISTS, ...); made by the column "
              "methods, ~ and Exists().",
    .tp_traverse = predicate_traverse,
    .tp_clear = predicate_clear,
    .tp_methods = predicate_methods,
};

PyTypeObject ColumnComparisonType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.ColumnComparison",
    .tp_basicsize = sizeof(model::FilterCellObject),
    .tp_as_number = &comparison_as_number,
    // Garbage collection, traverse and clear come from the base at readiness.
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "ColumnComparison(value, col=None)\n--\n\nThe condition `a == b` or `a != b` of two columns: it renders "
              "`table.a = table.b`, and its truth value is whether a and b are the same property.",
};

int ready_conditions() noexcept {
    PredicateType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&PredicateType) < 0 || register_build(&PredicateType, rendered_pair<render_predicate>) < 0) {
        return -1;
    }
    ColumnComparisonType.tp_base = bound.prop->FilterListCell;
    return PyType_Ready(&ColumnComparisonType);
}

bool check_subquery(PyObject* query, bool one_column, const char* func) {
    if (!is_builder(query)) {
        fail(PyExc_TypeError, "%s() takes a SqlGenerator selecting rows, got %.200s", func, type_name(query));
        return false;
    }
    auto* b = builder(query);
    if (b->base.currentType != SELECT) {
        fail(PyExc_ValueError, "%s() takes a SELECT builder (call select() on it first)", func);
        return false;
    }
    if (!one_column) return true;
    Py_ssize_t n = PyList_Check(b->selectCol) ? PyList_GET_SIZE(b->selectCol) : -1;
    if (n != 1) {
        fail(PyExc_ValueError, "%s() takes a builder selecting exactly one column, this one selects %zd", func, n);
        return false;
    }
    return true;
}

bool render_subquery(PyObject* query, bool one_column, const char* func, Text& out, PyObject* args) {
    // Checked again: the builder may have changed since the condition was made.
    if (!check_subquery(query, one_column, func)) return false;
    RecursionGuard guard(" while rendering a subquery", 4);
    if (!guard.entered()) return false;
    Ref held = borrow(query);
    out.lit("(");
    if (!render_select(held.get(), out, args)) return false;
    // The builder's empty limit text leaves a blank before the parenthesis.
    while (out.ends_with(" ")) out.drop_last(1);
    out.lit(")");
    return true;
}

}  // namespace tsy::gen
