// The writer every generator renders into: UTF-8 in one growing buffer,
// turned into a str once at the end. Keeps a statement build down to one
// allocation for the text instead of one per concatenated piece.
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "tessary/identifiers.hpp"
#include "tessary/py.hpp"

namespace tsy::gen {

// text_cache.cpp: the str of an ASCII statement text, the same object for
// every build of the same text; and the release of those at module teardown.
Ref shared_ascii_text(std::string_view text) noexcept;
void clear_shared_texts() noexcept;

// TypeError of `"..." + obj` when obj is not a str, as the interpreter words it.
inline Failure concat_error(PyObject* obj) noexcept {
    return fail(PyExc_TypeError, "can only concatenate str (not \"%.200s\") to str", type_name(obj));
}

// A one-entry memo that lives as long as one build: the last model class and
// its table name, so that the columns of one model read `tableName` once.
struct Memo {
    Ref key;
    Ref value;
};

class Text {
public:
    Memo memo;

    Text() { buf_.reserve(192); }

    template <std::size_t N>
    void lit(const char (&s)[N]) { raw(std::string_view(s, N - 1)); }
    void raw(std::string_view s) {
        ascii_ = ascii_ && is_ascii(s);
        buf_.append(s);
    }

    // Appends a str (or str subclass); anything else fails like a str
    // concatenation would.
    bool str(PyObject* s) {
        if (!PyUnicode_Check(s)) {
            concat_error(s);
            return false;
        }
        if (PyUnicode_IS_COMPACT_ASCII(s)) {  // its characters are its UTF-8
            buf_.append(static_cast<const char*>(PyUnicode_DATA(s)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
            return true;
        }
        ascii_ = false;
        Py_ssize_t n = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(s, &n);
        if (utf8) {
            buf_.append(utf8, static_cast<std::size_t>(n));
            return true;
        }
        return lone_surrogates(s);
    }

    // Appends a table or column name as statements write it: quoted when
    // it is a reserved word or not a plain name (tessary/identifiers.hpp).
    bool ident(PyObject* name) {
        Ref text = sql::quoted_name(name);
        return text && str(text.get());
    }
    bool ident_of(PyObject* name) {
        Ref text = sql::quoted_name(name);
        return text && str_of(text.get());
    }

    // Appends str(obj).
    bool str_of(PyObject* obj) {
        if (PyUnicode_CheckExact(obj)) return str(obj);
        Ref s = steal(PyObject_Str(obj));
        return s && str(s.get());
    }

    void append(const Text& other) {
        buf_.append(other.buf_);
        surrogates_ = surrogates_ || other.surrogates_;
        ascii_ = ascii_ && other.ascii_;
    }

    std::size_t size() const noexcept { return buf_.size(); }
    std::string& buffer() noexcept { return buf_; }
    bool ends_with(std::string_view tail) const noexcept { return buf_.ends_with(tail); }
    void drop_last(std::size_t n) noexcept { buf_.resize(n > buf_.size() ? 0 : buf_.size() - n); }

    // Removes every occurrence of `what` from the text written since `from`.
    void erase_all(std::size_t from, std::string_view what) {
        std::size_t out = from;
        std::size_t in = from;
        while (in < buf_.size()) {
            if (buf_.compare(in, what.size(), what) == 0) {
                in += what.size();
            } else {
                buf_[out++] = buf_[in++];
            }
        }
        buf_.resize(out);
    }

    Ref finish() const noexcept {
        auto size = static_cast<Py_ssize_t>(buf_.size());
        if (ascii_) {  // nothing to decode: the text is copied into an ASCII str
            Ref s = steal(PyUnicode_New(size, 127));
            if (s) std::memcpy(PyUnicode_DATA(s.get()), buf_.data(), buf_.size());
            return s;
        }
        return steal(PyUnicode_DecodeUTF8(buf_.data(), size, surrogates_ ? "surrogatepass" : nullptr));
    }

    // finish() for a whole statement, whose text repeats from call to call.
    Ref finish_statement() const noexcept { return ascii_ ? shared_ascii_text(buf_) : finish(); }

private:
    static bool is_ascii(std::string_view s) noexcept {
        for (char c : s) {
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        }
        return true;
    }

    // Strings holding lone surrogates have no UTF-8 form; they are carried
    // through with "surrogatepass" so the text comes back unchanged.
    bool lone_surrogates(PyObject* s) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
        PyErr_Clear();
        Ref bytes = steal(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
        if (!bytes) return false;
        buf_.append(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
        surrogates_ = true;
        return true;
    }

    std::string buf_;
    bool surrogates_ = false;
    bool ascii_ = true;  // every byte written so far is below 0x80
};

}  // namespace tsy::gen
