import os
import pathlib
import warnings

import pytest

import tarn
from tarn import PyExpr, PyTrace

ROOT = pathlib.Path(__file__).resolve().parents[2]
# The corpus of real dumps from many simulators (TARN_CORPUS, by default beside the project);
# the tests that read it skip without it.
CORPUS = pathlib.Path(os.environ.get("TARN_CORPUS") or ROOT.parent / "shared" / "corpus")
EXAMPLES = ROOT / "examples"
DATA = ROOT / "tests" / "data"


def corpus_files(kind: str, suffix: str | None = None):
    """Files of one format from the shared corpus of real dumps (empty when it is absent)."""
    folder = CORPUS / kind
    if not folder.is_dir():
        return []
    return sorted(p for p in folder.iterdir() if suffix is None or p.name.endswith(suffix))


@pytest.fixture
def example_vcd() -> str:
    return os.fspath(EXAMPLES / "counter.vcd")


def sig(t: PyTrace, name: str) -> PyExpr:
    """The expression reading signal ``name`` of ``t``."""
    return PyExpr.signal(t.signal_id(name))


def values(t: PyTrace, name: str) -> list:
    """A signal's value at every index."""
    return t.signal_values_range(name, 0, t.max_index() + 1)


def exercise(t: PyTrace) -> None:
    """Every query answers on the trace: what a best-effort reader recovers is a trace like any
    other."""
    names = t.signal_names()
    n = t.max_index() + 1
    for name in names[:50]:
        t.signal_id(name)
        t.signal_width(name)
        t.signal_value(name, n - 1)
        assert len(t.signal_values_range(name, 0, n)) == n
    assert t.signal_value("no such signal", 0) is None
    assert t.signal_width("no such signal") == 1
    t.changed_at(0)
    t.snapshot(0)
    t.local_scopes("")
    t.find_signals_glob("*")
    t.find_signals_containing("a")
    if names:
        sid = t.signal_id(names[0])
        t.transitions(names[0])
        t.signal_stats(names[0])
        t.find(PyExpr.signal(sid))
        t.parallel_count(PyExpr.signal(sid))


def check_corpus(t: PyTrace, expect: list[str]) -> None:
    """A real dump's trace: the names expected among its names, no name twice, time stamps
    rising from 0, and every query answering."""
    names = t.signal_names()
    assert set(expect) <= set(names)
    assert len(set(names)) == len(names)
    stamps = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert stamps == sorted(set(stamps)) and stamps[0] == 0
    exercise(t)


def write_dump(path: pathlib.Path, data) -> str:
    """Write a dump: bytes as a file, a dict of names to bytes as a folder of files (an SHM
    database)."""
    if isinstance(data, dict):
        path.mkdir()
        for part, content in data.items():
            (path / part).write_bytes(content)
    else:
        path.write_bytes(data)
    return os.fspath(path)


def opened(path, **kwargs):
    """The trace tarn.open gives, and the warnings it emits as (category, text)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        trace = tarn.open(path, **kwargs)
    return trace, [(w.category, str(w.message)) for w in caught]
