// The grouping clauses of a SELECT: groupBy(*terms), having(condition) and
// distinct(), and their rendering (SELECT DISTINCT ... GROUP BY ... HAVING).
#include "internal.hpp"

namespace tsy::gen {

namespace {

// The clauses belong to a SELECT; on a builder of another kind they would
// never be written.
bool check_select(PyObject* self, const char* func) {
    int kind = builder(self)->base.currentType;
    if (kind == SELECT) return true;
    if (kind != UNSET) {
        raise_kind_error(kind, SELECT);
        return false;
    }
    fail(PyExc_ValueError, "%s() belongs to a SELECT: call select() first", func);
    return false;
}

bool is_group_term(PyObject* o) noexcept {
    return is_property(o) || PyObject_TypeCheck(o, &ExpressionType) || PyObject_TypeCheck(o, &FunctionCallType);
}

PyObject* group_by_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("groupBy", kwnames)) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (!is_group_term(args[i])) {
            return fail(PyExc_TypeError,
                        "groupBy() argument 'columns': item %zd must be a column property, an Expression or a "
                        "FunctionCall, not %.200s",
                        i, type_name(args[i]));
        }
    }
    if (!check_select(self, "groupBy")) return nullptr;
    Ref terms = tuple_of(args, nargs);
    if (!terms) return nullptr;
    replace_field(builder(self)->groupList, std::move(terms));
    return Py_NewRef(self);
}

const char* const kHavingParams[] = {"condition"};

PyObject* having_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"having", kHavingParams, 1, 1};
    PyObject* condition;
    if (!parse(params, args, nargs, kwnames, &condition)) return nullptr;
    if (!check_arg(condition, bound.prop->FilterListCell, "condition")) return nullptr;
    if (!check_select(self, "having")) return nullptr;
    replace_field(builder(self)->havingCol, borrow(condition));
    return Py_NewRef(self);
}

PyObject* distinct_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("distinct", nargs, kwnames)) return nullptr;
    if (!check_select(self, "distinct")) return nullptr;
    builder(self)->distinct = 1;
    return Py_NewRef(self);
}

}  // namespace

PyMethodDef grouping_methods[] = {
    {"groupBy", fastkw<group_by_method>(), METH_FASTCALL | METH_KEYWORDS,
     "groupBy($self, *columns)\n--\n\nGROUP BY the given columns, expressions or function calls; replaces any "
     "earlier grouping. Returns the builder."},
    {"having", fastkw<having_method>(), METH_FASTCALL | METH_KEYWORDS,
     "having($self, condition)\n--\n\nHAVING condition (a filter chain, e.g. FunctionCall(\"count\", col) > 1); None "
     "removes it. Returns the builder."},
    {"distinct", fastkw<distinct_method>(), METH_FASTCALL | METH_KEYWORDS,
     "distinct($self)\n--\n\nSELECT DISTINCT: each row once. Returns the builder."},
    {nullptr, nullptr, 0, nullptr},
};

bool render_group_by(PyObject* terms, Text& out, PyObject* args) {
    if (terms == Py_None) return true;
    if (!PyTuple_Check(terms)) {
        expected_kind("tuple", terms);
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(terms); ++i) {
        out.raw(i == 0 ? std::string_view(" GROUP BY ") : std::string_view(", "));
        Ref term = borrow(PyTuple_GET_ITEM(terms, i));
        if (is_property(term.get())) {
            if (!render_column_ref(term.get(), out)) return false;
        } else if (PyObject_TypeCheck(term.get(), &FunctionCallType)) {
            if (!render_function(term.get(), out, args)) return false;
            out.drop_last(1);  // the call's trailing space
        } else if (!embed(term.get(), out, args)) {
            return false;
        }
    }
    return true;
}

bool render_having(PyObject* condition, Text& out, PyObject* args) {
    if (condition == Py_None) return true;
    Text clause;
    clause.memo = std::move(out.memo);
    if (!render_where(condition, clause, args)) return false;
    out.memo = std::move(clause.memo);
    constexpr std::string_view where = " WHERE ";
    if (clause.size() < where.size()) return true;  // a falsy condition of a subclass: no clause
    clause.buffer().erase(0, where.size());
    out.lit(" HAVING ");
    out.append(clause);
    return true;
}

}  // namespace tsy::gen
