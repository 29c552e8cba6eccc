// Header-only core shared by every extension module of the package:
// owned references, the one C++/interpreter boundary, argument parsing that
// reproduces the interpreter's standard error texts, and capsule binding.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tsy {

// ---------------------------------------------------------------------------
// Owned references
// ---------------------------------------------------------------------------

// Move-only owner of one strong reference. `release()` is used only where
// ownership leaves the function (returned to the interpreter, stored in a
// tuple slot or a struct field).
class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (may be NULL: then the error indicator is set).
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    // Adds a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    // A new strong reference to the same object, the owner keeps its own.
    PyObject* newref() const noexcept { Py_XINCREF(p_); return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(PyObject* p = nullptr) noexcept { PyObject* old = p_; p_ = p; Py_XDECREF(old); }

private:
    PyObject* p_ = nullptr;
};

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(PyObject* p) noexcept { return Ref::borrow(p); }

// Replaces an owned struct field with a new strong reference to `value`.
inline void set_field(PyObject*& field, PyObject* value) noexcept {
    PyObject* old = field;
    Py_XINCREF(value);
    field = value;
    Py_XDECREF(old);
}

// ---------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------

// Error helpers return the error value of their caller's convention so that
// `return fail(...)` reads naturally in both PyObject* and int functions.
struct Failure {
    operator PyObject*() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
    operator Py_ssize_t() const noexcept { return -1; }
    operator Ref() const noexcept { return Ref(); }
};

template <typename... A>
inline Failure fail(PyObject* type, const char* fmt, A... args) noexcept {
    if constexpr (sizeof...(A) == 0) {
        PyErr_SetString(type, fmt);
    } else {
        PyErr_Format(type, fmt, args...);
    }
    return {};
}

inline const char* type_name(PyObject* obj) noexcept { return Py_TYPE(obj)->tp_name; }

// "Argument 'x' has incorrect type (expected T, got U)"
inline Failure wrong_arg_type(const char* arg, PyTypeObject* expected, PyObject* got) noexcept {
    return fail(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                arg, expected->tp_name, type_name(got));
}

// Checks an argument declared with a class: that class, a subclass, or None.
inline bool check_arg(PyObject* obj, PyTypeObject* expected, const char* arg, bool none_ok = true) noexcept {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, expected)) return true;
    wrong_arg_type(arg, expected, obj);
    return false;
}

// "Cannot convert T to U": a value (usually a result) of the wrong class.
inline bool check_convert(PyObject* obj, PyTypeObject* expected, bool none_ok = true) noexcept {
    if ((none_ok && obj == Py_None) || PyObject_TypeCheck(obj, expected)) return true;
    fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(obj), expected->tp_name);
    return false;
}

// "Expected tuple, got U": a result that must be exactly of a builtin kind.
inline Failure expected_kind(const char* kind, PyObject* got) noexcept {
    return fail(PyExc_TypeError, "Expected %s, got %.200s", kind, type_name(got));
}

// Converts to a C int through the object's integer conversion.
inline bool to_int(PyObject* obj, int* out) noexcept {
    if (!PyLong_Check(obj) && !(Py_TYPE(obj)->tp_as_number && Py_TYPE(obj)->tp_as_number->nb_index)) {
        fail(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref as_long = steal(PyNumber_Index(obj));
    if (!as_long) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(as_long.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow || v > INT32_MAX || v < INT32_MIN) {
        fail(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

// Truth value, -1 on error.
inline int truth(PyObject* obj) noexcept { return PyObject_IsTrue(obj); }

// ---------------------------------------------------------------------------
// The boundary: no C++ exception ever reaches the interpreter.
// ---------------------------------------------------------------------------

template <typename R> inline R error_value() noexcept {
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return static_cast<R>(-1);
}

inline void translate_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error in a Tessary extension module");
    }
}

template <auto F> struct Entry;
template <typename R, typename... A, bool NoExcept, R (*F)(A...) noexcept(NoExcept)> struct Entry<F> {
    static R call(A... args) noexcept {
        if constexpr (NoExcept) {
            return F(args...);
        } else {
            try {
                return F(args...);
            } catch (...) {
                translate_exception();
                return error_value<R>();
            }
        }
    }
};

// `entry<f>` is `f` wrapped for the interpreter: usable in any slot.
template <auto F> constexpr auto entry = &Entry<F>::call;

// Method-table entries for the common calling conventions.
using FastKw = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
template <auto F> inline PyCFunction fastkw() noexcept { return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<F>)); }

// ---------------------------------------------------------------------------
// Objects made by __new__ whose __init__ never ran (or did not complete)
// ---------------------------------------------------------------------------

// The one text of the package for them: "<Type> object is not initialised:
// call __init__ first".
inline Failure not_initialised(PyObject* self) noexcept {
    return fail(PyExc_RuntimeError, "%.200s object is not initialised: call __init__ first",
                _PyType_Name(Py_TYPE(self)));
}

// `guarded<ready, f>` is `f` (any slot or method taking the object first)
// refusing an object that `ready` rejects, before `f` reads its fields.
template <bool (*Ready)(PyObject*) noexcept, auto F> struct Guarded;
template <bool (*Ready)(PyObject*) noexcept, typename R, typename... A, bool NoExcept,
          R (*F)(PyObject*, A...) noexcept(NoExcept)>
struct Guarded<Ready, F> {
    static R call(PyObject* self, A... args) noexcept(NoExcept) {
        if (!Ready(self)) {
            not_initialised(self);
            return error_value<R>();
        }
        return F(self, args...);
    }
};
template <bool (*Ready)(PyObject*) noexcept, auto F> constexpr auto guarded = &Guarded<Ready, F>::call;

// A METH_FASTCALL | METH_KEYWORDS entry whose object must be ready first.
template <bool (*Ready)(PyObject*) noexcept, auto F> inline PyCFunction fastkw_ready() noexcept {
    return fastkw<guarded<Ready, F>>();
}

// ---------------------------------------------------------------------------
// Argument parsing (METH_FASTCALL | METH_KEYWORDS)
// ---------------------------------------------------------------------------

// Describes one callable's parameters: names in order, how many are required,
// whether extra positional arguments are collected (*args) and whether
// keyword arguments are accepted at all.
struct Params {
    const char* func;              // name used in messages ("__init__", "findAllBy")
    const char* const* names;      // parameter names, `count` of them
    Py_ssize_t count;
    Py_ssize_t required;
    bool keywords = true;
};

inline Failure arg_count_error(const char* func, Py_ssize_t min, Py_ssize_t max, Py_ssize_t given) noexcept {
    const char* more_or_less;
    Py_ssize_t expected;
    if (min == max) { more_or_less = "exactly"; expected = min; }
    else if (given < min) { more_or_less = "at least"; expected = min; }
    else { more_or_less = "at most"; expected = max; }
    return fail(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                func, more_or_less, expected, expected == 1 ? "" : "s", given);
}

inline Failure unexpected_keyword(const char* func, PyObject* name) noexcept {
    return fail(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, name);
}

// Rejects any keyword argument (for *args-only or no-argument methods).
inline bool no_keywords(const char* func, PyObject* kwnames) noexcept {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        unexpected_keyword(func, PyTuple_GET_ITEM(kwnames, 0));
        return false;
    }
    return true;
}

// Checks a method taking no argument at all.
inline bool no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    if (nargs != 0) { arg_count_error(func, 0, 0, nargs); return false; }
    return no_keywords(func, kwnames);
}

// Fills `out[0..count)` with borrowed references (NULL for parameters not
// given). Names are compared by identity first (interned strings), then by
// value.
inline bool parse(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  PyObject** out) noexcept {
    if (nargs > p.count) { arg_count_error(p.func, p.required, p.count, nargs); return false; }
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw && !p.keywords) return no_keywords(p.func, kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t slot = -1;
        for (Py_ssize_t i = 0; i < p.count && slot < 0; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, p.names[i]) == 0) slot = i;
        }
        if (slot < 0) { unexpected_keyword(p.func, key); return false; }
        if (out[slot]) {
            fail(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.func, key);
            return false;
        }
        out[slot] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < p.required; ++i) {
        if (!out[i]) { arg_count_error(p.func, p.required, p.count, nargs); return false; }
    }
    return true;
}

// Converts a tp_init (args tuple, kwargs dict) call to the fastcall form and
// parses it.
inline bool parse_tuple(const Params& p, PyObject* args, PyObject* kwargs, PyObject** out,
                        Ref& kwnames_holder, Ref& values_holder) noexcept {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwargs ? PyDict_GET_SIZE(kwargs) : 0;
    if (nkw == 0) return parse(p, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    values_holder = steal(PyTuple_New(nargs + nkw));
    kwnames_holder = steal(PyTuple_New(nkw));
    if (!values_holder || !kwnames_holder) return false;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(values_holder.get(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    }
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames_holder.get(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(values_holder.get(), nargs + k, Py_NewRef(value));
        ++k;
    }
    return parse(p, &PyTuple_GET_ITEM(values_holder.get(), 0), nargs, kwnames_holder.get(), out);
}

// ---------------------------------------------------------------------------
// Small conveniences
// ---------------------------------------------------------------------------

inline Ref attr(PyObject* obj, PyObject* name) noexcept { return steal(PyObject_GetAttr(obj, name)); }
inline Ref attr(PyObject* obj, const char* name) noexcept { return steal(PyObject_GetAttrString(obj, name)); }

inline Ref import_attr(const char* module, const char* name) noexcept {
    Ref mod = steal(PyImport_ImportModule(module));
    if (!mod) return {};
    return attr(mod.get(), name);
}

// `getattr(sys.modules[module], name)`, importing the module only when it is
// not loaded yet. For names looked up on every operation: the import
// machinery costs more than most of those operations. `module` and `name` are
// str, interned by the callers.
inline Ref module_attr(PyObject* module, PyObject* name) noexcept {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(PyImport_GetModuleDict(), module, &found) < 0) return {};
    Ref mod = steal(found);
    if (!mod || mod.get() == Py_None) {
        mod = steal(PyImport_Import(module));
        if (!mod) return {};
    }
    // A plain module answers from its dict unless its type has a member of
    // that name; everything else (a miss, module __getattr__) takes the full lookup.
    if (PyModule_CheckExact(mod.get()) && !_PyType_Lookup(Py_TYPE(mod.get()), name)) {
        PyObject* value = nullptr;
        if (PyDict_GetItemRef(PyModule_GetDict(mod.get()), name, &value) != 0) return steal(value);
    }
    return attr(mod.get(), name);
}

// 1 when `name` is a key of `obj`'s own attribute dictionary (an instance
// attribute that hides a method of its class), 0 when not or when `obj` has
// no dictionary, -1 on error. With an exact static type (immutable), a 0
// means `obj.<name>` is the type's own method.
inline int in_instance_dict(PyObject* obj, PyObject* name) noexcept {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (!slot || !*slot) return 0;
    return PyDict_Contains(*slot, name);
}

// Interned string made once per process; immortal, never released.
inline PyObject* intern(const char* text) noexcept {
    PyObject* s = PyUnicode_InternFromString(text);
    return s;
}

// One entry of a module's table of names: the text and the slot it is
// interned into at module init.
struct NameSlot {
    PyObject** slot;
    const char* text;
};

// Interns every text of `all` into its slot; -1 with the error set when one
// cannot be made, so that the module's import fails instead of leaving a NULL
// name for later calls.
template <std::size_t N>
int intern_all(const NameSlot (&all)[N]) noexcept {
    for (const NameSlot& n : all) {
        if (!(*n.slot = intern(n.text))) return -1;
    }
    return 0;
}

// Calls `callable(*args)` with vectorcall; args are borrowed.
template <typename... A>
inline Ref call(PyObject* callable, A... args) noexcept {
    PyObject* argv[sizeof...(A) + 1] = {nullptr, args...};
    return steal(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Calls method `name` of `obj` with positional args (borrowed).
template <typename... A>
inline Ref call_method(PyObject* obj, PyObject* name, A... args) noexcept {
    PyObject* argv[sizeof...(A) + 1] = {obj, args...};
    return steal(PyObject_VectorcallMethod(name, argv, (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// cls.<name>() for a class method written in C that takes no arguments
// (METH_CLASS | METH_NOARGS), found on a class whose metaclass is `type`:
// called straight through its method definition, as the bound method would
// call it, without making and freeing the bound method. Anything else (a
// method of Python code, an instance, another metaclass) goes through the
// attribute and the call.
inline Ref call_class_method(PyObject* cls, PyObject* name) noexcept {
    if (Py_IS_TYPE(cls, &PyType_Type)) {
        PyObject* descr = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), name);
        if (descr && Py_IS_TYPE(descr, &PyClassMethodDescr_Type)) {
            PyMethodDef* def = reinterpret_cast<PyMethodDescrObject*>(descr)->d_method;
            if (def->ml_flags == (METH_CLASS | METH_NOARGS)) return steal(def->ml_meth(cls, nullptr));
        }
    }
    return call_method(cls, name);
}

// ---------------------------------------------------------------------------
// Capsule binding between the package's extension modules
// ---------------------------------------------------------------------------

// Every exported API struct starts with this header; the importer checks both
// numbers so that a stale build of another module fails loudly at import.
struct ApiHeader {
    std::uint32_t version;
    std::uint32_t size;
};

// Publishes `api` (static storage) as `module._C_API` named "<module>._C_API".
template <typename Api>
inline int export_api(PyObject* module, Api* api, const char* capsule_name) noexcept {
    PyObject* capsule = PyCapsule_New(static_cast<void*>(api), capsule_name, nullptr);
    if (!capsule) return -1;
    return PyModule_Add(module, "_C_API", capsule);
}

// Imports "<module>._C_API", which imports the module itself.
template <typename Api>
inline const Api* import_api(const char* capsule_name, std::uint32_t version) noexcept {
    // PyCapsule_Import walks attributes from the top package, which finds a
    // submodule only once it has been imported: import it by name first.
    const char* dot = std::strrchr(capsule_name, '.');
    Ref module_name = steal(PyUnicode_FromStringAndSize(capsule_name, dot ? dot - capsule_name : 0));
    if (!module_name) return nullptr;
    Ref module = steal(PyImport_Import(module_name.get()));
    if (!module) return nullptr;
    auto* api = static_cast<const Api*>(PyCapsule_Import(capsule_name, 0));
    if (!api) return nullptr;
    if (api->header.version != version || api->header.size != sizeof(Api)) {
        PyErr_Format(PyExc_ImportError, "%s: binary interface mismatch (rebuild the package)", capsule_name);
        return nullptr;
    }
    return api;
}

// Adds a ready static type to a module under its short name.
inline int add_type(PyObject* module, PyTypeObject* type, const char* name) noexcept {
    if (PyType_Ready(type) < 0) return -1;
    return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace tsy

// Declares a module init function with the package's conventions.
#define TSY_EXPORT extern "C" __attribute__((visibility("default")))
