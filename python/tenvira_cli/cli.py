"""The ``tenvira`` command's entry point: signals, then the arguments, then
the command, with every failure turned into one line and an exit status.

Nothing heavy is imported before the signal handlers are in place, so that
Ctrl-C at any moment gives a clean exit.
"""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

from . import signals
from .errors import (
    EXIT_BROKEN_PIPE,
    EXIT_FAILED,
    PROG,
    CliError,
    DownstreamClosed,
    Interrupted,
)


def _silence_stdout() -> None:
    """After EPIPE on stdout: point it at /dev/null so that the flush at
    exit does not fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    signals.install()
    try:
        try:
            try:
                return _run(argv)
            finally:
                from .output import remove_temporaries

                remove_temporaries()
        except Interrupted as e:
            print(f"{PROG}: interrupted", file=sys.stderr)
            return e.status
        except (DownstreamClosed, BrokenPipeError):
            _silence_stdout()
            return EXIT_BROKEN_PIPE
        except CliError as e:
            print(f"{PROG}: error: {e}", file=sys.stderr)
            return e.status
        except MemoryError:
            print(f"{PROG}: error: out of memory", file=sys.stderr)
            return EXIT_FAILED
        except OSError as e:
            print(f"{PROG}: error: {e}", file=sys.stderr)
            return EXIT_FAILED
    finally:
        signals.settle()


def _run(argv: Sequence[str] | None) -> int:
    from .arguments import build_parser

    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help(sys.stderr)
        return 2
    if args.command == "info":
        with signals.held():
            from .info import info

        return info(args.json)
    with signals.held():
        from .resample import resample

    return resample(args)
