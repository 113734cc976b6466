"""Running a batch on an existing Dask cluster (``--scheduler ADDRESS``).

The workers run the same per-file function as local worker processes, on
the same paths: they must see the client's file system (a shared file
system mounted at the same place). Files go out in small groups with a
bounded number of groups in flight, so the scheduler never holds more than
a few hundred files of a listing of millions.
"""

from __future__ import annotations

import importlib
import itertools
from collections.abc import Callable, Iterable, Iterator
from typing import Any

from .batch import FileResult, Task, convert_tasks
from .errors import UsageError
from .settings import Options

FILES_PER_TASK = 4
TASKS_PER_THREAD = 2  # groups in flight for each worker thread


def _groups(tasks: Iterable[Task], size: int) -> Iterator[list[Task]]:
    it = iter(tasks)
    while group := list(itertools.islice(it, size)):
        yield group


def run_on_cluster(
    address: str,
    tasks: Iterable[Task],
    options: Options,
    skip_existing: bool,
    report: Callable[[FileResult], None],
) -> None:
    try:
        distributed: Any = importlib.import_module("distributed")
    except ImportError:
        raise UsageError("--scheduler needs Dask: pip install 'tenvira[dask]'") from None
    try:
        client = distributed.Client(address, timeout="30s")
    except (OSError, TimeoutError, ValueError) as e:
        raise UsageError(f"cannot reach the Dask scheduler at {address!r}: {e}") from None
    try:
        threads = max(1, sum(client.nthreads().values()))
        groups = _groups(tasks, FILES_PER_TASK)
        running = distributed.as_completed()
        submitted: dict[object, list[Task]] = {}

        def submit() -> None:
            group = next(groups, None)
            if group is not None:
                future = client.submit(convert_tasks, group, options, skip_existing, pure=False)
                submitted[future.key] = group
                running.add(future)

        for _ in range(TASKS_PER_THREAD * threads):
            submit()
        for future in running:
            group = submitted.pop(future.key)
            try:
                results: list[FileResult] = future.result()
            except Exception as e:  # noqa: BLE001 - a lost worker fails its files only
                results = [FileResult(t, "failed", f"on the cluster: {type(e).__name__}: {e}") for t in group]
            future.release()
            for result in results:
                report(result)
            submit()
    finally:
        client.close()
