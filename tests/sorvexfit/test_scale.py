"""Fits at scale on Dask: fit-many gives what serial fits give, bit for bit; a killed worker
loses no source; an interrupted run resumes with the unfinished sources only; the Dask pool
gives the serial chain; the jobqueue path builds and runs a (fake) Slurm cluster; every bad
--scheduler is one line and status 2."""

from __future__ import annotations

import contextlib
import os
import signal
import socket
from collections.abc import Iterator
from dataclasses import replace
from pathlib import Path

import h5py
import numpy as np
import pytest
from astropy.table import Table
from cases import SHORT_SEARCH, SMALL_ARGV, SMALL_MODEL_VALUES, simulate, small_config, small_model

import sorvex
from sorvexfit import ConvergenceError, kernels
from sorvexfit.cli import main
from sorvexfit.fit import ExitCode, FitOptions, run_fit
from sorvexfit.scale import find_sources, fit_many, open_scheduler, parse_scheduler
from sorvexfit.scale import many as many_module
from sorvexfit.scale import scheduler as scheduler_module
from sorvexfit.scale.many import MARKER, fit_key, fit_source

START = (("B", "0.3"), ("delta_D", "12"), ("n_e", "3"), ("p", "2.0"))
FREE = ("B", "delta_D", "n_e", "p")
SOURCES = 6


def fit_argv() -> list[str]:
    argv = ["--model", "ssc", "--electrons", "power_law", "--free", ",".join(FREE)]
    argv += SMALL_ARGV
    for name, value in (*SMALL_MODEL_VALUES, *START):
        argv += ["--set", f"{name}={value}"]
    return [*argv, "--band-samples", "6", "--seed", "3"]


def fit_options(**changes: object) -> FitOptions:
    options = FitOptions(
        model=small_config(),
        values=(*SMALL_MODEL_VALUES, *START),
        free=FREE,
        band_samples=6,
        seed=3,
        **SHORT_SEARCH,  # type: ignore[arg-type]
    )
    return replace(options, **changes)  # type: ignore[arg-type]


def result_text(directory: Path) -> str:
    """result.ecsv but its wall time: every number as written, to the last digit."""
    text = (directory / "result.ecsv").read_text()
    return "\n".join(line for line in text.splitlines() if "wall_time_s" not in line)


@pytest.fixture(scope="module")
def folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("sources")
    truth = small_model("ssc")
    for k in range(SOURCES):
        simulate(truth, path / f"src{k}.ecsv", 300 + k)
    return path


@pytest.fixture(scope="module")
def serial(folder: Path, tmp_path_factory: pytest.TempPathFactory) -> dict[str, str]:
    """result.ecsv of each source fitted by `sorvexfit fit`, one after the other."""
    out = tmp_path_factory.mktemp("serial")
    texts = {}
    for source in find_sources([folder]):
        argv = ["fit", source.path, *fit_argv(), "--out", str(out / source.name)]
        assert main(argv) == 0
        texts[source.name] = result_text(out / source.name)
    return texts


def check_run(out: Path, serial: dict[str, str]) -> Table:
    """Every source once in the summary; those of `serial` converged, with the serial fit's
    result; nothing of the run's own left behind (no lock, no attempt)."""
    summary = Table.read(out / "summary.ecsv", format="ascii.ecsv")
    assert len(set(summary["source"])) == len(summary)
    status = dict(zip(summary["source"], summary["status"], strict=True))
    for name, text in serial.items():
        assert status[name] == "converged", name
        assert result_text(out / name) == text, name
    leftover = sorted(str(p.relative_to(out)) for p in (out / ".sorvexfit").rglob("*"))
    assert not (out / ".sorvexfit").exists(), leftover
    return summary


def test_fit_many_gives_the_serial_fits_bit_for_bit(
    folder: Path, serial: dict[str, str], tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    out = tmp_path / "many"
    argv = ["fit-many", str(folder), *fit_argv(), "--out", str(out), "--scheduler", "local:2"]
    assert main(argv) == 0
    printed = capsys.readouterr().out
    assert "scheduler: local cluster of 2 worker process(es), 1 thread each" in printed
    assert "dashboard: http://" in printed
    summary = check_run(out, serial)
    assert set(summary["run"]) == {"fitted"}
    row = summary[list(summary["source"]).index("src0")]
    table = Table.read(out / "src0" / "result.ecsv", format="ascii.ecsv")
    for name in FREE:
        p = table[list(table["name"]).index(name)]
        assert (row[name], row[f"{name}_err"]) == (p["best"], p["error"])
    assert str(summary["B"].unit) == "G"


def test_a_killed_worker_loses_no_source_and_failures_are_recorded(
    folder: Path, serial: dict[str, str], tmp_path: Path
) -> None:
    data = tmp_path / "data"
    data.mkdir()
    (data / "no_redshift.ecsv").write_text(
        (folder / "src0.ecsv").read_text().replace("redshift", "comment")
    )
    (data / "negative_error.csv").write_text(
        "# redshift: 0.05\nnu [Hz],nuFnu [erg cm-2 s-1],nuFnu_err [erg cm-2 s-1]\n"
        "1e15,1e-11,-1e-12\n"
    )
    sources = find_sources([folder, data])
    out = tmp_path / "many"
    killed: list[str] = []
    with open_scheduler(parse_scheduler("local:2")) as session:
        client, cluster = session.client, session.cluster
        env = client.run(os.getenv, "RAYON_NUM_THREADS")
        assert list(env.values()) == ["1", "1"]

        def kill_a_busy_worker(_: object) -> None:
            if killed:
                return
            for address, keys in client.processing().items():
                nanny = next(n for n in cluster.workers.values() if n.worker_address == address)
                if keys and any(str(k).startswith("fit-src") for k in keys):
                    os.kill(nanny.process.process.pid, signal.SIGKILL)
                    killed.extend(str(k) for k in keys)
                    return

        done = fit_many(client, sources, fit_options(), out, on_done=kill_a_busy_worker)
    assert killed, "no worker was busy when the first source finished"
    assert done.exit_code == ExitCode.FAILED
    bad = {o.source: o for o in done.outcomes if o.status != "converged"}
    assert set(bad) == {"no_redshift", "negative_error"}
    assert bad["no_redshift"].status == "bad input"
    assert "gives no redshift" in bad["no_redshift"].message
    assert "row 1, column 'nuFnu_err'" in bad["negative_error"].message
    summary = check_run(out, serial)
    assert len(summary) == len(sources) == SOURCES + 2


def test_an_interrupted_run_is_finished_by_the_next_one(
    folder: Path, serial: dict[str, str], tmp_path: Path
) -> None:
    sources = find_sources([folder])
    out = tmp_path / "many"
    finished: list[str] = []
    with open_scheduler(parse_scheduler("local:2")) as session:
        first = fit_many(
            session.client,
            sources,
            fit_options(),
            out,
            stop=lambda: bool(finished),
            on_done=lambda o: finished.append(o.source),
        )
    assert first.interrupted
    assert first.exit_code == 4
    assert sorted(o.source for o in first.outcomes) == sorted(serial)
    # The summary says what is on disk: only this process publishes, before the summary.
    complete = {s.name for s in sources if (out / s.name / "result.ecsv").exists()}
    assert set(finished) == complete < set(serial)
    summary = Table.read(out / "summary.ecsv", format="ascii.ecsv")
    rows = {r["source"]: (r["status"], r["run"]) for r in summary}
    assert rows == {
        name: ("converged", "fitted") if name in complete else ("interrupted", "not run")
        for name in serial
    }
    stamps = {name: (out / name / "result.ecsv").stat().st_mtime_ns for name in complete}
    # A run killed mid-fit left its recorded run folder; a look-alike of the old attempt
    # names is a source's, not the run's, and stays.
    private = out / ".sorvexfit"
    (private / "run-0123456789ab" / "0123456789ab").mkdir(parents=True)
    with (private / "runs").open("a") as record:
        record.write("run-0123456789ab\n")
    (out / ".src0.0123456789ab.partial").mkdir()

    with open_scheduler(parse_scheduler("local:2")) as session:
        second = fit_many(session.client, sources, fit_options(), out)
    assert sorted(second.fitted) == sorted(set(serial) - complete)
    assert sorted(second.skipped) == sorted(complete)
    for name, stamp in stamps.items():
        assert (out / name / "result.ecsv").stat().st_mtime_ns == stamp
    summary = check_run(out, serial)
    assert {s: r for s, r in zip(summary["source"], summary["run"], strict=True)} == {
        name: "done before" if name in complete else "fitted" for name in serial
    }
    assert (out / ".src0.0123456789ab.partial").is_dir()

    # Another option fits every source again.
    with open_scheduler(parse_scheduler("local:1")) as session:
        third = fit_many(session.client, sources[:1], fit_options(seed=4), out)
    assert third.fitted == ["src0"]


@pytest.mark.parametrize(
    ("error", "status", "message"),
    [
        (sorvex.PanicException("a stop in the kernel"), "failed", "kernel stopped: a stop in"),
        (kernels.PanicException("a stop in the kernel"), "failed", "kernel stopped: a stop in"),
        (OSError(28, "No space left on device"), "failed", "No space left on device"),
        (ConvergenceError("no steady state"), "failed", "no steady state"),
        (RuntimeError("a bug"), "failed", "RuntimeError: a bug"),
        (KeyboardInterrupt(), None, None),
    ],
)
def test_a_failing_fit_is_recorded_and_never_counts_as_done(
    folder: Path,
    tmp_path: Path,
    monkeypatch: pytest.MonkeyPatch,
    error: BaseException,
    status: str | None,
    message: str | None,
) -> None:
    def stopped(*_: object, **__: object) -> None:
        raise error

    monkeypatch.setattr(many_module, "run_fit", stopped)
    source = find_sources([folder / "src1.ecsv"])[0]
    key = fit_key(fit_options(), source)
    (tmp_path / "src1").mkdir()
    (tmp_path / "src1" / "result.ecsv").write_text("an earlier fit")
    with many_module._RunFolder(tmp_path) as run:
        if status is None:  # not a fault of the source: it propagates
            with pytest.raises(type(error)):
                fit_source(source, fit_options(), str(tmp_path), key, run.name)
            return
        outcome = fit_source(source, fit_options(), str(tmp_path), key, run.name)
        assert (outcome.status, outcome.run) == (status, "fitted")
        assert message is not None
        assert message in outcome.message
        assert not outcome.message.endswith("None")
        attempt = Path(outcome.attempt)
        assert (attempt / MARKER).exists()
        assert many_module._done(attempt, key) is None  # a re-run fits it again
        published = run.publish(outcome, tmp_path / "src1")
        assert (published.status, published.message) == (outcome.status, outcome.message)
    # a fit that failed leaves the earlier result, and nothing of the run
    assert sorted(p.name for p in tmp_path.iterdir()) == ["src1"]
    assert (tmp_path / "src1" / "result.ecsv").read_text() == "an earlier fit"


def test_mcmc_through_the_dask_pool_is_the_serial_chain(
    folder: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    data = folder / "src2.ecsv"
    mcmc = ["--method", "mcmc", "--walkers", "8", "--steps", "6"]
    argv = ["fit", str(data), *fit_argv(), *mcmc, "--scheduler", "local:2"]
    assert main([*argv, "--out", str(tmp_path / "dask")]) in (0, 3)  # 3: a short chain
    assert "scheduler: local cluster of 2" in capsys.readouterr().out
    run_fit(data, fit_options(method="mcmc", walkers=8, steps=6), tmp_path / "serial")
    chains = []
    for name in ("dask", "serial"):
        with h5py.File(tmp_path / name / "chain.h5", "r") as f:
            chains.append((f["mcmc/chain"][()], f["mcmc/log_prob"][()]))
    assert chains[0][0].shape == (6, 8, len(FREE))
    np.testing.assert_array_equal(chains[0][0], chains[1][0])
    np.testing.assert_array_equal(chains[0][1], chains[1][1])
    assert result_text(tmp_path / "dask") == result_text(tmp_path / "serial")


class _DiesOnce:
    """x ↦ x², but the worker that first meets x = 5 dies on the spot (a marker file keeps it
    from happening twice)."""

    def __init__(self, marker: Path) -> None:
        self.marker = marker

    def __call__(self, x: float) -> float:
        if x == 5 and not self.marker.exists():
            self.marker.touch()
            os._exit(1)
        return x * x


@pytest.mark.parametrize("chunk", [None, 1])
def test_the_dask_pool_survives_a_lost_worker(tmp_path: Path, chunk: int | None) -> None:
    from sorvexfit.scale import DaskPool

    square = _DiesOnce(tmp_path / "died")
    with (
        open_scheduler(parse_scheduler("local:2")) as session,
        DaskPool(session.client, chunk=chunk) as pool,
    ):
        items = [float(k) for k in range(12)]
        assert pool.map(square, [1.0, 2.0]) == [1.0, 4.0]
        assert pool.actors == 2  # single-threaded workers: one actor each
        assert pool.map(square, items) == [x * x for x in items]
        assert square.marker.exists()
        assert pool.map(square, items[::-1]) == [x * x for x in items[::-1]]
        with pytest.raises(ZeroDivisionError):
            pool.map(lambda x: 1 / (x - 3), items)  # the function's own error, not retried
    assert pool.actors == 0


# ---------------------------------------------------------------------------------------------
# jobqueue: and the one-line errors

SLURM = """\
cluster: SLURMCluster
options:
  cores: 1
  processes: 1
  memory: 1GiB
  walltime: "00:20:00"
  queue: short
  account: blazars
  job_script_prologue: ["echo starting"]
  scheduler_options: {dashboard_address: ":0"}
scale: {jobs: 2}
"""

PBS = """\
cluster: PBSCluster
options: {cores: 4, processes: 2, memory: 8GB, queue: workq,
          job_script_prologue: ["export RAYON_NUM_THREADS=2"],
          scheduler_options: {dashboard_address: ":0"}}
adapt: {minimum_jobs: 0, maximum_jobs: 3}
"""


@pytest.mark.parametrize(
    ("text", "lines", "absent"),
    [
        (
            SLURM,
            [
                "#SBATCH -p short",
                "#SBATCH -A blazars",
                "#SBATCH -t 00:20:00",
                "echo starting",
                "export RAYON_NUM_THREADS=1",
            ],
            [],
        ),
        (PBS, ["#PBS -q workq", "export RAYON_NUM_THREADS=2"], ["RAYON_NUM_THREADS=1"]),
    ],
)
def test_jobqueue_file_builds_the_job_script(
    tmp_path: Path, text: str, lines: list[str], absent: list[str]
) -> None:
    path = tmp_path / "cluster.yaml"
    path.write_text(text)
    spec = scheduler_module.read_jobqueue(path)
    with scheduler_module.jobqueue_cluster(spec) as cluster:
        script = cluster.job_script()
    for line in lines:
        assert line in script
    for text_absent in absent:
        assert text_absent not in script
    assert "distributed.cli.dask_worker" in script


@pytest.fixture
def fake_slurm(tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Iterator[Path]:
    """sbatch and scancel that run the job script here, in its own process group."""
    jobs = tmp_path / "jobs"
    jobs.mkdir()
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "sbatch").write_text(
        "#!/bin/bash\nid=$$\n"
        f'cp "$1" {jobs}/$id.sh\n'
        f"setsid bash {jobs}/$id.sh > {jobs}/$id.log 2>&1 < /dev/null &\n"
        f"echo $! > {jobs}/$id.pid\n"
        'echo "Submitted batch job $id"\n'
    )
    (bin_dir / "scancel").write_text(
        f'#!/bin/bash\nkill -TERM -- -"$(cat {jobs}/$1.pid)" 2>/dev/null || true\n'
    )
    for command in ("sbatch", "scancel"):
        (bin_dir / command).chmod(0o755)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    yield jobs
    for pid_file in jobs.glob("*.pid"):  # the jobs this test started, whatever happened
        with contextlib.suppress(ProcessLookupError, ValueError):
            os.killpg(int(pid_file.read_text()), signal.SIGKILL)


def test_fit_many_on_a_fake_slurm_cluster(
    folder: Path, serial: dict[str, str], fake_slurm: Path, tmp_path: Path
) -> None:
    path = tmp_path / "slurm.yaml"
    path.write_text(SLURM)
    out = tmp_path / "many"
    names = ["src3", "src4"]
    files = [str(folder / f"{name}.ecsv") for name in names]
    argv = ["fit-many", *files, *fit_argv(), "--out", str(out), "--scheduler", f"jobqueue:{path}"]
    assert main(argv) == 0
    scripts = sorted(fake_slurm.glob("*.sh"))
    assert len(scripts) == 2
    assert "export RAYON_NUM_THREADS=1" in scripts[0].read_text()
    check_run(out, {name: serial[name] for name in names})


def closed_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


@pytest.mark.parametrize(
    ("scheduler", "yaml", "message"),
    [
        ("local:0", None, "--scheduler 'local:0': the number of workers must be a whole number"),
        ("local:two", None, "the number of workers must be a whole number ≥ 1"),
        ("dask", None, "--scheduler 'dask': expected local[:N], tcp://HOST:PORT or jobqueue:FILE"),
        ("tcp://localhost", None, "expected tcp://HOST:PORT with a port in 1..65535"),
        ("tcp://localhost:70000", None, "expected tcp://HOST:PORT with a port in 1..65535"),
        ("jobqueue:", None, "expected jobqueue:FILE, a YAML file"),
        ("jobqueue:missing.yaml", None, "jobqueue:missing.yaml: No such file or directory"),
        ("FILE", "cluster: [SLURMCluster\n", "not valid YAML (line 2, column 1: "),
        ("FILE", "- SLURMCluster\n", "expected a mapping with 'cluster', 'options' and"),
        ("FILE", "cluster: SLURMCluster\nworkers: 3\n", "unknown key 'workers'"),
        ("FILE", "cluster: K8sCluster\nscale: {jobs: 1}\n", "cluster: expected one of SLURM"),
        ("FILE", "cluster: SLURMCluster\noptions: {cores: 1}\n", "give either 'scale' or"),
        ("FILE", "cluster: PBSCluster\nscale: {nodes: 2}\n", "scale: expected one of n, jobs"),
        ("FILE", "cluster: SLURMCluster\noptions: [1]\nscale: {n: 1}\n", "options: expected a"),
        (
            "FILE",
            "cluster: SLURMCluster\noptions: {cores: 1}\nscale: {n: 1}\n",
            "SLURMCluster: You must specify how much cores and memory per job",
        ),
        (
            "FILE",
            "cluster: SLURMCluster\noptions: {cores: 1, memory: 1GB, colour: red}\nscale: {n: 1}\n",
            "SLURMCluster: unknown option 'colour'",
        ),
        ("TCP", None, "cannot reach the scheduler (no answer within 0.5 s)"),
    ],
)
def test_a_bad_scheduler_is_one_line_and_status_2(
    folder: Path,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    scheduler: str,
    yaml: str | None,
    message: str,
) -> None:
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(scheduler_module, "CONNECT_TIMEOUT", 0.5)
    if yaml is not None:
        (tmp_path / "cluster.yaml").write_text(yaml)
        scheduler = "jobqueue:cluster.yaml"
    if scheduler == "TCP":
        scheduler = f"tcp://127.0.0.1:{closed_port()}"
    command = "fit" if scheduler.startswith("local") else "fit-many"
    data = str(folder / "src0.ecsv")
    argv = [command, data, *fit_argv(), "--out", str(tmp_path / "out"), "--scheduler", scheduler]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"sorvexfit {command}: error: ")
    assert message in err
    assert err.count("\n") == 1
