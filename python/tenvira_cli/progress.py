"""A one-line progress bar for stderr, with the time left."""

from __future__ import annotations

import time
from collections.abc import Callable
from typing import TextIO

_WIDTH = 30
_INTERVAL = 0.1  # seconds between redraws


def _clock(seconds: float) -> str:
    s = int(seconds + 0.5)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}" if s >= 3600 else f"{s // 60}:{s % 60:02d}"


class ProgressBar:
    """Redraws ``  42% [#########.....] 12.6 s of 30.0 s, ETA 0:03`` in place.

    ``update`` is cheap to call for every block: it redraws at most ten times
    a second. ``close`` erases the line so that what follows starts clean.
    ``describe`` says what ``done`` of ``total`` means (seconds of audio,
    files).
    """

    def __init__(self, stream: TextIO, total: int, describe: Callable[[int, int], str]) -> None:
        self._stream = stream
        self._total = max(total, 1)
        self._describe = describe
        self._start = time.monotonic()
        self._last = float("-inf")
        self.update(0, force=True)

    def update(self, done: int, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last < _INTERVAL:
            return
        self._last = now
        part = min(done / self._total, 1.0)
        filled = int(part * _WIDTH)
        eta = ""
        if 0 < part < 1:
            eta = f", ETA {_clock((now - self._start) * (1 - part) / part)}"
        self._stream.write(
            f"\r{part:5.0%} [{'#' * filled}{'.' * (_WIDTH - filled)}] {self._describe(done, self._total)}{eta}\x1b[K"
        )
        self._stream.flush()

    def close(self, done: int) -> None:
        self.update(done, force=True)
        self._stream.write("\r\x1b[K")
        self._stream.flush()


def seconds_of_audio(rate: int) -> Callable[[int, int], str]:
    return lambda done, total: f"{done / rate:7.1f} s of {total / rate:.1f} s"


def files(done: int, total: int) -> str:
    return f"{done} of {total} files"
