"""What the classes look like from Python: names, signatures, docstrings,
immutability, repr, statistics records, thread binding and re-entry."""

import gc
import inspect
import struct
import sys
import threading
import weakref

import pytest

import tenvira
from support import CLASSES, noise
from tenvira import F32Resampler, I16Resampler, ProcessStats

SIGNATURE = "(input_rate, output_rate, channels, quality=None, backend=None, max_input_frames_per_chunk=None)"


def fault_type():
    """The class of internal faults, reached through a fault the public
    interface can provoke: a ring too large to describe."""
    try:
        F32Resampler(24000, 16000, 1, max_input_frames_per_chunk=2**62)
    except BaseException as e:  # noqa: B902 - the fault is not an Exception
        return type(e)
    raise AssertionError("no fault raised")


def test_module_contents_and_order():
    assert tenvira.__all__ == ["F32Resampler", "I16Resampler", "ProcessStats", "quality_values", "backend_values"]
    assert [n for n in vars(tenvira) if not n.startswith("__")] == tenvira.__all__


@pytest.mark.parametrize("cls", CLASSES)
def test_class_identity(cls):
    assert cls.__name__ == cls.__qualname__ == cls.__name__
    assert cls.__module__ == "tenvira"
    assert repr(cls) == f"<class 'tenvira.{cls.__name__}'>"
    assert cls.__text_signature__ == SIGNATURE
    assert str(inspect.signature(cls)) == SIGNATURE
    assert cls.__doc__ == ""
    assert cls.__bases__ == (object,)


def test_process_stats_class_identity():
    assert ProcessStats.__module__ == "tenvira"
    assert ProcessStats.__doc__ is None
    assert ProcessStats.__bases__ == (object,)
    with pytest.raises(TypeError) as e:
        ProcessStats()
    assert str(e.value) == "cannot create 'tenvira.ProcessStats' instances"
    with pytest.raises(TypeError):
        ProcessStats.__new__(ProcessStats)


@pytest.mark.parametrize("cls", CLASSES + [ProcessStats])
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", CLASSES)
def test_methods_in_table_order_with_signatures(cls):
    names = [n for n, v in vars(cls).items() if callable(v) and not n.startswith("__")]
    assert names == [
        "process", "finish", "flush", "reset", "required_output_capacity",
        "process_into", "finish_into", "process_array", "finish_array",
    ]
    r = cls(24000, 16000, 1)
    word = "f32" if cls is F32Resampler else "i16"
    assert cls.process.__text_signature__ == "($self, input)"
    assert cls.process.__doc__ == f"Process interleaved {word} samples and return `(output, stats)`."
    assert cls.finish.__doc__ == "Finish the stream and return `(output, stats)`."
    assert cls.flush.__doc__ == "Alias for `finish`."
    assert cls.reset.__doc__ is None
    assert cls.required_output_capacity.__doc__ is None
    expected = {
        "process": "(input)",
        "finish": "()",
        "flush": "()",
        "reset": "()",
        "required_output_capacity": "(input_frames)",
        "process_into": "(input, output)",
        "finish_into": "(output)",
        "process_array": "(input)",
        "finish_array": "()",
    }
    for name, text in expected.items():
        assert str(inspect.signature(getattr(r, name))) == text
    assert cls.required_output_capacity.__text_signature__ == "($self, input_frames)"


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_have_no_dict_and_no_weakrefs(cls):
    r = cls(24000, 16000, 1)
    with pytest.raises(AttributeError):
        r.x = 1
    with pytest.raises(AttributeError):
        r.selected_backend = "scalar"
    with pytest.raises(AttributeError):
        del r.selected_backend
    with pytest.raises(TypeError):
        weakref.ref(r)
    with pytest.raises(TypeError):
        cls.process = None


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("backend", ["scalar", "auto", "avx2", "avx512"])
def test_repr_and_selected_backend(cls, backend):
    try:
        r = cls(24000, 16000, 1, backend=backend)
    except ValueError:
        pytest.skip(f"{backend} not available here")
    name = r.selected_backend
    assert name in ("scalar", "avx2+fma", "avx512f")
    if backend == "avx2":
        assert name == "avx2+fma"
    if backend == "avx512":
        assert name == "avx512f"
    assert repr(r) == f'{cls.__name__}(selected_backend="{name}")'
    assert r.selected_backend is not r.selected_backend  # a new str on every read


def test_stats_record():
    r = F32Resampler(48000, 16000, 2, backend="scalar")
    out, stats = r.process([0.25] * 960)
    assert type(stats) is ProcessStats
    assert stats.input_frames == 480
    assert stats.output_frames * 2 == len(out)
    assert stats.backend == r.selected_backend == "scalar"
    assert repr(stats) == f'ProcessStats(input_frames=480, output_frames={stats.output_frames}, backend="scalar")'
    with pytest.raises(AttributeError):
        stats.input_frames = 1
    with pytest.raises(AttributeError):
        stats.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(stats)
    empty_out, empty = r.process([])
    assert empty_out == [] and empty.input_frames == 0 and empty.output_frames == 0
    assert repr(r.finish()[1]).startswith("ProcessStats(input_frames=0, ")
    a, b = r.process([]), r.process([])
    assert a[0] is not b[0] and a[1] is not b[1]
    # The record keeps nothing of the resampler: it outlives it unchanged.
    del r
    gc.collect()
    assert stats.input_frames == 480


def test_result_types():
    f_out, _ = F32Resampler(16000, 8000, 1).process([0.1, 0.2, 0.3] * 100)
    assert f_out and all(type(x) is float for x in f_out)
    assert all(x == struct.unpack("f", struct.pack("f", x))[0] for x in f_out)  # exact float32 values
    i_out, _ = I16Resampler(16000, 8000, 1).process([1000, -2000, 3000] * 100)
    assert i_out and all(type(x) is int for x in i_out)
    assert all(-32768 <= x <= 32767 for x in i_out)


def run_in_thread(fn):
    box = {}

    def target():
        try:
            box["value"] = fn()
        except BaseException as e:  # noqa: B902
            # Without its traceback: the frames would hold `fn`, and with it
            # the resampler, in a cycle that the collector might then free
            # on some other thread.
            box["error"] = e.with_traceback(None)
            box["ident"] = threading.get_ident()

    t = threading.Thread(target=target)
    t.start()
    t.join()
    return box


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.process([]),
        lambda r: r.finish(),
        lambda r: r.flush(),
        lambda r: r.reset(),
        lambda r: r.required_output_capacity(1),
        lambda r: r.selected_backend,
        lambda r: repr(r),
    ],
    ids=["process", "finish", "flush", "reset", "required_output_capacity", "selected_backend", "repr"],
)
def test_other_threads_get_a_fault_and_the_stream_is_untouched(cls, call):
    samples = noise(cls, 900, 2, 1)
    r = cls(44100, 48000, 2, "balanced")
    twin = cls(44100, 48000, 2, "balanced")
    out = r.process(samples[:600])[0]
    expected = twin.process(samples[:600])[0]

    box = run_in_thread(lambda: call(r))
    err = box.get("error")
    assert err is not None and type(err) is fault_type()
    assert not isinstance(err, Exception)
    assert isinstance(err, BaseException)
    assert type(err).__qualname__ == "FaultException"
    assert type(err).__module__ == "extension_runtime"
    path = "PyF32Resampler" if cls is F32Resampler else "PyI16Resampler"
    assert err.args == (
        "assertion `left == right` failed: tenvira::python::"
        f"{path} is unsendable, but sent to another thread\n"
        f"  left: {box['ident']}\n"
        f" right: {threading.get_ident()}",
    )
    # The owner's stream goes on as if the foreign call had not happened.
    out += r.process(samples[600:])[0] + r.finish()[0]
    expected += twin.process(samples[600:])[0] + twin.finish()[0]
    assert out == expected


def test_except_exception_does_not_catch_faults():
    r = F32Resampler(24000, 16000, 1)

    def swallow():
        try:
            r.process([])
        except Exception:  # noqa: BLE001
            return "swallowed"
        return "ran"

    box = run_in_thread(swallow)
    assert "value" not in box
    assert type(box["error"]).__mro__[1:] == (BaseException, object)


def test_fault_exception_is_created_once():
    assert fault_type() is fault_type()
    e = None
    try:
        F32Resampler(24000, 16000, 1, max_input_frames_per_chunk=2**63)
    except BaseException as caught:  # noqa: B902
        e = caught
    assert e.args == ("capacity overflow",)
    assert type(e).__doc__ and "BaseException" in type(e).__doc__


@pytest.mark.parametrize("cls", CLASSES)
def test_dropping_on_another_thread_is_reported_not_fatal(cls, monkeypatch):
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reports.append((u.exc_type, str(u.exc_value))))
    holder = [cls(24000, 16000, 1)]
    box = run_in_thread(lambda: holder.clear())
    assert "error" not in box
    path = "PyF32Resampler" if cls is F32Resampler else "PyI16Resampler"
    assert reports == [(RuntimeError, f"tenvira::python::{path} is unsendable, but is being dropped on another thread")]


class Reentrant:
    """A sample whose conversion calls back into the resampler."""

    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.0

    def __index__(self):
        self.action()
        return 0


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize(
    "action, message",
    [
        (lambda r: r.selected_backend, "Already mutably borrowed"),
        (lambda r: repr(r), "Already mutably borrowed"),
        (lambda r: r.required_output_capacity(1), "Already mutably borrowed"),
        (lambda r: r.process([]), "Already borrowed"),
        (lambda r: r.finish(), "Already borrowed"),
        (lambda r: r.reset(), "Already borrowed"),
    ],
)
def test_reentry_from_conversion_is_refused(cls, action, message):
    r = cls(24000, 16000, 1)
    with pytest.raises(RuntimeError) as e:
        r.process([0, Reentrant(lambda: action(r))])
    assert str(e.value) == message
    assert e.value.__notes__ == ["while processing 'input'"]
    # The access state was released: the resampler works and saw nothing.
    out, stats = r.process([0] * 100)
    assert stats.input_frames == 100
    assert r.finish()[1].output_frames + stats.output_frames == 67


def test_shared_calls_may_nest():
    r = F32Resampler(24000, 16000, 1)

    class Frames:
        def __index__(self):
            return len(r.selected_backend)

    # required_output_capacity holds the object shared while it converts its
    # argument; another shared call inside is fine.
    assert r.required_output_capacity(Frames()) == r.required_output_capacity(len(r.selected_backend))
