#!/usr/bin/env python3
"""Measures the filters of the installed tenvira module and writes the
figures and tables of docs/quality.md.

Everything is measured through F32Resampler (backend "scalar", so that the
numbers do not depend on the machine): impulses for the filter shapes, pure
tones for the pass band and the aliases. Nothing is recomputed from the
filter design.

Needs numpy and matplotlib, which the module itself does not:

    python3 -m pip install numpy matplotlib
    pip install .                      # the module to measure
    python3 tools/plot_quality.py      # writes docs/img/*.png, prints tables

The tables printed at the end are the ones in docs/quality.md. The run takes
a minute or two.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Callable
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import tenvira  # noqa: E402

BACKEND = "scalar"
QUALITIES = ["fast", "balanced", "best"]
COLOURS = {"fast": "tab:orange", "balanced": "tab:blue", "best": "tab:green"}
IMG = Path(__file__).resolve().parent.parent / "docs" / "img"
NFFT = 1 << 16
FLOOR_DB = -180.0
TONE_AMPLITUDE = 0.5
ANALYSIS = 8192  # output frames analysed per tone
WINDOW_BETA = 20.0  # Kaiser window, side lobes far below any measured level


def run(rate_in: int, rate_out: int, quality: str, x: np.ndarray) -> np.ndarray:
    """The whole stream: process, then finish."""
    r = tenvira.F32Resampler(rate_in, rate_out, 1, quality=quality, backend=BACKEND)
    out, _ = r.process(x.tolist())
    tail, _ = r.finish()
    return np.asarray(out + tail, dtype=np.float64)


def db(x: np.ndarray | float) -> np.ndarray:
    return 20.0 * np.log10(np.maximum(np.abs(x), 10 ** (FLOOR_DB / 20)))


def impulse(n: int, at: int) -> np.ndarray:
    x = np.zeros(n)
    x[at] = 1.0
    return x


# -- impulse responses ------------------------------------------------------


def interpolator_response(rate_in: int, factor: int, quality: str, length: int = 400) -> np.ndarray:
    """Impulse response of rate_in -> factor * rate_in, at the output rate,
    scaled to unit gain at DC."""
    y = run(rate_in, factor * rate_in, quality, impulse(length, length // 2))
    return y / y.sum()


def decimator_response(rate_in: int, factor: int, quality: str, length: int = 400) -> np.ndarray:
    """The filter of rate_in -> rate_in / factor at the input rate: an impulse
    at each of the `factor` input phases reads a different set of taps, and
    together they give every tap."""
    h = np.zeros(length + 2 * factor)
    at = length // 2
    for phase in range(factor):
        y = run(rate_in, rate_in // factor, quality, impulse(length, at + phase))
        for i, v in enumerate(y):
            m = at + phase - factor * i + length // 2
            if 0 <= m < len(h):
                h[m] = v
    return h / h.sum()


def magnitude(h: np.ndarray, rate: float) -> tuple[np.ndarray, np.ndarray]:
    spectrum = np.fft.rfft(h, NFFT)
    return np.fft.rfftfreq(NFFT, 1.0 / rate), np.abs(spectrum)


# -- tones ------------------------------------------------------------------


def alias_of(f: float, rate: int) -> float:
    f = f % rate
    return rate - f if f > rate / 2 else f


def tone(rate_in: int, rate_out: int, quality: str, f: float) -> tuple[float, np.ndarray, np.ndarray]:
    """Feeds a sine of TONE_AMPLITUDE at f and analyses ANALYSIS output frames
    after the start. Returns the level (dB re the input) of the component at
    the frequency where the tone lands, and the windowed output spectrum in
    dB re the input with its frequencies."""
    skip = 400
    n_in = math.ceil((ANALYSIS + 2 * skip) * rate_in / rate_out)
    x = TONE_AMPLITUDE * np.sin(2 * np.pi * f / rate_in * np.arange(n_in))
    y = run(rate_in, rate_out, quality, x)[skip : skip + ANALYSIS]
    w = np.kaiser(ANALYSIS, WINDOW_BETA)
    gain = 2.0 / w.sum() / TONE_AMPLITUDE
    landed = alias_of(f, rate_out)
    n = np.arange(ANALYSIS)
    level = float(db(gain * np.sum(w * y * np.exp(-2j * np.pi * landed / rate_out * n))))
    spectrum = db(gain * np.fft.rfft(w * y))
    return level, np.fft.rfftfreq(ANALYSIS, 1.0 / rate_out), spectrum


def unwanted_in_band(rate_in: int, rate_out: int, quality: str, f: float, band: float) -> float:
    """The strongest output component below `band` Hz that is not the tone
    itself (an alias, an image or error), in dB re the input."""
    _, freqs, spectrum = tone(rate_in, rate_out, quality, f)
    keep = freqs <= band
    if f < rate_out / 2:
        keep &= np.abs(freqs - f) > 12 * rate_out / ANALYSIS  # the tone's main lobe
    return float(spectrum[keep].max())


def crossing(level: Callable[[float], float], good: float, bad: float, inside: Callable[[float], bool]) -> float:
    """Bisection between a frequency where inside(level) holds and one where
    it does not; returns the last frequency inside, to 0.5 Hz."""
    while abs(bad - good) > 0.5:
        mid = 0.5 * (good + bad)
        if inside(level(mid)):
            good = mid
        else:
            bad = mid
    return good


def pass_band(level: Callable[[float], float], top: float, step: float) -> tuple[float, float]:
    """(highest frequency up to which the level stays within +-0.1 dB, the
    -3 dB frequency), from a sweep refined by bisection."""
    grid = np.arange(step, top, step)
    levels = [level(f) for f in grid]
    i = next(k for k, v in enumerate(levels) if abs(v) > 0.1)
    edge = crossing(level, grid[i - 1], grid[i], lambda v: abs(v) <= 0.1)
    j = next(k for k, v in enumerate(levels) if v < -3.0)
    minus3 = crossing(level, grid[j - 1], grid[j], lambda v: v >= -3.0)
    return edge, minus3


def worst(values: np.ndarray) -> float:
    return -float(np.max(values))


def stop_band(f: np.ndarray, level: np.ndarray, minus3: float, top: float) -> tuple[float, float]:
    """The stop band starts at the first null of the response above the
    -3 dB frequency; returns (that frequency, the weakest attenuation from
    there up to `top`)."""
    i = int(np.searchsorted(f, minus3))
    while not (level[i] < level[i - 1] and level[i] <= level[i + 1]):
        i += 1
    band = (f >= f[i]) & (f <= top)
    return float(f[i]), worst(level[band])


# -- figures ----------------------------------------------------------------


def figure(title: str, xlabel: str, with_zoom: bool = True) -> tuple[plt.Figure, plt.Axes]:
    """A wide response plot, and on its right a pass-band zoom that `zoom`
    fills in."""
    if with_zoom:
        fig, (ax, detail) = plt.subplots(
            1, 2, figsize=(9.0, 3.4), dpi=90, gridspec_kw={"width_ratios": [3, 1]}
        )
        detail.set_title("pass band", fontsize=9)
        detail.set_ylim(-0.3, 0.1)
        detail.grid(True, alpha=0.3)
        detail.set_xlabel(xlabel.split(" (")[0])
    else:
        fig, ax = plt.subplots(figsize=(9.0, 3.4), dpi=90)
    ax.set_title(title, fontsize=10)
    ax.set_xlabel(xlabel)
    ax.set_ylabel("dB")
    ax.grid(True, alpha=0.3)
    return fig, ax


def save(fig: plt.Figure, name: str) -> None:
    fig.tight_layout()
    path = IMG / name
    fig.savefig(path)
    plt.close(fig)
    print(f"wrote {path} ({path.stat().st_size // 1024} KiB)", file=sys.stderr)


def zoom(ax: plt.Axes, lines: list[tuple[np.ndarray, np.ndarray, str, str]], xlim: tuple[float, float]) -> None:
    detail = ax.figure.axes[1]
    for f, m, colour, style in lines:
        detail.plot(f, m, color=colour, linestyle=style, linewidth=1)
    detail.set_xlim(*xlim)


def polyphase_figure() -> dict[str, tuple[np.ndarray, np.ndarray]]:
    """The bank for upsampling and equal rates, seen through 3000 -> 48000
    (16 output frames per input frame, so that every 16th row of the bank is
    read and the response is sampled finely in time)."""
    fig, ax = figure(
        "Polyphase bank, upsampling (impulse through 3000 -> 48000 Hz)",
        "frequency / input rate",
    )
    curves, lines = {}, []
    for q in QUALITIES:
        f, m = magnitude(interpolator_response(3000, 16, q), 16.0)
        curves[q] = (f, m)
        ax.plot(f, db(m), color=COLOURS[q], linewidth=1, label=q)
        lines.append((f, db(m), COLOURS[q], "-"))
    ax.axvline(0.5, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xlim(0, 2.0)
    ax.set_ylim(-150, 10)
    ax.legend(loc="upper right", fontsize=8)
    zoom(ax, lines, (0, 0.5))
    save(fig, "polyphase.png")
    return curves


def fixed_figures() -> dict[str, tuple[np.ndarray, np.ndarray, float]]:
    """Half-band (8000 <-> 16000 at balanced and best), third-band
    (24000 -> 8000) and IIR (8000 <-> 16000 at fast)."""
    out: dict[str, tuple[np.ndarray, np.ndarray, float]] = {}

    fig, ax = figure("Half-band filter, 8000 <-> 16000 Hz (balanced, best)", "frequency at 16 kHz (Hz)")
    lines = []
    for q in ["balanced", "best"]:
        f, m = magnitude(interpolator_response(8000, 2, q), 16000)
        fd, md = magnitude(decimator_response(16000, 2, q), 16000)
        out[f"half-band {q}"] = (f, m, 16000)
        ax.plot(f, db(m), color=COLOURS[q], linewidth=1, label=f"{q}, 8000 -> 16000")
        ax.plot(fd, db(md), color=COLOURS[q], linewidth=1, linestyle="--", label=f"{q}, 16000 -> 8000")
        lines.append((f, db(m), COLOURS[q], "-"))
    ax.axvline(4000, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xlim(0, 8000)
    ax.set_ylim(-160, 10)
    ax.legend(loc="upper right", fontsize=8)
    zoom(ax, lines, (0, 4000))
    save(fig, "halfband.png")

    fig, ax = figure("Third-band filter, 24000 -> 8000 Hz", "frequency at 24 kHz (Hz)")
    lines = []
    for q in QUALITIES:
        f, m = magnitude(decimator_response(24000, 3, q), 24000)
        out[f"third-band {q}"] = (f, m, 24000)
        ax.plot(f, db(m), color=COLOURS[q], linewidth=1, label=q)
        lines.append((f, db(m), COLOURS[q], "-"))
    ax.axvline(4000, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xlim(0, 12000)
    ax.set_ylim(-160, 10)
    ax.legend(loc="upper right", fontsize=8)
    zoom(ax, lines, (0, 4000))
    save(fig, "thirdband.png")

    fig, ax = figure("IIR converter, 8000 <-> 16000 Hz (fast)", "frequency at 16 kHz (Hz)")
    f, m = magnitude(interpolator_response(8000, 2, "fast", length=8192), 16000)
    out["IIR fast"] = (f, m, 16000)
    ax.plot(f, db(m), color=COLOURS["fast"], linewidth=1, label="8000 -> 16000, impulse")
    # The decimator is not time-invariant per input frame; measure it with tones.
    tones = np.arange(37.5, 8000.0, 50.0)
    levels = [tone(16000, 8000, "fast", t)[0] for t in tones]
    ax.plot(tones, levels, color="tab:red", linewidth=1, linestyle="--", label="16000 -> 8000, tones (alias level above 4 kHz)")
    ax.axvline(4000, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xlim(0, 8000)
    ax.set_ylim(-120, 10)
    ax.legend(loc="lower left", fontsize=8)
    zoom(ax, [(f, db(m), COLOURS["fast"], "-")], (0, 4000))
    save(fig, "iir.png")
    return out


def fixed_table(curves: dict[str, tuple[np.ndarray, np.ndarray, float]]) -> list[str]:
    rows = [
        "| Filter | Pass band (within 0.1 dB) | -3 dB | At 4 kHz | Stop-band rejection |",
        "|---|---|---|---|---|",
    ]
    for name, (f, m, rate) in curves.items():
        level = db(m)
        edge = f[np.argmax(np.abs(level) > 0.1) - 1]
        minus3 = f[np.argmax(level < -3.0) - 1]
        at4k = level[np.argmin(np.abs(f - 4000))]
        stop, rejection = stop_band(f, level, minus3, rate / 2)
        rows.append(
            f"| {name} | 0 - {edge:.0f} Hz | {minus3:.0f} Hz | {at4k:.1f} dB | "
            f"{rejection:.1f} dB from {stop:.0f} Hz |"
        )
    return rows


def pair_figures_and_table(bank: dict[str, tuple[np.ndarray, np.ndarray]]) -> list[str]:
    rows = [
        "| Conversion | Quality | Pass band (within 0.1 dB) | -3 dB | At the lower Nyquist | "
        "Stop-band rejection | Alias rejection |",
        "|---|---|---|---|---|---|---|",
    ]

    # 48000 -> 16000: the read position is always a whole input frame, so
    # the conversion is one FIR filter (row 0 of the bank) and decimation.
    fig, ax = figure("48000 -> 16000 Hz, tones", "input tone frequency (Hz)", with_zoom=False)
    # Off the multiples of 8 kHz, where a tone lands on 0 Hz or on the
    # output Nyquist frequency and its level depends on its phase.
    tones = np.arange(37.5, 24000.0, 50.0)
    for q in QUALITIES:
        ax.plot(tones, [tone(48000, 16000, q, t)[0] for t in tones], color=COLOURS[q], linewidth=1, label=q)
        edge, minus3 = pass_band(lambda t: tone(48000, 16000, q, t)[0], 8000.0, 50.0)
        f, m = magnitude(decimator_response(48000, 3, q), 48000)
        stop, stop_rejection = stop_band(f, db(m), minus3, 24000)
        aliases = [unwanted_in_band(48000, 16000, q, t, edge) for t in np.arange(16000 - edge, 24000.0, 25.0)]
        at_nyquist = float(db(np.interp(8000.0, f, m)))
        rows.append(
            f"| 48000 -> 16000 | {q} | 0 - {edge:.0f} Hz | {minus3:.0f} Hz | {at_nyquist:.1f} dB | "
            f"{stop_rejection:.1f} dB from {stop:.0f} Hz | {worst(np.array(aliases)):.1f} dB |"
        )
    ax.axvline(8000, color="grey", linewidth=0.8, linestyle=":")
    ax.set_xlim(0, 24000)
    ax.set_ylim(-160, 10)
    ax.legend(loc="upper right", fontsize=8)
    save(fig, "sweep_48000_16000.png")

    # 44100 -> 48000: the read position moves by 147/160 of an input frame,
    # so the bank's rows take turns; the row grid adds its own error.
    fig, ax = figure("44100 -> 48000 Hz, tones", "input tone frequency (Hz)", with_zoom=False)
    tones = np.arange(100.0, 22050.0, 100.0)
    for q in QUALITIES:
        levels: list[float] = []
        spurious: list[float] = []
        for t in tones:
            level, freqs, spectrum = tone(44100, 48000, q, t)
            keep = np.abs(freqs - t) > 12 * 48000 / ANALYSIS
            levels.append(level)
            spurious.append(float(spectrum[keep].max()))
        ax.plot(tones, levels, color=COLOURS[q], linewidth=1, label=f"{q}, tone")
        ax.plot(tones, spurious, color=COLOURS[q], linewidth=1, linestyle="--", label=f"{q}, strongest other")
        edge, minus3 = pass_band(lambda t: tone(44100, 48000, q, t)[0], 22050.0, 100.0)
        f, m = bank[q]
        f = f * 44100
        stop, stop_rejection = stop_band(f, db(m), minus3, f[-1])
        in_band = [unwanted_in_band(44100, 48000, q, t, edge) for t in np.arange(100.0, edge, 100.0)]
        at_nyquist = float(db(np.interp(22050.0, f, m)))
        rows.append(
            f"| 44100 -> 48000 | {q} | 0 - {edge:.0f} Hz | {minus3:.0f} Hz | {at_nyquist:.1f} dB | "
            f"{stop_rejection:.1f} dB from {stop:.0f} Hz | {worst(np.array(in_band)):.1f} dB |"
        )
    ax.set_xlim(0, 22050)
    ax.set_ylim(-120, 10)
    ax.legend(loc="lower left", fontsize=7, ncol=3)
    save(fig, "sweep_44100_48000.png")
    return rows


def main() -> None:
    IMG.mkdir(parents=True, exist_ok=True)
    plt.rcParams.update({"font.size": 8})
    bank = polyphase_figure()
    fixed = fixed_figures()
    print("\n".join(pair_figures_and_table(bank)))
    print()
    print("\n".join(fixed_table(fixed)))


if __name__ == "__main__":
    main()
