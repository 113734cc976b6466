"""Many files in one command: mirrored trees, failures that stop nothing,
resuming, worker processes and a Dask cluster giving identical files."""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

from cli_helpers import command, expected_output, make_signal, read_audio, run, write_audio
from tenvira_cli import Options, convert_file


@pytest.fixture
def tree(tmp_path):
    """corpus/ with nested folders, a float file (dithered to 16 bits), a
    FLAC, a corrupt file, a text file and a hidden file; plus a loose file."""
    root = tmp_path / "corpus"
    (root / "sub" / "deeper").mkdir(parents=True)
    for i, (rel, subtype) in enumerate(
        [("a.wav", "PCM_16"), ("sub/b.flac", "PCM_24"), ("sub/deeper/c.wav", "FLOAT"), ("sub/d.wav", "PCM_16")]
    ):
        write_audio(root / rel, make_signal(4000 + 100 * i, 2, subtype), 16000, subtype)
    (root / "sub" / "broken.wav").write_bytes(b"RIFF\x00\x00\x00\x00WAVEjunk")
    (root / "notes.txt").write_text("not audio\n")
    write_audio(root / ".hidden.wav", make_signal(100, 1, "PCM_16"), 16000, "PCM_16")
    write_audio(tmp_path / "loose.wav", make_signal(500, 1, "PCM_16"), 16000, "PCM_16")
    return tmp_path


CONVERTED = ["a.wav", "loose.wav", "sub/b.flac", "sub/d.wav", "sub/deeper/c.wav"]


def files_under(directory):
    return sorted(str(p.relative_to(directory)) for p in directory.rglob("*") if p.is_file())


def batch(tmp_path, out, *extra):
    return run("resample", tmp_path / "corpus", tmp_path / "loose.wav", "-o", tmp_path / out,
               "--rate", 8000, "-e", "s16", *extra)


def test_a_tree_is_mirrored_and_a_bad_file_stops_nothing(tree):
    r = batch(tree, "out", "--failures", tree / "failed.tsv")
    assert r.returncode == 1
    assert files_under(tree / "out") == CONVERTED
    broken = tree / "corpus" / "sub" / "broken.wav"
    assert r.stderr == f"tenvira: error: {broken}: '{broken}': Error in WAV file. No 'data' chunk marker.\n"
    assert (tree / "failed.tsv").read_text() == f"{broken}\t'{broken}': Error in WAV file. No 'data' chunk marker.\n"
    assert r.stdout.startswith("5 converted, 0 skipped, 1 failed")
    assert read_audio(tree / "out" / "sub" / "b.flac")[1:] == (8000, "FLAC", "PCM_16")
    np.testing.assert_array_equal(
        read_audio(tree / "out" / "a.wav")[0], expected_output(make_signal(4000, 2, "PCM_16"), "PCM_16", 16000, 8000)
    )


def test_type_renames_and_duplicates_fail(tree):
    shutil.copy(tree / "loose.wav", tree / "corpus" / "a.flac")  # a.flac and a.wav both become a.au
    r = run("resample", tree / "corpus", "-o", tree / "out", "--rate", 8000, "--type", "au")
    assert r.returncode == 1
    assert files_under(tree / "out") == ["a.au", "sub/b.au", "sub/d.au", "sub/deeper/c.au"]
    assert f"'{tree / 'out' / 'a.au'}' is also the output of another input" in r.stderr


def test_skip_existing_resumes_and_existing_outputs_are_kept(tree):
    assert batch(tree, "out").returncode == 1
    first = {f: (tree / "out" / f).read_bytes() for f in CONVERTED}
    (tree / "out" / "a.wav").unlink()
    r = batch(tree, "out", "--skip-existing")
    assert r.stdout.startswith("1 converted, 4 skipped, 1 failed")
    assert {f: (tree / "out" / f).read_bytes() for f in CONVERTED} == first
    r = batch(tree, "out")
    assert r.stdout.startswith("0 converted, 0 skipped, 6 failed") and "exists; use --force" in r.stderr


@pytest.mark.parametrize("jobs", [2, 3])
def test_jobs_give_the_same_bits(tree, jobs):
    assert batch(tree, "one").returncode == 1
    r = batch(tree, "many", "--jobs", jobs)
    assert r.returncode == 1 and r.stdout.startswith("5 converted, 0 skipped, 1 failed")
    for f in CONVERTED:
        assert (tree / "many" / f).read_bytes() == (tree / "one" / f).read_bytes(), f


def test_an_interrupted_batch_leaves_no_temporary_files(tmp_path):
    (tmp_path / "in").mkdir()
    for i in range(4):
        write_audio(tmp_path / "in" / f"{i}.wav", np.zeros((48000 * 10, 1), np.int16), 48000, "PCM_16")
    out = tmp_path / "out"
    p = subprocess.Popen(command("resample", tmp_path / "in", "-o", out, "--rate", 44100, "--jobs", 2,
                                 "--chunk-ms", 0.1), stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        end = time.monotonic() + 30
        while len(os.listdir(out) if out.exists() else []) < 2:  # both workers are writing
            assert time.monotonic() < end
            time.sleep(0.01)
        p.send_signal(signal.SIGTERM)
        _, err = p.communicate(timeout=60)
    finally:
        p.kill()
    assert p.returncode == 143 and b"Traceback" not in err
    assert [n for n in os.listdir(out) if n.startswith(".")] == []


def test_convert_file_is_the_per_file_function(tmp_path):
    data = make_signal(1000, 2, "PCM_24")
    write_audio(tmp_path / "in.wav", data, 44100, "PCM_24")
    result = convert_file(tmp_path / "in.wav", tmp_path / "out.flac", Options(rate=48000, quality="fast"))
    assert (result.frames_in, result.frames_out, result.output_type, result.output_format) == (
        1000, 1089, "FLAC", "24-bit PCM")
    np.testing.assert_array_equal(
        read_audio(tmp_path / "out.flac")[0], expected_output(data, "PCM_24", 44100, 48000, quality="fast")
    )


def start(*args, **kwargs):
    return subprocess.Popen([sys.executable, "-m", *args], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)


def test_a_dask_cluster_gives_the_same_files_as_jobs(tree):
    """A scheduler and two workers, each its own process on this machine."""
    scheduler_file = tree / "scheduler.json"
    env = {**os.environ, "DASK_DISTRIBUTED__WORKER__DAEMON": "False"}
    procs = [start("distributed.cli.dask_scheduler", "--host", "127.0.0.1", "--port", "0", "--no-dashboard",
                   "--scheduler-file", scheduler_file, env=env)]
    try:
        end = time.monotonic() + 60
        while not scheduler_file.exists():
            assert time.monotonic() < end and procs[0].poll() is None
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        for _ in range(2):
            procs.append(start("distributed.cli.dask_worker", address, "--nthreads", "1", "--no-dashboard",
                               "--host", "127.0.0.1", env=env))
        r = batch(tree, "cluster", "--scheduler", address, "--failures", tree / "cluster.tsv")
        local = batch(tree, "local", "--jobs", 2, "--failures", tree / "local.tsv")
    finally:
        for p in reversed(procs):
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
    assert r.returncode == local.returncode == 1, r.stderr
    assert r.stdout.split(";")[0] == local.stdout.split(";")[0]
    assert r.stdout.startswith("5 converted, 0 skipped, 1 failed, ")
    assert (tree / "cluster.tsv").read_text() == (tree / "local.tsv").read_text()
    assert files_under(tree / "cluster") == files_under(tree / "local") == CONVERTED
    for f in CONVERTED:
        assert (tree / "cluster" / f).read_bytes() == (tree / "local" / f).read_bytes(), f
