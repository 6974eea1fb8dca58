"""Writing files safely and saying what went wrong in one line.

- `atomic_path(path)` gives a temporary name beside `path` to write to, with a random token of
  its own (no two writers share one), and moves it onto `path` when the block ends, flushed to
  disk first: a file that exists is whole, whoever else writes the same path at the same time.
- `WriteError` is an OSError of the file system while writing a result (full, over quota,
  read-only, failing): the commands end with one line and `ExitCode.WRITE_FAILED`.
- `ensure_space(folder, size, what)` refuses a write that cannot fit before it starts.
- `first_line` and `os_error_text` turn an exception into the one line a command prints.
"""

from __future__ import annotations

import errno
import os
import resource
import shutil
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path

__all__ = [
    "NAME_MAX",
    "WriteError",
    "atomic_path",
    "ensure_space",
    "first_line",
    "fsync_folder",
    "os_error_text",
    "write_error",
]

NAME_MAX = 255  # bytes in one file name, on every file system in use


class WriteError(OSError):
    """The file system refused to write a result; `strerror` is the whole reason in words."""


def write_error(error: OSError, note: str = "", filename: object = None) -> WriteError:
    """`error` as a WriteError (kept if it is one), its reason and file (`filename` where it
    names none) followed by `note`."""
    if isinstance(error, WriteError) and not note:
        return error
    reason = error.strerror or (os.strerror(error.errno) if error.errno else first_line(error))
    where = error.filename if error.filename is not None else filename
    if not note:
        return WriteError(error.errno or errno.EIO, reason, where)
    return WriteError(error.errno or errno.EIO, f"{reason}{f': {where}' if where else ''}{note}")


def first_line(error: BaseException) -> str:
    """The first non-blank line of an error's message (its class name if it has none)."""
    lines = [line for line in str(error).strip().splitlines() if line.strip()]
    return lines[0] if lines else type(error).__name__


def os_error_text(error: OSError) -> str:
    """An OSError in one line: its reason, and the file where there is one."""
    reason = error.strerror or first_line(error)
    return f"{reason}: {error.filename}" if error.filename else reason


def _temporary_name(path: Path) -> Path:
    """A name beside `path` that no one else uses: `.NAME.TOKEN.tmpSUFFIX` (the suffix kept for
    writers that choose their format by it), NAME shortened to fit in NAME_MAX bytes."""
    suffix = path.suffix if len(path.suffix.encode()) <= 16 else ""
    tail = f".{uuid.uuid4().hex[:16]}.tmp{suffix}"
    room = NAME_MAX - 1 - len(tail.encode())
    name = path.name.encode()[:room].decode(errors="ignore")
    return path.with_name(f".{name}{tail}")


def fsync_folder(folder: Path) -> None:
    """Flushes a folder's entries (a rename in it) to disk, where the system allows it."""
    try:
        fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # some file systems cannot sync a folder; the rename itself is atomic
    finally:
        os.close(fd)


@contextmanager
def atomic_path(path: Path) -> Iterator[Path]:
    """A temporary path beside `path`, of this block alone (64 random bits in its name), to
    write to; moved onto `path` when the block ends (flushed to disk first: after a crash the
    file is either whole or absent). An OSError, in the block or in the move, is raised as a
    WriteError; the temporary file is removed whatever happens."""
    path = Path(path)
    temporary = _temporary_name(path)
    try:
        yield temporary
        with open(temporary, "rb") as written:
            os.fsync(written.fileno())
        os.replace(temporary, path)
        fsync_folder(path.parent)
    except OSError as error:
        raise write_error(error, filename=str(path)) from None
    finally:
        temporary.unlink(missing_ok=True)


def ensure_space(folder: Path, size: int, what: str) -> None:
    """WriteError (no space left) when `size` bytes, for `what`, will not fit in `folder`: its
    file system's free space for this user, and the size limit of a file (ulimit -f)."""
    try:
        free = shutil.disk_usage(folder).free
    except OSError:
        return  # nothing known: the write itself will tell
    if size > free:
        raise WriteError(
            errno.ENOSPC,
            f"No space left on device in {folder} for {what}: {_size(size)} needed,"
            f" {_size(free)} free",
        )
    limit, _ = resource.getrlimit(resource.RLIMIT_FSIZE)
    if limit != resource.RLIM_INFINITY and size > limit:
        raise WriteError(
            errno.EFBIG,
            f"File too large: {what} needs {_size(size)}, more than the file size limit"
            f" (ulimit -f) of {_size(limit)}",
        )


def _size(count: float) -> str:
    for unit in ("bytes", "kB", "MB", "GB"):
        if count < 1000.0 or unit == "GB":
            return f"{count:.0f} {unit}" if unit == "bytes" else f"{count:.1f} {unit}"
        count /= 1000.0
    return f"{count:.1f} TB"
