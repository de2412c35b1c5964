"""Searches: find, parallel_find, parallel_count, find_with_values."""

import random

import pytest

from tarn import PyExpr as E
from tarn import PyTrace

from conftest import sig
from random_trace import random_vcd

VCD = """$scope module top $end
$var wire 1 ! clk $end
$var wire 4 " cnt $end
$var wire 2 # lx $end
$var real 64 $ r $end
$upscope $end
$enddefinitions $end
#0
0!
b0 "
bx1 #
r0.5 $
#5
1!
b1 "
#10
0!
b10 "
b10 #
#15
1!
b11 "
"""


@pytest.fixture(scope="module")
def t():
    return PyTrace.from_vcd_string(VCD)


def test_searches_agree_on_a_small_trace(t):
    clk = sig(t, "top.clk")
    assert t.find(clk) == t.parallel_find(clk) == [1, 3]
    assert t.parallel_count(clk) == 2
    after = sig(t, "top.cnt").rel_eval(-1).eq_(E.const_int(1))
    assert t.find(after) == t.parallel_find(expr=after) == [2]
    never = clk.and_(clk.not_())
    assert t.find(never) == t.parallel_find(never) == []
    assert t.parallel_count(never) == 0


def test_trace_without_time_stamps_tests_index_zero():
    t = PyTrace.from_vcd_string("")
    assert t.find(E.always_true()) == t.parallel_find(E.always_true()) == [0]
    assert t.parallel_count(E.always_true()) == 1
    assert t.find(E.signal(0)) == []


def test_find_with_values(t):
    clk = sig(t, "top.clk")
    rows = t.find_with_values(clk, ["top.cnt", "nope", "top.lx", "top.r"])
    assert rows == [(1, [1, None, None, 0.5]), (3, [3, None, 2, 0.5])]
    assert t.find_with_values(clk, []) == [(1, []), (3, [])]
    assert t.find_with_values(clk, ("top.cnt",)) == [(1, [1]), (3, [3])]
    assert t.find_with_values(expr=E.always_true(), signal_names=["top.lx"]) == [
        (0, [None]),
        (1, [None]),
        (2, [2]),
        (3, [2]),
    ]


def test_search_argument_errors(t):
    for method in (t.find, t.parallel_find, t.parallel_count):
        with pytest.raises(TypeError, match="'expr'"):
            method(1)
        with pytest.raises(TypeError):
            method()
    with pytest.raises(TypeError, match="'expr'"):
        t.find_with_values("x", [])
    with pytest.raises(TypeError, match="'signal_names'"):
        t.find_with_values(E.always_true(), "top.clk")
    for bad in (5, ["top.clk", 3], {"top.clk": 1}):
        with pytest.raises(TypeError, match="'signal_names'"):
            t.find_with_values(E.always_true(), bad)


# ---- Random traces and trees: change-point search == per-index evaluation ----


def random_expr(rng, depth, n_signals):
    if depth == 0 or rng.random() < 0.2:
        r = rng.random()
        if r < 0.6:
            return E.signal(rng.randrange(n_signals + 1))
        if r < 0.9:
            return E.const_int(rng.choice([0, 1, 2, 3, 5, 2**64 - 1]))
        return rng.choice([E.always_true(), E.const_float(1.5), E.const_float(-1.0),
                           E.const_str("2"), E.const_str("-0.5")])
    sub = lambda: random_expr(rng, depth - 1, n_signals)  # noqa: E731
    kind = rng.randrange(8)
    if kind == 0:
        return sub().rel_eval(rng.randint(-3, 3))
    if kind == 1:
        return sub().slice(rng.randrange(10), rng.randrange(10))
    if kind == 2:
        return getattr(sub(), rng.choice(["not_", "is_x", "is_z", "signed"]))()
    name = rng.choice(["and_", "or_", "eq_", "neq", "gt_", "lt_", "gte", "lte",
                       "add", "sub", "bit_and", "bit_or", "bit_xor", "real_eq", "real_neq",
                       "real_lt", "real_gt", "real_lte", "real_gte", "real_add", "real_sub"])
    a = sub()
    return getattr(a, name)(a if rng.random() < 0.1 else sub())


def test_random_searches_match_per_index_evaluation():
    rng = random.Random(2024)
    for _ in range(60):
        t = PyTrace.from_vcd_string(random_vcd(rng, rng.choice([1, 40, 3000])))
        n = len(t.signal_names())
        for _ in range(10):
            e = random_expr(rng, rng.randrange(1, 5), n)
            found = t.find(e)
            assert found == [i for i in range(t.max_index() + 1) if t.eval_expr_bool(e, i)]
            assert t.parallel_find(e) == found
            assert t.parallel_count(e) == len(found)
