"""How simulators write their VCD, and what tarn reads from it: values before the first time
stamp, buses and arrays declared bit by bit or word by word, string changes and values wider
than 64 bits. Real dumps are rewritten the way other simulators write them, and the trace must
not change."""

from __future__ import annotations

import itertools
import os
import pathlib

import pytest

import tarn
from tarn import PyExpr, PyTrace

from conftest import DATA, ROOT, corpus_files

HEAD = "$timescale 1ns $end\n$scope module top $end\n"


def load(text: str) -> PyTrace:
    return PyTrace.from_vcd_string(text)


# ---------------------------------------------------------------- values before the first stamp


def test_values_before_the_first_time_stamp_apply_at_index_zero():
    t = load(
        HEAD + "$var wire 1 ! rst $end\n$var wire 4 # st $end\n$var wire 1 $ en $end\n"
        "$upscope $end\n$enddefinitions $end\n"
        "$dumpvars\n1!\nb0101 #\n0$\n$end\n#5\n1$\n#10\n0!\n"
    )
    assert t.signal_values_range("top.rst", 0, 2) == [1, 0]
    assert t.signal_values_range("top.st", 0, 2) == [5, 5]
    # A change written at the first time stamp itself still wins.
    assert t.signal_values_range("top.en", 0, 2) == [1, 1]
    assert t.transitions("top.rst") == [(1, 1, 0)]


def test_values_before_the_definitions_end_or_without_time_stamps_are_not_read():
    # Before $enddefinitions a value-looking line may be comment text.
    t = load("$var wire 1 ! a $end\n1!\n$enddefinitions $end\n#0\n#1\n1!\n")
    assert t.signal_values_range("a", 0, 2) == [None, 1]
    # Without a time stamp there are no indices, hence no values.
    t = load("$var wire 1 ! a $end\n$enddefinitions $end\n1!\n")
    assert (t.max_index(), t.timestamp(0), t.signal_value("a", 0)) == (0, 0, None)
    assert t.find(PyExpr.always_true()) == [0]


def test_codes_before_the_first_stamp_resolve_there():
    t = load(
        '$var wire 1 ! a $end\n$enddefinitions $end\n1"\n0%\n1!\n'
        '$var wire 1 " late $end\n1%\n#0\n$var wire 1 % later $end\n#1\n'
    )
    # Declared before the first time stamp: its value counts; declared after: it does not.
    assert t.signal_values_range("late", 0, 2) == [1, 1]
    assert t.signal_values_range("later", 0, 2) == [None, None]
    assert t.signal_value("a", 0) == 1


# ---------------------------------------------------------------- selects, bits and words


BITS = (
    HEAD + "$var wire 1 ! clk $end\n"
    "$var wire 1 & PC_w [3] $end\n$var wire 1 ' PC_w [2] $end\n"
    "$var wire 1 ( PC_w[1] $end\n$var wire 1 ) PC_w [0] $end\n"
    "$var reg 8 * mem[0] $end\n$var reg 8 + mem[1] $end\n"
    "$var wire 8 , data [7:0] $end\n"
    "$upscope $end\n$enddefinitions $end\n"
)


def test_selects_that_separate_signals_stay_in_their_names():
    t = load(BITS + "#0\n1&\n0'\n1(\n0)\nb101 *\nb11 +\n")
    assert t.signal_names() == [
        "top.clk",
        "top.PC_w",
        "top.PC_w[3]",
        "top.PC_w[2]",
        "top.PC_w[1]",
        "top.PC_w[0]",
        "top.mem[0]",
        "top.mem[1]",
        "top.data",  # a lone select is still cut off
    ]
    assert [t.signal_width(n) for n in t.signal_names()] == [1, 4, 1, 1, 1, 1, 8, 8, 8]
    # Identifier codes take ids 0.., the assembled vector comes after them all.
    assert t.signal_id("top.PC_w") == 8
    assert t.signal_id("top.mem[1]") == 6
    assert (t.signal_value("top.mem[0]", 0), t.signal_value("top.mem[1]", 0)) == (5, 3)
    assert t.signal_value("top.PC_w", 0) == 0b1010
    assert t.find_signals_glob("top.PC_w*")[:2] == ["top.PC_w", "top.PC_w[3]"]


def test_assembled_vector_reads_its_bits():
    t = load(BITS + "#0\n1&\n0'\n1(\n0)\n#1\nz)\n#2\n1)\n#3\nx&\nx'\nx(\nx)\n#4\n#5\nb10 &\n")
    v = "top.PC_w"
    assert [t.signal_bits(v, i) for i in range(6)] == [
        "1010",
        "101z",  # z stays z
        "1011",
        None,  # no bit with a value
        None,
        "0xxx",  # a bit counts by its lowest bit
    ]
    assert t.signal_values_range(v, 0, 3) == [10, None, 11]
    assert t.transitions(v) == [(1, 10, None), (2, None, 11), (3, 11, None), (5, None, None)]
    assert t.changed_at(2) == [("top.PC_w", None, 11), ("top.PC_w[0]", None, 1)]
    sig = PyExpr.signal(t.signal_id(v))
    assert t.find(sig.eq_(PyExpr.const_int(11))) == [2]
    assert t.find(sig.is_x()) == [3, 4, 5]
    assert t.find(sig.is_z()) == [1]


def test_holes_and_other_kinds_of_bit_read_x():
    t = load(
        HEAD + '$var wire 1 ! v [4] $end\n$var wire 1 " v [1] $end\n$var wire 1 # v [2] $end\n'
        '$enddefinitions $end\n#0\n1!\n1"\n0#\n#1\nr1.5 #\n#2\nsA #\n'
    )
    assert t.signal_width("top.v") == 4  # [4] down to [1]; [3] is never declared
    assert [t.signal_bits("top.v", i) for i in range(3)] == ["1x01", "1xx1", "1xx1"]


def test_what_is_not_assembled():
    cases = {
        # one index only, a select that is not a single index, a plain name beside the bits,
        # a bit of two bits, one code under several selects
        '$var wire 1 ! a [0] $end\n$var wire 1 " a [0] $end\n': ("a[0]",),
        '$var wire 1 ! b [1:0] $end\n$var wire 1 " b [2] $end\n': ("b[1:0]", "b[2]"),
        '$var wire 1 ! c $end\n$var wire 1 " c [1] $end\n$var wire 1 # c [0] $end\n': (
            "c",
            "c[1]",
            "c[0]",
        ),
        '$var wire 2 ! d [1] $end\n$var wire 1 " d [0] $end\n': ("d[1]", "d[0]"),
        "$var wire 1 ! e [1] $end\n$var wire 1 ! e [0] $end\n": ("e",),
        # a span that would make huge values
        '$var wire 1 ! f [0] $end\n$var wire 1 " f [99999999] $end\n': ("f[0]", "f[99999999]"),
    }
    for decls, names in cases.items():
        t = load(decls + "$enddefinitions $end\n#0\n1!\n")
        assert tuple(t.signal_names()) == names, decls


def test_a_name_declared_twice_keeps_the_old_rule():
    # Two codes under one plain name: the later declaration's entry replaces the earlier one.
    t = load('$var wire 1 ! a $end\n$var wire 4 " a $end\n$enddefinitions $end\n#0\n1!\nb11 "\n')
    assert (t.signal_names(), t.signal_id("a"), t.signal_width("a"), t.signal_value("a", 0)) == (
        ["a"],
        1,
        4,
        3,
    )


# ---------------------------------------------------------------- strings and wide values


def test_string_changes():
    t = load(
        HEAD + "$var string 1 ! state $end\n$enddefinitions $end\n#0\nsIDLE !\n#1\nSBUSY !\n"
        "#2\ns !\n#3\nsno_space!\n"
    )
    assert t.signal_values_range("top.state", 0, 4) == ["IDLE", "BUSY", "", ""]
    assert t.transitions("top.state") == [(1, "IDLE", "BUSY"), (2, "BUSY", "")]


def test_two_state_values_wider_than_64_bits_stay_whole():
    low = "1" + "0" * 63
    t = load(
        HEAD + "$var wire 100 ! w [99:0] $end\n$enddefinitions $end\n"
        f"#0\nb1{low} !\n#1\nb10{low} !\n#2\nb{'0' * 40}{low} !\n#3\nb00{'1' * 64} !\n"
    )
    w = "top.w"
    # Python conversions still give the lowest word ...
    assert t.signal_values_range(w, 0, 4) == [2**63, 2**63, 2**63, 2**64 - 1]
    # ... but a change above bit 63 is a change, and the whole value can be read.
    assert [i for i, _, _ in t.transitions(w)] == [1, 2, 3]
    assert [t.signal_int(w, i) for i in range(4)] == [
        2**64 + 2**63,
        2**65 + 2**63,
        2**63,
        2**64 - 1,
    ]
    assert t.signal_bits(w, 1) == "0" * 34 + "10" + low
    assert [n for n, _, _ in t.changed_at(1)] == [w]
    assert t.signal_stats(w)[4] == 3


def test_conditions_compare_wide_values_whole():
    # w and w2 agree in their low 64 bits at every index; only the bits above tell them apart.
    low = "01" * 32
    t = load(
        HEAD + "$var wire 100 ! w $end\n$var wire 100 \" w2 $end\n$var wire 4 # n $end\n"
        "$enddefinitions $end\n"
        f"#0\nb1{low} !\nb1{low} \"\nb1 #\n#1\nb10{low} !\n#2\nb{low} !\n#3\nb11{low} \"\n"
        f"#4\nb1x{low} !\n#5\nb1x{low} \"\n"
    )

    def find(text):
        e = tarn.compile(t, text)
        found = t.find(e)
        assert t.parallel_find(e) == found
        assert found == [i for i in range(t.max_index() + 1) if t.eval_expr_bool(e, i)]
        return found

    ints = [[t.signal_int(n, i) for i in range(6)] for n in ("top.w", "top.w2")]
    assert ints[0][:4] == [2**64 + int(low, 2), 2**65 + int(low, 2), int(low, 2), int(low, 2)]
    assert find("$changed(w)") == [1, 2, 4]
    assert find("$changed(w2)") == [3, 5]
    assert find("w == w2") == [0, 5]  # x bits: identical values are equal, as ever
    assert find("w != w2") == [1, 2, 3, 4]
    assert find("w > w2") == [1]
    assert find("w < w2") == [2, 3]
    assert find("w >= w2") == [0, 1]
    assert find("w2 > 18446744073709551615") == [0, 1, 2, 3, 4]
    # Arithmetic and slices keep their 64-bit meaning.
    assert find("w - w2 == 0") == [0, 1, 2, 3]
    assert find("w[63:0] == w2[63:0]") == [0, 1, 2, 3, 5]  # unknown == unknown
    assert find("w[64]") == []


# ---------------------------------------------------------------- full-width reads


@pytest.mark.parametrize("seed", range(4))
def test_signal_bits_and_signal_int_of_random_vectors(seed):
    import random

    rng = random.Random(seed)
    decls, changes, expect = [], ["#0"], {}
    for k in range(60):
        width = rng.randint(1, 200)
        code = f"c{k}"
        decls.append(f"$var wire {width} {code} v{k} [{width - 1}:0] $end")
        n = rng.randint(1, width)
        digits = "".join(rng.choice("01xz" if rng.random() < 0.5 else "01") for _ in range(n))
        if rng.random() < 0.3:
            digits = digits.lstrip("0") or "0"  # written without leading zeros
        changes.append(f"b{digits} {code}")
        fill = digits[0] if digits[0] in "xz" else "0"
        full = fill * (width - len(digits)) + digits
        two_state = set(full) <= {"0", "1"}
        expect[f"v{k}"] = (full, int(full, 2) if two_state else None)
    t = load("\n".join(decls) + "\n$enddefinitions $end\n" + "\n".join(changes) + "\n")
    for name, (bits, value) in expect.items():
        assert t.signal_bits(name, 0) == bits, name
        assert t.signal_int(name, 0) == value, name


def test_full_width_reads_of_other_values():
    t = load(
        '$var wire 4 ! a $end\n$var real 64 " r $end\n$var wire 2 # s $end\n'
        '$enddefinitions $end\n#0\nb111111 !\nr1.5 "\nsx #\n#1\nz!\n'
    )
    assert (t.signal_bits("a", 0), t.signal_int("a", 0)) == ("111111", 63)  # longer keeps all
    assert (t.signal_bits("a", 1), t.signal_int("a", 1)) == ("zzzz", None)
    for name in ("r", "s", "nope"):
        assert (t.signal_bits(name, 0), t.signal_int(name, 0)) == (None, None)
    assert (t.signal_bits("a", 9), t.signal_int("a", 9)) == (None, None)  # past the end


# ---------------------------------------------------------------- the corpus, rewritten


def _vcd_dumps() -> list[pathlib.Path]:
    """Every VCD of the corpus (by content: some are misnamed) and those made by Icarus Verilog,
    Verilator and fst2vcd among the project's own fixtures."""
    own = [
        ROOT / "fuzz" / "corpus" / "vcd" / "icarus.vcd",
        ROOT / "fuzz" / "corpus" / "vcd" / "verilator.vcd",
        *sorted((DATA / "fst").glob("*.fst2vcd.vcd")),
    ]
    return [p for p in corpus_files("vcd") if tarn.detect_format(p) == "vcd"] + own


DUMPS = _vcd_dumps()


def _lines(path: pathlib.Path) -> list[str]:
    # latin-1 keeps every byte, so lines that are not UTF-8 stay exactly as they were.
    return path.read_bytes().decode("latin-1").splitlines()


def _write(tmp_path: pathlib.Path, lines: list[str]) -> str:
    out = tmp_path / "rewritten.vcd"
    out.write_bytes(("\n".join(lines) + "\n").encode("latin-1"))
    return os.fspath(out)


def _same_trace(a: PyTrace, b: PyTrace, names=None):
    assert a.max_index() == b.max_index()
    n = a.max_index() + 1
    assert [a.timestamp(i) for i in range(n)] == [b.timestamp(i) for i in range(n)]
    for name in names if names is not None else a.signal_names():
        assert a.signal_width(name) == b.signal_width(name), name
        assert [a.signal_bits(name, i) for i in range(n)] == [
            b.signal_bits(name, i) for i in range(n)
        ], name
        assert a.signal_values_range(name, 0, n) == b.signal_values_range(name, 0, n), name


@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_changes_of_the_first_stamp_moved_before_it(path, tmp_path):
    lines = _lines(path)
    strip = [ln.strip() for ln in lines]
    ends = [k for k, s in enumerate(strip) if s.startswith("$enddefinitions")]
    stamps = [k for k, s in enumerate(strip) if s.startswith("#")]
    if not ends or not stamps or stamps[0] < ends[0]:
        pytest.skip("no time stamp after the definitions")
    first = stamps[0]
    second = stamps[1] if len(stamps) > 1 else len(lines)
    moved = lines[:first] + lines[first + 1 : second] + [lines[first]] + lines[second:]
    original = PyTrace.from_vcd(os.fspath(path))
    rewritten = PyTrace.from_vcd(_write(tmp_path, moved))
    assert original.signal_names() == rewritten.signal_names()
    _same_trace(original, rewritten)


class _BitRewrite:
    """Re-declares each vector bit by bit, as ModelSim and Questa write them, and writes each of
    its changes as one scalar change per bit."""

    SKIP_KINDS = {"real", "realtime", "string", "event", "shortreal"}

    def __init__(self, lines: list[str], tight: bool):
        self.lines, self.tight = lines, tight
        self.codes: set[str] = set()
        self.groups: dict[tuple[str, str], set[str]] = {}
        self.width: dict[str, int] = {}
        self.declared: dict[str, list[str]] = {}  # code -> full names as tarn names them today
        scope: list[str] = []
        for s in (ln.strip() for ln in lines):
            parts = s.split()
            if s.startswith("$scope") and len(parts) >= 3:
                scope.append(parts[2])
            elif s.startswith("$upscope") and scope:
                scope.pop()
            elif s.startswith("$var") and len(parts) >= 5:
                code, base = parts[3], parts[4].split("[")[0]
                self.codes.add(code)
                self.groups.setdefault((".".join(scope), base), set()).add(code)
                width = int(parts[2]) if parts[2].isdigit() else 0
                # (wider spans stay separate bits: see test_what_is_not_assembled)
                ok = 1 < width <= 4096 and parts[1] not in self.SKIP_KINDS
                if code in self.width and self.width[code] != width:
                    ok = False
                self.width[code] = width if ok else 0
                self.declared.setdefault(code, []).append(".".join([*scope, base]))
        # Only vectors whose bare name is theirs alone in its scope, and that carry no real or
        # string changes.
        for codes in self.groups.values():
            if len(codes) > 1:
                for c in codes:
                    self.width[c] = 0
        for s in (ln.strip() for ln in lines):
            if s[:1] in ("r", "R", "s", "S") and " " in s:
                self.width[s.split(" ", 1)[1].strip()] = 0
        fresh = (
            f"~{a}{b}{c}" for a, b, c in itertools.product(*["".join(map(chr, range(40, 126)))] * 3)
        )
        self.bits = {
            c: [next(k for k in fresh if k not in self.codes) for _ in range(w)]
            for c, w in self.width.items()
            if w > 1
        }

    def rewrite(self) -> list[str]:
        out, values = [], False
        for line in self.lines:
            s = line.strip()
            parts = s.split()
            if s.startswith("$var") and len(parts) >= 5 and parts[3] in self.bits:
                base = parts[4].split("[")[0]
                sep = "" if self.tight else " "
                for k in range(self.width[parts[3]] - 1, -1, -1):
                    out.append(f"$var wire 1 {self.bits[parts[3]][k]} {base}{sep}[{k}] $end")
                continue
            if s.startswith("$enddefinitions"):
                values = True
            if values and s[:1] in ("b", "B") and " " in s:
                digits, code = s[1:].split(" ", 1)
                code = code.strip()
                if code in self.bits:
                    out += self._bits(code, self._extend(digits, self.width[code]))
                    continue
            if values and s[:1] in ("0", "1", "x", "X", "z", "Z") and s[1:] in self.bits:
                w = self.width[s[1:]]
                c = s[0].lower()
                out += self._bits(s[1:], {"0": "0" * w, "1": "0" * (w - 1) + "1"}.get(c, c * w))
                continue
            out.append(line)
        return out

    @staticmethod
    def _extend(digits: str, w: int) -> str:
        """The bits a vector change stands for, as tarn reads it, at width w."""
        if not digits:
            return "x" * w
        if any(c in "xXzZ" for c in digits):
            bits = "".join(c if c in "01" else "z" if c in "zZ" else "x" for c in digits)
            fill = bits[0] if bits[0] in "xz" else "0"
        else:
            bits = "".join("1" if c == "1" else "0" for c in digits)
            fill = "0"
        return (fill * w + bits)[-w:]

    def _bits(self, code: str, value: str) -> list[str]:
        w = len(value)
        return [f"{value[w - 1 - k]}{self.bits[code][k]}" for k in range(w)]


@pytest.mark.parametrize("tight", [False, True], ids=["spaced", "tight"])
@pytest.mark.parametrize("path", DUMPS, ids=lambda p: p.name)
def test_vectors_declared_bit_by_bit_read_as_the_vector(path, tmp_path, tight):
    rw = _BitRewrite(_lines(path), tight)
    if not rw.bits:
        pytest.skip("no vectors")
    original = PyTrace.from_vcd(os.fspath(path))
    rewritten = PyTrace.from_vcd(_write(tmp_path, rw.rewrite()))
    n = original.max_index() + 1
    assert original.max_index() == rewritten.max_index()
    split_names = set()
    for code, names in rw.declared.items():
        if code not in rw.bits:
            continue
        w = rw.width[code]
        for name in names:
            split_names.add(name)
            assert rewritten.signal_width(name) == w
            for i in range(n):
                want = original.signal_bits(name, i)
                want = want[-w:] if want is not None else None
                got = rewritten.signal_bits(name, i)
                if want is None or set(want) == {"x"}:
                    # x bits are x changes, which hold no value: all x reads as no value
                    assert got is None or set(got) == {"x"}, (name, i)
                else:
                    assert got == want, (name, i)
                for k in range(w):
                    bit = rewritten.signal_bits(f"{name}[{k}]", i)
                    expect = want[w - 1 - k] if want is not None else "x"
                    assert (bit or "x") == expect, (name, k, i)
    # Everything else reads as it did.
    others = [m for m in original.signal_names() if m not in split_names]
    assert set(others) <= set(rewritten.signal_names())
    _same_trace(original, rewritten, others)


def _corpus(name: str) -> PyTrace:
    path = [p for p in corpus_files("vcd") if p.name == name]
    if not path:
        pytest.skip("no corpus beside the project")
    return tarn.open(path[0])


def test_real_dumps_read_right():
    # Questa declares every bus bit by bit: the program counter is a 32-bit vector again.
    t = _corpus("mips_single_cycle_questa_intel_dump.vcd")
    pc = "MIPS_tb.UUT.PC_w"
    assert t.signal_width(pc) == 32
    assert len([n for n in t.signal_names() if n.startswith(pc + "[")]) == 32
    assert [new for _, _, new in t.transitions(pc)][:6] == [0, 1, 2, 3, 4, 5]
    assert t.signal_value(pc, 0) is None  # all bits x before the reset
    # Riviera writes the reset before the first time stamp.
    t = _corpus("alu_uvm_riviera2025_dump.vcd")
    assert t.signal_value("tb.vif.rst", 0) == 1
    # Amaranth's string signals.
    t = _corpus("amaranth_orchard_test_qspi_strings_escid.vcd")
    mode = r"bench.top.\o_octets__payload.mode"
    assert {"PutX1", "GetX1", "Dummy"} <= set(t.signal_values_range(mode, 0, t.max_index() + 1))
    # Xcelium's FSM parameters are written once, before the first time stamp.
    t = _corpus("ahb2apb_xcelium2309_dump.vcd")
    states = ["idle", "read", "reanble", "Wwait", "write", "write_p", "wenable", "wenable_p"]
    assert [t.signal_value(f"test_bench.tb.{s}", t.max_index()) for s in states] == list(range(8))


def test_value_kinds():
    t = load(
        "$var wire 100 ! w $end\n$var real 64 \" r $end\n$var wire 2 # s $end\n"
        "$var wire 4 $ v $end\n$var wire 1 % none $end\n$enddefinitions $end\n"
        f"#0\nb1{'0' * 70} !\nr1.5 \"\nsIDLE #\nb1x $\nx%\n#1\nb1 !\nb11 $\n"
    )
    assert {n: t.value_kinds(n) for n in t.signal_names()} == {
        "w": {"wide", "int"},
        "r": {"real"},
        "s": {"str"},
        "v": {"logic", "int"},
        "none": frozenset(),  # x changes hold no value
    }
    assert t.value_kinds("nope") == frozenset()
