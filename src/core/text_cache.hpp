// Text forms of host values that recur on every record of a trading day.
//
// Every record of a bar carries str() of the same calendar date-time, and the
// log formatter strftime()s it once per line.  Both conversions cost more than
// the rest of a record, so the last value converted is remembered.  Only the
// exact datetime.datetime type is cached: it is immutable, so an equal value
// (same fields, same tzinfo object) has the same text.  Enumeration members
// (sides, position effects, position and account types) are singletons whose
// text never changes; their str() is remembered per member.
#pragma once

#include <nanobind/nanobind.h>

namespace zelmo {

namespace nb = nanobind;

// str(value), remembered for exact datetimes and enumeration members.
nb::object cached_str(nb::handle value);

// value.strftime(fmt), remembered for exact datetimes and an equal format;
// the numeric patterns of log stamps are written natively (numeric_strftime).
nb::object cached_strftime(nb::handle value, nb::handle fmt);

} // namespace zelmo
