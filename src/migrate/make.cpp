// make(): the next migration file, holding the steps from the database (as
// the applied migrations left it) to the models, and the steps back.
#include "runner.hpp"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace tsy::migrate {
namespace {

// The model classes a module defines itself (not the ones it imports).
bool models_of_module(PyObject* module, std::vector<Ref>& out) noexcept {
    Ref base = import_attr("Tessary.Model.DataModel", "DataModel");
    Ref module_name = base ? attr(module, "__name__") : Ref();
    PyObject* globals = module_name ? PyModule_GetDict(module) : nullptr;
    if (!globals) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(globals, &pos, &key, &value)) {
        if (!PyType_Check(value) || value == base.get()) continue;
        int is_model = PyObject_IsSubclass(value, base.get());
        if (is_model < 0) return false;
        if (!is_model) continue;
        Ref defined_in = attr(value, "__module__");
        if (!defined_in) return false;
        int same = PyObject_RichCompareBool(defined_in.get(), module_name.get(), Py_EQ);
        if (same < 0) return false;
        if (same) out.push_back(borrow(value));
    }
    return true;
}

// Every table would be dropped by a run without models: never what was meant.
bool some_models(PyObject* source, const std::vector<Ref>& found) noexcept {
    if (!found.empty()) return true;
    PyErr_Format(PyExc_ValueError, "no model classes in %R", source);
    return false;
}

// models: a module's name, a module, or an iterable of model classes.
bool collect_models(PyObject* models, std::vector<Ref>& out) noexcept {
    if (PyUnicode_Check(models)) {
        Ref module = steal(PyImport_Import(models));
        return module && models_of_module(module.get(), out) && some_models(models, out);
    }
    if (PyModule_Check(models)) return models_of_module(models, out) && some_models(models, out);
    Ref iterator = steal(PyObject_GetIter(models));
    if (!iterator) {
        PyErr_Format(PyExc_TypeError, "models must be a module, its name or an iterable of model classes, not %.200s",
                     type_name(models));
        return false;
    }
    while (Ref item = steal(PyIter_Next(iterator.get()))) out.push_back(std::move(item));
    return !PyErr_Occurred() && some_models(models, out);
}

bool refuse_pending(const std::vector<MigrationFile>& files, const std::vector<AppliedRecord>& records) noexcept {
    std::string pending;
    for (const MigrationFile& file : files) {
        bool applied = std::any_of(records.begin(), records.end(),
                                   [&](const AppliedRecord& r) { return r.version == file.version; });
        if (!applied) pending += (pending.empty() ? "" : ", ") + file.stem();
    }
    if (pending.empty()) return true;
    return fail_with_cause("apply pending migrations first: " + pending);
}

std::string next_version(const std::vector<MigrationFile>& files, const std::vector<AppliedRecord>& records) {
    int last = 0;
    for (const auto& file : files) last = std::max(last, std::atoi(file.version.c_str()));
    for (const auto& record : records) last = std::max(last, std::atoi(record.version.c_str()));
    char text[16];
    std::snprintf(text, sizeof text, "%04d", last + 1);
    return text;
}

// "from Tessary.Ext.Migrate import ..." with the schema classes the steps use.
std::string imports_of(const std::string& body) {
    std::string used;
    for (const char* name : {"Column", "Key", "Reference", "Table"}) {
        if (body.find(std::string(name) + "(") == std::string::npos) continue;
        used += (used.empty() ? "" : ", ") + std::string(name);
    }
    return used.empty() ? "" : "from Tessary.Ext.Migrate import " + used + "\n\n";
}

bool starts_item(std::string_view rest) noexcept {
    for (std::string_view item : {"Column(", "Key(", "Reference("}) {
        if (rest.substr(0, item.size()) == item) return true;
    }
    return false;
}

// One op call laid out for reading and editing: the items of a list of
// columns, keys or references one per line (a table's steps are otherwise
// one line of hundreds of characters). Commas inside string literals and
// inside the items themselves stay where they are.
std::string laid_out(std::string_view call) {
    std::string out;
    std::vector<bool> open;  // each open bracket: whether its items go one per line
    char quote = 0;
    for (std::size_t i = 0; i < call.size(); ++i) {
        char c = call[i];
        if (quote) {
            out += c;
            if (c == '\\' && i + 1 < call.size()) out += call[++i];
            else if (c == quote) quote = 0;
            continue;
        }
        if (c == '\'' || c == '"') {
            quote = c;
            out += c;
        } else if (c == '[' || c == '(') {
            bool items = c == '[' && starts_item(call.substr(i + 1));
            open.push_back(items);
            out += items ? "[\n        " : std::string(1, c);
        } else if (c == ']' || c == ')') {
            bool items = !open.empty() && open.back();
            if (!open.empty()) open.pop_back();
            out += items ? ",\n    ]" : std::string(1, c);
        } else if (c == ',' && !open.empty() && open.back() && i + 1 < call.size() && call[i + 1] == ' ') {
            out += ",\n        ";
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

// "    <call>\n", or false with the exception of a step that cannot be written.
bool append_step(std::string& body, const Operation& operation) {
    std::string call = operation_source(operation);
    if (call.empty()) return false;
    body += "    " + laid_out(call) + "\n";
    return true;
}

bool file_text(const std::string& version, const std::string& name, const std::vector<Operation>& operations,
               std::string& out) noexcept {
    try {
        std::string upgrade = "def upgrade(op):\n";
        for (const Operation& operation : operations) {
            if (!append_step(upgrade, operation)) return false;
        }
        std::string downgrade = "def downgrade(op):\n";
        for (auto operation = operations.rbegin(); operation != operations.rend(); ++operation) {
            Operation back;
            if (!inverse(*operation, back) || !append_step(downgrade, back)) return false;
        }
        out = "\"\"\"Migration " + version + ": " + name + ".\"\"\"\n\n" + imports_of(upgrade + downgrade) +
              "version = \"" + version + "\"\n\n\n" + upgrade + "\n\n" + downgrade;
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

// The steps from the live database to the models.
bool steps_to_models(PyObject* connector, const std::vector<Ref>& models, std::vector<Operation>& out) noexcept {
    std::optional<Engine> engine = engine_of(connector);
    if (!engine) return false;
    std::vector<PyObject*> classes;
    for (const Ref& model : models) classes.push_back(model.get());
    SchemaSpec live, wanted;
    return inspect_sync(connector, live) &&
           model_schema(classes.data(), static_cast<Py_ssize_t>(classes.size()), *engine, connector, wanted) &&
           diff_schemas(live, wanted, out);
}

}  // namespace

Ref make_migration(const std::string& name, PyObject* models, const std::string& directory,
                   PyObject* connector) noexcept {
    if (!is_safe_name(name)) {
        return fail(PyExc_ValueError, "a migration's name is letters, digits and '_' only, not %R",
                    steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))).get());
    }
    std::vector<Ref> classes;
    std::vector<MigrationFile> files;
    std::vector<AppliedRecord> records;
    std::vector<Operation> operations;
    if (!collect_models(models, classes) || !ensure_history(connector) || !list_migration_files(directory, files) ||
        !read_history(connector, records) || !refuse_pending(files, records) ||
        !steps_to_models(connector, classes, operations)) {
        return {};
    }
    if (operations.empty()) return borrow(Py_None);
    std::string version = next_version(files, records);
    std::string text, path;
    if (!file_text(version, name, operations, text) ||
        !write_text_file(directory, version + "_" + name + ".py", text, path)) {
        return {};
    }
    return steal(PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

}  // namespace tsy::migrate
