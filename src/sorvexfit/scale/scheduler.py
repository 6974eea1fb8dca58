"""Where the work runs: the value of `--scheduler` and the Dask cluster it opens.

    local[:N]          a dask.distributed LocalCluster of N worker processes on this machine
                       (default N: the cores this process may use), one thread each
    tcp://HOST:PORT    an existing Dask scheduler (its workers must have sorvexfit installed)
    jobqueue:FILE      a dask-jobqueue cluster (Slurm, PBS, ...) described by a YAML file

Every worker thread runs one fit or one likelihood evaluation at a time with a single sorvex
thread (RAYON_NUM_THREADS=1 in the worker's environment, or in the job script), so that N
workers on N cores do not oversubscribe them.

The YAML file of `jobqueue:` names the dask-jobqueue class, its keyword arguments (those of
dask-jobqueue's documentation, unchanged) and how many workers to ask for:

    cluster: SLURMCluster          # or PBSCluster, SGECluster, LSFCluster, OARCluster, ...
    options:                       # keyword arguments of the class
      cores: 8
      processes: 8
      memory: 16GB
      walltime: "02:00:00"
      job_script_prologue: ["source ~/sorvex/.venv/bin/activate"]
    scale: {jobs: 4}               # cluster.scale(...): n, jobs, cores or memory
    # adapt: {minimum_jobs: 0, maximum_jobs: 20}   # or cluster.adapt(...), instead of scale

A malformed value, an unreadable or malformed file, a class that refuses its options and a
scheduler that cannot be reached raise `SchedulerError` with one line naming the problem.
"""

from __future__ import annotations

import inspect
import logging
import os
import re
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

from ..files import first_line

__all__ = [
    "CONNECT_TIMEOUT",
    "JOBQUEUE_CLASSES",
    "JobqueueSpec",
    "SchedulerError",
    "SchedulerSpec",
    "Session",
    "default_workers",
    "jobqueue_cluster",
    "open_scheduler",
    "parse_scheduler",
    "read_jobqueue",
]

CONNECT_TIMEOUT = 10.0  # seconds to reach an existing scheduler
WORKER_ENV = {"RAYON_NUM_THREADS": "1"}
JOBQUEUE_CLASSES = (
    "SLURMCluster",
    "PBSCluster",
    "SGECluster",
    "LSFCluster",
    "OARCluster",
    "MoabCluster",
    "HTCondorCluster",
)
_SCALE_KEYS = ("n", "jobs", "cores", "memory")
_USAGE = "expected local[:N], tcp://HOST:PORT or jobqueue:FILE"


class SchedulerError(ValueError):
    """A --scheduler that cannot be used (exit status 2)."""


@dataclass(frozen=True)
class SchedulerSpec:
    """A parsed --scheduler: kind "local" (workers), "tcp" (address) or "jobqueue" (path)."""

    kind: str
    text: str
    workers: int = 0
    address: str = ""
    path: Path | None = None


def default_workers() -> int:
    """The cores this process may run on."""
    counter = getattr(os, "process_cpu_count", None)
    count = counter() if counter is not None else len(os.sched_getaffinity(0))
    return max(1, count or 1)


def parse_scheduler(text: str) -> SchedulerSpec:
    """local[:N], tcp://HOST:PORT or jobqueue:FILE as a SchedulerSpec (SchedulerError)."""
    text = text.strip()
    where = f"--scheduler {text!r}"
    if text == "local" or text.startswith("local:"):
        count = text.partition(":")[2]
        if not count:
            return SchedulerSpec("local", text, workers=default_workers())
        if not count.isdigit() or int(count) < 1:
            raise SchedulerError(f"{where}: the number of workers must be a whole number ≥ 1")
        return SchedulerSpec("local", text, workers=int(count))
    if text.startswith("tcp://"):
        match = re.fullmatch(r"tcp://(\[[0-9A-Fa-f:.]+\]|[^\s:/\[\]]+):(\d{1,5})", text)
        if match is None or not 0 < int(match.group(2)) < 65536:
            raise SchedulerError(f"{where}: expected tcp://HOST:PORT with a port in 1..65535")
        return SchedulerSpec("tcp", text, address=text)
    if text.startswith("jobqueue:"):
        name = text.partition(":")[2]
        if not name:
            raise SchedulerError(f"{where}: expected jobqueue:FILE, a YAML file")
        return SchedulerSpec("jobqueue", text, path=Path(name))
    raise SchedulerError(f"{where}: {_USAGE}")


# ---------------------------------------------------------------------------------------------
# jobqueue: FILE


@dataclass(frozen=True)
class JobqueueSpec:
    """The contents of a jobqueue YAML file."""

    cluster: str
    options: dict[str, Any]
    scale: dict[str, Any] = field(default_factory=dict)
    adapt: dict[str, Any] | None = None


def read_jobqueue(path: Path) -> JobqueueSpec:
    """Reads and checks a jobqueue YAML file (module documentation); SchedulerError."""
    import yaml

    where = f"jobqueue:{path}"
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) else "not a text file"
        raise SchedulerError(f"{where}: {reason or error}") from None
    try:
        content = yaml.safe_load(text)
    except yaml.YAMLError as error:
        mark = getattr(error, "problem_mark", None)
        problem = getattr(error, "problem", None) or type(error).__name__
        at = f"line {mark.line + 1}, column {mark.column + 1}: " if mark is not None else ""
        raise SchedulerError(f"{where}: not valid YAML ({at}{problem})") from None
    if not isinstance(content, dict):
        raise SchedulerError(f"{where}: expected a mapping with 'cluster', 'options' and 'scale'")
    unknown = sorted(str(k) for k in content if k not in ("cluster", "options", "scale", "adapt"))
    if unknown:
        raise SchedulerError(
            f"{where}: unknown key {unknown[0]!r} (known: cluster, options, scale, adapt)"
        )
    cluster = content.get("cluster")
    if cluster not in JOBQUEUE_CLASSES:
        raise SchedulerError(
            f"{where}: cluster: expected one of {', '.join(JOBQUEUE_CLASSES)}, got {cluster!r}"
        )
    options = _mapping(content.get("options", {}), where, "options")
    scale = content.get("scale")
    adapt = content.get("adapt")
    if (scale is None) == (adapt is None):
        raise SchedulerError(f"{where}: give either 'scale' or 'adapt' (how many workers)")
    if scale is not None:
        scale = _mapping(scale, where, "scale")
        bad = [k for k in scale if k not in _SCALE_KEYS]
        if bad or not scale:
            raise SchedulerError(
                f"{where}: scale: expected one of {', '.join(_SCALE_KEYS)}, e.g. {{jobs: 4}}"
            )
        return JobqueueSpec(cluster, options, scale=scale)
    return JobqueueSpec(cluster, options, adapt=_mapping(adapt, where, "adapt"))


def _mapping(value: Any, where: str, key: str) -> dict[str, Any]:
    if not isinstance(value, dict) or not all(isinstance(k, str) for k in value):
        raise SchedulerError(f"{where}: {key}: expected a mapping of names to values")
    return dict(value)


def jobqueue_cluster(spec: JobqueueSpec, where: str = "jobqueue") -> Any:
    """The dask-jobqueue cluster of `spec`, not yet scaled; its job script exports
    RAYON_NUM_THREADS=1 unless the prologue sets it. SchedulerError if the class refuses its
    options."""
    import dask_jobqueue

    options = dict(spec.options)
    prologue = options.get("job_script_prologue") or []
    if isinstance(prologue, str) or not all(isinstance(line, str) for line in prologue):
        raise SchedulerError(f"{where}: options: job_script_prologue: expected a list of lines")
    if not any("RAYON_NUM_THREADS" in line for line in prologue):
        prologue = [*prologue, *(f"export {k}={v}" for k, v in WORKER_ENV.items())]
    options["job_script_prologue"] = list(prologue)
    cls = getattr(dask_jobqueue, spec.cluster)
    # The job's options are checked on a job of its own first: a cluster that fails halfway
    # through its construction is left unclosed.
    own = inspect.signature(dask_jobqueue.JobQueueCluster.__init__).parameters
    job_options = {k: v for k, v in options.items() if k not in own}
    try:
        cls.job_cls(scheduler="tcp://127.0.0.1:8786", name="check", **job_options)
        return cls(**options)
    except (TypeError, ValueError, KeyError) as error:
        unknown = re.search(r"unexpected keyword argument '(\w+)'", str(error))
        reason = f"unknown option {unknown.group(1)!r}" if unknown else first_line(error)
        raise SchedulerError(f"{where}: {spec.cluster}: {reason}") from None


# ---------------------------------------------------------------------------------------------
# Opening a session


@dataclass
class Session:
    """A Dask client and what it is connected to."""

    client: Any
    spec: SchedulerSpec
    cluster: Any = None  # the cluster this session started (None for tcp://)

    @property
    def dashboard(self) -> str | None:
        """The dashboard address, when the scheduler serves one."""
        try:
            services = self.client.scheduler_info().get("services", {})
        except (OSError, KeyError):
            return None
        return str(self.client.dashboard_link) if "dashboard" in services else None

    def describe(self) -> str:
        """One line: what runs the work."""
        if self.spec.kind == "local":
            return f"local cluster of {self.spec.workers} worker process(es), 1 thread each"
        if self.spec.kind == "tcp":
            workers = self.client.scheduler_info().get("workers", {})
            threads = sum(int(w.get("nthreads", 0)) for w in workers.values())
            return f"scheduler {self.spec.address}: {len(workers)} workers, {threads} threads"
        return f"{type(self.cluster).__name__} from {self.spec.path} (jobs start when queued)"


@contextmanager
def open_scheduler(spec: SchedulerSpec, *, dashboard: str = ":0") -> Iterator[Session]:
    """A session on the scheduler of `spec`; a cluster it started is closed on exit (also on
    an exception). `dashboard`: the local cluster's dashboard address (":0": a free port)."""
    import dask
    from distributed import Client

    quiet = logging.getLogger("distributed")
    with ExitStack() as stack:
        # A scheduler started here gives a worker thread its next task when it is free, not
        # ahead of time: a fit lasts seconds, and a task queued on a busy worker can keep the
        # last fits of a run waiting while another worker idles.
        stack.enter_context(dask.config.set({"distributed.scheduler.worker-saturation": 1.0}))
        if spec.kind == "local":
            from distributed import LocalCluster

            cluster = stack.enter_context(
                LocalCluster(
                    n_workers=spec.workers,
                    threads_per_worker=1,
                    processes=True,
                    env=dict(WORKER_ENV),
                    dashboard_address=dashboard,
                )
            )
            client = stack.enter_context(Client(cluster))
            yield Session(client, spec, cluster)
        elif spec.kind == "tcp":
            level = quiet.level
            quiet.setLevel(logging.CRITICAL)  # failed attempts are reported in one line
            try:
                client = Client(spec.address, timeout=CONNECT_TIMEOUT)
            except (OSError, TimeoutError):
                raise SchedulerError(
                    f"--scheduler {spec.address}: cannot reach the scheduler (no answer within"
                    f" {CONNECT_TIMEOUT:g} s)"
                ) from None
            finally:
                quiet.setLevel(level)
            stack.enter_context(client)
            yield Session(client, spec)
        else:
            assert spec.path is not None
            where = f"jobqueue:{spec.path}"
            jobs = read_jobqueue(spec.path)
            cluster = stack.enter_context(jobqueue_cluster(jobs, where))
            try:
                if jobs.adapt is not None:
                    cluster.adapt(**jobs.adapt)
                else:
                    cluster.scale(**jobs.scale)
            except (TypeError, ValueError) as error:
                what = "adapt" if jobs.adapt is not None else "scale"
                raise SchedulerError(f"{where}: {what}: {first_line(error)}") from None
            client = stack.enter_context(Client(cluster))
            yield Session(client, spec, cluster)
