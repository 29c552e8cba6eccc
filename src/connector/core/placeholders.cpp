// Statement text in the driver's placeholder style. Statements carry "%s" for
// every value; quoted literals and identifiers ('...', "...", `...`) are
// copied untouched, so a "%s" inside them stays text.
#include "core/connector.hpp"

#include <string>
#include <string_view>

namespace tsy::db {
namespace {

// A cache entry per distinct text; texts are few (one per statement shape),
// the bound only protects against callers that build values into the text.
constexpr Py_ssize_t kCacheLimit = 1024;

bool is_quote(char c) noexcept { return c == '\'' || c == '"' || c == '`'; }

// Format style (pymysql, which applies Python's % operator to the whole text
// when arguments are given): every '%' that is not a placeholder is doubled,
// inside literals too; MySQL's backslash escapes are honoured inside '...' and "...".
// Qmark style (sqlite3): placeholders become '?', nothing else changes.
std::string translate(std::string_view in, int style, bool with_args) {
    const bool format = style == STYLE_FORMAT;
    const char* lone_percent = format && with_args ? "%%" : "%";
    std::string out;
    out.reserve(in.size() + 8);
    char quote = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            bool placeholder = !quote && i + 1 < in.size() && in[i + 1] == 's';
            if (placeholder) {
                out += format ? "%s" : "?";
                ++i;
            } else {
                out += lone_percent;
            }
            continue;
        }
        out += c;
        if (!quote) {
            if (is_quote(c)) quote = c;
        } else if (format && c == '\\' && quote != '`' && i + 1 < in.size()) {
            char escaped = in[++i];
            if (escaped == '%') out += lone_percent;
            else out += escaped;
        } else if (c == quote) {
            quote = 0;  // a doubled quote closes and reopens: same result
        }
    }
    return out;
}

// True when the translation cannot change the text.
bool unchanged(std::string_view in, int style, bool with_args) noexcept {
    if (in.find('%') == std::string_view::npos) return true;
    return style == STYLE_FORMAT && !with_args;
}

}  // namespace

PyObject* driver_text(ConnectorObject* self, PyObject* sql, bool with_args) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(sql, &size);
    if (!utf8) return nullptr;
    std::string_view in(utf8, static_cast<std::size_t>(size));
    if (unchanged(in, self->style, with_args)) return Py_NewRef(sql);
    // Format-style text without arguments was answered above, so one cache
    // serves both calls of a connector.
    PyObject* cached = nullptr;
    if (PyDict_GetItemRef(self->cache, sql, &cached) != 0) return cached;  // hit, or error
    std::string out;
    try {
        out = translate(in, self->style, with_args);
    } catch (...) {
        translate_exception();
        return nullptr;
    }
    Ref text = steal(PyUnicode_DecodeUTF8(out.data(), static_cast<Py_ssize_t>(out.size()), "strict"));
    if (!text) return nullptr;
    if (PyDict_GET_SIZE(self->cache) >= kCacheLimit) PyDict_Clear(self->cache);
    if (PyDict_SetItem(self->cache, sql, text.get()) < 0) return nullptr;
    return text.release();
}

}  // namespace tsy::db
