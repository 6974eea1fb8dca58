"""Checks that two builds of sorvex give identical bits on random inputs.

Usage: python scripts/compare_builds.py [REV] [--cases N]

Builds the extension of git revision REV (default: HEAD~1) and of the working tree with CMake
into build/compare/, runs every function on the same seeded random inputs under both, and
reports every result whose bits differ. Used to verify that an optimisation changes nothing.
"""

from __future__ import annotations

import argparse
import os
import pickle
import shutil
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "compare"

# Runs in a child interpreter with one build on its path; prints a pickle of all results.
RUNNER = r"""
import math, pickle, random, struct, sys
import sorvex

def bits(value):
    if isinstance(value, (list, tuple)):
        return [bits(v) for v in value]
    if isinstance(value, float):
        return struct.pack("<d", value)
    return repr(value)

def log_grid(rng, lo, hi, n):
    step = (math.log(hi) - math.log(lo)) / max(n - 1, 1)
    return [math.exp(math.log(lo) + k * step * rng.uniform(0.97, 1.0)) for k in range(n)]

def power_law(rng, grid):
    p = rng.uniform(-1.0, 4.5)
    values = [x ** -p for x in grid]
    if rng.random() < 0.3:
        cut = rng.randrange(len(values))
        values = [v if k < cut else 0.0 for k, v in enumerate(values)]
    return values

SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 1.0, 5e-324, 1e300]

def spoil(rng, grid):
    # sometimes a special value in the grid
    if grid and rng.random() < 0.15:
        grid[rng.randrange(len(grid))] = rng.choice(SPECIALS)
    return grid

def case(rng):
    n_g, n_f = rng.randrange(2, 40), rng.randrange(1, 40)
    g = log_grid(rng, rng.uniform(1.0, 100.0), 10 ** rng.uniform(3, 7), n_g)
    f = log_grid(rng, 10 ** rng.uniform(6, 10), 10 ** rng.uniform(14, 26), n_f)
    n = spoil(rng, power_law(rng, g))
    seed = spoil(rng, power_law(rng, f))
    g, f = spoil(rng, g), spoil(rng, f)
    b = 10 ** rng.uniform(-3, 2)
    kn = rng.random() < 0.5
    j, a = sorvex.syn_emissivity_full(f, g, n, b, rng.random() < 0.5)
    dt = 10 ** rng.uniform(2, 6)
    gdot = [1e-8 * x * x for x in g]
    din = [1e-9 * x * x + 1e-12 for x in g]
    return [
        sorvex.gofb([rng.uniform(-1.2, 1.2) for _ in range(n_f)]),
        sorvex.bofg(g),
        sorvex.eq_59_park1995(10 ** rng.uniform(-2, 1), g),
        sorvex.fp_findif_difu(dt, g, n, gdot, din, n, dt * 3, dt),
        (j, a),
        sorvex.rad_trans_blob(1e16, j, a),
        sorvex.rad_trans_slab(1e16, j, a),
        sorvex.ic_iso_powlaw_full(f, seed, g, n),
        sorvex.ic_iso_monochrome_full(f, 10 ** rng.uniform(-5, 0), 10 ** rng.uniform(12, 18), n, g),
        sorvex.rad_cool_pwl(g, f, seed, kn),
        sorvex.rad_cool_mono(g, 10 ** rng.uniform(9, 20), 1e-3, kn),
    ]

rng = random.Random(int(sys.argv[1]))
results = []
for _ in range(int(sys.argv[2])):
    try:
        results.append(bits(case(rng)))
    except BaseException as error:
        results.append(f"{type(error).__name__}: {error}")
with open(sys.argv[3], "wb") as out:  # stdout carries the synchrotron diagnostics
    pickle.dump(results, out)
"""


def build(source: Path, name: str) -> Path:
    """Builds the extension of `source` into build/compare/<name>; returns the module folder."""
    out = BUILD / name
    if name == "before":
        shutil.rmtree(out, ignore_errors=True)  # its source folder is new each time
    venv_bin = ROOT / ".venv" / "bin"
    configure = [
        str(venv_bin / "cmake"), "-S", str(source), "-B", str(out), "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={venv_bin / 'ninja'}", "-DSORVEX_BUILD_EXTENSION=ON",
        f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
    ]  # fmt: skip
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([str(venv_bin / "cmake"), "--build", str(out)], check=True)
    return out


def export(revision: str, target: Path) -> None:
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", revision], check=True, capture_output=True
    ).stdout
    with tempfile.TemporaryFile() as handle:
        handle.write(archive)
        handle.seek(0)
        with tarfile.open(fileobj=handle) as tar:
            tar.extractall(target, filter="data")


def run(module_dir: Path, seed: int, cases: int) -> list[object]:
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    results = module_dir / "results.pickle"
    subprocess.run(
        [sys.executable, "-c", RUNNER, str(seed), str(cases), str(results)],
        env=env, check=True, capture_output=True,
    )  # fmt: skip
    with results.open("rb") as handle:
        return list(pickle.load(handle))


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("revision", nargs="?", default="HEAD~1")
    parser.add_argument("--cases", type=int, default=300)
    parser.add_argument("--seed", type=int, default=20261206)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        export(args.revision, Path(tmp))
        before = build(Path(tmp), "before")
    after = build(ROOT, "after")
    old = run(before, args.seed, args.cases)
    new = run(after, args.seed, args.cases)
    differing = [k for k, (a, b) in enumerate(zip(old, new, strict=True)) if a != b]
    print(f"{args.cases} random cases x 11 functions against {args.revision}: ", end="")
    if differing:
        print(f"{len(differing)} cases differ, first: {differing[:10]}")
        return 1
    print("identical bits")
    return 0


if __name__ == "__main__":
    sys.exit(main())
