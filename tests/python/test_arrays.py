"""numpy-shaped data in the buffer methods: (frames, channels) arrays of any
numeric type in, (frames, channels) arrays out, and process_array /
finish_array."""

import pytest

from support import CLASSES, sample_dtype, signal
from tenvira import F32Resampler, I16Resampler

np = pytest.importorskip("numpy")


def listed(cls, fin, fout, channels, quality, items):
    """What process and finish give for `items` read one by one."""
    r = cls(fin, fout, channels, quality)
    out, _ = r.process(list(items))
    tail, _ = r.finish()
    return np.asarray(out + tail, dtype=sample_dtype(cls))


def layouts(x):
    """The same (frames, channels) values in C order, Fortran order, as the
    transpose of a (channels, frames) array and as a strided view."""
    wide = np.zeros((x.shape[0], 2 * x.shape[1]), dtype=x.dtype)
    wide[:, ::2] = x
    return [x, np.asfortranarray(x), np.ascontiguousarray(x.T).T, wide[:, ::2]]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("item", ["float64", "float32", "int16", "int32", "uint8", "int64"])
@pytest.mark.parametrize("fin, fout, quality, channels", [(44100, 48000, "fast", 2), (16000, 8000, "best", 3)])
def test_any_layout_and_item_type_gives_what_process_gives(cls, item, fin, fout, quality, channels):
    if cls is I16Resampler and item.startswith("float"):
        pytest.skip("floats are not int16 samples")
    base = np.asarray(signal(cls, 900, channels), dtype=np.float64).reshape(900, channels)
    if cls is F32Resampler and not item.startswith("float"):
        base = np.round(base * 100)  # integers that float32 holds
    x = base.astype(item)
    expected = listed(cls, fin, fout, channels, quality, x.ravel().tolist())
    for layout in layouts(x):
        r = cls(fin, fout, channels, quality)
        out = np.full((r.required_output_capacity(900) // channels, channels), 7, dtype=sample_dtype(cls))
        frames = r.process_into(layout, out).output_frames
        tail = np.empty((r.required_output_capacity(0) // channels, channels), dtype=sample_dtype(cls))
        last = r.finish_into(tail).output_frames
        got = np.concatenate([out[:frames], tail[:last]]).ravel()
        assert got.tobytes() == expected.tobytes()

        r = cls(fin, fout, channels, quality)
        a, stats = r.process_array(layout)
        b, end = r.finish_array()
        assert (a.shape, b.shape) == ((stats.output_frames, channels), (end.output_frames, channels))
        assert np.concatenate([np.asarray(a), np.asarray(b)]).ravel().tobytes() == expected.tobytes()


def test_float32_items_read_as_one_by_one():
    """A signalling NaN in a float32 buffer comes out as reading the items one
    by one gives it (quiet), on the path that copies input samples through."""
    x = np.zeros(64, dtype=np.float32)
    x.view(np.uint32)[10] = 0x7F800001  # signalling NaN
    x[11] = 1e-45
    expected = listed(F32Resampler, 8000, 16000, 1, "best", x.tolist())
    r = F32Resampler(8000, 16000, 1, "best")
    got = np.concatenate([np.asarray(r.process_array(x)[0]), np.asarray(r.finish_array()[0])]).ravel()
    assert got.view(np.uint32).tolist() == expected.view(np.uint32).tolist()


@pytest.mark.parametrize("cls", CLASSES)
def test_arrays_are_new_writable_and_wrapped_without_copy(cls):
    r = cls(48000, 16000, 2)
    a, stats = r.process_array(np.zeros((4800, 2), dtype=sample_dtype(cls)))
    b, _ = r.process_array(np.zeros((4800, 2), dtype=sample_dtype(cls)))
    code = "f" if cls is F32Resampler else "h"
    assert (a.format, a.shape, len(a), a.ndim) == (code, (stats.output_frames, 2), stats.output_frames, 2)
    view = memoryview(a)
    assert (view.format, view.shape, view.c_contiguous, view.readonly) == (code, a.shape, True, False)
    assert a.nbytes == view.nbytes == stats.output_frames * 2 * a.itemsize
    wrapped = np.asarray(a)
    assert wrapped.dtype == sample_dtype(cls) and np.shares_memory(wrapped, np.asarray(a))
    wrapped[0, 0] = 5
    assert view[0, 0] == 5 and np.asarray(b)[0, 0] == 0
    assert a.tolist() == wrapped.tolist() and a.tobytes() == wrapped.tobytes()
    empty, stats = cls(48000, 16000, 2).process_array(np.zeros((0, 2), dtype=sample_dtype(cls)))
    assert empty.shape == (0, 2) and stats.output_frames == 0 and np.asarray(empty).shape == (0, 2)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "shape, transpose_hint",
    [((2, 480), True), ((480, 3), False), ((480,), None), ((480, 2, 1), False)],
)
def test_shapes_that_do_not_fit_the_channels(cls, shape, transpose_hint):
    r = cls(48000, 16000, 2)
    x = np.zeros(shape, dtype=sample_dtype(cls))
    if transpose_hint is None:
        r.process_array(x)  # interleaved samples
        return
    for call in (lambda: r.process_array(x), lambda: r.process_into(x, np.zeros(1000, sample_dtype(cls)))):
        with pytest.raises(ValueError) as e:
            call()
        text = str(e.value)
        assert f"input has shape {shape}" in text and "(frames, 2)" in text
        assert (".T" in text) == transpose_hint
        assert e.value.__notes__ == ["while processing 'input'"]
    with pytest.raises(ValueError, match=r"output has shape \(100, 3\)"):
        r.process_into(np.zeros((10, 2), sample_dtype(cls)), np.zeros((100, 3), sample_dtype(cls)))
    assert r.process_array(np.zeros((10, 2), sample_dtype(cls)))[1].input_frames == 10  # nothing was taken before


@pytest.mark.parametrize(
    "x, exc, message",
    [
        (np.zeros((3, 2)), TypeError, "'numpy.float64' object cannot be interpreted as an integer"),
        (np.array([[0, 1], [40000, 0]]), OverflowError, "out of range integral type conversion attempted"),
        (np.array([[0, 1], [2**63, 0]], dtype=np.uint64), OverflowError, "Python int too large to convert to C long"),
    ],
)
def test_int16_input_that_is_not_int16_raises_as_items_do(x, exc, message):
    r = I16Resampler(48000, 16000, 2)
    for call in (lambda: r.process_array(x), lambda: r.process_into(x.ravel(), np.zeros(100, np.int16))):
        with pytest.raises(exc) as e:
            call()
        assert str(e.value) == message and e.value.__notes__ == ["while processing 'input'"]
    assert r.process_array(np.zeros((2, 2), np.int16))[1].input_frames == 2


@pytest.mark.parametrize("cls", CLASSES)
def test_an_array_lives_while_anything_views_it(cls):
    """Blocks of arrays that died serve the next ones; an array still seen
    through a memoryview or numpy must never be among them."""
    r = cls(8000, 16000, 1)
    x = np.arange(160, dtype=sample_dtype(cls)).reshape(-1, 1)
    held = [memoryview(r.process_array(x)[0]), np.asarray(r.process_array(x)[0])]
    expected = [bytes(h) for h in held]
    for _ in range(50):
        r.process_array(np.zeros((160, 1), dtype=sample_dtype(cls)))
    assert [bytes(h) for h in held] == expected and any(expected)
