// The migration files of a folder: `<NNNN>_<name>.py`, found by their names,
// checksummed over their bytes and run as modules of their own.
#include "runner.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

namespace tsy::migrate {
namespace {

namespace fs = std::filesystem;

bool read_bytes(const std::string& path, std::string& out) noexcept {
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            return false;
        }
        out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

// hashlib.sha256(data).hexdigest()
bool sha256_hex(const std::string& data, std::string& out) noexcept {
    Ref sha256 = import_attr("hashlib", "sha256");
    Ref bytes = sha256 ? steal(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()))) : Ref();
    Ref digest = bytes ? call(sha256.get(), bytes.get()) : Ref();
    Ref hex = digest ? call_method(digest.get(), intern("hexdigest")) : Ref();
    return hex && text_of(hex.get(), out);
}

// "0002_add_age.py" -> version "0002", name "add_age"; false for any other name.
bool split_file_name(const std::string& file_name, std::string& version, std::string& name) {
    constexpr std::string_view suffix = ".py";
    if (file_name.size() < 4 + 1 + 1 + suffix.size()) return false;
    if (file_name.compare(file_name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    for (int i = 0; i < 4; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(file_name[i]))) return false;
    }
    if (file_name[4] != '_') return false;
    std::string rest = file_name.substr(5, file_name.size() - 5 - suffix.size());
    if (!is_safe_name(rest)) return false;
    version = file_name.substr(0, 4);
    name = std::move(rest);
    return true;
}

bool collect(const std::string& directory, std::vector<MigrationFile>& out) {
    std::error_code error;
    if (!fs::is_directory(fs::path(directory), error)) return true;  // no folder yet: no migration
    for (const auto& entry : fs::directory_iterator(fs::path(directory))) {
        MigrationFile file;
        if (!entry.is_regular_file() || !split_file_name(entry.path().filename().string(), file.version, file.name)) {
            continue;
        }
        file.path = entry.path().string();
        std::string bytes;
        if (!read_bytes(file.path, bytes) || !sha256_hex(bytes, file.checksum)) return false;
        out.push_back(std::move(file));
    }
    std::sort(out.begin(), out.end(), [](const MigrationFile& a, const MigrationFile& b) {
        return a.version < b.version || (a.version == b.version && a.name < b.name);
    });
    for (std::size_t i = 1; i < out.size(); ++i) {
        if (out[i].version == out[i - 1].version) {
            return fail_with_cause("two migrations of version " + out[i].version + " in " + directory + ": " +
                                   out[i - 1].stem() + ", " + out[i].stem());
        }
    }
    return true;
}

}  // namespace

bool is_safe_name(std::string_view name) noexcept {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

bool list_migration_files(const std::string& directory, std::vector<MigrationFile>& out) noexcept {
    try {
        out.clear();
        return collect(directory, out);
    } catch (const fs::filesystem_error& e) {
        PyErr_Format(PyExc_OSError, "%s", e.what());
        return false;
    } catch (...) {
        translate_exception();
        return false;
    }
}

Ref load_migration(const MigrationFile& file) noexcept {
    std::string source;
    if (!read_bytes(file.path, source)) return {};
    // Compiled and run here rather than imported: an import would record the
    // module in sys.modules and write a bytecode cache into the folder.
    Ref code = steal(Py_CompileString(source.c_str(), file.path.c_str(), Py_file_input));
    if (!code) return {};
    std::string module_name = "tessary_migration_" + file.stem();
    Ref module = steal(PyModule_New(module_name.c_str()));
    if (!module) return {};
    PyObject* globals = PyModule_GetDict(module.get());
    Ref path = steal(PyUnicode_FromStringAndSize(file.path.data(), static_cast<Py_ssize_t>(file.path.size())));
    if (!path || PyDict_SetItemString(globals, "__file__", path.get()) < 0 ||
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) < 0) {
        return {};
    }
    Ref ran = steal(PyEval_EvalCode(code.get(), globals, globals));
    if (!ran) return {};
    return module;
}

bool write_text_file(const std::string& directory, const std::string& file_name, const std::string& text,
                     std::string& path) noexcept {
    try {
        std::error_code error;
        fs::create_directories(fs::path(directory), error);
        if (error) {
            PyErr_Format(PyExc_OSError, "cannot create %s: %s", directory.c_str(), error.message().c_str());
            return false;
        }
        path = (fs::path(directory) / file_name).string();
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        out.close();
        if (!out) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            return false;
        }
        return true;
    } catch (...) {
        translate_exception();
        return false;
    }
}

}  // namespace tsy::migrate
