"""The studio-quality presets "hq" and "vhq" through the module: accepted in
any ASCII case by both classes without joining the canonical names, the
streaming contracts on every kind of rate pair (the telephony pairs go
through the studio path too), output capacities that stay upper bounds, and
the buffer methods."""

import random

import numpy as np
import pytest

import tenvira
from support import CLASSES, signal
from test_streaming import random_chunks, stream
from tenvira import F32Resampler

PAIRS = [(48000, 16000), (44100, 48000), (16000, 8000), (8000, 16000), (24000, 8000), (16000, 16000), (11025, 4000)]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("name", ["hq", "HQ", "Hq", "vhq", "VHQ", "vHq"])
def test_names_are_accepted_but_not_canonical(cls, name):
    r = cls(48000, 16000, 1, quality=name)
    assert r.required_output_capacity(960) > 0
    assert tenvira.quality_values() == ["fast", "balanced", "best"]
    with pytest.raises(ValueError, match=r'^unknown quality "hq "; expected one of: fast, balanced, best$'):
        cls(48000, 16000, 1, quality="hq ")


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("rates", PAIRS, ids=lambda p: f"{p[0]}-{p[1]}")
@pytest.mark.parametrize("quality", ["hq", "vhq"])
def test_streaming_contracts(cls, rates, quality):
    fin, fout = rates
    frames, channels = 2100, 2
    samples = signal(cls, frames, channels)
    one, _ = stream(cls(fin, fout, channels, quality), samples, channels, [frames])
    r = cls(fin, fout, channels, quality)
    chunks = random_chunks(frames, random.Random(5))
    chunked, counts = stream(r, samples, channels, chunks)
    assert len(one) == channels * -(-frames * fout // fin)
    assert one == chunked
    for n, got in zip(chunks, counts):
        assert got * channels <= r.required_output_capacity(n)
    r.reset()
    assert stream(r, samples, channels, [frames])[0] == one


@pytest.mark.parametrize("rates", [(8000, 16000), (16000, 8000), (24000, 8000)], ids=lambda p: f"{p[0]}-{p[1]}")
def test_telephony_pairs_take_the_studio_path(rates):
    # The fixed half-band and third-band paths look 12-48 frames ahead; the
    # studio path 400 (8000 -> 16000) to 850 frames.
    fin, fout = rates
    r = F32Resampler(fin, fout, 1, "hq")
    assert r.process([0.1] * 100)[1].output_frames == 0
    best = F32Resampler(fin, fout, 1, "best")
    assert best.process([0.1] * 100)[1].output_frames > 0


@pytest.mark.parametrize("quality", ["hq", "vhq"])
def test_buffer_methods(quality):
    x = np.asarray(signal(F32Resampler, 4800, 2), dtype=np.float32)
    expected, _ = stream(F32Resampler(48000, 44100, 2, quality), x.tolist(), 2, [960] * 5)
    r = F32Resampler(48000, 44100, 2, quality)
    out = np.empty(r.required_output_capacity(960), dtype=np.float32)
    got = []
    for k in range(5):
        n = r.process_into(x[k * 1920 : (k + 1) * 1920], out).output_frames
        got += out[: 2 * n].tolist()
    tail = np.empty(2 * 4000, dtype=np.float32)
    n = r.finish_into(tail).output_frames
    assert got + tail[: 2 * n].tolist() == expected


@pytest.mark.parametrize("rates", [(4294967295, 1), (44100, 1), (192000, 8000), (1, 3)], ids=lambda p: f"{p[0]}-{p[1]}")
@pytest.mark.parametrize("quality", ["hq", "vhq"])
def test_steep_ratios_finish_with_exact_totals(rates, quality):
    # The end of the stream flushes each stage with its own few zeros, not
    # the whole hold-back (hundreds of billions of frames at the steepest).
    fin, fout = rates
    r = F32Resampler(fin, fout, 2, quality)
    out, _ = r.process([0.25] * 2000)
    tail, _ = r.finish()
    assert len(out) + len(tail) == 2 * -(-1000 * fout // fin)
