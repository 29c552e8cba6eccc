// Where clauses: rendering a filter chain into WHERE text and its arguments,
// grouped sub-conditions (QueryGroup, Q) and SqlGenerator.where.
#include "internal.hpp"

namespace tsy::gen {

namespace {

// Relationship code -> text; code 8 (not related) maps to nothing.
constexpr std::string_view kRelationshipTexts[] = {
    " AND ", " OR ", " = ", " > ", " >= ", " < ", " <= ", " != ", "", " LIKE ",
};
constexpr int kNotRelated = model::NOT_RELATED;

// "table.column " of a column cell.
bool render_column(PyObject* c, Text& out) {
    Ref col = borrow(cell(c)->col ? cell(c)->col : Py_None);
    Ref value = borrow(cell(c)->value);
    Ref table = owner_table(col.get(), out);
    if (!table || !out.ident(table.get())) return false;
    out.lit(".");
    if (!out.ident(value.get())) return false;
    out.lit(" ");
    return true;
}

// A column cell compared by = or != with a value cell holding None: SQL's
// `= NULL` is never true, so the pair renders as IS NULL / IS NOT NULL with no
// argument. `next` is the cell after the column cell (or None).
std::string_view null_test_text(PyObject* column_cell, PyObject* next) noexcept {
    PyObject* col = cell(column_cell)->col;
    if (!col || !is_property(col)) return {};
    int code = cell(column_cell)->relationship;
    if (code != model::EQ && code != model::NE) return {};
    if (!is_cell(next) || cell(next)->value != Py_None) return {};
    if (cell(next)->col && cell(next)->col != Py_None) return {};
    return code == model::EQ ? " IS NULL" : " IS NOT NULL";
}

// Text of one column cell or value cell; a value goes to `args`.
bool render_cell(PyObject* c, Text& out, PyObject* args) {
    Ref col = borrow(cell(c)->col ? cell(c)->col : Py_None);
    Ref value = borrow(cell(c)->value);
    int code = cell(c)->relationship;
    int is_column = truth(col.get());
    if (is_column < 0) return false;
    if (is_column) {
        if (!render_column(c, out)) return false;
    } else {
        if (PyList_Append(args, value.get()) < 0) return false;
        out.lit(" %s ");
    }
    out.raw(relationship_text(code));
    return true;
}

Failure missing_relationship(PyObject* value, PyObject* next) {
    Ref next_text = steal(PyObject_Str(next));
    if (!next_text) return {};
    Ref error = call(bound.SqlMissingRelationshipError, value, next_text.get());
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return {};
}

// ---------------------------------------------------------------------------
// QueryGroup
// ---------------------------------------------------------------------------

QueryGroupObject* group(PyObject* self) noexcept { return reinterpret_cast<QueryGroupObject*>(self); }

PyObject* group_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) group(self)->query = Py_NewRef(Py_None);
    return self;
}

const char* const kQueryParams[] = {"query"};

int group_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kQueryParams, 1, 1};
    PyObject* query;
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, &query, kwnames, values)) return -1;
    if (!check_arg(query, bound.prop->FilterListCell, "query")) return -1;
    replace_field(group(self)->query, borrow(query));
    return 0;
}

int group_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(group(self)->query);
    return 0;
}

int group_clear(PyObject* self) noexcept {
    Py_CLEAR(group(self)->query);
    return 0;
}

// Groups nest through filter cells to any depth; the trashcan keeps freeing
// a deep nest off the C stack.
void group_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_TRASHCAN_BEGIN(self, group_dealloc)
    group_clear(self);
    Py_TYPE(self)->tp_free(self);
    Py_TRASHCAN_END
}

Ref group_build(PyObject* self) {
    Ref query = borrow(group(self)->query);
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    Text out;
    if (!render_group(query.get(), out, args.get())) return {};
    return make_pair(out, args.get());
}

PyObject* group_build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return group_build(self).release();
}

PyMethodDef group_methods[] = {
    {"Build", fastkw<group_build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (\" (\" + condition + \") \", args)."},
    {nullptr, nullptr, 0, nullptr},
};

Ref make_group(PyObject* query) {
    Ref self = steal(group_new(&QueryGroupType, nullptr, nullptr));
    if (self) replace_field(group(self.get())->query, borrow(query));
    return self;
}

// ---------------------------------------------------------------------------
// SqlGenerator methods and module functions
// ---------------------------------------------------------------------------

const char* const kWhereParams[] = {"args"};

PyObject* where_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"where", kWhereParams, 1, 0};
    PyObject* cell_arg;
    if (!parse(params, args, nargs, kwnames, &cell_arg)) return nullptr;
    if (!cell_arg) cell_arg = Py_None;
    if (!check_arg(cell_arg, bound.prop->FilterListCell, "args")) return nullptr;
    return do_where(self, cell_arg).release();
}

const char* const kCellParams[] = {"cell"};
const char* const kCellArgsParams[] = {"cell", "args"};

PyObject* build_where_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"build_where", kCellParams, 1, 1};
    PyObject* first;
    if (!parse(params, args, nargs, kwnames, &first)) return nullptr;
    if (!check_arg(first, bound.prop->FilterListCell, "cell")) return nullptr;
    return build_where_pair(first).release();
}

PyObject* cell_str_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_getWhereCellStr", kCellArgsParams, 2, 2};
    PyObject* values[2];
    if (!parse(params, args, nargs, kwnames, values)) return nullptr;
    if (!check_arg(values[0], bound.prop->FilterListCell, "cell", false)) return nullptr;
    if (!check_arg(values[1], &PyList_Type, "args", false)) return nullptr;
    Text out;
    if (!render_cell(values[0], out, values[1])) return nullptr;
    return out.finish().release();
}

PyObject* q_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"Q", kQueryParams, 1, 1};
    PyObject* query;
    if (!parse(params, args, nargs, kwnames, &query)) return nullptr;
    if (!check_arg(query, bound.prop->FilterListCell, "query")) return nullptr;
    return new_group_cell(query).release();
}

}  // namespace

PyMethodDef where_methods[] = {
    {"where", fastkw<where_method>(), METH_FASTCALL | METH_KEYWORDS,
     "where($self, args=None)\n--\n\nthe condition (first cell of a filter chain); None removes it."},
    {"build_where", fastkw<build_where_method>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "build_where(cell)\n--\n\nbuild_where(cell) -> (where text, argument list) of a filter chain."},
    {"_getWhereCellStr", fastkw<cell_str_method>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "_getWhereCellStr(cell, args) -> text of one column or value cell; a value is appended to args."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef where_functions[] = {
    {"Q", fastkw<q_function>(), METH_FASTCALL | METH_KEYWORDS,
     "Q($module, query)\n--\n\nQ(query) -> a filter cell holding QueryGroup(query): the condition in parentheses."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject QueryGroupType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.QueryGroup",
    .tp_basicsize = sizeof(QueryGroupObject),
    .tp_dealloc = group_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "QueryGroup(query)\n--\n\nQueryGroup(query): a filter chain rendered in parentheses, for use as a cell value.",
    .tp_traverse = group_traverse,
    .tp_clear = group_clear,
    .tp_methods = group_methods,
    .tp_init = group_init,
    .tp_new = group_new,
};

int ready_where_types() noexcept {
    QueryGroupType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&QueryGroupType) < 0) return -1;
    return register_build(&QueryGroupType, group_build);
}

std::string_view relationship_text(int code) noexcept {
    if (code < 0 || code >= static_cast<int>(std::size(kRelationshipTexts))) return {};
    return kRelationshipTexts[code];
}

Ref make_relationship_map() {
    Ref map = steal(PyDict_New());
    if (!map) return {};
    for (int code = 0; code < static_cast<int>(std::size(kRelationshipTexts)); ++code) {
        if (code == kNotRelated) continue;
        std::string_view text = kRelationshipTexts[code];
        Ref key = steal(PyLong_FromLong(code));
        Ref value = steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        if (!key || !value || PyDict_SetItem(map.get(), key.get(), value.get()) < 0) return {};
    }
    return map;
}

bool render_where(PyObject* first, Text& out, PyObject* args) {
    // A condition has no truth value (its __bool__ raises): it is present,
    // unless a subclass gives it a truth value of its own.
    PyNumberMethods* cell_number = bound.prop->FilterListCell->tp_as_number;
    PyNumberMethods* number = Py_TYPE(first)->tp_as_number;
    // A comparison of two columns answers bool() by identity, yet is a condition.
    bool bare_condition = is_cell(first) && ((number && cell_number && number->nb_bool == cell_number->nb_bool) ||
                                             Py_IS_TYPE(first, &ColumnComparisonType));
    int present = bare_condition ? 1 : truth(first);
    if (present <= 0) return present == 0;
    if (!check_convert(first, bound.prop->FilterListCell, false)) return false;
    if (bound.prop->settleChain(first) < 0) return false;
    if (cell(first)->next == Py_None && !is_generator(cell(first)->value)) {
        raise_error(bound.SqlInStanceError);
        return false;
    }
    out.lit(" WHERE ");
    // Each cell is held while it renders: a Build or a tableName lookup may
    // run code that relinks the chain.
    Ref current = borrow(first);
    bool null_operand = false;  // the current cell is the None of an IS [NOT] NULL test
    for (;;) {
        auto* c = cell(current.get());
        Ref value = borrow(c->value);
        Ref next = borrow(c->next ? c->next : Py_None);
        int code = c->relationship;
        std::string_view null_test;
        if (null_operand) {
            out.lit(" ");
            out.raw(relationship_text(code));
            null_operand = false;
        } else if (is_generator(value.get())) {
            if (!embed(value.get(), out, args)) return false;
            out.raw(relationship_text(code));
        } else if (next.get() != Py_None && code == kNotRelated) {
            missing_relationship(value.get(), next.get());
            return false;
        } else if (!(null_test = null_test_text(current.get(), next.get())).empty()) {
            if (!render_column(current.get(), out)) return false;
            out.raw(null_test);
            null_operand = true;
        } else if (!render_cell(current.get(), out, args)) {
            return false;
        }
        if (next.get() == Py_None) return true;
        if (!check_convert(next.get(), bound.prop->FilterListCell, false)) return false;
        current = std::move(next);
    }
}

bool render_group(PyObject* query, Text& out, PyObject* args) {
    RecursionGuard guard(" while rendering a grouped condition");
    if (!guard.entered()) return false;
    out.lit(" (");
    std::size_t start = out.size();
    if (!render_where(query, out, args)) return false;
    // Only the group's own keyword goes: a subquery inside keeps its WHERE.
    constexpr std::string_view keyword = " WHERE ";
    if (out.buffer().compare(start, keyword.size(), keyword) == 0) out.buffer().erase(start + 1, keyword.size() - 1);
    out.lit(") ");
    return true;
}

Ref build_where_pair(PyObject* first) {
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    Text out;
    if (!render_where(first, out, args.get())) return {};
    Ref text = out.finish();
    if (!text) return {};
    return steal(PyTuple_Pack(2, text.get(), args.get()));
}

Ref do_where(PyObject* self, PyObject* first) {
    if (first != Py_None && !check_arg(first, bound.prop->FilterListCell, "args")) return {};
    if (builder(self)->base.currentType == UNSET) return raise_error(bound.WhereSQLError);
    replace_field(builder(self)->whereCol, borrow(first));
    return borrow(self);
}

Ref new_group_cell(PyObject* query) {
    Ref group = make_group(query);
    if (!group) return {};
    return call(reinterpret_cast<PyObject*>(bound.prop->FilterListCell), group.get());
}

}  // namespace tsy::gen
