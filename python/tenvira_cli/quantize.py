"""Float samples to integers: rounding, clipping (counted) and TPDF dither.

A b-bit sample x stands for the float x / 2**(b-1), so full scale is -1.0 to
just below 1.0. A result y becomes round(y * 2**(b-1)), to nearest with ties
to even, clamped to -2**(b-1) .. 2**(b-1) - 1, and is stored left-justified
in int16 or int32 as libsndfile takes it. All of this is exact: the scale
factors are powers of two and the rounded values are integers, held in
float32 up to 24 bits and in float64 beyond (2**31 - 1 is no float32).

Dither, when on, adds triangular noise (the difference of two uniform
variables, +-1 LSB peak) before rounding. Its generator is seeded from a
name (the output's path relative to the output folder), and its draws are
consumed in sample order, so the noise, and the file, are the same however
the work is split over chunks, processes or machines.
"""

from __future__ import annotations

import hashlib

import numpy as np
import numpy.typing as npt

from .formats import Dtype


def dither_seed(name: str) -> int:
    digest = hashlib.sha256(name.encode("utf-8", "surrogateescape")).digest()
    return int.from_bytes(digest[:16], "little")


class Quantizer:
    """Turns float32 blocks into ``bits``-bit integers stored in ``dtype``."""

    def __init__(self, bits: int, dtype: Dtype, dither: bool, seed_name: str, may_be_nan: bool) -> None:
        container = 16 if dtype == "int16" else 32
        self._work = np.float32 if bits <= 24 else np.float64
        self._scale = self._work(2.0 ** (bits - 1))
        self._shift = self._work(2.0 ** (container - bits))
        self._lo = self._work(-(2.0 ** (bits - 1)))
        self._hi = self._work(2.0 ** (bits - 1) - 1)
        self._nan = may_be_nan
        self._rng = np.random.Generator(np.random.PCG64(dither_seed(seed_name))) if dither else None
        self.clipped = 0

    def __call__(self, y: npt.NDArray[np.float32], out: npt.NDArray[np.generic]) -> None:
        """Writes the integers for ``y`` into ``out`` (same shape)."""
        v = np.multiply(y, self._scale, dtype=self._work)
        if self._nan:
            np.nan_to_num(v, copy=False, nan=0.0, posinf=np.inf, neginf=-np.inf)
        if self._rng is not None:
            u = self._rng.random(2 * v.size).reshape(-1, 2)
            v += (u[:, 0] - u[:, 1]).astype(self._work).reshape(v.shape)
        np.rint(v, out=v)
        self.clipped += int(np.count_nonzero(v > self._hi)) + int(np.count_nonzero(v < self._lo))
        np.clip(v, self._lo, self._hi, out=v)
        if self._shift != 1:
            v *= self._shift
        out[...] = v
