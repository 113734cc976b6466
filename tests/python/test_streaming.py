"""Streaming contracts seen from Python: exact totals, chunking invariance,
end of stream, reset, bit-exact float32 output, int16 identical on every
backend, and no growth in memory over many calls."""

import math
import random

import pytest

import reference
from support import CLASSES, available_backends, signal
from tenvira import F32Resampler, I16Resampler

# (input rate, output rate, quality): every rendering path.
PATHS = [
    (48000, 16000, "balanced"),  # polyphase down
    (44100, 48000, "fast"),  # polyphase up
    (16000, 16000, "best"),  # polyphase, equal rates
    (8000, 16000, "balanced"),  # half-band up
    (16000, 8000, "best"),  # half-band down
    (24000, 8000, "fast"),  # third-band down
    (8000, 16000, "fast"),  # IIR up
    (16000, 8000, "fast"),  # IIR down
]


def stream(r, samples, channels, chunks):
    out, counts = [], []
    pos = 0
    for n in chunks:
        o, s = r.process(samples[pos : pos + n * channels])
        pos += n * channels
        out += o
        counts.append(s.output_frames)
    o, s = r.finish()
    return out + o, counts + [s.output_frames]


def random_chunks(total, rng):
    chunks = []
    while total > 0:
        n = min(total, rng.choice([0, 1, 2, 7, 50, 160, 333]))
        chunks.append(n)
        total -= n
    return chunks


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("rates", PATHS, ids=lambda p: f"{p[0]}-{p[1]}-{p[2]}")
@pytest.mark.parametrize("channels", [1, 2])
def test_chunked_equals_one_call_and_total_is_exact(cls, rates, channels):
    fin, fout, quality = rates
    frames = 1237
    samples = signal(cls, frames, channels)
    one, _ = stream(cls(fin, fout, channels, quality), samples, channels, [frames])
    chunked, counts = stream(cls(fin, fout, channels, quality), samples, channels, random_chunks(frames, random.Random(3)))
    single, _ = stream(cls(fin, fout, channels, quality), samples, channels, [1] * frames)
    assert len(one) == channels * -(-frames * fout // fin)
    assert one == chunked == single
    assert sum(counts) * channels == len(one)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("rates", PATHS, ids=lambda p: f"{p[0]}-{p[1]}-{p[2]}")
def test_totals_for_short_streams(cls, rates):
    fin, fout, quality = rates
    for frames in (0, 1, 2, 3, 5, 24, 49, 97, 100):
        r = cls(fin, fout, 1, quality)
        out, _ = stream(r, signal(cls, frames, 1), 1, [frames])
        assert len(out) == -(-frames * fout // fin), frames


@pytest.mark.parametrize(
    "fin, fout, quality, frames, in_process",
    [
        (16000, 24000, "fast", 16, 7),  # position 6 * (2/3) sums to 3.9999999999999996
        (44100, 48000, "fast", 306, 321),
        (24000, 16000, "fast", 12, 0),
        (24000, 16000, "fast", 13, 1),
        (16000, 8000, "balanced", 25, 1),
        (16000, 8000, "balanced", 24, 0),
        (24000, 16000, "best", 1, 0),
        (8000, 16000, "fast", 3, 6),
        (16000, 8000, "fast", 5, 2),
    ],
)
def test_when_frames_are_emitted(fin, fout, quality, frames, in_process):
    r = F32Resampler(fin, fout, 1, quality)
    assert r.process([0.0] * frames)[1].output_frames == in_process
    assert r.finish()[1].output_frames == -(-frames * fout // fin) - in_process


@pytest.mark.parametrize("cls", CLASSES)
def test_lifecycle(cls):
    samples = signal(cls, 400, 2)
    r = cls(24000, 16000, 2)
    first = stream(r, samples, 2, [400])[0]
    # A second finish finds nothing left; flush is the same operation.
    assert r.finish()[0] == [] and r.flush()[0] == []
    # After finish, input is ignored without validation, even when misaligned.
    out, stats = r.process(samples[:5])
    assert out == [] and stats.input_frames == 0 and stats.output_frames == 0
    # Conversion errors are still raised.
    with pytest.raises(TypeError):
        r.process(["x"])
    assert r.required_output_capacity(0) > 0
    # reset starts a new stream that counts input again.
    assert r.reset() is None
    assert stream(r, samples, 2, [100, 300])[0] == first

    # flush is finish under another name.
    flushed, finished = cls(24000, 16000, 2), cls(24000, 16000, 2)
    flushed.process(samples)
    finished.process(samples)
    (out_a, stats_a), (out_b, stats_b) = flushed.flush(), finished.finish()
    assert out_a == out_b and out_a
    assert repr(stats_a) == repr(stats_b)


def test_required_output_capacity_examples():
    r = F32Resampler(24000, 16000, 2, "balanced")
    assert r.required_output_capacity(100) == 168
    assert r.required_output_capacity(0) == 36
    r.finish()
    assert r.required_output_capacity(100) == 168


@pytest.mark.parametrize(
    "fin, fout, quality, render",
    [
        (24000, 16000, "fast", lambda s, ch: reference.render_polyphase(s, ch, 24000, 16000, "fast")),
        (16000, 8000, "balanced", lambda s, ch: reference.render_half_band_down(s, ch, "balanced")),
    ],
    ids=["polyphase", "half-band"],
)
@pytest.mark.parametrize("channels", [1, 2])
def test_scalar_float_output_matches_plain_python_model(fin, fout, quality, render, channels):
    frames = 300
    samples = [reference.f32(x) for x in signal(F32Resampler, frames, channels, seed=9)]
    r = F32Resampler(fin, fout, channels, quality, "scalar")
    out, _ = stream(r, samples, channels, [100, 1, 199])
    expected = render(samples, channels)
    assert len(out) == len(expected)
    assert out == expected


@pytest.mark.parametrize("rates", [(48000, 16000, "fast"), (44100, 48000, "balanced"), (16000, 24000, "best")])
def test_int16_output_is_the_same_on_every_backend(rates):
    fin, fout, quality = rates
    samples = [int(32767 * math.sin(0.3 * i) * (1 if i % 7 else -1)) for i in range(3000)]
    samples[100:110] = [32767, -32768] * 5
    results = []
    for backend in available_backends():
        r = I16Resampler(fin, fout, 1, quality, backend)
        results.append(stream(r, samples, 1, [1000, 2000])[0])
    assert all(res == results[0] for res in results[1:])


@pytest.mark.parametrize("backend", ["avx2", "avx512"])
def test_float_vector_backends_stay_close_to_scalar(backend):
    if backend not in available_backends():
        pytest.skip(f"{backend} not available")
    samples = signal(F32Resampler, 2000, 1)
    scalar = stream(F32Resampler(44100, 48000, 1, "best", "scalar"), samples, 1, [2000])[0]
    vector = stream(F32Resampler(44100, 48000, 1, "best", backend), samples, 1, [2000])[0]
    assert len(scalar) == len(vector)
    assert max(abs(a - b) for a, b in zip(scalar, vector)) < 1e-5


def test_multichannel_equals_independent_mono_streams():
    for fin, fout, quality in PATHS:
        left, right = signal(F32Resampler, 500, 1, seed=1), signal(F32Resampler, 500, 1, seed=2)
        stereo = [x for pair in zip(left, right) for x in pair]
        both = stream(F32Resampler(fin, fout, 2, quality), stereo, 2, [500])[0]
        mono_l = stream(F32Resampler(fin, fout, 1, quality), left, 1, [500])[0]
        mono_r = stream(F32Resampler(fin, fout, 1, quality), right, 1, [500])[0]
        assert both[0::2] == mono_l and both[1::2] == mono_r, (fin, fout, quality)


def test_int16_saturates_instead_of_wrapping():
    square = ([32767] * 8 + [-32768] * 8) * 40
    for fin, fout, quality in PATHS:
        out, _ = stream(I16Resampler(fin, fout, 1, quality), square, 1, [len(square)])
        assert max(out) == 32767 and min(out) == -32768, (fin, fout, quality)


def test_allocation_limits():
    # A ring whose byte size cannot be described is an internal fault; one
    # the machine cannot hold is a MemoryError. Neither leaves anything behind.
    with pytest.raises(MemoryError):
        F32Resampler(24000, 16000, 1, max_input_frames_per_chunk=2**40)
    with pytest.raises(BaseException) as e:
        I16Resampler(24000, 16000, 1, max_input_frames_per_chunk=2**62)
    assert e.value.args == ("capacity overflow",) and not isinstance(e.value, Exception)
    assert F32Resampler(24000, 16000, 1, "fast", max_input_frames_per_chunk=0).process([0.0] * 13)[1].output_frames == 1
