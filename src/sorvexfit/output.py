"""A model's SED as a table and a picture (`sorvexfit sed`).

The table is ECSV: `nu` (Hz, observer frame), `nuFnu` (the total, erg cm^-2 s^-1) and one
`nuFnu_<component>` column each, with the model and its parameters in the metadata.
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np

from .config import ModelConfig
from .evaluation import Evaluation
from .files import atomic_path
from .parameters import Parameters

__all__ = ["plot_model", "pyplot", "sed_table", "write_sed"]

COMPONENT_STYLES = {
    "syn": ("synchrotron", "-"),
    "ssc": ("synchrotron self-Compton", "--"),
    "ec": ("external Compton", "-."),
    "ec_disk": ("EC on the disk", "-."),
    "ec_blr": ("EC on the BLR", "-."),
    "ec_dt": ("EC on the torus", "-."),
    "ec_cmb": ("EC on the CMB", "-."),
    "disk": ("accretion disk", (0, (1, 1))),
    "dt": ("dust torus", (0, (1, 1))),
    "total": ("total", ":"),
}


def pyplot() -> Any:
    """matplotlib.pyplot on the Agg backend (no screen needed)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def write_sed(
    config: ModelConfig,
    params: Parameters,
    evaluation: Evaluation,
    table_path: Path,
    plot_path: Path | None = None,
) -> str:
    """Writes the table (and the plot) of an evaluation; returns what was written, in words."""
    table = sed_table(config, params, evaluation)
    table_path.parent.mkdir(parents=True, exist_ok=True)
    with atomic_path(table_path) as partial:
        table.write(partial, format="ascii.ecsv")
    written = f"{table_path} ({len(table)} frequencies)"
    if plot_path is not None:
        plot_model(config, params, evaluation, plot_path)
        written += f" and {plot_path}"
    return written


def sed_table(config: ModelConfig, params: Parameters, evaluation: Evaluation) -> Any:
    """An astropy Table of the evaluation's SEDs, the model and its parameters in the
    metadata."""
    from astropy import units as u
    from astropy.table import Table

    flux = u.Unit("erg cm-2 s-1")
    seds = evaluation.seds
    table = Table()
    table["nu"] = np.array(evaluation.nu) * u.Hz
    table["nuFnu"] = seds["total"] * flux
    for key in COMPONENT_STYLES:
        if key in seds and key != "total":
            table[f"nuFnu_{key}"] = seds[key] * flux
    table.meta["model"] = config.name
    table.meta["electrons"] = config.distribution.kind
    table.meta["steady_state"] = config.steady_state
    table.meta["ebl"] = config.ebl
    table.meta["backend"] = config.backend
    table.meta["parameters"] = {
        name: {"value": p.value, "unit": p.unit} for name, p in params.items()
    }
    return table


def plot_model(config: ModelConfig, params: Parameters, evaluation: Evaluation, path: Path) -> None:
    """The components and the total of an evaluation, the free parameters in the title."""
    plt = pyplot()
    seds, nu = evaluation.seds, evaluation.nu
    figure, axes = plt.subplots(figsize=(7.5, 4.8), dpi=110)
    top = float(np.max(seds["total"]))
    floor = top * 1e-8
    for key, (label, style) in COMPONENT_STYLES.items():
        if key in seds:
            values = np.where(seds[key] > floor, seds[key], np.nan)
            axes.loglog(nu, values, linestyle=style, label=label, linewidth=1.6)
    axes.set_xlabel(r"observed frequency $\nu$ [Hz]")
    axes.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    free = ", ".join(f"{k}={p.value:.3g}" for k, p in params.items() if not p.frozen)
    axes.set_title(f"{config.name}: {free}", fontsize=8)
    if top > 0.0:
        axes.set_ylim(floor, top * 5.0)
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(fontsize=9)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    with atomic_path(path) as partial:
        figure.savefig(partial)
    plt.close(figure)
