"""make bench, the accurate kernels: rows for sections 1 (synchrotron) and 2 (inverse Compton).

The kernels of src/core/radiation/exact are timed through bench/kernels_driver.cpp, which this
module builds with the Release flags of CMakeLists.txt (g++ -O3, -ffp-contract=off) into
build/bench-kernels/. The driver times a call inside its own process (best of N calls, pool of
RAYON_NUM_THREADS threads), so its rows carry no Python conversion cost; the peers are timed
through their Python APIs as in bench/run.py. Accuracy is measured against SciPy references:
bench/reference.py for j_ν, and here, in the same way, for α_ν in the −γ² d/dγ(n/γ²) form the
kernels use (reference.py uses the −γp d/dγ(n/(γp)) form, which differs by about 1e-3 at the
lowest frequencies) and for the Klein-Nishina SSC spectrum.

Rows:
  1k  synchrotron j + α of the reference broken power law (100 bins, 3 points), 1 and 2 threads;
      agnpy j + α at its best accuracy (cheapest γ grid within 2 % of its error floor).
  2k  SSC: the blob's own synchrotron intensity (100 frequencies, 1e8..1e20 Hz) scattered by the
      100-point electrons into 100 frequencies (1e9..1e27 Hz), full Klein-Nishina; naima on the
      same seed table and on finer ones, at its best accuracy. A Klein-Nishina line too.
  threads: parallel efficiency t(1) / (2 t(2)) of both kernels.

Usage: python bench/section_kernels.py [--quick] [--cache-dir DIR]
"""

from __future__ import annotations

import argparse
import math
import os
import subprocess
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import reference
import timing
from scipy.integrate import quad

ROOT = Path(__file__).resolve().parent.parent
DRIVER_SOURCES = [
    ROOT / "bench" / "kernels_driver.cpp",
    *sorted((ROOT / "src/core/radiation/exact").glob("*.cpp")),
    ROOT / "src/core/parallel/worker_pool.cpp",
    ROOT / "src/core/common/stop.cpp",
]
DRIVER_FLAGS = ["-O3", "-DNDEBUG", "-std=c++20", "-ffp-contract=off", "-fno-math-errno", "-pthread"]

B_FIELD = 0.1  # G
RADIUS = 1e16  # cm
SYN_FREQS = np.geomspace(1e8, 1e20, 100)
SSC_FREQS = np.geomspace(1e9, 1e27, 100)
LINE_B_MAX = 100.0  # 4 γ_max h ν₀ / (m_e c²) of the Klein-Nishina line row
GOAL_SYN_SECONDS = 7.2e-3  # agnpy's fastest configuration at 1.2e-3 in the last bench
GOAL_SYN_ERROR = 1e-4
GOAL_IC_ERROR = 1e-3
GOAL_IC_SPEEDUP = 10.0
GOAL_EFFICIENCY = 0.85


@dataclass
class Row:
    section: str
    label: str
    seconds: float
    j_err: float | None = None
    a_err: float | None = None
    note: str = ""


def log(message: str) -> None:
    print(f"bench kernels: {message}", file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------------------------
# The driver


def build_driver() -> Path:
    out = ROOT / "build" / "bench-kernels" / "kernels_driver"
    newest = max(p.stat().st_mtime for p in [*DRIVER_SOURCES, *(ROOT / "src").rglob("*.hpp")])
    if not out.exists() or out.stat().st_mtime < newest:
        out.parent.mkdir(parents=True, exist_ok=True)
        log("building the C++ driver")
        compiler = os.environ.get("CXX", "g++")
        subprocess.run(
            [
                compiler,
                *DRIVER_FLAGS,
                f"-I{ROOT / 'src'}",
                *map(str, DRIVER_SOURCES),
                "-o",
                str(out),
            ],
            check=True,
        )
    return out


@dataclass
class Driver:
    path: Path

    def call(
        self, kernel: str, args: dict[str, object], repeats: int, threads: int
    ) -> tuple[dict[str, np.ndarray], float]:
        """The driver's results and its best time per call (s) on a pool of `threads`."""
        lines = [f"{kernel} {repeats}"]
        for name, value in args.items():
            values = np.atleast_1d(np.asarray(value, dtype=float))
            lines.append(name + " " + " ".join(f"{v:.17g}" for v in values))
        env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
        done = subprocess.run(
            [str(self.path)], input="\n".join(lines) + "\n", capture_output=True, text=True, env=env
        )
        if done.returncode:
            raise RuntimeError(f"kernels_driver {kernel}: {done.stderr.strip()}")
        out = {}
        for line in done.stdout.splitlines():
            name, *numbers = line.split()
            out[name] = np.array([float(x) for x in numbers])
        return out, float(out["seconds"][0])

    def best(
        self,
        kernel: str,
        args: dict[str, object],
        repeats: int,
        threads: Sequence[int],
        rounds: int,
    ) -> tuple[dict[str, np.ndarray], list[float]]:
        """Best time per pool size, the sizes interleaved round by round."""
        best = [math.inf] * len(threads)
        out: dict[str, np.ndarray] = {}
        for _ in range(rounds):
            for k, t in enumerate(threads):
                out, seconds = self.call(kernel, args, repeats, t)
                best[k] = min(best[k], seconds)
        return out, best


# ---------------------------------------------------------------------------------------------
# References


def electron_grid(electrons: reference.BrokenPowerLaw, points: int) -> np.ndarray:
    """Log-spaced Lorentz factors with γ_break on the grid (the power law of each bin exact)."""
    low = round(0.6 * points)
    return np.concatenate(
        [
            np.geomspace(electrons.g_min, electrons.g_break, low),
            np.geomspace(electrons.g_break, electrons.g_max, points - low + 1)[1:],
        ]
    )


def alpha_gamma2(freqs: np.ndarray, electrons: reference.BrokenPowerLaw, cache: Path) -> np.ndarray:
    """α_ν with −γ² d/dγ(n/γ²) = (s + 2) n/γ on each segment, by quad (as reference.py)."""
    nu_b = reference.NU_B_PER_GAUSS * B_FIELD
    c_a = math.sqrt(3.0) * reference.E_CHARGE**2 / (4.0 * reference.M_E * reference.C_LIGHT)

    def at(nu: float) -> float:
        big_x = 2.0 * nu / (3.0 * nu_b)
        total = 0.0
        for g_a, g_b, n_a, s in electrons.segments():
            a, b = math.log(g_a), math.log(g_b)
            cuts = [0.5 * math.log(big_x / x) for x in (0.03, 0.3, 3.0, 30.0)]

            def f(u: float, g_a=g_a, n_a=n_a, s=s) -> float:
                return (
                    n_a * (math.exp(u) / g_a) ** -s * reference.cs_kernel(big_x * math.exp(-2 * u))
                )

            points = [u for u in cuts if a < u < b] or None
            total += (s + 2.0) * quad(f, a, b, points=points, epsabs=0.0, epsrel=1e-10, limit=400)[
                0
            ]
        return c_a * nu_b / nu**2 * total

    key = {"freqs": [repr(float(f)) for f in freqs], "b": B_FIELD, "form": "gamma2"}
    values, _ = reference._cached(
        "alpha-gamma2", key, cache, lambda: np.array([at(f) for f in freqs])
    )
    return values


def kn_kernel(q: float, gq: float) -> float:
    return 2 * q * math.log(q) + (1 + 2 * q) * (1 - q) + gq * gq * (1 - q) / (2 * (1 + gq))


def kn_gamma_integral(eps: float, eps1: float, segments: list) -> float:
    """∫ dγ n/γ² F(q, Γ) over 1/(4γ²) ≤ q ≤ 1 (Blumenthal & Gould 1970, 2.48), in ln(γ − ε₁)."""

    def q_of(g: float) -> float:
        return eps1 / (4 * eps * g * (g - eps1))

    total = 0.0
    for g_a, g_b, n_a, s in segments:
        lo, hi = max(g_a, 0.5 * eps1 * (1 + math.sqrt(1 + 1 / (eps * eps1)))), g_b
        if eps > eps1:
            hi = min(hi, eps * eps1 / (eps - eps1))
        if lo >= hi:
            continue

        def f(v: float, g_a=g_a, n_a=n_a, s=s) -> float:
            d = math.exp(v)
            g = eps1 + d
            q = min(q_of(g), 1.0)
            return n_a * (g / g_a) ** -s / (g * g) * kn_kernel(q, eps1 / d) * d

        total += quad(f, math.log(lo - eps1), math.log(hi - eps1), epsabs=0.0, epsrel=1e-9)[0]
    return total


def ssc_reference(
    freqs: np.ndarray, seed_nu: np.ndarray, seed_i: np.ndarray, gamma, n, cache: Path
) -> np.ndarray:
    """The Klein-Nishina double integral over the tabulated (power-law) seed and electrons."""
    to_eps = reference.H_PLANCK / reference.ME_C2
    electrons = [
        (
            gamma[k],
            gamma[k + 1],
            n[k],
            -math.log(n[k + 1] / n[k]) / math.log(gamma[k + 1] / gamma[k]),
        )
        for k in range(len(gamma) - 1)
    ]

    def at(nu: float) -> float:
        eps1 = nu * to_eps
        total = 0.0
        for k in range(len(seed_nu) - 1):
            a, b = math.log(seed_nu[k]), math.log(seed_nu[k + 1])
            slope = -math.log(seed_i[k + 1] / seed_i[k]) / (b - a)

            def f(t: float, k=k, a=a, slope=slope) -> float:
                intensity = seed_i[k] * math.exp(-slope * (t - a))
                return (
                    intensity
                    * math.exp(-t)
                    * kn_gamma_integral(math.exp(t) * to_eps, eps1, electrons)
                )

            total += quad(f, a, b, epsabs=0.0, epsrel=1e-8, limit=100)[0]
        return 0.75 * reference.SIGMA_T * nu * total

    key = {"freqs": [repr(float(f)) for f in freqs], "seed": [repr(float(v)) for v in seed_i]}
    values, _ = reference._cached("ssc-kn", key, cache, lambda: np.array([at(f) for f in freqs]))
    return values


def blob_intensity(j: np.ndarray, alpha: np.ndarray) -> np.ndarray:
    """Intensity of a uniform sphere of radius RADIUS in the form of sorvex.rad_trans_blob:
    j R u(τ)/τ, u = 1/2 + e^-τ/τ − (1 − e^-τ)/τ², τ = 2Rα (j R / 3 when thin)."""
    tau = 2.0 * RADIUS * alpha
    small = tau < 1e-3
    t = np.where(small, 1.0, tau)
    u = 0.5 + np.exp(-t) / t - (1.0 - np.exp(-t)) / t**2
    return j * RADIUS * np.where(small, 1.0 / 3.0 - tau / 8.0, u / t)


# ---------------------------------------------------------------------------------------------
# The sections


def synchrotron_rows(driver: Driver, quick: bool, cache: Path) -> list[Row]:
    electrons = reference.BrokenPowerLaw()
    j_ref, _, _ = reference.synchrotron(SYN_FREQS, electrons, B_FIELD, cache)
    a_ref = alpha_gamma2(SYN_FREQS, electrons, cache)
    rows = []
    rounds = 3 if quick else 7
    for label, gamma in (
        ("100 bins, γ_b on the grid", electron_grid(electrons, 100)),
        ("3 points", np.array([electrons.g_min, electrons.g_break, electrons.g_max])),
    ):
        args = {
            "nu": SYN_FREQS,
            "gamma": gamma,
            "n": electrons(gamma),
            "b_field": B_FIELD,
            "absorption": 1,
        }
        out, (t1, t2) = driver.best("synchrotron", args, 100, (1, 2), rounds)
        j_err = reference.max_rel_error(SYN_FREQS, out["j_nu"], j_ref)
        a_err = reference.max_rel_error(SYN_FREQS, out["alpha_nu"], a_ref)
        for threads, seconds in ((1, t1), (2, t2)):
            rows.append(
                Row(
                    "1k synchrotron j + α",
                    f"exact synchrotron, {label}, {threads} thread(s)",
                    seconds,
                    j_err,
                    a_err,
                )
            )
        rows.append(
            Row(
                "threads",
                f"synchrotron, {label}: efficiency t1 / (2 t2)",
                t2,
                note=f"{t1 / (2 * t2):.0%}",
            )
        )
    try:
        import peers
    except ImportError as error:
        log(f"no peers ({error}); run in .venv-bench for the agnpy rows")
        return rows
    ladder = []
    for size in (300, 600, 1000) if quick else (300, 600, 1000, 2000, 4000):
        peer = peers.agnpy_synchrotron(SYN_FREQS, electrons, B_FIELD, RADIUS, size, False)
        j_err = reference.max_rel_error(SYN_FREQS, peer.run(), j_ref)
        ladder.append((size, j_err, peer))
    floor = min(e for _, e, _ in ladder)
    size, j_err, peer = next(item for item in ladder if item[1] <= 1.02 * floor)
    a_err = reference.max_rel_error(
        SYN_FREQS, peers.agnpy_absorption(SYN_FREQS, electrons, B_FIELD, RADIUS, size), a_ref
    )

    def both() -> None:
        peer.run()
        peers.agnpy_absorption(SYN_FREQS, electrons, B_FIELD, RADIUS, size)

    seconds = best_python_time(both, 3 if quick else 7)
    rows.append(
        Row(
            "1k synchrotron j + α",
            f"agnpy, gamma_e_size={size} (best accuracy)",
            seconds,
            j_err,
            a_err,
        )
    )
    return rows


def best_python_time(fn: Callable[[], object], rounds: int) -> float:
    fn()
    best = math.inf
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def compton_rows(driver: Driver, quick: bool, cache: Path) -> list[Row]:
    electrons = reference.BrokenPowerLaw()
    gamma = electron_grid(electrons, 100)
    n = electrons(gamma)
    syn, _ = driver.call(
        "synchrotron",
        {"nu": SYN_FREQS, "gamma": gamma, "n": n, "b_field": B_FIELD, "absorption": 1},
        1,
        1,
    )
    seed_i = blob_intensity(syn["j_nu"], syn["alpha_nu"])
    every = 10 if quick else 4
    sub = SSC_FREQS[::every]
    t0 = time.perf_counter()
    ssc_ref = ssc_reference(sub, SYN_FREQS, seed_i, gamma, n, cache)
    log(f"SSC reference: {time.perf_counter() - t0:.0f} s")
    args = {"nu": SSC_FREQS, "seed_nu": SYN_FREQS, "seed_intensity": seed_i, "gamma": gamma, "n": n}
    out, (t1, t2) = driver.best("inverse_compton", args, 10, (1, 2), 3 if quick else 5)
    err = reference.max_rel_error(sub, out["j_nu"][::every], ssc_ref)
    rows = [
        Row(
            "2k SSC, Klein-Nishina",
            f"exact inverse Compton, 100 x 100 x 100, {k} thread(s)",
            s,
            err,
        )
        for k, s in ((1, t1), (2, t2))
    ]
    rows.append(
        Row(
            "threads",
            "inverse Compton, SSC: efficiency t1 / (2 t2)",
            t2,
            note=f"{t1 / (2 * t2):.0%}",
        )
    )

    # A line deep into the Klein-Nishina regime.
    to_eps = reference.H_PLANCK / reference.ME_C2
    nu0 = LINE_B_MAX / (4.0 * electrons.g_max * to_eps)
    line_freqs = np.geomspace(
        1.5 * nu0, electrons.g_max * LINE_B_MAX / (1 + LINE_B_MAX) / to_eps, 100
    )
    segments = electrons.segments()
    line_ref = np.array(
        [
            0.75
            * reference.SIGMA_T
            * v
            * reference.C_LIGHT
            * 1e-2
            / (4 * math.pi * nu0**2)
            * kn_gamma_integral(nu0 * to_eps, v * to_eps, segments)
            for v in line_freqs
        ]
    )
    line_args = {"nu": line_freqs, "u": 1e-2, "nu0": nu0, "gamma": gamma, "n": n}
    line, (t_line,) = driver.best("inverse_compton_line", line_args, 100, (2,), 3)
    line_err = reference.max_rel_error(line_freqs, line["j_nu"], line_ref)
    rows.append(
        Row(
            "2k line, 4γε₀ ≤ 100",
            "exact inverse Compton line, 100 bins, 2 threads",
            t_line,
            line_err,
        )
    )
    try:
        import astropy.units as u
        import peers
    except ImportError as error:
        log(f"no peers ({error}); run in .venv-bench for the naima rows")
        return rows

    # naima: the seed table as given and refined (power law between the points), two grids.
    best = None
    configs = (
        [(100, 100), (1000, 100)] if quick else [(100, 100), (300, 100), (1000, 100), (1000, 300)]
    )
    for points, need in configs:
        table = np.geomspace(SYN_FREQS[0], SYN_FREQS[-1], points)
        intensity = np.exp(np.interp(np.log(table), np.log(SYN_FREQS), np.log(seed_i)))
        dn_de = 4.0 * math.pi * intensity / (reference.C_LIGHT * reference.H_PLANCK**2 * table)
        field = [
            "table",
            (table * u.Hz).to(u.eV, equivalencies=u.spectral()),
            (dn_de / u.erg / u.cm**3).to(1 / u.eV / u.cm**3),
        ]
        # naima takes the analytic broken power law: the same electrons as the 100-point grid.
        peer = peers._naima_ic(sub, electrons, field, need)
        peer_err = reference.max_rel_error(sub, peer.run(), ssc_ref)
        full = peers._naima_ic(SSC_FREQS, electrons, field, need)
        seconds = best_python_time(full.run, 1 if quick else 2)
        log(f"naima table {points}, nEed {need}: {seconds:.2f} s, err {peer_err:.2e}")
        row = Row(
            "2k SSC, Klein-Nishina",
            f"naima, seed table {points} points, nEed={need}",
            seconds,
            peer_err,
        )
        rows.append(row)
        if best is None or peer_err < best.j_err:
            best = row
    assert best is not None
    best.note = "naima best accuracy"
    peer = peers.naima_ic_line(line_freqs, electrons, nu0, 1e-2, 300)
    rows.append(
        Row(
            "2k line, 4γε₀ ≤ 100",
            peer.label,
            best_python_time(peer.run, 3),
            reference.max_rel_error(line_freqs, peer.run(), line_ref),
        )
    )
    return rows


# ---------------------------------------------------------------------------------------------
# Report


def goals(rows: list[Row]) -> list[str]:
    def find(section: str, start: str) -> Row:
        return next(r for r in rows if r.section.startswith(section) and r.label.startswith(start))

    syn = find("1k", "exact synchrotron, 100 bins, γ_b on the grid, 2")
    ssc = find("2k SSC", "exact inverse Compton, 100 x 100 x 100, 2")
    out = [
        f"synchrotron j + α, 100 bins, 2 threads: {syn.seconds * 1e3:.2f} ms (goal < "
        f"{GOAL_SYN_SECONDS * 1e3:g} ms), j err {syn.j_err:.1e}, α err {syn.a_err:.1e} (goal ≤ "
        f"{GOAL_SYN_ERROR:g}): "
        + (
            "MET"
            if syn.seconds < GOAL_SYN_SECONDS and max(syn.j_err, syn.a_err) <= GOAL_SYN_ERROR
            else "NOT met"
        )
    ]
    naima = [r for r in rows if r.note == "naima best accuracy"]
    if naima:
        ratio = naima[0].seconds / ssc.seconds
        met = ratio >= GOAL_IC_SPEEDUP and ssc.j_err <= GOAL_IC_ERROR
        out.append(
            f"SSC 100 x 100 x 100, 2 threads: {ssc.seconds * 1e3:.1f} ms at err {ssc.j_err:.1e}, "
            f"{ratio:.0f}x faster than naima at its best accuracy ({naima[0].j_err:.1e}, "
            f"{naima[0].seconds:.2f} s) (goal ≥ {GOAL_IC_SPEEDUP:g}x at ≤ {GOAL_IC_ERROR:g}): "
            + ("MET" if met else "NOT met")
        )
    for r in rows:
        if r.section == "threads":
            value = float(r.note.rstrip("%")) / 100
            out.append(
                f"{r.label}: {r.note} (goal ≥ {GOAL_EFFICIENCY:.0%}): "
                + ("MET" if value >= GOAL_EFFICIENCY else "NOT met")
            )
    return out


def print_rows(rows: list[Row]) -> None:
    def fmt(x: float | None) -> str:
        return "" if x is None else f"{x:.2e}"

    def fmt_time(s: float) -> str:
        return f"{s:.2f} s" if s >= 1 else f"{s * 1e3:.3g} ms"

    section = None
    for r in rows:
        if r.section != section:
            section = r.section
            print(f"[{section}]")
        errors = f"err {fmt(r.j_err):>8} | α err {fmt(r.a_err):>8}"
        print(f"  {fmt_time(r.seconds):>10} | {r.label:<58} | {errors} | {r.note}")


def run(quick: bool, cache: Path) -> tuple[list[Row], list[str]]:
    """The rows and the goal lines of the accurate kernels."""
    driver = Driver(build_driver())
    rows = synchrotron_rows(driver, quick, cache) + compton_rows(driver, quick, cache)
    order = {"1k": 0, "2k": 1, "th": 2}
    rows.sort(key=lambda r: order[r.section[:2]])
    return rows, goals(rows)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run")
    parser.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "bench-cache")
    args = parser.parse_args(argv)
    timing.ensure_warm_allocator()  # as bench/run.py: the peers' NumPy temporaries stay warm
    import warnings

    warnings.simplefilter("ignore")
    rows, goal_lines = run(args.quick, args.cache_dir)
    print(f"accurate kernels ({os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}):")
    print_rows(rows)
    for line in goal_lines:
        print(f"goal: {line}")


if __name__ == "__main__":
    main()
