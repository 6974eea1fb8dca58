"""2. Inverse Compton of the reference electrons on a line and on a tabulated seed field
(Thomson), against naima and agnpy and the exact SciPy references."""

from __future__ import annotations

import math
import time
from collections.abc import Callable

from problem import (
    IC_FREQS,
    LINE_NU0,
    LINE_U0,
    TABLE_SEED_I,
    TABLE_SEED_POINTS,
    electron_grid,
    errors,
)
from runner import Context, Report, Row, time_section


def run(report: Report, context: Context) -> None:
    settings, quick, cache = context.settings, context.quick, context.cache_dir
    import numpy as np
    import peers
    import reference

    import sorvex

    electrons = reference.BrokenPowerLaw()
    freqs = np.geomspace(*IC_FREQS)
    f_list = freqs.tolist()
    t0 = time.perf_counter()
    j_line, hit_line = reference.ic_monochromatic(freqs, LINE_NU0, LINE_U0, electrons, cache)
    seed = reference.PowerLawSeed(freqs[0], freqs[TABLE_SEED_POINTS - 1], TABLE_SEED_I, 0.5)
    j_table, hit_table = reference.ic_tabulated(freqs, seed, electrons, cache)
    cached = hit_line and hit_table
    b_max = 4 * electrons.g_max * reference.H_PLANCK * seed.nu_high / reference.ME_C2
    report.facts.append(
        f"IC references: {'cache' if cached else f'{time.perf_counter() - t0:.1f} s'};"
        f" Klein-Nishina parameter 4γhν₀/(m_e c²) ≤ {b_max:.1e} for every seed photon"
    )
    grids = {
        "100 bins": electron_grid(electrons, 100, True),
        "1000 bins": electron_grid(electrons, 1000, True),
        "3 points": np.array([electrons.g_min, electrons.g_break, electrons.g_max]),
    }
    inu = seed(freqs).tolist()

    # Line: sorvex returns j integrated over directions; divide by 4π for j per steradian.
    section = "2a IC on a line (isotropic)"
    entries: list[tuple[Row, Callable[[], object]]] = []
    for name, g in grids.items():
        g_list, n_list = g.tolist(), electrons(g).tolist()

        def line(g_list=g_list, n_list=n_list):
            return sorvex.ic_iso_monochrome_full(f_list, LINE_U0, LINE_NU0, n_list, g_list)

        j = np.array(line()) / (4 * math.pi)
        entries.append(
            (
                Row(
                    section,
                    f"sorvex ic_iso_monochrome_full, {name}",
                    None,
                    "",
                    *errors(freqs, j, j_line),
                ),
                line,
            )
        )
    naima_sizes = {peers.NAIMA_IC_DEFAULT_NEED: "default", 300: "finer"}
    for size, tag in naima_sizes.items():
        peer = peers.naima_ic_line(freqs, electrons, LINE_NU0, LINE_U0, size)
        entries.append(
            (
                Row(section, peer.label, None, "", *errors(freqs, peer.run(), j_line), None, tag),
                peer.run,
            )
        )
    agnpy_configs = [
        (
            np.geomspace(electrons.g_min, electrons.g_max, 300),
            50,
            2,
            "tuned: γ 300 on [γmin, γmax], μ 50, φ 2 (μ_s = 1)",
        ),
        (
            np.geomspace(electrons.g_min, electrons.g_max, 1000),
            100,
            2,
            "tuned: γ 1000 on [γmin, γmax], μ 100, φ 2",
        ),
    ]
    if not quick:  # its defaults allocate 10^8-element arrays: ~15 s a call
        agnpy_configs.append(
            (np.logspace(1, 9, 200), 100, 50, "default: γ 200 on [1e1, 1e9], μ 100, φ 50")
        )
    for gamma, mu, phi, tag in agnpy_configs:
        peer = peers.agnpy_ic_line(
            freqs, electrons, LINE_NU0, LINE_U0, gamma, mu, phi, "agnpy evaluate_sed_flux_iso_mono"
        )
        entries.append(
            (
                Row(section, peer.label, None, "", *errors(freqs, peer.run(), j_line), None, tag),
                peer.run,
            )
        )
    time_section(report, section, entries, settings)

    # Tabulated seed: sorvex gets I_ν on its output grid; naima the same points, and a finer table.
    section = "2b IC on a tabulated field"
    entries = []
    for name, g in grids.items():
        g_list, n_list = g.tolist(), electrons(g).tolist()

        def table(g_list=g_list, n_list=n_list):
            return sorvex.ic_iso_powlaw_full(f_list, inu, g_list, n_list)

        entries.append(
            (
                Row(
                    section,
                    f"sorvex ic_iso_powlaw_full, {name}",
                    None,
                    "",
                    *errors(freqs, np.array(table()), j_table),
                ),
                table,
            )
        )
    fine = np.geomspace(seed.nu_low, seed.nu_high, 51)
    for table_freqs, size, tag in (
        (freqs, peers.NAIMA_IC_DEFAULT_NEED, "default, seed on the same 8 points"),
        (fine, 300, "finer, seed on 51 points"),
    ):
        peer = peers.naima_ic_table(freqs, table_freqs, electrons, seed, size)
        entries.append(
            (
                Row(section, peer.label, None, "", *errors(freqs, peer.run(), j_table), None, tag),
                peer.run,
            )
        )
    time_section(report, section, entries, settings)
