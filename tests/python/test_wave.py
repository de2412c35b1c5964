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


def _polygons(svg: str):
    """The x extent and label of every bus stretch drawn."""
    import re
    import xml.etree.ElementTree as ET

    root = ET.fromstring(svg)
    ns = "{http://www.w3.org/2000/svg}"
    spans = []
    for poly in root.iter(ns + "polygon"):
        xs = [float(p.split(",")[0]) for p in poly.get("points").split()]
        spans.append((min(xs), max(xs)))
    texts = ["".join(t.itertext()) for t in root.iter(ns + "text")]
    return spans, texts, re.findall(r"<rect [^>]*fill=\"#9e9e9e\"", svg)


def test_svg_draws_time_to_scale():
    t = PyTrace.from_vcd_string(
        "$timescale 10 ps $end\n$var wire 4 ! bus $end\n$var wire 1 \" clk $end\n"
        "$enddefinitions $end\n#0\nb1 !\n0\"\n#10\nb10 !\n1\"\n#1000\nb11 !\n#1010\n"
    )
    # Indices 0 to 2: the last one lasts until the next time stamp.
    svg = wave_mod.svg(t, ["bus", "clk"], 0, 2, title="t")
    spans, texts, dense = _polygons(svg)
    widths = [b - a for a, b in spans]
    # Values last 10, 990 and 10 time stamps: the drawing keeps those proportions.
    assert len(widths) == 3
    assert abs(widths[1] / widths[0] - 99) < 2 and abs(widths[2] / widths[0] - 1) < 0.2
    assert {"2", "bus", "clk"} <= set(texts)  # the narrow stretches have no room for a label
    # The axis is labelled in the dump's unit scaled to the span: 10 ps x 1010 is 10.1 ns.
    assert any(s.endswith(" ns") for s in texts) and not dense


def test_svg_marks_x_and_z_and_merges_dense_stretches():
    lines = ["$var wire 1 ! a $end", "$var wire 8 \" b $end", "$enddefinitions $end", "#0", "x!",
             "bz \""]
    for k in range(1, 5000):
        lines += [f"#{k}", f"{k & 1}!", f"b{k:b} \""]
    t = PyTrace.from_vcd_string("\n".join(lines) + "\n")
    svg = wave_mod.svg(t, ["a", "b"], 0, 4999)
    _, texts, dense = _polygons(svg)
    assert dense, "5,000 changes in 900 pixels are drawn as a band"
    assert len(svg) < 200_000
    svg = wave_mod.svg(t, ["a", "b"], 0, 3)
    assert 'stroke="#3c78d8"' in svg  # b is z at index 0
    assert "x" in _polygons(svg)[1]  # a is x at index 0
