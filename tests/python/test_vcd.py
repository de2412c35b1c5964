"""VCD loading: declarations, value changes, time stamps, odd text, files and the corpus."""

import math

import pytest

from tarn import PyTrace

from conftest import corpus_files

BASIC = """$scope module top $end
$var wire 1 ! clk $end
$upscope $end
#0
1!
#10
0!
"""


def load(text: str) -> PyTrace:
    return PyTrace.from_vcd_string(text)


def values(trace: PyTrace, name: str) -> list:
    return trace.signal_values_range(name, 0, trace.max_index() + 1)


def test_basic_dump():
    t = load(BASIC)
    assert t.signal_names() == ["top.clk"]
    assert t.scopes() == ["top"]
    assert [t.timestamp(0), t.timestamp(1)] == [0, 10]
    assert values(t, "top.clk") == [1, 0]
    assert t.signal_width("top.clk") == 1
    assert t.signal_id("top.clk") == 0


def test_declarations():
    t = load(
        "$scope module top $end\n$scope module cpu $end\n"
        "$var wire 8 # data [7:0] $end\n$var wire 8 $ addr[7:0] $end\n"
        "$var wire eight % d $end\n$var wire 4 # alias $end\n"
        "$upscope $end\n$scope module cpu $end\n$upscope $end\n$upscope $end\n"
        "$var wire 1 & outside $end\n$var wire 1 ' $end\n"
    )
    assert t.scopes() == ["top", "top.cpu"]  # reopened scope listed once
    # five parts make a declaration, even when the fifth is the closing keyword
    assert t.signal_names() == ["top.cpu.data", "top.cpu.addr", "top.cpu.d", "top.cpu.alias",
                                "outside", "$end"]
    assert t.signal_width("top.cpu.data") == 8
    assert t.signal_width("top.cpu.addr") == 8
    assert t.signal_width("top.cpu.d") == 1  # unreadable width
    assert t.signal_id("top.cpu.alias") == t.signal_id("top.cpu.data") == 0
    assert t.signal_id("outside") == 3
    assert t.signal_width("unknown") == 0


def test_redeclared_name_takes_the_last_declaration():
    t = load("$var wire 1 ! a $end\n$var wire 4 # a $end\n#0\n1!\nb1010 #\n")
    assert t.signal_names() == ["a"]
    assert t.signal_width("a") == 4
    assert t.signal_value("a", 0) == 10


def test_value_changes():
    t = load(
        "$var wire 4 # v $end\n$var real 1 % r $end\n$var wire 1 ! b $end\n"
        "#0\nb10x1 #\nr2.5 %\nz!\n#1\nb101 #\nrabc %\n1!\n#2\nb111\nx!\nrnan %\n"
        "#3\nB11 #\nR-1e3 %\n"
    )
    assert t.signal_value("v", 0) is None  # Logic
    assert t.signal_value_raw("v", 0) == 0
    assert values(t, "v") == [None, 5, 5, 3]  # "b111" without a space is ignored
    assert t.signal_value("r", 0) == 2.5
    assert t.signal_value("r", 1) == 0.0  # unreadable real
    assert math.isnan(t.signal_value("r", 2))
    assert t.signal_value("r", 3) == -1000.0
    assert values(t, "b") == [None, 1, None, None]  # z is Logic, x is Missing and not carried


def test_forward_fill_and_time_stamps():
    t = load("$var wire 1 ! a $end\n$var wire 1 # b $end\n"
             "#5\n1!\n#5\n#3\n0#\n#\n#-4\n#99999999999999999999\n")
    assert [t.timestamp(i) for i in range(6)] == [5, 5, 3, 0, 0, 0]
    assert values(t, "a") == [1] * 6
    assert values(t, "b") == [None, None, 0, 0, 0, 0]
    assert t.timestamp(6) == 0


def test_changes_outside_the_dump_are_ignored():
    t = load("$var wire 1 ! a $end\n1!\n$dumpvars\n1!\n$end\n#0\n1?\n#1\n0!\n")
    assert values(t, "a") == [None, 0]


def test_last_change_at_an_index_wins_and_aliases_share_values():
    t = load("$var wire 8 # x $end\n$var wire 8 # y $end\n#0\nb1 #\nb10 #\n#1\nb11 #\nbx #\n")
    assert values(t, "x") == values(t, "y") == [2, None]


def test_empty_and_definition_only_dumps():
    t = load("")
    assert (t.signal_names(), t.scopes(), t.max_index()) == ([], [], 0)
    t = load("$scope module m $end\n$var wire 1 ! a $end\n$enddefinitions $end\n")
    assert t.signal_names() == ["m.a"]
    assert t.signal_value("m.a", 0) is None


def test_crlf_and_white_space():
    t = load("$scope module top $end\r\n  $var wire 1 ! a $end  \r\n#0\r\n\t1!\r\n#1 \r\n0!\r\n")
    assert values(t, "top.a") == [1, 0]


def test_unicode_lines():
    # a line that is not UTF-8 is an empty line; Unicode spaces separate parts
    data = "$scope\u2003module t\u00e9 $end\n$var wire 1 ! \u00e4 $end\n#0\n1!\n"
    t = load(data)
    assert t.signal_names() == ["t\u00e9.\u00e4"]


def test_file_errors(tmp_path):
    with pytest.raises(ValueError, match="^Failed to open /no/such/file: "):
        PyTrace.from_vcd("/no/such/file")
    with pytest.raises(ValueError, match="^Failed to read "):
        PyTrace.from_vcd(str(tmp_path))


def test_hostile_files(tmp_path):
    p = tmp_path / "bad.vcd"
    # not UTF-8, NUL bytes, a truncated last line
    p.write_bytes(b"$var wire 1 ! a $end\n#0\n1!\n\xff\xfe garbage\n#1\n\x00\x001\n0!\n#2\n1")
    t = PyTrace.from_vcd(str(p))
    assert values(t, "a") == [1, 0, 0]
    # one 50 MB line, followed by a normal dump
    p.write_bytes(b"$comment " + b"x" * 50_000_000 + b"\n$var wire 1 ! a $end\n#0\n1!\n")
    t = PyTrace.from_vcd(str(p))
    assert values(t, "a") == [1]


def test_file_and_string_loads_agree(example_vcd):
    a = PyTrace.from_vcd(example_vcd)
    with open(example_vcd, encoding="utf-8") as f:
        b = PyTrace.from_vcd_string(f.read())
    assert a.signal_names() == b.signal_names()
    n = a.max_index() + 1
    for name in a.signal_names():
        assert a.signal_values_range(name, 0, n) == b.signal_values_range(name, 0, n)


@pytest.mark.parametrize("path", corpus_files("vcd", ".vcd"), ids=lambda p: p.name)
def test_corpus_vcd(path):
    t = PyTrace.from_vcd(str(path))
    names = t.signal_names()
    if "header_only" in path.name:
        assert t.max_index() == 0
    assert all(n and not n.startswith(".") for n in names)
    for s in t.scopes():
        assert s and not s.endswith(".")
    stamps = [t.timestamp(i) for i in range(t.max_index() + 1)]
    # real simulators write increasing time
    assert stamps == sorted(stamps)
    if names and t.max_index() > 0:
        some = [t.signal_value(n, t.max_index()) for n in names]
        assert any(v is not None for v in some)
