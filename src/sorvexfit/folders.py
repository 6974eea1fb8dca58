"""Result folders: what `--out` may be, the names of the sources' folders, one run at a time
per folder, and a new result that replaces the old one only when it is whole.

- `check_out(path, label)`: a folder that is named (not ""), is a folder (or can be made one)
  and can be written, checked before any work: ParameterError naming `label` otherwise.
- `folder_name(source)`: the folder of a source inside `fit-many`'s --out, by one rule. The
  name itself when it is plain: ASCII letters, digits and `- _ . +`, not starting with a dot
  (so never `.` or `..`, nor hidden), at most 100 bytes, and not one of the run's own names
  (`summary.ecsv`, in any case). Any other name is made plain (each other character and each
  leading dot becomes `_`), cut to 87 characters, and given `-` and the first 12 hex digits
  of the SHA-256 of the whole name, so that two names keep two folders.
- `FolderLock(folder)`: the lock of a run on `folder`: `.sorvexfit/lock` inside it, held with
  flock(2) (released by the kernel when its process ends, however it ends) and holding the
  owner's process id and host. A second run is refused (`FolderBusy`) or, with `wait`, polls
  until the first one is done. The lock file is removed by its owner on release.
- `ResultFolder(out)`: a fit's files are built in `.sorvexfit/unfinished/` and moved into `out`
  only when all are written (`publish`): result.ecsv last, and the files of an earlier result
  that this one does not have (chain.h5, corner.png after a least-squares re-run) removed. The
  set of new files is recorded first (`unfinished/complete`), so that a publish cut short is
  finished by the next run. A fit that ends early leaves the previous result as it was; its
  chain (whole steps) stays in `unfinished/chain.h5`, where --resume continues it.
"""

from __future__ import annotations

import contextlib
import ctypes
import errno
import fcntl
import hashlib
import json
import os
import shutil
import socket
import time
from collections.abc import Callable
from pathlib import Path
from types import TracebackType

from .files import atomic_path, fsync_folder, write_error
from .parameters import ParameterError

__all__ = [
    "PRIVATE",
    "RESERVED",
    "RESULT_FILES",
    "FolderBusy",
    "FolderLock",
    "ResultFolder",
    "WaitStopped",
    "check_out",
    "exchange",
    "folder_name",
]

PRIVATE = ".sorvexfit"  # the runs' own folder inside --out
LOCK = "lock"
UNFINISHED = "unfinished"
COMPLETE = "complete"
RESULT_FILES = ("chain.h5", "corner.png", "sed.png", "result.ecsv")  # published in this order
RESERVED = ("summary.ecsv",)  # names a source's folder may not take
NAME_BYTES = 100
CUT = 87
POLL_SECONDS = 0.2

_PLAIN = frozenset("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.+")


class FolderBusy(Exception):
    """Another run holds the folder's lock."""


class WaitStopped(Exception):
    """A stop request (SIGINT, SIGTERM) came while waiting for a folder's lock."""


def check_out(path: str | Path, label: str = "out_dir") -> Path:
    """The result folder `path`, checked before any work (module documentation)."""
    if not str(path).strip():
        raise ParameterError(f"{label}: an empty path; name the folder the results go to")
    out = Path(path)
    existing = out
    while not existing.exists():
        if existing.is_symlink():
            raise ParameterError(f"{label} {out}: {existing} is a broken symbolic link")
        parent = existing.parent
        if parent == existing:
            break
        existing = parent
    if not existing.is_dir():
        what = "is not a folder" if existing == out else f"cannot be made: {existing} is a file"
        raise ParameterError(f"{label} {out}: {what}")
    try:
        read_only = bool(os.statvfs(existing).f_flag & os.ST_RDONLY)
    except OSError:
        read_only = False
    if read_only or not os.access(existing, os.W_OK | os.X_OK):
        why = "read-only file system" if read_only else "permission denied"
        place = "this folder" if existing == out else f"{existing}"
        raise ParameterError(f"{label} {out}: {place} cannot be written ({why})")
    return out


def folder_name(name: str) -> str:
    """The folder of the source `name` (module documentation)."""
    plain = (
        bool(name)
        and set(name) <= _PLAIN
        and not name.startswith(".")
        and len(name.encode()) <= NAME_BYTES
        and name.casefold() not in RESERVED
    )
    if plain:
        return name
    stripped = name.lstrip(".")
    body = "_" * (len(name) - len(stripped)) + "".join(c if c in _PLAIN else "_" for c in stripped)
    digest = hashlib.sha256(name.encode("utf-8", "surrogateescape")).hexdigest()[:12]
    return f"{body[:CUT]}-{digest}"


# ---------------------------------------------------------------------------------------------
# The lock


class FolderLock:
    """The lock of one run on `folder` (module documentation); a context manager."""

    def __init__(
        self, folder: Path, *, wait: bool = False, stop: Callable[[], bool] | None = None
    ) -> None:
        self.folder = Path(folder)
        self.private = self.folder / PRIVATE
        self.path = self.private / LOCK
        self.wait = wait
        self.stop = stop
        self.fd: int | None = None

    def acquire(self) -> FolderLock:
        while True:
            try:
                self.private.mkdir(exist_ok=True)
            except OSError as error:
                raise write_error(error) from None
            try:
                fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
            except FileNotFoundError:  # its owner removed the folder on release: once more
                continue
            except OSError as error:
                raise write_error(error) from None
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                owner = os.pread(fd, 200, 0).decode(errors="replace").strip()
                os.close(fd)
                if not self.wait:
                    raise FolderBusy(
                        f"{self.folder}: another run ({_owner(owner)}) is writing into this"
                        " folder; wait for it with --wait, or choose another --out"
                    ) from None
                if self.stop is not None and self.stop():
                    raise WaitStopped(
                        f"stopped while waiting for {self.folder} ({_owner(owner)})"
                    ) from None
                time.sleep(POLL_SECONDS)
                continue
            except OSError as error:
                os.close(fd)
                raise write_error(error, " (cannot lock the folder)") from None
            try:
                same = os.path.samestat(os.fstat(fd), os.stat(self.path))
            except FileNotFoundError:
                same = False
            if not same:  # locked a file its owner had just removed
                os.close(fd)
                continue
            os.ftruncate(fd, 0)
            os.pwrite(fd, f"{os.getpid()} {socket.gethostname()}\n".encode(), 0)
            self.fd = fd
            return self

    def release(self) -> None:
        if self.fd is None:
            return
        try:
            self.path.unlink(missing_ok=True)  # while held: no one can take the old file
        finally:
            os.close(self.fd)
            self.fd = None
        with contextlib.suppress(OSError):  # when nothing else of a run is left in it
            self.private.rmdir()

    def __enter__(self) -> FolderLock:
        return self.acquire()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        self.release()


def _owner(text: str) -> str:
    pid, _, host = text.partition(" ")
    if not pid:
        return "a process that has not written its id yet"
    return f"process {pid}" + (f" on {host}" if host and host != socket.gethostname() else "")


# ---------------------------------------------------------------------------------------------
# Swapping folders


_RENAME_EXCHANGE = 2
_AT_FDCWD = -100


def exchange(a: Path, b: Path) -> bool:
    """Swaps two folders in one step (Linux renameat2 with RENAME_EXCHANGE); False where the
    system or the file system cannot."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    renameat2.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_int, ctypes.c_char_p]
    renameat2.argtypes += [ctypes.c_uint]
    renameat2.restype = ctypes.c_int
    if renameat2(_AT_FDCWD, os.fsencode(a), _AT_FDCWD, os.fsencode(b), _RENAME_EXCHANGE) == 0:
        return True
    code = ctypes.get_errno()
    if code in (errno.ENOSYS, errno.EINVAL, errno.ENOTSUP, errno.EOPNOTSUPP):
        return False
    raise OSError(code, os.strerror(code), str(a), None, str(b))


# ---------------------------------------------------------------------------------------------
# A fit's result folder


class ResultFolder:
    """A fit's folder while it runs: locked, its new result built apart (module
    documentation). Use as a context manager; `work` is where the stages write."""

    def __init__(
        self, out: Path, *, wait: bool = False, stop: Callable[[], bool] | None = None
    ) -> None:
        self.out = Path(out)
        self.lock = FolderLock(self.out, wait=wait, stop=stop)
        self.work = self.out / PRIVATE / UNFINISHED
        self.published = False

    def __enter__(self) -> ResultFolder:
        try:
            self.out.mkdir(parents=True, exist_ok=True)
        except OSError as error:
            raise write_error(error) from None
        self.lock.acquire()
        try:
            if (self.work / COMPLETE).is_file():
                self._move_in()  # an earlier publish was cut short: finish it
        except BaseException:
            self.lock.release()
            raise
        return self

    def chain_to_continue(self) -> Path:
        """The chain --resume continues: that of a run that ended early, else the result's."""
        unfinished = self.work / "chain.h5"
        return unfinished if unfinished.is_file() else self.out / "chain.h5"

    def start(self, keep_chain: bool) -> Path:
        """The empty work folder; with `keep_chain`, holding the chain to continue (the
        result's chain is linked in, never written: a new chain file replaces the link)."""
        try:
            chain = self.chain_to_continue() if keep_chain else None
            if self.work.exists():
                for entry in self.work.iterdir():
                    if entry != chain:
                        _remove(entry)
            self.work.mkdir(parents=True, exist_ok=True)
            if chain is not None and chain.parent != self.work and chain.is_file():
                _link_or_copy(chain, self.work / "chain.h5")
        except OSError as error:
            raise write_error(error) from None
        return self.work

    def publish(self) -> None:
        """Moves the new result into the folder (module documentation)."""
        try:
            made = [name for name in RESULT_FILES if (self.work / name).is_file()]
            with atomic_path(self.work / COMPLETE) as temporary:
                temporary.write_text(json.dumps(made), encoding="utf-8")
            self._move_in()
        except OSError as error:
            raise write_error(error) from None
        self.published = True

    def _move_in(self) -> None:
        made = json.loads((self.work / COMPLETE).read_text(encoding="utf-8"))
        if (self.work / "result.ecsv").is_file():  # moved last: until then, files to move
            (self.out / "result.ecsv").unlink(missing_ok=True)  # the old fit no longer counts
            for name in RESULT_FILES:
                source = self.work / name
                if name not in made:
                    (self.out / name).unlink(missing_ok=True)  # of an earlier result: stale
                elif source.is_file():
                    os.replace(source, self.out / name)
            fsync_folder(self.out)
        shutil.rmtree(self.work)

    def abandon(self) -> None:
        """After a fit that ended early: the work folder keeps its chain only."""
        if not self.work.exists():
            return
        for entry in self.work.iterdir():
            if entry.name != "chain.h5":
                _remove(entry)
        with contextlib.suppress(OSError):  # unless it holds the chain
            self.work.rmdir()

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        trace: TracebackType | None,
    ) -> None:
        try:
            if not self.published:
                self.abandon()
        finally:
            self.lock.release()


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path)
    else:
        path.unlink(missing_ok=True)


def _link_or_copy(source: Path, target: Path) -> None:
    try:
        os.link(source, target)
    except OSError:  # a file system without hard links
        shutil.copyfile(source, target)
