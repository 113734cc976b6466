"""process_into and finish_into: the caller's buffer instead of a new list."""

import array
import inspect

import pytest

from support import sample_dtype, signal
from tenvira import F32Resampler, I16Resampler, ProcessStats

np = pytest.importorskip("numpy")

CASES = [
    (48000, 16000, "balanced", 1),
    (44100, 48000, "fast", 2),
    (16000, 8000, "best", 2),
    (8000, 16000, "fast", 3),
    (24000, 8000, "balanced", 1),
]


@pytest.mark.parametrize("cls", [F32Resampler, I16Resampler])
@pytest.mark.parametrize("fin, fout, quality, channels", CASES)
def test_same_samples_and_stats_as_process(cls, fin, fout, quality, channels):
    x = np.asarray(signal(cls, 2000, channels), dtype=sample_dtype(cls))
    listed = cls(fin, fout, channels, quality)
    buffered = cls(fin, fout, channels, quality)
    expected, got = [], []
    for chunk in np.array_split(x, [0, 5 * channels, 600 * channels, 601 * channels, 1400 * channels]):
        out, stats = listed.process(chunk)
        room = np.full(buffered.required_output_capacity(len(chunk) // channels) + 3, 77, dtype=sample_dtype(cls))
        into = buffered.process_into(chunk, room[:-3])
        assert type(into) is ProcessStats
        assert repr(into) == repr(stats)
        got += room[: into.output_frames * channels].tolist()
        expected += out
        assert (room[-3:] == 77).all()  # nothing written past the buffer
    out, stats = listed.finish()
    tail = np.zeros(len(out) + 1, dtype=sample_dtype(cls))
    into = buffered.finish_into(tail)
    assert repr(into) == repr(stats)
    assert got + tail[: len(out)].tolist() == expected + out
    assert buffered.finish_into(np.zeros(0, dtype=sample_dtype(cls))).output_frames == 0


def test_any_writable_buffer_of_the_sample_type():
    r = F32Resampler(48000, 16000, 1, backend="scalar")
    need = r.required_output_capacity(480)
    samples = [0.5] * 480
    due = F32Resampler(48000, 16000, 1).process(samples)[1].output_frames
    for out in (
        array.array("f", [0.0] * need),
        memoryview(bytearray(4 * need)).cast("f"),
        np.zeros((need, 1), dtype=np.float32),  # C-contiguous of any shape
    ):
        r.reset()
        assert r.process_into(samples, out).output_frames == due
    i = I16Resampler(48000, 16000, 2)
    assert i.process_into([1, 2] * 480, array.array("h", [0] * i.required_output_capacity(480))).input_frames == 480


@pytest.mark.parametrize(
    "out, exc, message",
    [
        (np.zeros(400, dtype=np.float64), TypeError, "output must be a writable buffer of float32 samples (format 'f'), not format 'd'"),
        (array.array("h", [0] * 400), TypeError, "output must be a writable buffer of float32 samples (format 'f'), not format 'h'"),
        (bytes(1600), BufferError, None),
        (np.zeros(800, dtype=np.float32)[::2], ValueError, None),  # numpy: "ndarray is not C-contiguous"
        (bytearray(1600), TypeError, "output must be a writable buffer of float32 samples (format 'f'), not format 'B'"),
        ([0.0] * 400, TypeError, None),
        (None, TypeError, None),
    ],
)
def test_unsuitable_output_buffers(out, exc, message):
    r = F32Resampler(48000, 16000, 1)
    with pytest.raises(exc) as e:
        r.process_into([0.0] * 480, out)
    if message is not None:
        assert str(e.value) == message
    assert e.value.__notes__ == ["while processing 'output'"]
    with pytest.raises(exc):
        r.finish_into(out)
    # Nothing was consumed.
    assert r.process([0.0] * 480)[1].input_frames == 480


def test_too_small_output_consumes_nothing():
    r = F32Resampler(24000, 16000, 2, "balanced")
    need = r.required_output_capacity(100)
    assert need == 168
    with pytest.raises(ValueError) as e:
        r.process_into([0.25] * 200, np.zeros(need - 1, dtype=np.float32))
    assert str(e.value) == "output has room for 167 samples, but process_into (required_output_capacity(100)) needs 168"
    fresh = F32Resampler(24000, 16000, 2, "balanced")
    assert r.process([0.25] * 200)[0] == fresh.process([0.25] * 200)[0]

    pending = r.required_output_capacity(0)  # more than enough for the tail
    with pytest.raises(ValueError) as e:
        r.finish_into(np.zeros(1, dtype=np.float32))
    assert str(e.value).startswith("output has room for 1 samples, but finish_into (")
    assert r.finish_into(np.zeros(pending, dtype=np.float32)).output_frames > 0


def test_input_errors_and_lifecycle_are_those_of_process():
    r = I16Resampler(24000, 16000, 2)
    out = np.zeros(1000, dtype=np.int16)
    with pytest.raises(ValueError, match="^input has 3 samples, which is not divisible by 2 channels$"):
        r.process_into([1, 2, 3], out)
    with pytest.raises(OverflowError) as e:
        r.process_into([40000, 0], out)
    assert e.value.__notes__ == ["while processing 'input'"]
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'output'"):
        r.process_into([1, 2])
    r.finish_into(out)
    stats = r.process_into([1, 2, 3], out)  # finished: ignored, even misaligned
    assert stats.input_frames == 0 and stats.output_frames == 0
    r.reset()
    assert r.process_into(np.zeros(10, dtype=np.int16), out).input_frames == 5


def test_output_may_be_the_input_buffer():
    r = F32Resampler(16000, 48000, 1, backend="scalar")
    x = np.linspace(-1, 1, 4000, dtype=np.float32)
    expected = F32Resampler(16000, 48000, 1, backend="scalar").process(x[:1000])[0]
    stats = r.process_into(x[:1000], x)
    assert x[: stats.output_frames].tolist() == expected


def test_reentry_into_the_output_conversion_is_refused():
    r = F32Resampler(48000, 16000, 1)

    class Sample:
        def __float__(self):
            r.finish_into(np.zeros(10, dtype=np.float32))
            return 0.0

    with pytest.raises(RuntimeError, match="Already borrowed"):
        r.process_into([Sample()], np.zeros(100, dtype=np.float32))
    assert r.process([0.0] * 10)[1].input_frames == 10


def test_signatures():
    r = F32Resampler(48000, 16000, 1)
    assert str(inspect.signature(r.process_into)) == "(input, output)"
    assert str(inspect.signature(r.finish_into)) == "(output)"
    assert F32Resampler.process_into.__doc__.startswith("Process interleaved f32 samples into the writable float32 buffer")
    assert I16Resampler.finish_into.__doc__.startswith("Finish the stream into the writable int16 buffer")
