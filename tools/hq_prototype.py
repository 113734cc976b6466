#!/usr/bin/env python3
"""The numpy prototype behind the studio-quality presets' design constants
(src/filter/hq_design.cpp, docs/hq.md).

For each preset it finds the shortest Kaiser-windowed sinc whose stop band
(at the preset's attenuation) starts at the lower Nyquist frequency while
the -3 dB point and the pass band stay where the preset promises; then it
measures the error of interpolating rows of that prototype (4-point
Lagrange, and linear for comparison) at several table densities.

    python3 tools/hq_prototype.py      # needs numpy; about half a minute
"""

import numpy as np

OVERSAMPLE = 32  # prototype samples per frame of the lower rate, for its spectrum
NFFT = 1 << 22

PRESETS = {
    # name: (attenuation dB, pass band edge, flatness dB, -3 dB at least), as
    # fractions of the lower Nyquist frequency
    "hq": (134.0, 0.90, 0.01, 0.95),
    "vhq": (150.0, 0.93, 0.001, 0.96),
}


def prototype(half, fc, beta, t):
    """h(t): ideal low-pass of cut-off fc (cycles per frame) times a Kaiser
    window of half-length `half` frames."""
    w = np.i0(beta * np.sqrt(np.maximum(0.0, 1.0 - (t / half) ** 2))) / np.i0(beta)
    return np.where(np.abs(t) < half, 2 * fc * np.sinc(2 * fc * t) * w, 0.0)


def response(half, fc, beta):
    t = np.arange(-half * OVERSAMPLE, half * OVERSAMPLE + 1) / OVERSAMPLE
    h = prototype(half, fc, beta, t)
    f = np.fft.rfftfreq(NFFT, 1 / OVERSAMPLE)  # cycles per frame; Nyquist at 0.5
    return f, 20 * np.log10(np.maximum(np.abs(np.fft.rfft(h, NFFT)) / OVERSAMPLE, 1e-20))


def design(attenuation, edge, flatness, minus3):
    beta = 0.1102 * (attenuation - 8.7)
    for half in range(80, 240, 2):
        # The highest cut-off whose stop band still starts at the Nyquist frequency.
        lo, hi = 0.40, 0.5
        for _ in range(30):
            mid = 0.5 * (lo + hi)
            f, db = response(half, mid, beta)
            lo, hi = (mid, hi) if -db[f >= 0.5].max() >= attenuation else (lo, mid)
        f, db = response(half, lo, beta)
        ripple = np.abs(db[f <= edge * 0.5]).max()
        at3 = f[np.argmax(db < -3)] / 0.5
        if at3 >= minus3 and ripple <= flatness:
            return half, lo / 0.5, beta, ripple, at3
    raise RuntimeError("no design")


def interpolation_error(half, fc, beta, rows):
    """Worst gain of the error filter (dB) between an exact row and the one
    interpolated from a table of `rows` rows per frame, over random phases."""
    taps = np.arange(-half + 1, half + 1)
    worst = {"cubic": -400.0, "linear": -400.0}
    for phase in np.random.default_rng(0).uniform(0, 1, 24):
        exact = prototype(half, fc, beta, taps - phase)
        k = int(np.floor(phase * rows))
        a = phase * rows - k
        near = [prototype(half, fc, beta, taps - (k + m) / rows) for m in (-1, 0, 1, 2)]
        weights = [-a * (a - 1) * (a - 2) / 6, (a + 1) * (a - 1) * (a - 2) / 2, -(a + 1) * a * (a - 2) / 2,
                   (a + 1) * a * (a - 1) / 6]
        for name, approx in (("cubic", sum(w * r for w, r in zip(weights, near))),
                             ("linear", (1 - a) * near[1] + a * near[2])):
            err = 20 * np.log10(np.abs(np.fft.rfft(approx - exact, 8192)).max())
            worst[name] = max(worst[name], err)
    return worst


def main():
    for name, targets in PRESETS.items():
        half, cutoff, beta, ripple, at3 = design(*targets)
        print(f"{name}: half-width {half} frames of the lower rate ({2 * half} taps), cut-off {cutoff:.5f}, "
              f"beta {beta:.5f}; ripple {ripple:.2e} dB, -3 dB at {at3:.4f}")
        for rows in (64, 128, 256):
            e = interpolation_error(half, cutoff * 0.5, beta, rows)
            print(f"  {rows} rows per frame: cubic {e['cubic']:.1f} dB, linear {e['linear']:.1f} dB")


if __name__ == "__main__":
    main()
