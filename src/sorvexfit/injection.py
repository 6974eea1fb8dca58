"""Injection that changes in time: a factor f(t) on the blob's injection Q(γ).

Times are in units of the initial light-crossing time R0/c, in the blob frame (like t_esc and
t_acc). The text forms, for the command line (`parse_injection`):

    constant                              f = 1
    step:t0=T,factor=F                    f = 1 before T, F from T on
    pulse:t0=T,width=W,amplitude=A        f = 1 + A exp(-(t - T)^2 / (2 W^2))
    table:FILE                            f interpolated linearly in a two-column table of
                                          times and factors, held at its end values

A time is a plain number (units of R0/c, blob frame) or a number with a unit of time (`2h`,
`1.5 d`, `3000 s`), which is then an observed time, converted by t' = t δ/(1+z). A table's
times are plain numbers unless a comment line `# unit: h` (any unit of time) says they are
observed times in that unit. The steady state before the flare is that of the base level
(`Injection.base`: 1, or the table's first factor).
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import ClassVar

import numpy as np

from .parameters import ParameterError, to_float

__all__ = [
    "Constant",
    "Injection",
    "Pulse",
    "Step",
    "Table",
    "TimeScale",
    "parse_injection",
    "read_table",
]

# Inside ±PULSE_REACH widths of a pulse, steps are at most half a width (outside it the pulse
# adds less than 4e-6 of its amplitude).
PULSE_REACH = 5.0


@dataclass(frozen=True)
class TimeScale:
    """Blob time in units of R0/c, and the observer's clock: t_obs = t' (1+z)/δ."""

    light_crossing: float  # R0/c, s
    doppler: float
    redshift: float

    def observed(self, t_units: np.ndarray | float) -> np.ndarray:
        """Observed time (s) of blob times in units of R0/c."""
        return np.asarray(t_units, dtype=float) * (
            self.light_crossing * (1.0 + self.redshift) / self.doppler
        )

    def units(self, name: str, text: str | float) -> float:
        """A time in units of R0/c: a plain number as it is, a number with a unit of time as
        an observed time (ParameterError naming `name` otherwise)."""
        if not isinstance(text, str):
            return to_float(name, text, "")
        text = text.strip()
        try:
            return float(text)
        except ValueError:
            pass
        seconds = to_float(name, text, "s")
        return seconds * self.doppler / ((1.0 + self.redshift) * self.light_crossing)


def _plain(name: str, text: str | float) -> float:
    """A time that must be a plain number (no scale known)."""
    try:
        return float(text)
    except ValueError:
        raise ParameterError(f"{name}: {text!r} is not a number") from None


class Injection:
    """The factor f(t) on the base injection (t in units of R0/c, blob frame)."""

    kind: ClassVar[str] = ""

    @property
    def base(self) -> float:
        """The level before the flare, whose steady state the flare starts from."""
        return 1.0

    def factor(self, t: np.ndarray | float) -> np.ndarray:
        raise NotImplementedError

    def integral(self, t: float) -> float:
        """∫_0^t f dt' (negative for t < 0)."""
        raise NotImplementedError

    def mean(self, t0: float, t1: float) -> float:
        """f averaged over [t0, t1] (exact: a step injects exactly what the profile does)."""
        if t1 <= t0:
            return float(self.factor(t0))
        return (self.integral(t1) - self.integral(t0)) / (t1 - t0)

    def max_step(self, t: float) -> float:
        """The longest step allowed at time t (the profile's own time scale)."""
        return math.inf

    def breaks(self) -> tuple[float, ...]:
        """Times a step must end on (where f has a jump or a kink)."""
        return ()

    def text(self) -> str:
        """The text form (`parse_injection` reads it back)."""
        raise NotImplementedError


@dataclass(frozen=True)
class Constant(Injection):
    kind: ClassVar[str] = "constant"

    def factor(self, t: np.ndarray | float) -> np.ndarray:
        return np.ones_like(np.asarray(t, dtype=float))

    def integral(self, t: float) -> float:
        return t

    def text(self) -> str:
        return "constant"


@dataclass(frozen=True)
class Step(Injection):
    """f = 1 before t0, `factor` from t0 on."""

    t0: float
    factor_after: float
    kind: ClassVar[str] = "step"

    def __post_init__(self) -> None:
        _finite("t0", self.t0)
        if not (math.isfinite(self.factor_after) and self.factor_after >= 0.0):
            raise ParameterError(f"injection: factor = {self.factor_after:g}: must be >= 0")

    def factor(self, t: np.ndarray | float) -> np.ndarray:
        return np.where(np.asarray(t, dtype=float) < self.t0, 1.0, self.factor_after)

    def _antiderivative(self, t: float) -> float:
        return t if t <= self.t0 else self.t0 + (t - self.t0) * self.factor_after

    def integral(self, t: float) -> float:
        return self._antiderivative(t) - self._antiderivative(0.0)

    def mean(self, t0: float, t1: float) -> float:
        if t1 <= t0:
            return float(self.factor(t0))
        before = max(0.0, min(t1, self.t0) - t0)
        after = (t1 - t0) - before
        return (before + after * self.factor_after) / (t1 - t0)

    def breaks(self) -> tuple[float, ...]:
        return (self.t0,)

    def text(self) -> str:
        return f"step:t0={self.t0:.17g},factor={self.factor_after:.17g}"


@dataclass(frozen=True)
class Pulse(Injection):
    """f = 1 + amplitude exp(-(t - t0)² / (2 width²)): a Gaussian pulse on the base level."""

    t0: float
    width: float
    amplitude: float
    kind: ClassVar[str] = "pulse"

    def __post_init__(self) -> None:
        _finite("t0", self.t0)
        if not (math.isfinite(self.width) and self.width > 0.0):
            raise ParameterError(f"injection: width = {self.width:g}: must be positive")
        if not (math.isfinite(self.amplitude) and self.amplitude >= -1.0):
            raise ParameterError(
                f"injection: amplitude = {self.amplitude:g}: must be >= -1 (f stays >= 0)"
            )

    def factor(self, t: np.ndarray | float) -> np.ndarray:
        x = (np.asarray(t, dtype=float) - self.t0) / self.width
        result: np.ndarray = 1.0 + self.amplitude * np.exp(-0.5 * x * x)
        return result

    def integral(self, t: float) -> float:
        scale = math.sqrt(2.0) * self.width
        area = self.amplitude * self.width * math.sqrt(math.pi / 2.0)
        return t + area * (math.erf((t - self.t0) / scale) - math.erf(-self.t0 / scale))

    def max_step(self, t: float) -> float:
        if abs(t - self.t0) < (PULSE_REACH + 0.5) * self.width:
            return 0.5 * self.width
        return math.inf

    def breaks(self) -> tuple[float, ...]:
        # The window's start, so that a long step does not jump over the pulse.
        return (self.t0 - PULSE_REACH * self.width,)

    def text(self) -> str:
        return f"pulse:t0={self.t0:.17g},width={self.width:.17g},amplitude={self.amplitude:.17g}"


@dataclass(frozen=True)
class Table(Injection):
    """f interpolated linearly between (times, factors), held at the end values."""

    times: tuple[float, ...]
    factors: tuple[float, ...]
    source: str = field(default="", compare=False)
    kind: ClassVar[str] = "table"

    def __post_init__(self) -> None:
        t = np.asarray(self.times, dtype=float)
        f = np.asarray(self.factors, dtype=float)
        where = f" ({self.source})" if self.source else ""
        if t.ndim != 1 or t.shape != f.shape or t.size < 2:
            raise ParameterError(f"injection: a table needs at least 2 rows of time, factor{where}")
        if not (np.all(np.isfinite(t)) and np.all(np.isfinite(f))):
            raise ParameterError(f"injection: the table has a value that is not finite{where}")
        if np.any(np.diff(t) <= 0.0):
            row = int(np.argmax(np.diff(t) <= 0.0)) + 2
            raise ParameterError(
                f"injection: table times must increase strictly (row {row}: "
                f"{t[row - 1]:g} after {t[row - 2]:g}){where}"
            )
        if np.any(f < 0.0):
            row = int(np.argmax(f < 0.0)) + 1
            raise ParameterError(f"injection: table factor {f[row - 1]:g} < 0 (row {row}){where}")
        # Cumulative integral at the knots (trapezoids: exact for the linear interpolant).
        cumulative = np.concatenate([[0.0], np.cumsum(0.5 * np.diff(t) * (f[1:] + f[:-1]))])
        object.__setattr__(self, "_t", t)
        object.__setattr__(self, "_f", f)
        object.__setattr__(self, "_c", cumulative)

    @property
    def base(self) -> float:
        return float(self.factors[0])

    def factor(self, t: np.ndarray | float) -> np.ndarray:
        return np.interp(np.asarray(t, dtype=float), self._t, self._f)  # type: ignore[attr-defined]

    def _from_first(self, t: float) -> float:
        """∫ f from the first knot to t."""
        knots: np.ndarray = self._t  # type: ignore[attr-defined]
        values: np.ndarray = self._f  # type: ignore[attr-defined]
        cumulative: np.ndarray = self._c  # type: ignore[attr-defined]
        if t <= knots[0]:
            return float((t - knots[0]) * values[0])
        if t >= knots[-1]:
            return float(cumulative[-1] + (t - knots[-1]) * values[-1])
        k = int(np.searchsorted(knots, t, side="right")) - 1
        at = float(np.interp(t, knots, values))
        return float(cumulative[k] + 0.5 * (t - knots[k]) * (values[k] + at))

    def integral(self, t: float) -> float:
        return self._from_first(t) - self._from_first(0.0)

    def breaks(self) -> tuple[float, ...]:
        return tuple(float(x) for x in self.times)

    def text(self) -> str:
        return f"table:{self.source}" if self.source else "table"


def _finite(name: str, value: float) -> None:
    if not math.isfinite(value):
        raise ParameterError(f"injection: {name} = {value}: must be finite")


def _fields(kind: str, body: str, expected: tuple[str, ...]) -> dict[str, str]:
    fields: dict[str, str] = {}
    for item in body.split(","):
        name, sep, value = item.partition("=")
        name, value = name.strip(), value.strip()
        if not sep or not name or not value:
            raise ParameterError(
                f"injection: expected {kind}:{','.join(f'{e}=...' for e in expected)},"
                f" got {kind}:{body}"
            )
        if name not in expected:
            raise ParameterError(
                f"injection: unknown field {name!r} of {kind} (fields: {', '.join(expected)})"
            )
        if name in fields:
            raise ParameterError(f"injection: {kind} field {name!r} given twice")
        fields[name] = value
    missing = [e for e in expected if e not in fields]
    if missing:
        raise ParameterError(f"injection: {kind} needs {', '.join(missing)}")
    return fields


TimeReader = Callable[[str, str], float]


def parse_injection(text: str, time: TimeReader | None = None) -> Injection:
    """The injection of its text form (module documentation). `time(name, text)` turns a time
    into units of R0/c (`TimeScale.units`); without it times must be plain numbers."""
    read = time if time is not None else _plain
    kind, _, body = text.strip().partition(":")
    kind = kind.strip().lower()
    if kind in ("constant", "none") and not body.strip():
        return Constant()
    if kind == "step":
        f = _fields("step", body, ("t0", "factor"))
        return Step(read("injection t0", f["t0"]), to_float("injection factor", f["factor"], ""))
    if kind == "pulse":
        f = _fields("pulse", body, ("t0", "width", "amplitude"))
        return Pulse(
            read("injection t0", f["t0"]),
            read("injection width", f["width"]),
            to_float("injection amplitude", f["amplitude"], ""),
        )
    if kind == "table":
        if not body.strip():
            raise ParameterError("injection: expected table:FILE")
        return read_table(Path(body.strip()), read)
    raise ParameterError(
        f"injection: unknown form {text.strip()!r} (known: constant, step:t0=..,factor=..,"
        " pulse:t0=..,width=..,amplitude=.., table:FILE)"
    )


def read_table(path: Path, time: TimeReader | None = None) -> Table:
    """A `Table` from a text file of two columns, time and factor (whitespace or commas;
    `#` starts a comment; `# unit: h` makes the times observed times in that unit)."""
    read = time if time is not None else _plain
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as error:
        raise ParameterError(f"injection: cannot read {path}: {error.strerror or error}") from None
    except UnicodeDecodeError:
        raise ParameterError(f"injection: {path} is not a text file") from None
    unit = ""
    times: list[float] = []
    factors: list[float] = []
    for number, raw in enumerate(text.splitlines(), start=1):
        line, _, comment = raw.partition("#")
        key, sep, value = comment.partition(":")
        if sep and key.strip().lower() == "unit":
            unit = value.strip()
        cells = line.replace(",", " ").split()
        if not cells:
            continue
        if len(cells) != 2:
            raise ParameterError(
                f"injection: {path}: line {number}: expected time and factor, got {line.strip()!r}"
            )
        try:
            t, f = float(cells[0]), float(cells[1])
        except ValueError:
            raise ParameterError(
                f"injection: {path}: line {number}: not numbers: {line.strip()!r}"
            ) from None
        times.append(read("injection table time", f"{t!r} {unit}") if unit else t)
        factors.append(f)
    return Table(tuple(times), tuple(factors), source=str(path))
