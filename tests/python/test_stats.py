"""signal_stats, real_stats, bit_slice_val and sign_extend_val."""

import math

import pytest

import tarn

from random_trace import random_trace, strictly_equal

M64 = 2**64 - 1


def dump(changes, width=8):
    """One signal `v` of `width` bits; changes is a list of VCD value texts, one per index
    (None for no change at that index)."""
    lines = ["$var wire %d ! v $end" % width, "$enddefinitions $end"]
    for i, c in enumerate(changes):
        lines.append("#%d" % i)
        if c is not None:
            lines.append(c if c[0] in "01xz" else c + " !")
    return tarn.PyTrace.from_vcd_string("\n".join(lines) + "\n")


def test_int_values():
    t = dump(["b11", "b11", "b111", "b1"])
    assert t.signal_stats("v") == (1, 7, 14, 4, 2, 0, 0)


def test_missing_start_counts_as_x():
    t = dump([None, None, "b101", None])
    assert t.signal_stats("v") == (5, 5, 10, 2, 1, 2, 0)
    assert len(t.transitions("v")) == 1


def test_logic_bits_and_no_numbers():
    t = dump(["bxz1", "bxz1", "bzz0"])
    # x z 1 twice (one x, one z each), then z z 0: no Int ever, so min and max stay 0.
    assert t.signal_stats("v") == (0, 0, 0, 0, 1, 2, 4)


def test_sum_wraps():
    big = "b" + "1" * 64
    t = dump([big, big, "b10"])
    assert t.signal_stats("v") == (2, M64, (2 * M64 + 2) % 2**64, 3, 1, 0, 0)


def test_reals_count_only_as_transitions():
    lines = ["$var real 64 ! r $end", "$enddefinitions $end"]
    for i, x in enumerate(["1.5", "nan", "nan", "-0", "0"]):
        lines += ["#%d" % i, "r%s !" % x]
    t = tarn.PyTrace.from_vcd_string("\n".join(lines) + "\n")
    # 1.5->nan, nan->nan, nan->-0; -0 and 0 are equal.
    assert t.signal_stats("r") == (0, 0, 0, 0, 3, 0, 0)
    assert len(t.transitions("r")) == 3


def test_real_stats_weigh_each_value_by_its_indices():
    lines = ["$var real 64 ! r $end", "$var real 64 \" n $end", "$var wire 2 # v $end",
             "$enddefinitions $end", "#0", "b1 #"]
    for i, (r, n) in enumerate([("-120", "nan"), (None, None), ("0.5", "nan"), ("1e-3", None),
                                (None, "nan"), (None, None)]):
        lines.append("#%d" % (i + 1))
        lines += [f"r{r} !"] * (r is not None) + [f"r{n} \""] * (n is not None)
    t = tarn.PyTrace.from_vcd_string("\n".join(lines) + "\n")
    # Index 0 has no value; -120 holds 2 indices, 0.5 one, 1e-3 three.
    assert t.real_stats("r") == (-120.0, 0.5, (-240 + 0.5 + 3e-3) / 6, 6)
    lo, hi, mean, count = t.real_stats("n")  # only NaN
    assert math.isnan(lo) and math.isnan(hi) and math.isnan(mean) and count == 6
    assert t.real_stats("v") is None and t.real_stats("nope") is None
    with pytest.raises(TypeError, match="name"):
        t.real_stats(b"r")


def test_unknown_name_and_past_the_end():
    t = dump(["b1"])
    assert t.signal_stats("nope") == (0,) * 7
    assert t.signal_stats("v") == (1, 1, 1, 1, 0, 0, 0)


@pytest.mark.parametrize("seed", range(12))
def test_stats_match_naive_per_index_computation(seed):
    t, names, model = random_trace(seed + 100, n_signals=8, n_indices=60)
    for name in names:
        vals = model[name]
        ints = [v[1] for v in vals if v is not None and v[0] == "int"]
        logic = [b for v in vals if v is not None and v[0] == "logic" for b in v[1]]
        changes = sum(1 for i in range(1, len(vals)) if not strictly_equal(vals[i - 1], vals[i]))
        expected = (min(ints, default=0), max(ints, default=0), sum(ints) % 2**64, len(ints),
                    changes, logic.count(2) + vals.count(None), logic.count(3))
        assert t.signal_stats(name) == expected
        assert t.signal_stats(name)[4] == len(t.transitions(name))


def test_bit_slice_val():
    t = dump([])
    assert t.bit_slice_val(240, 7, 4) == 15
    assert t.bit_slice_val(240, 3, 5) == 0
    assert t.bit_slice_val(M64, 63, 0) == M64
    assert t.bit_slice_val(0x8000000000000001, 63, 63) == 1
    # Widths reaching past bit 63, and fields wholly above it.
    assert t.bit_slice_val(M64, 2**64 - 1, 0) == M64
    assert t.bit_slice_val(M64, 100, 60) == 15
    assert t.bit_slice_val(M64, 70, 64) == 0
    assert t.bit_slice_val(val=6, high=2, low=1) == 3


def test_sign_extend_val():
    t = dump([])
    assert t.sign_extend_val(15, 4) == -1
    assert t.sign_extend_val(7, 4) == 7
    assert t.sign_extend_val(496, 4) == 496
    assert t.sign_extend_val(504, 4) == -8
    assert t.sign_extend_val(M64, 0) == -1
    assert t.sign_extend_val(M64, 64) == -1
    assert t.sign_extend_val(2**63, 2**64 - 1) == -(2**63)
    assert t.sign_extend_val(1, 1) == -1
    assert t.sign_extend_val(2**62, 63) == -(2**62)


def test_arguments():
    t = dump(["b1"])
    with pytest.raises(TypeError, match="name"):
        t.signal_stats(1)
    with pytest.raises(OverflowError, match="val"):
        t.bit_slice_val(-1, 1, 0)
    with pytest.raises(OverflowError, match="val"):
        t.sign_extend_val(2**64, 4)
    with pytest.raises(OverflowError, match="low"):
        t.bit_slice_val(1, 1, -1)
    with pytest.raises(TypeError, match="width"):
        t.sign_extend_val(1, 4.0)
    with pytest.raises(TypeError, match="high"):
        t.bit_slice_val(1, "1", 0)
    with pytest.raises(TypeError):
        t.bit_slice_val(1, 2)
