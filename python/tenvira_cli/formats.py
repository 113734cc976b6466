"""File types and sample formats: what OUT's name or ``--type`` asks for,
which sample format the output gets, and what a format can hold.

File types and sample formats are libsndfile's ("major formats" and
"subtypes"); the names people type map onto them here.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Literal

import soundfile  # type: ignore[import-untyped, unused-ignore]

from .errors import UsageError
from .settings import ENCODINGS

# File types by the names people use, as extensions and for --type; any of
# libsndfile's own format names (lower case) is accepted too.
_TYPE_ALIASES: dict[str, tuple[str, str | None]] = {
    "wav": ("WAV", None),
    "wave": ("WAV", None),
    "flac": ("FLAC", None),
    "ogg": ("OGG", "VORBIS"),
    "oga": ("OGG", "VORBIS"),
    "vorbis": ("OGG", "VORBIS"),
    "opus": ("OGG", "OPUS"),
    "mp3": ("MP3", "MPEG_LAYER_III"),
    "aif": ("AIFF", None),
    "aiff": ("AIFF", None),
    "aifc": ("AIFF", None),
    "au": ("AU", None),
    "snd": ("AU", None),
    "caf": ("CAF", None),
    "w64": ("W64", None),
    "rf64": ("RF64", None),
    "raw": ("RAW", None),
    "pcm": ("RAW", None),
    "sph": ("NIST", None),
    "nist": ("NIST", None),
    "sf": ("IRCAM", None),
    "mat": ("MAT5", None),
    "iff": ("SVX", None),
    "8svx": ("SVX", None),
}


Dtype = Literal["int16", "int32", "float32"]


@dataclass(frozen=True)
class SampleFormat:
    """What a libsndfile subtype carries.

    ``bits`` is the integer precision, None for floating point and for lossy
    codecs (which decode to float). ``dtype`` is how its samples are read
    and written here: int16 or int32 left-justified, or float32.
    ``sample_bytes`` is the stored size of a sample, None where it varies
    (compressed)."""

    subtype: str
    bits: int | None
    dtype: Dtype
    sample_bytes: int | None
    lossy: bool = False

    @property
    def is_integer(self) -> bool:
        return self.bits is not None


def _int(subtype: str, bits: int, stored: int | None) -> SampleFormat:
    return SampleFormat(subtype, bits, "int16" if bits <= 16 else "int32", stored)


_FORMATS = {
    f.subtype: f
    for f in [
        _int("PCM_S8", 8, 1),
        _int("PCM_U8", 8, 1),
        _int("DPCM_8", 8, 1),
        _int("DWVW_12", 12, None),
        _int("PCM_16", 16, 2),
        _int("DPCM_16", 16, 2),
        _int("DWVW_16", 16, None),
        _int("ALAC_16", 16, None),
        _int("ULAW", 16, 1),  # 14 significant bits, held exactly by 16
        _int("ALAW", 16, 1),
        _int("ALAC_20", 20, None),
        _int("PCM_24", 24, 3),
        _int("DWVW_24", 24, None),
        _int("ALAC_24", 24, None),
        _int("PCM_32", 32, 4),
        _int("ALAC_32", 32, None),
        SampleFormat("FLOAT", None, "float32", 4),
        SampleFormat("DOUBLE", None, "float32", 8),
    ]
}


def sample_format(subtype: str) -> SampleFormat:
    """Any other subtype is a lossy codec, decoded to float."""
    return _FORMATS.get(subtype) or SampleFormat(subtype, None, "float32", None, lossy=True)


@dataclass(frozen=True)
class FileType:
    major: str  # libsndfile's format name
    subtype: str | None  # fixed by the name (".opus"), else None


def file_type(name: str) -> FileType:
    """A --type argument or an extension (without the dot)."""
    key = name.lower()
    if key in _TYPE_ALIASES:
        return FileType(*_TYPE_ALIASES[key])
    if key.upper() in soundfile.available_formats():
        return FileType(key.upper(), None)
    raise UsageError(f"unknown file type {name!r}; see 'tenvira info' for the list")


def type_of_path(path: str) -> FileType | None:
    ext = os.path.splitext(path)[1][1:]
    if not ext:
        return None
    try:
        return file_type(ext)
    except UsageError:
        return None


def type_names() -> list[str]:
    return sorted(set(_TYPE_ALIASES) | {f.lower() for f in soundfile.available_formats()})


def extension_for(ftype: FileType) -> str:
    """The usual extension of a file type, for names made in a batch."""
    for ext, (major, subtype) in _TYPE_ALIASES.items():
        if major == ftype.major and subtype in (None, ftype.subtype):
            return ext
    return ftype.major.lower()


def encoding_subtype(name: str) -> str:
    """A --encoding argument as a libsndfile subtype."""
    key = name.lower()
    if key in ENCODINGS:
        return ENCODINGS[key]
    if key.upper() in soundfile.available_subtypes():
        return key.upper()
    raise UsageError(
        f"unknown encoding {name!r}; expected one of {', '.join(ENCODINGS)} "
        "or a libsndfile subtype name"
    )


def _rank(fmt: SampleFormat) -> float:
    """Integer formats by their bits, float above them, double above float."""
    if fmt.bits is not None:
        return fmt.bits
    return 64.0 if fmt.subtype == "DOUBLE" else 48.0


def choose_subtype(source: SampleFormat, ftype: FileType, requested: str | None, source_major: str) -> str:
    """The output's sample format: the one asked for; else the input's where
    the file type has it (a lossy codec only into its own file type: an MP3
    becomes PCM in a WAV file, not MP3 in a WAV file); else the nearest one that loses nothing more (the
    smallest that holds the input, else the largest there is); else, for
    lossy-only types, the type's own codec."""
    available = soundfile.available_subtypes(ftype.major)
    if requested is not None:
        if requested not in available:
            raise UsageError(f"{ftype.major} files cannot hold {requested} samples")
        return requested
    if ftype.subtype is not None:
        return ftype.subtype
    if source.subtype in available and (not source.lossy or source_major == ftype.major):
        return source.subtype
    candidates = [sample_format(s) for s in available if not sample_format(s).lossy]
    candidates = [c for c in candidates if c.subtype not in ("ULAW", "ALAW")]
    need = _rank(source) if not source.lossy else 48.0
    holding = [c for c in candidates if _rank(c) >= need]
    if holding:
        return min(holding, key=_rank).subtype
    if candidates:
        return max(candidates, key=_rank).subtype
    default: str | None = soundfile.default_subtype(ftype.major)
    if default is None:
        raise UsageError(f"{ftype.major} files need --encoding")
    return default


# Containers whose sizes are 32-bit fields; the rest are unlimited here.
_UNLIMITED = {"W64", "RF64", "CAF", "FLAC", "OGG", "MP3", "RAW"}
SIZE_LIMIT_32 = 0xFFFFFFFF
# Header and metadata room added to an estimate.
HEADER_ROOM = 64 * 1024


def estimated_bytes(frames: int, channels: int, fmt: SampleFormat) -> int | None:
    """Bytes of OUT for this many frames, or None where compression makes
    the size unknown."""
    if fmt.sample_bytes is None:
        return None
    return frames * channels * fmt.sample_bytes + HEADER_ROOM


def fit_to_size(ftype: FileType, size: int | None) -> tuple[FileType, bool]:
    """The file type to write ``size`` bytes in: RF64 in place of a WAV that
    would pass 4 GiB (True when switched). Refuses other full containers."""
    if size is None or ftype.major in _UNLIMITED or size <= SIZE_LIMIT_32:
        return ftype, False
    if ftype.major in ("WAV", "WAVEX"):
        return FileType("RF64", ftype.subtype), True
    raise UsageError(
        f"the output would be {size / 2**30:.1f} GiB, over the 4 GiB limit of {ftype.major} "
        "files; write .wav, .w64, .rf64, .caf or .flac instead"
    )


def header_rate_fits(ftype: FileType, rate: int, channels: int, fmt: SampleFormat) -> bool:
    """Whether the header's byte rate field (rate x frame size) and rate
    field hold this rate; libsndfile's rate is a signed 32-bit int."""
    if rate >= 2**31:
        return False
    if ftype.major in ("WAV", "WAVEX", "RF64", "W64") and fmt.sample_bytes is not None:
        return rate * channels * fmt.sample_bytes <= SIZE_LIMIT_32
    return True


_DESCRIPTIONS = {
    "PCM_S8": "8-bit PCM",
    "PCM_U8": "8-bit unsigned PCM",
    "PCM_16": "16-bit PCM",
    "PCM_24": "24-bit PCM",
    "PCM_32": "32-bit PCM",
    "FLOAT": "32-bit float",
    "DOUBLE": "64-bit float",
}


def describe(subtype: str) -> str:
    """A sample format as people say it."""
    return _DESCRIPTIONS.get(subtype) or subtype.lower().replace("_", " ")
