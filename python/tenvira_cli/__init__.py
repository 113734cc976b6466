"""The ``tenvira`` command: resample WAV files with the tenvira module.

Only the standard library is used here; the extension module itself reads no
files.
"""

__all__ = ["main"]

from .cli import main
