#!/usr/bin/env python3
"""The numpy prototype behind the studio-quality presets' design constants
(src/filter/hq_design.cpp, docs/hq.md).

For a window half-width H, every Kaiser beta gives a deepest stop band that
still starts at the lower Nyquist frequency once the cut-off is as low as
the promised -3 dB point allows; the script finds the beta of the deepest
one. vhq takes the shortest H, in whole vectors of 8 frames (rows are
multiples of 16 taps, so a shorter H in between costs the same), whose
deepest stop band reaches its attenuation. hq takes H = 101.3, below the
shortest such H for 134 dB: its 3:2 stages (48000 -> 16000 and 24000 ->
8000 after a half-band stage) then need 2 H 1.5 <= 304 taps, a vector of
16 fewer, for 0.6 dB of the stop band (hq promises 130 dB). Then the script
measures the error of interpolating rows of each prototype (4-point
Lagrange, and linear for comparison) at several table densities.

    python3 tools/hq_prototype.py      # needs numpy; a minute or two
"""

import numpy as np

OVERSAMPLE = 32  # prototype samples per frame of the lower rate, for its spectrum
NFFT = 1 << 22

PRESETS = {
    # name: (attenuation dB, pass band edge, flatness dB, -3 dB at least, half-width or None
    # for the shortest in steps of 8), the frequencies as fractions of the lower Nyquist frequency
    "hq": (133.0, 0.90, 0.01, 0.9502, 101.3),
    "vhq": (150.0, 0.93, 0.001, 0.9602, None),
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


def deepest(half, edge, minus3, lowest):
    """The beta whose stop band from the Nyquist frequency on is deepest
    once the cut-off is the lowest that keeps the -3 dB point at `minus3`;
    beta as its nominal attenuation, from `lowest` dB on in steps of 1 dB,
    then 0.25 dB around the best. Returns (stop dB, attenuation, cut-off as
    a fraction of Nyquist, beta, pass-band ripple, -3 dB point)."""
    def candidate(attenuation):
        beta = 0.1102 * (attenuation - 8.7)
        lo, hi = minus3 * 0.5, 0.5
        for _ in range(18):
            mid = 0.5 * (lo + hi)
            f, db = response(half, mid, beta)
            lo, hi = (lo, mid) if f[np.argmax(db < -3)] / 0.5 >= minus3 else (mid, hi)
        f, db = response(half, hi, beta)
        return (-db[f >= 0.5].max(), attenuation, hi / 0.5, beta, np.abs(db[f <= edge * 0.5]).max(),
                f[np.argmax(db < -3)] / 0.5)

    best = None
    for attenuation in np.arange(lowest, lowest + 40.0, 1.0):
        c = candidate(attenuation)
        if best is not None and c[0] < best[0] - 3.0:
            break  # past the deepest: the transition now reaches beyond Nyquist
        if best is None or c[0] > best[0]:
            best = c
    for attenuation in best[1] + np.array([-0.75, -0.5, -0.25, 0.25, 0.5, 0.75]):
        c = candidate(attenuation)
        if c[0] > best[0]:
            best = c
    return best


def design(attenuation, edge, flatness, minus3, half):
    for h in [half] if half is not None else range(128, 240, 8):
        stop, nominal, cutoff, beta, ripple, at3 = deepest(h, edge, minus3, attenuation - 16.0)
        if stop >= attenuation and ripple <= flatness:
            return h, stop, nominal, cutoff, beta, ripple, at3
        if half is None:
            print(f"  half-width {h}: at most {stop:.1f} dB")
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
        print(f"{name}:")
        half, stop, nominal, cutoff, beta, ripple, at3 = design(*targets)
        print(f"{name}: half-width {half} frames of the lower rate, beta {beta:.5f} (nominal {nominal:.2f} dB), "
              f"cut-off {cutoff:.5f}; stop band {stop:.1f} dB from Nyquist, ripple {ripple:.2e} dB, "
              f"-3 dB at {at3:.4f}")
        for rows in (64, 128, 256):
            e = interpolation_error(half, cutoff * 0.5, beta, rows)
            print(f"  {rows} rows per frame: cubic {e['cubic']:.1f} dB, linear {e['linear']:.1f} dB")


if __name__ == "__main__":
    main()
