"""Timing diagrams: the WaveJSON document tarn.wave builds from a trace (the SVG drawing is
checked through the command in test_cli.py)."""

import pytest

from tarn import PyTrace
from tarn import wave as wave_mod


@pytest.fixture
def trace(example_vcd):
    return PyTrace.from_vcd(example_vcd)


def test_wavejson(trace):
    doc = wave_mod.wavejson(trace, ["tb.clk", "tb.count", "tb.data_bus", "tb.temperature"], 0, 9)
    lanes = {lane["name"].lstrip("\u200b"): lane for lane in doc["signal"]}
    clk = trace.signal_values_range("tb.clk", 0, 10)
    expected = "".join(
        "." if i and clk[i] == clk[i - 1] else str(clk[i]) for i in range(10)
    )
    assert lanes["clk"]["wave"] == expected
    assert lanes["count"]["wave"][0] == "x" and lanes["count"]["data"][:2] == ["0", "1"]
    # data_bus is x until index 6, then z.
    assert lanes["data_bus"]["wave"] == "x.....z..."
    assert lanes["temperature"]["data"][0] == "25"
    assert doc["head"] == {"tick": 0, "text": "tb"}
    hexdoc = wave_mod.wavejson(trace, ["tb.count"], 60, 70, hex_values=True)
    assert any(c.isalpha() for c in "".join(hexdoc["signal"][0]["data"]))
