"""WAV and raw PCM on pipes, the only format code written by hand here.

libsndfile needs to seek, so standard input and output go through this small
streaming reader and writer instead. The reader walks the RIFF chunks once,
front to back, and treats a malformed header the way libsndfile does (same
verdicts, same messages): the RIFF size and the block alignment are ignored,
a data size of 0xFFFFFFFF (or one beyond the end) means "up to the end", a
partial last frame is dropped, bit depths round up to whole bytes. A codec
other than integer PCM and IEEE float is not read here: ``Unsupported`` tells
the caller to hand the whole stream to libsndfile through a temporary file.

The writer puts 0xFFFFFFFF in both size fields, as streaming tools do, and
fills in the real sizes at the end when its output can seek after all (a
shell redirection to a file).
"""

from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from .formats import sample_format
from .settings import RawFormat

WAVE_FORMAT_PCM = 0x0001
WAVE_FORMAT_IEEE_FLOAT = 0x0003
WAVE_FORMAT_EXTENSIBLE = 0xFFFE
# Bytes 2..15 of every KSDATAFORMAT_SUBTYPE_* GUID; bytes 0..1 hold the tag.
_GUID_TAIL = b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
UNKNOWN_SIZE = 0xFFFFFFFF
MAX_CHANNELS = 1024  # libsndfile's limit

# libsndfile's messages for the same faults.
NO_DATA = "Error in WAV file. No 'data' chunk marker."
SHORT_FMT = "Error in WAV/W64/RF64 file. Short 'fmt ' chunk."
UNIMPLEMENTED = "File contains data in an unimplemented format."
NO_CHANNELS = "Channel count is zero."
TOO_MANY_CHANNELS = "Too many channels specified."
INCOMPLETE = "Internal error : SF_INFO struct incomplete."
INTERNAL = "Unspecified internal error."

# The sample formats read and written here, as stored bytes.
_STORED = {"PCM_U8": 1, "PCM_S8": 1, "PCM_16": 2, "PCM_24": 3, "PCM_32": 4, "FLOAT": 4, "DOUBLE": 8}
_PCM_BY_BYTES = {1: "PCM_U8", 2: "PCM_16", 3: "PCM_24", 4: "PCM_32"}


class StreamError(Exception):
    """A malformed stream; the message is libsndfile's for the same fault."""


class Unsupported(Exception):
    """A stream this reader leaves to libsndfile."""


def streamable(subtype: str) -> bool:
    return subtype in _STORED


@dataclass(frozen=True)
class StreamFormat(RawFormat):
    """The layout of a stream's samples: what a header says, or what the
    options say of headerless input."""

    @property
    def frame_bytes(self) -> int:
        return self.channels * _STORED[self.subtype]


def _read_exactly(f: BinaryIO, n: int, seen: bytearray) -> bytes:
    """Up to ``n`` bytes (fewer only at the end), remembered in ``seen``."""
    parts = []
    while n > 0:
        b = f.read(n)
        if not b:
            break
        parts.append(b)
        n -= len(b)
    data = b"".join(parts)
    seen += data
    return data


def _skip(f: BinaryIO, n: int, seen: bytearray) -> bool:
    """Skips ``n`` bytes in pieces; False at the end of the stream."""
    while n > 0:
        piece = _read_exactly(f, min(n, 1 << 16), seen)
        if not piece:
            return False
        n -= len(piece)
    return True


def _parse_fmt(body: bytes) -> tuple[int, int, str]:
    tag, channels, rate, _byte_rate, _align, bits = struct.unpack_from("<HHIIHH", body)
    if tag == WAVE_FORMAT_EXTENSIBLE:
        if len(body) < 40 or body[26:40] != _GUID_TAIL:
            raise StreamError(UNIMPLEMENTED)
        tag = int.from_bytes(body[24:26], "little")
    if tag == WAVE_FORMAT_PCM:
        if not 0 < bits <= 32:
            raise StreamError(UNIMPLEMENTED)
        subtype = _PCM_BY_BYTES[(bits + 7) // 8]
    elif tag == WAVE_FORMAT_IEEE_FLOAT:
        if bits not in (32, 64):
            raise StreamError(INTERNAL)
        subtype = "FLOAT" if bits == 32 else "DOUBLE"
    else:
        raise Unsupported()
    if channels == 0:
        raise StreamError(NO_CHANNELS)
    if channels > MAX_CHANNELS:
        raise StreamError(TOO_MANY_CHANNELS)
    if rate == 0 or rate >= 2**31:
        raise StreamError(INCOMPLETE)
    return rate, channels, subtype


def read_wav_header(f: BinaryIO, seen: bytearray) -> tuple[StreamFormat, int | None]:
    """Reads up to the start of the samples; returns the format and the data
    size (None: up to the end). Every byte read is appended to ``seen``, so
    that a stream left to libsndfile can be handed over whole. Raises
    ``Unsupported`` for a stream that is not a RIFF WAVE of PCM or float."""
    head = _read_exactly(f, 12, seen)
    if len(head) < 12 or head[:4] != b"RIFF" or head[8:] != b"WAVE":
        raise Unsupported()
    fmt: tuple[int, int, str] | None = None
    while True:
        header = _read_exactly(f, 8, seen)
        if len(header) < 8:
            raise StreamError(NO_DATA)
        cid, size = header[:4], int.from_bytes(header[4:], "little")
        if cid == b"data":
            if fmt is None:
                raise StreamError(NO_DATA)
            rate, channels, subtype = fmt
            return StreamFormat(rate, channels, subtype), None if size == UNKNOWN_SIZE else size
        if cid == b"fmt ":
            if fmt is not None:
                raise StreamError(NO_DATA)
            if size < 16 or size >= 2**31:
                raise StreamError(SHORT_FMT)
            body = _read_exactly(f, min(size, 64), seen)
            if len(body) < 16:
                raise StreamError(NO_DATA)
            fmt = _parse_fmt(body)
            size -= len(body)
        if not _skip(f, size + (size & 1), seen):
            raise StreamError(NO_DATA)


def _dtype(fmt: StreamFormat, subtype: str) -> str:
    order = ">" if fmt.big_endian else "<"
    return order + {"PCM_16": "i2", "PCM_32": "i4", "FLOAT": "f4", "DOUBLE": "f8"}[subtype]


def decode(fmt: StreamFormat, raw: bytes | memoryview, out: npt.NDArray[np.generic]) -> None:
    """Whole frames of stored bytes into ``out`` (frames, channels), in the
    dtype that ``formats.sample_format`` gives the subtype: 8-bit samples as
    int16 and 24-bit ones as int32, left-justified, as libsndfile reads them."""
    flat = out.reshape(-1)
    s = fmt.subtype
    if s in ("PCM_U8", "PCM_S8"):
        b = np.frombuffer(raw, np.uint8 if s == "PCM_U8" else np.int8).astype(np.int16)
        if s == "PCM_U8":
            b -= 128
        np.left_shift(b, 8, out=flat)
    elif s == "PCM_24":
        wide = np.zeros((len(flat), 4), np.uint8)
        triples = np.frombuffer(raw, np.uint8).reshape(-1, 3)
        wide[:, 1:] = triples[:, ::-1] if fmt.big_endian else triples
        flat[:] = wide.view("<i4").reshape(-1)
    else:
        with np.errstate(over="ignore"):  # doubles beyond float32 become infinities
            flat[:] = np.frombuffer(raw, _dtype(fmt, s))


def encode(fmt: StreamFormat, samples: npt.NDArray[np.generic]) -> bytes:
    """The inverse of ``decode``."""
    flat = samples.reshape(-1)
    s = fmt.subtype
    if s in ("PCM_U8", "PCM_S8"):
        top = np.right_shift(flat, 8)
        return bytes((top + 128).astype(np.uint8) if s == "PCM_U8" else top.astype(np.int8))
    if s == "PCM_24":
        b = flat.astype("<i4").view(np.uint8).reshape(-1, 4)[:, 1:]
        return bytes(np.ascontiguousarray(b[:, ::-1] if fmt.big_endian else b))
    return bytes(flat.astype(_dtype(fmt, s)))


class StreamReader:
    """Whole frames from a WAV or raw PCM stream."""

    def __init__(self, f: BinaryIO, fmt: StreamFormat, size: int | None) -> None:
        self.format = fmt
        self.sample = sample_format(fmt.subtype)
        self._file = f
        self._left = size  # data bytes still announced; None: to the end
        self.declared_frames = None if size is None else size // fmt.frame_bytes
        self.frames_read = 0
        self._buffer = bytearray()

    def read(self, out: npt.NDArray[np.generic]) -> int:
        """Fills ``out[:n]`` and returns n; fewer than asked only at the end."""
        want = len(out) * self.format.frame_bytes
        if self._left is not None:
            want = min(want, self._left - self._left % self.format.frame_bytes)
        if len(self._buffer) < want:
            self._buffer = bytearray(want)
        view = memoryview(self._buffer)[:want]
        got = 0
        while got < want:
            n = self._file.readinto(view[got:])  # type: ignore[attr-defined]
            if not n:
                break
            got += n
        frames = got // self.format.frame_bytes
        if self._left is not None:
            self._left -= got
        if got % self.format.frame_bytes:
            self._left = 0  # the partial frame at the end is dropped
        decode(self.format, view[: frames * self.format.frame_bytes], out[:frames])
        self.frames_read += frames
        return frames

    def truncated(self) -> bool:
        """Whether the stream ended before the frames its header announced."""
        return self.declared_frames is not None and self.frames_read < self.declared_frames


class StreamWriter:
    """Writes WAV (or raw PCM when ``wav`` is False) to a stream."""

    def __init__(self, f: BinaryIO, fmt: StreamFormat, wav: bool = True) -> None:
        self.format = fmt
        self._file = f
        self._wav = wav
        self._data_bytes = 0
        self._start = f.tell() if wav and f.seekable() else None
        if wav:
            f.write(wav_header(fmt, UNKNOWN_SIZE))

    def write(self, samples: npt.NDArray[np.generic]) -> None:
        data = encode(self.format, samples)
        self._file.write(data)
        self._data_bytes += len(data)

    def close(self) -> None:
        """Flushes; on a seekable output, pads the data to an even length and
        puts the real sizes in the header. (A stream gets no pad byte: with
        its size unknown, a reader would take the pad for a sample.)"""
        if self._start is not None and self._data_bytes + 64 < UNKNOWN_SIZE:
            if self._data_bytes & 1:
                self._file.write(b"\x00")
            end = self._file.tell()
            self._file.seek(self._start)
            self._file.write(wav_header(self.format, self._data_bytes))
            self._file.seek(end)
        self._file.flush()


def wav_header(fmt: StreamFormat, data_bytes: int) -> bytes:
    """RIFF header, a plain 'fmt ' chunk (18 bytes with cbSize 0 for float)
    and the 'data' chunk header; sizes 0xFFFFFFFF while ``data_bytes`` is."""
    is_float = fmt.subtype in ("FLOAT", "DOUBLE")
    stored = _STORED[fmt.subtype]
    body = struct.pack(
        "<HHIIHH",
        WAVE_FORMAT_IEEE_FLOAT if is_float else WAVE_FORMAT_PCM,
        fmt.channels,
        fmt.rate,
        (fmt.rate * fmt.frame_bytes) & 0xFFFFFFFF,
        fmt.frame_bytes,
        8 * stored,
    ) + (b"\x00\x00" if is_float else b"")
    header_rest = 4 + 8 + len(body) + 8
    riff = UNKNOWN_SIZE if data_bytes == UNKNOWN_SIZE else header_rest + data_bytes + (data_bytes & 1)
    return b"".join(
        [b"RIFF", struct.pack("<I", riff), b"WAVE", b"fmt ", struct.pack("<I", len(body)), body,
         b"data", struct.pack("<I", data_bytes)]
    )
