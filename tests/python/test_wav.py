"""The command-line tool's WAV reading and writing and its sample
conversions, tested in-process."""

import io
import math
import struct
import wave

import pytest

from tenvira_cli.samples import decode_float, encode_float
from tenvira_cli.wavfile import WavError, WavFormat, WavReader, WavWriter

FORMATS = [
    WavFormat("pcm", 16, 1, 8000),
    WavFormat("pcm", 24, 2, 44100),
    WavFormat("pcm", 32, 3, 48000),
    WavFormat("float", 32, 2, 96000),
]
KSDATAFORMAT_TAIL = b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"


def chunk(cid, body):
    return cid + struct.pack("<I", len(body)) + body + b"\x00" * (len(body) & 1)


def fmt_body(tag, channels, rate, bits, block_align=None):
    align = channels * bits // 8 if block_align is None else block_align
    return struct.pack("<HHIIHH", tag, channels, rate, rate * align, align, bits)


def extensible_body(channels, rate, bits, subtag, valid_bits=None, guid_tail=KSDATAFORMAT_TAIL):
    valid = bits if valid_bits is None else valid_bits
    return fmt_body(0xFFFE, channels, rate, bits) + struct.pack(
        "<HHI", 22, valid, 0x3 if channels == 2 else 0x4
    ) + struct.pack("<H", subtag) + guid_tail


def riff(*chunks):
    body = b"WAVE" + b"".join(chunks)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write_file(tmp_path, data, name="x.wav"):
    path = tmp_path / name
    path.write_bytes(data)
    return path


def read_all(path, frames_per_read=7):
    with WavReader(path) as r:
        parts = []
        while data := r.read(frames_per_read):
            assert len(data) % r.format.block_align == 0
            assert len(data) <= frames_per_read * r.format.block_align
            parts.append(data)
        return r.format, r.frames, b"".join(parts)


def test_float_header_is_exactly_the_plain_float_layout():
    f = io.BytesIO()
    w = WavWriter(f, WavFormat("float", 32, 2, 8000))
    w.write(struct.pack("<4f", 0.5, -0.5, 1.0, -1.0))
    w.close()
    expected = (
        b"RIFF" + struct.pack("<I", 4 + 26 + 12 + 8 + 16) + b"WAVE"
        + b"fmt " + struct.pack("<IHHIIHHH", 18, 3, 2, 8000, 64000, 8, 32, 0)
        + b"fact" + struct.pack("<II", 4, 2)
        + b"data" + struct.pack("<I", 16) + struct.pack("<4f", 0.5, -0.5, 1.0, -1.0)
    )
    assert f.getvalue() == expected


@pytest.mark.parametrize("fmt", FORMATS, ids=WavFormat.describe)
@pytest.mark.parametrize("frames", [0, 1, 50])
def test_write_then_read_gives_the_same_frames(tmp_path, fmt, frames):
    data = bytes((i * 37 + 11) % 256 for i in range(frames * fmt.block_align))
    path = tmp_path / "x.wav"
    with open(path, "wb") as f:
        w = WavWriter(f, fmt)
        w.write(data[: len(data) // 2 // fmt.block_align * fmt.block_align])
        w.write(data[len(data) // 2 // fmt.block_align * fmt.block_align :])
        w.close()
    assert read_all(path) == (fmt, frames, data)
    if fmt.encoding == "pcm":  # a plain PCM header that wave itself reads back
        with wave.open(str(path)) as w:
            assert (w.getnchannels(), w.getsampwidth(), w.getframerate()) == (
                fmt.channels, fmt.sample_bytes, fmt.rate,
            )
            assert w.readframes(frames) == data


def test_writer_refuses_a_partial_frame():
    w = WavWriter(io.BytesIO(), WavFormat("float", 32, 2, 8000))
    with pytest.raises(ValueError, match="whole number of frames"):
        w.write(b"\x00" * 4)


@pytest.mark.parametrize("tag, bits, encoding", [(3, 32, "float"), (1, 24, "pcm")])
def test_other_chunks_and_pad_bytes_are_skipped(tmp_path, tag, bits, encoding):
    data = bytes(range(2 * bits // 8 * 3))
    blob = riff(
        chunk(b"LIST", b"INFOodd"),  # odd size: a pad byte follows
        chunk(b"fmt ", fmt_body(tag, 2, 22050, bits) + b"\x00\x00\x00"),  # odd fmt size
        chunk(b"junk", b""),
        chunk(b"data", data),
        chunk(b"LIST", b"tail"),
    )
    assert read_all(write_file(tmp_path, blob)) == (WavFormat(encoding, bits, 2, 22050), 3, data)


@pytest.mark.parametrize("subtag, bits, valid", [(1, 24, 24), (1, 32, 24), (3, 32, 32), (1, 16, 16)])
def test_extensible_headers_are_read(tmp_path, subtag, bits, valid):
    data = bytes(range(2 * bits // 8 * 4))
    blob = riff(chunk(b"fmt ", extensible_body(2, 48000, bits, subtag, valid)), chunk(b"data", data))
    encoding = "pcm" if subtag == 1 else "float"
    assert read_all(write_file(tmp_path, blob)) == (WavFormat(encoding, bits, 2, 48000), 4, data)


@pytest.mark.parametrize("tag, bits", [(1, 16), (3, 32)])
def test_a_truncated_data_chunk_yields_the_whole_frames_present(tmp_path, tag, bits):
    data = bytes(range(256))[: 10 * bits // 8 + 1]  # ten frames and a partial one
    declared = 100 * bits // 8
    fmt = chunk(b"fmt ", fmt_body(tag, 1, 8000, bits))
    blob = b"RIFF" + struct.pack("<I", 4 + len(fmt) + 8 + declared) + b"WAVE" + fmt
    blob += b"data" + struct.pack("<I", declared) + data
    _, _, got = read_all(write_file(tmp_path, blob))
    assert got == data[: 10 * bits // 8]


PCM16 = chunk(b"fmt ", fmt_body(1, 1, 8000, 16))
DATA = chunk(b"data", b"\x00\x00")


@pytest.mark.parametrize(
    "blob, message",
    [
        (b"", "not a WAV file"),
        (b"RIFX" + riff(PCM16, DATA)[4:], "not a WAV file"),
        (riff(PCM16, DATA)[:8] + b"AVI " + riff(PCM16, DATA)[12:], "not a WAV file"),
        (riff(DATA), "'data' chunk before the 'fmt ' chunk"),
        (riff(chunk(b"LIST", b"abcd")), "no 'fmt ' chunk"),
        (riff(PCM16), "no 'data' chunk"),
        (riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 16)[:14]), DATA), "at least 16"),
        (riff() + b"fmt " + struct.pack("<I", 16) + b"\x01\x00", "truncated 'fmt ' chunk"),
        (riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 8)), DATA), "unsupported sample format: 8-bit PCM"),
        (riff(chunk(b"fmt ", fmt_body(1, 1, 8000, 12, 2)), DATA), "unsupported sample format: 12-bit PCM"),
        (riff(chunk(b"fmt ", fmt_body(3, 1, 8000, 64)), DATA), "unsupported sample format: 64-bit float"),
        (riff(chunk(b"fmt ", fmt_body(6, 1, 8000, 8)), DATA), "format tag 0x0006 (A-law)"),
        (riff(chunk(b"fmt ", fmt_body(0x55, 1, 8000, 0)), DATA), "format tag 0x0055 (MPEG layer 3)"),
        (riff(chunk(b"fmt ", fmt_body(1, 0, 8000, 16, 2)), DATA), "declares 0 channels"),
        (riff(chunk(b"fmt ", fmt_body(1, 1, 0, 16)), DATA), "sample rate of 0 Hz"),
        (riff(chunk(b"fmt ", fmt_body(1, 2, 8000, 16, 2)), DATA), "block alignment 2 does not match"),
        (riff(chunk(b"fmt ", extensible_body(2, 8000, 16, 1)[:30]), DATA), "shorter than 40 bytes"),
        (
            riff(chunk(b"fmt ", extensible_body(2, 8000, 16, 1, guid_tail=b"\x01" * 14)), DATA),
            "unknown WAVE_FORMAT_EXTENSIBLE sub-format",
        ),
        (riff(chunk(b"fmt ", extensible_body(2, 8000, 16, 1, valid_bits=20)), DATA), "20 valid bits"),
        (riff(chunk(b"fmt ", extensible_body(2, 8000, 16, 7)), DATA), "format tag 0x0007 (mu-law)"),
    ],
)
def test_files_that_cannot_be_read_are_refused_with_a_reason(tmp_path, blob, message):
    with pytest.raises(WavError, match=message.replace("(", r"\(").replace(")", r"\)")):
        WavReader(write_file(tmp_path, blob))


# Conversions for the float resampler. A b-bit sample x is the float
# x / 2**(b-1); decode_float hands the resampler x * 2**(32-b) instead, which
# differs by a power of two only.


@pytest.mark.parametrize("bits", [24, 32])
def test_integer_samples_are_left_justified_and_come_back_unchanged(bits):
    fmt = WavFormat("pcm", bits, 1, 8000)
    full = 1 << (bits - 1)
    values = [-full, -full + 1, -1, 0, 1, 12345, full - 1]
    data = b"".join(v.to_bytes(bits // 8, "little", signed=True) for v in values)
    decoded = decode_float(fmt, data)
    assert list(decoded) == [v << (32 - bits) for v in values]
    assert [x / 2**31 for x in decoded] == [v / full for v in values]
    assert encode_float(fmt, [float(x) for x in decoded]) == data


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
        (32, 1.5, 2),
        (32, 2147483647.5, 2147483647),
        (32, 2.0**31, 2147483647),
        (32, -(2.0**31) - 1, -2147483648),
    ],
)
def test_float_results_are_rounded_and_clamped(bits, lsbs, expected):
    """``lsbs`` is the resampler's result in units of the output's last bit."""
    fmt = WavFormat("pcm", bits, 1, 8000)
    y = lsbs * 2 ** (32 - bits)  # in the left-justified scale of decode_float
    assert int.from_bytes(encode_float(fmt, [y]), "little", signed=True) == expected


def test_float_samples_pass_through_bit_for_bit():
    fmt = WavFormat("float", 32, 1, 8000)
    values = [0.0, -0.0, 1.5, -3.25e-20, 1e30, math.inf]
    data = struct.pack(f"<{len(values)}f", *values)
    decoded = decode_float(fmt, data)
    assert encode_float(fmt, list(decoded)) == data
