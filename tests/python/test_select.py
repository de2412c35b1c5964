"""Loads that keep only some signals (tarn.open(path, signals=[...])): every query sees the kept
signals alone, and they read exactly as in a full load, for the corpus of real dumps and the FST
fixtures of every packing."""

import pytest

import tarn
from tarn import PyExpr, PyTrace

from conftest import DATA, corpus_files, values


def kept(full: PyTrace, patterns: list[str]) -> list[str]:
    found = set()
    for p in patterns:
        found.update(full.find_signals_glob(p))
    return [n for n in full.signal_names() if n in found]


def check_kept(full: PyTrace, part: PyTrace, patterns: list[str], default_width: int) -> None:
    names = kept(full, patterns)
    assert part.signal_names() == names
    assert part.scopes() == [s for s in full.scopes() if any(n.startswith(s + ".") for n in names)]
    assert part.max_index() == full.max_index()
    assert [part.timestamp(i) for i in range(part.max_index() + 1)] == [
        full.timestamp(i) for i in range(full.max_index() + 1)
    ]
    assert part.timescale() == full.timescale()
    for n in names:
        assert values(part, n) == values(full, n), n
        assert part.signal_width(n) == full.signal_width(n), n
        assert part.value_kinds(n) == full.value_kinds(n), n
    for n in set(full.signal_names()) - set(names):
        # The others are unknown names: the defaults.
        assert part.signal_id(n) is None
        assert part.signal_value(n, 0) is None
        assert part.signal_width(n) == default_width
    assert part.find_signals_glob("*") == names
    assert set(part.snapshot(part.max_index())) == set(names)


def patterns_for(full: PyTrace) -> list[list[str]]:
    """A scope's signals, one name, a name and its aliases' neighbours, a clock-like name."""
    names, scopes = full.signal_names(), full.scopes()
    out = [["*clk*"], []]
    if names:
        out.append([names[len(names) // 2]])
        out.append([names[0], names[-1]])
    if scopes:
        out.append([scopes[-1] + ".*"])
        out.append([scopes[len(scopes) // 2] + ".?*"])
    return out


CORPUS = [p for p in corpus_files("vcd") + corpus_files("fst")]


@pytest.mark.parametrize("path", CORPUS, ids=[p.name for p in CORPUS])
def test_corpus_dumps(path):
    fmt = tarn.detect_format(path)
    full = tarn.open(path)
    width = 0 if fmt == "vcd" else 1
    for patterns in patterns_for(full):
        check_kept(full, tarn.open(path, signals=patterns), patterns, width)


FIXTURES = sorted((DATA / "fst").glob("*.fst"))


@pytest.mark.parametrize("path", FIXTURES, ids=[p.name for p in FIXTURES])
def test_fst_fixtures(path):
    if path.name.startswith("killed"):
        pytest.skip("does not load")
    full = tarn.open(path)
    for patterns in patterns_for(full) + [["*.bus", "*.bus?*"]]:
        check_kept(full, tarn.open(path, signals=patterns), patterns, 1)


def test_bus_dumped_bit_by_bit():
    # The FST and VCD of a bus dumped bit by bit: the assembled vector can be kept without its
    # bits, and its values are those of the full load.
    fst = DATA / "fst" / "bits_lz4.fst"
    for path in (fst, DATA / "fst" / "bits_lz4.fst2vcd.vcd"):
        full = tarn.open(path)
        vectors = [n for n in full.signal_names() if f"{n}[0]" in full.signal_names()
                   or f"{n} [0]" in full.signal_names()]
        assert vectors, full.signal_names()
        for v in vectors:
            part = tarn.open(path, signals=v)
            assert part.signal_names() == [v]
            assert values(part, v) == values(full, v)


HEURISTIC = corpus_files("fsdb") + corpus_files("vpd") + corpus_files("wlf") + [
    p for p in corpus_files("shm") if p.is_dir()
]


@pytest.mark.parametrize("path", HEURISTIC, ids=[p.name for p in HEURISTIC])
def test_other_formats_filter_their_trace(path):
    try:
        full = tarn.open(path)
    except ValueError:
        pytest.skip("does not load")
    for patterns in patterns_for(full)[:4]:
        check_kept(full, tarn.open(path, signals=patterns), patterns, 1)


VCD = """$timescale 1ns $end
$scope module top $end
$scope module cpu $end
$var wire 1 ! clk $end
$var wire 8 " pc [7:0] $end
$upscope $end
$scope module mem $end
$var wire 1 ! clk $end
$var wire 4 # addr $end
$upscope $end
$upscope $end
$enddefinitions $end
#0
0!
b0 "
b0 #
#5
1!
b1 "
#10
0!
b10 #
$scope module top $end
$var wire 1 $ late $end
$upscope $end
#15
1!
1$
b11 "
"""


@pytest.fixture
def small(tmp_path):
    path = tmp_path / "small.vcd"
    path.write_text(VCD)
    return str(path)


def test_patterns_and_their_forms(small):
    full = tarn.open(small)
    # One str is one pattern; any iterable of str works; patterns are anchored and
    # case-sensitive, "*" runs across dots.
    assert tarn.open(small, signals="top.cpu.*").signal_names() == ["top.cpu.clk", "top.cpu.pc"]
    assert tarn.open(small, signals=("*.clk",)).signal_names() == ["top.cpu.clk", "top.mem.clk"]
    assert tarn.open(small, signals=iter(["top.*c"])).signal_names() == ["top.cpu.pc"]
    assert tarn.open(small, signals=["TOP.*"]).signal_names() == []
    assert tarn.open(small, signals=["top.???.clk"]).signal_names() == [
        "top.cpu.clk", "top.mem.clk"]
    # One code under a kept and an unkept name: only the kept name is there, with its values.
    mem = tarn.open(small, signals=["top.mem.clk"])
    assert mem.signal_names() == ["top.mem.clk"]
    assert mem.scopes() == ["top", "top.mem"]
    assert values(mem, "top.mem.clk") == values(full, "top.mem.clk")
    # A signal declared after the first time stamp.
    late = tarn.open(small, signals=["*late"])
    assert values(late, "top.late") == values(full, "top.late")
    # No patterns: nothing kept, the time stamps all there.
    none = tarn.open(small, signals=[])
    assert none.signal_names() == [] and none.scopes() == []
    assert none.max_index() == full.max_index()
    # Queries over the kept signals.
    cpu = tarn.open(small, signals="top.cpu.*")
    clk = PyExpr.signal(cpu.signal_id("top.cpu.clk"))
    assert cpu.find(clk) == full.find(PyExpr.signal(full.signal_id("top.cpu.clk")))
    assert [c[0] for c in cpu.changed_at(1)] == ["top.cpu.clk", "top.cpu.pc"]
    assert cpu.local_scopes("top") == ["top.cpu"]
    assert cpu.find(tarn.compile(cpu, "top.cpu.pc == 3")) == [3]


def test_bad_signals_argument(small):
    with pytest.raises(TypeError, match="argument 'signals'"):
        tarn.open(small, signals=["top.*", 3])  # type: ignore[list-item]
    with pytest.raises(TypeError):
        tarn.open(small, signals=5)  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="argument 'format'"):
        PyTrace.load(small, "nope", None)
    # The loader's messages are those of the plain loaders.
    with pytest.raises(ValueError) as e:
        PyTrace.load(small + ".missing", "vcd", ["*"])
    assert str(e.value).startswith("Failed to open ")
