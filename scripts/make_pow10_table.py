"""Writes src/core/pow10_table.inc, the table of powers of ten that the
shortest-digit conversion of doubles (src/core/double_repr.cpp) scales by,
with the exact values its fast logarithm formulas are checked against when it
compiles.

    python3 scripts/make_pow10_table.py

A double is c * 2**q with q from -1074 to 971.  The conversion scales its
rounding interval by 10**-k, k = floor(log10(2**q)) (or floor(log10(3/4 *
2**q)) when c is a power of two, whose interval below is half as wide), so
the table holds one entry for each k those give: 10**-k = g * 2**r, g
rounded up, with 2**125 <= g < 2**126, as g's high and low 63-bit halves.
Exact integer arithmetic throughout; the file is committed, so builds do not
run this."""
from fractions import Fraction
import math
from pathlib import Path

Q_MIN, Q_MAX = -1074, 971  # the binary exponents of doubles, stated here once


def floor_log2(x):
    """floor(log2(x)) of a positive Fraction."""
    e = x.numerator.bit_length() - x.denominator.bit_length()
    return e if Fraction(2) ** e <= x else e - 1


def floor_log10(x):
    """floor(log10(x)) of a positive Fraction."""
    k = (floor_log2(x) * 30103) // 100000  # within one of the answer
    while Fraction(10) ** k > x:
        k -= 1
    while Fraction(10) ** (k + 1) <= x:
        k += 1
    return k


def c_array(declaration, values, per_line=16):
    rows = [", ".join(str(v) for v in values[i:i + per_line])
            for i in range(0, len(values), per_line)]
    return "{} = {{\n    {}}};\n".format(declaration, ",\n    ".join(rows))


def main():
    qs = range(Q_MIN, Q_MAX + 1)
    log10_pow2 = [floor_log10(Fraction(2) ** q) for q in qs]
    log10_three_quarters_pow2 = [floor_log10(Fraction(3, 4) * Fraction(2) ** q) for q in qs]
    k_min = min(log10_pow2 + log10_three_quarters_pow2)
    k_max = max(log10_pow2 + log10_three_quarters_pow2)
    entries, log2_pow10 = [], []
    for k in range(k_min, k_max + 1):
        power = Fraction(10) ** -k
        log2_pow10.append(floor_log2(power))
        r = log2_pow10[-1] - 125
        g = math.floor(power / Fraction(2) ** r) + 1
        assert 1 << 125 <= g < 1 << 126
        entries.append("    {{0x{:016x}, 0x{:016x}}}, // {}".format(g >> 63, g & (1 << 63) - 1, k))
    text = (
        "// Written by scripts/make_pow10_table.py; do not edit.\n"
        "constexpr int kMinBinaryExponent = {}, kMaxBinaryExponent = {};\n"
        "constexpr int kPow10MinK = {}, kPow10MaxK = {};\n\n"
        "// {{g >> 63, g & (2**63 - 1)}} for k = kPow10MinK to kPow10MaxK.\n"
        "constexpr Pow10 kPow10[] = {{\n{}\n}};\n\n"
        "// For the compile-time checks only: the exact floor(log2(10**-k)) for each\n"
        "// k of the table, and floor(log10(2**q)) and floor(log10(3/4 * 2**q)) for\n"
        "// q = kMinBinaryExponent to kMaxBinaryExponent.\n"
    ).format(Q_MIN, Q_MAX, k_min, k_max, "\n".join(entries))
    text += c_array("constexpr short kExactLog2Pow10[]", log2_pow10)
    text += c_array("constexpr short kExactLog10Pow2[]", log10_pow2)
    text += c_array("constexpr short kExactLog10ThreeQuartersPow2[]", log10_three_quarters_pow2)
    out = Path(__file__).resolve().parent.parent / "src" / "core" / "pow10_table.inc"
    out.write_text(text)


if __name__ == "__main__":
    main()
