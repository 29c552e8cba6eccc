// Keyset pages: _Folio.keyset(*columns, after=None, count=False) pages by the
// values of `columns` in the last row of the previous page instead of by
// OFFSET, so a page costs the same however deep it is:
//
//     WHERE <filter> AND (t.a, t.b) > (%s, %s) ORDER BY t.a, t.b LIMIT n
//
// SQLite (3.15 and later) gets the row-value comparison; MySQL gets it
// written out, (t.a > %s OR t.a = %s AND t.b > %s), which its range
// optimizer reads as ranges of an index on (a, b) where it would scan for
// the row value. The last column must be unique (the key, usually) so that
// no two rows share a position. The Page holds `content`, `pageSize` and
// `next`, the `after` of the following page (None after the last page); the
// count statement is sent only with count=True (`total`, `totalPage`).
#include "tessary/coro.hpp"

#include "internal.hpp"

namespace tsy::folio {
namespace {

// _Folio.keyset(...)'s result: what execute needs, held.
struct KeysetObject {
    PyObject_HEAD
    PyObject* folio;
    PyObject* columns;  // tuple of column properties of the model
    PyObject* after;    // tuple of their values, or None for the first page
    int count;
};

KeysetObject* as_keyset(PyObject* obj) noexcept { return reinterpret_cast<KeysetObject*>(obj); }

bool keyset_ready(PyObject* self) noexcept { return as_keyset(self)->folio && as_keyset(self)->columns; }

int keyset_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_keyset(self)->folio);
    Py_VISIT(as_keyset(self)->columns);
    Py_VISIT(as_keyset(self)->after);
    return 0;
}

int keyset_clear(PyObject* self) {
    Py_CLEAR(as_keyset(self)->folio);
    Py_CLEAR(as_keyset(self)->columns);
    Py_CLEAR(as_keyset(self)->after);
    return 0;
}

void keyset_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    keyset_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* name_name = nullptr;
PyObject* next_name = nullptr;

// "table.column" of a column of the model.
Ref qualified(PyObject* target, PyObject* col) noexcept {
    Ref table = attr(target, names.tableName);
    if (table) table = sql::quoted_name(table.get());
    Ref name = table ? attr(col, name_name) : Ref();
    if (name) name = sql::quoted_name(name.get());
    if (!name) return {};
    return steal(PyUnicode_FromFormat("%S.%S", table.get(), name.get()));
}

// 1 when the connector of the paged model writes "?" placeholders (the
// SQLite connectors) on a library that reads row values.
int row_values(PyObject* target) noexcept {
    Ref connector = target_connector(target);
    Ref style = connector ? attr(connector.get(), "paramstyle") : Ref();
    if (!style) return -1;
    if (!PyUnicode_Check(style.get()) || PyUnicode_CompareWithASCIIString(style.get(), "qmark") != 0) return 0;
    Ref version = import_attr("sqlite3", "sqlite_version_info");
    Ref needed = version ? steal(Py_BuildValue("(ii)", 3, 15)) : Ref();
    if (!needed) return -1;
    return PyObject_RichCompareBool(version.get(), needed.get(), Py_GE);
}

// (t.a, t.b) > (%s, %s) as one verbatim condition cell.
Ref row_value_condition(PyObject* target, PyObject* columns, PyObject* after) noexcept {
    Ref list = steal(PyList_New(0));
    Ref marks = steal(PyList_New(0));
    Ref mark = steal(PyUnicode_FromString("%s"));
    if (!list || !marks || !mark) return {};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        Ref text = qualified(target, PyTuple_GET_ITEM(columns, i));
        if (!text || PyList_Append(list.get(), text.get()) < 0 || PyList_Append(marks.get(), mark.get()) < 0) return {};
    }
    Ref comma = steal(PyUnicode_FromString(", "));
    Ref left = comma ? steal(PyUnicode_Join(comma.get(), list.get())) : Ref();
    Ref right = left ? steal(PyUnicode_Join(comma.get(), marks.get())) : Ref();
    Ref sql = right ? steal(PyUnicode_FromFormat(" (%U) > (%U) ", left.get(), right.get())) : Ref();
    if (!sql) return {};
    Ref custom = call(reinterpret_cast<PyObject*>(bound.gen->CustomSqlGenerator), sql.get(), after);
    if (!custom) return {};
    return call(reinterpret_cast<PyObject*>(bound.prop->FilterListCell), custom.get());
}

// a > v1 OR a = v1 AND b > v2 OR ..., built with the columns' operators.
Ref expanded_condition(PyObject* columns, PyObject* after) noexcept {
    Ref any;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(columns); ++i) {
        Ref term = steal(PyObject_RichCompare(PyTuple_GET_ITEM(columns, i), PyTuple_GET_ITEM(after, i), Py_GT));
        for (Py_ssize_t k = i - 1; term && k >= 0; --k) {
            Ref equal = steal(PyObject_RichCompare(PyTuple_GET_ITEM(columns, k), PyTuple_GET_ITEM(after, k), Py_EQ));
            term = equal ? steal(PyNumber_And(equal.get(), term.get())) : Ref();
        }
        if (!term) return {};
        any = any ? steal(PyNumber_Or(any.get(), term.get())) : std::move(term);
        if (!any) return {};
    }
    return any;
}

// Narrows the controller's statement to the page after `after`, in the
// order of the columns, pageSize rows.
bool narrow_to_page(KeysetObject* k, const Fetch& fetch) noexcept {
    Ref sql = builder_of(fetch.executor.get());
    if (!sql) return false;
    auto* builder = reinterpret_cast<gen::SqlGeneratorObject*>(sql.get());
    if (k->after != Py_None) {
        int rows = row_values(fetch.target.get());
        if (rows < 0) return false;
        Ref position = rows ? row_value_condition(fetch.target.get(), k->columns, k->after)
                            : expanded_condition(k->columns, k->after);
        if (!position) return false;
        Ref current = borrow(builder->whereCol ? builder->whereCol : Py_None);
        Ref condition = current.get() == Py_None ? std::move(position)
                                                 : steal(PyNumber_And(current.get(), position.get()));
        if (!condition || !steal(bound.gen->where(sql.get(), condition.get()))) return false;
    }
    Ref order = steal(PyList_New(0));
    if (!order) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(k->columns); ++i) {
        Ref text = qualified(fetch.target.get(), PyTuple_GET_ITEM(k->columns, i));
        if (!text || PyList_Append(order.get(), text.get()) < 0) return false;
    }
    Ref comma = steal(PyUnicode_FromString(", "));
    Ref joined = comma ? steal(PyUnicode_Join(comma.get(), order.get())) : Ref();
    Ref items = joined ? steal(PyTuple_Pack(1, joined.get())) : Ref();
    if (!items || !steal(bound.gen->orderBy(sql.get(), items.get()))) return false;
    return Ref::steal(bound.gen->Limit(sql.get(), fetch.pageSize, 0)) ? true : false;
}

// A page of keyset paging (pageSize, then content and next; total and
// totalPage only when counted), after the statement kind is ensured.
Ref new_keyset_page(const Fetch& fetch) noexcept {
    Ref page = steal(begin_fetch(fetch));
    if (!page || PyObject_DelItem(page.get(), names.page) < 0 || PyObject_DelItem(page.get(), names.total) < 0) {
        return {};
    }
    return page;
}

// Stores the content and the position after its last row.
bool finish_page(KeysetObject* k, const Fetch& fetch, PyObject* page, PyObject* content) noexcept {
    if (PyObject_SetItem(page, names.content, content) < 0) return false;
    Py_ssize_t n = PyObject_Length(content);
    if (n < 0) return false;
    if (n < fetch.pageSize) return PyObject_SetItem(page, next_name, Py_None) == 0;
    Ref last = steal(PySequence_GetItem(content, n - 1));
    Ref next = last ? steal(PyTuple_New(PyTuple_GET_SIZE(k->columns))) : Ref();
    if (!next) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(k->columns); ++i) {
        Ref name = attr(PyTuple_GET_ITEM(k->columns, i), name_name);
        Ref value = name ? steal(PyObject_GetItem(last.get(), name.get())) : Ref();
        if (!value) return false;
        PyTuple_SET_ITEM(next.get(), i, value.release());
    }
    return PyObject_SetItem(page, next_name, next.get()) == 0;
}

// total and totalPage from the count rows.
bool store_count(const Fetch& fetch, PyObject* page, PyObject* rows) noexcept {
    Fetch first_page{borrow(fetch.target.get()), borrow(fetch.executor.get()), 1, fetch.pageSize, false};
    return fill_totals(first_page, page, rows) >= 0;
}

bool load_related(const Fetch& fetch, PyObject* content) noexcept {
    if (!fetch.deep) return true;
    Py_ssize_t n = PyObject_Length(content);
    if (n < 0) return false;
    return n == 0 || load_rows_one_by_one(fetch, content);
}

PyObject* execute_sync(PyObject* self) noexcept {
    KeysetObject* k = as_keyset(self);
    Ref hold = borrow(self);
    const Fetch fetch = fetch_of(reinterpret_cast<FolioObject*>(k->folio));
    Ref page = new_keyset_page(fetch);
    if (!page) return nullptr;
    if (k->count) {
        Ref rows = call_method(k->folio, names._getCount);
        if (!rows || !store_count(fetch, page.get(), rows.get())) return nullptr;
    }
    if (!narrow_to_page(k, fetch)) return nullptr;
    Ref content = call_method(fetch.executor.get(), names.execute);
    if (!content || !finish_page(k, fetch, page.get(), content.get())) return nullptr;
    if (!load_related(fetch, content.get())) return nullptr;
    return page.release();
}

coro::Task execute_task(Ref self, Ref page = nullptr, Ref content = nullptr) {
    KeysetObject* k = as_keyset(self.get());
    const Fetch fetch = fetch_of(reinterpret_cast<FolioObject*>(k->folio));
    page = new_keyset_page(fetch);
    if (!page) co_return nullptr;
    if (k->count) {
        Ref pending = call_method(k->folio, names._getCount);
        if (!pending) co_return nullptr;
        Ref rows = co_await coro::await(pending.get());
        if (!rows || !store_count(fetch, page.get(), rows.get())) co_return nullptr;
    }
    if (!narrow_to_page(k, fetch)) co_return nullptr;
    Ref pending = call_method(fetch.executor.get(), names.execute);
    if (!pending) co_return nullptr;
    content = co_await coro::await(pending.get());
    if (!content || !finish_page(k, fetch, page.get(), content.get())) co_return nullptr;
    if (fetch.deep) {
        Py_ssize_t n = PyObject_Length(content.get());
        if (n < 0) co_return nullptr;
        if (n > 0) {
            Ref loading = load_rows_one_by_one(fetch, content.get());
            if (!loading) co_return nullptr;
            Ref loaded = co_await coro::await(loading.get());
            if (!loaded) co_return nullptr;
        }
    }
    co_return std::move(page);
}

PyObject* keyset_execute(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args("execute", nargs, kwnames)) return nullptr;
    Ref folio = borrow(as_keyset(self)->folio);
    Ref target = borrow(reinterpret_cast<FolioObject*>(folio.get())->target);
    int is_async = connector_is_async(target.get());
    if (is_async < 0) return nullptr;
    if (!is_async) return execute_sync(self);
    if (!coro::import_coro_api()) return nullptr;
    return coro::make_coroutine(execute_task(borrow(self)), "execute", "KeysetFolio.execute");
}

PyMethodDef keyset_methods[] = {
    // The stubs make the class generic: subscripting it names a type in annotations.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "__class_getitem__($type, item, /)\n--\n\nThe class parameterised for annotations, e.g. KeysetFolio[User]."},
    {"execute", fastkw_ready<keyset_ready, keyset_execute>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self)\n--\n\nThe page after `after` (a coroutine with an asynchronous connector)."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject KeysetType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Ext.Folio.KeysetFolio",
    .tp_basicsize = sizeof(KeysetObject),
    .tp_dealloc = keyset_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "KeysetFolio()\n--\n\nThe keyset page of a paging controller, made by _Folio.keyset(); execute() fetches it.",
    .tp_traverse = keyset_traverse,
    .tp_clear = keyset_clear,
    .tp_methods = keyset_methods,
    .tp_new = PyType_GenericNew,
};

// The columns checked to be column properties of the model.
Ref checked_columns(PyObject* target, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs == 0) return fail(PyExc_TypeError, "keyset() needs at least one column");
    Ref model_cols = attr(target, names.col);
    Ref all = model_cols ? steal(PySequence_Tuple(model_cols.get())) : Ref();
    Ref columns = all ? steal(PyTuple_New(nargs)) : Ref();
    if (!columns) return {};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        if (!PyObject_TypeCheck(args[i], bound.prop->BaseProperty)) {
            return fail(PyExc_TypeError, "keyset() takes column properties of the model, not %.200s",
                        type_name(args[i]));
        }
        bool own = false;
        for (Py_ssize_t c = 0; c < PyTuple_GET_SIZE(all.get()) && !own; ++c) own = PyTuple_GET_ITEM(all.get(), c) == args[i];
        if (!own) return fail(PyExc_ValueError, "keyset(): %R is not a column of %R", args[i], target);
        PyTuple_SET_ITEM(columns.get(), i, Py_NewRef(args[i]));
    }
    return columns;
}

Ref checked_after(PyObject* after, Py_ssize_t width) noexcept {
    if (!after || after == Py_None) return borrow(Py_None);
    if (!PyTuple_Check(after) && !PyList_Check(after)) {
        return fail(PyExc_TypeError, "keyset(): after must be a tuple of the columns' values (a page's next), not %.200s",
                    type_name(after));
    }
    Ref values = steal(PySequence_Tuple(after));
    if (values && PyTuple_GET_SIZE(values.get()) != width) {
        return fail(PyExc_ValueError, "keyset(): after holds %zd values for %zd columns", PyTuple_GET_SIZE(values.get()),
                    width);
    }
    return values;
}

}  // namespace

// _Folio.keyset(*columns, after=None, count=False)
PyObject* folio_keyset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* after = nullptr;
    PyObject* count = nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_CompareWithASCIIString(key, "after") == 0) after = args[nargs + i];
        else if (PyUnicode_CompareWithASCIIString(key, "count") == 0) count = args[nargs + i];
        else return unexpected_keyword("keyset", key);
    }
    Ref target = borrow(reinterpret_cast<FolioObject*>(self)->target);
    Ref columns = checked_columns(target.get(), args, nargs);
    Ref values = columns ? checked_after(after, nargs) : Ref();
    int counted = count ? truth(count) : 0;
    if (!values || counted < 0) return nullptr;
    Ref keyset = steal(PyType_GenericNew(&KeysetType, nullptr, nullptr));
    if (!keyset) return nullptr;
    KeysetObject* k = as_keyset(keyset.get());
    set_field(k->folio, self);
    set_field(k->columns, columns.get());
    set_field(k->after, values.get());
    k->count = counted;
    return keyset.release();
}

int ready_keyset(PyObject* module) noexcept {
    if (!name_name && !(name_name = intern("name"))) return -1;
    if (!next_name && !(next_name = intern("next"))) return -1;
    return add_type(module, &KeysetType, "KeysetFolio");
}

}  // namespace tsy::folio
