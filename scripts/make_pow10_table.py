"""Writes src/core/pow10_table.inc: for each decimal exponent k the shortest
float formatter needs (-324 to 292), g = floor(10**-k / 2**r) + 1 with r
chosen so that 2**125 <= g < 2**126, as its high and low 63-bit halves.

    python3 scripts/make_pow10_table.py

Exact integer arithmetic throughout; the file is committed, so builds do not
run this."""
from fractions import Fraction
from pathlib import Path
import math

K_MIN, K_MAX = -324, 292


def floor_log2_pow10(e):
    return (e * 913124641741) >> 38


def main():
    lines = []
    for k in range(K_MIN, K_MAX + 1):
        r = floor_log2_pow10(-k) - 125
        g = math.floor(Fraction(10) ** -k / Fraction(2) ** r) + 1
        assert 1 << 125 <= g < 1 << 126
        lines.append("    {{0x{:016x}, 0x{:016x}}}, // {}".format(g >> 63, g & (1 << 63) - 1, k))
    out = Path(__file__).resolve().parent.parent / "src" / "core" / "pow10_table.inc"
    out.write_text("// Written by scripts/make_pow10_table.py; do not edit.\n"
                   "// {{g >> 63, g & (2**63 - 1)}} for k = {} to {}.\n".format(K_MIN, K_MAX)
                   + "\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
