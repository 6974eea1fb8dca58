"""Reference values for the tests of the Compton and pair-production kernels, from mpmath.

1. The Klein-Nishina reduction of Compton losses, from the cross-section.

An electron of Lorentz factor γ ≫ 1 in isotropic photons of energy ε (units of m_e c²) and
energy density u loses energy at the rate (4/3) σ_T c γ² u f_KN(b), b = 4γε. In the electron's
rest frame a photon met at lab angle θ (μ = cos θ) arrives head-on with energy x = b (1 − μ)/4,
at the rate c (1 − μ) per unit density; it leaves at the scattering angle Θ with
x' = x / (1 + x (1 − cos Θ)) and, back in the lab, with energy γ x' (1 − cos Θ). So

    f_KN(b) = 3/b ∫_{-1}^{1} dμ/2 (1 − μ) S(b (1 − μ)/4),
    S(x) = ∫ dΩ (dσ_KN/dΩ) / σ_T · x' (1 − cos Θ),
    dσ_KN/dΩ = 3σ_T/(16π) (x'/x)² (x'/x + x/x' − sin² Θ).

This uses nothing of the inverse-Compton emissivity kernel; the C++ tests compare the power that
kernel radiates with these values. Thomson limit: S = x, f_KN = 1.

2. The isotropic average of the pair-production cross-section (units of σ_T) by direct
quadrature, σ̄(s0) = 2/s0² ∫_1^s0 s σ(s) ds, with (β = √(1 − 1/s))

    σ(s) = 3/16 (1 − β²) [(3 − β⁴) ln((1 + β)/(1 − β)) − 2β (2 − β²)].

Usage: python scripts/radiation_reference_values.py   (prints C++ initialisers {argument, value})
"""

from __future__ import annotations

import mpmath as mp

B_VALUES = ("1e-3", "0.1", "1", "10", "100", "1000")
S0_VALUES = ("1.0001", "1.01", "1.0989", "1.1", "1.5", "3", "10", "100", "1e4", "1e8", "1e12")


def scattered_power(x: mp.mpf) -> mp.mpf:
    """S(x) in units of σ_T: ∫ dΩ (dσ/dΩ)/σ_T x' (1 − cos Θ)."""

    def integrand(c: mp.mpf) -> mp.mpf:
        xp = x / (1 + x * (1 - c))
        r = xp / x
        return 2 * mp.pi * 3 / (16 * mp.pi) * r * r * (r + 1 / r - (1 - c * c)) * xp * (1 - c)

    return mp.quad(integrand, [-1, 0, 1])


def f_kn(b: mp.mpf) -> mp.mpf:
    def integrand(mu: mp.mpf) -> mp.mpf:
        return (1 - mu) / 2 * scattered_power(b * (1 - mu) / 4)

    return 3 / b * mp.quad(integrand, [-1, 0, 1])


def pair_cross_section(s0: mp.mpf) -> mp.mpf:
    def sigma(s: mp.mpf) -> mp.mpf:
        b = mp.sqrt(1 - 1 / s)
        return (
            mp.mpf(3)
            / 16
            * (1 - b * b)
            * ((3 - b**4) * mp.log((1 + b) / (1 - b)) - 2 * b * (2 - b * b))
        )

    cuts = [c for c in (1.01, 1.1, 2, 10, 100, 1e4, 1e6, 1e8, 1e10) if c < s0]
    return 2 / s0**2 * mp.quad(lambda s: s * sigma(s), [1, *cuts, s0])


def main() -> None:
    mp.mp.dps = 20
    print("f_KN(b):")
    for text in B_VALUES:
        print(f"    {{{text}, {mp.nstr(f_kn(mp.mpf(text)), 12)}}},")
    mp.mp.dps = 30
    print("sigma_bar(s0) / sigma_T:")
    for text in S0_VALUES:
        value = pair_cross_section(mp.mpf(text))
        print(f"    {{{text}, {mp.nstr(value, 17, min_fixed=-1, max_fixed=-1)}}},")


if __name__ == "__main__":
    main()
