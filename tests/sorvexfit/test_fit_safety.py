"""The fit layer loses nothing: source names stay inside --out, writers never share a file,
one run at a time per folder, an interrupted re-run leaves the previous result whole, a full
disk ends with one line and a resumable chain, and the command's messages are one line each."""

from __future__ import annotations

import contextlib
import errno
import hashlib
import json
import os
import shutil
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import replace
from pathlib import Path

import h5py
import numpy as np
import pytest
from astropy.table import Table
from cases import (
    SMALL_ARGV,
    SMALL_MODEL_VALUES,
    simulate,
    small_config,
    small_model,
    steps_done,
)

from sorvexfit.cli import main
from sorvexfit.files import atomic_path
from sorvexfit.fit import FitOptions, run_fit
from sorvexfit.folders import FolderLock, ResultFolder, folder_name
from sorvexfit.scale import find_sources, fit_many, open_scheduler, parse_scheduler
from sorvexfit.scale import many as many_module

FREE = ("B", "delta_D", "n_e", "p")
START = (("B", "0.2"), ("delta_D", "15"), ("n_e", "5"), ("p", "2.2"))
WALKERS = 8


def argv(data: Path, out: Path | str, *extra: str) -> list[str]:
    command = ["fit", str(data), "--model", "ssc", "--electrons", "power_law", *SMALL_ARGV]
    for name, value in (*SMALL_MODEL_VALUES, *START):
        command += ["--set", f"{name}={value}"]
    command += ["--free", ",".join(FREE), "--starts", "2", "--band-samples", "0"]
    return [*command, "--seed", "5", "--out", str(out), *extra]


def mcmc(steps: int) -> list[str]:
    return ["--method", "mcmc", "--walkers", str(WALKERS), "--steps", str(steps)]


def options(**changes: object) -> FitOptions:
    base = FitOptions(
        model=small_config(),
        values=(*SMALL_MODEL_VALUES, *START),
        free=FREE,
        starts=2,
        band_samples=0,
        seed=5,
    )
    return replace(base, **changes)


def visible(folder: Path) -> dict[str, bytes]:
    """The files of a result folder but the runs' own (.sorvexfit), with their bytes."""
    return {p.name: p.read_bytes() for p in folder.iterdir() if p.is_file()}


def steps_done_elsewhere(path: Path) -> int:
    """`steps_done` read by another process: HDF5 refuses a second open of a file in the
    process that writes it (here the fit, in this process) with other locking flags."""
    code = (
        "import sys, h5py\n"
        "try:\n"
        "    with h5py.File(sys.argv[1], 'r', locking=False) as f:\n"
        "        print(int(f['mcmc'].attrs['iteration']))\n"
        "except (OSError, KeyError):\n"
        "    print(0)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", code, str(path)], capture_output=True, text=True, check=False
    )
    return int(done.stdout.strip() or 0)


def unfinished(out: Path) -> Path:
    return out / ".sorvexfit" / "unfinished" / "chain.h5"


@pytest.fixture(scope="module")
def data(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return simulate(small_model("ssc"), tmp_path_factory.mktemp("data") / "points.ecsv", 21)


@contextlib.contextmanager
def tmpfs(path: Path, *flags: str) -> Iterator[Path]:
    """A small tmpfs at `path` (skips the test where it cannot be mounted)."""
    path.mkdir()
    done = subprocess.run(
        ["mount", "-t", "tmpfs", "-o", ",".join(["size=4m", *flags]), "tmpfs", str(path)],
        capture_output=True,
        check=False,
    )
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    try:
        yield path
    finally:
        subprocess.run(["umount", "-l", str(path)], check=False)


# ---------------------------------------------------------------------------------------------
# Source names: every file operation stays inside --out, the clean-up removes only the run's own


@pytest.fixture(scope="module")
def client() -> Iterator[object]:
    with open_scheduler(parse_scheduler("local:2")) as session:
        yield session.client


@pytest.mark.parametrize(
    "names",
    [
        ["..ecsv"],  # the source ".": OUT/. is OUT
        ["...ecsv"],  # the source "..": OUT/.. is OUT's parent
        ["x.ecsv", ".x.0123456789ab.partial.ecsv"],  # a look-alike of an old attempt's name
        ["summary.ecsv.ecsv"],  # the source "summary.ecsv"
        ["a" * 240 + ".ecsv"],  # a legal file name, too long with anything added
        ["Mrk 421/2011:flare.ecsv"],  # separators and spaces in the name
    ],
)
def test_source_names_stay_inside_out(
    data: Path, tmp_path: Path, client: object, names: list[str]
) -> None:
    given = tmp_path / "given"
    given.mkdir()
    paths = []
    for name in names:
        path = given / name.replace("/", "\N{DIVISION SLASH}")  # a file name cannot hold "/"
        shutil.copyfile(data, path)
        paths.append(path)
    sources = find_sources(paths)
    if "/" in names[0]:  # the name as the source gives it (e.g. an object name in a catalogue)
        sources = [replace(sources[0], name=names[0].removesuffix(".ecsv"))]
    out = tmp_path / "out"
    (out / "earlier").mkdir(parents=True)
    (out / "earlier" / "result.ecsv").write_text("an earlier result")
    around = sorted(p.name for p in tmp_path.iterdir())

    for attempt in ("fitted", "done before"):
        done = fit_many(client, sources, options(), out)
        assert [(o.status, o.run) for o in done.outcomes] == [("converged", attempt)] * len(names)
        assert sorted(p.name for p in tmp_path.iterdir()) == around
        summary = Table.read(out / "summary.ecsv", format="ascii.ecsv")
        assert list(summary["source"]) == [s.name for s in sources]
        folders = list(summary["folder"])
        assert len(set(folders)) == len(folders)
        assert sorted(p.name for p in out.iterdir()) == sorted(
            ["earlier", "summary.ecsv", *folders]
        )
        for folder in folders:
            assert (out / folder / "result.ecsv").is_file()
            assert len(folder.encode()) <= 100
            assert folder_name(folder) == folder  # a folder name is its own folder
        assert (out / "earlier" / "result.ecsv").read_text() == "an earlier result"


def test_a_run_into_its_sources_folder_does_not_fit_its_summary(data: Path, tmp_path: Path) -> None:
    shutil.copyfile(data, tmp_path / "a.ecsv")
    (tmp_path / "summary.ecsv").write_text("written by an earlier run")
    assert [s.name for s in find_sources([tmp_path], out=tmp_path)] == ["a"]
    with pytest.raises(ValueError, match="this is the summary of fit-many"):
        find_sources([tmp_path / "summary.ecsv"], out=tmp_path)


# ---------------------------------------------------------------------------------------------
# Writers: never one temporary name for two, one run at a time per folder


def payload(k: int) -> bytes:
    body = os.urandom(1000 * (1 + k % 100))
    return hashlib.sha256(body).hexdigest().encode() + b"\n" + body


def whole(text: bytes) -> bool:
    digest, _, body = text.partition(b"\n")
    return hashlib.sha256(body).hexdigest().encode() == digest


@pytest.mark.parametrize("writers", [2, 8])
def test_concurrent_atomic_writes_are_whole(tmp_path: Path, writers: int) -> None:
    target = tmp_path / "result.ecsv"
    target.write_bytes(payload(0))
    stop = threading.Event()
    seen: list[bool] = []

    def write(k: int) -> None:
        for n in range(20):
            with atomic_path(target) as temporary:
                temporary.write_bytes(payload(k * 100 + n))

    def read() -> None:
        while not stop.is_set():
            seen.append(whole(target.read_bytes()))

    reader = threading.Thread(target=read)
    reader.start()
    threads = [threading.Thread(target=write, args=(k,)) for k in range(writers)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    stop.set()
    reader.join()
    assert seen
    assert all(seen)
    assert [p.name for p in tmp_path.iterdir()] == ["result.ecsv"]  # no temporary left


def _hold_in_a_killed_process(out: Path) -> None:
    """A process that takes the lock of `out` and is killed (SIGKILL) holding it."""
    code = (
        "import sys, time; from pathlib import Path; from sorvexfit.folders import FolderLock;"
        " FolderLock(Path(sys.argv[1])).acquire(); print('held', flush=True); time.sleep(60)"
    )
    with subprocess.Popen(
        [sys.executable, "-c", code, str(out)], stdout=subprocess.PIPE, text=True
    ) as child:
        assert child.stdout is not None
        assert child.stdout.readline() == "held\n"
        child.kill()


@pytest.mark.parametrize("holder", ["this process", "a killed process", "three fits at once"])
def test_one_run_at_a_time_per_folder(
    data: Path, tmp_path: Path, capsys: pytest.CaptureFixture[str], holder: str
) -> None:
    out = tmp_path / "out"
    out.mkdir()
    if holder == "a killed process":  # the kernel released its lock: the folder is free
        _hold_in_a_killed_process(out)
        assert main(argv(data, out)) == 0
        assert (out / "result.ecsv").is_file()
    elif holder == "this process":
        lock = FolderLock(out).acquire()
        assert main(argv(data, out)) == 6
        err = capsys.readouterr().err
        assert err.startswith(f"sorvexfit fit: error: {out}: another run (process {os.getpid()})")
        assert err.count("\n") == 1
        codes: list[int] = []
        waiting = threading.Thread(target=lambda: codes.append(main(argv(data, out, "--wait"))))
        waiting.start()
        waiting.join(timeout=1.0)
        assert waiting.is_alive()  # it waits for the lock ...
        lock.release()
        waiting.join()
        assert codes == [0]  # ... and fits once it is free
    else:  # the nine fits of the audit, three here: each writes whole files, one at a time
        results = []

        def fit(seed: int) -> None:
            results.append(run_fit(data, options(seed=seed), out, wait=True))

        threads = [threading.Thread(target=fit, args=(seed,)) for seed in (1, 2, 3)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert [r.status for r in results] == ["converged"] * 3
        table = Table.read(out / "result.ecsv", format="ascii.ecsv")  # whole, one fit's
        assert table.meta["options"]["seed"] in (1, 2, 3)
    assert sorted(p.name for p in out.iterdir()) == ["result.ecsv", "sed.png"]


# ---------------------------------------------------------------------------------------------
# An interrupted re-run leaves the previous result whole, and a new result no stale files


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_an_interrupted_rerun_leaves_the_previous_result(
    data: Path, tmp_path: Path, signum: signal.Signals
) -> None:
    out = tmp_path / "out"
    assert main(argv(data, out)) == 0
    before = visible(out)
    assert sorted(before) == ["result.ecsv", "sed.png"]

    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    child = subprocess.Popen(
        [sys.executable, "-m", "sorvexfit.cli", *argv(data, out, *mcmc(400))],
        env={**env, "RAYON_NUM_THREADS": "1"},
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    deadline = time.monotonic() + 120
    while steps_done(unfinished(out)) < 2 and child.poll() is None:
        assert time.monotonic() < deadline, "the chain did not start"
        time.sleep(0.02)
    child.send_signal(signum)
    _, err = child.communicate(timeout=120)
    assert child.returncode == 4, err
    assert err.startswith("sorvexfit fit: interrupted: stopped after ")
    assert visible(out) == before  # the previous result, whole
    stopped = steps_done(unfinished(out))
    assert stopped >= 2

    # --resume finishes the chain and swaps the new result in; a least-squares fit then
    # leaves no chain or corner plot of the MCMC beside its result
    assert main(argv(data, out, *mcmc(stopped + 2), "--resume")) in (0, 3)
    assert sorted(visible(out)) == ["chain.h5", "corner.png", "result.ecsv", "sed.png"]
    assert steps_done(out / "chain.h5") == stopped + 2
    assert main(argv(data, out)) == 0
    assert sorted(p.name for p in out.iterdir()) == ["result.ecsv", "sed.png"]


@pytest.mark.parametrize("cut", ["before any move", "after sed.png", "after result.ecsv"])
def test_a_publish_cut_short_is_finished_by_the_next_run(tmp_path: Path, cut: str) -> None:
    """A fit killed while moving its new files in (fit), or while swapping a source's folder
    (fit-many, on a file system without renameat2): the next run completes it."""
    out = tmp_path / "out"
    work = out / ".sorvexfit" / "unfinished"
    work.mkdir(parents=True)
    for name in ("result.ecsv", "sed.png", "chain.h5"):  # an earlier MCMC result
        (out / name).write_text(f"old {name}")
    (work / "complete").write_text('["sed.png", "result.ecsv"]')  # a least-squares one
    moved = {"before any move": [], "after sed.png": ["sed.png"]}.get(
        cut, ["sed.png", "result.ecsv"]
    )
    for name in ("sed.png", "result.ecsv"):
        (out if name in moved else work).joinpath(name).write_text(f"new {name}")
    if cut != "before any move":
        (out / "chain.h5").unlink()
    with ResultFolder(out):
        pass
    assert {p.name: p.read_text() for p in out.iterdir()} == {
        "result.ecsv": "new result.ecsv",
        "sed.png": "new sed.png",
    }

    # fit-many: the old folder moved aside, the new one not yet in place
    run = out / ".sorvexfit" / "run-0123456789ab"
    (run / "abcdefabcdef").mkdir(parents=True)
    (run / "abcdefabcdef" / "result.ecsv").write_text("new")
    (run / "abcdefabcdef.old").mkdir()
    intent = {"final": "src", "attempt": "abcdefabcdef", "old": "abcdefabcdef.old"}
    (run / "abcdefabcdef.publish").write_text(json.dumps(intent))
    (out / ".sorvexfit" / "runs").write_text("run-0123456789ab\n")
    with many_module._RunFolder(out):
        pass
    assert (out / "src" / "result.ecsv").read_text() == "new"
    assert not (out / ".sorvexfit").exists()


# ---------------------------------------------------------------------------------------------
# A full disk


def _enospc(path: str = "") -> OSError:
    return OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), path or None)


def fail_chain_step(monkeypatch: pytest.MonkeyPatch, step: int) -> None:
    """h5py refuses to write the rows of the chain's step `step` (counted from 1)."""
    original = h5py.Dataset.__setitem__
    writes = [0]

    def setitem(self: h5py.Dataset, key: object, value: object) -> None:
        if self.name == "/mcmc/chain" and isinstance(key, int):
            writes[0] += 1
            if writes[0] == step:
                raise _enospc()
        original(self, key, value)

    monkeypatch.setattr(h5py.Dataset, "__setitem__", setitem)


@pytest.mark.parametrize("where", ["chain step", "result files", "before the run", "tmpfs"])
def test_a_full_disk_ends_with_one_line_and_a_resumable_chain(
    data: Path,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    where: str,
) -> None:
    steps = 12
    reference = tmp_path / "reference"
    assert main(argv(data, reference, *mcmc(steps))) in (0, 3)
    with contextlib.ExitStack() as stack:
        root = stack.enter_context(tmpfs(tmp_path / "disk")) if where == "tmpfs" else tmp_path
        out = root / "out"
        assert main(argv(data, out)) == 0  # a previous result, which must stay whole
        before = visible(out)
        capsys.readouterr()
        filler: list[threading.Thread] = []
        if where == "chain step":
            fail_chain_step(monkeypatch, 5)
        elif where == "result files":
            import matplotlib.figure

            def refuse(*_: object, **__: object) -> None:
                raise _enospc()

            monkeypatch.setattr(matplotlib.figure.Figure, "savefig", refuse)
        elif where == "before the run":
            usage = shutil.disk_usage(tmp_path)
            monkeypatch.setattr(shutil, "disk_usage", lambda _: usage._replace(free=100_000))
        else:  # fill the file system once the chain has started, before the results
            import sorvexfit.fit.run as run_module

            full = threading.Event()
            write_stage = run_module.write_stage

            def fill() -> None:
                while steps_done_elsewhere(unfinished(out)) < 1:
                    time.sleep(0.05)
                with open(root / "filler", "wb") as f, contextlib.suppress(OSError):
                    while True:
                        f.write(b"\0" * 65536)
                        f.flush()
                full.set()

            def write_when_full(*args: object, **kwargs: object) -> object:
                assert full.wait(60.0)
                return write_stage(*args, **kwargs)

            monkeypatch.setattr(run_module, "write_stage", write_when_full)
            filler.append(threading.Thread(target=fill, daemon=True))
            filler[0].start()

        assert main(argv(data, out, *mcmc(steps))) == 5
        err = capsys.readouterr().err
        assert err.startswith("sorvexfit fit: error: No space left")
        assert err.count("\n") == 1
        assert visible(out) == before
        kept = steps_done(unfinished(out))
        if where == "before the run":
            assert "free" in err
            assert not unfinished(out).exists()
            return
        assert kept == {"chain step": 4, "result files": steps, "tmpfs": steps}[where]
        assert f"keeps its {kept} whole steps" in err

        monkeypatch.undo()
        (root / "filler").unlink(missing_ok=True)
        assert main(argv(data, out, *mcmc(steps), "--resume")) in (0, 3)
        with h5py.File(reference / "chain.h5") as a, h5py.File(out / "chain.h5") as b:
            for name in ("chain", "log_prob"):  # the chain of a run without a fault
                np.testing.assert_array_equal(a[f"mcmc/{name}"][()], b[f"mcmc/{name}"][()])


# ---------------------------------------------------------------------------------------------
# Messages: --out checked before any work, warnings in one line


def _unwritable(tmp_path: Path, stack: contextlib.ExitStack) -> Path:
    if os.geteuid() != 0:
        folder = tmp_path / "locked"
        folder.mkdir()
        folder.chmod(0o500)
        stack.callback(folder.chmod, 0o700)
        return folder
    return stack.enter_context(tmpfs(tmp_path / "locked", "ro"))


def overflow(run: Callable[..., object]) -> Callable[..., object]:
    def run_with_overflow(*args: object, **kwargs: object) -> object:
        np.exp(np.full(3, 1e3))
        return run(*args, **kwargs)

    return run_with_overflow


@pytest.mark.parametrize(
    ("case", "status", "message"),
    [
        ("empty --out", 2, "sorvexfit fit: error: --out: an empty path"),
        ("--out is a file", 2, "is not a folder"),
        ("unwritable --out", 2, "this folder cannot be written"),
        ("warnings", 3, None),
    ],
)
def test_out_is_checked_first_and_warnings_are_one_line(
    data: Path,
    tmp_path: Path,
    capsys: pytest.CaptureFixture[str],
    monkeypatch: pytest.MonkeyPatch,
    case: str,
    status: int,
    message: str | None,
) -> None:
    monkeypatch.chdir(tmp_path)
    with contextlib.ExitStack() as stack:
        out: Path | str = tmp_path / "out/"
        if case == "empty --out":
            out = ""
        elif case == "--out is a file":
            out = data
        elif case == "unwritable --out":
            out = _unwritable(tmp_path, stack)
        else:
            import sorvexfit.fit.run as run_module

            monkeypatch.setattr(run_module, "search", overflow(run_module.search))
        code = main(argv(data, out, *mcmc(1)))
        printed = capsys.readouterr()
    assert code == status
    if message is not None:
        assert message in printed.err
        assert printed.err.count("\n") == 1
        assert printed.out == ""  # refused before the fit
        assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
            ["locked"] if case == "unwritable --out" else []
        )
        return
    assert "WARNING" not in printed.err
    assert "Warning" not in printed.err
    lines = [line for line in printed.out.splitlines() if line.startswith("warnings (caught): ")]
    assert len(lines) == 1
    assert "Too few points to create valid contours (log of corner, 6 times)" in lines[0]
    assert "overflow encountered in exp (RuntimeWarning" in lines[0]
    assert printed.err.startswith("sorvexfit fit: not converged:")
