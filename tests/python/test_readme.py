"""The README's Python examples run as written and print what they say."""

import contextlib
import io
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"example{i}" for i in range(len(BLOCKS))])
def test_example_runs_and_prints_what_it_says(code):
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, str(README), "exec"), {})  # noqa: S102 - our own documentation
    # A `print(...)  # 16000 frames` line must print a line starting 16000.
    promised = [line.split("#", 1)[1].split()[0] for line in code.splitlines() if line.startswith("print(") and "#" in line]
    lines = printed.getvalue().splitlines()
    assert [line.split()[0] for line in lines] == promised


def test_there_are_examples():
    assert len(BLOCKS) >= 2
