"""6. Fitting: the Mrk 421 least-squares fit (the demo), a 32-walker × 1000-step MCMC from its
result, injection and recovery on many seeded SSC data sets, and agnpy's SSC evaluation on the
same points (the cost a gammapy or sherpa fit of an agnpy model pays per evaluation).

The fits are timed once each (they last seconds to minutes, far above the timing noise); one
model evaluation is timed best-of-N side by side with agnpy's. Quick mode shortens the chain to
30 steps and the recovery run to 4 data sets, and extrapolates the chain's time to 1000 steps.
"""

from __future__ import annotations

import importlib.util
import math
import sys
import tempfile
import time
from dataclasses import replace
from pathlib import Path

from runner import ROOT, Context, Report, Row, log, time_section

GOAL_LEAST_SQUARES_S = 20.0
GOAL_MCMC_S = 300.0
GOAL_MS_PER_EVALUATION = 10.0
WALKERS, STEPS, QUICK_STEPS = 32, 1000, 30
PEER_MAX_CALLS = 400  # agnpy + gammapy: about a second per evaluation of all points
EVALUATION, FITS = "6a one model evaluation", "6b fits"


def demo_module():
    """examples/mrk421_fit.py, whose options are the demo's fit."""
    path = ROOT / "examples" / "mrk421_fit.py"
    spec = importlib.util.spec_from_file_location("mrk421_fit", path)
    module = importlib.util.module_from_spec(spec)
    sys.modules["mrk421_fit"] = module
    spec.loader.exec_module(module)
    return module


def run(report: Report, context: Context) -> None:
    import numpy as np

    from sorvexfit.fit import run_fit
    from sorvexfit.fit.mcmc import run_chain
    from sorvexfit.fit.run import read

    demo = demo_module()
    options = replace(demo.OPTIONS, band_samples=0)
    work = Path(tempfile.mkdtemp(prefix="bench-fit-"))

    # The least-squares fit of the demo.
    log("fit: Mrk 421 least squares (iminuit)")
    started = time.perf_counter()
    result = run_fit(demo.DATA, options, work / "minuit")
    ls_seconds = time.perf_counter() - started
    per_fit_eval = ls_seconds / result.evaluations

    # One evaluation at the best fit, best of N, beside agnpy's SSC on the same frequencies.
    setup = read(demo.DATA, options)
    chi2 = setup.chi2
    best = np.array([result.parameters[n].fit_best for n in setup.params.free])
    one = EVALUATION
    entries = [(Row(one, "sorvexfit SSC model at the data (100 γ, 120 ν)"), lambda: chi2(best))]
    agnpy_call = agnpy_ssc(result, setup.chi2.nu)
    if agnpy_call is not None:
        entries.append((Row(one, "agnpy SSC (syn + SSC, its defaults) at the data"), agnpy_call))
    seconds = time_section(report, one, entries, context.settings)
    evaluation = seconds[0]

    report.rows.append(
        Row(
            FITS,
            f"Mrk 421 least squares, {len(best)} free, {chi2.n_points} points",
            ls_seconds,
            "1.00",
            note=f"{result.evaluations} evaluations, {per_fit_eval * 1e3:.1f} ms each;"
            f" {result.status}, χ²/dof {result.chi2:.0f}/{result.dof}",
        )
    )

    # The MCMC from the least-squares fit.
    steps = QUICK_STEPS if context.quick else STEPS
    log(f"fit: MCMC {WALKERS} walkers × {steps} steps")
    setup = read(demo.DATA, replace(options, method="mcmc"))
    covariance = result.covariance
    started = time.perf_counter()
    chain = run_chain(
        setup.posterior,
        best,
        covariance,
        walkers=WALKERS,
        steps=steps,
        seed=1,
        path=work / "chain.h5",
        resume=False,
        fingerprint={},
    )
    mcmc_seconds = time.perf_counter() - started
    per_mcmc_eval = mcmc_seconds / chain.evaluations
    full_mcmc = per_mcmc_eval * WALKERS * (STEPS + 1)
    label = f"MCMC {WALKERS} walkers × {steps} steps"
    report.rows.append(
        Row(
            FITS,
            label,
            mcmc_seconds,
            f"{mcmc_seconds / ls_seconds:.2f}",
            note=f"{chain.evaluations} evaluations, {per_mcmc_eval * 1e3:.1f} ms each; acceptance"
            f" {float(np.mean(chain.acceptance)):.2f}"
            + (f"; 1000 steps ≈ {full_mcmc:.0f} s" if context.quick else ""),
        )
    )
    if agnpy_call is not None:
        agnpy_eval = seconds[1]
        report.facts.append(
            f"6 fit: agnpy's SSC costs {agnpy_eval * 1e3:.0f} ms per evaluation at its default"
            f" grids, {agnpy_eval / evaluation:.0f}× sorvexfit's; the same least-squares fit"
            f" ({result.evaluations} evaluations) would take ≈ "
            f"{result.evaluations * agnpy_eval / 60:.1f} min, the MCMC ≈ "
            f"{WALKERS * STEPS * agnpy_eval / 3600:.1f} h (estimates from the evaluation time)"
        )
    if not context.quick:
        log("fit: agnpy + gammapy on the same points")
        peer = agnpy_gammapy_fit(demo.DATA, PEER_MAX_CALLS)
        if peer is None:
            report.facts.append("6 fit: gammapy is not in .venv-bench: no agnpy + gammapy fit")
        else:
            seconds_peer, evaluations_peer, success, values, stat = peer
            report.rows.append(
                Row(
                    FITS,
                    "agnpy SSC + gammapy Fit (minuit), same points, start and free parameters",
                    seconds_peer,
                    f"{seconds_peer / ls_seconds:.2f}",
                    note=f"{evaluations_peer:.0f} evaluations of all points; "
                    f"{'converged' if success else 'NOT converged'}, χ² {stat:.0f}, B "
                    f"{values['B']:.3g} G, δ {values['delta_D']:.3g}",
                )
            )

    # Injection and recovery on many seeded data sets.
    cases = 4 if context.quick else 20
    log(f"fit: injection and recovery, {cases} data sets")
    started = time.perf_counter()
    pulls = recovery(cases, work)
    within = [float(np.mean(np.abs(pulls) <= k)) for k in (1, 2, 3)]
    report.rows.append(
        Row(
            FITS,
            f"injection and recovery: {cases} SSC data sets, 4 free (small grids)",
            time.perf_counter() - started,
            "",
            note=f"pulls within 1σ/2σ/3σ: {within[0]:.0%}/{within[1]:.0%}/{within[2]:.0%}"
            " (Gaussian: 68/95/99.7 %)",
        )
    )

    report.goals.append(
        f"6 fit: Mrk 421 least squares ≤ {GOAL_LEAST_SQUARES_S:g} s: "
        f"{'yes' if ls_seconds <= GOAL_LEAST_SQUARES_S else 'NO'} ({ls_seconds:.1f} s,"
        f" {result.evaluations} evaluations at {per_fit_eval * 1e3:.1f} ms)"
    )
    mcmc_total = full_mcmc if context.quick else mcmc_seconds
    report.goals.append(
        f"6 fit: MCMC {WALKERS} × {STEPS} ≤ {GOAL_MCMC_S / 60:g} min: "
        f"{'yes' if mcmc_total <= GOAL_MCMC_S else 'NO'} ({mcmc_total:.0f} s"
        f"{', extrapolated from the quick chain' if context.quick else ''}); ≤ "
        f"{GOAL_MS_PER_EVALUATION:g} ms per evaluation: "
        f"{'yes' if per_mcmc_eval * 1e3 <= GOAL_MS_PER_EVALUATION else 'NO'} "
        f"({per_mcmc_eval * 1e3:.1f} ms; one evaluation alone {evaluation * 1e3:.1f} ms)"
    )


RECOVERY_START = (("B", "0.3"), ("delta_D", "12"), ("n_e", "3"), ("p", "2.0"))


def recovery_options(**grids):
    """The least-squares fit of simulated SSC points (tests/sorvexfit/cases.py): power-law
    electrons, 4 free parameters from a generic start, no systematics, the small grids unless
    `grids` says otherwise."""
    sys.path.insert(0, str(ROOT / "tests" / "sorvexfit"))
    from cases import SMALL_MODEL_VALUES, small_config

    from sorvexfit.fit import FitOptions

    return FitOptions(
        model=small_config().with_options(**grids),
        values=(*SMALL_MODEL_VALUES, *RECOVERY_START),
        free=tuple(name for name, _ in RECOVERY_START),
        systematics="none",
        band_samples=0,
    )


def recovery(cases: int, work: Path):
    """The pulls (fit − truth)/σ, in the fit form, of every free parameter of `cases` fits of
    simulated SSC flux points (8 % Gaussian noise, 30 points)."""
    import numpy as np

    from sorvexfit.fit import run_fit

    options = recovery_options()  # puts tests/sorvexfit on the path, for cases
    from cases import simulate, small_model

    truth = small_model("ssc")
    pulls = []
    for seed in range(100, 100 + cases):
        data = simulate(truth, work / f"points-{seed}.ecsv", seed)
        result = run_fit(data, options, work / f"recovery-{seed}")
        for name, _ in RECOVERY_START:
            p = result.parameters[name]
            expected = truth.params[name].internal
            pulls.append((p.fit_best - expected) / p.fit_error if p.fit_error > 0 else math.inf)
    return np.array(pulls)


def agnpy_ssc(result, nu):
    """agnpy's synchrotron + SSC of the fitted blob at the frequencies `nu`, or None."""
    try:
        import astropy.units as u
        from agnpy.compton import SynchrotronSelfCompton
        from agnpy.spectra import BrokenPowerLaw
        from agnpy.synchrotron import Synchrotron
    except ImportError:
        return None
    import warnings

    import numpy as np

    warnings.filterwarnings("ignore", category=DeprecationWarning)
    from astropy.constants import c, m_e
    from astropy.cosmology import Planck18

    v = result.best
    z = v["z"]
    radius = (c * v["t_var"] * u.s * v["delta_D"] / (1 + z)).to(u.cm)
    n_e = BrokenPowerLaw.from_total_density(
        v["n_e"] * u.Unit("cm-3"),
        m_e,
        p1=v["p1"],
        p2=v["p2"],
        gamma_b=v["gamma_b"],
        gamma_min=v["gamma_min"],
        gamma_max=v["gamma_max"],
    )
    d_l = Planck18.luminosity_distance(z).to(u.cm)
    args = (z, d_l, v["delta_D"], v["B"] * u.G, radius, n_e, *n_e.parameters)
    nu_q = np.asarray(nu) * u.Hz

    def call():
        return Synchrotron.evaluate_sed_flux(
            nu_q, *args, ssa=True
        ) + SynchrotronSelfCompton.evaluate_sed_flux(nu_q, *args, ssa=True)

    return call


def agnpy_gammapy_fit(data: Path, max_calls: int):
    """agnpy's SSC model fitted to the same points with gammapy (its minuit backend), from the
    demo's starting values with the same free parameters and systematics; returns (seconds,
    evaluations, success, {name: value}), or None without gammapy."""
    try:
        import astropy.units as u
        from agnpy.fit import SynchrotronSelfComptonModel, load_gammapy_flux_points
        from agnpy.spectra import BrokenPowerLaw
        from astropy.constants import m_e
        from gammapy.modeling import Fit
        from gammapy.modeling.models import SkyModel
    except ImportError:
        return None
    import logging
    import warnings

    from sorvexfit.fit import read_flux_points
    from sorvexfit.fit.systematics import DEFAULT_FRACTIONS, band_of

    warnings.simplefilter("ignore")
    logging.getLogger("gammapy").setLevel(logging.ERROR)
    n_e = BrokenPowerLaw.from_total_density(
        1.0 * u.Unit("cm-3"), m_e, p1=2.0, p2=3.5, gamma_b=1e5, gamma_min=800, gamma_max=1e7
    )
    model = SynchrotronSelfComptonModel(n_e, ssa=True)
    p = model.parameters
    start = {
        "z": 0.03,
        "delta_D": 10.0,
        "log10_B": -1.0,
        "t_var": 86400.0,
        "p1": 2.0,
        "p2": 3.5,
        "log10_k": math.log10(n_e.k.to_value("cm-3")),
        "log10_gamma_b": 5.0,
        "log10_gamma_min": math.log10(800.0),
        "log10_gamma_max": 7.0,
    }
    for name, value in start.items():
        p[name].value = value
    for name in ("z", "t_var", "log10_gamma_min", "log10_gamma_max", "norm"):
        p[name].frozen = True
    # The same systematic fraction per instrument as sorvexfit's default bands give it.
    points = read_flux_points(data)
    bands = band_of(points.nu)
    fractions = {
        str(i): DEFAULT_FRACTIONS[b] for i, b in zip(points.instrument, bands, strict=True)
    }
    e_min = (1e11 * u.Hz).to(u.eV, equivalencies=u.spectral())
    datasets = load_gammapy_flux_points(str(data), e_min, 1e20 * u.eV, fractions)
    datasets.models = [SkyModel(spectral_model=model, name="Mrk421")]
    calls = [0]
    evaluate = model.evaluate

    def counted(*args, **kwargs):
        calls[0] += 1
        return evaluate(*args, **kwargs)

    model.evaluate = counted
    fit = Fit(optimize_opts={"migrad_opts": {"ncall": max_calls}})
    started = time.perf_counter()
    result = fit.run(datasets)
    seconds = time.perf_counter() - started
    values = {"B": 10 ** p["log10_B"].value, "delta_D": p["delta_D"].value}
    # Each evaluation covers one instrument's points: count whole-data evaluations.
    evaluations = calls[0] / len(datasets)
    return seconds, evaluations, bool(result.success), values, float(result.total_stat)
