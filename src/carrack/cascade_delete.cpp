// delete(instance, cascade=True) of both executors: the instance's row, the
// rows of its one-to-one and one-to-many relations (each with its own
// relations in turn) and the junction rows of its many-to-many relations,
// in one transaction.
//
// The walk finds the rows to delete first, level by level, by querying
// every relation on its bind column (what the instance holds loaded does not
// matter: rows written since, or never loaded, go as well); then deletes
// them, children before their parents. A row is visited once, by its table
// and key, so a row that is its own parent, or two rows pointing at each
// other, end the walk. The walk keeps its rows in a list rather than on the
// C stack: a chain deeper than the interpreter's recursion limit ends in
// RecursionError, as a recursive walk would, and before anything is deleted.
#include "related_writes.hpp"

#include <vector>

namespace tsy::exec {
namespace {

// A row the walk deletes: `row` by its key, or (`row` NULL) every row of
// `model` that `condition` matches: the junction rows of a relation, and the
// rows of a model without a primary key, whose own relations are not followed.
struct Doomed {
    Ref model;
    Ref row;
    Ref condition;
    int depth = 0;
};

enum class Reach { none, junction, children };

// What the walk does with relation `fk`: nothing (another kind), delete the
// junction rows it leads to, or query the children it names.
bool reach_of(PyObject* fk, Reach* out) noexcept {
    Ref kind = attr(fk, names().Type);
    if (!kind) return false;
    int many = is_kind(kind.get(), bound.MANY_TO_MANY);
    int one = many == 0 ? is_kind(kind.get(), bound.ONE_TO_ONE) : 0;
    int to_many = many == 0 && one == 0 ? is_kind(kind.get(), bound.ONE_TO_MANY) : 0;
    if (many < 0 || one < 0 || to_many < 0) return false;
    *out = many ? Reach::junction : (one || to_many) ? Reach::children : Reach::none;
    return true;
}

// (table, key) of a row of `model`, or None when the model has no primary key.
Ref identity_of(PyObject* model, PyObject* row) noexcept {
    Ref pk_name = attr(model, names().pkName);
    if (!pk_name) return {};
    if (pk_name.get() == Py_None) return borrow(Py_None);
    Ref table = attr(model, names().tableName);
    Ref key = table ? steal(PyObject_GetItem(row, pk_name.get())) : Ref();
    return key ? steal(PyTuple_Pack(2, table.get(), key.get())) : Ref();
}

class CascadeWalk {
public:
    CascadeWalk(PyObject* con, bool is_async) noexcept : con_(con), is_async_(is_async) {}

    // The walk starts at the instance given.
    bool start(PyObject* model, PyObject* instance) noexcept {
        visited_ = steal(PySet_New(nullptr));
        Ref identity = visited_ ? identity_of(model, instance) : Ref();
        if (!identity || !mark(identity.get())) return false;
        rows_.push_back(Doomed{borrow(model), borrow(instance), Ref(), 0});
        return true;
    }

    // The rows of the walk, in the order found (a parent before its children).
    std::vector<Doomed>& rows() noexcept { return rows_; }
    PyObject* con() const noexcept { return con_; }
    bool is_async() const noexcept { return is_async_; }

    // The relations of rows_[index], as (relation, reach, bind value) to
    // follow; the value None (no related row) leaves a relation out.
    bool relations_of(size_t index, Ref* out) noexcept {
        Doomed& d = rows_[index];
        Ref declared = attr(d.model.get(), names().fk);
        Ref fks = declared ? steal(PySequence_Tuple(declared.get())) : Ref();
        Ref found = fks ? steal(PyList_New(0)) : Ref();
        if (!found) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks.get()); ++i) {
            PyObject* fk = PyTuple_GET_ITEM(fks.get(), i);
            Reach reach;
            if (!reach_of(fk, &reach)) return false;
            if (reach == Reach::none) continue;
            Ref bind_name = attr2(fk, names().bindCol, names().name);
            Ref value = bind_name ? steal(PyObject_GetItem(d.row.get(), bind_name.get())) : Ref();
            if (!value) return false;
            if (value.get() == Py_None) continue;
            Ref entry = steal(Py_BuildValue("(OiO)", fk, static_cast<int>(reach), value.get()));
            if (!entry || PyList_Append(found.get(), entry.get()) < 0) return false;
        }
        *out = std::move(found);
        return true;
    }

    // The children a query of relation `fk` found under rows_[parent]: those
    // not visited yet join the walk one level down.
    bool add_children(size_t parent, PyObject* target, PyObject* children) noexcept {
        int depth = rows_[parent].depth + 1;
        Ref list = steal(PySequence_List(children));
        if (!list) return false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
            PyObject* child = PyList_GET_ITEM(list.get(), i);
            Ref identity = identity_of(target, child);
            if (!identity) return false;
            int seen = PySet_Contains(visited_.get(), identity.get());
            if (seen != 0) {
                if (seen < 0) return false;
                continue;
            }
            if (depth > Py_GetRecursionLimit()) {
                PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while deleting related rows");
                return false;
            }
            if (!mark(identity.get())) return false;
            rows_.push_back(Doomed{borrow(target), borrow(child), Ref(), depth});
        }
        return true;
    }

    // Every row of `model` that `condition` matches, deleted with the rest.
    void add_condition(PyObject* model, PyObject* condition, int depth) noexcept {
        rows_.push_back(Doomed{borrow(model), Ref(), borrow(condition), depth});
    }

private:
    bool mark(PyObject* identity) noexcept { return identity == Py_None || PySet_Add(visited_.get(), identity) == 0; }

    PyObject* con_;
    bool is_async_;
    Ref visited_;
    std::vector<Doomed> rows_;
};

// The statement of one relation of a row: the junction rows deleted by
// condition, or the children queried (their awaitable on the coroutine
// executor). `query` empty when the relation needs no query.
bool follow(CascadeWalk& walk, size_t index, PyObject* fk, Reach reach, PyObject* value, Ref* query,
            Ref* target) noexcept {
    const Names& n = names();
    int depth = walk.rows()[index].depth + 1;
    Ref column = attr(fk, n.targetBindCol);
    Ref condition = column ? equals(column.get(), value) : Ref();
    *target = condition ? attr(fk, reach == Reach::junction ? n.middleModel : n.target) : Ref();
    if (!*target || !same_database(walk.rows()[index].model.get(), target->get())) return false;
    if (reach == Reach::junction || is_junction_model(target->get())) {
        walk.add_condition(target->get(), condition.get(), depth);
        return true;
    }
    Ref pk_name = attr(target->get(), n.pkName);
    if (!pk_name) return false;
    if (pk_name.get() == Py_None) {
        walk.add_condition(target->get(), condition.get(), depth);
        return true;
    }
    Ref exc = get_executor(target->get(), walk.con());
    *query = exc ? call_method(exc.get(), n.findAllBy, condition.get()) : Ref();
    return bool(*query);
}

// The delete of one row of the walk on its connection: its result or awaitable.
Ref delete_one(CascadeWalk& walk, const Doomed& d) noexcept {
    Ref exc = get_executor(d.model.get(), walk.con());
    if (!exc) return {};
    if (d.row) return call_method(exc.get(), names().delete_, d.row.get());
    return call_method(exc.get(), names().delete_, Py_None, d.condition.get());
}

coro::Task cascade_job(Ref self, Ref con, Ref args, bool is_async) {
    CascadeWalk walk(con.get(), is_async);
    Ref model = borrow(as_executor(self.get())->model);
    if (!walk.start(model.get(), PyTuple_GET_ITEM(args.get(), 0))) co_return nullptr;
    for (size_t index = 0; index < walk.rows().size(); ++index) {
        if (!walk.rows()[index].row) continue;  // deleted by condition, not followed
        Ref relations;
        if (!walk.relations_of(index, &relations)) co_return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(relations.get()); ++i) {
            PyObject* entry = PyList_GET_ITEM(relations.get(), i);
            Reach reach = static_cast<Reach>(PyLong_AsLong(PyTuple_GET_ITEM(entry, 1)));
            Ref query, target;
            if (!follow(walk, index, PyTuple_GET_ITEM(entry, 0), reach, PyTuple_GET_ITEM(entry, 2), &query, &target)) {
                co_return nullptr;
            }
            if (!query) continue;
            TSY_BULK_RESOLVE(query, is_async);
            if (!query || !walk.add_children(index, target.get(), query.get())) co_return nullptr;
        }
    }
    // Children before their parents; the instance's own row last.
    Ref result;
    for (size_t i = walk.rows().size(); i-- > 0;) {
        result = delete_one(walk, walk.rows()[i]);
        TSY_BULK_RESOLVE(result, is_async);
        if (!result) co_return nullptr;
    }
    co_return result;
}

// The instance's key, as the plain delete requires it: missing or falsy is
// DeleteWithOutPrimaryKeyError.
bool has_key(PyObject* model, PyObject* instance) noexcept {
    Ref pk_name = attr(model, names().pkName);
    Ref key = pk_name ? steal(PyObject_GetItem(instance, pk_name.get())) : Ref();
    int truthy = key ? truth(key.get()) : -1;
    if (truthy < 0) return false;
    if (!truthy) PyErr_SetNone(bound.DeleteWithOutPrimaryKeyError);
    return truthy > 0;
}

}  // namespace

Ref cascade_delete(PyObject* self, PyObject* instance, PyObject* filter) noexcept {
    if (filter != Py_None) {
        return fail(PyExc_ValueError, "delete(cascade=True) deletes one instance and its related rows: "
                                      "a filter cannot be given with it");
    }
    Ref model = borrow(as_executor(self)->model);
    if (!has_key(model.get(), instance)) return {};
    bool is_async = PyObject_TypeCheck(self, &AsyncModelExecutorType);
    Ref args = steal(PyTuple_Pack(1, instance));
    if (!args) return {};
    return bulk::launch(bulk::in_transaction(borrow(self), std::move(args), cascade_job, "delete", is_async), is_async,
                        "delete");
}

}  // namespace tsy::exec
