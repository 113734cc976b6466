"""A plain-Python model of the float32 arithmetic of two rendering paths,
used to check the module's output bit for bit.

Design runs in double precision like the module's; float32 rounding is done
with struct, which rounds to nearest. Sums and products of two float32 values
formed in double and then rounded to float32 are correctly rounded (double
has more than twice float32's precision), so each step equals the float32
operation.
"""

import math
import struct

PRESETS = {  # quality: (taps per row, rows, Kaiser beta, fixed filter centre)
    "fast": (24, 256, 5.0, 12),
    "balanced": (48, 512, 7.5, 24),
    "best": (96, 1024, 10.0, 48),
}


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


def bessel_i0(y: float) -> float:
    total, term = 1.0, 1.0
    for k in range(1, 25):
        term = term * (y / float(k * k))
        total = total + term
        if term < total * 1e-14:
            break
    return total


def kaiser(n: int, N: int, beta: float) -> float:
    x = (2.0 * n) / (N - 1) + (-1.0)
    a = math.sqrt(1.0 - x * x) * beta * 0.5
    return bessel_i0(a * a) / bessel_i0((0.5 * beta) * (0.5 * beta))


def polyphase_bank(input_rate: int, output_rate: int, quality: str) -> list[list[float]]:
    taps, phases, beta, _ = PRESETS[quality]
    cutoff = 0.95 * (output_rate / input_rate) if output_rate < input_rate else 0.95
    centre = 0.5 * (taps - 1)
    rows = []
    for p in range(phases):
        frac = p / phases
        row, total = [], 0.0
        for k in range(taps):
            t = ((k - centre) - frac) * cutoff
            s = cutoff if abs(t) < 1e-12 else math.sin(t * math.pi) * cutoff / (t * math.pi)
            h = s * kaiser(k, taps, beta)
            row.append(f32(h))
            total += h
        if total != 0.0:
            norm = f32(total)
            row = [f32(v / norm) for v in row]
        rows.append(row)
    return rows


def half_band(quality: str) -> tuple[list[int], list[float], float]:
    """Offsets, float32 coefficients and float32 centre of the half-band filter."""
    _, _, beta, c = PRESETS[quality]
    N = 2 * c + 1
    h = [0.0] * N
    for n in range(N):
        d = n - c
        if d == 0:
            h[n] = 0.5
        elif n % 2 == 1:
            h[n] = kaiser(n, N, beta) * (math.sin(d * 1.5707963267948966) / (d * math.pi))
    total = 0.0
    for v in h:
        total += v
    h = [v / total for v in h]
    offsets = [n - c for n in range(N) if n % 2 == 1]
    coeffs = [f32(h[n]) for n in range(N) if n % 2 == 1]
    return offsets, coeffs, f32(h[c])


def render_polyphase(samples, channels, input_rate, output_rate, quality):
    """Whole-stream output of the polyphase path with the scalar kernel."""
    rows = polyphase_bank(input_rate, output_rate, quality)
    taps, phases = len(rows[0]), len(rows)
    frames = len(samples) // channels
    ratio = input_rate / output_rate
    total = -(-frames * output_rate // input_rate)
    out, position = [], 0.0
    for _ in range(total):
        w = int(position)
        phase = min(int((position - w) * phases), phases - 1)
        row = rows[phase]
        first = w + 1 - taps // 2
        for k in range(channels):
            acc = 0.0
            for j in range(taps):
                i = first + j
                x = samples[i * channels + k] if 0 <= i < frames else 0.0
                acc = f32(acc + f32(x * row[j]))
            out.append(acc)
        position = ratio + position
    return out


def render_half_band_down(samples, channels, quality):
    """Whole-stream output of the 2:1 half-band path."""
    offsets, coeffs, centre = half_band(quality)
    frames = len(samples) // channels
    total = -(-frames // 2)

    def x(i, k):
        return samples[i * channels + k] if 0 <= i < frames else 0.0

    out = []
    for i in range(total):
        m = 2 * i
        for k in range(channels):
            acc = f32(x(m, k) * centre)
            for d, c in zip(offsets, coeffs):
                acc = f32(acc + f32(x(m - d, k) * c))
            out.append(acc)
    return out
