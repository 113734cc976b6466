"""``tenvira info``: what this installation can do, as text or JSON."""

from __future__ import annotations

import json
import platform
from typing import Any

import soundfile  # type: ignore[import-untyped, unused-ignore]
import tenvira

from .arguments import version
from .errors import PROG
from .formats import type_names
from .settings import DEFAULT_QUALITY, ENCODINGS, QUALITIES

# The processor features that the module's backend choice depends on.
_CPU_FLAGS = ("avx2", "fma", "f16c", "avx512f")


def _cpu_flags() -> set[str] | None:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith(("flags", "Features")):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return None


def _probe(backend: str) -> str:
    """What a resampler built with this backend name reports, or why it
    cannot be built."""
    try:
        return tenvira.F32Resampler(48000, 16000, 1, quality="fast", backend=backend).selected_backend
    except ValueError as e:
        return f"unavailable ({e})"


def collect() -> dict[str, Any]:
    flags = _cpu_flags()
    return {
        "version": version(),
        "module": tenvira.__file__,
        "python": f"{platform.python_implementation()} {platform.python_version()}",
        "machine": platform.machine(),
        "cpu_features": None if flags is None else {name: name in flags for name in _CPU_FLAGS},
        "auto": _probe("auto"),
        "qualities": list(QUALITIES),
        "default_quality": DEFAULT_QUALITY,
        "backends": {name: _probe(name) for name in tenvira.backend_values() if name != "auto"},
        "libsndfile": soundfile.__libsndfile_version__,
        "file_types": type_names(),
        "encodings": list(ENCODINGS),
    }


def info(as_json: bool) -> int:
    d = collect()
    if as_json:
        print(json.dumps(d, indent=2))
        return 0
    features = d["cpu_features"]
    if features is None:
        cpu = "unknown (no /proc/cpuinfo)"
    else:
        cpu = ", ".join(f"{name} {'yes' if on else 'no'}" for name, on in features.items())
    print(f"{PROG} {d['version']}")
    print(f"module:    {d['module']}")
    print(f"python:    {d['python']}")
    print(f"cpu:       {d['machine']}; {cpu}")
    print(f"auto:      {d['auto']}")
    print(f"qualities: {', '.join(d['qualities'])}")
    print(f"default:   {d['default_quality']}")
    print(f"backends:  {', '.join(tenvira.backend_values())}")
    for name, result in d["backends"].items():
        print(f"  {name:9} -> {result}")
    print(f"libsndfile: {d['libsndfile']}")
    print(f"types:     {', '.join(d['file_types'])}")
    print(f"encodings: {', '.join(d['encodings'])}")
    return 0
