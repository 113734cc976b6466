"""Every output recorded in tests/data/output_manifest.txt comes out bit for bit the same.

The manifest covers every rate-pair path, quality, channel count, backend and
sample type, in one call and in uneven chunks (tools/output_manifest.py).
"""

import importlib.util
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
_spec = importlib.util.spec_from_file_location("output_manifest", ROOT / "tools" / "output_manifest.py")
assert _spec is not None and _spec.loader is not None
manifest = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(manifest)


def test_recorded_outputs_are_unchanged():
    lines = (ROOT / "tests" / "data" / "output_manifest.txt").read_text(encoding="ascii").splitlines()
    recorded = dict(line.rsplit(" ", 1) for line in lines)
    produced = dict(manifest.entries())
    assert produced, "no configuration could be built"
    assert set(produced) <= set(recorded), "configurations missing from the manifest"
    changed = sorted(key for key, digest in produced.items() if recorded[key] != digest)
    assert changed == []
