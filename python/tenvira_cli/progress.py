"""A one-line progress bar for stderr."""

from __future__ import annotations

import time
from typing import TextIO

_WIDTH = 30
_INTERVAL = 0.1  # seconds between redraws


class ProgressBar:
    """Redraws ``  42% [#########.....]  12.6 s of 30.0 s`` in place.

    ``update`` is cheap to call for every chunk: it redraws at most ten times a
    second. ``close`` erases the line so that what follows starts clean.
    """

    def __init__(self, stream: TextIO, total_frames: int, rate: int) -> None:
        self._stream = stream
        self._total = max(total_frames, 1)
        self._rate = rate
        self._last = float("-inf")
        self.update(0, force=True)

    def update(self, frames: int, force: bool = False) -> None:
        now = time.monotonic()
        if not force and now - self._last < _INTERVAL:
            return
        self._last = now
        part = min(frames / self._total, 1.0)
        filled = int(part * _WIDTH)
        self._stream.write(
            f"\r{part:5.0%} [{'#' * filled}{'.' * (_WIDTH - filled)}] "
            f"{frames / self._rate:7.1f} s of {self._total / self._rate:.1f} s"
        )
        self._stream.flush()

    def close(self, frames: int) -> None:
        self.update(frames, force=True)
        self._stream.write("\r\x1b[K")
        self._stream.flush()
