"""7. Fits at scale on Dask: the throughput of fit-many on 8 synthetic sources with one and
two local workers (the same fits), and the Dask pool's cost per MCMC step against the serial
pool.

7a: least-squares fits of 8 simulated SSC data sets (power-law electrons; 60 γ × 80 ν, quick
mode 24 × 40), each configuration run twice, alternating, best time kept: the steady rate of a
long sample. The clusters start, and each worker runs one fit (imports, first-use caches),
before the clock does.

7b: the Mrk 421 posterior of the demo (100 γ × 120 ν) and 32 walkers. In a subprocess with one
sorvex thread (RAYON_NUM_THREADS=1), the same steps through the serial pool and through a
one-worker Dask pool, interleaved, best of three: the overhead is their ratio minus one. Then,
in this process, the serial pool on sorvex's threads against a two-worker Dask pool.
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from dataclasses import replace
from pathlib import Path

from runner import ROOT, Context, Report, Row, log, print_json, run_child

GOAL_SPEEDUP = 1.8
GOAL_OVERHEAD = 0.10
SOURCES, WALKERS = 8, 32
THROUGHPUT, POOL = "7a fit-many, 8 sources", "7b Dask pool, one MCMC step of 32 walkers"


def synthetic_sources(work: Path, quick: bool):
    """8 simulated SSC data sets, the options that fit them (those of section 6's recovery
    fits, on larger grids) and the grids."""
    from sections.fit import recovery_options

    sys.path.insert(0, str(ROOT / "tests" / "sorvexfit"))
    from cases import simulate, small_model

    from sorvexfit.scale import find_sources

    grids = {"n_gamma": 24, "n_nu": 40} if quick else {"n_gamma": 60, "n_nu": 80}
    truth = small_model("ssc", **grids)
    folder = work / "sources"
    folder.mkdir()
    for k in range(SOURCES):
        simulate(truth, folder / f"source{k}.ecsv", 500 + k)
    return find_sources([folder]), recovery_options(**grids), grids


def warm_up(client, source, options, work: Path) -> None:
    """One fit on each worker, so that imports and first-use caches are not timed."""
    from sorvexfit.fit import run_fit

    futures = [
        client.submit(run_fit, source.path, options, str(work / str(k)), workers=[w], pure=False)
        for k, w in enumerate(client.nthreads())
    ]
    client.gather(futures)


def throughput(report: Report, context: Context, work: Path) -> dict[str, float]:
    from sorvexfit.scale import fit_many, open_scheduler, parse_scheduler

    sources, options, grids = synthetic_sources(work, context.quick)
    best: dict[int, float] = {}
    busy: dict[int, float] = {}  # the workers' time in fits during the best run
    evaluations = 0
    starts = []
    for turn in range(2):
        for workers in (1, 2):
            log(f"scale: fit-many, {SOURCES} sources, local:{workers}, run {turn + 1}")
            started = time.perf_counter()
            with open_scheduler(parse_scheduler(f"local:{workers}")) as session:
                warm_up(session.client, sources[0], options, work / f"warm-{turn}-{workers}")
                starts.append(time.perf_counter() - started)
                done = fit_many(session.client, sources, options, work / f"out-{turn}-{workers}")
            assert done.exit_code in (0, 3), done.counts()
            if done.wall_time < best.get(workers, float("inf")):
                best[workers] = done.wall_time
                busy[workers] = sum(o.wall_time for o in done.outcomes)
            evaluations = sum(o.evaluations for o in done.outcomes)
    speedup = best[1] / best[2]
    per_source = best[1] / SOURCES
    label = f"{grids['n_gamma']} γ × {grids['n_nu']} ν, least squares, 4 free"
    report.rows.append(
        Row(
            THROUGHPUT,
            f"local:1 ({label})",
            best[1],
            "1.00",
            note=f"{per_source:.2f} s per source, {busy[1] / evaluations * 1e3:.1f} ms per"
            " evaluation with the fit's own work",
        )
    )
    report.rows.append(
        Row(
            THROUGHPUT,
            "local:2",
            best[2],
            f"{best[2] / best[1]:.2f}",
            note=f"speed-up {speedup:.2f}×; workers busy {busy[2] / (2 * best[2]):.0%} of the"
            f" time, each fit {busy[2] / busy[1]:.2f}× as long as on one worker; a cluster"
            f" starts in {min(starts):.1f} s, its first fit included",
        )
    )
    report.goals.append(
        f"7 fit-many on 2 workers ≥ {GOAL_SPEEDUP:g}× 1 worker: "
        f"{'MET' if speedup >= GOAL_SPEEDUP else 'NOT met'} ({speedup:.2f}×)"
    )
    return {"per_source": per_source, "evaluations": evaluations / SOURCES}


def chain_setup():
    """The demo's posterior, the least-squares point and a small starting covariance."""
    import numpy as np

    from sections.fit import demo_module
    from sorvexfit.fit.run import read

    demo = demo_module()
    setup = read(demo.DATA, replace(demo.OPTIONS, method="mcmc", walkers=WALKERS))
    centre = setup.params.vector()
    return setup.posterior, centre, np.diag(np.full(centre.size, 1e-4))


def time_chains(pools: dict[str, object], steps: int, rounds: int) -> dict[str, float]:
    """Seconds per step of the same chain through each pool, interleaved, best of `rounds`."""
    from sorvexfit.fit.mcmc import run_chain

    posterior, centre, covariance = chain_setup()
    work = Path(tempfile.mkdtemp(prefix="bench-scale-"))
    best = dict.fromkeys(pools, float("inf"))
    chains = {}
    for _ in range(rounds):
        for name, pool in pools.items():
            started = time.perf_counter()
            chain = run_chain(
                posterior,
                centre,
                covariance,
                walkers=WALKERS,
                steps=steps,
                seed=1,
                path=work / f"{name}.h5",
                resume=False,
                fingerprint={},
                pool=pool,
            )
            best[name] = min(best[name], (time.perf_counter() - started) / (steps + 1))
            chains[name] = chain.chain
    first = next(iter(chains.values()))
    assert all((c == first).all() for c in chains.values()), "the pools gave different chains"
    return best


def child(context: Context) -> None:
    """One sorvex thread: the serial pool against a one-worker Dask pool."""
    from sorvexfit.scale import DaskPool, open_scheduler, parse_scheduler

    steps = int(os.environ.get("SCALE_STEPS", "3"))
    with open_scheduler(parse_scheduler("local:1")) as session:
        best = time_chains({"serial": None, "dask": DaskPool(session.client)}, steps, 3)
    print_json(best)


def pool_overhead(report: Report, context: Context) -> dict[str, float]:
    from sorvexfit.scale import DaskPool, open_scheduler, parse_scheduler

    steps = 3 if context.quick else 10
    log(f"scale: MCMC steps through the serial and the Dask pool, 1 thread ({steps} steps)")
    env = dict(os.environ, RAYON_NUM_THREADS="1", SCALE_STEPS=str(steps))
    one = run_child("scale", env)
    assert isinstance(one, dict)
    overhead = one["dask"] / one["serial"] - 1.0
    per_evaluation = one["serial"] / WALKERS
    report.rows.append(
        Row(
            POOL,
            "serial pool, 1 sorvex thread (Mrk 421 posterior, 100 γ × 120 ν)",
            one["serial"],
            "1.00",
            note=f"{per_evaluation * 1e3:.1f} ms per evaluation",
        )
    )
    report.rows.append(
        Row(
            POOL,
            "Dask pool, local:1",
            one["dask"],
            f"{one['dask'] / one['serial']:.3f}",
            note=f"overhead {overhead:+.1%} per step, {overhead * per_evaluation * 1e3:+.2f} ms"
            " per evaluation",
        )
    )
    log(f"scale: the same steps on sorvex's threads and on local:2 ({steps} steps)")
    with open_scheduler(parse_scheduler("local:2")) as session:
        two = time_chains({"serial": None, "dask": DaskPool(session.client)}, steps, 3)
    report.rows.append(
        Row(
            POOL,
            f"serial pool, sorvex's pool of {os.cpu_count()} threads",
            two["serial"],
            f"{two['serial'] / one['serial']:.3f}",
        )
    )
    report.rows.append(
        Row(
            POOL,
            "Dask pool, local:2 (walkers spread, 1 thread each)",
            two["dask"],
            f"{two['dask'] / one['serial']:.3f}",
            note=f"{two['serial'] / two['dask']:.2f}× the threaded serial pool",
        )
    )
    report.goals.append(
        f"7 Dask pool overhead per MCMC step ≤ {GOAL_OVERHEAD:.0%}: "
        f"{'MET' if overhead <= GOAL_OVERHEAD else 'NOT met'} ({overhead:+.1%}, one worker"
        f" against the serial pool, one sorvex thread each, {per_evaluation * 1e3:.0f} ms per"
        " evaluation)"
    )
    return {"per_evaluation": per_evaluation, "overhead": overhead}


def run(report: Report, context: Context) -> None:
    work = Path(tempfile.mkdtemp(prefix="bench-scale-"))
    fits = throughput(report, context, work)
    pool = pool_overhead(report, context)
    # 1,000 sources on 100 one-core workers: ten sources a worker, one after the other, each
    # fit (and each chain) on its worker's one thread, without the pool.
    rounds = 1000 / 100
    least_squares = rounds * fits["evaluations"] * pool["per_evaluation"]
    mcmc = rounds * WALKERS * 1000 * pool["per_evaluation"]
    report.facts.append(
        f"7 estimate, 1,000 sources on 100 cores at {pool['per_evaluation'] * 1e3:.1f} ms per"
        f" evaluation (the demo's model, one thread): least squares ({fits['evaluations']:.0f}"
        f" evaluations a source) ≈ {_duration(least_squares)}, MCMC {WALKERS} × 1000 ≈"
        f" {_duration(mcmc)}, plus the queue's wait and one worker start"
    )


def _duration(seconds: float) -> str:
    if seconds < 120:
        return f"{seconds:.0f} s"
    if seconds < 7200:
        return f"{seconds / 60:.0f} min"
    return f"{seconds / 3600:.1f} h"
