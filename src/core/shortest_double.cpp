// Shortest digits by the interval method of R. Giulietti's "The Schubfach way
// to render doubles": the double's rounding interval is scaled by a power of
// ten, taken from a table of 126-bit approximations, so that it holds one or
// two integers; the candidates with one digit fewer are tried first.  One
// 128-bit multiplication per bound, no loop over digits.
//
// Subnormals below the smallest normal double keep the standard library's
// shortest conversion: with so few significant bits the interval can be too
// wide for the one-digit-fewer step to find the shortest form.
#include "core/shortest_double.hpp"

#include <charconv>
#include <cstring>

namespace zelmo {
namespace {

using u64 = std::uint64_t;
using u128 = unsigned __int128;

constexpr int kMinK = -324;
constexpr u64 kHiddenBit = u64{1} << 52;
constexpr int kMinBinaryExponent = -1074;

struct Pow10 {
    u64 high, low; // g >> 63 and g & (2**63 - 1)
};
constexpr Pow10 kPow10[] = {
#include "core/pow10_table.inc"
};

// floor(q * log10(2)), floor(log10(3/4 * 2**q)), floor(e * log2(10)), exact
// over the exponents of doubles (checked by scripts/make_pow10_table.py's
// arithmetic and the tests against repr).
constexpr int floor_log10_pow2(int q) { return static_cast<int>((q * 661971961083LL) >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) {
    return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}
constexpr int floor_log2_pow10(int e) { return static_cast<int>((e * 913124641741LL) >> 38); }

// (g * cp) >> 127, rounded to odd: enough to decide which integers the
// scaled interval holds.
inline u64 round_to_odd(const Pow10 &g, u64 cp) {
    u128 x = static_cast<u128>(g.low) * cp;
    u128 y = static_cast<u128>(g.high) * cp;
    u64 x1 = static_cast<u64>(x >> 64);
    u64 y0 = static_cast<u64>(y);
    u64 y1 = static_cast<u64>(y >> 64);
    u64 z = (y0 >> 1) + x1;
    u64 vbp = y1 + (z >> 63);
    return vbp | (((z & ~(u64{1} << 63)) + ~(u64{1} << 63)) >> 63);
}

// The shortest digits of c * 2**q (c the significand with its hidden bit).
ShortestDecimal interval_digits(int q, u64 c) {
    const u64 out = c & 1; // an odd significand's interval excludes its bounds
    const u64 cb = c << 2;
    const u64 cbr = cb + 2;
    u64 cbl;
    int k;
    if (c != kHiddenBit || q == kMinBinaryExponent) {
        cbl = cb - 2;
        k = floor_log10_pow2(q);
    } else { // a power of two: the interval below is half as wide
        cbl = cb - 1;
        k = floor_log10_three_quarters_pow2(q);
    }
    const int h = q + floor_log2_pow10(-k) + 2;
    const Pow10 &g = kPow10[k - kMinK];
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
    char sci[32];
    const char *end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
    u64 digits = 0;
    int fraction_digits = 0;
    const char *p = sci;
    for (; *p != 'e'; ++p) {
        if (*p == '.')
            continue;
        digits = digits * 10 + static_cast<u64>(*p - '0');
        if (p > sci)
            ++fraction_digits;
    }
    int exponent = 0;
    const bool negative = p[1] == '-';
    for (p += 2; p < end; ++p)
        exponent = exponent * 10 + (*p - '0');
    return {digits, (negative ? -exponent : exponent) - fraction_digits};
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

} // namespace zelmo
