// ModelExecutor: the executor of the synchronous connector. Its execute runs
// every statement the operations prepare through the database handle.
#include "carrack.hpp"
#include "reads.hpp"
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
     "update($self, instance, columns=None)\n--\n\n"
     "UPDATE the instance's row by primary key, after its related rows. columns: None for every column, a "
     "sequence of column names, or \"changed\" for the columns assigned since the instance was loaded, made or "
     "written (with none, no UPDATE is sent and rowcount is 0)."},
    {"updateWhere", method<updateWhere_method<kSyncRules>>(), kFast,
     "updateWhere($self, Filter, /, *, everyRow=False, **values)\n--\n\n"
     "One UPDATE of the rows Filter matches, setting each column named to its value (a generator such as "
     "FunctionCall is written as SQL); returns the rows matched, also left in rowcount. Filter None takes "
     "everyRow=True."},
    {"deleteWhere", method<deleteWhere_method<kSyncRules>>(), kFast,
     "deleteWhere($self, Filter, *, everyRow=False)\n--\n\n"
     "One DELETE of the rows Filter matches; returns their number, also left in rowcount. Filter None takes "
     "everyRow=True."},
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
    {"count", method<reads::count_method<false>>(), kFast,
     "count($self, Filter=None)\n--\n\n"
     "the number of rows matching Filter (SELECT COUNT(*)), an int."},
    {"exists", method<reads::exists_method<false>>(), kFast,
     "exists($self, Filter=None)\n--\n\n"
     "whether a row matches Filter (SELECT 1 ... LIMIT 1), a bool."},
    {"aggregate", method<reads::aggregate_method<false>>(), kFast,
     "aggregate($self, Filter=None, **named)\n--\n\n"
     "one row of named FunctionCalls or Expressions over the rows matching Filter, as a dict "
     "(aggregate(n=FunctionCall(\"count\", M.id)) -> {'n': 3})."},
    {"values", method<reads::values_method<false>>(), kFast,
     "values($self, *columns, Filter=None, groupBy=(), having=None, orderBy=None, limit=None, offset=None, "
     "distinct=False)\n--\n\n"
     "the selected columns (default: every column) and aliased items of the matching rows, as a list of "
     "plain dicts keyed by column name or alias."},
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
