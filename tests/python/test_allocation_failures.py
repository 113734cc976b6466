"""A call that cannot allocate takes nothing.

With the n-th Python allocation of a call failing, for every n, the call
either succeeds or raises MemoryError, and in that case repeating it with the
same input gives what an undisturbed stream gives: no output is lost or
produced twice. (Failing engine allocations are tested in the C++ suite.)
"""

import numpy as np
import pytest

from support import CLASSES, sample_dtype, signal

_testcapi = pytest.importorskip("_testcapi")


def into(r, chunk, channels):
    out = np.empty(r.required_output_capacity(len(chunk) // channels), dtype=sample_dtype(type(r)))
    return out, r.process_into(chunk, out)


def finish_into(r, channels):
    out = np.empty(r.required_output_capacity(0), dtype=sample_dtype(type(r)))
    return out, r.finish_into(out)


# Each call returns what it produced; `delivered` turns that into samples
# once allocations work again.
PROCESS = {
    "process": (lambda r, x, ch: r.process(x), lambda got, ch: got[0]),
    "process_into": (into, lambda got, ch: got[0][: got[1].output_frames * ch].tolist()),
    "process_array": (lambda r, x, ch: r.process_array(np.asarray(x)), lambda got, ch: np.asarray(got[0]).ravel().tolist()),
}
FINISH = {
    "finish": (lambda r, ch: r.finish(), lambda got, ch: got[0]),
    "finish_into": (finish_into, lambda got, ch: got[0][: got[1].output_frames * ch].tolist()),
    "finish_array": (lambda r, ch: r.finish_array(), lambda got, ch: np.asarray(got[0]).ravel().tolist()),
}


def with_failures(call, counts):
    """Runs call() with its n-th allocation failing, n = 0, 1, ..., until it
    succeeds; returns its result."""
    for n in range(10_000):
        _testcapi.set_nomemory(n, n + 1)
        try:
            result = call()
        except MemoryError:
            counts["failures"] += 1
            continue
        finally:
            _testcapi.remove_mem_hooks()
        return result
    raise AssertionError("the call never succeeded")


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("process", PROCESS)
@pytest.mark.parametrize("finish", FINISH)
@pytest.mark.parametrize("fin, fout, quality, channels", [(44100, 48000, "fast", 2), (16000, 8000, "fast", 1)])
def test_a_call_that_cannot_allocate_takes_nothing(cls, process, finish, fin, fout, quality, channels):
    samples = signal(cls, 600, channels)
    chunks = [samples[: 320 * channels], samples[320 * channels :]]
    twin = cls(fin, fout, channels, quality)
    expected = [x for chunk in chunks for x in twin.process(chunk)[0]] + twin.finish()[0]

    r = cls(fin, fout, channels, quality)
    counts = {"failures": 0}
    call, delivered = PROCESS[process]
    got = []
    for chunk in chunks:
        got += delivered(with_failures(lambda: call(r, chunk, channels), counts), channels)
    call, delivered = FINISH[finish]
    got += delivered(with_failures(lambda: call(r, channels), counts), channels)
    assert counts["failures"] > 0
    assert got == expected
