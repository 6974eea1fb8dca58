"""Checks that two builds of sorvex give identical bits on random inputs.

Usage: python scripts/compare_builds.py [REV] [--cases N] [--kernels-rtol R]

Builds the extensions of git revision REV (default: HEAD~1) and of the working tree with CMake
into build/compare/, runs every function of sorvex and of sorvexfit.kernels on the same seeded
random inputs under both, and reports every case whose bits differ. sorvex must give identical
bits; for the kernels the largest relative change of a value is reported as well, and up to R
(default 0: identical bits) is accepted. Used to verify that an optimisation or a clean-up
changes nothing.
"""

from __future__ import annotations

import argparse
import math
import os
import pickle
import shutil
import struct
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "compare"

# Runs in a child interpreter with one build on its path; prints a pickle of all results.
RUNNER = r"""
import importlib.util, math, pickle, random, struct, sys
from pathlib import Path
import sorvex

def load_kernels():
    # sorvexfit/kernels*.so of this build, without the sorvexfit package around it.
    path = next((Path(sys.argv[4]) / "sorvexfit").glob("kernels.*"))
    spec = importlib.util.spec_from_file_location("sorvexfit.kernels", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module

kernels = load_kernels()

def bits(value):
    if isinstance(value, (list, tuple)):
        return [bits(v) for v in value]
    if hasattr(value, "tolist"):  # the kernels' NumPy arrays
        return bits(value.tolist())
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

def increasing(rng, lo, hi, n):
    # strictly increasing, unevenly spaced in ln x, from lo to about hi
    steps = [rng.uniform(0.2, 1.0) for _ in range(n - 1)]
    scale = (math.log(hi) - math.log(lo)) / max(sum(steps), 1e-300)
    grid, u = [lo], math.log(lo)
    for step in steps:
        u += step * scale
        grid.append(math.exp(u))
    return grid

def kernel_case(rng):
    # valid arguments, except now and then one that the kernels refuse
    g = increasing(rng, rng.uniform(1.0, 100.0), 10 ** rng.uniform(3, 8), rng.randrange(2, 30))
    n = power_law(rng, g)
    f = increasing(rng, 10 ** rng.uniform(6, 10), 10 ** rng.uniform(14, 20), rng.randrange(2, 25))
    seed = power_law(rng, f)
    nu = [10 ** rng.uniform(8, 30) for _ in range(rng.randrange(1, 12))]
    gamma_nu = [10 ** rng.uniform(20, 30) for _ in range(rng.randrange(1, 12))]
    b = 10 ** rng.uniform(-3, 2)
    if rng.random() < 0.05:
        n[rng.randrange(len(n))] = rng.choice([math.nan, -1.0])
    return [
        kernels.synchrotron([10 ** rng.uniform(6, 22) for _ in nu], g, n, b, rng.random() < 0.7),
        kernels.inverse_compton(nu, f, seed, g, n),
        kernels.inverse_compton_line(nu, 10 ** rng.uniform(-5, 0), 10 ** rng.uniform(9, 20), g, n),
        kernels.gamma_gamma_opacity(gamma_nu, f, seed, 10 ** rng.uniform(14, 18)),
    ]

def electrons(rng):
    # a power law with up to three breaks, now and then a gap of zeros or a cut-off
    g = increasing(rng, rng.uniform(1.0, 100.0), 10 ** rng.uniform(3, 7), rng.randrange(2, 30))
    breaks = sorted(rng.randrange(len(g)) for _ in range(rng.randrange(0, 4)))
    n, p, last = [], rng.uniform(1.0, 4.0), 1.0
    for k, x in enumerate(g):
        if k in breaks:
            p = rng.uniform(1.0, 4.0)
        last = x ** -p if k == 0 else last * (x / g[k - 1]) ** -p
        n.append(last)
    if rng.random() < 0.2:
        lo = rng.randrange(len(n))
        for k in range(lo, min(len(n), lo + rng.randrange(1, 4))):
            n[k] = 0.0
    return g, n

def direction(rng, lowest):
    # mostly close to the jet axis, now and then anywhere or on it
    pick = rng.random()
    if pick < 0.1:
        return 1.0
    if pick < 0.3:
        return rng.uniform(lowest, 1.0)
    return math.cos(rng.uniform(0.0, 0.3))

def attempt(function, *args):
    try:
        return function(*args)
    except BaseException as error:
        return f"{type(error).__name__}: {error}"

def external_case(rng):
    # valid arguments of the nucleus' fields, except now and then one that the kernels refuse;
    # each function's result (or refusal) on its own
    g, n = electrons(rng)
    nu = [10 ** rng.uniform(12, 28) for _ in range(rng.randrange(1, 30))]
    nu_tau = [10 ** rng.uniform(22, 30) for _ in range(rng.randrange(1, 20))]
    l_disk = 0.0 if rng.random() < 0.05 else 10 ** rng.uniform(42, 47)
    disk = [l_disk, 10 ** rng.uniform(7, 10) * 1.98847e33, rng.uniform(0.05, 0.3)]
    r_in = rng.uniform(3.0, 10.0)
    disk += [r_in, r_in * 10 ** rng.uniform(0.5, 3)]
    r_line = 10 ** rng.uniform(16, 18)
    blr = [l_disk, rng.uniform(0.01, 0.3), 10 ** rng.uniform(14.5, 15.5), r_line]
    torus = [l_disk, rng.uniform(0.1, 0.8), rng.uniform(300.0, 2000.0), 10 ** rng.uniform(17, 19.5)]
    r = r_line * 10 ** rng.uniform(-2, 2)
    gamma_bulk = 1.0 if rng.random() < 0.05 else rng.uniform(1.0, 30.0)
    mu_s, mu_tau = direction(rng, -1.0), direction(rng, 0.0)
    f = increasing(rng, 10 ** rng.uniform(8, 12), 10 ** rng.uniform(13, 17), rng.randrange(2, 20))
    seed = power_law(rng, f)
    line = [10 ** rng.uniform(-5, 0), 10 ** rng.uniform(10, 16)]
    pick = rng.random()
    if pick < 0.02:
        n[rng.randrange(len(n))] = rng.choice([math.nan, -1.0])
    elif pick < 0.04:
        r = r_line
    elif pick < 0.06:
        mu_s, mu_tau = -1.5, -0.5
    elif pick < 0.08:
        gamma_bulk = 0.5
    elif pick < 0.1:
        r = -r
    blob = [r, gamma_bulk, mu_s, g, n]
    return [
        attempt(kernels.external_compton_disk, nu, *disk, *blob),
        attempt(kernels.external_compton_blr, nu, *blr, *blob),
        attempt(kernels.external_compton_torus, nu, *torus, *blob),
        attempt(kernels.external_compton_isotropic, nu, f, seed, gamma_bulk, mu_s, g, n),
        attempt(kernels.external_compton_isotropic_line, nu, *line, gamma_bulk, mu_s, g, n),
        attempt(kernels.gamma_gamma_disk, nu_tau, *disk, r, mu_tau),
        attempt(kernels.gamma_gamma_blr, nu_tau, *blr, r, mu_tau),
        attempt(kernels.gamma_gamma_torus, nu_tau, *torus, r, mu_tau),
    ]

def run_cases(make_case, seed, count):
    rng = random.Random(seed)
    results = []
    for _ in range(count):
        try:
            results.append(bits(make_case(rng)))
        except BaseException as error:
            results.append(f"{type(error).__name__}: {error}")
    return results

results = {
    "sorvex": run_cases(case, int(sys.argv[1]), int(sys.argv[2])),
    "kernels": run_cases(kernel_case, int(sys.argv[1]) + 1, int(sys.argv[2])),
    "external": run_cases(external_case, int(sys.argv[1]) + 2, int(sys.argv[2])),
}
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


def run(module_dir: Path, seed: int, cases: int) -> dict[str, list[object]]:
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    results = module_dir / "results.pickle"
    subprocess.run(
        [sys.executable, "-c", RUNNER, str(seed), str(cases), str(results), str(module_dir)],
        env=env, check=True, capture_output=True,
    )  # fmt: skip
    with results.open("rb") as handle:
        loaded: dict[str, list[object]] = pickle.load(handle)
        return loaded


def floats(value: object) -> list[float] | None:
    """The floats of one case's packed results in order, or None for an error text."""
    if isinstance(value, bytes):
        return [struct.unpack("<d", value)[0]]
    if isinstance(value, list):
        out: list[float] = []
        for item in value:
            inner = floats(item)
            if inner is None:
                return None
            out += inner
        return out
    return None


def refusals(value: object, each: bool) -> int:
    """The refusals in one case: the whole case's error text, or with `each` (the functions of
    a case run on their own) the error texts among its results."""
    if isinstance(value, str):
        return 1
    if each and isinstance(value, list):
        return sum(isinstance(item, str) for item in value)
    return 0


def largest_relative_change(old: object, new: object) -> float:
    """max |new - old| / |old| over the values of one case (inf where they cannot be matched:
    another shape, an error on one side only, a zero or a non-finite value that changed)."""
    a, b = floats(old), floats(new)
    if a is None or b is None or len(a) != len(b):
        return math.inf
    largest = 0.0
    for x, y in zip(a, b, strict=True):
        if struct.pack("<d", x) == struct.pack("<d", y):
            continue
        if x == 0.0 or not (math.isfinite(x) and math.isfinite(y)):
            return math.inf
        largest = max(largest, abs(y - x) / abs(x))
    return largest


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("revision", nargs="?", default="HEAD~1")
    parser.add_argument("--cases", type=int, default=300)
    parser.add_argument("--seed", type=int, default=20261206)
    parser.add_argument(
        "--kernels-rtol", type=float, default=0.0,
        help="largest relative change accepted in a kernel value (default 0: identical bits)",
    )  # fmt: skip
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        export(args.revision, Path(tmp))
        before = build(Path(tmp), "before")
    after = build(ROOT, "after")
    old = run(before, args.seed, args.cases)
    new = run(after, args.seed, args.cases)
    status = 0
    groups = (
        ("sorvex", "sorvex", 11),
        ("sorvexfit.kernels", "kernels", 4),
        ("sorvexfit.kernels of the nucleus' fields", "external", 8),
    )
    for group, key, functions in groups:
        pairs = list(zip(old[key], new[key], strict=True))
        differing = [k for k, (a, b) in enumerate(pairs) if a != b]
        refused = sum(refusals(b, key == "external") for _, b in pairs)
        print(
            f"{group}: {args.cases} random cases x {functions} functions against {args.revision} "
            f"({refused} refused): ",
            end="",
        )
        if not differing:
            print("identical bits")
            continue
        print(f"{len(differing)} cases differ, first: {differing[:10]}", end="")
        if key == "sorvex":
            print()
            status = 1
            continue
        change = max(largest_relative_change(*pairs[k]) for k in differing)
        print(f"; largest relative change {change:.3g}")
        if not change <= args.kernels_rtol:
            status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
