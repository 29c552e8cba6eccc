// _Folio: the paging controller. Narrowed by chained calls, ended by execute.
#include "internal.hpp"

namespace tsy::folio {
namespace {

FolioObject* as_folio(PyObject* self) noexcept { return reinterpret_cast<FolioObject*>(self); }

// A controller made by __new__ alone has no model and no executor yet.
bool folio_ready(PyObject* self) noexcept { return as_folio(self)->target && as_folio(self)->executor; }

int folio_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_folio(self)->target);
    Py_VISIT(as_folio(self)->executor);
    Py_VISIT(as_folio(self)->only);
    return 0;
}

int folio_clear(PyObject* self) {
    Py_CLEAR(as_folio(self)->target);
    Py_CLEAR(as_folio(self)->executor);
    Py_CLEAR(as_folio(self)->only);
    return 0;
}

void folio_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    folio_clear(self);
    Py_TYPE(self)->tp_free(self);
}

const char* const kInitParams[] = {"target", "page", "pageSize", "findForeign"};

// The arguments of _Folio(...) and Folio(...), converted.
struct FolioArgs {
    PyObject* target;
    int page = 1;
    int pageSize = 10;
    int deep = 0;
};

bool convert_args(PyObject* const* a, FolioArgs& out) noexcept {
    out.target = a[0];
    if (a[1] && !to_int(a[1], &out.page)) return false;
    if (a[2] && !to_int(a[2], &out.pageSize)) return false;
    if (a[3] && (out.deep = truth(a[3])) < 0) return false;
    return true;
}

bool check_page_args(const FolioArgs& args) noexcept {
    if (!bound.assertions) return true;
    if (args.pageSize <= 0) {
        fail(PyExc_AssertionError, "pageSize参数必须为大于零的整数");
        return false;
    }
    if (args.page <= 0) {
        fail(PyExc_AssertionError, "page参数必须为大于零的整数");
        return false;
    }
    return true;
}

// Every later operation needs the executor, so a model without one is
// rejected here rather than at the first fetch.
Ref executor_of(PyObject* target) noexcept {
    Ref executor = call_method(target, names.getExecutor);
    if (!executor) return {};
    if (executor.get() == Py_None) {
        return fail(PyExc_TypeError, "%.200R.getExecutor() returned None: a paged model needs an executor", target);
    }
    if (!PyObject_TypeCheck(executor.get(), bound.carrack->BaseModelExecutor)) {
        return fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(executor.get()),
                    bound.carrack->BaseModelExecutor->tp_name);
    }
    if (!exec::executor_ready(executor.get())) return not_initialised(executor.get());
    return executor;
}

int folio_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    static const Params params{"__init__", kInitParams, 4, 1};
    PyObject* a[4];
    Ref kw_holder, value_holder;
    FolioArgs parsed;
    if (!parse_tuple(params, args, kwargs, a, kw_holder, value_holder)) return -1;
    if (!convert_args(a, parsed) || !check_page_args(parsed)) return -1;
    Ref executor = executor_of(parsed.target);
    if (!executor) return -1;
    FolioObject* folio = as_folio(self);
    set_field(folio->target, parsed.target);
    set_field(folio->executor, executor.get());
    folio->page = parsed.page;
    folio->pageSize = parsed.pageSize;
    folio->deep = static_cast<char>(parsed.deep);
    Py_CLEAR(folio->only);
    return 0;
}

// Selects every column of the model on the executor's builder.
bool select_all_columns(PyObject* target, PyObject* executor) noexcept {
    Ref cols = attr(target, names.col);
    if (!cols) return false;
    Ref tuple = steal(PySequence_Tuple(cols.get()));
    if (!tuple) return false;
    Ref sql = builder_of(executor);
    return sql && Ref::steal(bound.gen->select(sql.get(), tuple.get()));
}

const char* const kFilterParams[] = {"args"};

PyObject* folio_filter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"filter", kFilterParams, 1, 0};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    PyObject* condition = a[0] ? a[0] : Py_None;
    if (!check_arg(condition, bound.prop->FilterListCell, "args")) return nullptr;
    Fetch now = fetch_of(as_folio(self));
    if (!select_all_columns(now.target.get(), now.executor.get())) return nullptr;
    Ref sql = builder_of(now.executor.get());
    if (!sql || !Ref::steal(bound.gen->where(sql.get(), condition))) return nullptr;
    return Py_NewRef(self);
}

const char* const kForeignParams[] = {"only"};

// The keyword `only`: None, or a tuple of names (the executor checks that
// they are relations of the model when the page loads). A bare str is
// refused: it would read as a sequence of letters.
bool read_only(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Ref* out) noexcept {
    const Params params{func, kForeignParams, 1, 0};
    PyObject* a[1];
    if (nargs > 0) {
        arg_count_error(func, 0, 0, nargs);
        return false;
    }
    if (!parse(params, args, nargs, kwnames, a)) return false;
    PyObject* given = a[0] ? a[0] : Py_None;
    if (given == Py_None) {
        *out = borrow(given);
        return true;
    }
    if (PyUnicode_Check(given) || PyBytes_Check(given)) {
        fail(PyExc_TypeError, "%s() argument 'only' must be a sequence of relation names, not a single %.200s", func,
             type_name(given));
        return false;
    }
    *out = steal(PySequence_Tuple(given));
    if (*out) return true;
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        fail(PyExc_TypeError, "%s() argument 'only' must be a sequence of relation names, not %.200s", func,
             type_name(given));
    }
    return false;
}

PyObject* choose_loading(PyObject* self, const char* func, char deep, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
    Ref only;
    if (!read_only(func, args, nargs, kwnames, &only)) return nullptr;
    as_folio(self)->deep = deep;
    set_field(as_folio(self)->only, only.get());
    return Py_NewRef(self);
}

PyObject* folio_findForeign(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return choose_loading(self, "findForeign", 1, args, nargs, kwnames);
}

PyObject* folio_findForeignIn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return choose_loading(self, "findForeignIn", 2, args, nargs, kwnames);
}

PyObject* folio_orderBy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_keywords("orderBy", kwnames)) return nullptr;
    Ref executor = borrow(as_folio(self)->executor);
    Ref sql = builder_of(executor.get());
    if (!sql) return nullptr;
    Ref method = attr(sql.get(), names.orderBy);
    if (!method || !Ref::steal(PyObject_Vectorcall(method.get(), args, nargs, nullptr))) return nullptr;
    return Py_NewRef(self);
}

const char* const kSetPageParams[] = {"page", "pageSize"};

PyObject* folio_setPage(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"setPage", kSetPageParams, 2, 1};
    PyObject* a[2];
    int page = 0, pageSize = 0;
    if (!parse(params, args, nargs, kwnames, a) || !to_int(a[0], &page)) return nullptr;
    if (a[1] && !to_int(a[1], &pageSize)) return nullptr;
    as_folio(self)->page = page;
    if (pageSize > 0) as_folio(self)->pageSize = pageSize;
    return Py_NewRef(self);
}

const char* const kEditParams[] = {"callable"};

PyObject* folio_editSql(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"editSql", kEditParams, 1, 1};
    PyObject* a[1];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    Ref executor = borrow(as_folio(self)->executor);  // held: the callable may re-run __init__
    if (!call_method(executor.get(), names.editSql, a[0])) return nullptr;
    return Py_NewRef(self);
}

// "select count(<table>.<pk>) from <table> <joins> <where>"
Ref count_text(PyObject* target, PyObject* where_text, PyObject* join_text) noexcept {
    Ref table = attr(target, names.tableName);
    if (table) table = sql::quoted_name(table.get());
    Ref pk = table ? attr(target, names.pkName) : Ref();
    if (pk) pk = sql::quoted_name(pk.get());
    if (!pk) return {};
    return steal(PyUnicode_FromFormat("select count(%S.%S) from %S %S %S", table.get(), pk.get(), table.get(),
                                      join_text, where_text));
}

Ref join_text_of(const Ref& builder) noexcept {
    auto* sql = reinterpret_cast<gen::SqlGeneratorObject*>(builder.get());
    // The builder keeps its join entries in a list (or None before the first join).
    PyObject* joins = sql->_joinList;
    if (!joins || !PyList_Check(joins) || PyList_GET_SIZE(joins) == 0) return steal(PyUnicode_FromString(""));
    return steal(bound.gen->build_join(reinterpret_cast<PyObject*>(sql)));
}

PyObject* folio_getCount(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("_getCount", nargs, kwnames)) return nullptr;
    Fetch now = fetch_of(as_folio(self));
    Ref builder = builder_of(now.executor.get());
    if (!builder) return nullptr;
    auto* sql = reinterpret_cast<gen::SqlGeneratorObject*>(builder.get());
    Ref condition = borrow(sql->whereCol ? sql->whereCol : Py_None);
    Ref where = steal(bound.gen->build_where(condition.get()));
    if (!where) return nullptr;
    PyObject* where_text = PyTuple_GET_ITEM(where.get(), 0);
    PyObject* where_args = PyTuple_GET_ITEM(where.get(), 1);
    if (!PyUnicode_Check(where_text)) return expected_kind("str", where_text);
    if (where_args == Py_None) return fail(PyExc_TypeError, "'NoneType' object is not iterable");
    if (!PyList_Check(where_args)) return expected_kind("list", where_args);
    Ref joins = join_text_of(builder);
    Ref text = joins ? count_text(now.target.get(), where_text, joins.get()) : Ref();
    Ref arg_tuple = text ? steal(PyList_AsTuple(where_args)) : Ref();
    Ref connector = arg_tuple ? target_connector(now.target.get()) : Ref();
    Ref handle = connector ? db_handle() : Ref();
    Ref handles = handle ? attr(handle.get(), names.connector) : Ref();
    if (!handles) return nullptr;
    // A model of a registered database counts on its own connector; the
    // others through the handle, as any statement of the handle's connector.
    if (connector.get() != handles.get()) {
        return bound.connector->run(connector.get(), nullptr, text.get(), arg_tuple.get(), db::RUN_ROWS);
    }
    Ref execute_sql = attr(handle.get(), names.executeSql);
    if (!execute_sql) return nullptr;
    PyObject* argv[] = {text.get(), arg_tuple.get()};
    return PyObject_Vectorcall(execute_sql.get(), argv, 1, names.args_kwnames);
}

}  // namespace

Fetch fetch_of(FolioObject* self) noexcept {
    Ref only = self->only && self->only != Py_None ? borrow(self->only) : Ref();
    return {borrow(self->target), borrow(self->executor), self->page, self->pageSize, self->deep != 0,
            self->deep == 2, std::move(only)};
}

namespace {

PyObject* only_kwnames() noexcept {
    static PyObject* kwnames = Py_BuildValue("(s)", "only");  // immortal once made
    return kwnames;
}

}  // namespace

Ref load_rows_one_by_one(const Fetch& fetch, PyObject* content) noexcept {
    if (!fetch.only) return call_method(fetch.executor.get(), names.findListForeignKey, content);
    PyObject* argv[] = {fetch.executor.get(), content, fetch.only.get()};
    PyObject* kwnames = only_kwnames();
    if (!kwnames) return {};
    return steal(PyObject_VectorcallMethod(names.findListForeignKey, argv, 2, kwnames));
}

Ref load_related_rows(const Fetch& fetch, PyObject* content) noexcept {
    if (!fetch.batched) return load_rows_one_by_one(fetch, content);
    static PyObject* batched_name = nullptr;  // interned once, immortal
    if (!batched_name && !(batched_name = intern("findListForeignKeyIn"))) return {};
    if (!fetch.only) return call_method(fetch.executor.get(), batched_name, content, Py_True);
    PyObject* argv[] = {fetch.executor.get(), content, Py_True, fetch.only.get()};
    PyObject* kwnames = only_kwnames();
    if (!kwnames) return {};
    return steal(PyObject_VectorcallMethod(batched_name, argv, 3, kwnames));
}

Ref builder_of(PyObject* executor) noexcept {
    if (!executor) return fail(PyExc_TypeError, "the paging controller has no executor");
    PyObject* sql = reinterpret_cast<exec::ExecutorObject*>(executor)->sql;
    if (!sql || !PyObject_TypeCheck(sql, bound.gen->SqlGenerator)) {
        return fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(sql ? sql : Py_None),
                    bound.gen->SqlGenerator->tp_name);
    }
    return borrow(sql);
}

Ref target_connector(PyObject* target) noexcept { return steal(bound.db->connectorFor(target)); }

int connector_is_async(PyObject* target) noexcept {
    Ref connector = target_connector(target);
    Ref flag = connector ? attr(connector.get(), names.isAsync) : Ref();
    return flag ? truth(flag.get()) : -1;
}

namespace {

// A controller executed without `filter` means "every row": the builder gets
// the model's columns, exactly as filter(None) would give it.
bool ensure_statement_kind(const Fetch& fetch) noexcept {
    Ref sql = builder_of(fetch.executor.get());
    if (!sql) return false;
    if (reinterpret_cast<gen::SqlGeneratorObject*>(sql.get())->base.currentType != gen::UNSET) return true;
    return select_all_columns(fetch.target.get(), fetch.executor.get());
}

}  // namespace

// Shared by the two fetch paths: the page with total and totalPage set from
// the count rows, and whether content must be fetched (1), not (0), or -1.
int fill_totals(const Fetch& self, PyObject* page, PyObject* count_rows) noexcept {
    Ref first = steal(PySequence_GetItem(count_rows, 0));
    Ref total = first ? steal(PySequence_GetItem(first.get(), 0)) : Ref();
    if (!total || PyObject_SetAttr(page, names.total, total.get()) < 0) return -1;
    Ref size = steal(PyLong_FromLong(self.pageSize));
    Ref quotient_remainder = size ? steal(PyNumber_Divmod(total.get(), size.get())) : Ref();
    if (!quotient_remainder) return -1;
    if (!PyTuple_Check(quotient_remainder.get()) || PyTuple_GET_SIZE(quotient_remainder.get()) != 2) {
        return fail(PyExc_TypeError, "the row count is not a number");
    }
    PyObject* quotient = PyTuple_GET_ITEM(quotient_remainder.get(), 0);
    int has_rest = truth(PyTuple_GET_ITEM(quotient_remainder.get(), 1));
    if (has_rest < 0) return -1;
    Ref one = steal(PyLong_FromLong(has_rest));
    Ref total_pages = one ? steal(PyNumber_Add(quotient, one.get())) : Ref();
    Ref as_int = total_pages ? steal(PyNumber_Index(total_pages.get())) : Ref();
    if (!as_int || PyObject_SetAttr(page, names.totalPage, as_int.get()) < 0) return -1;
    int any = truth(total.get());
    if (any <= 0) return any;
    Ref requested = steal(PyLong_FromLong(self.page));
    if (!requested) return -1;
    int beyond = PyObject_RichCompareBool(requested.get(), as_int.get(), Py_GT);
    return beyond < 0 ? -1 : !beyond;
}

// Limits the builder to the requested page; the offset must fit a C int.
bool limit_to_page(const Fetch& self) noexcept {
    long long offset = (static_cast<long long>(self.page) - 1) * self.pageSize;
    if (offset > INT32_MAX || offset < INT32_MIN) {
        fail(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    Ref sql = builder_of(self.executor.get());
    return sql && Ref::steal(bound.gen->Limit(sql.get(), self.pageSize, static_cast<int>(offset)));
}

// Starts a fetch: the statement kind ensured and a fresh page (new ref).
PyObject* begin_fetch(const Fetch& fetch) noexcept {
    if (!ensure_statement_kind(fetch)) return nullptr;
    return new_page(fetch.page, fetch.pageSize);
}

namespace {

PyObject* folio_execute_sync(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("_execute", nargs, kwnames)) return nullptr;
    const Fetch fetch = fetch_of(as_folio(self));
    Ref page = steal(begin_fetch(fetch));
    Ref rows = page ? call_method(self, names._getCount) : Ref();
    if (!rows) return nullptr;
    int wanted = fill_totals(fetch, page.get(), rows.get());
    if (wanted <= 0) return wanted < 0 ? nullptr : page.release();
    if (!limit_to_page(fetch)) return nullptr;
    Ref content = call_method(fetch.executor.get(), names.execute);
    if (!content || PyObject_SetAttr(page.get(), names.content, content.get()) < 0) return nullptr;
    if (fetch.deep) {
        Py_ssize_t n = PyObject_Length(content.get());
        if (n < 0) return nullptr;
        if (n > 0 && !load_related_rows(fetch, content.get())) return nullptr;
    }
    return page.release();
}

PyObject* folio_execute_async(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("_asyncExecute", nargs, kwnames)) return nullptr;
    return async_fetch(as_folio(self));
}

PyObject* folio_execute(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("execute", nargs, kwnames)) return nullptr;
    Ref target = borrow(as_folio(self)->target);
    int is_async = connector_is_async(target.get());
    if (is_async < 0) return nullptr;
    if (is_async) return call_method(self, names._asyncExecute).release();
    Ref page = call_method(self, names._execute);
    if (page && !check_convert(page.get(), &PageType)) return nullptr;
    return page.release();
}

PyMethodDef folio_methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. _Folio[User]."},
    {"filter", fastkw_ready<folio_ready, folio_filter>(), METH_FASTCALL | METH_KEYWORDS,
     "filter($self, args=None)\n--\n\nSelect every column of the model with this condition."},
    {"findForeign", fastkw_ready<folio_ready, folio_findForeign>(), METH_FASTCALL | METH_KEYWORDS,
     "findForeign($self, *, only=None)\n--\n\nLoad the related rows of the page's instances as well (only the "
     "relations `only` names, when given)."},
    {"findForeignIn", fastkw_ready<folio_ready, folio_findForeignIn>(), METH_FASTCALL | METH_KEYWORDS,
     "findForeignIn($self, *, only=None)\n--\n\nLoad the related rows of the page's instances as well, with one "
     "statement per relation and level (the executor's findListForeignKeyIn; only the relations `only` names, when "
     "given)."},
    {"orderBy", fastkw_ready<folio_ready, folio_orderBy>(), METH_FASTCALL | METH_KEYWORDS, "orderBy($self, *items)\n--\n\nORDER BY items."},
    {"setPage", fastkw_ready<folio_ready, folio_setPage>(), METH_FASTCALL | METH_KEYWORDS,
     "setPage($self, page, pageSize=0)\n--\n\nThe page to fetch; a positive pageSize replaces the page size."},
    {"editSql", fastkw_ready<folio_ready, folio_editSql>(), METH_FASTCALL | METH_KEYWORDS,
     "editSql($self, callable)\n--\n\nHand the pending statement builder to `callable`."},
    {"keyset", fastkw_ready<folio_ready, folio_keyset>(), METH_FASTCALL | METH_KEYWORDS,
     "keyset($self, *columns, after=None, count=False)\n--\n\nThe page after the row whose values of `columns` are `after` "
     "(a page's `next`), in their order; the last column must be unique. Its execute() returns the Page."},
    {"_getCount", fastkw_ready<folio_ready, folio_getCount>(), METH_FASTCALL | METH_KEYWORDS, "Send the count statement."},
    {"_execute", fastkw_ready<folio_ready, folio_execute_sync>(), METH_FASTCALL | METH_KEYWORDS, "The synchronous fetch."},
    {"_asyncExecute", fastkw_ready<folio_ready, folio_execute_async>(), METH_FASTCALL | METH_KEYWORDS,
     "The asynchronous fetch (a coroutine)."},
    {"execute", fastkw_ready<folio_ready, folio_execute>(), METH_FASTCALL | METH_KEYWORDS,
     "End of the call chain: fetch the page (a coroutine with an asynchronous connector)."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef folio_members[] = {
    {"page", Py_T_INT, offsetof(FolioObject, page), Py_READONLY, "the requested page number"},
    {"pageSize", Py_T_INT, offsetof(FolioObject, pageSize), Py_READONLY, "rows per page"},
    {"deep", Py_T_BOOL, offsetof(FolioObject, deep), Py_READONLY, "whether related rows are loaded"},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace

// "<Folio of Post page=2 pageSize=5>"; " findForeign" or " findForeignIn" when it loads related rows.
PyObject* folio_repr(PyObject* self) noexcept {
    FolioObject* f = reinterpret_cast<FolioObject*>(self);
    Ref target = borrow(f->target ? f->target : Py_None);
    Ref name = PyType_Check(target.get())
                   ? steal(PyType_GetQualName(reinterpret_cast<PyTypeObject*>(target.get())))
                   : steal(PyObject_Repr(target.get()));
    if (!name) return nullptr;
    const char* related = f->deep == 1 ? " findForeign" : f->deep == 2 ? " findForeignIn" : "";
    return PyUnicode_FromFormat("<Folio of %U page=%d pageSize=%d%s>", name.get(), f->page, f->pageSize, related);
}

PyTypeObject FolioType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Folio._Folio",
    .tp_basicsize = sizeof(FolioObject),
    .tp_dealloc = folio_dealloc,
    .tp_repr = folio_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "_Folio(target, page=1, pageSize=10, findForeign=False)\n--\n\n"
              "Paging controller supporting chained calls.",
    .tp_traverse = folio_traverse,
    .tp_clear = folio_clear,
    .tp_methods = folio_methods,
    .tp_members = folio_members,
    .tp_init = entry<folio_init>,
    .tp_new = PyType_GenericNew,
};

int ready_folio() noexcept { return PyType_Ready(&FolioType); }

}  // namespace tsy::folio
