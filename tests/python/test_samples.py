"""How process() reads its input sequence."""

import array
import math
import struct

import pytest

from support import CLASSES
from tenvira import F32Resampler, I16Resampler



def passthrough(cls):
    """Even output frames of the 8000 -> 16000 half-band path are the input
    samples themselves, so the converted values can be read back."""
    return cls(8000, 16000, 1, quality="best", backend="scalar")


def converted(cls, samples):
    r = passthrough(cls)
    return (r.process(samples)[0] + r.finish()[0])[0::2]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "value, exc, message",
    [
        ("abc", TypeError, "Can't extract `str` to `Vec`"),
        ("", TypeError, "Can't extract `str` to `Vec`"),
        (5, TypeError, "'int' object is not an instance of 'Sequence'"),
        (None, TypeError, "'None' is not an instance of 'Sequence'"),
        ({1: 2}, TypeError, "'dict' object is not an instance of 'Sequence'"),
        ({1, 2}, TypeError, "'set' object is not an instance of 'Sequence'"),
        (iter([1, 2]), TypeError, "'list_iterator' object is not an instance of 'Sequence'"),
        ((x for x in [1]), TypeError, "'generator' object is not an instance of 'Sequence'"),
    ],
)
def test_non_sequences_are_refused(cls, value, exc, message):
    r = cls(24000, 16000, 1)
    with pytest.raises(exc) as e:
        r.process(value)
    assert str(e.value) == message
    assert e.value.__notes__ == ["while processing 'input'"]


class Text(str):
    pass


class Mapping(dict):
    pass


def test_str_subclass_and_dict_subclass_are_refused():
    r = F32Resampler(24000, 16000, 1)
    with pytest.raises(TypeError, match="Can't extract `str` to `Vec`"):
        r.process(Text("x"))
    with pytest.raises(TypeError, match="'Mapping' object is not an instance of 'Sequence'"):
        r.process(Mapping())


@pytest.mark.parametrize("cls", CLASSES)
def test_sequences_of_every_kind(cls):
    values = [1, 2, 3, -4]
    expected = [float(v) for v in values] if cls is F32Resampler else values
    for seq in (values, tuple(values), range(1, 4), array.array("h", values), bytearray([1, 2, 3])):
        got = converted(cls, seq)
        assert got == [type(expected[0])(x) for x in seq]
    # bytes are a sequence of ints, not raw PCM.
    assert converted(cls, bytes([1, 2])) == ([1.0, 2.0] if cls is F32Resampler else [1, 2])
    assert converted(cls, memoryview(bytes([7]))) == ([7.0] if cls is F32Resampler else [7])


class Lying:
    """A sequence whose len() is wrong or fails; iteration is what counts."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [0, 1, 10**6, 2**62, ValueError("no len"), OverflowError("huge")])
def test_len_only_sizes_the_array(length):
    items = [0.5, 0.25, -1.0]
    assert converted(F32Resampler, Lying(items, length)) == items


@pytest.mark.parametrize("cls", CLASSES)
def test_iteration_errors_propagate_with_a_note(cls):
    class Breaks:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 2:
                raise KeyError("broken item")
            return 1

    class NoIter:
        def __getitem__(self, i):
            return 1

        def __iter__(self):
            raise LookupError("no iterator")

    r = cls(24000, 16000, 1)
    with pytest.raises(KeyError) as e:
        r.process(Breaks())
    assert e.value.__notes__ == ["while processing 'input'"]
    with pytest.raises(LookupError) as e:
        r.process(NoIter())
    assert e.value.__notes__ == ["while processing 'input'"]
    assert r.process([1, 2, 3])[1].input_frames == 3  # nothing was appended before


class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_float_protocol():
    assert converted(F32Resampler, [1, True, Floaty(0.5), Indexy(3), 2.0**-149]) == [1.0, 1.0, 0.5, 3.0, 2.0**-149]
    # Values are narrowed to float32 by round-to-nearest; beyond its range
    # they become infinities, and NaN stays NaN.
    got = converted(F32Resampler, [0.1, 1e40, -1e40, math.nan, 1e-50])
    assert got[0] == struct.unpack("f", struct.pack("f", 0.1))[0]
    assert got[1] == math.inf and got[2] == -math.inf
    assert math.isnan(got[3])
    assert got[4] == 0.0
    # -1.0 is an ordinary value when no error is pending.
    assert converted(F32Resampler, [-1.0, Floaty(-1.0)]) == [-1.0, -1.0]


@pytest.mark.parametrize(
    "item, exc",
    [("x", TypeError), (None, TypeError), (2**1024, OverflowError), (Floaty("nope"), TypeError), (1j, TypeError)],
)
def test_float_protocol_errors(item, exc):
    r = F32Resampler(24000, 16000, 1)
    with pytest.raises(exc) as e:
        r.process([0.5, item])
    assert e.value.__notes__ == ["while processing 'input'"]


def test_float_protocol_raising_dunder():
    class Raises:
        def __float__(self):
            raise ArithmeticError("bad float")

    with pytest.raises(ArithmeticError, match="bad float") as e:
        F32Resampler(24000, 16000, 1).process([Raises()])
    assert e.value.__notes__ == ["while processing 'input'"]


def test_int16_range_and_protocol():
    assert converted(I16Resampler, [32767, -32768, 0, True, Indexy(-5)]) == [32767, -32768, 0, 1, -5]
    r = I16Resampler(24000, 16000, 1)
    for bad in (32768, -32769, 2**40):
        with pytest.raises(OverflowError) as e:
            r.process([bad])
        assert str(e.value) == "out of range integral type conversion attempted"
        assert e.value.__notes__ == ["while processing 'input'"]
    with pytest.raises(OverflowError) as e:
        r.process([2**70])
    assert e.value.__notes__ == ["while processing 'input'"]
    for bad in (1.0, "1", None, Floaty(1.0)):
        with pytest.raises(TypeError) as e:
            r.process([bad])
        assert e.value.__notes__ == ["while processing 'input'"]


def test_misaligned_input_leaves_the_stream_unchanged():
    r = F32Resampler(24000, 16000, 2)
    with pytest.raises(ValueError) as e:
        r.process([0.0] * 5)
    assert e.value.args == ("input has 5 samples, which is not divisible by 2 channels",)
    assert not hasattr(e.value, "__notes__")
    assert r.process([0.0] * 6)[1].input_frames == 3
    I16 = I16Resampler(24000, 16000, 3)
    with pytest.raises(ValueError, match="^input has 4 samples, which is not divisible by 3 channels$"):
        I16.process([0] * 4)


class Iterated:
    """A sequence that only iterates: the reference for the fast paths."""

    def __init__(self, source):
        self.source = source

    def __len__(self):
        return len(self.source)

    def __getitem__(self, i):
        return self.source[i]


def outcome(cls, samples):
    """The converted values, or the exception type, message and notes."""
    try:
        return ("ok", converted(cls, samples))
    except Exception as e:  # noqa: BLE001
        return (type(e), str(e), getattr(e, "__notes__", None))


def same(a, b):
    """Equal outcomes; float results compare bit for bit, NaNs included."""
    if a[0] == b[0] == "ok" and a[1] and isinstance(a[1][0], float):
        return len(a[1]) == len(b[1]) and struct.pack(f"{len(a[1])}d", *a[1]) == struct.pack(f"{len(b[1])}d", *b[1])
    return a == b


SIGNALLING_NAN = struct.unpack("f", struct.pack("I", 0x7F800001))[0]
BUFFERS = [
    array.array("b", [-128, 0, 127]),
    array.array("B", [0, 255]),
    array.array("h", [-32768, 32767, 0, -1]),
    array.array("H", [0, 32767, 32768, 65535]),
    array.array("i", [-(2**31), 2**31 - 1, 5]),
    array.array("I", [0, 2**32 - 1]),
    array.array("l", [-(2**63), 2**63 - 1, 3]),
    array.array("L", [0, 2**64 - 1, 2**53 + 1]),
    array.array("q", [2**53 + 1, -(2**53) - 3, 12345]),
    array.array("Q", [2**63 + 2**40 + 1, 7]),
    array.array("f", [0.5, -0.0, math.inf, -math.inf, math.nan, 1e-45, 3.4e38]),
    array.array("d", [0.1, 1e40, -1e-50, math.nan, 2.0**-149, 123456789.123]),
    array.array("h", []),
    array.array("u", "ab"),
    bytes([0, 1, 255]),
    bytearray(b"\x10\x20"),
    memoryview(array.array("i", [1, -2, 3])),
    memoryview(b"abcdef")[::2],
    memoryview(array.array("d", [1.5, 2.5])).cast("B").cast("f"),
    memoryview(bytes(8)).cast("c"),
]


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("buf", BUFFERS, ids=lambda b: f"{type(b).__name__}-{getattr(b, 'typecode', getattr(b, 'format', ''))}")
def test_buffers_convert_exactly_like_iteration(cls, buf):
    assert same(outcome(cls, buf), outcome(cls, Iterated(buf)))
    assert same(outcome(cls, buf), outcome(cls, list(buf)))


def test_signalling_nan_arrives_quiet_like_through_float():
    buf = array.array("f", [SIGNALLING_NAN, 1.0])
    fast = converted(F32Resampler, buf)
    slow = converted(F32Resampler, Iterated(buf))
    assert struct.pack("2d", *fast) == struct.pack("2d", *slow)
    assert math.isnan(fast[0])


def test_numpy_arrays_convert_exactly_like_iteration():
    np = pytest.importorskip("numpy")
    arrays = [
        np.array([0.25, -1.5, np.nan, np.inf], dtype=np.float32),
        np.array([0.1, 1e39, -3.0], dtype=np.float64),
        np.array([-32768, 32767, 12], dtype=np.int16),
        np.array([70000, -5], dtype=np.int32),
        np.array([2**63 + 5, 1], dtype=np.uint64),
        np.array([1, 2, 3, 4], dtype=np.int64)[::2],  # not contiguous
        np.array([[1, 2], [3, 4]], dtype=np.int16),  # two-dimensional
        np.array([1.0, 2.0], dtype=">f4"),  # big-endian
        np.array([1.0, 2.0], dtype=np.float16),
        np.array([True, False]),
        np.array([], dtype=np.float32),
    ]
    for arr in arrays:
        for cls in CLASSES:
            assert same(outcome(cls, arr), outcome(cls, Iterated(arr))), (arr.dtype, cls)
    with pytest.raises(TypeError, match="iteration over a 0-d array"):
        F32Resampler(24000, 16000, 1).process(np.array(5.0, dtype=np.float32))


def test_list_changed_by_a_conversion_behaves_like_iteration():
    def make():
        items = [1.0, 2.0, 3.0, 4.0]

        class Shrinks:
            def __float__(self):
                del items[2:]
                return 0.5

        items[1] = Shrinks()
        return items

    assert converted(F32Resampler, make()) == converted(F32Resampler, Iterated(make())) == [1.0, 0.5]

    class Grows:
        def __init__(self, target):
            self.target = target

        def __float__(self):
            self.target.append(9.0)
            self.target.remove(self)
            return 0.25

    def grown():
        items = [1.0]
        items.append(Grows(items))
        return items

    # The item removes itself after appending: the list is [1.0, 9.0] when
    # index 2 is reached, so iteration ends there.
    assert converted(F32Resampler, grown()) == converted(F32Resampler, Iterated(grown())) == [1.0, 0.25]
