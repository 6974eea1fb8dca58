"""8. sorvexfit inside gammapy: the Mrk 421 flux points fitted through gammapy with
`sorvexfit.gammapy` (the demo's free parameters, start and systematics), alone and jointly with
a simulated Cherenkov-telescope spectrum (examples/gammapy_joint_fit.py), beside agnpy's own
gammapy wrapper (`agnpy.fit.SynchrotronSelfComptonModel`) on the same points.

The fits are timed once each. agnpy's fit is capped (its evaluations cost about a second: the
fit section lets it run 400 calls, this one fewer) and its time per evaluation of all points
is reported beside sorvexfit's, with the time it would need for as many evaluations as
sorvexfit's gammapy fit took. One evaluation of the flux-point statistic is timed side by side
at a new parameter vector (the kernels run) and at the same one (the cache answers: gammapy's
own cost).
"""

from __future__ import annotations

import importlib.util
import logging
import sys
import time
import warnings
from dataclasses import replace
from pathlib import Path

from runner import ROOT, Context, Report, Row, log, time_section

SECTION = "8 gammapy"
PEER_CALLS, QUICK_PEER_CALLS = 100, 20


def example_module():
    path = ROOT / "examples" / "gammapy_joint_fit.py"
    spec = importlib.util.spec_from_file_location("gammapy_joint_fit", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["gammapy_joint_fit"] = module
    spec.loader.exec_module(module)
    return module


def run(report: Report, context: Context) -> None:
    try:
        import astropy.units as u
        from gammapy.datasets import Datasets

        import sorvexfit.spectrum as spectrum
        from sorvexfit.gammapy import flux_points_dataset
    except ImportError:
        report.facts.append("8 gammapy: gammapy is not in .venv-bench: section skipped")
        return
    from sections.fit import agnpy_gammapy_fit

    warnings.simplefilter("ignore")
    logging.getLogger("gammapy").setLevel(logging.ERROR)
    example = example_module()
    options = replace(example.OPTIONS, band_samples=0)
    evaluations = [0]
    evaluate = spectrum.evaluate

    def counted(config, values):
        evaluations[0] += 1
        return evaluate(config, values)

    spectrum.evaluate = counted

    log("gammapy: sorvexfit SSC, flux points alone")
    points = flux_points_dataset(example.DATA, options)
    sky = points.models[0]
    started = time.perf_counter()
    alone = example.gammapy_fit([points])
    alone_s, alone_n = time.perf_counter() - started, evaluations[0]
    report.rows.append(
        Row(
            SECTION,
            "sorvexfit SSC in gammapy (minuit), Mrk 421 flux points, 6 free",
            alone_s,
            "1.00",
            note=f"{alone_n} evaluations, {alone_s / alone_n * 1e3:.0f} ms each;"
            f" {'converged' if alone.success else 'not converged'}, χ² {alone.total_stat:.1f}",
        )
    )

    log("gammapy: joint fit with a simulated IACT spectrum")
    truth = sky.copy(name="truth")
    iact = example.iact_dataset(truth, 20 * u.h, 1)
    model = example.spectral_part(sky)
    for name, value in example.displaced({p.name: p.value for p in model.parameters}).items():
        getattr(model, name).value = value
    joint = Datasets([points, iact])
    joint.models = [sky]
    evaluations[0] = 0
    started = time.perf_counter()
    result = example.gammapy_fit(joint)
    joint_s, joint_n = time.perf_counter() - started, evaluations[0]
    report.rows.append(
        Row(
            SECTION,
            "sorvexfit SSC in gammapy, joint: flux points + simulated IACT on-off (20 h)",
            joint_s,
            f"{joint_s / alone_s:.2f}",
            note=f"{joint_n} evaluations, {joint_s / joint_n * 1e3:.0f} ms each;"
            f" {'converged' if result.success else 'not converged'}",
        )
    )

    # One evaluation of the flux-point statistic: a new vector each call, and the same one.
    b = model.B
    step = [0]

    def new_vector() -> float:
        step[0] += 1
        b.value = 0.07 * (1.0 + 1e-9 * step[0])
        return points.stat_sum()

    def same_vector() -> float:
        return points.stat_sum()

    entries = [
        (Row(f"{SECTION} one evaluation", "flux-point χ² at a new parameter vector"), new_vector),
        (Row(f"{SECTION} one evaluation", "the same vector (cached: gammapy's cost)"), same_vector),
    ]
    seconds = time_section(report, f"{SECTION} one evaluation", entries, context.settings)
    spectrum.evaluate = evaluate

    calls = QUICK_PEER_CALLS if context.quick else PEER_CALLS
    log(f"gammapy: agnpy's wrapper on the same points ({calls} calls)")
    peer = agnpy_gammapy_fit(Path(example.DATA), calls)
    if peer is None:
        report.facts.append("8 gammapy: agnpy's gammapy wrapper unavailable")
        return
    peer_s, peer_n, peer_ok, values, stat = peer
    per = peer_s / peer_n
    report.rows.append(
        Row(
            SECTION,
            f"agnpy SSC in gammapy, same points, start and free parameters ({calls} calls)",
            peer_s,
            f"{peer_s / alone_s:.2f}",
            note=f"{peer_n:.0f} evaluations, {per * 1e3:.0f} ms each"
            f" ({per / (alone_s / alone_n):.0f}× sorvexfit's);"
            f" {'converged' if peer_ok else 'not converged'} (χ² {stat:.0f},"
            f" B = {values['B']:.2g} G, δ = {values['delta_D']:.3g})",
        )
    )
    report.facts.append(
        f"8 gammapy: sorvexfit's gammapy fit of the Mrk 421 points took {alone_s:.1f} s"
        f" ({alone_n} evaluations, χ² {alone.total_stat:.1f}); agnpy's wrapper costs"
        f" {per:.2f} s per evaluation of all points, so as many evaluations would take"
        f" {alone_n * per / 60:.1f} min ({alone_n * per / alone_s:.0f}×). One gammapy evaluation"
        f" at a new vector: {seconds[0] * 1e3:.1f} ms, of which gammapy's own work (the same"
        f" vector, cached) {seconds[1] * 1e3:.1f} ms"
    )
