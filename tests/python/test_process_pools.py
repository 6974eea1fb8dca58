"""Stops cross process boundaries: PanicException pickles as itself, so that process pools
(multiprocessing, concurrent.futures, and the schedulers built on them) report a stop raised in a
worker instead of hanging or failing to pickle it."""

import copy
import pickle
from collections.abc import Callable
from functools import partial
from typing import Any

import pytest
from conftest import run_python

import sorvex

SLAB = partial(sorvex.rad_trans_slab, 1.0, [1.0], [])  # stops: a_nu is too short


def stopped(call: Callable[[], Any] = SLAB) -> BaseException:
    """The PanicException that `call` raises."""
    try:
        call()
    except BaseException as error:
        return error
    pytest.fail("the call did not stop")


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_a_stop_pickles_as_itself(protocol: int, panic_exception: type[BaseException]) -> None:
    error = stopped()
    restored = pickle.loads(pickle.dumps(error, protocol))
    assert type(restored) is panic_exception
    assert restored.args == error.args
    assert str(error).startswith("rad_trans_slab: ")
    assert str(restored) == str(error)
    assert type(copy.deepcopy(error)) is panic_exception


def test_the_class_is_found_where_it_says_it_lives_without_changing_the_module() -> None:
    # The module's attributes are its twelve functions, before and after the class exists.
    result = run_python(
        """
        import sorvex
        def public():
            return sorted(name for name in vars(sorvex) if not name.startswith("__"))
        before = public()
        found = sorvex.PanicException  # before any stop: created on first need
        try:
            sorvex.rad_trans_slab(1.0, [1.0], [])
        except BaseException as error:
            print(type(error) is found, found.__module__, found.__qualname__)
        same = before == public() == sorted(sorvex.__all__)
        print(same, len(before), "PanicException" in dir(sorvex))
        try:
            sorvex.gofbb
        except AttributeError as error:
            print(error, error.name, error.obj is sorvex)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "True sorvex PanicException",
        "True 12 False",
        "module 'sorvex' has no attribute 'gofbb' gofbb True",
    ]


# A stop raised in a worker process reaches the parent as PanicException with its message (the
# same as in this process), through submit and through map (the form that emcee and other
# samplers call). Before, it failed to pickle. The child gives up after a minute rather than hang.
POOL = """
import concurrent.futures, faulthandler, functools, multiprocessing, sorvex
faulthandler.dump_traceback_later(60, exit=True)
context = multiprocessing.get_context("{method}")
with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as executor:
    error = executor.submit(sorvex.rad_trans_slab, 1.0, [1.0], []).exception()
    print(type(error).__module__, type(error).__name__, *error.args)
    blob = functools.partial(sorvex.rad_trans_blob, 1.0, [1.0, 2.0])
    try:
        list(executor.map(blob, [[1.0, 1.0], []]))
    except BaseException as error:
        print(type(error).__module__, type(error).__name__, *error.args)
    print(list(executor.map(sorvex.bofg, [1.25])))
"""


@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_a_process_pool_reports_a_stop_in_a_worker(method: str) -> None:
    result = run_python(POOL.format(method=method), timeout=120)
    assert result.returncode == 0, result.stderr
    blob = stopped(partial(sorvex.rad_trans_blob, 1.0, [1.0, 2.0], []))
    assert result.stdout.splitlines() == [
        f"sorvex PanicException {stopped()}",
        f"sorvex PanicException {blob}",
        f"[{sorvex.bofg(1.25)!r}]",
    ]


@pytest.mark.parametrize("protocol", [0, pickle.HIGHEST_PROTOCOL])
def test_a_stop_of_the_kernels_module_pickles_into_a_fresh_process(protocol: int) -> None:
    # sorvexfit.kernels has a PanicException of its own (each native module links its own
    # binding); a fresh process finds it by importing the module that the class names.
    from sorvexfit import kernels

    assert kernels.PanicException is not sorvex.PanicException
    data = pickle.dumps(kernels.PanicException("kernels: stopped"), protocol)
    result = run_python(
        f"""
        import pickle
        error = pickle.loads({data!r})
        kind = type(error)
        print(kind.__module__, kind.__name__, *error.args, not issubclass(kind, Exception))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "sorvexfit.kernels PanicException kernels: stopped True"
