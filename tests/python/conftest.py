import os
import platform

import pytest

import tenvira


def cpu_flags() -> set[str]:
    try:
        with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


def pytest_report_header(config):
    flags = cpu_flags()
    wanted = [name for name in ("avx2", "fma", "f16c", "avx512f") if name in flags]
    lines = [
        f"tenvira: {tenvira.__file__}",
        f"cpu: {platform.machine()} features: {' '.join(wanted) or 'none of avx2/fma/avx512f'}",
    ]
    if hasattr(tenvira, "F32Resampler"):
        lines.append(f"auto backend: {tenvira.F32Resampler(48000, 16000, 1).selected_backend}")
    return lines


def pytest_configure(config):
    config.addinivalue_line("markers", "installed: needs the installed distribution (its metadata or scripts)")


def pytest_collection_modifyitems(config, items):
    # The quick loop (tools/test.sh --quick) runs against a build folder:
    # nothing is installed there.
    if os.environ.get("TENVIRA_QUICK") != "1":
        return
    skip = pytest.mark.skip(reason="the quick loop installs nothing")
    for item in items:
        if "installed" in item.keywords:
            item.add_marker(skip)
