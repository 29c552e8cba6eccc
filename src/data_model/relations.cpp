// Resolution of relation properties: the registry of model classes (weak
// references, so that models can be collected), forward references by class
// name, generated junction models of many-to-many relations, and the
// relation attribute the far model of a many-to-many relation receives.
#include "internal.hpp"

namespace tsy::model {
namespace {

// List of weak references to every model class, in creation order. Also
// stored in the module (`_models`), which keeps it alive.
PyObject* registry = nullptr;

ForeignKeyObject* as_fk(PyObject* o) noexcept { return reinterpret_cast<ForeignKeyObject*>(o); }
PropertyObject* as_prop(PyObject* o) noexcept { return reinterpret_cast<PropertyObject*>(o); }
const char* class_name(PyObject* cls) noexcept { return reinterpret_cast<PyTypeObject*>(cls)->tp_name; }

enum { ONE_TO_ONE = 0, ONE_TO_MANY = 1, MANY_TO_MANY = 2 };

// -1 for a relation made without __init__ (its Type is still None).
int kind_of(PyObject* fk) noexcept {
    PyObject* type = as_fk(fk)->Type;
    return PyLong_Check(type) ? static_cast<int>(PyLong_AsLong(type)) : -1;
}

Ref module_of(PyObject* cls) noexcept { return attr(cls, "__module__"); }

// The newest model class called `name`, preferring the owner's module.
Ref find_model(PyObject* name, PyObject* owner) noexcept {
    Ref models = live_models();
    Ref owner_module = models ? module_of(owner) : Ref();
    if (!owner_module) return {};
    Ref elsewhere;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(models.get()); ++i) {
        PyObject* cls = PyList_GET_ITEM(models.get(), i);
        Ref info = model_info(cls);
        if (!info) return {};
        int same = PyObject_RichCompareBool(as_info(info.get())->className, name, Py_EQ);
        if (same < 0) return {};
        if (!same) continue;
        Ref module = module_of(cls);
        if (!module) return {};
        int here = PyObject_RichCompareBool(module.get(), owner_module.get(), Py_EQ);
        if (here < 0) return {};
        if (here) return borrow(cls);
        if (!elsewhere) elsewhere = borrow(cls);
    }
    if (!elsewhere) {
        PyErr_Format(PyExc_NameError, "no model class named '%U' is defined (relation declared in %.200s)", name,
                     class_name(owner));
    }
    return elsewhere;
}

Ref resolve_spec(PyObject* spec, PyObject* owner) noexcept {
    if (PyUnicode_Check(spec)) return find_model(spec, owner);
    if (is_model(spec)) return borrow(spec);
    fail(PyExc_TypeError, "a relation of %.200s names %.200s, which is not a model class", class_name(owner),
         type_name(spec));
    return {};
}

// The column property of `model` named by `spec` (a name or a property).
Ref find_column(PyObject* model, PyObject* spec, PyObject* fk) noexcept {
    PyObject* name = PyUnicode_Check(spec) ? spec : as_prop(spec)->name;
    Ref info = model_info(model);
    if (!info) return {};
    PyObject* cols = as_info(info.get())->cols;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols, i);
        int same = PyObject_RichCompareBool(as_prop(col)->name, name, Py_EQ);
        if (same < 0) return {};
        if (same) return borrow(col);
    }
    PyErr_Format(PyExc_AttributeError, "model %.200s has no column %R (relation %R of %.200s)", class_name(model), name,
                 as_fk(fk)->name, class_name(as_fk(fk)->owner));
    return {};
}

// Fills the resolved fields; `target` last, since it marks the relation as
// resolved.
void fill(PyObject* fk, PyObject* target, PyObject* bind_col, PyObject* target_bind_col, PyObject* direct,
          PyObject* middle, PyObject* far_link = Py_None) noexcept {
    ForeignKeyObject* f = as_fk(fk);
    set_field(f->bindCol, bind_col);
    set_field(f->targetBindCol, target_bind_col);
    set_field(f->directTarget, direct);
    set_field(f->middleModel, middle);
    set_field(f->farLink, far_link);
    set_field(f->target, target);
}

Ref foreign_type(int kind) noexcept {
    Ref code = steal(PyLong_FromLong(kind));
    return code ? call(ForeignTypeEnum, code.get()) : Ref();
}

// A relation property made here, already resolved.
Ref make_relation(int kind, PyObject* name, PyObject* owner, PyObject* target, PyObject* bind_col,
                  PyObject* target_bind_col, PyObject* direct) noexcept {
    Ref type = foreign_type(kind);
    if (!type) return {};
    Ref fk = call(reinterpret_cast<PyObject*>(property_api->ForeignKey), type.get(), target, as_prop(bind_col)->name,
                  as_prop(target_bind_col)->name);
    if (!fk) return {};
    set_field(as_fk(fk.get())->name, name);
    set_field(as_fk(fk.get())->owner, owner);
    fill(fk.get(), target, bind_col, target_bind_col, direct, Py_None);
    return fk;
}

// A junction column like `like`: same column class and type parameters,
// not null, no default, not a key.
Ref junction_column(PyObject* like) noexcept {
    PyTypeObject* type = Py_TYPE(like);
    while (type->tp_flags & Py_TPFLAGS_HEAPTYPE) type = type->tp_base;
    return steal(PyObject_Call(reinterpret_cast<PyObject*>(type), as_prop(like)->typeArgs, nullptr));
}

// The keywords of a junction's relation to one side: a constraint when the
// many-to-many relation `fk` asks for them (ON DELETE CASCADE unless it
// names an action), else none (NULL without an error).
Ref junction_constraint(PyObject* fk) noexcept {
    ForeignKeyObject* f = as_fk(fk);
    if (!f->constraint) return {};
    if (f->onDelete != Py_None) return steal(Py_BuildValue("{sOsO}", "constraint", Py_True, "onDelete", f->onDelete));
    return steal(Py_BuildValue("{sOss}", "constraint", Py_True, "onDelete", "CASCADE"));
}

// A junction's relation to one side: the junction column `key` holds the
// side's `side_col`.
Ref junction_relation(PyObject* fk, PyObject* side, PyObject* key, PyObject* side_col) noexcept {
    Ref args = steal(Py_BuildValue("(NOOO)", foreign_type(ONE_TO_ONE).release(), side, key, as_prop(side_col)->name));
    Ref kwargs = junction_constraint(fk);
    if (!args || (as_fk(fk)->constraint && !kwargs)) return {};
    return steal(PyObject_Call(reinterpret_cast<PyObject*>(property_api->ForeignKey), args.get(), kwargs.get()));
}

// class <owner>_<far>(MiddleDataModel) with the columns `owner_key` and
// `far_key` (<owner>_id and <far>_id unless middleCols names them) and a
// relation to each side named after its table, carrying the constraints of
// `fk` if it has them. A junction of a table with itself has no relations:
// both would bear the one table name.
Ref make_junction(PyObject* fk, PyObject* owner, PyObject* far, PyObject* owner_col, PyObject* far_col,
                  PyObject* owner_table, PyObject* far_table, PyObject* owner_key, PyObject* far_key) noexcept {
    Ref name = steal(PyUnicode_FromFormat("%U_%U", owner_table, far_table));
    Ref module = module_of(owner);
    Ref owner_column = junction_column(owner_col);
    Ref far_column = junction_column(far_col);
    if (!name || !module || !owner_column || !far_column) return {};
    Ref to_owner = junction_relation(fk, owner, owner_key, owner_col);
    Ref to_far = to_owner ? junction_relation(fk, far, far_key, far_col) : Ref();
    if (!to_far) return {};
    Ref body = steal(Py_BuildValue("{sOsOsOOOOO}", "__module__", module.get(), "__qualname__", name.get(),
                                   "tableName", name.get(), owner_key, owner_column.get(), far_key, far_column.get()));
    Ref bases = steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&MiddleDataModelType)));
    if (!body || !bases) return {};
    int same_table = PyUnicode_Compare(owner_table, far_table);
    if (same_table == -1 && PyErr_Occurred()) return {};
    if (same_table != 0 && (PyDict_SetItem(body.get(), owner_table, to_owner.get()) < 0 ||
                            PyDict_SetItem(body.get(), far_table, to_far.get()) < 0)) {
        return {};
    }
    return call(reinterpret_cast<PyObject*>(&ModelMetaType), name.get(), bases.get(), body.get());
}

bool has_link_to(PyObject* links, PyObject* target) noexcept {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(links); ++i) {
        if (as_fk(PyList_GET_ITEM(links, i))->target == target) return true;
    }
    return false;
}

// A junction given by the application that declares no relations of its
// own still answers getOtherFkBy: it is linked to both sides here.
int link_junction(PyObject* junction, PyObject* side, PyObject* side_table, PyObject* junction_col,
                  PyObject* side_col) noexcept {
    Ref info = model_info(junction);
    if (!info) return -1;
    PyObject* links = as_info(info.get())->links;
    if (PyTuple_GET_SIZE(as_info(info.get())->fks) > 0 || has_link_to(links, side)) return 0;
    Ref link = make_relation(ONE_TO_ONE, side_table, junction, side, junction_col, side_col, side);
    return link ? PyList_Append(links, link.get()) : -1;
}

// far.<owner table>: the relation from the far model into the junction,
// which the many-to-many loading joins through. A column of that name wins.
int install_far_attribute(PyObject* far, PyObject* owner_table, PyObject* relation) noexcept {
    PyObject* existing = nullptr;
    if (PyDict_GetItemRef(reinterpret_cast<PyTypeObject*>(far)->tp_dict, owner_table, &existing) < 0) return -1;
    Ref held = steal(existing);
    if (held && PyObject_TypeCheck(held.get(), property_api->BaseProperty)) {
        return fail(PyExc_ValueError, "model %.200s has a column named %R; the many-to-many relation from table %R "
                    "needs that attribute", class_name(far), owner_table, owner_table);
    }
    return PyObject_SetAttr(far, owner_table, relation);
}

// The junction's owner-side and far-side column names: middleCols when
// declared, else <owner table>_id and <far table>_id.
bool junction_keys(PyObject* fk, PyObject* owner, PyObject* owner_table, PyObject* far_table, Ref* owner_key,
                   Ref* far_key) noexcept {
    PyObject* declared = as_fk(fk)->middleCols;
    if (declared != Py_None) {
        if (!PyTuple_Check(declared) || PyTuple_GET_SIZE(declared) != 2) {
            fail(PyExc_TypeError, "middleCols of relation %R must be a pair of column names", as_fk(fk)->name);
            return false;
        }
        *owner_key = borrow(PyTuple_GET_ITEM(declared, 0));
        *far_key = borrow(PyTuple_GET_ITEM(declared, 1));
        return true;
    }
    *owner_key = steal(PyUnicode_FromFormat("%U_id", owner_table));
    *far_key = steal(PyUnicode_FromFormat("%U_id", far_table));
    if (!*owner_key || !*far_key) return false;
    if (PyUnicode_Compare(owner_key->get(), far_key->get()) == 0) {
        fail(PyExc_ValueError, "relation %R of %.200s: a many-to-many relation of table %R with itself has no "
             "distinct junction columns (name them with middleCols=)", as_fk(fk)->name, class_name(owner), owner_table);
        return false;
    }
    return true;
}

int resolve_many_to_many(PyObject* fk, PyObject* owner, PyObject* far, PyObject* owner_col,
                         PyObject* far_col) noexcept {
    Ref owner_table = attr(owner, "tableName");
    Ref far_table = attr(far, "tableName");
    if (!owner_table || !far_table) return -1;
    Ref owner_key, far_key;
    if (!junction_keys(fk, owner, owner_table.get(), far_table.get(), &owner_key, &far_key)) return -1;
    PyObject* middle_spec = as_fk(fk)->middleSpec;
    bool given = middle_spec != Py_None;
    Ref junction = given ? resolve_spec(middle_spec, owner)
                         : make_junction(fk, owner, far, owner_col, far_col, owner_table.get(), far_table.get(),
                                         owner_key.get(), far_key.get());
    if (!junction) return -1;
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(junction.get()), &MiddleDataModelType)) {
        return fail(PyExc_TypeError, "middleModel of relation %R must be a MiddleDataModel subclass, got %.200s",
                    as_fk(fk)->name, class_name(junction.get()));
    }
    Ref junction_owner_col = find_column(junction.get(), owner_key.get(), fk);
    Ref junction_far_col = junction_owner_col ? find_column(junction.get(), far_key.get(), fk) : Ref();
    if (!junction_far_col) return -1;
    if (given && (link_junction(junction.get(), owner, owner_table.get(), junction_owner_col.get(), owner_col) < 0 ||
                  link_junction(junction.get(), far, far_table.get(), junction_far_col.get(), far_col) < 0)) {
        return -1;
    }
    Ref far_link = make_relation(ONE_TO_MANY, owner_table.get(), far, junction.get(), far_col, junction_far_col.get(),
                                 junction.get());
    if (!far_link) return -1;
    // A relation with named junction columns is reached through farLink
    // only: the far model (the owner itself, for a table with itself) gets
    // no attribute.
    if (as_fk(fk)->middleCols == Py_None && install_far_attribute(far, owner_table.get(), far_link.get()) < 0) {
        return -1;
    }
    fill(fk, junction.get(), owner_col, junction_owner_col.get(), far, junction.get(), far_link.get());
    return 0;
}

bool targets(PyObject* fk, PyObject* cls, PyObject* class_name) noexcept {
    PyObject* spec = as_fk(fk)->targetSpec;
    if (spec == cls) return true;
    if (!PyUnicode_Check(spec)) return false;
    int same = PyObject_RichCompareBool(spec, class_name, Py_EQ);
    if (same < 0) PyErr_Clear();
    return same > 0;
}

bool has_owner_attribute(PyObject* cls, PyObject* owner) noexcept {
    Ref table = attr(owner, "tableName");
    int present = table ? PyDict_Contains(reinterpret_cast<PyTypeObject*>(cls)->tp_dict, table.get()) : -1;
    if (present < 0) PyErr_Clear();
    return present != 0;
}

}  // namespace

Ref live_models() noexcept {
    Ref models = steal(PyList_New(0));
    if (!models) return {};
    for (Py_ssize_t i = PyList_GET_SIZE(registry) - 1; i >= 0; --i) {
        PyObject* cls = nullptr;
        if (PyWeakref_GetRef(PyList_GET_ITEM(registry, i), &cls) < 0) return {};
        Ref held = steal(cls);
        if (held && PyList_Append(models.get(), held.get()) < 0) return {};
    }
    return models;
}

int ready_registry(PyObject* module) noexcept {
    registry = PyList_New(0);
    if (!registry) return -1;
    return PyModule_AddObjectRef(module, "_models", registry);
}

// Dead references are dropped on the way, so the list tracks live models.
int register_model(PyObject* cls) noexcept {
    Ref live = steal(PyList_New(0));
    if (!live) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(registry); ++i) {
        PyObject* ref = PyList_GET_ITEM(registry, i);
        PyObject* target = nullptr;
        if (PyWeakref_GetRef(ref, &target) < 0) return -1;
        Ref held = steal(target);
        if (held && PyList_Append(live.get(), ref) < 0) return -1;
    }
    Ref ref = steal(PyWeakref_NewRef(cls, nullptr));
    if (!ref || PyList_Append(live.get(), ref.get()) < 0) return -1;
    return PyList_SetSlice(registry, 0, PY_SSIZE_T_MAX, live.get());
}

int resolve_foreign_key(PyObject* fk) noexcept {
    ForeignKeyObject* f = as_fk(fk);
    if (f->target) return 0;
    if (!is_model(f->owner)) return fail(PyExc_TypeError, "relation %R is not declared in a model class", f->name);
    if (kind_of(fk) < 0) return fail(PyExc_TypeError, "relation %R was never initialised", f->name);
    Ref owner = borrow(f->owner);
    Ref target = resolve_spec(f->targetSpec, owner.get());
    if (!target) return -1;
    Ref bind_col = find_column(owner.get(), f->bindColName, fk);
    Ref target_col = bind_col ? find_column(target.get(), f->targetBindColName, fk) : Ref();
    if (!target_col) return -1;
    if (kind_of(fk) == MANY_TO_MANY) {
        return resolve_many_to_many(fk, owner.get(), target.get(), bind_col.get(), target_col.get());
    }
    fill(fk, target.get(), bind_col.get(), target_col.get(), target.get(), Py_None);
    return 0;
}

bool resolve_relations_towards(PyObject* cls) noexcept {
    Ref info = model_info(cls);
    Ref models = info ? live_models() : Ref();
    if (!models) {
        PyErr_Clear();
        return false;
    }
    PyObject* name = as_info(info.get())->className;
    bool resolved = false;
    for (Py_ssize_t m = 0; m < PyList_GET_SIZE(models.get()); ++m) {
        Ref owner_info = model_info(PyList_GET_ITEM(models.get(), m));
        if (!owner_info) {
            PyErr_Clear();
            continue;
        }
        PyObject* fks = as_info(owner_info.get())->fks;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks); ++i) {
            PyObject* fk = PyTuple_GET_ITEM(fks, i);
            if (as_fk(fk)->target || kind_of(fk) != MANY_TO_MANY || !targets(fk, cls, name)) continue;
            // Newest owners come first; an older model with the same table (a
            // redeclared class) must not replace the attribute they installed.
            if (has_owner_attribute(cls, as_fk(fk)->owner)) continue;
            // A relation that cannot be resolved yet is reported when it is used.
            if (resolve_foreign_key(fk) < 0) PyErr_Clear();
            else resolved = true;
        }
    }
    return resolved;
}

PyObject* other_fk_by(PyObject* cls, PyObject* owner) noexcept {
    Ref info = model_info(cls);
    if (!info) return nullptr;
    for (PyObject* group : {as_info(info.get())->fks, as_info(info.get())->links}) {
        Ref relations = steal(PySequence_Tuple(group));
        if (!relations) return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(relations.get()); ++i) {
            PyObject* fk = PyTuple_GET_ITEM(relations.get(), i);
            if (resolve_foreign_key(fk) < 0) return nullptr;
            if (as_fk(fk)->target != owner) return Py_NewRef(fk);
        }
    }
    return fail(PyExc_LookupError, "model %.200s has no relation leading away from %R", class_name(cls), owner);
}

}  // namespace tsy::model
