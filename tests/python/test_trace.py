"""The read operations of a loaded trace: answers outside the recorded data, and argument
errors."""

import os

import pytest

from tarn import PyTrace

# top.clk is 1 at index 0 and 0 at index 1.
CLOCK = "$scope module top $end\n$var wire 1 ! clk $end\n$upscope $end\n#0\n1!\n#10\n0!\n"


def test_basic_query_defaults():
    t = PyTrace.from_vcd_string(CLOCK)
    assert t.signal_value("nope", 0) is None
    assert t.signal_value_raw("nope", 0) == 0
    assert t.signal_id("nope") is None
    assert t.signal_value("top.clk", 99) is None
    assert t.signal_values_range("top.clk", 3, 3) == []
    assert t.signal_values_range("nope", 5, 2) == []
    assert t.signal_values_range("nope", 0, 3) == [None] * 3
    assert t.signal_values_range("top.clk", 1, 4) == [0, None, None]
    assert t.timestamp(2**64 - 1) == 0


def test_argument_errors():
    t = PyTrace.from_vcd_string(CLOCK)
    with pytest.raises(OverflowError):
        t.timestamp(-1)
    with pytest.raises(OverflowError):
        t.timestamp(2**64)
    with pytest.raises(TypeError, match="index"):
        t.timestamp("0")
    with pytest.raises(TypeError, match="path"):
        PyTrace.from_vcd(os.path)
    with pytest.raises(TypeError):
        t.signal_value("top.clk")
    with pytest.raises(TypeError):
        t.signal_value("top.clk", 0, 1)
    with pytest.raises(TypeError):
        t.signal_value(name="top.clk", index=0, other=1)
    assert t.signal_value(name="top.clk", index=1) == 0
    with pytest.raises(TypeError):
        PyTrace()
