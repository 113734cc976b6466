"""Builds the benchmarks and the module, runs them side by side with the
established resamplers, prints the tables and saves them under
bench/results/.

    python3 bench/run.py [--quick] [--label NAME]

Installs what it needs: the -dev packages of soxr, libsamplerate and
speexdsp (apt-get) and python-soxr, python-samplerate, scipy and numpy (pip).
"""

import argparse
import collections
import datetime
import json
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "bench"
APT_PACKAGES = ["libsoxr-dev", "libsamplerate0-dev", "libspeexdsp-dev"]


def sh(cmd, **kw):
    return subprocess.run(cmd, check=True, **kw)


def install_dependencies():
    missing = [p for p in APT_PACKAGES if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode != 0]
    if missing:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        print(f"installing {' '.join(missing)}", file=sys.stderr)
        sh(sudo + ["apt-get", "update", "-qq"])
        sh(sudo + ["apt-get", "install", "-y", "-qq", *missing], env={**os.environ, "DEBIAN_FRONTEND": "noninteractive"})
    sh([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check", "-r", str(ROOT / "bench" / "requirements.txt")],
       env={**os.environ, "PIP_ROOT_USER_ACTION": "ignore"})


def build():
    sh(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Release", "-DTENVIRA_BUILD_BENCH=ON",
        "-DTENVIRA_BUILD_MODULE=ON", f"-DPython_EXECUTABLE={sys.executable}"], stdout=subprocess.DEVNULL)
    sh(["cmake", "--build", str(BUILD), "-j", str(os.cpu_count() or 1)], stdout=subprocess.DEVNULL,
       stderr=subprocess.DEVNULL)


def run_lines(cmd, env=None):
    out = subprocess.run(cmd, check=True, capture_output=True, text=True, env=env).stdout
    return [json.loads(line) for line in out.splitlines() if line.startswith("{")]


def cpu_model():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def cpu_mhz():
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("cpu MHz"):
                return float(line.split(":", 1)[1])
    except (OSError, ValueError):
        pass
    return 0.0


# Multiply-adds per output sample of a polyphase frame at quality balanced.
POLYPHASE_TAPS = 48
FIXED_PAIRS = {"16000->8000", "8000->16000", "24000->8000"}


def fma_bound(pair, channels, mhz):
    """Input frames/s if every cycle retired two 8-lane fused multiply-adds
    (this CPU's peak) and did nothing else: the polyphase paths only."""
    if pair in FIXED_PAIRS or mhz <= 0:
        return None
    fin, fout = (int(x) for x in pair.split("->"))
    outputs_per_second = mhz * 1e6 * 16 / POLYPHASE_TAPS
    return outputs_per_second * fin / fout / channels


def mfps(x):
    return f"{x / 1e6:.1f}" if x else "–"


def engine_tables(rows, mhz, auto_backend):
    by_workload = collections.OrderedDict()
    for r in rows:
        if "pair" not in r:
            continue
        key = (r["pair"], r["channels"], r["format"])
        by_workload.setdefault(key, {})[(r["engine"], r["variant"])] = r["fps"]

    lines = [
        "### Engine (C++), input Mframes/s, 20 ms chunks, one core",
        "",
        "tenvira at quality balanced with backend auto, what a caller gets without naming one (the backend it",
        "picks is in the second column; every named backend is in the table after this one);",
        "ratio = tenvira / peer; FMA bound = share of the input rate at which the polyphase inner products alone",
        f"would keep two 8-lane fused multiply-adds busy every cycle at {mhz:.0f} MHz.",
        "",
        "| workload | tenvira | backend | soxr HQ | soxr LQ | lsr fastest | lsr medium | speex q3 | speex q8 "
        "| ×soxr HQ | ×speex q3 | of FMA bound |",
        "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for (pair, ch, fmt), v in by_workload.items():
        ours, backend = v.get(("tenvira", "balanced/auto")), auto_backend
        peers = [v.get(k) for k in [("soxr", "HQ"), ("soxr", "LQ"), ("libsamplerate", "SINC_FASTEST"),
                                    ("libsamplerate", "SINC_MEDIUM"), ("speexdsp", "q3"), ("speexdsp", "q8")]]
        ratio = lambda p: f"{ours / p:.2f}" if ours and p else "–"  # noqa: E731
        bound = fma_bound(pair, ch, mhz)
        share = f"{ours / bound:.0%}" if ours and bound else "–"
        lines.append(f"| {pair} {'mono' if ch == 1 else 'stereo'} {fmt} | {mfps(ours)} | {backend} | "
                     + " | ".join(mfps(p) for p in peers) + f" | {ratio(peers[0])} | {ratio(peers[4])} | {share} |")

    lines += ["", "### tenvira by quality and backend, input Mframes/s", ""]
    variants = []
    for v in by_workload.values():
        for engine, variant in v:
            if engine == "tenvira" and variant not in variants:
                variants.append(variant)
    lines.append("| workload | " + " | ".join(variants) + " |")
    lines.append("|---|" + "---:|" * len(variants))
    for (pair, ch, fmt), v in by_workload.items():
        lines.append(f"| {pair} {'mono' if ch == 1 else 'stereo'} {fmt} | "
                     + " | ".join(mfps(v.get(("tenvira", x))) for x in variants) + " |")
    return lines


def construction_table(rows):
    lines = ["### Construction (filter design included) and heap bytes per stereo stream", "",
             "| path | quality | µs | KiB |", "|---|---|---:|---:|"]
    for r in rows:
        if "construction" in r:
            lines.append(f"| {r['construction']} | {r['quality']} | {r['microseconds']:.0f} | {r['bytes'] / 1024:.1f} |")
    return lines


def studio_tables(engine_rows, python_rows, mhz):
    """The studio-quality presets against soxr at the matching setting: hq
    against HQ, vhq against VHQ, in C++ and through Python's process_into."""
    cost = {(r["studio_cost"], r["quality"]): r for r in engine_rows if "studio_cost" in r}
    engine = collections.defaultdict(dict)
    for r in engine_rows:
        if "pair" in r:
            engine[(r["pair"], r["channels"], r["format"])][(r["engine"], r["variant"])] = r["fps"]
    lines = [
        "### Studio presets against soxr (hq vs HQ, vhq vs VHQ), input Mframes/s, 20 ms chunks",
        "",
        "Engine: tenvira's fastest backend on this CPU. FMA bound: the share of the rate at which the inner",
        "products alone (the design's multiply-adds per output frame, half-band stages included) would keep two",
        f"8-lane float32 (hq) or 4-lane float64 (vhq; float32 in a split row's tails) fused multiply-adds busy",
        f"every cycle at {mhz:.0f} MHz.",
        "Where the polyphase stage runs as overlap-save blocks (docs/hq.md), which need fewer operations than",
        "those multiply-adds, the share can pass 100%.",
        "",
        "| workload | hq | soxr HQ | ×soxr HQ | hq of FMA bound | vhq | soxr VHQ | ×soxr VHQ | vhq of FMA bound |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for (pair, ch, fmt), v in engine.items():
        row = [f"{pair} {'mono' if ch == 1 else 'stereo'} {fmt}"]
        for quality, peer in (("hq", "HQ"), ("vhq", "VHQ")):
            ours = max((fps for (e, var), fps in v.items() if e == "tenvira" and var.startswith(quality + "/")),
                       default=None)
            theirs = v.get(("soxr", peer))
            c = cost.get((pair, quality))
            share = "–"
            if ours and c and mhz > 0:
                fin, fout = (int(x) for x in pair.split("->"))
                # Cycles per output frame and channel: 16 float32 or 8
                # float64 multiply-adds a cycle.
                wide = c["float64_madds"]
                cycles = wide / 8 + (c["madds_per_output"] - wide) / 16
                bound = mhz * 1e6 / (cycles * fout / fin * ch)
                share = f"{ours / bound:.0%}"
            row += [mfps(ours), mfps(theirs), f"{ours / theirs:.2f}" if ours and theirs else "–", share]
        lines.append("| " + " | ".join(row) + " |")

    by_workload = collections.defaultdict(dict)
    for r in python_rows:
        by_workload[(r["pair"], r["channels"], r["format"])][f"{r['engine']}: {r['variant']}"] = r["fps"]
    lines += ["", "Python, `process_into` with numpy arrays against python-soxr's `ResampleStream` (numpy):", "",
              "| workload | hq | soxr HQ | ×soxr HQ | vhq | soxr VHQ | ×soxr VHQ |", "|---|---:|---:|---:|---:|---:|---:|"]
    for (pair, ch, fmt), v in by_workload.items():
        row = [f"{pair} {'mono' if ch == 1 else 'stereo'} {fmt}"]
        for quality, peer in (("hq", "HQ"), ("vhq", "VHQ")):
            ours = v.get(f"tenvira: process_into {quality}")
            theirs = v.get(f"python-soxr: ResampleStream {peer} (numpy)")
            row += [mfps(ours), mfps(theirs), f"{ours / theirs:.2f}" if ours and theirs else "–"]
        lines.append("| " + " | ".join(row) + " |")
    return lines


def python_table(rows):
    by_workload = collections.OrderedDict()
    for r in rows:
        by_workload.setdefault((r["pair"], r["channels"], r["format"]), []).append(r)
    lines = ["### Python level, input Mframes/s, 20 ms chunks (tenvira at quality balanced, backend auto)", ""]
    columns = []
    for rs in by_workload.values():
        for r in rs:
            name = f"{r['engine']}: {r['variant']}"
            if name not in columns:
                columns.append(name)
    lines.append("| workload | " + " | ".join(columns) + " |")
    lines.append("|---|" + "---:|" * len(columns))
    for (pair, ch, fmt), rs in by_workload.items():
        v = {f"{r['engine']}: {r['variant']}": r["fps"] for r in rs}
        lines.append(f"| {pair} {'mono' if ch == 1 else 'stereo'} {fmt} | " + " | ".join(mfps(v.get(c)) for c in columns) + " |")
    # Ratios to python-soxr, each against the peer call a caller in the same
    # position would make: buffers against ResampleStream on numpy arrays,
    # lists and numpy arrays in with lists out against a caller of soxr that
    # holds lists.
    pairs = [
        ("process_into ÷ soxr HQ", "tenvira: process_into(numpy, numpy)", "python-soxr: ResampleStream HQ (numpy)"),
        ("process_array ÷ soxr HQ", "tenvira: process_array(numpy (frames, channels))",
         "python-soxr: ResampleStream HQ (numpy)"),
        ("process_into ÷ soxr QQ", "tenvira: process_into(numpy, numpy)", "python-soxr: ResampleStream QQ (numpy)"),
        ("process(numpy) ÷ soxr lists", "tenvira: process(numpy)", "python-soxr: ResampleStream HQ (list -> list)"),
        ("process(list) ÷ soxr lists", "tenvira: process(list) -> list", "python-soxr: ResampleStream HQ (list -> list)"),
    ]
    lines += ["", "Ratios to python-soxr (tenvira at balanced; soxr QQ is its weakest setting, HQ its default):", "",
              "| workload | " + " | ".join(p[0] for p in pairs) + " |", "|---|" + "---:|" * len(pairs)]
    for (pair, ch, fmt), rs in by_workload.items():
        v = {f"{r['engine']}: {r['variant']}": r["fps"] for r in rs}
        cells = [f"{v[a] / v[b]:.2f}" if v.get(a) and v.get(b) else "–" for _, a, b in pairs]
        lines.append(f"| {pair} {'mono' if ch == 1 else 'stereo'} {fmt} | " + " | ".join(cells) + " |")
    return lines


def scale_tables(rows):
    """One call against chunks, threads, and many resamplers (bench_scale.py)."""
    lines = ["### One long call, 48000 -> 16000 stereo float32, input Mframes/s (best of 5)", "",
             "| system | call | Mframes/s |", "|---|---|---:|"]
    for r in rows:
        if r.get("table") == "long":
            lines.append(f"| {r['engine']} | {r['variant']} ({r['seconds']} s) | {mfps(r['fps'])} |")
    lines += ["", "### Two threads, each with its own resampler: 44100 -> 48000 stereo float32, tenvira best, "
              "soxr HQ; total input Mframes/s", "",
              "| system | chunks | one thread | two threads | scaling |", "|---|---:|---:|---:|---:|"]
    for r in rows:
        if r.get("table") == "threads":
            lines.append(f"| {r['engine']} | {r['chunk_ms']} ms | {mfps(r['one'])} | {mfps(r['two'])} | "
                         f"{r['two'] / r['one']:.2f}× |")
    lines += ["", "### Many streams: stereo 44100 -> 48000 resamplers made while one exists", "",
              "| system | quality | count | µs each | KiB each | MiB in all |", "|---|---|---:|---:|---:|---:|"]
    for r in rows:
        if r.get("table") == "streams":
            lines.append(f"| {r['engine']} | {r['quality']} | {r['count']} | {r['us_each']:.1f} | "
                         f"{r['kib_each']:.1f} | {r['mib_total']:.0f} |")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer runs and workloads, under a minute")
    parser.add_argument("--label", default="", help="suffix for the results file, e.g. 'before'")
    parser.add_argument("--skip-setup", action="store_true", help="do not install packages")
    args = parser.parse_args()

    started = time.time()
    if not args.skip_setup:
        install_dependencies()
    build()
    quick = ["--quick"] if args.quick else []
    engine_rows = run_lines([str(BUILD / "bench_engine"), *quick])
    env = {**os.environ, "PYTHONPATH": str(BUILD)}
    python_rows = run_lines([sys.executable, str(ROOT / "bench" / "bench_python.py"), *quick], env=env)
    scale_rows = run_lines([sys.executable, str(ROOT / "bench" / "bench_scale.py"), *quick], env=env)
    auto = subprocess.run([sys.executable, "-c", "import tenvira; print(tenvira.F32Resampler(48000, 16000, 1).selected_backend)"],
                          capture_output=True, text=True, env=env).stdout.strip()
    commit = subprocess.run(["git", "-C", str(ROOT), "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()

    today = datetime.date.today().isoformat()
    lines = [
        f"# Benchmark {today}{' (' + args.label + ')' if args.label else ''}",
        "",
        f"- CPU: {cpu_model()}, {os.cpu_count()} cores at {cpu_mhz():.0f} MHz; backend chosen by auto: {auto}",
        f"- commit {commit or 'unknown'}, {'quick' if args.quick else 'full'} run, {time.time() - started:.0f} s",
        "",
        *construction_table(engine_rows),
        "",
        *engine_tables(engine_rows, cpu_mhz(), auto),
        "",
        *python_table(python_rows),
        "",
        *scale_tables(scale_rows),
        "",
        *studio_tables(engine_rows, python_rows, cpu_mhz()),
        "",
    ]
    text = "\n".join(lines)
    print(text)
    results = ROOT / "bench" / "results"
    results.mkdir(parents=True, exist_ok=True)
    name = today + (f"-{args.label}" if args.label else "") + ("-quick" if args.quick else "") + ".md"
    (results / name).write_text(text)
    print(f"saved bench/results/{name}", file=sys.stderr)


if __name__ == "__main__":
    if shutil.which("cmake") is None:
        sys.exit("cmake is needed (pip install cmake)")
    main()
