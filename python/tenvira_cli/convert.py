"""One file's conversion: ``convert_file``, the function that the command,
its worker processes and a Dask cluster all run.

The input is read in blocks of (frames, channels) numpy arrays, fed to a
resampler through its buffer methods (which take such arrays as they are)
and written block by block, so memory
does not grow with the length of the file. Integer input of up to 16 bits
written as 16 bits goes through ``I16Resampler`` untouched; everything else
through ``F32Resampler``, with b-bit integers read as x / 2**(b-1) and
written back through ``quantize.Quantizer``.
"""

from __future__ import annotations

import math
import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np
import numpy.typing as npt
import soundfile  # type: ignore[import-untyped, unused-ignore]
import tenvira

from .errors import InputError, UsageError, describe_os_error
from .formats import (
    HEADER_ROOM,
    FileType,
    SampleFormat,
    choose_subtype,
    describe,
    encoding_subtype,
    estimated_bytes,
    file_type,
    fit_to_size,
    header_rate_fits,
    sample_format,
    type_of_path,
)
from .output import Destination, resolve
from .quantize import Quantizer
from .settings import MAX_CHUNK_SAMPLES, Options
from .sink import OutputLayout, Sink, open_sink
from .source import Source, blocks, open_source

# Warn when the output would be this many times the size of the input.
ABSURD_GROWTH = 16


@dataclass
class Result:
    """What one conversion did."""

    input: str
    output: str
    input_rate: int
    rate: int
    channels: int
    frames_in: int
    frames_out: int
    input_type: str  # libsndfile's file type: "WAV", "FLAC", ...
    input_format: str  # the sample format as people say it: "16-bit PCM"
    output_type: str
    output_format: str
    quality: str
    backend: str
    clipped: int | None  # samples clamped to the integer range; None: not counted
    dithered: bool
    seconds: float
    warnings: list[str] = field(default_factory=list)


def _output_type(output: str, options: Options) -> FileType:
    if options.file_type is not None:
        return file_type(options.file_type)
    if output == "-":
        return FileType("WAV", None)
    found = type_of_path(output)
    if found is None:
        raise UsageError(f"cannot tell the file type of {output!r} from its name; use --type")
    return found


@dataclass
class _Plan:
    layout: OutputLayout
    out: SampleFormat
    dither: bool
    use_i16: bool
    warnings: list[str]


def _plan(source: Source, output: str, dest: Destination, options: Options) -> _Plan:
    """Everything decided and checked before the first byte is written."""
    ftype = _output_type(output, options)
    requested = encoding_subtype(options.encoding) if options.encoding is not None else None
    subtype = choose_subtype(source.sample, ftype, requested, source.major)
    out = sample_format(subtype)
    warnings: list[str] = []
    frames = None if source.frames is None else math.ceil(source.frames * options.rate / source.rate)
    size = None if frames is None else estimated_bytes(frames, source.channels, out)
    if not header_rate_fits(ftype, options.rate, source.channels, out):
        raise UsageError(f"{options.rate} Hz is beyond what a {ftype.major} header can hold")
    ftype, switched = fit_to_size(ftype, size)
    if switched:
        warnings.append(f"{output}: over 4 GiB, written as RF64")
    if size is not None and source.size and size - HEADER_ROOM > ABSURD_GROWTH * source.size:
        warnings.append(
            f"{output}: the output will be {(size - HEADER_ROOM) / source.size:.0f} times the size of the input "
            f"({size / 2**20:.0f} MiB)"
        )
    if size is not None and dest.kind in ("new", "replace"):
        directory = os.path.dirname(dest.path)
        try:
            st = os.statvfs(directory)
        except OSError as e:
            raise UsageError(f"cannot write to {os.path.dirname(output) or '.'!r}: {describe_os_error(e)}") from None
        free = st.f_bavail * st.f_frsize
        if size > free:
            raise UsageError(
                f"{output!r} needs {size / 2**20:.1f} MiB and its file system has {free / 2**20:.1f} MiB free"
            )
    dither = out.is_integer and (
        options.dither
        if options.dither is not None
        else source.sample.bits is None or (out.bits or 0) < source.sample.bits
    )
    use_i16 = source.sample.dtype == "int16" and out.bits == 16 and not dither
    layout = OutputLayout(ftype.major, subtype, options.rate, source.channels, options.big_endian, source.metadata)
    return _Plan(layout, out, dither, use_i16, warnings)


def _resampler(
    source: Source, plan: _Plan, options: Options, chunk: int
) -> tenvira.F32Resampler | tenvira.I16Resampler:
    cls = tenvira.I16Resampler if plan.use_i16 else tenvira.F32Resampler
    try:
        return cls(source.rate, options.rate, source.channels, options.quality, options.backend, chunk)
    except ValueError as e:
        raise UsageError(str(e)) from None


def _chunk_frames(source: Source, options: Options) -> int:
    """Input frames per step: ``chunk_ms`` of input, fewer where the input
    or the output of a step would pass MAX_CHUNK_SAMPLES."""
    growth = max(1, math.ceil(options.rate / source.rate))
    wanted = round(source.rate * options.chunk_ms / 1000.0)
    return max(1, min(wanted, MAX_CHUNK_SAMPLES // (source.channels * growth)))


class _Pipeline:
    """Buffers and steps from one input block to one output block."""

    def __init__(self, source: Source, plan: _Plan, options: Options, chunk: int, seed_name: str) -> None:
        self.r = _resampler(source, plan, options, chunk)
        ch = source.channels
        self.chunk = chunk
        work = "int16" if plan.use_i16 else "float32"
        self.floats = None if work == source.sample.dtype else np.empty((chunk, ch), np.float32)
        self.in_scale = np.float32(2.0 ** -(15 if source.sample.dtype == "int16" else 31))
        capacity = max(self.r.required_output_capacity(chunk), self.r.required_output_capacity(0))
        self.output = np.empty((capacity // ch, ch), work)
        self.quantizer = None
        self.encoded = None
        if plan.out.is_integer and not plan.use_i16:
            assert plan.out.bits is not None
            self.quantizer = Quantizer(plan.out.bits, plan.out.dtype, plan.dither, seed_name, source.sample.bits is None)
            self.encoded = np.empty(self.output.shape, plan.out.dtype)

    def feed(self, block: npt.NDArray[np.generic]) -> npt.NDArray[np.generic]:
        if self.floats is not None:
            f = self.floats[: len(block)]
            f[...] = block
            f *= self.in_scale
            block = f
        stats = self.r.process_into(block, self.output)
        return self._emit(stats.output_frames)

    def finish(self) -> npt.NDArray[np.generic]:
        stats = self.r.finish_into(self.output)
        return self._emit(stats.output_frames)

    def _emit(self, frames: int) -> npt.NDArray[np.generic]:
        out = self.output[:frames]
        if self.quantizer is None or self.encoded is None:
            return out
        encoded = self.encoded[:frames]
        self.quantizer(out, encoded)
        return encoded


def _stream(
    source: Source, pipe: _Pipeline, sink: Sink, name: str, progress: Callable[[int], None] | None
) -> tuple[int, int]:
    frames_in = frames_out = 0
    inputs = blocks(source, pipe.chunk)
    while True:
        try:
            block = next(inputs, None)
        except (OSError, soundfile.LibsndfileError) as e:
            detail = describe_os_error(e) if isinstance(e, OSError) else e.error_string
            raise InputError(f"cannot read {name!r}: {detail}") from None
        if block is None:
            break
        out = pipe.feed(block)
        sink.write(out)
        frames_in += len(block)
        frames_out += len(out)
        if progress is not None:
            progress(frames_in)
    out = pipe.finish()
    sink.write(out)
    return frames_in, frames_out + len(out)


def convert_file(
    input: str | os.PathLike[str],
    output: str | os.PathLike[str],
    options: Options,
    *,
    seed_name: str | None = None,
    progress: Callable[[int], None] | None = None,
    stdin: BinaryIO | None = None,
    stdout: BinaryIO | None = None,
) -> Result:
    """Resamples ``input`` to ``output`` at ``options.rate`` Hz.

    Either may be "-" for standard input or output. ``output`` appears only
    complete: a regular file is written beside it and renamed, a FIFO or a
    device is written through. ``seed_name`` seeds the dither (default: the
    output's file name; a batch passes the path relative to its output
    folder). ``progress`` is called with the input frames read so far.

    Raises ``UsageError`` or ``InputError`` (exit status 2) and
    ``OutputError`` (status 1), all ``CliError``s with a one-line message.
    """
    in_name, out_name = os.fspath(input), os.fspath(output)
    start = time.perf_counter()
    source = open_source(in_name, options.raw_input, stdin)
    try:
        dest = resolve(out_name, options.force)
        plan = _plan(source, out_name, dest, options)
        chunk = _chunk_frames(source, options)
        pipe = _Pipeline(source, plan, options, chunk, seed_name or os.path.basename(out_name))
        with open_sink(dest, plan.layout, stdout or sys.stdout.buffer) as sink:
            frames_in, frames_out = _stream(source, pipe, sink, in_name, progress)
        warnings = plan.warnings
        cut = source.truncation()
        if cut is not None:
            warnings.append(
                f"{in_name}: premature end of file: {cut[0]} of the {cut[1]} frames its header announces"
            )
    finally:
        source.close()
    return Result(
        in_name,
        out_name,
        source.rate,
        options.rate,
        source.channels,
        frames_in,
        frames_out,
        source.major,
        describe(source.sample.subtype),
        plan.layout.major,
        describe(plan.out.subtype),
        options.quality,
        pipe.r.selected_backend,
        None if pipe.quantizer is None else pipe.quantizer.clipped,
        plan.dither,
        time.perf_counter() - start,
        warnings,
    )


