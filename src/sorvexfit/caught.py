"""The warnings and log lines of the libraries a fit calls (NumPy's overflow RuntimeWarnings
at the edges of the parameter space, corner's "Too few points to create valid contours" for a
short chain, emcee's notes), caught while the fit runs and told in one line.

`catch_noise()` yields a `Noise`; its `summary()` is that line ("" when nothing was caught):
each distinct message once, with where it came from and how often. Blocks may run in several
threads at once: a block catches what its own thread raises (into its innermost block); the
warnings and root-logger lines of other threads go on to where they went before.
"""

from __future__ import annotations

import logging
import threading
import warnings
from collections import Counter
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any, TextIO

__all__ = ["Noise", "catch_noise"]

_TEXT_LIMIT = 100  # characters of a message in the summary


class Noise:
    """What a block caught: (message, origin) → count."""

    def __init__(self) -> None:
        self.counts: Counter[tuple[str, str]] = Counter()

    def add(self, text: str, origin: str) -> None:
        lines = [line.strip() for line in text.strip().splitlines() if line.strip()]
        first = lines[0] if lines else "(empty)"
        if len(first) > _TEXT_LIMIT:
            first = first[: _TEXT_LIMIT - 1] + "…"
        self.counts[(first, origin)] += 1

    def summary(self) -> str:
        return "; ".join(
            f"{text} ({origin}, {n} time{'s' if n > 1 else ''})"
            for (text, origin), n in self.counts.most_common()
        )


_lock = threading.Lock()
_blocks: dict[int, list[Noise]] = {}
_saved: dict[str, Any] = {}


def _deliver(thread: int | None, text: str, origin: str) -> bool:
    """Adds to the block of `thread`; False if it has none."""
    with _lock:
        stack = _blocks.get(thread) if thread is not None else None
        if stack:
            stack[-1].add(text, origin)
        return bool(stack)


def _show(
    message: Warning | str,
    category: type[Warning],
    filename: str,
    lineno: int,
    file: TextIO | None = None,
    line: str | None = None,
) -> None:
    origin = f"{category.__name__}, {Path(filename).parent.name}"
    if not _deliver(threading.get_ident(), str(message), origin):
        show = _saved.get("showwarning", warnings.showwarning)  # the block may have ended
        if show is not _show:
            show(message, category, filename, lineno, file, line)


class _Recorder(logging.Handler):
    def emit(self, record: logging.LogRecord) -> None:
        source = record.name if record.name != "root" else Path(record.pathname).parent.name
        if not _deliver(record.thread, record.getMessage(), f"log of {source}"):
            for handler in _saved.get("handlers") or [logging.lastResort]:
                if handler is not None and record.levelno >= handler.level:
                    handler.handle(record)


@contextmanager
def catch_noise() -> Iterator[Noise]:
    """Records warnings and root-logger lines while the block runs (module documentation)."""
    noise = Noise()
    thread = threading.get_ident()
    with _lock:
        if not _blocks:
            guard = warnings.catch_warnings()
            showwarning = warnings.showwarning
            guard.__enter__()
            warnings.simplefilter("always")
            warnings.showwarning = _show
            root = logging.getLogger()
            _saved.update(guard=guard, handlers=root.handlers[:], showwarning=showwarning)
            root.handlers = [_Recorder(logging.WARNING)]
        _blocks.setdefault(thread, []).append(noise)
    try:
        yield noise
    finally:
        with _lock:
            stack = _blocks[thread]
            stack.remove(noise)
            if not stack:
                del _blocks[thread]
            if not _blocks:
                logging.getLogger().handlers = _saved.pop("handlers")
                _saved.pop("guard").__exit__(None, None, None)
                _saved.clear()
