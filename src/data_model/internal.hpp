// Declarations shared by the translation units of Tessary.Model.DataModel.
#pragma once

#include "tessary/model.hpp"

namespace tsy::model {

// Bound at module init; the property module outlives this one.
extern const PropertyApi* property_api;
// Tessary.Model.ModelProperty.ForeignType (owned for the process lifetime).
extern PyObject* ForeignTypeEnum;
// Tessary.Model.ModelProperty.Index (owned for the process lifetime).
extern PyObject* IndexClass;

// Interned names, made once at module init (a lazily made name that failed
// once would stay NULL).
struct Names {
    PyObject* fromDBValue;
    PyObject* keys;
    PyObject* modelInfo;  // "__tessary_model__"
    PyObject* tableName;
    PyObject* lower;
    PyObject* mod_Carrack;   // "Tessary.Model.Carrack"
    PyObject* ModelExecutor;
    PyObject* AsyncModelExecutor;
    PyObject* isAsync;
    PyObject* indexes;
};
extern Names names;

extern PyTypeObject ModelMetaType;
extern PyTypeObject DataModelBaseType;
extern PyTypeObject DataModelType;
extern PyTypeObject MiddleDataModelType;
extern PyTypeObject InstanceType;
extern PyTypeObject InstanceListType;
extern PyTypeObject ModelInfoType;

// Per-model data kept in the class dict under `__tessary_model__`, computed
// once by the metaclass so that rows map without per-value decisions.
struct ModelInfoObject {
    PyObject_HEAD
    PyObject* cols;       // tuple of the column properties, column order
    PyObject* names;      // tuple of the column names, same order
    PyObject* index;      // dict: column name -> column position, for mappings
    PyObject* fks;        // tuple of the declared relation properties
    PyObject* links;      // list: relations added when this model serves as a given junction
    PyObject* className;  // the class's __name__, for forward references
    int* kind_of;         // ValueKind per column, or KIND_CUSTOM; `ncols` entries (PyMem)
    Py_ssize_t ncols;
    bool rows_as_is;      // no column converts a driver value: rows store as they come
};

// A column whose class overrides fromDBValue in Python: its method converts.
inline constexpr int KIND_CUSTOM = -1;

// Whether a driver value of a column of this kind (a ValueKind or KIND_CUSTOM)
// goes through a converter; the others are stored as the driver returns them.
inline bool converts(int kind) noexcept {
    switch (kind) {
        case KIND_CUSTOM:
        case KIND_DECIMAL:
        case KIND_BOOLEAN:
        case KIND_DATETIME:
        case KIND_DATE:
        case KIND_BYTES:
        case KIND_JSON:
        case KIND_ENUM:
        case KIND_UUID:
            return true;
        default:
            return false;
    }
}

inline ModelInfoObject* as_info(PyObject* o) noexcept { return reinterpret_cast<ModelInfoObject*>(o); }
inline bool is_model(PyObject* o) noexcept { return PyObject_TypeCheck(o, &ModelMetaType); }

// model_info.cpp
Ref make_model_info(PyObject* cls, PyObject* cols, PyObject* fks) noexcept;
// The model's info (new reference), or NULL with TypeError for a non-model.
Ref model_info(PyObject* cls) noexcept;

// model_meta.cpp
int ready_model_meta() noexcept;
int setup_model(PyObject* cls) noexcept;

// indexes.cpp: the model's `indexes` (declared on it or a base) as a tuple
// of Index copies naming only columns of `cols`; TypeError/ValueError for a
// wrong declaration.
Ref model_indexes(PyObject* cls, PyObject* cols) noexcept;

// constraints.cpp: Model.foreignKeyConstraints, a getter of the metaclass.
PyObject* foreign_key_constraints(PyObject* cls) noexcept;

// data_model.cpp
int ready_model_bases(PyObject* module) noexcept;

// instance.cpp
int ready_instances(PyObject* module) noexcept;
PyObject* new_instance(PyObject* model) noexcept;
PyObject* from_row(PyObject* model, PyObject* row) noexcept;
// Appends model(row) for every row of `rows` (list or tuple) to `list`; 0 or -1.
int from_rows(PyObject* model, PyObject* rows, PyObject* list) noexcept;
PyObject* from_mapping(PyObject* model, PyObject* mapping) noexcept;
PyObject* new_list() noexcept;
// Model(x): a row, a mapping, or keyword arguments.
PyObject* make_instance(PyObject* model, PyObject* args, PyObject* kwargs) noexcept;
// The same through vectorcall (tp_vectorcall of model classes whose
// metaclass call is ModelMeta's): keyword arguments need no dict.
PyObject* model_vectorcall(PyObject* model, PyObject* const* args, size_t nargsf, PyObject* kwnames) noexcept;
PyObject* restore_instance(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// relations.cpp
int ready_registry(PyObject* module) noexcept;
int register_model(PyObject* cls) noexcept;
int resolve_foreign_key(PyObject* fk) noexcept;
// Resolves pending many-to-many relations whose far side is `cls`, which
// installs the attribute named after the owner's table; true if any was.
bool resolve_relations_towards(PyObject* cls) noexcept;
PyObject* other_fk_by(PyObject* cls, PyObject* owner) noexcept;
// Live model classes, newest first (a list).
Ref live_models() noexcept;

}  // namespace tsy::model
