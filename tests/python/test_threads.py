"""Threads: a resampler belongs to the thread that made it, and resamplers
driven from many threads at once give exactly the single-threaded results."""

import gc
import os
import random
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from support import CLASSES, noise
from tenvira import I16Resampler

# (input rate, output rate, quality): every rendering path.
PATHS = [
    (48000, 16000, "balanced"),
    (44100, 48000, "fast"),
    (11025, 48000, "best"),
    (8000, 16000, "balanced"),
    (16000, 8000, "best"),
    (24000, 8000, "fast"),
    (8000, 16000, "fast"),
    (16000, 8000, "fast"),
]


def chunks_of(frames, seed):
    rng = random.Random(seed)
    out = []
    while frames > 0:
        n = min(frames, rng.choice([0, 1, 13, 160, 441, 960]))
        out.append(n)
        frames -= n
    return out


def drive(cls, path, channels, samples, chunks, pause=None):
    """Streams through a new resampler; `pause` is called between calls so
    that other threads run in between."""
    fin, fout, quality = path
    r = cls(fin, fout, channels, quality)
    out, pos = [], 0
    for n in chunks:
        out += r.process(samples[pos : pos + n * channels])[0]
        pos += n * channels
        if pause:
            pause()
    out += r.finish()[0]
    r.reset()
    out += r.process(samples[: 200 * channels])[0] + r.finish()[0]
    return out


@pytest.mark.parametrize("cls", CLASSES)
def test_many_threads_each_with_its_own_resamplers_match_one_thread(cls):
    jobs = []
    for i, path in enumerate(PATHS * 2):
        channels = 1 + i % 3
        frames = 3000 + 97 * i
        jobs.append((path, channels, noise(cls, frames, channels, i), chunks_of(frames, i)))
    expected = [drive(cls, *job) for job in jobs]

    results = [None] * len(jobs)
    errors = []
    start = threading.Barrier(len(jobs))

    def worker(i):
        try:
            start.wait()
            # A short switch interval and an explicit yield after every call
            # interleave the threads' calls as finely as the interpreter allows.
            results[i] = drive(cls, *jobs[i], pause=lambda: os.sched_yield())
        except BaseException as e:  # noqa: B902
            errors.append(e)

    # Resamplers of earlier tests left in reference cycles must not be
    # collected on the worker threads (that is reported as an unraisable
    # error and leaks their engines, by design).
    gc.collect()
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(jobs))]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []
    for got, want in zip(results, expected):
        assert got == want


FIRST_USE = textwrap.dedent(
    """
    import sys, threading
    from tenvira import I16Resampler

    # Nothing has been built in this process yet: the processor's features
    # and the classes' first use happen on many threads at once.
    results = [None] * 8
    start = threading.Barrier(8)

    def worker(i):
        start.wait()
        r = I16Resampler(44100, 48000, 1, "fast")
        results[i] = (r.selected_backend, r.process(list(range(-2000, 2000)))[0] + r.finish()[0])

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    print(len(set(repr(x) for x in results)), results[0][0])
    """
)


def test_first_use_on_many_threads_at_once():
    run = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    distinct, backend = run.stdout.split()
    assert distinct == "1"
    assert backend == I16Resampler(44100, 48000, 1).selected_backend


def long_input(cls, seconds=20):
    import numpy as np

    return np.zeros((48000 * seconds, 2), dtype=np.float32 if cls is not I16Resampler else np.int16)


def runs_alongside(call):
    """How far another Python thread got while `call` ran on this one. That
    thread waits between its steps without the interpreter lock, and the
    switch interval is made so long that this thread never has to give the
    lock up: the other one runs only while this one lets go of it."""
    ticks = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    t = threading.Thread(target=count)
    t.start()
    sys.setswitchinterval(100)
    try:
        before = ticks[0]
        call()
        return ticks[0] - before
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        t.join()


@pytest.mark.parametrize("cls", CLASSES)
def test_buffer_methods_let_other_threads_run_and_process_does_not(cls):
    x = long_input(cls)
    r = cls(48000, 44100, 2, "best")
    assert runs_alongside(lambda: r.process_array(x)) > 0
    out = bytearray(r.required_output_capacity(len(x)) * x.itemsize)
    assert runs_alongside(lambda: r.process_into(x, memoryview(out).cast(x.dtype.char))) > 0
    samples = x.ravel().tolist()[: 2 * 48000]
    # process keeps the interpreter lock throughout its work.
    r.reset()
    assert runs_alongside(lambda: r.process(samples)) == 0


@pytest.mark.parametrize("cls", CLASSES)
def test_while_a_call_runs_unlocked_others_are_refused_and_its_buffers_held(cls):
    import array

    x = long_input(cls)
    code = "f" if cls is not I16Resampler else "h"
    source = array.array(code, x.ravel().tobytes())
    r = cls(48000, 44100, 2, "best")
    twin = cls(48000, 44100, 2, "best")
    started = threading.Event()
    seen = {}

    def other():
        started.wait()
        while "done" not in seen:
            try:
                source.append(0)  # the input cannot be resized while the call reads it
            except BufferError:
                seen["resize"] = "refused"
                break
            else:
                source.pop()
        try:
            r.selected_backend
        except BaseException as e:  # noqa: B902 - the fault is a BaseException
            seen["foreign"] = type(e).__qualname__

    t = threading.Thread(target=other)
    t.start()
    started.set()
    got, stats = r.process_array(source)
    seen["done"] = True
    t.join()
    assert seen == {"resize": "refused", "foreign": "FaultException", "done": True}
    assert stats.input_frames == len(x)
    expected, _ = twin.process_array(x)
    assert got.tobytes() == expected.tobytes()
