// The feed body's byte buffer and its encoder: form escaping, JSON strings,
// integers, floats (through double_repr), arrays, objects and the fallback
// for values json has no encoding for (contract in feed_encoder.hpp).
#include "core/feed_encoder.hpp"
#include "core/capi.hpp"
#include "core/py.hpp"
#include "core/double_repr.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace zelmo {

namespace {
// A buffer's first size: a little more than the last body taken (a run's
// bodies are much alike), so that a body is copied to grow only when it
// outgrows the one before; from 4 kB to 16 MB.
constexpr size_t kSmallestFirstCapacity = 4096, kLargestFirstCapacity = size_t{16} << 20;
size_t first_capacity = kSmallestFirstCapacity;

size_t grown_capacity(size_t capacity, size_t size, size_t n) {
    capacity = capacity ? capacity * 2 : first_capacity;
    while (capacity - size < n)
        capacity *= 2;
    return capacity;
}

void remember_size(size_t size) {
    first_capacity = std::clamp(size + size / 8, kSmallestFirstCapacity, kLargestFirstCapacity);
}
} // namespace

#ifndef Py_LIMITED_API
ByteBuffer::~ByteBuffer() { Py_XDECREF(bytes_); }

// Forgets the storage: after a failed resize released it, or once handed over.
void ByteBuffer::detach() {
    bytes_ = nullptr;
    data_ = nullptr;
    size_ = capacity_ = 0;
}

void ByteBuffer::grow(size_t n) {
    const size_t capacity = grown_capacity(capacity_, size_, n);
    if (!bytes_)
        bytes_ = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(capacity));
    else if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(capacity)) < 0)
        detach();
    if (!bytes_) {
        PyErr_Clear();
        throw std::bad_alloc();
    }
    data_ = PyBytes_AS_STRING(bytes_);
    capacity_ = capacity;
}

nb::object ByteBuffer::take_bytes() {
    if (!bytes_)
        return nb::bytes("", 0);
    remember_size(size_);
    if (_PyBytes_Resize(&bytes_, static_cast<Py_ssize_t>(size_)) < 0) {
        detach();
        throw nb::python_error();
    }
    nb::object bytes = nb::steal(bytes_);
    detach();
    return bytes;
}
#else
ByteBuffer::~ByteBuffer() { std::free(data_); }

void ByteBuffer::grow(size_t n) {
    const size_t capacity = grown_capacity(capacity_, size_, n);
    char *data = static_cast<char *>(std::realloc(data_, capacity));
    if (!data)
        throw std::bad_alloc();
    data_ = data;
    capacity_ = capacity;
}

nb::object ByteBuffer::take_bytes() {
    remember_size(size_);
    nb::object bytes = nb::bytes(data_ ? data_ : "", size_);
    size_ = 0;
    return bytes;
}
#endif

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kJsonHex[] = "0123456789abcdef"; // json writes \u escapes in lower case

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

inline void put_form_char(ByteBuffer &out, unsigned char c) {
    if (kFormSafe[c]) {
        out.push(static_cast<char>(c));
    } else if (c == ' ') {
        out.push('+');
    } else {
        char *p = out.tail(3);
        p[0] = '%';
        p[1] = kHex[c >> 4];
        p[2] = kHex[c & 15];
        out.advance(3);
    }
}

// "\uXXXX", form-escaped: the backslash becomes %5C, the rest is safe.
inline void put_u_escape(ByteBuffer &out, unsigned code_unit) {
    char *p = out.tail(8);
    p[0] = '%';
    p[1] = '5';
    p[2] = 'C';
    p[3] = 'u';
    p[4] = kJsonHex[(code_unit >> 12) & 15];
    p[5] = kJsonHex[(code_unit >> 8) & 15];
    p[6] = kJsonHex[(code_unit >> 4) & 15];
    p[7] = kJsonHex[code_unit & 15];
    out.advance(8);
}

// Each ASCII character's form inside a JSON string, JSON-escaped then
// form-escaped, in a table: the character itself, "+", "%XX", "%5C" and a
// letter, or "%5Cu00XX" for a control character.
struct AsciiForms {
    char text[128][8];
    std::uint8_t size[128];
};
constexpr AsciiForms make_ascii_forms() {
    AsciiForms t{};
    for (int c = 0; c < 128; ++c) {
        char *p = t.text[c];
        int n = 0;
        auto escaped = [&](char letter) {
            p[n++] = '%', p[n++] = '5', p[n++] = 'C', p[n++] = letter;
        };
        if (c == '"') {
            escaped('%'), p[n++] = '2', p[n++] = '2';
        } else if (c == '\\') {
            escaped('%'), p[n++] = '5', p[n++] = 'C';
        } else if (c >= 0x20 && c <= 0x7e) {
            if (kFormSafe[c]) {
                p[n++] = static_cast<char>(c);
            } else if (c == ' ') {
                p[n++] = '+';
            } else {
                p[n++] = '%', p[n++] = kHex[c >> 4], p[n++] = kHex[c & 15];
            }
        } else if (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
            escaped(c == '\b' ? 'b' : c == '\f' ? 'f' : c == '\n' ? 'n' : c == '\r' ? 'r' : 't');
        } else {
            escaped('u'), p[n++] = '0', p[n++] = '0';
            p[n++] = kJsonHex[c >> 4], p[n++] = kJsonHex[c & 15];
        }
        t.size[c] = static_cast<std::uint8_t>(n);
    }
    return t;
}
constexpr AsciiForms kAsciiForms = make_ascii_forms();

// One character of a JSON string's content, JSON-escaped then form-escaped:
// an ASCII one from the table, any other as its \u escape (two for one
// beyond the basic plane, as json writes them).
inline void put_string_char(ByteBuffer &out, Py_UCS4 c) {
    if (c < 128) {
        std::memcpy(out.tail(8), kAsciiForms.text[c], 8);
        out.advance(kAsciiForms.size[c]);
    } else if (c >= 0x10000) {
        Py_UCS4 v = c - 0x10000;
        put_u_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
        put_u_escape(out, 0xdc00 | (v & 0x3ff));
    } else {
        put_u_escape(out, c);
    }
}

// The forms of `n` ASCII characters, through the table: each entry is copied
// whole (a fixed size compiles to one move) and the output advances by its
// size, with room made once a stretch.
void put_ascii(ByteBuffer &out, const unsigned char *p, Py_ssize_t n) {
    constexpr Py_ssize_t kStretch = 512;
    while (n > 0) {
        const Py_ssize_t count = n < kStretch ? n : kStretch;
        char *const start = out.tail(static_cast<size_t>(8 * count));
        char *o = start;
        for (Py_ssize_t i = 0; i < count; ++i) {
            const unsigned c = p[i];
            std::memcpy(o, kAsciiForms.text[c], 8);
            o += kAsciiForms.size[c];
        }
        out.advance(static_cast<size_t>(o - start));
        p += count;
        n -= count;
    }
}

// int.__repr__(o), also for an int subclass with a repr of its own.
PyObject *int_repr(PyObject *o) {
#ifdef Py_LIMITED_API
    static PyObject *repr = PyObject_GetAttrString(reinterpret_cast<PyObject *>(&PyLong_Type), "__repr__");
    return PyObject_CallFunctionObjArgs(repr, o, nullptr);
#else
    return PyLong_Type.tp_repr(o);
#endif
}

struct NumpyTypes {
    PyObject *bool_ = nullptr, *integer = nullptr, *floating = nullptr;
};

// numpy's scalar types, looked up only once a value needs the fallback; a
// process that never imported numpy holds no numpy scalars.
NumpyTypes numpy_types() {
    NumpyTypes t;
    PyObject *np = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");
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

// An error that a fallback may absorb: an Exception, not an exit or an
// interrupt.  Anything else goes on to the caller.
void absorb_or_rethrow(nb::python_error &e) {
    if (!e.matches(PyExc_Exception))
        throw;
}

// The interpreter's recursion guard around one container level, as json's
// C encoder takes it: too deep a value raises RecursionError.
class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while encoding a JSON object"))
            throw nb::python_error();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
};

// The text of a value for the fallback: str(), else repr(), else
// "<unprintable TYPE object>".  Never fails with an Exception.
nb::object fallback_text(PyObject *o) {
    for (auto convert : {PyObject_Str, PyObject_Repr}) {
        try {
            return steal_or_throw(convert(o));
        } catch (nb::python_error &e) {
            absorb_or_rethrow(e);
        }
    }
    PyObject *name = type_name(o);
    if (name && PyUnicode_Check(name)) {
        nb::object owned = nb::steal(name);
        return steal_or_throw(PyUnicode_FromFormat("<unprintable %U object>", name));
    }
    Py_XDECREF(name);
    PyErr_Clear();
    return steal_or_throw(PyUnicode_FromString("<unprintable object>"));
}

} // namespace

void FormBodyBuilder::add_records_field(nb::handle name, nb::handle records, Py_ssize_t count) {
    if (out_.size() > 0)
        out_.push('&');
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(name.ptr(), &len);
    if (!utf8)
        throw nb::python_error();
    for (Py_ssize_t i = 0; i < len; ++i)
        put_form_char(out_, static_cast<unsigned char>(utf8[i]));
    out_.push('=');

    // Exactly the first `count` records: anything queued while this batch is
    // encoded (by a value's str() that logs, say) belongs to the next one.
    nb::object snapshot;
    if (PyList_CheckExact(records.ptr())) {
        snapshot = steal_or_throw(PyList_GetSlice(records.ptr(), 0, count));
    } else {
        nb::object all = steal_or_throw(PySequence_List(records.ptr()));
        snapshot = steal_or_throw(PyList_GetSlice(all.ptr(), 0, count));
    }
    RecursionGuard guard;
    lit("%5B");
    Py_ssize_t n = list_size(snapshot.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i > 0)
            lit("%2C+");
        put_record(list_item(snapshot.ptr(), i));
    }
    lit("%5D");
}

FormBodyBuilder::~FormBodyBuilder() {
    for (KeptText &slot : kept_texts_)
        Py_XDECREF(slot.text);
}

// The values nearly every field holds, written here with the separator
// before them (when `separated`) and without put_field's dispatch and
// fallback, none of which they can need: None, an exact float, an exact int
// that fits a machine word, an exact text.  One check for room covers the
// separator and any of these values, a text's kept form included.  False
// for any other value, with nothing written.
ZELMO_ALWAYS_INLINE bool FormBodyBuilder::put_plain_field(PyObject *field, bool separated) {
    static_assert(kPlainFieldRoom >= 4 + kDoubleReprRoom && kPlainFieldRoom >= 4 + sizeof(KeptText::form));
    char *const start = out_.tail(kPlainFieldRoom);
    char *p = start;
    if (separated) {
        std::memcpy(p, "%2C+", 4);
        p += 4;
    }
    if (field == Py_None) {
        std::memcpy(p, "null", 4);
        out_.advance(static_cast<size_t>(p + 4 - start));
        return true;
    }
    if (PyFloat_CheckExact(field)) {
        out_.advance(static_cast<size_t>(p - start) + put_float_at(p, float_value(field)));
        return true;
    }
    if (PyUnicode_CheckExact(field)) {
        KeptText &slot = kept_text_slot(field);
        if (slot.text == field) {
            // The whole slot is copied: a fixed size compiles to a few moves.
            std::memcpy(p, slot.form, sizeof slot.form);
            out_.advance(static_cast<size_t>(p - start) + slot.size);
        } else {
            out_.advance(static_cast<size_t>(p - start));
            put_new_text(slot, field);
        }
        return true;
    }
    long long v;
    if (PyLong_CheckExact(field) && exact_int_value(field, v)) {
        out_.advance(static_cast<size_t>(std::to_chars(p, p + 24, v).ptr - start));
        return true;
    }
    return false;
}

ZELMO_ALWAYS_INLINE void FormBodyBuilder::put_record_field(PyObject *field, bool separated) {
    if (put_plain_field(field, separated))
        return;
    if (separated)
        lit("%2C+");
    put_field(field);
}

// A record is an array of fields, each encoded on its own so that one field
// json refuses costs only that field its JSON form.
void FormBodyBuilder::put_record(PyObject *record) {
    if (PyTuple_CheckExact(record) || PyList_CheckExact(record)) {
        nb::object held = nb::borrow(record);
        RecursionGuard guard;
        lit("%5B");
        if (PyTuple_CheckExact(record)) {
            // A tuple held here holds its fields: they are used borrowed.
            const Py_ssize_t size = tuple_size(record);
            for (Py_ssize_t i = 0; i < size; ++i)
                put_record_field(tuple_item(record, i), i > 0);
        } else {
            // A list is read by index each time, and each field held while it
            // is encoded: a field's str() may change the list.
            for (Py_ssize_t i = 0; i < list_size(record); ++i) {
                nb::object field = nb::borrow(list_item(record, i));
                put_record_field(field.ptr(), i > 0);
            }
        }
        lit("%5D");
    } else {
        put_field(record);
    }
}

// The slot of the kept forms where `text` is looked for, by its address.
FormBodyBuilder::KeptText &FormBodyBuilder::kept_text_slot(PyObject *text) {
    return kept_texts_[hashed_slot(reinterpret_cast<std::uintptr_t>(text) >> 4, kKeptTextBits)];
}

// An exact text not in its slot: written in full, and kept there when its
// form fits.
void FormBodyBuilder::put_new_text(KeptText &slot, PyObject *text) {
    const size_t mark = out_.size();
    put_field(text);
    const size_t size = out_.size() - mark;
    if (size <= sizeof slot.form) {
        Py_INCREF(text);
        Py_XDECREF(slot.text); // an exact text: its release runs no code
        slot.text = text;
        slot.size = static_cast<std::uint8_t>(size);
        std::memcpy(slot.form, out_.view().data() + mark, size);
    }
}

void FormBodyBuilder::put_field(PyObject *field) {
    size_t mark = out_.size();
    try {
        put_value(field);
    } catch (nb::python_error &e) {
        absorb_or_rethrow(e);
        out_.truncate(mark);
        put_string(fallback_text(field).ptr());
    }
}

void FormBodyBuilder::put_value(PyObject *o) {
    // The order of the tests is json's own: the three constants, then text,
    // integers, floats, arrays, objects, and last the fallback.
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
        put_float(float_value(o));
    } else if (PyList_Check(o) || PyTuple_Check(o)) {
        put_sequence(o);
    } else if (PyDict_Check(o)) {
        put_dict(o);
    } else {
        put_default(o);
    }
}

void FormBodyBuilder::put_string(PyObject *s) {
    lit("%22");
#ifdef Py_LIMITED_API
    Py_ssize_t n = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(s, &n);
    if (!utf8) {
        // A lone surrogate has no UTF-8 form; json writes it as a \u escape.
        PyErr_Clear();
        nb::object ucs4 = steal_or_throw(PyUnicode_AsUTF32String(s));
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(ucs4.ptr(), &data, &size) < 0)
            throw nb::python_error();
        for (Py_ssize_t i = 4; i + 4 <= size; i += 4) { // after the byte-order mark
            Py_UCS4 c;
            std::memcpy(&c, data + i, 4);
            put_string_char(out_, c);
        }
        lit("%22");
        return;
    }
    // Runs of ASCII through the table, each other UTF-8 sequence as its code point.
    const auto *p = reinterpret_cast<const unsigned char *>(utf8);
    Py_ssize_t run = 0; // start of the current run of ASCII
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (p[i] < 128)
            continue;
        put_ascii(out_, p + run, i - run);
        const int extra = p[i] >= 0xF0 ? 3 : p[i] >= 0xE0 ? 2 : 1;
        Py_UCS4 c = p[i] & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k)
            c = (c << 6) | (p[i + k] & 0x3F);
        put_string_char(out_, c);
        i += extra;
        run = i + 1;
    }
    put_ascii(out_, p + run, n - run);
#else
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        put_ascii(out_, PyUnicode_1BYTE_DATA(s), n);
    } else {
        const int kind = PyUnicode_KIND(s);
        const void *data = PyUnicode_DATA(s);
        for (Py_ssize_t i = 0; i < n; ++i)
            put_string_char(out_, PyUnicode_READ(kind, data, i));
    }
#endif
    lit("%22");
}

namespace {

// The form text of doubles written lately, by their bits, in a table of
// 1,024 slots (48 kB): a position's prices and costs, a portfolio's cash and
// units recur from one day's records to the next, and a copy costs a tenth
// of the conversion.  A repr is at most 26 characters here
// ("-1.2345678901234567e%2B308").
struct RecentRepr {
    std::uint64_t bits = 0;
    std::uint8_t size = 0; // 0: empty
    char text[32];
};
constexpr int kRecentReprBits = 10;
RecentRepr recent_reprs[1 << kRecentReprBits];

} // namespace

void FormBodyBuilder::put_float(double d) {
    char *out = out_.tail(kDoubleReprRoom);
    out_.advance(put_float_at(out, d));
}

// json's text of `d` at `out`, which has kDoubleReprRoom bytes of room; its
// length.
std::size_t FormBodyBuilder::put_float_at(char *out, double d) {
    if (std::isnan(d)) {
        std::memcpy(out, "NaN", 3);
        return 3;
    }
    if (std::isinf(d)) {
        if (d > 0) {
            std::memcpy(out, "Infinity", 8);
            return 8;
        }
        std::memcpy(out, "-Infinity", 9);
        return 9;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    RecentRepr &slot = recent_reprs[hashed_slot(bits, kRecentReprBits)];
    if (slot.size != 0 && slot.bits == bits) {
        std::memcpy(out, slot.text, sizeof slot.text);
        return slot.size;
    }
    const std::size_t size = write_double_repr(out, d, "%2B");
    if (size <= sizeof slot.text) {
        slot.bits = bits;
        slot.size = static_cast<std::uint8_t>(size);
        std::memcpy(slot.text, out, sizeof slot.text);
    }
    return size;
}

void FormBodyBuilder::put_int(PyObject *o) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (v == -1 && PyErr_Occurred())
            throw nb::python_error();
        char *tail = out_.tail(24);
        out_.advance(static_cast<size_t>(std::to_chars(tail, tail + 24, v).ptr - tail));
        return;
    }
    // int.__repr__ for big integers, as json does (also for int subclasses);
    // it refuses an int longer than the interpreter's digit limit.
    nb::object text = steal_or_throw(int_repr(o));
    Py_ssize_t len = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &len);
    if (!utf8)
        throw nb::python_error();
    out_.append(utf8, static_cast<size_t>(len));
}

void FormBodyBuilder::put_sequence(PyObject *seq) {
    RecursionGuard guard;
    lit("%5B");
    if (PyList_CheckExact(seq)) {
        // Read by index each time, holding the item: a fallback's str() runs
        // Python code that may change the list.
        for (Py_ssize_t i = 0; i < list_size(seq); ++i) {
            if (i > 0)
                lit("%2C+");
            nb::object item = nb::borrow(list_item(seq, i));
            put_value(item.ptr());
        }
    } else if (PyTuple_CheckExact(seq)) {
        for (Py_ssize_t i = 0; i < tuple_size(seq); ++i) {
            if (i > 0)
                lit("%2C+");
            put_value(tuple_item(seq, i));
        }
    } else {
        // A subclass is iterated, as json does, so its own __iter__ counts.
        nb::object items = steal_or_throw(PySequence_List(seq));
        for (Py_ssize_t i = 0; i < list_size(items.ptr()); ++i) {
            if (i > 0)
                lit("%2C+");
            nb::object item = nb::borrow(list_item(items.ptr(), i));
            put_value(item.ptr());
        }
    }
    lit("%5D");
}

void FormBodyBuilder::put_dict_key(PyObject *key) {
    if (PyUnicode_Check(key)) {
        put_string(key);
        return;
    }
    lit("%22");
    if (PyFloat_Check(key)) {
        put_float(float_value(key));
    } else if (key == Py_True) {
        lit("true");
    } else if (key == Py_False) {
        lit("false");
    } else if (key == Py_None) {
        lit("null");
    } else if (PyLong_Check(key)) {
        put_int(key);
    } else {
        nb::object name = steal_or_throw(type_name(key));
        PyErr_Format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %S",
                     name.ptr());
        throw nb::python_error();
    }
    lit("%22");
}

void FormBodyBuilder::put_dict(PyObject *d) {
    RecursionGuard guard;
    lit("%7B");
    // A snapshot of the items, as json takes it: code run by a fallback may
    // change the dict.
    nb::object items = steal_or_throw(PyMapping_Items(d));
    for (Py_ssize_t i = 0; i < list_size(items.ptr()); ++i) {
        PyObject *pair = list_item(items.ptr(), i);
        if (!PyTuple_Check(pair) || tuple_size(pair) != 2)
            throw nb::value_error("items must return 2-tuples");
        if (i > 0)
            lit("%2C+");
        put_dict_key(tuple_item(pair, 0));
        lit("%3A+");
        put_value(tuple_item(pair, 1));
    }
    lit("%7D");
}

// What a value json has no encoding for stands for.
void FormBodyBuilder::put_default(PyObject *o) {
    NumpyTypes np = numpy_types();
    try {
        if (is_instance(o, np.bool_)) {
            int truth = PyObject_IsTrue(o);
            if (truth < 0)
                throw nb::python_error();
            if (truth)
                lit("true");
            else
                lit("false");
            return;
        }
        if (is_instance(o, np.integer)) {
            nb::object v = steal_or_throw(PyNumber_Index(o));
            put_int(v.ptr()); // writes nothing unless it succeeds
            return;
        }
        if (is_instance(o, np.floating)) {
            nb::object v = steal_or_throw(PyNumber_Float(o));
            put_float(float_value(v.ptr()));
            return;
        }
    } catch (nb::python_error &e) {
        absorb_or_rethrow(e); // no plain value (a timedelta64, say): its text
    }
    put_string(fallback_text(o).ptr());
}

} // namespace zelmo
