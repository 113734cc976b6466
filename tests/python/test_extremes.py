"""Extreme configurations: the smallest and largest rates, ratios up to
1:100000 both ways, 1024 channels, chunk sizes at the edge of what can be
described, and calls whose output cannot be allocated."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from support import CLASSES, rss_kib
from tenvira import F32Resampler, I16Resampler

U32_MAX = 2**32 - 1
HALF = {"fast": 12, "balanced": 24, "best": 48}
TAPS = {q: 2 * h for q, h in HALF.items()}


def total(frames, fin, fout):
    return -(-frames * fout // fin)


def ramp(cls, frames, channels, seed=0):
    out = []
    for i in range(frames):
        for k in range(channels):
            v = ((i * 7919 + k * 104729 + seed) % 2001 - 1000) / 1000
            out.append(v if cls is F32Resampler else int(v * 32767))
    return out


def stream(r, samples, channels, chunk_frames):
    out, pos = [], 0
    while pos < len(samples):
        out += r.process(samples[pos : pos + chunk_frames * channels])[0]
        pos += chunk_frames * channels
    return out + r.finish()[0]


def fault_type():
    try:
        F32Resampler(24000, 16000, 1, max_input_frames_per_chunk=2**63)
    except BaseException as e:  # noqa: B902
        return type(e)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("quality", ["fast", "best"])
@pytest.mark.parametrize(
    "fin, fout, frames",
    [
        (U32_MAX, 1, 1000),
        (U32_MAX, U32_MAX, 300),
        (1, 1, 300),
        (U32_MAX, U32_MAX - 1, 300),
        (U32_MAX - 1, U32_MAX, 300),
        (1, 100_000, 3),  # 1:100000 up
        (100_000, 1, 250_000),  # 100000:1 down
        (3840, 384_000_000, 2),
        (384_000_000, 3840, 200_000),
        (1, 384_000, 1),
    ],
)
def test_extreme_rates_keep_exact_totals_and_chunking(cls, quality, fin, fout, frames):
    samples = ramp(cls, frames, 1)
    one = stream(cls(fin, fout, 1, quality), samples, 1, frames)
    assert len(one) == total(frames, fin, fout)
    step = max(1, frames // 7)
    assert stream(cls(fin, fout, 1, quality), samples, 1, step) == one
    if cls is F32Resampler:
        # Input within [-1, 1] stays bounded: the filters' gain is finite.
        assert all(abs(x) < 4.0 for x in one)


@pytest.mark.parametrize("cls", CLASSES)
def test_calls_that_produce_nothing_are_accepted_at_the_largest_ratio(cls):
    r = cls(1, U32_MAX, 1, "fast")
    assert r.process([])[0] == []
    assert r.process([0] * HALF["fast"])[0] == []


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "fin, fout, quality",
    [(48000, 44100, "balanced"), (8000, 16000, "fast"), (16000, 8000, "fast"), (24000, 8000, "best"),
     (8000, 16000, "best")],
)
def test_1024_channels_are_independent_streams(cls, fin, fout, quality):
    channels, frames = 1024, 150
    samples = ramp(cls, frames, channels)
    out = stream(cls(fin, fout, channels, quality), samples, channels, 40)
    assert len(out) == channels * total(frames, fin, fout)
    for k in (0, 1, 511, 1023):
        mono = stream(cls(fin, fout, 1, quality), samples[k::channels], 1, frames)
        assert out[k::channels] == mono


@pytest.mark.parametrize("cls", CLASSES)
def test_chunk_size_zero_is_the_same_as_none(cls):
    samples = ramp(cls, 3000, 2)
    a = stream(cls(44100, 48000, 2, "balanced", max_input_frames_per_chunk=0), samples, 2, 1500)
    b = stream(cls(44100, 48000, 2, "balanced"), samples, 2, 1500)
    assert a == b and len(a) == 2 * total(3000, 44100, 48000)


@pytest.mark.parametrize("cls, bytes_per_sample", [(F32Resampler, 4), (I16Resampler, 2)])
@pytest.mark.parametrize(
    "kwargs_of",
    [
        # A ring whose byte size can be described but not held: MemoryError.
        lambda limit: {"max_input_frames_per_chunk": 2**40},
        lambda limit: {"max_input_frames_per_chunk": limit - TAPS["balanced"] - 9},
        lambda limit: {"channels": 2**40},
        lambda limit: {"channels": 2**64 - 1},
        # One byte further is a ring whose size does not fit a signed 64-bit
        # count of bytes: the internal fault.
        lambda limit: {"max_input_frames_per_chunk": limit - TAPS["balanced"] - 8},
        lambda limit: {"max_input_frames_per_chunk": 2**62},
        lambda limit: {"max_input_frames_per_chunk": 2**64 - 1},
    ],
    ids=["2^40", "limit-57", "2^40ch", "2^64-1ch", "limit-56", "2^62", "2^64-1"],
)
def test_unholdable_rings_are_refused_before_anything_is_built(cls, bytes_per_sample, kwargs_of):
    limit = 2**63 // bytes_per_sample  # first ring capacity whose byte size overflows
    kwargs = {"channels": 1, **kwargs_of(limit)}
    chunk = kwargs.get("max_input_frames_per_chunk", 0)
    before = rss_kib()
    with pytest.raises(BaseException) as e:  # noqa: B017
        cls(24000, 16000, quality="balanced", **kwargs)
    assert rss_kib() - before < 64 * 1024
    if chunk + TAPS["balanced"] + 8 >= limit:
        assert type(e.value) is fault_type() and e.value.args == ("capacity overflow",)
        assert not isinstance(e.value, Exception)
    else:
        assert type(e.value) is MemoryError


@pytest.mark.parametrize("cls", CLASSES)
def test_refused_output_leaves_the_stream_usable(cls):
    # 1 Hz -> 2^20 Hz: a call of 65536 frames would need room for 2^36
    # output frames, far beyond the memory of the machines this runs on.
    fin, fout = 1, 2**20
    r = cls(fin, fout, 1, "fast")
    big = ramp(cls, 65536, 1)
    if r.required_output_capacity(65536) * 2 <= 2 * memory_bytes():
        pytest.skip("this machine could hold the output")
    with pytest.raises(MemoryError):
        r.process(big)
    # Nothing was appended: the stream goes on as a fresh one would.
    small = ramp(cls, 2, 1)
    out, stats = r.process(small)
    assert stats.input_frames == 2 and out == []
    tail, stats = r.finish()
    assert len(tail) == total(2, fin, fout)
    assert tail == stream(cls(fin, fout, 1, "fast"), small, 1, 2)


def memory_bytes():
    with open("/proc/meminfo") as f:
        info = {line.split(":")[0]: int(line.split()[1]) * 1024 for line in f}
    return info.get("MemTotal", 0) + info.get("SwapTotal", 0)


RESULT_TOO_LARGE = textwrap.dedent(
    """
    import json, resource
    from tenvira import I16Resampler

    # 1 Hz -> 10 kHz, int16: 1000 input frames render 9.88 million output
    # frames. The engine's int16 output (20 MB) fits under the limit set
    # below; the Python list of it (79 MB of pointers) does not.
    r = I16Resampler(1, 10000, 1, "fast")
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm + 60 * 2**20, hard))
    try:
        delivered = len(r.process([0] * 1000)[0])
        error = None
    except MemoryError:
        delivered, error = 0, "MemoryError"
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    # Refused whole: the same input goes through once memory allows.
    if error:
        delivered += len(r.process([0] * 1000)[0])
    delivered += len(r.process([])[0]) + len(r.finish()[0])
    print(json.dumps({"error": error, "delivered": delivered}))
    """
)


@pytest.mark.skipif(
    os.environ.get("TENVIRA_SANITIZED") == "1" or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="an address-space limit does not work with AddressSanitizer's shadow memory",
)
def test_a_result_that_cannot_be_built_loses_no_frames():
    run = subprocess.run([sys.executable, "-c", RESULT_TOO_LARGE], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert result["error"] == "MemoryError"
    assert result["delivered"] == total(1000, 1, 10000)


# After 12 frames at quality "fast" (look-ahead 12) nothing is due; one more
# call then makes a great deal due at once, under an address-space limit:
# - 1 Hz -> 4294967295 Hz, 1 frame: every output frame whose read position
#   truncates to 0, 4294967295 frames (17 GB), beyond a 1.5 GB limit;
# - 1 Hz -> 100 kHz, 1000 frames: 1e8 frames, 400 MB as float32 in the
#   engine, which fits under a 1 GB limit, but 800 MB of list pointers plus
#   2.4 GB of float objects as a Python list, which never will.
# Either call must be refused whole, and the stream must go on.
REFUSED_CALL = textwrap.dedent(
    """
    import json, resource, sys
    from tenvira import F32Resampler

    output_rate, limit_mb, frames = (int(x) for x in sys.argv[1:4])
    with open("/proc/self/status") as f:
        vm = next(int(l.split()[1]) for l in f if l.startswith("VmSize:")) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm + limit_mb * 2**20, hard))
    r = F32Resampler(1, output_rate, 1, "fast")
    r.process([0.0] * 12)
    outcome = {}
    for name, call in (("big call", lambda: r.process([0.0] * frames)), ("empty call", lambda: r.process([]))):
        try:
            out, stats = call()
            outcome[name] = ["ok", len(out), stats.input_frames]
        except MemoryError:
            outcome[name] = ["MemoryError"]
    print(json.dumps(outcome))
    """
)


@pytest.mark.skipif(
    os.environ.get("TENVIRA_SANITIZED") == "1" or "asan" in os.environ.get("LD_PRELOAD", ""),
    reason="an address-space limit does not work with AddressSanitizer's shadow memory",
)
@pytest.mark.parametrize(
    "output_rate, limit_mb, frames",
    [(4294967295, 1536, 1), (100_000, 1024, 1000)],
    ids=["engine output too large", "list too large"],
)
def test_a_call_whose_result_cannot_be_held_is_refused_and_the_stream_stays_usable(output_rate, limit_mb, frames):
    args = [sys.executable, "-c", REFUSED_CALL, str(output_rate), str(limit_mb), str(frames)]
    run = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    outcome = json.loads(run.stdout)
    assert outcome["big call"] == ["MemoryError"]
    assert outcome["empty call"] == ["ok", 0, 0]
