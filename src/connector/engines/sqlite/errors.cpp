// The engine's errors are the sqlite3 module's own classes, chosen by
// SQLite's result code as that module chooses them, carrying SQLite's
// message and the attributes sqlite_errorcode (the extended code) and
// sqlite_errorname: code written against the sqlite3 module (and the
// connector's retry on a locked shared cache) handles them unchanged.
#include "engines/sqlite/connection.hpp"

namespace tsy::db::sqlite {
namespace {

struct ErrorClasses {
    PyObject* database = nullptr;
    PyObject* data = nullptr;
    PyObject* integrity = nullptr;
    PyObject* interface = nullptr;
    PyObject* internal = nullptr;
    PyObject* operational = nullptr;
    PyObject* programming = nullptr;
    PyObject* errorcode = nullptr;  // attribute names
    PyObject* errorname = nullptr;
};

ErrorClasses classes;

struct CodeName {
    int code;
    const char* name;
};

#define X(code) {code, #code},
const CodeName kNames[] = {
    X(SQLITE_OK)
    X(SQLITE_ERROR)
    X(SQLITE_INTERNAL)
    X(SQLITE_PERM)
    X(SQLITE_ABORT)
    X(SQLITE_BUSY)
    X(SQLITE_LOCKED)
    X(SQLITE_NOMEM)
    X(SQLITE_READONLY)
    X(SQLITE_INTERRUPT)
    X(SQLITE_IOERR)
    X(SQLITE_CORRUPT)
    X(SQLITE_NOTFOUND)
    X(SQLITE_FULL)
    X(SQLITE_CANTOPEN)
    X(SQLITE_PROTOCOL)
    X(SQLITE_EMPTY)
    X(SQLITE_SCHEMA)
    X(SQLITE_TOOBIG)
    X(SQLITE_CONSTRAINT)
    X(SQLITE_MISMATCH)
    X(SQLITE_MISUSE)
    X(SQLITE_NOLFS)
    X(SQLITE_AUTH)
    X(SQLITE_FORMAT)
    X(SQLITE_RANGE)
    X(SQLITE_NOTADB)
    X(SQLITE_NOTICE)
    X(SQLITE_WARNING)
    X(SQLITE_ERROR_MISSING_COLLSEQ)
    X(SQLITE_ERROR_RETRY)
    X(SQLITE_ERROR_SNAPSHOT)
    X(SQLITE_IOERR_READ)
    X(SQLITE_IOERR_SHORT_READ)
    X(SQLITE_IOERR_WRITE)
    X(SQLITE_IOERR_FSYNC)
    X(SQLITE_IOERR_DIR_FSYNC)
    X(SQLITE_IOERR_TRUNCATE)
    X(SQLITE_IOERR_FSTAT)
    X(SQLITE_IOERR_UNLOCK)
    X(SQLITE_IOERR_RDLOCK)
    X(SQLITE_IOERR_DELETE)
    X(SQLITE_IOERR_BLOCKED)
    X(SQLITE_IOERR_NOMEM)
    X(SQLITE_IOERR_ACCESS)
    X(SQLITE_IOERR_CHECKRESERVEDLOCK)
    X(SQLITE_IOERR_LOCK)
    X(SQLITE_IOERR_CLOSE)
    X(SQLITE_IOERR_DIR_CLOSE)
    X(SQLITE_IOERR_SHMOPEN)
    X(SQLITE_IOERR_SHMSIZE)
    X(SQLITE_IOERR_SHMLOCK)
    X(SQLITE_IOERR_SHMMAP)
    X(SQLITE_IOERR_SEEK)
    X(SQLITE_IOERR_DELETE_NOENT)
    X(SQLITE_IOERR_MMAP)
    X(SQLITE_IOERR_GETTEMPPATH)
    X(SQLITE_IOERR_CONVPATH)
    X(SQLITE_IOERR_VNODE)
    X(SQLITE_IOERR_AUTH)
    X(SQLITE_IOERR_BEGIN_ATOMIC)
    X(SQLITE_IOERR_COMMIT_ATOMIC)
    X(SQLITE_IOERR_ROLLBACK_ATOMIC)
    X(SQLITE_IOERR_DATA)
    X(SQLITE_IOERR_CORRUPTFS)
    X(SQLITE_LOCKED_SHAREDCACHE)
    X(SQLITE_LOCKED_VTAB)
    X(SQLITE_BUSY_RECOVERY)
    X(SQLITE_BUSY_SNAPSHOT)
    X(SQLITE_BUSY_TIMEOUT)
    X(SQLITE_CANTOPEN_NOTEMPDIR)
    X(SQLITE_CANTOPEN_ISDIR)
    X(SQLITE_CANTOPEN_FULLPATH)
    X(SQLITE_CANTOPEN_CONVPATH)
    X(SQLITE_CANTOPEN_DIRTYWAL)
    X(SQLITE_CANTOPEN_SYMLINK)
    X(SQLITE_CORRUPT_VTAB)
    X(SQLITE_CORRUPT_SEQUENCE)
    X(SQLITE_CORRUPT_INDEX)
    X(SQLITE_READONLY_RECOVERY)
    X(SQLITE_READONLY_CANTLOCK)
    X(SQLITE_READONLY_ROLLBACK)
    X(SQLITE_READONLY_DBMOVED)
    X(SQLITE_READONLY_CANTINIT)
    X(SQLITE_READONLY_DIRECTORY)
    X(SQLITE_ABORT_ROLLBACK)
    X(SQLITE_CONSTRAINT_CHECK)
    X(SQLITE_CONSTRAINT_COMMITHOOK)
    X(SQLITE_CONSTRAINT_FOREIGNKEY)
    X(SQLITE_CONSTRAINT_FUNCTION)
    X(SQLITE_CONSTRAINT_NOTNULL)
    X(SQLITE_CONSTRAINT_PRIMARYKEY)
    X(SQLITE_CONSTRAINT_TRIGGER)
    X(SQLITE_CONSTRAINT_UNIQUE)
    X(SQLITE_CONSTRAINT_VTAB)
    X(SQLITE_CONSTRAINT_ROWID)
    X(SQLITE_CONSTRAINT_PINNED)
    X(SQLITE_CONSTRAINT_DATATYPE)
    X(SQLITE_NOTICE_RECOVER_WAL)
    X(SQLITE_NOTICE_RECOVER_ROLLBACK)
    X(SQLITE_WARNING_AUTOINDEX)
    X(SQLITE_AUTH_USER)
    X(SQLITE_OK_LOAD_PERMANENTLY)
    X(SQLITE_OK_SYMLINK)
};
#undef X

const char* code_name(int code) noexcept {
    for (const CodeName& entry : kNames) {
        if (entry.code == code) return entry.name;
    }
    return "unknown";
}

// The class the sqlite3 module raises for a primary result code.
PyObject* class_of(int primary) noexcept {
    switch (primary) {
        case SQLITE_INTERNAL:
        case SQLITE_NOTFOUND:
            return classes.internal;
        case SQLITE_ERROR:
        case SQLITE_PERM:
        case SQLITE_ABORT:
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
        case SQLITE_READONLY:
        case SQLITE_INTERRUPT:
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_PROTOCOL:
        case SQLITE_EMPTY:
        case SQLITE_SCHEMA:
            return classes.operational;
        case SQLITE_TOOBIG:
            return classes.data;
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
            return classes.integrity;
        case SQLITE_MISUSE:
        case SQLITE_RANGE:
            return classes.interface;
        default:
            return classes.database;  // CORRUPT, NOTADB and anything newer
    }
}

bool set_attributes(PyObject* error, int code) noexcept {
    Ref number = steal(PyLong_FromLong(code));
    Ref name = steal(PyUnicode_FromString(code_name(code)));
    return number && name && PyObject_SetAttr(error, classes.errorcode, number.get()) == 0 &&
           PyObject_SetAttr(error, classes.errorname, name.get()) == 0;
}

}  // namespace

int ready_errors() noexcept {
    struct Import {
        PyObject** slot;
        const char* name;
    };
    const Import all[] = {
        {&classes.database, "DatabaseError"},       {&classes.data, "DataError"},
        {&classes.integrity, "IntegrityError"},     {&classes.interface, "InterfaceError"},
        {&classes.internal, "InternalError"},       {&classes.operational, "OperationalError"},
        {&classes.programming, "ProgrammingError"},
    };
    for (const Import& entry : all) {
        if (!*entry.slot && !(*entry.slot = import_attr("sqlite3", entry.name).release())) return -1;
    }
    if (!classes.errorcode && !(classes.errorcode = intern("sqlite_errorcode"))) return -1;
    if (!classes.errorname && !(classes.errorname = intern("sqlite_errorname"))) return -1;
    return 0;
}

Failure raise_code(int code, const char* message) noexcept {
    if ((code & 0xff) == SQLITE_NOMEM) {
        PyErr_NoMemory();
        return {};
    }
    PyObject* type = class_of(code & 0xff);
    Ref text = steal(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)), "replace"));
    Ref error = text ? call(type, text.get()) : Ref();
    if (!error) return {};
    if (!set_attributes(error.get(), code)) return {};
    PyErr_SetObject(type, error.get());
    return {};
}

Failure raise_from(sqlite3* db) noexcept { return raise_code(sqlite3_extended_errcode(db), sqlite3_errmsg(db)); }

Failure programming_error(const char* message) noexcept { return fail(classes.programming, message); }

PyObject* operational_error_class() noexcept { return classes.operational; }
PyObject* programming_error_class() noexcept { return classes.programming; }

Failure closed_database() noexcept { return programming_error("Cannot operate on a closed database."); }

}  // namespace tsy::db::sqlite
