"""3. One implicit Fokker-Planck step against a NumPy/SciPy Chang-Cooper step."""

from __future__ import annotations

import math

from problem import B_FIELD, RADIUS
from runner import Context, Report, Row, time_section

FP_TOLERANCE = 1e-8  # sorvex and NumPy steps must agree to this (relative, every bin)


def fokker_planck_problem(n: int):
    """Cooling γ̇ = bγ² (synchrotron in B_FIELD), hard-sphere diffusion D = γ²/t_acc, injection
    ∝ γ^-2 on [10, 1e4], escape after one light-crossing time, dt = one light-crossing time;
    the start distribution is the reference broken power law."""
    import numpy as np
    import reference

    gamma = np.geomspace(2.0, 1e6, n)
    u_b = B_FIELD**2 / (8 * math.pi)
    b = 4 * reference.SIGMA_T * reference.C_LIGHT * u_b / (3 * reference.ME_C2)  # s^-1
    tlc = RADIUS / reference.C_LIGHT
    inj = np.where((gamma >= 10) & (gamma <= 1e4), 1e-6 * (gamma / 10) ** -2.0, 0.0)
    start = reference.BrokenPowerLaw()(gamma)
    return (tlc, gamma, start, b * gamma**2, gamma**2 / 1e5, inj, tlc, tlc)


def run(report: Report, context: Context) -> None:
    settings = context.settings
    import chang_cooper
    import numpy as np

    import sorvex

    failures = []
    for n in (100, 300, 1000):
        args = fokker_planck_problem(n)
        as_lists = [a.tolist() if isinstance(a, np.ndarray) else a for a in args]
        ours = np.array(sorvex.fp_findif_difu(*as_lists))
        theirs = chang_cooper.step(*args)
        diff = float(np.max(np.abs(ours / theirs - 1)))
        if not diff <= FP_TOLERANCE:
            failures.append(f"n={n}: {diff:.1e}")
        section = "3 Fokker-Planck step"
        entries = [
            (
                Row(section, f"sorvex fp_findif_difu, n={n} (lists)", j_err=diff),
                lambda a=as_lists: sorvex.fp_findif_difu(*a),
            ),
            (
                Row(section, f"NumPy Chang-Cooper + solve_banded, n={n}", j_err=diff),
                lambda a=args: chang_cooper.step(*a),
            ),
        ]
        time_section(report, section, entries, settings)
    # The closed-form solution: one Bessel series per point (its Gamma product is computed
    # once per process, so 10^4 points take milliseconds, not the ~15 s of recomputing it).
    g = [1.0 + 10.0 ** (6 * k / 9999) for k in range(10_000)]
    sorvex.eq_59_park1995(1.0, g[:1])
    entries = [
        (Row(section, "sorvex eq_59_park1995, 10^4 points"), lambda: sorvex.eq_59_park1995(1.0, g))
    ]
    time_section(report, section, entries, settings)
    report.goals.append(
        f"3 Fokker-Planck: sorvex and the NumPy step agree to {FP_TOLERANCE:g} in every bin: "
        + ("yes" if not failures else "NO (" + "; ".join(failures) + ")")
    )
