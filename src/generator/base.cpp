// BaseSqlGenerator, the virtual Build every generator answers, and the small
// helpers the other files share (late module lookups, error raising).
#include "internal.hpp"

namespace tsy::gen {

Bound bound;
Names names;

namespace {

// One registered extension type: its C Build and, when Build is public on it,
// the method object in its type dict (what a subclass without an override
// finds by lookup).
struct BuildSlot {
    PyTypeObject* type;
    BuildFn build;
    PyObject* public_build;  // borrowed from the static type's dict, or nullptr
};

BuildSlot slots[16];
int slot_count = 0;

const BuildSlot* nearest_slot(PyTypeObject* type) noexcept {
    for (PyTypeObject* t = type; t; t = t->tp_base) {
        for (int i = 0; i < slot_count; ++i) {
            if (slots[i].type == t) return &slots[i];
        }
    }
    return nullptr;
}

Ref base_build(PyObject*) { return steal(PyTuple_New(0)); }

PyObject* base_new(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    return type->tp_alloc(type, 0);
}

const char* const kNoParams[] = {nullptr};

int base_init(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    static const Params params{"__init__", kNoParams, 0, 0};
    PyObject* none[1];
    Ref kwnames, values;
    return parse_tuple(params, args, kwargs, none, kwnames, values) ? 0 : -1;
}

}  // namespace

PyTypeObject BaseSqlGeneratorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.DB.Generator.BaseSqlGenerator",
    .tp_basicsize = sizeof(BaseGeneratorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "BaseSqlGenerator()\n--\n\nRoot of every SQL generator: anything derived from it renders itself into (SQL text, arguments).",
    .tp_init = base_init,
    .tp_new = base_new,
};

int register_build(PyTypeObject* type, BuildFn build) noexcept {
    if (slot_count == static_cast<int>(std::size(slots))) {
        PyErr_SetString(PyExc_SystemError, "too many generator types");
        return -1;
    }
    PyObject* method = PyDict_GetItemWithError(type->tp_dict, names.Build);
    if (!method && PyErr_Occurred()) return -1;
    slots[slot_count++] = {type, build, method};
    return 0;
}

int ready_base() noexcept {
    if (PyType_Ready(&BaseSqlGeneratorType) < 0) return -1;
    return register_build(&BaseSqlGeneratorType, base_build);
}

PyObject* find_override(PyObject* self, PyObject* name, PyObject* own) noexcept {
    PyObject* found = _PyType_Lookup(Py_TYPE(self), name);
    return found && found != own ? found : nullptr;
}

Ref virtual_build(PyObject* gen) {
    PyTypeObject* type = Py_TYPE(gen);
    const BuildSlot* slot = nearest_slot(type);
    if (!slot) return expected_kind("BaseSqlGenerator", gen);
    if (type != slot->type && find_override(gen, names.Build, slot->public_build)) {
        Ref result = call_method(gen, names.Build);
        if (result && result.get() != Py_None && !PyTuple_Check(result.get())) {
            return expected_kind("tuple", result.get());
        }
        return result;
    }
    return slot->build(gen);
}

Ref public_build(PyObject* gen) {
    PyTypeObject* type = Py_TYPE(gen);
    for (int i = 0; i < slot_count; ++i) {
        if (slots[i].type == type && slots[i].public_build) return slots[i].build(gen);
    }
    return call_method(gen, names.Build);
}

bool unpack_pair(PyObject* pair, Ref& first, Ref& second) {
    if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(pair);
        if (n != 2) {
            if (n > 2) fail(PyExc_ValueError, "too many values to unpack (expected 2)");
            else fail(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
            return false;
        }
        first = borrow(PySequence_Fast_GET_ITEM(pair, 0));
        second = borrow(PySequence_Fast_GET_ITEM(pair, 1));
        return true;
    }
    Ref it = steal(PyObject_GetIter(pair));
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            fail(PyExc_TypeError, "cannot unpack non-iterable %.200s object", type_name(pair));
        }
        return false;
    }
    Ref items[3];
    Py_ssize_t n = 0;
    for (; n < 3; ++n) {
        items[n] = steal(PyIter_Next(it.get()));
        if (!items[n]) break;
    }
    if (PyErr_Occurred()) return false;
    if (n != 2) {
        if (n > 2) fail(PyExc_ValueError, "too many values to unpack (expected 2)");
        else fail(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        return false;
    }
    first = std::move(items[0]);
    second = std::move(items[1]);
    return true;
}

bool extend(PyObject* list, PyObject* items) noexcept {
    if (PyTuple_CheckExact(items) || PyList_CheckExact(items)) {
        // Borrowed items stay valid: appending runs no Python code.
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items); ++i) {
            if (PyList_Append(list, PySequence_Fast_GET_ITEM(items, i)) < 0) return false;
        }
        return true;
    }
    Ref it = steal(PyObject_GetIter(items));
    if (!it) return false;
    while (Ref item = steal(PyIter_Next(it.get()))) {
        if (PyList_Append(list, item.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

bool embed(PyObject* gen, Text& out, PyObject* args) {
    if (Py_IS_TYPE(gen, &QueryGroupType)) {
        return render_group(reinterpret_cast<QueryGroupObject*>(gen)->query, out, args);
    }
    if (Py_IS_TYPE(gen, &InOperatorGeneratorType)) return render_in(gen, out, args);
    if (Py_IS_TYPE(gen, &FunctionCallType)) return render_function(gen, out, args);
    if (Py_IS_TYPE(gen, &PredicateType)) return render_predicate(gen, out, args);
    if (Py_IS_TYPE(gen, &ExpressionType)) return render_expression(gen, out, args);
    Ref result = public_build(gen);
    Ref text, extra;
    if (!result || !unpack_pair(result.get(), text, extra)) return false;
    if (extra.get() != Py_None && !PyTuple_Check(extra.get())) {
        expected_kind("tuple", extra.get());
        return false;
    }
    return extend(args, extra.get()) && out.str(text.get());
}

bool check_builder_result(PyObject* result) noexcept {
    return check_convert(result, &SqlGeneratorType);
}

Ref owner_of(PyObject* prop) {
    if (is_property(prop)) {
        PyObject* owner = property(prop)->owner;
        return borrow(owner ? owner : Py_None);
    }
    return attr(prop, names.owner);
}

Ref name_of(PyObject* prop) {
    if (is_property(prop)) {
        PyObject* name = property(prop)->name;
        return borrow(name ? name : Py_None);
    }
    return attr(prop, names.name);
}

Ref owner_table(PyObject* prop, Text& out) {
    Ref owner = owner_of(prop);
    if (!owner) return {};
    if (owner.get() == out.memo.key.get()) return borrow(out.memo.value.get());
    Ref table = attr(owner.get(), names.tableName);
    if (table) {
        out.memo.key = std::move(owner);
        out.memo.value = borrow(table.get());
    }
    return table;
}

Ref db_instance() {
    Ref db = module_attr(names.mod_DB, names.DB);
    if (!db) return {};
    return call_class_method(db.get(), names.getInstance);
}

Ref rendering_connector(PyObject* model, PyObject* handle_attr) {
    static const db::DbApi* api = nullptr;
    Ref db_class = module_attr(names.mod_DB, names.DB);
    if (!db_class) return {};
    if (!api && PyType_Check(db_class.get()) && !(api = db::import_db_api())) {
        PyErr_Clear();  // a stand-in module of the handle's: asked below, as it answers
    }
    if (api && db_class.get() == reinterpret_cast<PyObject*>(api->DB)) return steal(api->renderingConnector(model));
    Ref handle = call_class_method(db_class.get(), names.getInstance);
    return handle ? attr(handle.get(), handle_attr) : Ref();
}

Failure raise_error(PyObject* cls) {
    Ref error = call(cls);
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return {};
}

Failure raise_kind_error(int current, int requested) {
    Ref a = steal(PyLong_FromLong(current));
    Ref b = steal(PyLong_FromLong(requested));
    if (!a || !b) return {};
    Ref error = call(bound.SqlInStanceError, a.get(), b.get());
    if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    return {};
}

}  // namespace tsy::gen
