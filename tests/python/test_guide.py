"""docs/guide.md runs: its Python blocks execute in order, its commands print what it shows."""

import contextlib
import io
import re
import shlex

import pytest

from tarn.cli import main

from conftest import ROOT

GUIDE = (ROOT / "docs" / "guide.md").read_text(encoding="utf-8")
BLOCKS = re.findall(r"^```(python|console)\n(.*?)^```", GUIDE, flags=re.S | re.M)
PYTHON = [body for kind, body in BLOCKS if kind == "python"]


def commands():
    """(command line, expected output lines) for every "$ tarn" line of the console blocks."""
    found = []
    for kind, body in BLOCKS:
        if kind != "console":
            continue
        for line in body.splitlines():
            if line.startswith("$ "):
                found.append((line[2:], []))
            elif found:
                found[-1][1].append(line)
    return found


def test_guide_has_examples():
    assert len(PYTHON) >= 8 and len(commands()) >= 8


@pytest.mark.parametrize("n", range(len(PYTHON)))
def test_python_block(n, monkeypatch):
    monkeypatch.chdir(ROOT)
    namespace: dict = {}
    for k, code in enumerate(PYTHON[: n + 1]):
        with contextlib.redirect_stdout(io.StringIO()):
            exec(compile(code, f"guide.md python block {k + 1}", "exec"), namespace)


@pytest.mark.parametrize(
    "line, expected", commands(), ids=lambda x: x if isinstance(x, str) else ""
)
def test_console_command(line, expected, monkeypatch, capsys):
    monkeypatch.chdir(ROOT)
    argv = shlex.split(line)
    assert argv[0] == "tarn"
    code = main(argv[1:])
    out, err = capsys.readouterr()
    if err:
        assert code == 1
    else:
        assert code == 0
    assert (out + err).splitlines() == expected
