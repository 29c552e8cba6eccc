// ModelInstance (a dict that knows its model class, keys readable as
// attributes) and InstanceList, and the mapping of driver rows to instances.
#include "internal.hpp"

#include <cstddef>

namespace tsy::model {
namespace {

InstanceObject* as_instance(PyObject* o) noexcept { return reinterpret_cast<InstanceObject*>(o); }

int instance_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_instance(self)->model);
    Py_VISIT(as_instance(self)->assigned);
    return PyDict_Type.tp_traverse(self, visit, arg);
}

int instance_clear(PyObject* self) noexcept {
    Py_CLEAR(as_instance(self)->model);
    Py_CLEAR(as_instance(self)->assigned);
    return PyDict_Type.tp_clear(self);
}

void instance_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    Py_CLEAR(as_instance(self)->model);
    Py_CLEAR(as_instance(self)->assigned);
    PyDict_Type.tp_dealloc(self);
}

// --- what was assigned since the instance was loaded, made or written -------

// 1 when `key` names a column of the instance's model, 0 when it does not
// (a relation, any other key) or the instance has no model class, -1 on error.
int names_column(PyObject* self, PyObject* key) noexcept {
    PyObject* model = as_instance(self)->model;
    if (!model || !is_model(model)) return 0;
    Ref info = model_info(model);
    return info ? PyDict_Contains(as_info(info.get())->index, key) : -1;
}

// Notes that `key` was given a value through the instance's interface; only
// columns are kept (relation loads attach their rows by key, and must stay
// as cheap as a store).
int record_assigned(PyObject* self, PyObject* key) noexcept {
    int column = names_column(self, key);
    if (column <= 0) return column;
    InstanceObject* instance = as_instance(self);
    if (!instance->assigned && !(instance->assigned = PySet_New(nullptr))) return -1;
    return PySet_Add(instance->assigned, key);
}

int record_all(PyObject* self, PyObject* given) noexcept {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(given, &pos, &key, &value)) {
        if (record_assigned(self, key) < 0) return -1;
    }
    return 0;
}

// instance[key] = value (and del instance[key], which records nothing).
int instance_ass_subscript(PyObject* self, PyObject* key, PyObject* value) noexcept {
    if (PyDict_Type.tp_as_mapping->mp_ass_subscript(self, key, value) < 0) return -1;
    return value ? record_assigned(self, key) : 0;
}

// dict.update's arguments, read as dict.update reads them, into a new dict;
// its entries then go to the instance and are recorded.
Ref merge_assigned(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    Ref given = steal(PyDict_New());
    Ref update = given ? attr(given.get(), "update") : Ref();
    if (!update || !steal(PyObject_Call(update.get(), args, kwargs))) return {};
    if (PyDict_Update(self, given.get()) < 0 || record_all(self, given.get()) < 0) return {};
    return borrow(self);
}

PyObject* update_method(PyObject* self, PyObject* args, PyObject* kwargs) {
    return merge_assigned(self, args, kwargs) ? Py_NewRef(Py_None) : nullptr;
}

PyObject* instance_inplace_or(PyObject* self, PyObject* other) noexcept {
    if (!PyObject_TypeCheck(self, &InstanceType)) Py_RETURN_NOTIMPLEMENTED;
    Ref args = steal(PyTuple_Pack(1, other));
    return args ? merge_assigned(self, args.get(), nullptr).release() : nullptr;
}

PyObject* setdefault_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 2) return arg_count_error("setdefault", 1, 2, nargs);
    PyObject* result = nullptr;
    int present = PyDict_SetDefaultRef(self, args[0], nargs > 1 ? args[1] : Py_None, &result);
    if (present < 0) return nullptr;
    Ref held = steal(result);
    if (!present && record_assigned(self, args[0]) < 0) return nullptr;
    return held.release();
}

// The recorded keys that are column names of the instance's model and that
// the instance still holds: a key deleted since its assignment has no value
// to write.
PyObject* changed_method(PyObject* self, PyObject*) {
    Ref columns = steal(PySet_New(nullptr));
    if (!columns) return nullptr;
    InstanceObject* instance = as_instance(self);
    if (!instance->assigned || !instance->model) return columns.release();
    Ref info = model_info(instance->model);
    if (!info) return nullptr;
    Ref recorded = borrow(instance->assigned);  // held: a key's __eq__ may run code that clears it
    Ref iter = steal(PyObject_GetIter(recorded.get()));
    if (!iter) return nullptr;
    while (Ref key = steal(PyIter_Next(iter.get()))) {
        int is_column = PyDict_Contains(as_info(info.get())->index, key.get());
        int held = is_column > 0 ? PyDict_Contains(self, key.get()) : is_column;
        if (held < 0 || (held && PySet_Add(columns.get(), key.get()) < 0)) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : columns.release();
}

bool check_name(PyObject* name) noexcept {
    if (PyUnicode_Check(name)) return true;
    fail(PyExc_TypeError, "attribute name must be string, not '%.200s'", type_name(name));
    return false;
}

// Members of the type (dict methods, `object`) first, then the key.
PyObject* instance_getattro(PyObject* self, PyObject* name) noexcept {
    if (!check_name(name)) return nullptr;
    if (_PyType_Lookup(Py_TYPE(self), name)) return PyObject_GenericGetAttr(self, name);
    PyObject* value = nullptr;
    int found = PyDict_GetItemRef(self, name, &value);
    if (found != 0) return value;
    return PyObject_GenericGetAttr(self, name);
}

// Writes go to the key, except for data descriptors of the type (`object`).
int instance_setattro(PyObject* self, PyObject* name, PyObject* value) noexcept {
    if (!check_name(name)) return -1;
    PyObject* descr = _PyType_Lookup(Py_TYPE(self), name);
    if (descr && Py_TYPE(descr)->tp_descr_set) return PyObject_GenericSetAttr(self, name, value);
    if (value) return PyDict_SetItem(self, name, value) < 0 ? -1 : record_assigned(self, name);
    if (PyDict_DelItem(self, name) == 0) return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_SetObject(PyExc_AttributeError, name);
    }
    return -1;
}

PyObject* get_object(PyObject* self, void*) noexcept {
    PyObject* model = as_instance(self)->model;
    return Py_NewRef(model ? model : Py_None);
}

int set_object(PyObject* self, PyObject* value, void*) noexcept {
    if (value && value != Py_None && !PyType_Check(value)) {
        return fail(PyExc_TypeError, "object must be a model class or None, got %.200s", type_name(value));
    }
    set_field(as_instance(self)->model, value == Py_None ? nullptr : value);
    return 0;
}

PyGetSetDef instance_getset[] = {
    {"object", get_object, set_object, "The model class of this instance (None when made directly).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A copy of the same type with the same model class.
PyObject* copy_method(PyObject* self, PyObject*) {
    Ref copy = steal(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(Py_TYPE(self))));
    if (!copy || PyDict_Update(copy.get(), self) < 0) return nullptr;
    if (PyObject_TypeCheck(copy.get(), &InstanceType)) set_field(as_instance(copy.get())->model, as_instance(self)->model);
    return copy.release();
}

PyObject* reduce_method(PyObject* self, PyObject*) {
    Ref restore = import_attr("Tessary.Model.DataModel", "_restore_instance");
    Ref items = steal(PyDict_Copy(self));
    if (!restore || !items) return nullptr;
    PyObject* model = as_instance(self)->model;
    return Py_BuildValue("(O(OOO))", restore.get(), Py_TYPE(self), model ? model : Py_None, items.get());
}

PyMethodDef instance_methods[] = {
    {"changed", entry<changed_method>, METH_NOARGS,
     "changed($self, /)\n--\n\nThe names of the model's columns assigned since the instance was loaded, made, "
     "saved or updated, and still held by it (a new set each call)."},
    {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<update_method>)),
     METH_VARARGS | METH_KEYWORDS,
     "update($self, other=(), /, **kwargs)\n--\n\nAs dict.update; the keys given count as assigned."},
    {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<setdefault_method>)), METH_FASTCALL,
     "setdefault($self, key, default=None, /)\n--\n\nAs dict.setdefault; a key it inserts counts as assigned."},
    {"copy", entry<copy_method>, METH_NOARGS, "A shallow copy that keeps the model class."},
    {"__copy__", entry<copy_method>, METH_NOARGS, "A shallow copy that keeps the model class."},
    {"__reduce__", entry<reduce_method>, METH_NOARGS, "Pickling support."},
    {nullptr, nullptr, 0, nullptr},
};

// Column `c` of the model: converted by its ValueKind, or by the column's own
// fromDBValue when its class overrides it. A JSON column decodes through its
// own method too, whose error for text that is not JSON names the column; a
// DECIMAL column's value comes at its declared scale, an enum column's as
// its member.
int store_column(PyObject* instance, ModelInfoObject* info, Py_ssize_t c, PyObject* value) noexcept {
    PyObject* key = PyTuple_GET_ITEM(info->names, c);
    int kind = info->kind_of[c];
    if (!converts(kind)) return PyDict_SetItem(instance, key, value);
    bool by_method = kind == KIND_CUSTOM || (kind == KIND_JSON && value != Py_None);
    PyObject* col = PyTuple_GET_ITEM(info->cols, c);
    Ref converted = by_method                  ? call_method(col, names.fromDBValue, value)
                    : converts_by_column(kind) ? steal(property_api->columnFromDBValue(col, value))
                                               : steal(property_api->fromDBValue(kind, value));
    return converted ? PyDict_SetItem(instance, key, converted.get()) : -1;
}

const char* model_name(PyObject* model) noexcept { return reinterpret_cast<PyTypeObject*>(model)->tp_name; }

// The application's value for column `c`, given by the name `key`: stored
// under the column's own name, except that a JSON column keeps both the key
// and the value as they are (a str there is a JSON string, not JSON text to
// decode).
int store_named_column(PyObject* instance, ModelInfoObject* info, Py_ssize_t c, PyObject* key,
                       PyObject* value) noexcept {
    int kind = info->kind_of[c];
    if (kind == KIND_JSON) return PyDict_SetItem(instance, key, value);
    if (!converts(kind)) return PyDict_SetItem(instance, PyTuple_GET_ITEM(info->names, c), value);
    return store_column(instance, info, c, value);
}

// Mapping keys that name a column are converted like that column's values.
int store_by_name(PyObject* instance, ModelInfoObject* info, PyObject* key, PyObject* value) noexcept {
    PyObject* position = nullptr;
    if (PyUnicode_Check(key) && PyDict_GetItemRef(info->index, key, &position) < 0) return -1;
    if (!position) return PyDict_SetItem(instance, key, value);
    Py_ssize_t c = PyLong_AsSsize_t(position);
    Py_DECREF(position);
    return store_named_column(instance, info, c, key, value);
}

// The items of a tuple, for loops that read many of them.
PyObject* const* tuple_items(PyObject* tuple) noexcept { return reinterpret_cast<PyTupleObject*>(tuple)->ob_item; }

// The column whose name is the very object `key`, or -1. Keyword names and
// dict literal keys are usually the interned column names themselves, in
// column order, so the column after the last one found is tried first.
Py_ssize_t column_named_by(const ModelInfoObject* info, PyObject* key, Py_ssize_t expected) noexcept {
    PyObject* const* column_names = tuple_items(info->names);
    if (expected < info->ncols && column_names[expected] == key) return expected;
    for (Py_ssize_t c = 0; c < info->ncols; ++c) {
        if (column_names[c] == key) return c;
    }
    return -1;
}

// store_by_name, without the lookup of `key` in the model's index when it is
// a column name itself. `expected` is the column tried first; it is moved
// past the column found. Anything else (a name equal to a column's but
// another object, a str subclass, an unknown key) takes the lookup.
int store_by_name_from(PyObject* instance, ModelInfoObject* info, PyObject* key, PyObject* value,
                       Py_ssize_t* expected) noexcept {
    Py_ssize_t c = column_named_by(info, key, *expected);
    if (c < 0) return store_by_name(instance, info, key, value);
    *expected = c + 1;
    return store_named_column(instance, info, c, key, value);
}

bool is_text(PyObject* o) noexcept { return PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o); }

}  // namespace

namespace {

// Only the writing slots differ from dict's; the others are inherited.
PyMappingMethods instance_mapping = {
    .mp_ass_subscript = instance_ass_subscript,
};

PyNumberMethods instance_number = {
    .nb_inplace_or = instance_inplace_or,
};

}  // namespace

PyTypeObject InstanceType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel.ModelInstance",
    .tp_basicsize = sizeof(InstanceObject),
    .tp_dealloc = instance_dealloc,
    .tp_as_number = &instance_number,
    .tp_as_mapping = &instance_mapping,
    .tp_getattro = instance_getattro,
    .tp_setattro = instance_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DICT_SUBCLASS,
    .tp_doc = "A row of a model: a dict from column and relation names to values whose keys also read and\n"
              "write as attributes (members such as `get`, `keys` and `object` come first).",
    .tp_traverse = instance_traverse,
    .tp_clear = instance_clear,
    .tp_methods = instance_methods,
    .tp_getset = instance_getset,
};

PyTypeObject InstanceListType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.DataModel.InstanceList",
    .tp_basicsize = sizeof(PyListObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_LIST_SUBCLASS,
    .tp_doc = "A list of model instances.",
};

namespace {
// The arguments of every dict_new call: dict's tp_new ignores them but needs a tuple.
PyObject* no_args = nullptr;
}  // namespace

PyObject* new_instance(PyObject* model) noexcept {
    PyObject* instance = PyDict_Type.tp_new(&InstanceType, no_args, nullptr);
    if (instance) set_field(as_instance(instance)->model, model);
    return instance;
}

PyObject* new_list() noexcept { return PyType_GenericAlloc(&InstanceListType, 0); }

namespace {

// The values of a row into a new instance, in column order. A model whose
// columns all store as they come takes a loop without a converter: no code
// of the application's can run in it.
PyObject* instance_of_values(PyObject* model, ModelInfoObject* i, PyObject* values) noexcept {
    Ref instance = steal(new_instance(model));
    if (!instance) return nullptr;
    PyObject* const* column_names = tuple_items(i->names);
    PyObject* const* items = tuple_items(values);
    if (i->rows_as_is) {
        for (Py_ssize_t c = 0; c < i->ncols; ++c) {
            if (PyDict_SetItem(instance.get(), column_names[c], items[c]) < 0) return nullptr;
        }
        return instance.release();
    }
    for (Py_ssize_t c = 0; c < i->ncols; ++c) {
        if (store_column(instance.get(), i, c, items[c]) < 0) return nullptr;
    }
    return instance.release();
}

PyObject* wrong_row_length(PyObject* model, ModelInfoObject* i, Py_ssize_t n) noexcept {
    return fail(PyExc_ValueError, "%.200s(row): the row has %zd values, the model has %zd columns",
                model_name(model), n, i->ncols);
}

// One row of the model `i` describes. `values` is a tuple the caller holds:
// converters written in Python cannot resize it under us.
PyObject* tuple_instance(PyObject* model, ModelInfoObject* i, PyObject* values) noexcept {
    Py_ssize_t n = PyTuple_GET_SIZE(values);
    if (n != i->ncols) return wrong_row_length(model, i, n);
    return instance_of_values(model, i, values);
}

PyObject* row_instance(PyObject* model, ModelInfoObject* i, PyObject* row) noexcept {
    Ref values = PyTuple_Check(row) ? borrow(row) : steal(PySequence_Tuple(row));
    return values ? tuple_instance(model, i, values.get()) : nullptr;
}

}  // namespace

PyObject* from_row(PyObject* model, PyObject* row) noexcept {
    Ref info = model_info(model);
    if (!info) return nullptr;
    return row_instance(model, as_info(info.get()), row);
}

int from_rows(PyObject* model, PyObject* rows, PyObject* list) noexcept {
    Ref info = model_info(model);
    if (!info) return -1;
    if (!PyList_Check(rows) && !PyTuple_Check(rows)) {
        return fail(PyExc_TypeError, "expected a list or tuple of rows, got %.200s", type_name(rows));
    }
    ModelInfoObject* i = as_info(info.get());
    // The size is read on every step and each row is held while it is read:
    // converters written in Python run in between.
    for (Py_ssize_t r = 0; r < PySequence_Fast_GET_SIZE(rows); ++r) {
        Ref row = borrow(PySequence_Fast_GET_ITEM(rows, r));
        // Driver rows are tuples; anything else takes the class call's own dispatch.
        Ref instance = steal(PyTuple_Check(row.get()) ? tuple_instance(model, i, row.get())
                                                      : PyObject_CallOneArg(model, row.get()));
        if (!instance || PyList_Append(list, instance.get()) < 0) return -1;
    }
    return 0;
}

PyObject* from_mapping(PyObject* model, PyObject* mapping) noexcept {
    Ref info = model_info(model);
    Ref instance = steal(info ? new_instance(model) : nullptr);
    if (!instance) return nullptr;
    ModelInfoObject* i = as_info(info.get());
    Py_ssize_t expected = 0;
    if (PyDict_Check(mapping)) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(mapping, &pos, &key, &value)) {
            Ref k = borrow(key), v = borrow(value);
            if (store_by_name_from(instance.get(), i, k.get(), v.get(), &expected) < 0) return nullptr;
        }
        return instance.release();
    }
    Ref keys = steal(PyMapping_Keys(mapping));
    if (!keys) return nullptr;
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.get()); ++k) {
        PyObject* key = PyList_GET_ITEM(keys.get(), k);
        Ref value = steal(PyObject_GetItem(mapping, key));
        if (!value || store_by_name_from(instance.get(), i, key, value.get(), &expected) < 0) return nullptr;
    }
    return instance.release();
}

namespace {

// Model(source) with one positional argument: a row or a mapping.
PyObject* from_source(PyObject* model, PyObject* source) noexcept {
    const char* name = model_name(model);
    if (PyTuple_Check(source) || PyList_Check(source)) return from_row(model, source);
    if (PyDict_Check(source)) return from_mapping(model, source);
    if (is_text(source)) {
        return fail(PyExc_TypeError, "%.200s() takes a row (a sequence of values) or a mapping, got %.200s", name,
                    type_name(source));
    }
    int mapping = PyObject_HasAttrWithError(source, names.keys);
    if (mapping < 0) return nullptr;
    return mapping ? from_mapping(model, source) : from_row(model, source);
}

// Model(**values) from a vectorcall's keyword names and values, in order.
PyObject* from_keywords(PyObject* model, PyObject* const* values, PyObject* kwnames) noexcept {
    Ref info = model_info(model);
    Ref instance = steal(info ? new_instance(model) : nullptr);
    if (!instance) return nullptr;
    ModelInfoObject* i = as_info(info.get());
    Py_ssize_t expected = 0;
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (store_by_name_from(instance.get(), i, PyTuple_GET_ITEM(kwnames, k), values[k], &expected) < 0) {
            return nullptr;
        }
    }
    return instance.release();
}

}  // namespace

// Model(row), Model(mapping), Model(**values), Model().
PyObject* make_instance(PyObject* model, PyObject* args, PyObject* kwargs) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    bool keywords = kwargs && PyDict_GET_SIZE(kwargs) > 0;
    const char* name = model_name(model);
    if (nargs > 1) return arg_count_error(name, 0, 1, nargs);
    if (nargs == 0) return keywords ? from_mapping(model, kwargs) : new_instance(model);
    if (keywords) return fail(PyExc_TypeError, "%.200s() takes a row or a mapping, or keyword arguments, not both", name);
    return from_source(model, PyTuple_GET_ITEM(args, 0));
}

PyObject* model_vectorcall(PyObject* model, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    ternaryfunc class_call = Py_TYPE(model)->tp_call;
    if (class_call == ModelMetaType.tp_call) {
        if (nargs == 0) return nkw ? from_keywords(model, args, kwnames) : new_instance(model);
        if (nargs == 1 && nkw == 0) return from_source(model, args[0]);
    }
    // Anything else (errors included) is the class call itself, with its
    // tuple and dict: a metaclass's own __call__ set later is honoured too.
    Ref tuple = steal(PyTuple_New(nargs));
    Ref kwargs = steal(nkw ? PyDict_New() : nullptr);
    if (!tuple || (nkw && !kwargs)) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(args[i]));
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, k), args[nargs + k]) < 0) return nullptr;
    }
    return class_call(model, tuple.get(), kwargs.get());
}

// _restore_instance(type, model, items): the inverse of __reduce__.
PyObject* restore_instance(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) return arg_count_error("_restore_instance", 3, 3, nargs);
    if (!PyType_Check(args[0]) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(args[0]), &InstanceType)) {
        return fail(PyExc_TypeError, "_restore_instance() needs a ModelInstance type");
    }
    Ref instance = steal(PyObject_CallNoArgs(args[0]));
    if (!instance || PyDict_Update(instance.get(), args[2]) < 0) return nullptr;
    if (set_object(instance.get(), args[1], nullptr) < 0) return nullptr;
    return instance.release();
}

int ready_instances(PyObject* module) noexcept {
    no_args = PyTuple_New(0);
    if (!no_args) return -1;
    InstanceType.tp_base = &PyDict_Type;
    InstanceListType.tp_base = &PyList_Type;
    if (add_type(module, &InstanceType, "ModelInstance") < 0) return -1;
    return add_type(module, &InstanceListType, "InstanceList");
}

}  // namespace tsy::model
