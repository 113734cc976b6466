"""Helpers shared by the command-line tool's tests: running the command,
test signals, audio files, hand-made WAV headers and the expected output
computed with the module directly."""

import math
import struct
import subprocess
import sys

import numpy as np
import soundfile as sf

import tenvira
from tenvira_cli.settings import DEFAULT_QUALITY

# libsndfile subtype -> integer bits (None: float).
BITS = {"PCM_U8": 8, "PCM_S8": 8, "PCM_16": 16, "PCM_24": 24, "PCM_32": 32, "FLOAT": None, "DOUBLE": None}


def command(*args):
    return [sys.executable, "-m", "tenvira_cli", *map(str, args)]


def run(*args, binary=False, **kwargs):
    """Runs the command; stdout is bytes with ``binary``, stderr is text."""
    kwargs.setdefault("timeout", 120)
    r = subprocess.run(command(*args), capture_output=True, **kwargs)
    r.stderr = r.stderr.decode(errors="replace")
    if not binary:
        r.stdout = r.stdout.decode(errors="replace")
    return r


def make_signal(frames, channels, subtype="FLOAT"):
    """(frames, channels) in the dtype libsndfile reads ``subtype`` as:
    channel 0 a full-scale square wave (the filters overshoot it, so integer
    output has to be clamped), channel 1 a quiet tone, the rest silent."""
    i = np.arange(frames)
    x = np.zeros((frames, channels))
    x[:, 0] = np.where((i // 20) % 2, 1.0, -1.0)
    if channels > 1:
        x[:, 1] = 0.3 * np.sin(0.21 * i)
    bits = BITS[subtype]
    if bits is None:
        return x.astype(np.float32)
    container = 16 if bits <= 16 else 32
    full = 2 ** (bits - 1)
    ints = np.clip(np.round(x * full), -full, full - 1).astype(np.int64) << (container - bits)
    return ints.astype(np.int16 if container == 16 else np.int32)


def write_audio(path, data, rate, subtype, file_format=None):
    sf.write(str(path), data, rate, subtype=subtype, format=file_format)


def read_audio(path, dtype="int32"):
    """(data (frames, channels), rate, libsndfile format, subtype)."""
    with sf.SoundFile(str(path)) as f:
        return f.read(dtype=dtype, always_2d=True), f.samplerate, f.format, f.subtype


def expected_output(data, subtype, rate_in, rate_out, out_subtype=None, quality=DEFAULT_QUALITY):
    """What the tool writes without dither, computed with the module: 16-bit
    to 16-bit through I16Resampler; everything else through F32Resampler with
    b-bit integers as x / 2**(b-1), results rounded (ties to even) and
    clamped. Returned as libsndfile reads the output as int32 (float output:
    float32)."""
    out_subtype = out_subtype or subtype
    channels = data.shape[1]
    bits_in, bits_out = BITS[subtype], BITS[out_subtype]
    if bits_in is not None and bits_in <= 16 and bits_out == 16:
        r = tenvira.I16Resampler(rate_in, rate_out, channels, quality)
        y = np.array(r.process(data.reshape(-1))[0] + r.finish()[0], np.int32) << 16
        return y.reshape(-1, channels)
    r = tenvira.F32Resampler(rate_in, rate_out, channels, quality)
    x = data.astype(np.float32) if bits_in is None else (data.astype(np.float64) / 2.0 ** (8 * data.itemsize - 1))
    y = np.array(r.process(x.astype(np.float32).reshape(-1))[0] + r.finish()[0], np.float64).reshape(-1, channels)
    if bits_out is None:
        return y.astype(np.float32)
    full = 2.0 ** (bits_out - 1)
    return (np.clip(np.rint(y * full), -full, full - 1).astype(np.int64) << (32 - bits_out)).astype(np.int32)


def out_frames(frames, rate_in, rate_out):
    return math.ceil(frames * rate_out / rate_in)


def leftovers(directory, *keep):
    return sorted(p.name for p in directory.iterdir() if p.name not in keep)


# Hand-made WAV files, hostile ones included.


def chunk(cid, body, size=None):
    declared = len(body) if size is None else size
    return cid + struct.pack("<I", declared) + body + b"\x00" * (len(body) & 1)


def fmt_body(tag=1, channels=1, rate=8000, bits=16, block_align=None):
    align = channels * ((bits + 7) // 8) if block_align is None else block_align
    return struct.pack("<HHIIHH", tag, channels, rate, (rate * align) & 0xFFFFFFFF, align, bits)


KSDATAFORMAT_TAIL = b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"


def extensible_body(channels, rate, bits, subtag, valid_bits=None, guid_tail=KSDATAFORMAT_TAIL):
    valid = bits if valid_bits is None else valid_bits
    return (
        fmt_body(0xFFFE, channels, rate, bits)
        + struct.pack("<HHI", 22, valid, 0x3 if channels == 2 else 0x4)
        + struct.pack("<H", subtag)
        + guid_tail
    )


def riff(*chunks, size=None):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body) if size is None else size) + body
