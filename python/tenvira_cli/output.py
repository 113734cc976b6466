"""Safe output: what OUT is, and how it is written without ever leaving a
partial file under its name or a temporary file behind.

- ``-`` is standard output.
- A symbolic link is followed: what it points at is written (a dangling
  link creates its target), and the link stays.
- A FIFO or a device is written through, never replaced.
- A regular file (or nothing) is written as a temporary file beside it that
  takes OUT's name only when complete: ``os.replace`` for an existing file
  (with ``--force``; synced first, keeping its permissions), a hard link that
  never clobbers for a new one. The temporary name is short and fixed in
  length, so that an OUT name of up to 255 bytes works.

Temporary files are registered before they are created and removed on every
way out; ``remove_temporaries`` is the last resort for the signal path.
"""

from __future__ import annotations

import contextlib
import errno
import os
import secrets
import shutil
import stat
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO, Literal

from .errors import DownstreamClosed, OutputError, UsageError, describe_os_error

Kind = Literal["stdout", "new", "replace", "device"]

_temporaries: set[str] = set()


@dataclass(frozen=True)
class Destination:
    kind: Kind
    path: str  # the file written: OUT with its links followed
    display: str  # OUT as the user wrote it
    mode: int = 0o666  # permissions of a file that is replaced


def resolve(out: str, force: bool) -> Destination:
    """Classifies OUT; refuses a directory, and an existing regular file or
    block device without ``force``."""
    if out == "-":
        return Destination("stdout", out, "-")
    path = os.path.realpath(out)
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return Destination("new", path, out)
    except OSError as e:
        raise UsageError(f"cannot write to {out!r}: {describe_os_error(e)}") from None
    if stat.S_ISDIR(st.st_mode):
        raise UsageError(f"{out!r} is a directory")
    if stat.S_ISREG(st.st_mode) or stat.S_ISBLK(st.st_mode):
        if not force:
            raise UsageError(f"{out!r} exists; use --force to overwrite it")
        if stat.S_ISREG(st.st_mode):
            return Destination("replace", path, out, stat.S_IMODE(st.st_mode))
    return Destination("device", path, out)


def exists(out: str) -> bool:
    """Whether OUT (through its links) is an existing regular file."""
    return os.path.isfile(out)


def _temporary_name(directory: str) -> str:
    return os.path.join(directory, f".tenvira-{secrets.token_hex(6)}.tmp")


def _create(path: str, mode: int) -> None:
    _temporaries.add(path)  # first, so that a signal right after finds it
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, mode)
    os.close(fd)


def discard(path: str) -> None:
    with contextlib.suppress(FileNotFoundError):
        os.unlink(path)
    _temporaries.discard(path)


def remove_temporaries() -> None:
    for path in list(_temporaries):
        discard(path)


def _temporary_directory() -> str:
    """$TMPDIR, $TEMP or $TMP, else /tmp; unlike ``tempfile.gettempdir``
    without a probe file of its own that a signal could leave behind."""
    for name in ("TMPDIR", "TEMP", "TMP"):
        value = os.environ.get(name)
        if value and os.path.isdir(value):
            return value
    return tempfile.gettempdir()


def scratch_file(suffix: str = "") -> str:
    """A registered temporary file in the temporary directory, for a stream
    that libsndfile must read or write as a file."""
    directory = _temporary_directory()
    path = _temporary_name(directory)[: -len(".tmp")] + suffix
    try:
        _create(path, 0o600)
    except OSError as e:
        raise OutputError(f"cannot create a temporary file in {directory!r}: {describe_os_error(e)}") from None
    return path


@contextlib.contextmanager
def file_in_place(dest: Destination) -> Iterator[str]:
    """Yields a temporary path beside ``dest.path`` that replaces or creates
    it when the block ends normally, and is removed otherwise."""
    directory = os.path.dirname(dest.path)
    tmp = _temporary_name(directory)
    umask = os.umask(0)
    os.umask(umask)
    mode = dest.mode if dest.kind == "replace" else 0o666 & ~umask
    try:
        _create(tmp, mode)
        os.chmod(tmp, mode)  # the umask does not apply to a replaced file's mode
    except OSError as e:
        discard(tmp)
        raise UsageError(f"cannot write to {os.path.dirname(dest.display) or '.'!r}: {describe_os_error(e)}") from None
    try:
        yield tmp
        if dest.kind == "replace":
            _sync(tmp)
            os.replace(tmp, dest.path)
        else:
            _link_no_clobber(tmp, dest)
    finally:
        discard(tmp)


def _sync(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _link_no_clobber(tmp: str, dest: Destination) -> None:
    """Gives the file its name unless a file of that name appeared meanwhile."""
    try:
        os.link(tmp, dest.path)
    except FileExistsError:
        raise UsageError(f"{dest.display!r} exists; use --force to overwrite it") from None
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV, errno.EMLINK):
            raise
        # No hard links on this file system.
        if os.path.lexists(dest.path):
            raise UsageError(f"{dest.display!r} exists; use --force to overwrite it") from None
        os.replace(tmp, dest.path)


@contextlib.contextmanager
def open_stream(dest: Destination, stdout: BinaryIO) -> Iterator[BinaryIO]:
    """Standard output, a FIFO or a device, opened for writing."""
    if dest.kind == "stdout":
        yield stdout
        return
    try:
        f = open(dest.path, "wb", buffering=0)  # noqa: SIM115
    except OSError as e:
        raise OutputError(f"cannot write {dest.display!r}: {describe_os_error(e)}") from None
    try:
        yield f
    finally:
        with contextlib.suppress(OSError):
            f.close()


def copy_out(path: str, f: BinaryIO) -> None:
    """Copies a finished scratch file to a stream."""
    with open(path, "rb") as src:
        shutil.copyfileobj(src, f, 1 << 20)
    f.flush()


def write_error(dest: Destination, e: OSError) -> BaseException:
    """The exception for a failed write: a quiet end when the reader of a
    pipe went away, else an I/O error of one line."""
    if e.errno == errno.EPIPE:
        return DownstreamClosed()
    return OutputError(f"cannot write {dest.display!r}: {describe_os_error(e)}")
