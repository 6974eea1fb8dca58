"""The function-table machinery beyond what sorvex uses (float64 views, array results, defaulted
parameters, the released interpreter lock, rejected input), through the test module
_table_probe that `make test` builds with the C++ tests."""

import array
import importlib.machinery
import importlib.util
import math
import pickle
import sys
import threading
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[2]


def load_probe() -> ModuleType:
    try:
        import _table_probe  # type: ignore[import-not-found]  # on the path under sanitize
    except ImportError:
        pass
    else:
        return _table_probe  # type: ignore[no-any-return]
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    path = ROOT / "build" / "cpp" / f"_table_probe{suffix}"
    if not path.exists():
        pytest.skip("_table_probe is built by `make test-cpp`")
    spec = importlib.util.spec_from_file_location("_table_probe", path)
    assert spec is not None
    assert spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules["_table_probe"] = module  # where pickle finds its PanicException
    return module


@pytest.fixture(scope="module")
def probe() -> ModuleType:
    return load_probe()


def test_signatures_show_the_defaults(probe: ModuleType) -> None:
    assert probe.__all__ == [
        "address",
        "scaled",
        "spin",
        "spin_locked",
        "sum_and_difference",
        "total",
    ]
    assert probe.scaled.__text_signature__ == "(x, factor=2.0, square=False)"
    assert probe.scaled.__doc__ == "factor * x, or factor * x**2."
    assert probe.scaled.__module__ == "_table_probe"


@pytest.mark.parametrize(
    ("call", "expected"),
    [
        (lambda s: s([1.0, -2.0]), [2.0, -4.0]),
        (lambda s: s([1.0, -2.0], 3), [3.0, -6.0]),
        (lambda s: s((1.0, -2.0), square=True), [2.0, 8.0]),
        (lambda s: s(x=range(3), square=True, factor=0.5), [0.0, 0.5, 2.0]),
        (lambda s: s([]), []),
    ],
)
def test_defaults_and_array_results(probe: ModuleType, call: Any, expected: list[float]) -> None:
    result = call(probe.scaled)
    assert type(result) is np.ndarray
    assert result.dtype == np.float64
    assert result.flags.c_contiguous
    assert result.flags.writeable
    assert result.tolist() == expected


@pytest.mark.parametrize(
    ("kwargs", "argument"),
    [
        ({"square": None}, "argument 'square'"),  # a default is not None
        ({"square": 1}, "argument 'square'"),
        ({"factor": "2"}, "argument 'factor'"),
        ({"x": "12"}, "argument 'x'"),
        ({"x": np.zeros(2), "y": 1}, "keyword argument 'y'"),
    ],
)
def test_argument_errors_name_the_argument(
    probe: ModuleType, kwargs: dict[str, Any], argument: str
) -> None:
    kwargs.setdefault("x", [1.0])
    with pytest.raises(TypeError, match=argument) as info:
        probe.scaled(**kwargs)
    assert type(info.value) is TypeError


VALUES = np.array([1.5, -0.0, math.inf, 5e-324])


@pytest.mark.parametrize(
    ("values", "viewed"),
    [
        (VALUES, True),
        (array.array("d", VALUES.tolist()), True),
        (memoryview(array.array("d", VALUES.tolist())), True),
        (bytearray(VALUES.tobytes()), False),  # bytes, not doubles: items are ints
        (VALUES[::2], False),  # strided
        (VALUES.astype(np.float32), False),
        (VALUES.tolist(), False),
    ],
)
def test_float64_buffers_are_viewed_in_place(probe: ModuleType, values: Any, viewed: bool) -> None:
    # Views and copies give the same values.
    assert probe.scaled(values, 1.0).tolist() == [float(v) for v in values]
    if viewed:
        address = np.frombuffer(values, dtype=np.float64).ctypes.data
        assert probe.address(values) == float(address)


def test_a_viewed_buffer_is_held_for_the_call_and_released(probe: ModuleType) -> None:
    values = array.array("d", [1.0, 2.0])
    probe.scaled(values)
    values.append(3.0)  # BufferError while an export is still held
    assert len(values) == 3


def test_pairs_become_tuples_of_arrays(probe: ModuleType) -> None:
    total, difference = probe.sum_and_difference(np.array([3.0, 1.0]), [1.0, 1.0])
    assert total.tolist() == [4.0, 2.0]
    assert difference.tolist() == [2.0, 0.0]


def test_rejected_input_is_a_value_error_without_report(
    probe: ModuleType, capfd: pytest.CaptureFixture[str]
) -> None:
    with pytest.raises(ValueError, match=r"^sum_and_difference: x "):
        probe.sum_and_difference([1.0], [1.0, 2.0])
    assert capfd.readouterr().err == ""


def test_a_stop_is_a_panic_exception_of_the_module(probe: ModuleType) -> None:
    with pytest.raises(BaseException, match=r"^total: values ") as info:
        probe.total([])
    assert type(info.value) is probe.PanicException
    assert probe.PanicException.__module__ == "_table_probe"
    restored = pickle.loads(pickle.dumps(info.value))
    assert type(restored) is probe.PanicException
    assert restored.args == info.value.args
    assert probe.total(np.arange(4.0)) == 6.0


class InterruptedBuffer:
    """Raises KeyboardInterrupt when asked for its buffer."""

    def __buffer__(self, flags: int) -> memoryview:
        raise KeyboardInterrupt

    def __len__(self) -> int:
        return 0

    def __getitem__(self, index: int) -> float:
        raise IndexError(index)


def test_an_interrupt_from_a_buffer_exporter_propagates(probe: ModuleType) -> None:
    with pytest.raises(KeyboardInterrupt):
        probe.scaled(InterruptedBuffer())


def test_calls_that_release_the_interpreter_lock_run_from_many_threads(
    probe: ModuleType,
) -> None:
    x = np.linspace(0.0, 1.0, 20_001)
    expected = (3.0 * (x * x)).tolist()
    failures: list[str] = []

    def worker() -> None:
        for _ in range(20):
            if probe.scaled(x, 3.0, True).tolist() != expected:
                failures.append("wrong values")

    threads = [threading.Thread(target=worker) for _ in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
