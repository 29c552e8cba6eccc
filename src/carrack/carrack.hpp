// Internal declarations of Tessary.Model.Carrack, shared by its files.
#pragma once

#include "executor_rules.hpp"
#include "tessary/carrack.hpp"
#include "tessary/db.hpp"
#include "tessary/generator.hpp"
#include "tessary/model.hpp"

namespace tsy::exec {

// What the module binds at import; filled once by the module init.
struct Bound {
    const model::PropertyApi* property = nullptr;
    const model::ModelApi* model = nullptr;
    const gen::GeneratorApi* generator = nullptr;
    const db::DbApi* db = nullptr;
    const db::ConnectorApi* connector = nullptr;  // its statement runner, for the planned save
    PyObject* IntegrityError = nullptr;        // pymysql's
    PyObject* QueryResoutIsNotOne = nullptr;
    PyObject* DeleteWithOutPrimaryKeyError = nullptr;
    PyObject* UpdateWithOutPrimaryKeyError = nullptr;
    PyObject* ForeignType = nullptr;           // bound at load for foreign-key loading
    // Its members (an enum's members cannot be reassigned).
    PyObject* ONE_TO_ONE = nullptr;
    PyObject* ONE_TO_MANY = nullptr;
    PyObject* MANY_TO_MANY = nullptr;
    PyObject* logger = nullptr;                // logging.getLogger("Tessary")
    // BaseProperty's own insertCell (borrowed from its static, immutable type):
    // a column whose lookup finds it gets its cell without the method call.
    PyObject* native_insert_cell = nullptr;
};

extern Bound bound;

// Interned names and texts, made by init_names() when the module is imported
// (the import fails if one cannot be made), immortal afterwards.
struct Names {
    PyObject* reset;
    PyObject* execute;
    PyObject* findAllBy;
    PyObject* find;
    PyObject* By;
    PyObject* findForeignKey;
    PyObject* save;
    PyObject* update;
    PyObject* delete_;
    PyObject* _saveOTO;
    PyObject* _saveOTM;
    PyObject* _saveMTM;
    PyObject* instance;
    PyObject* col;
    PyObject* fk;
    PyObject* pkName;
    PyObject* pkCol;
    PyObject* tableName;
    PyObject* name;
    PyObject* get;
    PyObject* select;
    PyObject* where;
    PyObject* Limit;
    PyObject* insert;
    PyObject* values;
    PyObject* set;
    PyObject* join;
    PyObject* insertCell;
    PyObject* updateCell;
    PyObject* getExecutor;
    PyObject* getOtherFkBy;
    PyObject* object;
    PyObject* Type;
    PyObject* target;
    PyObject* bindCol;
    PyObject* targetBindCol;
    PyObject* directTarget;
    PyObject* middleModel;
    PyObject* owner;
    PyObject* info;
    PyObject* getLogger;
    PyObject* Tessary;
    PyObject* append;
    PyObject* ONE_TO_ONE;
    PyObject* ONE_TO_MANY;
    PyObject* MANY_TO_MANY;
    PyObject* ForeignType;
    PyObject* mod_ModelProperty;
    PyObject* _id;
    PyObject* con;
    PyObject* sql;
    PyObject* value;
    PyObject* con_type;
    PyObject* DB;
    PyObject* mod_DB;
    PyObject* cache_hit_head;  // log text of a foreign key answered from the cache: head + name + tail
    PyObject* cache_hit_tail;
    // Keyword-name tuples of the calls made with keywords.
    PyObject* kw_executor;        // ("executor",)
    PyObject* kw_executor_con;    // ("executor", "con")
    PyObject* kw_foreign_deep;    // ("deep", "path", "clevel", "level")
    PyObject* kw_foreign_before;  // ("deep", "path", "clevel", "level", "before")
};

const Names& names() noexcept;
// Fills names(); -1 with the error set when one cannot be made.
int init_names() noexcept;

inline ExecutorObject* as_executor(PyObject* obj) noexcept { return reinterpret_cast<ExecutorObject*>(obj); }

// Method-table entry of the executor classes: an executor made by __new__
// alone is refused before the method reads its fields.
template <auto F> inline PyCFunction method() noexcept { return fastkw_ready<executor_ready, F>(); }

extern PyTypeObject BaseModelExecutorType;
extern PyTypeObject ModelExecutorType;

int ready_base_executor() noexcept;
int ready_model_executor() noexcept;
// tp_vectorcall of the executor classes: `Cls(model, work=None)`.
PyObject* executor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;

// Native operations, in slot order.
PyObject* instanceToFilter(PyObject* self, PyObject* instance) noexcept;
PyObject* process(PyObject* self, PyObject* res) noexcept;
PyObject* processSelect(PyObject* self, PyObject* res) noexcept;
PyObject* processInsert(PyObject* self, long long lastrowid) noexcept;
// Whether `model` is a junction model (a MiddleDataModel subclass).
bool is_junction_model(PyObject* model) noexcept;
// The key an INSERT generated (the driver's lastrowid) as a 64-bit integer;
// false with TypeError or OverflowError set.
bool generated_key(PyObject* res, long long* out) noexcept;

// Methods shared between the files that define the two classes.
PyObject* reset_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* find_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* By_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findAllBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findOneBy_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findAnyMatch_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* delete_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Relation operations of ModelExecutor.
PyObject* findListForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* findForeignKey_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The batched loader (batch_load.cpp).
PyObject* findListForeignKeyIn_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// findForeignKey after its argument checks: `path` a dict or None, `before` a str or None.
PyObject* find_foreign_key(PyObject* self, PyObject* instance, bool deep, PyObject* path, int clevel, int level,
                           PyObject* before) noexcept;
PyObject* save_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// save's relation writers and update, one definition for both executors,
// made for kSyncRules and kAsyncRules (save_related.cpp, junction_write.cpp,
// update_related.cpp).
template <const ExecutorRules& rules>
PyObject* saveOTO_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <const ExecutorRules& rules>
PyObject* saveOTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <const ExecutorRules& rules>
PyObject* saveMTM_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <const ExecutorRules& rules>
PyObject* update_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// updateWhere and deleteWhere, one definition for both executors (write_where.cpp).
template <const ExecutorRules& rules>
PyObject* updateWhere_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
template <const ExecutorRules& rules>
PyObject* deleteWhere_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// --- the columns a write names (write_columns.cpp) ---------------------------

// The model's columns by their names (a new dict).
Ref columns_by_name(PyObject* model) noexcept;
// The names `given` (an iterable) as a new set, each a str naming a column of
// the model: TypeError for another kind, ValueError naming every unknown one.
// `func` names the operation in the messages.
Ref named_columns(const char* func, PyObject* model, PyObject* given) noexcept;
// What update's `columns` selects: None for every column; otherwise a new
// set of column names, the given names (checked as named_columns checks
// them) or, for "changed", the instance's changed(). TypeError for a bare
// str other than "changed", or for "changed" with anything but a
// ModelInstance.
Ref update_selection(PyObject* model, PyObject* instance, PyObject* columns) noexcept;
// The SET entry of `value` for column `col`: its updateCell, which converts
// by toDBValue; a generator (any BaseSqlGenerator) is kept as SQL.
Ref set_entry(PyObject* col, PyObject* value) noexcept;

// --- helpers (helpers.cpp) --------------------------------------------------

// self.<name>(args...) through attribute lookup, so that overrides in
// Python subclasses (and instance attributes) are the ones called.
template <typename... A>
inline Ref op(PyObject* self, PyObject* name, A... args) noexcept { return call_method(self, name, args...); }

// Calls `obj.<name>(*args, **kw)` with keyword names `kwnames` (a tuple);
// `args` holds the positional values followed by the keyword values.
Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Builder operations: native on a SqlGenerator, by attribute otherwise
// (which reports None's missing attribute as the interpreter would).
Ref builder_select(PyObject* builder, PyObject* cols) noexcept;
Ref builder_where(PyObject* builder, PyObject* cell) noexcept;
Ref builder_limit(PyObject* builder, int count, int offset) noexcept;

// A new cell FilterListCell(value, col=col); `col` None for value cells.
Ref new_cell(PyObject* value, PyObject* col) noexcept;
// prop == value: a filter chain from the model layer.
Ref equals(PyObject* prop, PyObject* value) noexcept;

// `model.col` as a tuple.
Ref model_columns(PyObject* model) noexcept;
// The `name` of a column property (checked to be a BaseProperty).
Ref column_name(PyObject* col) noexcept;

// The executor's connection, or None: held by the caller, since the Python
// code it is handed to may re-run the executor's __init__.
Ref work_of(PyObject* self) noexcept;

// The connector a statement of `model` runs on: the one `con` belongs to
// when it is given (neither NULL nor None), else the model's (its
// `database`, the handle's by default). New ref, NULL on error.
Ref statement_connector(PyObject* model, PyObject* con) noexcept;

// The executor's attribute dictionary, made when missing (borrowed).
PyObject* attributes(PyObject* self) noexcept;
// Stores `instance` under "instance" in the attribute dictionary.
int remember_instance(PyObject* self, PyObject* instance) noexcept;

// True when calling `model` is the model layer's own class call (no
// metaclass of the application's replaces __call__).
bool native_model_call(PyObject* model) noexcept;
// A new instance of `model` from a driver row or a mapping.
Ref make_instance(PyObject* model, PyObject* row) noexcept;

// ForeignType.<member>, imported from the model layer at the call.
Ref foreign_type(PyObject* member) noexcept;
// fk.Type == ForeignType.<member>: 1, 0, or -1 on error.
int is_kind(PyObject* kind, PyObject* member_value) noexcept;

}  // namespace tsy::exec
