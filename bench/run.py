"""make bench: sorvex side by side with naima, agnpy and NumPy/SciPy, in one run on this machine.

Prints one table, ratios first, then the goals. Sections:
  1. synchrotron SED of the reference broken power law, against naima and agnpy;
  2. inverse Compton of the same electrons on a line and on a tabulated seed field (Thomson);
  3. one implicit Fokker-Planck step against a NumPy/SciPy Chang-Cooper step;
  4. parallel speed-up of the threaded functions, and the cost of converting arguments.
Accuracy is the largest relative error against the SciPy references of bench/reference.py over
the frequencies where ν j_ν exceeds 1e-6 of its peak ("err"), and 1e-2 of its peak ("core").

Usage: python bench/run.py [--quick] [--cache-dir DIR]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path

import timing

ROOT = Path(__file__).resolve().parent.parent

# The reference problem (cgs): electrons and field of the synchrotron and IC sections.
B_FIELD = 0.1  # G
RADIUS = 1e16  # cm
SYN_FREQS = (1e8, 1e20, 100)  # Hz, log-spaced
IC_FREQS = (1e9, 1e23, 100)  # Hz, log-spaced: the whole Thomson spectrum of γ ≤ 1e6 on 1e9 Hz
LINE_NU0 = 1e9  # Hz, seed line: 4γhν₀/(m_e c²) ≤ 3e-5 for γ ≤ 1e6 (Thomson)
LINE_U0 = 1e-2  # erg cm^-3
TABLE_SEED_POINTS = 8  # seed I ∝ ν^-0.5 on the first 8 IC frequencies (1e9 to 9.6e9 Hz)
TABLE_SEED_I = 1e-10  # erg s^-1 cm^-2 Hz^-1 sr^-1 at 1e9 Hz

GOAL_SPEEDUP = 10.0
GOAL_EFFICIENCY = 0.85
SERIAL_BELOW_SECONDS = 40e-6
GOAL_LIST_NS = 10.0
GOAL_ARRAY_NS = 1.0
FP_TOLERANCE = 1e-8  # sorvex and NumPy steps must agree to this (relative, every bin)
LOAD_AT_START = os.getloadavg()


@dataclass
class Row:
    section: str
    label: str
    seconds: float | None = None
    ratio: str = ""
    j_err: float | None = None
    j_core: float | None = None
    a_err: float | None = None
    note: str = ""


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    goals: list[str] = field(default_factory=list)
    facts: list[str] = field(default_factory=list)


def log(message: str) -> None:
    print(f"bench: {message}", file=sys.stderr, flush=True)


def pool_size() -> int:
    """The sorvex worker pool size in this process (its documented rule)."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
    return os.cpu_count() or 1


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


def pick(ladder: Sequence[tuple[int, float]], target: float) -> tuple[int | None, int]:
    """From (size, error) pairs in increasing size: the smallest size reaching `target` (None if
    none does), and the smallest size within 2 % of the best error of the ladder."""
    reaching = next((size for size, err in ladder if err <= target), None)
    floor = min(err for _, err in ladder)
    best = next(size for size, err in ladder if err <= 1.02 * floor)
    return reaching, best


# ---------------------------------------------------------------------------------------------
# 1. Synchrotron


def synchrotron_section(report: Report, settings: timing.Settings, quick: bool, cache: Path):
    import numpy as np
    import peers
    import reference

    import sorvex

    electrons = reference.BrokenPowerLaw()
    freqs = np.geomspace(*SYN_FREQS)
    t0 = time.perf_counter()
    j_ref, a_ref, hit = reference.synchrotron(freqs, electrons, B_FIELD, cache)
    report.facts.append(
        f"synchrotron reference: {'cache' if hit else f'{time.perf_counter() - t0:.1f} s'};"
        f" optical depth 2Rα from {2 * RADIUS * a_ref.min():.1e} to {2 * RADIUS * a_ref.max():.1e}"
    )
    f_list = freqs.tolist()

    # sorvex: three electron grids; the inputs are Python lists, as from a fit loop.
    grids = {
        "100 bins, γ_b on the grid": electron_grid(electrons, 100, True),
        "100 uniform log bins (γ_b inside one)": electron_grid(electrons, 100, False),
        "3 points (exact for a broken power law)": np.array(
            [electrons.g_min, electrons.g_break, electrons.g_max]
        ),
    }
    sorvex_calls: dict[str, tuple[Callable[[], object], Callable[[], object]]] = {}
    sorvex_acc: dict[str, tuple[float, float, float]] = {}
    for name, g in grids.items():
        g_list, n_list = g.tolist(), electrons(g).tolist()

        def thin(g_list=g_list, n_list=n_list):
            return sorvex.syn_emissivity_full(f_list, g_list, n_list, B_FIELD, False)

        def absorbed(g_list=g_list, n_list=n_list):
            j, a = sorvex.syn_emissivity_full(f_list, g_list, n_list, B_FIELD, True)
            return sorvex.rad_trans_blob(RADIUS, j, a)

        sorvex_calls[name] = (thin, absorbed)
        j, a = sorvex.syn_emissivity_full(f_list, g_list, n_list, B_FIELD, True)
        sorvex_acc[name] = (
            *errors(freqs, np.array(j), j_ref),
            errors(freqs, np.array(a), a_ref)[0],
        )
    target = sorvex_acc[next(iter(grids))][0]

    # Peers: accuracy over a ladder of grid sizes (untimed), then time the default, the
    # cheapest setting that reaches sorvex's error, and the one that reaches their own best.
    naima_ladder_sizes = [20, 50, 100, 150, 200, 300, 500] + ([] if quick else [700, 1000])
    agnpy_ladder_sizes = [100, 200, 500, 1000, 1500, 2000, 3000] + ([] if quick else [5000])
    naima_ladder = [
        (k, errors(freqs, peers.naima_synchrotron(freqs, electrons, B_FIELD, k).run(), j_ref)[0])
        for k in naima_ladder_sizes
    ]
    agnpy_ladder = [
        (
            k,
            errors(
                freqs,
                peers.agnpy_synchrotron(freqs, electrons, B_FIELD, RADIUS, k, False).run(),
                j_ref,
            )[0],
        )
        for k in agnpy_ladder_sizes
    ]
    naima_eq, naima_best = pick(naima_ladder, target)
    agnpy_eq, agnpy_best = pick(agnpy_ladder, target)
    report.facts.append(
        "peer error ladders (size: j err): naima nEed "
        + ", ".join(f"{k}: {e:.2e}" for k, e in naima_ladder)
        + "; agnpy gamma_e_size "
        + ", ".join(f"{k}: {e:.2e}" for k, e in agnpy_ladder)
    )

    def roles(default: int, equal: int | None, best: int) -> dict[int, str]:
        tags: dict[int, list[str]] = {}
        for size, tag in ((default, "default"), (equal, "reaches sorvex err"), (best, "best")):
            if size is not None:
                tags.setdefault(size, []).append(tag)
        return {size: ", ".join(t) for size, t in sorted(tags.items())}

    naima_roles = roles(peers.NAIMA_SYN_DEFAULT_NEED, naima_eq, naima_best)
    agnpy_roles = roles(peers.AGNPY_DEFAULT_GAMMA_SIZE, agnpy_eq, agnpy_best)

    for with_abs in (False, True):
        section = "1b synchrotron j + α → blob SED" if with_abs else "1a synchrotron j (thin)"
        entries: list[tuple[Row, Callable[[], object]]] = []
        for name, (thin, absorbed) in sorvex_calls.items():
            err, core, a_err = sorvex_acc[name]
            fn = absorbed if with_abs else thin
            label = f"sorvex syn_emissivity_full, {name}"
            if with_abs:
                label += " + rad_trans_blob"
            entries.append(
                (Row(section, label, None, "", err, core, a_err if with_abs else None), fn)
            )
        if not with_abs:
            for size, tag in naima_roles.items():
                peer = peers.naima_synchrotron(freqs, electrons, B_FIELD, size)
                err, core = errors(freqs, peer.run(), j_ref)
                entries.append((Row(section, peer.label, None, "", err, core, None, tag), peer.run))
        for size, tag in agnpy_roles.items():
            peer = peers.agnpy_synchrotron(freqs, electrons, B_FIELD, RADIUS, size, with_abs)
            thin_peer = peers.agnpy_synchrotron(freqs, electrons, B_FIELD, RADIUS, size, False)
            err, core = errors(freqs, thin_peer.run(), j_ref)
            a_err = None
            if with_abs:
                alpha = peers.agnpy_absorption(freqs, electrons, B_FIELD, RADIUS, size)
                a_err = errors(freqs, alpha, a_ref)[0]
            entries.append((Row(section, peer.label, None, "", err, core, a_err, tag), peer.run))
        seconds = time_section(report, section, entries, settings)

        # Goal: each sorvex grid against the fastest peer at equal or better j accuracy.
        timed = [(r, s) for (r, _), s in zip(entries, seconds, strict=True)]
        peer_rows = [(r, s) for r, s in timed if not r.label.startswith("sorvex")]
        for row, mine in timed:
            if not row.label.startswith("sorvex") or "uniform" in row.label:
                continue
            assert row.j_err is not None
            grid = row.label.split(", ", 1)[1]
            equal = [(r, s) for r, s in peer_rows if r.j_err is not None and r.j_err <= row.j_err]
            if not equal:
                report.goals.append(
                    f"{section}, sorvex {grid}: no peer setting reaches its error {row.j_err:.2e}"
                )
                continue
            peer, theirs = min(equal, key=lambda rs: rs[1])
            speedup = theirs / mine
            verdict = "MET" if speedup >= GOAL_SPEEDUP else "NOT met"
            report.goals.append(
                f"{section}, sorvex {grid} (err {row.j_err:.2e}): ≥{GOAL_SPEEDUP:.0f}× faster"
                f" than the fastest peer at equal or better accuracy: {verdict}, {speedup:.3g}×"
                f" against {peer.label} (err {peer.j_err:.2e})"
            )


# ---------------------------------------------------------------------------------------------
# 2. Inverse Compton


def compton_section(report: Report, settings: timing.Settings, quick: bool, cache: Path):
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


def time_section(report: Report, section: str, entries, settings: timing.Settings) -> list[float]:
    """Times the entries side by side, appends their rows, returns the best times."""
    log(f"timing {section} ({len(entries)} configurations)")
    seconds = timing.best_times([fn for _, fn in entries], settings)
    for (row, _), s in zip(entries, seconds, strict=True):
        row.seconds = s
        row.ratio = f"{s / seconds[0]:.2f}"
        report.rows.append(row)
    return seconds


# ---------------------------------------------------------------------------------------------
# 3. Fokker-Planck step


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


def fokker_planck_section(report: Report, settings: timing.Settings, quick: bool):
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


# ---------------------------------------------------------------------------------------------
# 4. Threads and argument conversion


def scaling_problems(quick: bool) -> dict[str, Callable[[], object]]:
    """The parallel functions on the reference problem (100 output points each) and larger."""
    import numpy as np
    import reference

    import sorvex

    electrons = reference.BrokenPowerLaw()
    g = electron_grid(electrons, 100, True)
    g_list, n_list = g.tolist(), electrons(g).tolist()
    syn = np.geomspace(*SYN_FREQS).tolist()
    ic = np.geomspace(*IC_FREQS)
    seed = reference.PowerLawSeed(ic[0], ic[TABLE_SEED_POINTS - 1], TABLE_SEED_I, 0.5)
    inu = seed(ic).tolist()
    ic_list = ic.tolist()
    ic_big = np.geomspace(*IC_FREQS[:2], 10_000).tolist()
    # Cooling: the seed field as u_ν = 4π I_ν/c on [1e9, 1e20] Hz, Klein-Nishina on.
    cool_nu = np.geomspace(1e9, 1e20, 100)
    cool_u = (4 * math.pi / reference.C_LIGHT * 1e-10 * (cool_nu / 1e9) ** -0.5).tolist()
    gg100 = np.geomspace(10, 1e6, 100).tolist()
    gg_big = np.geomspace(10, 1e6, 100_000).tolist()
    problems: dict[str, Callable[[], object]] = {
        "syn_emissivity_full 100 ν × 100 bins": lambda: sorvex.syn_emissivity_full(
            syn, g_list, n_list, B_FIELD, False
        ),
        "ic_iso_powlaw_full 100 ν × 100 bins": lambda: sorvex.ic_iso_powlaw_full(
            ic_list, inu, g_list, n_list
        ),
        "ic_iso_monochrome_full 100 ν × 100 bins": lambda: sorvex.ic_iso_monochrome_full(
            ic_list, LINE_U0, LINE_NU0, n_list, g_list
        ),
        "ic_iso_monochrome_full 10^4 ν × 100 bins": lambda: sorvex.ic_iso_monochrome_full(
            ic_big, LINE_U0, LINE_NU0, n_list, g_list
        ),
        "rad_cool_pwl 100 γ × 100 ν, KN": lambda: sorvex.rad_cool_pwl(
            gg100, cool_nu.tolist(), cool_u, True
        ),
        "rad_cool_mono 100 γ, KN": lambda: sorvex.rad_cool_mono(gg100, 1e15, 1.0, True),
        "rad_cool_mono 10^5 γ, KN": lambda: sorvex.rad_cool_mono(gg_big, 1e15, 1.0, True),
    }
    return problems


def scaling_child(quick: bool, settings: timing.Settings) -> None:
    """Runs in a subprocess whose pool size is fixed by RAYON_NUM_THREADS: prints JSON times."""
    problems = scaling_problems(quick)
    seconds = timing.best_times(list(problems.values()), settings)
    cores = [timing.cores_used(fn, settings.min_sample) for fn in problems.values()]
    print(json.dumps({"seconds": dict(zip(problems, seconds, strict=True)), "cores": cores}))


def threads_section(report: Report, quick: bool) -> None:
    """Each pool size in its own subprocess (the pool size is read once per process); the
    subprocesses alternate 1, N, 1, N, ... and each problem keeps its best time, so that both
    pool sizes meet the same load on this shared machine."""
    counts = sorted({1, os.cpu_count() or 1})
    results: dict[int, dict[str, list]] = {}
    for turn in range(2 if quick else 3):
        for k in counts:
            log(f"timing the parallel functions on {k} thread(s), subprocess {turn + 1}")
            env = dict(os.environ, RAYON_NUM_THREADS=str(k))
            command = [sys.executable, str(Path(__file__)), "--scaling-child", "--quick"]
            done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
            child = json.loads(done.stdout.strip().splitlines()[-1])
            if k not in results:
                results[k] = {"seconds": child["seconds"], "cores": child["cores"]}
                continue
            best = results[k]
            for name, value in child["seconds"].items():
                best["seconds"][name] = min(best["seconds"][name], value)
            best["cores"] = [max(a, b) for a, b in zip(best["cores"], child["cores"], strict=True)]
    top = counts[-1]
    section = f"4a threads: speed-up 1 → {top}"
    misses = []
    for k, (name, one) in enumerate(results[1]["seconds"].items()):
        many = results[top]["seconds"][name]
        speedup = one / many
        efficiency = speedup / top
        cores = results[top]["cores"][k]
        note = (
            f"1 thread {fmt_time(one)}, efficiency {efficiency:.0%};"
            f" CPU time / wall time with {top} threads: {cores:.2f}"
        )
        # sorvex keeps a loop of less than two grains (about 40 µs of work) on the calling
        # thread: waking a worker would cost more than it saves.
        serial = one < SERIAL_BELOW_SECONDS
        if serial:
            note += "; too little work to share: runs on the calling thread by design"
        report.rows.append(Row(section, f"sorvex {name}", many, f"{speedup:.2f}", note=note))
        if ("100 ν" in name or "100 γ" in name) and efficiency < GOAL_EFFICIENCY and not serial:
            misses.append(f"{name.split()[0]} {efficiency:.0%}")
    if top < 2:
        report.goals.append("4 parallel efficiency: not measurable on one CPU")
    else:
        report.goals.append(
            f"4 parallel efficiency ≥{GOAL_EFFICIENCY:.0%} on {top} threads at 100 points: "
            + ("MET for all" if not misses else "NOT met for " + ", ".join(misses))
            + f" (load average before the run {LOAD_AT_START[0]:.2f}; a CPU time / wall time"
            f" well below {top} means the machine did not give the process {top} cores)"
        )


def conversion_section(report: Report, settings: timing.Settings, quick: bool) -> None:
    """Argument conversion per element, measured where the computation is empty.

    `ic_iso_monochrome_full([], u, ν, n, [1.0])` converts its density grid `n` in full (every
    argument is converted before the computation starts) but computes and returns nothing for
    an empty frequency grid, so the time difference between an N-element and a 1-element `n`,
    divided by N − 1, is the conversion cost per element (call overhead cancels).
    """
    import numpy as np

    import sorvex

    n = 200_000 if quick else 1_000_000
    values = np.random.default_rng(1).uniform(1.0, 2.0, n)
    inputs = {
        "list of float": (values.tolist(), [1.5]),
        "tuple of float": (tuple(values.tolist()), (1.5,)),
        "float64 ndarray, contiguous": (values, values[:1].copy()),
        "float64 ndarray, strided view (general path)": (np.repeat(values, 2)[::2], values[:1]),
    }

    def convert(seq):
        return lambda: sorvex.ic_iso_monochrome_full([], 1.0, 1.0, seq, [1.0])

    log("timing argument conversion")
    fns = []
    for big, small in inputs.values():
        fns += [convert(big), convert(small)]
    seconds = timing.best_times(fns, settings)
    section = f"4b conversion, ns per element (N = {n:,})"
    for k, name in enumerate(inputs):
        per = (seconds[2 * k] - seconds[2 * k + 1]) / (n - 1) * 1e9
        goal = (
            GOAL_ARRAY_NS
            if "contiguous" in name
            else GOAL_LIST_NS
            if "strided" not in name
            else None
        )
        verdict = (
            "" if goal is None else f"goal ≤{goal:g} ns: {'MET' if per <= goal else 'NOT met'}"
        )
        report.rows.append(Row(section, name, per * 1e-9, f"{per:.2f} ns", note=verdict))
        if goal is not None:
            report.goals.append(f"4 conversion, {name}: {per:.2f} ns/element, {verdict}")


# ---------------------------------------------------------------------------------------------
# The table


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return ""
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} µs"


def fmt_err(value: float | None) -> str:
    return "" if value is None else f"{value:.2e}"


def print_table(report: Report, header: Sequence[str]) -> None:
    titles = ("ratio", "time", "configuration", "err", "core", "α err", "note")
    lines = [
        (
            r.ratio,
            fmt_time(r.seconds) if "conversion" not in r.section else "",
            r.label,
            fmt_err(r.j_err),
            fmt_err(r.j_core),
            fmt_err(r.a_err),
            r.note,
        )
        for r in report.rows
    ]
    widths = [max(len(t), *(len(line[i]) for line in lines)) for i, t in enumerate(titles)]
    for text in header:
        print(text)
    rule = "-+-".join("-" * w for w in widths)

    def show(cells) -> None:
        print(
            " | ".join(
                c.rjust(w) if i in (0, 1) else c.ljust(w)
                for i, (c, w) in enumerate(zip(cells, widths, strict=True))
            ).rstrip()
        )

    print(rule)
    show(titles)
    section = None
    for row, line in zip(report.rows, lines, strict=True):
        if row.section != section:
            section = row.section
            print(rule)
            print(f"[{section}]")
        show(line)
    print(rule)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run (fewer samples)")
    parser.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "bench-cache")
    parser.add_argument("--scaling-child", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    timing.ensure_warm_allocator()
    settings = (
        timing.Settings(rounds=3, min_sample=0.02)
        if args.quick
        else timing.Settings(rounds=7, min_sample=0.1)
    )
    if args.scaling_child:
        scaling_child(args.quick, settings)
        return

    import warnings

    warnings.simplefilter("ignore")  # astropy and NumPy warnings of the peers
    started = time.perf_counter()
    report = Report()
    import peers

    synchrotron_section(report, settings, args.quick, args.cache_dir)
    compton_section(report, settings, args.quick, args.cache_dir)
    fokker_planck_section(report, settings, args.quick)
    threads_section(report, args.quick)
    conversion_section(report, settings, args.quick)

    header = [
        f"sorvex benchmark{' (quick)' if args.quick else ''}: {peers.PEER_VERSIONS}, "
        f"numpy {__import__('numpy').__version__}, scipy {__import__('scipy').__version__}; "
        f"{os.cpu_count()} CPUs (load average {LOAD_AT_START[0]:.2f}), sorvex pool"
        f" {pool_size()} threads; best of {settings.rounds}, samples ≥"
        f" {settings.min_sample * 1e3:g} ms, interleaved;"
        f" GLIBC_TUNABLES={timing.ALLOCATOR_TUNABLES}",
        "ratio: time / time of the first row of its section (sections 1-3), speed-up (4a), ns per "
        "element (4b). err/core: max |x/x_ref - 1| where ν j_ν > 1e-6 / 1e-2 of its peak "
        "(section 3: sorvex vs NumPy); α err: absorption coefficient, same frequencies.",
    ]
    report.facts.append(
        f"sorvex rows of sections 1-2 use its pool ({pool_size()} threads), the peers one thread;"
        " section 4a gives the 1-thread times of the same sorvex calls"
    )
    print_table(report, header)
    for fact in report.facts:
        print(f"note: {fact}")
    for goal in report.goals:
        print(f"goal: {goal}")
    print(f"bench: {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
