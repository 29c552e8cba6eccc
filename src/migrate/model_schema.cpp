// The schema the model classes ask for, written as TableGenerator writes
// their CREATE TABLE on the given engine and then put in canonical form, so
// that it compares equal to what inspect() reads of the tables those
// statements made. The declarations of keys, indexes and foreign keys are
// read as attributes with a default (a model of an older declaration layer
// simply has none).
#include "inspect.hpp"

#include "tessary/model.hpp"

#include <algorithm>

namespace tsy::migrate {
namespace {

constexpr long kSqliteExactDigits = 15;  // DECIMAL wider than this is "DECIMAL TEXT" on SQLite (TableGenerator)
constexpr int kManyToMany = 2;

struct Apis {
    const model::PropertyApi* prop = nullptr;
    const model::ModelApi* model = nullptr;
};

const Apis* apis() noexcept {
    static Apis a;
    if (!a.prop && !(a.prop = model::import_property_api())) return nullptr;
    if (!a.model && !(a.model = model::import_model_api())) return nullptr;
    return &a;
}

model::PropertyObject* property(PyObject* col) noexcept { return reinterpret_cast<model::PropertyObject*>(col); }

bool text_of(PyObject* value, const char* what, std::string& out) {
    if (!PyUnicode_Check(value)) {
        fail(PyExc_TypeError, "%s must be a str, not %.200s", what, type_name(value));
        return false;
    }
    const char* text = PyUnicode_AsUTF8(value);
    if (!text) return false;
    out = text;
    return true;
}

// getattr(obj, name, None), None also for an attribute that is not there.
Ref optional_attr(PyObject* obj, const char* name) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(obj, name, &value) < 0) return {};
    return value ? steal(value) : borrow(Py_None);
}

// A str attribute of a declaration, "" when absent or None.
bool optional_text(PyObject* obj, const char* name, std::string& out) {
    Ref value = optional_attr(obj, name);
    if (!value) return false;
    out.clear();
    return value.get() == Py_None || text_of(value.get(), name, out);
}

int optional_flag(PyObject* obj, const char* name) {
    Ref value = optional_attr(obj, name);
    if (!value) return -1;
    return truth(value.get());
}

// -- one column ------------------------------------------------------------------------------

long first_type_arg(PyObject* col) {
    PyObject* args = property(col)->typeArgs;
    if (!args || !PyTuple_Check(args) || PyTuple_GET_SIZE(args) == 0) return 0;
    PyObject* first = PyTuple_GET_ITEM(args, 0);
    if (!PyLong_Check(first) || PyBool_Check(first)) return 0;
    long value = PyLong_AsLong(first);
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return kSqliteExactDigits + 1;
    }
    return value;
}

// The type parameters as TableGenerator writes them: str(typeArgs), "(255,)"
// written "(255)"; none: "(6)" for a datetime column on MySQL.
bool type_args_text(PyObject* col, Engine engine, std::string& out) {
    PyObject* args = property(col)->typeArgs ? property(col)->typeArgs : Py_None;
    Ref written = steal(PyObject_Str(args));
    if (!written) return false;
    std::string text;
    if (!text_of(written.get(), "typeArgs", text)) return false;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, ",)") == 0) {
        std::erase(text, ',');
        out += text;
        return true;
    }
    Py_ssize_t n = PyObject_Size(args);
    if (n < 0) return false;
    if (n) out += text;
    else if (engine == Engine::Mysql && property(col)->kind == model::KIND_DATETIME) out += "(6)";
    return true;
}

bool plain_type(PyObject* col, Engine engine, std::string& out) {
    Ref type = attr(col, "targetType");
    if (!type) return false;
    std::string name;
    if (!text_of(type.get(), "targetType", name)) return false;
    int kind = property(col)->kind;
    if (engine == Engine::Sqlite && kind == model::KIND_JSON && name == "JSON") name = "TEXT";
    else if (engine == Engine::Sqlite && kind == model::KIND_DECIMAL && name == "DECIMAL" &&
             first_type_arg(col) > kSqliteExactDigits) {
        name = "DECIMAL TEXT";
    }
    out = name;
    return type_args_text(col, engine, out);
}

// "INT NOT NULL AUTO_INCREMENT" -> "INT": the type of a generated key, its
// constraints taken off.
std::string key_type_of(const std::string& announce) {
    std::string out;
    std::string u = upper(announce);
    std::size_t cut = u.size();
    for (const char* word : {" NOT NULL", " AUTO_INCREMENT", " AUTOINCREMENT", " PRIMARY KEY", " NULL"}) {
        std::size_t at = u.find(word);
        if (at != std::string::npos) cut = std::min(cut, at);
    }
    return announce.substr(0, cut);
}

bool generated_key(PyObject* col, PyObject* connector, ColumnSpec& c, Engine engine) {
    Ref announce = call_method(connector, intern("autoFiledAnnounce"), col);
    if (!announce) return false;
    std::string text;
    if (!text_of(announce.get(), "autoFiledAnnounce()", text)) return false;
    c.type = canonical_type(engine, key_type_of(text));
    c.auto_increment = true;
    c.nullable = false;
    return true;
}

// buildDefault(col): the DEFAULT text TableGenerator writes.
bool default_of(PyObject* col, Engine engine, ColumnSpec& c) {
    if (!property(col)->hasDefault) return true;
    Ref build = import_attr("Tessary.DB.Generator", "buildDefault");
    if (!build) return false;
    Ref text = call(build.get(), col);
    if (!text) return false;
    if (text.get() == Py_None) return true;
    std::string value;
    if (!text_of(text.get(), "buildDefault()", value)) return false;
    c.default_sql = canonical_default(engine, c.type, value);
    return true;
}

bool column_of(const Apis& a, PyObject* col, Engine engine, PyObject* connector, bool single_key, ColumnSpec& c) {
    if (!PyObject_TypeCheck(col, a.prop->BaseProperty)) {
        fail(PyExc_TypeError, "a model's col holds column properties, not %.200s", type_name(col));
        return false;
    }
    model::PropertyObject* p = property(col);
    if (!p->name || !text_of(p->name, "column name", c.name)) return false;
    if (!optional_text(col, "renamedFrom", c.renamed_from)) return false;
    if (p->isPrimaryKey) {
        int is_auto = PyObject_RichCompareBool(p->default_ ? p->default_ : Py_None,
                                               reinterpret_cast<PyObject*>(a.prop->AutoIncrement), Py_EQ);
        if (is_auto < 0) return false;
        if (is_auto) return generated_key(col, connector, c, engine);
    }
    std::string type;
    if (!plain_type(col, engine, type)) return false;
    c.type = canonical_type(engine, type);
    c.nullable = p->nullable != 0;
    if (p->isPrimaryKey) {
        // MariaDB keeps a key column NOT NULL; SQLite's lone INTEGER key is the rowid.
        if (engine == Engine::Mysql) c.nullable = false;
        if (engine == Engine::Sqlite && single_key && c.type == "INTEGER") {
            c.nullable = false;
            c.auto_increment = true;
        }
        return true;
    }
    return default_of(col, engine, c);
}

// -- keys ----------------------------------------------------------------------------------

bool column_keys(PyObject* col, const std::string& table, const std::string& column, TableSpec& t) {
    int indexed = optional_flag(col, "index");
    int unique = indexed < 0 ? -1 : optional_flag(col, "unique");
    if (unique < 0) return false;
    if (indexed) t.indexes.push_back(IndexSpec{.name = "ix_" + table + "_" + column, .columns = {column}});
    if (unique) {
        t.indexes.push_back(
            IndexSpec{.name = "uq_" + table + "_" + column, .columns = {column}, .unique = true, .constraint = true});
    }
    return true;
}

bool declared_indexes(PyObject* model, TableSpec& t) {
    Ref indexes = optional_attr(model, "indexes");
    if (!indexes || indexes.get() == Py_None) return static_cast<bool>(indexes);
    Ref items = steal(PySequence_Tuple(indexes.get()));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* index = PyTuple_GET_ITEM(items.get(), i);
        IndexSpec k;
        Ref name = attr(index, "name");
        Ref columns = name ? attr(index, "columns") : Ref();
        if (!columns || !text_of(name.get(), "Index name", k.name)) return false;
        int unique = optional_flag(index, "unique");
        if (unique < 0) return false;
        k.unique = unique != 0;
        Ref names = steal(PySequence_Tuple(columns.get()));
        if (!names) return false;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(names.get()); ++j) {
            std::string column;
            if (!text_of(PyTuple_GET_ITEM(names.get(), j), "Index column", column)) return false;
            k.columns.push_back(std::move(column));
        }
        t.indexes.push_back(std::move(k));
    }
    return true;
}

// Model.foreignKeyConstraints: (name, column, refTable, refColumn, onDelete) tuples.
bool declared_foreign_keys(PyObject* model, TableSpec& t) {
    Ref constraints = optional_attr(model, "foreignKeyConstraints");
    if (!constraints || constraints.get() == Py_None) return static_cast<bool>(constraints);
    Ref items = steal(PySequence_Tuple(constraints.get()));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        Ref fields = steal(PySequence_Tuple(PyTuple_GET_ITEM(items.get(), i)));
        if (!fields) return false;
        if (PyTuple_GET_SIZE(fields.get()) != 5) {
            fail(PyExc_TypeError, "foreignKeyConstraints entries are (name, column, refTable, refColumn, onDelete)");
            return false;
        }
        ForeignKeySpec f;
        std::string column, ref_column;
        if (!text_of(PyTuple_GET_ITEM(fields.get(), 0), "constraint name", f.name) ||
            !text_of(PyTuple_GET_ITEM(fields.get(), 1), "constraint column", column) ||
            !text_of(PyTuple_GET_ITEM(fields.get(), 2), "referenced table", f.ref_table) ||
            !text_of(PyTuple_GET_ITEM(fields.get(), 3), "referenced column", ref_column) ||
            !text_of(PyTuple_GET_ITEM(fields.get(), 4), "onDelete", f.on_delete)) {
            return false;
        }
        f.on_delete = upper(f.on_delete);
        f.columns = {std::move(column)};
        f.ref_columns = {std::move(ref_column)};
        t.foreign_keys.push_back(std::move(f));
    }
    return true;
}

// -- one table -------------------------------------------------------------------------------

bool table_of(const Apis& a, PyObject* model, Engine engine, PyObject* connector, TableSpec& t) {
    Ref name = attr(model, "tableName");
    if (!name || !text_of(name.get(), "tableName", t.name)) return false;
    Ref renamed = optional_attr(model, "renamedFrom");
    if (!renamed) return false;
    if (PyUnicode_Check(renamed.get()) && !text_of(renamed.get(), "renamedFrom", t.renamed_from)) return false;
    Ref key = attr(model, "pkCol");
    if (!key) return false;
    if (key.get() != Py_None) {
        std::string key_name;
        if (!PyObject_TypeCheck(key.get(), a.prop->BaseProperty) || !property(key.get())->name ||
            !text_of(property(key.get())->name, "key name", key_name)) {
            if (!PyErr_Occurred()) fail(PyExc_TypeError, "pkCol of %R is not a column property", model);
            return false;
        }
        t.primary_key.push_back(std::move(key_name));
    }
    Ref cols = attr(model, "col");
    Ref items = cols ? steal(PySequence_Tuple(cols.get())) : Ref();
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i) {
        PyObject* col = PyTuple_GET_ITEM(items.get(), i);
        ColumnSpec c;
        if (!column_of(a, col, engine, connector, t.primary_key.size() == 1, c)) return false;
        if (!column_keys(col, t.name, c.name, t)) return false;
        t.columns.push_back(std::move(c));
    }
    return declared_indexes(model, t) && declared_foreign_keys(model, t);
}

// -- the models ---------------------------------------------------------------------------------

bool contains(const std::vector<Ref>& models, PyObject* model) {
    return std::any_of(models.begin(), models.end(), [&](const Ref& m) { return m.get() == model; });
}

// The models given, then the junction models of their many-to-many
// relations that were not given.
bool with_junctions(const Apis& a, PyObject* const* given, Py_ssize_t count, std::vector<Ref>& out) {
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!PyObject_TypeCheck(given[i], a.model->ModelMeta)) {
            fail(PyExc_TypeError, "modelSchema() argument %zd must be a model class, not %.200s", i + 1,
                 PyType_Check(given[i]) ? reinterpret_cast<PyTypeObject*>(given[i])->tp_name : type_name(given[i]));
            return false;
        }
        if (!contains(out, given[i])) out.push_back(borrow(given[i]));
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref relations = attr(given[i], "fk");
        Ref items = relations ? steal(PySequence_Tuple(relations.get())) : Ref();
        if (!items) return false;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(items.get()); ++j) {
            PyObject* fk = PyTuple_GET_ITEM(items.get(), j);
            Ref kind = attr(fk, "Type");
            if (!kind) return false;
            long value = PyLong_AsLong(kind.get());
            if (value == -1 && PyErr_Occurred()) return false;
            if (value != kManyToMany) continue;
            Ref middle = attr(fk, "middleModel");
            if (!middle) return false;
            if (PyObject_TypeCheck(middle.get(), a.model->ModelMeta) && !contains(out, middle.get())) {
                out.push_back(std::move(middle));
            }
        }
    }
    return true;
}

// Tables referenced by a foreign key before the tables holding it, the
// given order kept otherwise; the tables of a cycle stay in given order.
void dependency_order(std::vector<TableSpec>& tables) {
    std::vector<TableSpec> ordered;
    std::vector<bool> placed(tables.size(), false);
    auto waits_for = [&](const TableSpec& t) {
        for (const auto& f : t.foreign_keys) {
            if (f.ref_table == t.name) continue;
            for (std::size_t j = 0; j < tables.size(); ++j) {
                if (!placed[j] && tables[j].name == f.ref_table) return true;
            }
        }
        return false;
    };
    while (ordered.size() < tables.size()) {
        bool progress = false;
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (placed[i] || waits_for(tables[i])) continue;
            placed[i] = true;
            ordered.push_back(tables[i]);
            progress = true;
            break;  // start again from the front: keeps the given order stable
        }
        if (progress) continue;
        for (std::size_t i = 0; i < tables.size(); ++i) {
            if (!placed[i]) {
                placed[i] = true;
                ordered.push_back(tables[i]);
                break;
            }
        }
    }
    tables = std::move(ordered);
}

}  // namespace

bool model_schema(PyObject* const* models, Py_ssize_t count, Engine engine, PyObject* connector,
                  SchemaSpec& out) noexcept {
    try {
        const Apis* a = apis();
        if (!a) return false;
        std::vector<Ref> all;
        if (!with_junctions(*a, models, count, all)) return false;
        out.engine = engine;
        out.tables.clear();
        for (const Ref& model : all) {
            TableSpec t;
            if (!table_of(*a, model.get(), engine, connector, t)) return false;
            order_keys(t);
            out.tables.push_back(std::move(t));
        }
        dependency_order(out.tables);
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
