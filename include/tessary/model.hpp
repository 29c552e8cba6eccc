// Shared declarations of the model layer: Tessary.Model.ModelProperty
// (column and relation properties, filter cells) and Tessary.Model.DataModel
// (model classes, instances, instance lists). Other modules read the declared
// fields directly and call the native operations through the capsules.
#pragma once

#include "py.hpp"

namespace tsy::model {

// Relationship codes of filter cells.
enum Relationship : int {
    AND = 0, OR = 1, EQ = 2, GT = 3, GE = 4, LT = 5, LE = 6, NE = 7, NOT_RELATED = 8, LIKE = 9,
};

// How a driver value becomes the column's Python value (chosen once per
// column, applied per row).
enum ValueKind : int {
    KIND_PLAIN = 0,     // stored as the driver returns it
    KIND_INTEGER,
    KIND_FLOAT,
    KIND_DECIMAL,
    KIND_TEXT,
    KIND_BOOLEAN,
    KIND_DATETIME,
    KIND_DATE,
    KIND_BYTES,
    KIND_JSON,          // JSON text, written by json.dumps and read by json.loads
    KIND_ENUM,          // an enum.Enum member, stored as its value (EnumProperty)
    KIND_UUID,          // a uuid.UUID, stored as its 36-character text
};

// The kinds whose driver values are converted by what the column itself
// declares (its scale, its enum class): the capsule's columnFromDBValue, not
// fromDBValue of the bare kind.
inline bool converts_by_column(int kind) noexcept {
    return kind == KIND_DECIMAL || kind == KIND_ENUM || kind == KIND_UUID;
}

// One column of a model class (BaseProperty and its typed subclasses).
// The first seven fields are read directly by the other modules, in this order.
struct PropertyObject {
    PyObject_HEAD
    PyObject* name;        // str: the column name (the attribute name)
    int isPrimaryKey;
    int nullable;
    PyObject* default_;    // value, NullDefault, AutoIncrement or a generator
    PyObject* owner;       // the declaring model class (None until bound)
    PyObject* extra;       // str appended to the column definition
    PyObject* typeArgs;    // tuple of SQL type parameters
    // Model layer's own fields.
    PyObject* targetType;  // str: SQL type name
    int kind;              // ValueKind
    int hasDefault;
    // Schema declarations, read by TableGenerator and the migration module.
    int unique;            // a UNIQUE constraint uq_<table>_<column>
    int index;             // an index ix_<table>_<column>
    PyObject* renamedFrom; // str: the column's previous name, or None
};

struct ChainShare;

// One link of a filter chain. Fields read directly, in this order. A head
// may be detached (a longer chain shares its cells): call settleChain() of
// the property API on a chain's first cell before walking it.
struct FilterCellObject {
    PyObject_HEAD
    PyObject* value;       // column name, compared value, or a generator
    int relationship;      // Relationship code
    PyObject* next;        // FilterCellObject or None
    PyObject* col;         // PropertyObject on column cells, else None
    // What `&` and `|` keep to link a chain someone holds without copying it
    // (filter_chain.cpp); private to the model layer.
    ChainShare* share;     // the same for every cell of one linked chain, or NULL
    FilterCellObject* tail;  // heads: the last cell (borrowed, reachable from the head)
    Py_ssize_t length;     // heads: the number of cells; 0 when not known
    int end_code;          // detached heads: the code of their own last cell
    bool has_or;           // heads: an OR links two comparisons at the chain's own level
    bool detached;         // heads: only the first `length` cells are this chain's
};

// A relation property (ForeignKey). Unresolved names are resolved lazily on
// first access of the resolved attributes.
struct ForeignKeyObject {
    PyObject_HEAD
    PyObject* name;            // key of the relation in owner instances
    PyObject* Type;            // ForeignType member
    PyObject* owner;           // declaring model class
    PyObject* targetSpec;      // model class or class name as declared
    PyObject* bindColName;     // str as declared
    PyObject* targetBindColName;
    PyObject* middleSpec;      // MiddleDataModel subclass, or None
    PyObject* middleCols;      // (owner-side, far-side) junction column names, or None
    // Resolved (NULL until resolved).
    PyObject* target;
    PyObject* bindCol;
    PyObject* targetBindCol;
    PyObject* directTarget;
    PyObject* middleModel;
    // MANY_TO_MANY: the relation from the far model into the junction (far
    // key = junction far-side column) that loads join through; else None.
    PyObject* farLink;
    // A FOREIGN KEY constraint in the table holding the key column (for
    // MANY_TO_MANY: both of the junction's).
    int constraint;
    PyObject* onDelete;        // str action, or None: "NO ACTION" (CASCADE for a junction)
};

// A named index of a model (Index). `columns` holds column names or column
// properties as declared; the index a model class keeps (Model.indexes) holds
// names only.
struct IndexObject {
    PyObject_HEAD
    PyObject* name;            // str (None before __init__)
    PyObject* columns;         // tuple of str or PropertyObject
    int unique;
};

inline constexpr std::uint32_t PROPERTY_API_VERSION = 4;
inline constexpr const char* PROPERTY_CAPSULE = "Tessary.Model.ModelProperty._C_API";

struct PropertyApi {
    ApiHeader header;
    PyTypeObject* BaseProperty;
    PyTypeObject* FilterListCell;
    PyTypeObject* ForeignKey;
    PyTypeObject* NullDefault;
    PyTypeObject* AutoIncrement;
    // Native operations of FilterListCell, in slot order.
    // addCell: appends `cell` at the end of the chain `self` belongs to, sets
    // `code` on the cell that was last, returns the appended cell (new ref).
    PyObject* (*addCell)(PyObject* self, PyObject* cell, int code);
    // Convenience: a new cell (new ref) with next None and code 8.
    PyObject* (*newCell)(PyObject* value, PyObject* col);
    // toDBValue of a column (new ref).
    PyObject* (*toDBValue)(PyObject* prop, PyObject* value);
    // Driver value -> Python value for a column of ValueKind `kind` (new ref).
    PyObject* (*fromDBValue)(int kind, PyObject* value);
    // A copy of a column property (same type, same declared fields, same
    // instance attributes), not yet bound when `owner` is rebound by the caller.
    PyObject* (*cloneProperty)(PyObject* prop);
    // A copy of a relation property as declared (name, kind, specs), unresolved.
    PyObject* (*cloneForeignKey)(PyObject* fk);
    // BaseProperty.insertCell(value) without the method call: {"col": prop,
    // "value": toDBValue(value)} (new ref).
    PyObject* (*insertCell)(PyObject* prop, PyObject* value);
    // Makes a detached chain's head a chain of its own cells again (a copy of
    // the cells it shares): 0, or -1 with the error set.
    int (*settleChain)(PyObject* head);
    // fromDBValue of the column `prop` itself (new ref): what fromDBValue
    // gives for its kind, a DECIMAL column's value quantized to its declared
    // scale, an enum column's member, a UUID column's uuid.UUID.
    PyObject* (*columnFromDBValue)(PyObject* prop, PyObject* value);
};

inline const PropertyApi* import_property_api() noexcept {
    return import_api<PropertyApi>(PROPERTY_CAPSULE, PROPERTY_API_VERSION);
}

// A model instance: a dict that also knows its model class.
struct InstanceObject {
    PyDictObject dict;
    PyObject* model;       // the model class (attribute `object`)
    // The keys assigned through the instance's own interface (item and
    // attribute assignment, update(), setdefault(), |=) since it was loaded,
    // made or last written: a set, or NULL for none. Loading and making store
    // through the dict directly, which records nothing.
    PyObject* assigned;
};

inline constexpr std::uint32_t MODEL_API_VERSION = 2;
inline constexpr const char* MODEL_CAPSULE = "Tessary.Model.DataModel._C_API";

struct ModelApi {
    ApiHeader header;
    PyTypeObject* ModelMeta;      // metaclass of every model class
    PyTypeObject* _DataModel;
    PyTypeObject* DataModel;
    PyTypeObject* MiddleDataModel;
    PyTypeObject* ModelInstance;
    PyTypeObject* InstanceList;
    // `model(row)`: a new instance from a driver row in column order (new ref).
    PyObject* (*fromRow)(PyObject* model, PyObject* row);
    // `model(mapping)`: a new instance from a mapping of column name to value.
    PyObject* (*fromMapping)(PyObject* model, PyObject* mapping);
    // A new empty InstanceList (new ref).
    PyObject* (*newList)();
    // Resolves a bound relation property in place (fills the resolved fields
    // of ForeignKeyObject); 0, or -1 with an error set. Called by the
    // ForeignKey type on first access of a resolved attribute.
    int (*resolveForeignKey)(PyObject* fk);
    // Appends `model(row)` for every row of `rows` (a list or tuple) to the
    // list `list`, with the model's column data looked up once; 0, or -1
    // with an error set. Only for classes whose metaclass call is ModelMeta's.
    int (*fromRows)(PyObject* model, PyObject* rows, PyObject* list);
};

inline const ModelApi* import_model_api() noexcept {
    return import_api<ModelApi>(MODEL_CAPSULE, MODEL_API_VERSION);
}

// Once an instance's row is written, nothing assigned to it is pending any
// more. Anything but a ModelInstance is left alone. Runs no Python code.
inline void forget_assigned(const ModelApi* api, PyObject* instance) noexcept {
    if (PyObject_TypeCheck(instance, api->ModelInstance)) Py_CLEAR(reinterpret_cast<InstanceObject*>(instance)->assigned);
}

// The same for the columns of a partial write only: `written` a set of
// column names. 0, or -1 with the error set.
inline int forget_assigned(const ModelApi* api, PyObject* instance, PyObject* written) noexcept {
    if (!PyObject_TypeCheck(instance, api->ModelInstance)) return 0;
    Ref assigned = borrow(reinterpret_cast<InstanceObject*>(instance)->assigned);
    if (!assigned) return 0;
    Ref names = steal(PyObject_GetIter(written));
    if (!names) return -1;
    while (Ref name = steal(PyIter_Next(names.get()))) {
        if (PySet_Discard(assigned.get(), name.get()) < 0) return -1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace tsy::model
