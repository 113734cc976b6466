"""Many files in one command: the task list (directory trees mirrored under
the output folder), the per-file function, and worker processes.

The list is walked lazily and handed out a task at a time, so a listing of
millions of files never sits in memory. One file's failure is its result,
never the end of the run.
"""

from __future__ import annotations

import contextlib
import hashlib
import multiprocessing
import multiprocessing.connection
import os
import signal
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Literal

from . import signals
from .convert import Result, convert_file
from .errors import CliError, Interrupted, describe_os_error
from .formats import FileType, extension_for, type_of_path
from .output import exists, remove_temporaries
from .settings import Options


@dataclass(frozen=True)
class Task:
    input: str
    output: str
    name: str  # the output's path relative to the output folder: seeds the dither


@dataclass(frozen=True)
class FileResult:
    task: Task
    status: Literal["converted", "skipped", "failed"]
    message: str = ""
    result: Result | None = None


def _renamed(rel: str, ftype: FileType | None) -> str:
    return rel if ftype is None else os.path.splitext(rel)[0] + "." + extension_for(ftype)


def _walk(top: str, skip_dir: str) -> Iterator[str]:
    """Audio files under ``top`` in a stable order, hidden names and the
    output folder left out."""
    for root, dirs, names in os.walk(top):
        dirs[:] = sorted(
            d for d in dirs if not d.startswith(".") and os.path.realpath(os.path.join(root, d)) != skip_dir
        )
        for name in sorted(names):
            if not name.startswith(".") and type_of_path(name) is not None:
                yield os.path.join(root, name)


def list_tasks(inputs: Sequence[str], outdir: str, ftype: FileType | None) -> Iterator[Task]:
    """A file goes to OUTDIR/its name; a directory's files to OUTDIR/their
    path below it. The output's type changes only with --type."""
    real_out = os.path.realpath(outdir)
    for arg in inputs:
        if os.path.isdir(arg):
            for path in _walk(arg, real_out):
                rel = _renamed(os.path.relpath(path, arg), ftype)
                yield Task(path, os.path.join(outdir, rel), rel)
        else:
            rel = _renamed(os.path.basename(arg), ftype)
            yield Task(arg, os.path.join(outdir, rel), rel)


def convert_task(task: Task, options: Options, skip_existing: bool) -> FileResult:
    """Converts one file of a batch; every failure becomes its result."""
    if skip_existing and exists(task.output):
        return FileResult(task, "skipped")
    try:
        os.makedirs(os.path.dirname(task.output) or ".", exist_ok=True)
        return FileResult(task, "converted", result=convert_file(task.input, task.output, options, seed_name=task.name))
    except CliError as e:
        return FileResult(task, "failed", str(e))
    except OSError as e:
        return FileResult(task, "failed", f"{e.filename or task.output}: {describe_os_error(e)}")
    except MemoryError:
        return FileResult(task, "failed", "out of memory")
    except Exception as e:  # noqa: BLE001 - one file never stops the others
        return FileResult(task, "failed", f"{type(e).__name__}: {e}")


def convert_tasks(tasks: Sequence[Task], options: Options, skip_existing: bool) -> list[FileResult]:
    """A few files at a time, as a cluster runs them."""
    return [convert_task(t, options, skip_existing) for t in tasks]


class Deduplicated:
    """Fails a task whose output another task of this run already writes
    (8-byte digests, so millions of names stay small)."""

    def __init__(self) -> None:
        self._seen: set[bytes] = set()

    def check(self, task: Task) -> FileResult | None:
        key = hashlib.blake2b(os.path.abspath(task.output).encode("utf-8", "surrogateescape"), digest_size=8)
        digest = key.digest()
        if digest in self._seen:
            return FileResult(task, "failed", f"{task.output!r} is also the output of another input")
        self._seen.add(digest)
        return None


def _worker(conn: multiprocessing.connection.Connection, options: Options, skip_existing: bool) -> None:
    signals.install()
    try:
        while (task := conn.recv()) is not None:
            conn.send(convert_task(task, options, skip_existing))
    except (Interrupted, EOFError, OSError):
        pass
    finally:
        remove_temporaries()


class _Pool:
    """Worker processes fed one task at a time over pipes."""

    def __init__(self, jobs: int, options: Options, skip_existing: bool) -> None:
        self._ctx = multiprocessing.get_context("fork")
        self._args = (options, skip_existing)
        self._workers: dict[multiprocessing.connection.Connection, multiprocessing.process.BaseProcess] = {}
        for _ in range(jobs):
            self._start()

    def _start(self) -> multiprocessing.connection.Connection:
        parent, child = self._ctx.Pipe()
        p = self._ctx.Process(target=_worker, args=(child, *self._args), daemon=True)
        p.start()
        child.close()
        self._workers[parent] = p
        return parent

    def run(self, tasks: Iterator[Task], report: Callable[[FileResult], None]) -> None:
        idle = list(self._workers)
        busy: dict[multiprocessing.connection.Connection, Task] = {}
        while True:
            while idle and (task := next(tasks, None)) is not None:
                conn = idle.pop()
                conn.send(task)
                busy[conn] = task
            if not busy:
                return
            for ready in multiprocessing.connection.wait(list(busy)):
                assert isinstance(ready, multiprocessing.connection.Connection)
                conn = ready
                task = busy.pop(conn)
                try:
                    result: FileResult = conn.recv()
                except EOFError:  # the worker died
                    p = self._workers.pop(conn)
                    p.join()
                    result = FileResult(task, "failed", f"worker process died (exit status {p.exitcode})")
                    idle.append(self._start())
                else:
                    idle.append(conn)
                report(result)

    def close(self, interrupted: bool) -> None:
        """Stops the workers; an interrupted worker removes its temporary
        file on the way out."""
        for conn, p in self._workers.items():
            with contextlib.suppress(OSError):
                if interrupted:
                    os.kill(p.pid or 0, signal.SIGTERM)
                else:
                    conn.send(None)
        for p in self._workers.values():
            p.join(timeout=30)
            if p.is_alive():
                p.kill()
                p.join()


def run_local(
    tasks: Iterable[Task], options: Options, jobs: int, skip_existing: bool, report: Callable[[FileResult], None]
) -> None:
    """Runs the tasks here (one job) or in ``jobs`` worker processes."""
    if jobs <= 1:
        for task in tasks:
            report(convert_task(task, options, skip_existing))
        return
    pool = _Pool(jobs, options, skip_existing)
    interrupted = True
    try:
        pool.run(iter(tasks), report)
        interrupted = False
    finally:
        pool.close(interrupted)
