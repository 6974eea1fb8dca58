"""1. The synchrotron SED of the reference broken power law, against naima and agnpy:
j_ν, and j_ν with α_ν, at equal accuracy against the exact SciPy reference. sorvex takes Python
lists (as from a fit loop); the accurate kernels of sorvexfit.kernels take and return NumPy arrays
(as in the model layer), their α measured against the −γ² d/dγ(n/γ²) form they compute."""

from __future__ import annotations

import time
from collections.abc import Callable, Sequence

from problem import B_FIELD, RADIUS, SYN_FREQS, electron_grid, errors
from runner import Context, Report, Row, time_section

GOAL_SPEEDUP = 10.0
GOAL_KERNEL_ERROR = 1e-4  # sorvexfit.kernels, j and α: faster than agnpy at its best accuracy


def pick(ladder: Sequence[tuple[int, float]], target: float) -> tuple[int | None, int]:
    """From (size, error) pairs in increasing size: the smallest size reaching `target` (None if
    none does), and the smallest size within 2 % of the best error of the ladder."""
    reaching = next((size for size, err in ladder if err <= target), None)
    floor = min(err for _, err in ladder)
    best = next(size for size, err in ladder if err <= 1.02 * floor)
    return reaching, best


def run(report: Report, context: Context) -> None:
    settings, quick, cache = context.settings, context.quick, context.cache_dir
    import numpy as np
    import peers
    import reference

    import sorvex
    from sorvexfit import kernels

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

    # sorvexfit.kernels on the exact grids: the broken power law as 100 bins and as 3 points.
    a_ref_gamma2 = reference.synchrotron_absorption_gamma2(freqs, electrons, B_FIELD, cache)
    kernel_calls: dict[str, tuple[Callable[[], object], Callable[[], object]]] = {}
    kernel_acc: dict[str, tuple[tuple[float, float], tuple[float, float, float]]] = {}
    for name in ("100 bins, γ_b on the grid", "3 points (exact for a broken power law)"):
        g = grids[name]
        n = electrons(g)

        def kernel_thin(g=g, n=n):
            return kernels.synchrotron(freqs, g, n, B_FIELD, absorption=False)

        def kernel_absorbed(g=g, n=n):
            j, a = kernels.synchrotron(freqs, g, n, B_FIELD)
            return sorvex.rad_trans_blob(RADIUS, j, a)

        kernel_calls[name] = (kernel_thin, kernel_absorbed)
        j, a = kernels.synchrotron(freqs, g, n, B_FIELD)
        kernel_acc[name] = (
            errors(freqs, kernel_thin()[0], j_ref),
            (*errors(freqs, j, j_ref), errors(freqs, a, a_ref_gamma2)[0]),
        )

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
        for name, (thin, absorbed) in kernel_calls.items():
            thin_acc, absorbed_acc = kernel_acc[name]
            label = f"sorvexfit.kernels synchrotron, {name}"
            if with_abs:
                label += " + sorvex rad_trans_blob"
                row = Row(section, label, None, "", *absorbed_acc, "α: −γ² d/dγ(n/γ²) form")
            else:
                row = Row(section, label, None, "", *thin_acc, None)
            entries.append((row, absorbed if with_abs else thin))
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
            if not row.label.startswith("sorvex syn_emissivity_full") or "uniform" in row.label:
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
        if with_abs:
            kernel_goal(report, section, timed)


def kernel_goal(report: Report, section: str, timed: list[tuple[Row, float]]) -> None:
    """The accurate synchrotron (100 bins, j + α within GOAL_KERNEL_ERROR) against agnpy's fastest
    configuration at its best accuracy."""
    mine, seconds = next(
        (r, s) for r, s in timed if r.label.startswith("sorvexfit.kernels synchrotron, 100 bins")
    )
    agnpy = [(r, s) for r, s in timed if r.label.startswith("agnpy") and "best" in r.note]
    assert mine.j_err is not None
    assert mine.a_err is not None
    if not agnpy:
        report.goals.append(f"{section}, sorvexfit.kernels: no agnpy row at its best accuracy")
        return
    peer, theirs = min(agnpy, key=lambda rs: rs[1])
    accurate = max(mine.j_err, mine.a_err) <= GOAL_KERNEL_ERROR
    verdict = "MET" if accurate and seconds < theirs else "NOT met"
    report.goals.append(
        f"{section}, sorvexfit.kernels synchrotron, 100 bins: j and α within"
        f" {GOAL_KERNEL_ERROR:g} (j {mine.j_err:.1e}, α {mine.a_err:.1e}) and faster than agnpy's"
        f" fastest configuration at its best accuracy ({peer.label}, err {peer.j_err:.1e}):"
        f" {verdict}, {theirs / seconds:.2f}× ({seconds * 1e3:.3g} ms against"
        f" {theirs * 1e3:.3g} ms)"
    )
