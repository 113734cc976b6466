"""Checked with ``mypy --strict`` against the installed stub (tools/test.sh).

The lines marked ``type: ignore[...]`` are mistakes that mypy must report:
with --strict an ignore comment that suppresses nothing is itself an error, so
they also prove that mypy found the stub rather than treating the module as
untyped.
"""

from array import array
from typing import Literal, assert_type

import numpy as np

import tenvira
from tenvira import F32Resampler, I16Resampler, ProcessStats

Backend = Literal["scalar", "avx2+fma", "avx512f", "neon", "rvv"]


def stream_f32(chunks: list[list[float]]) -> list[float]:
    r = F32Resampler(48000, 16000, 2, quality="best", backend=None, max_input_frames_per_chunk=960)
    out: list[float] = []
    for chunk in chunks:
        samples, stats = r.process(chunk)
        out += samples
        assert_type(stats, ProcessStats)
    tail, stats = r.finish()
    assert_type(tail, list[float])
    assert_type(stats.input_frames, int)
    assert_type(stats.output_frames, int)
    assert_type(stats.backend, Backend)
    return out + tail


def stream_i16(samples: array[int]) -> list[int]:
    r = I16Resampler(input_rate=44100, output_rate=48000, channels=1)
    out, _ = r.process(samples)
    assert_type(out, list[int])
    more, _ = r.flush()
    r.reset()
    assert_type(r.required_output_capacity(len(samples)), int)
    assert_type(r.selected_backend, Backend)
    return out + more


def names() -> list[str]:
    assert_type(tenvira.quality_values(), list[str])
    return tenvira.quality_values() + tenvira.backend_values()


def accepted_inputs() -> None:
    f = F32Resampler(8000, 16000, 1)
    f.process([0.5, 1, True])  # floats, ints and bools are all numbers
    f.process(array("f", [0.25]))
    f.process(b"\x01\x02")  # bytes are a sequence of ints
    i = I16Resampler(8000, 16000, 1)
    i.process((1, -2, 3))
    i.process(range(10))


def into_buffers() -> int:
    f = F32Resampler(48000, 16000, 1)
    out = array("f", bytes(4 * f.required_output_capacity(960)))
    stats = f.process_into(array("f", [0.0] * 960), out)
    assert_type(stats, ProcessStats)
    tail = bytearray(4 * 64)
    return stats.output_frames + f.finish_into(memoryview(tail).cast("f")).output_frames


def numpy_arrays() -> int:
    """numpy arrays on every Python, also before numpy declares __buffer__ (3.12)."""
    f = F32Resampler(48000, 16000, 2)
    x = np.zeros((960, 2), dtype=np.float64)
    out = np.empty((f.required_output_capacity(960) // 2, 2), dtype=np.float32)
    stats = f.process_into(x, out)
    y, more = f.process_array(x)
    assert_type(y.shape, tuple[int, int])
    tail, last = f.finish_array()
    f.reset()
    f.process(np.zeros(4, dtype=np.float32))
    frames: int = np.asarray(y).shape[0]
    return stats.output_frames + more.output_frames + last.output_frames + frames + tail.nbytes


def mistakes() -> None:
    f = F32Resampler(48000, 16000, 1)
    i = I16Resampler(48000, 16000, 1)
    i.process([0.5])  # type: ignore[list-item]
    f.process("abc")  # type: ignore[arg-type]
    f.process(5)  # type: ignore[arg-type]
    F32Resampler(48000.0, 16000, 1)  # type: ignore[arg-type]
    F32Resampler(48000, 16000, 1, quality=2)  # type: ignore[arg-type]
    F32Resampler(48000, 16000)  # type: ignore[call-arg]
    f.selected_backend = "scalar"  # type: ignore[misc]
    x: list[int] = f.process([0.5])[0]  # type: ignore[assignment]
    del x


class Derived(F32Resampler):  # type: ignore[misc]
    """The classes are final."""
