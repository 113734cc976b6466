"""Opening IN: a file through libsndfile, or a stream (standard input, a
FIFO, a device) through the streaming WAV and raw reader, with formats that
cannot be streamed spooled to a temporary file first."""

from __future__ import annotations

import contextlib
import io
import os
import re
import shutil
import stat
from collections.abc import Iterator
from typing import TYPE_CHECKING, BinaryIO

import numpy as np
import numpy.typing as npt
import soundfile  # type: ignore[import-untyped, unused-ignore]

from . import signals, wavstream
from .errors import InputError, describe_os_error
from .formats import SampleFormat, sample_format
from .output import discard, scratch_file
from .settings import RawFormat

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer


class Source:
    """Audio being read: its format and whole frames in blocks."""

    rate: int
    channels: int
    sample: SampleFormat
    major: str  # libsndfile's name of the file type
    frames: int | None  # announced; None for a stream without a size
    size: int | None  # bytes on disk, when known
    metadata: dict[str, str]

    def read(self, out: npt.NDArray[np.generic]) -> int:
        """Fills ``out[:n]`` ((frames, channels) of ``sample.dtype``) and
        returns n; fewer than asked only at the end."""
        raise NotImplementedError

    def truncation(self) -> tuple[int, int] | None:
        """(frames read, frames announced) when the input ended early."""
        raise NotImplementedError

    def close(self) -> None:
        pass


_DECLARED = re.compile(r"^data : (\d+) \(should be (\d+)\)$", re.MULTILINE)


class FileSource(Source):
    def __init__(self, f: soundfile.SoundFile, size: int | None, scratch: str | None = None) -> None:
        self._file = f
        self._scratch = scratch
        self.rate = f.samplerate
        self.channels = f.channels
        self.sample = sample_format(f.subtype)
        self.major = f.format
        self.frames = f.frames
        self.size = size
        self.metadata = {k: v for k, v in f.copy_metadata().items() if v}
        self._read = 0
        self._declared = self._declared_frames()

    def _declared_frames(self) -> int:
        """What the header announces; libsndfile trims a WAV data size to
        the file and notes the original in its log."""
        m = _DECLARED.search(self._file.extra_info)
        if m and int(m.group(1)) != wavstream.UNKNOWN_SIZE and self.sample.sample_bytes:
            return int(m.group(1)) // (self.channels * self.sample.sample_bytes)
        frames: int = self._file.frames
        return frames

    def read(self, out: npt.NDArray[np.generic]) -> int:
        n: int = len(self._file.read(len(out), dtype=self.sample.dtype, always_2d=True, out=out))
        self._read += n
        return n

    def truncation(self) -> tuple[int, int] | None:
        return (self._read, self._declared) if self._read < self._declared else None

    def close(self) -> None:
        self._file.close()
        if self._scratch is not None:
            discard(self._scratch)


class StreamSource(Source):
    def __init__(self, reader: wavstream.StreamReader, major: str, owned: BinaryIO | None) -> None:
        self._reader = reader
        self._owned = owned
        fmt = reader.format
        self.rate, self.channels = fmt.rate, fmt.channels
        self.sample = reader.sample
        self.major = major
        self.frames = reader.declared_frames
        self.size = None
        self.metadata = {}

    def read(self, out: npt.NDArray[np.generic]) -> int:
        return self._reader.read(out)

    def truncation(self) -> tuple[int, int] | None:
        r = self._reader
        return (r.frames_read, r.declared_frames) if r.declared_frames is not None and r.truncated() else None

    def close(self) -> None:
        if self._owned is not None:
            self._owned.close()


def _display(name: str) -> str:
    return "standard input" if name == "-" else repr(name)


def _libsndfile_error(name: str, e: soundfile.LibsndfileError) -> InputError:
    return InputError(f"{_display(name)}: {e.error_string}")


def _open_soundfile(name: str, fd: int, raw: RawFormat | None, size: int | None, scratch: str | None) -> Source:
    kwargs: dict[str, object] = {}
    if raw is not None:
        kwargs = {
            "samplerate": raw.rate,
            "channels": raw.channels,
            "subtype": raw.subtype,
            "format": "RAW",
            "endian": "BIG" if raw.big_endian else "LITTLE",
        }
    try:
        f = soundfile.SoundFile(fd, "r", closefd=True, **kwargs)
    except soundfile.LibsndfileError as e:
        with contextlib.suppress(OSError):
            os.close(fd)
        if scratch is not None:
            discard(scratch)
        raise _libsndfile_error(name, e) from None
    except BaseException:
        os.close(fd)
        if scratch is not None:
            discard(scratch)
        raise
    return FileSource(f, size, scratch)


def _spool(name: str, stream: BinaryIO, head: bytes, raw: RawFormat | None) -> Source:
    """Copies a stream to a temporary file for libsndfile to read."""
    path = scratch_file()
    try:
        with open(path, "wb") as f:
            f.write(head)
            shutil.copyfileobj(stream, f, 1 << 20)
        fd = os.open(path, os.O_RDONLY)
    except OSError as e:
        discard(path)
        raise InputError(f"cannot read {_display(name)}: {describe_os_error(e)}") from None
    except BaseException:
        discard(path)
        raise
    return _open_soundfile(name, fd, raw, None, path)


def _open_stream(name: str, stream: BinaryIO, raw: RawFormat | None, owned: bool) -> Source:
    """Reads WAV or raw PCM as it comes and spools anything else. The stream
    is closed with the source when ``owned``."""
    if raw is not None:
        if not wavstream.streamable(raw.subtype):
            return _spool(name, stream, b"", raw)
        fmt = wavstream.StreamFormat(raw.rate, raw.channels, raw.subtype, raw.big_endian)
        return StreamSource(wavstream.StreamReader(stream, fmt, None), "RAW", stream if owned else None)
    seen = bytearray()
    try:
        fmt, size = wavstream.read_wav_header(stream, seen)
    except wavstream.Unsupported:
        return _spool(name, stream, bytes(seen), None)
    except wavstream.StreamError as e:
        raise InputError(f"{_display(name)}: {e}") from None
    return StreamSource(wavstream.StreamReader(stream, fmt, size), "WAV", stream if owned else None)


class _PipeReader(io.RawIOBase):
    """Reads a pipe, standard input or a device in reads that a terminating
    signal always interrupts (see ``signals.wait_readable``)."""

    def __init__(self, fd: int, closefd: bool) -> None:
        super().__init__()
        self._fd = fd
        self._closefd = closefd

    def readable(self) -> bool:
        return True

    def fileno(self) -> int:
        return self._fd

    def readinto(self, buffer: WriteableBuffer) -> int:
        signals.wait_readable(self._fd)
        return os.readv(self._fd, [buffer])

    def close(self) -> None:
        if not self.closed and self._closefd:
            os.close(self._fd)
        super().close()


def _pipe_stream(fd: int, closefd: bool) -> BinaryIO:
    return io.BufferedReader(_PipeReader(fd, closefd), 1 << 16)


def open_source(name: str, raw: RawFormat | None, stdin: BinaryIO | None = None) -> Source:
    """Opens IN ("-" for standard input). A regular file goes to libsndfile;
    anything that cannot seek is read as a stream."""
    try:
        if name == "-":
            return _open_stream(name, stdin or _pipe_stream(0, closefd=False), raw, owned=False)
        fd = os.open(name, os.O_RDONLY)
    except OSError as e:
        raise InputError(f"cannot read {_display(name)}: {describe_os_error(e)}") from None
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(21, os.strerror(21))
    except OSError as e:
        os.close(fd)
        raise InputError(f"cannot read {_display(name)}: {describe_os_error(e)}") from None
    if not stat.S_ISREG(st.st_mode):
        stream = _pipe_stream(fd, closefd=True)
        try:
            source = _open_stream(name, stream, raw, owned=True)
        except BaseException:
            stream.close()
            raise
        if isinstance(source, FileSource):  # spooled: the stream is spent
            stream.close()
        return source
    return _open_soundfile(name, fd, raw, st.st_size, None)


def blocks(source: Source, frames: int) -> Iterator[npt.NDArray[np.generic]]:
    """The input in blocks of up to ``frames`` frames: (frames, channels)
    views of one buffer, which the next block reuses."""
    buffer = np.empty((frames, source.channels), source.sample.dtype)
    while n := source.read(buffer):
        yield buffer[:n]
