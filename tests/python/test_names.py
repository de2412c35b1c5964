"""local_scopes, local_signals, resolve, find_signals_glob and find_signals_containing."""

import pathlib
import random
import re
import unicodedata

import pytest

import tarn

from random_trace import code


def vcd(scopes):
    """A dump from {scope path: [signal names]}; scopes are opened and closed as nested."""
    lines, k = [], 0
    for path, sigs in scopes.items():
        parts = path.split(".") if path else []
        lines += ["$scope module %s $end" % p for p in parts]
        for s in sigs:
            lines.append("$var wire 1 %s %s $end" % (code(k), s))
            k += 1
        lines += ["$upscope $end"] * len(parts)
    lines += ["$enddefinitions $end", "#0"]
    return tarn.PyTrace.from_vcd_string("\n".join(lines) + "\n")


@pytest.fixture(scope="module")
def t():
    return vcd({
        "top": ["clk"],
        "top.cpu": ["pc"],
        "top.cpu.alu": [],
        "top.mem": [],
        "other": [],
        "top2": ["x"],
        "": ["rst"],
    })


def test_local_scopes(t):
    assert t.scopes() == ["top", "top.cpu", "top.cpu.alu", "top.mem", "other", "top2"]
    assert t.local_scopes("") == ["top", "other", "top2"]
    assert t.local_scopes("top") == ["top.cpu", "top.mem"]
    assert t.local_scopes("top.cpu") == ["top.cpu.alu"]
    assert t.local_scopes("top.mem") == []
    assert t.local_scopes("nowhere") == []


def test_local_scopes_reports_level_one_ancestors_once():
    # Scopes reopened later are listed once by the reader; the children still come out once.
    t = vcd({"a.b.c": ["x"], "a.d": ["y"], "a.b.e": ["z"]})
    assert t.local_scopes("a") == ["a.b", "a.d"]
    assert t.local_scopes("a.b") == ["a.b.c", "a.b.e"]


def test_local_signals(t):
    assert t.local_signals("top") == ["top.clk"]
    assert t.local_signals("top.cpu") == ["top.cpu.pc"]
    assert t.local_signals("") == ["rst"]
    assert t.local_signals("top.mem") == []


def test_resolve(t):
    assert t.resolve("top", "clk") == "top.clk"  # exact lookup
    assert t.resolve("top", "pc") == "top.cpu.pc"  # search below the scope
    assert t.resolve("top", "x") == "top2.x"  # plain text prefix, no dot required
    assert t.resolve("top", "nothing") is None
    assert t.resolve("", "pc") == "top.cpu.pc"
    assert t.resolve("", "rst") == "rst"
    assert t.resolve("top", "c") is None  # "pc" ends with "c" but not at a level boundary
    assert t.resolve("top", "cpu.pc") == "top.cpu.pc"


def test_find_signals_glob(t):
    assert t.find_signals_glob("top.*") == ["top.clk", "top.cpu.pc"]
    assert t.find_signals_glob("*.pc") == ["top.cpu.pc"]
    assert t.find_signals_glob("top.c?k") == ["top.clk"]
    assert t.find_signals_glob("*") == t.signal_names()
    assert t.find_signals_glob("") == []
    assert t.find_signals_glob("TOP.*") == []  # case-sensitive
    assert t.find_signals_glob("top?x") == []  # "?" is exactly one byte
    assert t.find_signals_glob("top*x") == ["top2.x"]
    assert t.find_signals_glob("*.*.*") == ["top.cpu.pc"]
    assert t.find_signals_glob("t*p*.*c") == ["top.cpu.pc"]  # backtracking over two stars


def test_glob_bytes_and_literal_stars():
    t = vcd({"": ["a*b", "axb", "\u00e9t\u00e9", "a.b", "*ab", "a?"]})
    assert t.find_signals_glob("a*b") == ["a*b", "axb", "a.b"]
    # A multi-byte character takes as many "?" as it has bytes.
    assert t.find_signals_glob("?t?") == []
    assert t.find_signals_glob("??t??") == ["\u00e9t\u00e9"]
    assert t.find_signals_glob("a.b") == ["a.b"]  # "." is literal
    assert t.find_signals_glob("**b") == ["a*b", "axb", "a.b", "*ab"]
    # A "*" in the pattern stays a wildcard where the name holds a "*" too.
    assert t.find_signals_glob("*") == t.signal_names()
    assert t.find_signals_glob("a*") == ["a*b", "axb", "a.b", "a?"]
    assert t.find_signals_glob("*a*") == ["a*b", "axb", "a.b", "*ab", "a?"]
    assert t.find_signals_glob("a?") == ["a?"]


def test_glob_matches_reference_on_random_names():
    rng = random.Random(7)
    names = ["".join(rng.choice("ab.*?") for _ in range(rng.randint(0, 6))) for _ in range(60)]
    names = list(dict.fromkeys(n for n in names if n and not n.startswith(".")))
    t = vcd({"": names})
    for _ in range(200):
        pat = "".join(rng.choice("ab.*?") for _ in range(rng.randint(0, 5)))
        # "?" is any byte, "*" any run; on ASCII names a regex is an independent reference.
        rx = re.compile("".join(".*" if c == "*" else "." if c == "?" else re.escape(c)
                                for c in pat), re.S)
        assert t.find_signals_glob(pat) == [n for n in t.signal_names() if rx.fullmatch(n)], pat


def test_find_signals_containing(t):
    assert t.find_signals_containing("CPU") == ["top.cpu.pc"]
    assert t.find_signals_containing("") == t.signal_names()
    assert t.find_signals_containing("Top2.X") == ["top2.x"]
    assert t.find_signals_containing("nothing") == []


def test_containing_uses_full_unicode_lower_case():
    names = [
        "top.\u0130dx",   # capital I with dot: lowers to "i" + combining dot (2 bytes -> 3)
        "top.\u212aelvin",  # Kelvin sign: lowers to ASCII "k" (3 bytes -> 1)
        "top.\u023a",     # 2 bytes, lower case U+2C65 takes 3
        "top.\u039f\u0394\u039f\u03a3",  # final capital sigma lowers to the final form
        "top.idx",
    ]
    t = vcd({"": names})
    assert t.find_signals_containing("i\u0307dx") == [names[0]]
    assert t.find_signals_containing("\u0130D") == [names[0]]
    assert t.find_signals_containing("IDX") == [names[4]]  # the combining dot sits in between
    assert t.find_signals_containing("kelvin") == [names[1]]
    assert t.find_signals_containing("\u2c65") == [names[2]]
    assert t.find_signals_containing("\u03bf\u03b4\u03bf\u03c2") == [names[3]]
    assert t.find_signals_containing("\u03bf\u03b4\u03bf\u03c3") == []


def _table_version():
    src = pathlib.Path(__file__).resolve().parents[2] / "cpp/tarn_core/util/lowercase_table.cpp"
    if not src.exists():
        return None
    m = re.search(r'kUnicodeVersion\[\] = "([^"]+)"', src.read_text())
    return m and m.group(1)


@pytest.mark.skipif(_table_version() != unicodedata.unidata_version,
                    reason="lower-case table built from another Unicode version")
def test_containing_agrees_with_python_lower():
    rng = random.Random(3)
    alphabet = ("aAzZ.\u00c9\u00df\u0130\u0131\u212a\u03a3\u03c3\u0345'\u02b0\u1e9e"
                "\u0041\u030a\u2160\U00010400\u00b7:")
    names = list(dict.fromkeys(
        "s" + "".join(rng.choice(alphabet) for _ in range(rng.randint(1, 8))) for _ in range(300)))
    t = vcd({"": names})
    for _ in range(150):
        sub = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 3)))
        expected = [n for n in names if sub.lower() in n.lower()]
        assert t.find_signals_containing(sub) == expected, repr(sub)


def test_arguments(t):
    for method, arg in [(t.local_scopes, "scope_name"), (t.local_signals, "scope_name"),
                        (t.find_signals_glob, "pattern"),
                        (t.find_signals_containing, "substring")]:
        with pytest.raises(TypeError, match=arg):
            method(1)
    with pytest.raises(TypeError, match="short_name"):
        t.resolve("top", None)
    with pytest.raises(TypeError, match="scope_name"):
        t.resolve(None, "clk")
    assert t.resolve(short_name="pc", scope_name="top") == "top.cpu.pc"
    assert t.find_signals_glob(pattern="top.c?k") == ["top.clk"]
