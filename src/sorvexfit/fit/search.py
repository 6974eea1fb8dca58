"""The global stage of a least-squares fit: many starts, the best few polished, the basins.

One-zone fits are degenerate where the data have gaps, and the minimum migrad finds depends on
where it starts (Apel et al. 2025, A&A 702, A199). So before migrad:

1. starts: the analytic starting point and a scrambled Sobol set (`scipy.stats.qmc.Sobol`) in
   a box of the fit space (log10 where a parameter is fitted so) around it, within the
   parameters' bounds;
2. every start's χ² is evaluated, through the fit's pool when it has one (`pool.map`), on
   the model's coarse grids when the fit gives them (`coarse`: the same model on about half
   the electron and frequency points, several times cheaper, whose minima lie where the full
   grids' do to far better than the width of a basin);
3. the best few starts that lie apart from each other are polished on those grids with
   a quick migrad (`QUICK_STRATEGY`) to a coarse tolerance; the best of them, and those that come
   within Δχ² < `DECIDE` + 2 of it, are polished on the full grids to migrad's usual
   tolerance and their errors computed with hesse;
4. the polished minima are grouped into basins (minima closer than a few errors are one), and
   those within Δχ² < `DECIDE` of the best with other parameters are reported: "the data do
   not decide between ...".

Random numbers come from the fit's seed only, so the stage is reproducible with any pool.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np

from .likelihood import ChiSquare
from .minuit import INVALID_CHI2, LeastSquares, least_squares

__all__ = ["DECIDE", "Basin", "Search", "search"]

# Two minima within this Δχ² fit the data equally well (the 68 % region of two parameters).
DECIDE = 2.3
# Minima whose parameters differ by less than this many errors (in the fit form) are one basin.
SAME_BASIN = 3.0
# migrad's tolerance for the first polish of the candidates (ten times its usual one), and how
# it runs there: strategy 0 (a cheaper gradient), no second try: it only ranks the candidates.
# On the three real SEDs of the panel this halves the stage and finds the same minima.
COARSE = 1.0
QUICK_STRATEGY = 0


@dataclass(frozen=True)
class Basin:
    """A polished minimum: its point in the fit form, χ², and the least-squares outcome."""

    x: np.ndarray
    chi2: float
    ls: LeastSquares


@dataclass
class Search:
    """The outcome of the global stage: the basins, best first, and how they were found."""

    basins: list[Basin]
    starts: int  # starts evaluated (the analytic point included)
    polished: int  # starts polished with migrad
    evaluations: int  # χ² evaluations on the full grids
    coarse_evaluations: int = 0  # and on the coarse ones
    rival: list[Basin] = field(default_factory=list)  # other basins within DECIDE of the best

    @property
    def best(self) -> Basin:
        return self.basins[0]


def sobol_starts(
    centre: np.ndarray,
    widths: np.ndarray,
    bounds: Sequence[tuple[float, float]],
    count: int,
    seed: np.random.SeedSequence,
) -> np.ndarray:
    """`count` scrambled Sobol points in the box centre ± widths, clipped to the bounds (the
    centre first)."""
    from scipy.stats import qmc

    low = np.array([max(c - w, b[0]) for c, w, b in zip(centre, widths, bounds, strict=True)])
    high = np.array([min(c + w, b[1]) for c, w, b in zip(centre, widths, bounds, strict=True)])
    high = np.maximum(high, low + 1e-12)
    if count <= 1:
        return np.array([centre])
    sampler = qmc.Sobol(d=centre.size, scramble=True, seed=np.random.default_rng(seed))
    # A power of two keeps the sequence balanced; the first points are used.
    points = sampler.random_base2(max(1, math.ceil(math.log2(count - 1))))[: count - 1]
    return np.vstack([centre, qmc.scale(points, low, high)])


def search(
    chi2: ChiSquare,
    centre: np.ndarray,
    widths: np.ndarray,
    bounds: Sequence[tuple[float, float]],
    *,
    starts: int,
    polish: int,
    seed: np.random.SeedSequence,
    pool: Any = None,
    minos: bool = False,
    stop: Callable[[], bool] | None = None,
    coarse: ChiSquare | None = None,
) -> Search:
    """The global stage (module documentation): `starts` starts around `centre`, the best
    `polish` distinct ones polished (first on `coarse`, the statistic on coarse grids, when
    given). Raises `Interrupted` when `stop` asks."""
    first = chi2 if coarse is None else coarse
    points = sobol_starts(centre, widths, bounds, starts, seed)
    mapper = pool.map if pool is not None else map
    values = np.array([_finite(v) for v in mapper(first, list(points))])
    first_evaluations = len(points)
    picked = _distinct_best(points, values, widths, polish)
    candidates = []
    for index in picked:
        ls = least_squares(
            first,
            points[index],
            bounds,
            stop=stop,
            tolerance=COARSE,
            hesse=False,
            strategy=QUICK_STRATEGY,
            retries=0,
        )
        first_evaluations += ls.evaluations
        candidates.append(ls)
    candidates.sort(key=lambda ls: (not ls.valid, ls.chi2))
    lowest = candidates[0].chi2
    basins = []
    evaluations = 0
    for candidate in candidates:
        if candidate is candidates[0] or candidate.chi2 - lowest < DECIDE + 2.0:
            steps = np.minimum(candidate.errors, widths)  # migrad's own estimates, coarse
            ls = least_squares(chi2, candidate.x, bounds, minos=minos, stop=stop, steps=steps)
            evaluations += ls.evaluations
            basins.append(Basin(ls.x, ls.chi2, ls))
    basins = _merge(sorted(basins, key=lambda b: (not b.ls.valid, b.chi2)))
    best = basins[0]
    rival = [b for b in basins[1:] if b.chi2 - best.chi2 < DECIDE and b.ls.valid and best.ls.valid]
    if coarse is None:
        return Search(basins, len(points), len(picked), evaluations + first_evaluations, 0, rival)
    return Search(basins, len(points), len(picked), evaluations, first_evaluations, rival)


def _finite(value: float) -> float:
    return value if math.isfinite(value) else INVALID_CHI2


def _distinct_best(
    points: np.ndarray, values: np.ndarray, widths: np.ndarray, count: int
) -> list[int]:
    """The indices of the `count` lowest values whose points lie at least a fifth of the box
    apart (in every-parameter units of the box widths); the centre is always among them."""
    order = [int(i) for i in np.argsort(values, kind="stable") if values[i] < INVALID_CHI2]
    scale = np.where(widths > 0, widths, 1.0)
    chosen: list[int] = []
    for i in order:
        if all(np.max(np.abs(points[i] - points[j]) / scale) > 0.2 for j in chosen):
            chosen.append(i)
        if len(chosen) == count:
            break
    if 0 not in chosen:
        chosen = [0, *chosen[: max(count - 1, 0)]]
    return chosen


def _merge(basins: list[Basin]) -> list[Basin]:
    """Minima within SAME_BASIN errors of a better one are that one."""
    kept: list[Basin] = []
    for basin in basins:
        if not any(_same(basin, other) for other in kept):
            kept.append(basin)
    return kept


def _same(a: Basin, b: Basin) -> bool:
    errors = np.maximum(np.where(np.isfinite(a.ls.errors), a.ls.errors, 0.0), 1e-6)
    errors = np.maximum(errors, np.where(np.isfinite(b.ls.errors), b.ls.errors, 0.0))
    return bool(np.all(np.abs(a.x - b.x) <= SAME_BASIN * errors))
