// The interned names of Tessary.DB.Connector (made in module.cpp).
#pragma once

#include "tessary/py.hpp"

namespace tsy::db {

// Interned strings of the module: attribute, method and keyword names, and the
// few statement texts sent as they are. Made by init_names() when the module
// is imported (the import fails if one cannot be made), immortal afterwards.
// The worker threads read them too, always after that.
struct Names {
    PyObject* _connect;
    PyObject* add_done_callback;
    PyObject* autocommit;
    PyObject* begin;
    PyObject* call_soon_threadsafe;
    PyObject* cancelled;
    PyObject* charset;
    PyObject* client_flag;
    PyObject* check_same_thread;
    PyObject* close;
    PyObject* closed;
    PyObject* commit;
    PyObject* connect;
    PyObject* create_future;
    PyObject* create_task;
    PyObject* cursor;
    PyObject* database;
    PyObject* db;
    PyObject* description;
    PyObject* done;
    PyObject* execute;
    PyObject* fetchall;
    PyObject* getCon;
    PyObject* host;
    PyObject* interrupt;
    PyObject* lastrowid;
    PyObject* maxsize;
    PyObject* minsize;
    PyObject* open;
    PyObject* password;
    PyObject* path;
    PyObject* port;
    PyObject* remove;
    PyObject* result;
    PyObject* rollback;
    PyObject* row_factory;
    PyObject* rowcount;
    PyObject* set_exception;
    PyObject* set_result;
    PyObject* targetType;
    PyObject* timeout;
    PyObject* unix_socket;
    PyObject* uri;
    PyObject* user;
    PyObject* begin_sql;         // "BEGIN"
    PyObject* commit_sql;        // "COMMIT", "ROLLBACK": the record of a driver's commit() and rollback()
    PyObject* rollback_sql;
    PyObject* shared_reads_sql;  // "PRAGMA read_uncommitted = 1"
};
extern Names names;

// Fills `names`; -1 with the error set when one cannot be made.
int init_names() noexcept;

}  // namespace tsy::db
