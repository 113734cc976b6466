"""The ``tenvira`` command: resample audio files, pipes and whole folders
with the tenvira module, reading and writing through libsndfile.

For other tools, ``convert_file(input, output, Options(rate=...))``
converts one file exactly as the command does and returns a ``Result``.
They are loaded on first use, so that the command starts without numpy.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from .cli import main

if TYPE_CHECKING:
    from .convert import Result, convert_file
    from .settings import Options, RawFormat

__all__ = ["Options", "RawFormat", "Result", "convert_file", "main"]


def __getattr__(name: str) -> Any:
    if name in ("convert_file", "Result"):
        from . import convert

        return getattr(convert, name)
    if name in ("Options", "RawFormat"):
        from . import settings

        return getattr(settings, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
