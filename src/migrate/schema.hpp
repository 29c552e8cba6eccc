// What the migration module knows of a schema, in one plain form shared by
// its three stages: the live schema a database reports (inspect.cpp), the
// schema the model classes ask for (model_schema.cpp), the operations that
// take one to the other (diff.cpp) and the statements that run them
// (plan.cpp, sqlite_rebuild.cpp), replayed from migration files (runner.cpp).
//
// Every text here is in canonical form, so that two schemas compare with ==:
// identifiers as the database keeps them, types as canonical_type() writes
// them, defaults as the SQL literal CREATE TABLE would write. Python error
// convention throughout: a function returning false has set an exception.
#pragma once

#include "tessary/py.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tsy::migrate {

enum class Engine { Sqlite, Mysql };

struct ColumnSpec {
    std::string name;
    std::string type;                        // canonical_type(): "VARCHAR(64)", "INT", "DECIMAL(10,2)"
    bool nullable = true;
    std::optional<std::string> default_sql;  // "'bob'", "5", "NULL"; nullopt: no DEFAULT clause
    bool auto_increment = false;
    std::string renamed_from;                // models only: the column's previous name, when declared
    bool operator==(const ColumnSpec& o) const noexcept {
        return name == o.name && type == o.type && nullable == o.nullable && default_sql == o.default_sql &&
               auto_increment == o.auto_increment;
    }
};

// A plain index (CREATE INDEX), a unique index, or a UNIQUE constraint written
// inside CREATE TABLE (`constraint`: on SQLite its name is not kept, so such
// keys are matched by their columns).
struct IndexSpec {
    std::string name;
    std::vector<std::string> columns;
    bool unique = false;
    bool constraint = false;
    bool operator==(const IndexSpec& o) const noexcept {
        return columns == o.columns && unique == o.unique && constraint == o.constraint &&
               (constraint || name == o.name);
    }
};

// FOREIGN KEY (columns) REFERENCES ref_table (ref_columns) ON DELETE on_delete.
// On SQLite the constraint's name is not kept: matched by everything else.
struct ForeignKeySpec {
    std::string name;
    std::vector<std::string> columns;
    std::string ref_table;
    std::vector<std::string> ref_columns;
    std::string on_delete = "NO ACTION";     // "CASCADE", "SET NULL", "RESTRICT", "NO ACTION"
    bool operator==(const ForeignKeySpec& o) const noexcept {
        return columns == o.columns && ref_table == o.ref_table && ref_columns == o.ref_columns &&
               on_delete == o.on_delete;
    }
};

struct TableSpec {
    std::string name;
    std::vector<ColumnSpec> columns;         // in table order
    std::vector<std::string> primary_key;
    std::vector<IndexSpec> indexes;          // unique keys included
    std::vector<ForeignKeySpec> foreign_keys;
    std::string renamed_from;                // models only
    const ColumnSpec* column(std::string_view n) const noexcept {
        for (const auto& c : columns) if (c.name == n) return &c;
        return nullptr;
    }
};

struct SchemaSpec {
    Engine engine = Engine::Sqlite;
    std::vector<TableSpec> tables;           // live: sorted by name; models: in dependency order
    const TableSpec* table(std::string_view n) const noexcept {
        for (const auto& t : tables) if (t.name == n) return &t;
        return nullptr;
    }
};

// One step from one schema to another. Each kind fills the fields named
// beside it; `before` fields hold what the step replaces, so that every
// step can be written backwards (downgrade) and judged destructive.
struct Operation {
    enum class Kind {
        CreateTable,     // table, table_spec
        DropTable,       // table, table_spec (the table as it was)
        RenameTable,     // table (new name), old_name
        AddColumn,       // table, column
        DropColumn,      // table, before_column
        AlterColumn,     // table, column (new), before_column (old): type, nullability or default
        RenameColumn,    // table, column (new, as after the rename), old_name
        CreateIndex,     // table, index (unique keys and UNIQUE constraints too)
        DropIndex,       // table, index (as it was)
        AddForeignKey,   // table, foreign_key
        DropForeignKey,  // table, foreign_key (as it was)
        Execute,         // sql, args (a data step written by hand)
    };
    Kind kind = Kind::Execute;
    std::string table;
    std::string old_name;
    std::optional<TableSpec> table_spec;
    std::optional<ColumnSpec> column, before_column;
    std::optional<IndexSpec> index;
    std::optional<ForeignKeySpec> foreign_key;
    std::string sql;
    Ref args;  // tuple; Execute only
};

// One statement of a plan. `check_foreign_keys`: after it, the runner reads
// PRAGMA foreign_key_check and fails the migration on any row it returns.
struct Statement {
    std::string sql;
    Ref args;  // tuple, or NULL for none
    bool check_foreign_keys = false;
};

// The statements of a run of operations on one database. `foreign_keys_off`:
// a SQLite table rebuild is among them, so the runner turns foreign_keys off
// around the transaction (the pragma is a no-op inside one) and back on after.
struct Plan {
    std::vector<Statement> statements;
    bool foreign_keys_off = false;
};

// The canonical spelling of a column type on `engine`: upper case, no blanks,
// synonyms folded ("int(11)" and "INTEGER" on MariaDB read "INT").
std::string canonical_type(Engine engine, std::string_view type);

}  // namespace tsy::migrate
