"""Helpers shared by the Python tests."""

import math
import random

from tenvira import F32Resampler, I16Resampler

CLASSES = [F32Resampler, I16Resampler]


def signal(cls, frames, channels, seed=1):
    """Interleaved samples for `cls`: a different tone in every channel plus
    some noise, within about 0.75 of full scale."""
    rng = random.Random(seed)
    out = []
    for i in range(frames):
        for k in range(channels):
            x = 0.6 * math.sin(0.05 * i * (k + 1)) + 0.3 * (rng.random() - 0.5)
            out.append(x if cls is F32Resampler else int(x * 32767))
    return out


def noise(cls, frames, channels, seed):
    """Interleaved uniform noise over the whole range of `cls`'s samples."""
    rng = random.Random(seed)
    if cls is I16Resampler:
        return [rng.randint(-32768, 32767) for _ in range(frames * channels)]
    return [rng.uniform(-1.0, 1.0) for _ in range(frames * channels)]


def available_backends():
    """The backends this processor can run, by request name."""
    names = []
    for b in ("scalar", "avx2", "avx512"):
        try:
            F32Resampler(48000, 16000, 1, backend=b)
            names.append(b)
        except ValueError:
            pass
    return names


def rss_kib():
    """This process's resident memory in KiB."""
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS in /proc/self/status")


def sample_dtype(cls):
    """The numpy type of `cls`'s samples."""
    import numpy as np

    return np.float32 if cls is F32Resampler else np.int16
