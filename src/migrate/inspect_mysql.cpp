// The live schema of a MariaDB (or MySQL) database: information_schema of
// the connection's current database.
//
// Two things MariaDB does not keep apart are settled by convention here:
// - a UNIQUE constraint written inside CREATE TABLE is a unique index like
//   one made by CREATE UNIQUE INDEX: unique indexes named `uq_...` (the
//   names the models give their UNIQUE constraints) are reported as
//   constraints, every other one as an index;
// - MariaDB makes an index for a foreign key's columns when none serves
//   them, named after the constraint: an index of a foreign key's name is
//   the constraint's own and is not reported.
#include "inspect.hpp"

#include <map>
#include <set>

namespace tsy::migrate {
namespace {

enum Query { COLUMNS, INDEXES, FOREIGN_KEYS };

const std::vector<const char*> kQueries = {
    "SELECT c.TABLE_NAME, c.COLUMN_NAME, c.COLUMN_TYPE, c.IS_NULLABLE, c.COLUMN_DEFAULT, c.EXTRA "
    "FROM information_schema.COLUMNS AS c JOIN information_schema.TABLES AS t "
    "ON t.TABLE_SCHEMA = c.TABLE_SCHEMA AND t.TABLE_NAME = c.TABLE_NAME "
    "WHERE c.TABLE_SCHEMA = DATABASE() AND t.TABLE_TYPE = 'BASE TABLE' AND c.TABLE_NAME <> 'tessary_migrations' "
    "ORDER BY c.TABLE_NAME, c.ORDINAL_POSITION",
    "SELECT TABLE_NAME, INDEX_NAME, NON_UNIQUE, COLUMN_NAME FROM information_schema.STATISTICS "
    "WHERE TABLE_SCHEMA = DATABASE() ORDER BY TABLE_NAME, INDEX_NAME, SEQ_IN_INDEX",
    "SELECT k.TABLE_NAME, k.CONSTRAINT_NAME, k.COLUMN_NAME, k.REFERENCED_TABLE_NAME, k.REFERENCED_COLUMN_NAME, "
    "r.DELETE_RULE FROM information_schema.KEY_COLUMN_USAGE AS k JOIN information_schema.REFERENTIAL_CONSTRAINTS AS r "
    "ON r.CONSTRAINT_SCHEMA = k.CONSTRAINT_SCHEMA AND r.TABLE_NAME = k.TABLE_NAME "
    "AND r.CONSTRAINT_NAME = k.CONSTRAINT_NAME "
    "WHERE k.TABLE_SCHEMA = DATABASE() AND k.REFERENCED_TABLE_NAME IS NOT NULL "
    "ORDER BY k.TABLE_NAME, k.CONSTRAINT_NAME, k.ORDINAL_POSITION",
};

struct Builder {
    SchemaSpec& schema;
    std::map<std::string, std::size_t> positions;  // table name -> index in schema.tables

    TableSpec* table(const std::string& name) {
        auto found = positions.find(name);
        return found == positions.end() ? nullptr : &schema.tables[found->second];
    }

    bool add_column(PyObject* row) {
        std::string table_name, nullable, extra;
        std::optional<std::string> dflt;
        ColumnSpec c;
        if (!row_text(row, 0, table_name) || !row_text(row, 1, c.name) || !row_text(row, 2, c.type) ||
            !row_text(row, 3, nullable) || !row_text(row, 4, dflt) || !row_text(row, 5, extra)) {
            return false;
        }
        TableSpec* t = table(table_name);
        if (!t) {
            positions.emplace(table_name, schema.tables.size());
            schema.tables.push_back(TableSpec{.name = table_name});
            t = &schema.tables.back();
        }
        c.type = canonical_type(Engine::Mysql, c.type);
        c.nullable = upper(nullable) == "YES";
        c.auto_increment = upper(extra).find("AUTO_INCREMENT") != std::string::npos;
        c.default_sql = canonical_default(Engine::Mysql, c.type, std::move(dflt));
        t->columns.push_back(std::move(c));
        return true;
    }

    bool add_index_column(PyObject* row) {
        std::string table_name, index_name, column;
        long long non_unique = 0;
        if (!row_text(row, 0, table_name) || !row_text(row, 1, index_name) || !row_int(row, 2, non_unique) ||
            !row_text(row, 3, column)) {
            return false;
        }
        TableSpec* t = table(table_name);
        if (!t) return true;
        if (index_name == "PRIMARY") {
            t->primary_key.push_back(std::move(column));
            return true;
        }
        if (t->indexes.empty() || t->indexes.back().name != index_name) {
            IndexSpec k;
            k.name = index_name;
            k.unique = non_unique == 0;
            k.constraint = k.unique && index_name.rfind("uq_", 0) == 0;
            t->indexes.push_back(std::move(k));
        }
        t->indexes.back().columns.push_back(std::move(column));
        return true;
    }

    bool add_foreign_key_column(PyObject* row) {
        std::string table_name, name, column, ref_column;
        ForeignKeySpec f;
        if (!row_text(row, 0, table_name) || !row_text(row, 1, name) || !row_text(row, 2, column) ||
            !row_text(row, 3, f.ref_table) || !row_text(row, 4, ref_column) || !row_text(row, 5, f.on_delete)) {
            return false;
        }
        TableSpec* t = table(table_name);
        if (!t) return true;
        if (t->foreign_keys.empty() || t->foreign_keys.back().name != name) {
            f.name = name;
            f.on_delete = upper(f.on_delete);
            t->foreign_keys.push_back(std::move(f));
        }
        t->foreign_keys.back().columns.push_back(std::move(column));
        t->foreign_keys.back().ref_columns.push_back(std::move(ref_column));
        return true;
    }

    void drop_foreign_key_indexes() {
        for (auto& t : schema.tables) {
            std::set<std::string> names;
            for (const auto& f : t.foreign_keys) names.insert(f.name);
            std::erase_if(t.indexes, [&](const IndexSpec& k) { return !k.unique && names.count(k.name); });
        }
    }
};

}  // namespace

const std::vector<const char*>& mysql_inspect_queries() noexcept { return kQueries; }

bool build_mysql_schema(const std::vector<Ref>& results, SchemaSpec& out) noexcept {
    try {
        out.engine = Engine::Mysql;
        out.tables.clear();
        Builder b{out, {}};
        if (!for_each_row(results[COLUMNS].get(), [&](PyObject* row) { return b.add_column(row); }) ||
            !for_each_row(results[INDEXES].get(), [&](PyObject* row) { return b.add_index_column(row); }) ||
            !for_each_row(results[FOREIGN_KEYS].get(), [&](PyObject* row) { return b.add_foreign_key_column(row); })) {
            return false;
        }
        b.drop_foreign_key_indexes();
        sort_tables(out);
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
