"""The tarn package itself: its version and what a star import brings in."""

import re

import tarn

from conftest import ROOT


def test_version_is_the_projects():
    declared = re.search(
        r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M
    )
    assert declared and tarn.__version__ == declared.group(1)


def test_star_import_keeps_builtins():
    namespace: dict = {}
    exec("from tarn import *", namespace)
    assert "open" not in namespace and "compile" not in namespace
    assert "PyTrace" in namespace and "PyExpr" in namespace
