// ModelExecutor.save and its relation writers: the owner's INSERT, then the
// related rows it carries, every statement on the executor's connection.
#include "relations.hpp"

namespace tsy::exec {
namespace {

const char* const kInstanceNames[] = {"instance"};
const char* const kOtoNames[] = {"res", "fk", "instance"};
const char* const kFkInstanceNames[] = {"fk", "instance"};

}  // namespace

namespace {

// col.insertCell(value). A column whose class inherits BaseProperty's own
// method, and whose attribute dictionary does not hide it, gets the same cell
// natively, without binding and calling the method.
Ref insert_cell(PyObject* col, PyObject* value) noexcept {
    if (_PyType_Lookup(Py_TYPE(col), names().insertCell) == bound.native_insert_cell) {
        int hidden = in_instance_dict(col, names().insertCell);
        if (hidden < 0) return {};
        if (!hidden) return steal(bound.property->insertCell(col, value));
    }
    return call_method(col, names().insertCell, value);
}

}  // namespace

// The INSERT entries: every column the instance holds with a value other than
// None. 0, "" and False are values like any other.
Ref insert_cells(PyObject* model, PyObject* instance) noexcept {
    Ref cols = model_columns(model);
    Ref cells = steal(PyList_New(0));
    if (!cols || !cells) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols.get()); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols.get(), i);
        Ref name = column_name(col);
        if (!name) return {};
        Ref value;
        if (plain_mapping(instance)) {
            PyObject* found = nullptr;
            if (PyDict_GetItemRef(instance, name.get(), &found) < 0) return {};
            value = steal(found);
            if (!found || found == Py_None) continue;
        } else {
            int has_value = carries(instance, name.get());
            if (has_value < 0) return {};
            if (!has_value) continue;
            value = steal(PyObject_GetItem(instance, name.get()));
            if (!value) return {};
        }
        Ref cell = insert_cell(col, value.get());
        if (!cell || PyList_Append(cells.get(), cell.get()) < 0) return {};
    }
    return steal(PyList_AsTuple(cells.get()));
}

bool check_mapping(const char* func, PyObject* instance) noexcept {
    if (PyType_HasFeature(Py_TYPE(instance), Py_TPFLAGS_MAPPING)) return true;
    fail(PyExc_TypeError, "%.200s() argument 'instance' must be a mapping, not %.200s", func, type_name(instance));
    return false;
}

Ref find_instance_row(PyObject* self, PyObject* instance) noexcept {
    Ref model = borrow(as_executor(self)->model);
    Ref pk_name = attr(model.get(), names().pkName);
    Ref key = pk_name ? steal(PyObject_GetItem(instance, pk_name.get())) : Ref();
    int has_key = key ? truth(key.get()) : -1;
    if (has_key <= 0) {
        if (has_key == 0) PyErr_SetNone(bound.UpdateWithOutPrimaryKeyError);
        return {};
    }
    Ref pk_col = attr(model.get(), names().pkCol);
    Ref condition = pk_col ? equals(pk_col.get(), key.get()) : Ref();
    Ref exc = condition ? get_executor(model.get(), work_of(self).get()) : Ref();
    Ref selecting = exc ? call_method(exc.get(), names().find, pk_col.get()) : Ref();
    return selecting ? call_method(selecting.get(), names().By, condition.get()) : Ref();
}

namespace {

// Cuts `error`'s chain of contexts where it reaches `clash`, so that making
// `error` the context of `clash` cannot close a loop.
void detach_from(PyObject* error, PyObject* clash) noexcept {
    Ref link = borrow(error);
    while (link) {
        Ref next = steal(PyException_GetContext(link.get()));
        if (next.get() == clash) {
            PyException_SetContext(link.get(), nullptr);
            return;
        }
        link = std::move(next);
    }
}

}  // namespace

void reraise_clash(Ref clash) noexcept {
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) return;
        Ref fallback_error = steal(PyErr_GetRaisedException());
        detach_from(fallback_error.get(), clash.get());
        PyException_SetContext(clash.get(), fallback_error.release());
    }
    PyErr_SetRaisedException(clash.release());
}

namespace {

// The duplicate-key fallback: the instance's row updated instead, when the
// instance names a row that exists. Otherwise the INSERT wrote nothing and
// an UPDATE would match nothing: the driver's error is the caller's answer.
Ref update_instead(PyObject* self, PyObject* instance) noexcept {
    Ref clash = steal(PyErr_GetRaisedException());
    Ref rows = find_instance_row(self, instance);
    int exists = rows ? truth(rows.get()) : -1;
    Ref updated = exists > 0 ? op(self, names().update, instance) : Ref();
    if (!updated) reraise_clash(std::move(clash));
    return updated;
}

// insert(model).values(*cells) and execute; NULL with IntegrityError pending
// when the driver rejects the row.
Ref insert_owner(PyObject* self, PyObject* cells) noexcept {
    Ref builder = borrow(as_executor(self)->sql ? as_executor(self)->sql : Py_None);
    Ref model = borrow(as_executor(self)->model);
    Ref inserting = call_method(builder.get(), names().insert, model.get());
    if (!inserting) return {};
    Ref values = attr(inserting.get(), names().values);
    if (!values || !steal(PyObject_Call(values.get(), cells, nullptr))) return {};
    return op(self, names().execute);
}

// A relation of a kind without a writer of its own: each element saved by a
// new executor of the target model, the results listed in the owner's row.
bool save_each(PyObject* self, PyObject* fk, PyObject* res, PyObject* fk_name, PyObject* elements) noexcept {
    Ref saved = steal(PyList_New(0));
    if (!saved || PyObject_SetItem(res, fk_name, saved.get()) < 0) return false;
    Ref target = steal(PyObject_GetItem(fk, names().target));
    Ref iter = steal(PyObject_GetIter(elements));
    if (!target || !iter) return false;
    while (Ref element = steal(PyIter_Next(iter.get()))) {
        Ref exc = get_executor(target.get(), work_of(self).get());
        Ref one = exc ? call_method(exc.get(), names().save, element.get()) : Ref();
        if (!one || PyList_Append(saved.get(), one.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// The relation step of save for one relation property.
bool save_relation(PyObject* self, PyObject* fk, PyObject* res, PyObject* instance, Kinds& kinds) noexcept {
    Ref fk_name = steal(PyObject_GetItem(fk, names().name));
    if (!fk_name) return false;
    int present = PySequence_Contains(instance, fk_name.get());
    if (present <= 0) return present == 0;
    Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
    if (!related) return false;
    int truthy = truth(related.get());
    if (truthy <= 0) return truthy == 0;
    Ref kind = steal(PyObject_GetItem(fk, names().Type));
    if (!kind || !kinds.ensure()) return false;
    int is;
    if ((is = is_kind(kind.get(), kinds.one_to_one.get())) != 0) {
        return is > 0 && op(self, names()._saveOTO, res, fk, instance);
    }
    Ref type_attr = attr(fk, names().Type);
    if (!type_attr) return false;
    if ((is = is_kind(type_attr.get(), kinds.one_to_many.get())) != 0) {
        return is > 0 && op(self, names()._saveOTM, fk, instance);
    }
    if ((is = is_kind(type_attr.get(), kinds.many_to_many.get())) != 0) {
        return is > 0 && op(self, names()._saveMTM, fk, instance);
    }
    return save_each(self, fk, res, fk_name.get(), related.get());
}

// The general path: reset, the INSERT entries, the builder, execute. NULL
// with the error of a step before the statement (`statement_ran` false) or
// of the statement.
Ref general_insert(PyObject* self, PyObject* instance, bool& statement_ran) noexcept {
    statement_ran = false;
    if (!op(self, names().reset) || remember_instance(self, instance) < 0) return {};
    Ref model = borrow(as_executor(self)->model);
    Ref cells = insert_cells(model.get(), instance);
    if (!cells) return {};
    if (PyTuple_GET_SIZE(cells.get()) == 0) return borrow(instance);
    statement_ran = true;
    return insert_owner(self, cells.get());
}

// The relation step after the owner's INSERT: each relation the instance
// carries is written on the executor's connection.
bool save_relations(PyObject* self, PyObject* res, PyObject* instance) noexcept {
    Kinds kinds;
    Ref model = borrow(as_executor(self)->model);
    Ref fks = attr(model.get(), names().fk);
    if (!fks) return false;
    Ref iter = steal(PyObject_GetIter(fks.get()));
    if (!iter) return false;
    while (Ref fk = steal(PyIter_Next(iter.get()))) {
        if (!save_relation(self, fk.get(), res, instance, kinds)) return false;
    }
    return !PyErr_Occurred();
}

}  // namespace

PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"save", kInstanceNames, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a) || !check_mapping("save", a[0])) return nullptr;
    Ref instance = borrow(a[0]);
    Ref res;
    bool relations = true;
    bool statement_ran = false;
    switch (planned_save(self, instance.get(), res, relations)) {
        case Planned::saved: break;
        case Planned::statement_failed: statement_ran = true; break;
        case Planned::failed: return nullptr;
        case Planned::general:
            res = general_insert(self, instance.get(), statement_ran);
            if (res.get() == instance.get() && !statement_ran) return res.release();  // nothing to insert
            break;
    }
    if (!res) {
        if (!statement_ran || !PyErr_ExceptionMatches(bound.IntegrityError)) return nullptr;
        return update_instead(self, instance.get()).release();
    }
    if (!relations) return res.release();
    if (!save_relations(self, res.get(), instance.get())) return nullptr;
    return res.release();
}

// One-to-one: the related instance gets the saved owner's bind value, is
// saved on this connection, and the saved row is attached to the owner's result.
PyObject* saveOTO_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveOTO", kOtoNames, 3, 3};
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject *res = a[0], *fk = a[1], *instance = a[2];
    Ref fk_name = steal(PyObject_GetItem(fk, names().name));
    Ref bind_col = steal(PyObject_GetItem(fk, names().bindCol));
    Ref target_bind_col = steal(PyObject_GetItem(fk, names().targetBindCol));
    if (!fk_name || !bind_col || !target_bind_col) return nullptr;
    Ref related = steal(PyObject_GetItem(instance, fk_name.get()));
    Ref target_column = attr(target_bind_col.get(), names().name);
    Ref bind_column = attr(bind_col.get(), names().name);
    if (!related || !target_column || !bind_column) return nullptr;
    Ref owner_value = steal(PyObject_GetItem(res, bind_column.get()));
    if (!owner_value || PyObject_SetItem(related.get(), target_column.get(), owner_value.get()) < 0) return nullptr;
    Ref target = attr(fk, names().target);
    Ref exc = target ? get_executor(target.get(), work_of(self).get()) : Ref();
    Ref current = exc ? steal(PyObject_GetItem(instance, fk_name.get())) : Ref();
    Ref saved = current ? call_method(exc.get(), names().save, current.get()) : Ref();
    if (!saved || PyObject_SetItem(res, fk_name.get(), saved.get()) < 0) return nullptr;
    Py_RETURN_NONE;
}

// One-to-many: the children of instance[fk.name], each given the owner's
// bind value in its own bind column, then saved by one executor of the target.
PyObject* saveOTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveOTM", kFkInstanceNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject *fk = a[0], *instance = a[1];
    const Names& n = names();
    Ref target = attr(fk, n.target);
    Ref exc = target ? get_executor(target.get(), work_of(self).get()) : Ref();
    Ref fk_name = attr(fk, n.name);
    Ref bind_column = attr2(fk, n.bindCol, n.name);
    Ref child_column = attr2(fk, n.targetBindCol, n.name);
    if (!exc || !fk_name || !bind_column || !child_column) return nullptr;
    Ref owner_value = steal(PyObject_GetItem(instance, bind_column.get()));
    Ref children = owner_value ? steal(PyObject_GetItem(instance, fk_name.get())) : Ref();
    Ref iter = children ? steal(PyObject_GetIter(children.get())) : Ref();
    if (!iter) return nullptr;
    while (Ref child = steal(PyIter_Next(iter.get()))) {
        if (!op(exc.get(), n.reset)) return nullptr;
        if (PyObject_SetItem(child.get(), child_column.get(), owner_value.get()) < 0) return nullptr;
        if (!op(exc.get(), n.save, child.get())) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
}

PyObject* saveMTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"_saveMTM", kFkInstanceNames, 2, 2};
    PyObject* a[2];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    if (write_many_to_many(self, a[0], a[1], false) < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace tsy::exec
