// A double to its repr text, in two halves: the shortest digits (the interval
// method, its table of powers of ten) and repr's layout of them (contract in
// double_repr.hpp).
#include "core/double_repr.hpp"

#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#endif

namespace zelmo {
namespace {

// --- the shortest digits ---------------------------------------------------------
//
// Shortest digits by the interval method of R. Giulietti's "The Schubfach way
// to render doubles": the double's rounding interval is scaled by a power of
// ten, taken from a table of 126-bit approximations, so that it holds one or
// two integers; the candidates with one digit fewer are tried first.  One
// 128-bit multiplication per bound, no loop over digits.
//
// Subnormals below the smallest normal double take the interpreter's own
// repr digits: with so few significant bits the interval can be too wide for
// the one-digit-fewer step to find the shortest form, and they are too rare
// to be worth an exact method of their own.

using u64 = std::uint64_t;

// The full 128-bit product of two 64-bit numbers: the compiler's 128-bit type
// where it has one, MSVC's intrinsics on x64 and ARM64, else four 32-bit
// partial products.  ZELMO_PORTABLE_MULTIPLY forces the last, to test it.
struct Product {
    u64 high, low;
};
#if defined(_MSC_VER) && !defined(__clang__) && !defined(ZELMO_PORTABLE_MULTIPLY)
inline Product multiply(u64 a, u64 b) {
#if defined(_M_X64)
    u64 high;
    const u64 low = _umul128(a, b, &high);
    return {high, low};
#else
    return {__umulh(a, b), a * b};
#endif
}
#elif defined(__SIZEOF_INT128__) && !defined(ZELMO_PORTABLE_MULTIPLY)
inline Product multiply(u64 a, u64 b) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    return {static_cast<u64>(p >> 64), static_cast<u64>(p)};
}
#else
inline Product multiply(u64 a, u64 b) {
    const u64 a_low = a & 0xffffffff, a_high = a >> 32;
    const u64 b_low = b & 0xffffffff, b_high = b >> 32;
    const u64 low_low = a_low * b_low, high_low = a_high * b_low;
    const u64 low_high = a_low * b_high, high_high = a_high * b_high;
    // The middle column, which cannot overflow: (2**32-1)**2 + 2 * (2**32-1) < 2**64.
    const u64 middle = (low_low >> 32) + (high_low & 0xffffffff) + low_high;
    return {high_high + (high_low >> 32) + (middle >> 32), (middle << 32) | (low_low & 0xffffffff)};
}
#endif

constexpr u64 kHiddenBit = u64{1} << 52;

// 10**-k as g * 2**r, g rounded up to 126 bits.
struct Pow10 {
    u64 high, low; // g >> 63 and g & (2**63 - 1)
};
// kPow10 and the range constants kMinBinaryExponent, kMaxBinaryExponent,
// kPow10MinK and kPow10MaxK, written by scripts/make_pow10_table.py.
#include "core/pow10_table.inc"

// floor(q * log10(2)), floor(log10(3/4 * 2**q)) and floor(e * log2(10)) in
// fixed-point arithmetic.
constexpr int floor_log10_pow2(int q) { return static_cast<int>((q * 661971961083LL) >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) {
    return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}
constexpr int floor_log2_pow10(int e) { return static_cast<int>((e * 913124641741LL) >> 38); }

// Each formula gives the exact value for every exponent it is used with, and
// every k it gives has its entry in the table.
constexpr bool formulas_exact_over_the_table() {
    for (int q = kMinBinaryExponent; q <= kMaxBinaryExponent; ++q) {
        const int k = floor_log10_pow2(q), k34 = floor_log10_three_quarters_pow2(q);
        if (k != kExactLog10Pow2[q - kMinBinaryExponent] ||
            k34 != kExactLog10ThreeQuartersPow2[q - kMinBinaryExponent] || k < kPow10MinK ||
            k > kPow10MaxK || k34 < kPow10MinK || k34 > kPow10MaxK)
            return false;
    }
    for (int k = kPow10MinK; k <= kPow10MaxK; ++k)
        if (floor_log2_pow10(-k) != kExactLog2Pow10[k - kPow10MinK])
            return false;
    return std::size(kPow10) == static_cast<std::size_t>(kPow10MaxK - kPow10MinK + 1);
}
static_assert(formulas_exact_over_the_table());

// (g * cp) >> 127, rounded to odd: enough to decide which integers the
// scaled interval holds.
inline u64 round_to_odd(const Pow10 &g, u64 cp) {
    const u64 x1 = multiply(g.low, cp).high;
    const Product y = multiply(g.high, cp);
    const u64 z = (y.low >> 1) + x1;
    const u64 vbp = y.high + (z >> 63);
    // The sticky bit: set when any of the 63 bits shifted out is set, so that
    // an inexact product never compares equal to a bound.
    return vbp | (((z & ~(u64{1} << 63)) + ~(u64{1} << 63)) >> 63);
}

// The shortest digits of c * 2**q (c the significand with its hidden bit).
ShortestDecimal interval_digits(int q, u64 c) {
    const u64 out = c & 1; // an odd significand's interval excludes its bounds
    const u64 cb = c << 2;
    const u64 cbr = cb + 2;
    u64 cbl;
    int k;
    // The smallest binary exponent is shared with the subnormals below it, so
    // even its power of two has an interval of the ordinary width.
    if (c != kHiddenBit || q == kMinBinaryExponent) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else { // a power of two: the interval below is half as wide
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 2;
    const Pow10 &g = kPow10[k - kPow10MinK];
    const u64 vb = round_to_odd(g, cb << h);
    const u64 vbl = round_to_odd(g, cbl << h);
    const u64 vbr = round_to_odd(g, cbr << h);
    const u64 s = vb >> 2;
    if (s >= 100) {
        const u64 sp10 = s / 10 * 10;
        const u64 tp10 = sp10 + 10;
        const bool lower_in = vbl + out <= sp10 << 2;
        const bool upper_in = (tp10 << 2) + out <= vbr;
        if (lower_in != upper_in)
            return {lower_in ? sp10 : tp10, k};
    }
    const u64 t = s + 1;
    const bool lower_in = vbl + out <= s << 2;
    const bool upper_in = (t << 2) + out <= vbr;
    if (lower_in != upper_in)
        return {lower_in ? s : t, k};
    const int64_t cmp = static_cast<int64_t>(vb - ((s + t) << 1));
    return {cmp < 0 || (cmp == 0 && (s & 1) == 0) ? s : t, k};
}

ShortestDecimal subnormal_digits(double d) {
    // repr's digits of a subnormal: "d.ddde-3XX" or "de-3XX".
    char *text = PyOS_double_to_string(d, 'r', 0, 0, nullptr);
    if (!text)
        throw nanobind::python_error();
    u64 digits = 0;
    int fraction_digits = 0;
    const char *p = text;
    for (bool after_point = false; *p != 'e'; ++p) {
        if (*p == '.') {
            after_point = true;
            continue;
        }
        digits = digits * 10 + static_cast<u64>(*p - '0');
        fraction_digits += after_point;
    }
    const int exponent = std::atoi(p + 1);
    PyMem_Free(text);
    return {digits, exponent - fraction_digits};
}

// --- the layout --------------------------------------------------------------------

// Two-digit groups for writing a number's digits from the right.
constexpr std::array<char, 200> make_digit_pairs() {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[2 * i] = static_cast<char>('0' + i / 10);
        t[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
    return t;
}
constexpr std::array<char, 200> kDigitPairs = make_digit_pairs();

inline void put_two_digits(char *p, std::uint32_t v) { std::memcpy(p, &kDigitPairs[2 * v], 2); }

// Exactly eight digits of `v` (< 10**8), leading zeros included, in 32-bit
// arithmetic.
inline void put_eight_digits(char *p, std::uint32_t v) {
    const std::uint32_t high = v / 10000, low = v % 10000;
    put_two_digits(p, high / 100);
    put_two_digits(p + 2, high % 100);
    put_two_digits(p + 4, low / 100);
    put_two_digits(p + 6, low % 100);
}

// Writes the decimal digits of `v` (at most 17) so that they end at `end`;
// returns where they start.
inline char *digits_ending_at(char *end, std::uint64_t v) {
    while (v >= 100000000) {
        const std::uint64_t high = v / 100000000;
        end -= 8;
        put_eight_digits(end, static_cast<std::uint32_t>(v - high * 100000000));
        v = high;
    }
    auto small = static_cast<std::uint32_t>(v);
    while (small >= 100) {
        end -= 2;
        put_two_digits(end, small % 100);
        small /= 100;
    }
    if (small >= 10) {
        end -= 2;
        put_two_digits(end, small);
    } else {
        *--end = static_cast<char>('0' + small);
    }
    return end;
}

// "0.000ddd", "ddd000.0" or "ddd.ddd": repr's positional forms, for a
// decimal point `decpt` places after the first of the `n` digits (at
// `digits`, followed by slack), -4 < decpt <= 16.  Every copy moves a fixed
// 20 bytes (one or two register moves) whatever the count.
char *write_positional(char *p, const char *digits, int n, int decpt) {
    if (decpt <= 0) { // "0.000ddd": zeros between the point and the digits
        std::memcpy(p, "0.000", 2 - decpt);
        p += 2 - decpt;
        std::memcpy(p, digits, 20);
        return p + n;
    }
    if (decpt >= n) { // "ddd000.0": an integer, zeros up to the point
        std::memcpy(p, digits, 20);
        p += n;
        std::memcpy(p, "0000000000000000", 16);
        p += decpt - n;
        std::memcpy(p, ".0", 2);
        return p + 2;
    }
    std::memcpy(p, digits, 20); // "ddd.ddd": the point among the digits
    p += decpt;
    *p++ = '.';
    std::memcpy(p, digits + decpt, 20);
    return p + (n - decpt);
}

// "d.ddde+XX" (or "de-XX" for one digit): repr's scientific form, the
// exponent with at least two digits.
char *write_scientific(char *p, const char *digits, int n, int decpt, std::string_view plus) {
    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, 20);
        p += n - 1;
    }
    *p++ = 'e';
    int x = decpt - 1;
    if (x < 0) {
        *p++ = '-';
        x = -x;
    } else {
        std::memcpy(p, plus.data(), plus.size());
        p += plus.size();
    }
    if (x >= 100) {
        *p++ = static_cast<char>('0' + x / 100);
        x %= 100;
    }
    put_two_digits(p, static_cast<std::uint32_t>(x));
    return p + 2;
}

} // namespace

ShortestDecimal shortest_decimal(double d) {
    u64 bits;
    std::memcpy(&bits, &d, sizeof bits);
    const u64 fraction = bits & (kHiddenBit - 1);
    const int biased_exponent = static_cast<int>(bits >> 52) & 0x7ff;
    ShortestDecimal r;
    if (biased_exponent == 0) {
        r = subnormal_digits(d);
    } else {
        const u64 c = kHiddenBit | fraction;
        const int q = biased_exponent - 1075;
        if (q < 0 && q > -53 && (c & ((u64{1} << -q) - 1)) == 0)
            r = {c >> -q, 0}; // an integer below 2**53 is its own shortest form
        else
            r = interval_digits(q, c);
    }
    while (r.digits % 10 == 0) {
        r.digits /= 10;
        ++r.exponent;
    }
    return r;
}

std::size_t write_double_repr(char *out, double d, std::string_view plus) {
    char *p = out;
    if (std::signbit(d)) {
        *p++ = '-';
        d = -d;
    }
    if (d == 0) {
        std::memcpy(p, "0.0", 3);
        return static_cast<std::size_t>(p + 3 - out);
    }
    const ShortestDecimal shortest = shortest_decimal(d);
    char buffer[48]; // the digits end at buffer + 20; the rest is slack for the copies
    char *digits = digits_ending_at(buffer + 20, shortest.digits);
    const int n = static_cast<int>(buffer + 20 - digits);
    const int decpt = n + shortest.exponent; // where the point falls, counted from the first digit
    p = decpt > -4 && decpt <= 16 ? write_positional(p, digits, n, decpt)
                                  : write_scientific(p, digits, n, decpt, plus);
    return static_cast<std::size_t>(p - out);
}

} // namespace zelmo
