// The body of a feed post, built in one pass.
//
// The body must be byte for byte what `requests` sends for
// data={kind: json.dumps(records), ...}: each field's JSON text (json.dumps
// with default settings) run through urlencode's quote_plus.  The JSON text
// is pure ASCII, so each character it would produce is written directly in
// its form-escaped spelling, without building the JSON text first.
//
// Values json.dumps accepts are written exactly as it writes them.  Values it
// would reject do not make the whole batch unsendable: numpy integer and
// floating scalars go out as the number they hold, numpy booleans as
// true/false, anything else as the JSON string of its str().
#pragma once

#include <nanobind/nanobind.h>

#include <string>

namespace zelmo {

namespace nb = nanobind;

class FormBodyBuilder {
public:
    // Appends the field `name` whose value is the JSON text of `records`.
    void add_json_field(nb::handle name, nb::handle records);

    const std::string &body() const { return out_; }
    bool empty() const { return out_.empty(); }

private:
    void put_value(PyObject *o, int depth);
    void put_string(PyObject *s);
    void put_float(double d);
    void put_int(PyObject *o);
    void put_sequence(PyObject *seq, int depth);
    void put_dict(PyObject *d, int depth);
    void put_dict_key(PyObject *key);
    void put_fallback(PyObject *o, int depth);
    void put_plain(const char *ascii, size_t n); // form-escapes plain ASCII
    void lit(const char *escaped) { out_ += escaped; }

    std::string out_;
};

} // namespace zelmo
