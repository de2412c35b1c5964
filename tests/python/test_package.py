"""The tarn package itself: its version and what a star import brings in."""

import re

import tarn

from conftest import ROOT


def test_version_is_the_projects():
    declared = re.search(
        r'^version = "([^"]+)"', (ROOT / "pyproject.toml").read_text(encoding="utf-8"), re.M
    )
    assert declared and tarn.__version__ == declared.group(1)
