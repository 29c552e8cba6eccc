// tessary_migrations: one row per applied migration (its version, name, the
// sha256 of the file as it was applied, and when), made on first use.
#include "runner.hpp"

#include <ctime>

namespace tsy::migrate {
namespace {

// The same text on both databases: backticks and these types are accepted by
// SQLite and MariaDB alike.
constexpr const char* create_history_sql =
    "CREATE TABLE IF NOT EXISTS `tessary_migrations` ("
    "`version` VARCHAR(32) NOT NULL PRIMARY KEY, "
    "`name` VARCHAR(255) NOT NULL, "
    "`checksum` CHAR(64) NOT NULL, "
    "`applied_at` VARCHAR(32) NOT NULL)";

std::string utc_now() {
    std::time_t now = std::time(nullptr);
    std::tm parts{};
    gmtime_r(&now, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

Ref text_tuple(std::initializer_list<std::string> items) noexcept {
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (const std::string& item : items) {
        PyObject* value = PyUnicode_FromStringAndSize(item.data(), static_cast<Py_ssize_t>(item.size()));
        if (!value) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, value);
    }
    return tuple;
}

// A row's column as text; NULL, numbers and bytes read through str().
bool column_text(PyObject* row, Py_ssize_t index, std::string& out) noexcept {
    Ref item = steal(PySequence_GetItem(row, index));
    if (!item) return false;
    if (PyBytes_Check(item.get())) item = steal(PyUnicode_FromEncodedObject(item.get(), "utf-8", "strict"));
    Ref text = item ? steal(PyObject_Str(item.get())) : Ref();
    return text && text_of(text.get(), out);
}

}  // namespace

bool ensure_history(PyObject* connector) noexcept {
    return static_cast<bool>(run_sql(connector, create_history_sql, nullptr));
}

bool read_history(PyObject* connector, std::vector<AppliedRecord>& out) noexcept {
    out.clear();
    Ref rows = run_sql(connector,
                       "SELECT `version`, `name`, `checksum` FROM `tessary_migrations` ORDER BY `version`",
                       nullptr);
    if (!rows) return false;
    Ref iterator = steal(PyObject_GetIter(rows.get()));
    if (!iterator) return false;
    while (Ref row = steal(PyIter_Next(iterator.get()))) {
        AppliedRecord record;
        if (!column_text(row.get(), 0, record.version) || !column_text(row.get(), 1, record.name) ||
            !column_text(row.get(), 2, record.checksum)) {
            return false;
        }
        out.push_back(std::move(record));
    }
    return !PyErr_Occurred();
}

int is_recorded(PyObject* connector, const std::string& version) noexcept {
    Ref args = text_tuple({version});
    Ref rows = args ? run_sql(connector, "SELECT 1 FROM `tessary_migrations` WHERE `version` = %s", args.get())
                    : Ref();
    if (!rows) return -1;
    Py_ssize_t count = PyObject_Length(rows.get());
    return count < 0 ? -1 : count > 0;
}

bool record_applied(PyObject* connector, const MigrationFile& file) noexcept {
    Ref args = text_tuple({file.version, file.name, file.checksum, utc_now()});
    return args && run_sql(connector,
                           "INSERT INTO `tessary_migrations` (`version`, `name`, `checksum`, `applied_at`) "
                           "VALUES (%s, %s, %s, %s)",
                           args.get());
}

bool delete_record(PyObject* connector, const std::string& version) noexcept {
    Ref args = text_tuple({version});
    return args && run_sql(connector, "DELETE FROM `tessary_migrations` WHERE `version` = %s", args.get());
}

}  // namespace tsy::migrate
