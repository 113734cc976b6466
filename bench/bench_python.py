"""Python-level throughput: tenvira's process() against python-soxr,
python-samplerate and scipy, on the same chunks in the same process.

Prints one JSON object per line. Run through bench/run.py, which builds the
module under test and puts it on the path.
"""

import argparse
import array
import functools
import json
import math
import statistics
import sys
import time

import numpy as np

import tenvira

try:
    import soxr
except ImportError:  # pragma: no cover - reported in the table as missing
    soxr = None
try:
    import samplerate
except ImportError:  # pragma: no cover
    samplerate = None
try:
    from scipy import signal as scipy_signal
except ImportError:  # pragma: no cover
    scipy_signal = None

PAIRS = [(48000, 16000), (44100, 48000), (16000, 8000), (8000, 16000), (24000, 8000), (16000, 24000)]


def make_signal(rate, frames, channels):
    t = np.arange(frames) / rate
    cols = [0.5 * np.sin(2 * math.pi * (440.0 + 300.0 * k) * t) for k in range(channels)]
    rng = np.random.default_rng(1)
    x = np.stack(cols, axis=1) + rng.uniform(-0.1, 0.1, (frames, channels))
    return x.astype(np.float32)


def measure(makes, frames, runs):
    """Each `make()` builds fresh resampler state and returns the function
    that streams the whole signal through it once; only the streaming is
    timed (construction is reported on its own). The systems take turns, run
    after run, so that a slow spell of this shared machine hits them alike;
    the median run of each."""
    for make in makes:
        make()()  # warm-up
    rates = [[] for _ in makes]
    for _ in range(runs):
        for make, got in zip(makes, rates):
            run = make()
            start = time.perf_counter()
            run()
            got.append(frames / (time.perf_counter() - start))
    return [statistics.median(r) for r in rates]


def variants(fin, fout, channels, fmt, chunks_np, chunks_list, chunks_array, whole):
    """(engine, variant, make) where make() returns a streaming function."""
    cls = tenvira.F32Resampler if fmt == "f32" else tenvira.I16Resampler
    np_type = np.float32 if fmt == "f32" else np.int16

    def tenvira_stream(chunks):
        def make():
            r = cls(fin, fout, channels, "balanced")

            def run():
                for c in chunks:
                    r.process(c)
                r.finish()

            return run

        return make

    yield "tenvira", "process(list) -> list", tenvira_stream(chunks_list)
    yield "tenvira", "process(array.array)", tenvira_stream(chunks_array)
    yield "tenvira", "process(numpy)", tenvira_stream(chunks_np)

    def tenvira_into(quality="balanced"):
        r = cls(fin, fout, channels, quality)
        out = np.empty(r.required_output_capacity(len(chunks_np[0]) // channels), dtype=np_type)

        def run():
            for c in chunks_np:
                r.process_into(c, out)
            r.finish_into(out)

        return run

    yield "tenvira", "process_into(numpy, numpy)", tenvira_into

    def tenvira_array():
        r = cls(fin, fout, channels, "balanced")
        shaped = [c.reshape(-1, channels) for c in chunks_np]

        def run():
            for c in shaped:
                r.process_array(c)
            r.finish_array()

        return run

    yield "tenvira", "process_array(numpy (frames, channels))", tenvira_array

    # The studio-quality presets, against soxr at HQ and VHQ below.
    for quality in ("hq", "vhq"):
        yield "tenvira", f"process_into {quality}", functools.partial(tenvira_into, quality)

    if soxr is not None:
        dtype = "float32" if fmt == "f32" else "int16"
        shaped = [c.reshape(-1, channels) if channels > 1 else c for c in chunks_np]
        empty = np.zeros((0, channels) if channels > 1 else 0, dtype=np_type)
        for quality in ("QQ", "LQ", "HQ", "VHQ"):
            def soxr_stream(quality=quality):
                s = soxr.ResampleStream(fin, fout, channels, dtype=dtype, quality=quality)

                def run():
                    for c in shaped:
                        s.resample_chunk(c)
                    s.resample_chunk(empty, last=True)

                return run

            yield "python-soxr", f"ResampleStream {quality} (numpy)", soxr_stream

        def soxr_lists():
            s = soxr.ResampleStream(fin, fout, channels, dtype=dtype, quality="HQ")

            def run():
                for c in chunks_list:
                    a = np.asarray(c, np_type)
                    s.resample_chunk(a.reshape(-1, channels) if channels > 1 else a).tolist()

            return run

        yield "python-soxr", "ResampleStream HQ (list -> list)", soxr_lists

    if samplerate is not None and fmt == "f32":
        ratio = fout / fin
        shaped = [c.reshape(-1, channels) if channels > 1 else c for c in chunks_np]
        empty = np.zeros((0, channels) if channels > 1 else 0, dtype=np.float32)

        def lsr_stream():
            r = samplerate.Resampler("sinc_fastest", channels)

            def run():
                for c in shaped:
                    r.process(c, ratio)
                r.process(empty, ratio, end_of_input=True)

            return run

        yield "python-samplerate", "Resampler sinc_fastest (numpy)", lsr_stream

    if scipy_signal is not None and fmt == "f32":
        g = math.gcd(fin, fout)

        def scipy_oneshot():
            return lambda: scipy_signal.resample_poly(whole, fout // g, fin // g, axis=0)

        yield "scipy", "resample_poly (one shot)", scipy_oneshot


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    seconds, runs = (0.5, 3) if args.quick else (2.0, 9)
    for fin, fout in PAIRS:
        for channels in (1, 2):
            for fmt in ("f32", "i16"):
                if args.quick and fmt == "i16" and channels == 2:
                    continue
                frames = int(seconds * fin)
                x = make_signal(fin, frames, channels)
                if fmt == "i16":
                    x = np.round(x * 30000).astype(np.int16)
                flat = x.reshape(-1)
                chunk = fin // 50 * channels
                chunks_np = [flat[i : i + chunk] for i in range(0, len(flat), chunk)]
                chunks_list = [c.tolist() for c in chunks_np]
                code = "f" if fmt == "f32" else "h"
                chunks_array = [array.array(code, c.tobytes()) for c in chunks_np]
                systems = list(variants(fin, fout, channels, fmt, chunks_np, chunks_list, chunks_array, x))
                rates = measure([make for _, _, make in systems], frames, runs)
                for (engine, variant, _), fps in zip(systems, rates):
                    print(
                        json.dumps(
                            {
                                "pair": f"{fin}->{fout}",
                                "channels": channels,
                                "format": fmt,
                                "engine": engine,
                                "variant": variant,
                                "fps": fps,
                            }
                        ),
                        flush=True,
                    )


if __name__ == "__main__":
    sys.exit(main())
