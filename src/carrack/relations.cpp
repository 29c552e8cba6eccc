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

}  // namespace tsy::exec
