"""Writing the converted frames to a destination: libsndfile for files,
the streaming writer for WAV and raw PCM on pipes and devices, and a
temporary file copied out at the end for other formats there."""

from __future__ import annotations

import contextlib
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np
import numpy.typing as npt
import soundfile  # type: ignore[import-untyped, unused-ignore]

from . import wavstream
from .errors import OutputError, UsageError
from .output import (
    Destination,
    copy_out,
    discard,
    file_in_place,
    open_stream,
    scratch_file,
    write_error,
)


@dataclass(frozen=True)
class OutputLayout:
    major: str  # libsndfile's file type
    subtype: str
    rate: int
    channels: int
    big_endian: bool = False  # raw output only
    metadata: dict[str, str] = field(default_factory=dict)


class Sink:
    def write(self, block: npt.NDArray[np.generic]) -> None:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError


def _detail(f: soundfile.SoundFile, e: soundfile.LibsndfileError) -> str:
    """libsndfile's full message ("System error : No space left on
    device."), which the exception itself shortens."""
    try:
        return str(soundfile._ffi.string(soundfile._snd.sf_strerror(f._file)).decode(errors="replace"))
    except Exception:  # noqa: BLE001 - private interface; the short text will do
        return str(e.error_string)


class FileSink(Sink):
    def __init__(self, path: str, dest: Destination, layout: OutputLayout) -> None:
        self._dest = dest
        try:
            self._file = soundfile.SoundFile(
                path,
                "w",
                layout.rate,
                layout.channels,
                layout.subtype,
                "BIG" if layout.big_endian else "FILE",
                layout.major,
            )
        except soundfile.LibsndfileError as e:
            raise UsageError(f"cannot write {layout.major} {layout.subtype} at {layout.rate} Hz: {e.error_string}") from None
        for key, value in layout.metadata.items():
            with contextlib.suppress(soundfile.SoundFileError, AttributeError):
                setattr(self._file, key, value)

    def _failed(self, e: soundfile.LibsndfileError) -> OutputError:
        return OutputError(f"cannot write {self._dest.display!r}: {_detail(self._file, e)}")

    def write(self, block: npt.NDArray[np.generic]) -> None:
        try:
            self._file.write(block)
        except soundfile.LibsndfileError as e:
            raise self._failed(e) from None

    def close(self) -> None:
        try:
            self._file.close()
        except soundfile.LibsndfileError as e:
            raise self._failed(e) from None

    def abort(self) -> None:
        with contextlib.suppress(Exception):
            self._file.close()


class StreamSink(Sink):
    def __init__(self, f: BinaryIO, dest: Destination, layout: OutputLayout) -> None:
        self._dest = dest
        fmt = wavstream.StreamFormat(layout.rate, layout.channels, layout.subtype, layout.big_endian)
        try:
            self._writer = wavstream.StreamWriter(f, fmt, wav=layout.major == "WAV")
        except OSError as e:
            raise write_error(dest, e) from None

    def write(self, block: npt.NDArray[np.generic]) -> None:
        try:
            self._writer.write(block)
        except OSError as e:
            raise write_error(self._dest, e) from None

    def close(self) -> None:
        try:
            self._writer.close()
        except OSError as e:
            raise write_error(self._dest, e) from None


@contextlib.contextmanager
def _file_sink(path: str, dest: Destination, layout: OutputLayout) -> Iterator[Sink]:
    sink = FileSink(path, dest, layout)
    try:
        yield sink
    except BaseException:
        sink.abort()
        raise
    sink.close()


@contextlib.contextmanager
def open_sink(dest: Destination, layout: OutputLayout, stdout: BinaryIO) -> Iterator[Sink]:
    """A sink whose output takes its place only when the block completes."""
    if dest.kind in ("new", "replace"):
        with file_in_place(dest) as tmp, _file_sink(tmp, dest, layout) as sink:
            yield sink
        return
    with open_stream(dest, stdout) as f:
        if layout.major in ("WAV", "RAW") and wavstream.streamable(layout.subtype):
            stream_sink = StreamSink(f, dest, layout)
            yield stream_sink
            stream_sink.close()
            return
        path = scratch_file()
        try:
            with _file_sink(path, dest, layout) as sink:
                yield sink
            try:
                copy_out(path, f)
            except OSError as e:
                raise write_error(dest, e) from None
        finally:
            discard(path)
