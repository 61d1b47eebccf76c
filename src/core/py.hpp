// Small helpers over the interpreter's C API that every module uses:
// attribute reads and calls, a module's globals, the lists that declare what
// a module binds at load (names, texts, imports, globals: each written once),
// file closing and error-preserving clean-up, tuple and list building.
// Failures become nb::python_error so the Python exception reaches the caller.
#pragma once

#include "core/capi.hpp"

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>

namespace zelmo {

namespace nb = nanobind;

// An interned attribute name, made once at module load and kept for good.
inline nb::handle intern(const char *name) {
    PyObject *s = PyUnicode_InternFromString(name);
    if (!s)
        throw nb::python_error();
    return nb::handle(s);
}

inline nb::object steal_or_throw(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

inline nb::object get_attr(nb::handle o, nb::handle name) {
    return steal_or_throw(PyObject_GetAttr(o.ptr(), name.ptr()));
}

inline void set_attr(nb::handle o, nb::handle name, nb::handle value) {
    if (PyObject_SetAttr(o.ptr(), name.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// The attribute, or a null object when it is missing; a missing attribute is
// reported without raising and catching an AttributeError.  Every other error
// propagates.
inline nb::object get_attr_optional(nb::handle o, nb::handle name) {
    PyObject *result = nullptr;
#if defined(Py_LIMITED_API)
    // The stable ABI of 3.12 has no such lookup; the running interpreter's
    // own one is used when it has one (see capi.hpp).
    if (OptionalAttrLookup lookup = optional_attr_lookup()) {
        if (lookup(o.ptr(), name.ptr(), &result) < 0)
            throw nb::python_error();
        return nb::steal(result);
    }
    result = PyObject_GetAttr(o.ptr(), name.ptr());
    if (!result) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
    }
#else
#if PY_VERSION_HEX >= 0x030D0000
    int found = PyObject_GetOptionalAttr(o.ptr(), name.ptr(), &result);
#else
    int found = _PyObject_LookupAttr(o.ptr(), name.ptr(), &result);
#endif
    if (found < 0)
        throw nb::python_error();
#endif
    return nb::steal(result);
}

// The attribute, or None when it is missing.
inline nb::object get_attr_or_none(nb::handle o, nb::handle name) {
    nb::object v = get_attr_optional(o, name);
    return v.is_valid() ? v : nb::none();
}

// obj.name(args...) through the interpreter's method-call protocol, so an
// overridden or monkeypatched method is honoured.
template <typename... Args>
inline nb::object call_method(nb::handle obj, nb::handle name, Args... args) {
    PyObject *argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    constexpr size_t n = 1 + sizeof...(Args);
    return steal_or_throw(PyObject_VectorcallMethod(
        name.ptr(), argv, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

template <typename... Args>
inline nb::object call(nb::handle callable, Args... args) {
    PyObject *argv[] = {nullptr, nb::handle(args).ptr()...};
    constexpr size_t n = sizeof...(Args);
    return steal_or_throw(PyObject_Vectorcall(callable.ptr(), argv + 1,
                                              n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

// Whether the instance's own __dict__ holds `name` (shadowing the class's).
inline bool instance_dict_has(nb::handle obj, nb::handle name) {
#ifdef Py_LIMITED_API
    PyObject *dict = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!dict)
        throw nb::python_error();
    int found = PyDict_Contains(dict, name.ptr());
    Py_DECREF(dict);
#else
    PyObject **dict = _PyObject_GetDictPtr(obj.ptr());
    if (!dict || !*dict)
        return false;
    int found = PyDict_Contains(*dict, name.ptr());
#endif
    if (found < 0)
        throw nb::python_error();
    return found != 0;
}

// The slot of `key` in a table of 2**bits slots: the top bits of its
// Fibonacci hash, which spreads keys that differ in their low bits only.
constexpr std::size_t hashed_slot(std::uint64_t key, int bits) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

#ifndef Py_LIMITED_API
// The interpreter's version tag of `type`, or 0 when it has no valid one.
// A type's tag changes whenever the type or one of its bases changes, and
// tags are never reused, so an answer about a type's attributes holds while
// its tag does.  (3.9 to 3.11 mark a valid tag with a flag; from 3.12 an
// invalidated tag is 0, and 3.13 no longer sets the flag.)
inline unsigned int type_version(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// class_attribute_is's recent positive answers, with the type's tag then.
struct ClassAttributeAnswer {
    PyTypeObject *type = nullptr;
    PyObject *name = nullptr, *expected = nullptr;
    unsigned int version = 0;
};
inline constexpr int kClassAttributeAnswerBits = 5;
inline ClassAttributeAnswer class_attribute_answers[1 << kClassAttributeAnswerBits];
#endif

// Whether the class attribute `name` of `type` is `expected` itself.
inline bool class_attribute_is(PyTypeObject *type, nb::handle name, nb::handle expected) {
#ifdef Py_LIMITED_API
    PyObject *v = PyObject_GetAttr(reinterpret_cast<PyObject *>(type), name.ptr());
    if (!v) {
        PyErr_Clear();
        return false;
    }
    Py_DECREF(v); // still held by the class
    return v == expected.ptr();
#else
    const auto key = (reinterpret_cast<std::uintptr_t>(type) ^ reinterpret_cast<std::uintptr_t>(name.ptr())) >> 4;
    ClassAttributeAnswer &answer = class_attribute_answers[hashed_slot(key, kClassAttributeAnswerBits)];
    const unsigned int version = type_version(type);
    if (version != 0 && answer.version == version && answer.type == type &&
        answer.name == name.ptr() && answer.expected == expected.ptr())
        return true;
    if (_PyType_Lookup(type, name.ptr()) != expected.ptr())
        return false;
    // Read after the look-up, which gives the type a tag if it had none.
    if (const unsigned int tag = type_version(type))
        answer = {type, name.ptr(), expected.ptr(), tag};
    return true;
#endif
}

// obj.<name> when it is something other than the class's own native method
// `native`, that is, when a subclass or an instance attribute replaced it; a
// null object when the native method may be run directly.  The common case
// makes no bound method.
inline nb::object replaced_method(nb::handle obj, nb::handle name, nb::handle native) {
    if (class_attribute_is(Py_TYPE(obj.ptr()), name, native) && !instance_dict_has(obj, name))
        return nb::object();
    return get_attr(obj, name);
}

inline bool truthy(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

inline nb::object str_of(nb::handle o) { return steal_or_throw(PyObject_Str(o.ptr())); }

// format(value, ""), what "{}".format(value) inserts.
inline nb::object format_of(nb::handle o) {
    static PyObject *empty = PyUnicode_InternFromString("");
    return steal_or_throw(PyObject_Format(o.ptr(), empty));
}

// dict[name], or NameError as the interpreter words it for an unbound name.
inline nb::object lookup_or_name_error(PyObject *dict, nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(dict, name.ptr());
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(v);
}

// A built-in (print, open) as the running code sees it.
inline nb::object builtin(nb::handle name) { return lookup_or_name_error(PyEval_GetBuiltins(), name); }

// `module.attribute`, or the module itself for an empty attribute (the
// import lists below).
inline nb::object import_value(const char *module, const char *attribute) {
    nb::object m = nb::module_::import_(module);
    return *attribute ? nb::object(m.attr(attribute)) : m;
}

// A global of a native module, read afresh at each use so that Python code
// (and tests) can rebind it.
class ModuleGlobal {
public:
    // Interns `name` and binds it in `module` to `value` (left unbound when
    // `value` is null, for the module's init to set).
    void bind(nb::handle module, const char *name, nb::handle value = nb::handle()) {
        dict_ = PyModule_GetDict(module.ptr());
        name_ = intern(name);
        if (value.is_valid())
            set(value);
    }
    nb::object operator()() const { return lookup_or_name_error(dict_, name_); }
    void set(nb::handle value) const {
        if (PyDict_SetItem(dict_, name_.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    }

private:
    PyObject *dict_ = nullptr; // borrowed: a module's namespace lives as long as the process
    nb::handle name_;
};

// --- what a module binds at load, each name written once ---------------------
//
// A module lists its names in X-macro lists and one macro turns each list
// into a struct with one field per entry, plus the function that fills it in
// the module's init:
//
//   #define NAMES(X) X(url) X(cnt)                 // interned attribute names
//   ZELMO_NAMES(NAMES) n;                          // nb::handle n.url, n.cnt
//   n.intern_all();
//
//   #define TEXTS(X) X(blank, " ")                 // interned texts
//   ZELMO_TEXTS(TEXTS) t;  t.intern_all();         // nb::handle t.blank
//
// Imported objects are listed the way Python imports them:
//   IMPORT(os)                              import os
//   IMPORT_AS("tessar_mod_zelmo.conf", conf)   import tessar_mod_zelmo.conf as conf
//   FROM("io", BytesIO)                     from io import BytesIO
//   FROM_AS("socket", "timeout", socket_timeout)   from socket import timeout as ...
// either kept by the module for its own use,
//   #define IMPORTS(IMPORT, IMPORT_AS, FROM, FROM_AS) FROM("io", BytesIO)
//   ZELMO_IMPORTS(IMPORTS) i;  i.import_all();     // nb::handle i.BytesIO
// or bound as the module's globals, beside the ones its init sets (OWN):
//   #define GLOBALS(IMPORT, IMPORT_AS, FROM, FROM_AS, OWN) IMPORT(yaml) OWN(conf)
//   ZELMO_GLOBALS(GLOBALS) g;  g.bind_all(m);      // ModuleGlobal g.yaml, g.conf
//
// Every handle is kept for the life of the process.
#define ZELMO_HANDLE_FIELD(field, ...) ::nanobind::handle field;
#define ZELMO_INTERN_NAME(field) field = ::zelmo::intern(#field);
#define ZELMO_INTERN_TEXT(field, text) field = ::zelmo::intern(text);

#define ZELMO_NAMES(LIST) \
    struct { LIST(ZELMO_HANDLE_FIELD) void intern_all() { LIST(ZELMO_INTERN_NAME) } }
#define ZELMO_TEXTS(LIST) \
    struct { LIST(ZELMO_HANDLE_FIELD) void intern_all() { LIST(ZELMO_INTERN_TEXT) } }

// The field each import form declares: its last argument.
#define ZELMO_HANDLE_1(name) ::nanobind::handle name;
#define ZELMO_HANDLE_2(a, name) ::nanobind::handle name;
#define ZELMO_HANDLE_3(a, b, name) ::nanobind::handle name;
#define ZELMO_GLOBAL_1(name) ::zelmo::ModuleGlobal name;
#define ZELMO_GLOBAL_2(a, name) ::zelmo::ModuleGlobal name;
#define ZELMO_GLOBAL_3(a, b, name) ::zelmo::ModuleGlobal name;

// What each import form imports.
#define ZELMO_IMPORTED(name) ::zelmo::import_value(#name, "")
#define ZELMO_IMPORTED_AS(module, name) ::zelmo::import_value(module, "")
#define ZELMO_FROM(module, name) ::zelmo::import_value(module, #name)
#define ZELMO_FROM_AS(module, attribute, name) ::zelmo::import_value(module, attribute)

#define ZELMO_KEEP_IMPORT(name) name = ZELMO_IMPORTED(name).release();
#define ZELMO_KEEP_IMPORT_AS(module, name) name = ZELMO_IMPORTED_AS(module, name).release();
#define ZELMO_KEEP_FROM(module, name) name = ZELMO_FROM(module, name).release();
#define ZELMO_KEEP_FROM_AS(module, attribute, name) \
    name = ZELMO_FROM_AS(module, attribute, name).release();
#define ZELMO_IMPORTS(LIST)                                                                \
    struct {                                                                               \
        LIST(ZELMO_HANDLE_1, ZELMO_HANDLE_2, ZELMO_HANDLE_2, ZELMO_HANDLE_3)              \
        void import_all() {                                                                \
            LIST(ZELMO_KEEP_IMPORT, ZELMO_KEEP_IMPORT_AS, ZELMO_KEEP_FROM, ZELMO_KEEP_FROM_AS) \
        }                                                                                  \
    }

#define ZELMO_BIND_IMPORT(name) name.bind(m, #name, ZELMO_IMPORTED(name));
#define ZELMO_BIND_IMPORT_AS(module, name) name.bind(m, #name, ZELMO_IMPORTED_AS(module, name));
#define ZELMO_BIND_FROM(module, name) name.bind(m, #name, ZELMO_FROM(module, name));
#define ZELMO_BIND_FROM_AS(module, attribute, name) \
    name.bind(m, #name, ZELMO_FROM_AS(module, attribute, name));
#define ZELMO_BIND_OWN(name) name.bind(m, #name);
#define ZELMO_GLOBALS(LIST)                                                                \
    struct {                                                                               \
        LIST(ZELMO_GLOBAL_1, ZELMO_GLOBAL_2, ZELMO_GLOBAL_2, ZELMO_GLOBAL_3, ZELMO_GLOBAL_1) \
        void bind_all(::nanobind::handle m) {                                              \
            LIST(ZELMO_BIND_IMPORT, ZELMO_BIND_IMPORT_AS, ZELMO_BIND_FROM, ZELMO_BIND_FROM_AS, \
                 ZELMO_BIND_OWN)                                                           \
        }                                                                                  \
    }

// Interned names for a fixed table, in the table's order: a list of texts,
// or of entries whose `name` is the text (with more about each entry).
// size() is the table's length.
template <typename Entry, size_t N> class NameList {
public:
    explicit constexpr NameList(const Entry (&entries)[N]) : entries_(entries) {}
    void intern_all() {
        for (size_t i = 0; i < N; ++i)
            names_[i] = intern(text_of(entries_[i]));
    }
    static constexpr size_t size() { return N; }
    nb::handle operator[](size_t i) const { return names_[i]; }
    const Entry &entry(size_t i) const { return entries_[i]; }
    const nb::handle *begin() const { return names_; }
    const nb::handle *end() const { return names_ + N; }

private:
    static const char *text_of(const char *text) { return text; }
    template <typename E> static const char *text_of(const E &e) { return e.name; }

    const Entry (&entries_)[N];
    nb::handle names_[N];
};

// The file at `path`, open for reading UTF-8 text with its line endings
// exactly as stored (no newline translation): what codecs.open gave, without
// that deprecated call.
inline nb::object open_utf8_text(nb::handle path) {
    static nb::handle open_name = intern("open");
    return builtin(open_name)(path, "r", nb::arg("encoding") = "utf8", nb::arg("newline") = "");
}

// body(), then file.close(), also when body fails (its error wins).
template <typename Body>
auto closing(nb::handle file, Body &&body) {
    static nb::handle close = intern("close");
    try {
        auto result = body();
        call_method(file, close);
        return result;
    } catch (...) {
        try {
            call_method(file, close);
        } catch (nb::python_error &) {
        }
        throw;
    }
}

// Runs `cleanup` (Python calls made on the way out, such as closing a
// connection) without disturbing the error being raised; an error of its own
// is dropped.
template <typename Cleanup>
void preserving_error(Cleanup &&cleanup) noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    try {
        cleanup();
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
}

// A tuple built from already-owned references, without refcount churn.
class TupleBuilder {
public:
    explicit TupleBuilder(Py_ssize_t n) : tuple_(PyTuple_New(n)) {
        if (!tuple_)
            throw nb::python_error();
    }
    ~TupleBuilder() { Py_XDECREF(tuple_); }
    TupleBuilder(const TupleBuilder &) = delete;
    TupleBuilder &operator=(const TupleBuilder &) = delete;

    // Takes over `value`'s reference.
    ZELMO_ALWAYS_INLINE void set(Py_ssize_t i, nb::object &&value) {
        tuple_init_item(tuple_, i, value.release().ptr());
    }
    ZELMO_ALWAYS_INLINE void set(Py_ssize_t i, nb::handle value) {
        Py_INCREF(value.ptr());
        tuple_init_item(tuple_, i, value.ptr());
    }
    nb::object release() {
        PyObject *t = tuple_;
        tuple_ = nullptr;
        return nb::steal(t);
    }

private:
    PyObject *tuple_;
};

// [item]: a new list holding one item.
inline nb::object list_of(nb::handle item) {
    PyObject *l = PyList_New(1);
    if (!l)
        throw nb::python_error();
    Py_INCREF(item.ptr());
    list_init_item(l, 0, item.ptr());
    return nb::steal(l);
}

} // namespace zelmo
