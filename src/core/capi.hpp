// The interpreter's C API where the stable ABI and the full API differ.
//
// The wheel for CPython 3.12 and later is built against the stable ABI
// (Py_LIMITED_API), which hides object layouts: no unchecked item access, no
// direct view of a text's characters, no static type objects.  These
// wrappers take the fast, layout-reading path in the per-version builds and
// the checked function in the stable-ABI build.
#pragma once

#include <nanobind/nanobind.h>

// For the few small functions on a hot path that the compiler's inlining
// limits would otherwise leave as calls (measured, not guessed).
#if defined(_MSC_VER)
#define ZELMO_ALWAYS_INLINE __forceinline
#else
#define ZELMO_ALWAYS_INLINE inline __attribute__((always_inline))
#endif

namespace zelmo {

#ifdef Py_LIMITED_API
inline constexpr bool kStableAbi = true;
// Borrowed references, as the macros give.
inline Py_ssize_t list_size(PyObject *l) { return PyList_Size(l); }
inline PyObject *list_item(PyObject *l, Py_ssize_t i) { return PyList_GetItem(l, i); }
inline Py_ssize_t tuple_size(PyObject *t) { return PyTuple_Size(t); }
inline PyObject *tuple_item(PyObject *t, Py_ssize_t i) { return PyTuple_GetItem(t, i); }
// Steal `v`, into a new list or tuple.
inline void list_init_item(PyObject *l, Py_ssize_t i, PyObject *v) { PyList_SetItem(l, i, v); }
inline void tuple_init_item(PyObject *t, Py_ssize_t i, PyObject *v) { PyTuple_SetItem(t, i, v); }
inline double float_value(PyObject *f) { return PyFloat_AsDouble(f); }
inline Py_ssize_t text_length(PyObject *s) { return PyUnicode_GetLength(s); }
#else
inline constexpr bool kStableAbi = false;
inline Py_ssize_t list_size(PyObject *l) { return PyList_GET_SIZE(l); }
inline PyObject *list_item(PyObject *l, Py_ssize_t i) { return PyList_GET_ITEM(l, i); }
inline Py_ssize_t tuple_size(PyObject *t) { return PyTuple_GET_SIZE(t); }
inline PyObject *tuple_item(PyObject *t, Py_ssize_t i) { return PyTuple_GET_ITEM(t, i); }
inline void list_init_item(PyObject *l, Py_ssize_t i, PyObject *v) { PyList_SET_ITEM(l, i, v); }
inline void tuple_init_item(PyObject *t, Py_ssize_t i, PyObject *v) { PyTuple_SET_ITEM(t, i, v); }
inline double float_value(PyObject *f) { return PyFloat_AS_DOUBLE(f); }
inline Py_ssize_t text_length(PyObject *s) { return PyUnicode_GET_LENGTH(s); }
#endif

// The value of an exact int `o` when it fits a long long: read straight
// from the object where its layout is public (3.12 and later, ints of at
// most one digit), else converted.  False when it does not fit; never an
// error.
inline bool exact_int_value(PyObject *o, long long &v) {
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX >= 0x030C0000
    const auto *digits = reinterpret_cast<PyLongObject *>(o);
    if (PyUnstable_Long_IsCompact(digits)) {
        v = PyUnstable_Long_CompactValue(digits);
        return true;
    }
#endif
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(o, &overflow); // an exact int cannot fail
    return overflow == 0;
}

#ifdef Py_LIMITED_API
// The running interpreter's attribute lookup that reports a missing attribute
// by returning 0 instead of raising: PyObject_GetOptionalAttr (3.13 and
// later) or, on 3.12, _PyObject_LookupAttr, which has the same contract.
// Null when the interpreter exports neither.  Found once, at first use.
using OptionalAttrLookup = int (*)(PyObject *, PyObject *, PyObject **);
OptionalAttrLookup optional_attr_lookup();
#endif

// The type's __name__, as a new reference.
inline PyObject *type_name(PyObject *o) {
    return PyObject_GetAttrString(reinterpret_cast<PyObject *>(Py_TYPE(o)), "__name__");
}

} // namespace zelmo
