"""The ``tenvira`` command against sox on the same files, side by side.

Setup (once; the test command does not install sox):

    apt-get install sox libsox-fmt-all
    pip install .            # the module and the command, with soundfile and numpy

Run:

    python3 bench/bench_cli.py              # about 5 minutes on 2 cores
    python3 bench/bench_cli.py --quick      # 1-minute files, one run each

What it measures, each figure the median of 3 runs with a warm file cache
(every input is read once before it is timed):

1. Wall clock and CPU time (user + system) of ``tenvira resample IN OUT
   --rate R`` at its default quality against ``sox IN OUT rate -h R`` on
   10-minute stereo files: 16- and 24-bit WAV and FLAC, 44.1k -> 48k and
   48k -> 16k. Both keep the input's file type and bit depth.
2. ``--jobs 2`` against ``--jobs 1`` on 8 such files (16-bit WAV, 48k -> 16k).
3. Peak memory (maximum resident set) of one conversion of a 1-minute and a
   10-minute file: flat means the same.

The results go to stdout as Markdown and to bench/results/<date>-cli.md.
The machine should be quiet: on a shared one the wall-clock figures are
noisy, and the CPU times are the steadier comparison.
"""

from __future__ import annotations

import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import soundfile as sf

from tenvira_cli.settings import DEFAULT_QUALITY

RESULTS = Path(__file__).resolve().parent / "results"


def make_input(path: Path, seconds: int, rate: int, subtype: str) -> None:
    """Music-like stereo: a few tones with a slow envelope and some noise."""
    rng = np.random.default_rng(7)
    with sf.SoundFile(str(path), "w", rate, 2, subtype) as f:
        block = rate * 10
        for start in range(0, seconds * rate, block):
            t = np.arange(start, start + block) / rate
            tone = sum(0.15 * np.sin(2 * np.pi * hz * t) for hz in (220.0, 1234.5, 5000.0, 15000.0))
            env = 0.6 + 0.4 * np.sin(2 * np.pi * 0.1 * t)
            left = env * tone + 0.01 * rng.standard_normal(block)
            right = env * np.roll(tone, 7) + 0.01 * rng.standard_normal(block)
            f.write(np.stack([left, right], axis=1).astype(np.float32))


def timed(cmd: list[str]) -> tuple[float, float, int]:
    """(wall seconds, CPU seconds, peak RSS in KiB) of one run."""
    start = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(p.pid, 0)
    wall = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise SystemExit(f"failed: {' '.join(cmd)}\n{p.stderr.read().decode() if p.stderr else ''}")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def median_of(runs: int, cmd: list[str], out: Path) -> tuple[float, float, int]:
    results = []
    for _ in range(runs):
        if out.exists():
            out.unlink()
        results.append(timed(cmd))
    return (
        statistics.median(r[0] for r in results),
        statistics.median(r[1] for r in results),
        max(r[2] for r in results),
    )


def warm(path: Path) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


TENVIRA = [sys.executable, "-m", "tenvira_cli", "resample"]


def compare_with_sox(work: Path, seconds: int, runs: int) -> list[str]:
    rows = [
        f"| file ({seconds // 60} min stereo) | rates | tenvira wall | sox wall | wall ratio | tenvira CPU | sox CPU |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    for ext, subtype in [("wav", "PCM_16"), ("wav", "PCM_24"), ("flac", "PCM_16"), ("flac", "PCM_24")]:
        for rate_in, rate_out in [(44100, 48000), (48000, 16000)]:
            src = work / f"in_{subtype}_{rate_in}.{ext}"
            if not src.exists():
                make_input(src, seconds, rate_in, subtype)
            warm(src)
            out_t, out_s = work / f"t.{ext}", work / f"s.{ext}"
            t = median_of(runs, [*TENVIRA, str(src), str(out_t), "--rate", str(rate_out), "--quiet"], out_t)
            s = median_of(runs, ["sox", str(src), str(out_s), "rate", "-h", str(rate_out)], out_s)
            bits = subtype[4:]
            rows.append(
                f"| {bits}-bit {ext.upper()} | {rate_in} → {rate_out} | {t[0]:.2f} s | {s[0]:.2f} s | "
                f"{t[0] / s[0]:.2f} | {t[1]:.2f} s | {s[1]:.2f} s |"
            )
    return rows


def compare_jobs(work: Path, seconds: int, runs: int) -> list[str]:
    corpus = work / "corpus"
    corpus.mkdir(exist_ok=True)
    first = corpus / "0.wav"
    if not first.exists():
        make_input(first, seconds, 48000, "PCM_16")
    for i in range(1, 8):
        if not (corpus / f"{i}.wav").exists():
            shutil.copy(first, corpus / f"{i}.wav")
    for f in corpus.iterdir():
        warm(f)
    rows = ["| 8 files, 48000 → 16000 | wall | CPU |", "|---|---:|---:|"]
    walls = {}
    for jobs in (1, 2):
        out = work / f"jobs{jobs}"
        results = []
        for _ in range(runs):
            shutil.rmtree(out, ignore_errors=True)
            results.append(timed([*TENVIRA, str(corpus), "-o", str(out), "--rate", "16000", "--jobs", str(jobs), "--quiet"]))
        walls[jobs] = statistics.median(r[0] for r in results)
        rows.append(f"| --jobs {jobs} | {walls[jobs]:.2f} s | {statistics.median(r[1] for r in results):.2f} s |")
    rows.append(f"| speed-up | {walls[1] / walls[2]:.2f}× | |")
    return rows


def memory(work: Path) -> list[str]:
    rows = ["| input (stereo 24-bit WAV, 48000 → 44100) | peak RSS |", "|---|---:|"]
    for minutes in (1, 10):
        src = work / f"mem_{minutes}.wav"
        if not src.exists():
            make_input(src, 60 * minutes, 48000, "PCM_24")
        out = work / "mem_out.wav"
        if out.exists():
            out.unlink()
        _, _, rss = timed([*TENVIRA, str(src), str(out), "--rate", "44100", "--quiet"])
        rows.append(f"| {minutes} min | {rss / 1024:.1f} MiB |")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="1-minute files, one run each")
    parser.add_argument("--keep", metavar="DIR", help="keep the generated files in DIR and reuse them")
    args = parser.parse_args()
    if shutil.which("sox") is None:
        raise SystemExit("sox is missing: apt-get install sox libsox-fmt-all")
    seconds, runs = (60, 1) if args.quick else (600, 3)
    work = Path(args.keep) if args.keep else Path(tempfile.mkdtemp(prefix="bench_cli-"))
    work.mkdir(parents=True, exist_ok=True)
    sox_version = subprocess.run(["sox", "--version"], capture_output=True, text=True).stdout.split(":", 1)[-1].strip()
    try:
        lines = [
            f"# tenvira command vs sox, {datetime.date.today()}",
            "",
            f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores; {sox_version}; "
            f"tenvira quality {DEFAULT_QUALITY} (its default); median of {runs} run(s), warm cache.",
            "",
            *compare_with_sox(work, seconds, runs),
            "",
            *compare_jobs(work, seconds, runs),
            "",
            *memory(work),
        ]
    finally:
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)
    text = "\n".join(lines) + "\n"
    print(text)
    if not args.quick:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / f"{datetime.date.today()}-cli.md").write_text(text)


if __name__ == "__main__":
    main()
