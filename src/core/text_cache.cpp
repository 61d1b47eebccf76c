// The remembered texts: the last date-time's str() and strftime(), and each
// enumeration member's str() (contract in text_cache.hpp).
#include "core/text_cache.hpp"
#include "core/numeric_strftime.hpp"
#include "core/py.hpp"

#ifndef Py_LIMITED_API
#include <datetime.h>
#endif

#include <cstring>
#include <unordered_map>

namespace zelmo {
namespace {

#ifdef Py_LIMITED_API
// The stable ABI shows no datetime fields: the very same object is the one
// value known to have the same text (the host keeps one per bar).
bool is_exact_datetime(PyObject *v) {
    static PyObject *type = nb::object(nb::module_::import_("datetime").attr("datetime")).release().ptr();
    return Py_TYPE(v) == reinterpret_cast<PyTypeObject *>(type);
}

bool same_datetime(PyObject *a, PyObject *b) { return a == b; }
#else
bool is_exact_datetime(PyObject *v) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw nb::python_error();
    }
    return PyDateTime_CheckExact(v);
}

bool same_datetime(PyObject *a, PyObject *b) {
    if (a == b)
        return true;
    auto *x = reinterpret_cast<PyDateTime_DateTime *>(a);
    auto *y = reinterpret_cast<PyDateTime_DateTime *>(b);
    if (std::memcmp(x->data, y->data, _PyDateTime_DATETIME_DATASIZE) != 0 ||
        x->fold != y->fold || x->hastzinfo != y->hastzinfo)
        return false;
    return !x->hastzinfo || x->tzinfo == y->tzinfo;
}
#endif

void replace_ref(PyObject *&slot, PyObject *value) {
    PyObject *old = slot;
    slot = value;
    Py_XDECREF(old);
}

// One remembered conversion: the last key and its text.  Plain pointers
// holding strong references, deliberately never released: a static
// nb::object would be destroyed after the interpreter has gone.
struct LastText {
    PyObject *key = nullptr, *extra = nullptr, *text = nullptr;

    bool hit(PyObject *value, PyObject *extra_key) const {
        return key && same_datetime(key, value) &&
               (extra_key == nullptr || extra == extra_key ||
                PyUnicode_Compare(extra, extra_key) == 0);
    }

    void store(nb::handle new_key, nb::handle new_extra, nb::handle new_text) {
        replace_ref(key, nb::borrow(new_key).release().ptr());
        replace_ref(extra, new_extra.is_valid() ? nb::borrow(new_extra).release().ptr() : nullptr);
        replace_ref(text, nb::borrow(new_text).release().ptr());
    }
};

LastText last_str, last_strftime;

PyTypeObject *enum_meta() {
    static PyTypeObject *meta = [] {
        nb::object m = nb::module_::import_("enum").attr("EnumMeta");
        return reinterpret_cast<PyTypeObject *>(m.release().ptr());
    }();
    return meta;
}

// A bound on the members remembered, so that a host minting enumeration
// members without end cannot grow the cache without end; the host's own
// enumerations have a few dozen.
constexpr size_t kEnumCacheLimit = 4096;
std::unordered_map<PyObject *, PyObject *> enum_texts; // strong refs on both

} // namespace

nb::object cached_str(nb::handle value) {
    PyObject *v = value.ptr();
    if (is_exact_datetime(v)) {
        if (!last_str.hit(v, nullptr)) {
            nb::object text = naive_datetime_str(v);
            last_str.store(value, nb::handle(), text.is_valid() ? text : str_of(value));
        }
        return nb::borrow(last_str.text);
    }
    if (PyUnicode_CheckExact(v))
        return nb::borrow(value);
    if (PyType_IsSubtype(Py_TYPE(reinterpret_cast<PyObject *>(Py_TYPE(v))), enum_meta())) {
        auto it = enum_texts.find(v);
        if (it != enum_texts.end())
            return nb::borrow(it->second);
        nb::object text = str_of(value);
        if (enum_texts.size() < kEnumCacheLimit) {
            Py_INCREF(v);
            enum_texts.emplace(v, nb::object(text).release().ptr());
        }
        return text;
    }
    return str_of(value);
}

nb::object cached_strftime(nb::handle value, nb::handle fmt) {
    static nb::handle strftime_name = intern("strftime");
    PyObject *v = value.ptr();
    bool cacheable = is_exact_datetime(v) &&
                     PyUnicode_CheckExact(fmt.ptr());
    if (cacheable && last_strftime.hit(v, fmt.ptr()))
        return nb::borrow(last_strftime.text);
    nb::object text;
    if (cacheable)
        text = numeric_strftime(v, fmt.ptr());
    if (!text.is_valid())
        text = call_method(value, strftime_name, fmt);
    if (cacheable)
        last_strftime.store(value, fmt, text);
    return text;
}

} // namespace zelmo
