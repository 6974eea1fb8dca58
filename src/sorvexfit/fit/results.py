"""What a fit returns (`FitResult`) and the table it writes (`result.ecsv`).

The table has one row per parameter of the model: `name`, `unit`, `free`, `fit_form`
("log10" or "linear"), `best`, `error`, `median`, `q16`, `q84` in the parameter's unit, and
`fit_best`, `fit_error` in its fit form. `error` is half the 16-84 % interval; for a least-
squares fit that interval is the parabolic (hesse) one, or the minos one on request, mapped
through the fit form (so it is asymmetric for a log10 parameter). Frozen parameters have their
value as best, median and quantiles, and an error of 0. The metadata hold the fit statistic
(`chi2`, `dof`, `chi2_dof`, `p_value`), `status`, `converged`, `message`, the method and its
settings, the covariance matrix of the free parameters in their fit form, the data file and
the model.

`Status` is the outcome of a fit and carries the exit code of the command (`ExitCode`).
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field
from enum import IntEnum, StrEnum
from pathlib import Path
from typing import Any

import numpy as np

from ..files import atomic_path

__all__ = [
    "ExitCode",
    "FitResult",
    "ParameterResult",
    "Status",
    "plain",
    "write_table",
]


class ExitCode(IntEnum):
    """The exit status of the `sorvexfit` commands."""

    OK = 0
    FAILED = 1  # the model cannot be evaluated at the start, a kernel stopped, a source failed
    BAD_INPUT = 2  # a bad command line, option, value or data file: one line, no traceback
    NOT_CONVERGED = 3
    INTERRUPTED = 4  # SIGINT or SIGTERM: an MCMC chain is kept for --resume
    WRITE_FAILED = 5  # the file system refused a result (full, read-only, failing): one line
    BUSY = 6  # another run is writing into the same --out


class Status(StrEnum):
    """The outcome of a fit (compares equal to its text, which the result files hold)."""

    CONVERGED = "converged"
    NOT_CONVERGED = "not converged"
    FAILED = "failed"
    INTERRUPTED = "interrupted"
    BAD_INPUT = "bad input"  # fit-many: a source whose data or options were refused

    @property
    def exit_code(self) -> ExitCode:
        return _EXIT_CODES[self]


_EXIT_CODES = {
    Status.CONVERGED: ExitCode.OK,
    Status.NOT_CONVERGED: ExitCode.NOT_CONVERGED,
    Status.FAILED: ExitCode.FAILED,
    Status.INTERRUPTED: ExitCode.INTERRUPTED,
    Status.BAD_INPUT: ExitCode.BAD_INPUT,
}


@dataclass
class ParameterResult:
    """One parameter: values in its unit, and best and error in its fit form."""

    name: str
    unit: str
    free: bool
    log10: bool
    best: float
    error: float
    median: float
    q16: float
    q84: float
    fit_best: float
    fit_error: float


@dataclass
class FitResult:
    """The outcome of one fit; picklable. Only `Status.CONVERGED` is a success."""

    status: Status
    message: str
    method: str
    parameters: dict[str, ParameterResult] = field(default_factory=dict)
    chi2: float = math.nan
    dof: int = 0
    evaluations: int = 0
    wall_time: float = 0.0
    covariance: np.ndarray | None = None  # free parameters, fit form
    out_dir: str = ""
    meta: dict[str, Any] = field(default_factory=dict)

    @property
    def converged(self) -> bool:
        return self.status == Status.CONVERGED

    @property
    def exit_code(self) -> ExitCode:
        return Status(self.status).exit_code

    @property
    def free(self) -> list[str]:
        return [name for name, p in self.parameters.items() if p.free]

    @property
    def best(self) -> dict[str, float]:
        return {name: p.best for name, p in self.parameters.items()}

    @property
    def errors(self) -> dict[str, float]:
        return {name: p.error for name, p in self.parameters.items()}

    @property
    def chi2_dof(self) -> float:
        return self.chi2 / self.dof if self.dof > 0 else math.nan

    def summary(self) -> str:
        """A few lines for a terminal: the status, the statistic, where the χ² comes from, how
        the fit started and searched, the notes on the data, and the parameters."""
        lines = [f"{self.method}: {self.status}: {self.message}"]
        meta = self.meta
        if math.isfinite(self.chi2):
            p_value = meta.get("p_value", math.nan)
            lines.append(
                f"chi2/dof = {self.chi2:.1f}/{self.dof} = {self.chi2_dof:.2f}"
                + (f" (p-value {p_value:.2g})" if math.isfinite(p_value) else "")
            )
        if meta.get("chi2_by_band"):
            parts = [
                f"{b['band']} {b['chi2']:.0f} ({b['points']} points)" for b in meta["chi2_by_band"]
            ]
            lines.append("chi2 by band: " + ", ".join(parts))
        if meta.get("start"):
            lines.append(f"start: {meta['start']}")
        search = meta.get("search")
        if search:
            lines.append(
                f"global stage: {search['starts']} starts, {search['polished']} polished,"
                f" {len(search['basins'])} distinct minima"
            )
        lines += [f"note: {note}" for note in meta.get("notes", [])]
        if meta.get("warnings"):
            lines.append(f"warnings (caught): {meta['warnings']}")
        for p in self.parameters.values():
            if p.free:
                lines.append(
                    f"  {p.name:10s} = {p.best:.4g} (+{p.q84 - p.best:.2g} / -"
                    f"{p.best - p.q16:.2g}) {p.unit}".rstrip()
                )
        frozen = [p for p in self.parameters.values() if not p.free]
        if frozen:
            lines.append(
                "  fixed: "
                + ", ".join(f"{p.name} = {p.best:.4g} {p.unit}".rstrip() for p in frozen)
            )
        return "\n".join(lines)


def write_table(result: FitResult, path: Path) -> None:
    """result.ecsv: one row per parameter, the statistic and the settings in the metadata."""
    from astropy.table import Table

    rows = list(result.parameters.values())
    table = Table()
    table["name"] = [p.name for p in rows]
    table["unit"] = [p.unit for p in rows]
    table["free"] = [p.free for p in rows]
    table["fit_form"] = ["log10" if p.log10 else "linear" for p in rows]
    for column in ("best", "error", "median", "q16", "q84", "fit_best", "fit_error"):
        table[column] = np.array([getattr(p, column) for p in rows], dtype=float)
    meta: dict[str, Any] = {
        "status": str(result.status),
        "converged": result.converged,
        "message": result.message,
        "method": result.method,
        "chi2": float(result.chi2),
        "dof": int(result.dof),
        "chi2_dof": float(result.chi2_dof),
        "evaluations": int(result.evaluations),
        "wall_time_s": round(float(result.wall_time), 3),
    }
    meta.update(result.meta)
    if result.covariance is not None:
        meta["covariance"] = {
            "parameters": result.free,
            "matrix": [[float(v) for v in row] for row in np.asarray(result.covariance)],
        }
    table.meta.update(plain(meta))
    with atomic_path(path) as temporary:
        table.write(temporary, format="ascii.ecsv", overwrite=True)


def plain(value: Any) -> Any:
    """Metadata as plain Python values (YAML in the ECSV header)."""
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, np.generic):
        return value.item()
    if isinstance(value, np.ndarray):
        return [plain(v) for v in value.tolist()]
    if isinstance(value, Path):
        return str(value)
    return value
