// Shared declarations of Tessary.Model.Carrack: the executors. The database
// layer calls `process` through the capsule; pagination and seeding bind the
// executor classes.
#pragma once

#include "py.hpp"

namespace tsy::exec {

// Fields in declaration order.
struct ExecutorObject {
    PyObject_HEAD
    PyObject* model;     // the model class served
    PyObject* sql;       // SqlGenerator or None
    PyObject* work;      // connection or None
    PyObject* db;        // DB handle or None
    PyObject* dict;      // attribute dictionary (__dict__)
    int executed;
    // Rows its last write (save, update, delete, updateWhere, deleteWhere)
    // wrote, as the driver counted them; -1 before any.
    long long rowcount;
};

// True once __init__ has given the executor every field; a re-run of __init__
// only replaces fields, so a ready executor stays ready while it lives.
inline bool executor_ready(PyObject* obj) noexcept {
    const auto* ex = reinterpret_cast<const ExecutorObject*>(obj);
    return ex->model && ex->sql && ex->work && ex->db;
}

inline constexpr std::uint32_t CARRACK_API_VERSION = 2;
inline constexpr const char* CARRACK_CAPSULE = "Tessary.Model.Carrack._C_API";

struct CarrackApi {
    ApiHeader header;
    PyTypeObject* BaseModelExecutor;
    PyTypeObject* ModelExecutor;
    PyTypeObject* AsyncModelExecutor;
    // Native operations in slot order (new refs, NULL on error).
    PyObject* (*instanceToFilter)(PyObject* self, PyObject* instance);
    PyObject* (*process)(PyObject* self, PyObject* res);
    PyObject* (*processSelect)(PyObject* self, PyObject* res);
    PyObject* (*processInsert)(PyObject* self, long long lastrowid);
};

inline const CarrackApi* import_carrack_api() noexcept {
    return import_api<CarrackApi>(CARRACK_CAPSULE, CARRACK_API_VERSION);
}

}  // namespace tsy::exec
