// The statements of a run of operations on one database (plan_operations),
// and plan(), which lists them without running anything. Each step is
// written against the schema as the earlier steps leave it; on SQLite the
// steps its ALTER TABLE cannot make become a table rebuild.
#include "plan.hpp"

#include "tessary/db.hpp"

#include <algorithm>

namespace tsy::migrate {

namespace {

bool raise_error(const char* class_name, const std::string& message) noexcept {
    Ref type = import_attr("Tessary.Error.MigrateError", class_name);
    if (!type) return false;
    Ref text = steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (text) PyErr_SetObject(type.get(), text.get());
    return false;
}

// MariaDB refuses NOT NULL over NULLs: with the step allowed, a column that
// gains NOT NULL and has a default takes the default where it held NULL.
void fill_nulls_first(Engine engine, const Operation& op, const SchemaSpec& live, Plan& out) {
    if (engine != Engine::Mysql || op.kind != Operation::Kind::AlterColumn || !op.column) return;
    const ColumnSpec& now = *op.column;
    const TableSpec* t = live.table(op.table);
    const ColumnSpec* was = t ? t->column(now.name) : nullptr;
    if (!was || !was->nullable || now.nullable || !now.default_sql || *now.default_sql == "NULL") return;
    Statement s;
    s.sql = "UPDATE " + quoted(op.table) + " SET " + quoted(now.name) + " = " + *now.default_sql + " WHERE " +
            quoted(now.name) + " IS NULL";
    out.statements.push_back(std::move(s));
}

bool starts_with(const std::vector<std::string>& columns, const std::vector<std::string>& prefix) noexcept {
    return columns.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), columns.begin());
}

// MariaDB gives a foreign key an index of the constraint's name when no
// index starts with its columns, and keeps it when the key is dropped:
// dropped with it, so that the table is left as the schema without the key.
void drop_backing_index(Engine engine, const Operation& op, const SchemaSpec& live, Plan& out) {
    if (engine != Engine::Mysql || op.kind != Operation::Kind::DropForeignKey || !op.foreign_key) return;
    const TableSpec* t = live.table(op.table);
    const std::vector<std::string>& columns = op.foreign_key->columns;
    if (!t || starts_with(t->primary_key, columns)) return;
    for (const auto& k : t->indexes) {
        if (starts_with(k.columns, columns)) return;
    }
    Statement s;
    s.sql = "DROP INDEX " + quoted(op.foreign_key->name) + " ON " + quoted(op.table);
    out.statements.push_back(std::move(s));
}

// Whether SQLite runs `op` by rebuilding its table (as `live` has it now).
bool rebuilds(Engine engine, const Operation& op, const SchemaSpec& live) {
    if (engine != Engine::Sqlite) return false;
    const TableSpec* changed = live.table(op.table);
    return changed && needs_sqlite_rebuild(op, *changed);
}

// The steps from ops[at] on that rebuild the same table in a row, made one
// rebuild from the table before the first to the table after the last.
bool plan_rebuild(const std::vector<const Operation*>& ops, std::size_t& at, SchemaSpec& live, PyObject* connector,
                  Plan& out) {
    const std::string& table = ops[at]->table;
    TableSpec before = *live.table(table);
    if (!apply_to_schema(live, *ops[at])) return false;
    while (at + 1 < ops.size() && ops[at + 1]->table == table && rebuilds(Engine::Sqlite, *ops[at + 1], live)) {
        if (!apply_to_schema(live, *ops[++at])) return false;
    }
    return sqlite_rebuild(connector, before, *live.table(table), out);
}

bool plan_all(const std::vector<const Operation*>& ops, SchemaSpec& live, PyObject* connector,
              bool allow_destructive, Plan& out) {
    std::optional<Engine> engine = engine_of(connector);
    if (!engine) return false;
    for (const Operation* op : ops) {
        if (!check_identifiers(*op)) return false;
    }
    if (!allow_destructive && !refuse_destructive(ops, live, connector)) return false;
    for (std::size_t at = 0; at < ops.size(); ++at) {
        const Operation& op = *ops[at];
        if (rebuilds(*engine, op, live)) {
            if (!plan_rebuild(ops, at, live, connector, out)) return false;
            continue;
        }
        fill_nulls_first(*engine, op, live, out);
        if (!render_statements(*engine, op, out)) return false;
        drop_backing_index(*engine, op, live, out);
        if (!apply_to_schema(live, op)) return false;
    }
    return true;
}

// -- plan() -------------------------------------------------------------------

const char* const kPlanNames[] = {"operations", "connector", "allowDestructive"};

// The Operation objects of `operations`: an `op` (Operations) or any
// iterable of Operation; `holder` keeps them alive while `out` points at them.
bool operations_of(PyObject* operations, Ref& holder, std::vector<const Operation*>& out) {
    PyObject* recorded = operations_list_of(operations);
    holder = steal(PySequence_Tuple(recorded ? recorded : operations));
    if (!holder) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(holder.get()); ++i) {
        const Operation* op = operation_of(PyTuple_GET_ITEM(holder.get(), i));
        if (!op) return false;
        out.push_back(op);
    }
    return true;
}

PyObject* plan(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Params params{"plan", kPlanNames, 3, 1};
    if (nargs > 2) return arg_count_error("plan", 1, 2, nargs);
    PyObject* a[3];
    if (!parse(params, args, nargs, kwnames, a)) return nullptr;
    int allow = a[2] ? truth(a[2]) : 0;
    if (allow < 0) return nullptr;
    Ref connector = sync_connector(a[1]);
    if (!connector) return nullptr;
    Ref holder;
    std::vector<const Operation*> ops;
    if (!operations_of(a[0], holder, ops)) return nullptr;
    std::optional<Engine> engine = engine_of(connector.get());
    if (!engine) return nullptr;
    SchemaSpec live;
    if (!inspect_sync(connector.get(), live)) return nullptr;
    Plan planned;
    if (!plan_operations(ops, live, connector.get(), allow != 0, planned)) return nullptr;
    return plan_listing(*engine, planned).release();
}

PyMethodDef functions[] = {
    {"plan", fastkw<plan>(), METH_FASTCALL | METH_KEYWORDS,
     "plan($module, operations, connector=None, *, allowDestructive=False)\n--\n\n"
     "The statements that would run `operations` (an Operations or a list of Operation) on the database of "
     "`connector` (the handle's when None), as (sql, args) pairs, without running anything. Destructive steps "
     "raise DestructiveChangeError unless allowDestructive."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool migration_error(const std::string& message) noexcept { return raise_error("MigrationError", message); }

bool destructive_change_error(const std::string& message) noexcept {
    return raise_error("DestructiveChangeError", message);
}

Ref sync_connector(PyObject* connector) noexcept {
    Ref chosen;
    if (!connector || connector == Py_None) {
        const db::DbApi* api = db::import_db_api();
        if (!api) return {};
        chosen = steal(api->connector());
    } else {
        chosen = borrow(connector);
    }
    if (!chosen) return {};
    const db::ConnectorApi* api = db::import_connector_api();
    if (!api) return {};
    db::Dialect dialect{};
    if (api->dialect(chosen.get(), nullptr, db::DIALECT_NO_SERVER, &dialect) < 0) return {};
    if (dialect.coroutine) {
        return fail(PyExc_TypeError, "migrations run on a synchronous connector (Sqlite3Connector or "
                    "MysqlConnector), not %.200s", type_name(chosen.get()));
    }
    return chosen;
}

bool plan_operations(const std::vector<const Operation*>& ops, SchemaSpec& live, PyObject* connector,
                     bool allow_destructive, Plan& out) noexcept {
    try {
        return plan_all(ops, live, connector, allow_destructive, out);
    } catch (...) {
        translate_exception();
        return false;
    }
}

int add_plan(PyObject* module) noexcept {
    if (add_operations_type(module) < 0) return -1;
    return PyModule_AddFunctions(module, functions);
}

}  // namespace tsy::migrate
