// The body of a feed post, built in one pass.
//
// The body must be byte for byte what `requests` sends for
// data={kind: json.dumps(records), ...}: each field's JSON text (json.dumps
// with default settings) run through urlencode's quote_plus.  The JSON text
// is pure ASCII, so each character it would produce is written directly in
// its form-escaped spelling, without building the JSON text first.
//
// Values json.dumps accepts are written exactly as it writes them, nested as
// deep as the interpreter's recursion guard lets json itself go.  Nothing
// else can make a batch unsendable:
//   - a value json.dumps has no encoding for goes out as what it stands for:
//     a numpy bool, integer or float scalar as the plain value, anything else
//     as the JSON string of its str(), else its repr(), else
//     "<unprintable TYPE object>";
//   - a record field that json.dumps refuses as a whole (a circular
//     container, nesting deeper than the guard allows, an int too long to
//     print, a key that is not a JSON key) goes out as the JSON string of the
//     field's own text, made by the same rule.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zelmo {

namespace nb = nanobind;

// A growing byte buffer for the body.  Its appends of short pieces of known
// length compile to plain stores; std::string's may call memcpy each time.
// In the per-version builds its storage is a bytes object, handed over
// whole by take_bytes() instead of being copied into one.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ~ByteBuffer();
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;

    void push(char c) {
        room(1);
        data_[size_++] = c;
    }
    // A string literal, without its terminating NUL.
    template <size_t N> void lit(const char (&s)[N]) {
        room(N - 1);
        std::memcpy(data_ + size_, s, N - 1);
        size_ += N - 1;
    }
    void append(const char *s, size_t n) {
        room(n);
        std::memcpy(data_ + size_, s, n);
        size_ += n;
    }
    // Space for up to `n` bytes at the end; advance() then keeps what was
    // written there.
    char *tail(size_t n) {
        room(n);
        return data_ + size_;
    }
    void advance(size_t n) { size_ += n; }
    void truncate(size_t n) { size_ = n; }
    size_t size() const { return size_; }
    std::string_view view() const { return {data_, size_}; }
    // The content as a bytes object; the buffer is empty afterwards.
    nb::object take_bytes();

private:
    void room(size_t n) {
        if (capacity_ - size_ < n)
            grow(n);
    }
    void grow(size_t n);

    char *data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
#ifndef Py_LIMITED_API
    void detach();
    PyObject *bytes_ = nullptr; // owns data_
#endif
};

class FormBodyBuilder {
public:
    // Appends the field `name` whose value is the JSON array of the first
    // `count` records of the sequence `records`.  Raises only what no
    // fallback can absorb (the interpreter's exit and interrupt kinds).
    void add_records_field(nb::handle name, nb::handle records, Py_ssize_t count);

    // The body as a bytes object; the builder is empty afterwards.
    nb::object take_body() { return out_.take_bytes(); }

    FormBodyBuilder() = default;
    ~FormBodyBuilder();
    FormBodyBuilder(const FormBodyBuilder &) = delete;
    FormBodyBuilder &operator=(const FormBodyBuilder &) = delete;

private:
    struct KeptText;
    void put_record(PyObject *record);
    void put_record_field(PyObject *field, bool separated);
    bool put_plain_field(PyObject *field, bool separated);
    KeptText &kept_text_slot(PyObject *text);
    void put_new_text(KeptText &slot, PyObject *text);
    void put_field(PyObject *field);
    void put_value(PyObject *o);
    void put_string(PyObject *s);
    void put_float(double d);
    static std::size_t put_float_at(char *out, double d);
    void put_int(PyObject *o);
    void put_sequence(PyObject *seq);
    void put_dict(PyObject *d);
    void put_dict_key(PyObject *key);
    void put_default(PyObject *o);
    template <size_t N> void lit(const char (&escaped)[N]) { out_.lit(escaped); }

    // The forms of texts written lately, by the text object's address (each
    // one held, so the address names it): a batch repeats its run's
    // date-time texts, instrument codes and type names record after record.
    struct KeptText {
        PyObject *text = nullptr; // owned
        std::uint8_t size = 0;
        char form[55];
    };
    static constexpr int kKeptTextBits = 6;
    // The room a plain field takes at most: a separator and a float's
    // repr or a kept form.
    static constexpr size_t kPlainFieldRoom = 64;

    ByteBuffer out_;
    KeptText kept_texts_[1 << kKeptTextBits];
};

} // namespace zelmo
