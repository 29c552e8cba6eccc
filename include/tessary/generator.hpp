// Shared declarations of Tessary.DB.Generator: the statement builder and the
// SQL fragment generators. The executors and the pagination controller read
// these fields directly and call the native operations through the capsule.
#pragma once

#include "py.hpp"

namespace tsy::gen {

enum SqlType : int { SELECT = 0, INSERT = 1, DELETE = 2, UPDATE = 3, UNSET = 4 };
enum JoinType : int { JOIN = 0, LEFT = 1, RIGHT = 2, INNER = 3 };

// Root of every generator.
struct BaseGeneratorObject {
    PyObject_HEAD
    int currentType;
};

// The single-use statement builder. Fields in declaration order.
struct SqlGeneratorObject {
    BaseGeneratorObject base;
    PyObject* selectCol;   // list or None: SELECT columns / INSERT value entries
    PyObject* whereCol;    // FilterListCell or None
    PyObject* target;      // str or None: table name
    PyObject* limit;       // str: limit clause text, " " by default
    PyObject* updateCol;   // list or None: SET entries
    PyObject* _joinList;   // list or None: JoinCell entries
    PyObject* orderList;   // tuple or None
    PyObject* groupList;   // tuple or None: GROUP BY terms
    PyObject* havingCol;   // FilterListCell or None
    int distinct;          // SELECT DISTINCT
};

struct QueryGroupObject {
    BaseGeneratorObject base;
    PyObject* query;
};

struct InOperatorObject {
    BaseGeneratorObject base;
    PyObject* property;
    PyObject* temp;
};

struct CustomSqlObject {
    BaseGeneratorObject base;
    PyObject* sql;
    PyObject* args;
};

struct FunctionCallObject {
    BaseGeneratorObject base;
    PyObject* func_name;
    PyObject* args;
};

struct ColAnnounceObject {
    BaseGeneratorObject base;
    PyObject* announce;
};

struct TableGeneratorObject {
    BaseGeneratorObject base;
    PyObject* model;
};

struct JoinCellObject {
    PyObject_HEAD
    int Type;
    PyObject* key;
};

inline constexpr std::uint32_t GENERATOR_API_VERSION = 2;
inline constexpr const char* GENERATOR_CAPSULE = "Tessary.DB.Generator._C_API";

struct GeneratorApi {
    ApiHeader header;
    PyTypeObject* BaseSqlGenerator;
    PyTypeObject* SqlGenerator;
    PyTypeObject* QueryGroup;
    PyTypeObject* InOperatorGenerator;
    PyTypeObject* CustomSqlGenerator;
    PyTypeObject* FunctionCall;
    PyTypeObject* CustomColAnnounce;
    PyTypeObject* TableGenerator;
    PyTypeObject* JoinCell;
    // Virtual Build of any generator, through a Python override when the
    // object's class has one (new ref: a tuple or None).
    PyObject* (*Build)(PyObject* gen);
    // A new SqlGenerator already targeted at `model` (SqlGenerator().From(model)).
    PyObject* (*newFor)(PyObject* model);
    // Static: (where text, argument list) of a chain (new ref).
    PyObject* (*build_where)(PyObject* cell);
    // The join text of a builder (new ref).
    PyObject* (*build_join)(PyObject* self);
    // Statement-kind operations used by the executors (new ref to the builder,
    // or NULL with the error indicator set). `cols` is a tuple.
    PyObject* (*select)(PyObject* self, PyObject* cols);
    PyObject* (*where)(PyObject* self, PyObject* cell);
    PyObject* (*Limit)(PyObject* self, int count, int offset);
    // The remaining builder operations, same conventions (new ref or NULL).
    // `items`/`entries` are tuples. `From`, `update` and `join` go through a
    // Python override when the builder's class has one (and then return what
    // the override returns: a SqlGenerator or None).
    PyObject* (*orderBy)(PyObject* self, PyObject* items);   // returns None
    PyObject* (*From)(PyObject* self, PyObject* target);
    PyObject* (*insert)(PyObject* self, PyObject* model);
    PyObject* (*values)(PyObject* self, PyObject* entries);
    PyObject* (*update)(PyObject* self, PyObject* target);
    PyObject* (*set)(PyObject* self, PyObject* entries);
    PyObject* (*delete_)(PyObject* self, PyObject* target);
    PyObject* (*join)(PyObject* self, PyObject* foreignKey, int joinType);
    // InOperatorGenerator(others, prop) and Q(query) (new refs).
    PyObject* (*newIn)(PyObject* others, PyObject* prop);
    PyObject* (*Q)(PyObject* query);
};

inline const GeneratorApi* import_generator_api() noexcept {
    return import_api<GeneratorApi>(GENERATOR_CAPSULE, GENERATOR_API_VERSION);
}

}  // namespace tsy::gen
