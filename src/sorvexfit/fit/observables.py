"""Reading a blazar SED before fitting it: its synchrotron and Compton humps.

`read_humps(points)` finds the two humps of a set of flux points and measures each one: the
peak frequency and νF_ν, the νF_ν slopes on either side of the peak, their uncertainties, and
how well the hump is covered. `sorvexfit.fit.start` turns them into a physical starting point.

How the points are read:

- **Radio** points below `radio_cut` (1e11 Hz) are set aside: they come from the extended,
  self-absorbed jet, not from the compact blob, and would drag the synchrotron hump down.
  Millimetre points up to `thin_cut` (1e12 Hz) do not shape the hump either: there the blob
  may be self-absorbed, below the emission of its lowest-energy electrons (νF_ν ∝ ν^(4/3)),
  or outshone by the jet. They bound the hump on its falling side only, and tell the
  starting point where the rise must stop (γ_min).
- **Weights by band, not by point**: each point's error in log νF_ν is its statistical error
  with a floor of 0.05 dex added in quadrature, and the points of one 0.25-dex bin of
  frequency share the weight of one point. A well-sampled X-ray spectrum of 50 channels or
  ten optical telescopes at the same frequency count as much as the frequency range they
  cover, not as their number. The errors are then scaled by the scatter about the fitted
  hump (multi-epoch data scatter far beyond their statistical errors).
- **The hump shape** is a hyperbola in log ν - log νF_ν, the smooth joint of two power laws:
  y = c0 + a1 (u - r)/2 + a2 (u + r)/2 with u = log ν - x_b and r = √(u² + w²), whose
  asymptotic slopes are a1 > 0 > a2. The synchrotron of broken power-law electrons has
  νF_ν slopes (3 - p)/2 on either side of its break (Rybicki & Lightman 1979, eq. 6.22); the
  width w absorbs the rounding of the peak by the single-electron spectrum. For a fixed
  (x_b, w) the shape is linear in (c0, a1, a2), which get weak Gaussian priors (typical
  blazar slopes), so the posterior over a grid of x_b and w follows exactly from the
  marginal likelihood of a linear model (e.g. Bishop 2006, sec. 3.5). The peak, and the mean
  slopes from 2.5 to 1 dex below it and from 0.5 to 2 dex above it (where the electrons'
  indices show, inside the bends of γ_min, γ_max and self-absorption), come with their
  16-84 % ranges from draws of that posterior. A hump seen on one side only gets a wide range
  on the other, set by the priors and the curvature of the data, at least 0.5 dex, and is
  flagged.
- **Upper limits** must not be exceeded: a limit below the fitted hump joins the fit as a
  point at its value and the fit is repeated, and posterior draws above a limit by more than
  0.1 dex are discarded. So are draws above the other hump's points within 3 dex of their
  peak (a hump cannot exceed the total; further out its shape is an extrapolation).
- **Which points belong to which hump**: below 10^15.5 Hz (the ultraviolet) the points are
  synchrotron and above 10^22.3 Hz (80 MeV) Compton; the split between, in the X-rays, where
  an HBL's falling synchrotron or an FSRQ's rising Compton hump lies, is the one that
  maximises the joint marginal likelihood of the two humps (the dip between them).
- **The accretion disk** of an FSRQ shows as a thermal bump in the optical-UV, rising above
  the falling synchrotron (e.g. Ghisellini & Tavecchio 2009, MNRAS 397, 985): an infrared to
  ultraviolet spectrum that falls, then rises past a minimum inside the band (a V whose
  change of slope is three times its error). The points above the minimum then bound the
  synchrotron from above instead of measuring it.
- **EBL**: with `ebl` and a redshift, gamma rays are de-absorbed (exp(τ), τ from `ebltable`)
  before the Compton hump is read, so that it is the intrinsic one.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass, replace

import numpy as np

from .data import DataError, FluxPoints

__all__ = ["RADIO_CUT", "THIN_CUT", "Hump", "SedObservables", "read_humps"]

RADIO_CUT = 1e11  # Hz: below, the extended jet
THIN_CUT = 1e12  # Hz: below, self-absorption or the extended jet may shape the spectrum
SYNCHROTRON_ONLY = 15.5  # log10 Hz: below, always synchrotron (or disk)
COMPTON_ONLY = 22.3  # log10 Hz: above, always Compton
DISK_WINDOW = (13.6, 15.8)  # log10 Hz: infrared to far ultraviolet
BIN_DEX = 0.25  # points in one bin share one point's weight
FLOOR_DEX = 0.05  # error floor in log νF_ν
_LN10 = math.log(10.0)
_H_EV = 4.135667696923859e-15  # eV s


@dataclass(frozen=True)
class _Prior:
    """Weak priors of one hump: slopes below/above the peak, log peak frequency, the grid."""

    rise: tuple[float, float]
    fall: tuple[float, float]
    log_nu: tuple[float, float]
    window: tuple[float, float]


# Synchrotron: p1 ≈ 2.1 ± 0.7 and p2 ≈ 4.4 ± 1 (slopes (3 - p)/2); peaks from the radio to
# hard X-rays (Fossati et al. 1998, MNRAS 299, 433; Abdo et al. 2010, ApJ 716, 30).
_SYNCHROTRON = _Prior((0.45, 0.35), (-0.7, 0.5), (15.0, 2.0), (11.0, 20.5))
# Compton: Fermi photon indices 1.5-2.8 (slopes 0.5 to -0.8), steeper in Klein-Nishina.
_COMPTON = _Prior((0.4, 0.4), (-0.9, 0.6), (23.5, 2.5), (17.0, 28.5))
_WIDTHS = (0.3, 0.6, 1.0, 1.5)  # dex, the rounding of the peak
_STEP = 0.05  # dex, the grid of x_b
_SAMPLES = 24  # posterior draws per grid node
_ONE_SIDED_WIDENING = 0.5  # dex: least uncertainty toward an unobserved side
# dex from the peak: where the slopes are measured. The single-electron spectrum rounds the
# rise (its ν^(1/3) tail) further from the peak than the fall (its exponential cut-off).
RISE_CHORD, FALL_CHORD = (-2.5, -1.0), (0.5, 2.0)


@dataclass(frozen=True)
class Hump:
    """One hump of an SED, in the observer frame.

    nu_peak (Hz) and flux_peak (νF_ν, erg cm^-2 s^-1) with their 16-84 % ranges; slope_rise
    and slope_fall, the mean νF_ν slopes d log νF_ν / d log ν from 2.5 to 1 dex below and
    from 0.5 to 2 dex above the peak (electron index p = 3 - 2 slope for the synchrotron;
    photon index 2 - slope), with their errors (half the 16-84 % range); coverage: "both",
    "rise" (only the rising side is observed), "fall", or "none" (no detected point);
    energy_flux: ∫ νF_ν d ln ν of the fitted shape within 2 dex of the peak (erg cm^-2 s^-1);
    flux_ceiling: for a hump seen in upper limits only, the highest peak νF_ν they allow (a
    Compton hump shaped like the synchrotron one, or the lowest limit) (else NaN);
    nu_points: the lowest and highest frequency (Hz) of its detected points, n_points of them,
    and n_upper_limits limits; shape: (x_b, w, c0, a1, a2) of the most probable hyperbola
    (see the module documentation), which `sed` evaluates; its peak lies close to nu_peak,
    the posterior median; note: one line, empty when all is well.
    """

    name: str
    coverage: str
    nu_peak: float
    nu_peak_range: tuple[float, float]
    flux_peak: float
    flux_peak_range: tuple[float, float]
    slope_rise: float
    slope_rise_err: float
    slope_fall: float
    slope_fall_err: float
    energy_flux: float
    nu_points: tuple[float, float]
    n_points: int
    n_upper_limits: int
    flux_ceiling: float
    shape: tuple[float, float, float, float, float]
    note: str

    @property
    def detected(self) -> bool:
        return self.coverage != "none"

    @property
    def one_sided(self) -> bool:
        return self.coverage in ("rise", "fall")

    @property
    def log_nu_err(self) -> tuple[float, float]:
        """The 16-84 % range of log10 ν_peak as (below, above) the estimate, dex."""
        lo, hi = self.nu_peak_range
        x = math.log10(self.nu_peak)
        return x - math.log10(lo), math.log10(hi) - x

    def sed(self, nu: np.ndarray | float) -> np.ndarray:
        """νF_ν of the fitted shape at `nu` (Hz); zeros for an undetected hump."""
        x = np.log10(np.asarray(nu, dtype=float))
        if not self.detected:
            return np.zeros_like(x)
        xb, w, c0, a1, a2 = self.shape
        return np.asarray(10.0 ** _shape(x, xb, w, c0, a1, a2))

    def summary(self) -> str:
        if not self.detected:
            text = f"{self.name}: not detected"
            if math.isfinite(self.flux_ceiling):
                text += f" (upper limits, lowest νF_ν {self.flux_ceiling:.2g})"
            return text
        lo, hi = self.log_nu_err
        return (
            f"{self.name}: peak {self.nu_peak:.3g} Hz (+{hi:.2f}/-{lo:.2f} dex), "
            f"νF_ν {self.flux_peak:.3g} erg cm-2 s-1; slopes {self.slope_rise:+.2f} "
            f"± {self.slope_rise_err:.2f} below, {self.slope_fall:+.2f} ± "
            f"{self.slope_fall_err:.2f} above; coverage {self.coverage}"
            + (f" ({self.note})" if self.note else "")
        )


@dataclass(frozen=True)
class SedObservables:
    """What `read_humps` found: the two humps, the dip between them, the accretion disk.

    dip: the frequency (Hz) separating the points of the two humps (NaN with one hump);
    disk_bump: the optical-UV shows the disk's thermal bump, whose points from disk_nu (Hz)
    up are set aside; disk_flux: their highest νF_ν, at disk_peak_nu (Hz); n_radio: points
    below the radio cut set
    aside; nu_low: the lowest frequency (Hz) the synchrotron is seen at, millimetre points
    included; points: the (ν, νF_ν) detections the humps were read from (de-absorbed for the
    EBL when asked); thick_points: the millimetre (ν, νF_ν) points; flags: short names
    ("synchrotron_one_sided", "compton_one_sided", "disk_bump", "no_gamma_rays", ...);
    notes: one line each.
    """

    synchrotron: Hump
    compton: Hump
    redshift: float | None
    dip: float
    disk_bump: bool
    disk_nu: float
    disk_flux: float
    n_radio: int
    nu_low: float
    ebl: str | None
    points: tuple[tuple[float, float], ...]
    thick_points: tuple[tuple[float, float], ...]
    flags: tuple[str, ...]
    notes: tuple[str, ...]
    disk_peak_nu: float = math.nan  # Hz, the frequency of the brightest thermal point

    def summary(self) -> str:
        lines = [self.synchrotron.summary(), self.compton.summary()]
        if math.isfinite(self.dip):
            lines.append(f"dip between the humps near {self.dip:.3g} Hz")
        return "\n".join(lines + list(self.notes))


@dataclass
class _Fit:
    """The posterior of one hump fit over its (x_b, w) grid."""

    log_evidence: float
    nodes: np.ndarray  # (G, 2): x_b, w
    theta: np.ndarray  # (G, 3): c0, a1, a2
    cov: np.ndarray  # (G, 3, 3)
    weight: np.ndarray  # (G,) posterior probability of each node
    chi2: float  # data part at the most probable node
    best: int


def _shape(x: np.ndarray, xb: float, w: float, c0: float, a1: float, a2: float) -> np.ndarray:
    u = x - xb
    r = np.sqrt(u * u + w * w)
    return np.asarray(c0 + a1 * 0.5 * (u - r) + a2 * 0.5 * (u + r))


def _fit(
    x: np.ndarray, y: np.ndarray, weight: np.ndarray, prior: _Prior, span: tuple[float, float]
) -> _Fit:
    """The exact posterior of the hyperbola over a grid of x_b (within the prior's window and
    3 dex of the points) and w, with Gaussian priors on (c0, a1, a2)."""
    lo = max(prior.window[0], span[0] - 3.0)
    hi = min(prior.window[1], span[1] + 3.0)
    if hi <= lo:
        lo, hi = prior.window
    xb = np.arange(lo, hi + 0.5 * _STEP, _STEP)
    nodes = np.array([(b, w) for w in _WIDTHS for b in xb])
    u = x[None, :] - nodes[:, 0:1]
    r = np.sqrt(u * u + nodes[:, 1:2] ** 2)
    phi = np.stack([np.ones_like(u), 0.5 * (u - r), 0.5 * (u + r)], axis=2)  # (G, N, 3)
    mu0 = np.array(
        [float(np.average(y, weights=weight)) if y.size else -11.0, prior.rise[0], prior.fall[0]]
    )
    lam0 = np.diag([1.0 / 10.0**2, 1.0 / prior.rise[1] ** 2, 1.0 / prior.fall[1] ** 2])
    a = lam0[None] + np.einsum("gni,n,gnj->gij", phi, weight, phi)
    b = (lam0 @ mu0)[None] + np.einsum("gni,n,n->gi", phi, weight, y)
    theta = np.linalg.solve(a, b[..., None])[..., 0]
    resid = y[None, :] - np.einsum("gni,gi->gn", phi, theta)
    chi_data = np.einsum("gn,n,gn->g", resid, weight, resid)
    d = theta - mu0
    chi = chi_data + np.einsum("gi,ij,gj->g", d, lam0, d)
    # log p(y | x_b, w) of the linear-Gaussian model, normalised (Bishop 2006, eq. 3.86).
    log_like = 0.5 * (
        np.linalg.slogdet(lam0)[1]
        - np.linalg.slogdet(a)[1]
        + float(np.sum(np.log(weight / (2.0 * math.pi))))
        - chi
    )
    # The prior of x_b, normalised on its grid; w uniform over its values.
    log_prior = -0.5 * ((xb - prior.log_nu[0]) / prior.log_nu[1]) ** 2
    log_prior -= math.log(float(np.sum(np.exp(log_prior)))) + math.log(len(_WIDTHS))
    log_post = log_like + np.tile(log_prior, len(_WIDTHS))
    top = float(np.max(log_post))
    p = np.exp(log_post - top)
    total = float(np.sum(p))
    log_evidence = top + math.log(total)
    best = int(np.argmax(log_post))
    return _Fit(
        log_evidence, nodes, theta, np.linalg.inv(a), p / total, float(chi_data[best]), best
    )


def _bin_shares(x: np.ndarray) -> np.ndarray:
    """How many points share each point's 0.25-dex frequency bin."""
    if x.size == 0:
        return np.ones(0)
    bins = np.floor(x / BIN_DEX).astype(np.int64)
    _, inverse, counts = np.unique(bins, return_inverse=True, return_counts=True)
    return np.asarray(counts[inverse], dtype=float)


def _weighted_quantiles(values: np.ndarray, weights: np.ndarray, q: Sequence[float]) -> np.ndarray:
    order = np.argsort(values)
    v = values[order]
    c = np.cumsum(weights[order])
    c = (c - 0.5 * weights[order]) / c[-1]
    return np.asarray(np.interp(q, c, v))


@dataclass
class _Points:
    """The points of one hump in log units: detections (x, y, err); its upper limits (ul_x,
    ul_y); the other hump's detections, which it cannot exceed within 3 dex of its peak
    (bound_x, bound_y); millimetre points, which it cannot exceed above its peak (thick_x,
    thick_y)."""

    x: np.ndarray
    y: np.ndarray
    err: np.ndarray
    ul_x: np.ndarray
    ul_y: np.ndarray
    bound_x: np.ndarray
    bound_y: np.ndarray
    thick_x: np.ndarray
    thick_y: np.ndarray
    span: tuple[float, float]

    def weights(self, scale: float) -> np.ndarray:
        return np.asarray(1.0 / (self.err**2 * _bin_shares(self.x) * scale))

    def with_points(self, x: np.ndarray, y: np.ndarray) -> _Points:
        """These points and (x, y) as detections at the error floor (censored limits)."""
        return _Points(
            np.concatenate([self.x, x]),
            np.concatenate([self.y, y]),
            np.concatenate([self.err, np.full(x.size, FLOOR_DEX)]),
            self.ul_x,
            self.ul_y,
            self.bound_x,
            self.bound_y,
            self.thick_x,
            self.thick_y,
            self.span,
        )


def _fit_with_limits(points: _Points, prior: _Prior) -> _Fit:
    """The hump fit, with the noise scaled by the scatter about it and the upper limits that
    the fitted hump exceeds joined in as points at their value."""
    added = np.zeros(points.ul_x.size, dtype=bool)
    used = points
    fit = _fit(used.x, used.y, used.weights(1.0), prior, points.span)
    for _ in range(4):
        n_bins = np.unique(np.floor(used.x / BIN_DEX)).size
        scale = max(1.0, fit.chi2 / max(n_bins - 3, 1))
        fit = _fit(used.x, used.y, used.weights(scale), prior, points.span)
        if points.ul_x.size == 0:
            break
        xb, w = fit.nodes[fit.best]
        over = _shape(points.ul_x, xb, w, *fit.theta[fit.best]) > points.ul_y + 0.02
        new = over & ~added
        if not np.any(new):
            break
        added |= new
        used = points.with_points(points.ul_x[added], points.ul_y[added])
    return fit


def _extent(x: np.ndarray, ul_x: np.ndarray) -> tuple[float, float]:
    """The log frequencies a hump's own points span."""
    xs = np.concatenate([x, ul_x])
    return (float(xs.min()), float(xs.max())) if xs.size else (math.nan, math.nan)


def _compton_ceiling(synchrotron: Hump, ul_x: np.ndarray, ul_y: np.ndarray) -> float:
    """The highest peak νF_ν that upper limits allow a Compton hump shaped like the
    synchrotron one (as the same electrons make it in the Thomson regime), its peak anywhere
    among the limits' frequencies."""
    peaks = np.arange(ul_x.min(), ul_x.max() + 0.025, 0.05)
    x_s = math.log10(synchrotron.nu_peak)
    y_s = math.log10(synchrotron.flux_peak)
    shape = np.log10(synchrotron.sed(10.0 ** (ul_x[None, :] - peaks[:, None] + x_s))) - y_s
    return float(10.0 ** np.max(np.min(ul_y[None, :] - shape, axis=1)))


def _ceiling(ul_y: np.ndarray) -> tuple[int, float]:
    """How many upper limits a hump has, and the lowest (νF_ν; NaN without)."""
    return int(ul_y.size), float(10.0 ** ul_y.min()) if ul_y.size else math.nan


def _summarise(name: str, points: _Points, prior: _Prior, n_ul: int, ceiling: float) -> Hump:
    """Fits one hump and reads its peak, slopes and coverage from the posterior; n_ul: its
    own upper limits, the lowest of them `ceiling` (νF_ν, NaN without)."""
    if points.x.size == 0:
        note = (
            f"no detected point; upper limits only (lowest νF_ν {ceiling:.2g})"
            if n_ul
            else "no point"
        )
        nan2 = (math.nan, math.nan)
        return Hump(name, "none", math.nan, nan2, math.nan, nan2, math.nan, math.nan,
                    math.nan, math.nan, 0.0, nan2, 0, n_ul, ceiling,
                    (math.nan,) * 5, note)  # fmt: skip

    fit = _fit_with_limits(points, prior)
    rng = np.random.default_rng(12345)
    keep = np.flatnonzero(fit.weight > 1e-4 * fit.weight.max())
    draws = []
    for g in keep:
        theta = rng.multivariate_normal(fit.theta[g], fit.cov[g], size=_SAMPLES)
        draws.append((g, theta))
    g_all = np.concatenate([np.full(_SAMPLES, g) for g, _ in draws])
    th = np.concatenate([t for _, t in draws])
    wts = fit.weight[g_all] / _SAMPLES
    xb, w = fit.nodes[g_all, 0], fit.nodes[g_all, 1]
    xp, yp = _peak(xb, w, th[:, 0], th[:, 1], th[:, 2], prior.window)
    # Censoring: draws that exceed an upper limit by more than 0.1 dex are excluded, and so
    # are those that exceed the other hump's points near their peak (where the hump's shape
    # holds), or a millimetre point on their falling side.
    allowed = np.ones(xb.size, dtype=bool)
    for lx, ly, where in (
        (points.ul_x, points.ul_y, "all"),
        (points.bound_x, points.bound_y, "near"),
        (points.thick_x, points.thick_y, "falling"),
    ):
        if lx.size:
            excess = (
                _shape_vec(lx[None, :], xb[:, None], w[:, None], th[:, 0:1], th[:, 1:2], th[:, 2:3])
                - ly[None, :]
            )
            if where == "near":
                excess = np.where(np.abs(lx[None, :] - xp[:, None]) <= 3.0, excess, 0.0)
            elif where == "falling":
                excess = np.where(lx[None, :] >= xp[:, None] - 0.1, excess, 0.0)
            allowed &= np.max(excess, axis=1) <= 0.1
    if np.any(allowed):
        wts = wts * allowed
    q = (0.16, 0.5, 0.84)
    x16, x50, x84 = _weighted_quantiles(xp, wts, q)
    y16, y50, y84 = _weighted_quantiles(yp, wts, q)

    # The mean slopes on either side of the peak, where broken power-law electrons show their
    # indices; further out γ_min, γ_max and self-absorption bend the spectrum.
    def chord(a: float, b: float) -> np.ndarray:
        ya = _shape_vec(xp + a, xb, w, th[:, 0], th[:, 1], th[:, 2])
        yb = _shape_vec(xp + b, xb, w, th[:, 0], th[:, 1], th[:, 2])
        return np.asarray((yb - ya) / (b - a))

    r16, r50, r84 = _weighted_quantiles(chord(*RISE_CHORD), wts, q)
    f16, f50, f84 = _weighted_quantiles(chord(*FALL_CHORD), wts, q)

    below = bool(np.any(points.x < x50 - 0.25))
    above = bool(np.any(points.x > x50 + 0.25))
    coverage = "both" if below and above else "rise" if below else "fall" if above else "both"
    note = ""
    if coverage == "rise":
        x84 = max(x84, x50 + _ONE_SIDED_WIDENING)
        note = "falling side unobserved: the peak is extrapolated from the rise"
    elif coverage == "fall":
        x16 = min(x16, x50 - _ONE_SIDED_WIDENING)
        note = "rising side unobserved: the peak is extrapolated from the fall"

    best_xb, best_w = fit.nodes[fit.best]
    c0, a1, a2 = fit.theta[fit.best]
    grid = np.linspace(x50 - 2.0, x50 + 2.0, 161)
    energy = float(np.trapezoid(10.0 ** _shape(grid, best_xb, best_w, c0, a1, a2), grid)) * _LN10
    return Hump(
        name,
        coverage,
        float(10.0**x50),
        (float(10.0**x16), float(10.0**x84)),
        float(10.0**y50),
        (float(10.0**y16), float(10.0**y84)),
        float(r50),
        float(0.5 * (r84 - r16)),
        float(f50),
        float(0.5 * (f84 - f16)),
        energy,
        (float(10.0 ** points.x.min()), float(10.0 ** points.x.max())),
        int(points.x.size),
        n_ul,
        ceiling,
        (float(best_xb), float(best_w), float(c0), float(a1), float(a2)),
        note,
    )


def _peak(
    xb: np.ndarray,
    w: np.ndarray,
    c0: np.ndarray,
    a1: np.ndarray,
    a2: np.ndarray,
    window: tuple[float, float],
) -> tuple[np.ndarray, np.ndarray]:
    """The maximum of the hyperbola: where (a1 + a2)/2 = ((a1 - a2)/2) u/√(u² + w²); a shape
    without a maximum (both slopes of one sign) puts it at the window's edge."""
    m = 0.5 * (a1 + a2)
    d = 0.5 * (a1 - a2)
    peaked = (a1 > 0.0) & (a2 < 0.0)
    root = np.sqrt(np.where(peaked, d * d - m * m, 1.0))
    u = np.where(peaked, w * m / root, 0.0)
    xp = np.where(peaked, xb + u, np.where(a1 <= 0.0, window[0], window[1]))
    xp = np.clip(xp, window[0], window[1])
    yp = _shape_vec(xp, xb, w, c0, a1, a2)
    return xp, yp


def _shape_vec(
    x: np.ndarray, xb: np.ndarray, w: np.ndarray, c0: np.ndarray, a1: np.ndarray, a2: np.ndarray
) -> np.ndarray:
    u = x - xb
    r = np.sqrt(u * u + w * w)
    return np.asarray(c0 + a1 * 0.5 * (u - r) + a2 * 0.5 * (u + r))


def _log_errors(points: FluxPoints) -> np.ndarray:
    rel = 0.5 * (points.err_lo + points.err_hi) / points.flux
    stat = np.where(np.isfinite(rel) & (rel > 0), rel / _LN10, 0.0)
    # An error as large as the flux is at most a factor ~2 in log.
    stat = np.minimum(stat, 0.3)
    return np.sqrt(stat**2 + FLOOR_DEX**2)


def _disk_bump(x: np.ndarray, y: np.ndarray, err: np.ndarray) -> float | None:
    """log10 ν of the optical-UV minimum where the disk's thermal bump rises above the
    falling synchrotron, or None. The infrared-ultraviolet points are fitted by a V, two
    lines meeting at a minimum with at least two points on either side (the best of its
    positions on a 0.02-dex grid): a bump is a V that falls, then rises by at least 0.15 in
    slope, its change of slope three times its error."""
    inside = (x >= DISK_WINDOW[0]) & (x <= DISK_WINDOW[1])
    order = np.argsort(x[inside])
    xs, ys, es = x[inside][order], y[inside][order], err[inside][order]
    if np.unique(np.round(xs, 2)).size < 4 or xs[-1] - xs[0] < 0.5:
        return None
    wt = 1.0 / (es**2 * _bin_shares(xs))
    best: tuple[float, float, np.ndarray, np.ndarray] | None = None
    for vertex in np.arange(xs[1], xs[-2] + 1e-9, 0.02):
        u = xs - vertex
        design = np.stack([np.ones_like(u), np.minimum(u, 0.0), np.maximum(u, 0.0)], axis=1)
        a = design.T @ (design * wt[:, None])
        coef = np.linalg.solve(a, design.T @ (wt * ys))
        chi2 = float(np.sum(wt * (ys - design @ coef) ** 2))
        if best is None or chi2 < best[1]:
            best = (float(vertex), chi2, coef, a)
    if best is None:
        return None
    vertex, chi2, coef, a = best
    # The errors scaled by the scatter about the V, up or down: optical-UV errors often
    # include a generous systematic part that would hide a clear bump.
    scale = max(0.05, chi2 / max(xs.size - 4, 1))
    cov = np.linalg.inv(a) * scale
    fall, rise = coef[1], coef[2]
    change = math.sqrt(cov[1, 1] + cov[2, 2] - 2.0 * cov[1, 2])
    if fall >= 0.0 or rise < 0.15 or rise - fall < 3.0 * change:
        return None
    return vertex


def _ebl_tau(model: str, nu: np.ndarray, z: float) -> np.ndarray:
    """EBL optical depth at observed frequencies (Hz), from `ebltable` (0 below its table)."""
    import warnings

    from ebltable.tau_from_model import OptDepth

    table = OptDepth.readmodel(model=model)
    e_tev = nu * _H_EV * 1e-12
    inside = e_tev * 1e3 >= 10.0 ** float(table.x[0])
    tau = np.zeros_like(nu)
    if np.any(inside) and z > 0.0:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tau[inside] = np.maximum(np.atleast_1d(table.opt_depth(z, e_tev[inside])), 0.0)
    return tau


def read_humps(
    points: FluxPoints,
    *,
    radio_cut: float = RADIO_CUT,
    thin_cut: float = THIN_CUT,
    ebl: str | None = None,
    redshift: float | None = None,
) -> SedObservables:
    """The synchrotron and Compton humps of `points` (see the module documentation).

    radio_cut: points below it (Hz) are set aside (the extended jet); thin_cut: points below
    it (Hz) only extend the synchrotron hump's range (self-absorption); ebl: an `ebltable` model
    name ("dominguez", ...) to de-absorb the gamma rays first, which needs the redshift (from
    `redshift` or the points). Raises DataError for points that cannot be read as an SED.
    """
    nu = np.asarray(points.nu, dtype=float)
    flux = np.asarray(points.flux, dtype=float)
    is_ul = np.asarray(points.is_ul, dtype=bool)
    if nu.size == 0 or nu.shape != flux.shape or is_ul.shape != nu.shape:
        raise DataError("points: need matching, non-empty nu, flux and is_ul arrays")
    if not (np.all(np.isfinite(nu)) and np.all(nu > 0) and np.all(np.isfinite(flux))
            and np.all(flux > 0)):  # fmt: skip
        raise DataError("points: every frequency and νF_ν must be finite and positive")
    for name, cut in (("radio_cut", radio_cut), ("thin_cut", thin_cut)):
        if not (isinstance(cut, (int, float)) and math.isfinite(cut) and cut > 0):
            raise DataError(f"{name} = {cut!r}: must be a positive frequency in Hz")
    z = points.redshift if redshift is None else redshift
    flags: list[str] = []
    notes: list[str] = []

    x = np.log10(nu)
    y = np.log10(flux)
    err = _log_errors(points)
    if ebl is not None:
        if z is None:
            raise DataError("ebl: de-absorbing the gamma rays needs a redshift")
        tau = _ebl_tau(ebl, nu, float(z))
        y = y + tau / _LN10
        if np.any(tau > 0.05):
            notes.append(f"gamma rays de-absorbed for the EBL ({ebl}, z = {z:g})")

    radio = x < math.log10(radio_cut)
    n_radio = int(np.count_nonzero(radio))
    if n_radio:
        notes.append(f"{n_radio} radio point(s) below {radio_cut:.3g} Hz set aside (extended jet)")
    det = ~radio & ~is_ul
    ul = ~radio & is_ul
    thick = det & (x < math.log10(thin_cut))
    nu_low = float(10.0 ** x[thick].min()) if np.any(thick) else math.nan
    if np.any(thick):
        det &= ~thick
        notes.append(
            f"{int(np.count_nonzero(thick))} point(s) between {radio_cut:.3g} and "
            f"{thin_cut:.3g} Hz only extend the synchrotron hump (self-absorption, jet)"
        )

    disk_x = _disk_bump(x[det], y[det], err[det])
    disk_flux = disk_peak_nu = math.nan
    syn_ul = np.zeros_like(det)
    if disk_x is not None:
        thermal = det & (x > disk_x + 0.01) & (x <= DISK_WINDOW[1])
        brightest = int(np.argmax(np.where(thermal, y, -np.inf)))
        disk_flux, disk_peak_nu = float(10.0 ** y[brightest]), float(10.0 ** x[brightest])
        det = det & ~thermal
        syn_ul = thermal
        flags.append("disk_bump")
        notes.append(
            f"accretion-disk bump: the optical-UV rises past {10**disk_x:.3g} Hz; the "
            f"{int(np.count_nonzero(thermal))} points above bound the synchrotron from above"
        )

    order = np.argsort(x[det], kind="stable")
    xd, yd, ed = x[det][order], y[det][order], err[det][order]
    split = _best_split(xd, yd, ed)
    xu, yu = x[ul], y[ul]
    below, above = xd < split, xd >= split
    own_syn = (
        np.concatenate([xu[xu < split], x[syn_ul]]),
        np.concatenate([yu[xu < split], y[syn_ul]]),
    )
    own_com = xu[xu >= split], yu[xu >= split]
    # Each hump is bounded by the other's detections too: it cannot exceed the total.
    syn = _Points(
        xd[below], yd[below], ed[below], *own_syn, xd[above], yd[above],
        x[thick], y[thick], _extent(xd[below], own_syn[0]),
    )  # fmt: skip
    com = _Points(
        xd[above], yd[above], ed[above], *own_com, xd[below], yd[below],
        np.zeros(0), np.zeros(0), _extent(xd[above], own_com[0]),
    )  # fmt: skip
    synchrotron = _summarise("synchrotron", syn, _SYNCHROTRON, *_ceiling(own_syn[1]))
    compton = _summarise("compton", com, _COMPTON, *_ceiling(own_com[1]))
    if not compton.detected and synchrotron.detected and own_com[0].size:
        compton = replace(compton, flux_ceiling=_compton_ceiling(synchrotron, *own_com))

    gamma = ~radio & (x >= COMPTON_ONLY)
    if not np.any(gamma & ~is_ul):
        flags.append("no_gamma_rays")
        notes.append(
            "no gamma-ray detection: " + ("upper limits only" if np.any(gamma) else "no points")
        )
    for hump in (synchrotron, compton):
        if hump.one_sided:
            flags.append(f"{hump.name}_one_sided")
            notes.append(f"{hump.name} hump: {hump.note}")
        elif not hump.detected:
            flags.append(f"no_{hump.name}_hump")
            if hump.name == "synchrotron":
                notes.append("synchrotron hump: no detected point")
    dip = 10.0**split if syn.x.size and com.x.size else math.nan
    if synchrotron.detected and not nu_low < synchrotron.nu_points[0]:
        nu_low = synchrotron.nu_points[0]
    return SedObservables(
        synchrotron,
        compton,
        None if z is None else float(z),
        float(dip),
        disk_x is not None,
        float(10.0**disk_x) if disk_x is not None else math.nan,
        disk_flux,
        n_radio,
        nu_low,
        ebl,
        tuple(zip((10.0**xd).tolist(), (10.0**yd).tolist(), strict=True)),
        tuple(zip(nu[thick].tolist(), flux[thick].tolist(), strict=True)),
        tuple(flags),
        tuple(notes),
        disk_peak_nu,
    )


def _best_split(x: np.ndarray, y: np.ndarray, err: np.ndarray) -> float:
    """log10 ν separating the synchrotron from the Compton points (`x` sorted): of the
    partitions that keep the points below 10^15.5 Hz synchrotron and those above 10^22.3 Hz
    Compton, the one of largest joint evidence of the two hump fits (the dip)."""
    if x.size == 0:
        return COMPTON_ONLY
    k_min = int(np.searchsorted(x, SYNCHROTRON_ONLY))
    k_max = int(np.searchsorted(x, COMPTON_ONLY))
    # Split only between groups of points 0.05 dex apart: a dense X-ray spectrum offers as
    # many places as the frequency range it covers.
    ks = [k for k in range(k_min, k_max + 1) if k in (0, x.size) or x[k] - x[k - 1] > 0.05]
    if k_min not in ks:
        ks.insert(0, k_min)
    if len(ks) == 1:
        return _between(x, ks[0])
    best, best_value = ks[0], -math.inf
    for k in ks:
        total = 0.0
        for part, prior in ((slice(0, k), _SYNCHROTRON), (slice(k, x.size), _COMPTON)):
            xs = x[part]
            if xs.size:
                w = 1.0 / (err[part] ** 2 * _bin_shares(xs))
                total += _fit(xs, y[part], w, prior, (float(xs[0]), float(xs[-1]))).log_evidence
        if total > best_value:
            best, best_value = k, total
    return _between(x, best)


def _between(x: np.ndarray, k: int) -> float:
    """A log frequency with the first k sorted points below it and the others above."""
    if k <= 0:
        return float(x[0]) - 0.01
    if k >= x.size:
        return float(x[-1]) + 0.01
    return 0.5 * float(x[k - 1] + x[k])
