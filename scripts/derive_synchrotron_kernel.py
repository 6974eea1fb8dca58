"""Derives the coefficients of the pitch-angle-averaged synchrotron kernel from mpmath.

The kernel of an electron with isotropic pitch angles (Crusius & Schlickeiser 1986) is

    R(x) = x²/2 · [K_{4/3}(z) K_{1/3}(z) − 3/5 · z · (K_{4/3}(z)² − K_{1/3}(z)²)],   z = x/2,

with x = ν/ν_c and ν_c = 3/2 γ² ν_B. Two forms cover 0 < x < ∞:

    x ≤ 2:  R = x^{1/3} · S(x^{2/3}).  R is x^{1/3} times an entire function of x^{2/3} (the
            small-x series of the products of K_{4/3} and K_{1/3}); S is fitted by a Chebyshev
            interpolant in s = x^{2/3} on [0, 2^{2/3}].
    x > 2:  R = e^{-x} · A(1/x).  A → π/2 as x → ∞ (the asymptotic form); A is fitted by a
            Chebyshev interpolant in u = 1/x on [0, 1/2].

Each interpolant takes its values at Chebyshev points of the first kind, in 40-digit arithmetic.
The script then evaluates the rounded coefficients exactly as the C++ code does (Clenshaw's
recurrence in double precision) on a dense grid and checks the relative error against mpmath;
it fails if the error exceeds MAX_ERROR. It also checks the closed form against the direct
pitch-angle average (1/2) ∫_0^π sin²θ F(x / sin θ) dθ with F(y) = y ∫_y^∞ K_{5/3}(t) dt.

Usage:
    python scripts/derive_synchrotron_kernel.py            # writes the header, verifies
    python scripts/derive_synchrotron_kernel.py --check    # verifies the committed header only
    python scripts/derive_synchrotron_kernel.py --values   # prints reference values for tests
"""

from __future__ import annotations

import argparse
import math
import re
import sys
from pathlib import Path

import mpmath as mp
from generated_header import clang_format

ROOT = Path(__file__).resolve().parents[1]
HEADER = ROOT / "src/core/radiation/exact/synchrotron_kernel_coefficients.hpp"

SPLIT = 2.0  # x at which the small-x form gives way to the large-x form
SMALL_DEGREE = 13
LARGE_DEGREE = 19
MAX_ERROR = 1e-9  # largest relative error accepted on the verification grid
LARGEST_X = 700.0  # beyond, R < 1e-304 and leaves the normal doubles soon after
DIGITS = 40


def kernel(x: mp.mpf) -> mp.mpf:
    """R(x) from the modified Bessel functions, in the working precision."""
    z = x / 2
    k43 = mp.besselk(mp.mpf(4) / 3, z)
    k13 = mp.besselk(mp.mpf(1) / 3, z)
    return x * x / 2 * (k43 * k13 - mp.mpf(3) / 5 * z * (k43 - k13) * (k43 + k13))


def small_x_part(s: mp.mpf) -> mp.mpf:
    """S(s) = R(x) / x^{1/3} at s = x^{2/3}; its limit at s = 0 from the leading terms."""
    if s == 0:
        # R → 2^{1/3} Γ(1/3) Γ(4/3)/... : the x^{1/3} coefficient, from the first terms of K_ν.
        g13, g43 = mp.gamma(mp.mpf(1) / 3), mp.gamma(mp.mpf(4) / 3)
        z_coefficient = g43 * g13 * mp.mpf(2) ** (mp.mpf(5) / 3) / 2 - mp.mpf(3) / 10 * g43**2 * (
            mp.mpf(2) ** (mp.mpf(8) / 3)
        )
        return z_coefficient / mp.cbrt(2)
    x = s ** (mp.mpf(3) / 2)
    return kernel(x) / mp.cbrt(x)


def large_x_part(u: mp.mpf) -> mp.mpf:
    """A(u) = R(x) e^x at u = 1/x; π/2 at u = 0."""
    if u == 0:
        return mp.pi / 2
    x = 1 / u
    return kernel(x) * mp.exp(x)


def chebyshev_interpolant(f, a: mp.mpf, b: mp.mpf, degree: int) -> list[mp.mpf]:
    """Coefficients c_k of Σ c_k T_k(t), t = (2v − a − b)/(b − a), interpolating f at the
    degree + 1 Chebyshev points of the first kind in [a, b]."""
    n = degree + 1
    values = []
    for j in range(n):
        t = mp.cos(mp.pi * (j + mp.mpf(1) / 2) / n)
        values.append(f((a + b) / 2 + (b - a) / 2 * t))
    coefficients = []
    for k in range(n):
        total = mp.fsum(values[j] * mp.cos(mp.pi * k * (j + mp.mpf(1) / 2) / n) for j in range(n))
        coefficients.append(total * 2 / n)
    coefficients[0] /= 2
    return coefficients


def clenshaw(coefficients: list[float], t: float) -> float:
    """Σ c_k T_k(t) in double precision, in the operation order of the C++ code."""
    b1 = 0.0
    b2 = 0.0
    two_t = t + t
    for c in reversed(coefficients[1:]):
        b1, b2 = c + two_t * b1 - b2, b1
    return coefficients[0] + t * b1 - b2


def evaluate(x: float, small: list[float], large: list[float]) -> float:
    """The kernel in double precision, as the C++ code evaluates it."""
    if x <= SPLIT:
        c = math.cbrt(x)
        s = c * c
        return c * clenshaw(small, s * SMALL_SCALE - 1.0)
    return math.exp(-x) * clenshaw(large, (4.0 / x) - 1.0)


SMALL_SCALE = 2.0 / SPLIT ** (2.0 / 3.0)  # maps s = x^{2/3} on [0, SPLIT^{2/3}] to [-1, 1]


def derive() -> tuple[list[float], list[float]]:
    mp.mp.dps = DIGITS
    s_split = mp.mpf(SPLIT) ** (mp.mpf(2) / 3)
    small = chebyshev_interpolant(small_x_part, mp.mpf(0), s_split, SMALL_DEGREE)
    large = chebyshev_interpolant(large_x_part, mp.mpf(0), 1 / mp.mpf(SPLIT), LARGE_DEGREE)
    return [float(c) for c in small], [float(c) for c in large]


def verification_grid() -> list[float]:
    """Log-spaced x over 1e-12 .. 700, and a dense band around the split."""
    points = [10 ** (-12 + 14.845 * k / 4000) for k in range(4001)]
    points += [SPLIT * (1 + d * 1e-4) for d in range(-50, 51)]
    points += [math.nextafter(SPLIT, 0.0), SPLIT, math.nextafter(SPLIT, 10.0)]
    return sorted(p for p in points if p <= LARGEST_X)


def verify(small: list[float], large: list[float]) -> float:
    mp.mp.dps = 24  # R(700) loses 3 digits to cancellation: 21 remain
    worst = 0.0
    for x in verification_grid():
        exact = kernel(mp.mpf(x))
        error = abs(float(mp.mpf(evaluate(x, small, large)) / exact - 1))
        worst = max(worst, error)
    return worst


def check_pitch_angle_average() -> float:
    """Largest relative difference between the closed form and the direct average."""
    mp.mp.dps = 16

    def single(y: mp.mpf) -> mp.mpf:
        return y * mp.quad(lambda t: mp.besselk(mp.mpf(5) / 3, t), [y, 2 * y + 1, mp.inf])

    worst = 0.0
    for x in (1e-3, 0.3, 2.0, 20.0):
        xm = mp.mpf(x)
        average = mp.quad(
            lambda th, xm=xm: mp.sin(th) ** 2 * single(xm / mp.sin(th)), [0, mp.pi / 2]
        )
        worst = max(worst, abs(float(average / kernel(xm) - 1)))
    return worst


def render(small: list[float], large: list[float], error: float) -> str:
    def array(name: str, values: list[float]) -> str:
        body = "\n".join(f"    {v!r}," for v in values)
        return f"inline constexpr std::array<double, {len(values)}> {name} = {{\n{body}\n}};\n"

    points = len(verification_grid())
    return f"""\
// Generated by scripts/derive_synchrotron_kernel.py from mpmath ({DIGITS} digits); do not edit.
// Chebyshev coefficients of the pitch-angle-averaged synchrotron kernel R(x):
//   x <= {SPLIT}: R = x^(1/3) sum small_x[k] T_k(2 x^(2/3) / {SPLIT}^(2/3) - 1)
//   x >  {SPLIT}: R = e^-x    sum large_x[k] T_k(4 / x - 1)
// Largest relative error on {points} points in [1e-12, {LARGEST_X:g}]: {error:.1e}.
#pragma once

#include <array>

namespace sorvex::exact::kernel_coefficients {{

inline constexpr double split = {SPLIT!r};

{array("small_x", small)}
{array("large_x", large)}
}} // namespace sorvex::exact::kernel_coefficients
"""


def read_header() -> tuple[list[float], list[float]]:
    text = HEADER.read_text()
    arrays = re.findall(r"= \{\n(.*?)\n\};", text, re.S)
    small, large = ([float(v) for v in body.replace(",", " ").split()] for body in arrays)
    return small, large


def print_values() -> None:
    """Reference values for the C++ tests, to 17 significant digits."""
    mp.mp.dps = DIGITS
    for x in (
        "1e-10",
        "1e-4",
        "0.01",
        "0.1",
        "0.29",
        "1",
        "1.9999",
        "2",
        "2.0001",
        "5",
        "30",
        "200",
        "650",
    ):
        print(f"    {{{x}, {mp.nstr(kernel(mp.mpf(x)), 17, min_fixed=-1, max_fixed=-1)}}},")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="verify the committed header only")
    parser.add_argument("--values", action="store_true", help="print test reference values")
    args = parser.parse_args()
    if args.values:
        print_values()
        return 0
    if args.check:
        small, large = read_header()
    else:
        small, large = derive()
    error = verify(small, large)
    print(f"largest relative error of the fit: {error:.2e}")
    if error > MAX_ERROR:
        print(f"error above {MAX_ERROR:g}: raise the degrees", file=sys.stderr)
        return 1
    average = check_pitch_angle_average()
    print(f"closed form against the direct pitch-angle average: {average:.1e}")
    if average > 1e-11:
        print("the closed form disagrees with the direct average", file=sys.stderr)
        return 1
    if not args.check:
        HEADER.parent.mkdir(parents=True, exist_ok=True)
        HEADER.write_text(clang_format(render(small, large, error), HEADER))
        print(f"wrote {HEADER.relative_to(ROOT)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
