"""``tenvira resample`` and ``tenvira info``."""

from __future__ import annotations

import argparse
import contextlib
import errno
import math
import os
import platform
import signal
import sys
import tempfile
import time
from collections.abc import Iterator, Sequence
from importlib import metadata
from pathlib import Path
from types import FrameType
from typing import BinaryIO

import tenvira

from .progress import ProgressBar
from .samples import Converter
from .wavfile import WavError, WavReader, WavWriter

PROG = "tenvira"
# Files shorter than this get no progress bar.
PROGRESS_MIN_SECONDS = 5.0
MAX_CHUNK_MS = 60_000.0
_U32_MAX = 2**32 - 1


class UsageError(Exception):
    """A mistake of the user's: reported in one line, exit status 2."""


def _rate(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= _U32_MAX:
        raise argparse.ArgumentTypeError(f"expected a sample rate in Hz, got {text!r}")
    return value


def _chunk_ms(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0 < value <= MAX_CHUNK_MS:
        raise argparse.ArgumentTypeError(
            f"expected a duration in milliseconds above 0 and up to {MAX_CHUNK_MS:g}, got {text!r}"
        )
    return value


def _version() -> str:
    try:
        return metadata.version("tenvira")
    except metadata.PackageNotFoundError:
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Streaming sample-rate conversion of WAV files."
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    p = commands.add_parser(
        "resample",
        help="resample a WAV file",
        description=(
            "Resample IN to OUT at --rate Hz, keeping the channel count and the "
            "sample format (16-, 24-, 32-bit PCM or 32-bit float). The file is "
            "streamed in chunks; OUT appears only when it is complete."
        ),
    )
    p.add_argument("input", metavar="IN", help="WAV file to read")
    p.add_argument("output", metavar="OUT", help="WAV file to write")
    p.add_argument("--rate", "-r", type=_rate, required=True, metavar="HZ", help="output sample rate")
    p.add_argument("--quality", "-q", help="fast, balanced (default) or best")
    p.add_argument("--backend", "-b", help="compute backend (default auto; see 'tenvira info')")
    p.add_argument(
        "--chunk-ms",
        type=_chunk_ms,
        default=20.0,
        metavar="MS",
        help="input read per step, in milliseconds (default 20)",
    )
    p.add_argument("--force", "-f", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")
    p.set_defaults(run=resample)

    p = commands.add_parser(
        "info",
        help="show version, CPU features and backends",
        description="Show the version, the CPU features, the backends and the qualities.",
    )
    p.set_defaults(run=info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    previous = signal.signal(signal.SIGTERM, _terminate)
    try:
        status: int = args.run(args)
        return status
    except UsageError as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 128 + signal.SIGINT
    finally:
        signal.signal(signal.SIGTERM, previous)


def _terminate(signum: int, frame: FrameType | None) -> None:
    # Unwind like Ctrl-C does, so that the temporary output is removed.
    raise SystemExit(128 + signum)


# -- resample ---------------------------------------------------------------


def _describe_os_error(e: OSError) -> str:
    return e.strerror or str(e)


@contextlib.contextmanager
def _atomic_output(path: Path, overwrite: bool) -> Iterator[BinaryIO]:
    """Yields a temporary file beside ``path`` and moves it to ``path`` when
    the block ends normally. On any exception the temporary file is removed,
    so that no partial file ever carries the final name."""
    directory = path.parent
    try:
        fd, tmp = tempfile.mkstemp(dir=directory, prefix=f".{path.name}.", suffix=".part")
    except OSError as e:
        raise UsageError(f"cannot write to {str(directory)!r}: {_describe_os_error(e)}") from None
    try:
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(fd, 0o666 & ~umask)
        with os.fdopen(fd, "w+b") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        if overwrite:
            os.replace(tmp, path)
        else:
            _link_no_clobber(tmp, path)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise


def _link_no_clobber(tmp: str, path: Path) -> None:
    """Renames without replacing a file that appeared in the meantime."""
    try:
        os.link(tmp, path)
    except FileExistsError:
        raise UsageError(f"{str(path)!r} exists; use --force to overwrite it") from None
    except OSError as e:
        if e.errno not in (errno.EPERM, errno.EOPNOTSUPP, errno.ENOTSUP, errno.EXDEV):
            raise
        # No hard links on this file system.
        if path.exists():
            raise UsageError(f"{str(path)!r} exists; use --force to overwrite it") from None
        os.replace(tmp, path)
    else:
        os.unlink(tmp)


def _open_input(name: str) -> WavReader:
    try:
        return WavReader(name)
    except OSError as e:
        raise UsageError(f"cannot read {name!r}: {_describe_os_error(e)}") from None
    except WavError as e:
        raise UsageError(f"{name!r}: {e}") from None


def resample(args: argparse.Namespace) -> int:
    out_path = Path(args.output)
    with _open_input(args.input) as reader:
        fmt = reader.format
        if out_path.is_dir():
            raise UsageError(f"{args.output!r} is a directory")
        if out_path.exists() and not args.force:
            raise UsageError(f"{args.output!r} exists; use --force to overwrite it")
        chunk = max(1, round(fmt.rate * args.chunk_ms / 1000.0))
        try:
            converter = Converter(fmt, args.rate, args.quality, args.backend, chunk)
        except ValueError as e:
            raise UsageError(str(e)) from None

        show_progress = (
            not args.quiet
            and sys.stderr.isatty()
            and reader.frames / fmt.rate > PROGRESS_MIN_SECONDS
        )
        frames_in = frames_out = 0
        start = time.perf_counter()
        with _atomic_output(out_path, args.force) as f:
            writer = WavWriter(f, fmt.with_rate(args.rate))
            bar = ProgressBar(sys.stderr, reader.frames, fmt.rate) if show_progress else None
            try:
                while True:
                    try:
                        data = reader.read(chunk)
                    except OSError as e:
                        raise UsageError(f"cannot read {args.input!r}: {_describe_os_error(e)}") from None
                    if not data:
                        break
                    out, stats = converter.process(data)
                    writer.write(out)
                    frames_in += stats.input_frames
                    frames_out += stats.output_frames
                    if bar is not None:
                        bar.update(frames_in)
                out, stats = converter.finish()
                writer.write(out)
                frames_out += stats.output_frames
            except WavError as e:
                raise UsageError(str(e)) from None
            finally:
                # Also on the way out of an error or an interruption: the
                # header goes into the temporary file while it is still open
                # (the wave module would otherwise try when collected).
                writer.close()
                if bar is not None:
                    bar.close(frames_in)
        elapsed = time.perf_counter() - start

    if not args.quiet:
        speed = (frames_in / fmt.rate) / elapsed if elapsed > 0 else math.inf
        print(
            f"{args.input} -> {args.output}: {frames_in} frames at {fmt.rate} Hz -> "
            f"{frames_out} frames at {args.rate} Hz, {fmt.channels} ch, {fmt.describe()}, "
            f"quality {args.quality or 'balanced'}, backend {converter.selected_backend}, "
            f"{elapsed:.3f} s, {speed:.1f}x real time"
        )
    return 0


# -- info -------------------------------------------------------------------

# The processor features that the module's backend choice depends on.
_CPU_FLAGS = ("avx2", "fma", "f16c", "avx512f")


def _cpu_flags() -> set[str] | None:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith(("flags", "Features")):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


def _probe(backend: str) -> str:
    """What a resampler built with this backend name reports, or why it
    cannot be built."""
    try:
        return tenvira.F32Resampler(48000, 16000, 1, quality="fast", backend=backend).selected_backend
    except ValueError as e:
        return f"unavailable ({e})"


def info(args: argparse.Namespace) -> int:
    flags = _cpu_flags()
    if flags is None:
        cpu = "unknown (no /proc/cpuinfo)"
    else:
        cpu = ", ".join(f"{name} {'yes' if name in flags else 'no'}" for name in _CPU_FLAGS)
    print(f"{PROG} {_version()}")
    print(f"module:    {tenvira.__file__}")
    print(f"python:    {platform.python_implementation()} {platform.python_version()}")
    print(f"cpu:       {platform.machine()}; {cpu}")
    print(f"auto:      {_probe('auto')}")
    print(f"qualities: {', '.join(tenvira.quality_values())}")
    print(f"backends:  {', '.join(tenvira.backend_values())}")
    for name in tenvira.backend_values():
        if name != "auto":
            print(f"  {name:9} -> {_probe(name)}")
    return 0
