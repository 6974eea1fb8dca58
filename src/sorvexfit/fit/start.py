"""A physical starting point for a one-zone fit, from the humps of the SED.

`starting_point(points, kind="ssc")` reads the humps (`sorvexfit.fit.observables`) and
closes the analytic one-zone relations into B, δ, the electrons' break and indices, and the
external field; `start_values(start)` gives them as the `--set` values of `sorvexfit fit`.

The relations (observed frequencies ν, redshift z, Doppler factor δ, blob frame primed,
energies ε in units of m_e c²):

- Synchrotron peak of electrons at the break γ_b: ν_s = 3.7e6 Hz · B γ_b² δ/(1+z)
  (Tavecchio, Maraschi & Ghisellini 1998, ApJ 509, 608, hereafter TMG98). It also maps any
  synchrotron frequency to the electrons emitting it, γ(ν) = γ_b √(ν/ν_s).
- Size from the variability time: R = c t_var δ/(1+z) (TMG98); t_var defaults to 1 day.
- The Compton peak ν_c of broken power-law electrons (indices p1 < 3 < p2, break γ_b) in the
  δ-function approximation with the Klein-Nishina cut of TMG98 (sec. 2.2): a seed photon ε'
  scattered by γ comes out at (4/3)γ²ε' when 4γε' < 1 and is not scattered above. For SSC
  the seeds are the observed synchrotron hump itself, so the Thomson limit ν_c = (4/3)γ_b²ν_s
  and the Klein-Nishina limit (ν_c ∝ γ_b δ) follow from one computation. For EC on a line,
  each electron's spectrum is the exact Klein-Nishina one for isotropic monochromatic
  photons (Blumenthal & Gould 1970, Rev. Mod. Phys. 42, 237, eq. 2.48), which peaks near
  ν_c ≈ 2.5 γ_b² ν'_ext δ/(1+z) in the Thomson regime (Dermer & Schlickeiser 1993). Given δ,
  ν_c fixes γ_b and ν_s then B.
- Compton dominance, SSC: L_c/L_s = U'_syn,eff/U'_B with U'_B = B²/8π (TMG98; Klein-Nishina
  form as their eq. 12). U'_syn = (9/4) L_s/(4πR²cδ⁴) is the volume-averaged synchrotron
  energy density of a uniform sphere (Gould 1979, A&A 76, 306; TMG98 omit the 9/4), with
  L_s = 4πd_L² ∫νF_ν d ln ν of the synchrotron hump; in U'_syn,eff each seed photon counts
  with the Klein-Nishina reduction of the power γ_b electrons scatter, F_KN(b) ≈ (1+b)^-1.5
  with b = 4γ_b ε' (Moderski et al. 2005, MNRAS 363, 954). With B and γ_b from the peaks
  at a given δ, L_c/L_s fixes δ: δ⁴ ∝ L_s²/L_c in the Thomson limit (TMG98).
- EC on the broad-line region (Lyman α, ν = 2.47e15 Hz) or the dust torus (infrared,
  3e13 Hz), seen from the blob as ν'_ext = Γν and u'_ext = Γ²(1+β²/3)u with Γ = δ
  (Ghisellini & Tavecchio 2009, MNRAS 397, 985, hereafter GT09): L_c/L_s =
  u'_ext F_KN(4γ_b ε'_ext)/U'_B gives u'_ext. These leave δ free (B ∝ δ, u'_ext ∝ δ²); the
  blob's own SSC, L_ssc/L_s = U'_syn,eff/U'_B ∝ δ^-8, fixes it: δ is the smallest for which
  the SSC hump stays below the observed SED (in FSRQs the SSC often makes the soft X-rays,
  GT09); an SSC ten times below the data would move δ by 10^(1/8) = 1.33 only. The field
  (`field="auto"`) is the one whose AGN-frame energy density, implied by the Compton
  dominance, lies closer to GT09's: U_BLR ≈ 2.6e-2 erg cm^-3 (10 % of the disk luminosity
  at R_BLR = 1e17 L_d,45^½ cm) and U_IR ≈ 2e-4 erg cm^-3 (half of it at 2.5e18 L_d,45^½ cm).
- The nucleus of an FSRQ (a model with `fields` of the disk, BLR or torus): Γ = δ and the
  viewing angle θ_s = arccos β, where δ = Γ (GT09). L_disk from the disk's thermal bump: the
  model's own disk (Shakura-Sunyaev, the default M_BH = 1e9 M_sun, η = 1/12, 6 to 200 R_g,
  seen at θ_s) through the bump's brightest point, less the synchrotron under it; at the
  bump's peak this is L_disk = 4π d_L² νF_ν,peak / (2 cos θ_s · 0.53 · 0.92): the peak holds
  0.53 of the disk's flux, a disk to 200 R_g radiates 0.92 of L_disk, and a face-on disk
  appears twice as bright as the isotropic source of its luminosity. Without a bump L_disk
  keeps its default. The radii follow L_disk (GT09, `sorvexfit.config.SCALED_RADII`), and
  the blob sits inside the BLR at r = 0.5 R_BLR when the Compton dominance points to the BLR
  (`field`), between the BLR and the torus at r = √(R_BLR R_DT) when it points to the torus.
- Electron indices from the νF_ν slopes a on either side of the synchrotron peak:
  p = 3 - 2a (Rybicki & Lightman 1979, eq. 6.22; a photon index Γ_ph gives p = 2Γ_ph - 1);
  where the synchrotron's rise is unobserved, from the Compton hump's rise, which has the
  same slope in the Thomson regime.
- γ_min = γ(ν_min), ν_min the lowest frequency the synchrotron is seen at; or higher when a
  millimetre point lies below the hump's rise, so that the spectrum of the γ_min electrons,
  νF_ν ∝ ν^(4/3) (Rybicki & Lightman 1979), bends it down to that point; at most γ_b/3, and
  for EC low enough that the line scattered by γ_min, (4/3)γ_min²ε', reaches the lowest
  Compton point;
  γ_max = the largest of 2γ(ν_high) at its highest, 1.2 (1+z)hν/(δ m_e c²) for the highest
  Compton photon, and 10 γ_b.
- n_e: first from the synchrotron power, L_s/δ⁴ = (4/3)σ_T c U'_B V ∫γ²N dγ; then the model
  is evaluated once at the start and n_e rescaled so that its synchrotron peak meets the
  observed one (the synchrotron is linear in n_e).

Everything is clipped into physical bounds: B 1e-3..100 G, δ 1..100, 1 ≤ p1 < 3 < p2 ≤ 6,
1 ≤ γ_min < γ_b < γ_max ≤ 1e8. Against the model itself the relations give B and δ to a
factor ~2 and γ_b to ~1.5 when both humps are seen; each value says how it was found.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

from ..constants import C_LIGHT, H_PLANCK, ME_C2, SIGMA_T
from ..parameters import ParameterError
from .data import DataError, FluxPoints
from .observables import SedObservables, read_humps

__all__ = ["DAY", "FIELDS", "StartingPoint", "start_values", "starting_point"]

DAY = 86400.0  # s
# External fields (GT09): AGN-frame line frequency (Hz) and typical energy density (erg cm^-3).
FIELDS: dict[str, tuple[float, float]] = {"blr": (2.47e15, 2.6e-2), "torus": (3e13, 2e-4)}
NU_SYN = 3.7e6  # Hz G^-1: ν_s = NU_SYN B γ² δ/(1+z) (TMG98)
B_BOUNDS = (1e-3, 100.0)  # G
DELTA_BOUNDS = (1.0, 100.0)
P1_BOUNDS = (1.0, 2.9)
P2_BOUNDS = (3.1, 6.0)
GAMMA_MAX = 1e8
DELTA_ASSUMED = 10.0  # without a Compton hump (or an SSC limit), a typical blazar δ
_DELTA_SEARCH = (1.0, 1e3)
_LN10 = math.log(10.0)
_ORDER = ("B", "delta_D", "t_var", "R", "z", "n_e", "p1", "p2", "gamma_b", "gamma_min",
          "gamma_max")  # fmt: skip
_NUCLEUS = ("Gamma", "theta", "L_disk", "r")  # the values of a start with the nucleus' fields
M_BH_ASSUMED = 1e9  # M_sun, the model's default


@dataclass(frozen=True)
class StartingPoint:
    """A starting point for a `kind` ("ssc" or "ec") fit, in the model's parameter units.

    values: (name, value) pairs: B (G), delta_D, t_var (s), R (cm, from t_var), z, n_e
    (cm^-3), p1, p2, gamma_b, gamma_min, gamma_max, and for "ec" u_ext (erg cm^-3) and nu_ext
    (Hz) in the frame `ec_frame`; methods: (name, how it was found); flags and notes: what
    the reading and the relations met (one-sided humps, a disk bump, no gamma rays, clipped
    values, the field chosen); observables: the humps it was built from.
    """

    kind: str
    values: tuple[tuple[str, float], ...]
    methods: tuple[tuple[str, str], ...]
    flags: tuple[str, ...]
    notes: tuple[str, ...]
    observables: SedObservables
    ec_frame: str = "blob"
    field: str = ""

    def __getitem__(self, name: str) -> float:
        for key, value in self.values:
            if key == name:
                return value
        raise KeyError(name)

    def as_dict(self) -> dict[str, float]:
        return dict(self.values)

    def summary(self) -> str:
        how = dict(self.methods)
        lines = [f"starting point ({self.kind}):"]
        lines += [f"  {name:9s} = {value:<10.4g} {how[name]}" for name, value in self.values]
        return "\n".join(lines + [f"  note: {n}" for n in self.notes])


def starting_point(
    points: FluxPoints | SedObservables,
    kind: str = "ssc",
    *,
    t_var: float = DAY,
    redshift: float | None = None,
    delta_D: float | None = None,
    field: str = "auto",
    ebl: str | None = None,
    model_options: Mapping[str, Any] | None = None,
    normalise: bool = True,
) -> StartingPoint:
    """The starting point of a `kind` fit ("ssc" or "ec") of `points` (flux points, or the
    humps `read_humps` found), by the relations of the module documentation.

    t_var: variability time (s, default 1 day); redshift: instead of the points' own;
    delta_D: a Doppler factor to impose instead of solving for it; field: the external field
    for "ec", "blr", "torus" or "auto"; ebl: an EBL model to de-absorb the gamma rays with
    before the humps are read; model_options: passed to `make_model` for the one evaluation
    that sets n_e (`ec_frame="agn"` also gives u_ext and nu_ext in the AGN frame);
    normalise=False skips that evaluation and keeps the analytic n_e.
    Raises ParameterError for a bad argument, DataError for points without a synchrotron hump.
    """
    if kind not in ("ssc", "ec"):
        raise ParameterError(f"kind: unknown model kind {kind!r} (known: ssc, ec)")
    if not (isinstance(t_var, (int, float)) and math.isfinite(t_var) and t_var > 0):
        raise ParameterError(f"t_var = {t_var!r}: must be a positive number of seconds")
    if delta_D is not None and not (
        isinstance(delta_D, (int, float)) and math.isfinite(delta_D) and delta_D >= 1.0
    ):
        raise ParameterError(f"delta_D = {delta_D!r}: must be a number ≥ 1")
    if field != "auto" and field not in FIELDS:
        raise ParameterError(f"field: unknown field {field!r} (known: auto, blr, torus)")
    options = dict(model_options or {})
    ec_frame = options.get("ec_frame", "blob")
    if ec_frame not in ("blob", "agn"):
        raise ParameterError(f"ec_frame: {ec_frame!r} is neither 'blob' nor 'agn'")
    if isinstance(points, SedObservables):
        obs = points
    else:
        obs = read_humps(points, ebl=ebl, redshift=redshift)
    z = obs.redshift if redshift is None else redshift
    if z is None or not (isinstance(z, (int, float)) and math.isfinite(z) and z > 0):
        raise ParameterError(f"redshift = {z!r}: a positive redshift is needed")
    if not obs.synchrotron.detected:
        raise DataError("points: no synchrotron hump detected; no starting point can be built")

    nucleus = kind == "ec" and bool(set(options.get("fields") or ()) & {"disk", "blr", "dt"})
    names = [""] if kind == "ssc" else list(FIELDS) if field == "auto" else [field]
    candidates = []
    for name in names:
        work = _Work(obs, float(z), float(t_var), kind)
        if kind == "ssc":
            work.solve_ssc(delta_D)
        else:
            work.solve_ec(delta_D, name)
            if nucleus:
                work.nucleus(tuple(options["fields"]))
        work.density()
        if normalise:
            work.normalise(options)
        candidates.append(work)
    work = candidates[0]
    if len(candidates) > 1:
        # The field whose start matches the SED better; without the evaluation, the one whose
        # energy density is closer to GT09's.
        scored = all(math.isfinite(w.score) for w in candidates)
        work = min(candidates, key=lambda w: w.score if scored else w.mismatch)
        others = ", ".join(f"{w.field} {w.score:.2g}" for w in candidates)
        work.notes.append(
            f"external field: {work.field}, "
            + (f"the better start (mean squared log residual: {others})" if scored
               else "whose energy density the Compton dominance matches better (GT09)")
        )  # fmt: skip

    values = work.values
    if kind == "ec" and ec_frame == "agn":
        boost = _field_boost(values["delta_D"])
        values["u_ext"] /= boost
        values["nu_ext"] /= values["delta_D"]
        work.methods["u_ext"] += "; AGN frame, u'/(Γ²(1+β²/3)) with Γ = δ"
        work.methods["nu_ext"] = f"the {work.field} frequency in the AGN frame (GT09)"
    order = list(_ORDER) + (["u_ext", "nu_ext"] if kind == "ec" else [])
    order += [name for name in _NUCLEUS if name in values]
    return StartingPoint(
        kind,
        tuple((name, float(values[name])) for name in order),
        tuple((name, work.methods.get(name, "")) for name in order),
        tuple(dict.fromkeys(list(obs.flags) + work.flags)),
        tuple(list(obs.notes) + work.notes),
        obs,
        ec_frame,
        work.field,
    )


def start_values(
    start: StartingPoint, kind: str | None = None, *, radius: str = "t_var"
) -> dict[str, str]:
    """The starting point as `sorvexfit fit --set NAME=VALUE` values, NAME → text, for a
    model of `kind` (default: the kind it was built for); radius: "t_var" (default) or "R".
    `tuple(start_values(s).items())` is a `FitOptions.values`. An "ssc" start has no external
    field: asking it for "ec" raises ParameterError."""
    kind = start.kind if kind is None else kind
    if kind not in ("ssc", "ec"):
        raise ParameterError(f"kind: unknown model kind {kind!r} (known: ssc, ec)")
    if radius not in ("t_var", "R"):
        raise ParameterError(f"radius: {radius!r} is neither 't_var' nor 'R'")
    if kind == "ec" and start.kind == "ssc":
        raise ParameterError(
            "kind: this starting point has no external field; build it with kind='ec'"
        )
    names = [n for n in _ORDER if n not in ("t_var", "R")] + [radius]
    names += ["u_ext", "nu_ext"] if kind == "ec" else []
    names += [n for n in _NUCLEUS if kind == "ec" and n in dict(start.values)]
    return {name: f"{start[name]:.6g}" for name in names}


def _field_boost(gamma: float) -> float:
    """u'/u = Γ²(1 + β²/3) for a field isotropic in the AGN frame (GT09)."""
    return gamma * gamma * (1.0 + (1.0 - 1.0 / (gamma * gamma)) / 3.0)


def _f_kn(b: np.ndarray | float) -> np.ndarray:
    """Klein-Nishina reduction of the power scattered off isotropic photons, (1 + b)^-1.5,
    b = 4γε (Moderski et al. 2005)."""
    return np.asarray((1.0 + np.asarray(b, dtype=float)) ** -1.5)


def _bisect(fn: Callable[[float], float], lo: float, hi: float, steps: int = 24) -> float:
    """The root of fn (increasing in log x) between lo and hi, by bisection in log x."""
    a, b = math.log(lo), math.log(hi)
    for _ in range(steps):
        mid = 0.5 * (a + b)
        if fn(math.exp(mid)) < 0.0:
            a = mid
        else:
            b = mid
    return math.exp(0.5 * (a + b))


_BIN = 0.05  # dex, the histogram of the δ-function SSC spectrum


def _spectrum(log_e: np.ndarray, weight: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The histogram of `weight` over `log_e` in 0.05-dex bins, smoothed over three bins and
    normalised to a unit integral over ln ε: (bin centres, values)."""
    lo = float(np.min(log_e))
    idx = np.floor((log_e - lo) / _BIN).astype(np.int64)
    hist = np.bincount(idx.ravel(), weights=weight.ravel())
    if hist.size >= 3:
        hist = np.convolve(hist, np.ones(3) / 3.0, mode="same")
    centres = lo + (np.arange(hist.size) + 0.5) * _BIN
    return centres, hist / (float(np.sum(hist)) * _BIN * _LN10)


def _peak_of(centres: np.ndarray, values: np.ndarray) -> float:
    """Where the binned `values` are largest, refined by a parabola through its neighbours."""
    k = int(np.argmax(values))
    shift = 0.0
    if 0 < k < values.size - 1:
        a, b, c = values[k - 1], values[k], values[k + 1]
        denominator = a - 2.0 * b + c
        shift = 0.5 * (a - c) / denominator if denominator < 0.0 else 0.0
    return float(centres[k] + shift * _BIN)


class _Work:
    """The values as they are found, with how, and what was met on the way."""

    def __init__(self, obs: SedObservables, z: float, t_var: float, kind: str) -> None:
        from astropy.cosmology import Planck18

        self.obs = obs
        self.z = z
        self.t_var = t_var
        self.kind = kind
        self.field = ""
        self.mismatch = 0.0  # |log10| of the implied over the typical field (EC)
        self.score = math.nan  # mean squared log residual of the start (after `normalise`)
        self.values: dict[str, float] = {"z": z, "t_var": t_var}
        self.methods: dict[str, str] = {
            "z": "from the data" if obs.redshift == z else "given",
            "t_var": f"variability time {t_var / DAY:.3g} d",
        }
        self.flags: list[str] = []
        self.notes: list[str] = []
        self.d_l = float(Planck18.luminosity_distance(z).to_value("cm"))
        syn = self.obs.synchrotron
        self.nu_s = syn.nu_peak
        self.nu_low = obs.nu_low if math.isfinite(obs.nu_low) else syn.nu_points[0]
        self.nu_high = syn.nu_points[1]
        self.l_s = 4.0 * math.pi * self.d_l**2 * syn.energy_flux
        self.line_blob = 0.0  # Hz, the external line in the blob frame (EC)
        self.nu_thin = self._lowest_thin()
        # The seeds: the fitted synchrotron hump within 3 dex of its peak, and from 0.5 dex
        # below its lowest optically thin point (lower, self-absorption and γ_min thin them).
        x = math.log10(self.nu_s)
        low = max(x - 3.0, math.log10(syn.nu_points[0]) - 0.5)
        self.seed_nu = 10.0 ** np.linspace(min(low, x - 0.5), x + 3.0, 61)
        self.seed_nufnu = syn.sed(self.seed_nu)
        self.indices()

    def clip(self, name: str, value: float, bounds: tuple[float, float]) -> float:
        clipped = min(max(value, bounds[0]), bounds[1])
        if clipped != value:
            self.flags.append(f"clipped_{name}")
            self.notes.append(f"{name}: {value:.3g} clipped to {clipped:.3g}")
        self.values[name] = clipped
        return clipped

    def indices(self) -> None:
        """p = 3 - 2a from the synchrotron's νF_ν slopes. Where the synchrotron's rise is
        unobserved and the Compton hump's is, from that: below the peak, in the Thomson
        regime, the same electrons give the Compton hump the same slope (exactly for EC; the
        SSC's is somewhat flatter, as its seeds are broad)."""
        syn, com = self.obs.synchrotron, self.obs.compton
        for name, bounds, side in (("p1", P1_BOUNDS, "rise"), ("p2", P2_BOUNDS, "fall")):
            hump = syn
            if side == "rise" and syn.coverage not in ("both", "rise"):
                hump = com if com.coverage in ("both", "rise") else syn
            slope = hump.slope_rise if side == "rise" else hump.slope_fall
            err = hump.slope_rise_err if side == "rise" else hump.slope_fall_err
            where = "below" if side == "rise" else "above"
            self.methods[name] = f"3 - 2a, a = {slope:+.2f} ± {err:.2f}, {hump.name} slope {where}"
            if hump.coverage not in ("both", side):
                self.methods[name] += " (unobserved side: mostly the typical slope)"
            self.clip(name, 3.0 - 2.0 * slope, bounds)

    def radius(self, delta: float) -> float:
        return C_LIGHT * self.t_var * delta / (1.0 + self.z)

    def field_b(self, gamma_b: float, delta: float) -> float:
        """B from ν_s = 3.7e6 B γ_b² δ/(1+z)."""
        return self.nu_s * (1.0 + self.z) / (NU_SYN * gamma_b**2 * delta)

    def _lowest_thin(self) -> float:
        """The frequency (Hz) below which the synchrotron cannot continue the hump's rise: a
        millimetre point below that rise needs the spectrum of the γ_min electrons,
        νF_ν ∝ ν^(4/3), to bend it down in time: hump(ν_min)(ν_mm/ν_min)^(4/3) = F_mm. Without
        such a point, the lowest frequency the synchrotron is seen at."""
        syn = self.obs.synchrotron
        lowest = self.nu_low
        for nu_mm, f_mm in self.obs.thick_points:
            if not (nu_mm < self.nu_s and f_mm < float(syn.sed(nu_mm))):
                continue

            def excess(nu: float, nu_mm: float = nu_mm, f_mm: float = f_mm) -> float:
                return math.log(f_mm / float(syn.sed(nu))) - (4.0 / 3.0) * math.log(nu_mm / nu)

            if excess(self.nu_s) >= 0.0:
                lowest = max(lowest, _bisect(excess, nu_mm, self.nu_s))
        return lowest

    def electrons(self, gamma_b: float, delta: float) -> tuple[float, float]:
        """γ_min and γ_max for γ_b at δ (see the module documentation)."""
        gamma_min = gamma_b * min(math.sqrt(self.nu_thin / self.nu_s), 1.0 / 3.0)
        gamma_max = gamma_b * max(2.0 * math.sqrt(self.nu_high / self.nu_s), 10.0)
        com = self.obs.compton
        if com.detected and self.line_blob:
            # A line scatters to (4/3)γ²ε' only: the lowest Compton photon needs γ_min below.
            e_low = (1.0 + self.z) * com.nu_points[0] / (delta * self.line_blob)
            gamma_min = min(gamma_min, math.sqrt(0.75 * e_low) / 1.5)
        if com.detected:
            # The highest Compton photon ε_c needs γ ≥ ε_c (energy) and, from seeds ε' at most,
            # γ ≥ √(3ε_c/4ε') (Thomson); the seeds: the line, or the highest synchrotron.
            e_c = (1.0 + self.z) * H_PLANCK * com.nu_points[1] / (delta * ME_C2)
            seed = self.line_blob if self.line_blob else self.nu_high * (1.0 + self.z) / delta
            e_seed = H_PLANCK * seed / ME_C2
            gamma_max = max(gamma_max, 1.2 * max(e_c, math.sqrt(0.75 * e_c / e_seed)))
        return max(gamma_min, 1.0), min(gamma_max, GAMMA_MAX)

    def _electron_grid(self, gamma_b: float, delta: float) -> tuple[np.ndarray, np.ndarray]:
        """log-spaced γ and N(γ)γ (per ln γ) of the broken power law, shape only."""
        gamma_min, gamma_max = self.electrons(gamma_b, delta)
        gamma = np.geomspace(gamma_min, max(gamma_max, 1.01 * gamma_min), 121)
        index = np.where(gamma < gamma_b, self.values["p1"], self.values["p2"])
        return gamma, (gamma / gamma_b) ** (1.0 - index)

    def ssc_spectrum(self, gamma_b: float, delta: float) -> tuple[np.ndarray, np.ndarray]:
        """The observed SSC spectrum's shape, (log10 ν, νF_ν per unit ∫ d ln ν): the
        δ-function approximation with the Klein-Nishina cut (TMG98 sec. 2.2) on the observed
        synchrotron hump as seeds; empty when every seed is cut."""
        gamma, n = self._electron_grid(gamma_b, delta)
        eps = H_PLANCK * self.seed_nu * (1.0 + self.z) / (delta * ME_C2)
        photons = self.seed_nufnu / eps  # photons per ln ε, shape only
        g, e = gamma[:, None], eps[None, :]
        power = n[:, None] * photons[None, :] * g * g * e * (4.0 * g * e < 1.0)
        if not np.any(power > 0.0):
            return np.zeros(0), np.zeros(0)
        log_nu = np.log10((4.0 / 3.0) * g * g * e * ME_C2 * delta / (H_PLANCK * (1.0 + self.z)))
        return _spectrum(log_nu + np.zeros_like(power), power)

    def ssc_peak(self, gamma_b: float, delta: float) -> float:
        """The observed SSC peak (Hz) of `ssc_spectrum` (infinite when all is cut)."""
        centres, values = self.ssc_spectrum(gamma_b, delta)
        return float(10.0 ** _peak_of(centres, values)) if centres.size else math.inf

    def ec_peak(self, gamma_b: float, delta: float, nu_blob: float) -> float:
        """The observed EC peak (Hz) on a line of blob-frame frequency nu_blob: the exact
        isotropic Klein-Nishina spectrum of each electron (Blumenthal & Gould 1970, 2.48)."""
        gamma, n = self._electron_grid(gamma_b, delta)
        eps = H_PLANCK * nu_blob / ME_C2
        top = math.log10(gamma[-1])
        e_s = 10.0 ** np.linspace(math.log10(eps), top, 161)[None, :]
        g = gamma[:, None]
        big_gamma = 4.0 * eps * g
        e1 = np.minimum(e_s / g, 1.0 - 1e-12)
        q = e1 / (big_gamma * (1.0 - e1))
        allowed = (q >= 1.0 / (4.0 * g * g)) & (q <= 1.0)
        qs = np.where(allowed, q, 1.0)
        kernel = (
            2.0 * qs * np.log(qs)
            + (1.0 + 2.0 * qs) * (1.0 - qs)
            + (big_gamma * qs) ** 2 * (1.0 - qs) / (2.0 * (1.0 + big_gamma * qs))
        )
        nufnu = (n[:, None] * kernel * allowed / (g * g)).sum(axis=0) * e_s[0] ** 2
        k = int(np.argmax(nufnu))
        return float(e_s[0, k]) * ME_C2 / H_PLANCK * delta / (1.0 + self.z)

    def gamma_for(self, peak: Callable[[float], float], nu_c: float) -> float:
        """γ_b whose Compton peak `peak(γ_b)` is at nu_c (the peak rises with γ_b)."""
        return _bisect(lambda g: math.log(peak(g) / nu_c), 1.0, GAMMA_MAX / 10.0)

    def u_syn_eff(self, delta: float, gamma_b: float) -> float:
        """U'_syn,eff = (9/4) ∫L_ν F_KN(4γ_b ε') dν / (4πR²cδ⁴), erg cm^-3."""
        x = np.log10(self.seed_nu)
        eps = H_PLANCK * self.seed_nu * (1.0 + self.z) / (delta * ME_C2)
        flux = float(np.trapezoid(self.seed_nufnu * _f_kn(4.0 * gamma_b * eps), x)) * _LN10
        lum = 4.0 * math.pi * self.d_l**2 * flux
        r = self.radius(delta)
        return 2.25 * lum / (4.0 * math.pi * r * r * C_LIGHT * delta**4)

    def compton_ratio(self) -> tuple[float, str]:
        """L_c/L_s observed, or its ceiling from the gamma-ray upper limits, or 1 assumed."""
        syn, com = self.obs.synchrotron, self.obs.compton
        if com.detected:
            return com.energy_flux / syn.energy_flux, "observed"
        if math.isfinite(com.flux_ceiling):
            return com.flux_ceiling / syn.flux_peak, "ceiling"
        return 1.0, "assumed"

    def solve_ssc(self, delta_given: float | None) -> None:
        com = self.obs.compton
        if not com.detected:
            self.without_compton(delta_given)
            return
        ratio_obs, _ = self.compton_ratio()
        nu_c = com.nu_peak

        def state(delta: float) -> tuple[float, float, float]:
            gamma_b = self.gamma_for(lambda g: self.ssc_peak(g, delta), nu_c)
            b = self.field_b(gamma_b, delta)
            return gamma_b, b, self.u_syn_eff(delta, gamma_b) / (b * b / (8.0 * math.pi))

        if delta_given is not None:
            delta, how = delta_given, "given"
        else:
            delta, how = self.root_delta(
                lambda d: math.log(ratio_obs / state(d)[2]),
                "L_c/L_s = U'_syn,eff/U'_B with B, γ_b from the peaks (TMG98)",
            )
        delta = self.clip("delta_D", delta, DELTA_BOUNDS)
        self.methods["delta_D"] = how
        gamma_b, _, _ = state(delta)
        self.set_break(gamma_b, delta, f"SSC peak at ν_c = {nu_c:.3g} Hz (δ-function, KN cut)")
        self.flag_klein_nishina(gamma_b, delta, self.nu_s)

    def root_delta(self, fn: Callable[[float], float], relation: str) -> tuple[float, str]:
        """The δ where fn (increasing with δ) crosses zero, or an end of the search range."""
        lo, hi = _DELTA_SEARCH
        if fn(lo) >= 0.0:
            return lo, relation + " (holds already at δ = 1)"
        if fn(hi) < 0.0:
            return hi, relation + f" (not met below δ = {hi:g})"
        return _bisect(fn, lo, hi), relation

    def set_break(self, gamma_b: float, delta: float, how: str) -> None:
        """γ_b, B, R and the electron range at δ."""
        gamma_b = self.clip("gamma_b", gamma_b, (3.0, GAMMA_MAX / 10.0))
        self.methods["gamma_b"] = how
        self.clip("B", self.field_b(gamma_b, delta), B_BOUNDS)
        self.methods["B"] = "ν_s = 3.7e6 B γ_b² δ/(1+z) (TMG98)"
        self.values["R"] = self.radius(delta)
        self.methods["R"] = "c t_var δ/(1+z)"
        gamma_min, gamma_max = self.electrons(gamma_b, delta)
        self.values["gamma_min"] = min(gamma_min, gamma_b / 1.5)
        self.values["gamma_max"] = max(gamma_max, 1.5 * gamma_b)
        thin = gamma_b * math.sqrt(self.nu_thin / self.nu_s)
        if gamma_min < min(thin, gamma_b / 3.0) / 1.001:
            self.methods["gamma_min"] = "(4/3)γ_min²ε' of the line reaches the lowest Compton point"
        elif thin > gamma_b / 3.0:
            self.methods["gamma_min"] = "γ_b/3"
        else:
            self.methods["gamma_min"] = (
                f"γ(ν) at {self.nu_thin:.3g} Hz, the lowest frequency the hump's rise can reach"
            )
        self.methods["gamma_max"] = (
            "largest of 2γ(ν) at the highest synchrotron point, the γ the highest Compton "
            "photon needs, 10 γ_b"
        )

    def flag_klein_nishina(self, gamma_b: float, delta: float, nu_seed: float) -> None:
        """Flags scattering in the Klein-Nishina regime: 4γ_b ε'_seed > 1 at the peaks."""
        b = 4.0 * gamma_b * H_PLANCK * nu_seed * (1.0 + self.z) / (delta * ME_C2)
        if b > 1.0:
            self.flags.append("klein_nishina")
            self.notes.append(f"Compton peak in the Klein-Nishina regime (4γ_b ε' = {b:.2g})")

    def without_compton(self, delta_given: float | None) -> None:
        """No Compton hump: δ given or assumed, B from the Compton dominance the gamma-ray
        upper limits allow (U'_B = U'_syn L_s/L_c, Thomson: a lower bound), γ_b from ν_s."""
        ratio, source = self.compton_ratio()
        delta = DELTA_ASSUMED if delta_given is None else delta_given
        delta = self.clip("delta_D", delta, DELTA_BOUNDS)
        self.methods["delta_D"] = "given" if delta_given is not None else "assumed"
        if delta_given is None:
            self.flags.append("delta_assumed")
            self.notes.append(f"no Compton hump: δ = {DELTA_ASSUMED:g} assumed")
        b = math.sqrt(8.0 * math.pi * self.u_syn_eff(delta, 0.0) / ratio)
        b = min(max(b, B_BOUNDS[0]), B_BOUNDS[1])
        gamma_b = math.sqrt(self.nu_s * (1.0 + self.z) / (NU_SYN * b * delta))
        self.set_break(gamma_b, delta, "ν_s = 3.7e6 B γ_b² δ/(1+z) (TMG98)")
        self.methods["B"] = {
            "ceiling": "U'_B = U'_syn L_s/L_c, L_c at the gamma-ray upper limits (lower bound)",
            "assumed": "U'_B = U'_syn: no gamma-ray data, Compton dominance 1 assumed",
        }[source]
        if self.kind == "ec":
            self.field = "blr"
            nu_line, _ = FIELDS["blr"]
            self.values["u_ext"] = self.values["B"] ** 2 / (8.0 * math.pi) * ratio
            self.values["nu_ext"] = delta * nu_line
            self.methods["u_ext"] = "U'_B L_c/L_s with L_c at its ceiling (no Compton hump)"
            self.methods["nu_ext"] = "Γν_Lyα with Γ = δ (GT09)"

    def solve_ec(self, delta_given: float | None, field: str) -> None:
        com = self.obs.compton
        if not com.detected:
            self.without_compton(delta_given)
            return
        self.field = field
        nu_line, u_typical = FIELDS[field]
        ratio_obs, _ = self.compton_ratio()
        nu_c = com.nu_peak
        syn = self.obs.synchrotron
        data = np.log10(np.array(self.obs.points, dtype=float).reshape(-1, 2))

        def state(delta: float) -> tuple[float, float, float]:
            """γ_b, B and how far (log) the SED lies above the SSC at its closest point."""
            nu_blob = self.line_blob = delta * nu_line
            gamma_b = self.gamma_for(lambda g: self.ec_peak(g, delta, nu_blob), nu_c)
            b = self.field_b(gamma_b, delta)
            centres, shape = self.ssc_spectrum(gamma_b, delta)
            if centres.size == 0:
                return gamma_b, b, math.inf
            l_ratio = self.u_syn_eff(delta, gamma_b) / (b * b / (8.0 * math.pi))
            ssc = np.interp(data[:, 0], centres, shape, left=0.0, right=0.0)
            ssc *= syn.energy_flux * l_ratio
            inside = ssc > 0.0
            if not np.any(inside):
                return gamma_b, b, math.inf
            return gamma_b, b, float(np.min(data[inside, 1] - np.log10(ssc[inside]))) * _LN10

        if delta_given is not None:
            delta, how = delta_given, "given"
        else:
            delta, how = self.root_delta(
                lambda d: state(d)[2], "the smallest δ whose SSC stays below the SED (GT09)"
            )
            if delta == _DELTA_SEARCH[0]:
                delta, how = DELTA_ASSUMED, "assumed: the SSC stays below the SED at any δ"
                self.flags.append("delta_assumed")
                self.notes.append(
                    f"the SSC stays below the SED at any δ ≥ 1: δ = {DELTA_ASSUMED:g} assumed"
                )
        delta = self.clip("delta_D", delta, DELTA_BOUNDS)
        self.methods["delta_D"] = how
        gamma_b, _, _ = state(delta)
        nu_blob = self.line_blob
        self.set_break(gamma_b, delta, f"EC peak at ν_c = {nu_c:.3g} Hz (Klein-Nishina kernel)")
        self.flag_klein_nishina(gamma_b, delta, nu_blob * delta / (1.0 + self.z))
        b = self.values["B"]
        eps = H_PLANCK * nu_blob / ME_C2
        u_ext = b * b / (8.0 * math.pi) * ratio_obs / float(_f_kn(4.0 * gamma_b * eps))
        self.values["u_ext"] = u_ext
        self.methods["u_ext"] = "L_c/L_s = u'_ext F_KN/U'_B, blob frame"
        self.values["nu_ext"] = nu_blob
        self.methods["nu_ext"] = f"Γν with ν = {nu_line:.3g} Hz ({field}) and Γ = δ (GT09)"
        u_agn = u_ext / _field_boost(delta)
        self.mismatch = abs(math.log10(u_agn / u_typical))
        self.notes.append(
            f"{field}: the Compton dominance implies an AGN-frame field of {u_agn:.2g} erg "
            f"cm-3 (typical {u_typical:.2g}, GT09)"
        )

    def nucleus(self, fields: tuple[str, ...]) -> None:
        """Γ, θ, L_disk and r of a model with the nucleus' fields (module documentation)."""
        from ..components import disk_thermal
        from ..config import SCALED_RADII
        from ..constants import M_SUN

        delta = self.values["delta_D"]
        self.values["Gamma"] = delta
        self.methods["Gamma"] = "Γ = δ (GT09)"
        beta = math.sqrt(max(1.0 - 1.0 / (delta * delta), 0.0))
        self.values["theta"] = math.degrees(math.acos(beta))
        self.methods["theta"] = "arccos β, where δ = Γ"
        obs = self.obs
        l_disk = 1e46
        if obs.disk_bump and "disk" in fields and math.isfinite(obs.disk_peak_nu):
            nu_b = obs.disk_peak_nu
            under = float(obs.synchrotron.sed(nu_b))
            target = obs.disk_flux - min(under, 0.5 * obs.disk_flux)
            mu_s = beta if delta > 1.0 else 1.0
            nu_point = np.array([nu_b])

            def excess(luminosity: float) -> float:
                model = disk_thermal(
                    nu_point, luminosity, M_BH_ASSUMED * M_SUN, 1 / 12, 6.0, 200.0, mu_s,
                    self.z, self.d_l,
                )  # fmt: skip
                return math.log(float(model[0]) / target)

            l_disk = _bisect(excess, 1e38, 1e50, steps=48)
            self.values["L_disk"] = l_disk
            self.methods["L_disk"] = (
                f"the disk model (M_BH = {M_BH_ASSUMED:g} M_sun) through the bump's brightest "
                f"point, {target:.3g} erg cm-2 s-1 at {nu_b:.3g} Hz"
            )
        else:
            self.notes.append("no disk bump: L_disk keeps the model's default")
        r_blr = SCALED_RADII["R_BLR"][1] * math.sqrt(l_disk / 1e45)
        r_dt = SCALED_RADII["R_DT"][1] * math.sqrt(l_disk / 1e45)
        if self.field == "torus":
            self.values["r"] = math.sqrt(r_blr * r_dt)
            self.methods["r"] = "√(R_BLR R_DT): the torus dominates (GT09 radii)"
        else:
            self.values["r"] = 0.5 * r_blr
            self.methods["r"] = "0.5 R_BLR: inside the BLR (GT09 radius)"

    def density(self) -> None:
        """n_e from the synchrotron power: L_s/δ⁴ = (4/3) σ_T c U'_B V ∫γ² N dγ."""
        v = self.values
        gamma = np.geomspace(v["gamma_min"], v["gamma_max"], 400)
        index = np.where(gamma < v["gamma_b"], v["p1"], v["p2"])
        shape = (gamma / v["gamma_b"]) ** -index
        lg = np.log(gamma)
        number = float(np.trapezoid(shape * gamma, lg))
        power = float(np.trapezoid(shape * gamma**3, lg))
        volume = 4.0 / 3.0 * math.pi * v["R"] ** 3
        u_b = v["B"] ** 2 / (8.0 * math.pi)
        k = self.l_s / v["delta_D"] ** 4 / (volume * 4.0 / 3.0 * SIGMA_T * C_LIGHT * u_b * power)
        v["n_e"] = k * number
        self.methods["n_e"] = "synchrotron power L_s/δ⁴ = (4/3)σ_T c U'_B V ∫γ²N dγ"

    def normalise(self, options: dict[str, Any]) -> None:
        """One model evaluation: n_e rescaled so that the synchrotron peak meets the observed
        one (the synchrotron and EC are linear in n_e, the SSC quadratic), and `score`, the
        mean squared log residual of the rescaled model over the humps' points (0.25-dex
        bins weigh alike)."""
        from ..model import make_model

        # The humps are intrinsic (de-absorbed when asked): so is the model evaluated here.
        options = {k: v for k, v in options.items() if k not in ("radius", "ebl")}
        nucleus = "Gamma" in self.values
        if self.kind == "ec" and not nucleus:
            options["fields"] = ("line",)
        if not nucleus or "line" not in options.get("fields", ()):
            options.pop("ec_frame", None)
        names = [n for n in _ORDER if n != "R" and not (nucleus and n == "delta_D")]
        names += ["u_ext", "nu_ext"] if self.kind == "ec" and not nucleus else []
        names += [n for n in _NUCLEUS if n in self.values]
        x = math.log10(self.nu_s)
        grid = np.geomspace(10.0 ** (x - 3.0), 10.0 ** (x + 3.0), 121)
        data = np.array(self.obs.points, dtype=float).reshape(-1, 2)
        try:
            model = make_model(self.kind, radius="t_var", **options)
            model.set(**{name: self.values[name] for name in names})
            parts = model.components(np.concatenate([grid, data[:, 0]]))
        except (ValueError, ArithmeticError, RuntimeError) as error:
            self.notes.append(f"n_e: the model could not be evaluated ({error}); analytic n_e")
            return
        syn = np.asarray(parts["syn"], dtype=float)
        peak = float(np.max(syn[: grid.size]))
        if not (math.isfinite(peak) and peak > 0.0):
            self.notes.append("n_e: the model's synchrotron is zero at the start; analytic n_e")
            return
        k = self.obs.synchrotron.flux_peak / peak
        self.values["n_e"] *= k
        self.methods["n_e"] = "rescaled so that the model's synchrotron peak meets the observed"
        at = slice(grid.size, None)
        total = k * syn[at] + k * k * np.asarray(parts["ssc"], dtype=float)[at]
        for key, part in parts.items():
            if key.startswith("ec"):
                total += k * np.asarray(part, dtype=float)[at]
            elif key in ("disk", "dt"):
                total += np.asarray(part, dtype=float)[at]
        ratio = np.log10(np.maximum(total, 1e-300) / data[:, 1])
        residual = np.clip(ratio, -2.0, 2.0)
        bins = np.floor(np.log10(data[:, 0]) / 0.25)
        _, inverse, counts = np.unique(bins, return_inverse=True, return_counts=True)
        weight = 1.0 / counts[inverse]
        self.score = float(np.sum(weight * residual**2) / np.sum(weight))
