"""The benchmark's shared runner: the report (rows, goals, facts), side-by-side timing of a
section's configurations, subprocesses with their own pool size, the table, and the command
line. The sections live in bench/sections/ (registered in sections/__init__.py).

Usage: python bench/run.py [--quick] [--cache-dir DIR]
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import subprocess
import sys
import time
from collections.abc import Sequence
from dataclasses import dataclass, field
from pathlib import Path
from types import ModuleType

import timing

ROOT = Path(__file__).resolve().parent.parent
LOAD_AT_START = os.getloadavg()


@dataclass
class Row:
    section: str
    label: str
    seconds: float | None = None
    ratio: str = ""
    j_err: float | None = None
    j_core: float | None = None
    a_err: float | None = None
    note: str = ""


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    goals: list[str] = field(default_factory=list)
    facts: list[str] = field(default_factory=list)


@dataclass(frozen=True)
class Context:
    settings: timing.Settings
    quick: bool
    cache_dir: Path  # exact references, computed once


def log(message: str) -> None:
    print(f"bench: {message}", file=sys.stderr, flush=True)


def pool_size() -> int:
    """The sorvex worker pool size in this process (its documented rule)."""
    for name in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS"):
        value = os.environ.get(name, "")
        if value.isdigit() and int(value) > 0:
            return int(value)
    return os.cpu_count() or 1


def time_section(report: Report, section: str, entries, settings: timing.Settings) -> list[float]:
    """Times the entries side by side, appends their rows, returns the best times."""
    log(f"timing {section} ({len(entries)} configurations)")
    seconds = timing.best_times([fn for _, fn in entries], settings)
    for (row, _), s in zip(entries, seconds, strict=True):
        row.seconds = s
        row.ratio = f"{s / seconds[0]:.2f}"
        report.rows.append(row)
    return seconds


def run_child(section: str, env: dict[str, str]) -> object:
    """Runs `child(context)` of a section in a subprocess with `env` (e.g. a pool size, which
    the pool reads once per process); returns the JSON value the child printed last."""
    command = [sys.executable, str(ROOT / "bench" / "run.py"), "--child", section, "--quick"]
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def print_json(value: object) -> None:
    """A child's result for run_child."""
    print(json.dumps(value))


# ---------------------------------------------------------------------------------------------
# The table


def fmt_time(seconds: float | None) -> str:
    if seconds is None:
        return ""
    if seconds >= 1:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.3g} ms"
    return f"{seconds * 1e6:.3g} µs"


def fmt_err(value: float | None) -> str:
    return "" if value is None else f"{value:.2e}"


def print_table(report: Report, header: Sequence[str]) -> None:
    titles = ("ratio", "time", "configuration", "err", "core", "α err", "note")
    lines = [
        (
            r.ratio,
            fmt_time(r.seconds) if "conversion" not in r.section else "",
            r.label,
            fmt_err(r.j_err),
            fmt_err(r.j_core),
            fmt_err(r.a_err),
            r.note,
        )
        for r in report.rows
    ]
    widths = [max(len(t), *(len(line[i]) for line in lines)) for i, t in enumerate(titles)]
    for text in header:
        print(text)
    rule = "-+-".join("-" * w for w in widths)

    def show(cells) -> None:
        print(
            " | ".join(
                c.rjust(w) if i in (0, 1) else c.ljust(w)
                for i, (c, w) in enumerate(zip(cells, widths, strict=True))
            ).rstrip()
        )

    print(rule)
    show(titles)
    section = None
    for row, line in zip(report.rows, lines, strict=True):
        if row.section != section:
            section = row.section
            print(rule)
            print(f"[{section}]")
        show(line)
    print(rule)


def section_module(name: str) -> ModuleType:
    return importlib.import_module(f"sections.{name}")


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="short smoke run (fewer samples)")
    parser.add_argument("--cache-dir", type=Path, default=ROOT / "build" / "bench-cache")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    timing.ensure_warm_allocator()
    settings = (
        timing.Settings(rounds=3, min_sample=0.02)
        if args.quick
        else timing.Settings(rounds=7, min_sample=0.1)
    )
    context = Context(settings, args.quick, args.cache_dir)
    if args.child:
        section_module(args.child).child(context)
        return

    import warnings

    warnings.simplefilter("ignore")  # astropy and NumPy warnings of the peers
    started = time.perf_counter()
    report = Report()
    import peers
    from sections import SECTIONS

    for name in SECTIONS:
        section_module(name).run(report, context)

    header = [
        f"sorvex benchmark{' (quick)' if args.quick else ''}: {peers.PEER_VERSIONS}, "
        f"numpy {__import__('numpy').__version__}, scipy {__import__('scipy').__version__}; "
        f"{os.cpu_count()} CPUs (load average {LOAD_AT_START[0]:.2f}), sorvex pool"
        f" {pool_size()} threads; best of {settings.rounds}, samples ≥"
        f" {settings.min_sample * 1e3:g} ms, interleaved;"
        f" GLIBC_TUNABLES={timing.ALLOCATOR_TUNABLES}",
        "ratio: time / time of the first row of its section (sections 1-3, 5a, 5b; 5c: of the"
        " first row of its case), speed-up (4a), ns per element (4b). err/core: max |x/x_ref - 1|"
        " where ν j_ν > 1e-6 / 1e-2 of its peak (section 3: sorvex vs NumPy; 5a: νF_ν against"
        " the code's own fine grids, where above 1e-2 of its peak; 5c: change against every grid"
        " point); α err: absorption coefficient, same frequencies.",
    ]
    report.facts.append(
        f"sorvex and sorvexfit rows use their pools ({pool_size()} threads; each native module"
        " has its own), the peers one thread; section 4a gives the 1-thread times of the same"
        " calls"
    )
    print_table(report, header)
    for fact in report.facts:
        print(f"note: {fact}")
    for goal in report.goals:
        print(f"goal: {goal}")
    print(f"bench: {time.perf_counter() - started:.0f} s")


if __name__ == "__main__":
    main()
