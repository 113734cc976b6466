"""``tenvira resample``: one file (IN OUT) or a batch (IN... -o OUTDIR)."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Iterator
from typing import TextIO

from .batch import Deduplicated, FileResult, Task, list_tasks, run_local
from .convert import Result, convert_file
from .errors import EXIT_FAILED, EXIT_OK, PROG, UsageError, describe_os_error
from .formats import encoding_subtype, file_type, type_of_path
from .progress import ProgressBar, files, seconds_of_audio
from .settings import Options, RawFormat

# Files shorter than this get no progress bar.
PROGRESS_MIN_SECONDS = 5.0


def warn(message: str) -> None:
    print(f"{PROG}: warning: {message}", file=sys.stderr)


def _raw_input(args: argparse.Namespace, first_input: str) -> RawFormat | None:
    ext_raw = (type_of_path(first_input) or file_type("wav")).major == "RAW"
    if args.raw_rate is None and args.raw_channels is None and not ext_raw:
        return None
    if args.raw_rate is None or args.raw_channels is None:
        raise UsageError("raw input needs --raw-rate and --raw-channels")
    return RawFormat(args.raw_rate, args.raw_channels, encoding_subtype(args.raw_encoding), args.big_endian)


def _options(args: argparse.Namespace, inputs: list[str]) -> Options:
    if args.file_type is not None:
        file_type(args.file_type)  # refuse an unknown name before any file
    if args.encoding is not None:
        encoding_subtype(args.encoding)
    return Options(
        rate=args.rate,
        quality=args.quality,
        backend=args.backend,
        file_type=args.file_type,
        encoding=args.encoding,
        dither=args.dither,
        force=args.force,
        chunk_ms=args.chunk_ms,
        raw_input=_raw_input(args, inputs[0]),
        big_endian=args.big_endian,
    )


def _clipped(r: Result) -> str:
    return "" if r.clipped is None else f", {r.clipped} samples clipped"


def _summary(r: Result) -> str:
    formats = r.input_format if r.input_format == r.output_format else f"{r.input_format} -> {r.output_format}"
    speed = (r.frames_in / r.input_rate) / r.seconds if r.seconds > 0 else float("inf")
    return (
        f"{r.input} -> {r.output}: {r.frames_in} frames at {r.input_rate} Hz -> "
        f"{r.frames_out} frames at {r.rate} Hz, {r.channels} ch, {formats}"
        f"{', dithered' if r.dithered else ''}{_clipped(r)}, quality {r.quality}, backend {r.backend}, "
        f"{r.seconds:.3f} s, {speed:.1f}x real time"
    )


def _report_stream(output: str) -> TextIO:
    """The summary goes to stdout unless the audio does."""
    return sys.stderr if output == "-" else sys.stdout


def _single(args: argparse.Namespace, source: str, output: str, options: Options) -> int:
    bar: ProgressBar | None = None

    def progress(frames: int) -> None:
        nonlocal bar
        if bar is None:
            bar = ProgressBar(sys.stderr, total, seconds_of_audio(rate))
        bar.update(frames)

    total, rate = 0, 1
    show = not args.quiet and sys.stderr.isatty() and os.path.isfile(source)  # a FIFO is read once
    if show:
        import soundfile  # type: ignore[import-untyped, unused-ignore]

        try:
            info = soundfile.info(source)
            total, rate = info.frames, info.samplerate
            show = total / rate > PROGRESS_MIN_SECONDS
        except Exception:  # noqa: BLE001 - convert_file reports what is wrong with IN
            show = False
    try:
        result = convert_file(source, output, options, progress=progress if show else None)
    finally:
        if bar is not None:
            bar.close(total)
    for w in result.warnings:
        warn(w)
    if not args.quiet:
        print(_summary(result), file=_report_stream(output))
    return EXIT_OK


class _Tally:
    """Counts results, reports failures, and writes the failure list."""

    def __init__(self, failures: TextIO | None, bar: ProgressBar | None) -> None:
        self.converted = self.skipped = self.failed = self.clipped = self.frames = 0
        self._failures = failures
        self._bar = bar

    def __call__(self, fr: FileResult) -> None:
        if fr.status == "converted" and fr.result is not None:
            self.converted += 1
            self.frames += fr.result.frames_in
            self.clipped += fr.result.clipped or 0
            for w in fr.result.warnings:
                warn(w)
        elif fr.status == "skipped":
            self.skipped += 1
        else:
            self.failed += 1
            print(f"{PROG}: error: {fr.task.input}: {fr.message}", file=sys.stderr)
            if self._failures is not None:
                self._failures.write(f"{fr.task.input}\t{fr.message}\n")
                self._failures.flush()
        if self._bar is not None:
            self._bar.update(self.converted + self.skipped + self.failed)

    def line(self, seconds: float) -> str:
        clipped = f", {self.clipped} samples clipped" if self.clipped else ""
        return (
            f"{self.converted} converted, {self.skipped} skipped, {self.failed} failed{clipped}; "
            f"{self.frames} frames in {seconds:.1f} s"
        )


def _deduplicated(tasks: Iterator[Task], tally: _Tally) -> Iterator[Task]:
    seen = Deduplicated()
    for task in tasks:
        duplicate = seen.check(task)
        if duplicate is None:
            yield task
        else:
            tally(duplicate)


def _batch(args: argparse.Namespace, inputs: list[str], options: Options) -> int:
    outdir = args.output_dir
    if "-" in inputs:
        raise UsageError("standard input cannot be part of a batch; give IN OUT")
    try:
        os.makedirs(outdir, exist_ok=True)
    except OSError as e:
        raise UsageError(f"cannot create {outdir!r}: {describe_os_error(e)}") from None
    ftype = file_type(args.file_type) if args.file_type else None
    failures = None
    if args.failures is not None:
        try:
            failures = open(args.failures, "w", encoding="utf-8", errors="surrogateescape")  # noqa: SIM115
        except OSError as e:
            raise UsageError(f"cannot write {args.failures!r}: {describe_os_error(e)}") from None
    bar = None
    if not args.quiet and sys.stderr.isatty():
        bar = ProgressBar(sys.stderr, sum(1 for _ in list_tasks(inputs, outdir, ftype)), files)
    tally = _Tally(failures, bar)
    start = time.perf_counter()
    try:
        tasks = _deduplicated(list_tasks(inputs, outdir, ftype), tally)
        if args.scheduler is not None:
            from .cluster import run_on_cluster

            run_on_cluster(args.scheduler, tasks, options, args.skip_existing, tally)
        else:
            run_local(tasks, options, args.jobs, args.skip_existing, tally)
    finally:
        if bar is not None:
            bar.close(tally.converted + tally.skipped + tally.failed)
        if failures is not None:
            failures.close()
    if not args.quiet:
        print(tally.line(time.perf_counter() - start))
    return EXIT_FAILED if tally.failed else EXIT_OK


def resample(args: argparse.Namespace) -> int:
    paths: list[str] = args.paths
    if args.output_dir is None:
        if len(paths) != 2:
            raise UsageError("give IN OUT, or IN... -o OUTDIR for many files")
        if os.path.isdir(paths[0]):
            raise UsageError(f"{paths[0]!r} is a directory; give -o OUTDIR to convert a folder")
        if args.scheduler is not None or args.jobs > 1 or args.skip_existing:
            raise UsageError("--jobs, --skip-existing and --scheduler need -o OUTDIR")
        return _single(args, paths[0], paths[1], _options(args, paths[:1]))
    return _batch(args, paths, _options(args, paths))
