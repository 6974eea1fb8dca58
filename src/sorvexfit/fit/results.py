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

Files are written to a temporary name and moved into place, so a file that exists is whole;
`result.ecsv` is written last, so its presence marks a finished fit.
"""

from __future__ import annotations

import math
import os
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np

__all__ = [
    "EXIT_BAD_INPUT",
    "EXIT_FAILED",
    "EXIT_INTERRUPTED",
    "EXIT_NOT_CONVERGED",
    "EXIT_OK",
    "FitResult",
    "ParameterResult",
    "atomic_path",
    "first_line",
    "os_error_text",
    "plain",
    "write_table",
]

EXIT_OK = 0
EXIT_FAILED = 1  # the model cannot be evaluated at the starting point, or a kernel stopped
EXIT_BAD_INPUT = 2
EXIT_NOT_CONVERGED = 3
EXIT_INTERRUPTED = 4  # MCMC stopped by a signal: the chain so far is saved (--resume)

STATUS_CODES = {
    "converged": EXIT_OK,
    "not converged": EXIT_NOT_CONVERGED,
    "failed": EXIT_FAILED,
    "interrupted": EXIT_INTERRUPTED,
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
    """The outcome of one fit; picklable. `status` is "converged", "not converged", "failed"
    or "interrupted"; only "converged" is a success."""

    status: str
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
        return self.status == "converged"

    @property
    def exit_code(self) -> int:
        return STATUS_CODES.get(self.status, EXIT_FAILED)

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
        """A few lines for a terminal: the status, the statistic and the free parameters."""
        lines = [f"{self.method}: {self.status}: {self.message}"]
        if math.isfinite(self.chi2):
            lines.append(f"chi2/dof = {self.chi2:.1f}/{self.dof} = {self.chi2_dof:.2f}")
        for p in self.parameters.values():
            if p.free:
                lines.append(
                    f"  {p.name:10s} = {p.best:.4g} (+{p.q84 - p.best:.2g} / -"
                    f"{p.best - p.q16:.2g}) {p.unit}".rstrip()
                )
        return "\n".join(lines)


def first_line(error: BaseException) -> str:
    """The first non-blank line of an error's message (its class name if it has none)."""
    lines = [line for line in str(error).strip().splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def os_error_text(error: OSError) -> str:
    """An OSError in one line: its reason, and the file where there is one."""
    reason = error.strerror or first_line(error)
    return f"{reason}: {error.filename}" if error.filename else reason


@contextmanager
def atomic_path(path: Path) -> Iterator[Path]:
    """A temporary path beside `path` to write to; moved onto `path` when the block ends
    (flushed to disk first: after a crash the file is either whole or absent)."""
    temporary = path.with_name(f".{path.name}.tmp{path.suffix}")
    try:
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    finally:
        if temporary.exists():
            temporary.unlink()


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
        "status": result.status,
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
