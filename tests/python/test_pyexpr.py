"""PyExpr: constructors, builders, argument errors, and the evaluation rules by kind."""

import math

import pytest

from tarn import PyExpr as E
from tarn import PyTrace

from conftest import sig

U64 = 2**64 - 1

# One trace holding a value of every kind. Index: 0     1        2     3
#   top.v   (3-bit four-state)                   b101  b1x      bxz   b111
#   top.r   (real)                               1.2   nan      2.9   -3.5
#   top.w   (wide, 72 bits)                      2^66+7 at index 0 onwards
#   top.n   (4-bit)                              b1111 from index 0
VCD = """$scope module top $end
$var wire 3 ! v $end
$var real 64 " r $end
$var wire 72 # w $end
$var wire 4 $ n $end
$upscope $end
$enddefinitions $end
#0
b101 !
r1.2 "
b1000000000000000000000000000000000000000000000000000000000000000111 #
b1111 $
#1
b1x !
rnan "
#2
bxz !
r2.9 "
#3
b111 !
r-3.5 "
"""


@pytest.fixture(scope="module")
def t():
    return PyTrace.from_vcd_string(VCD)


def i(x):
    return E.const_int(x)


def s(x):
    return E.const_str(x)


def f(x):
    return E.const_float(x)


MISSING = E.signal(10**6)  # an id no trace here has


# ---- Constructors, builders and their arguments ----

# The builders that take another expression.
BINARY = "and_ or_ eq_ neq gt_ lt_ gte lte add sub bit_and bit_or bit_xor".split()


def test_no_constructor_and_no_operators():
    with pytest.raises(TypeError):
        E()
    a = i(1)
    for op in (lambda: a + a, lambda: a & a, lambda: -a, lambda: a < a):
        with pytest.raises(TypeError):
            op()
    assert (a == a) is True and (a == i(1)) is False  # identity only


def test_const_int_range_and_types(t):
    assert t.eval_expr(E.const_int(U64), 0) == U64
    assert t.eval_expr(E.const_int(val=0), 0) == 0
    for bad in (2**64, -1):
        with pytest.raises(OverflowError):
            E.const_int(bad)
    with pytest.raises(TypeError, match="val"):
        E.const_int("1")
    with pytest.raises(TypeError, match="val"):
        E.const_int(1.0)


def test_other_constructors_arguments(t):
    v = t.eval_expr(E.const_float(3), 0)
    assert type(v) is float and v == 3.0
    with pytest.raises(TypeError):
        E.const_float("3")
    assert t.eval_expr(E.const_str("héllo"), 0) == "héllo"
    with pytest.raises(TypeError):
        E.const_str(b"x")
    for bad, exc in ((-1, OverflowError), (2**64, OverflowError), ("a", TypeError)):
        with pytest.raises(exc, match="id"):
            E.signal(bad)
    E.signal(10**6)  # not checked against any trace
    with pytest.raises(TypeError, match="'high'"):
        i(1).slice("7", 0)
    with pytest.raises(OverflowError, match="'low'"):
        i(1).slice(7, -1)
    i(1).slice(0, 7)  # high below low is accepted
    i(1).rel_eval(-(2**63))
    i(1).rel_eval(2**63 - 1)
    with pytest.raises(OverflowError):
        i(1).rel_eval(2**63)
    with pytest.raises(TypeError, match="offset"):
        i(1).rel_eval(None)


def test_binary_builders_need_an_expression():
    a = i(1)
    for name in BINARY:
        with pytest.raises(TypeError, match="'other'"):
            getattr(a, name)(5)
        getattr(a, name)(other=i(5))
    assert isinstance(a.add(i(5)), E)


def test_builders_leave_their_operands_unchanged(t):
    v = sig(t, "top.v")
    before = [t.eval_expr(v, k) for k in range(4)]
    v.not_()
    both = v.and_(v)
    v.rel_eval(1).add(v)
    assert [t.eval_expr(v, k) for k in range(4)] == before
    assert [t.eval_expr_bool(both, k) for k in range(4)] == [True, True, False, True]


# ---- Evaluation by kind ----


def test_truthiness(t):
    v, r = sig(t, "top.v"), sig(t, "top.r")
    assert [t.eval_expr_bool(v, k) for k in range(4)] == [True, True, False, True]
    assert t.eval_expr_bool(r, 1) is True  # NaN counts as true
    assert t.eval_expr_bool(s("0"), 0) is True  # non-empty text
    assert t.eval_expr_bool(s(""), 0) is False
    assert t.eval_expr_bool(f(0.0), 0) is False
    assert t.eval_expr_bool(MISSING, 0) is False
    assert t.eval_expr(MISSING.not_(), 0) == 1
    assert t.eval_expr(i(1).and_(MISSING), 0) == 0
    assert t.eval_expr(MISSING.or_(i(2)), 0) == 1
    assert t.eval_expr(sig(t, "top.w"), 0) == 7  # a Wide value reads as its first word
    assert t.eval_expr_bool(sig(t, "top.w").bit_and(i(1)), 0) is True


def test_eq_and_neq_are_exact_opposites(t):
    v, r = sig(t, "top.v"), sig(t, "top.r")
    cases = [
        (MISSING, MISSING, 1),
        (MISSING, i(0), 0),
        (i(5), s("5"), 1),
        (s("05"), s("5"), 1),
        (s("idle"), s("busy"), 0),
        (s("idle"), s("idle"), 1),
        (f(1.2), f(1.7), 1),  # equal integer parts
        (f(math.nan), f(math.nan), 1),  # both read as 0
        (i(5), v, 1),  # Logic 101 at index 0
        (v.rel_eval(1), v.rel_eval(1), 1),  # identical Logic 1x
        (v.rel_eval(1), i(2), 0),  # no reading
        (r.rel_eval(1), f(math.nan), 1),
        (sig(t, "top.w"), i(7), 0),  # 2^66 + 7: wider than 64 bits, compared whole
        (sig(t, "top.w"), sig(t, "top.w"), 1),
    ]
    for a, b, want in cases:
        assert t.eval_expr(a.eq_(b), 0) == want
        assert t.eval_expr(a.neq(b), 0) == 1 - want


def test_ordering_reads_numbers_or_gives_none(t):
    v = sig(t, "top.v")
    assert t.eval_expr(v.gt_(i(1)), 1) is None  # x bit
    assert t.eval_expr_bool(v.gt_(i(1)), 1) is False
    assert t.eval_expr(v.gt_(i(1)).not_(), 1) == 1
    assert t.eval_expr(f(2.9).gt_(i(2)), 0) == 0
    assert t.eval_expr(f(-3.5).gte(i(0)), 0) == 1  # negative reals read as 0
    assert t.eval_expr(s("10").gt_(i(9)), 0) == 1
    assert t.eval_expr(s("ab").lt_(i(1)), 0) is None
    assert t.eval_expr(i(U64).gt_(i(0)), 0) == 1  # unsigned, never sign-extended
    assert [t.eval_expr(i(3).lte(i(k)), 0) for k in (2, 3, 4)] == [0, 1, 1]
    assert [t.eval_expr(i(3).lt_(i(k)), 0) for k in (2, 3, 4)] == [0, 0, 1]


def test_values_wider_than_64_bits_compare_whole(t):
    w = sig(t, "top.w")  # 2^66 + 7
    assert [t.eval_expr(w.gt_(i(k)), 0) for k in (7, U64)] == [1, 1]
    assert t.eval_expr(i(U64).lt_(w), 0) == 1
    assert t.eval_expr(w.gte(w), 0) == 1 and t.eval_expr(w.lt_(w), 0) == 0
    # The other nodes keep the 64-bit reading, as does a wide value beside a real or a text.
    assert t.eval_expr(w.add(i(1)), 0) == 8
    assert t.eval_expr(w.slice(3, 0), 0) == 7
    assert t.eval_expr(w.eq_(f(7.0)), 0) == 1 and t.eval_expr(w.eq_(s("7")), 0) == 1
    assert t.eval_expr(w.real_eq(f(2.0**66)), 0) == 1  # the nearest double


def test_real_comparisons_and_arithmetic(t):
    r, v, n = sig(t, "top.r"), sig(t, "top.v"), sig(t, "top.n")  # r: 1.2 nan 2.9 -3.5
    at = lambda e: [t.eval_expr(e, k) for k in range(4)]  # noqa: E731
    assert at(r.real_lt(i(0))) == [0, 0, 0, 1]
    assert at(r.real_gt(f(1.2))) == [0, 0, 1, 0]
    assert at(r.real_gte(f(1.2))) == [1, 0, 1, 0]
    assert at(r.real_lte(f(-3.5))) == [0, 0, 0, 1]
    assert at(r.real_eq(f(2.9))) == [0, 0, 1, 0]
    assert at(r.real_neq(r)) == [0, 1, 0, 0]  # only NaN differs from itself
    assert at(r.real_eq(n)) == [0, 0, 0, 0] and at(n.real_eq(f(15))) == [1] * 4
    # No reading: x/z bits, no value, a text that is not a number. != is the negation of ==.
    assert at(v.real_eq(f(5))) == [1, None, None, 0]
    assert at(v.real_neq(f(5))) == [0, 1, 1, 1]
    assert t.eval_expr(MISSING.real_lt(f(1)), 0) is None
    assert t.eval_expr(s("idle").real_gt(f(1)), 0) is None
    assert t.eval_expr(s("-2.5e1").real_lt(f(-24)), 0) == 1  # a text that is a float
    sums = at(r.real_add(i(1)))
    assert sums[0] == 2.2 and math.isnan(sums[1]) and sums[2:] == [3.9, -2.5]
    assert t.eval_expr(f(0.5).real_sub(r), 3) == 4.0
    assert t.eval_expr(v.real_add(f(1)), 1) is None
    assert t.eval_expr(i(U64).real_add(i(1)), 0) == 2.0**64  # no wrapping
    assert t.eval_expr_bool(r.real_add(f(0)), 1) is True  # NaN is true
    assert t.find(r.real_lt(f(0))) == t.parallel_find(r.real_lt(f(0))) == [3]
    for name in ("real_eq", "real_add"):
        with pytest.raises(TypeError, match="'other'"):
            getattr(r, name)(1.5)


def test_arithmetic_wraps_and_propagates_unknowns(t):
    v = sig(t, "top.v")
    assert t.eval_expr(i(0).sub(i(1)), 0) == U64
    assert t.eval_expr(i(U64).add(i(1)), 0) == 0
    assert t.eval_expr(i(0b1100).bit_and(i(0b1010)), 0) == 0b1000
    assert t.eval_expr(i(0b1100).bit_or(i(0b1010)), 0) == 0b1110
    assert t.eval_expr(i(0b1100).bit_xor(i(0b1010)), 0) == 0b0110
    assert t.eval_expr(v.add(i(1)), 0) == 6
    assert t.eval_expr(v.add(i(1)), 1) is None  # x never propagates bit by bit
    assert t.eval_expr(v.bit_and(i(0)), 2) is None
    assert t.eval_expr(MISSING.sub(i(1)), 0) is None
    assert t.eval_expr(s("+3").add(f(2.9)), 0) == 5


def test_slice(t):
    assert t.eval_expr(i(171).slice(7, 4), 0) == 10
    assert t.eval_expr(i(U64).slice(63, 0), 0) == U64
    assert t.eval_expr(i(U64).slice(2**64 - 1, 0), 0) == U64  # width beyond 64 bits
    assert t.eval_expr(i(U64).slice(2**64 - 1, 60), 0) == 15
    assert t.eval_expr(i(171).slice(3, 5), 0) == 0
    assert t.eval_expr(i(171).slice(0, 7), 0) == 0
    assert t.eval_expr(i(U64).slice(80, 64), 0) == 0  # wholly above the 64-bit reading
    assert t.eval_expr(sig(t, "top.v").slice(2, 1), 0) == 0b10
    assert t.eval_expr(sig(t, "top.v").slice(0, 0), 1) is None


def test_signed_is_x_is_z(t):
    v, n = sig(t, "top.v"), sig(t, "top.n")
    assert t.eval_expr(n.signed(), 0) == 15  # no sign extension
    assert t.eval_expr(f(2.5).signed(), 0) == 2
    assert t.eval_expr(v.signed(), 1) is None
    assert [t.eval_expr(v.is_x(), k) for k in range(4)] == [0, 1, 1, 0]
    assert [t.eval_expr(v.is_z(), k) for k in range(4)] == [0, 0, 1, 0]
    assert t.eval_expr(MISSING.is_x(), 0) == 1
    assert t.eval_expr(MISSING.is_z(), 0) == 0
    assert t.eval_expr(v, 1) is None  # a Logic value converts to None
    assert t.eval_expr(E.always_true(), 0) == 1


def test_rel_eval(t):
    v = sig(t, "top.n").add(sig(t, "top.v"))
    assert t.eval_expr(sig(t, "top.v").rel_eval(-1), 0) is None
    assert t.eval_expr(sig(t, "top.v").rel_eval(1), t.max_index()) is None
    assert t.eval_expr(v.rel_eval(0), 0) == t.eval_expr(v, 0) == 20
    assert t.eval_expr(sig(t, "top.v").rel_eval(3), 0) == 7
    assert t.eval_expr(sig(t, "top.v").rel_eval(-1).is_x(), 0) == 1
    assert t.eval_expr(sig(t, "top.v").rel_eval(-1).is_z(), 0) == 0
    # Offsets add up, and every level checks its own target index.
    assert t.eval_expr(sig(t, "top.v").rel_eval(1).rel_eval(2), 0) == 7
    assert t.eval_expr(sig(t, "top.v").rel_eval(3).rel_eval(-1), 1) == 7
    assert t.eval_expr(sig(t, "top.v").rel_eval(3).rel_eval(-1), 0) is None
    # An index past the end may be brought back into the trace.
    assert t.eval_expr(sig(t, "top.v").rel_eval(-2), 5) == 7
    assert t.eval_expr(sig(t, "top.v"), 2**64 - 1) is None
    big = sig(t, "top.v").rel_eval(2**63 - 1).rel_eval(2**63 - 1)
    assert t.eval_expr(big, 0) is None


def test_eval_arguments(t):
    for method in (t.eval_expr, t.eval_expr_bool):
        with pytest.raises(TypeError, match="'expr'"):
            method(5, 0)
        with pytest.raises(OverflowError, match="'index'"):
            method(i(1), -1)
        with pytest.raises(TypeError, match="'index'"):
            method(i(1), "0")
        assert method(expr=i(1), index=0) in (1, True)


# ---- Deep and shared trees ----


def test_deep_trees_build_evaluate_and_free(t):
    v = sig(t, "top.v")
    e = v
    for _ in range(100_001):
        e = e.not_()
    assert [t.eval_expr(e, k) for k in range(4)] == [0, 0, 1, 0]
    assert t.find(e) == t.parallel_find(e) == [2]
    chain = v
    for k in range(100_000):
        chain = chain.and_(i(1)) if k % 2 else chain.rel_eval(0)
    assert t.find(chain) == [0, 1, 3]
    del e, chain


def test_repeated_self_combination_stays_small(t):
    # As a tree this is 2**100 leaves; shared subtrees keep it 101 nodes.
    e = sig(t, "top.n")
    for _ in range(100):
        e = e.and_(e)
    assert t.find(e) == [0, 1, 2, 3]
    assert t.parallel_count(e) == 4
