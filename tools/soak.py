#!/usr/bin/env python3
"""Soak test: streams 10^8 frames through every rendering path, float32 and
int16, in 20 ms chunks, and shows that memory stays flat and no counter
drifts.

    python3 tools/soak.py                 10^8 frames per stream (a few minutes)
    python3 tools/soak.py --frames N      another length
    python3 tools/soak.py --short         10^5 frames per stream, also through
                                          the scalar backend
    python3 tools/soak.py --valgrind      the short run under valgrind memcheck

It uses the tenvira module that Python finds (set PYTHONPATH to a build
folder to soak a build). For every stream it prints the resident set size
(RSS) at ten checkpoints after a warm-up of 100 calls, and the output lag:
how many frames the stream has emitted minus the ideal count
(frames_in - taps/2) x out / in, which stays within a few frames if nothing
drifts. After finish the output total must be exactly ceil(N x out / in).
Exit status 1 if a total is wrong, a call's statistics disagree with its
output, the lag wanders, or RSS grows by more than --rss-slack KiB after the
warm-up. Without --short it also makes 10^5 process calls per class and
checks that neither Python objects nor RSS grow.
"""

import argparse
import gc
import math
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time
import tracemalloc

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))
from support import rss_kib  # noqa: E402

# (name, input rate, output rate, quality, channels, frames held back)
PATHS = [
    ("polyphase up", 44100, 48000, "balanced", 2, 24),
    ("polyphase down", 48000, 44100, "balanced", 2, 24),
    ("half-band up", 8000, 16000, "balanced", 1, 24),
    ("half-band down", 16000, 8000, "balanced", 1, 24),
    ("third-band down", 24000, 8000, "balanced", 1, 24),
    ("IIR up", 8000, 16000, "fast", 1, 12),
    ("IIR down", 16000, 8000, "fast", 1, 12),
    # The studio path holds back whole input frames, not half a filter. Its
    # stereo float32 stream at 48000 -> 16000 renders overlap-save blocks of
    # 172 output frames, so its lag moves by up to a block (the last field:
    # the wander allowed, 2 frames where absent).
    ("studio down", 48000, 16000, "hq", 2, 854, 180),
    ("studio up", 44100, 48000, "vhq", 2, 153),
]
WARMUP_CALLS = 100
CHECKPOINTS = 10


def chunk_signal(kind, frames, channels):
    """One 20 ms chunk of a two-tone signal at about -6 dBFS."""
    out = []
    for i in range(frames):
        x = 0.35 * math.sin(0.031 * i) + 0.15 * math.sin(0.29 * i + 1.0)
        for k in range(channels):
            v = x if k == 0 else -x
            out.append(v if kind == "float32" else int(round(v * 32767)))
    return out


def soak(tenvira, name, fin, fout, quality, channels, half, kind, frames, backend, verbose, wander=2.0):
    cls = tenvira.F32Resampler if kind == "float32" else tenvira.I16Resampler
    r = cls(fin, fout, channels, quality, backend)
    chunk_frames = fin // 50  # 20 ms
    chunks = [chunk_signal(kind, chunk_frames, channels), chunk_signal(kind, chunk_frames, channels)[::-1]]
    calls = -(-frames // chunk_frames)
    warmup = max(1, min(WARMUP_CALLS, calls // 10))
    marks = {calls * m // CHECKPOINTS for m in range(1, CHECKPOINTS + 1)}
    problems = []
    frames_in = frames_out = 0
    rows = []
    base_rss = None
    lags = []
    start = time.perf_counter()
    for call in range(1, calls + 1):
        n = min(chunk_frames, frames - frames_in)
        samples = chunks[call % 2] if n == chunk_frames else chunks[call % 2][: n * channels]
        out, stats = r.process(samples)
        if stats.input_frames != n or stats.output_frames * channels != len(out):
            problems.append(f"call {call}: stats {stats!r} for {n} frames in, {len(out)} samples out")
        frames_in += n
        frames_out += stats.output_frames
        if call == warmup:
            base_rss = rss_kib()
        if call in marks and call >= warmup:
            ideal = max(frames_in - half, 0) * fout / fin
            lag = frames_out - ideal
            lags.append(lag)
            rows.append((frames_in, rss_kib(), lag))
    tail, stats = r.finish()
    frames_out += stats.output_frames
    elapsed = time.perf_counter() - start
    expected = -(-frames_in * fout // fin)
    if frames_out != expected:
        problems.append(f"total {frames_out} frames out, expected {expected}")
    if stats.output_frames * channels != len(tail):
        problems.append(f"finish: stats {stats!r} for {len(tail)} samples")
    if lags and max(lags) - min(lags) > wander:
        problems.append(f"output lag wandered between {min(lags):.3f} and {max(lags):.3f} frames")
    after = [rss for _, rss, _ in rows]
    growth = (max(after) - base_rss) if base_rss is not None and after else 0
    return {
        "stream": f"{name} {fin}->{fout} {quality} {channels}ch {kind} {r.selected_backend}",
        "rows": rows,
        "base_rss": base_rss,
        "growth": growth,
        "frames_in": frames_in,
        "frames_out": frames_out,
        "expected": expected,
        "calls": calls + 1,
        "seconds": elapsed,
        "problems": problems,
    }


def python_objects_stay_flat(tenvira, calls):
    """Many process calls whose results are dropped at once: neither Python
    objects (allocated blocks, traced bytes) nor RSS may grow. Returns the
    problems found."""
    problems = []
    for cls in (tenvira.F32Resampler, tenvira.I16Resampler):
        r = cls(48000, 16000, 1, "fast")
        chunk = chunk_signal("float32" if cls is tenvira.F32Resampler else "int16", 480, 1)
        for _ in range(2000):
            r.process(chunk)
        gc.collect()
        blocks, rss = sys.getallocatedblocks(), rss_kib()
        for _ in range(calls):
            r.process(chunk)
        gc.collect()
        grown_blocks, grown_rss = sys.getallocatedblocks() - blocks, rss_kib() - rss
        tracemalloc.start()
        before, _ = tracemalloc.get_traced_memory()
        for _ in range(calls // 10):
            r.process(chunk)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        print(f"{cls.__name__}: {calls:,} process calls: {grown_blocks} more allocated blocks, "
              f"RSS +{grown_rss} KiB; {calls // 10:,} more: {after - before} bytes traced")
        if grown_blocks >= 100 or grown_rss >= 4 * 1024 or after - before >= 16 * 1024:
            problems.append(f"{cls.__name__}: Python objects or RSS grew over {calls:,} calls")
    return problems


def run(args):
    import tenvira

    print(f"tenvira: {tenvira.__file__}")
    print(f"frames per stream: {args.frames:,}, chunks of 20 ms, RSS in KiB, warm-up {WARMUP_CALLS} calls")
    backends = [None] + (["scalar"] if args.short else [])
    failed = False
    for backend in backends:
        for kind in ("float32", "int16"):
            for name, fin, fout, quality, channels, half, *wander in PATHS:
                res = soak(tenvira, name, fin, fout, quality, channels, half, kind, args.frames, backend, args,
                           *wander)
                print(f"\n{res['stream']}: {res['calls']:,} calls, {res['seconds']:.1f} s")
                print(f"  {'frames in':>13} {'RSS KiB':>9} {'output lag':>11}")
                print(f"  {'(warm-up)':>13} {res['base_rss']:>9}")
                for frames_in, rss, lag in res["rows"]:
                    print(f"  {frames_in:>13,} {rss:>9} {lag:>11.3f}")
                ok = res["frames_out"] == res["expected"]
                print(f"  total out {res['frames_out']:,} (ceil(N*out/in) = {res['expected']:,}) "
                      f"{'exact' if ok else 'WRONG'}; RSS growth after warm-up {res['growth']} KiB")
                if res["growth"] > args.rss_slack:
                    res["problems"].append(f"RSS grew by {res['growth']} KiB after the warm-up")
                for p in res["problems"]:
                    print(f"  PROBLEM: {p}")
                failed |= bool(res["problems"])
    if not args.short:
        print()
        for p in python_objects_stay_flat(tenvira, 100_000):
            print(f"PROBLEM: {p}")
            failed = True
    print("\nsoak:", "FAILED" if failed else "all streams exact, memory flat")
    return 1 if failed else 0


def run_under_valgrind(args):
    """Re-runs the short soak under memcheck: zero errors and zero definitely
    lost bytes, or exit status 1."""
    if shutil.which("valgrind") is None:
        print("soak: valgrind not found (apt-get install valgrind)", file=sys.stderr)
        return 2
    here = pathlib.Path(__file__).resolve().parent
    log = pathlib.Path(args.valgrind_log)
    cmd = [
        "valgrind", "--tool=memcheck", "--error-exitcode=99", "--leak-check=full",
        "--show-leak-kinds=definite", "--errors-for-leak-kinds=definite", "--track-origins=yes",
        "--num-callers=30", f"--suppressions={here / 'valgrind-python.supp'}", f"--log-file={log}",
        sys.executable, str(pathlib.Path(__file__).resolve()), "--short",
        "--frames", str(args.frames), "--rss-slack", "1000000",
    ]
    # Python objects through malloc, so that memcheck sees each of them.
    env = dict(os.environ, PYTHONMALLOC="malloc")
    print(" ".join(cmd), flush=True)
    rc = subprocess.run(cmd, env=env).returncode
    text = log.read_text(errors="replace")
    errors = re.findall(r"ERROR SUMMARY: (\d+) errors", text)
    lost = re.findall(r"definitely lost: ([\d,]+) bytes", text)
    print(f"valgrind log: {log}")
    print(f"memcheck: ERROR SUMMARY {errors[-1] if errors else '?'} errors, "
          f"definitely lost {lost[-1] if lost else '0'} bytes, soak exit status {rc}")
    ok = rc == 0 and errors and errors[-1] == "0" and (not lost or lost[-1] == "0")
    print("valgrind:", "clean" if ok else "FAILED")
    return 0 if ok else 1


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--frames", type=int, help="frames per stream (default 10^8, or 10^5 with --short)")
    p.add_argument("--short", action="store_true", help="a short run, also through the scalar backend")
    p.add_argument("--valgrind", action="store_true", help="run the short soak under valgrind memcheck")
    p.add_argument("--valgrind-log", default="build/valgrind-soak.log")
    p.add_argument("--rss-slack", type=int, default=1024, help="allowed RSS growth after warm-up, KiB")
    args = p.parse_args()
    if args.frames is None:
        args.frames = 100_000 if (args.short or args.valgrind) else 10**8
    if args.valgrind:
        pathlib.Path(args.valgrind_log).parent.mkdir(parents=True, exist_ok=True)
        return run_under_valgrind(args)
    return run(args)


if __name__ == "__main__":
    sys.exit(main())
