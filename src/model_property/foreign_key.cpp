// ForeignKey: a relation property. Declared with names or classes, resolved
// lazily (the target may be declared later) by the model layer's resolver
// in Tessary.Model.DataModel, which owns the registry of model classes.
#include "internal.hpp"

#include <cstddef>
#include <iterator>

namespace tsy::model {
namespace {

PyObject* fk_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    Ref self = steal(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    ForeignKeyObject* f = as_fk(self.get());
    for (PyObject** field : {&f->name, &f->Type, &f->owner, &f->targetSpec, &f->bindColName,
                             &f->targetBindColName, &f->middleSpec, &f->middleCols, &f->onDelete}) {
        *field = Py_NewRef(Py_None);
    }
    return self.release();
}

bool check_spec(PyObject* value, const char* arg, bool none_ok) noexcept {
    if (PyUnicode_Check(value) || PyType_Check(value) || (none_ok && value == Py_None)) return true;
    fail(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected str or model class, got %.200s)", arg,
         type_name(value));
    return false;
}

bool check_column_spec(PyObject* value, const char* arg) noexcept {
    if (PyUnicode_Check(value) || is_property(value)) return true;
    fail(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected str or BaseProperty, got %.200s)", arg,
         type_name(value));
    return false;
}

// middleCols as declared: None, or a tuple of two distinct column names (a
// str is refused: it would read as a sequence of letters).
Ref junction_column_names(PyObject* value) noexcept {
    if (value == Py_None) return borrow(value);
    if (PyUnicode_Check(value) || !(PyTuple_Check(value) || PyList_Check(value))) {
        fail(PyExc_TypeError, "Argument 'middleCols' has incorrect type (expected a pair of column names, got %.200s)",
             type_name(value));
        return {};
    }
    Ref pair = steal(PySequence_Tuple(value));
    if (!pair) return {};
    if (PyTuple_GET_SIZE(pair.get()) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(pair.get(), 0)) ||
        !PyUnicode_Check(PyTuple_GET_ITEM(pair.get(), 1))) {
        fail(PyExc_TypeError, "Argument 'middleCols' must be a pair of str (owner side, far side), got %R", value);
        return {};
    }
    int same = PyUnicode_Compare(PyTuple_GET_ITEM(pair.get(), 0), PyTuple_GET_ITEM(pair.get(), 1));
    if (same == -1 && PyErr_Occurred()) return {};
    if (same == 0) {
        fail(PyExc_ValueError, "middleCols names the junction column %R twice", PyTuple_GET_ITEM(pair.get(), 0));
        return {};
    }
    return pair;
}

const char* const kDeleteActions[] = {"CASCADE", "SET NULL", "RESTRICT", "NO ACTION"};

// onDelete as declared: None, or one of the actions in upper case; only
// meaningful with a constraint to carry it.
bool check_on_delete(PyObject* value, int constraint) noexcept {
    if (value == Py_None) return true;
    if (!PyUnicode_Check(value)) {
        fail(PyExc_TypeError, "Argument 'onDelete' has incorrect type (expected str or None, got %.200s)",
             type_name(value));
        return false;
    }
    bool known = false;
    for (const char* action : kDeleteActions) known = known || PyUnicode_CompareWithASCIIString(value, action) == 0;
    if (!known) {
        fail(PyExc_ValueError, "onDelete must be one of 'CASCADE', 'SET NULL', 'RESTRICT', 'NO ACTION', got %R", value);
        return false;
    }
    if (!constraint) {
        fail(PyExc_ValueError, "onDelete=%R needs constraint=True: without a constraint nothing acts on delete", value);
        return false;
    }
    return true;
}

enum FkParam { TYPE, TARGET, BIND_COL, TARGET_BIND_COL, MIDDLE_MODEL, MIDDLE_COLS, CONSTRAINT, ON_DELETE, FK_PARAMS };
const char* const kFkParams[FK_PARAMS] = {"Type", "target", "bindCol", "targetBindCol", "middleModel", "middleCols",
                                          "constraint", "onDelete"};
constexpr Py_ssize_t kFkPositional = CONSTRAINT;  // constraint and onDelete are keywords only

int fk_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kFkParams, FK_PARAMS, 4};
    if (PyTuple_GET_SIZE(args) > kFkPositional) return arg_count_error("__init__", 4, kFkPositional, PyTuple_GET_SIZE(args));
    PyObject* out[FK_PARAMS];
    Ref kwnames, values;
    if (!parse_tuple(params, args, kwargs, out, kwnames, values)) return -1;
    int constraint = out[CONSTRAINT] ? truth(out[CONSTRAINT]) : 0;
    if (constraint < 0) return -1;
    PyObject* on_delete = out[ON_DELETE] ? out[ON_DELETE] : Py_None;
    if (!check_on_delete(on_delete, constraint)) return -1;
    PyObject* middle = out[4] ? out[4] : Py_None;
    Ref kind = call(ForeignTypeEnum, out[0]);
    if (!kind) return -1;
    if (!check_spec(out[1], "target", false) || !check_column_spec(out[2], "bindCol") ||
        !check_column_spec(out[3], "targetBindCol") || !check_spec(middle, "middleModel", true)) {
        return -1;
    }
    Ref middle_cols = junction_column_names(out[5] ? out[5] : Py_None);
    if (!middle_cols) return -1;
    if (middle != Py_None && PyLong_AsLong(kind.get()) != 2) {
        return fail(PyExc_ValueError, "middleModel is only meaningful for a MANY_TO_MANY relation");
    }
    if (middle_cols.get() != Py_None && PyLong_AsLong(kind.get()) != 2) {
        return fail(PyExc_ValueError, "middleCols is only meaningful for a MANY_TO_MANY relation");
    }
    ForeignKeyObject* f = as_fk(self);
    set_field(f->Type, kind.get());
    set_field(f->targetSpec, out[1]);
    set_field(f->bindColName, out[2]);
    set_field(f->targetBindColName, out[3]);
    set_field(f->middleSpec, middle);
    set_field(f->middleCols, middle_cols.get());
    f->constraint = constraint;
    set_field(f->onDelete, on_delete);
    for (PyObject** field :
         {&f->target, &f->bindCol, &f->targetBindCol, &f->directTarget, &f->middleModel, &f->farLink}) {
        Py_CLEAR(*field);
    }
    return 0;
}

int fk_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    ForeignKeyObject* f = as_fk(self);
    Py_VISIT(f->name);
    Py_VISIT(f->Type);
    Py_VISIT(f->owner);
    Py_VISIT(f->targetSpec);
    Py_VISIT(f->bindColName);
    Py_VISIT(f->targetBindColName);
    Py_VISIT(f->middleSpec);
    Py_VISIT(f->middleCols);
    Py_VISIT(f->target);
    Py_VISIT(f->bindCol);
    Py_VISIT(f->targetBindCol);
    Py_VISIT(f->directTarget);
    Py_VISIT(f->middleModel);
    Py_VISIT(f->farLink);
    Py_VISIT(f->onDelete);
    return 0;
}

int fk_clear(PyObject* self) noexcept {
    ForeignKeyObject* f = as_fk(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->Type);
    Py_CLEAR(f->owner);
    Py_CLEAR(f->targetSpec);
    Py_CLEAR(f->bindColName);
    Py_CLEAR(f->targetBindColName);
    Py_CLEAR(f->middleSpec);
    Py_CLEAR(f->middleCols);
    Py_CLEAR(f->target);
    Py_CLEAR(f->bindCol);
    Py_CLEAR(f->targetBindCol);
    Py_CLEAR(f->directTarget);
    Py_CLEAR(f->middleModel);
    Py_CLEAR(f->farLink);
    Py_CLEAR(f->onDelete);
    return 0;
}

void fk_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    fk_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* fk_repr(PyObject* self) noexcept {
    ForeignKeyObject* f = as_fk(self);
    return PyUnicode_FromFormat("ForeignKey(%R, %R, bindCol=%R, targetBindCol=%R, name=%R)", f->Type,
                                f->targetSpec, f->bindColName, f->targetBindColName, f->name);
}

// The resolver lives in the model module, which is loaded whenever a
// relation is bound (only its metaclass binds relations).
int ensure_resolved(PyObject* self) noexcept {
    ForeignKeyObject* f = as_fk(self);
    if (f->target) return 0;
    if (f->owner == Py_None) {
        return fail(PyExc_AttributeError, "ForeignKey %R is not declared in a model class yet", f->targetSpec);
    }
    static const ModelApi* api = nullptr;
    if (!api && !(api = import_model_api())) return -1;
    return api->resolveForeignKey(self);
}

template <std::size_t Offset>
PyObject* get_resolved(PyObject* self, void*) noexcept {
    if (ensure_resolved(self) < 0) return nullptr;
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(value ? value : Py_None);
}

PyObject* get_constraint(PyObject* self, void*) noexcept { return PyBool_FromLong(as_fk(self)->constraint); }

// The action of the constraint: as declared, else "NO ACTION"; None without a constraint.
PyObject* get_on_delete(PyObject* self, void*) noexcept {
    ForeignKeyObject* f = as_fk(self);
    if (!f->constraint) Py_RETURN_NONE;
    if (f->onDelete && f->onDelete != Py_None) return Py_NewRef(f->onDelete);
    return PyUnicode_FromString("NO ACTION");
}

PyGetSetDef fk_getset[] = {
    {"constraint", get_constraint, nullptr,
     "True when a FOREIGN KEY constraint is written in the table holding the key column.", nullptr},
    {"onDelete", get_on_delete, nullptr,
     "The constraint's ON DELETE action ('CASCADE', 'SET NULL', 'RESTRICT', 'NO ACTION'); None without one.",
     nullptr},
    {"target", get_resolved<offsetof(ForeignKeyObject, target)>, nullptr,
     "The related model; for MANY_TO_MANY the junction model.", nullptr},
    {"bindCol", get_resolved<offsetof(ForeignKeyObject, bindCol)>, nullptr,
     "The owner's column property that identifies the related rows.", nullptr},
    {"targetBindCol", get_resolved<offsetof(ForeignKeyObject, targetBindCol)>, nullptr,
     "The column property of `target` equal to the owner's bind value.", nullptr},
    {"directTarget", get_resolved<offsetof(ForeignKeyObject, directTarget)>, nullptr,
     "The model at the far side of the relation.", nullptr},
    {"middleModel", get_resolved<offsetof(ForeignKeyObject, middleModel)>, nullptr,
     "The junction model of a MANY_TO_MANY relation, else None.", nullptr},
    {"farLink", get_resolved<offsetof(ForeignKeyObject, farLink)>, nullptr,
     "MANY_TO_MANY: the relation from the far model into the junction; else None.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef fk_members[] = {
    {"name", Py_T_OBJECT_EX, offsetof(ForeignKeyObject, name), Py_READONLY,
     "Key of the relation in owner instances (the attribute name)."},
    {"Type", Py_T_OBJECT_EX, offsetof(ForeignKeyObject, Type), Py_READONLY, "A ForeignType member."},
    {"owner", Py_T_OBJECT_EX, offsetof(ForeignKeyObject, owner), Py_READONLY, "The declaring model class."},
    {"middleCols", Py_T_OBJECT_EX, offsetof(ForeignKeyObject, middleCols), Py_READONLY,
     "The junction's (owner side, far side) column names as declared, or None."},
    {nullptr, 0, 0, 0, nullptr},
};

const char* const kItemNames[] = {"name", "Type", "owner", "bindCol", "target", "targetBindCol", "directTarget",
                                  "middleModel"};

bool is_item_name(PyObject* key) noexcept {
    if (!PyUnicode_Check(key)) return false;
    for (const char* name : kItemNames) {
        if (PyUnicode_CompareWithASCIIString(key, name) == 0) return true;
    }
    return false;
}

// fk["name"] is fk.name, for the attributes listed above only.
PyObject* fk_getitem(PyObject* self, PyObject* key) noexcept {
    if (!is_item_name(key)) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return PyObject_GetAttr(self, key);
}

int fk_contains(PyObject*, PyObject* key) noexcept { return is_item_name(key); }

PyObject* fk_keys(PyObject*, PyObject*) {
    Ref keys = steal(PyTuple_New(std::size(kItemNames)));
    if (!keys) return nullptr;
    for (std::size_t i = 0; i < std::size(kItemNames); ++i) {
        PyObject* name = PyUnicode_FromString(kItemNames[i]);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(keys.get(), i, name);
    }
    return keys.release();
}

PyMappingMethods fk_as_mapping = {
    .mp_subscript = fk_getitem,
};

PySequenceMethods fk_as_sequence = {
    .sq_contains = fk_contains,
};

PyMethodDef fk_methods[] = {
    {"keys", entry<fk_keys>, METH_NOARGS, "The names readable as items."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject ForeignKeyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty.ForeignKey",
    .tp_basicsize = sizeof(ForeignKeyObject),
    .tp_dealloc = fk_dealloc,
    .tp_repr = fk_repr,
    .tp_as_sequence = &fk_as_sequence,
    .tp_as_mapping = &fk_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "ForeignKey(Type, target, bindCol, targetBindCol, middleModel=None, middleCols=None, *, "
              "constraint=False, onDelete=None)\n--\n\n"
              "ForeignKey(Type, target, bindCol, targetBindCol, middleModel=None, middleCols=None, *, "
              "constraint=False, onDelete=None): a relation property.\n"
              "`target` is a model class or its name (resolved on first use); readable as attributes and items.",
    .tp_traverse = fk_traverse,
    .tp_clear = fk_clear,
    .tp_methods = fk_methods,
    .tp_members = fk_members,
    .tp_getset = fk_getset,
    .tp_init = fk_init,
    .tp_new = fk_new,
};

PyObject* clone_foreign_key(PyObject* fk) noexcept {
    PyTypeObject* type = Py_TYPE(fk);
    Ref no_args = steal(PyTuple_New(0));
    if (!no_args) return nullptr;
    Ref copy = steal(type->tp_new(type, no_args.get(), nullptr));
    if (!copy) return nullptr;
    ForeignKeyObject* from = as_fk(fk);
    ForeignKeyObject* to = as_fk(copy.get());
    set_field(to->name, from->name);
    set_field(to->Type, from->Type);
    set_field(to->owner, from->owner);
    set_field(to->targetSpec, from->targetSpec);
    set_field(to->bindColName, from->bindColName);
    set_field(to->targetBindColName, from->targetBindColName);
    set_field(to->middleSpec, from->middleSpec);
    set_field(to->middleCols, from->middleCols);
    to->constraint = from->constraint;
    set_field(to->onDelete, from->onDelete);
    return copy.release();
}

int ready_foreign_key(PyObject* module) noexcept { return add_type(module, &ForeignKeyType, "ForeignKey"); }

}  // namespace tsy::model
