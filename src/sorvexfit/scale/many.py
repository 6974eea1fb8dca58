"""Fits of many sources on a Dask cluster: `fit_many(client, sources, options, out)`.

Each source is one task, `fit_source`, that runs `run_fit` with the same options for every
source and writes the directory `run_fit` writes (result.ecsv, sed.png, ...) as OUT/<source>/:

- Atomic: the fit writes into a fresh OUT/.<source>.<token>.partial/ which is renamed to
  OUT/<source>/ once the fit has ended, so OUT/<source>/ is never half-written; leftovers of a
  killed attempt are removed at the start and the end of the next run.
- Done once: OUT/<source>/fit-many.json records the fit's key (its options and the SHA-256 of
  the data file) and its outcome. A source whose directory has result.ecsv and the same key is
  done: a re-run skips it (a changed option or data file fits it again), and so does a second
  attempt of the same task. A worker that dies takes its task with it; Dask runs the task again
  on another worker (up to `distributed.scheduler.allowed-failures` times, then the source is
  recorded as failed).
- A source that cannot be fitted (bad data, no steady state, a kernel stop, an exception) is
  recorded with its message, and the other sources go on.
- OUT/summary.ecsv: one row per source, in the order given: source, status, message, run
  ("fitted", "done before" or "not run"), chi2, dof, chi2_dof, evaluations, wall_time, the
  data file, and the best value and error of each free parameter (`B`, `B_err`, ...).

The data files and OUT must be on a file system that the workers share with this process; one
run at a time writes into a given OUT.
"""

from __future__ import annotations

import json
import math
import os
import shutil
import sys
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

from ..backend import KERNEL_STOPS
from ..files import atomic_path, first_line, os_error_text
from ..fit.data import DataError
from ..fit.options import FitOptions, data_digest, identity
from ..fit.results import ExitCode, FitResult, Status, plain
from ..fit.run import run_fit
from ..parameters import ParameterError
from ..steady import ConvergenceError

__all__ = [
    "MARKER",
    "SUFFIXES",
    "ManyResult",
    "Outcome",
    "Source",
    "find_sources",
    "fit_key",
    "fit_many",
    "fit_source",
    "write_summary",
]

MARKER = "fit-many.json"
SUMMARY = "summary.ecsv"
SUFFIXES = (".ecsv", ".csv")
RETRIES = 2  # of a task that raised (a worker's death is counted apart, by the scheduler)
POLL_SECONDS = 0.25  # how often a waiting run looks at its stop request


@dataclass(frozen=True)
class Source:
    """A source: its name (the file name without suffix) and its data file (absolute)."""

    name: str
    path: str


def find_sources(paths: Sequence[str | Path]) -> list[Source]:
    """The sources of files and folders (a folder: its *.ecsv and *.csv files, by name).
    DataError for a missing path, an empty folder or two sources of the same name."""
    sources: dict[str, Source] = {}
    for given in paths:
        path = Path(given)
        if path.is_dir():
            files = sorted(
                f
                for f in path.iterdir()
                if f.is_file() and f.suffix.lower() in SUFFIXES and not f.name.startswith(".")
            )
            if not files:
                raise DataError(f"{given}: no flux-point files (*.ecsv, *.csv) in this folder")
        elif path.is_file():
            files = [path]
        else:
            raise DataError(f"{given}: no such file or folder")
        for file in files:
            name = file.stem
            if name in sources:
                raise DataError(
                    f"{file}: the source name {name!r} is also that of {sources[name].path}"
                    " (names are the file names without suffix, and must differ)"
                )
            sources[name] = Source(name, str(file.resolve()))
    if not sources:
        raise DataError("no source given")
    return list(sources.values())


def fit_key(options: FitOptions, source: Source) -> str:
    """The identity of the fit of a source (`sorvexfit.fit.options.identity`) as a string:
    two fits are the same when it is."""
    return json.dumps(identity(options, data_digest(source.path)), sort_keys=True)


# ---------------------------------------------------------------------------------------------
# One source (runs on a worker)


@dataclass
class Outcome:
    """The summary row of one source; picklable. `parameters`: the free parameters' best
    value, error and unit."""

    source: str
    data: str
    status: Status
    message: str
    run: str = "fitted"  # fitted, done before, not run
    chi2: float = math.nan
    dof: int = 0
    evaluations: int = 0
    wall_time: float = 0.0
    parameters: dict[str, tuple[float, float, str]] = field(default_factory=dict)

    @staticmethod
    def of(source: Source, result: FitResult) -> Outcome:
        return Outcome(
            source.name,
            source.path,
            Status(result.status),
            result.message,
            chi2=float(result.chi2),
            dof=int(result.dof),
            evaluations=int(result.evaluations),
            parameters={
                p.name: (float(p.best), float(p.error), p.unit)
                for p in result.parameters.values()
                if p.free
            },
        )


def _done(directory: Path, key: str) -> Outcome | None:
    """The recorded outcome of a finished fit with this key in `directory`, or None."""
    try:
        record = json.loads((directory / MARKER).read_text(encoding="utf-8"))
        if record["key"] != key or not (directory / "result.ecsv").is_file():
            return None
        outcome = dict(record["outcome"])
        outcome["status"] = Status(outcome["status"])
        outcome["parameters"] = {k: tuple(v) for k, v in outcome["parameters"].items()}
        return Outcome(**outcome)
    except (OSError, ValueError, KeyError, TypeError, AttributeError):
        return None  # no record, or not one of this program


def fit_source(source: Source, options: FitOptions, out: str, key: str) -> Outcome:
    """Fits one source into OUT/<source>/ (module documentation); never raises for a fit
    that fails, only for a file system that refuses the result."""
    final = Path(out) / source.name
    earlier = _done(final, key)
    if earlier is not None:  # a second attempt of a task that has finished
        return replace(earlier, run="fitted")
    attempt = Path(out) / f".{source.name}.{uuid.uuid4().hex[:12]}.partial"
    attempt.mkdir(parents=True)
    if options.resume and (final / "chain.h5").is_file():
        shutil.copy2(final / "chain.h5", attempt / "chain.h5")
    started = time.perf_counter()

    def failed(status: Status, message: str) -> Outcome:
        return Outcome(source.name, source.path, status, message)

    try:
        outcome = Outcome.of(source, run_fit(source.path, options, attempt))
    except (DataError, ParameterError) as error:
        outcome = failed(Status.BAD_INPUT, str(error))
    except ConvergenceError as error:
        outcome = failed(Status.FAILED, str(error))
    except KERNEL_STOPS as error:  # a stop in the kernels: this source fails
        outcome = failed(Status.FAILED, f"kernel stopped: {error}")
    except OSError as error:
        outcome = failed(Status.FAILED, os_error_text(error))
    except Exception as error:  # any other fault of this source is recorded, the others go on
        outcome = failed(Status.FAILED, f"{type(error).__name__}: {first_line(error)}")
    outcome.wall_time = time.perf_counter() - started
    with atomic_path(attempt / MARKER) as temporary:
        temporary.write_text(
            json.dumps({"key": key, "outcome": asdict(outcome)}, indent=1), encoding="utf-8"
        )
    _publish(attempt, final)
    return outcome


def _publish(attempt: Path, final: Path) -> None:
    """Renames the attempt's directory to `final`, replacing an earlier one."""
    old = None
    if final.exists():
        old = final.with_name(f".{final.name}.{uuid.uuid4().hex[:12]}.old")
        os.replace(final, old)
    os.replace(attempt, final)
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def _remove_leftovers(out: Path, names: set[str]) -> None:
    """Directories of attempts that did not end (a killed worker, an interrupted run)."""
    for path in out.glob(".*.*"):
        stem, _, suffix = path.name[1:].rpartition(".")
        if suffix in ("partial", "old") and stem.rpartition(".")[0] in names and path.is_dir():
            shutil.rmtree(path, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# Many sources


@dataclass
class ManyResult:
    outcomes: list[Outcome]
    summary: Path
    interrupted: bool
    wall_time: float

    @property
    def fitted(self) -> list[str]:
        return [o.source for o in self.outcomes if o.run == "fitted"]

    @property
    def skipped(self) -> list[str]:
        return [o.source for o in self.outcomes if o.run == "done before"]

    @property
    def exit_code(self) -> ExitCode:
        """4 interrupted, else 1 if a source failed or had bad input, else 3 if one did not
        converge, else 0."""
        statuses = {o.status for o in self.outcomes}
        if self.interrupted:
            return ExitCode.INTERRUPTED
        if statuses & {Status.FAILED, Status.BAD_INPUT}:
            return ExitCode.FAILED
        return ExitCode.NOT_CONVERGED if Status.NOT_CONVERGED in statuses else ExitCode.OK

    def counts(self) -> str:
        tally: dict[str, int] = {}
        for o in self.outcomes:
            tally[o.status] = tally.get(o.status, 0) + 1
        return ", ".join(f"{n} {status}" for status, n in tally.items())


def fit_many(
    client: Any,
    sources: Sequence[Source],
    options: FitOptions,
    out: str | Path,
    *,
    progress: bool = False,
    stop: Callable[[], bool] | None = None,
    on_done: Callable[[Outcome], None] | None = None,
) -> ManyResult:
    """Fits every source not done yet on the client's cluster and writes OUT/summary.ecsv.
    `stop`, polled while waiting, ends the run early: the sources not finished are recorded
    as "interrupted" (a re-run fits them). `on_done` is called with each finished outcome."""
    from distributed import wait
    from tqdm import tqdm

    started = time.perf_counter()
    root = Path(out).resolve()
    root.mkdir(parents=True, exist_ok=True)
    options = replace(options, progress=False)
    names = {s.name for s in sources}
    _remove_leftovers(root, names)
    keys = {source.name: fit_key(options, source) for source in sources}
    outcomes: dict[str, Outcome] = {}
    todo = []
    for source in sources:
        earlier = _done(root / source.name, keys[source.name])
        if earlier is None:
            todo.append(source)
        else:
            outcomes[source.name] = replace(earlier, run="done before")
    token = uuid.uuid4().hex[:8]
    futures = {
        client.submit(
            fit_source,
            source,
            options,
            str(root),
            keys[source.name],
            key=f"fit-{source.name}-{token}",
            pure=False,
            retries=RETRIES,
        ): source
        for source in todo
    }
    pending = set(futures)
    interrupted = False
    with tqdm(
        total=len(sources),
        initial=len(outcomes),
        unit="source",
        disable=not progress,
        file=sys.stderr,
        dynamic_ncols=True,
    ) as bar:
        while pending:
            if stop is not None and stop():
                interrupted = True
                break
            try:
                done, pending = wait(pending, timeout=POLL_SECONDS, return_when="FIRST_COMPLETED")
            except TimeoutError:
                continue
            for future in done:
                source = futures[future]
                outcomes[source.name] = _collect(future, source)
                bar.update(1)
                if on_done is not None:
                    on_done(outcomes[source.name])
    if pending:
        client.cancel(list(pending))  # a fit that has started runs on to its end
        for future in pending:
            source = futures[future]
            finished = _done(root / source.name, keys[source.name])
            outcomes[source.name] = finished or Outcome(
                source.name,
                source.path,
                Status.INTERRUPTED,
                "the run stopped before this source was fitted",
                run="not run",
            )
    else:
        _remove_leftovers(root, names)
    ordered = [outcomes[s.name] for s in sources]
    summary = root / SUMMARY
    write_summary(ordered, summary, {"options": options.describe(), "interrupted": interrupted})
    return ManyResult(ordered, summary, interrupted, time.perf_counter() - started)


def _collect(future: Any, source: Source) -> Outcome:
    """The outcome of a finished task, or a failure if the task itself failed."""
    from distributed import KilledWorker

    try:
        outcome: Outcome = future.result()
    except KilledWorker:
        return Outcome(
            source.name,
            source.path,
            Status.FAILED,
            "the workers fitting this source died each time (out of memory?)",
        )
    except KERNEL_STOPS as error:  # raised where the task itself could not catch it
        return Outcome(source.name, source.path, Status.FAILED, f"kernel stopped: {error}")
    except Exception as error:
        message = f"{type(error).__name__}: {first_line(error)}"
        return Outcome(source.name, source.path, Status.FAILED, message)
    return outcome


def write_summary(outcomes: Sequence[Outcome], path: Path, meta: dict[str, Any]) -> None:
    """summary.ecsv (module documentation), written atomically."""
    import numpy as np
    from astropy import units as u
    from astropy.table import Table

    table = Table()
    table["source"] = [o.source for o in outcomes]
    table["status"] = [str(o.status) for o in outcomes]
    table["message"] = [o.message for o in outcomes]
    table["run"] = [o.run for o in outcomes]
    table["chi2"] = np.array([o.chi2 for o in outcomes], dtype=float)
    table["dof"] = np.array([o.dof for o in outcomes], dtype=int)
    with np.errstate(divide="ignore", invalid="ignore"):
        table["chi2_dof"] = table["chi2"] / np.where(table["dof"] > 0, table["dof"], np.nan)
    table["evaluations"] = np.array([o.evaluations for o in outcomes], dtype=int)
    table["wall_time"] = np.array([o.wall_time for o in outcomes], dtype=float) * u.s
    table["data"] = [o.data for o in outcomes]
    names: dict[str, str] = {}
    for o in outcomes:
        for name, (_, _, unit) in o.parameters.items():
            names.setdefault(name, unit)
    for name, unit in names.items():
        for column, index in ((name, 0), (f"{name}_err", 1)):
            values = [
                o.parameters[name][index] if name in o.parameters else math.nan for o in outcomes
            ]
            table[column] = np.array(values, dtype=float)
            if unit:
                table[column].unit = u.Unit(unit)
    table.meta.update(plain(meta))
    with atomic_path(path) as temporary:
        table.write(temporary, format="ascii.ecsv", overwrite=True)
