// AsyncModelExecutor: the executor of the connectors driven by an event loop.
// It has the fields of BaseModelExecutor and inherits its operations; those
// that end in self.execute() therefore return this class's execute
// coroutine, unawaited. Its own methods are coroutines that await every call
// reaching the database, one after another.
#include "async.hpp"
#include "reads.hpp"
#include "bulk.hpp"
#include "stream.hpp"

namespace tsy::exec {
namespace async {
namespace {

const char* const kFilterNames[] = {"Filter"};

PyObject* sqlite_integrity_error = nullptr;  // bound at module load, for the life of the process

coro::Task execute_task(Ref self) {
    ExecutorObject* ex = as_executor(self.get());
    ex->executed = 1;
    Ref handle = borrow(ex->db ? ex->db : Py_None);
    Ref work = work_of(self.get());
    int bound_to_connection = truth(work.get());
    if (bound_to_connection < 0) co_return nullptr;
    Ref pending;
    if (bound_to_connection) {
        PyObject* kwargs[] = {self.get(), work.get()};
        pending = call_method_kw(handle.get(), names().execute, kwargs, 0, names().kw_executor_con);
    } else {
        PyObject* kwargs[] = {self.get()};
        pending = call_method_kw(handle.get(), names().execute, kwargs, 0, names().kw_executor);
    }
    co_return co_await coro::await(std::move(pending));
}

// An empty result is None here, not an error.
coro::Task find_one_task(Ref self, Ref filter) {
    if (!op(self.get(), names().reset)) co_return nullptr;
    Ref found = co_await coro::await(op(self.get(), names().findAllBy, filter.get()));
    if (!found || !check_convert(found.get(), bound.model->InstanceList)) co_return nullptr;
    int any = truth(found.get());
    if (any <= 0) co_return any < 0 ? Ref() : borrow(Py_None);
    Py_ssize_t count = PyObject_Length(found.get());
    if (count < 0) co_return nullptr;
    if (count != 1) {
        PyErr_SetNone(bound.QueryResoutIsNotOne);
        co_return nullptr;
    }
    co_return steal(PySequence_GetItem(found.get(), 0));
}

}  // namespace

bool integrity_error_pending() noexcept {
    return PyErr_ExceptionMatches(bound.IntegrityError) || PyErr_ExceptionMatches(sqlite_integrity_error);
}

bool check_executor(PyObject* exc) noexcept { return check_convert(exc, &AsyncModelExecutorType); }

PyObject* coroutine(coro::Task task, const char* name, const char* qualname) noexcept {
    return coro::make_coroutine(std::move(task), name, qualname);
}

PyObject* execute_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("execute", nargs, kwnames)) return nullptr;
    return coroutine(execute_task(borrow(self)), "execute", "AsyncModelExecutor.execute");
}

PyObject* findOneBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"findOneBy", kFilterNames, 1, 0};
    PyObject* filter[1];
    if (!parse(params, args, nargs, kwnames, filter)) return nullptr;
    if (!filter[0]) filter[0] = Py_None;
    if (!check_arg(filter[0], bound.property->FilterListCell, "Filter")) return nullptr;
    return coroutine(find_one_task(borrow(self), borrow(filter[0])), "findOneBy", "AsyncModelExecutor.findOneBy");
}

namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"findListForeignKey", method<findListForeignKey_method>(), kFast,
     "findListForeignKey($self, instances, deep=None, path=None, clevel=1, level=3, before=None, *, only=None)\n--\n\n"
     "Awaitable: "
     "findForeignKey(deep=True) for every instance in turn, sharing one cache."},
    {"findForeignKey", method<findForeignKey_method>(), kFast,
     "findForeignKey($self, instance, deep=False, path=None, clevel=1, level=3, before=None, *, only=None)\n--\n\n"
     "Awaitable: attach the "
     "rows related to the instance; a relation whose bind value is missing or None is left alone."},
    {"findListForeignKeyIn", method<findListForeignKeyIn_method>(), kFast,
     "findListForeignKeyIn($self, instances, deep=False, level=3, chunk=None, *, only=None)\n--\n\n"
     "Awaitable: what findForeignKey(deep=deep, "
     "level=level) attaches to each instance, sharing one cache, with one IN statement per relation and level "
     "(chunk: the most keys one statement carries; by default the database's parameter limit)."},
    {"findOneBy", method<findOneBy_method>(), kFast,
     "findOneBy($self, Filter=None)\n--\n\n"
     "Awaitable: the one matching row, None when there is none; "
     "QueryResoutIsNotOne when there are several."},
    {"save", method<save_method>(), kFast,
     "save($self, instance)\n--\n\n"
     "Awaitable: INSERT the instance (any mapping), then its related rows. On an IntegrityError "
     "of either driver the row its key names is updated instead; with no such row the error stands."},
    {"_saveOTO", method<saveOTO_method<kAsyncRules>>(), kFast, "await _saveOTO(res, fk, instance): save the one-to-one related row."},
    {"_saveOTM", method<saveOTM_method<kAsyncRules>>(), kFast,
     "await _saveOTM(fk, instance): save the one-to-many children, each given the owner's key."},
    {"_saveMTM", method<saveMTM_method<kAsyncRules>>(), kFast,
     "await _saveMTM(fk, instance): rewrite the owner's junction rows, saving each far-side row first."},
    {"update", method<update_method<kAsyncRules>>(), kFast,
     "update($self, instance, columns=None)\n--\n\n"
     "Awaitable: write the related rows, then UPDATE the instance's row by primary key. columns: None for "
     "every column, a sequence of column names, or \"changed\" for the columns assigned since the instance was "
     "loaded, made or written (with none, no UPDATE is sent and rowcount is 0)."},
    {"updateWhere", method<updateWhere_method<kAsyncRules>>(), kFast,
     "updateWhere($self, Filter, /, *, everyRow=False, **values)\n--\n\n"
     "Awaitable: one UPDATE of the rows Filter matches, setting each column named to its value (a generator "
     "such as FunctionCall is written as SQL); resolves to the rows matched, also left in rowcount. Filter None "
     "takes everyRow=True."},
    {"deleteWhere", method<deleteWhere_method<kAsyncRules>>(), kFast,
     "deleteWhere($self, Filter, *, everyRow=False)\n--\n\n"
     "Awaitable: one DELETE of the rows Filter matches; resolves to their number, also left in rowcount. "
     "Filter None takes everyRow=True."},
    {"saveAll", method<bulk::async_saveAll_method>(), kFast,
     "saveAll($self, instances, chunkSize=None)\n--\n\n"
     "Awaitable: INSERT the rows in multi-row statements (one per column set "
     "and chunk), read their keys back, then their related rows per relation; in one transaction unless the "
     "executor is bound to a connection. Returns the saved rows, in order."},
    {"upsert", method<bulk::async_upsert_method>(), kFast,
     "upsert($self, instances, conflict, update=None, chunkSize=None)\n--\n\n"
     "Awaitable: INSERT the rows, overwriting the "
     "`update` columns (default: every other column given) of a row whose `conflict` columns clash; returns "
     "the saved rows with their keys."},
    {"iterAllBy", method<iterAllBy_method>(), kFast,
     "iterAllBy($self, Filter=None, batchSize=1000)\n--\n\n"
     "The instances of findAllBy for `async for`, in keyset batches of "
     "batchSize rows on the primary key over one connection; aclose() or `async with` ends it early."},
    {"count", method<reads::count_method<true>>(), kFast,
     "count($self, Filter=None)\n--\n\n"
     "Awaitable: the number of rows matching Filter (SELECT COUNT(*)), an int."},
    {"exists", method<reads::exists_method<true>>(), kFast,
     "exists($self, Filter=None)\n--\n\n"
     "Awaitable: whether a row matches Filter (SELECT 1 ... LIMIT 1), a bool."},
    {"aggregate", method<reads::aggregate_method<true>>(), kFast,
     "aggregate($self, Filter=None, **named)\n--\n\n"
     "Awaitable: one row of named FunctionCalls or Expressions over the rows matching Filter, as a dict "
     "(aggregate(n=FunctionCall(\"count\", M.id)) -> {'n': 3})."},
    {"values", method<reads::values_method<true>>(), kFast,
     "values($self, *columns, Filter=None, groupBy=(), having=None, orderBy=None, limit=None, offset=None, "
     "distinct=False)\n--\n\n"
     "Awaitable: the selected columns (default: every column) and aliased items of the matching rows, as a list of "
     "plain dicts keyed by column name or alias."},
    {"execute", method<execute_method>(), kFast,
     "execute($self)\n--\n\n"
     "Awaitable: mark the statement executed and await the database handle's execute "
     "(on `work` when set)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace
}  // namespace async

PyTypeObject AsyncModelExecutorType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.Carrack.AsyncModelExecutor",
    .tp_basicsize = sizeof(ExecutorObject),
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,  // GC inherited
    .tp_doc = "AsyncModelExecutor(model, work=None): the executor of the asynchronous connectors; "
              "its operations are awaited.",
    .tp_methods = async::methods,
    .tp_vectorcall = executor_vectorcall,
};

int ready_async_executor() noexcept {
    if (!coro::import_coro_api()) return -1;
    if (!async::sqlite_integrity_error) {
        async::sqlite_integrity_error = import_attr("sqlite3", "IntegrityError").release();
        if (!async::sqlite_integrity_error) return -1;
    }
    AsyncModelExecutorType.tp_base = &BaseModelExecutorType;
    return PyType_Ready(&AsyncModelExecutorType);
}

}  // namespace tsy::exec
