#include "core/feed_encoder.hpp"
#include "core/py.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>

namespace zelmo {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kJsonHex[] = "0123456789abcdef"; // json writes \u escapes in lower case
// Nesting beyond this is treated as unencodable (json would recurse until it
// fails); the value then goes out as the text of its str().
constexpr int kMaxDepth = 200;

// quote_plus(safe=''): letters, digits and "_.-~" stay, a blank becomes "+",
// every other byte "%XX".
constexpr std::array<bool, 128> make_form_safe() {
    std::array<bool, 128> t{};
    for (int c = 0; c < 128; ++c)
        t[c] = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '.' || c == '-' || c == '~';
    return t;
}
constexpr std::array<bool, 128> kFormSafe = make_form_safe();

inline void put_form_char(std::string &out, unsigned char c) {
    if (kFormSafe[c]) {
        out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
        out.push_back('+');
    } else {
        out.push_back('%');
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
    }
}

// "\uXXXX", form-escaped: the backslash becomes %5C, the rest is safe.
inline void put_u_escape(std::string &out, unsigned code_unit) {
    char buf[9] = {'%', '5', 'C', 'u', kJsonHex[(code_unit >> 12) & 15],
                   kJsonHex[(code_unit >> 8) & 15], kJsonHex[(code_unit >> 4) & 15],
                   kJsonHex[code_unit & 15], 0};
    out.append(buf, 8);
}

// One character of a JSON string's content, JSON-escaped then form-escaped.
inline void put_string_char(std::string &out, Py_UCS4 c) {
    if (c >= 0x20 && c <= 0x7e) {
        if (c == '"')
            out.append("%5C%22");
        else if (c == '\\')
            out.append("%5C%5C");
        else
            put_form_char(out, static_cast<unsigned char>(c));
        return;
    }
    switch (c) {
    case '\b': out.append("%5Cb"); return;
    case '\f': out.append("%5Cf"); return;
    case '\n': out.append("%5Cn"); return;
    case '\r': out.append("%5Cr"); return;
    case '\t': out.append("%5Ct"); return;
    default: break;
    }
    if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        put_u_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
        put_u_escape(out, 0xdc00 | (v & 0x3ff));
    } else {
        put_u_escape(out, c);
    }
}

// Python's repr of a finite float from its shortest digits: positional
// notation when the decimal point falls within 16 digits of the first digit
// (-4 < decpt <= 16), otherwise d.ddde+XX.  Writes at most 32 characters to
// `out` and returns their count.
size_t format_float_repr(char *out, double d) {
    char *p = out;
    if (std::signbit(d)) {
        *p++ = '-';
        d = -d;
    }
    char sci[32];
    auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    const char *e = static_cast<const char *>(std::memchr(sci, 'e', static_cast<size_t>(res.ptr - sci)));
    char digits[20];
    size_t n = 0;
    for (const char *q = sci; q < e; ++q)
        if (*q != '.')
            digits[n++] = *q;
    int exponent = 0;
    std::from_chars(e + (e[1] == '+' ? 2 : 1), res.ptr, exponent);
    int decpt = exponent + 1;
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            *p++ = '0';
            *p++ = '.';
            for (int i = 0; i < -decpt; ++i)
                *p++ = '0';
            std::memcpy(p, digits, n);
            p += n;
        } else if (static_cast<size_t>(decpt) >= n) {
            std::memcpy(p, digits, n);
            p += n;
            for (size_t i = n; i < static_cast<size_t>(decpt); ++i)
                *p++ = '0';
            *p++ = '.';
            *p++ = '0';
        } else {
            std::memcpy(p, digits, static_cast<size_t>(decpt));
            p += decpt;
            *p++ = '.';
            std::memcpy(p, digits + decpt, n - static_cast<size_t>(decpt));
            p += n - static_cast<size_t>(decpt);
        }
    } else {
        *p++ = digits[0];
        if (n > 1) {
            *p++ = '.';
            std::memcpy(p, digits + 1, n - 1);
            p += n - 1;
        }
        *p++ = 'e';
        *p++ = exponent < 0 ? '-' : '+';
        int x = exponent < 0 ? -exponent : exponent;
        if (x < 10)
            *p++ = '0';
        p = std::to_chars(p, out + 32, x).ptr;
    }
    return static_cast<size_t>(p - out);
}

struct NumpyTypes {
    PyObject *bool_ = nullptr, *integer = nullptr, *floating = nullptr;
};

// numpy's scalar types, looked up only once a value needs the fallback; a
// process that never imported numpy holds no numpy scalars.
NumpyTypes numpy_types() {
    NumpyTypes t;
    PyObject *modules = PyImport_GetModuleDict();
    PyObject *np = PyDict_GetItemString(modules, "numpy");
    if (!np)
        return t;
    static PyObject *bool_ = PyObject_GetAttrString(np, "bool_");
    static PyObject *integer = PyObject_GetAttrString(np, "integer");
    static PyObject *floating = PyObject_GetAttrString(np, "floating");
    if (!bool_ || !integer || !floating)
        throw nb::python_error();
    t.bool_ = bool_;
    t.integer = integer;
    t.floating = floating;
    return t;
}

bool is_instance(PyObject *o, PyObject *type) {
    if (!type)
        return false;
    int r = PyObject_IsInstance(o, type);
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

} // namespace

void FormBodyBuilder::add_json_field(nb::handle name, nb::handle records) {
    if (!out_.empty())
        out_.push_back('&');
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &len);
    if (!utf8)
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < len; ++i)
        put_form_char(out_, static_cast<unsigned char>(utf8[i]));
    out_.push_back('=');
    put_value(records.ptr(), 0);
}

void FormBodyBuilder::put_plain(const char *ascii, size_t n) {
    for (size_t i = 0; i < n; ++i)
        put_form_char(out_, static_cast<unsigned char>(ascii[i]));
}

void FormBodyBuilder::put_value(PyObject *o, int depth) {
    // The order of the tests is json's own: the three constants, then text,
    // integers, floats, arrays, objects.
    if (o == Py_None) {
        lit("null");
    } else if (o == Py_True) {
        lit("true");
    } else if (o == Py_False) {
        lit("false");
    } else if (PyUnicode_Check(o)) {
        put_string(o);
    } else if (PyLong_Check(o)) {
        put_int(o);
    } else if (PyFloat_Check(o)) {
        put_float(PyFloat_AS_DOUBLE(o));
    } else if (depth >= kMaxDepth) {
        put_fallback(o, depth);
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        put_sequence(o, depth + 1);
    } else if (PyDict_Check(o)) {
        put_dict(o, depth + 1);
    } else {
        put_fallback(o, depth);
    }
}

void FormBodyBuilder::put_string(PyObject *s) {
    lit("%22");
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        const unsigned char *p = PyUnicode_1BYTE_DATA(s);
        Py_ssize_t run = 0; // start of the current run of characters that pass unchanged
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (kFormSafe[p[i]])
                continue;
            out_.append(reinterpret_cast<const char *>(p + run), static_cast<size_t>(i - run));
            put_string_char(out_, p[i]);
            run = i + 1;
        }
        out_.append(reinterpret_cast<const char *>(p + run), static_cast<size_t>(n - run));
    } else {
        int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        for (Py_ssize_t i = 0; i < n; ++i)
            put_string_char(out_, PyUnicode_READ(kind, data, i));
    }
    lit("%22");
}

void FormBodyBuilder::put_float(double d) {
    if (std::isnan(d)) {
        lit("NaN");
    } else if (std::isinf(d)) {
        lit(d > 0 ? "Infinity" : "-Infinity");
    } else {
        char buf[32];
        size_t n = format_float_repr(buf, d);
        // Only the "+" of an exponent needs form escaping.
        for (size_t i = 0; i < n; ++i) {
            if (buf[i] == '+')
                out_.append("%2B");
            else
                out_.push_back(buf[i]);
        }
    }
}

void FormBodyBuilder::put_int(PyObject *o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        out_.append(buf, static_cast<size_t>(r.ptr - buf));
        return;
    }
    // int.__repr__ for big integers, as json does (also for int subclasses).
    nb::object text = steal_or_throw(PyLong_Type.tp_repr(o));
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
    if (!utf8)
        throw nb::python_error();
    out_.append(utf8, static_cast<size_t>(len));
}

void FormBodyBuilder::put_sequence(PyObject *seq, int depth) {
    lit("%5B");
    bool is_list = PyList_Check(seq);
    // A list's items are read by index each time, so a list changed by a
    // fallback's str() is still walked safely.
    for (Py_ssize_t i = 0;; ++i) {
        Py_ssize_t n = is_list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        if (i >= n)
            break;
        if (i > 0)
            lit("%2C+");
        if (is_list) {
            // Held while it is written: a fallback's str() runs Python code.
            nb::object item = nb::borrow(PyList_GET_ITEM(seq, i));
            put_value(item.ptr(), depth);
        } else {
            put_value(PyTuple_GET_ITEM(seq, i), depth);
        }
    }
    lit("%5D");
}

void FormBodyBuilder::put_dict_key(PyObject *key) {
    if (PyUnicode_Check(key)) {
        put_string(key);
        return;
    }
    std::string text;
    if (PyFloat_Check(key)) {
        double d = PyFloat_AS_DOUBLE(key);
        if (std::isnan(d))
            text = "NaN";
        else if (std::isinf(d))
            text = d > 0 ? "Infinity" : "-Infinity";
        else {
            char buf[32];
            text.assign(buf, format_float_repr(buf, d));
        }
    } else if (key == Py_True) {
        text = "true";
    } else if (key == Py_False) {
        text = "false";
    } else if (key == Py_None) {
        text = "null";
    } else if (PyLong_Check(key)) {
        nb::object r = steal_or_throw(PyLong_Type.tp_repr(key));
        text = PyUnicode_AsUTF8(r.ptr());
    } else {
        // json refuses such keys; send the text of the key instead.
        nb::object s = str_of(nb::handle(key));
        put_string(s.ptr());
        return;
    }
    lit("%22");
    put_plain(text.data(), text.size());
    lit("%22");
}

void FormBodyBuilder::put_dict(PyObject *d, int depth) {
    lit("%7B");
    bool first = true;
    auto put_pair = [&](PyObject *k, PyObject *v) {
        if (!first)
            lit("%2C+");
        first = false;
        put_dict_key(k);
        lit("%3A+");
        put_value(v, depth);
    };
    if (PyDict_CheckExact(d)) {
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(d, &pos, &k, &v)) {
            nb::object hk = nb::borrow(k), hv = nb::borrow(v);
            put_pair(k, v);
        }
    } else {
        nb::object items = steal_or_throw(PyMapping_Items(d));
        Py_ssize_t n = PyList_GET_SIZE(items.ptr());
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *pair = PyList_GET_ITEM(items.ptr(), i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                throw nb::value_error("items must return 2-tuples");
            put_pair(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
        }
    }
    lit("%7D");
}

void FormBodyBuilder::put_fallback(PyObject *o, int depth) {
    (void)depth;
    NumpyTypes np = numpy_types();
    if (is_instance(o, np.bool_)) {
        lit(PyObject_IsTrue(o) ? "true" : "false");
    } else if (is_instance(o, np.integer)) {
        nb::object v = steal_or_throw(PyNumber_Index(o));
        put_int(v.ptr());
    } else if (is_instance(o, np.floating)) {
        nb::object v = steal_or_throw(PyNumber_Float(o));
        put_float(PyFloat_AS_DOUBLE(v.ptr()));
    } else {
        nb::object s = str_of(nb::handle(o));
        put_string(s.ptr());
    }
}

} // namespace zelmo
