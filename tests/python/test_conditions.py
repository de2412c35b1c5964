"""The condition language of tarn.compile (tarn.expr): parsing, name lookup, errors, and agreement
with hand-built trees."""

import random

import pytest

import tarn
from tarn import PyExpr, PyTrace
from tarn.expr import ExprError, Int, Name, Real, Str, compile, parse

from conftest import CORPUS

MAX = (1 << 64) - 1


# ---------------------------------------------------------------- syntax


@pytest.mark.parametrize(
    "text, tree",
    [
        ("a || b && c", "(`a` || (`b` && `c`))"),
        ("a && b || c", "((`a` && `b`) || `c`)"),
        ("a | b ^ c & d", "(`a` | (`b` ^ (`c` & `d`)))"),
        ("a & b == c", "(`a` & (`b` == `c`))"),
        ("a == b < c", "(`a` == (`b` < `c`))"),
        ("a < b + c", "(`a` < (`b` + `c`))"),
        ("a - b - c", "((`a` - `b`) - `c`)"),
        ("a - (b - c)", "(`a` - (`b` - `c`))"),
        ("a != b != c", "((`a` != `b`) != `c`)"),
        ("a <= b >= c > d", "(((`a` <= `b`) >= `c`) > `d`)"),
        ("!a && b", "((!`a`) && `b`)"),
        ("!!a", "(!(!`a`))"),
        ("!a[3:0] == 1", "((!`a`[3:0]) == 1)"),
        ("(a + b)[7:4]", "(`a` + `b`)[7:4]"),
        ("a[7:4][1]", "`a`[7:4][1:1]"),
        ("$past(a)[0] == a[0]", "($past(`a`)[0:0] == `a`[0:0])"),
        ("$past(a, 3) != $future(b, 2)", "($past(`a`, 3) != $future(`b`, 2))"),
        ("$isx(a) || $isz(b) && $signed(c)", "($isx(`a`) || ($isz(`b`) && $signed(`c`)))"),
        ("-1 + -2.5", "(-1 + -2.5)"),
        ("top.valid&&top.ready", "(`top.valid` && `top.ready`)"),
    ],
)
def test_precedence_and_associativity(text, tree):
    assert str(parse(text)) == tree


@pytest.mark.parametrize(
    "text, node",
    [
        ("42", Int(42)),
        ("1_000", Int(1000)),
        ("0x2A", Int(42)),
        ("0X2a", Int(42)),
        ("0b10_1010", Int(42)),
        ("0o52", Int(42)),
        ("'h2A", Int(42)),
        ("'H2a", Int(42)),
        ("8'h2A", Int(42)),
        ("8'b0010_1010", Int(42)),
        ("'d42", Int(42)),
        ("'o52", Int(42)),
        ("6'sb101010", Int(42)),
        ("64'hFFFF_FFFF_FFFF_FFFF", Int(MAX)),
        (str(MAX), Int(MAX)),
        ("-0", Int(0, negative=True)),
        ("-1", Int(MAX, negative=True)),
        ("2.5", Real(2.5)),
        (".5", Real(0.5)),
        ("1e3", Real(1000.0)),
        ("1.5E-3", Real(0.0015)),
        ("-2.5", Real(-2.5)),
        ('"abc"', Str("abc")),
        ('""', Str("")),
        (r'"a\"b\\c\n\t"', Str('a"b\\c\n\t')),
        ("top.cpu.pc", Name("top.cpu.pc")),
        ("$rootio.clk_i", Name("$rootio.clk_i")),
        ("top.bus__addr$3", Name("top.bus__addr$3")),
        (r"top.\bus.data", Name(r"top.\bus.data")),
        (r"top.\bus[3]  ", Name(r"top.\bus[3]")),
        ("`top.mem[3]`", Name("top.mem[3]")),
        ("`odd``name`", Name("odd`name")),
        ("` spaced name `", Name(" spaced name ")),
    ],
)
def test_operands(text, node):
    assert parse(text) == node


@pytest.mark.parametrize(
    "text, column, fragment",
    [
        ("", 1, "empty expression"),
        ("   ", 4, "empty expression"),
        ("a &&", 5, "found end of expression"),
        ("a && && b", 6, "expected a signal name"),
        ("a = b", 3, "compare with '=='"),
        ("a ~ b", 3, "bitwise not"),
        ("a * 2", 3, "'*' is not supported"),
        ("(a", 1, "unclosed '('"),
        ("a)", 2, "unexpected ')'"),
        ("a b", 3, "unexpected 'b'"),
        ("a[3:5]", 2, "high bit below its low bit"),
        ("a[x]", 3, "expected an integer bit index"),
        ("a[3", 4, "expected ']'"),
        ("x == 12ab", 6, "invalid number '12ab'"),
        ("x == 8'hxF", 6, "x and z digits"),
        ("x == 4'h1F", 6, "does not fit in 4 bits"),
        ("x == 0x1_0000_0000_0000_0000", 6, "does not fit in 64 bits"),
        ("x == 'q1", 6, "invalid number"),
        ("x == 0x", 6, "invalid number"),
        ("x == 1__0", 6, "invalid number"),
        ('x == "abc', 6, "unterminated string"),
        (r'x == "a\qb"', 8, "unknown escape"),
        ("x == `abc", 6, "unterminated quoted name"),
        ("x == ``", 6, "empty quoted name"),
        ("top..a", 5, "expected a name component"),
        ("top.a.", 7, "expected a name component"),
        ("$bogus(a)", 1, "unknown function $bogus"),
        ("$isx(a, 2)", 7, "takes one argument"),
        ("$past(a, b)", 10, "sample count must be an integer literal"),
        ("$past(a, 9223372036854775808)", 10, "too large"),
        ("$past a", 1, "needs its arguments in parentheses"),
        ("$isx", 1, "needs its arguments in parentheses"),
        ("-a", 1, "unary '-'"),
    ],
)
def test_syntax_errors_point_at_the_problem(text, column, fragment):
    with pytest.raises(ExprError) as e:
        parse(text)
    err = e.value
    assert isinstance(err, ValueError)
    assert err.column == column and err.position == column - 1
    assert fragment in err.message
    assert str(err).startswith(err.message) and f"at column {column}" in str(err)
    assert "\n" not in str(err)
    caret_line = err.pointer().splitlines()[-1]
    assert caret_line.index("^") == column - 1


def test_errors_survive_pickling():
    import pickle

    with pytest.raises(ExprError) as e:
        parse("a &&")
    copy = pickle.loads(pickle.dumps(e.value))
    assert (str(copy), copy.column, copy.text) == (str(e.value), 5, "a &&")


def test_nesting_is_bounded():
    deep = "(" * 150 + "a" + ")" * 150
    with pytest.raises(ExprError, match="nested too deeply"):
        parse(deep)
    with pytest.raises(ExprError, match="nested too deeply"):
        parse(" && ".join(["a"] * 300))
    assert str(parse("(" * 50 + "a" + ")" * 50)) == "`a`"
    with pytest.raises(TypeError):
        parse(b"a")  # type: ignore[arg-type]


# ---------------------------------------------------------------- random trees

OPS = ["||", "&&", "|", "^", "&", "==", "!=", "<", "<=", ">", ">=", "+", "-"]
PREC = {op: p for p, ops in enumerate([["||"], ["&&"], ["|"], ["^"], ["&"], ["==", "!="],
                                        ["<", "<=", ">", ">="], ["+", "-"]], 1) for op in ops}
METHOD = {"||": "or_", "&&": "and_", "|": "bit_or", "^": "bit_xor", "&": "bit_and", "==": "eq_",
          "!=": "neq", "<": "lt_", "<=": "lte", ">": "gt_", ">=": "gte", "+": "add", "-": "sub"}
# With a real-typed side, comparisons and + - take the float builders.
REAL_METHOD = {"==": "real_eq", "!=": "real_neq", "<": "real_lt", "<=": "real_lte",
               ">": "real_gt", ">=": "real_gte", "+": "real_add", "-": "real_sub"}
ATOM = 100  # precedence of names, literals, calls and slices


def int_text(rng, v):
    return rng.choice([str(v), hex(v), f"'h{v:x}", f"'b{v:b}", f"'d{v}", f"64'h{v:X}", bin(v)])


class Item:
    """A random expression: its text and precedence, a builder that makes the PyExpr by hand
    from a name->id function (independently of the parser), whether it is real-typed, and the
    float an integer literal reads as beside a real (None for anything else)."""

    def __init__(self, text, prec, build, real=False, literal=None):
        self.text, self.prec, self.build, self.real, self.literal = text, prec, build, real, literal


class Gen:
    """Random expressions as Items over the given names (``reals``: those holding reals)."""

    def __init__(self, rng, names, reals=()):
        self.rng = rng
        self.names = names
        self.reals = set(reals)

    def wrap(self, item, need):
        return (f"({item.text})" if item.prec < need else item.text), item.build

    def expr(self, depth):
        rng = self.rng
        if depth == 0 or rng.random() < 0.2:
            return self.leaf()
        kind = rng.choice(["bin"] * 6 + ["not", "slice", "past", "future", "isx", "isz", "signed",
                                         "rose", "changed"])
        if kind == "bin":
            return self.binary(depth)
        if kind == "not":
            t, b = self.wrap(self.expr(depth - 1), 9)
            return Item(f"!{t}", 9, lambda ids: b(ids).not_())
        if kind == "slice":
            t, b = self.wrap(self.expr(depth - 1), ATOM)
            lo = rng.randrange(0, 10)
            hi = lo + rng.randrange(0, 6)
            if hi == lo and rng.random() < 0.5:
                return Item(f"{t}[{hi}]", ATOM, lambda ids: b(ids).slice(hi, hi))
            return Item(f"{t}[{hi}:{lo}]", ATOM, lambda ids: b(ids).slice(hi, lo))
        inner = self.expr(depth - 1)
        t, b = inner.text, inner.build
        n = rng.randrange(0, 4)
        if kind == "past":
            if rng.random() < 0.3:
                return Item(f"$past({t})", ATOM, lambda ids: b(ids).rel_eval(-1), inner.real)
            return Item(f"$past({t}, {n})", ATOM, lambda ids: b(ids).rel_eval(-n), inner.real)
        if kind == "future":
            return Item(f"$future({t}, {n})", ATOM, lambda ids: b(ids).rel_eval(n), inner.real)
        if kind == "rose":
            def rose(ids):
                e = b(ids)
                first = PyExpr.always_true().rel_eval(-1)
                one = PyExpr.const_int(1)
                return e.slice(0, 0).eq_(one).and_(e.rel_eval(-1).slice(0, 0).neq(one)).and_(first)
            return Item(f"$rose({t})", ATOM, rose)
        if kind == "changed":
            def changed(ids):
                e = b(ids)
                p = e.rel_eval(-1)
                c = e.neq(p)
                if inner.real:
                    c = c.or_(e.real_neq(p).and_(e.real_eq(e).or_(p.real_eq(p))))
                return c.and_(PyExpr.always_true().rel_eval(-1))
            return Item(f"$changed({t})", ATOM, changed)
        method = {"isx": "is_x", "isz": "is_z", "signed": "signed"}[kind]
        return Item(f"${kind}({t})", ATOM, lambda ids: getattr(b(ids), method)())

    def binary(self, depth):
        op = self.rng.choice(OPS)
        p = PREC[op]
        left, right = self.expr(depth - 1), self.expr(depth - 1)
        lt, lb = self.wrap(left, p)
        rt, rb = self.wrap(right, p + 1)
        sp = self.rng.choice(["", " ", "  "])
        text = f"{lt}{sp}{op}{sp}{rt}"
        if op not in REAL_METHOD or not (left.real or right.real):
            return Item(text, p, lambda ids: getattr(lb(ids), METHOD[op])(rb(ids)))

        def operand(item, b, ids):
            return b(ids) if item.literal is None else PyExpr.const_float(item.literal)

        def build(ids):
            return getattr(operand(left, lb, ids), REAL_METHOD[op])(operand(right, rb, ids))
        return Item(text, p, build, op in "+-")

    def leaf(self):
        rng = self.rng
        r = rng.random()
        if r < 0.5:
            name = rng.choice(self.names)
            # An escaped identifier runs to the next white space.
            text = name + " " if "\\" in name else name
            return Item(text, ATOM, lambda ids: PyExpr.signal(ids(name)), name in self.reals)
        if r < 0.75:
            v = rng.choice([0, 1, 2, 3, 5, 10, 255, rng.randrange(0, 1 << 64)])
            return Item(int_text(rng, v), ATOM, lambda ids: PyExpr.const_int(v), literal=float(v))
        if r < 0.85:
            # A minus sign: the two's complement, or the negative number beside a real.
            v = rng.choice([0, 1, 7, 1 << 63])
            return Item(f"-{v}", ATOM, lambda ids: PyExpr.const_int(-v & MAX), literal=-float(v))
        if r < 0.95:
            x = rng.choice([0.0, 0.5, 2.25, 100.0, -1.5])
            return Item(repr(x), ATOM, lambda ids: PyExpr.const_float(x), True)
        s = rng.choice(["", "5", "abc", "2.5"])
        return Item(f'"{s}"', ATOM, lambda ids: PyExpr.const_str(s))


SMALL = """$scope module top $end
$var wire 1 ! a $end
$var wire 1 " b $end
$var wire 8 # d [7:0] $end
$var wire 4 $ v [3:0] $end
$var real 1 % r $end
$scope module sub $end
$var wire 1 & c $end
$upscope $end
$upscope $end
#0
0!
1"
b101 #
bx $
r1.5 %
#10
1!
b11111111 #
b1z01 $
#20
0"
1&
b1010 $
r0 %
#30
1!
b0 #
#40
0!
1"
b110 #
bzzzz $
#50
1!
0&
b1100 $
r7.75 %
"""


def test_random_trees_print_and_parse_back():
    rng = random.Random(1)
    gen = Gen(rng, ["top.a", "top.d", "top.sub.c", r"top.\x.y"])
    for _ in range(300):
        text = gen.expr(4).text
        tree = parse(text)
        assert parse(str(tree)) == tree, text


def test_compiled_equals_hand_built_on_random_expressions():
    trace = PyTrace.from_vcd_string(SMALL)
    names = trace.signal_names()

    def ids(name):
        return trace.signal_id(name)

    rng = random.Random(7)
    gen = Gen(rng, names, reals=["top.r"])
    indices = range(trace.max_index() + 2)
    for _ in range(600):
        item = gen.expr(rng.randrange(1, 5))
        text = item.text
        compiled = compile(trace, text)
        hand = item.build(ids)
        assert trace.find(compiled) == trace.find(hand), text
        got = [trace.eval_expr(compiled, i) for i in indices]
        want = [trace.eval_expr(hand, i) for i in indices]
        assert got == want or str(got) == str(want), text  # NaN results compare by text


# ---------------------------------------------------------------- names


class FakeTrace:
    """Just enough of a trace for name lookup (errors are raised before any tree is built)."""

    def __init__(self, names):
        self.names = names

    def signal_id(self, name):
        return self.names.index(name) if name in self.names else None

    def signal_names(self):
        return list(self.names)

    def find_signals_containing(self, text):
        return [n for n in self.names if text.lower() in n.lower()]

    def resolve(self, scope, short):
        cand = f"{scope}.{short}" if scope else short
        if cand in self.names:
            return cand
        for n in self.names:
            if n.endswith(short) and (n == short or n[: -len(short)].endswith(".")):
                if n.startswith(scope):
                    return n
        return None


FAKE = FakeTrace(["top.clk", "top.valid", "top.cpu.valid", "top.cpu.pc", "top.data[7:0]",
                  "top.mem"])


def test_unknown_names_point_at_the_name_and_suggest():
    with pytest.raises(ExprError) as e:
        compile(FAKE, "top.clk && top.cpu.pcc == 3")  # type: ignore[arg-type]
    err = e.value
    assert err.column == 12 and err.length == len("top.cpu.pcc")
    assert err.suggestions == ["top.cpu.pc"]
    assert "did you mean top.cpu.pc?" in str(err)
    with pytest.raises(ExprError) as e:
        compile(FAKE, "top.vald")  # type: ignore[arg-type]
    assert e.value.suggestions[0] == "top.valid"
    with pytest.raises(ExprError) as e:
        compile(FAKE, "zzz")  # type: ignore[arg-type]
    assert e.value.suggestions == []


def test_short_names_resolve_only_when_unique():
    with pytest.raises(ExprError, match="ambiguous signal name 'valid'") as e:
        compile(FAKE, "pc == 1 && valid")  # type: ignore[arg-type]
    assert e.value.column == 12
    assert tarn.expr.lookup(FAKE, "pc") == ("top.cpu.pc", [])  # type: ignore[arg-type]
    assert tarn.expr.lookup(FAKE, "cpu.valid") == ("top.cpu.valid", [])  # type: ignore[arg-type]
    assert tarn.expr.lookup(FAKE, "valid") == (None, ["top.valid", "top.cpu.valid"])  # type: ignore[arg-type]
    # With a scope the module's resolve decides: the scope's own signal wins.
    assert tarn.expr.lookup(FAKE, "valid", scope="top.cpu") == ("top.cpu.valid", [])  # type: ignore[arg-type]
    with pytest.raises(ExprError, match="unknown signal 'nope' in scope 'top'"):
        compile(FAKE, "nope", scope="top")  # type: ignore[arg-type]


def test_bracketed_name_written_bare_gets_a_hint():
    with pytest.raises(ExprError, match=r"written in backquotes: `top.data\[7:0\]`") as e:
        compile(FAKE, "top.data[7:0] == 1")  # type: ignore[arg-type]
    assert e.value.column == 1
    assert tarn.expr.signal_names(FAKE, "`top.data[7:0]`[3:0] && top.mem[2]") == [  # type: ignore[arg-type]
        "top.data[7:0]",
        "top.mem",
    ]


# ---------------------------------------------------------------- meaning on the example dump


@pytest.fixture
def counter(example_vcd):
    return PyTrace.from_vcd(example_vcd)


def column(trace, name):
    return trace.signal_values_range(name, 0, trace.max_index() + 1)


def test_conditions_on_the_example(counter):
    t = counter
    clk, count, valid, ready = (column(t, "tb." + n) for n in ("clk", "count", "valid", "ready"))
    n = len(clk)

    def find(text, **kw):
        return t.find(compile(t, text, **kw))

    assert find("tb.clk") == [i for i in range(n) if clk[i] == 1]
    assert find("$rose(tb.clk)") == [i for i in range(1, n) if clk[i] == 1 and clk[i - 1] == 0]
    assert find("$fell(tb.clk)") == [i for i in range(1, n) if clk[i] == 0 and clk[i - 1] == 1]
    assert find("tb.valid && tb.ready") == [i for i in range(n) if valid[i] and ready[i]]
    assert find("tb.count[1:0] == 'b11") == [
        i for i in range(n) if count[i] is not None and count[i] & 3 == 3
    ]
    assert find("tb.count >= 8'd40") == [
        i for i in range(n) if count[i] is not None and count[i] >= 40
    ]
    assert find("$isx(tb.count)") == [i for i in range(n) if count[i] is None]
    assert find("$changed(tb.count)") == [i for i in range(1, n) if count[i] != count[i - 1]]
    assert find("tb.count != $past(tb.count) && $past(1)") == find("$changed(tb.count)")
    # Unknown (missing) values compare equal to each other, as in the module's Eq.
    ahead = [count[i + 2] if i + 2 < n else None for i in range(n)]
    plus1 = [None if c is None else (c + 1) % (1 << 64) for c in count]
    assert find("$future(tb.count, 2) == tb.count + 1") == [
        i for i in range(n) if ahead[i] == plus1[i]
    ]
    assert find("tb.temperature > 30") == [
        i for i, v in enumerate(column(t, "tb.temperature")) if v is not None and v > 30
    ]


def test_scoped_names_on_the_example(counter):
    t = counter
    count = column(t, "tb.count")
    assert t.find(compile(t, "count == 5", scope="tb.dut")) == [
        i for i, c in enumerate(count) if c == 5
    ]
    assert t.parallel_count(compile(t, "$rose(clk)", scope="tb")) == len(
        t.find(compile(t, "$rose(tb.clk)"))
    )


REALS = """$scope module top $end
$var real 64 ! r $end
$var wire 8 " i $end
$var real 64 # late $end
$var wire 2 $ v $end
$upscope $end
$enddefinitions $end
#0
r-120 !
b101 "
bx1 $
#1
r0 !
#2
r1.2 !
r1.5 #
b11 $
#3
r1.7 !
#4
rnan !
#5
rnan !
#6
r0.0005 !
#7
r0.002 !
rnan #
#8
r-0 !
"""


def test_comparisons_with_a_real_side_work_on_floats():
    t = PyTrace.from_vcd_string(REALS)
    r = column(t, "top.r")
    n = len(r)

    def find(text):
        return t.find(compile(t, text))

    def where(pred, values=r):
        return [k for k, x in enumerate(values) if x is not None and pred(x)]

    assert find("r < 0") == where(lambda x: x < 0) == [0]
    assert find("r == -120.0") == find("r == -120") == find("-120 == r") == [0]
    assert find("r > 1e-3") == where(lambda x: x > 1e-3) == [2, 3, 7]
    assert find("r != -120.0") == [k for k in range(n) if k != 0]  # NaN included
    assert find("r == 0") == [1, 8]  # -0.0 == 0.0
    assert find("-1 < r && r <= 1.2") == [1, 2, 6, 7, 8]
    # Arithmetic is float arithmetic, and $past of a real is real.
    assert find("r + 1 > 0.5") == where(lambda x: x + 1 > 0.5)
    assert find("r - i < -124") == [0]  # -120 - 5, where integer subtraction would wrap
    assert find("$past(r) < r") == [k for k in range(1, n) if r[k - 1] < r[k]]
    assert find("$future(r, 2) - r > 0.5") == [k for k in range(n - 2) if r[k + 2] - r[k] > 0.5]
    assert find("i > 4.5") == list(range(n)) and find("i == 5.0") == list(range(n))
    assert find("2.5 == 2") == [] and find("2 < 2.5") == list(range(n))
    # No reading (x bits, no value, text that is not a number): false, and != holds.
    assert find("v < 10.0") == where(lambda x: x < 10, column(t, "top.v"))
    assert find("late > 0.0") == where(lambda x: x > 0, column(t, "top.late")) == [2, 3, 4, 5, 6]
    assert find("late != 1.5") == [0, 1, 7, 8]
    assert find('r == "-120"') == [0]
    # The other operators keep the integer reading (1.2 and 1.7 read as 1).
    assert find("(r & 1) == 1") == find("$signed(r) == 1") == find("r[0]") == [2, 3]
    assert t.eval_expr(compile(t, "r + 1"), 0) == -119.0
    assert t.eval_expr(compile(t, "i + 1"), 0) == 6


def test_changed_and_stable_of_reals():
    t = PyTrace.from_vcd_string(REALS)
    r = column(t, "top.r")
    # Compared as numbers: 1.2 -> 1.7 is a change (both read 1 as integers), a NaN that stays
    # NaN is not; nor is a stretch without values (late before index 2).
    assert t.find(compile(t, "$changed(r)")) == [1, 2, 3, 4, 6, 7, 8]
    assert t.find(compile(t, "$stable(r)")) == [0, 5]
    assert t.find(compile(t, "$changed(late)")) == [2, 7]
    assert t.find(compile(t, "$changed(r + 0.5)")) == [1, 2, 3, 4, 6, 7, 8]
    assert t.find(compile(t, "$changed(i)")) == []
    assert len(r) == 9


def test_real_conditions_on_a_real_dump():
    path = CORPUS / "vcd" / "fft_systemc_232_reals_waves.vcd"
    if not path.exists():
        pytest.skip("corpus not available")
    t = PyTrace.from_vcd(str(path))
    checked = 0
    for name in t.signal_names():
        if "real" not in t.value_kinds(name):
            continue
        values = column(t, name)
        present = [x for x in values if x is not None]

        def where(pred, values=values):
            return [k for k, x in enumerate(values) if x is not None and pred(x)]

        assert t.find(compile(t, f"{name} < 0")) == where(lambda x: x < 0)
        assert t.find(compile(t, f"{name} > 1e-3")) == where(lambda x: x > 1e-3)
        for x in {min(present), max(present)}:
            assert t.find(compile(t, f"{name} == {x!r}")) == where(lambda v, x=x: v == x)
        assert t.parallel_count(compile(t, f"{name} >= 0")) == len(where(lambda x: x >= 0))
        checked += 1
    assert checked == 32
    # Negative values are there, and the integer reading would have missed them.
    assert any(t.find(compile(t, f"{n} < 0")) for n in t.signal_names())


def test_any_text_parses_or_raises_expr_error():
    # Bits of the language glued at random: the parser must never fail any other way.
    pieces = ["a", "top.b", "$past(", "$rose(", "$isx(", "(", ")", "[", "]", ":", ",", "3", "0x",
              "'h", "8'b1", "1.5", "e3", '"s', '"', "`n", "`", "\\", "&&", "||", "!", "==", "!=",
              "<", "<=", ">", ">=", "+", "-", "&", "|", "^", "=", "~", ".", " ", "_", "$", "x"]
    rng = random.Random(3)
    parsed = 0
    for _ in range(5000):
        text = "".join(rng.choice(pieces) for _ in range(rng.randrange(1, 12)))
        try:
            tree = parse(text)
        except ExprError as e:
            assert 0 <= e.position <= len(text), text
            continue
        parsed += 1
        assert parse(str(tree)) == tree, text
    assert parsed > 100
