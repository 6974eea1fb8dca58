"""The reference problem of the synchrotron, inverse-Compton and parallel sections (cgs), and
the helpers that measure results against its exact references."""

from __future__ import annotations

# Electrons: reference.BrokenPowerLaw (index 2 below γ_b = 1e4, 3.5 above, 10 ≤ γ ≤ 1e6).
B_FIELD = 0.1  # G
RADIUS = 1e16  # cm
SYN_FREQS = (1e8, 1e20, 100)  # Hz, log-spaced
IC_FREQS = (1e9, 1e23, 100)  # Hz, log-spaced: the whole Thomson spectrum of γ ≤ 1e6 on 1e9 Hz
LINE_NU0 = 1e9  # Hz, seed line: 4γhν₀/(m_e c²) ≤ 3e-5 for γ ≤ 1e6 (Thomson)
LINE_U0 = 1e-2  # erg cm^-3
TABLE_SEED_POINTS = 8  # seed I ∝ ν^-0.5 on the first 8 IC frequencies (1e9 to 9.6e9 Hz)
TABLE_SEED_I = 1e-10  # erg s^-1 cm^-2 Hz^-1 sr^-1 at 1e9 Hz
# SSC with the full Klein-Nishina cross-section: the blob's own synchrotron intensity (100 bins,
# SYN_FREQS) scattered into 100 frequencies; and a line deep in the Klein-Nishina regime.
SSC_FREQS = (1e9, 1e27, 100)  # Hz, log-spaced
KN_LINE_B_MAX = 100.0  # 4 γ_max h ν₀ / (m_e c²) of the Klein-Nishina line


def errors(freqs, values, reference) -> tuple[float, float]:
    from reference import max_rel_error

    return (
        max_rel_error(freqs, values, reference, 1e-6),
        max_rel_error(freqs, values, reference, 1e-2),
    )


def electron_grid(electrons, n_points: int, break_on_grid: bool):
    """Log-spaced Lorentz factors over [γ_min, γ_max]; with break_on_grid, γ_break is a point
    (60 % of the points below it), so that the power law of each bin is exact."""
    import numpy as np

    if not break_on_grid:
        return np.geomspace(electrons.g_min, electrons.g_max, n_points)
    low = round(0.6 * n_points)
    return np.concatenate(
        [
            np.geomspace(electrons.g_min, electrons.g_break, low),
            np.geomspace(electrons.g_break, electrons.g_max, n_points - low + 1)[1:],
        ]
    )


def ssc_seed(electrons, gamma):
    """(ν, I_ν) of the SSC problems: the intensity of the blob (B_FIELD, RADIUS) of electrons on
    the grid `gamma` at SYN_FREQS, from the accurate synchrotron kernel and sorvex's transfer."""
    import numpy as np

    import sorvex
    from sorvexfit import kernels

    nu = np.geomspace(*SYN_FREQS)
    j, alpha = kernels.synchrotron(nu, gamma, electrons(gamma), B_FIELD)
    return nu, np.array(sorvex.rad_trans_blob(RADIUS, j, alpha))
