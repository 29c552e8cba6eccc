// Declarations shared by the translation units of Tessary.Model.ModelProperty.
#pragma once

#include "tessary/model.hpp"

namespace tsy::model {

extern PyTypeObject BasePropertyType;
extern PyTypeObject FilterCellType;
extern PyTypeObject ForeignKeyType;
extern PyTypeObject IndexType;
extern PyTypeObject NullDefaultType;
extern PyTypeObject AutoIncrementType;

// The enum.IntEnum classes made at module init; owned by the module for the
// life of the process.
extern PyObject* ForeignTypeEnum;
extern PyObject* RelationshipEnum;

// Interned names, made once at module init (a lazily made name that failed
// once would stay NULL).
struct Names {
    PyObject* isoformat;
    PyObject* blank;
    PyObject* toDBValue;
    PyObject* col;    // keys of the INSERT and SET entries
    PyObject* name;
    PyObject* value;
};
extern Names names;
int ready_names() noexcept;

int ready_markers(PyObject* module) noexcept;
int ready_properties(PyObject* module) noexcept;
int ready_filter_cell(PyObject* module) noexcept;
int ready_foreign_key(PyObject* module) noexcept;
int ready_index(PyObject* module) noexcept;
int ready_conversions() noexcept;
int ready_json() noexcept;

// Value conversions by the column's ValueKind (convert.cpp). Both return a
// new reference; to_db_value names the column `prop` in its errors.
PyObject* to_db_value(PyObject* prop, PyObject* value) noexcept;
PyObject* from_db_value(int kind, PyObject* value) noexcept;
// from_db_value for the column `prop`: a DECIMAL column's value at its declared scale.
PyObject* column_from_db_value(PyObject* prop, PyObject* value) noexcept;
// JsonProperty's conversions (json_value.cpp); errors name the column `prop`
// (json_from_db takes NULL when no column is known).
PyObject* json_to_db(PyObject* prop, PyObject* value) noexcept;
PyObject* json_from_db(PyObject* prop, PyObject* value) noexcept;

// Errors naming a column (column_errors.cpp). column_label: "JsonProperty
// 'data'", or the bare type name for a column not yet bound. refail_naming:
// the error set now becomes the cause of `type`("<label> <what>: <its message>").
Ref column_label(PyObject* prop) noexcept;
void refail_naming(PyObject* prop, PyObject* type, const char* what) noexcept;

// EnumProperty's and UuidProperty's conversions (enum_value.cpp,
// uuid_value.cpp); errors name the column `prop`. uuid_from_db takes NULL
// when no column is known.
PyObject* enum_to_db(PyObject* prop, PyObject* value) noexcept;
PyObject* enum_from_db(PyObject* prop, PyObject* value) noexcept;
PyObject* uuid_to_db(PyObject* prop, PyObject* value) noexcept;
PyObject* uuid_from_db(PyObject* prop, PyObject* value) noexcept;
int ready_enum_property(PyObject* module) noexcept;
int ready_uuid_property(PyObject* module) noexcept;
// What a copy of a column carries beyond BaseProperty's fields (an
// EnumProperty's enum class): copied from `from` to `to`, its fresh copy.
void copy_column_state(PyObject* from, PyObject* to) noexcept;
// Whether `value` is a statement builder's fragment, which a column passes
// on unconverted (the statement renders it in place); -1 on error.
int is_sql_fragment(PyObject* value) noexcept;

// toDBValue of a column, through a Python override when a subclass has one.
PyObject* property_to_db_value(PyObject* prop, PyObject* value) noexcept;
// insertCell(value) of a column: its INSERT entry {"col": prop, "value": toDBValue(value)}.
PyObject* insert_cell_of(PyObject* prop, PyObject* value) noexcept;
PyObject* clone_property(PyObject* prop) noexcept;

// Filter cells (filter_cell.cpp).
PyObject* new_cell(PyObject* value, PyObject* col) noexcept;
PyObject* add_cell(PyObject* self, PyObject* cell, int code) noexcept;
// The two-cell chain `prop <code> value`.
PyObject* comparison(PyObject* prop, PyObject* value, int code) noexcept;

// Linking chains (filter_chain.cpp).
// `a & b` (code AND) and `a | b` (code OR); NotImplemented for other operands.
PyObject* combine(PyObject* a, PyObject* b, int code) noexcept;
// A detached head gets cells of its own again; 0 or -1.
int settle_chain(PyObject* head) noexcept;
// Python code is handed `cell` (`.next`, cells()): its chain is no longer
// linked in place, since the caller may hold any of its cells.
void mark_exposed(FilterCellObject* cell) noexcept;
// `cell` becomes the next of another cell: it is no longer a head.
void make_interior(FilterCellObject* cell) noexcept;
// Drops what a cell keeps for linking (dealloc, clear).
void forget_share(FilterCellObject* cell) noexcept;

PyObject* clone_foreign_key(PyObject* fk) noexcept;

// The IN list of `values` for the column `prop`, converted by it; `func`
// names the caller in errors (property.cpp).
PyObject* in_values(PyObject* prop, PyObject* values, const char* func) noexcept;

// Conditions and order terms of columns (conditions.cpp). The methods are
// listed in the property method table.
PyObject* is_null_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* is_not_null_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* between_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* ilike_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* not_in_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* asc_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* desc_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// Whether `value` is a statement builder (SqlGenerator); false with an error set.
bool is_builder(PyObject* value, int* answer) noexcept;
// `column IN (SELECT ...)` / NOT IN of a one-column builder.
PyObject* in_query(PyObject* self, PyObject* query, bool negated) noexcept;
// `self <code> other` of two bound columns: a condition without arguments.
PyObject* compare_columns(PyObject* self, PyObject* other, int code) noexcept;
// `~condition`: NOT (condition); NotImplemented for other operands.
PyObject* negate(PyObject* condition) noexcept;
// + - * / on columns, giving an Expression (arithmetic.cpp).
extern PyNumberMethods property_number_methods;

inline PropertyObject* as_property(PyObject* o) noexcept { return reinterpret_cast<PropertyObject*>(o); }
inline FilterCellObject* as_cell(PyObject* o) noexcept { return reinterpret_cast<FilterCellObject*>(o); }
inline ForeignKeyObject* as_fk(PyObject* o) noexcept { return reinterpret_cast<ForeignKeyObject*>(o); }

inline bool is_property(PyObject* o) noexcept { return PyObject_TypeCheck(o, &BasePropertyType); }
inline bool is_cell(PyObject* o) noexcept { return PyObject_TypeCheck(o, &FilterCellType); }

}  // namespace tsy::model
