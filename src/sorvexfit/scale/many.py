"""Fits of many sources on a Dask cluster: `fit_many(client, sources, options, out)`.

Each source is one task, `fit_source`, that runs `run_fit` with the same options for every
source and writes the directory `run_fit` writes (result.ecsv, sed.png, ...) as OUT/<folder>/,
its folder named by `sorvexfit.folders.folder_name` (the source's name when it is a plain file
name; never `.`, `..`, a path or one of the run's own names):

- One run at a time per OUT: the run holds OUT's lock (`sorvexfit.folders.FolderLock`) from
  start to end.
- Atomic: a task fits into a fresh attempt folder inside this run's own folder,
  OUT/.sorvexfit/run-<token>/, and returns; this process (never a worker) then swaps it with
  OUT/<folder>/ in one step (renameat2; elsewhere two renames, recorded first so that a cut
  is finished by the next run). OUT/<folder>/ is thus never half-written, and nothing lands in
  OUT after the summary is written. A fit that fails or is interrupted leaves the previous
  result as it was.
- Clean-up by record: the run folders are listed in OUT/.sorvexfit/runs before they are made;
  a run removes its own folder at the end, and those of earlier runs that were cut short at
  its start. Nothing else in OUT is ever removed.
- Done once: OUT/<folder>/fit-many.json records the fit's key (its options and the SHA-256 of
  the data file) and its outcome. A source whose directory has result.ecsv and the same key is
  done: a re-run skips it (a changed option or data file fits it again). A worker that dies
  takes its task with it; Dask runs the task again on another worker (up to
  `distributed.scheduler.allowed-failures` times, then the source is recorded as failed).
- A source that cannot be fitted (bad data, no steady state, a kernel stop, a file system that
  refuses its files, an exception) is recorded with its message, and the other sources go on.
- OUT/summary.ecsv: one row per source, in the order given: source, folder, status, message,
  run ("fitted", "done before" or "not run"), chi2, dof, chi2_dof, evaluations, wall_time, the
  data file, and the best value and error of each free parameter (`B`, `B_err`, ...).

The data files and OUT must be on a file system that the workers share with this process.
"""

from __future__ import annotations

import contextlib
import errno
import json
import math
import os
import re
import shutil
import sys
import time
import uuid
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field, replace
from pathlib import Path
from typing import Any

from ..backend import KERNEL_STOPS
from ..files import WriteError, atomic_path, first_line, os_error_text, write_error
from ..fit.data import DataError
from ..fit.options import FitOptions, data_digest, identity
from ..fit.results import ExitCode, FitResult, Status, plain
from ..fit.run import run_fit
from ..folders import PRIVATE, FolderLock, check_out, exchange, folder_name
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
RUNS = "runs"  # the record of the run folders in OUT/.sorvexfit/
SUFFIXES = (".ecsv", ".csv")
RETRIES = 2  # of a task that raised (a worker's death is counted apart, by the scheduler)
POLL_SECONDS = 0.25  # how often a waiting run looks at its stop request


@dataclass(frozen=True)
class Source:
    """A source: its name (the file name without suffix) and its data file (absolute)."""

    name: str
    path: str

    @property
    def folder(self) -> str:
        """Its folder in OUT (`sorvexfit.folders.folder_name`)."""
        return folder_name(self.name)


def find_sources(paths: Sequence[str | Path], out: str | Path | None = None) -> list[Source]:
    """The sources of files and folders (a folder: its *.ecsv and *.csv files, by name).
    DataError for a missing path, an empty folder or two sources of the same name or folder.
    With `out`, the summary a run into `out` writes is not a source (skipped in a folder,
    refused when named)."""
    summary = (Path(out) / SUMMARY).resolve() if out is not None and str(out).strip() else None
    sources: dict[str, Source] = {}
    for given in paths:
        path = Path(given)
        if path.is_dir():
            files = sorted(
                f
                for f in path.iterdir()
                if f.is_file()
                and f.suffix.lower() in SUFFIXES
                and not f.name.startswith(".")
                and f.resolve() != summary
            )
            if not files:
                raise DataError(f"{given}: no flux-point files (*.ecsv, *.csv) in this folder")
        elif path.is_file():
            if path.resolve() == summary:
                raise DataError(f"{given}: this is the summary of fit-many, not flux points")
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
    _check_folders(list(sources.values()))
    return list(sources.values())


def _check_folders(sources: Sequence[Source]) -> None:
    """DataError when two sources would share a folder (in any case of the letters)."""
    seen: dict[str, Source] = {}
    for source in sources:
        key = source.folder.casefold()
        if key in seen:
            raise DataError(
                f"{source.path}: the source {source.name!r} would share the folder"
                f" {source.folder!r} with {seen[key].name!r} ({seen[key].path})"
            )
        seen[key] = source


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
    folder: str = ""  # in OUT
    attempt: str = ""  # where a task left its files, until they are published (not recorded)
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
            folder=source.folder,
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


def fit_source(source: Source, options: FitOptions, out: str, key: str, run: str) -> Outcome:
    """Fits one source into a fresh attempt folder in OUT/.sorvexfit/`run`/ (which must exist)
    and returns its outcome, the attempt folder in `Outcome.attempt`: the caller publishes it
    as OUT/<folder>/. Never raises for a fit that fails."""
    attempt = Path(out) / PRIVATE / run / uuid.uuid4().hex[:12]
    attempt.mkdir()  # not its parents: a run folder removed by its run stays removed
    final = Path(out) / source.folder
    if options.resume and (final / "chain.h5").is_file():
        _link_or_copy(final / "chain.h5", attempt / "chain.h5")
    started = time.perf_counter()

    def failed(status: Status, message: str) -> Outcome:
        return Outcome(source.name, source.path, status, message, folder=source.folder)

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
    record = asdict(outcome)
    del record["attempt"]
    try:
        with atomic_path(attempt / MARKER) as temporary:
            temporary.write_text(
                json.dumps({"key": key, "outcome": record}, indent=1), encoding="utf-8"
            )
    except WriteError as error:  # not published: it goes with the run's folder
        return failed(Status.FAILED, os_error_text(error))
    outcome.attempt = str(attempt)
    return outcome


def _link_or_copy(source: Path, target: Path) -> None:
    try:
        os.link(source, target)  # never written: a continued chain is a new file
    except OSError:
        shutil.copyfile(source, target)


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
    wait: bool = False,
) -> ManyResult:
    """Fits every source not done yet on the client's cluster and writes OUT/summary.ecsv.
    `stop`, polled while waiting, ends the run early: the sources not finished are recorded
    as "interrupted" (a re-run fits them). `on_done` is called with each finished outcome.
    FolderBusy when another run holds OUT (unless `wait`); WriteError when the summary cannot
    be written."""
    started = time.perf_counter()
    root = check_out(out, "out").resolve()
    _check_folders(sources)
    for source in sources:
        if Path(source.path).resolve() == root / SUMMARY:
            raise DataError(f"{source.path}: this is the summary of fit-many, not flux points")
    options = replace(options, progress=False)
    try:
        root.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise write_error(error) from None
    with FolderLock(root, wait=wait, stop=stop), _RunFolder(root) as run:
        outcomes, interrupted = _fit_all(client, sources, options, run, progress, stop, on_done)
        ordered = [outcomes[s.name] for s in sources]
        summary = root / SUMMARY
        meta = {"options": options.describe(), "interrupted": interrupted}
        write_summary(ordered, summary, meta)
    return ManyResult(ordered, summary, interrupted, time.perf_counter() - started)


def _fit_all(
    client: Any,
    sources: Sequence[Source],
    options: FitOptions,
    run: _RunFolder,
    progress: bool,
    stop: Callable[[], bool] | None,
    on_done: Callable[[Outcome], None] | None,
) -> tuple[dict[str, Outcome], bool]:
    """Each source's outcome, its result published as soon as its task returns; whether the
    run was stopped. Nothing is published after this returns."""
    from distributed import wait
    from tqdm import tqdm

    root = run.root
    keys = {source.name: fit_key(options, source) for source in sources}
    outcomes: dict[str, Outcome] = {}
    todo = []
    for source in sources:
        earlier = _done(root / source.folder, keys[source.name])
        if earlier is None:
            todo.append(source)
        else:
            outcomes[source.name] = replace(earlier, run="done before", folder=source.folder)
    futures = {
        client.submit(
            fit_source,
            source,
            options,
            str(root),
            keys[source.name],
            run.name,
            key=f"fit-{source.folder}-{run.token}",
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

        def finish(future: Any) -> None:
            source = futures[future]
            outcomes[source.name] = run.publish(_collect(future, source), root / source.folder)
            bar.update(1)
            if on_done is not None:
                on_done(outcomes[source.name])

        try:
            while pending:
                if stop is not None and stop():
                    interrupted = True
                    break
                try:
                    done, _ = wait(pending, timeout=POLL_SECONDS, return_when="FIRST_COMPLETED")
                except TimeoutError:
                    continue
                for future in done:
                    finish(future)
                    pending.discard(future)
        except KeyboardInterrupt:  # a second Ctrl-C: stop waiting at once
            interrupted = True
        for future in [f for f in pending if f.status == "finished"]:
            finish(future)  # returned before the stop: published and recorded
            pending.discard(future)
        # A task still running may write into the run's folder after this run has left it
        # (remaking it): the record keeps the folder's name, and the next run removes it.
        run.stragglers = bool(pending)
    if pending:
        client.cancel(list(pending))  # what these leave in the run folder goes with it
        for future in pending:
            source = futures[future]
            outcomes[source.name] = Outcome(
                source.name,
                source.path,
                Status.INTERRUPTED,
                "the run stopped before this source was fitted",
                run="not run",
                folder=source.folder,
            )
    return outcomes, interrupted


class _RunFolder:
    """This run's own folder, OUT/.sorvexfit/run-<token>/, where the tasks make their attempt
    folders; recorded in OUT/.sorvexfit/runs before it is made. On entry the folders of earlier
    runs that the record lists are finished (a publish cut short) and removed; on exit this
    one is. Used under OUT's lock."""

    def __init__(self, root: Path) -> None:
        self.root = root
        self.private = root / PRIVATE
        self.token = uuid.uuid4().hex[:12]
        self.name = f"run-{self.token}"
        self.path = self.private / self.name
        self.stragglers = False  # tasks cancelled while running may still write here

    def __enter__(self) -> _RunFolder:
        try:
            self.private.mkdir(exist_ok=True)
            for name in self._recorded():
                self._clear(self.private / name)
            self._record([*self._left(), self.name])
            self.path.mkdir()
        except OSError as error:
            raise write_error(error) from None
        return self

    def __exit__(self, *_: object) -> None:
        self._clear(self.path)
        left = self._left()
        if self.stragglers and self.name not in left:
            left.append(self.name)
        if not left:
            (self.private / RUNS).unlink(missing_ok=True)
        elif left != self._recorded():
            self._record(left)
        with contextlib.suppress(OSError):  # emptied (the lock's owner removes it otherwise)
            self.private.rmdir()

    def _recorded(self) -> list[str]:
        try:
            lines = (self.private / RUNS).read_text(encoding="utf-8").split()
        except FileNotFoundError:
            return []
        return [line for line in lines if _RUN_NAME.fullmatch(line)]

    def _left(self) -> list[str]:
        """The recorded run folders that are still there (a worker still writing into one)."""
        return [name for name in self._recorded() if (self.private / name).exists()]

    def _record(self, names: list[str]) -> None:
        with atomic_path(self.private / RUNS) as temporary:
            temporary.write_text("".join(f"{name}\n" for name in names), encoding="utf-8")

    def _clear(self, folder: Path) -> None:
        """Finishes the publications recorded in a run folder, then removes it."""
        for intent in folder.glob("*.publish") if folder.is_dir() else []:
            try:
                record = json.loads(intent.read_text(encoding="utf-8"))
                final = self.root / record["final"]
                if folder_name(record["final"]) == record["final"] and not final.exists():
                    for name in (record["attempt"], record["old"]):
                        if _PART.fullmatch(name) and (folder / name).is_dir():
                            os.replace(folder / name, final)
                            break
            except (OSError, ValueError, KeyError, TypeError):
                continue
        shutil.rmtree(folder, ignore_errors=True)

    def publish(self, outcome: Outcome, final: Path) -> Outcome:
        """Swaps the attempt of `outcome` with `final` when it holds a result (a fit that
        failed or stopped leaves `final` as it was); removes what is left of it."""
        attempt = Path(outcome.attempt) if outcome.attempt else None
        outcome.attempt = ""
        if attempt is None or attempt.parent != self.path or not attempt.is_dir():
            return outcome
        try:
            if final.exists() and not final.is_dir():
                raise OSError(errno.ENOTDIR, "not a folder, left as it is", str(final))
            if (attempt / "result.ecsv").is_file():
                self._swap(attempt, final)
        except OSError as error:
            return replace(outcome, status=Status.FAILED, message=os_error_text(error))
        finally:
            shutil.rmtree(attempt, ignore_errors=True)
        return outcome

    def _swap(self, attempt: Path, final: Path) -> None:
        if not final.exists():
            os.rename(attempt, final)
        elif not exchange(attempt, final):  # two renames, the intent recorded first
            old = attempt.with_name(f"{attempt.name}.old")
            intent = attempt.with_name(f"{attempt.name}.publish")
            text = json.dumps({"final": final.name, "attempt": attempt.name, "old": old.name})
            with atomic_path(intent) as temporary:
                temporary.write_text(text, encoding="utf-8")
            os.replace(final, old)
            os.replace(attempt, final)
            intent.unlink()
            shutil.rmtree(old, ignore_errors=True)
        # after an exchange the attempt folder holds the old result, removed by the caller


_RUN_NAME = re.compile(r"run-[0-9a-f]{12}")
_PART = re.compile(r"[0-9a-f]{12}(\.old)?")


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
    table["folder"] = [o.folder or folder_name(o.source) for o in outcomes]
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
