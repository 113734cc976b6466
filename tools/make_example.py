#!/usr/bin/env python3
"""Writes examples/chirp_and_voice_48k.wav: 3 s of 48 kHz 16-bit stereo.

Left channel: an exponential sine sweep from 40 Hz to 23 kHz, which runs past
every usual output Nyquist frequency and so shows what a resampler does with
content it has to remove. Right channel: speech-like tones, syllables of a
gliding fundamental with its harmonics shaped by vowel formants and separated
by short pauses.

Standard library only; the output is the same on every run:

    python3 tools/make_example.py            # writes the file in examples/
    python3 tools/make_example.py OUT.wav    # writes it elsewhere
"""

from __future__ import annotations

import math
import struct
import sys
import wave
from pathlib import Path

RATE = 48000
SECONDS = 3.0
FRAMES = int(RATE * SECONDS)
DEFAULT_OUT = Path(__file__).resolve().parent.parent / "examples" / "chirp_and_voice_48k.wav"

# Formant centre frequencies (Hz) of five vowels.
VOWELS = {
    "a": (730.0, 1090.0, 2440.0),
    "e": (530.0, 1840.0, 2480.0),
    "i": (270.0, 2290.0, 3010.0),
    "o": (570.0, 840.0, 2410.0),
    "u": (300.0, 870.0, 2240.0),
}
# (start s, length s, vowel, f0 at start, f0 at end)
SYLLABLES = [
    (0.10, 0.22, "a", 125.0, 150.0),
    (0.36, 0.18, "i", 150.0, 140.0),
    (0.62, 0.30, "o", 140.0, 110.0),
    (1.05, 0.20, "e", 130.0, 165.0),
    (1.30, 0.25, "u", 165.0, 120.0),
    (1.75, 0.22, "a", 200.0, 230.0),
    (2.02, 0.18, "e", 230.0, 210.0),
    (2.28, 0.40, "i", 210.0, 150.0),
]
FORMANT_BANDWIDTH = 90.0
VOICE_TOP = 5000.0  # no harmonics above this


def chirp(n: int) -> float:
    """Exponential sweep, faded in and out over 20 ms."""
    f0, f1 = 40.0, 23000.0
    t = n / RATE
    k = math.log(f1 / f0) / SECONDS
    phase = 2.0 * math.pi * f0 * (math.exp(k * t) - 1.0) / k
    fade = min(1.0, t / 0.02, (SECONDS - t) / 0.02)
    return 0.35 * fade * math.sin(phase)


def formant_gain(f: float, formants: tuple[float, float, float]) -> float:
    return 0.02 + sum(1.0 / (1.0 + ((f - fc) / FORMANT_BANDWIDTH) ** 2) for fc in formants)


def voice() -> list[float]:
    out = [0.0] * FRAMES
    for start, length, vowel, f_start, f_end in SYLLABLES:
        first, count = int(start * RATE), int(length * RATE)
        formants = VOWELS[vowel]
        phase = 0.0
        for i in range(count):
            u = i / count
            f0 = f_start + (f_end - f_start) * u
            phase += 2.0 * math.pi * f0 / RATE
            envelope = math.sin(math.pi * u) ** 2
            harmonics = int(VOICE_TOP // f0)
            # Each harmonic falls off as 1/h and is lifted near the formants.
            s = sum(
                formant_gain(h * f0, formants) / h * math.sin(h * phase)
                for h in range(1, harmonics + 1)
            )
            out[first + i] = 0.12 * envelope * s
    return out


def main() -> None:
    path = Path(sys.argv[1]) if len(sys.argv) > 1 else DEFAULT_OUT
    path.parent.mkdir(parents=True, exist_ok=True)
    right = voice()
    peak = max(abs(x) for x in right)
    scale = 0.5 / peak  # voice peaks at -6 dBFS
    frames = bytearray()
    for n in range(FRAMES):
        left = round(chirp(n) * 32767)
        frames += struct.pack("<hh", left, round(right[n] * scale * 32767))
    with wave.open(str(path), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(bytes(frames))
    print(f"wrote {path}: {FRAMES} frames, {RATE} Hz, 16-bit stereo")


if __name__ == "__main__":
    main()
