// ModelExecutor: the executor of the synchronous connector. Its execute runs
// every statement the operations prepare through the database handle.
#include "carrack.hpp"
#include "bulk.hpp"
#include "stream.hpp"

namespace tsy::exec {
namespace {

PyObject* execute_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("execute", nargs, kwnames)) return nullptr;
    ExecutorObject* ex = as_executor(self);
    ex->executed = 1;
    // Held: the handle runs Python code that may replace these fields.
    Ref handle = borrow(ex->db ? ex->db : Py_None);
    Ref work = work_of(self);
    int bound_to_connection = truth(work.get());
    if (bound_to_connection < 0) return nullptr;
    // The handle is an exact DB (immutable static type): unless an instance
    // attribute hides it, its execute is the database layer's own.
    int hidden = Py_IS_TYPE(handle.get(), bound.db->DB) ? in_instance_dict(handle.get(), names().execute) : 1;
    if (hidden < 0) return nullptr;
    if (!hidden) return bound.db->execute(self, bound_to_connection ? work.get() : nullptr);
    if (bound_to_connection) {
        PyObject* kwargs[] = {self, work.get()};
        return call_method_kw(handle.get(), names().execute, kwargs, 0, names().kw_executor_con).release();
    }
    PyObject* kwargs[] = {self};
    return call_method_kw(handle.get(), names().execute, kwargs, 0, names().kw_executor).release();
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"findListForeignKey", method<findListForeignKey_method>(), kFast,
     "findListForeignKey($self, instances, deep=None, path=None, clevel=1, level=3, before=None, *, only=None)\n--\n\n"
     ""
     "findForeignKey(deep=True) for every instance, sharing one cache."},
    {"findForeignKey", method<findForeignKey_method>(), kFast,
     "findForeignKey($self, instance, deep=False, path=None, clevel=1, level=3, before=None, *, only=None)\n--\n\n"
     ""
     "attach the rows related to the instance."},
    {"findListForeignKeyIn", method<findListForeignKeyIn_method>(), kFast,
     "findListForeignKeyIn($self, instances, deep=False, level=3, chunk=None, *, only=None)\n--\n\n"
     "What findForeignKey(deep=deep, "
     "level=level) attaches to each instance, sharing one cache, with one IN statement per relation and level "
     "(chunk: the most keys one statement carries; by default the database's parameter limit)."},
    {"save", method<save_method>(), kFast,
     "save($self, instance)\n--\n\n"
     "INSERT the instance (any mapping), then its related rows. On an IntegrityError of "
     "the MySQL driver the row its key names is updated instead; with no such row the error stands."},
    {"_saveOTO", method<saveOTO_method<kSyncRules>>(), kFast, "_saveOTO(res, fk, instance): save the one-to-one related row."},
    {"_saveOTM", method<saveOTM_method<kSyncRules>>(), kFast, "_saveOTM(fk, instance): save the one-to-many children."},
    {"_saveMTM", method<saveMTM_method<kSyncRules>>(), kFast, "_saveMTM(fk, instance): write the many-to-many junction rows."},
    {"update", method<update_method<kSyncRules>>(), kFast,
     "update($self, instance)\n--\n\n"
     "UPDATE the instance's row by primary key, after its related rows."},
    {"saveAll", method<bulk::saveAll_method>(), kFast,
     "saveAll($self, instances, chunkSize=None)\n--\n\n"
     "INSERT the rows in multi-row statements (one per column set and "
     "chunk), read their keys back, then their related rows per relation; in one transaction unless the "
     "executor is bound to a connection. Returns the saved rows, in order."},
    {"upsert", method<bulk::upsert_method>(), kFast,
     "upsert($self, instances, conflict, update=None, chunkSize=None)\n--\n\n"
     "INSERT the rows, overwriting the `update` "
     "columns (default: every other column given) of a row whose `conflict` columns clash; returns the "
     "saved rows with their keys."},
    {"iterAllBy", method<iterAllBy_method>(), kFast,
     "iterAllBy($self, Filter=None, batchSize=1000)\n--\n\n"
     "The instances of findAllBy as an iterator reading batchSize rows at a "
     "time from one cursor; close() or `with` ends it early."},
    {"execute", method<execute_method>(), kFast,
     "execute($self)\n--\n\n"
     "Mark the statement executed and run it through the database handle (on `work` when set)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject ModelExecutorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.Carrack.ModelExecutor",
    .tp_basicsize = sizeof(ExecutorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,  // GC inherited
    .tp_doc = "ModelExecutor(model, work=None): the executor of the synchronous connector.",
    .tp_methods = methods,
    .tp_vectorcall = executor_vectorcall,
};

int ready_model_executor() noexcept {
    ModelExecutorType.tp_base = &BaseModelExecutorType;
    return PyType_Ready(&ModelExecutorType);
}

}  // namespace tsy::exec
