"""Signal handling for the whole command, worker processes included.

SIGINT, SIGTERM, SIGHUP and SIGQUIT raise ``Interrupted`` wherever the
program is, so that the conversion unwinds through its ``finally`` blocks and
removes its temporary files. A second signal during that unwinding is
ignored, so that the clean-up itself is never cut short. SIGPIPE stays
ignored (as CPython sets it): a closed pipe is an ``EPIPE`` error that the
writer turns into a quiet exit. SIGXFSZ is ignored, so that a file-size limit
(``ulimit -f``) is an ``EFBIG`` write error instead of a core dump.

A read from a pipe waits in ``poll`` on the pipe and on the signals' wake-up
pipe together (``wait_readable``). A plain blocking read cannot be
interrupted reliably: a signal that lands between Python's last look at its
signal flags and the ``read`` system call is noted, but the read then waits
for data that may never come, and the command hangs.
"""

from __future__ import annotations

import contextlib
import os
import select
import signal
from collections.abc import Iterator
from types import FrameType

from .errors import Interrupted

TERMINATING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT)

_received: int | None = None
_settled = False  # the command's outcome is decided; see settle()
_wakeup: tuple[int, int] | None = None  # (read end, write end)


def _raise(signum: int, frame: FrameType | None) -> None:
    global _received
    if _received is not None or _settled:
        return
    _received = signum
    raise Interrupted(signum)


def install() -> None:
    """Takes over the terminating signals; call it first thing in a process."""
    global _received, _settled, _wakeup
    _received = None
    _settled = False
    # A pipe of this process's own: one inherited through fork is shared
    # with the parent, which could drain the other's wake-ups.
    previous = _wakeup
    _wakeup = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
    signal.set_wakeup_fd(_wakeup[1], warn_on_full_buffer=False)
    if previous is not None:
        for fd in previous:
            os.close(fd)
    for signum in TERMINATING:
        signal.signal(signum, _raise)
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    signal.signal(signal.SIGPIPE, signal.SIG_IGN)


def wait_readable(fd: int) -> None:
    """Waits until a read of ``fd`` would not block (data, end of file or an
    error). A terminating signal that arrives meanwhile raises
    ``Interrupted`` here, whenever it lands."""
    if _wakeup is None:
        return
    poller = select.poll()
    poller.register(fd, select.POLLIN)
    poller.register(_wakeup[0], select.POLLIN)
    while True:
        ready = dict(poller.poll())
        if _wakeup[0] in ready:
            # The signal's handler runs as soon as this returns to Python
            # code; a signal ignored during clean-up leaves nothing to do.
            with contextlib.suppress(BlockingIOError):
                while os.read(_wakeup[0], 512):
                    pass
        if fd in ready:
            return


def settle() -> None:
    """The command has its outcome: a terminating signal from now on is
    swallowed, so the exit status stays the command's and nothing is printed.
    Without this, a Ctrl-C that lands while the interpreter shuts down (it
    runs Python code of its own, joining threads) would raise there, and
    Python would print that exception as ignored."""
    global _settled
    _settled = True


def received() -> int | None:
    """The first terminating signal that arrived, if any."""
    return _received


@contextlib.contextmanager
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
