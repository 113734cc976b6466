"""The installed type stub describes the module that is installed: the same
names, members, parameter names and finality. (mypy --strict checks the
stub's types in tools/test.sh.)"""

import ast
import inspect
import pathlib

import pytest

import tenvira

SITE = pathlib.Path(tenvira.__file__).parent
STUB = SITE / "tenvira.pyi"
CLASSES = [tenvira.F32Resampler, tenvira.I16Resampler, tenvira.ProcessStats]
Py_TPFLAGS_BASETYPE = 1 << 10


def stub_tree():
    return ast.parse(STUB.read_text(encoding="utf-8"))


def stub_class(name):
    (node,) = [n for n in stub_tree().body if isinstance(n, ast.ClassDef) and n.name == name]
    return node


def decorators(node):
    return {d.id for d in node.decorator_list if isinstance(d, ast.Name)}


def parameters(fn):
    args = fn.args
    assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None and args.kwarg is None
    return [a.arg for a in args.args[1:]]  # without self / cls


def test_stub_and_marker_are_installed_beside_the_module():
    assert (SITE / "py.typed").is_file()
    # mypy finds stubs of a top-level module only in a stub-only package.
    assert (SITE / "tenvira-stubs" / "__init__.pyi").read_bytes() == STUB.read_bytes()


def test_stub_lists_the_module_names():
    tree = stub_tree()
    (all_node,) = [
        n for n in tree.body if isinstance(n, ast.Assign) and [t.id for t in n.targets] == ["__all__"]
    ]
    assert ast.literal_eval(all_node.value) == tenvira.__all__
    public = [
        n.name
        for n in tree.body
        if isinstance(n, (ast.ClassDef, ast.FunctionDef)) and not n.name.startswith("_")
    ]
    assert sorted(public) == sorted(tenvira.__all__)


@pytest.mark.parametrize("name", ["quality_values", "backend_values"])
def test_functions_take_no_arguments(name):
    (fn,) = [n for n in stub_tree().body if isinstance(n, ast.FunctionDef) and n.name == name]
    assert fn.args.args == [] and str(inspect.signature(getattr(tenvira, name))) == "()"


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_members_match(cls):
    node = stub_class(cls.__name__)
    methods, properties = set(), set()
    for item in node.body:
        if isinstance(item, ast.FunctionDef) and not item.name.startswith("__"):
            (properties if "property" in decorators(item) else methods).add(item.name)
    runtime = {n: v for n, v in vars(cls).items() if not n.startswith("_")}
    assert methods == {n for n, v in runtime.items() if inspect.ismethoddescriptor(v)}
    assert properties == {n for n, v in runtime.items() if inspect.isdatadescriptor(v)}


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_final_in_both(cls):
    assert "final" in decorators(stub_class(cls.__name__))
    assert not cls.__flags__ & Py_TPFLAGS_BASETYPE


@pytest.mark.parametrize("cls", CLASSES[:2], ids=lambda c: c.__name__)
def test_parameter_names_match(cls):
    node = stub_class(cls.__name__)
    stub = {
        n.name: parameters(n)
        for n in node.body
        if isinstance(n, ast.FunctionDef) and "property" not in decorators(n)
    }
    assert stub.pop("__new__") == list(inspect.signature(cls).parameters)
    for name, params in stub.items():
        assert params == list(inspect.signature(getattr(cls, name)).parameters)[1:], name
