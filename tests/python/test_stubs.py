"""The type stubs of tarn._core describe exactly what the compiled module exposes."""

import ast
import inspect
import pathlib

import pytest

from tarn import _core

STUB = pathlib.Path(_core.__file__).with_name("_core.pyi")


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            methods = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    static = any(
                        isinstance(d, ast.Name) and d.id == "staticmethod"
                        for d in item.decorator_list
                    )
                    params = [a.arg for a in item.args.posonlyargs + item.args.args]
                    methods[item.name] = (static, params)
            classes[node.name] = methods
    return classes


def module_methods(cls):
    methods = {}
    for name, attr in vars(cls).items():
        if name.startswith("__"):
            continue
        static = isinstance(attr, staticmethod)
        func = getattr(cls, name)
        params = list(inspect.signature(func).parameters)
        if not static:
            # Instance methods are unbound here: the text signature's $self is the first one.
            params = ["self"] + params[1:] if params and params[0] == "self" else params
        methods[name] = (static, params)
    return methods


def test_stub_lists_the_module_classes():
    public = {n for n, v in vars(_core).items() if not n.startswith("_") and isinstance(v, type)}
    assert set(stub_classes()) == public == {"PyTrace", "PyExpr"}


@pytest.mark.parametrize("cls_name", ["PyTrace", "PyExpr"])
def test_stub_methods_match_text_signatures(cls_name):
    cls = getattr(_core, cls_name)
    actual = module_methods(cls)
    expected = stub_classes()[cls_name]
    assert sorted(expected) == sorted(actual)
    for name, (static, params) in expected.items():
        assert actual[name] == (static, params), name


def test_stub_docstrings_match_module_docstrings():
    stub = ast.parse(STUB.read_text(encoding="utf-8"))
    for node in stub.body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(_core, node.name)
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and hasattr(cls, item.name):
                doc = ast.get_docstring(item)
                if doc is not None:
                    assert inspect.getdoc(getattr(cls, item.name)) == doc, item.name
