"""Signal handling for the whole command, worker processes included.

SIGINT, SIGTERM, SIGHUP and SIGQUIT raise ``Interrupted`` wherever the
program is, so that the conversion unwinds through its ``finally`` blocks and
removes its temporary files. A second signal during that unwinding is
ignored, so that the clean-up itself is never cut short. SIGPIPE stays
ignored (as CPython sets it): a closed pipe is an ``EPIPE`` error that the
writer turns into a quiet exit. SIGXFSZ is ignored, so that a file-size limit
(``ulimit -f``) is an ``EFBIG`` write error instead of a core dump.
"""

from __future__ import annotations

import signal
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType

from .errors import Interrupted

TERMINATING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)

_received: int | None = None


def _raise(signum: int, frame: FrameType | None) -> None:
    global _received
    if _received is not None:
        return
    _received = signum
    raise Interrupted(signum)


def install() -> None:
    """Takes over the terminating signals; call it first thing in a process."""
    global _received
    _received = None
    for signum in TERMINATING:
        signal.signal(signum, _raise)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def received() -> int | None:
    """The first terminating signal that arrived, if any."""
    return _received


@contextmanager
def held() -> Iterator[None]:
    """Holds the terminating signals back while the heavy modules load.

    numpy starts its BLAS threads on import, and a thread inherits the
    signal mask of the thread that starts it. Without this, the kernel may
    hand SIGHUP or SIGTERM to one of those threads: Python notes it, but a
    main thread blocked in a read (standard input, say) is never woken and
    the command hangs. A signal that arrives meanwhile waits and is handled
    as soon as the block ends.
    """
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, TERMINATING)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)
