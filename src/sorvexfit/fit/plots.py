"""The pictures of a fit: the SED with its residuals (sed.png) and the corner plot
(corner.png)."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from pathlib import Path

import numpy as np

from ..files import atomic_path
from ..output import pyplot
from .data import FluxPoints
from .systematics import BANDS, band_of

__all__ = ["MAX_DRAWN", "plot_corner", "plot_sed", "thinned"]

_BAND_COLOURS = dict(
    zip(
        (name for name, _ in BANDS),
        ("tab:brown", "tab:green", "tab:blue", "tab:purple", "tab:red"),
        strict=True,
    )
)
_COMPONENTS = {
    "syn": ("synchrotron", "--"),
    "ssc": ("SSC", "-."),
    "ec": ("EC", ":"),
    "ec_disk": ("EC disk", (0, (4, 1.5))),
    "ec_blr": ("EC BLR", (0, (5, 1, 1, 1))),
    "ec_dt": ("EC torus", (0, (3, 1, 1, 1, 1, 1))),
    "ec_cmb": ("EC CMB", (0, (1, 2))),
    "disk": ("disk", (0, (1, 1))),
    "dt": ("torus", (0, (2, 2))),
}


# The most points of one kind (band, fitted or not, detection or limit) drawn: beyond this,
# markers only overlap, while the cost of drawing grows with every point.
MAX_DRAWN = 1000


def thinned(rows: np.ndarray, limit: int = MAX_DRAWN) -> np.ndarray:
    """The mask `rows` with at most `limit` of its points kept, evenly spaced in the data's
    order (by frequency), the first and last included: the same points on every call."""
    index = np.flatnonzero(rows)
    if index.size <= limit:
        return rows
    kept = np.zeros_like(rows)
    kept[index[np.linspace(0, index.size - 1, limit).round().astype(np.intp)]] = True
    return kept


def plot_sed(
    path: Path,
    data: FluxPoints,
    used: np.ndarray,
    residuals: np.ndarray,
    nu: np.ndarray,
    seds: Mapping[str, np.ndarray],
    band: tuple[np.ndarray, np.ndarray] | None,
    title: str,
) -> None:
    """Data (upper limits as arrows, points left out of the fit in grey), the best model and
    its components, the 68 % band of the total, and the residuals (F − m)/σ below. Of a
    large table, at most `MAX_DRAWN` points of each kind are drawn (`thinned`); the legend
    then says how many."""
    plt = pyplot()
    figure, (top, bottom) = plt.subplots(
        2, 1, figsize=(8.0, 6.4), dpi=110, sharex=True, gridspec_kw={"height_ratios": [3, 1]}
    )
    total = seds["total"]
    peak = float(max(np.max(total), np.max(data.flux)))
    floor = peak * 1e-6
    if band is not None:
        top.fill_between(nu, band[0], band[1], color="0.6", alpha=0.45, lw=0, label="68 % band")
    for key, (text, style) in _COMPONENTS.items():
        if key in seds and len(seds) > 2:
            top.loglog(
                nu,
                np.where(seds[key] > floor, seds[key], np.nan),
                linestyle=style,
                lw=1.2,
                color="tab:orange" if key in ("disk", "dt") else "0.25",  # the nucleus' own light
                label=text,
            )
    top.loglog(nu, np.where(total > floor, total, np.nan), "-", color="k", lw=1.6, label="model")

    bands = band_of(data.nu)
    detected = ~data.is_ul
    for name, colour in _BAND_COLOURS.items():
        for fitted in (True, False):
            rows = (bands == name) & (used == fitted)
            point = thinned(rows & detected)
            ul = thinned(rows & data.is_ul)
            c = colour if fitted else "0.65"
            label: str | None = name if fitted and np.any(rows) else None
            drawn = int(np.count_nonzero(point | ul))
            if label is not None and drawn < np.count_nonzero(rows):
                label = f"{name} ({drawn} of {np.count_nonzero(rows)} drawn)"
            if np.any(point):
                top.errorbar(
                    data.nu[point],
                    data.flux[point],
                    yerr=[data.err_lo[point], data.err_hi[point]],
                    fmt="o",
                    mfc=c if fitted else "none",
                    mec=c,
                    ecolor=c,
                    ms=3.5,
                    lw=1.0,
                    label=label,
                )
                label = None
            if np.any(ul):
                top.errorbar(
                    data.nu[ul],
                    data.flux[ul],
                    yerr=0.35 * data.flux[ul],
                    uplims=True,
                    fmt="v",
                    color=c,
                    ms=3.5,
                    lw=1.0,
                    label=label,
                )
    top.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    top.set_ylim(floor * 10, peak * 5)
    top.set_title(title, fontsize=8)
    top.grid(True, which="major", alpha=0.3)
    # matplotlib's "best" place searches every drawn point (and warns when they are many)
    crowded = sum(len(line.get_xdata()) for line in top.get_lines()) > MAX_DRAWN
    top.legend(fontsize=7, ncol=2, loc="lower center" if crowded else "best")

    shown = used & detected
    bottom.axhline(0.0, color="k", lw=1.0)
    for name, colour in _BAND_COLOURS.items():
        rows = thinned(shown & (bands == name))
        if np.any(rows):
            bottom.plot(data.nu[rows], residuals[rows], "o", color=colour, ms=3.0)
    bottom.set_xscale("log")
    bottom.set_xlabel(r"observed frequency $\nu$ [Hz]")
    bottom.set_ylabel(r"$(F - m)/\sigma$")
    bottom.grid(True, which="major", alpha=0.3)
    bottom.set_xlim(min(nu[0], data.nu.min() / 3), max(nu[-1], data.nu.max() * 3))
    figure.tight_layout()
    with atomic_path(path) as temporary:
        figure.savefig(temporary)
    plt.close(figure)


def plot_corner(
    path: Path, samples: np.ndarray, labels: Sequence[str], truths: Sequence[float]
) -> None:
    """The marginal posteriors of the free parameters (fit form), the best fit marked."""
    plt = pyplot()
    import corner

    figure = corner.corner(
        samples,
        labels=list(labels),
        truths=list(truths),
        quantiles=[0.16, 0.5, 0.84],
        show_titles=True,
        title_fmt=".3g",
        title_kwargs={"fontsize": 8},
        label_kwargs={"fontsize": 8},
    )
    with atomic_path(path) as temporary:
        figure.savefig(temporary, dpi=90)
    plt.close(figure)
