"""The conversion settings and their defaults, importable without numpy or
libsndfile (the command parses its arguments before loading those)."""

from __future__ import annotations

from dataclasses import dataclass

# The quality names the command offers, in order, and its default: files
# do not need low latency, so the studio-quality preset.
QUALITIES = ("fast", "balanced", "best", "hq", "vhq")
DEFAULT_QUALITY = "hq"

# Input read per step. Memory does not depend on the length of a file, only
# on this; longer steps spend less time in Python per second of audio (half
# a second of 24-bit stereo takes 1.4 s of CPU for ten minutes at 48 kHz,
# a tenth of a second 1.6 s).
DEFAULT_CHUNK_MS = 500.0
MAX_CHUNK_MS = 60_000.0
# However many channels and however steep the rate ratio: no step reads or
# writes more samples than this (4 MiB of float32).
MAX_CHUNK_SAMPLES = 1 << 20

# Sample formats by short name for --encoding (libsndfile's subtype names,
# in any case, are accepted too).
ENCODINGS: dict[str, str] = {
    "s8": "PCM_S8",
    "u8": "PCM_U8",
    "s16": "PCM_16",
    "s24": "PCM_24",
    "s32": "PCM_32",
    "f32": "FLOAT",
    "f64": "DOUBLE",
    "ulaw": "ULAW",
    "alaw": "ALAW",
}


@dataclass(frozen=True)
class RawFormat:
    """Raw PCM input: what its missing header would have said."""

    rate: int
    channels: int
    subtype: str
    big_endian: bool = False


@dataclass(frozen=True)
class Options:
    """How to convert; the same for every file of a batch.

    ``file_type`` and ``encoding`` name the output's file type (wav, flac,
    ...; default: OUT's extension, WAV for a stream) and sample format (s16,
    s24, f32, ... or a libsndfile subtype; default: the input's where the
    type has it, else the nearest that loses nothing more). ``dither`` None
    dithers exactly when the output has fewer bits than the input.
    ``raw_input`` describes headerless input; ``big_endian`` applies to raw
    output."""

    rate: int
    quality: str = DEFAULT_QUALITY
    backend: str | None = None
    file_type: str | None = None
    encoding: str | None = None
    dither: bool | None = None
    force: bool = False
    chunk_ms: float = DEFAULT_CHUNK_MS
    raw_input: RawFormat | None = None
    big_endian: bool = False
