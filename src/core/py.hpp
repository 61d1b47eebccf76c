// Small helpers over the interpreter's C API that every module uses.
// Failures become nb::python_error so the Python exception reaches the caller.
#pragma once

#include "core/capi.hpp"

#include <nanobind/nanobind.h>

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
    return _PyType_Lookup(type, name.ptr()) == expected.ptr();
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

// A global of the module the function was defined in, read afresh at each
// use so that Python code (and tests) can rebind it.
inline nb::object module_global(nb::handle module_dict, nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(module_dict.ptr(), name.ptr());
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(v);
}

// A built-in (print, open) as the running code sees it.
inline nb::object builtin(nb::handle name) {
    PyObject *v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name.ptr());
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.ptr());
        throw nb::python_error();
    }
    return nb::borrow(v);
}

// The file at `path`, open for reading UTF-8 text with its line endings
// exactly as stored (no newline translation): what codecs.open gave, without
// that deprecated call.
inline nb::object open_utf8_text(nb::handle path) {
    static PyObject *open_name = PyUnicode_InternFromString("open");
    return builtin(nb::handle(open_name))(path, "r", nb::arg("encoding") = "utf8",
                                          nb::arg("newline") = "");
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

    void set(Py_ssize_t i, nb::object value) { tuple_init_item(tuple_, i, value.release().ptr()); }
    void set(Py_ssize_t i, nb::handle value) { tuple_init_item(tuple_, i, nb::borrow(value).release().ptr()); }
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
