"""Resampling raw WAV sample bytes: conversion to and from what the
resamplers take.

16-bit PCM goes to ``I16Resampler`` as int16 values, unchanged both ways.
32-bit float goes to ``F32Resampler`` unchanged both ways.

24- and 32-bit PCM go through ``F32Resampler``. A b-bit sample x stands for
the float x / 2**(b-1), so that full scale is -1.0 to just below 1.0; a
result y is written back as round(y * 2**(b-1)), rounding to nearest with
ties to even, clamped to -2**(b-1) .. 2**(b-1) - 1. The scale factors are
powers of two, and multiplying by a power of two is exact in binary floating
point, so the float32 arithmetic inside the resampler gives the same bits
whether it is fed x / 2**(b-1) or x itself. The code below therefore skips
the two multiplications: it feeds every sample left-justified in 32 bits
(x * 2**(32-b)) and rounds y / 2**(32-b). 32-bit integers keep 24
significant bits on the way, as float32 holds no more.
"""

from __future__ import annotations

import sys
from array import array
from typing import TypeVar

import tenvira

from .wavfile import WavFormat

_BIG_ENDIAN = sys.byteorder == "big"
_T = TypeVar("_T", int, float)


def _little_endian(a: array[_T]) -> array[_T]:
    """WAV data is little-endian; swap on big-endian machines."""
    if _BIG_ENDIAN:
        a.byteswap()
    return a


def decode_int16(data: bytes) -> array[int]:
    return _little_endian(array("h", data))


def encode_int16(samples: list[int]) -> bytes:
    return _little_endian(array("h", samples)).tobytes()


def decode_float(fmt: WavFormat, data: bytes) -> array[float] | array[int]:
    """Samples for ``F32Resampler``: float data as it is, 24- and 32-bit
    integers left-justified in 32 bits."""
    if fmt.encoding == "float":
        return _little_endian(array("f", data))
    if fmt.bits == 32:
        return _little_endian(array("i", data))
    if fmt.bits != 24:
        raise ValueError(f"no float conversion for {fmt.describe()}")
    n = len(data) // 3
    wide = bytearray(4 * n)
    wide[1::4] = data[0::3]
    wide[2::4] = data[1::3]
    wide[3::4] = data[2::3]
    return _little_endian(array("i", wide))


def encode_float(fmt: WavFormat, samples: list[float]) -> bytes:
    """The inverse of ``decode_float``, with rounding and clamping."""
    if fmt.encoding == "float":
        return _little_endian(array("f", samples)).tobytes()
    scale = 2.0 ** (fmt.bits - 32)
    ints = [round(y * scale) for y in samples]
    lo, hi = -(1 << (fmt.bits - 1)), (1 << (fmt.bits - 1)) - 1
    if ints and (min(ints) < lo or max(ints) > hi):
        ints = [lo if v < lo else hi if v > hi else v for v in ints]
    raw = _little_endian(array("i", ints)).tobytes()
    if fmt.bits == 32:
        return raw
    out = bytearray(3 * len(ints))
    out[0::3] = raw[0::4]
    out[1::3] = raw[1::4]
    out[2::3] = raw[2::4]
    return bytes(out)


class Converter:
    """One resampler for one stream of WAV sample bytes: whole input frames
    in, whole output frames of the same sample format out."""

    def __init__(
        self,
        fmt: WavFormat,
        output_rate: int,
        quality: str | None = None,
        backend: str | None = None,
        chunk_frames: int | None = None,
    ) -> None:
        self.format = fmt
        self._i16: tenvira.I16Resampler | None = None
        self._f32: tenvira.F32Resampler | None = None
        args = (fmt.rate, output_rate, fmt.channels, quality, backend, chunk_frames)
        if fmt.encoding == "pcm" and fmt.bits == 16:
            self._i16 = tenvira.I16Resampler(*args)
        else:
            self._f32 = tenvira.F32Resampler(*args)

    @property
    def selected_backend(self) -> str:
        r = self._i16 or self._f32
        assert r is not None
        return r.selected_backend

    def process(self, data: bytes) -> tuple[bytes, tenvira.ProcessStats]:
        if self._i16 is not None:
            out, stats = self._i16.process(decode_int16(data))
            return encode_int16(out), stats
        assert self._f32 is not None
        samples, stats = self._f32.process(decode_float(self.format, data))
        return encode_float(self.format, samples), stats

    def finish(self) -> tuple[bytes, tenvira.ProcessStats]:
        if self._i16 is not None:
            out, stats = self._i16.finish()
            return encode_int16(out), stats
        assert self._f32 is not None
        samples, stats = self._f32.finish()
        return encode_float(self.format, samples), stats
