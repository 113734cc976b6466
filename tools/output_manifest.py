#!/usr/bin/env python3
"""Hashes of the module's output over a grid of configurations.

Every rate-pair path, quality, channel count, backend and sample type is run
on a fixed signal, once in one call and once in uneven chunks, and the bytes
of each output are hashed. `--write FILE` records the manifest; `--check FILE`
compares the installed module against it and lists every entry that changed.
Backends this processor lacks are skipped on both sides.

    python3 tools/output_manifest.py --write manifest.txt
    python3 tools/output_manifest.py --check tests/data/output_manifest.txt
"""

from __future__ import annotations

import argparse
import hashlib
import sys
from collections.abc import Iterator

import numpy as np

import tenvira

PAIRS = [
    (8000, 16000), (16000, 8000), (24000, 8000), (8000, 24000), (24000, 16000), (16000, 24000),
    (44100, 48000), (48000, 44100), (48000, 16000), (16000, 16000), (96000, 44100), (11025, 22050),
    (1000, 48000), (48000, 1000),
]
QUALITIES = ["fast", "balanced", "best"]
CHANNELS = [1, 2, 3]
BACKENDS = ["scalar", "avx2", "avx512"]
CLASSES = {"f32": tenvira.F32Resampler, "i16": tenvira.I16Resampler}
CHUNKS = [1, 7, 160, 1000, 3, 480]
FRAMES = 4000


def signal(frames: int, channels: int, kind: str) -> np.ndarray:
    """A sweep plus noise, different in every channel, full scale for int16."""
    rng = np.random.default_rng(1234 + channels)
    n = np.arange(frames, dtype=np.float64)
    out = np.empty((frames, channels), dtype=np.float64)
    for k in range(channels):
        sweep = np.sin(2 * np.pi * (0.001 + 0.0001 * k) * n * n / frames * 40)
        out[:, k] = 0.6 * sweep + 0.35 * rng.uniform(-1, 1, frames)
    if kind == "i16":
        return np.clip(np.round(out * 32767 * 1.05), -32768, 32767).astype(np.int16).reshape(-1)
    return out.astype(np.float32).reshape(-1)


def run(r: object, data: np.ndarray, channels: int, chunked: bool) -> bytes:
    parts = []
    if chunked:
        at, i = 0, 0
        while at < len(data) // channels:
            n = CHUNKS[i % len(CHUNKS)]
            out, _ = r.process(data[at * channels : (at + n) * channels])  # type: ignore[attr-defined]
            parts.append(out)
            at += n
            i += 1
    else:
        out, _ = r.process(data)  # type: ignore[attr-defined]
        parts.append(out)
    tail, _ = r.finish()  # type: ignore[attr-defined]
    parts.append(tail)
    dtype = np.float32 if isinstance(data[0], np.floating) else np.int16
    return b"".join(np.asarray(p, dtype=dtype).tobytes() for p in parts)


def entries() -> Iterator[tuple[str, str]]:
    for kind, cls in CLASSES.items():
        for channels in CHANNELS:
            data = signal(FRAMES, channels, kind)
            for rin, rout in PAIRS:
                for quality in QUALITIES:
                    for backend in BACKENDS:
                        try:
                            r = cls(rin, rout, channels, quality=quality, backend=backend)
                        except ValueError:
                            continue  # not on this processor
                        for mode in ("whole", "chunked"):
                            if mode == "chunked":
                                r.reset()
                            digest = hashlib.sha256(run(r, data, channels, mode == "chunked")).hexdigest()[:20]
                            yield f"{kind} {rin}->{rout} {quality} {channels}ch {backend} {mode}", digest


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("--write", metavar="FILE")
    group.add_argument("--check", metavar="FILE")
    args = parser.parse_args()
    if args.write:
        with open(args.write, "w", encoding="ascii") as f:
            for key, digest in entries():
                f.write(f"{key} {digest}\n")
        return 0
    with open(args.check, encoding="ascii") as f:
        recorded = dict(line.rsplit(" ", 1) for line in f.read().splitlines())
    changed = [key for key, digest in entries() if recorded.get(key, digest) != digest]
    for key in changed:
        print(f"changed: {key}")
    print(f"{len(recorded)} entries recorded, {len(changed)} changed")
    return 1 if changed else 0


if __name__ == "__main__":
    sys.exit(main())
