"""The command's own format code, tested in-process: the streaming WAV and
raw reader and writer (against libsndfile), the choice of the output sample
format, and float-to-integer conversion with its dither."""

import io
import struct

import numpy as np
import pytest
import soundfile as sf

from cli_helpers import chunk, extensible_body, fmt_body, riff
from tenvira_cli import wavstream
from tenvira_cli.errors import InputError
from tenvira_cli.formats import FileType, choose_subtype, sample_format
from tenvira_cli.quantize import Quantizer
from tenvira_cli.settings import RawFormat
from tenvira_cli.source import open_source

STREAMED = ["PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE"]


def values(subtype, frames, channels):
    """Samples as libsndfile reads ``subtype``: left-justified ints, floats."""
    fmt = sample_format(subtype)
    rng = np.random.default_rng(frames)
    if fmt.dtype == "float32":
        return rng.uniform(-1, 1, (frames, channels)).astype(np.float32)
    shift = (16 if fmt.dtype == "int16" else 32) - fmt.bits
    ints = rng.integers(-(2 ** (fmt.bits - 1)), 2 ** (fmt.bits - 1), (frames, channels)) << shift
    return ints.astype(fmt.dtype)


class Pipe(io.BytesIO):
    """A stream that cannot seek."""

    def seekable(self):
        return False


def test_stream_header_is_the_plain_layout_with_unknown_sizes():
    fmt = wavstream.StreamFormat(8000, 2, "FLOAT")
    f = Pipe()
    w = wavstream.StreamWriter(f, fmt)
    w.write(np.array([[0.5, -0.5], [1.0, -1.0]], np.float32))
    w.close()
    expected = (
        b"RIFF" + b"\xff\xff\xff\xff" + b"WAVE"
        + b"fmt " + struct.pack("<IHHIIHHH", 18, 3, 2, 8000, 64000, 8, 32, 0)
        + b"data" + b"\xff\xff\xff\xff" + struct.pack("<4f", 0.5, -0.5, 1.0, -1.0)
    )
    assert f.getvalue() == expected


@pytest.mark.parametrize("subtype", STREAMED)
@pytest.mark.parametrize("frames, channels", [(0, 1), (1, 1), (51, 3)])
@pytest.mark.parametrize("seekable", [True, False])
def test_streamed_wav_reads_back_through_libsndfile(tmp_path, subtype, frames, channels, seekable):
    data = values(subtype, frames, channels)
    f = io.BytesIO() if seekable else Pipe()
    w = wavstream.StreamWriter(f, wavstream.StreamFormat(22050, channels, subtype))
    w.write(data[: frames // 2])
    w.write(data[frames // 2 :])
    w.close()
    blob = f.getvalue()
    if seekable:  # the real sizes were filled in, with the pad byte
        assert struct.unpack_from("<I", blob, 4)[0] == len(blob) - 8
    (tmp_path / "x.wav").write_bytes(blob)
    with sf.SoundFile(str(tmp_path / "x.wav")) as r:
        assert (r.samplerate, r.channels, r.subtype) == (22050, channels, subtype)
        np.testing.assert_array_equal(r.read(dtype=data.dtype, always_2d=True), data)
    # ... and through the streaming reader, from a pipe.
    source = open_source("-", None, Pipe(blob))
    out = np.empty((frames + 5, channels), data.dtype)
    n = source.read(out)
    assert (n, source.sample.subtype, source.truncation()) == (frames, subtype, None)
    np.testing.assert_array_equal(out[:n], data)


@pytest.mark.parametrize("subtype", ["PCM_S8", "PCM_U8", "PCM_16", "PCM_24", "PCM_32", "FLOAT", "DOUBLE"])
@pytest.mark.parametrize("big_endian", [False, True])
def test_raw_pcm_is_read_as_libsndfile_reads_it(tmp_path, subtype, big_endian):
    data = values(subtype, 40, 2)
    path = tmp_path / "x.raw"
    sf.write(str(path), data, 8000, subtype=subtype, format="RAW", endian="BIG" if big_endian else "LITTLE")
    raw = RawFormat(8000, 2, subtype, big_endian)
    out = np.empty((64, 2), data.dtype)
    n = open_source("-", raw, Pipe(path.read_bytes())).read(out)
    np.testing.assert_array_equal(out[:n], data)
    fmt = wavstream.StreamFormat(8000, 2, subtype, big_endian)
    assert wavstream.encode(fmt, data) == path.read_bytes()


PCM16 = chunk(b"fmt ", fmt_body())
DATA = chunk(b"data", bytes(range(200)))
SIZED_DATA = b"data" + struct.pack("<I", 400) + bytes(range(200))  # announces more than there is
HOSTILE = {
    "plain": riff(PCM16, DATA),
    "riff size smaller than a chunk": riff(PCM16, DATA, size=20),
    "riff size 0xFFFFFFFF": riff(PCM16, DATA, size=0xFFFFFFFF),
    "data size 0xFFFFFFFF": riff(PCM16) + b"data" + b"\xff" * 4 + bytes(range(200)),
    "data size 0": riff(PCM16) + b"data" + bytes(4) + bytes(range(200)),
    "data size beyond the end": riff(PCM16) + SIZED_DATA,
    "odd data size": riff(PCM16) + b"data" + struct.pack("<I", 199) + bytes(range(200)),
    "fmt size 0xFFFFFFFF": riff() + b"fmt " + b"\xff" * 4 + fmt_body() + DATA,
    "fmt size beyond its body": riff() + b"fmt " + struct.pack("<I", 100) + fmt_body() + DATA,
    "fmt shorter than 16": riff(chunk(b"fmt ", fmt_body()[:14]), DATA),
    "fmt cut by the end": riff() + b"fmt " + struct.pack("<I", 16) + b"\x01\x00",
    "rate 4294967295, 1000 channels": riff(chunk(b"fmt ", fmt_body(1, 1000, 0xFFFFFFFF, 16)), DATA),
    "rate 2**31": riff(chunk(b"fmt ", fmt_body(1, 1, 2**31, 16)), DATA),
    "rate 0": riff(chunk(b"fmt ", fmt_body(1, 1, 0, 16)), DATA),
    "0 channels": riff(chunk(b"fmt ", fmt_body(1, 0, 8000, 16, 2)), DATA),
    "1025 channels": riff(chunk(b"fmt ", fmt_body(1, 1025, 8000, 16)), DATA),
    "block align that lies": riff(chunk(b"fmt ", fmt_body(1, 2, 8000, 16, 2)), DATA),
    "12-bit PCM": riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 12)), DATA),
    "8-bit PCM": riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 8)), DATA),
    "0-bit PCM": riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 0, 2)), DATA),
    "40-bit PCM": riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 40)), DATA),
    "16-bit float": riff(chunk(b"fmt ", fmt_body(3, 1, 8000, 16)), DATA),
    "64-bit float": riff(chunk(b"fmt ", fmt_body(3, 1, 8000, 64)), DATA),
    "no fmt": riff(DATA),
    "no data": riff(PCM16),
    "data before fmt": riff(DATA, PCM16),
    "two fmt chunks": riff(PCM16, chunk(b"fmt ", fmt_body(1, 2)), DATA),
    "chunks and pad bytes before and after": riff(chunk(b"LIST", b"INFOodd"), PCM16, chunk(b"junk", b""), DATA,
                                                  chunk(b"LIST", b"tail")),
    "junk chunk of 4 GiB": riff(PCM16) + b"junk" + struct.pack("<I", 0xFFFFFFF0) + DATA,
    "extensible 24 in 32": riff(chunk(b"fmt ", extensible_body(2, 48000, 32, 1, 24)), DATA),
    "extensible float": riff(chunk(b"fmt ", extensible_body(2, 48000, 32, 3)), DATA),
    "extensible shorter than 40": riff(chunk(b"fmt ", extensible_body(2, 8000, 16, 1)[:30]), DATA),
    "extensible with a foreign GUID": riff(chunk(b"fmt ", extensible_body(2, 8000, 16, 1, guid_tail=b"\x01" * 14)), DATA),
    "extensible mu-law": riff(chunk(b"fmt ", extensible_body(1, 8000, 8, 7)), DATA),
    "A-law": riff(chunk(b"fmt ", fmt_body(6, 1, 8000, 8)), DATA),
    "MPEG tag": riff(chunk(b"fmt ", fmt_body(0x55, 1, 8000, 0, 1)), DATA),
    "RIFX": b"RIFX" + riff(PCM16, DATA)[4:],
    "not WAVE": riff(PCM16, DATA)[:8] + b"AVI " + riff(PCM16, DATA)[12:],
    "text": b"hello\n",
    "empty": b"",
}


def outcome(source_or_error):
    if isinstance(source_or_error, InputError):
        return ("error", str(source_or_error).split(": ", 1)[1])
    s = source_or_error
    out = np.empty((1000, s.channels), s.sample.dtype)
    n = s.read(out)
    result = ("ok", s.rate, s.channels, s.sample.subtype, out[:n].tobytes(), s.truncation())
    s.close()
    return result


def opened(*args):
    try:
        return open_source(*args)
    except InputError as e:
        return e


@pytest.mark.parametrize("blob", HOSTILE.values(), ids=HOSTILE.keys())
def test_a_stream_is_read_as_libsndfile_reads_the_file(tmp_path, blob):
    path = tmp_path / "x.wav"
    path.write_bytes(blob)
    assert outcome(opened("-", None, Pipe(blob))) == outcome(opened(str(path), None))


def test_a_short_data_chunk_is_reported_by_both_readers(tmp_path):
    path = tmp_path / "x.wav"
    path.write_bytes(HOSTILE["data size beyond the end"])
    assert outcome(opened(str(path), None))[-1] == (100, 200)


@pytest.mark.parametrize(
    "source, ftype, requested, expected",
    [
        ("PCM_24", FileType("WAV", None), None, "PCM_24"),  # kept
        ("FLOAT", FileType("FLAC", None), None, "PCM_24"),  # the largest there is
        ("PCM_32", FileType("FLAC", None), None, "PCM_24"),
        ("DOUBLE", FileType("AIFF", None), None, "DOUBLE"),
        ("DOUBLE", FileType("CAF", None), None, "DOUBLE"),
        ("PCM_U8", FileType("FLAC", None), None, "PCM_S8"),  # the smallest that holds it
        ("ULAW", FileType("FLAC", None), None, "PCM_16"),
        ("ALAC_20", FileType("WAV", None), None, "PCM_24"),
        ("PCM_16", FileType("OGG", "VORBIS"), None, "VORBIS"),  # fixed by the name
        ("PCM_16", FileType("MP3", None), None, "MPEG_LAYER_III"),  # lossy only
        ("MPEG_LAYER_III", FileType("WAV", None), None, "FLOAT"),  # lossy decodes to float
        ("MPEG_LAYER_III", FileType("FLAC", None), None, "PCM_24"),
        ("PCM_24", FileType("WAV", None), "PCM_16", "PCM_16"),  # asked for
    ],
)
def test_output_sample_format(source, ftype, requested, expected):
    major = "MP3" if source.startswith("MPEG") else "WAV"
    assert choose_subtype(sample_format(source), ftype, requested, major) == expected


def quantize(y, bits, dtype="int32", dither=False, name="x"):
    q = Quantizer(bits, dtype, dither, name, may_be_nan=True)
    out = np.empty(np.shape(y), dtype)
    q(np.asarray(y, np.float32), out)
    return out >> ((16 if dtype == "int16" else 32) - bits), q.clipped


@pytest.mark.parametrize(
    "bits, lsbs, expected",
    [
        (24, 0.5, 0),  # ties go to the even neighbour
        (24, 1.5, 2),
        (24, 2.5, 2),
        (24, -0.5, 0),
        (24, -1.5, -2),
        (24, 0.49999, 0),
        (24, 8388606.5, 8388606),
        (24, 8388607.5, 8388607),  # rounds up past full scale: clamped
        (24, 9e6, 8388607),
        (24, -8388608.5, -8388608),
        (24, -1e9, -8388608),
        (16, 32767.5, 32767),
        (8, -128.5, -128),
        (32, 1.5, 2),
        (32, 2147483647.5, 2147483647),
        (32, 2.0**31, 2147483647),
        (32, -(2.0**31) - 1, -2147483648),
    ],
)
def test_float_results_are_rounded_and_clamped(bits, lsbs, expected):
    """``lsbs`` is the resampler's result in units of the output's last bit."""
    dtype = "int16" if bits <= 16 else "int32"
    y = np.float32(lsbs / 2.0 ** (bits - 1))
    got, clipped = quantize([y], bits, dtype)
    assert int(got[0]) == expected
    assert clipped == (np.rint(np.float64(y) * 2.0 ** (bits - 1)) != expected)


def test_nan_becomes_silence_and_infinities_clip():
    got, clipped = quantize([np.nan, np.inf, -np.inf, 0.25], 16, "int16")
    assert list(got) == [0, 32767, -32768, 8192] and clipped == 2


def test_dither_is_triangular_seeded_by_name_and_chunk_independent():
    y = np.full((6000, 2), 0.1, np.float32)
    whole, _ = quantize(y, 16, "int16", dither=True, name="a/b.wav")
    q = Quantizer(16, "int16", True, "a/b.wav", may_be_nan=False)
    parts = np.empty_like(whole)
    for lo, hi in [(0, 1), (1, 1000), (1000, 6000)]:
        q(y[lo:hi], parts[lo:hi])
    np.testing.assert_array_equal(parts, whole)
    other, _ = quantize(y, 16, "int16", dither=True, name="a/c.wav")
    assert not np.array_equal(other, whole)
    err = whole.astype(np.float64) - 0.1 * 32768
    assert abs(err.mean()) < 0.05 and 0.3 < err.std() < 0.5  # TPDF of +-1 LSB: sigma 0.41
    assert set(np.unique(whole)) <= {3275, 3276, 3277, 3278}
