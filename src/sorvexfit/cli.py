"""The `sorvexfit` command.

    sorvexfit sed --model {ssc,ec} --set NAME=VALUE ... [--ebl MODEL] --out FILE.ecsv
                  [--plot FILE.png]
    sorvexfit params --model {ssc,ec}
    sorvexfit fit DATA --model {ssc,ec} [--free NAME,...] [--set NAME=VALUE ...]
                  [--method {minuit,mcmc}] [--walkers N] [--steps N] [--seed S] [--resume]
                  [--ebl MODEL] [--systematics LIST] [--prior NAME=KIND:A:B ...] --out DIR
                  [--scheduler SPEC]
    sorvexfit fit-many SOURCES... --model {ssc,ec} [options of fit] --out DIR
                  [--scheduler SPEC]
    sorvexfit flare --model {ssc,ec} --set NAME=VALUE ... --injection PROFILE --duration T
                  --out DIR [--snapshots N] [--band NAME=LOW,HIGH ...] [--hardness SOFT,HARD]

Each subcommand is a function `run_<name>(args) -> int` registered in `build_parser`; the model
options shared by every subcommand that builds a model are added by `add_model_arguments` and
turned into the model's frozen configuration, once, by `model_config`. A bad value ends the
command with one line on standard error naming the parameter (or the file, row and column of
bad data), and exit status 2; a computation that fails (no steady state, a kernel stop) with
one line and status 1; a fit that does not converge with status 3, and one stopped by SIGTERM
or SIGINT with status 4 (`ExitCode`); a file system that refuses a result (full, read-only)
with one line and status 5; a --out that another run is writing into with one line and status
6 (or, with --wait, after that run). `fit-many` ends with the worst of its sources' statuses
(1 before 3). Never a traceback.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator, Sequence
from contextlib import ExitStack, contextmanager
from pathlib import Path
from typing import Any

from .backend import BACKENDS, KERNEL_STOPS, BackendUnavailable
from .components import EBL_MODELS
from .config import MODEL_KINDS, ModelConfig, configure, parameters
from .distributions import DISTRIBUTIONS
from .files import WriteError, os_error_text
from .fit.data import DataError
from .fit.defaults import DEFAULT_EBL, PHYSICAL_BOUNDS, RADIO_CHOICES
from .fit.results import ExitCode, Status
from .folders import PRIVATE, FolderBusy, FolderLock, WaitStopped, check_out
from .parameters import Parameter, ParameterError, Parameters
from .scale.scheduler import SchedulerError
from .steady import ConvergenceError

__all__ = [
    "add_fit_arguments",
    "add_fit_options",
    "add_model_arguments",
    "build_parser",
    "fit_options",
    "main",
    "model_config",
]

PROG = "sorvexfit"


class UsageError(Exception):
    """A bad command line (exit status 2)."""


def _assignment(text: str) -> tuple[str, str]:
    name, sep, value = text.partition("=")
    if not sep or not name.strip() or not value.strip():
        raise argparse.ArgumentTypeError(f"expected NAME=VALUE, got {text!r}")
    return name.strip(), value.strip()


def add_model_arguments(parser: argparse.ArgumentParser, with_values: bool = True) -> None:
    """The options that choose and configure a model."""
    add = parser.add_argument
    add("--model", required=True, choices=MODEL_KINDS, help="ssc: synchrotron + SSC; ec: + EC")
    add(
        "--electrons",
        default="broken_power_law",
        choices=tuple(DISTRIBUTIONS),
        help="shape of the electron distribution (or of the injection with --steady-state)",
    )
    add(
        "--steady-state",
        action="store_true",
        help="electrons: the self-consistently cooled steady state of an injection",
    )
    add(
        "--fields",
        metavar="LIST",
        help="external photon fields of --model ec, comma separated: disk, blr, dt, cmb, line"
        " (default: disk,blr,dt, the accretion disk, broad-line region and dust torus of an"
        " FSRQ; line: one line of u_ext, nu_ext, the steady state's default)",
    )
    add("--ec-frame", default="blob", choices=("blob", "agn"), help="frame of u_ext and nu_ext")
    add(
        "--ebl",
        metavar="MODEL",
        default=DEFAULT_EBL,
        help=f"EBL absorption (default: {DEFAULT_EBL}, Dominguez et al. 2011; none: off), one"
        f" of: {', '.join(EBL_MODELS)}",
    )
    add("--backend", default="exact", choices=tuple(BACKENDS), help="radiation kernels")
    add("--n-gamma", type=int, default=100, help="electron grid points")
    add("--n-nu", type=int, default=120, help="frequency grid points")
    add("--nu-min", type=float, default=1e8, help="lowest observed frequency, Hz")
    add("--nu-max", type=float, default=1e28, help="highest observed frequency, Hz")
    if with_values:
        add(
            "--set",
            dest="values",
            metavar="NAME=VALUE",
            type=_assignment,
            action="append",
            default=[],
            help="a parameter value, in its unit (`sorvexfit params`) or with a unit: B=0.05,"
            " R='5e16 cm', t_var=1d; repeatable",
        )


def model_config(
    args: argparse.Namespace, names: Sequence[str] = (), radius: str = "R"
) -> ModelConfig:
    """The frozen model configuration of the options of `add_model_arguments`, for a model
    whose parameters `names` are set (`radius`: the geometry when neither R nor t_var is)."""
    fields = getattr(args, "fields", None)
    if fields is not None and args.model != "ec":
        raise ParameterError("fields: external fields need --model ec")
    options = {} if fields is None else {"fields": fields}
    return configure(
        args.model,
        names,
        radius,
        **options,
        electrons=args.electrons,
        steady_state=args.steady_state,
        ec_frame=args.ec_frame,
        ebl=args.ebl,
        backend=args.backend,
        n_gamma=args.n_gamma,
        n_nu=args.n_nu,
        nu_range=(args.nu_min, args.nu_max),
    )


# ---------------------------------------------------------------------------------------------
# sorvexfit sed


def run_sed(args: argparse.Namespace) -> int:
    out = Path(args.out)
    if out.suffix.lower() != ".ecsv":
        raise UsageError(f"--out: {str(out)!r} must end in .ecsv")
    values = dict(args.values)
    config = model_config(args, list(values))
    params = parameters(config)
    params.set(**values)
    point = params.as_dict()
    from .evaluation import evaluate
    from .output import write_sed

    evaluation = evaluate(config, point)
    written = write_sed(config, params, evaluation, out, Path(args.plot) if args.plot else None)
    print(f"wrote {written}")
    return ExitCode.OK


# ---------------------------------------------------------------------------------------------
# sorvexfit params


def _row(p: Parameter, ec_frame: str) -> list[str]:
    flags = ",".join(f for f, on in (("frozen", p.frozen), ("log10", p.log10)) if on)
    key = "u_ext@agn" if p.name == "u_ext" and ec_frame == "agn" else p.name
    low, high = PHYSICAL_BOUNDS.get(key, (p.min, p.max))
    box = f"{max(low, p.min):g}..{min(high, p.max):g}"
    row = [p.name, p.unit or "-", f"{p.value:g}", f"{p.min:g}", f"{p.max:g}", box, flags]
    return [*row, p.description]


def _print_rows(rows: list[list[str]]) -> None:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip())


def run_params(args: argparse.Namespace) -> int:
    config = model_config(args)
    params = parameters(config)
    header = ["name", "unit", "default", "min", "max", "fit box", "flags", "description"]
    print(f"{config.name}:")
    _print_rows([header] + [_row(p, config.ec_frame) for p in params.values()])
    # The alternatives: setting one of them with --set switches the model to it.
    alternatives: dict[str, Parameter] = {}
    for names in (
        ["t_var"],
        ["Gamma"],
        ["delta_D"],
        ["u_e"],
        ["L_e"],
        ["R_BLR"],
        ["R_DT"],
        ["l_Edd"],
    ):
        if args.steady_state and names[0] in ("u_e", "L_e"):
            continue
        other: Parameters = parameters(model_config(args, names))
        for name, p in other.items():
            if name not in params:
                alternatives[name] = p
    if alternatives:
        print(
            "\nalternatives (setting one replaces R, the Doppler factor, the normalisation,"
            " a radius that follows L_disk or the black-hole mass):"
        )
        _print_rows([header] + [_row(p, config.ec_frame) for p in alternatives.values()])
    print(FIT_DEFAULTS)
    return ExitCode.OK


FIT_DEFAULTS = """
A fit (`sorvexfit fit`) searches each free parameter within its "fit box" (--bound NAME=LOW,HIGH
replaces one); min and max are the model's own limits. Unless told otherwise it takes
R = c t_var delta/(1+z) with t_var = 1 d (fixed), absorbs gamma rays on the EBL of Dominguez
et al. 2011 (--ebl), takes radio points below 1e11 Hz as upper limits (--radio), and starts
from the analytic starting point of the observed SED, with a global stage of 64 starts.
--model ec scatters the accretion disk, the broad-line region and the dust torus (--fields);
R_BLR = 1e17 cm (L_disk/1e45 erg/s)^1/2 and R_DT = 2.5e18 cm (L_disk/1e45 erg/s)^1/2 unless
set (Ghisellini & Tavecchio 2009, MNRAS 397, 985)."""


# ---------------------------------------------------------------------------------------------
# sorvexfit fit


def _names(text: str) -> tuple[str, ...]:
    names = tuple(n.strip() for n in text.split(","))
    if not all(names):
        raise argparse.ArgumentTypeError(f"expected NAME,NAME,..., got {text!r}")
    return names


def add_fit_arguments(parser: argparse.ArgumentParser) -> None:
    """The data, the options of a fit (beside the model's) and the result directory."""
    parser.add_argument(
        "data", metavar="DATA", help="flux points: ECSV (gammapy/agnpy convention) or CSV"
    )
    add_fit_options(parser)
    parser.add_argument("--out", required=True, metavar="DIR", help="result directory")
    _wait_argument(parser)


def _wait_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--wait",
        action="store_true",
        help="when another run is writing into --out, wait for it to end (default: refuse)",
    )


def _check_out(text: str, wait: bool) -> Path:
    """--out checked before any work (named, a folder, writable), and refused at once when
    another run holds it (unless `wait`)."""
    out = check_out(text, "--out")
    if not wait and (out / PRIVATE).is_dir():
        FolderLock(out).acquire().release()  # FolderBusy if it is held
    return out


def _scheduler_argument(parser: argparse.ArgumentParser, default: str | None, text: str) -> None:
    parser.add_argument("--scheduler", metavar="SPEC", default=default, help=text)


def add_fit_options(parser: argparse.ArgumentParser) -> None:
    """The options of a fit, beside the model's (the FitOptions fields)."""
    from .fit.options import FitOptions

    defaults = FitOptions()
    add = parser.add_argument
    add(
        "--free",
        type=_names,
        metavar="NAME,...",
        help="the parameters to fit (default: the model's free ones; see `sorvexfit params`)",
    )
    add(
        "--method",
        choices=("minuit", "mcmc"),
        default=defaults.method,
        help="least squares (iminuit) or MCMC (emcee, started from least squares)",
    )
    add("--walkers", type=int, default=defaults.walkers, help="MCMC walkers")
    add("--steps", type=int, default=defaults.steps, help="MCMC steps in all (with --resume too)")
    add("--burn", type=int, help="MCMC steps discarded (default: two autocorrelation times)")
    add("--seed", type=int, default=defaults.seed, help="random seed (same seed, same chain)")
    add("--resume", action="store_true", help="continue the chain in DIR/chain.h5")
    add(
        "--systematics",
        default=defaults.systematics,
        metavar="LIST",
        help="fractional systematic errors: default, none, F, BAND=F or INSTRUMENT=F, comma"
        " separated (bands: radio, optical, xray, gamma, vhe)",
    )
    add(
        "--prior",
        dest="priors",
        action="append",
        default=[],
        metavar="NAME=KIND:A:B",
        help="MCMC prior: uniform:LOW:HIGH, loguniform:LOW:HIGH or gauss:MEAN:SIGMA in the"
        " parameter's unit (default: uniform in its fit form within its bounds); repeatable",
    )
    add(
        "--fit-range",
        metavar="LOW,HIGH",
        help="fit only the points in this range of"
        " frequency or energy, e.g. '1e11 Hz,' or '0.1 keV,10 TeV'",
    )
    add(
        "--bound",
        dest="bounds",
        action="append",
        default=[],
        metavar="NAME=LOW,HIGH",
        help="the range a free parameter is searched in, in place of its physical default"
        " (`sorvexfit params`); repeatable",
    )
    add(
        "--radio",
        choices=RADIO_CHOICES,
        default=defaults.radio,
        help="points below 1e11 Hz (mostly the extended jet): upper limits on the blob"
        " (default), fitted as detections, or left out",
    )
    add(
        "--starts",
        type=int,
        default=defaults.starts,
        help="starts of the global stage around the analytic starting point (1: that point alone)",
    )
    add("--polish", type=int, default=defaults.polish, help="best starts polished by migrad")
    add("--minos", action="store_true", help="minos intervals for a least-squares fit")
    add(
        "--band-samples",
        type=int,
        default=defaults.band_samples,
        help="model evaluations for the 68 %% band of sed.png (0: none)",
    )
    add(
        "--progress",
        action=argparse.BooleanOptionalAction,
        default=None,
        help="progress bar (default: when standard error is a terminal)",
    )


def fit_options(args: argparse.Namespace) -> Any:
    """The FitOptions of a parsed `fit` or `fit-many` command line (the model configured once,
    for the names it sets)."""
    from .fit.options import FitOptions

    values = tuple(args.values)
    progress = sys.stderr.isatty() if args.progress is None else args.progress
    return FitOptions(
        model=model_config(args, [name for name, _ in values], radius="t_var"),
        free=args.free,
        values=values,
        method=args.method,
        walkers=args.walkers,
        steps=args.steps,
        burn=args.burn,
        seed=args.seed,
        resume=args.resume,
        systematics=args.systematics,
        priors=tuple(args.priors),
        bounds=tuple(args.bounds),
        fit_range=args.fit_range,
        radio=args.radio,
        starts=args.starts,
        polish=args.polish,
        minos=args.minos,
        band_samples=args.band_samples,
        progress=progress,
    )


@contextmanager
def _stop_on_signals() -> Iterator[threading.Event]:
    """An event set by SIGTERM or SIGINT while the block runs (in the main thread). The fit
    stops at its next check; a second signal acts as it would without this block (Ctrl-C
    raises KeyboardInterrupt), for a stage that does not check."""
    stop = threading.Event()
    handlers: dict[signal.Signals, Any] = {}

    def first(signum: int, _: object) -> None:
        stop.set()
        signal.signal(signum, handlers[signal.Signals(signum)])

    if threading.current_thread() is threading.main_thread():
        for signum in (signal.SIGTERM, signal.SIGINT):
            handlers[signum] = signal.signal(signum, first)
    try:
        yield stop
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)


@contextmanager
def _session(text: str) -> Iterator[Any]:
    """The Dask session of a --scheduler, announced on standard output."""
    from .scale.scheduler import open_scheduler, parse_scheduler

    with open_scheduler(parse_scheduler(text)) as session:
        print(f"scheduler: {session.describe()}")
        dashboard = session.dashboard
        if dashboard is not None:
            from importlib.util import find_spec

            local = session.cluster is not None and find_spec("bokeh") is None
            print(f"dashboard: {dashboard}" + (" (its plots need bokeh)" if local else ""))
        sys.stdout.flush()
        yield session


def run_fit_command(args: argparse.Namespace) -> int:
    from .fit.run import run_fit

    out = _check_out(args.out, args.wait)
    options = fit_options(args)
    with ExitStack() as stack:
        pool = None
        if args.scheduler is not None:
            from .fit.run import check_options
            from .scale.pool import DaskPool

            check_options(options)  # before a cluster starts
            session = stack.enter_context(_session(args.scheduler))
            pool = stack.enter_context(DaskPool(session.client))
        stop = stack.enter_context(_stop_on_signals())
        result = run_fit(args.data, options, out, pool=pool, stop=stop.is_set, wait=args.wait)
    print(result.summary())
    if result.exit_code == ExitCode.OK:
        print(f"wrote {out / 'result.ecsv'} and the plots")
    else:
        sys.stdout.flush()
        print(f"{PROG} fit: {result.status}: {result.message}", file=sys.stderr)
    return result.exit_code


# ---------------------------------------------------------------------------------------------
# sorvexfit fit-many


def run_fit_many(args: argparse.Namespace) -> int:
    from .fit.run import check_options
    from .scale.many import find_sources, fit_many

    out = _check_out(args.out, args.wait)
    options = fit_options(args)
    progress = options.progress
    check_options(options)
    sources = find_sources(args.sources, out=out)
    with _session(args.scheduler) as session, _stop_on_signals() as stop:
        print(f"{len(sources)} sources, results in {out}{os.sep}")
        sys.stdout.flush()
        done = fit_many(
            session.client,
            sources,
            options,
            out,
            progress=progress,
            stop=stop.is_set,
            wait=args.wait,
        )
    sys.stdout.flush()
    for o in done.outcomes:
        if o.status in (Status.FAILED, Status.BAD_INPUT):
            print(f"{PROG} fit-many: {o.source}: {o.status}: {o.message}", file=sys.stderr)
    if done.interrupted:
        left = sum(o.status == Status.INTERRUPTED for o in done.outcomes)
        print(
            f"{PROG} fit-many: interrupted: {left} sources not fitted; the same command fits them",
            file=sys.stderr,
        )
    print(
        f"wrote {done.summary}: {done.counts()} ({len(done.fitted)} fitted,"
        f" {len(done.skipped)} done before) in {done.wall_time:.1f} s"
    )
    return done.exit_code


# ---------------------------------------------------------------------------------------------
# sorvexfit flare (sorvexfit.flare_command)


def run_flare(args: argparse.Namespace) -> int:
    from .flare_command import run_flare_command

    args.steady_state = True  # a flare evolves the injection of the steady state
    return run_flare_command(args, model_config(args, [name for name, _ in args.values]))


# ---------------------------------------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="One-zone SSC and EC models of a blazar blob (sorvex kernels)."
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    sed = commands.add_parser("sed", help="compute an SED and write it as an ECSV table")
    add_model_arguments(sed)
    sed.add_argument("--out", required=True, metavar="FILE.ecsv", help="output table")
    sed.add_argument("--plot", metavar="FILE.png", help="also draw the SED")
    sed.set_defaults(run=run_sed)

    params = commands.add_parser("params", help="list the parameters of a model")
    add_model_arguments(params, with_values=False)
    params.set_defaults(run=run_params)

    fit = commands.add_parser("fit", help="fit a model to flux points (iminuit or emcee)")
    add_model_arguments(fit)
    add_fit_arguments(fit)
    _scheduler_argument(
        fit,
        None,
        "run the MCMC walkers' evaluations (and the band) on Dask: local[:N], tcp://HOST:PORT"
        " or jobqueue:FILE (default: in this process, on sorvex's threads)",
    )
    fit.set_defaults(run=run_fit_command)

    many = commands.add_parser(
        "fit-many", help="fit many sources on Dask, one task per source, with a summary"
    )
    many.add_argument(
        "sources",
        nargs="+",
        metavar="SOURCES",
        help="flux-point files, or folders of them (*.ecsv, *.csv); a source is named by its"
        " file name",
    )
    add_model_arguments(many)
    add_fit_options(many)
    many.add_argument(
        "--out",
        required=True,
        metavar="DIR",
        help="DIR/<folder>/ as `fit` writes it (the source's name, made a safe folder name),"
        " and DIR/summary.ecsv",
    )
    _wait_argument(many)
    _scheduler_argument(
        many,
        "local",
        "local[:N] (N worker processes, default: one per core), tcp://HOST:PORT (a running"
        " Dask scheduler) or jobqueue:FILE (a dask-jobqueue cluster described in YAML)",
    )
    many.set_defaults(run=run_fit_many)

    flare = commands.add_parser(
        "flare", help="evolve the electrons through a flare: light curves and SED snapshots"
    )
    add_model_arguments(flare)
    from .flare_command import add_flare_arguments

    add_flare_arguments(flare)
    flare.set_defaults(run=run_flare)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run

    def fail(message: str, status: int) -> int:
        print(f"{PROG} {args.command}: error: {message}", file=sys.stderr)
        return status

    # The notes of reading a table are printed with the fit (its summary), not logged too.
    reader = logging.getLogger("sorvexfit.fit.data")
    level = reader.level
    reader.setLevel(logging.ERROR)
    try:
        return int(run(args))
    except (ParameterError, DataError, UsageError, BackendUnavailable, SchedulerError) as error:
        return fail(str(error), ExitCode.BAD_INPUT)
    except ConvergenceError as error:
        return fail(str(error), ExitCode.FAILED)
    except FolderBusy as error:
        return fail(str(error), ExitCode.BUSY)
    except WaitStopped as error:
        return fail(str(error), ExitCode.INTERRUPTED)
    except KeyboardInterrupt:
        return fail("interrupted", ExitCode.INTERRUPTED)
    except WriteError as error:
        return fail(os_error_text(error), ExitCode.WRITE_FAILED)
    except OSError as error:
        return fail(os_error_text(error), ExitCode.BAD_INPUT)
    except KERNEL_STOPS as error:
        return fail(f"kernel stopped: {error}", ExitCode.FAILED)
    finally:
        reader.setLevel(level)


if __name__ == "__main__":
    sys.exit(main())
