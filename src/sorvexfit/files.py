"""Writing files safely and saying what went wrong in one line.

`atomic_path(path)` gives a temporary name beside `path` to write to and moves it into place
when the block ends, so that a file that exists is whole. `first_line` and `os_error_text`
turn an exception into the one line a command prints.
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

__all__ = ["atomic_path", "first_line", "os_error_text"]


def first_line(error: BaseException) -> str:
    """The first non-blank line of an error's message (its class name if it has none)."""
    lines = [line for line in str(error).strip().splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def os_error_text(error: OSError) -> str:
    """An OSError in one line: its reason, and the file where there is one."""
    reason = error.strerror or first_line(error)
    return f"{reason}: {error.filename}" if error.filename else reason


@contextmanager
def atomic_path(path: Path) -> Iterator[Path]:
    """A temporary path beside `path` to write to; moved onto `path` when the block ends
    (flushed to disk first: after a crash the file is either whole or absent)."""
    temporary = path.with_name(f".{path.name}.tmp{path.suffix}")
    try:
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
    finally:
        if temporary.exists():
            temporary.unlink()
