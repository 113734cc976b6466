"""The ``tenvira`` command end to end, run as a separate process."""

import math
import os
import pty
import shutil
import signal
import struct
import subprocess
import sys
import sysconfig
import time
import wave
from importlib import metadata

import pytest

from tenvira import F32Resampler, I16Resampler
from tenvira_cli.wavfile import WavFormat, WavWriter

FORMATS = [("pcm", 16), ("pcm", 24), ("pcm", 32), ("float", 32)]


def tenvira(*args, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "tenvira_cli", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        **kwargs,
    )


def signal_frames(frames, channels, bits):
    """Channel 0: a full-scale square wave, so that the filters overshoot and
    integer output has to be clamped; channel 1: a quiet tone; others silent."""
    full = 1.0 if bits is None else (1 << (bits - 1)) - 1
    out = []
    for i in range(frames):
        for k in range(channels):
            if k == 0:
                x = full if (i // 20) % 2 else -full
            elif k == 1:
                x = 0.3 * full * math.sin(0.21 * i)
            else:
                x = 0.0
            out.append(x if bits is None else round(x))
    return out


def write_wav(path, encoding, bits, channels, rate, samples):
    if encoding == "float":
        with open(path, "wb") as f:
            w = WavWriter(f, WavFormat("float", 32, channels, rate))
            w.write(struct.pack(f"<{len(samples)}f", *samples))
            w.close()
        return
    with wave.open(str(path), "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(bits // 8)
        w.setframerate(rate)
        w.writeframes(b"".join(v.to_bytes(bits // 8, "little", signed=True) for v in samples))


def read_wav(path):
    """(format tag, bits, channels, rate, samples), parsed independently of
    the tool's own reader."""
    blob = path.read_bytes()
    assert blob[:4] == b"RIFF" and blob[8:12] == b"WAVE"
    assert struct.unpack_from("<I", blob, 4)[0] == len(blob) - 8
    pos, fmt, data = 12, None, None
    while pos < len(blob):
        cid, size = blob[pos : pos + 4], struct.unpack_from("<I", blob, pos + 4)[0]
        body = blob[pos + 8 : pos + 8 + size]
        if cid == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
        elif cid == b"data":
            data = body
        pos += 8 + size + (size & 1)
    tag, channels, rate, byte_rate, align, bits = fmt
    assert align == channels * bits // 8 and byte_rate == rate * align
    if tag == 3:
        samples = list(struct.unpack(f"<{len(data) // 4}f", data))
    else:
        w = bits // 8
        samples = [int.from_bytes(data[i : i + w], "little", signed=True) for i in range(0, len(data), w)]
    return tag, bits, channels, rate, samples


def expected_output(encoding, bits, channels, rate_in, rate_out, samples):
    """What the tool must write, computed with the module directly: 16-bit
    through I16Resampler; float as it is and b-bit integers as x / 2**(b-1)
    through F32Resampler, results rounded (ties to even) and clamped."""
    if encoding == "pcm" and bits == 16:
        r = I16Resampler(rate_in, rate_out, channels)
        return r.process(samples)[0] + r.finish()[0]
    r = F32Resampler(rate_in, rate_out, channels)
    if encoding == "float":
        return r.process(samples)[0] + r.finish()[0]
    full = 1 << (bits - 1)
    y = r.process([x / full for x in samples])[0] + r.finish()[0]
    return [min(max(round(v * full), -full), full - 1) for v in y]


def leftovers(directory, *keep):
    return sorted(p.name for p in directory.iterdir() if p.name not in keep)


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("encoding, bits", FORMATS)
def test_round_trip_of_each_format(tmp_path, encoding, bits, channels):
    frames = 1003
    samples = signal_frames(frames, channels, None if encoding == "float" else bits)
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_wav(src, encoding, bits, channels, 44100, samples)
    r = tenvira("resample", src, dst, "--rate", 48000, "--chunk-ms", 3.3)
    assert r.returncode == 0, r.stderr
    tag, out_bits, out_channels, rate, out = read_wav(dst)
    assert (tag, out_bits, out_channels, rate) == (3 if encoding == "float" else 1, bits, channels, 48000)
    assert len(out) == math.ceil(frames * 48000 / 44100) * channels
    assert out == expected_output(encoding, bits, channels, 44100, 48000, samples)
    if encoding == "pcm":
        full = 1 << (bits - 1)
        assert max(out) == full - 1 and min(out) == -full  # the overshoot was clamped
    if channels == 2:
        assert out[0::2] != out[1::2]
    assert leftovers(tmp_path, "in.wav", "out.wav") == []


@pytest.mark.parametrize(
    "rate_in, rate_out, quality, frames",
    [
        (48000, 16000, "balanced", 1001),  # polyphase down
        (44100, 48000, "best", 999),  # polyphase up
        (22050, 22050, "fast", 7),  # equal rates
        (8000, 16000, "balanced", 333),  # half-band up
        (16000, 8000, "best", 333),  # half-band down
        (24000, 8000, "fast", 1000),  # third-band down
        (8000, 16000, "fast", 333),  # IIR up
        (16000, 8000, "fast", 333),  # IIR down, one frame without a partner
        (44100, 1000, "fast", 100),
        (48000, 16000, "fast", 0),  # an empty file stays empty
    ],
)
def test_output_has_ceil_of_n_times_out_over_in_frames(tmp_path, rate_in, rate_out, quality, frames):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_wav(src, "pcm", 16, 2, rate_in, [i % 100 for i in range(2 * frames)])
    r = tenvira("resample", src, dst, "--rate", rate_out, "--quality", quality, "--chunk-ms", 1)
    assert r.returncode == 0, r.stderr
    _, _, channels, rate, out = read_wav(dst)
    out_frames = math.ceil(frames * rate_out / rate_in)
    assert (channels, rate, len(out)) == (2, rate_out, 2 * out_frames)
    assert f"{frames} frames at {rate_in} Hz -> {out_frames} frames at {rate_out} Hz" in r.stdout


def test_extensible_input_is_written_with_a_plain_header(tmp_path):
    samples = [(i * 7919) % 65536 - 32768 for i in range(300)]
    data = b"".join(v.to_bytes(3, "little", signed=True) for v in samples)
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, 2, 32000, 32000 * 6, 6, 24, 22, 24, 3)
    fmt += b"\x01\x00" + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    body = b"WAVE" + b"fmt " + struct.pack("<I", 40) + fmt + b"data" + struct.pack("<I", len(data)) + data
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    src.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    r = tenvira("resample", src, dst, "--rate", 48000)
    assert r.returncode == 0, r.stderr
    tag, bits, channels, rate, out = read_wav(dst)
    assert (tag, bits, channels, rate) == (1, 24, 2, 48000)
    assert out == expected_output("pcm", 24, 2, 32000, 48000, samples)


def test_summary_line(tmp_path):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_wav(src, "pcm", 16, 1, 48000, [0] * 4800)
    backend = I16Resampler(48000, 16000, 1, backend="scalar").selected_backend
    r = tenvira("resample", src, dst, "--rate", 16000, "--backend", "scalar")
    assert r.returncode == 0 and r.stderr == ""
    (line,) = r.stdout.splitlines()
    assert "4800 frames at 48000 Hz -> 1600 frames at 16000 Hz" in line
    assert f"backend {backend}," in line and "1 ch, 16-bit PCM" in line
    assert line.endswith("x real time")
    quiet = tenvira("resample", src, dst, "--rate", 16000, "--quiet", "--force")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")


def test_force_rules(tmp_path):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_wav(src, "pcm", 16, 1, 16000, list(range(0, 16000, 10)))
    dst.write_bytes(b"keep me")
    r = tenvira("resample", src, dst, "--rate", 8000)
    assert r.returncode == 2
    assert r.stderr == f"tenvira: error: '{dst}' exists; use --force to overwrite it\n"
    assert dst.read_bytes() == b"keep me"
    r = tenvira("resample", src, dst, "--rate", 8000, "--force")
    assert r.returncode == 0, r.stderr
    assert read_wav(dst)[3] == 8000
    # In place: the input is read to the end before it is replaced.
    r = tenvira("resample", src, src, "--rate", 32000, "--force")
    assert r.returncode == 0, r.stderr
    assert read_wav(src)[3:] == (32000, expected_output("pcm", 16, 1, 16000, 32000, list(range(0, 16000, 10))))
    assert leftovers(tmp_path, "in.wav", "out.wav") == []


def module_error(**kwargs):
    args = {"input_rate": 8000, "output_rate": 16000, "channels": 1, **kwargs}
    with pytest.raises(ValueError) as e:
        I16Resampler(**args)
    return str(e.value)


def make_input(tmp_path, kind):
    path = tmp_path / "in.wav"
    if kind == "wav":
        write_wav(path, "pcm", 16, 1, 8000, [1, 2, 3] * 100)
    elif kind == "text":
        path.write_text("hello\n")
    elif kind == "dir":
        path.mkdir()
    elif kind == "pcm8":
        fmt = struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8)
        body = b"WAVE" + b"fmt " + struct.pack("<I", 16) + fmt + b"data" + struct.pack("<I", 2) + b"\x80\x80"
        path.write_bytes(b"RIFF" + struct.pack("<I", len(body)) + body)
    return path


RATE = ["--rate", "16000"]


@pytest.mark.parametrize(
    "kind, extra, message",
    [
        ("missing", RATE, "tenvira: error: cannot read '{src}': No such file or directory"),
        ("dir", RATE, "tenvira: error: cannot read '{src}': Is a directory"),
        ("text", RATE, "tenvira: error: '{src}': not a WAV file (no RIFF/WAVE header)"),
        (
            "pcm8",
            RATE,
            "tenvira: error: '{src}': unsupported sample format: 8-bit PCM "
            "(supported: 16-, 24- and 32-bit PCM, 32-bit float)",
        ),
        ("wav", ["--rate", "0"], "tenvira: error: " + module_error(output_rate=0)),
        ("wav", RATE + ["-q", "ultra"], "tenvira: error: " + module_error(quality="ultra")),
        ("wav", RATE + ["-q", " fast"], "tenvira: error: " + module_error(quality=" fast")),
        ("wav", RATE + ["-b", "bogus"], "tenvira: error: " + module_error(backend="bogus")),
        ("wav", RATE + ["-b", "neon"], "tenvira: error: " + module_error(backend="neon")),
        ("wav", ["--rate", "fast"], "argument --rate/-r: expected a sample rate in Hz, got 'fast'"),
        ("wav", ["--rate", "-5"], "argument --rate/-r: expected a sample rate in Hz, got '-5'"),
        ("wav", ["--rate", "4294967296"], "expected a sample rate in Hz, got '4294967296'"),
        ("wav", RATE + ["--chunk-ms", "0"], "argument --chunk-ms: expected a duration"),
        ("wav", RATE + ["--chunk-ms", "nan"], "argument --chunk-ms: expected a duration"),
        ("wav", RATE + ["--chunk-ms", "1e9"], "argument --chunk-ms: expected a duration"),
        ("wav", RATE + ["--bogus"], "unrecognized arguments: --bogus"),
        ("wav", [], "the following arguments are required: --rate/-r"),
    ],
)
def test_user_mistakes_exit_with_2_and_one_message(tmp_path, kind, extra, message):
    src = make_input(tmp_path, kind)
    dst = tmp_path / "out.wav"
    r = tenvira("resample", src, dst, *extra)
    assert r.returncode == 2
    if message.startswith("tenvira: error: "):  # ours: exactly one line
        assert r.stderr == message.format(src=src) + "\n"
    else:  # the argument parser's: usage, then the message
        assert r.stderr.startswith("usage: tenvira") and message in r.stderr
    assert "Traceback" not in r.stderr and r.stdout == ""
    assert not dst.exists()
    assert leftovers(tmp_path, "in.wav") == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_input(tmp_path):
    src = make_input(tmp_path, "wav")
    src.chmod(0)
    r = tenvira("resample", src, tmp_path / "out.wav", "--rate", 16000)
    assert (r.returncode, r.stderr) == (2, f"tenvira: error: cannot read '{src}': Permission denied\n")


@pytest.mark.parametrize(
    "output, message",
    [
        ("missing/out.wav", "tenvira: error: cannot write to '{tmp}/missing': No such file or directory"),
        (".", "tenvira: error: '{tmp}/.' is a directory"),
    ],
)
def test_unwritable_output(tmp_path, output, message):
    src = make_input(tmp_path, "wav")
    r = tenvira("resample", src, f"{tmp_path}/{output}", "--rate", 16000)
    assert (r.returncode, r.stderr) == (2, message.format(tmp=tmp_path) + "\n")
    assert leftovers(tmp_path, "in.wav") == []


def test_no_command_prints_help_and_exits_with_2():
    r = tenvira()
    assert r.returncode == 2 and "resample" in r.stderr and "info" in r.stderr


@pytest.mark.parametrize("signum, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
def test_an_interrupted_run_leaves_no_output(tmp_path, signum, status):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_wav(src, "pcm", 16, 1, 48000, [0] * 480000)
    # One frame per step: slow enough to be caught in the middle.
    p = subprocess.Popen(
        [sys.executable, "-m", "tenvira_cli", "resample", src, dst, "--rate", "44100", "--chunk-ms", "0.01"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        for _ in range(2000):  # wait until the temporary output exists
            if leftovers(tmp_path, "in.wav"):
                break
            time.sleep(0.005)
        (tmp,) = leftovers(tmp_path, "in.wav")
        assert tmp.startswith(".out.wav.") and tmp.endswith(".part")
        p.send_signal(signum)
        _, err = p.communicate(timeout=60)
    finally:
        p.kill()
    assert p.returncode == status
    assert "Traceback" not in err
    assert leftovers(tmp_path, "in.wav") == []


def run_on_terminal(args):
    """Runs the tool with stderr on a pseudo-terminal; returns what it wrote
    there."""
    master, slave = pty.openpty()
    try:
        p = subprocess.Popen(
            [sys.executable, "-m", "tenvira_cli", *map(str, args)],
            stdout=subprocess.DEVNULL,
            stderr=slave,
        )
        os.close(slave)
        chunks = []
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:  # EIO once the child has closed the terminal
                break
            if not data:
                break
            chunks.append(data)
        assert p.wait(timeout=60) == 0
        return b"".join(chunks).decode()
    finally:
        os.close(master)


@pytest.mark.parametrize(
    "seconds, terminal, quiet, shown",
    [
        (6, True, False, True),
        (6, True, True, False),  # --quiet
        (6, False, False, False),  # stderr is not a terminal
        (4, True, False, False),  # too short to bother
    ],
)
def test_progress_bar_only_on_a_terminal_for_long_files(tmp_path, seconds, terminal, quiet, shown):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_wav(src, "pcm", 16, 1, 8000, [0] * (8000 * seconds))
    args = ["resample", src, dst, "--rate", 16000] + (["--quiet"] if quiet else [])
    if terminal:
        err = run_on_terminal(args)
    else:
        r = tenvira(*args)
        assert r.returncode == 0
        err = r.stderr
    assert ("100% [" + "#" * 30 + "]" in err) == shown
    assert (err == "") == (not shown)


def test_info():
    r = tenvira("info")
    assert r.returncode == 0 and r.stderr == ""
    lines = dict(line.split(":", 1) for line in r.stdout.splitlines() if ":" in line and not line.startswith(" "))
    assert r.stdout.splitlines()[0] == f"tenvira {metadata.version('tenvira')}"
    assert lines["auto"].strip() == F32Resampler(48000, 16000, 1).selected_backend
    assert lines["qualities"].strip() == "fast, balanced, best"
    assert lines["backends"].strip() == "auto, scalar, avx2, avx2+fma, avx512, neon, rvv"
    probes = {
        name.strip(): result.strip()
        for name, result in (line.split("->") for line in r.stdout.splitlines() if "->" in line)
    }
    assert probes["scalar"] == "scalar"
    assert probes["neon"] == "unavailable (requested backend is not available: neon)"


def test_console_script_is_installed():
    script = shutil.which("tenvira", path=sysconfig.get_path("scripts"))
    assert script is not None
    r = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, f"tenvira {metadata.version('tenvira')}\n")
