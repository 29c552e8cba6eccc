// The walk of a relation save or update over a graph of instances. Loaded
// relations may lead back (a post's author is the user whose posts are being
// written), so the walk keeps the instances it has visited, by identity, and
// every executor taking part carries that record in its attribute dictionary:
// an instance met again is answered at once, without a statement. The walk
// runs on one connection in one transaction (the caller's when one is open),
// so that a failed statement leaves nothing of it written.
#include "related_writes.hpp"

namespace tsy::exec {
namespace {

Ref identity_of(PyObject* instance) noexcept { return steal(PyLong_FromVoidPtr(instance)); }

// Its value, when awaited: the result of a write answered without a statement.
coro::Task answered_body(Ref value) { co_return std::move(value); }

}  // namespace

PyObject* walk_key() noexcept {
    static PyObject* key = intern("_relationWalk");
    return key;
}

Ref walk_visits(PyObject* self) noexcept {
    PyObject* dict = as_executor(self)->dict;
    if (!dict || PyDict_GET_SIZE(dict) == 0) return {};
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(dict, walk_key(), &found) < 0) return {};
    Ref visits = steal(found);
    if (visits && !PyDict_CheckExact(visits.get())) return {};  // not a record this module made
    return visits;
}

int first_visit(PyObject* visits, PyObject* instance) noexcept {
    Ref key = identity_of(instance);
    if (!key) return -1;
    int seen = PyDict_Contains(visits, key.get());
    if (seen != 0) return seen < 0 ? -1 : 0;
    // The record holds the instance: its address names no other object meanwhile.
    return PyDict_SetItem(visits, key.get(), instance) < 0 ? -1 : 1;
}

int forget_visit(PyObject* visits, PyObject* instance) noexcept {
    Ref key = identity_of(instance);
    if (!key) return -1;
    return PyDict_Pop(visits, key.get(), nullptr) < 0 ? -1 : 0;
}

Ref walk_executor(PyObject* self, PyObject* model) noexcept {
    if (!same_database(as_executor(self)->model, model)) return {};
    Ref exc = get_executor(model, work_of(self).get());
    if (!exc) return {};
    Ref visits = walk_visits(self);
    if (!visits) return PyErr_Occurred() ? Ref() : std::move(exc);
    // Only an executor of this module keeps the record where the walk reads it.
    if (!PyObject_TypeCheck(exc.get(), &BaseModelExecutorType)) return exc;
    PyObject* dict = attributes(exc.get());
    if (!dict || PyDict_SetItem(dict, walk_key(), visits.get()) < 0) return {};
    return exc;
}

int writes_relations(PyObject* model, PyObject* instance, bool truthy) noexcept {
    // Not a mapping (update on the coroutine executor takes anything): its
    // write fails where it did, when it runs.
    if (!PyType_HasFeature(Py_TYPE(instance), Py_TPFLAGS_MAPPING)) return 0;
    Ref declared = attr(model, names().fk);
    Ref fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
    if (!fks) return -1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
        Ref fk_name = attr(PyTuple_GET_ITEM(fks.get(), i), names().name);
        if (!fk_name) return -1;
        int held = carries(instance, fk_name.get());
        if (held <= 0) {
            if (held < 0) return -1;
            continue;
        }
        if (!truthy) return 1;
        Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
        int is = related ? truth(related.get()) : -1;
        if (is != 0) return is;
    }
    return 0;
}

WalkStart walk_start(PyObject* self, PyObject* instance, bool truthy) noexcept {
    Ref visits = walk_visits(self);
    if (visits) {
        int first = first_visit(visits.get(), instance);
        return first < 0 ? WalkStart::failed : first ? WalkStart::plain : WalkStart::visited;
    }
    if (PyErr_Occurred()) return WalkStart::failed;
    Ref model = borrow(as_executor(self)->model);
    int related = writes_relations(model.get(), instance, truthy);
    return related < 0 ? WalkStart::failed : related ? WalkStart::walk : WalkStart::plain;
}

Ref answered(Ref value, const ExecutorRules& rules, const char* name, const char* async_qualname) noexcept {
    if (!rules.awaits_writes) return value;
    return steal(async::coroutine(answered_body(std::move(value)), name, async_qualname));
}

Ref start_walk(PyObject* self, PyObject* instance, bulk::Job job, const ExecutorRules& rules, const char* name,
               const char* async_qualname, PyObject* extra) noexcept {
    Ref args = steal(extra ? PyTuple_Pack(2, instance, extra) : PyTuple_Pack(1, instance));
    if (!args) return {};
    return start_body(bulk::in_transaction(borrow(self), std::move(args), job, name, rules.awaits_writes), rules, name,
                      async_qualname);
}

WalkScope::WalkScope(PyObject* self, PyObject* con, PyObject* instance) noexcept : self_(borrow(self)) {
    ExecutorObject* ex = as_executor(self);
    previous_work_ = borrow(ex->work ? ex->work : Py_None);
    Ref visits = steal(PyDict_New());
    PyObject* dict = visits ? attributes(self) : nullptr;
    if (!dict || PyDict_SetItem(dict, walk_key(), visits.get()) < 0) return;
    installed_ = true;
    set_field(ex->work, con);
    entered_ = first_visit(visits.get(), instance) >= 0;
}

WalkScope::~WalkScope() {
    if (!installed_) return;
    // The walk's own error, if any, stays the pending one.
    Ref pending = steal(PyErr_GetRaisedException());
    ExecutorObject* ex = as_executor(self_.get());
    set_field(ex->work, previous_work_.get());
    PyObject* dict = ex->dict;
    if (dict && PyDict_Pop(dict, walk_key(), nullptr) < 0) PyErr_WriteUnraisable(self_.get());
    PyErr_SetRaisedException(pending.release());
}

}  // namespace tsy::exec
