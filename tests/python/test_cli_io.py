"""Where the command's bytes go and what happens when that fails: pipes
both ways, symlinks, FIFOs and devices as OUT, long names, signals, file-size
limits, truncated and absurd inputs."""

import os
import resource
import signal
import stat
import struct
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import soundfile as sf

from cli_helpers import (
    chunk,
    command,
    expected_output,
    fmt_body,
    leftovers,
    make_signal,
    out_frames,
    read_audio,
    riff,
    run,
    write_audio,
)


@pytest.fixture
def wav16(tmp_path):
    """One second of 16-bit stereo at 16 kHz, and its expected output at 8 kHz."""
    data = make_signal(16000, 2, "PCM_16")
    path = tmp_path / "in.wav"
    write_audio(path, data, 16000, "PCM_16")
    return path, expected_output(data, "PCM_16", 16000, 8000)


def wav_bytes_samples(blob):
    """Samples of a WAV held in memory, as libsndfile reads them."""
    import io

    return sf.read(io.BytesIO(blob), dtype="int32", always_2d=True)[0]


@pytest.mark.parametrize("out_type", ["wav", "raw"])
@pytest.mark.parametrize("in_type", ["wav", "raw", "flac"])
def test_pipes_both_ways(tmp_path, wav16, in_type, out_type):
    src, expected = wav16
    data, _, _, _ = read_audio(src, "int16")
    args = []
    if in_type == "raw":
        blob = data.astype("<i2").tobytes()
        args = ["--raw-rate", 16000, "--raw-channels", 2]
    elif in_type == "flac":  # not streamable: spooled to a temporary file
        write_audio(tmp_path / "in.flac", data, 16000, "PCM_16")
        blob = (tmp_path / "in.flac").read_bytes()
    else:
        blob = src.read_bytes()
    r = run("resample", "-", "-", "--rate", 8000, "--type", out_type, *args, input=blob, binary=True,
            env={**os.environ, "TMPDIR": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    assert "- -> -: 16000 frames at 16000 Hz -> 8000 frames" in r.stderr  # the summary keeps off stdout
    if out_type == "wav":
        assert r.stdout[4:8] == b"\xff\xff\xff\xff"  # streaming header
        got = wav_bytes_samples(r.stdout)
    else:
        got = (np.frombuffer(r.stdout, "<i2").astype(np.int32) << 16).reshape(-1, 2)
    np.testing.assert_array_equal(got, expected)
    assert leftovers(tmp_path, "in.wav", "in.flac") == []


def test_stdout_redirected_to_a_file_gets_real_sizes(tmp_path, wav16):
    src, expected = wav16
    out = tmp_path / "out.wav"
    with open(out, "wb") as f:
        r = subprocess.run(command("resample", src, "-", "--rate", 8000), stdout=f, stderr=subprocess.PIPE, timeout=60)
    assert r.returncode == 0
    blob = out.read_bytes()
    assert struct.unpack_from("<I", blob, 4)[0] == len(blob) - 8
    np.testing.assert_array_equal(read_audio(out)[0], expected)


def test_through_a_symlink_the_target_is_written(tmp_path, wav16):
    src, expected = wav16
    (tmp_path / "real").mkdir()
    target, link, dangling = tmp_path / "real" / "t.wav", tmp_path / "link.wav", tmp_path / "dangling.wav"
    target.write_bytes(b"old")
    link.symlink_to(target)
    dangling.symlink_to(tmp_path / "real" / "new.wav")
    assert run("resample", src, link, "--rate", 8000).returncode == 2  # the target exists
    for out in (link, dangling):
        r = run("resample", src, out, "--rate", 8000, "--force")
        assert r.returncode == 0, r.stderr
        assert out.is_symlink()
        np.testing.assert_array_equal(read_audio(out)[0], expected)
    assert leftovers(tmp_path / "real", "t.wav", "new.wav") == []


@pytest.mark.parametrize("ext", ["wav", "flac"])
def test_a_fifo_is_written_through(tmp_path, wav16, ext):
    src, expected = wav16
    fifo = tmp_path / f"out.{ext}"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
    reader.start()
    r = run("resample", src, fifo, "--rate", 8000)
    reader.join(timeout=60)
    assert r.returncode == 0, r.stderr
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    (tmp_path / f"copy.{ext}").write_bytes(got[0])
    np.testing.assert_array_equal(read_audio(tmp_path / f"copy.{ext}")[0], expected)
    assert leftovers(tmp_path, "in.wav", fifo.name, f"copy.{ext}") == []


@pytest.mark.parametrize("ext", ["wav", "flac"])
def test_dev_null_stays_a_device(tmp_path, wav16, ext):
    r = run("resample", wav16[0], "/dev/null", "--rate", 8000, "--type", ext, env={**os.environ, "TMPDIR": str(tmp_path)})
    assert r.returncode == 0, r.stderr
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert leftovers(tmp_path, "in.wav") == []


@pytest.mark.parametrize("length", [241, 255])
def test_long_output_names(tmp_path, wav16, length):
    name = "n" * (length - 4) + ".wav"
    r = run("resample", wav16[0], tmp_path / name, "--rate", 8000)
    assert r.returncode == 0, r.stderr
    assert leftovers(tmp_path, "in.wav") == [name]


def handles_sighup(pid):
    """Whether the process catches SIGHUP, which Python leaves alone: the
    tool's own handlers are in place."""
    try:
        with open(f"/proc/{pid}/status") as f:
            caught = next(int(line.split()[1], 16) for line in f if line.startswith("SigCgt:"))
    except (OSError, StopIteration):
        return False
    return bool(caught & (1 << (signal.SIGHUP - 1)))


def wait_for(predicate, timeout=30.0):
    end = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < end
        time.sleep(0.005)


def test_only_the_main_thread_takes_signals(tmp_path):
    """numpy's BLAS threads must not take a signal that the main thread,
    blocked reading standard input, would then never see."""
    p = subprocess.Popen(command("resample", "-", tmp_path / "out.wav", "--rate", 8000), stdin=subprocess.PIPE,
                         stderr=subprocess.PIPE)
    try:
        wait_for(lambda: handles_sighup(p.pid))
        end = time.monotonic() + 10
        while len(os.listdir(f"/proc/{p.pid}/task")) == 1 and time.monotonic() < end:
            time.sleep(0.01)
        if len(os.listdir(f"/proc/{p.pid}/task")) == 1:
            pytest.skip("numpy started no threads here")
        time.sleep(0.2)  # the tool is now waiting for input
        for task in os.listdir(f"/proc/{p.pid}/task"):
            if int(task) == p.pid:
                continue
            with open(f"/proc/{p.pid}/task/{task}/status") as f:
                blocked = next(int(line.split()[1], 16) for line in f if line.startswith("SigBlk:"))
            for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM):
                assert blocked & (1 << (signum - 1)), f"thread {task} may take signal {signum}"
    finally:
        p.kill()
        p.communicate()


@pytest.mark.parametrize("signum", [signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGTERM])
@pytest.mark.parametrize("via_stdin", [False, True])
def test_a_signal_leaves_no_temporary_file(tmp_path, signum, via_stdin):
    """In the middle of writing OUT, or of spooling a FLAC stream."""
    src = tmp_path / ("in.flac" if via_stdin else "in.wav")
    write_audio(src, np.zeros((48000 * 20, 1), np.int16), 48000, "PCM_16")
    scratch = tmp_path / "scratch"
    scratch.mkdir()
    args = ["resample", "-" if via_stdin else src, tmp_path / "out.wav", "--rate", 44100, "--chunk-ms", 0.1]
    if via_stdin:
        r_fd, w_fd = os.pipe()
        stdin = r_fd
    else:
        stdin = subprocess.DEVNULL
    p = subprocess.Popen(command(*args), stdin=stdin, stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                         env={**os.environ, "TMPDIR": str(scratch)})
    try:
        wait_for(lambda: handles_sighup(p.pid))
        if via_stdin:
            os.close(r_fd)
            os.write(w_fd, src.read_bytes()[:4096])  # the spool exists and waits for more
            wait_for(lambda: any(n.startswith(".tenvira-") for n in os.listdir(scratch)))
        else:
            wait_for(lambda: leftovers(tmp_path, src.name, "scratch"))
        p.send_signal(signum)
        _, err = p.communicate(timeout=60)
    finally:
        p.kill()
        if via_stdin:
            os.close(w_fd)
    assert p.returncode == 128 + signum
    assert err.decode() == "tenvira: interrupted\n"
    assert leftovers(tmp_path, src.name, "scratch") == [] and os.listdir(scratch) == []


@pytest.mark.parametrize("delay", [0.0, 0.02, 0.05, 0.1, 0.2, 0.3])
def test_ctrl_c_at_start_is_quiet(tmp_path, wav16, delay):
    """From the moment the tool's code runs (its handlers are installed
    first), Ctrl-C ends it with one line and status 130."""
    p = subprocess.Popen(command("resample", wav16[0], tmp_path / "out.wav", "--rate", 8000),
                         stderr=subprocess.PIPE, stdout=subprocess.DEVNULL)
    try:
        end = time.monotonic() + 30
        while not handles_sighup(p.pid) and p.poll() is None and time.monotonic() < end:
            time.sleep(0.0005)
        time.sleep(delay)
        p.send_signal(signal.SIGINT)
        _, err = p.communicate(timeout=60)
    finally:
        p.kill()
    done = (tmp_path / "out.wav").exists()
    # Once done, the signal may land in the interpreter's own exit, where
    # Python has given the default action back.
    assert (p.returncode, err.decode()) in [(130, "tenvira: interrupted\n"), (0, "")] + done * [(-signal.SIGINT, "")]
    if done:  # finished before the signal: complete
        np.testing.assert_array_equal(read_audio(tmp_path / "out.wav")[0], wav16[1])
    assert leftovers(tmp_path, "in.wav", "out.wav") == []


def test_ctrl_c_during_interpreter_exit_is_quiet(tmp_path, wav16):
    """A signal that lands after the command has its outcome, while the
    interpreter shuts down, changes neither the status nor the output."""
    script = ("import atexit, os, signal, sys; from tenvira_cli.cli import main; "
              "atexit.register(os.kill, os.getpid(), signal.SIGINT); "
              "sys.exit(main(sys.argv[1:]))")
    r = subprocess.run([sys.executable, "-c", script, "resample", wav16[0], tmp_path / "out.wav",
                        "--rate", "8000"], capture_output=True, timeout=120)
    assert (r.returncode, r.stderr.decode()) == (0, "")


def limit_file_size():
    resource.setrlimit(resource.RLIMIT_FSIZE, (20000, 20000))


@pytest.mark.parametrize("out", ["out.wav", "out.flac", "-"])
def test_a_file_size_limit_is_a_one_line_io_error(tmp_path, wav16, out):
    target = tmp_path / "redirected.wav"
    with open(target, "wb") as stdout:
        p = subprocess.run(command("resample", wav16[0], out if out == "-" else tmp_path / out, "--rate", 44100),
                           stdout=stdout, stderr=subprocess.PIPE, preexec_fn=limit_file_size, timeout=60)
    err = p.stderr.decode()
    assert p.returncode == 1
    assert err.startswith("tenvira: error: cannot write ") and "File too large" in err and err.count("\n") == 1
    assert leftovers(tmp_path, "in.wav", "redirected.wav") == []


@pytest.mark.parametrize("args", [["info"], ["info", "--json"], ["resample", "IN", "-", "--rate", "8000"]])
def test_a_closed_pipe_ends_quietly_with_141(wav16, args):
    r_fd, w_fd = os.pipe()
    os.close(r_fd)
    try:
        p = subprocess.run(command(*[wav16[0] if a == "IN" else a for a in args]), stdout=w_fd,
                           stderr=subprocess.PIPE, timeout=60)
    finally:
        os.close(w_fd)
    assert (p.returncode, p.stderr) == (141, b"")


@pytest.mark.parametrize("via_stdin", [False, True])
def test_truncated_input_warns_once_and_converts_what_is_there(tmp_path, via_stdin):
    data = np.arange(-500, 500, dtype=np.int16).reshape(-1, 1)
    blob = riff(chunk(b"fmt ", fmt_body(1, 1, 16000, 16))) + b"data" + struct.pack("<I", 4000) + data.tobytes()
    src, dst = tmp_path / "in.wav", tmp_path / "out.wav"
    src.write_bytes(blob)
    r = run("resample", "-" if via_stdin else src, dst, "--rate", 8000, input=blob if via_stdin else None)
    assert r.returncode == 0
    name = "-" if via_stdin else str(src)
    assert r.stderr == f"tenvira: warning: {name}: premature end of file: 1000 of the 2000 frames its header announces\n"
    np.testing.assert_array_equal(read_audio(dst)[0], expected_output(data, "PCM_16", 16000, 8000))


def test_absurd_rates(tmp_path, wav16):
    src = wav16[0]
    r = run("resample", src, tmp_path / "up.wav", "--rate", 384000)
    assert r.returncode == 0
    assert r.stderr.startswith(f"tenvira: warning: {tmp_path}/up.wav: the output will be 24 times the size")
    # 4 GiB of AIFF: refused before anything is written.
    r = run("resample", src, tmp_path / "x.aiff", "--rate", 1_100_000_000)
    assert r.returncode == 2 and "over the 4 GiB limit of AIFF files" in r.stderr
    # A WAV would become RF64, but not even that fits the file system.
    free = os.statvfs(tmp_path).f_bavail * os.statvfs(tmp_path).f_frsize
    rate = min(2**30 - 1, free // 4 + 1)
    long_src = tmp_path / "long.wav"
    seconds = -(-free // (rate * 4)) + 1
    write_audio(long_src, np.zeros((16000 * seconds, 2), np.int16), 16000, "PCM_16")
    r = run("resample", long_src, tmp_path / "x.wav", "--rate", rate)
    assert r.returncode == 2 and "its file system has" in r.stderr, r.stderr
    assert leftovers(tmp_path, "in.wav", "up.wav", "long.wav") == []


def test_float_to_16_bit_is_dithered_and_clips_are_counted(tmp_path):
    data = make_signal(8000, 2, "FLOAT") * np.float32(1.2)
    src = tmp_path / "in.wav"
    write_audio(src, data, 48000, "FLOAT")
    for d in ("a", "b", "c"):
        (tmp_path / d).mkdir()
    outs = {}
    for out, extra in [("a/x.wav", []), ("b/x.wav", []), ("b/y.wav", []), ("c/x.wav", ["--no-dither"])]:
        r = run("resample", src, tmp_path / out, "--rate", 44100, "-e", "s16", *extra)
        assert r.returncode == 0, r.stderr
        outs[out] = read_audio(tmp_path / out)[0]
        assert ("dithered" in r.stdout) == (extra == [])
    exact = expected_output(data, "FLOAT", 48000, 44100, "PCM_16")
    np.testing.assert_array_equal(outs["c/x.wav"], exact)
    clipped = int(np.count_nonzero(np.abs(expected_output(data, "FLOAT", 48000, 44100)) * 32768 > 32767.5))
    assert clipped > 0 and f", {clipped} samples clipped," in r.stdout
    # The noise depends on the output's name only.
    np.testing.assert_array_equal(outs["a/x.wav"], outs["b/x.wav"])
    assert not np.array_equal(outs["b/x.wav"], outs["b/y.wav"])
    quiet = np.abs(exact[:, 1]) < (30000 << 16)
    diff = outs["a/x.wav"][quiet, 1].astype(np.int64) - exact[quiet, 1]
    assert np.count_nonzero(diff) > 0 and np.abs(diff).max() <= 1 << 16  # at most one LSB apart


def test_tags_are_copied(tmp_path, wav16):
    src = tmp_path / "tagged.flac"
    with sf.SoundFile(str(src), "w", 16000, 1, "PCM_16") as f:
        f.title, f.artist = "A title", "An artist"
        f.write(np.zeros(1600, np.int16))
    r = run("resample", src, tmp_path / "out.wav", "--rate", 8000)
    assert r.returncode == 0, r.stderr
    with sf.SoundFile(str(tmp_path / "out.wav")) as f:
        assert (f.title, f.artist, f.frames) == ("A title", "An artist", out_frames(1600, 16000, 8000))
