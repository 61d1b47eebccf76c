// The numeric strftime patterns of log stamps, written natively (contract in
// numeric_strftime.hpp).
#include "core/numeric_strftime.hpp"
#include "core/py.hpp"

#ifndef Py_LIMITED_API
// Only the header's field macros are used here, not its API capsule.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-variable"
#endif
#include <datetime.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#endif

#include <string>

namespace zelmo {
namespace {

struct DateTimeFields {
    int year, month, day, hour, minute, second, microsecond;
};

// The fields of a datetime without a time zone; false for one with a zone.
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

} // namespace

nb::object naive_datetime_str(PyObject *v) {
    DateTimeFields f;
    if (!naive_fields(v, f))
        return nb::object();
    std::string out;
    out.reserve(26);
    put_padded(out, f.year, 4);
    out.push_back('-');
    put_padded(out, f.month, 2);
    out.push_back('-');
    put_padded(out, f.day, 2);
    out.push_back(' ');
    put_padded(out, f.hour, 2);
    out.push_back(':');
    put_padded(out, f.minute, 2);
    out.push_back(':');
    put_padded(out, f.second, 2);
    if (f.microsecond != 0) {
        out.push_back('.');
        put_padded(out, f.microsecond, 6);
    }
    return steal_or_throw(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

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

} // namespace zelmo
