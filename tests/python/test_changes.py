"""changed_at, changed_at_scope, transitions, snapshot and snapshot_scope."""

import math

import pytest

import tarn

from random_trace import code, random_trace, same_py, strictly_equal, to_py

# top.clk toggles; top.data first gets a value at index 3; top.alias shares data's code; top.r is
# a real that turns NaN; top.sub.b and topx.c show the scope prefix; .dot starts with a dot.
DUMP = """$scope module top $end
$var wire 1 ! clk $end
$var wire 4 " data $end
$var wire 4 " alias $end
$var real 64 # r $end
$scope module sub $end
$var wire 1 $ b $end
$upscope $end
$upscope $end
$scope module topx $end
$var wire 1 % c $end
$upscope $end
$var wire 1 & .dot $end
$enddefinitions $end
#0
0!
r1.5 #
0$
0%
0&
#10
1!
rnan #
#20
0!
rnan #
1$
1%
#30
1!
b1010 "
1&
#40
b1x10 "
r-0 #
#50
r0 #
"""


@pytest.fixture(scope="module")
def t():
    return tarn.PyTrace.from_vcd_string(DUMP)


def test_changed_at(t):
    assert t.max_index() == 5
    assert t.changed_at(1)[0] == ("top.clk", 0, 1)
    name, old, new = t.changed_at(1)[1]
    assert (name, old) == ("top.r", 1.5) and math.isnan(new)
    # Both names of one signal are reported, each under its own name, in name-list order.
    at3 = t.changed_at(3)
    assert [r[0] for r in at3] == ["top.clk", "top.data", "top.alias", "top.r", ".dot"]
    assert at3[1:3] == [("top.data", None, 10), ("top.alias", None, 10)]
    # Int 10 to a four-state vector is a change even though both are "numbers" elsewhere.
    assert [r[0] for r in t.changed_at(4)] == ["top.data", "top.alias", "top.r"]


def test_changed_at_index_zero_and_past_the_end(t):
    assert t.changed_at(0) == []
    assert t.changed_at_scope(0, "top") == []
    assert t.changed_at_scope(0, "") == []
    # One past max_index: everything that had a value changes to None.
    past = t.changed_at(6)
    assert [r[0] for r in past] == t.signal_names()
    assert all(r[2] is None for r in past)
    assert t.changed_at(2**64 - 1) == []


def test_nan_is_never_equal_and_zero_signs_are(t):
    # NaN from index 1 on: a change at 2 (and 3) as well.
    names = [r[0] for r in t.changed_at(2)]
    assert names == ["top.clk", "top.r", "top.sub.b", "topx.c"]
    _, old, new = t.changed_at(2)[1]
    assert math.isnan(old) and math.isnan(new)
    # -0.0 then 0.0: numerically equal, so no change at 5.
    assert t.changed_at(5) == []


def test_changed_at_scope(t):
    top = t.changed_at_scope(2, "top")
    assert [r[0] for r in top] == ["top.clk", "top.r", "top.sub.b"]
    assert top[0] == ("top.clk", 1, 0) and top[2] == ("top.sub.b", 0, 1)
    assert t.changed_at_scope(2, "top.sub") == [("top.sub.b", 0, 1)]
    assert t.changed_at_scope(2, "nowhere") == []
    # The empty scope admits only names beginning with a dot.
    assert t.changed_at_scope(3, "") == [(".dot", 0, 1)]


def test_transitions(t):
    assert t.transitions("top.clk") == [(1, 0, 1), (2, 1, 0), (3, 0, 1)]
    assert t.transitions("top.data") == [(3, None, 10), (4, 10, None)]
    assert t.transitions("top.alias") == t.transitions("top.data")
    r = t.transitions("top.r")
    assert [x[0] for x in r] == [1, 2, 3, 4]
    assert math.isnan(r[3][1]) and r[3][2] == 0.0
    assert t.transitions("topx.c") == [(2, 0, 1)]
    assert t.transitions("no.such") == []


def test_transitions_of_constant_and_single_index():
    one = tarn.PyTrace.from_vcd_string("$var wire 1 ! a $end\n$enddefinitions $end\n#0\n1!\n")
    assert one.max_index() == 0
    assert one.transitions("a") == []
    const = tarn.PyTrace.from_vcd_string(
        "$var wire 1 ! a $end\n$enddefinitions $end\n#0\n1!\n#1\n1!\n#2\n")
    assert const.transitions("a") == []


def test_snapshot(t):
    snap = t.snapshot(4)
    assert list(snap) == t.signal_names()
    assert snap["top.data"] is None and snap["top.alias"] is None  # four-state value
    assert snap["top.clk"] == 1 and snap["top.r"] == 0.0
    assert t.snapshot(0)["top.data"] is None  # no value yet
    assert set(t.snapshot(99).values()) == {None}


def test_snapshot_scope(t):
    assert t.snapshot_scope(3, "top") == {
        "clk": 1, "data": 10, "alias": 10, "r": pytest.approx(math.nan, nan_ok=True), "sub.b": 1}
    assert t.snapshot_scope(3, "top.sub") == {"b": 1}
    assert t.snapshot_scope(3, "") == {"dot": 1}
    assert t.snapshot_scope(3, "nowhere") == {}


def test_arguments(t):
    with pytest.raises(OverflowError, match="index"):
        t.changed_at(-1)
    with pytest.raises(TypeError, match="index"):
        t.snapshot("1")
    with pytest.raises(TypeError, match="scope"):
        t.changed_at_scope(1, None)
    with pytest.raises(TypeError, match="name"):
        t.transitions(b"top.clk")
    with pytest.raises(TypeError):
        t.snapshot_scope(1)
    assert t.changed_at_scope(index=2, scope="top.sub") == [("top.sub.b", 0, 1)]


def test_changed_at_keeps_name_order_over_many_signals():
    n = 100_000
    lines = ["$scope module m $end"]
    lines += ["$var wire 1 %s s%d $end" % (code(k), k) for k in range(n)]
    lines += ["$upscope $end", "$enddefinitions $end", "#0"]
    lines += ["0" + code(k) for k in range(n)]
    lines.append("#1")
    lines += ["1" + code(k) for k in range(n) if k % 3]
    t = tarn.PyTrace.from_vcd_string("\n".join(lines) + "\n")
    expected = [("m.s%d" % k, 0, 1) for k in range(n) if k % 3]
    assert t.changed_at(1) == expected
    assert t.changed_at_scope(1, "m") == expected
    assert list(t.snapshot(1).values()) == [1 if k % 3 else 0 for k in range(n)]


@pytest.mark.parametrize("seed", range(12))
def test_transitions_match_per_index_comparison(seed):
    t, names, model = random_trace(seed)
    last = t.max_index()
    for name in names:
        values = model[name]
        # The model is what the trace holds, index by index.
        for i, v in enumerate(values):
            assert same_py(t.signal_value(name, i), to_py(v))
        expected = [(i, to_py(values[i - 1]), to_py(values[i]))
                    for i in range(1, last + 1) if not strictly_equal(values[i - 1], values[i])]
        got = t.transitions(name)
        assert [g[0] for g in got] == [e[0] for e in expected]
        assert all(same_py(g[1], e[1]) and same_py(g[2], e[2]) for g, e in zip(got, expected))
    for i in range(last + 2):
        changed = [n for n in names if i > 0 and not strictly_equal(
            model[n][i - 1] if i - 1 <= last else None, model[n][i] if i <= last else None)]
        assert [r[0] for r in t.changed_at(i)] == changed
