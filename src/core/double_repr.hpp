// A double to its repr text.
//
// Python's repr of a float is its shortest decimal form (the fewest
// significant digits that read back as the same double, and of those the
// closest) laid out as repr lays it out: positional notation while the
// decimal point falls within 16 digits of the first digit, scientific
// otherwise ("1e-05", "1.5e+16").  Both halves live here: the digits
// (shortest_decimal) and the layout (write_double_repr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace zelmo {

struct ShortestDecimal {
    std::uint64_t digits; // no trailing zeros; at most 17 digits
    int exponent;         // the value is digits * 10**exponent
};

// `d` must be finite and greater than zero.  Needs the interpreter (and the
// GIL) for subnormals, whose digits it takes from the interpreter's repr.
ShortestDecimal shortest_decimal(double d);

// The room write_double_repr needs at `out`: it writes fixed-size runs past
// the text's end.
inline constexpr std::size_t kDoubleReprRoom = 48;

// Writes repr(d) of a finite `d` at `out`, with `plus` for the "+" of a
// positive exponent (a form writes it escaped, "%2B"); returns its length.
std::size_t write_double_repr(char *out, double d, std::string_view plus = "+");

} // namespace zelmo
