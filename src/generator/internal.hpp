// Declarations shared by the files of Tessary.DB.Generator. Nothing here is
// seen by other modules: they use include/tessary/generator.hpp.
#pragma once

#include "tessary/db.hpp"
#include "tessary/generator.hpp"
#include "tessary/model.hpp"
#include "text.hpp"

namespace tsy::gen {

extern PyTypeObject BaseSqlGeneratorType;
extern PyTypeObject SqlGeneratorType;
extern PyTypeObject QueryGroupType;
extern PyTypeObject InOperatorGeneratorType;
extern PyTypeObject CustomSqlGeneratorType;
extern PyTypeObject FunctionCallType;
extern PyTypeObject CustomColAnnounceType;
extern PyTypeObject TableGeneratorType;
extern PyTypeObject JoinCellType;
extern PyTypeObject ColumnAliasType;
extern PyTypeObject PredicateType;
extern PyTypeObject ColumnComparisonType;
extern PyTypeObject OrderTermType;
extern PyTypeObject ExpressionType;

// `left op right` (expression.cpp). `op` is one of the interned "+", "-",
// "*", "/"; a plain value beside a column is already in its stored form.
struct ExpressionObject {
    BaseGeneratorObject base;
    PyObject* left;   // column property, Expression, FunctionCall, CustomSqlGenerator or a value
    PyObject* op;
    PyObject* right;
};

// A selected column or function call under an alias (alias.cpp).
struct ColumnAliasObject {
    BaseGeneratorObject base;
    PyObject* source;  // column property, FunctionCall or Expression
    PyObject* alias;   // str, an SQL identifier
};

// What the module binds at import. Everything is owned by the module for the
// life of the process (single-phase init, never unloaded).
struct Bound {
    const model::PropertyApi* prop = nullptr;
    PyObject* SqlInStanceError = nullptr;
    PyObject* SetSQLError = nullptr;
    PyObject* WhereSQLError = nullptr;
    PyObject* SqlMissingRelationshipError = nullptr;
    bool assertions = true;  // false under `python -O`
};
extern Bound bound;

// Interned names, made once at import.
struct Names {
    PyObject* Build;
    PyObject* From;
    PyObject* update;
    PyObject* join;
    PyObject* tableName;
    PyObject* owner;
    PyObject* name;
    PyObject* dbName;
    PyObject* target;
    PyObject* directTarget;
    PyObject* bindCol;
    PyObject* targetBindCol;
    PyObject* getOtherFkBy;
    PyObject* getInstance;
    PyObject* _connector;
    PyObject* connector;
    PyObject* con_type;
    PyObject* autoFiledAnnounce;
    PyObject* object;
    PyObject* pkName;
    PyObject* col;
    PyObject* pkCol;
    PyObject* value;
    PyObject* targetType;
    PyObject* hasDefault;
    PyObject* toDBValue;
    PyObject* DataModel;
    PyObject* ModelInstance;
    PyObject* DB;
    PyObject* mod_DataModel;  // "Tessary.Model.DataModel"
    PyObject* mod_DB;         // "Tessary.DB.DB"
    PyObject* empty;        // ""
    PyObject* blank;        // " ": the default limit text
    PyObject* func_name;
};
extern Names names;

int init_names() noexcept;

// ---------------------------------------------------------------------------
// Type tests and field access
// ---------------------------------------------------------------------------

inline bool is_generator(PyObject* o) noexcept { return PyObject_TypeCheck(o, &BaseSqlGeneratorType); }
inline bool is_property(PyObject* o) noexcept { return PyObject_TypeCheck(o, bound.prop->BaseProperty); }
inline bool is_cell(PyObject* o) noexcept { return PyObject_TypeCheck(o, bound.prop->FilterListCell); }

inline SqlGeneratorObject* builder(PyObject* self) noexcept { return reinterpret_cast<SqlGeneratorObject*>(self); }
inline model::PropertyObject* property(PyObject* o) noexcept { return reinterpret_cast<model::PropertyObject*>(o); }
inline model::FilterCellObject* cell(PyObject* o) noexcept { return reinterpret_cast<model::FilterCellObject*>(o); }

// A column property bound to a model class (its name set by the class).
inline bool bound_column(PyObject* o) noexcept {
    return is_property(o) && property(o)->name && property(o)->name != Py_None;
}

// Stores `value` in an owned struct field; the old value is released last,
// after the field already holds the new one (its finaliser may run code).
inline void replace_field(PyObject*& field, Ref value) noexcept {
    PyObject* old = field;
    field = value.release();
    Py_XDECREF(old);
}

// New list / tuple of borrowed items (a fastcall argument array).
inline Ref list_of(PyObject* const* items, Py_ssize_t n) noexcept {
    Ref list = steal(PyList_New(n));
    if (!list) return {};
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), i, Py_NewRef(items[i]));
    return list;
}

inline Ref tuple_of(PyObject* const* items, Py_ssize_t n) noexcept {
    Ref tuple = steal(PyTuple_New(n));
    if (!tuple) return {};
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, Py_NewRef(items[i]));
    return tuple;
}

// `prop.owner` and `prop.name`: struct fields for column properties, attribute
// lookups for anything else that stands in for one.
Ref owner_of(PyObject* prop);
Ref name_of(PyObject* prop);

// `model.tableName` of the owner of a column property, read once per build
// and owner (memo of `out`).
Ref owner_table(PyObject* prop, Text& out);

// `DB.getInstance()` of Tessary.DB.DB, at call time.
Ref db_instance();
// The connector whose SQL a statement is being written in: the one the
// handle's execute renders it for, else the connector of `model` (its
// `database`; NULL for the handle's). A stand-in for the DB class is asked
// for its handle's attribute `handle_attr` instead.
Ref rendering_connector(PyObject* model, PyObject* handle_attr);

// Guards one level of nested rendering (a group in a group, a call in a
// call). The interpreter budgets about 800 bytes of C stack per recursion
// unit; a level here takes ~300 bytes optimised and up to ~2 kB under
// AddressSanitizer (its red zones around every local of the condition
// renderer), so sanitized builds count a level as three units and other
// unoptimised ones as two.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr int kRecursionUnits = 3;
#elif !defined(__OPTIMIZE__)
inline constexpr int kRecursionUnits = 2;
#else
inline constexpr int kRecursionUnits = 1;
#endif

// `weight` counts a level that takes several renderers' frames (a subquery:
// a whole statement inside a condition) as that many levels.
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where, int weight = 1) noexcept : wanted_(kRecursionUnits * weight) {
        while (units_ < wanted_ && Py_EnterRecursiveCall(where) == 0) ++units_;
    }
    ~RecursionGuard() {
        for (int i = 0; i < units_; ++i) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    bool entered() const noexcept { return units_ == wanted_; }

private:
    int wanted_;
    int units_ = 0;
};

// ---------------------------------------------------------------------------
// Building (base.cpp)
// ---------------------------------------------------------------------------

// A C-level Build: (text, args) tuple, or None for an UNSET builder.
using BuildFn = Ref (*)(PyObject* self);

// Registers the C Build of `type` and whether `Build` is public on it. Called
// at import, after the type is ready.
int register_build(PyTypeObject* type, BuildFn build) noexcept;

// The virtual Build: a Python override on a subclass wins; otherwise the C
// Build of the nearest extension base. Result: a tuple or None.
Ref virtual_build(PyObject* gen);

// `gen.Build()` as the interpreter would call it (public Build only).
Ref public_build(PyObject* gen);

// The Python-level override of `name` on self's class, or nullptr when the
// class still uses `own` (the method found in our static type). Borrowed.
PyObject* find_override(PyObject* self, PyObject* name, PyObject* own) noexcept;

// Embeds a generator the way a where chain does: its public Build must give a
// pair (text, tuple-or-None); the arguments go to `args`, the text to `out`.
bool embed(PyObject* gen, Text& out, PyObject* args);

// Unpacks an iterable of exactly two items, with the interpreter's texts.
bool unpack_pair(PyObject* pair, Ref& first, Ref& second);

// Appends every item of `items` to `list` (None: "'NoneType' object is not iterable").
bool extend(PyObject* list, PyObject* items) noexcept;

// Result of a Python-level call that must be a SqlGenerator or None.
bool check_builder_result(PyObject* result) noexcept;

// ---------------------------------------------------------------------------
// Renderers shared between files (append to `out`, arguments to `args`)
// ---------------------------------------------------------------------------

bool render_where(PyObject* first, Text& out, PyObject* args);     // where.cpp
bool render_group(PyObject* query, Text& out, PyObject* args);     // where.cpp
bool render_in(PyObject* self, Text& out, PyObject* args);         // fragments.cpp
bool render_function(PyObject* self, Text& out, PyObject* args);   // fragments.cpp
bool render_join(PyObject* self, Text& out);                       // join.cpp
bool render_order(PyObject* orderList, Text& out, PyObject* args); // sql_generator.cpp
bool render_select(PyObject* self, Text& out, PyObject* args);     // sql_generator.cpp, without ";"
bool render_column_ref(PyObject* prop, Text& out);                 // fragments.cpp: table.column
// An IN / NOT IN list of `values` (a list) on the column `prop`; an empty
// list renders a condition true for no row (IN) or every row (NOT IN).
bool render_value_list(PyObject* prop, PyObject* values, bool negated, Text& out, PyObject* args);  // fragments.cpp
// The values an IN list holds for the items of `others` (fragments.cpp).
Ref in_list_values(PyObject* others);
// One ORDER BY item and its check (order.cpp): text as written, a column,
// an OrderTerm or another generator; anything else is a TypeError.
bool render_order_item(PyObject* item, Text& out, PyObject* args);
bool check_order_item(PyObject* item);
// `(SELECT ...)` of a builder; with `one_column`, the builder must select
// exactly one column (ValueError otherwise). `func` names the caller in errors.
bool render_subquery(PyObject* query, bool one_column, const char* func, Text& out, PyObject* args);  // conditions.cpp
bool check_subquery(PyObject* query, bool one_column, const char* func);
bool render_alias(PyObject* self, Text& out, PyObject* args);      // alias.cpp
bool render_predicate(PyObject* self, Text& out, PyObject* args);  // conditions.cpp
bool render_expression(PyObject* self, Text& out, PyObject* args); // expression.cpp
bool render_group_by(PyObject* terms, Text& out, PyObject* args);  // grouping.cpp
bool render_having(PyObject* condition, Text& out, PyObject* args); // grouping.cpp

Ref build_where_pair(PyObject* cell);                              // (text, list)
Ref build_select(PyObject* self);
Ref build_insert(PyObject* self);
Ref build_update(PyObject* self);
Ref build_delete(PyObject* self);
Ref build_join_text(PyObject* self);

// ---------------------------------------------------------------------------
// SqlGenerator operations shared with the capsule and between files
// ---------------------------------------------------------------------------

Ref new_builder();
bool set_from(PyObject* self, PyObject* target);       // C From
bool call_from(PyObject* self, PyObject* target);      // From through an override
Ref join_list(PyObject* self);                         // the joinList property
Ref do_select(PyObject* self, PyObject* cols);
Ref do_where(PyObject* self, PyObject* cell);
Ref do_limit(PyObject* self, int count, int offset);
Ref do_order(PyObject* self, PyObject* items);
Ref do_insert(PyObject* self, PyObject* model);
Ref do_values(PyObject* self, PyObject* entries);
Ref do_update(PyObject* self, PyObject* target);       // C update
Ref call_update(PyObject* self, PyObject* target);     // through an override
Ref do_set(PyObject* self, PyObject* entries);
Ref do_delete(PyObject* self, PyObject* target);
Ref do_join(PyObject* self, PyObject* fk, int type);   // C join
Ref call_join(PyObject* self, PyObject* fk, int type); // through an override
Ref new_in(PyObject* others, PyObject* prop);
Ref process_value(PyObject* value);                    // _processValue
Ref new_group_cell(PyObject* query);

// The SqlGenerator methods that a Python subclass may override, as found in
// the static type's dict (what a subclass without an override inherits).
struct OwnMethods {
    PyObject* From;
    PyObject* update;
    PyObject* join;
};
extern OwnMethods own;

Ref build_statement(PyObject* self);                   // the C Build of SqlGenerator
Ref make_pair(Text& text, PyObject* args_list);        // (text, tuple(args_list))

// The Build of a fragment: (text, args) of a renderer.
template <bool (*Render)(PyObject*, Text&, PyObject*)>
Ref rendered_pair(PyObject* self) {
    Ref args = steal(PyList_New(0));
    if (!args) return {};
    Text out;
    if (!Render(self, out, args.get())) return {};
    return make_pair(out, args.get());
}

// The texts of the module tables; "" for codes they do not map.
std::string_view relationship_text(int code) noexcept;
const char* join_keyword(int type) noexcept;           // nullptr when unmapped
Ref make_relationship_map();
Ref make_join_type_map();

// Raising the package's error classes.
Failure raise_error(PyObject* cls);
Failure raise_kind_error(int current, int requested);

// Method tables of SqlGenerator defined in the files of their concern; the
// type in sql_generator.cpp concatenates them.
extern PyMethodDef where_methods[];
extern PyMethodDef write_methods[];
extern PyMethodDef join_methods[];
extern PyMethodDef grouping_methods[];

// Type readiness, called once by the module init.
int ready_base() noexcept;
int ready_sql_generator() noexcept;
int ready_where_types() noexcept;
int ready_fragments() noexcept;
int ready_table() noexcept;
int ready_join_cell() noexcept;
int ready_alias() noexcept;
int ready_conditions() noexcept;
int ready_order() noexcept;
int ready_expression() noexcept;

// The arithmetic (+ - * /) and comparisons shared by Expression and
// FunctionCall (expression.cpp): arithmetic gives an Expression, a
// comparison a filter chain whose head holds the left side.
extern PyNumberMethods operand_number_methods;
PyObject* operand_richcompare(PyObject* self, PyObject* other, int op) noexcept;

// `source.As(alias)`: a ColumnAlias (alias.cpp); FunctionCall's As method.
Ref make_alias(PyObject* source, PyObject* alias);
// `expression.asc()` / `.desc()` of FunctionCall and Expression: an
// OrderTerm of the object itself (order.cpp).
PyObject* asc_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* desc_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* as_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// table_constraints.cpp. The UNIQUE lines of the columns `cols` (a tuple of
// column properties) and the FOREIGN KEY lines of CREATE TABLE (each ending
// ",\n"), leaving out the foreign keys named in `deferred` (a tuple, or NULL
// for none); the ALTER TABLE ... ADD texts of those (a tuple); the CREATE
// INDEX texts of a model (a tuple).
bool render_table_constraints(PyObject* model, PyObject* table_name, PyObject* cols, PyObject* deferred, Text& out);
Ref deferred_constraints(PyObject* model, PyObject* table_name, PyObject* deferred);
Ref build_indexes(PyObject* model);

// Module-level functions defined beside their concern.
extern PyMethodDef where_functions[];
extern PyMethodDef table_functions[];
extern PyMethodDef condition_functions[];

}  // namespace tsy::gen
