"""5. The model layer: one full SSC + EC SED with sorvexfit and with agnpy (5a), the cooled
steady state (5b), and the grid economy of the synchrotron (5c).

Problem: the reference broken power law (bench/reference.py: γ 10 to 1e6, break 1e4, indices 2
and 3.5, 1 cm^-3), B = 0.1 G, R = 1e16 cm, Γ = 5 seen on the jet axis (δ = Γ(1+β) = 9.9),
z = 0.1; synchrotron with self-absorption, SSC, and EC on a monochromatic field isotropic in the
AGN frame (ν₀ = 1e13 Hz, u₀ = 1e-4 erg cm^-3); 120 observed frequencies from 1e8 to 1e28 Hz.
sorvexfit: 100 electron bins (`BlobModel`), with the accurate kernels (backend "exact", the
default, with its gamma-gamma absorption) and with the sorvex kernels (backend "sorvex").
agnpy: `Synchrotron` (ssa), `SynchrotronSelfCompton` (ssa) and
`ExternalCompton.evaluate_sed_flux_iso_mono` (its monochromatic isotropic target), each on its
own grids.

Accuracy ("err"): the largest |νF_ν/νF_ν,ref − 1| of the total over the frequencies where the
reference is above 1e-2 of its peak, each code against its own fine-grid run (self-
convergence: sorvexfit with 800 bins and 477 frequencies, agnpy at the finest level of its
ladder). Equal accuracy: the cheapest agnpy level whose err is at most sorvexfit's. The fine
references also differ from each other (sorvex's inverse Compton is Thomson with a sharp
Klein-Nishina cut-off; agnpy's and the exact backend's use the full Klein-Nishina kernel;
sorvexfit takes the AGN-frame field as isotropic in the blob): those differences are facts, not
errors.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable

import timing
from runner import Context, Report, Row, fmt_time, log, time_section

GOAL_SSC_EC_SECONDS = 3e-3
GOAL_SPEEDUP = 100.0
GOAL_STEADY_SECONDS = 30e-3

B_FIELD, RADIUS, GAMMA_BULK, Z = 0.1, 1e16, 5.0, 0.1
NU0_AGN, U0_AGN = 1e13, 1e-4
NU_RANGE, N_NU, N_GAMMA = (1e8, 1e28), 120, 100
CORE = 1e-2  # accuracy over the frequencies where the reference exceeds this of its peak

# (γ for syn and SSC, SSC seed frequencies, γ for EC, μ for EC); agnpy's defaults are
# 200, 200, 200 and 100.
AGNPY_LADDER = [(50, 50, 50, 20), (100, 100, 100, 40), (200, 200, 200, 100), (400, 300, 400, 150)]
AGNPY_REFERENCE = (800, 400, 800, 300)
AGNPY_DEFAULT = (200, 200, 200, 100)


def errors(values, reference, level: float = CORE) -> float:
    import numpy as np

    mask = reference > level * reference.max()
    return float(np.max(np.abs(values[mask] / reference[mask] - 1.0)))


def sorvexfit_model(n_gamma: int = N_GAMMA, n_nu: int = N_NU, **options):
    import reference

    import sorvexfit

    electrons = reference.BrokenPowerLaw()
    model = sorvexfit.BlobModel(
        "broken_power_law",
        components=("syn", "ssc", "ec"),
        ec_frame="agn",
        doppler="Gamma_theta",
        n_gamma=n_gamma,
        n_nu=n_nu,
        nu_range=NU_RANGE,
        **options,
    )
    model.set(B=B_FIELD, R=RADIUS, Gamma=GAMMA_BULK, theta=0.0, z=Z, u_ext=U0_AGN, nu_ext=NU0_AGN)
    model.set(
        n_e=electrons.density,
        p1=electrons.p1,
        p2=electrons.p2,
        gamma_b=electrons.g_break,
        gamma_min=electrons.g_min,
        gamma_max=electrons.g_max,
    )
    return model


def agnpy_call(nu, n_gamma: int, n_seed: int, n_gamma_ec: int, n_mu: int):
    """A callable returning agnpy's (total, {component: νF_ν}) on `nu` (observer, Hz)."""
    import astropy.units as u
    import numpy as np
    import reference

    warnings.filterwarnings("ignore", category=DeprecationWarning)  # np.trapz in agnpy
    import agnpy.compton.synchrotron_self_compton as ssc_module
    from agnpy.compton import ExternalCompton, SynchrotronSelfCompton
    from agnpy.emission_regions import Blob
    from agnpy.spectra import BrokenPowerLaw
    from agnpy.synchrotron import Synchrotron

    e = reference.BrokenPowerLaw()
    n_e = BrokenPowerLaw(
        k=e.n_break * u.Unit("cm-3"),
        p1=e.p1,
        p2=e.p2,
        gamma_b=e.g_break,
        gamma_min=e.g_min,
        gamma_max=e.g_max,
    )
    blob = Blob(R_b=RADIUS * u.cm, z=Z, delta_D=1.0, Gamma=GAMMA_BULK, B=B_FIELD * u.G, n_e=n_e)
    blob.set_delta_D(GAMMA_BULK, 0.0 * u.deg)
    gamma = np.geomspace(e.g_min, e.g_max, n_gamma)
    gamma_ec = np.geomspace(e.g_min, e.g_max, n_gamma_ec) * blob.delta_D  # AGN frame
    mu = np.linspace(-1.0, 1.0, n_mu)
    phi = np.linspace(0.0, 2.0 * np.pi, 2)  # on the axis the kernel does not depend on φ
    seeds = np.logspace(5, 30, n_seed) * u.Hz
    epsilon_0 = (NU0_AGN * u.Hz).to_value(u.erg, equivalencies=u.spectral()) / reference.ME_C2
    nu_q = nu * u.Hz
    args = (blob.z, blob.d_L, blob.delta_D, blob.B, blob.R_b, blob.n_e, *blob.n_e.parameters)
    flux = u.Unit("erg cm-2 s-1")

    def run():
        ssc_module.nu_to_integrate = seeds  # agnpy's SSC seed grid is a module constant
        syn = Synchrotron.evaluate_sed_flux(nu_q, *args, ssa=True, gamma=gamma)
        ssc = SynchrotronSelfCompton.evaluate_sed_flux(nu_q, *args, ssa=True, gamma=gamma)
        ec = ExternalCompton.evaluate_sed_flux_iso_mono(
            nu_q,
            blob.z,
            blob.d_L,
            blob.delta_D,
            blob.mu_s,
            blob.R_b,
            epsilon_0,
            U0_AGN * u.Unit("erg cm-3"),
            blob.n_e,
            *blob.n_e.parameters,
            gamma=gamma_ec,
            mu=mu,
            phi=phi,
        )
        parts = {"syn": syn.to_value(flux), "ssc": ssc.to_value(flux), "ec": ec.to_value(flux)}
        return parts["syn"] + parts["ssc"] + parts["ec"], parts

    return run


def chunked(call_for: Callable, nu, size: int):
    """A fine agnpy run frequency block by block (its arrays are γ × ν_seed × ν)."""
    import numpy as np

    runs = [call_for(nu[k : k + size])() for k in range(0, nu.size, size)]
    parts = {key: np.concatenate([r[1][key] for r in runs]) for key in runs[0][1]}
    return np.concatenate([r[0] for r in runs]), parts


def component_errors(parts, reference) -> str:
    return ", ".join(f"{k} {errors(parts[k], reference[k]):.1e}" for k in ("syn", "ssc", "ec"))


def backends() -> list[str]:
    """The model layer's backends, its default first."""
    from sorvexfit.backend import BACKENDS, DEFAULT_BACKEND

    return [DEFAULT_BACKEND, *(name for name in BACKENDS if name != DEFAULT_BACKEND)]


def ssc_ec_section(report: Report, context: Context) -> None:
    settings, quick = context.settings, context.quick
    section = "5a model: SSC + EC SED, broken power law, 120 ν, synchrotron with SSA"
    ours: dict[str, tuple[object, float, str]] = {}  # backend: (model, err, component errors)
    fine_parts = {}
    default, other = backends()
    for backend in (default, other):
        model = sorvexfit_model(backend=backend)
        log(f"sorvexfit fine reference (800 bins, 477 frequencies), backend {backend}")
        fine_parts[backend] = sorvexfit_model(800, 477, backend=backend).components(model.nu_grid)
        parts = model.components()
        ours[backend] = (
            model,
            errors(parts["total"], fine_parts[backend]["total"]),
            component_errors(parts, fine_parts[backend]),
        )
    nu = ours[default][0].nu_grid  # type: ignore[attr-defined]

    log("agnpy fine reference")
    ref_level = AGNPY_LADDER[-1] if quick else AGNPY_REFERENCE
    agnpy_ref, agnpy_ref_parts = chunked(lambda part: agnpy_call(part, *ref_level), nu, 10)
    ladder = AGNPY_LADDER[:-1] if quick else AGNPY_LADDER
    levels = []
    for level in ladder:
        call = agnpy_call(nu, *level)
        total, parts = call()
        levels.append(
            (level, call, errors(total, agnpy_ref), component_errors(parts, agnpy_ref_parts))
        )

    entries: list[tuple[Row, Callable[[], object]]] = []
    for backend, (model, err, by_component) in ours.items():
        label = f"sorvexfit BlobModel.sed, 100 γ, backend {backend}" + (
            " (default)" if backend == default else ""
        )
        note = f"components: {by_component}"
        entries.append((Row(section, label, None, "", err, note=note), model.sed))  # type: ignore[attr-defined]
    for level, call, err, by_component in levels:
        label = f"agnpy {level} (γ, seeds, γ_EC, μ)"
        note = f"components: {by_component}" + (
            ", agnpy's defaults" if level == AGNPY_DEFAULT else ""
        )
        entries.append((Row(section, label, None, "", err, note=note), call))
    seconds = time_section(report, section, entries, settings)

    report.facts.append(
        "5a fine references by component, sorvexfit (sorvex kernels) against agnpy: "
        + component_errors(fine_parts["sorvex"], agnpy_ref_parts)
        + "; sorvexfit (exact kernels) against agnpy: "
        + component_errors(fine_parts["exact"], agnpy_ref_parts)
        + "; sorvexfit exact against sorvex kernels: "
        + component_errors(fine_parts["sorvex"], fine_parts["exact"])
    )
    mine, mine_err = seconds[0], ours[default][1]
    verdict = "MET" if mine <= GOAL_SSC_EC_SECONDS else "NOT met"
    report.goals.append(
        f"5a SSC + EC evaluation (default backend {default}) ≤ {fmt_time(GOAL_SSC_EC_SECONDS)}:"
        f" {verdict}, {fmt_time(mine)} (backend {other}: {fmt_time(seconds[1])},"
        f" {seconds[1] / mine:.1f}× longer)"
    )
    by_level = {level: s for (level, _, _, _), s in zip(levels, seconds[2:], strict=True)}
    errs = {level: err for level, _, err, _ in levels}
    equal = next((level for level, _, err, _ in levels if err <= mine_err), None)
    if equal is None:
        # agnpy's most accurate level is still less accurate: if it is the goal's factor slower,
        # any level of equal accuracy would be slower still.
        best = min(errs, key=errs.__getitem__)
        speedup = by_level[best] / mine
        verdict = "MET" if speedup >= GOAL_SPEEDUP else "not shown"
        report.goals.append(
            f"5a ≥{GOAL_SPEEDUP:.0f}× agnpy at equal accuracy: {verdict}; no agnpy level reaches"
            f" sorvexfit's err {mine_err:.2e}: its most accurate, {best} (err {errs[best]:.2e}),"
            f" is {speedup:.0f}× slower; {by_level[AGNPY_DEFAULT] / mine:.0f}× against agnpy's"
            f" defaults (err {errs[AGNPY_DEFAULT]:.2e})"
        )
    else:
        speedup = by_level[equal] / mine
        verdict = "MET" if speedup >= GOAL_SPEEDUP else "NOT met"
        report.goals.append(
            f"5a ≥{GOAL_SPEEDUP:.0f}× agnpy at equal accuracy (err ≤ {mine_err:.2e}): {verdict},"
            f" {speedup:.1f}× against agnpy {equal} (err {errs[equal]:.2e});"
            f" {by_level[AGNPY_DEFAULT] / mine:.1f}× against agnpy's defaults"
            f" (err {errs[AGNPY_DEFAULT]:.2e})"
        )


def steady_section(report: Report, context: Context) -> None:
    import sorvexfit

    section = "5b model: cooled steady state, power-law injection, syn + SSC + EC cooling"
    entries = []
    for backend in backends():
        model = sorvexfit.BlobModel(
            "power_law",
            components=("syn", "ssc", "ec"),
            steady_state=True,
            ec_frame="agn",
            doppler="Gamma_theta",
            n_gamma=N_GAMMA,
            n_nu=N_NU,
            nu_range=NU_RANGE,
            backend=backend,
        )
        model.set(
            B=B_FIELD, R=RADIUS, Gamma=GAMMA_BULK, theta=0.0, z=Z, u_ext=U0_AGN, nu_ext=NU0_AGN
        )
        model.set(p=2.2, gamma_min=100.0, gamma_max=1e6, L_inj=1e41)
        result = model.evaluate()
        assert result.steady is not None
        note = (
            f"{result.steady.iterations} iterations (last change {result.steady.change:.1e}),"
            f" synchrotron on {result.segments} segments"
        )
        label = f"sorvexfit BlobModel.evaluate, 100 γ, 120 ν, backend {backend}"
        entries.append((Row(section, label, note=note), model.evaluate))
    seconds = time_section(report, section, entries, context.settings)
    verdict = "MET" if seconds[0] <= GOAL_STEADY_SECONDS else "NOT met"
    report.goals.append(
        f"5b cooled model (default backend) ≤ {fmt_time(GOAL_STEADY_SECONDS)}: {verdict},"
        f" {fmt_time(seconds[0])}"
    )


def economy_section(report: Report, context: Context) -> None:
    """Fewest power-law segments for the synchrotron kernel: time and SED change against every
    grid point (max relative change of the total where above 1e-6 of its peak, in "err"); the
    ratio is the time against every grid point, case by case, for each backend (the row marked
    "default" is the backend's segments_rtol="auto")."""
    import sorvexfit
    from sorvexfit.config import SEGMENTS_RTOL

    section = "5c model: grid economy, synchrotron on the fewest segments within segments_rtol"
    cases = [
        ("exp_cutoff_power_law", False, ("syn",)),
        ("log_parabola", False, ("syn",)),
        ("log_parabola", False, ("syn", "ssc")),
        ("power_law", True, ("syn", "ssc")),
    ]
    for backend in backends():
        for kind, steady, parts in cases:
            models = {
                rtol: sorvexfit.BlobModel(
                    kind,
                    components=parts,
                    steady_state=steady,
                    segments_rtol=rtol,
                    n_gamma=N_GAMMA,
                    n_nu=N_NU,
                    nu_range=NU_RANGE,
                    backend=backend,
                )
                for rtol in (None, 1e-3, 1e-2, 3e-2)
            }
            full = models[None].evaluate().seds["total"]
            name = f"{backend}: {kind}{', steady state' if steady else ''}, {' + '.join(parts)}"
            log(f"timing the grid economy of {name}")
            seconds = timing.best_times([m.evaluate for m in models.values()], context.settings)
            for (rtol, m), s in zip(models.items(), seconds, strict=True):
                result = m.evaluate()
                mark = " (default)" if rtol == SEGMENTS_RTOL[backend] else ""
                label = f"{name}, segments_rtol {rtol}{mark}: {result.segments} segments"
                change = errors(result.seds["total"], full, 1e-6)
                report.rows.append(Row(section, label, s, f"{s / seconds[0]:.2f}", change))


def run(report: Report, context: Context) -> None:
    ssc_ec_section(report, context)
    steady_section(report, context)
    economy_section(report, context)
