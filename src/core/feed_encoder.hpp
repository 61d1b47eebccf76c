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

#include <string>

namespace zelmo {

namespace nb = nanobind;

class FormBodyBuilder {
public:
    // Appends the field `name` whose value is the JSON array of the first
    // `count` records of the sequence `records`.  Raises only what no
    // fallback can absorb (the interpreter's exit and interrupt kinds).
    void add_records_field(nb::handle name, nb::handle records, Py_ssize_t count);

    const std::string &body() const { return out_; }
    bool empty() const { return out_.empty(); }

private:
    void put_record(PyObject *record);
    void put_field(PyObject *field);
    void put_value(PyObject *o);
    void put_string(PyObject *s);
    void put_float(double d);
    void put_int(PyObject *o);
    void put_sequence(PyObject *seq);
    void put_dict(PyObject *d);
    void put_dict_key(PyObject *key);
    void put_default(PyObject *o);
    void lit(const char *escaped) { out_ += escaped; }

    std::string out_;
};

} // namespace zelmo
