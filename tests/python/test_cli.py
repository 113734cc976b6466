"""The ``tenvira`` command end to end on files, run as a separate process."""

import os
import pty
import shutil
import subprocess
import sysconfig
from importlib import metadata

import numpy as np
import pytest

from cli_helpers import (
    command,
    expected_output,
    leftovers,
    make_signal,
    out_frames,
    read_audio,
    run,
    write_audio,
)
from tenvira import F32Resampler, I16Resampler
from tenvira_cli.settings import DEFAULT_QUALITY, QUALITIES

SUBTYPES = ["PCM_16", "PCM_24", "PCM_32", "FLOAT"]


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("subtype", SUBTYPES)
@pytest.mark.parametrize("ext", ["wav", "flac", "aiff"])
def test_round_trip_keeps_type_and_sample_format(tmp_path, ext, subtype, channels):
    frames = 1003
    data = make_signal(frames, channels, subtype)
    src = tmp_path / "in.wav"
    write_audio(src, data, 44100, subtype)
    dst = tmp_path / f"out.{ext}"
    r = run("resample", src, dst, "--rate", 48000, "--chunk-ms", 3.3, "--no-dither")
    assert r.returncode == 0, r.stderr
    # FLAC has no 32-bit or float samples: the nearest that loses nothing more.
    kept = {("flac", "PCM_32"): "PCM_24", ("flac", "FLOAT"): "PCM_24"}.get((ext, subtype), subtype)
    out, rate, _, out_subtype = read_audio(dst, "float32" if kept == "FLOAT" else "int32")
    assert (out_subtype, rate, out.shape) == (kept, 48000, (out_frames(frames, 44100, 48000), channels))
    np.testing.assert_array_equal(out, expected_output(data, subtype, 44100, 48000, kept))
    if kept != "FLOAT":
        assert out.max() == 2**31 - 2 ** (32 - int(kept[4:])) and out.min() == -(2**31)  # clamped
    assert leftovers(tmp_path, "in.wav", dst.name) == []


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
    write_audio(src, (np.arange(2 * frames, dtype=np.int16) % 100).reshape(-1, 2), rate_in, "PCM_16")
    r = run("resample", src, dst, "--rate", rate_out, "--quality", quality, "--chunk-ms", 1)
    assert r.returncode == 0, r.stderr
    out, rate, _, _ = read_audio(dst)
    n = out_frames(frames, rate_in, rate_out)
    assert (rate, out.shape) == (rate_out, (n, 2))
    assert f"{frames} frames at {rate_in} Hz -> {n} frames at {rate_out} Hz" in r.stdout


def test_extensible_input_is_written_with_a_plain_header(tmp_path):
    data = make_signal(300, 2, "PCM_24")
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_audio(src, data, 32000, "PCM_24", "WAVEX")
    assert read_audio(src)[2] == "WAVEX"
    r = run("resample", src, dst, "--rate", 48000)
    assert r.returncode == 0, r.stderr
    out, _, file_format, subtype = read_audio(dst)
    assert (file_format, subtype) == ("WAV", "PCM_24")
    np.testing.assert_array_equal(out, expected_output(data, "PCM_24", 32000, 48000))


def test_summary_line(tmp_path):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    write_audio(src, np.zeros((4800, 1), np.int16), 48000, "PCM_16")
    backend = I16Resampler(48000, 16000, 1, backend="scalar").selected_backend
    r = run("resample", src, dst, "--rate", 16000, "--backend", "scalar")
    assert r.returncode == 0 and r.stderr == ""
    (line,) = r.stdout.splitlines()
    assert "4800 frames at 48000 Hz -> 1600 frames at 16000 Hz" in line
    assert f"backend {backend}," in line and "1 ch, 16-bit PCM," in line
    assert f"quality {DEFAULT_QUALITY}," in line and line.endswith("x real time")
    assert "clipped" not in line and "dither" not in line  # 16 -> 16 bits: nothing quantized
    quiet = run("resample", src, dst, "--rate", 16000, "--quiet", "--force")
    assert (quiet.returncode, quiet.stdout, quiet.stderr) == (0, "", "")


def test_force_rules(tmp_path):
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    data = (np.arange(0, 16000, 10, dtype=np.int16)).reshape(-1, 1)
    write_audio(src, data, 16000, "PCM_16")
    dst.write_bytes(b"keep me")
    r = run("resample", src, dst, "--rate", 8000)
    assert r.returncode == 2
    assert r.stderr == f"tenvira: error: '{dst}' exists; use --force to overwrite it\n"
    assert dst.read_bytes() == b"keep me"
    dst.chmod(0o640)
    r = run("resample", src, dst, "--rate", 8000, "--force")
    assert r.returncode == 0, r.stderr
    assert read_audio(dst)[1] == 8000
    assert dst.stat().st_mode & 0o777 == 0o640  # a replaced file keeps its permissions
    # In place: the input is read to the end before it is replaced.
    r = run("resample", src, src, "--rate", 32000, "--force")
    assert r.returncode == 0, r.stderr
    out, rate, _, _ = read_audio(src)
    assert rate == 32000
    np.testing.assert_array_equal(out, expected_output(data, "PCM_16", 16000, 32000))
    assert leftovers(tmp_path, "in.wav", "out.wav") == []


def module_error(**kwargs):
    args = {"input_rate": 8000, "output_rate": 16000, "channels": 1, **kwargs}
    with pytest.raises(ValueError) as e:
        I16Resampler(**args)
    return str(e.value)


def make_input(tmp_path, kind):
    path = tmp_path / "in.wav"
    if kind == "wav":
        write_audio(path, np.array([[1], [2], [3]] * 100, np.int16), 8000, "PCM_16")
    elif kind == "text":
        path.write_text("hello\n")
    elif kind == "dir":
        path.mkdir()
    return path


RATE = ["--rate", "16000"]


@pytest.mark.parametrize(
    "kind, extra, message",
    [
        ("missing", RATE, "tenvira: error: cannot read '{src}': No such file or directory"),
        ("dir", RATE, "tenvira: error: '{src}' is a directory; give -o OUTDIR to convert a folder"),
        ("text", RATE, "tenvira: error: '{src}': Format not recognised."),
        ("wav", ["--rate", "0"], "tenvira: error: " + module_error(output_rate=0)),
        ("wav", RATE + ["-q", "ultra"], "tenvira: error: " + module_error(quality="ultra")),
        ("wav", RATE + ["-q", " fast"], "tenvira: error: " + module_error(quality=" fast")),
        ("wav", RATE + ["-b", "bogus"], "tenvira: error: " + module_error(backend="bogus")),
        ("wav", RATE + ["-b", "neon"], "tenvira: error: " + module_error(backend="neon")),
        ("wav", RATE + ["-t", "xyz"], "tenvira: error: unknown file type 'xyz'; see 'tenvira info' for the list"),
        ("wav", RATE + ["-e", "s12"], "tenvira: error: unknown encoding 's12'; expected one of s8, u8, s16, s24, "
         "s32, f32, f64, ulaw, alaw or a libsndfile subtype name"),
        ("wav", RATE + ["-e", "vorbis"], "tenvira: error: WAV files cannot hold VORBIS samples"),
        ("wav", ["-r", "44100", "-t", "opus"], "tenvira: error: cannot write OGG OPUS at 44100 Hz: "),
        ("wav", ["--rate", "2147483648"], "tenvira: error: 2147483648 Hz is beyond what a WAV header can hold"),
        ("wav", ["--rate", "fast"], "argument --rate/-r: expected a sample rate in Hz, got 'fast'"),
        ("wav", ["--rate", "-5"], "argument --rate/-r: expected a sample rate in Hz, got '-5'"),
        ("wav", ["--rate", "4294967296"], "expected a sample rate in Hz, got '4294967296'"),
        ("wav", RATE + ["--chunk-ms", "0"], "argument --chunk-ms: expected a duration"),
        ("wav", RATE + ["--chunk-ms", "nan"], "argument --chunk-ms: expected a duration"),
        ("wav", RATE + ["--chunk-ms", "1e9"], "argument --chunk-ms: expected a duration"),
        ("wav", RATE + ["--jobs", "0"], "argument --jobs/-j: expected a whole number of at least 1"),
        ("wav", RATE + ["--bogus"], "unrecognized arguments: --bogus"),
        ("wav", [], "the following arguments are required: --rate/-r"),
    ],
)
def test_user_mistakes_exit_with_2_and_one_message(tmp_path, kind, extra, message):
    src = make_input(tmp_path, kind)
    dst = tmp_path / "out.wav"
    r = run("resample", src, dst, *extra)
    assert r.returncode == 2
    if message.startswith("tenvira: error: "):  # ours: exactly one line
        assert r.stderr.startswith(message.format(src=src)) and r.stderr.count("\n") == 1
    else:  # the argument parser's: usage, then the message
        assert r.stderr.startswith("usage: tenvira") and message in r.stderr
    assert "Traceback" not in r.stderr and r.stdout == ""
    assert not dst.exists()
    assert leftovers(tmp_path, "in.wav") == []


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_input(tmp_path):
    src = make_input(tmp_path, "wav")
    src.chmod(0)
    r = run("resample", src, tmp_path / "out.wav", "--rate", 16000)
    assert (r.returncode, r.stderr) == (2, f"tenvira: error: cannot read '{src}': Permission denied\n")


@pytest.mark.parametrize(
    "output, message",
    [
        ("missing/out.wav", "tenvira: error: cannot write to '{tmp}/missing': No such file or directory"),
        (".", "tenvira: error: '{tmp}/.' is a directory"),
        ("out.xyz", "tenvira: error: cannot tell the file type of '{tmp}/out.xyz' from its name; use --type"),
    ],
)
def test_unwritable_output(tmp_path, output, message):
    src = make_input(tmp_path, "wav")
    r = run("resample", src, f"{tmp_path}/{output}", "--rate", 16000)
    assert (r.returncode, r.stderr) == (2, message.format(tmp=tmp_path) + "\n")
    assert leftovers(tmp_path, "in.wav") == []


@pytest.mark.parametrize("args", [[], ["resample", "a.wav", "--rate", "8000"], ["resample", "a", "b", "c", "-r", "8"]])
def test_wrong_shape_of_command_exits_with_2(args):
    r = run(*args)
    assert r.returncode == 2 and "Traceback" not in r.stderr
    assert ("resample" in r.stderr and "info" in r.stderr) if not args else "give IN OUT" in r.stderr


def run_on_terminal(args):
    """Runs the tool with stderr on a pseudo-terminal; returns what it wrote
    there."""
    master, slave = pty.openpty()
    try:
        p = subprocess.Popen(command(*args), stdout=subprocess.DEVNULL, stderr=slave)
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
    write_audio(src, np.zeros((8000 * seconds, 1), np.int16), 8000, "PCM_16")
    # Small steps, so that the bar is drawn before the end too.
    args = ["resample", src, dst, "--rate", 16000, "--chunk-ms", 5] + (["--quiet"] if quiet else [])
    if terminal:
        err = run_on_terminal(args)
    else:
        r = run(*args)
        assert r.returncode == 0
        err = r.stderr
    assert ("100% [" + "#" * 30 + "]" in err) == shown
    assert (err == "") == (not shown)


def test_progress_bar_shows_the_time_left():
    import io

    from tenvira_cli.progress import ProgressBar, seconds_of_audio

    out = io.StringIO()
    bar = ProgressBar(out, 8000 * 100, seconds_of_audio(8000))
    bar._start -= 10.0  # ten seconds for the first quarter
    bar.update(8000 * 25, force=True)
    assert out.getvalue().split("\r")[-1].startswith("  25% [#######.......................]    25.0 s of 100.0 s, ETA 0:30")


def test_info():
    r = run("info")
    assert r.returncode == 0 and r.stderr == ""
    lines = dict(line.split(":", 1) for line in r.stdout.splitlines() if ":" in line and not line.startswith(" "))
    assert r.stdout.splitlines()[0] == f"tenvira {metadata.version('tenvira')}"
    assert lines["auto"].strip() == F32Resampler(48000, 16000, 1).selected_backend
    assert lines["qualities"].strip() == ", ".join(QUALITIES)
    assert lines["backends"].strip() == "auto, scalar, avx2, avx2+fma, avx512, neon, rvv"
    assert {"wav", "flac", "ogg", "opus", "mp3", "aiff", "w64", "rf64", "raw"} <= set(lines["types"].strip().split(", "))
    probes = {
        name.strip(): result.strip()
        for name, result in (line.split("->") for line in r.stdout.splitlines() if "->" in line)
    }
    assert probes["scalar"] == "scalar"
    assert probes["neon"] == "unavailable (requested backend is not available: neon)"


def test_info_json_matches_the_text():
    import json

    d = json.loads(run("info", "--json").stdout)
    text = run("info").stdout
    assert d["version"] == metadata.version("tenvira") and d["auto"] in text
    assert d["qualities"] == list(QUALITIES) and d["default_quality"] == DEFAULT_QUALITY
    assert d["backends"]["scalar"] == "scalar" and d["backends"]["neon"].startswith("unavailable")
    assert "flac" in d["file_types"] and "s16" in d["encodings"]


def test_console_script_is_installed():
    script = shutil.which("tenvira", path=sysconfig.get_path("scripts"))
    assert script is not None
    r = subprocess.run([script, "--version"], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout) == (0, f"tenvira {metadata.version('tenvira')}\n")
