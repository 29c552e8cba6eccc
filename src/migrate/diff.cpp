// The operations that take one schema (a live database) to another (the
// models'). Renames happen only where a model declares them (renamedFrom):
// a column that disappears while another appears is a drop and an add,
// never a guessed rename. The order is one that runs, and is the same for
// the same two schemas:
//   table renames; tables created (the models' dependency order);
//   foreign keys dropped (every table);
//   per table: indexes dropped, columns renamed, added, altered, dropped,
//              indexes created;
//   foreign keys added (every table);
//   tables dropped (tables referring to others first).
// Foreign keys are dropped before and added after every table's columns
// change, so that no step meets a constraint on a column another step of
// the run renames, retypes or removes.
#include "diff.hpp"

#include <algorithm>

namespace tsy::migrate {
namespace {

Operation make(Operation::Kind kind, const std::string& table) {
    Operation op;
    op.kind = kind;
    op.table = table;
    return op;
}

// What a model adds to a table that a step does not carry.
ColumnSpec plain(ColumnSpec c) {
    c.renamed_from.clear();
    return c;
}

TableSpec plain(TableSpec t) {
    t.renamed_from.clear();
    for (auto& c : t.columns) c.renamed_from.clear();
    return t;
}

template <typename T>
bool contains(const std::vector<T>& items, const T& item) {
    return std::find(items.begin(), items.end(), item) != items.end();
}

void rename_in(std::vector<std::string>& names, const std::string& from, const std::string& to) {
    for (auto& n : names) if (n == from) n = to;
}

// The schema once table `from` is called `to`: the table and every
// reference to it.
void rename_table(SchemaSpec& s, const std::string& from, const std::string& to) {
    for (auto& t : s.tables) {
        if (t.name == from) t.name = to;
        for (auto& fk : t.foreign_keys) if (fk.ref_table == from) fk.ref_table = to;
    }
}

// The schema once column `from` of `table` is called `to`: the column, the
// table's primary key, indexes and foreign keys, and the references to it.
void rename_column(SchemaSpec& s, const std::string& table, const std::string& from, const std::string& to) {
    for (auto& t : s.tables) {
        if (t.name == table) {
            for (auto& c : t.columns) if (c.name == from) c.name = to;
            rename_in(t.primary_key, from, to);
            for (auto& ix : t.indexes) rename_in(ix.columns, from, to);
            for (auto& fk : t.foreign_keys) rename_in(fk.columns, from, to);
        }
        for (auto& fk : t.foreign_keys) if (fk.ref_table == table) rename_in(fk.ref_columns, from, to);
    }
}

class Differ {
public:
    Differ(const SchemaSpec& live, const SchemaSpec& wanted, std::vector<Operation>& out)
        : wanted_(wanted), moved_(live), out_(out) {}

    void run() {
        rename_tables();
        renamed_ = moved_;
        std::vector<std::vector<Operation>> column_renames = rename_columns();
        create_tables();
        for (const auto& w : wanted_.tables) if (kept(w)) drop_foreign_keys(w);
        for (std::size_t i = 0; i < wanted_.tables.size(); ++i) {
            if (kept(wanted_.tables[i])) change_table(wanted_.tables[i], column_renames[i]);
        }
        for (const auto& w : wanted_.tables) if (kept(w)) add_foreign_keys(w);
        drop_tables();
    }

private:
    const SchemaSpec& wanted_;
    SchemaSpec moved_;    // the live schema after the table renames
    SchemaSpec renamed_;  // ... and after the column renames (what is compared)
    std::vector<Operation>& out_;

    bool kept(const TableSpec& w) const { return moved_.table(w.name) != nullptr; }

    void rename_tables() {
        for (const auto& w : wanted_.tables) {
            const std::string& old = w.renamed_from;
            if (old.empty() || !moved_.table(old) || moved_.table(w.name) || wanted_.table(old)) continue;
            Operation op = make(Operation::Kind::RenameTable, w.name);
            op.old_name = old;
            out_.push_back(std::move(op));
            rename_table(moved_, old, w.name);
        }
    }

    // The column renames of each wanted table (by position), applied to
    // renamed_ so that what follows compares columns by their new names.
    std::vector<std::vector<Operation>> rename_columns() {
        std::vector<std::vector<Operation>> renames(wanted_.tables.size());
        for (std::size_t i = 0; i < wanted_.tables.size(); ++i) {
            const TableSpec& w = wanted_.tables[i];
            for (const auto& c : w.columns) {
                const TableSpec* live = renamed_.table(w.name);
                const std::string& old = c.renamed_from;
                if (!live || old.empty() || !live->column(old) || live->column(c.name) || w.column(old)) continue;
                Operation op = make(Operation::Kind::RenameColumn, w.name);
                op.old_name = old;
                op.column = plain(c);
                renames[i].push_back(std::move(op));
                rename_column(renamed_, w.name, old, c.name);
            }
        }
        return renames;
    }

    void create_tables() {
        for (const auto& w : wanted_.tables) {
            if (kept(w)) continue;
            Operation op = make(Operation::Kind::CreateTable, w.name);
            op.table_spec = plain(w);
            out_.push_back(std::move(op));
        }
    }

    // Steps that remove a key or index carry it as it stands when they run:
    // after the table renames, before the column renames (moved_, whose
    // entries sit at the same positions as renamed_'s).
    void drop_foreign_keys(const TableSpec& w) {
        const TableSpec& before = *moved_.table(w.name);
        const TableSpec& now = *renamed_.table(w.name);
        for (std::size_t k = 0; k < now.foreign_keys.size(); ++k) {
            if (contains(w.foreign_keys, now.foreign_keys[k])) continue;
            Operation op = make(Operation::Kind::DropForeignKey, w.name);
            op.foreign_key = before.foreign_keys[k];
            out_.push_back(std::move(op));
        }
    }

    void change_table(const TableSpec& w, std::vector<Operation>& column_renames) {
        const TableSpec& before = *moved_.table(w.name);
        const TableSpec& now = *renamed_.table(w.name);
        for (std::size_t k = 0; k < now.indexes.size(); ++k) {
            if (contains(w.indexes, now.indexes[k])) continue;
            Operation op = make(Operation::Kind::DropIndex, w.name);
            op.index = before.indexes[k];
            out_.push_back(std::move(op));
        }
        for (auto& op : column_renames) out_.push_back(std::move(op));
        for (const auto& c : w.columns) {
            if (now.column(c.name)) continue;
            Operation op = make(Operation::Kind::AddColumn, w.name);
            op.column = plain(c);
            out_.push_back(std::move(op));
        }
        for (const auto& c : w.columns) {
            const ColumnSpec* was = now.column(c.name);
            if (!was || *was == c) continue;
            Operation op = make(Operation::Kind::AlterColumn, w.name);
            op.column = plain(c);
            op.before_column = *was;
            out_.push_back(std::move(op));
        }
        for (const auto& c : now.columns) {
            if (w.column(c.name)) continue;
            Operation op = make(Operation::Kind::DropColumn, w.name);
            op.before_column = c;
            out_.push_back(std::move(op));
        }
        for (const auto& ix : w.indexes) {
            if (contains(now.indexes, ix)) continue;
            Operation op = make(Operation::Kind::CreateIndex, w.name);
            op.index = ix;
            out_.push_back(std::move(op));
        }
    }

    void add_foreign_keys(const TableSpec& w) {
        const TableSpec& now = *renamed_.table(w.name);
        for (const auto& fk : w.foreign_keys) {
            if (contains(now.foreign_keys, fk)) continue;
            Operation op = make(Operation::Kind::AddForeignKey, w.name);
            op.foreign_key = fk;
            out_.push_back(std::move(op));
        }
    }

    // Live tables no model asks for, each dropped before the tables it
    // refers to (by name among those free to go; a cycle is broken at the
    // first name).
    void drop_tables() {
        std::vector<const TableSpec*> doomed;
        for (const auto& t : renamed_.tables) if (!wanted_.table(t.name)) doomed.push_back(&t);
        std::sort(doomed.begin(), doomed.end(), [](auto* a, auto* b) { return a->name < b->name; });
        while (!doomed.empty()) {
            auto next = std::find_if(doomed.begin(), doomed.end(), [&](const TableSpec* t) {
                return !referenced_by_another(*t, doomed);
            });
            if (next == doomed.end()) next = doomed.begin();
            Operation op = make(Operation::Kind::DropTable, (*next)->name);
            op.table_spec = **next;
            out_.push_back(std::move(op));
            doomed.erase(next);
        }
    }

    static bool referenced_by_another(const TableSpec& t, const std::vector<const TableSpec*>& tables) {
        for (const TableSpec* other : tables) {
            if (other == &t) continue;
            for (const auto& fk : other->foreign_keys) if (fk.ref_table == t.name) return true;
        }
        return false;
    }
};

}  // namespace

bool diff_schemas(const SchemaSpec& live, const SchemaSpec& wanted, std::vector<Operation>& out) noexcept {
    try {
        std::vector<Operation> ops;
        Differ(live, wanted, ops).run();
        out = std::move(ops);
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
