"""The options of a fit (`FitOptions`) and what identifies a fit (`identity`).

`FitOptions.model` is the model's frozen `ModelConfig` (or a kind, "ssc" or "ec", from which
one is configured for the names in `values`, with the fit's defaults of
`sorvexfit.fit.defaults`: R from t_var, EBL absorption); everything else is how to fit it.
"""

from __future__ import annotations

import hashlib
import json
from dataclasses import dataclass, fields
from pathlib import Path
from typing import Any

from ..config import ModelConfig, configure
from ..parameters import ParameterError
from .defaults import DEFAULT_EBL, RADIO_CHOICES

__all__ = ["METHODS", "FitOptions", "data_digest", "identity"]

METHODS = ("minuit", "mcmc")


@dataclass(frozen=True)
class FitOptions:
    """The options of `sorvexfit fit` (see `sorvexfit fit --help`). Picklable.

    model: a `ModelConfig`, or "ssc"/"ec" for the fit's default configuration of that kind
        (R = c t_var δ/(1+z) unless `values` sets R, EBL absorption of Dominguez et al. 2011);
    values: (NAME, VALUE) pairs to set before the fit (starting values and frozen values; the
        others start from the analytic starting point of the observed SED);
    free: the parameters to fit (None: the model's default free set); priors: "NAME=KIND:A:B";
    bounds: "NAME=LOW,HIGH" in place of the physical box of a free parameter;
    fit_range: "LOW,HIGH" observed frequencies or energies with units, either end may be empty;
    radio: the points below 1e11 Hz as "limits" (upper limits), "fit" or "ignore";
    starts, polish: the global stage's starts and how many of the best are polished (starts=1:
        the analytic start alone).
    """

    model: ModelConfig | str = "ssc"
    free: tuple[str, ...] | None = None
    values: tuple[tuple[str, str], ...] = ()
    method: str = "minuit"
    walkers: int = 32
    steps: int = 1000
    burn: int | None = None
    seed: int = 1
    resume: bool = False
    systematics: str = "default"
    priors: tuple[str, ...] = ()
    bounds: tuple[str, ...] = ()
    fit_range: str | None = None
    radio: str = "limits"
    starts: int = 64
    polish: int = 4
    minos: bool = False
    band_samples: int = 100
    progress: bool = False

    def __post_init__(self) -> None:
        if isinstance(self.model, str):
            names = [name for name, _ in self.values]
            config = configure(self.model, names, radius="t_var", ebl=DEFAULT_EBL)
            object.__setattr__(self, "model", config)
        elif not isinstance(self.model, ModelConfig):
            raise ParameterError(f"model: expected a ModelConfig or a kind, got {self.model!r}")
        self.check()

    @property
    def config(self) -> ModelConfig:
        assert isinstance(self.model, ModelConfig)
        return self.model

    def check(self) -> None:
        """The fit options alone (not the model's values): ParameterError."""
        if self.method not in METHODS:
            raise ParameterError(f"method: unknown method {self.method!r} (known: minuit, mcmc)")
        if self.radio not in RADIO_CHOICES:
            raise ParameterError(
                f"radio: unknown choice {self.radio!r} (known: {', '.join(RADIO_CHOICES)})"
            )
        for name, value, least in (
            ("starts", self.starts, 1),
            ("polish", self.polish, 1),
            ("walkers", self.walkers, 2),
            ("steps", self.steps, 1),
            ("seed", self.seed, 0),
            ("band_samples", self.band_samples, 0),
        ):
            if isinstance(value, bool) or not isinstance(value, int) or value < least:
                raise ParameterError(f"{name} = {value!r}: must be a whole number ≥ {least}")
        if self.burn is not None and not 0 <= self.burn < self.steps:
            raise ParameterError(f"burn = {self.burn!r}: must lie in 0..steps-1")

    def describe(self) -> dict[str, Any]:
        """The options as plain values (the model as its `describe()`)."""
        described = {f.name: getattr(self, f.name) for f in fields(self)}
        described["model"] = self.config.describe()
        return {k: list(v) if isinstance(v, tuple) else v for k, v in described.items()}


# Options that change how far a chain runs or what is reported of it, not which posterior it
# samples: a chain may be continued (--resume) with others.
_RUN_ONLY = ("steps", "burn", "band_samples", "minos", "starts", "polish")
# Options that change nothing of the result.
_NEITHER = ("resume", "progress")


def data_digest(path: str | Path) -> str:
    """The SHA-256 of a data file's bytes."""
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def identity(options: FitOptions, digest: str) -> dict[str, Any]:
    """What identifies a fit of the data file whose SHA-256 is `digest`, as plain values:
    "chain", what defines the posterior and the chain (the model, its values and free set,
    the data, the systematics, priors, range, method, walkers and seed: a chain is continued
    only under the same), and "run", the rest that shapes the result (steps, burn, band
    samples, minos, the global stage's starts). Two fits are the same when both parts are equal."""
    described = json.loads(json.dumps(options.describe()))  # plain lists, as stored
    chain = {k: v for k, v in described.items() if k not in _RUN_ONLY + _NEITHER}
    chain["data_sha256"] = digest
    run = {k: described[k] for k in _RUN_ONLY}
    return {"chain": chain, "run": run}
