// str() of a naive datetime, and datetime.strftime for the patterns a log
// line's stamp uses, written here.
//
// The host stamps every captured log line with strftime of the simulated
// time; the interpreter's strftime goes through the C library and costs more
// than the rest of the line.  Patterns that hold only printable ASCII and the
// numeric directives %Y %m %d %H %M %S %f %% are written here, for a
// datetime without a zone in the years 1000 to 9999 (so that %Y has four
// digits on every C library).  Anything else is left to the datetime's own
// strftime.
#pragma once

#include <nanobind/nanobind.h>

namespace zelmo {

namespace nb = nanobind;

// str(v) of an exact datetime.datetime `v` without a zone, as its isoformat
// with a blank between date and time writes it (the microseconds only when
// there are any); an invalid object for one with a zone.
nb::object naive_datetime_str(PyObject *v);

// v.strftime(fmt) for an exact datetime.datetime `v` and an exact str `fmt`,
// or an invalid object where the pattern or the value is not one written here.
nb::object numeric_strftime(PyObject *v, PyObject *fmt);

} // namespace zelmo
