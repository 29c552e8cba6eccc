// ModelMeta: the metaclass of model classes. Creating a class binds its
// column and relation properties in declaration order and stores `col`,
// `fk`, `pkCol`, `pkName`, `tableName` and `indexes`; calling a class makes a
// ModelInstance, not an instance of the class.
#include "internal.hpp"

#include <vector>

namespace tsy::model {
namespace {

struct Member {
    Ref name;
    Ref object;
    bool column;
    bool needs_attribute;  // a copy made for this class: set it on the class
};

using Members = std::vector<Member>;

bool is_relation(PyObject* o) noexcept { return PyObject_TypeCheck(o, property_api->ForeignKey); }

// Class attributes the metaclass writes itself.
bool is_reserved(PyObject* name) noexcept {
    for (const char* reserved : {"col", "fk", "pkCol", "pkName", "tableName", "indexes"}) {
        if (PyUnicode_CompareWithASCIIString(name, reserved) == 0) return true;
    }
    return false;
}

Members::iterator find_member(Members& members, PyObject* name) noexcept {
    for (auto it = members.begin(); it != members.end(); ++it) {
        if (PyUnicode_Compare(it->name.get(), name) == 0) return it;
    }
    return members.end();
}

PyObject*& name_field(PyObject* o, bool column) noexcept {
    return column ? reinterpret_cast<PropertyObject*>(o)->name : reinterpret_cast<ForeignKeyObject*>(o)->name;
}

PyObject*& owner_field(PyObject* o, bool column) noexcept {
    return column ? reinterpret_cast<PropertyObject*>(o)->owner : reinterpret_cast<ForeignKeyObject*>(o)->owner;
}

// A property already bound (to another class, or under another name here)
// is copied, so that each class owns its own columns.
Ref bind(PyObject* cls, PyObject* name, PyObject* object, bool column, bool* copied) noexcept {
    PyObject* owner = owner_field(object, column);
    *copied = owner != Py_None && !(owner == cls && name_field(object, column) == name);
    Ref bound = *copied ? steal(column ? property_api->cloneProperty(object) : property_api->cloneForeignKey(object))
                        : borrow(object);
    if (!bound) return {};
    set_field(name_field(bound.get(), column), name);
    set_field(owner_field(bound.get(), column), cls);
    return bound;
}

// Columns and relations of model bases come first, in base order.
int collect_inherited(PyObject* cls, Members& members) noexcept {
    PyObject* bases = reinterpret_cast<PyTypeObject*>(cls)->tp_bases;
    for (Py_ssize_t b = 0; bases && b < PyTuple_GET_SIZE(bases); ++b) {
        PyObject* base = PyTuple_GET_ITEM(bases, b);
        if (!is_model(base)) continue;
        Ref info = model_info(base);
        if (!info) return -1;
        for (bool column : {true, false}) {
            PyObject* items = column ? as_info(info.get())->cols : as_info(info.get())->fks;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items); ++i) {
                PyObject* item = PyTuple_GET_ITEM(items, i);
                PyObject* name = name_field(item, column);
                if (find_member(members, name) != members.end()) continue;
                bool copied = false;
                Ref bound = bind(cls, name, item, column, &copied);
                if (!bound) return -1;
                members.push_back({borrow(name), std::move(bound), column, true});
            }
        }
    }
    return 0;
}

// The class body, in declaration order. A body entry replaces an inherited
// member of the same name in place; a plain attribute removes it.
int collect_body(PyObject* cls, Members& members) noexcept {
    Ref items = steal(PyDict_Items(reinterpret_cast<PyTypeObject*>(cls)->tp_dict));
    if (!items) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        PyObject* value = PyTuple_GET_ITEM(pair, 1);
        if (!PyUnicode_Check(name)) continue;
        bool column = PyObject_TypeCheck(value, property_api->BaseProperty);
        auto inherited = find_member(members, name);
        if (!column && !is_relation(value)) {
            if (inherited != members.end()) members.erase(inherited);
            continue;
        }
        if (is_reserved(name)) {
            return fail(PyExc_ValueError, "%.200s: '%U' is reserved and cannot name a column or relation",
                        reinterpret_cast<PyTypeObject*>(cls)->tp_name, name);
        }
        bool copied = false;
        Ref bound = bind(cls, name, value, column, &copied);
        if (!bound) return -1;
        Member member{borrow(name), std::move(bound), column, copied};
        if (inherited != members.end() && inherited->column == column) {
            *inherited = std::move(member);
        } else {
            if (inherited != members.end()) members.erase(inherited);
            members.push_back(std::move(member));
        }
    }
    return 0;
}

Ref tuple_of(const Members& members, bool column) noexcept {
    Ref list = steal(PyList_New(0));
    if (!list) return {};
    for (const Member& m : members) {
        if (m.column == column && PyList_Append(list.get(), m.object.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(list.get()));
}

Ref primary_key(PyObject* cls, PyObject* cols) noexcept {
    Ref pk = borrow(Py_None);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols, i);
        if (!reinterpret_cast<PropertyObject*>(col)->isPrimaryKey) continue;
        if (pk.get() != Py_None) {
            fail(PyExc_ValueError, "%.200s declares more than one primary key (%S and %S)",
                 reinterpret_cast<PyTypeObject*>(cls)->tp_name, reinterpret_cast<PropertyObject*>(pk.get())->name,
                 reinterpret_cast<PropertyObject*>(col)->name);
            return {};
        }
        pk = borrow(col);
    }
    return pk;
}

// The class's own `tableName`, else its name in lower case.
Ref table_name(PyObject* cls) noexcept {
    PyObject* own = nullptr;
    if (PyDict_GetItemRef(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, names.tableName, &own) < 0) return {};
    Ref given = steal(own);
    if (given) {
        if (PyUnicode_Check(given.get())) return given;
        fail(PyExc_TypeError, "tableName must be a str, got %.200s", type_name(given.get()));
        return {};
    }
    Ref name = attr(cls, "__name__");
    return name ? call_method(name.get(), names.lower) : Ref();
}

// Static model bases are immutable types: their dict is written directly.
int store(PyObject* cls, PyObject* name, PyObject* value) noexcept {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE) return PyObject_SetAttr(cls, name, value);
    if (PyDict_SetItem(type->tp_dict, name, value) < 0) return -1;
    PyType_Modified(type);
    return 0;
}

int set_attr(PyObject* cls, const char* name, PyObject* value) noexcept {
    Ref key = steal(PyUnicode_InternFromString(name));
    return key ? store(cls, key.get(), value) : -1;
}

PyObject* meta_call(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    return make_instance(cls, args, kwargs);
}

// Attribute reads that miss give pending many-to-many relations towards
// this class a chance to install the attribute named after their owner.
PyObject* meta_getattro(PyObject* cls, PyObject* name) noexcept {
    PyObject* found = PyType_Type.tp_getattro(cls, name);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError) || !PyUnicode_Check(name)) return found;
    if (PyUnicode_GET_LENGTH(name) > 1 && PyUnicode_READ_CHAR(name, 0) == '_' && PyUnicode_READ_CHAR(name, 1) == '_') {
        return nullptr;
    }
    Ref missing = steal(PyErr_GetRaisedException());
    if (!resolve_relations_towards(cls)) {
        PyErr_SetRaisedException(missing.release());
        return nullptr;
    }
    return PyType_Type.tp_getattro(cls, name);
}

int meta_init(PyObject* cls, PyObject* args, PyObject* kwargs) noexcept {
    if (PyType_Type.tp_init(cls, args, kwargs) < 0) return -1;
    return setup_model(cls);
}

PyObject* get_foreign_key_constraints(PyObject* cls, void*) noexcept { return foreign_key_constraints(cls); }

PyGetSetDef meta_getset[] = {
    {"foreignKeyConstraints", get_foreign_key_constraints, nullptr,
     "The FOREIGN KEY constraints written in this model's table: a tuple of (name, column, refTable,\n"
     "refColumn, onDelete), from the relations declared with constraint=True on any model whose key\n"
     "column is in this table. Computed when read (targets may be declared later).",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ModelMetaType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel.ModelMeta",
    // Model classes are called through their tp_vectorcall (see setup_model).
    .tp_vectorcall_offset = offsetof(PyTypeObject, tp_vectorcall),
    .tp_call = meta_call,
    .tp_getattro = meta_getattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_doc = "Metaclass of model classes: binds the declared columns and relations; calling a model class\n"
              "with a driver row, a mapping or keyword arguments returns a ModelInstance.",
    .tp_getset = meta_getset,
    .tp_init = meta_init,
};

int setup_model(PyObject* cls) noexcept {
    Members members;
    if (collect_inherited(cls, members) < 0 || collect_body(cls, members) < 0) return -1;
    Ref cols = tuple_of(members, true);
    Ref fks = tuple_of(members, false);
    if (!cols || !fks) return -1;
    Ref pk = primary_key(cls, cols.get());
    Ref table = pk ? table_name(cls) : Ref();
    if (!table) return -1;
    PyObject* pk_name = pk.get() == Py_None ? Py_None : reinterpret_cast<PropertyObject*>(pk.get())->name;
    Ref info = make_model_info(cls, cols.get(), fks.get());
    Ref indexes = info ? model_indexes(cls, cols.get()) : Ref();
    if (!indexes) return -1;
    for (const Member& m : members) {
        if (m.needs_attribute && store(cls, m.name.get(), m.object.get()) < 0) return -1;
    }
    if (set_attr(cls, "col", cols.get()) < 0 || set_attr(cls, "fk", fks.get()) < 0 ||
        set_attr(cls, "pkCol", pk.get()) < 0 || set_attr(cls, "pkName", pk_name) < 0 ||
        set_attr(cls, "tableName", table.get()) < 0 || store(cls, names.indexes, indexes.get()) < 0 ||
        store(cls, names.modelInfo, info.get()) < 0) {
        return -1;
    }
    // Calling the class skips the tuple and dict of tp_call unless a
    // metaclass of the application's replaces the call.
    if (Py_TYPE(cls)->tp_call == meta_call) reinterpret_cast<PyTypeObject*>(cls)->tp_vectorcall = model_vectorcall;
    return register_model(cls);
}

int ready_model_meta() noexcept {
    ModelMetaType.tp_base = &PyType_Type;
    return PyType_Ready(&ModelMetaType);
}

}  // namespace tsy::model
