"""Named model parameters with units, bounds, frozen flags and optional log10 forms.

A model keeps its numbers in a `Parameters` mapping of `Parameter` objects. Values are stored
as plain floats in the parameter's own unit, so the evaluation path never touches astropy;
`astropy.units.Quantity` (and strings such as "1e16 cm") are converted once, when a value is
set. A fit works on the free parameters in their fit form (log10 where a parameter says so):
`vector()` and `vector_bounds()` give them, and `values_at(x)` the values of every parameter
at a point x of that space, checked, without changing anything (`set_vector(x)` sets them).

Every bad value raises `ParameterError` with one line that names the parameter.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field, replace
from typing import Any

import numpy as np

__all__ = ["Parameter", "ParameterError", "Parameters", "to_float"]


class ParameterError(ValueError):
    """A bad parameter name or value; the message is one line that names the parameter."""


def _fmt(value: float) -> str:
    return f"{value:g}"


def to_float(name: str, value: Any, unit: str) -> float:
    """`value` (a number, a Quantity or a string such as "0.1 G") as a float in `unit`."""
    if isinstance(value, str):
        text = value.strip()
        try:
            return float(text)
        except ValueError:
            pass
        from astropy import units as u

        try:
            value = u.Quantity(text)
        except (TypeError, ValueError):
            raise ParameterError(f"{name}: {text!r} is not a number") from None
    if hasattr(value, "unit") and hasattr(value, "to_value"):
        from astropy import units as u

        try:
            converted = value.to_value(u.Unit(unit), equivalencies=u.spectral())
        except u.UnitsError:
            target = unit or "dimensionless"
            raise ParameterError(f"{name}: cannot convert {value} to {target}") from None
        if np.ndim(converted) != 0:
            raise ParameterError(f"{name}: expected one value, got an array")
        return float(converted)
    if isinstance(value, bool) or not isinstance(value, (int, float, np.floating, np.integer)):
        raise ParameterError(f"{name}: {value!r} is not a number")
    return float(value)


@dataclass
class Parameter:
    """One named number of a model.

    value, min and max are in `unit` (an astropy unit string, "" for dimensionless numbers).
    min and max are hard limits: a value outside them is rejected. `frozen` parameters are left
    out of a fit; `log10` asks a fit to work with log10(value).
    """

    name: str
    value: float
    unit: str = ""
    min: float = -math.inf
    max: float = math.inf
    frozen: bool = False
    log10: bool = False
    description: str = ""

    def __post_init__(self) -> None:
        if self.log10 and not self.min > 0.0:
            raise ValueError(f"{self.name}: a log10 parameter needs a positive lower bound")
        self.value = self.check(self.value)

    def _with_unit(self, value: float) -> str:
        return f"{_fmt(value)} {self.unit}".rstrip()

    def check(self, value: Any) -> float:
        """The value as a float in the parameter's unit, or ParameterError."""
        number = to_float(self.name, value, self.unit)
        if not math.isfinite(number):
            raise ParameterError(f"{self.name} = {number}: must be a finite number")
        if number < self.min or number > self.max:
            if self.min == 0.0 and number < 0.0:
                reason = "must not be negative"
            elif self.min > 0.0 and number <= 0.0:
                reason = "must be positive"
            else:
                reason = f"outside [{_fmt(self.min)}, {_fmt(self.max)}] {self.unit}".rstrip()
            raise ParameterError(f"{self.name} = {self._with_unit(number)}: {reason}")
        return number

    def set(self, value: Any) -> None:
        self.value = self.check(value)

    @property
    def bounds(self) -> tuple[float, float]:
        return (self.min, self.max)

    @property
    def quantity(self) -> Any:
        """The value as an astropy Quantity."""
        from astropy import units as u

        return self.value * u.Unit(self.unit)

    # The form a fit works with: log10(value) for log10 parameters, the value otherwise.
    @property
    def internal(self) -> float:
        return math.log10(self.value) if self.log10 else self.value

    def from_internal(self, x: float) -> float:
        return 10.0**x if self.log10 else x

    @property
    def internal_bounds(self) -> tuple[float, float]:
        if self.log10:
            return (math.log10(self.min), math.log10(self.max))
        return (self.min, self.max)


@dataclass
class Parameters(Mapping[str, Parameter]):
    """An ordered, dict-like set of parameters: `params["B"].value`, `params.set(B=0.3)`.

    `order` lists pairs (a, b) that must satisfy value(a) < value(b), such as
    ("gamma_min", "gamma_max"); `set` checks them after the new values are in place, and
    leaves every value unchanged if any check fails.
    """

    items_: dict[str, Parameter] = field(default_factory=dict)
    order: list[tuple[str, str]] = field(default_factory=list)
    model: str = "model"

    @classmethod
    def of(
        cls, params: Iterable[Parameter], order: Iterable[tuple[str, str]] = (), model: str = ""
    ) -> Parameters:
        items = {p.name: p for p in params}
        pairs = [(a, b) for a, b in order if a in items and b in items]
        return cls(items, pairs, model or "model")

    def __getitem__(self, name: str) -> Parameter:
        try:
            return self.items_[name]
        except KeyError:
            raise ParameterError(self._unknown(name)) from None

    def __contains__(self, name: object) -> bool:
        return name in self.items_

    def __iter__(self) -> Iterator[str]:
        return iter(self.items_)

    def __len__(self) -> int:
        return len(self.items_)

    def __repr__(self) -> str:
        inside = ", ".join(f"{k}={p.value:g}" for k, p in self.items_.items())
        return f"Parameters({inside})"

    def _unknown(self, name: str) -> str:
        return f"unknown parameter {name!r} for {self.model} (known: {', '.join(self.items_)})"

    def as_dict(self) -> dict[str, float]:
        """Every value as a plain float, by name (the evaluation path reads this)."""
        return {name: p.value for name, p in self.items_.items()}

    def check_order(self, values: Mapping[str, float]) -> None:
        for a, b in self.order:
            if not values[a] < values[b]:
                pa, pb = self.items_[a], self.items_[b]
                raise ParameterError(
                    f"{a} = {pa._with_unit(values[a])} must be below {b} = "
                    f"{pb._with_unit(values[b])}"
                )

    def set(self, **values: Any) -> None:
        """Sets several values at once (numbers, Quantities or strings); all or none."""
        new = self.as_dict()
        for name, value in values.items():
            new[name] = self[name].check(value)
        self.check_order(new)
        for name in values:
            self.items_[name].value = new[name]

    def freeze(self, *names: str) -> None:
        for name in names:
            self[name].frozen = True

    def thaw(self, *names: str) -> None:
        for name in names:
            self[name].frozen = False

    @property
    def free(self) -> list[str]:
        return [name for name, p in self.items_.items() if not p.frozen]

    def vector(self) -> np.ndarray:
        """The free parameters in their fit form (log10 where asked)."""
        return np.array([self.items_[name].internal for name in self.free])

    def vector_bounds(self) -> list[tuple[float, float]]:
        return [self.items_[name].internal_bounds for name in self.free]

    def values_at(self, x: Iterable[float]) -> dict[str, float]:
        """Every value, with the free parameters taken from `x` in their fit form; checked
        (bounds and order: ParameterError), and nothing changed."""
        names = self.free
        point = [float(v) for v in x]
        if len(point) != len(names):
            raise ParameterError(f"expected {len(names)} values for {names}, got {len(point)}")
        values = self.as_dict()
        for name, v in zip(names, point, strict=True):
            p = self.items_[name]
            values[name] = p.check(p.from_internal(v))
        self.check_order(values)
        return values

    def set_vector(self, x: Iterable[float]) -> None:
        """Sets the free parameters from their fit form (the inverse of `vector`)."""
        values = self.values_at(x)
        for name in self.free:
            self.items_[name].value = values[name]

    def copy(self) -> Parameters:
        return Parameters(
            {k: replace(p) for k, p in self.items_.items()}, list(self.order), self.model
        )
