import inspect
import pathlib
import shutil
import subprocess

import pytest

import tenvira

QUALITIES = ["fast", "balanced", "best"]
BACKENDS = ["auto", "scalar", "avx2", "avx2+fma", "avx512", "neon", "rvv"]


def test_module_doc_is_empty_string():
    assert tenvira.__doc__ == ""


@pytest.mark.parametrize(
    "fn, expected", [(tenvira.quality_values, QUALITIES), (tenvira.backend_values, BACKENDS)]
)
def test_name_lists_are_fresh_on_every_call(fn, expected):
    first = fn()
    assert first == expected
    assert all(type(x) is str for x in first)
    first.append("extra")
    first[0] = "changed"
    assert fn() == expected
    assert fn() is not fn()


@pytest.mark.parametrize("fn", [tenvira.quality_values, tenvira.backend_values])
def test_name_functions_take_no_arguments(fn):
    assert str(inspect.signature(fn)) == "()"
    assert fn.__text_signature__ == "()"
    assert fn.__doc__ is None
    assert fn.__module__ == "tenvira"
    with pytest.raises(TypeError):
        fn(1)
    with pytest.raises(TypeError):
        fn(x=1)


def test_all_lists_module_contents_in_order():
    names = list(tenvira.__all__)
    assert names[-2:] == ["quality_values", "backend_values"]
    public = [n for n in vars(tenvira) if not n.startswith("__")]
    assert public == names


def test_extension_exports_only_its_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    path = pathlib.Path(tenvira.__file__)
    assert path.name.endswith(".abi3.so")
    out = subprocess.run([nm, "-D", "--defined-only", str(path)], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_tenvira"]
    deps = subprocess.run(["ldd", str(path)], capture_output=True, text=True).stdout
    assert "libpython" not in deps
    assert "libstdc++" not in deps
