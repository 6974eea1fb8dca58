"""The one-zone blob model: electrons in a sphere, their synchrotron, SSC and EC emission, and
the SED an observer sees.

    model = BlobModel("broken_power_law", components=("syn", "ssc", "ec"))
    model.params.set(B=0.05, R=5e16, delta_D=21, z=0.03)
    nu_fnu = model.sed(nu)             # erg cm^-2 s^-1 at the observed frequencies nu (Hz)
    parts = model.components(nu)       # {"syn": ..., "ssc": ..., "ec": ..., "total": ...}

Geometry and frames (see `sorvexfit.components` for the transformations):

- R is given directly, or from a variability time: R = c t_var δ / (1 + z) (radius="t_var").
- δ is given directly (doppler="delta_D"), or from Γ and the viewing angle θ (doppler=
  "Gamma_theta": δ = 1/(Γ(1 - β cos θ)), β = `sorvex.bofg(Γ)`). An AGN-frame external field
  needs Γ; with doppler="delta_D" it is taken as Γ = δ (the viewer at θ = arccos β).
- ν_obs = δ ν' / (1 + z); νF_ν = δ⁴ ν' L'_ν' / (4π d_L²) with L'_ν = 4π² R² Ī'_ν;
  d_L from an astropy cosmology (default Planck18).

Evaluation works on one frequency grid: `nu_range` (observer frame, Hz) with `n_nu` points,
mapped into the blob frame for the kernels. `sed(nu)` and `components(nu)` interpolate log-log
from that grid (zero outside it); without `nu` they return the grid itself (`nu_grid`).

Electrons live on `n_gamma` log-spaced Lorentz factors from γ_min to γ_max (breaks on the
grid). Synchrotron sees power laws and broken power laws as their anchors alone (exact: the
kernels take the electrons as power laws between grid points). With the `sorvex` kernels, whose
synchrotron costs about 500 kernel evaluations per segment and frequency, smooth shapes and the
cooled distribution are given to it as the fewest power-law segments that reproduce the grid
within `segments_rtol` (`fewest_segments`); the exact kernel integrates adaptively, so there the
simplification saves nothing and every grid point is used. Inverse Compton and the cooling rates
use the whole grid.

Kernels (`backend`), measured side by side by `make bench` (section 5a: one SSC + EC SED of
broken power-law electrons, 100 γ, 120 ν, synchrotron with self-absorption): "exact" (the
default) is both faster and more accurate: 2.8 ms against 13 ms for "sorvex" on this 2-core
machine, and its SSC converges with the grids to 2e-3 where that of "sorvex" (Thomson with a
sharp Klein-Nishina cut-off) is up to 71 % off. "sorvex" stays available: its kernels are those
of the `sorvex` module's own functions.

Gamma-gamma absorption (`gamma_gamma`, on by default with the exact kernels): the SSC and EC
photons are absorbed on the blob's own synchrotron photons inside the sphere; see
`sorvexfit.components` for the convention. It matters where τ_γγ, in `Evaluation.extra
["tau_gamma_gamma"]`, reaches a few percent (for small τ the escaping flux falls by 3τ/4):
compact, luminous blobs (small R, high synchrotron luminosity) and TeV photons on an
infrared-optical synchrotron field.

Models are plain data: picklable, no global state, cheap to build.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from . import components as comp
from .backend import DEFAULT_BACKEND, get_backend
from .constants import C_LIGHT, ME_C2
from .distributions import (
    DISTRIBUTIONS,
    NORMALISATIONS,
    ConvergenceError,
    Distribution,
    SteadyStateResult,
    fewest_segments,
    log_grid,
    normalisation_parameter,
    normalise,
    pwl_moment,
    steady_state,
)
from .parameters import Parameter, ParameterError, Parameters

__all__ = ["COMPONENTS", "BlobModel", "Evaluation", "make_model", "model_from_options"]

COMPONENTS = ("syn", "ssc", "ec")
# segments_rtol="auto" by backend, chosen from the measurement in bench/sections/model.py (5c):
# the sorvex synchrotron runs 2-5 times faster on the fewest segments within 1e-2 for a change
# of the SED below 1 %; the exact one integrates adaptively and gains nothing.
SEGMENTS_RTOL: dict[str, float | None] = {"sorvex": 1e-2, "exact": None}


@dataclass
class Evaluation:
    """One evaluation on the model's grid: observed νF_ν per component (erg cm^-2 s^-1)."""

    nu: np.ndarray  # observed frequencies, Hz
    nu_blob: np.ndarray  # the same in the blob frame
    seds: dict[str, np.ndarray]  # "syn", "ssc", "ec" (those computed) and "total"
    gamma: np.ndarray  # electron grid
    density: np.ndarray  # n(γ), cm^-3
    doppler: float
    radius: float
    luminosity_distance: float
    steady: SteadyStateResult | None = None
    segments: int = 0  # power-law segments the synchrotron kernel saw
    extra: dict[str, Any] = field(default_factory=dict)

    def at(self, nu: Any, key: str = "total") -> np.ndarray:
        """seds[key] at the observed frequencies `nu` (Hz or a Quantity), interpolated log-log
        from the grid as `BlobModel.sed` does (zero outside it)."""
        return _loglog(_frequencies(nu), self.nu, self.seds[key])


def _blob_parameters(radius: str, doppler: str) -> list[Parameter]:
    params = [Parameter("B", 0.1, "G", 1e-6, 1e5, log10=True, description="magnetic field")]
    if radius == "R":
        params.append(Parameter("R", 1e16, "cm", 1e8, 1e22, log10=True, description="radius"))
    else:
        params.append(
            Parameter(
                "t_var",
                86400.0,
                "s",
                1.0,
                1e10,
                log10=True,
                description="variability time, R = c t_var delta / (1 + z)",
            )
        )
    if doppler == "delta_D":
        params.append(Parameter("delta_D", 10.0, "", 0.01, 1000.0, description="Doppler factor"))
    else:
        params += [
            Parameter("Gamma", 10.0, "", 1.0, 1000.0, description="bulk Lorentz factor"),
            Parameter("theta", 5.0, "deg", 0.0, 89.9, description="viewing angle"),
        ]
    params.append(Parameter("z", 0.1, "", 1e-6, 10.0, frozen=True, description="redshift"))
    return params


def _steady_parameters() -> list[Parameter]:
    return [
        Parameter(
            "L_inj",
            1e41,
            "erg s-1",
            1e20,
            1e60,
            log10=True,
            description="injected electron power (blob frame)",
        ),
        Parameter(
            "t_esc",
            1.0,
            "",
            1e-2,
            1e6,
            frozen=True,
            log10=True,
            description="escape time in units of R/c",
        ),
        Parameter(
            "t_acc",
            1e3,
            "",
            1e-2,
            1e12,
            frozen=True,
            log10=True,
            description="diffusion time gamma^2/D in units of R/c",
        ),
    ]


def _ec_parameters(frame: str) -> list[Parameter]:
    where = "blob" if frame == "blob" else "AGN"
    return [
        Parameter(
            "u_ext",
            1e-3,
            "erg cm-3",
            1e-30,
            1e5,
            log10=True,
            description=f"external line energy density ({where} frame)",
        ),
        Parameter(
            "nu_ext",
            2.5e16 if frame == "blob" else 2.5e15,
            "Hz",
            1e6,
            1e24,
            frozen=True,
            log10=True,
            description=f"external line frequency ({where} frame)",
        ),
    ]


class BlobModel:
    """A one-zone homogeneous blob: see the module documentation for the conventions.

    electrons: a shape name of `DISTRIBUTIONS` ("power_law", "broken_power_law",
        "exp_cutoff_power_law", "log_parabola") or a `Distribution`.
    normalisation: "n_e", "u_e" or "L_e" (ignored by the steady state, normalised by L_inj).
    components: any of "syn", "ssc", "ec".
    steady_state: the electrons are the cooled steady state of an injection of this shape.
    ec_frame: "blob" (u_ext, nu_ext in the blob frame) or "agn" (Γ-boosted).
    radius: "R" or "t_var"; doppler: "delta_D" or "Gamma_theta".
    ebl: an EBL model name of `sorvexfit.components.EBL_MODELS`, or None.
    gamma_gamma: absorb SSC and EC on the blob's synchrotron photons; None (the default): on
        with backend "exact", which has the opacity, off with "sorvex", which has none.
    backend: "exact" (default: the accurate kernels of `sorvexfit.kernels`) or "sorvex".
    segments_rtol: the tolerance of the fewest-segment synchrotron electrons, None for every
        grid point, "auto" (default) for the backend's measured choice (`SEGMENTS_RTOL`).
    cosmology: an astropy cosmology (default None: Planck18).
    """

    def __init__(
        self,
        electrons: str | Distribution = "broken_power_law",
        *,
        normalisation: str = "n_e",
        components: Iterable[str] = ("syn", "ssc"),
        steady_state: bool = False,
        ec_frame: str = "blob",
        radius: str = "R",
        doppler: str = "delta_D",
        ebl: str | None = None,
        gamma_gamma: bool | None = None,
        backend: str = DEFAULT_BACKEND,
        cosmology: Any = None,
        n_gamma: int = 100,
        nu_range: tuple[float, float] = (1e8, 1e28),
        n_nu: int = 120,
        segments_rtol: float | str | None = "auto",
        steady_tolerance: float = 1e-3,
        steady_max_iterations: int = 60,
        name: str = "",
    ) -> None:
        if isinstance(electrons, str):
            if electrons not in DISTRIBUTIONS:
                raise ParameterError(
                    f"electrons: unknown distribution {electrons!r} "
                    f"(known: {', '.join(DISTRIBUTIONS)})"
                )
            electrons = DISTRIBUTIONS[electrons]()
        self.electrons: Distribution = electrons
        self.components_: tuple[str, ...] = tuple(components)
        for c in self.components_:
            if c not in COMPONENTS:
                raise ParameterError(
                    f"components: unknown component {c!r} (known: {', '.join(COMPONENTS)})"
                )
        if not self.components_:
            raise ParameterError("components: at least one of syn, ssc, ec")
        _choose("normalisation", normalisation, tuple(NORMALISATIONS))
        _choose("ec_frame", ec_frame, ("blob", "agn"))
        _choose("radius", radius, ("R", "t_var"))
        _choose("doppler", doppler, ("delta_D", "Gamma_theta"))
        for option, value in (("n_gamma", n_gamma), ("n_nu", n_nu)):
            if not (isinstance(value, int) and 8 <= value <= 4000):
                raise ParameterError(f"{option} = {value!r}: must be a whole number in 8..4000")
        low, high = (float(x) for x in nu_range)
        if not (0.0 < low < high < math.inf):
            raise ParameterError(f"nu_range = {nu_range!r}: must be 0 < low < high")
        self.normalisation = normalisation
        self.steady_state = steady_state
        self.ec_frame = ec_frame
        self.radius_from = radius
        self.doppler_from = doppler
        self.ebl = comp.EBL(ebl) if ebl is not None else None
        self.backend = get_backend(backend).name
        self.gamma_gamma = self.backend == "exact" if gamma_gamma is None else gamma_gamma
        if self.gamma_gamma and self.backend != "exact":
            raise ParameterError(
                "gamma_gamma: needs backend='exact' (sorvex has no gamma-gamma opacity)"
            )
        self.cosmology = cosmology  # None: Planck18, imported on first use (a slow import)
        self.n_gamma = n_gamma
        self.nu_grid = np.geomspace(low, high, n_nu)
        self.segments_rtol = _segments_rtol(segments_rtol, self.backend)
        self.steady_tolerance = steady_tolerance
        self.steady_max_iterations = steady_max_iterations
        self.name = name or self._default_name()

        params = _blob_parameters(radius, doppler)
        if steady_state:
            params += _steady_parameters()
        else:
            params.append(normalisation_parameter(normalisation))
        params += electrons.parameters()
        if "ec" in self.components_:
            params += _ec_parameters(ec_frame)
        self.params = Parameters.of(params, electrons.order(), self.name)
        self.params.check_order(self.params.as_dict())
        self._distance: tuple[float, float] | None = None
        self._grid: tuple[tuple[float, ...], np.ndarray] | None = None

    def _default_name(self) -> str:
        kind = "ec" if "ec" in self.components_ else "ssc"
        return (
            f"{kind} model ({self.electrons.kind}{', steady state' if self.steady_state else ''})"
        )

    def __repr__(self) -> str:
        return f"<BlobModel {self.name}: {self.params!r}>"

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state["_distance"] = None
        state["_grid"] = None
        return state

    # ------------------------------------------------------------------ derived quantities

    def set(self, **values: Any) -> BlobModel:
        """Sets parameter values (numbers, Quantities or strings); returns the model."""
        self.params.set(**values)
        return self

    def doppler(self, v: Mapping[str, float] | None = None) -> float:
        v = self.params.as_dict() if v is None else v
        if self.doppler_from == "delta_D":
            return v["delta_D"]
        return comp.doppler_factor(v["Gamma"], v["theta"])

    def bulk_lorentz(self, v: Mapping[str, float]) -> float:
        return v["Gamma"] if self.doppler_from == "Gamma_theta" else max(v["delta_D"], 1.0)

    def radius(self, v: Mapping[str, float] | None = None, delta: float | None = None) -> float:
        v = self.params.as_dict() if v is None else v
        if self.radius_from == "R":
            return v["R"]
        delta = self.doppler(v) if delta is None else delta
        return C_LIGHT * v["t_var"] * delta / (1.0 + v["z"])

    def luminosity_distance(self, z: float) -> float:
        """d_L (cm) from the model's cosmology, cached for the last z."""
        if self._distance is None or self._distance[0] != z:
            from astropy import units as u

            cosmology = self.cosmology
            if cosmology is None:
                from astropy.cosmology import Planck18

                cosmology = Planck18
            d_l = float(cosmology.luminosity_distance(z).to_value(u.cm))
            self._distance = (z, d_l)
        return self._distance[1]

    def external_field(self, v: Mapping[str, float]) -> tuple[float, float]:
        """(u', ν') of the external line in the blob frame."""
        if self.ec_frame == "blob":
            return v["u_ext"], v["nu_ext"]
        return comp.external_field_in_blob(v["u_ext"], v["nu_ext"], self.bulk_lorentz(v))

    # ------------------------------------------------------------------ electrons

    def electron_grid(self, v: Mapping[str, float]) -> np.ndarray:
        """The Lorentz factors of the electrons (read-only; kept while the anchors stay)."""
        anchors = self.electrons.anchors(v)
        if self.steady_state:
            low = 1.1 if anchors[0] > 1.1 * 1.01 else None
            anchors = ([low] if low else []) + anchors + [2.0 * anchors[-1]]
        key = tuple(anchors)
        if self._grid is None or self._grid[0] != key:
            grid = log_grid(anchors, self.n_gamma)
            grid.flags.writeable = False
            self._grid = (key, grid)
        return self._grid[1]

    def _static_electrons(
        self, v: Mapping[str, float], radius: float
    ) -> tuple[np.ndarray, np.ndarray]:
        gamma = self.electron_grid(v)
        shape = self.electrons.shape(gamma, v)
        mode = self.normalisation
        return gamma, normalise(gamma, shape, mode, v[mode], radius)

    def _synchrotron_grid(
        self, v: Mapping[str, float], gamma: np.ndarray, n: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray]:
        """The electrons as the synchrotron kernel sees them: the anchors of a piecewise power
        law (exact), the fewest segments within segments_rtol of a smooth shape."""
        if self.electrons.piecewise_power_law and not self.steady_state:
            anchors = np.asarray(self.electrons.anchors(v))
            index = np.searchsorted(gamma, anchors * (1 - 1e-12))
            return gamma[index], n[index]
        if self.segments_rtol is None:
            return gamma, n
        # Above the peak of the synchrotron power per ln γ (∝ γ³ n), electrons whose γ³ n
        # is below 1e-12 of that peak shape only the far exponential tail of the spectrum.
        power = gamma**3 * n
        top = int(np.argmax(power))
        tail = np.nonzero(power[top:] < 1e-12 * power[top])[0]
        end = top + int(tail[0]) + 1 if tail.size else gamma.size
        keep = fewest_segments(gamma[:end], n[:end], self.segments_rtol)
        return gamma[keep], n[keep]

    def _steady_electrons(
        self, v: Mapping[str, float], radius: float, nu: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray, SteadyStateResult]:
        backend = get_backend(self.backend)
        gamma = self.electron_grid(v)
        shape = self.electrons.shape(gamma, v)
        volume = 4.0 / 3.0 * math.pi * radius**3
        power = ME_C2 * volume * pwl_moment(gamma, shape, 1)  # erg s^-1 per unit rate
        injection = shape * (v["L_inj"] / power) if power > 0.0 else shape * 0.0
        light_crossing = radius / C_LIGHT
        cooling = comp.synchrotron_cooling(gamma, v["B"])
        if "ec" in self.components_:
            u_ext, nu_ext = self.external_field(v)
            cooling = cooling + comp.line_cooling(gamma, nu_ext, u_ext)

        def ssc_cooling(n: np.ndarray) -> np.ndarray:
            # The field that cools is the optically thin synchrotron (no absorption, half the
            # kernel work): the self-absorbed part holds a negligible share of its energy.
            g_syn, n_syn = self._synchrotron_grid(v, gamma, n)
            j, _ = backend.synchrotron(nu, g_syn, n_syn, v["B"], False)
            disc = (4.0 / 3.0) * radius * j
            return comp.compton_cooling(gamma, nu, comp.seed_intensity(nu, disc))

        # Cooling by the components the model has: synchrotron always, SSC and EC if modelled.
        result = steady_state(
            gamma,
            injection,
            v["t_esc"] * light_crossing,
            v["t_acc"] * light_crossing,
            light_crossing,
            cooling,
            ssc_cooling if "ssc" in self.components_ else None,
            self.steady_tolerance,
            self.steady_max_iterations,
        )
        if not result.converged:
            raise ConvergenceError(
                f"steady state: not converged after {result.iterations} iterations "
                f"(last relative change {result.change:.2e} > {self.steady_tolerance:g})"
            )
        return gamma, result.density, result

    # ------------------------------------------------------------------ evaluation

    def evaluate(self) -> Evaluation:
        """Every component on the model's grid (observer frame)."""
        backend = get_backend(self.backend)
        v = self.params.as_dict()
        z = v["z"]
        delta = self.doppler(v)
        radius = self.radius(v, delta)
        d_l = self.luminosity_distance(z)
        nu_obs = self.nu_grid
        nu = nu_obs * ((1.0 + z) / delta)

        steady = None
        if self.steady_state:
            gamma, n, steady = self._steady_electrons(v, radius, nu)
        else:
            gamma, n = self._static_electrons(v, radius)
        g_syn, n_syn = self._synchrotron_grid(v, gamma, n)
        alpha, disc = comp.synchrotron(backend, nu, g_syn, n_syn, v["B"], radius)

        seds: dict[str, np.ndarray] = {}
        extra: dict[str, Any] = {}
        if "syn" in self.components_:
            seds["syn"] = comp.observed(nu, disc, delta, radius, d_l)
        if "ssc" in self.components_ or "ec" in self.components_:
            seed = comp.seed_intensity(nu, disc)
            absorption = alpha
            if self.gamma_gamma:
                # The kernel's optical depth is R α_γγ; the transfer takes the coefficient.
                tau = backend.gamma_gamma_opacity(nu, nu, seed, radius)
                extra["tau_gamma_gamma"] = tau
                absorption = alpha + tau / radius
            if "ssc" in self.components_:
                j_ssc = backend.inverse_compton(nu, nu, seed, gamma, n)
                i_ssc = comp.blob_intensity(radius, j_ssc, absorption)
                seds["ssc"] = comp.observed(nu, i_ssc, delta, radius, d_l)
            if "ec" in self.components_:
                u_ext, nu_ext = self.external_field(v)
                j_ec = backend.inverse_compton_line(nu, u_ext, nu_ext, gamma, n)
                i_ec = comp.blob_intensity(radius, j_ec, absorption)
                seds["ec"] = comp.observed(nu, i_ec, delta, radius, d_l)
        if self.ebl is not None:
            attenuation = np.exp(-self.ebl.tau(nu_obs, z))
            for key in seds:
                seds[key] = seds[key] * attenuation
        seds["total"] = np.sum(list(seds.values()), axis=0)
        return Evaluation(
            nu_obs, nu, seds, gamma, n, delta, radius, d_l, steady, int(g_syn.size - 1), extra
        )

    def components(self, nu: Any = None) -> dict[str, np.ndarray]:
        """νF_ν (erg cm^-2 s^-1) of each component and "total", at the observed frequencies
        `nu` (Hz, or any Quantity convertible to a frequency), or on the grid if None."""
        seds = self.evaluate().seds
        if nu is None:
            return seds
        x = _frequencies(nu)
        return {key: _loglog(x, self.nu_grid, values) for key, values in seds.items()}

    def sed(self, nu: Any = None) -> np.ndarray:
        """The total νF_ν (erg cm^-2 s^-1) at the observed frequencies `nu` (or on the grid)."""
        evaluation = self.evaluate()
        return evaluation.seds["total"] if nu is None else evaluation.at(nu)

    def __call__(self, nu: Any = None) -> np.ndarray:
        return self.sed(nu)


def _segments_rtol(value: float | str | None, backend: str) -> float | None:
    """The tolerance `segments_rtol` stands for with this backend, or ParameterError."""
    if value == "auto":
        return SEGMENTS_RTOL[backend]
    if value is None:
        return None
    if isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0.0:
        return float(value)
    raise ParameterError(f"segments_rtol = {value!r}: must be positive, None or 'auto'")


def _choose(option: str, value: str, known: tuple[str, ...]) -> None:
    if value not in known:
        raise ParameterError(f"{option}: unknown choice {value!r} (known: {', '.join(known)})")


def _frequencies(nu: Any) -> np.ndarray:
    """Observed frequencies in Hz as a float64 array (a Quantity is converted once)."""
    if hasattr(nu, "unit") and hasattr(nu, "to_value"):
        from astropy import units as u

        try:
            nu = nu.to_value(u.Hz, equivalencies=u.spectral())
        except u.UnitsError:
            raise ParameterError(f"nu: cannot convert {nu.unit} to Hz") from None
    return np.asarray(nu, dtype=float)


def _loglog(x: np.ndarray, grid: np.ndarray, values: np.ndarray) -> np.ndarray:
    """values(grid) interpolated linearly in log-log at x; zero outside the grid or where the
    neighbouring values vanish."""
    floor = 1e-300
    logs = np.log(np.maximum(values, floor))
    with np.errstate(divide="ignore", invalid="ignore"):
        out = np.exp(np.interp(np.log(x), np.log(grid), logs, left=-np.inf, right=-np.inf))
    return np.where(out <= floor * 1e10, 0.0, out)


MODEL_KINDS = ("ssc", "ec")


def make_model(kind: str, **options: Any) -> BlobModel:
    """A model of kind "ssc" (synchrotron + SSC) or "ec" (synchrotron + SSC + EC); `options`
    as for `BlobModel`."""
    if kind not in MODEL_KINDS:
        raise ParameterError(f"model: unknown model {kind!r} (known: {', '.join(MODEL_KINDS)})")
    parts = ("syn", "ssc") if kind == "ssc" else ("syn", "ssc", "ec")
    options.setdefault("components", parts)
    options.setdefault("name", kind)
    return BlobModel(**options)


# Setting one of these parameters picks the geometry or normalisation that owns it; two of one
# group set at once are a conflict.
_RADIUS = {"t_var": "t_var", "R": "R"}
_DOPPLER = {"Gamma": "Gamma_theta", "theta": "Gamma_theta", "delta_D": "delta_D"}
_STEADY = ("L_inj", "t_esc", "t_acc")


def _chosen(names: set[str], owners: Mapping[str, str], default: str, what: str) -> str:
    """The choice of `owners` that the set parameter names make, or ParameterError when they
    make two."""
    chosen = {owners[n] for n in names if n in owners}
    if len(chosen) > 1:
        given = ", ".join(sorted(n for n in names if n in owners))
        raise ParameterError(f"{given}: these give the {what} two ways; set one of them")
    return chosen.pop() if chosen else default


def model_from_options(options: Any) -> BlobModel:
    """The model that a set of named options describes (the `sorvexfit` command's: model,
    electrons, steady_state, ec_frame, ebl, backend, n_gamma, n_nu, nu_min, nu_max, and
    `values`, pairs (NAME, VALUE) to set), or ParameterError. Setting t_var, Gamma or theta,
    u_e or L_e selects that geometry or normalisation."""
    values: dict[str, Any] = {}
    for name, value in getattr(options, "values", ()):
        values[name] = value
    names = set(values)
    radius = _chosen(names, _RADIUS, "R", "radius")
    doppler = _chosen(names, _DOPPLER, "delta_D", "Doppler factor")
    normalisation = _chosen(names, {n: n for n in NORMALISATIONS}, "n_e", "normalisation")
    steady = options.steady_state
    if not steady and names & set(_STEADY):
        given = sorted(names & set(_STEADY))[0]
        raise ParameterError(f"unknown parameter {given!r} without --steady-state")
    if steady and names & set(NORMALISATIONS):
        given = sorted(names & set(NORMALISATIONS))[0]
        raise ParameterError(f"{given}: the steady state is normalised by L_inj")
    model = make_model(
        options.model,
        electrons=options.electrons,
        normalisation=normalisation,
        steady_state=steady,
        ec_frame=options.ec_frame,
        radius=radius,
        doppler=doppler,
        ebl=options.ebl,
        backend=options.backend,
        n_gamma=options.n_gamma,
        n_nu=options.n_nu,
        nu_range=(options.nu_min, options.nu_max),
    )
    model.params.set(**values)
    return model
