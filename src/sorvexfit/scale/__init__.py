"""Fits at scale on Dask: many sources, or many walkers, on a cluster.

    from sorvexfit.fit import FitOptions
    from sorvexfit.scale import find_sources, fit_many, open_scheduler, parse_scheduler

    with open_scheduler(parse_scheduler("local:4")) as session:
        done = fit_many(session.client, find_sources(["points/"]), FitOptions(), "out/")
    print(done.counts(), done.summary)            # out/summary.ecsv, out/<source>/...

Modules: `scheduler` (the values of --scheduler: local[:N], tcp://HOST:PORT,
jobqueue:FILE, and the session it opens), `many` (one task per source, atomic result
directories, skip-done, the summary), `pool` (`DaskPool`, a pool for emcee's walkers).
"""

from .many import ManyResult, Outcome, Source, find_sources, fit_many, fit_source
from .pool import DaskPool
from .scheduler import (
    SchedulerError,
    SchedulerSpec,
    Session,
    open_scheduler,
    parse_scheduler,
    read_jobqueue,
)

__all__ = [
    "DaskPool",
    "ManyResult",
    "Outcome",
    "SchedulerError",
    "SchedulerSpec",
    "Session",
    "Source",
    "find_sources",
    "fit_many",
    "fit_source",
    "open_scheduler",
    "parse_scheduler",
    "read_jobqueue",
]
