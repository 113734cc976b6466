"""What can go wrong, and the exit status each failure ends the command with.

Every failure reaches the user as one line on stderr, prefixed with the
program name. Interruptions are ``BaseException``s, so that ``except
Exception`` in a conversion never swallows them and every ``finally`` on the
way out (the removal of a temporary file above all) still runs.
"""

from __future__ import annotations

import signal

PROG = "tenvira"

EXIT_OK = 0
EXIT_FAILED = 1  # writing failed, or some files of a batch failed
EXIT_USAGE = 2  # a mistake in the command line or an input we cannot read
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE


class CliError(Exception):
    """A failure with a one-line message and an exit status."""

    status = EXIT_USAGE


class UsageError(CliError):
    """A mistake in the command line: a bad option or an OUT we must not touch."""


class InputError(CliError):
    """IN cannot be read, or is not audio that can be read."""


class OutputError(CliError):
    """Writing OUT failed (disk full, file-size limit, I/O error)."""

    status = EXIT_FAILED


class Interrupted(BaseException):
    """A terminating signal arrived; the command unwinds and exits with
    128 + the signal number."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def status(self) -> int:
        return 128 + self.signum


class DownstreamClosed(BaseException):
    """The reader of our standard output went away: end quietly."""


def describe_os_error(e: OSError) -> str:
    """``strerror`` alone: the file name is said by the caller."""
    return e.strerror or str(e)
