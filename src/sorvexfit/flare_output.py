"""A simulated flare as files and pictures (`sorvexfit flare`).

- `lightcurves.ecsv`: `t_obs` (s, observer), `t_blob` (blob time in units of R0/c) and one
  column per band (energy flux, erg cm^-2 s^-1), with the model, its parameters, the options,
  the bands and the evolution's statistics in the metadata.
- `seds.ecsv` (up to `ECSV_SNAPSHOTS` snapshots) or `seds.h5` (more, or asked for): the SED
  snapshots on the model's grid. The ECSV table has `nu` (Hz), `quiescent` and one column per
  snapshot (the total νF_ν), the times in the metadata; the HDF5 file has `nu`, `t_obs`,
  `t_blob`, `nuFnu` (snapshot × frequency), one dataset per component under `components/`, and
  `quiescent`.
- `lightcurves.png` (one panel per band), `seds.png` (a grid of the snapshots over the
  quiescent SED) and `hardness.png` (the hardness-intensity diagram of a band pair).

Every file is written under a temporary name and moved into place.
"""

from __future__ import annotations

import math
from pathlib import Path
from typing import Any

import numpy as np

from .files import atomic_path
from .flare import Flare
from .lightcurves import loop_direction
from .output import COMPONENT_STYLES, pyplot
from .parameters import ParameterError

__all__ = [
    "ECSV_SNAPSHOTS",
    "light_curve_table",
    "plot_hardness",
    "plot_light_curves",
    "plot_snapshots",
    "write_flare",
]

ECSV_SNAPSHOTS = 16
FLUX_UNIT = "erg cm-2 s-1"


def _metadata(flare: Flare) -> dict[str, Any]:
    options = flare.options
    evolution = flare.evolution
    budget = evolution.budget
    scale = flare.scale
    config = flare.config
    return {
        "model": config.name,
        "electrons": config.distribution.kind,
        "components": list(config.components),
        "backend": config.backend,
        "ebl": config.ebl,
        "parameters": {name: float(value) for name, value in flare.values.items()},
        "injection": options.injection.text(),
        "duration": options.duration,
        "start": options.start,
        "acceleration": options.acceleration,
        "expansion": options.expansion,
        "expansion_start": options.expansion_start,
        "light_crossing": options.light_crossing,
        "rtol": options.rtol,
        "ssc_refresh": options.ssc_refresh,
        "samples": options.samples,
        "light_crossing_time": scale.light_crossing,
        "doppler": scale.doppler,
        "redshift": scale.redshift,
        "time_units": "t_blob in units of R0/c (blob frame); t_obs = t_blob R0/c (1+z)/delta",
        "bands": {
            band.name: {"low_Hz": band.low, "high_Hz": band.high, "label": band.describe()}
            for band in options.bands
        },
        "steps": evolution.steps,
        "rejected_steps": evolution.rejected,
        "largest_step_error": float(evolution.errors.max()) if evolution.steps else 0.0,
        "ssc_refreshes": evolution.ssc_refreshes,
        "largest_budget_residual": {
            "number": float(np.max(budget.relative_number)) if evolution.steps else 0.0,
            "energy": float(np.max(budget.relative_energy)) if evolution.steps else 0.0,
        },
    }


def light_curve_table(flare: Flare) -> Any:
    """The light curves as an astropy Table (metadata: `_metadata`)."""
    from astropy import units as u
    from astropy.table import Table

    table = Table()
    table["t_obs"] = flare.t_obs * u.s
    table["t_blob"] = flare.times
    table["t_blob"].description = "blob time in units of R0/c"
    for band in flare.options.bands:
        table[band.name] = flare.light_curves[band.name] * u.Unit(FLUX_UNIT)
        table[band.name].description = f"energy flux, {band.describe()}"
    table.meta.update(_metadata(flare))
    return table


def _write_seds_ecsv(flare: Flare, path: Path) -> None:
    from astropy import units as u
    from astropy.table import Table

    table = Table()
    table["nu"] = flare.nu * u.Hz
    table["quiescent"] = flare.quiescent["total"] * u.Unit(FLUX_UNIT)
    for k, sed in enumerate(flare.snapshots):
        table[f"t{k}"] = sed["total"] * u.Unit(FLUX_UNIT)
    table.meta.update(_metadata(flare))
    table.meta["snapshots"] = {
        f"t{k}": {"t_obs": float(t_obs), "t_blob": float(t)}
        for k, (t, t_obs) in enumerate(
            zip(flare.snapshot_times, flare.scale.observed(flare.snapshot_times), strict=True)
        )
    }
    with atomic_path(path) as partial:
        table.write(partial, format="ascii.ecsv")


def _write_seds_hdf5(flare: Flare, path: Path) -> None:
    import json

    import h5py

    with atomic_path(path) as partial, h5py.File(partial, "w") as store:
        store["nu"] = flare.nu
        store["t_blob"] = flare.snapshot_times
        store["t_obs"] = flare.scale.observed(flare.snapshot_times)
        store["nuFnu"] = np.array([sed["total"] for sed in flare.snapshots]).reshape(
            -1, flare.nu.size
        )
        store["quiescent"] = flare.quiescent["total"]
        group = store.create_group("components")
        for key in flare.quiescent:
            if key != "total":
                group[key] = np.array([sed[key] for sed in flare.snapshots]).reshape(
                    -1, flare.nu.size
                )
        store["nu"].attrs["unit"] = "Hz"
        store["t_obs"].attrs["unit"] = "s"
        store["t_blob"].attrs["unit"] = "R0/c"
        store["nuFnu"].attrs["unit"] = FLUX_UNIT
        store.attrs["metadata"] = json.dumps(_metadata(flare))


def write_flare(
    flare: Flare, out: Path, hardness: tuple[str, str] | None = None, sed_format: str = "auto"
) -> list[Path]:
    """Writes the files of a flare into the directory `out` (module documentation); returns
    them. `hardness`: the (soft, hard) bands of the diagram (none: no diagram); `sed_format`:
    "ecsv", "hdf5" or "auto" (ECSV up to ECSV_SNAPSHOTS snapshots)."""
    if sed_format not in ("auto", "ecsv", "hdf5"):
        raise ParameterError(f"sed_format: {sed_format!r} (known: auto, ecsv, hdf5)")
    if hardness is not None:
        flare.hardness(*hardness)  # the bands exist, before anything is written
    out.mkdir(parents=True, exist_ok=True)
    written = [out / "lightcurves.ecsv"]
    table = light_curve_table(flare)
    with atomic_path(written[0]) as partial:
        table.write(partial, format="ascii.ecsv")
    if flare.snapshots:
        many = len(flare.snapshots) > ECSV_SNAPSHOTS
        if sed_format == "hdf5" or (sed_format == "auto" and many):
            written.append(out / "seds.h5")
            _write_seds_hdf5(flare, written[-1])
        else:
            written.append(out / "seds.ecsv")
            _write_seds_ecsv(flare, written[-1])
        written.append(out / "seds.png")
        plot_snapshots(flare, written[-1])
    written.append(out / "lightcurves.png")
    plot_light_curves(flare, written[-1])
    if hardness is not None:
        written.append(out / "hardness.png")
        plot_hardness(flare, *hardness, written[-1])
    return written


def _time_axis(seconds: np.ndarray) -> tuple[np.ndarray, str]:
    span = float(np.max(seconds)) if seconds.size else 0.0
    for unit, size in (("d", 86400.0), ("h", 3600.0), ("min", 60.0)):
        if span >= 3.0 * size:
            return seconds / size, unit
    return seconds, "s"


def _save(figure: Any, path: Path) -> None:
    plt = pyplot()
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    with atomic_path(path) as partial:
        figure.savefig(partial)
    plt.close(figure)


def plot_light_curves(flare: Flare, path: Path) -> None:
    """One panel per band: the observed light curve and, with the light-crossing time on, the
    emitted one (the blob's slices not mixed) dotted."""
    plt = pyplot()
    bands = flare.options.bands
    time, unit = _time_axis(flare.t_obs)
    figure, axes = plt.subplots(
        len(bands), 1, figsize=(7.5, 1.7 + 1.5 * len(bands)), dpi=110, sharex=True, squeeze=False
    )
    for ax, band in zip(axes[:, 0], bands, strict=True):
        ax.plot(time, flare.light_curves[band.name], "-", linewidth=1.6, label="observed")
        if flare.options.light_crossing:
            ax.plot(time, flare.emitted[band.name], ":", color="grey", label="emitted")
        ax.set_ylabel(f"{band.name}\n[erg cm$^{{-2}}$ s$^{{-1}}$]", fontsize=8)
        ax.set_title(band.describe(), fontsize=8, loc="left")
        ax.grid(True, alpha=0.3)
        values = flare.light_curves[band.name]
        if np.all(values > 0.0) and values.max() > 20.0 * values.min():
            ax.set_yscale("log")
    axes[0, 0].legend(fontsize=7, loc="upper right")
    axes[-1, 0].set_xlabel(f"observed time [{unit}]")
    figure.suptitle(f"{flare.config.name}: {flare.options.injection.text()}", fontsize=9)
    _save(figure, path)


def plot_snapshots(flare: Flare, path: Path) -> None:
    """A grid of the SED snapshots (components and total) over the quiescent SED."""
    plt = pyplot()
    count = len(flare.snapshots)
    columns = min(4, count)
    rows = math.ceil(count / columns)
    figure, axes = plt.subplots(
        rows,
        columns,
        figsize=(3.2 * columns, 2.6 * rows),
        dpi=100,
        squeeze=False,
        sharex=True,
        sharey=True,
    )
    quiet = flare.quiescent["total"]
    top = max(float(np.max(quiet)), *(float(np.max(s["total"])) for s in flare.snapshots))
    floor = top * 1e-6
    time, unit = _time_axis(flare.scale.observed(flare.snapshot_times))
    for k, ax in enumerate(axes.ravel()):
        if k >= count:
            ax.axis("off")
            continue
        ax.loglog(flare.nu, np.where(quiet > floor, quiet, np.nan), color="0.7", linewidth=2.5)
        for key, (label, style) in COMPONENT_STYLES.items():
            part = flare.snapshots[k].get(key)
            if part is not None:
                ax.loglog(
                    flare.nu,
                    np.where(part > floor, part, np.nan),
                    style,
                    linewidth=1.2,
                    label=label,
                )
        ax.set_ylim(floor, top * 3.0)
        ax.set_title(f"t_obs = {time[k]:.3g} {unit}", fontsize=8)
        ax.grid(True, alpha=0.3)
    axes[0, 0].legend(fontsize=6)
    for ax in axes[-1, :]:
        ax.set_xlabel(r"$\nu$ [Hz]", fontsize=8)
    for ax in axes[:, 0]:
        ax.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]", fontsize=8)
    _save(figure, path)


def plot_hardness(flare: Flare, soft: str, hard: str, path: Path) -> None:
    """Hardness F_hard/F_soft against the soft band's flux, coloured by time, with the sense
    of the loop (`sorvexfit.lightcurves.loop_direction`)."""
    plt = pyplot()
    intensity, ratio = flare.hardness(soft, hard)
    direction, _ = loop_direction(intensity, ratio)
    time, unit = _time_axis(flare.t_obs)
    figure, ax = plt.subplots(figsize=(5.5, 4.5), dpi=110)
    ax.plot(intensity, ratio, "-", color="0.6", linewidth=0.8)
    points = ax.scatter(intensity, ratio, c=time, s=10, cmap="viridis")
    # Arrow heads along the path, evenly spaced in its length (log-log).
    with np.errstate(divide="ignore", invalid="ignore"):
        x, y = np.log(intensity), np.log(ratio)
    length = np.concatenate([[0.0], np.cumsum(np.hypot(np.diff(x), np.diff(y)))])
    if np.isfinite(length[-1]) and length[-1] > 0.0:
        for mark in np.linspace(0.0, length[-1], 10)[1:-1]:
            k = min(int(np.searchsorted(length, mark)), intensity.size - 1)
            ax.annotate(
                "",
                xy=(intensity[k], ratio[k]),
                xytext=(intensity[k - 1], ratio[k - 1]),
                arrowprops={"arrowstyle": "-|>", "color": "0.25", "linewidth": 0.8},
            )
    figure.colorbar(points, ax=ax, label=f"observed time [{unit}]")
    ax.set_xscale("log")
    ax.set_yscale("log")
    from matplotlib.ticker import NullFormatter

    for axis, values in ((ax.xaxis, intensity), (ax.yaxis, ratio)):
        finite = values[np.isfinite(values) & (values > 0.0)]
        if finite.size and finite.max() > 3.0 * finite.min():  # labels at the decades only
            axis.set_minor_formatter(NullFormatter())
    ax.set_xlabel(f"{soft} flux [erg cm$^{{-2}}$ s$^{{-1}}$]")
    ax.set_ylabel(f"hardness {hard}/{soft}")
    ax.set_title(f"hardness-intensity: {direction}", fontsize=9)
    ax.grid(True, alpha=0.3, which="both")
    _save(figure, path)
