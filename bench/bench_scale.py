"""Python-level scale: one call on a long signal against the same audio in
chunks, two threads against one, and the cost of many resamplers, for
tenvira and python-soxr side by side.

Prints one JSON object per line; run through bench/run.py.
"""

import argparse
import gc
import json
import statistics
import sys
import threading
import time

import numpy as np

import tenvira

try:
    import soxr
except ImportError:  # pragma: no cover - reported as missing
    soxr = None


def emit(**row):
    print(json.dumps(row), flush=True)


def best_of(runs, fn):
    """The best rate of `runs` runs of fn(), which returns (frames, seconds)."""
    return max(frames / seconds for frames, seconds in (fn() for _ in range(runs)))


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def signal(rate, seconds, channels=2):
    rng = np.random.default_rng(7)
    t = np.arange(int(rate * seconds)) / rate
    x = 0.5 * np.sin(2 * np.pi * 997 * t)[:, None] + rng.uniform(-0.1, 0.1, (len(t), channels))
    return x.astype(np.float32)


def long_call(runs, seconds):
    """48000 -> 16000 stereo: one call on the whole signal, or 1 s chunks."""
    x = signal(48000, seconds)
    r0 = tenvira.F32Resampler(48000, 16000, 2)
    out = np.zeros(r0.required_output_capacity(len(x)), np.float32)
    small = np.zeros(r0.required_output_capacity(48000), np.float32)

    def one_into():
        r = tenvira.F32Resampler(48000, 16000, 2)
        return len(x), timed(lambda: (r.process_into(x, out), r.finish_into(out)))

    def chunks_into():
        r = tenvira.F32Resampler(48000, 16000, 2)
        return len(x), timed(lambda: ([r.process_into(x[i : i + 48000], small) for i in range(0, len(x), 48000)],
                                      r.finish_into(small)))

    def chunks_into_whole():
        r = tenvira.F32Resampler(48000, 16000, 2)

        def run():
            at = 0
            for i in range(0, len(x), 48000):
                at += r.process_into(x[i : i + 48000], out[at:]).output_frames * 2
            r.finish_into(out[at:])

        return len(x), timed(run)

    def one_array():
        r = tenvira.F32Resampler(48000, 16000, 2)
        return len(x), timed(lambda: (r.process_array(x), r.finish_array()))

    rows = [("tenvira", "process_into, one call", one_into), ("tenvira", "process_into, 1 s chunks", chunks_into),
            ("tenvira", "process_into, 1 s chunks into one 60 s array", chunks_into_whole),
            ("tenvira", "process_array, one call", one_array)]
    if soxr is not None:
        def soxr_one():
            return len(x), timed(lambda: soxr.resample(x, 48000, 16000, "HQ"))

        def soxr_chunks():
            s = soxr.ResampleStream(48000, 16000, 2, dtype="float32", quality="HQ")
            return len(x), timed(lambda: ([s.resample_chunk(x[i : i + 48000]) for i in range(0, len(x), 48000)],
                                          s.resample_chunk(x[:0], last=True)))

        rows += [("python-soxr", "resample HQ, one call", soxr_one), ("python-soxr", "ResampleStream HQ, 1 s chunks", soxr_chunks)]
    # The calls take turns, run after run, so that a slow spell of a shared
    # machine hits them alike.
    best = [0.0] * len(rows)
    for _ in range(runs):
        for k, (_, _, fn) in enumerate(rows):
            frames, elapsed = fn()
            best[k] = max(best[k], frames / elapsed)
    for (engine, variant, _), fps in zip(rows, best):
        emit(table="long", engine=engine, variant=variant, seconds=seconds, fps=fps)


def threads(runs, seconds):
    """44100 -> 48000 stereo at quality best (soxr HQ), each thread with its
    own resampler: total input frames per second with one and two threads."""
    x = signal(44100, seconds)

    # A resampler belongs to the thread that makes it: each worker makes its
    # own, then waits for the others before it starts streaming.
    def tenvira_worker(chunk, ready, go):
        r = tenvira.F32Resampler(44100, 48000, 2, "best")
        out = np.empty(r.required_output_capacity(chunk), np.float32)
        ready.wait()
        go.wait()
        for i in range(0, len(x), chunk):
            r.process_into(x[i : i + chunk], out)

    def soxr_worker(chunk, ready, go):
        s = soxr.ResampleStream(44100, 48000, 2, dtype="float32", quality="HQ")
        ready.wait()
        go.wait()
        for i in range(0, len(x), chunk):
            s.resample_chunk(x[i : i + chunk])

    def scaled(worker, chunk, n):
        def fn():
            ready, go = threading.Barrier(n + 1), threading.Barrier(n + 1)
            ts = [threading.Thread(target=worker, args=(chunk, ready, go)) for _ in range(n)]
            for t in ts:
                t.start()
            ready.wait()
            start = time.perf_counter()
            go.wait()
            for t in ts:
                t.join()
            return n * len(x), time.perf_counter() - start
        return fn

    makers = [("tenvira", tenvira_worker)] + ([("python-soxr", soxr_worker)] if soxr is not None else [])
    for engine, worker in makers:
        for chunk_ms in (2000, 20):
            chunk = 44100 * chunk_ms // 1000
            one = best_of(runs, scaled(worker, chunk, 1))
            two = best_of(runs, scaled(worker, chunk, 2))
            emit(table="threads", engine=engine, chunk_ms=chunk_ms, one=one, two=two)


def rss_kib():
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def many(count, quality):
    """Time and resident memory of `count` more stereo 44100 -> 48000
    resamplers while one exists."""
    keep = [tenvira.F32Resampler(44100, 48000, 2, quality)]
    gc.collect()
    before = rss_kib()
    start = time.perf_counter()
    keep += [tenvira.F32Resampler(44100, 48000, 2, quality) for _ in range(count)]
    seconds = time.perf_counter() - start
    grown = rss_kib() - before
    emit(table="streams", engine="tenvira", quality=quality, count=count, us_each=seconds / count * 1e6,
         kib_each=grown / count, mib_total=grown / 1024)
    del keep
    gc.collect()
    if soxr is not None and quality == "best":
        before = rss_kib()
        start = time.perf_counter()
        streams = [soxr.ResampleStream(44100, 48000, 2, dtype="float32", quality="HQ") for _ in range(count)]
        seconds = time.perf_counter() - start
        grown = rss_kib() - before
        emit(table="streams", engine="python-soxr", quality="HQ", count=count, us_each=seconds / count * 1e6,
             kib_each=grown / count, mib_total=grown / 1024)
        del streams


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    runs = 2 if args.quick else 5
    # The resident-memory figures first: after the long calls the heap holds
    # freed room that new resamplers would reuse without the RSS growing.
    many(2000, "balanced")
    many(2000 if args.quick else 10000, "best")
    long_call(runs, 10 if args.quick else 60)
    threads(runs, 2 if args.quick else 10)


if __name__ == "__main__":
    sys.exit(main())
