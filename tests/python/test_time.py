"""Time: the unit of the time stamps (`timescale`) and the index of a time (`index_at`)."""

from __future__ import annotations

import bisect
import gzip
import random
import re

import pytest

import tarn
from tarn import PyTrace

from conftest import corpus_files

VAR = "$var wire 1 ! a $end\n"


@pytest.mark.parametrize(
    "section, expect",
    [
        ("$timescale 1ns $end", (1, "ns")),
        ("$timescale 1 ns $end", (1, "ns")),
        ("$timescale\n\t10ps\n$end", (10, "ps")),
        ("$timescale\n 100\n fs\n$end", (100, "fs")),
        ("$timescale 1s $end", (1, "s")),
        ("$timescale 1 us $end", (1, "us")),
        ("$timescale 100ms $end", (100, "ms")),
        ("$timescale 1 parsec $end", None),
        ("$timescale $end", None),
        ("", None),
    ],
)
def test_vcd_timescale_in_any_layout(section, expect):
    t = PyTrace.from_vcd_string(section + "\n" + VAR + "$enddefinitions $end\n#0\n1!\n")
    assert t.timescale() == expect
    assert t.signal_value("a", 0) == 1


def test_a_timescale_section_without_end_does_not_swallow_the_dump():
    t = PyTrace.from_vcd_string("$timescale\n" + VAR + "$enddefinitions $end\n#0\n1!\n#7\n0!\n")
    assert (t.timescale(), t.signal_values_range("a", 0, 2), t.timestamp(1)) == (None, [1, 0], 7)
    t = PyTrace.from_vcd_string("$timescale\n1 ns\n#3\n" + VAR)
    assert (t.timescale(), t.timestamp(0)) == ((1, "ns"), 3)


def _vcd_timescale(text: str):
    m = re.search(r"\$timescale(.*?)\$end", text, re.S)
    if not m:
        return None
    m = re.fullmatch(r"\s*(\d+)\s*(s|ms|us|ns|ps|fs)\s*", m.group(1))
    return (int(m.group(1)), m.group(2)) if m else None


@pytest.mark.parametrize("path", corpus_files("vcd"), ids=lambda p: p.name)
def test_timescale_of_corpus_vcds(path):
    if tarn.detect_format(path) != "vcd":
        pytest.skip("not a VCD")
    expect = _vcd_timescale(path.read_bytes().decode("latin-1"))
    assert tarn.open(path).timescale() == expect


def _fst_exponent(data: bytes) -> int:
    if data[0] == 0xFE:  # the whole file in a gzip wrapper
        data = gzip.decompress(data[17:])
    return int.from_bytes(data[73:74], "little", signed=True)


@pytest.mark.parametrize("path", corpus_files("fst"), ids=lambda p: p.name)
def test_timescale_of_corpus_fsts(path):
    e = _fst_exponent(path.read_bytes())
    unit = 0 if e >= 0 else -((-e + 2) // 3) * 3
    expect = (10 ** (e - unit), {0: "s", -3: "ms", -6: "us", -9: "ns", -12: "ps", -15: "fs"}[unit])
    assert tarn.open(path).timescale() == expect


@pytest.mark.parametrize("seed", range(5))
def test_index_at_is_a_bisect_over_the_time_stamps(seed):
    rng = random.Random(seed)
    times, t = [], rng.randint(0, 5)
    for _ in range(rng.randint(1, 300)):
        t += rng.choice([0, 0, 1, 2, 10, 1000])
        times.append(t)
    trace = PyTrace.from_vcd_string("".join(f"#{x}\n" for x in times))
    for q in {0, times[0] - 1, times[-1], times[-1] + 1, *rng.sample(range(times[-1] + 2), 50)}:
        if q < 0:
            continue
        k = bisect.bisect_right(times, q) - 1
        assert trace.index_at(q) == (k if k >= 0 else None), q


def test_index_at_edges():
    assert PyTrace.from_vcd_string("").index_at(0) is None
    t = PyTrace.from_vcd_string("#10\n#20\n#20\n#30\n")
    assert [t.index_at(x) for x in (9, 10, 19, 20, 29, 30, 2**64 - 1)] == [None, 0, 0, 2, 2, 3, 3]
    with pytest.raises(OverflowError):
        t.index_at(-1)
    # Time stamps that go back: the last index before the time is first passed.
    t = PyTrace.from_vcd_string("#10\n#30\n#20\n#40\n")
    assert [t.index_at(x) for x in (10, 20, 29, 30, 35, 40)] == [0, 0, 0, 2, 2, 3]
