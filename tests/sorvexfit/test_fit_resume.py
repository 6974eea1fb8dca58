"""A chain killed by SIGTERM and resumed is the chain run without a break, bit for bit: no step
lost or repeated, the same with any thread count and through a pickling pool."""

from __future__ import annotations

import os
import pickle
import signal
import subprocess
import sys
import time
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

import h5py
import numpy as np
import pytest
from cases import (
    SHORT_SEARCH,
    SMALL_ARGV,
    SMALL_MODEL_VALUES,
    simulate,
    small_config,
    small_model,
    steps_done,
)

from sorvexfit.cli import main
from sorvexfit.fit import ExitCode, FitOptions, run_fit

WALKERS, STEPS, SEED = 8, 40, 5
FREE = ("B", "delta_D", "n_e", "p")
START = (("B", "0.2"), ("delta_D", "15"), ("n_e", "5"), ("p", "2.2"))


class PicklingPool:
    """A pool that ships the function and each argument through pickle, as a process pool or a
    Dask cluster does."""

    def __init__(self) -> None:
        self.calls = 0

    def map(self, fn: Callable[[Any], Any], items: Iterable[Any]) -> list[Any]:
        self.calls += 1
        return [pickle.loads(pickle.dumps(fn))(pickle.loads(pickle.dumps(x))) for x in items]


def command(data: Path, out: Path, *extra: str) -> list[str]:
    argv = ["fit", str(data), "--model", "ssc", "--electrons", "power_law", "--method", "mcmc"]
    argv += SMALL_ARGV
    for name, value in (*SMALL_MODEL_VALUES, *START):
        argv += ["--set", f"{name}={value}"]
    argv += ["--free", ",".join(FREE), "--walkers", str(WALKERS), "--steps", str(STEPS)]
    return [*argv, "--seed", str(SEED), "--band-samples", "0", "--out", str(out), *extra]


def chain(path: Path) -> tuple[np.ndarray, np.ndarray, int]:
    with h5py.File(path, "r") as f:
        g = f["mcmc"]
        return g["chain"][()], g["log_prob"][()], int(g.attrs["iteration"])


@pytest.fixture(scope="module")
def data(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return simulate(small_model("ssc"), tmp_path_factory.mktemp("data") / "points.ecsv", 21)


def test_sigterm_then_resume_gives_the_unbroken_chain(data: Path, tmp_path: Path) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    out = tmp_path / "run"
    child = subprocess.Popen(
        [sys.executable, "-m", "sorvexfit.cli", *command(data, out)],
        env={**env, "RAYON_NUM_THREADS": "2"},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    running = out / ".sorvexfit" / "unfinished" / "chain.h5"  # moved into out when whole
    deadline = time.monotonic() + 120
    while steps_done(running) < 4 and child.poll() is None:
        assert time.monotonic() < deadline, "the chain did not start"
        time.sleep(0.02)
    child.send_signal(signal.SIGTERM)
    _, err = child.communicate(timeout=120)
    assert child.returncode == ExitCode.INTERRUPTED, err
    assert err.startswith("sorvexfit fit: interrupted: stopped after ")
    assert "continue it with --resume" in err
    stopped = steps_done(running)
    assert 4 <= stopped < STEPS
    assert sorted(p.name for p in out.iterdir()) == [".sorvexfit"]  # no result, the chain kept

    resumed = subprocess.run(
        [sys.executable, "-m", "sorvexfit.cli", *command(data, out, "--resume")],
        env={**env, "RAYON_NUM_THREADS": "1"},
        capture_output=True,
        text=True,
        timeout=300,
        check=False,
    )
    assert resumed.returncode in (0, 3), resumed.stderr  # 3: a short chain, not converged
    samples, log_prob, iteration = chain(out / "chain.h5")
    assert iteration == STEPS
    assert samples.shape == (STEPS, WALKERS, len(FREE))
    assert log_prob.shape == (STEPS, WALKERS)

    # The same seed without a break, through a pool that pickles everything it computes.
    pool = PicklingPool()
    options = FitOptions(
        model=small_config(),
        values=(*SMALL_MODEL_VALUES, *START),
        free=FREE,
        method="mcmc",
        walkers=WALKERS,
        steps=STEPS,
        seed=SEED,
        band_samples=0,
        **SHORT_SEARCH,  # type: ignore[arg-type]
    )
    result = run_fit(data, options, tmp_path / "reference", pool=pool)
    assert pool.calls >= 2 * STEPS  # each step maps two half-ensembles
    reference, reference_log_prob, _ = chain(tmp_path / "reference" / "chain.h5")
    np.testing.assert_array_equal(samples, reference)
    np.testing.assert_array_equal(log_prob, reference_log_prob)
    assert result.meta["resumed_from"] == 0


def test_resume_refuses_a_chain_of_other_settings(
    data: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str]
) -> None:
    out = tmp_path / "run"
    assert main(command(data, out, "--steps", "3")) == 3
    capsys.readouterr()
    assert main(command(data, out, "--steps", "5", "--resume", "--systematics", "none")) == 2
    err = capsys.readouterr().err
    assert "resume: " in err
    assert "was written with other settings (systematics: " in err
    assert main(command(data, out, "--walkers", "10", "--resume")) == 2
    assert "has 8 walkers and 4 parameters; this fit has 10 and 4" in capsys.readouterr().err
    assert main(command(data, out, "--steps", "2", "--resume")) == 2
    assert "already holds 3 steps, more than --steps 2" in capsys.readouterr().err
    assert chain(out / "chain.h5")[2] == 3
    assert (out / "result.ecsv").exists()  # a refused resume leaves the finished fit alone


def test_a_chain_without_a_step_resumes_as_a_new_run(data: Path, tmp_path: Path) -> None:
    import emcee

    out = tmp_path / "run"
    assert main(command(data, out, "--steps", "3")) == 3
    unbroken = chain(out / "chain.h5")
    with h5py.File(out / "chain.h5", "r") as f:  # a run killed before its first step
        settings = f["mcmc"].attrs["sorvexfit"]
    emcee.backends.HDFBackend(str(out / "chain.h5"), name="mcmc").reset(WALKERS, len(FREE))
    with h5py.File(out / "chain.h5", "a") as f:
        f["mcmc"].attrs["sorvexfit"] = settings
    assert main(command(data, out, "--steps", "3", "--resume")) == 3
    resumed = chain(out / "chain.h5")  # from the least-squares fit, not the starting values
    np.testing.assert_array_equal(resumed[0], unbroken[0])
    assert resumed[2] == 3
