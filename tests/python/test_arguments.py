"""Binding of constructor and method arguments, and conversion of values."""

import pytest

import tenvira
from support import CLASSES
from tenvira import F32Resampler



def notes(exc_info):
    return getattr(exc_info.value, "__notes__", [])


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((24000, 16000), {}, "{c}.__new__() missing 1 required positional argument: 'channels'"),
        ((24000,), {}, "{c}.__new__() missing 2 required positional arguments: 'output_rate' and 'channels'"),
        ((), {}, "{c}.__new__() missing 3 required positional arguments: 'input_rate', 'output_rate', and 'channels'"),
        ((), {"channels": 1}, "{c}.__new__() missing 2 required positional arguments: 'input_rate' and 'output_rate'"),
        (
            (24000, 16000, 1, None, None, None, 5),
            {},
            "{c}.__new__() takes from 3 to 6 positional arguments but 7 were given",
        ),
        ((24000, 16000, 1), {"rate": 5}, "{c}.__new__() got an unexpected keyword argument 'rate'"),
        ((24000, 16000, 1), {"channels": 2}, "{c}.__new__() got multiple values for argument 'channels'"),
        ((24000,), {"input_rate": 1}, "{c}.__new__() got multiple values for argument 'input_rate'"),
    ],
)
def test_constructor_binding_errors(cls, args, kwargs, message):
    with pytest.raises(TypeError) as e:
        cls(*args, **kwargs)
    assert str(e.value) == message.format(c=cls.__name__)


@pytest.mark.parametrize("cls", CLASSES)
def test_method_binding_errors(cls):
    r = cls(24000, 16000, 1)
    name = cls.__name__
    cases = [
        (lambda: r.process(), f"{name}.process() missing 1 required positional argument: 'input'"),
        (lambda: r.process([], []), f"{name}.process() takes 1 positional arguments but 2 were given"),
        (lambda: r.process(inputs=[]), f"{name}.process() got an unexpected keyword argument 'inputs'"),
        (lambda: r.process([], input=[]), f"{name}.process() got multiple values for argument 'input'"),
        (
            lambda: r.required_output_capacity(1, 2, 3),
            f"{name}.required_output_capacity() takes 1 positional arguments but 3 were given",
        ),
        (
            lambda: r.required_output_capacity(),
            f"{name}.required_output_capacity() missing 1 required positional argument: 'input_frames'",
        ),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as e:
            call()
        assert str(e.value) == message
    for method in (r.finish, r.flush, r.reset):
        with pytest.raises(TypeError):
            method(1)
    # Keyword use of every parameter works.
    assert r.process(input=[0.0] * 3 if cls is F32Resampler else [0] * 3)[1].input_frames == 3
    assert r.required_output_capacity(input_frames=0) > 0


def test_keywords_and_none_mean_defaults():
    a = F32Resampler(input_rate=24000, output_rate=16000, channels=1, quality=None)
    b = F32Resampler(24000, 16000, 1, None, None, None)
    c = F32Resampler(24000, 16000, 1, "balanced", "auto")
    signal = [((i * 37) % 101) / 101.0 for i in range(500)]
    outputs = [r.process(signal)[0] + r.finish()[0] for r in (a, b, c)]
    assert outputs[0] == outputs[1] == outputs[2]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("no index")


@pytest.mark.parametrize(
    "kwargs, exc, message, note",
    [
        ({"input_rate": 24000.0}, TypeError, "'float' object cannot be interpreted as an integer", "input_rate"),
        ({"input_rate": -1}, OverflowError, "out of range integral type conversion attempted", "input_rate"),
        ({"input_rate": 2**32}, OverflowError, "out of range integral type conversion attempted", "input_rate"),
        ({"output_rate": 2**63}, OverflowError, None, "output_rate"),
        ({"output_rate": "16000"}, TypeError, None, "output_rate"),
        ({"output_rate": BadIndex()}, ZeroDivisionError, "no index", "output_rate"),
        ({"channels": -1}, OverflowError, None, "channels"),
        ({"channels": 2**64}, OverflowError, None, "channels"),
        ({"channels": 1.0}, TypeError, None, "channels"),
        ({"quality": 5}, TypeError, "'int' object is not an instance of 'str'", "quality"),
        ({"quality": b"fast"}, TypeError, "'bytes' object is not an instance of 'str'", "quality"),
        ({"backend": ["auto"]}, TypeError, "'list' object is not an instance of 'str'", "backend"),
        ({"backend": "\ud800"}, UnicodeEncodeError, None, "backend"),
        ({"max_input_frames_per_chunk": -5}, OverflowError, None, "max_input_frames_per_chunk"),
        ({"max_input_frames_per_chunk": 0.5}, TypeError, None, "max_input_frames_per_chunk"),
    ],
)
@pytest.mark.parametrize("cls", CLASSES)
def test_constructor_conversion_errors_keep_type_and_gain_a_note(cls, kwargs, exc, message, note):
    args = {"input_rate": 24000, "output_rate": 16000, "channels": 1}
    args.update(kwargs)
    with pytest.raises(exc) as e:
        cls(**args)
    if message is not None:
        assert str(e.value) == message
    assert notes(e) == [f"while processing '{note}'"]


def test_conversions_run_in_parameter_order():
    with pytest.raises(TypeError) as e:
        F32Resampler(1.5, -1, 0.5, 5, 6, "x")
    assert notes(e) == ["while processing 'input_rate'"]
    with pytest.raises(OverflowError) as e:
        F32Resampler(24000, -1, 0.5, 5)
    assert notes(e) == ["while processing 'output_rate'"]


def test_index_objects_and_bool_are_accepted_as_integers():
    r = F32Resampler(Index(24000), Index(16000), Index(2), max_input_frames_per_chunk=Index(10))
    assert r.required_output_capacity(Index(100)) == r.required_output_capacity(100)
    assert F32Resampler(24000, 16000, True).process([1.0])[1].input_frames == 1


def test_str_subclasses_are_text():
    class Name(str):
        pass

    r = F32Resampler(24000, 16000, 1, quality=Name("FAST"), backend=Name("Scalar"))
    assert r.selected_backend == "scalar"


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"quality": "Ultra"}, 'unknown quality "Ultra"; expected one of: fast, balanced, best'),
        ({"quality": ""}, 'unknown quality ""; expected one of: fast, balanced, best'),
        ({"quality": 'a"b\tc'}, 'unknown quality "a\\"b\\tc"; expected one of: fast, balanced, best'),
        ({"quality": "best "}, 'unknown quality "best "; expected one of: fast, balanced, best'),
        ({"quality": "x\\y\r\n\0"}, 'unknown quality "x\\\\y\\r\\n\\0"; expected one of: fast, balanced, best'),
        ({"quality": "\x1b[0m"}, 'unknown quality "\\u{1b}[0m"; expected one of: fast, balanced, best'),
        (
            {"backend": " auto"},
            'unknown backend " auto"; expected one of: auto, scalar, avx2, avx2+fma, avx512, neon, rvv',
        ),
        ({"quality": "nope", "backend": "nope"}, 'unknown quality "nope"; expected one of: fast, balanced, best'),
        (
            {"input_rate": 0, "backend": "nope"},
            'unknown backend "nope"; expected one of: auto, scalar, avx2, avx2+fma, avx512, neon, rvv',
        ),
        ({"input_rate": 0, "channels": 0}, "sample rates must be greater than zero"),
        ({"output_rate": 0}, "sample rates must be greater than zero"),
        ({"input_rate": 0, "channels": 0, "backend": "neon"}, "sample rates must be greater than zero"),
        ({"channels": 0, "backend": "rvv"}, "channel count must be greater than zero"),
        ({"backend": "neon"}, "requested backend is not available: neon"),
        ({"backend": "RVV"}, "requested backend is not available: rvv"),
    ],
)
@pytest.mark.parametrize("cls", CLASSES)
def test_value_errors_in_validation_order(cls, kwargs, message):
    args = {"input_rate": 24000, "output_rate": 16000, "channels": 1}
    args.update(kwargs)
    with pytest.raises(ValueError) as e:
        cls(**args)
    assert e.value.args == (message,)


# Printable non-ASCII stays as typed; what Python's str.isprintable() rejects
# is escaped, and so are combining marks, which would otherwise attach to the
# neighbouring quote.
@pytest.mark.parametrize(
    "text, shown",
    [
        ("café", "café"),
        ("漢字", "漢字"),
        ("🎵", "🎵"),
        ("\u00a0", "\\u{a0}"),
        ("\u200b", "\\u{200b}"),
        ("\u2028", "\\u{2028}"),
        ("\x85", "\\u{85}"),
        ("\x7f", "\\u{7f}"),
        ("\ue000", "\\u{e000}"),
        ("e\u0301", "e\\u{301}"),
        ("\u20dd", "\\u{20dd}"),
        ("\U0010ffff", "\\u{10ffff}"),
    ],
)
def test_non_ascii_names_are_quoted_by_printability(text, shown):
    with pytest.raises(ValueError) as e:
        F32Resampler(24000, 16000, 1, quality=text)
    assert str(e.value) == f'unknown quality "{shown}"; expected one of: fast, balanced, best'


def test_printable_choice_follows_isprintable_except_combining_marks():
    import unicodedata

    for cp in list(range(0x80, 0x3000)) + [0xFFFD, 0x1F600, 0xE0001, 0x10FFFD]:
        ch = chr(cp)
        if 0xD800 <= cp <= 0xDFFF or unicodedata.unidata_version != "14.0.0" and unicodedata.category(ch) == "Cn":
            continue
        printable = ch.isprintable() and unicodedata.category(ch) not in ("Mn", "Mc", "Me")
        with pytest.raises(ValueError) as e:
            F32Resampler(24000, 16000, 1, quality=ch)
        quoted = str(e.value).split('"')[1]
        assert (quoted == ch) == printable, hex(cp)


@pytest.mark.parametrize(
    "text, backend",
    [("AVX2+FMA", "avx2+fma"), ("Avx512F", "avx512f"), ("AUTO", None), ("SCALAR", "scalar"), ("avx2", "avx2+fma")],
)
def test_backend_names_fold_ascii_case(text, backend):
    try:
        r = F32Resampler(24000, 16000, 1, backend=text)
    except ValueError as e:
        assert str(e).startswith("requested backend is not available: ")
        return
    if backend is not None:
        assert r.selected_backend == backend


@pytest.mark.parametrize("quality", ["BEST", "Best", "best", "fAsT", "BALANCED"])
def test_quality_names_fold_ascii_case(quality):
    F32Resampler(24000, 16000, 1, quality=quality)


def test_names_are_not_unicode_folded():
    with pytest.raises(ValueError):
        F32Resampler(24000, 16000, 1, quality="FAST".replace("A", "\u0391"))  # Greek capital alpha
    with pytest.raises(ValueError):
        F32Resampler(24000, 16000, 1, backend="ſcalar")  # long s folds to "s" under Unicode rules


def test_capacity_argument_conversion():
    r = F32Resampler(24000, 16000, 2)
    with pytest.raises(OverflowError) as e:
        r.required_output_capacity(-1)
    assert notes(e) == ["while processing 'input_frames'"]
    with pytest.raises(TypeError) as e:
        r.required_output_capacity(1.0)
    assert notes(e) == ["while processing 'input_frames'"]
    # The estimate saturates instead of wrapping in its last multiplication.
    extreme = F32Resampler(1, 2**32 - 1, 1024)
    assert extreme.required_output_capacity(2**23) == 2**64 - 1


def test_module_lists_match_accepted_names():
    for q in tenvira.quality_values():
        F32Resampler(24000, 16000, 1, quality=q)
    for b in tenvira.backend_values():
        try:
            F32Resampler(24000, 16000, 1, backend=b)
        except ValueError as e:
            assert str(e).startswith("requested backend is not available: ")
