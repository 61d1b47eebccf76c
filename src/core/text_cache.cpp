#include "core/text_cache.hpp"
#include "core/py.hpp"

#ifndef Py_LIMITED_API
#include <datetime.h>
#endif

#include <cstring>
#include <string>
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

// *slot = value, releasing the old one.
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

constexpr size_t kEnumCacheLimit = 4096;
std::unordered_map<PyObject *, PyObject *> enum_texts; // strong refs on both

// The fields numeric_strftime needs of a datetime without a time zone, or
// false for one with a zone.
struct DateTimeFields {
    int year, month, day, hour, minute, second, microsecond;
};

#ifdef Py_LIMITED_API
bool naive_fields(PyObject *v, DateTimeFields &f) {
    static const char *const names[] = {"year", "month", "day", "hour",
                                        "minute", "second", "microsecond"};
    static nb::handle tzinfo = intern("tzinfo");
    nb::object zone = steal_or_throw(PyObject_GetAttr(v, tzinfo.ptr()));
    if (!zone.is_none())
        return false;
    int *out[] = {&f.year, &f.month, &f.day, &f.hour, &f.minute, &f.second, &f.microsecond};
    for (int i = 0; i < 7; ++i) {
        nb::object field = steal_or_throw(PyObject_GetAttrString(v, names[i]));
        long x = PyLong_AsLong(field.ptr());
        if (x == -1 && PyErr_Occurred())
            throw nb::python_error();
        *out[i] = static_cast<int>(x);
    }
    return true;
}
#else
bool naive_fields(PyObject *v, DateTimeFields &f) {
    if (reinterpret_cast<PyDateTime_DateTime *>(v)->hastzinfo)
        return false;
    f = {PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v),
         PyDateTime_DATE_GET_HOUR(v), PyDateTime_DATE_GET_MINUTE(v),
         PyDateTime_DATE_GET_SECOND(v), PyDateTime_DATE_GET_MICROSECOND(v)};
    return true;
}
#endif

void put_padded(std::string &out, int value, int width) {
    char digits[8];
    for (int i = width - 1; i >= 0; --i, value /= 10)
        digits[i] = static_cast<char>('0' + value % 10);
    out.append(digits, static_cast<size_t>(width));
}

// datetime.strftime(fmt) written here when the pattern holds only printable
// ASCII and the numeric directives %Y %m %d %H %M %S %f %%, for a datetime
// without a zone in the years 1000 to 9999 (so that %Y has four digits on
// every C library).  Anything else returns an invalid object, for the
// datetime's own strftime.
nb::object numeric_strftime(PyObject *v, PyObject *fmt) {
    Py_ssize_t size = 0;
    const char *pattern = PyUnicode_AsUTF8AndSize(fmt, &size);
    if (!pattern)
        throw nb::python_error();
    DateTimeFields f;
    if (size > 256 || !naive_fields(v, f) || f.year < 1000)
        return nb::object();
    std::string out;
    out.reserve(static_cast<size_t>(size) + 32);
    for (Py_ssize_t i = 0; i < size; ++i) {
        char c = pattern[i];
        if (c < 0x20 || c > 0x7e)
            return nb::object();
        if (c != '%') {
            out.push_back(c);
            continue;
        }
        if (++i == size)
            return nb::object();
        switch (pattern[i]) {
        case 'Y': put_padded(out, f.year, 4); break;
        case 'm': put_padded(out, f.month, 2); break;
        case 'd': put_padded(out, f.day, 2); break;
        case 'H': put_padded(out, f.hour, 2); break;
        case 'M': put_padded(out, f.minute, 2); break;
        case 'S': put_padded(out, f.second, 2); break;
        case 'f': put_padded(out, f.microsecond, 6); break;
        case '%': out.push_back('%'); break;
        default: return nb::object();
        }
    }
    return steal_or_throw(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

} // namespace

nb::object cached_str(nb::handle value) {
    PyObject *v = value.ptr();
    if (is_exact_datetime(v)) {
        if (!last_str.hit(v, nullptr))
            last_str.store(value, nb::handle(), str_of(value));
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
