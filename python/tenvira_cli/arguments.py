"""The command line: ``tenvira resample`` and ``tenvira info``."""

from __future__ import annotations

import argparse
import math
from importlib import metadata

from .errors import PROG
from .settings import (
    DEFAULT_CHUNK_MS,
    DEFAULT_QUALITY,
    ENCODINGS,
    MAX_CHUNK_MS,
    QUALITIES,
)

_U32_MAX = 2**32 - 1


def _rate(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = -1
    if not 0 <= value <= _U32_MAX:
        raise argparse.ArgumentTypeError(f"expected a sample rate in Hz, got {text!r}")
    return value


def _count(text: str) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
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


def version() -> str:
    try:
        return metadata.version("tenvira")
    except metadata.PackageNotFoundError:
        return "unknown"


_RESAMPLE = """\
Resample IN to OUT at --rate Hz, or every IN (files, and the audio files of
directory trees, mirrored) into the folder -o OUTDIR. "-" is standard input
or output.

OUT's file type follows its extension (wav, flac, ogg, opus, mp3, aiff, au,
caf, w64, rf64, raw, ...: 'tenvira info' lists them) or --type; "-" writes
WAV with a streaming header. The sample format is the input's where the
output type has it, else the nearest one that loses nothing more (float into
FLAC becomes 24-bit; a lossy input gives float, or 24-bit where float is
missing); --encoding chooses another. Reducing the bit depth (float or
24-bit to 16-bit) adds TPDF dither, seeded from the output's path relative
to OUTDIR, so every run and every --jobs or cluster split gives the same
bits. Tags (title, artist, ...) are copied.

OUT appears only complete: a file is written beside it and renamed, a FIFO,
device or standard output is written through, a symbolic link is followed.
Exit status: 0 done (warnings allowed), 1 an I/O error while writing or a
failed file in a batch, 2 a usage error or unreadable input, 128+N on
signal N (130 for Ctrl-C), 141 when the reader of a pipe went away.
"""


def _add_resample(commands: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = commands.add_parser(
        "resample",
        help="resample audio files, pipes or whole folders",
        description=_RESAMPLE,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    p.add_argument("paths", nargs="+", metavar="IN", help="input files or folders; the last is OUT unless -o is given")
    p.add_argument("--rate", "-r", type=_rate, required=True, metavar="HZ", help="output sample rate")
    p.add_argument("--output-dir", "-o", metavar="OUTDIR", help="write every input into this folder")
    p.add_argument(
        "--quality", "-q", default=DEFAULT_QUALITY, metavar="NAME",
        help=f"{', '.join(QUALITIES)} (default {DEFAULT_QUALITY})",
    )
    p.add_argument("--backend", "-b", help="compute backend (default auto; see 'tenvira info')")
    p.add_argument("--type", "-t", dest="file_type", metavar="TYPE", help="output file type, whatever OUT's extension")
    p.add_argument(
        "--encoding", "-e", metavar="ENC",
        help=f"output sample format: {', '.join(ENCODINGS)} or a libsndfile subtype name",
    )
    dither = p.add_mutually_exclusive_group()
    dither.add_argument("--dither", action="store_true", default=None, help="dither whenever the output is integer")
    dither.add_argument("--no-dither", dest="dither", action="store_false", help="never dither")
    raw = p.add_argument_group("raw PCM input (IN ending in .raw or .pcm, or any IN with --raw-rate)")
    raw.add_argument("--raw-rate", type=_rate, metavar="HZ", help="its sample rate")
    raw.add_argument("--raw-channels", type=_count, metavar="N", help="its channel count")
    raw.add_argument("--raw-encoding", default="s16", metavar="ENC", help="its sample format (default s16)")
    raw.add_argument("--big-endian", action="store_true", help="raw input and output are big-endian")
    batch = p.add_argument_group("many files")
    batch.add_argument("--jobs", "-j", type=_count, default=1, metavar="N", help="worker processes (default 1)")
    batch.add_argument("--skip-existing", action="store_true", help="leave outputs that exist alone (to resume)")
    batch.add_argument("--failures", metavar="FILE", help="also list the failed inputs in FILE (input TAB reason)")
    batch.add_argument(
        "--scheduler", metavar="ADDRESS",
        help="run on this Dask cluster (pip install 'tenvira[dask]'); its workers must see the same paths "
        "as this machine (a shared file system)",
    )
    p.add_argument(
        "--chunk-ms", type=_chunk_ms, default=DEFAULT_CHUNK_MS, metavar="MS",
        help=f"input read per step, in milliseconds (default {DEFAULT_CHUNK_MS:g})",
    )
    p.add_argument("--force", "-f", action="store_true", help="overwrite OUT if it exists")
    p.add_argument("--quiet", action="store_true", help="no progress bar and no summary")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description="Streaming sample-rate conversion of audio files.")
    parser.add_argument("--version", action="version", version=f"{PROG} {version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    _add_resample(commands)
    p = commands.add_parser(
        "info",
        help="show version, CPU features, backends, qualities and file types",
        description="Show the version, the CPU features, the backends, the qualities and the file types.",
    )
    p.add_argument("--json", action="store_true", help="print one JSON object")
    return parser
