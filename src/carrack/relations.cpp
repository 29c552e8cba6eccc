// Helpers of the relation operations.
#include "relations.hpp"

namespace tsy::exec {

Ref get_executor(PyObject* model, PyObject* work) noexcept {
    if (!work) return call_method(model, names().getExecutor);
    return call_method(model, names().getExecutor, work);
}

namespace {

// The recursion units kept free for the statements of a level: the handle,
// the connector and the driver's own code, Python frames included (each entry
// of the interpreter's eval loop from C takes two).
constexpr int kStatementUnits = 100;

// Enters `units` of the C recursion budget one by one; on failure leaves
// those entered and returns false with RecursionError set.
bool enter_units(int units) noexcept {
    for (int entered = 0; entered < units; ++entered) {
        if (Py_EnterRecursiveCall(" while loading related rows") != 0) {
            for (int i = 0; i < entered; ++i) Py_LeaveRecursiveCall();
            return false;
        }
    }
    return true;
}

void leave_units(int units) noexcept {
    for (int i = 0; i < units; ++i) Py_LeaveRecursiveCall();
}

}  // namespace

namespace {

// Whether the thread's budget plainly has the level's units and the
// statements' room left, read from its state: entering a hundred units only
// to leave them again cost more than the rest of a small level. Near the
// limit the units are entered one by one, so that the interpreter itself
// raises RecursionError.
bool plainly_has_room(int units) noexcept {
    return PyThreadState_GET()->c_recursion_remaining > units + kStatementUnits + 1;
}

}  // namespace

LevelRoom::LevelRoom(int units) noexcept : units_(units) {
    if (plainly_has_room(units)) {
        entered_ = enter_units(units);
        return;
    }
    if (!enter_units(units + kStatementUnits)) return;
    leave_units(kStatementUnits);
    entered_ = true;
}

LevelRoom::~LevelRoom() {
    if (entered_) leave_units(units_);
}

bool same_database(PyObject* from, PyObject* to) noexcept {
    if (!from || from == to) return true;
    Ref from_connector = statement_connector(from, nullptr);
    Ref to_connector = from_connector ? statement_connector(to, nullptr) : Ref();
    if (!to_connector) return false;
    if (from_connector.get() == to_connector.get()) return true;
    fail(PyExc_ValueError, "%.200R and %.200R are stored in different databases (their `database`): a relation "
         "between them cannot be loaded or written", from, to);
    return false;
}

Ref related_executor(PyObject* self, PyObject* model) noexcept {
    if (!same_database(as_executor(self)->model, model)) return {};
    Ref work = work_of(self);
    int bound_to_connection = truth(work.get());
    if (bound_to_connection < 0) return {};
    return get_executor(model, bound_to_connection ? work.get() : nullptr);
}

Ref attr2(PyObject* obj, PyObject* first, PyObject* second) noexcept {
    Ref middle = attr(obj, first);
    if (!middle) return {};
    return attr(middle.get(), second);
}

namespace {

// 1 when the relation names its junction columns (middleCols), 0 if not, -1 on error.
int names_junction_columns(PyObject* fk) noexcept {
    static PyObject* key = intern("middleCols");
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(fk, key, &value);
    Ref held = steal(value);
    return found <= 0 ? found : held.get() != Py_None;
}

PyObject* far_link_key() noexcept {
    static PyObject* key = intern("farLink");
    return key;
}

}  // namespace

bool JunctionRoute::load(PyObject* fk) noexcept {
    const Names& n = names();
    int named = names_junction_columns(fk);
    if (named < 0) return false;
    if (named) {
        far_relation = attr(fk, far_link_key());
        owner_column = far_relation ? attr(fk, n.targetBindCol) : Ref();
        return bool(owner_column);
    }
    Ref far = attr(fk, n.directTarget);
    Ref owner_table = far ? attr2(fk, n.owner, n.tableName) : Ref();
    far_relation = owner_table ? steal(PyObject_GetAttr(far.get(), owner_table.get())) : Ref();
    Ref middle = far_relation ? attr(fk, n.middleModel) : Ref();
    Ref column_name = middle ? steal(PyNumber_Add(owner_table.get(), n._id)) : Ref();
    owner_column = column_name ? steal(PyObject_GetAttr(middle.get(), column_name.get())) : Ref();
    return bool(owner_column);
}

bool junction_far_side(PyObject* fk, Ref* far_column, Ref* far_key) noexcept {
    const Names& n = names();
    int named = names_junction_columns(fk);
    if (named < 0) return false;
    if (named) {
        Ref link = attr(fk, far_link_key());
        *far_column = link ? attr2(link.get(), n.targetBindCol, n.name) : Ref();
        *far_key = *far_column ? attr2(link.get(), n.bindCol, n.name) : Ref();
        return bool(*far_key);
    }
    Ref middle = attr(fk, n.middleModel);
    Ref owner = middle ? attr(fk, n.owner) : Ref();
    Ref other = owner ? call_method(middle.get(), n.getOtherFkBy, owner.get()) : Ref();
    *far_column = other ? attr2(other.get(), n.bindCol, n.name) : Ref();
    *far_key = *far_column ? attr2(other.get(), n.targetBindCol, n.name) : Ref();
    return bool(*far_key);
}

namespace {

// The names of the model's relations, as a tuple.
Ref relation_names_of(PyObject* model) noexcept {
    Ref declared = attr(model, names().fk);
    Ref fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    Ref out = fks ? steal(PyTuple_New(PyTuple_GET_SIZE(fks.get()))) : Ref();
    if (!out) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        PyObject* name = PyObject_GetAttr(PyTuple_GET_ITEM(fks.get(), i), names().name);
        if (!name) return {};
        PyTuple_SET_ITEM(out.get(), i, name);
    }
    return out;
}

}  // namespace

Ref chosen_relations(const char* func, PyObject* model, PyObject* only) noexcept {
    if (only == Py_None) return borrow(only);
    if (PyUnicode_Check(only) || PyBytes_Check(only)) {
        fail(PyExc_TypeError, "%s() argument 'only' must be a sequence of relation names, not a single %.200s", func,
             type_name(only));
        return {};
    }
    Ref chosen = steal(PySequence_Tuple(only));
    if (!chosen) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            fail(PyExc_TypeError, "%s() argument 'only' must be a sequence of relation names, not %.200s", func,
                 type_name(only));
        }
        return {};
    }
    Ref known = relation_names_of(model);
    if (!known) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(chosen.get()); ++i) {
        PyObject* name = PyTuple_GET_ITEM(chosen.get(), i);
        if (!PyUnicode_Check(name)) {
            fail(PyExc_TypeError, "%s() argument 'only' must hold str names, not %.200s", func, type_name(name));
            return {};
        }
        int found = PySequence_Contains(known.get(), name);
        if (found < 0) return {};
        if (!found) {
            const char* model_name = PyType_Check(model) ? reinterpret_cast<PyTypeObject*>(model)->tp_name : "?";
            PyErr_Format(PyExc_ValueError, "%s(): %R is not a relation of model %.200s", func, name, model_name);
            return {};
        }
    }
    return chosen;
}

int is_chosen(PyObject* fk, PyObject* only) noexcept {
    if (!only || only == Py_None) return 1;
    Ref name = attr(fk, names().name);
    return name ? PySequence_Contains(only, name.get()) : -1;
}

bool Kinds::load() noexcept {
    Ref type = module_attr(names().mod_ModelProperty, names().ForeignType);
    if (!type) return false;
    if (type.get() == bound.ForeignType) {  // the enum bound at load: its members are fixed
        one_to_one = borrow(bound.ONE_TO_ONE);
        one_to_many = borrow(bound.ONE_TO_MANY);
        many_to_many = borrow(bound.MANY_TO_MANY);
        return true;
    }
    one_to_one = attr(type.get(), names().ONE_TO_ONE);
    one_to_many = attr(type.get(), names().ONE_TO_MANY);
    many_to_many = attr(type.get(), names().MANY_TO_MANY);
    return one_to_one && one_to_many && many_to_many;
}

bool plain_mapping(PyObject* obj) noexcept {
    return PyDict_CheckExact(obj) || Py_IS_TYPE(obj, bound.model->ModelInstance);
}

int carries(PyObject* container, PyObject* key) noexcept {
    if (plain_mapping(container)) {  // `in` and [] are the dict's own: one lookup answers both
        PyObject* found_value = nullptr;
        int found = PyDict_GetItemRef(container, key, &found_value);
        Ref value = steal(found_value);
        return found <= 0 ? found : value.get() != Py_None;
    }
    int present = PySequence_Contains(container, key);
    if (present <= 0) return present;
    Ref value = steal(PyObject_GetItem(container, key));
    if (!value) return -1;
    return value.get() != Py_None;
}

}  // namespace tsy::exec
