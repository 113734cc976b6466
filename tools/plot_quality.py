#!/usr/bin/env python3
"""Measures every quality preset of the installed tenvira module and the
established resamplers by one method, in one run, and writes the figures
and tables of docs/quality.md.

Every system is treated as a black box fed float32 audio:

- tenvira F32Resampler at each preset (backend "scalar", so that the numbers
  do not depend on the machine),
- python-soxr ResampleStream at LQ, HQ and VHQ,
- python-samplerate's Resampler at sinc_fastest and sinc_best.

Per rate pair and system: a sweep of tones up to the input Nyquist frequency
(level of each tone where it lands, worst spur), THD+N of 997 Hz at -1 dBFS,
pass-band flatness and the -3 dB point, the delay at 997 Hz and the
hold-back (look-ahead) of a stream fed one frame per call.

    python3 -m pip install numpy matplotlib soxr samplerate
    pip install .                                    # the module to measure
    python3 tools/plot_quality.py                    # everything: tables on stdout, docs/img/*.png
    python3 tools/plot_quality.py --pairs 48000:16000 --systems hq,soxr-HQ --tones 24 --no-plots

Presets the installed module does not accept are left out with a note on
stderr. The full run takes a few minutes on one core.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import tenvira

IMG = Path(__file__).resolve().parent.parent / "docs" / "img"
PAIRS = [(48000, 16000), (44100, 48000), (48000, 44100), (16000, 8000), (8000, 16000), (24000, 8000),
         (96000, 44100), (44100, 47999), (11025, 22050), (22050, 11025)]
AMPLITUDE = 0.5
SKIP = 4096  # output frames skipped before the analysis
ANALYSIS = 16384  # output frames analysed per tone
BETA = 20.0  # Kaiser window of the analysis
LOBE = 16  # bins either side of the tone that belong to it
SWEEP = 96  # tones from 50 Hz to 0.999 x the input Nyquist frequency
THD_FREQ, THD_LEVEL = 997.0, 10 ** (-1 / 20)
LATENCY_FRAMES = 9000  # input frames fed one per call for the hold-back
FLOOR = -200.0


# -- the systems ----------------------------------------------------------


@dataclass
class System:
    name: str
    colour: str
    # (fin, fout) -> (push(chunk) -> out, finish() -> out), a fresh stream
    open: Callable[[int, int], tuple[Callable[[np.ndarray], np.ndarray], Callable[[], np.ndarray]]]


def tenvira_system(quality: str, colour: str) -> System:
    def open_(fin: int, fout: int):
        r = tenvira.F32Resampler(fin, fout, 1, quality=quality, backend="scalar")
        return (lambda x: np.asarray(r.process(x)[0], np.float64)), (lambda: np.asarray(r.finish()[0], np.float64))

    return System(quality, colour, open_)


def soxr_system(quality: str, colour: str) -> System:
    import soxr

    def open_(fin: int, fout: int):
        s = soxr.ResampleStream(fin, fout, 1, dtype="float32", quality=quality)
        empty = np.zeros(0, np.float32)
        return (lambda x: s.resample_chunk(x).astype(np.float64)), (
            lambda: s.resample_chunk(empty, last=True).astype(np.float64))

    return System(f"soxr-{quality}", colour, open_)


def samplerate_system(converter: str, colour: str) -> System:
    import samplerate

    def open_(fin: int, fout: int):
        s = samplerate.Resampler(converter, channels=1)
        ratio = fout / fin
        empty = np.zeros(0, np.float32)
        return (lambda x: s.process(x, ratio, end_of_input=False).astype(np.float64)), (
            lambda: s.process(empty, ratio, end_of_input=True).astype(np.float64))

    return System(f"lsr-{converter.removeprefix('sinc_')}", colour, open_)


def all_systems() -> list[System]:
    systems = []
    for q, c in [("fast", "#f4a259"), ("balanced", "#5b8bd0"), ("best", "#3a9d5d"), ("hq", "#d62728"),
                 ("vhq", "#7b1fa2")]:
        try:
            tenvira.F32Resampler(48000, 16000, 1, quality=q)
        except ValueError:
            print(f"note: the installed module has no quality {q!r}; left out", file=sys.stderr)
            continue
        systems.append(tenvira_system(q, c))
    systems += [soxr_system("LQ", "#bbbbbb"), soxr_system("HQ", "#777777"), soxr_system("VHQ", "#222222"),
                samplerate_system("sinc_fastest", "#c9a0dc"), samplerate_system("sinc_best", "#8c564b")]
    return systems


# -- measurements ---------------------------------------------------------


def stream(system: System, fin: int, fout: int, x: np.ndarray) -> np.ndarray:
    push, finish = system.open(fin, fout)
    return np.concatenate([push(x.astype(np.float32)), finish()])


def tone_output(system: System, fin: int, fout: int, f: float, amplitude: float = AMPLITUDE) -> np.ndarray:
    """The ANALYSIS frames after SKIP of one stream fed a tone at f Hz."""
    n_in = math.ceil((SKIP + ANALYSIS) * fin / fout) + 8192  # beyond any system's hold-back
    x = amplitude * np.sin(2 * np.pi * f / fin * np.arange(n_in))
    return stream(system, fin, fout, x)[SKIP:SKIP + ANALYSIS]


def alias_of(f: float, rate: int) -> float:
    f = f % rate
    return rate - f if f > rate / 2 else f


WINDOW = np.kaiser(ANALYSIS, BETA)
WINDOW_GAIN = 2.0 / WINDOW.sum()


def db(x):
    return 20.0 * np.log10(np.maximum(np.abs(x), 10 ** (FLOOR / 20)))


def analyse(y: np.ndarray, fin: int, fout: int, f: float) -> tuple[float, float, float]:
    """(level of the tone where it lands, worst spur anywhere, worst spur at
    or below 0.9 of the output Nyquist frequency), dB re the input tone."""
    landed = alias_of(f, fout)
    n = np.arange(ANALYSIS)
    scale = WINDOW_GAIN / AMPLITUDE
    level = float(db(scale * np.sum(WINDOW * y * np.exp(-2j * np.pi * landed / fout * n))))
    spectrum = db(scale * np.fft.rfft(WINDOW * y))
    freqs = np.fft.rfftfreq(ANALYSIS, 1.0 / fout)
    keep = np.ones(len(freqs), bool)
    if f < fout / 2:
        keep &= np.abs(freqs - f) > LOBE * fout / ANALYSIS
    inner = keep & (freqs <= 0.9 * fout / 2)
    return level, float(spectrum[keep].max()), float(spectrum[inner].max())


def sweep(system: System, fin: int, fout: int, tones: int) -> np.ndarray:
    """Rows (tone, level, spur, spur within 0.9 of the output Nyquist)."""
    fs = np.linspace(50.0, 0.999 * fin / 2, tones)
    return np.array([(f, *analyse(tone_output(system, fin, fout, f), fin, fout, f)) for f in fs])


def thd_n(system: System, fin: int, fout: int) -> tuple[float, float]:
    """(THD+N in dB: everything but the fitted fundamental over the whole
    band; delay of the fundamental in input frames, from its phase)."""
    y = tone_output(system, fin, fout, THD_FREQ, THD_LEVEL)
    t = (SKIP + np.arange(ANALYSIS)) / fout
    basis = np.stack([np.sin(2 * np.pi * THD_FREQ * t), np.cos(2 * np.pi * THD_FREQ * t)], axis=1)
    coef, *_ = np.linalg.lstsq(basis, y, rcond=None)
    fit = basis @ coef
    thd = 20 * math.log10(np.sqrt(np.mean((y - fit) ** 2)) / np.sqrt(np.mean(fit ** 2)))
    # y = A sin(w (t - delay)): the phase lag over w, in input frames.
    lag = -math.atan2(coef[1], coef[0]) / (2 * np.pi * THD_FREQ)
    period = 1.0 / THD_FREQ
    lag = (lag + period / 2) % period - period / 2
    return thd, lag * fin


def level_at(system: System, fin: int, fout: int, f: float) -> float:
    return analyse(tone_output(system, fin, fout, f), fin, fout, f)[0]


def pass_band(system: System, fin: int, fout: int) -> tuple[float, float, float]:
    """(largest |level| up to 0.90 and up to 0.93 of the lower Nyquist
    frequency, the -3 dB point as a fraction of it)."""
    nyq = min(fin, fout) / 2
    grid = np.linspace(0.02, 0.93, 40) * nyq
    levels = np.array([level_at(system, fin, fout, f) for f in grid])
    flat90 = float(np.max(np.abs(levels[grid <= 0.90 * nyq + 1e-9])))
    flat93 = float(np.max(np.abs(levels)))
    lo, hi = 0.5 * nyq, 0.999 * nyq
    if level_at(system, fin, fout, hi) >= -3.0:
        return flat90, flat93, hi / nyq
    if level_at(system, fin, fout, lo) < -3.0:
        return flat90, flat93, lo / nyq
    while hi - lo > 1e-4 * nyq:
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if level_at(system, fin, fout, mid) >= -3.0 else (lo, mid)
    return flat90, flat93, lo / nyq


def hold_back(system: System, fin: int, fout: int) -> float:
    """Fed one input frame per call: the largest (frames appended when output
    frame i first appears) - i x fin / fout."""
    push, _ = system.open(fin, fout)
    x = (0.25 * np.sin(np.arange(LATENCY_FRAMES) * 0.1)).astype(np.float32)
    produced, worst = 0, -math.inf
    for k in range(LATENCY_FRAMES):
        new = len(push(x[k:k + 1]))
        if new:
            first = np.arange(produced, produced + new)
            worst = max(worst, float(np.max((k + 1) - first * fin / fout)))
            produced += new
    return worst


# -- report ---------------------------------------------------------------


def fmt_pair(fin: int, fout: int) -> str:
    return f"{fin} → {fout}"


def measure_pair(systems: list[System], fin: int, fout: int, tones: int, plots: bool) -> list[dict]:
    rows, sweeps = [], {}
    for s in systems:
        started = time.time()
        sw = sweep(s, fin, fout, tones)
        sweeps[s.name] = sw
        thd, delay = thd_n(s, fin, fout)
        flat90, flat93, minus3 = pass_band(s, fin, fout)
        rows.append(dict(system=s.name, spur=-sw[:, 2].max(), spur90=-sw[:, 3].max(), thd=thd, delay=delay,
                         flat90=flat90, flat93=flat93, minus3=minus3, hold=hold_back(s, fin, fout)))
        print(f"  {fmt_pair(fin, fout)} {s.name}: {time.time() - started:.1f} s", file=sys.stderr)
    if plots:
        plot_pair(systems, fin, fout, sweeps)
    return rows


def plot_pair(systems: list[System], fin: int, fout: int, sweeps: dict[str, np.ndarray]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (a, b) = plt.subplots(1, 2, figsize=(9.0, 3.2), dpi=72, sharex=True)
    for s in systems:
        sw = sweeps[s.name]
        a.plot(sw[:, 0], sw[:, 1], color=s.colour, linewidth=1, label=s.name)
        b.plot(sw[:, 0], sw[:, 2], color=s.colour, linewidth=1, label=s.name)
    for ax, title in [(a, "level of the tone where it lands"), (b, "worst spur (anywhere in the output band)")]:
        ax.axvline(min(fin, fout) / 2, color="grey", linewidth=0.8, linestyle=":")
        ax.set_title(title, fontsize=9)
        ax.set_xlabel("input tone (Hz)")
        ax.grid(True, alpha=0.3)
        ax.set_ylim(-200, 10)
    a.set_ylabel("dB re input")
    b.legend(fontsize=6, ncol=2, loc="upper left")
    fig.suptitle(f"{fin} → {fout} Hz", fontsize=10)
    fig.tight_layout()
    path = IMG / f"pair_{fin}_{fout}.png"
    # A 64-colour palette keeps each picture near a third of its RGB size.
    import io

    from PIL import Image

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png")
    plt.close(fig)
    Image.open(buffer).convert("RGB").quantize(colors=64).save(path, optimize=True)
    print(f"wrote {path} ({path.stat().st_size // 1024} KiB)", file=sys.stderr)


def table(results: dict[tuple[int, int], list[dict]]) -> str:
    lines = ["| pair | system | worst spur, dB down | within 0.9 Nyq | THD+N 997 Hz −1 dBFS | flat to 0.90 / 0.93 "
             "(± dB) | −3 dB (× lower Nyq) | delay at 997 Hz (input frames) | hold-back (input frames) |",
             "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    for (fin, fout), rows in results.items():
        for r in rows:
            lines.append(f"| {fmt_pair(fin, fout)} | {r['system']} | {r['spur']:.1f} | {r['spur90']:.1f} | "
                         f"{r['thd']:.1f} dB | {r['flat90']:.4f} / {r['flat93']:.4f} | {r['minus3']:.4f} | "
                         f"{r['delay']:+.2f} | {r['hold']:.1f} |")
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--pairs", help="comma-separated IN:OUT pairs (default: all ten)")
    parser.add_argument("--systems", help="comma-separated system names (default: all)")
    parser.add_argument("--tones", type=int, default=SWEEP, help=f"tones per sweep (default {SWEEP})")
    parser.add_argument("--no-plots", action="store_true", help="tables only")
    args = parser.parse_args()
    pairs = [tuple(int(v) for v in p.split(":")) for p in args.pairs.split(",")] if args.pairs else PAIRS
    systems = all_systems()
    if args.systems:
        wanted = args.systems.split(",")
        systems = [s for s in systems if s.name in wanted]
    if not args.no_plots:
        IMG.mkdir(parents=True, exist_ok=True)
    started = time.time()
    results = {(fin, fout): measure_pair(systems, fin, fout, args.tones, not args.no_plots) for fin, fout in pairs}
    print(table(results))
    print(f"measured in {time.time() - started:.0f} s", file=sys.stderr)


if __name__ == "__main__":
    main()
