// SqlGenerator: the single-use statement builder. Its type, life cycle, the
// SELECT statement, ordering and the limit clause. Where clauses, the write
// statements and joins live in where.cpp, write.cpp and join.cpp.
#include <array>
#include <charconv>
#include <string>
#include <string_view>

#include "internal.hpp"

namespace tsy::gen {

OwnMethods own;

namespace {

SqlGeneratorObject* alloc_builder(PyTypeObject* type) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    auto* b = builder(self);
    b->base.currentType = UNSET;
    b->selectCol = Py_NewRef(Py_None);
    b->whereCol = Py_NewRef(Py_None);
    b->target = Py_NewRef(Py_None);
    b->limit = Py_NewRef(names.blank);
    b->updateCol = Py_NewRef(Py_None);
    b->_joinList = Py_NewRef(Py_None);
    b->orderList = Py_NewRef(Py_None);
    b->groupList = Py_NewRef(Py_None);
    b->havingCol = Py_NewRef(Py_None);
    b->distinct = 0;
    return b;
}

PyObject* builder_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return reinterpret_cast<PyObject*>(alloc_builder(type));
}

const char* const kNoParams[] = {nullptr};

int builder_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kNoParams, 0, 0};
    PyObject* none[1];
    Ref kwnames, values;
    return parse_tuple(params, args, kwargs, none, kwnames, values) ? 0 : -1;
}

// `SqlGenerator()` without the tuple/dict round trip of tp_new + tp_init.
// Used for the exact type only (the slot is not inherited).
PyObject* builder_vectorcall(PyObject* type, PyObject* const*, size_t nargsf, PyObject* kwnames) noexcept {
    if (!no_args("__init__", PyVectorcall_NARGS(nargsf), kwnames)) return nullptr;
    return reinterpret_cast<PyObject*>(alloc_builder(reinterpret_cast<PyTypeObject*>(type)));
}

int builder_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* b = builder(self);
    Py_VISIT(b->selectCol);
    Py_VISIT(b->whereCol);
    Py_VISIT(b->target);
    Py_VISIT(b->limit);
    Py_VISIT(b->updateCol);
    Py_VISIT(b->_joinList);
    Py_VISIT(b->orderList);
    Py_VISIT(b->groupList);
    Py_VISIT(b->havingCol);
    return 0;
}

int builder_clear(PyObject* self) noexcept {
    auto* b = builder(self);
    Py_CLEAR(b->selectCol);
    Py_CLEAR(b->whereCol);
    Py_CLEAR(b->target);
    Py_CLEAR(b->limit);
    Py_CLEAR(b->updateCol);
    Py_CLEAR(b->_joinList);
    Py_CLEAR(b->orderList);
    Py_CLEAR(b->groupList);
    Py_CLEAR(b->havingCol);
    return 0;
}

void builder_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    builder_clear(self);
    Py_TYPE(self)->tp_free(self);
}

Ref select_items(PyObject* self, PyObject* const* items, Py_ssize_t n) {
    auto* b = builder(self);
    if (b->base.currentType != UNSET) return raise_kind_error(b->base.currentType, SELECT);
    Ref cols = list_of(items, n);
    if (!cols) return {};
    b->base.currentType = SELECT;
    replace_field(b->selectCol, std::move(cols));
    return borrow(self);
}

// One selected function call, expression or caller-supplied SQL text, in
// place (its arguments go to `args`).
bool render_computed(PyObject* col, Text& out, PyObject* args) {
    if (PyObject_TypeCheck(col, &ExpressionType)) return render_expression(col, out, args);
    if (PyObject_TypeCheck(col, &CustomSqlGeneratorType)) return embed(col, out, args);
    if (!render_function(col, out, args)) return false;
    out.drop_last(1);  // the call's trailing space
    return true;
}

bool is_computed(PyObject* col) noexcept {
    return PyObject_TypeCheck(col, &ExpressionType) || PyObject_TypeCheck(col, &FunctionCallType) ||
           PyObject_TypeCheck(col, &CustomSqlGeneratorType);
}

// The select list: column properties as table.column, aliased columns and
// calls as `... AS alias`, function calls and expressions in place (their
// arguments go to `args`).
bool render_columns(PyObject* cols, Text& out, PyObject* args) {
    if (!PyList_Check(cols)) {
        fail(PyExc_TypeError, "'%.200s' object is not iterable", type_name(cols));
        return false;
    }
    bool first = true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cols); ++i) {
        // Owned: reading tableName may run code that changes the list.
        Ref col = borrow(PyList_GET_ITEM(cols, i));
        if (Py_IS_TYPE(col.get(), &ColumnAliasType)) {
            if (!first) out.lit(",");
            first = false;
            if (!render_alias(col.get(), out, args)) return false;
            continue;
        }
        if (is_computed(col.get())) {
            if (!first) out.lit(",");
            first = false;
            if (!render_computed(col.get(), out, args)) return false;
            continue;
        }
        if (!check_convert(col.get(), bound.prop->BaseProperty)) return false;
        if (col.get() == Py_None) continue;
        int keep = truth(col.get());
        if (keep < 0) return false;
        if (!keep) continue;
        Ref table = owner_table(col.get(), out);
        if (!table) return false;
        Ref name = name_of(col.get());
        if (!name) return false;
        if (!first) out.lit(",");
        first = false;
        if (!out.ident_of(table.get())) return false;
        out.lit(".");
        if (!out.ident_of(name.get())) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

PyObject* select_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("select", kwnames)) return nullptr;
    return select_items(self, args, nargs).release();
}

const char* const kFromParams[] = {"target"};

PyObject* from_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"From", kFromParams, 1, 1};
    PyObject* target;
    if (!parse(params, args, nargs, kwnames, &target)) return nullptr;
    if (!set_from(self, target)) return nullptr;
    return Py_NewRef(self);
}

PyObject* order_by_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("orderBy", kwnames)) return nullptr;
    Ref items = tuple_of(args, nargs);
    if (!items) return nullptr;
    return do_order(self, items.get()).release();
}

const char* const kLimitParams[] = {"count", "offset"};

PyObject* limit_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"Limit", kLimitParams, 2, 2};
    PyObject* values[2];
    int count, offset;
    if (!parse(params, args, nargs, kwnames, values)) return nullptr;
    if (!to_int(values[0], &count) || !to_int(values[1], &offset)) return nullptr;
    return do_limit(self, count, offset).release();
}

PyObject* build_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("Build", nargs, kwnames)) return nullptr;
    return build_statement(self).release();
}

PyObject* build_select_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("build_select", nargs, kwnames)) return nullptr;
    return build_select(self).release();
}

const char* const kOrderParams[] = {"orderList"};

PyObject* build_order_method(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"build_order", kOrderParams, 1, 1};
    PyObject* items;
    if (!parse(params, args, nargs, kwnames, &items)) return nullptr;
    if (!check_arg(items, &PyTuple_Type, "orderList")) return nullptr;
    Ref values = steal(PyList_New(0));
    if (!values) return nullptr;
    Text out;
    if (!render_order(items, out, values.get())) return nullptr;
    // The text alone has nowhere to carry arguments: they would be lost.
    if (PyList_GET_SIZE(values.get()) > 0) {
        return fail(PyExc_ValueError, "build_order(): these terms carry arguments; build the statement instead");
    }
    return out.finish().release();
}

PyObject* join_list_get(PyObject* self, void*) noexcept { return join_list(self).release(); }

PyMethodDef core_methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. SqlGenerator[Literal[True]]."},
    {"select", fastkw<select_method>(), METH_FASTCALL | METH_KEYWORDS,
     "select($self, *cols)\n--\n\nmake this a SELECT of the given column properties, function calls, "
     "expressions, aliases (x.As(\"name\")) and CustomSqlGenerator texts."},
    {"From", fastkw<from_method>(), METH_FASTCALL | METH_KEYWORDS,
     "From($self, target)\n--\n\nthe table, as a name or a model class."},
    {"orderBy", fastkw<order_by_method>(), METH_FASTCALL | METH_KEYWORDS,
     "orderBy($self, *items)\n--\n\nORDER BY items: columns, col.asc()/col.desc() terms, expressions or SQL text; "
     "replaces any earlier ordering. Returns None."},
    {"Limit", fastkw<limit_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Limit($self, count, offset)\n--\n\nthe limit clause of a SELECT."},
    {"Build", fastkw<build_method>(), METH_FASTCALL | METH_KEYWORDS,
     "Build($self)\n--\n\nBuild() -> (sql, args), or None while no statement kind is chosen."},
    {"build_select", fastkw<build_select_method>(), METH_FASTCALL | METH_KEYWORDS,
     "build_select($self)\n--\n\nbuild_select() -> (sql, args) of the SELECT statement."},
    {"build_order", fastkw<build_order_method>(), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "build_order(orderList)\n--\n\nbuild_order(orderList) -> the ORDER BY text of a tuple of items."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"joinList", join_list_get, nullptr, "The JoinCell entries of this builder (the list itself).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// core, where, write and join methods in one table (static storage: the type
// keeps pointers into it).
std::array<PyMethodDef, 40> all_methods{};

int gather_methods() noexcept {
    std::size_t n = 0;
    for (PyMethodDef* table : {core_methods, where_methods, write_methods, join_methods, grouping_methods}) {
        for (PyMethodDef* m = table; m->ml_name; ++m) {
            if (n + 1 >= all_methods.size()) {
                PyErr_SetString(PyExc_SystemError, "SqlGenerator method table too small");
                return -1;
            }
            all_methods[n++] = *m;
        }
    }
    all_methods[n] = {nullptr, nullptr, 0, nullptr};
    return 0;
}

PyObject* own_method(const char* name) noexcept {
    PyObject* m = PyDict_GetItemString(SqlGeneratorType.tp_dict, name);
    if (!m) PyErr_Format(PyExc_SystemError, "SqlGenerator has no method %s", name);
    return m;
}

}  // namespace

PyTypeObject SqlGeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.SqlGenerator",
    .tp_basicsize = sizeof(SqlGeneratorObject),
    .tp_dealloc = builder_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "SqlGenerator()\n--\n\nSqlGenerator(): a single-use, chainable SQL statement builder.\n\n"
              "Pick one statement kind (select, insert, update, delete), name the table (From),\n"
              "add clauses and call Build() for the pair (SQL text, argument tuple).",
    .tp_traverse = builder_traverse,
    .tp_clear = builder_clear,
    .tp_methods = nullptr,
    .tp_getset = getset,
    .tp_init = builder_init,
    .tp_new = builder_new,
    .tp_vectorcall = builder_vectorcall,
};

int ready_sql_generator() noexcept {
    if (gather_methods() < 0) return -1;
    SqlGeneratorType.tp_methods = all_methods.data();
    SqlGeneratorType.tp_base = &BaseSqlGeneratorType;
    if (PyType_Ready(&SqlGeneratorType) < 0) return -1;
    own.From = own_method("From");
    own.update = own_method("update");
    own.join = own_method("join");
    if (!own.From || !own.update || !own.join) return -1;
    return register_build(&SqlGeneratorType, build_statement);
}

// ---------------------------------------------------------------------------
// Operations (also reached through the capsule)
// ---------------------------------------------------------------------------

Ref new_builder() {
    return steal(reinterpret_cast<PyObject*>(alloc_builder(&SqlGeneratorType)));
}

bool set_from(PyObject* self, PyObject* target) {
    if (PyUnicode_Check(target)) {
        replace_field(builder(self)->target, borrow(target));
        return true;
    }
    if (bound.assertions) {
        Ref data_model = module_attr(names.mod_DataModel, names.DataModel);
        if (!data_model) return false;
        int ok = 0;
        if (PyType_Check(target)) {
            ok = PyType_Check(data_model.get())
                     ? PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(target),
                                        reinterpret_cast<PyTypeObject*>(data_model.get()))
                     : PyObject_IsSubclass(target, data_model.get());
        }
        if (ok < 0) return false;
        if (!ok) {
            fail(PyExc_AssertionError, "Form仅支持字符串或者DataModel子类");
            return false;
        }
    }
    // A model's table is written as an identifier; a str target is SQL text the caller wrote.
    Ref table = attr(target, names.tableName);
    if (table) table = sql::quoted_name(table.get());
    if (!table) return false;
    replace_field(builder(self)->target, std::move(table));
    return true;
}

bool call_from(PyObject* self, PyObject* target) {
    if (Py_IS_TYPE(self, &SqlGeneratorType) || !find_override(self, names.From, own.From)) {
        return set_from(self, target);
    }
    Ref result = call_method(self, names.From, target);
    return result && check_builder_result(result.get());
}

Ref join_list(PyObject* self) {
    auto* b = builder(self);
    if (b->_joinList == Py_None || (PyList_Check(b->_joinList) && PyList_GET_SIZE(b->_joinList) == 0)) {
        Ref fresh = steal(PyList_New(0));
        if (!fresh) return {};
        replace_field(b->_joinList, std::move(fresh));
    }
    return borrow(b->_joinList);
}

Ref do_select(PyObject* self, PyObject* cols) {
    if (!PyTuple_Check(cols)) return expected_kind("tuple", cols);
    return select_items(self, &PyTuple_GET_ITEM(cols, 0), PyTuple_GET_SIZE(cols));
}

Ref do_limit(PyObject* self, int count, int offset) {
    // " limit %d, %d" without printf's format parsing (a page fetch sets one per fetch).
    constexpr std::string_view head = " limit ";
    char offset_text[12], count_text[12];
    auto offset_end = std::to_chars(offset_text, offset_text + sizeof offset_text, offset).ptr;
    auto count_end = std::to_chars(count_text, count_text + sizeof count_text, count).ptr;
    std::string text_buf;
    text_buf.reserve(head.size() + 24);
    text_buf.append(head).append(offset_text, offset_end).append(", ").append(count_text, count_end);
    Ref text = steal(PyUnicode_FromStringAndSize(text_buf.data(), static_cast<Py_ssize_t>(text_buf.size())));
    if (!text) return {};
    replace_field(builder(self)->limit, std::move(text));
    return borrow(self);
}

Ref do_order(PyObject* self, PyObject* items) {
    if (!PyTuple_Check(items)) return expected_kind("tuple", items);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
        if (!check_order_item(PyTuple_GET_ITEM(items, i))) return {};
    }
    replace_field(builder(self)->orderList, borrow(items));
    return borrow(Py_None);
}

Ref build_statement(PyObject* self) {
    switch (builder(self)->base.currentType) {
        case SELECT: return build_select(self);
        case UPDATE: return build_update(self);
        case INSERT: return build_insert(self);
        case DELETE: return build_delete(self);
        default: return borrow(Py_None);
    }
}

bool render_select(PyObject* self, Text& out, PyObject* args) {
    auto* b = builder(self);
    // The fields are held for the whole build: a tableName property or an
    // override may replace them while this runs.
    Ref cols = borrow(b->selectCol);
    Ref where_cell = borrow(b->whereCol);
    Ref target = borrow(b->target);
    Ref joins = borrow(b->_joinList);
    Ref order = borrow(b->orderList);
    Ref limit = borrow(b->limit);
    Ref group_terms = borrow(b->groupList ? b->groupList : Py_None);
    Ref having = borrow(b->havingCol ? b->havingCol : Py_None);
    out.lit("SELECT ");
    if (b->distinct) out.lit("DISTINCT ");
    if (!render_columns(cols.get(), out, args)) return false;
    bool joined = PyList_Check(joins.get()) && PyList_GET_SIZE(joins.get()) > 0;
    if (joined || !PyUnicode_Check(target.get())) {
        // The where text is made before the table and join texts, so that
        // its errors come first; it is written after them.
        Text where;
        where.memo = std::move(out.memo);
        if (!render_where(where_cell.get(), where, args)) return false;
        out.lit(" FROM ");
        if (!out.str(target.get())) return false;
        if (joined && !render_join(self, out)) return false;
        out.append(where);
    } else {
        out.lit(" FROM ");
        if (!out.str(target.get()) || !render_where(where_cell.get(), out, args)) return false;
    }
    if (!render_group_by(group_terms.get(), out, args) || !render_having(having.get(), out, args)) return false;
    return render_order(order.get(), out, args) && out.str(limit.get());
}

Ref build_select(PyObject* self) {
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    Text out;
    if (!render_select(self, out, args.get())) return {};
    out.lit(";");
    return make_pair(out, args.get());
}

bool render_order(PyObject* items, Text& out, PyObject* args) {
    if (items == Py_None) return true;
    if (!PyTuple_Check(items)) {
        expected_kind("tuple", items);
        return false;
    }
    // Held: rendering a term may run code that replaces the builder's tuple.
    Ref held = borrow(items);
    Py_ssize_t n = PyTuple_GET_SIZE(items);
    if (n == 0) return true;
    out.lit(" order by ");
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!render_order_item(PyTuple_GET_ITEM(items, i), out, args)) return false;
        if (i != n - 1) out.lit(", ");
    }
    return true;
}

Ref make_pair(Text& text, PyObject* args_list) {
    Ref s = text.finish_statement();
    if (!s) return {};
    Ref args = steal(PyList_AsTuple(args_list));
    if (!args) return {};
    return steal(PyTuple_Pack(2, s.get(), args.get()));
}

}  // namespace tsy::gen
