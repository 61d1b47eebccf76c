// The shortest decimal form of a double: the fewest significant digits that
// read back as the same double, and of those the closest, as Python's repr
// chooses them.
#pragma once

#include <cstdint>

namespace zelmo {

struct ShortestDecimal {
    std::uint64_t digits; // no trailing zeros; at most 17 digits
    int exponent;         // the value is digits * 10**exponent
};

// `d` must be finite and greater than zero.
ShortestDecimal shortest_decimal(double d);

} // namespace zelmo
