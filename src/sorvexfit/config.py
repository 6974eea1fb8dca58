"""What a model is: a frozen configuration, and the parameters it has.

A `ModelConfig` holds every structural choice of a one-zone blob model (which components, the
electron shape, how R, δ and the normalisation are given, the kernels, the grids). It is plain
immutable data: built once (by `configure` from the names a user sets, or directly), shared by
every evaluation, pickled to worker processes. Parameter *values* never live in it: they travel
as a mapping name -> float (see `sorvexfit.evaluation.evaluate`).

`parameters(config)` gives the `Parameters` (defaults, units, bounds, frozen flags, fit forms)
of a configuration.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass, field, replace
from typing import Any

from .backend import BACKENDS, DEFAULT_BACKEND
from .distributions import DISTRIBUTIONS, NORMALISATIONS, Distribution, normalisation_parameter
from .parameters import Parameter, ParameterError, Parameters

__all__ = [
    "COMPONENTS",
    "DEFAULT_FIELDS",
    "FIELDS",
    "MODEL_KINDS",
    "SEGMENTS_RTOL",
    "ModelConfig",
    "configure",
    "parameters",
]

COMPONENTS = ("syn", "ssc", "ec")
MODEL_KINDS = ("ssc", "ec")
KIND_COMPONENTS = {"ssc": ("syn", "ssc"), "ec": ("syn", "ssc", "ec")}
EBL_NONE = "none"

# External photon fields (`ModelConfig.fields`): the accretion disk, the broad-line region (a
# shell re-emitting a line), the dust torus (a ring), the CMB at the source, and a line
# isotropic in the blob or the AGN frame (`ec_frame`). The first three share the nucleus'
# geometry: the disk luminosity and the blob's height r on the jet axis.
FIELDS = ("disk", "blr", "dt", "cmb", "line")
NUCLEUS_FIELDS = ("disk", "blr", "dt")
DEFAULT_FIELDS = ("disk", "blr", "dt")
# Radii that follow the disk luminosity unless given (Ghisellini & Tavecchio 2009, MNRAS 397,
# 985): R_BLR = 1e17 cm (L_disk/1e45)^1/2, R_DT = 2.5e18 cm (L_disk/1e45)^1/2.
SCALED_RADII = {"R_BLR": ("blr", 1e17), "R_DT": ("dt", 2.5e18)}

# segments_rtol="auto" by backend (measured by the benchmark's grid-economy section): the
# sorvex synchrotron costs about 500 kernel evaluations per segment and frequency and gains from
# the fewest segments within 1e-2; the exact one integrates adaptively and gains nothing.
SEGMENTS_RTOL: dict[str, float | None] = {"sorvex": 1e-2, "exact": None}


@dataclass(frozen=True)
class ModelConfig:
    """The structure of a one-zone blob model (immutable; see the module documentation).

    electrons: a shape name of `DISTRIBUTIONS` or a `Distribution` (stored as the instance).
    normalisation: "n_e", "u_e" or "L_e" (the steady state is normalised by L_inj instead).
    components: any of "syn", "ssc", "ec".
    steady_state: the electrons are the cooled steady state of an injection of that shape.
    fields: the external photon fields of "ec", any of `FIELDS` ("disk", "blr", "dt",
        "cmb", "line"); empty: ("line",) with "ec", () without.
    ec_frame: the frame of the "line" field: "blob" (u_ext, nu_ext in the blob frame) or
        "agn" (isotropic in the nucleus' frame, exact angles).
    scaled: the radii (R_BLR, R_DT) that follow the scaling with L_disk rather than being
        parameters; None: both.
    black_hole: what gives the disk's black-hole mass: "M_BH" (the mass) or "l_Edd" (the
        Eddington ratio L_disk/L_Edd, M_BH = L_disk/(l_Edd × 1.26e38 erg s^-1) M_sun).
    thermal: the disk's and the torus' own thermal emission join the SED ("disk", "dt").
    radius: "R" or "t_var"; doppler: "delta_D" or "Gamma_theta".
    ebl: an EBL model name of `sorvexfit.components.EBL_MODELS`, or None.
    gamma_gamma: absorb SSC and EC on the blob's synchrotron photons; None: on with the exact
        kernels (which have the opacity), off with "sorvex".
    backend: "exact" (the exact kernels of `sorvexfit.kernels`) or "sorvex".
    cosmology: an astropy cosmology, None for Planck18.
    n_gamma, nu_range, n_nu: the electron grid size and the observed frequency grid.
    segments_rtol: tolerance of the fewest-segment synchrotron electrons; None: every grid
        point; "auto": the backend's choice (`SEGMENTS_RTOL`).
    """

    electrons: Distribution | str = "broken_power_law"
    normalisation: str = "n_e"
    components: tuple[str, ...] = ("syn", "ssc")
    steady_state: bool = False
    fields: tuple[str, ...] = ()
    ec_frame: str = "blob"
    scaled: tuple[str, ...] | None = None
    black_hole: str = "M_BH"
    thermal: bool = True
    radius: str = "R"
    doppler: str = "delta_D"
    ebl: str | None = None
    gamma_gamma: bool | None = None
    backend: str = DEFAULT_BACKEND
    cosmology: Any = field(default=None, compare=False, hash=False)
    n_gamma: int = 100
    nu_range: tuple[float, float] = (1e8, 1e28)
    n_nu: int = 120
    segments_rtol: float | str | None = "auto"
    steady_tolerance: float = 1e-3
    steady_max_iterations: int = 60
    name: str = ""
    # Derived from the fields above: whether gamma-gamma absorption is on, the synchrotron
    # kernel's segment tolerance, and a text that identifies the cosmology for caches and
    # equality (an astropy cosmology is not hashable).
    absorb_gamma_gamma: bool = field(default=False, init=False)
    synchrotron_rtol: float | None = field(default=None, init=False)
    cosmology_key: str = field(default="", init=False)

    def __post_init__(self) -> None:
        electrons = self.electrons
        if isinstance(electrons, str):
            if electrons not in DISTRIBUTIONS:
                raise ParameterError(
                    f"electrons: unknown distribution {electrons!r} "
                    f"(known: {', '.join(DISTRIBUTIONS)})"
                )
            electrons = DISTRIBUTIONS[electrons]()
        elif not isinstance(electrons, Distribution):
            raise ParameterError(
                f"electrons: {electrons!r} is neither a distribution name nor a Distribution"
            )
        parts = tuple(self.components) if not isinstance(self.components, str) else ()
        for c in parts:
            if c not in COMPONENTS:
                raise ParameterError(
                    f"components: unknown component {c!r} (known: {', '.join(COMPONENTS)})"
                )
        if not parts:
            raise ParameterError("components: at least one of syn, ssc, ec")
        fields = _fields(self.fields, "ec" in parts)
        scaled = _scaled(self.scaled, fields)
        _choose("normalisation", self.normalisation, tuple(NORMALISATIONS))
        _choose("ec_frame", self.ec_frame, ("blob", "agn"))
        _choose("black_hole", self.black_hole, tuple(_BLACK_HOLE))
        _choose("radius", self.radius, ("R", "t_var"))
        _choose("doppler", self.doppler, ("delta_D", "Gamma_theta"))
        _choose("backend", self.backend, tuple(BACKENDS), "unknown kernel backend")
        for option, value in (("n_gamma", self.n_gamma), ("n_nu", self.n_nu)):
            if isinstance(value, bool) or not (isinstance(value, int) and 8 <= value <= 4000):
                raise ParameterError(f"{option} = {value!r}: must be a whole number in 8..4000")
        try:
            low, high = (float(x) for x in self.nu_range)
        except (TypeError, ValueError):
            raise ParameterError(f"nu_range = {self.nu_range!r}: expected (low, high)") from None
        if not (0.0 < low < high < math.inf):
            raise ParameterError(f"nu_range = {self.nu_range!r}: must be 0 < low < high")
        ebl = None if self.ebl in (None, EBL_NONE) else self.ebl
        if ebl is not None:
            from .components import EBL_MODELS

            _choose("ebl", ebl, EBL_MODELS, "unknown EBL model")
        if set(fields) - {"line"} and self.backend != "exact":
            raise ParameterError(
                f"fields: {', '.join(f for f in fields if f != 'line')} need backend='exact'"
            )
        if self.steady_state and set(fields) - {"line"}:
            raise ParameterError(
                "fields: the steady state (and a flare) cools the electrons on a line only: "
                "fields=('line',), --fields line"
            )
        gamma_gamma = self.backend == "exact" if self.gamma_gamma is None else self.gamma_gamma
        if gamma_gamma and self.backend != "exact":
            raise ParameterError(
                "gamma_gamma: needs backend='exact' (sorvex has no gamma-gamma opacity)"
            )
        for option, number, least in (
            ("steady_tolerance", self.steady_tolerance, 0.0),
            ("steady_max_iterations", self.steady_max_iterations, 0),
        ):
            if isinstance(number, bool) or not (isinstance(number, int | float) and number > least):
                raise ParameterError(f"{option} = {number!r}: must be positive")
        kind = "ec" if "ec" in parts else "ssc"
        steady = ", steady state" if self.steady_state else ""
        resolved = {
            "electrons": electrons,
            "components": parts,
            "fields": fields,
            "scaled": scaled,
            "nu_range": (low, high),
            "ebl": ebl,
            "absorb_gamma_gamma": bool(gamma_gamma),
            "synchrotron_rtol": _segments_rtol(self.segments_rtol, self.backend),
            "name": self.name or f"{kind} model ({electrons.kind}{steady})",
            "cosmology_key": "" if self.cosmology is None else repr(self.cosmology),
        }
        for attribute, resolved_value in resolved.items():
            object.__setattr__(self, attribute, resolved_value)

    @property
    def distribution(self) -> Distribution:
        """The electron shape (a `Distribution`; `electrons` holds it after construction)."""
        assert isinstance(self.electrons, Distribution)
        return self.electrons

    @property
    def kind(self) -> str:
        """The kind: "ec" when the model has an external field, else "ssc"."""
        return "ec" if "ec" in self.components else "ssc"

    def with_options(self, **changes: Any) -> ModelConfig:
        """A copy with some choices changed (checked again)."""
        return replace(self, **changes)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, ModelConfig):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def _key(self) -> tuple[Any, ...]:
        return (
            self.distribution.kind,
            type(self.distribution),
            self.normalisation,
            self.components,
            self.steady_state,
            self.fields,
            self.ec_frame,
            self.scaled,
            self.black_hole,
            self.thermal,
            self.radius,
            self.doppler,
            self.ebl,
            self.absorb_gamma_gamma,
            self.backend,
            self.cosmology_key,
            self.n_gamma,
            self.nu_range,
            self.n_nu,
            self.synchrotron_rtol,
            self.steady_tolerance,
            self.steady_max_iterations,
            self.name,
        )

    def describe(self) -> dict[str, Any]:
        """The choices as plain values (for result metadata and fit identities)."""
        return {
            "name": self.name,
            "components": list(self.components),
            "electrons": self.distribution.kind,
            "normalisation": self.normalisation,
            "steady_state": self.steady_state,
            "fields": list(self.fields),
            "ec_frame": self.ec_frame,
            "scaled": list(self.scaled or ()),
            "thermal": self.thermal,
            "radius": self.radius,
            "doppler": self.doppler,
            "ebl": self.ebl,
            "gamma_gamma": self.absorb_gamma_gamma,
            "backend": self.backend,
            "cosmology": self.cosmology_key or "Planck18",
            "n_gamma": self.n_gamma,
            "nu_range": list(self.nu_range),
            "n_nu": self.n_nu,
            "segments_rtol": self.synchrotron_rtol,
            # only when not the default, so that earlier fits keep their identity
            **({"black_hole": self.black_hole} if self.black_hole != "M_BH" else {}),
        }


def _fields(value: Any, ec: bool) -> tuple[str, ...]:
    """The fields of `value` in the order of `FIELDS`, checked; the line alone by default."""
    if isinstance(value, str):
        value = tuple(f.strip() for f in value.split(",") if f.strip())
    try:
        given = tuple(value)
    except TypeError:
        raise ParameterError(f"fields: expected names of fields, got {value!r}") from None
    for name in given:
        if name not in FIELDS:
            raise ParameterError(f"fields: unknown field {name!r} (known: {', '.join(FIELDS)})")
    if given and not ec:
        raise ParameterError("fields: external fields need the ec component")
    if ec and not given:
        given = ("line",)
    return tuple(f for f in FIELDS if f in given)


def _scaled(value: Any, fields: tuple[str, ...]) -> tuple[str, ...]:
    """The radii of `fields` that follow the luminosity scaling (all of them when None)."""
    names = tuple(SCALED_RADII) if value is None else tuple(value)
    for name in names:
        if name not in SCALED_RADII:
            raise ParameterError(
                f"scaled: unknown radius {name!r} (known: {', '.join(SCALED_RADII)})"
            )
    return tuple(n for n in SCALED_RADII if n in names and SCALED_RADII[n][0] in fields)


def _segments_rtol(value: float | str | None, backend: str) -> float | None:
    """The tolerance `segments_rtol` stands for with this backend, or ParameterError."""
    if value == "auto":
        return SEGMENTS_RTOL[backend]
    if value is None:
        return None
    if isinstance(value, int | float) and not isinstance(value, bool) and value > 0.0:
        return float(value)
    raise ParameterError(f"segments_rtol = {value!r}: must be positive, None or 'auto'")


def _choose(option: str, value: Any, known: tuple[str, ...], what: str = "unknown choice") -> None:
    if value not in known:
        raise ParameterError(f"{option}: {what} {value!r} (known: {', '.join(known)})")


# ---------------------------------------------------------------------------------------------
# Choosing the configuration from the names a user sets


# Setting one of these parameters picks the geometry or normalisation that owns it; two of one
# group set at once are a conflict.
_RADIUS = {"t_var": "t_var", "R": "R"}
_DOPPLER = {"Gamma": "Gamma_theta", "theta": "Gamma_theta", "delta_D": "delta_D"}
_STEADY = ("L_inj", "t_esc", "t_acc")
_BLACK_HOLE = {"M_BH": "M_BH", "l_Edd": "l_Edd"}


def _chosen(names: set[str], owners: dict[str, str], default: str, what: str) -> str:
    chosen = {owners[n] for n in names if n in owners}
    if len(chosen) > 1:
        given = ", ".join(sorted(n for n in names if n in owners))
        raise ParameterError(f"{given}: these give the {what} two ways; set one of them")
    return chosen.pop() if chosen else default


def _moving(fields: tuple[str, ...], ec_frame: str) -> bool:
    """Whether the fields are given in the nucleus' frame (their scattering needs Γ and θ)."""
    return bool(set(fields) - {"line"}) or ("line" in fields and ec_frame == "agn")


def configure(
    kind: str = "ssc", names: Iterable[str] = (), radius: str = "R", **options: Any
) -> ModelConfig:
    """The configuration of a model of kind "ssc" (synchrotron + SSC) or "ec" (+ EC) whose
    parameters `names` will be set: setting t_var or R, Gamma or theta, u_e or L_e selects that
    geometry or normalisation (two ways at once are a ParameterError); `radius` is the
    geometry when neither R nor t_var is set. `options` are the other fields of
    `ModelConfig`.

    "ec" scatters the fields of an FSRQ by default, `DEFAULT_FIELDS` (the accretion disk, the
    broad-line region and the dust torus; fields=("line",) is the single line, the default of
    the steady state, which cools the electrons on a line), and is then
    given by Γ and θ unless delta_D is set; R_BLR and R_DT follow the disk luminosity
    (`SCALED_RADII`) unless set; setting l_Edd gives the black-hole mass by the Eddington
    ratio."""
    if kind not in MODEL_KINDS:
        raise ParameterError(f"model: unknown model {kind!r} (known: {', '.join(MODEL_KINDS)})")
    given = set(names)
    steady = bool(options.get("steady_state", False))
    if not steady and given & set(_STEADY):
        raise ParameterError(
            f"unknown parameter {sorted(given & set(_STEADY))[0]!r} without --steady-state"
        )
    if steady and given & set(NORMALISATIONS):
        name = sorted(given & set(NORMALISATIONS))[0]
        raise ParameterError(f"{name}: the steady state is normalised by L_inj")
    options["radius"] = _chosen(given, _RADIUS, radius, "radius")
    if kind == "ec":
        options.setdefault("fields", ("line",) if steady else DEFAULT_FIELDS)
        fields = _fields(options["fields"], True)
        options.setdefault("scaled", tuple(n for n in SCALED_RADII if n not in given))
        options.setdefault("black_hole", _chosen(given, _BLACK_HOLE, "M_BH", "black-hole mass"))
    else:
        fields = ()
    # The fields of the nucleus see the jet's Γ and the viewing angle: such a model is given
    # by Γ and θ unless δ is set.
    moving = _moving(fields, options.get("ec_frame", "blob"))
    options.setdefault(
        "doppler", _chosen(given, _DOPPLER, "Gamma_theta" if moving else "delta_D", "Doppler")
    )
    normalisations = {n: n for n in NORMALISATIONS}
    options.setdefault("normalisation", _chosen(given, normalisations, "n_e", "normalisation"))
    options.setdefault("components", KIND_COMPONENTS[kind])
    options.setdefault("name", kind)
    return ModelConfig(**options)


# ---------------------------------------------------------------------------------------------
# The parameters of a configuration


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
                frozen=True,
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


def _nucleus_parameters(
    fields: tuple[str, ...], scaled: tuple[str, ...], black_hole: str = "M_BH"
) -> list[Parameter]:
    """The disk luminosity, the blob's height and each field's own parameters. Defaults:
    Shakura-Sunyaev disk from 6 to 200 R_g with η = 1/12 (Schwarzschild) around 1e9 M_sun;
    the BLR re-emitting 10 % of the disk in Lyman α, the torus 50 % at 1000 K (Ghisellini &
    Tavecchio 2009, MNRAS 397, 985); their radii from `SCALED_RADII` unless given."""
    params = [
        Parameter("L_disk", 1e46, "erg s-1", 1e38, 1e50, log10=True, description="disk luminosity"),
        Parameter(
            "r",
            1.5e17,
            "cm",
            1e13,
            1e22,
            frozen=True,
            log10=True,
            description="blob's height above the disk, on the jet axis",
        ),
    ]
    frozen = {"frozen": True}
    if "disk" in fields:
        params += [
            Parameter(
                "M_BH", 1e9, "solMass", 1e4, 1e11, log10=True, description="black-hole mass",
                **frozen,
            )
            if black_hole == "M_BH"
            else Parameter(
                "l_Edd", 0.1, "", 1e-5, 10.0, log10=True,
                description="Eddington ratio L_disk/L_Edd (gives M_BH)", **frozen,
            ),
            Parameter("eta", 1 / 12, "", 1e-3, 1.0, description="accretion efficiency", **frozen),
            Parameter("R_in", 6.0, "", 1.0, 1e4, description="disk's inner radius, R_g", **frozen),
            Parameter(
                "R_out", 200.0, "", 1.01, 1e7, log10=True, description="disk's outer radius, R_g",
                **frozen,
            ),
        ]  # fmt: skip
    if "blr" in fields:
        params += [
            Parameter(
                "xi_BLR", 0.1, "", 1e-5, 1.0, log10=True,
                description="fraction of the disk luminosity the BLR re-emits", **frozen,
            ),
            Parameter(
                "nu_line", 2.47e15, "Hz", 1e13, 1e17, log10=True,
                description="broad line frequency (Lyman alpha)", **frozen,
            ),
        ]  # fmt: skip
        if "R_BLR" not in scaled:
            params.append(
                Parameter(
                    "R_BLR",
                    1e17,
                    "cm",
                    1e14,
                    1e21,
                    log10=True,
                    description="BLR radius",
                    **frozen,
                )
            )
    if "dt" in fields:
        params += [
            Parameter(
                "xi_DT", 0.5, "", 1e-5, 1.0, log10=True,
                description="fraction of the disk luminosity the torus re-emits", **frozen,
            ),
            Parameter("T_DT", 1000.0, "K", 10.0, 3000.0, description="dust temperature", **frozen),
        ]  # fmt: skip
        if "R_DT" not in scaled:
            params.append(
                Parameter(
                    "R_DT",
                    2.5e18,
                    "cm",
                    1e15,
                    1e22,
                    log10=True,
                    description="torus radius",
                    **frozen,
                )
            )
    return params


def parameters(config: ModelConfig) -> Parameters:
    """The parameters of a configuration, at their defaults (a new, independent object)."""
    params = _blob_parameters(config.radius, config.doppler)
    if _moving(config.fields, config.ec_frame):
        # The nucleus' fields constrain Γ and δ apart; θ stays where it is put (a fit's start
        # puts it at arccos β, where δ = Γ).
        for p in params:
            if p.name == "theta":
                p.frozen = True
    if config.steady_state:
        params += _steady_parameters()
    else:
        params.append(normalisation_parameter(config.normalisation))
    params += config.distribution.parameters()
    if "line" in config.fields:
        params += _ec_parameters(config.ec_frame)
    if set(config.fields) & set(NUCLEUS_FIELDS):
        params += _nucleus_parameters(config.fields, config.scaled or (), config.black_hole)
    result = Parameters.of(params, config.distribution.order(), config.name)
    result.check_order(result.as_dict())
    return result
