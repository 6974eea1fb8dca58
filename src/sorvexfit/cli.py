"""The `sorvexfit` command.

    sorvexfit sed --model {ssc,ec} --set NAME=VALUE ... [--ebl MODEL] --out FILE.ecsv
                  [--plot FILE.png]
    sorvexfit params --model {ssc,ec}

Each subcommand is a function `run_<name>(args) -> int` registered in `build_parser`; the model
options shared by every subcommand that builds a model are added by `add_model_arguments` and
turned into a model by `model_from_args`. A bad value ends the command with one line on
standard error naming the parameter, and exit status 2; a computation that fails (no steady
state, a kernel stop) with one line and status 1. Never a traceback.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any

from .backend import BACKENDS, BackendUnavailable
from .components import EBL_MODELS
from .distributions import DISTRIBUTIONS, NORMALISATIONS, ConvergenceError
from .model import MODEL_KINDS, BlobModel, make_model
from .parameters import Parameter, ParameterError

__all__ = ["add_model_arguments", "build_parser", "main", "model_from_args"]

PROG = "sorvexfit"

# Setting one of these parameters picks the geometry or normalisation that owns it.
_RADIUS = {"t_var": "t_var", "R": "R"}
_DOPPLER = {"Gamma": "Gamma_theta", "theta": "Gamma_theta", "delta_D": "delta_D"}
_STEADY = ("L_inj", "t_esc", "t_acc")


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
    add("--ec-frame", default="blob", choices=("blob", "agn"), help="frame of u_ext and nu_ext")
    add("--ebl", metavar="MODEL", help=f"EBL absorption, one of: {', '.join(EBL_MODELS)}")
    add("--backend", default="sorvex", choices=tuple(BACKENDS), help="radiation kernels")
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


def model_from_args(args: argparse.Namespace) -> BlobModel:
    """The model the options describe, with the --set values applied (ParameterError on a
    bad name or value)."""
    values: dict[str, str] = {}
    for name, value in getattr(args, "values", []):
        values[name] = value
    names = set(values)
    radius = next((_RADIUS[n] for n in names if n in _RADIUS), "R")
    doppler = next((_DOPPLER[n] for n in names if n in _DOPPLER), "delta_D")
    normalisation = next((n for n in NORMALISATIONS if n in names), "n_e")
    steady = args.steady_state
    if not steady and names & set(_STEADY):
        given = sorted(names & set(_STEADY))[0]
        raise ParameterError(f"unknown parameter {given!r} without --steady-state")
    if steady and names & set(NORMALISATIONS):
        given = sorted(names & set(NORMALISATIONS))[0]
        raise ParameterError(f"{given}: the steady state is normalised by L_inj")
    model = make_model(
        args.model,
        electrons=args.electrons,
        normalisation=normalisation,
        steady_state=steady,
        ec_frame=args.ec_frame,
        radius=radius,
        doppler=doppler,
        ebl=args.ebl,
        backend=args.backend,
        n_gamma=args.n_gamma,
        n_nu=args.n_nu,
        nu_range=(args.nu_min, args.nu_max),
    )
    model.params.set(**values)
    return model


# ---------------------------------------------------------------------------------------------
# sorvexfit sed


def run_sed(args: argparse.Namespace) -> int:
    out = Path(args.out)
    if out.suffix.lower() != ".ecsv":
        raise UsageError(f"--out: {str(out)!r} must end in .ecsv")
    model = model_from_args(args)
    evaluation = model.evaluate()
    table = sed_table(model, evaluation.nu, evaluation.seds)
    out.parent.mkdir(parents=True, exist_ok=True)
    table.write(out, format="ascii.ecsv", overwrite=True)
    message = f"wrote {out} ({len(table)} frequencies)"
    if args.plot:
        plot_sed(model, evaluation.nu, evaluation.seds, Path(args.plot))
        message += f" and {args.plot}"
    print(message)
    return 0


def sed_table(model: BlobModel, nu: Any, seds: dict[str, Any]) -> Any:
    """An astropy Table: nu (Hz, observer frame), nuFnu (total) and nuFnu_<component>, with
    the model and its parameters in the metadata."""
    from astropy import units as u
    from astropy.table import Table

    flux = u.Unit("erg cm-2 s-1")
    table = Table()
    table["nu"] = nu * u.Hz
    table["nuFnu"] = seds["total"] * flux
    for key in ("syn", "ssc", "ec"):
        if key in seds:
            table[f"nuFnu_{key}"] = seds[key] * flux
    table.meta["model"] = model.name
    table.meta["electrons"] = model.electrons.kind
    table.meta["steady_state"] = model.steady_state
    table.meta["ebl"] = model.ebl.model if model.ebl is not None else None
    table.meta["backend"] = model.backend
    table.meta["parameters"] = {
        name: {"value": p.value, "unit": p.unit} for name, p in model.params.items()
    }
    return table


def plot_sed(model: BlobModel, nu: Any, seds: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import numpy as np

    labels = {
        "syn": ("synchrotron", "-"),
        "ssc": ("synchrotron self-Compton", "--"),
        "ec": ("external Compton", "-."),
        "total": ("total", ":"),
    }
    figure, axes = plt.subplots(figsize=(7.5, 4.8), dpi=110)
    top = float(np.max(seds["total"]))
    floor = top * 1e-8
    for key, (label, style) in labels.items():
        if key in seds:
            values = np.where(seds[key] > floor, seds[key], np.nan)
            axes.loglog(nu, values, style, label=label, linewidth=1.6)
    axes.set_xlabel(r"observed frequency $\nu$ [Hz]")
    axes.set_ylabel(r"$\nu F_\nu$ [erg cm$^{-2}$ s$^{-1}$]")
    free = ", ".join(f"{k}={p.value:.3g}" for k, p in model.params.items() if not p.frozen)
    axes.set_title(f"{model.name}: {free}", fontsize=8)
    if top > 0.0:
        axes.set_ylim(floor, top * 5.0)
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(fontsize=9)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    plt.close(figure)


# ---------------------------------------------------------------------------------------------
# sorvexfit params


def _row(p: Parameter) -> list[str]:
    flags = ",".join(f for f, on in (("frozen", p.frozen), ("log10", p.log10)) if on)
    return [p.name, p.unit or "-", f"{p.value:g}", f"{p.min:g}", f"{p.max:g}", flags, p.description]


def _print_rows(rows: list[list[str]]) -> None:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for r in rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths, strict=True)).rstrip())


def run_params(args: argparse.Namespace) -> int:
    model = model_from_args(args)
    header = ["name", "unit", "default", "min", "max", "flags", "description"]
    print(f"{model.name}:")
    _print_rows([header] + [_row(p) for p in model.params.values()])
    # The alternatives: setting one of them with --set switches the model to it.
    alternatives: dict[str, Parameter] = {}
    for option in (
        {"radius": "t_var"},
        {"doppler": "Gamma_theta"},
        {"normalisation": "u_e"},
        {"normalisation": "L_e"},
    ):
        if args.steady_state and "normalisation" in option:
            continue
        other = make_model(
            args.model,
            electrons=args.electrons,
            steady_state=args.steady_state,
            ec_frame=args.ec_frame,
            **option,
        )
        for name, p in other.params.items():
            if name not in model.params:
                alternatives[name] = p
    if alternatives:
        print("\nalternatives (setting one replaces R, delta_D or the normalisation):")
        _print_rows([header] + [_row(p) for p in alternatives.values()])
    return 0


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
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    run: Callable[[argparse.Namespace], int] = args.run

    def fail(message: str, status: int) -> int:
        print(f"{PROG} {args.command}: error: {message}", file=sys.stderr)
        return status

    try:
        return run(args)
    except (ParameterError, UsageError, BackendUnavailable) as error:
        return fail(str(error), 2)
    except ConvergenceError as error:
        return fail(str(error), 1)
    except OSError as error:
        return fail(f"{error.strerror or error}: {error.filename}", 2)
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        return fail(f"kernel stopped: {error}", 1)


if __name__ == "__main__":
    sys.exit(main())
