"""Reading and writing WAV files chunk by chunk.

Integer PCM with a plain header (format tag 1) is read and written with the
standard library's ``wave`` module. Everything ``wave`` does not handle is
done here, in a few small functions: IEEE float data (format tag 3), read and
written, and WAVE_FORMAT_EXTENSIBLE headers (tag 0xFFFE) whose sub-format is
PCM or IEEE float, read only. Output files always get the plain header of
their encoding, with a ``fact`` chunk for float data.

Supported sample formats: 16-, 24- and 32-bit integer PCM and 32-bit float,
any number of channels. All sizes and samples are little-endian.
"""

from __future__ import annotations

import os
import struct
import wave
from dataclasses import dataclass, replace
from types import TracebackType
from typing import BinaryIO, Literal

WAVE_FORMAT_PCM = 0x0001
WAVE_FORMAT_IEEE_FLOAT = 0x0003
WAVE_FORMAT_EXTENSIBLE = 0xFFFE

# Bytes 2..15 of every KSDATAFORMAT_SUBTYPE_* GUID of a WAVE_FORMAT_EXTENSIBLE
# header; bytes 0..1 hold the format tag of the sub-format.
_SUBFORMAT_GUID_TAIL = b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"

_TAG_NAMES = {
    0x0002: "Microsoft ADPCM",
    0x0006: "A-law",
    0x0007: "mu-law",
    0x0011: "IMA ADPCM",
    0x0055: "MPEG layer 3",
}

# RIFF sizes are 32-bit.
_MAX_RIFF_SIZE = 0xFFFFFFFF

Encoding = Literal["pcm", "float"]


class WavError(Exception):
    """A file that is not a WAV file this tool can read or write."""


@dataclass(frozen=True)
class WavFormat:
    encoding: Encoding
    bits: int
    channels: int
    rate: int

    @property
    def sample_bytes(self) -> int:
        return self.bits // 8

    @property
    def block_align(self) -> int:
        return self.channels * self.sample_bytes

    def describe(self) -> str:
        return f"{self.bits}-bit {'PCM' if self.encoding == 'pcm' else 'float'}"

    def with_rate(self, rate: int) -> WavFormat:
        return replace(self, rate=rate)


@dataclass(frozen=True)
class _Header:
    format: WavFormat
    tag: int  # the tag of the fmt chunk itself (EXTENSIBLE stays EXTENSIBLE)
    data_offset: int
    data_size: int


def _tag_name(tag: int) -> str:
    name = _TAG_NAMES.get(tag)
    return f"format tag 0x{tag:04x}" + (f" ({name})" if name else "")


def _parse_fmt(body: bytes) -> tuple[WavFormat, int]:
    if len(body) < 16:
        raise WavError(f"'fmt ' chunk is {len(body)} bytes long, expected at least 16")
    tag, channels, rate, _byte_rate, block_align, bits = struct.unpack_from("<HHIIHH", body)
    sample_tag = tag
    if tag == WAVE_FORMAT_EXTENSIBLE:
        if len(body) < 40:
            raise WavError("WAVE_FORMAT_EXTENSIBLE 'fmt ' chunk is shorter than 40 bytes")
        valid_bits, _channel_mask, guid = struct.unpack_from("<HI16s", body, 18)
        if guid[2:] != _SUBFORMAT_GUID_TAIL:
            raise WavError("unsupported sample format: unknown WAVE_FORMAT_EXTENSIBLE sub-format")
        sample_tag = int.from_bytes(guid[:2], "little")
        if valid_bits > bits:
            raise WavError(f"{valid_bits} valid bits do not fit in {bits}-bit samples")
    if sample_tag == WAVE_FORMAT_PCM:
        encoding: Encoding = "pcm"
        if bits not in (16, 24, 32):
            raise WavError(
                f"unsupported sample format: {bits}-bit PCM "
                "(supported: 16-, 24- and 32-bit PCM, 32-bit float)"
            )
    elif sample_tag == WAVE_FORMAT_IEEE_FLOAT:
        encoding = "float"
        if bits != 32:
            raise WavError(
                f"unsupported sample format: {bits}-bit float "
                "(supported: 16-, 24- and 32-bit PCM, 32-bit float)"
            )
    else:
        raise WavError(f"unsupported sample format: {_tag_name(sample_tag)}")
    if channels == 0:
        raise WavError("the header declares 0 channels")
    if rate == 0:
        raise WavError("the header declares a sample rate of 0 Hz")
    fmt = WavFormat(encoding, bits, channels, rate)
    if block_align != fmt.block_align:
        raise WavError(
            f"block alignment {block_align} does not match "
            f"{channels} channels of {bits}-bit samples"
        )
    return fmt, tag


def _read_header(f: BinaryIO) -> _Header:
    """Walks the RIFF chunks up to the start of the data chunk."""
    head = f.read(12)
    if len(head) < 12 or head[:4] != b"RIFF" or head[8:] != b"WAVE":
        raise WavError("not a WAV file (no RIFF/WAVE header)")
    fmt: tuple[WavFormat, int] | None = None
    while True:
        chunk = f.read(8)
        if len(chunk) < 8:
            raise WavError("no 'fmt ' chunk" if fmt is None else "no 'data' chunk")
        cid, size = chunk[:4], int.from_bytes(chunk[4:], "little")
        if cid == b"data":
            if fmt is None:
                raise WavError("'data' chunk before the 'fmt ' chunk")
            return _Header(fmt[0], fmt[1], f.tell(), size)
        if cid == b"fmt ":
            body = f.read(size)
            if len(body) < size:
                raise WavError("truncated 'fmt ' chunk")
            fmt = _parse_fmt(body)
            f.seek(size & 1, os.SEEK_CUR)
        else:
            f.seek(size + (size & 1), os.SEEK_CUR)


class WavReader:
    """Reads whole frames, as raw little-endian bytes, a chunk at a time."""

    format: WavFormat
    frames: int
    """Frames that the header announces; a truncated file yields fewer."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self._file = open(path, "rb")
        self._wave: wave.Wave_read | None = None
        try:
            header = _read_header(self._file)
            self.format = header.format
            if header.tag == WAVE_FORMAT_PCM:
                self._file.seek(0)
                self._wave = wave.open(self._file, "rb")
                self.frames = self._wave.getnframes()
            else:
                available = os.fstat(self._file.fileno()).st_size - header.data_offset
                self._remaining = min(header.data_size, max(available, 0))
                self._remaining -= self._remaining % self.format.block_align
                self.frames = self._remaining // self.format.block_align
        except (wave.Error, EOFError) as e:
            self._file.close()
            raise WavError(str(e)) from None
        except BaseException:
            self._file.close()
            raise

    def read(self, frames: int) -> bytes:
        """Up to ``frames`` whole frames; empty at the end of the data."""
        if self._wave is not None:
            data = self._wave.readframes(frames)
            return data[: len(data) - len(data) % self.format.block_align]
        n = min(frames * self.format.block_align, self._remaining)
        data = self._file.read(n)
        data = data[: len(data) - len(data) % self.format.block_align]
        self._remaining = 0 if len(data) < n else self._remaining - len(data)
        return data

    def close(self) -> None:
        if self._wave is not None:
            self._wave.close()
        self._file.close()

    def __enter__(self) -> WavReader:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        self.close()


class WavWriter:
    """Writes a WAV file into an open, seekable binary file.

    The header is written first with placeholder sizes and completed by
    ``close``, which does not close the file itself.
    """

    def __init__(self, f: BinaryIO, fmt: WavFormat) -> None:
        self.format = fmt
        self._file = f
        self._data_bytes = 0
        self._wave: wave.Wave_write | None = None
        self._closed = False
        if fmt.encoding == "pcm":
            self._wave = wave.open(f, "wb")
            self._wave.setnchannels(fmt.channels)
            self._wave.setsampwidth(fmt.sample_bytes)
            self._wave.setframerate(fmt.rate)
        else:
            self._start = f.tell()
            f.write(_float_header(fmt, 0))

    def write(self, data: bytes) -> None:
        if len(data) % self.format.block_align:
            raise ValueError("data is not a whole number of frames")
        if _float_header_size() + self._data_bytes + len(data) > _MAX_RIFF_SIZE - 8:
            raise WavError("the output would exceed the 4 GiB size limit of a WAV file")
        self._data_bytes += len(data)
        if self._wave is not None:
            self._wave.writeframesraw(data)
        else:
            self._file.write(data)

    def close(self) -> None:
        """Completes the header; a second call does nothing."""
        if self._closed:
            return
        self._closed = True
        if self._wave is not None:
            self._wave.close()
            return
        end = self._file.tell()
        self._file.seek(self._start)
        self._file.write(_float_header(self.format, self._data_bytes))
        self._file.seek(end)


def _float_header_size() -> int:
    return 12 + (8 + 18) + (8 + 4) + 8


def _float_header(fmt: WavFormat, data_bytes: int) -> bytes:
    """RIFF header, an 18-byte 'fmt ' chunk (cbSize 0), 'fact' and the 'data'
    chunk header. Float data of 32-bit samples is always of even length, so no
    pad byte follows it."""
    frames = data_bytes // fmt.block_align
    return b"".join(
        [
            b"RIFF",
            struct.pack("<I", _float_header_size() - 8 + data_bytes),
            b"WAVE",
            b"fmt ",
            struct.pack(
                "<IHHIIHHH",
                18,
                WAVE_FORMAT_IEEE_FLOAT,
                fmt.channels,
                fmt.rate,
                fmt.rate * fmt.block_align,
                fmt.block_align,
                fmt.bits,
                0,
            ),
            b"fact",
            struct.pack("<II", 4, frames),
            b"data",
            struct.pack("<I", data_bytes),
        ]
    )
