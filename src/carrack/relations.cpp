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

Ref related_executor(PyObject* self, PyObject* model) noexcept {
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

namespace {

// The junction model's executor, the relation leading to the far side, and
// the owner's bind value: what every junction write needs.
struct Junction {
    Ref middle_exc;
    Ref other_fk;          // middleModel.getOtherFkBy(owner)
    Ref owner_column;      // fk.targetBindCol.name: junction column of the owner
    Ref far_column;        // other_fk.bindCol.name: junction column of the far side
    Ref far_key;           // other_fk.targetBindCol.name: the far row's referenced column
    Ref owner_value;       // instance[fk.bindCol.name]
    Ref owner_filter;      // fk.targetBindCol == owner_value

    bool load(PyObject* fk, PyObject* instance, PyObject* work) noexcept {
        const Names& n = names();
        Ref middle = attr(fk, n.middleModel);
        Ref owner = attr(fk, n.owner);
        if (!middle || !owner) return false;
        middle_exc = get_executor(middle.get(), work);
        other_fk = call_method(middle.get(), n.getOtherFkBy, owner.get());
        if (!middle_exc || !other_fk) return false;
        owner_column = attr2(fk, n.targetBindCol, n.name);
        far_column = attr2(other_fk.get(), n.bindCol, n.name);
        far_key = attr2(other_fk.get(), n.targetBindCol, n.name);
        Ref bind_name = attr2(fk, n.bindCol, n.name);
        if (!owner_column || !far_column || !far_key || !bind_name) return false;
        owner_value = steal(PyObject_GetItem(instance, bind_name.get()));
        if (!owner_value) return false;
        Ref target_bind = attr(fk, n.targetBindCol);
        if (!target_bind) return false;
        owner_filter = equals(target_bind.get(), owner_value.get());
        return bool(owner_filter);
    }

    bool delete_owner_rows() noexcept {
        Ref rows = steal(PyDict_New());
        if (!rows || PyDict_SetItem(rows.get(), owner_column.get(), owner_value.get()) < 0) return false;
        return bool(call_method(middle_exc.get(), names().delete_, rows.get(), owner_filter.get()));
    }

    bool write_row(PyObject* element) noexcept {
        Ref far_value = steal(PyObject_GetItem(element, far_key.get()));
        Ref row = steal(PyDict_New());
        if (!far_value || !row) return false;
        if (PyDict_SetItem(row.get(), owner_column.get(), owner_value.get()) < 0 ||
            PyDict_SetItem(row.get(), far_column.get(), far_value.get()) < 0) {
            return false;
        }
        return bool(call_method(middle_exc.get(), names().save, row.get()));
    }
};

// Writes one far element through its own model's executor on `work`.
bool write_element(PyObject* far_model, PyObject* work, PyObject* element, PyObject* far_key, bool update) noexcept {
    int has_key = carries(element, far_key);
    if (has_key < 0) return false;
    if (has_key && !update) return true;  // an existing row, taken as it is
    Ref exc = get_executor(far_model, work);
    if (!exc) return false;
    return bool(call_method(exc.get(), has_key ? names().update : names().save, element));
}

}  // namespace

int write_many_to_many(PyObject* self, PyObject* fk, PyObject* instance, bool update_elements) noexcept {
    Ref work = work_of(self);
    Junction j;
    if (!j.load(fk, instance, work.get())) return -1;
    Ref far_model = attr(fk, names().directTarget);
    Ref fk_name = attr(fk, names().name);
    if (!far_model || !fk_name) return -1;
    Ref elements = steal(PyObject_GetItem(instance, fk_name.get()));
    if (!elements) return -1;
    Ref list = steal(PySequence_List(elements.get()));
    if (!list) return -1;
    // The coroutine form's order: far rows first, then the owner's junction rows.
    if (update_elements) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            Ref element = borrow(PyList_GET_ITEM(list.get(), i));
            if (!write_element(far_model.get(), work.get(), element.get(), j.far_key.get(), true)) return -1;
        }
        if (!j.delete_owner_rows()) return -1;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            if (!j.write_row(PyList_GET_ITEM(list.get(), i))) return -1;
        }
        return 0;
    }
    if (!j.delete_owner_rows()) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
        Ref element = borrow(PyList_GET_ITEM(list.get(), i));
        if (!write_element(far_model.get(), work.get(), element.get(), j.far_key.get(), false)) return -1;
        if (!j.write_row(element.get())) return -1;
    }
    return 0;
}

}  // namespace tsy::exec
