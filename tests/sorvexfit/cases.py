"""Models shared by the sorvexfit tests."""

from __future__ import annotations

from typing import Any

import numpy as np

import sorvexfit


def thin_ssc_model(**options: Any) -> sorvexfit.BlobModel:
    """Power-law electrons, synchrotron optically thin over the whole grid."""
    model = sorvexfit.BlobModel(
        "power_law", components=("syn", "ssc", "ec"), nu_range=(1e10, 1e28), n_nu=61, **options
    )
    model.set(p=2.5, gamma_min=10, gamma_max=1e6, n_e=1e-3, B=0.01, delta_D=10, z=0.1)
    return model


def relevant(values: np.ndarray, level: float = 1e-6) -> np.ndarray:
    """Where νF_ν exceeds `level` of its peak."""
    return values > level * values.max()
