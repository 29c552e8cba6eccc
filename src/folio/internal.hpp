// Declarations shared by the files of Tessary.Ext.Folio.
#pragma once

#include "tessary/carrack.hpp"
#include "tessary/db.hpp"
#include "tessary/dict.hpp"
#include "tessary/generator.hpp"
#include "tessary/identifiers.hpp"
#include "tessary/model.hpp"

namespace tsy::folio {

extern PyTypeObject PageType;
extern PyTypeObject FolioType;

// The paging controller. The executor's builder accumulates the filter,
// ordering and limit; the controller only keeps the page arguments.
struct FolioObject {
    PyObject_HEAD
    PyObject* target;     // the model class paged
    PyObject* executor;   // BaseModelExecutor of `target`
    int page;
    int pageSize;
    char deep;            // 1: findForeign (per instance), 2: findForeignIn (batched)
    PyObject* only;       // NULL or None: every relation; else a tuple of relation names
};

// What the module binds at import; owned for the life of the process.
struct Bound {
    const dict::DictApi* dict = nullptr;
    const gen::GeneratorApi* gen = nullptr;
    const exec::CarrackApi* carrack = nullptr;
    const model::PropertyApi* prop = nullptr;
    PyObject* DB = nullptr;           // Tessary.DB.DB.DB
    const db::DbApi* db = nullptr;
    const db::ConnectorApi* connector = nullptr;
    bool assertions = true;           // __debug__ at import
};
extern Bound bound;

struct Names {
    PyObject* page;
    PyObject* pageSize;
    PyObject* content;
    PyObject* total;
    PyObject* totalPage;
    PyObject* col;
    PyObject* tableName;
    PyObject* pkName;
    PyObject* getExecutor;
    PyObject* getInstance;
    PyObject* connector;
    PyObject* isAsync;
    PyObject* executeSql;
    PyObject* args;
    PyObject* execute;
    PyObject* editSql;
    PyObject* findListForeignKey;
    PyObject* orderBy;
    PyObject* _getCount;
    PyObject* _execute;
    PyObject* _asyncExecute;
    PyObject* args_kwnames;  // ("args",): keyword names of executeSql(text, args=...)
};
extern Names names;

int init_names() noexcept;
int ready_page() noexcept;
int ready_folio() noexcept;

// Page(page, pageSize) with its own empty content list (new ref).
PyObject* new_page(int page, int pageSize) noexcept;

// The database handle, DB.getInstance() (new ref).
inline Ref db_handle() noexcept { return call_method(bound.DB, names.getInstance); }

// The connector the statements of the paged model `target` go to (its
// `database`, the handle's by default), new ref.
Ref target_connector(PyObject* target) noexcept;
// True when that connector runs on an event loop; -1 on error.
int connector_is_async(PyObject* target) noexcept;

// What an operation works on, held from its start: a callback that re-runs
// the controller's __init__ neither frees it nor changes it under way.
struct Fetch {
    Ref target;
    Ref executor;
    int page;
    int pageSize;
    bool deep;
    bool batched = false;  // the related rows by findListForeignKeyIn
    Ref only;              // NULL: every relation; else the names passed as only=
};
Fetch fetch_of(FolioObject* self) noexcept;

// The loading of the page's related rows: the executor's
// findListForeignKey(content), or findListForeignKeyIn(content, True) after
// findForeignIn; its result (an awaitable on the coroutine executor).
Ref load_related_rows(const Fetch& fetch, PyObject* content) noexcept;
// The executor's findListForeignKey(content[, only=...]): its result or awaitable.
Ref load_rows_one_by_one(const Fetch& fetch, PyObject* content) noexcept;

// The executor's statement builder, checked to be a SqlGenerator (held).
Ref builder_of(PyObject* executor) noexcept;

// Steps shared by the synchronous and the coroutine fetch.
PyObject* begin_fetch(const Fetch& fetch) noexcept;              // new Page
int fill_totals(const Fetch& fetch, PyObject* page, PyObject* count_rows) noexcept;  // 1: fetch content
bool limit_to_page(const Fetch& fetch) noexcept;

// The coroutine form of a fetch (returns the coroutine object).
PyObject* async_fetch(FolioObject* self) noexcept;

// Keyset pages (keyset.cpp): _Folio.keyset(*columns, after=None, count=False)
// and the readiness of its result type, added to the module.
PyObject* folio_keyset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
int ready_keyset(PyObject* module) noexcept;

}  // namespace tsy::folio
