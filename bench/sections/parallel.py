"""4. Parallel speed-up of the threaded functions (each pool size in its own subprocess), and the
cost of converting arguments."""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from typing import Any

import timing
from problem import (
    B_FIELD,
    IC_FREQS,
    LINE_NU0,
    LINE_U0,
    SSC_FREQS,
    SYN_FREQS,
    TABLE_SEED_I,
    TABLE_SEED_POINTS,
    electron_grid,
    ssc_seed,
)
from runner import (
    LOAD_AT_START,
    Context,
    Report,
    Row,
    fmt_time,
    log,
    print_json,
    run_child,
)

GOAL_EFFICIENCY = 0.85
SERIAL_BELOW_SECONDS = 40e-6
GOAL_LIST_NS = 10.0
GOAL_ARRAY_NS = 1.0


def scaling_problems(quick: bool) -> dict[str, Callable[[], object]]:
    """The parallel functions on the reference problem (100 output points each) and larger, and
    the accurate kernels (NumPy arrays in and out) on the problems of sections 1b and 2c."""
    import numpy as np
    import reference

    import sorvex
    from sorvexfit import kernels

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
    n = electrons(g)
    syn_array = np.geomspace(*SYN_FREQS)
    ssc_freqs = np.geomspace(*SSC_FREQS)
    seed_nu, seed_i = ssc_seed(electrons, g)
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
        "sorvexfit.kernels synchrotron 100 ν × 100 bins, j + α": lambda: kernels.synchrotron(
            syn_array, g, n, B_FIELD
        ),
        "sorvexfit.kernels inverse_compton SSC 100 ν × 100 seed ν × 100 bins": (
            lambda: kernels.inverse_compton(ssc_freqs, seed_nu, seed_i, g, n)
        ),
    }
    return problems


def child(context: Context) -> None:
    """Runs in a subprocess whose pool size is fixed by RAYON_NUM_THREADS: prints JSON times."""
    problems = scaling_problems(context.quick)
    seconds = timing.best_times(list(problems.values()), context.settings)
    cores = [timing.cores_used(fn, context.settings.min_sample) for fn in problems.values()]
    print_json({"seconds": dict(zip(problems, seconds, strict=True)), "cores": cores})


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
            child: Any = run_child("parallel", env)
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
        label = name if name.startswith("sorvexfit") else f"sorvex {name}"
        report.rows.append(Row(section, label, many, f"{speedup:.2f}", note=note))
        if ("100 ν" in name or "100 γ" in name) and efficiency < GOAL_EFFICIENCY and not serial:
            misses.append(
                f"{' '.join(name.split()[: 2 if name.startswith('sorvexfit') else 1])}"
                f" {efficiency:.0%}"
            )
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


def run(report: Report, context: Context) -> None:
    threads_section(report, context.quick)
    conversion_section(report, context.settings, context.quick)
