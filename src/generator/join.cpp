// Joins of a SELECT: JoinCell, the join methods of SqlGenerator and the join
// text rendered between the table name and the where text.
#include "internal.hpp"

namespace tsy::gen {

namespace {

constexpr const char* kJoinKeywords[] = {"JOIN ", "LEFT JOIN ", "RIGHT JOIN ", "INNER JOIN "};

JoinCellObject* join_cell(PyObject* o) noexcept { return reinterpret_cast<JoinCellObject*>(o); }

PyObject* cell_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) {
        join_cell(self)->Type = JOIN;
        join_cell(self)->key = Py_NewRef(Py_None);
    }
    return self;
}

const char* const kCellParams[] = {"fk", "joinType"};

int cell_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kCellParams, 2, 1};
    PyObject* values[2];
    Ref kwnames, holder;
    if (!parse_tuple(params, args, kwargs, values, kwnames, holder)) return -1;
    int type = JOIN;
    if (values[1] && !to_int(values[1], &type)) return -1;
    join_cell(self)->Type = type;
    replace_field(join_cell(self)->key, borrow(values[0]));
    return 0;
}

int cell_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(join_cell(self)->key);
    return 0;
}

int cell_clear(PyObject* self) noexcept {
    Py_CLEAR(join_cell(self)->key);
    return 0;
}

void cell_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    cell_clear(self);
    Py_TYPE(self)->tp_free(self);
}

Ref make_join_cell(PyObject* fk, int type) {
    Ref self = steal(cell_new(&JoinCellType, nullptr, nullptr));
    if (!self) return {};
    join_cell(self.get())->Type = type;
    replace_field(join_cell(self.get())->key, borrow(fk));
    return self;
}

// "       LEFT JOIN target on owner.bind = target.targetBind\n"
bool render_entry(PyObject* entry, Text& out) {
    if (!check_convert(entry, &JoinCellType, false)) return false;
    const char* keyword = join_keyword(join_cell(entry)->Type);
    if (!keyword) {
        concat_error(Py_None);
        return false;
    }
    Ref fk = borrow(join_cell(entry)->key);
    Ref target = attr(fk.get(), names.target);
    if (!target) return false;
    Ref target_table = attr(target.get(), names.tableName);
    if (!target_table) return false;
    Ref owner = attr(fk.get(), names.owner);
    if (!owner) return false;
    Ref owner_table = attr(owner.get(), names.tableName);
    if (!owner_table) return false;
    Ref bind = attr(fk.get(), names.bindCol);
    if (!bind) return false;
    Ref bind_name = name_of(bind.get());
    if (!bind_name) return false;
    Ref target_bind = attr(fk.get(), names.targetBindCol);
    if (!target_bind) return false;
    Ref target_bind_name = name_of(target_bind.get());
    if (!target_bind_name) return false;

    out.lit("       ");
    out.raw(keyword);
    if (!out.ident(target_table.get())) return false;
    out.lit(" on ");
    if (!out.ident(owner_table.get())) return false;
    out.lit(".");
    if (!out.ident(bind_name.get())) return false;
    out.lit(" = ");
    if (!out.ident(target_table.get())) return false;
    out.lit(".");
    if (!out.ident(target_bind_name.get())) return false;
    out.lit("\n");
    return true;
}

// ---------------------------------------------------------------------------
// Methods
// ---------------------------------------------------------------------------

const char* const kJoinParams[] = {"foreignKey", "joinType"};
const char* const kKeyParams[] = {"foreignKey"};

PyObject* join_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"join", kJoinParams, 2, 1};
    PyObject* values[2];
    if (!parse(params, args, nargs, kwnames, values)) return nullptr;
    int type = JOIN;
    if (values[1] && !to_int(values[1], &type)) return nullptr;
    return do_join(self, values[0], type).release();
}

template <int Type>
PyObject* typed_join_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const func = Type == LEFT ? "leftJoin" : Type == RIGHT ? "rightJoin" : "innerJoin";
    static const Params params{func, kKeyParams, 1, 1};
    PyObject* fk;
    if (!parse(params, args, nargs, kwnames, &fk)) return nullptr;
    Ref result = call_join(self, fk, Type);
    return result.release();
}

PyObject* build_join_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("build_join", nargs, kwnames)) return nullptr;
    return build_join_text(self).release();
}

}  // namespace

PyMethodDef join_methods[] = {
    {"join", fastkw<join_method>(), METH_FASTCALL | METH_KEYWORDS,
     "join($self, foreignKey, joinType=0)\n--\n\njoin the table a relation property leads to\n"
     "(two joins through the junction model of a many-to-many relation)."},
    {"leftJoin", fastkw<typed_join_method<LEFT>>(), METH_FASTCALL | METH_KEYWORDS,
     "leftJoin($self, foreignKey)\n--\n\njoin(foreignKey, 1)."},
    {"rightJoin", fastkw<typed_join_method<RIGHT>>(), METH_FASTCALL | METH_KEYWORDS,
     "rightJoin($self, foreignKey)\n--\n\njoin(foreignKey, 2)."},
    {"innerJoin", fastkw<typed_join_method<INNER>>(), METH_FASTCALL | METH_KEYWORDS,
     "innerJoin($self, foreignKey)\n--\n\njoin(foreignKey, 3)."},
    {"build_join", fastkw<build_join_method>(), METH_FASTCALL | METH_KEYWORDS,
     "build_join($self)\n--\n\nbuild_join() -> the join text, one line per join."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject JoinCellType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.JoinCell",
    .tp_basicsize = sizeof(JoinCellObject),
    .tp_dealloc = cell_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "JoinCell(fk, joinType=0)\n--\n\nJoinCell(fk, joinType=0): one join of a SELECT.",
    .tp_traverse = cell_traverse,
    .tp_clear = cell_clear,
    .tp_init = cell_init,
    .tp_new = cell_new,
};

int ready_join_cell() noexcept { return PyType_Ready(&JoinCellType); }

const char* join_keyword(int type) noexcept {
    if (type < 0 || type >= static_cast<int>(std::size(kJoinKeywords))) return nullptr;
    return kJoinKeywords[type];
}

Ref make_join_type_map() {
    Ref map = steal(PyDict_New());
    if (!map) return {};
    for (int type = 0; type < static_cast<int>(std::size(kJoinKeywords)); ++type) {
        Ref key = steal(PyLong_FromLong(type));
        Ref value = steal(PyUnicode_FromString(kJoinKeywords[type]));
        if (!key || !value || PyDict_SetItem(map.get(), key.get(), value.get()) < 0) return {};
    }
    return map;
}

Ref do_join(PyObject* self, PyObject* fk, int type) {
    Ref entries = join_list(self);
    if (!entries) return {};
    Ref first = make_join_cell(fk, type);
    if (!first || PyList_Append(entries.get(), first.get()) < 0) return {};
    Ref target = attr(fk, names.target);
    if (!target) return {};
    Ref direct = attr(fk, names.directTarget);
    if (!direct) return {};
    if (target.get() != direct.get()) {
        Ref owner = attr(fk, names.owner);
        if (!owner) return {};
        Ref onward = call_method(target.get(), names.getOtherFkBy, owner.get());
        if (!onward) return {};
        Ref second = make_join_cell(onward.get(), type);
        if (!second || PyList_Append(entries.get(), second.get()) < 0) return {};
    }
    return borrow(self);
}

Ref call_join(PyObject* self, PyObject* fk, int type) {
    if (Py_IS_TYPE(self, &SqlGeneratorType) || !find_override(self, names.join, own.join)) {
        return do_join(self, fk, type);
    }
    Ref code = steal(PyLong_FromLong(type));
    if (!code) return {};
    Ref result = call_method(self, names.join, fk, code.get());
    if (result && !check_builder_result(result.get())) return {};
    return result;
}

bool render_join(PyObject* self, Text& out) {
    Ref entries = borrow(builder(self)->_joinList);
    out.lit("\n");
    if (!PyList_Check(entries.get())) return true;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        Ref entry = borrow(PyList_GET_ITEM(entries.get(), i));
        if (!render_entry(entry.get(), out)) return false;
    }
    return true;
}

Ref build_join_text(PyObject* self) {
    Text out;
    if (!render_join(self, out)) return {};
    return out.finish();
}

}  // namespace tsy::gen
