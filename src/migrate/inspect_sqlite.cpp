// The live schema of a SQLite database. The PRAGMA table functions joined to
// sqlite_master read every table's columns, indexes and foreign keys in one
// statement each. SQLite keeps no name for a UNIQUE or FOREIGN KEY
// constraint outside the CREATE TABLE text, so those names are read from it.
#include "inspect.hpp"

#include <algorithm>
#include <cctype>
#include <map>

namespace tsy::migrate {
namespace {

// Every table of the schema but SQLite's own and the migration record.
#define TSY_USER_TABLES                                                                     \
    "m.type = 'table' AND substr(m.name, 1, 7) <> 'sqlite_' AND m.name <> 'tessary_migrations'"

enum Query { TABLES, COLUMNS, INDEXES, FOREIGN_KEYS };

const std::vector<const char*> kQueries = {
    "SELECT m.name, m.sql FROM sqlite_master AS m WHERE " TSY_USER_TABLES " ORDER BY m.name",
    // hidden: 1 for the hidden columns of virtual tables; generated columns (2, 3) are columns.
    "SELECT m.name, p.name, p.type, p.\"notnull\", p.dflt_value, p.pk FROM sqlite_master AS m, "
    "pragma_table_xinfo(m.name) AS p WHERE " TSY_USER_TABLES " AND p.hidden <> 1 ORDER BY m.name, p.cid",
    "SELECT m.name, l.name, l.\"unique\", l.origin, i.name FROM sqlite_master AS m, pragma_index_list(m.name) AS l, "
    "pragma_index_info(l.name) AS i WHERE " TSY_USER_TABLES " ORDER BY m.name, l.name, i.seqno",
    "SELECT m.name, f.id, f.\"table\", f.\"from\", f.\"to\", f.on_delete FROM sqlite_master AS m, "
    "pragma_foreign_key_list(m.name) AS f WHERE " TSY_USER_TABLES " ORDER BY m.name, f.id, f.seq",
};

#undef TSY_USER_TABLES

// -- constraint names from the CREATE TABLE text ----------------------------------------------

// A small reader of CREATE TABLE text: identifiers (quoted or bare),
// keywords, parentheses. Enough to find `constraint <name> UNIQUE (...)`
// and `constraint <name> FOREIGN KEY (...)`.
class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    bool done() { skip_blanks(); return pos_ >= text_.size(); }

    // The next token: a quoted identifier whole, a word, or one character.
    std::string_view next() {
        skip_blanks();
        if (pos_ >= text_.size()) return {};
        std::size_t start = pos_;
        char ch = text_[pos_];
        char close = ch == '`' ? '`' : ch == '"' ? '"' : ch == '[' ? ']' : ch == '\'' ? '\'' : 0;
        if (close) {
            for (++pos_; pos_ < text_.size(); ++pos_) {
                if (text_[pos_] != close) continue;
                if (close != ']' && pos_ + 1 < text_.size() && text_[pos_ + 1] == close) {
                    ++pos_;  // a doubled quote
                    continue;
                }
                break;
            }
            pos_ = std::min(pos_ + 1, text_.size());
        } else if (std::isalnum(static_cast<unsigned char>(ch)) || ch == '_') {
            while (pos_ < text_.size() &&
                   (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_' || text_[pos_] == '$')) {
                ++pos_;
            }
        } else {
            ++pos_;
        }
        return text_.substr(start, pos_ - start);
    }

    // `( a, b )` as names; false when the text is not such a list.
    bool name_list(std::vector<std::string>& out) {
        if (next() != "(") return false;
        for (;;) {
            std::string_view name = next();
            if (name.empty()) return false;
            out.push_back(unquote_identifier(name));
            std::string_view sep = next();
            // A COLLATE or ASC/DESC after a name changes nothing we compare.
            while (!sep.empty() && sep != "," && sep != ")") sep = next();
            if (sep == ")") return true;
            if (sep.empty()) return false;
        }
    }

private:
    void skip_blanks() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    std::string_view text_;
    std::size_t pos_ = 0;
};

struct ConstraintNames {
    std::map<std::vector<std::string>, std::string> unique, foreign;
};

bool keyword(std::string_view token, const char* word) { return upper(token) == word; }

ConstraintNames constraint_names(std::string_view create_sql) {
    ConstraintNames names;
    Reader r(create_sql);
    while (!r.done()) {
        if (!keyword(r.next(), "CONSTRAINT")) continue;
        std::string name = unquote_identifier(r.next());
        std::string_view kind = r.next();
        std::vector<std::string> columns;
        if (keyword(kind, "UNIQUE")) {
            if (r.name_list(columns)) names.unique.emplace(std::move(columns), std::move(name));
        } else if (keyword(kind, "FOREIGN") && keyword(r.next(), "KEY")) {
            if (r.name_list(columns)) names.foreign.emplace(std::move(columns), std::move(name));
        }
    }
    return names;
}

std::string name_for(const std::map<std::vector<std::string>, std::string>& names,
                     const std::vector<std::string>& columns) {
    auto found = names.find(columns);
    return found == names.end() ? std::string() : found->second;
}

// -- building ------------------------------------------------------------------------------------------

struct Builder {
    SchemaSpec& schema;
    std::map<std::string, ConstraintNames> constraints;
    std::map<std::string, std::vector<std::pair<long long, std::string>>> key_positions;  // table -> (pk, column)

    TableSpec* table(const std::string& name) {
        for (auto& t : schema.tables) if (t.name == name) return &t;
        return nullptr;
    }

    bool add_table(PyObject* row) {
        TableSpec t;
        std::string sql;
        if (!row_text(row, 0, t.name) || !row_text(row, 1, sql)) return false;
        constraints.emplace(t.name, constraint_names(sql));
        schema.tables.push_back(std::move(t));
        return true;
    }

    bool add_column(PyObject* row) {
        std::string table_name;
        ColumnSpec c;
        std::optional<std::string> dflt;
        long long notnull = 0, pk = 0;
        if (!row_text(row, 0, table_name) || !row_text(row, 1, c.name) || !row_text(row, 2, c.type) ||
            !row_int(row, 3, notnull) || !row_text(row, 4, dflt) || !row_int(row, 5, pk)) {
            return false;
        }
        TableSpec* t = table(table_name);
        if (!t) return true;  // made between the two reads
        c.type = canonical_type(Engine::Sqlite, c.type);
        c.nullable = notnull == 0;
        c.default_sql = canonical_default(Engine::Sqlite, c.type, std::move(dflt));
        if (pk) key_positions[table_name].emplace_back(pk, c.name);
        t->columns.push_back(std::move(c));
        return true;
    }

    // The primary key in key order; a lone INTEGER key is the rowid, which
    // SQLite generates and which never holds NULL.
    void finish_primary_keys() {
        for (auto& [table_name, positions] : key_positions) {
            TableSpec* t = table(table_name);
            if (!t) continue;
            std::sort(positions.begin(), positions.end());
            for (auto& p : positions) t->primary_key.push_back(p.second);
            if (t->primary_key.size() != 1) continue;
            for (auto& c : t->columns) {
                if (c.name == t->primary_key[0] && c.type == "INTEGER") {
                    c.auto_increment = true;
                    c.nullable = false;
                }
            }
        }
    }

    bool add_index_column(PyObject* row) {
        std::string table_name, index_name, origin, column;
        long long unique = 0;
        if (!row_text(row, 0, table_name) || !row_text(row, 1, index_name) || !row_int(row, 2, unique) ||
            !row_text(row, 3, origin) || !row_text(row, 4, column)) {
            return false;
        }
        TableSpec* t = table(table_name);
        if (!t || origin == "pk") return true;
        if (t->indexes.empty() || t->indexes.back().name != index_name) {
            IndexSpec k;
            k.name = index_name;
            k.unique = unique != 0;
            k.constraint = origin == "u";
            t->indexes.push_back(std::move(k));
        }
        t->indexes.back().columns.push_back(std::move(column));
        return true;
    }

    // A UNIQUE constraint's index is SQLite's own (sqlite_autoindex_...):
    // the constraint's name, when CREATE TABLE gave one, replaces it.
    void name_unique_constraints() {
        for (auto& t : schema.tables) {
            for (auto& k : t.indexes) {
                if (k.constraint) k.name = name_for(constraints[t.name].unique, k.columns);
            }
        }
    }

    bool add_foreign_key_column(PyObject* row) {
        std::string table_name, from;
        std::optional<std::string> to;
        long long id = 0;
        ForeignKeySpec f;
        if (!row_text(row, 0, table_name) || !row_int(row, 1, id) || !row_text(row, 2, f.ref_table) ||
            !row_text(row, 3, from) || !row_text(row, 4, to) || !row_text(row, 5, f.on_delete)) {
            return false;
        }
        TableSpec* t = table(table_name);
        if (!t) return true;
        // Rows of one constraint share its id; a new id starts the next one.
        if (fk_ids[table_name].empty() || fk_ids[table_name].back() != id) {
            fk_ids[table_name].push_back(id);
            t->foreign_keys.push_back(std::move(f));
        }
        ForeignKeySpec& current = t->foreign_keys.back();
        current.columns.push_back(std::move(from));
        current.ref_columns.push_back(to.value_or(std::string()));
        return true;
    }

    // Names from the CREATE TABLE text; a reference written without its
    // columns means the referenced table's primary key.
    void finish_foreign_keys() {
        for (auto& t : schema.tables) {
            for (auto& f : t.foreign_keys) {
                f.name = name_for(constraints[t.name].foreign, f.columns);
                const TableSpec* target = table(f.ref_table);
                for (std::size_t i = 0; i < f.ref_columns.size(); ++i) {
                    if (f.ref_columns[i].empty() && target && i < target->primary_key.size()) {
                        f.ref_columns[i] = target->primary_key[i];
                    }
                }
            }
        }
    }

    std::map<std::string, std::vector<long long>> fk_ids;
};

}  // namespace

const std::vector<const char*>& sqlite_inspect_queries() noexcept { return kQueries; }

bool build_sqlite_schema(const std::vector<Ref>& results, SchemaSpec& out) noexcept {
    try {
        out.engine = Engine::Sqlite;
        out.tables.clear();
        Builder b{out, {}, {}, {}};
        if (!for_each_row(results[TABLES].get(), [&](PyObject* row) { return b.add_table(row); }) ||
            !for_each_row(results[COLUMNS].get(), [&](PyObject* row) { return b.add_column(row); })) {
            return false;
        }
        b.finish_primary_keys();
        if (!for_each_row(results[INDEXES].get(), [&](PyObject* row) { return b.add_index_column(row); })) {
            return false;
        }
        b.name_unique_constraints();
        if (!for_each_row(results[FOREIGN_KEYS].get(), [&](PyObject* row) { return b.add_foreign_key_column(row); })) {
            return false;
        }
        b.finish_foreign_keys();
        sort_tables(out);
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
