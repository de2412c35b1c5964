"""The Python data layer: tarn.Trace's time-stamp array, signal views, pandas and Arrow frames,
the reprs Jupyter shows, and `tarn export`."""

from __future__ import annotations

import json
import math
import os
import sys

import numpy as np
import pytest

import tarn
from tarn.cli import main

from conftest import corpus_files

pd = pytest.importorskip("pandas")


@pytest.fixture
def trace(example_vcd):
    return tarn.open(example_vcd)


def test_trace_keeps_every_pytrace_method(trace):
    assert isinstance(trace, tarn.Trace) and isinstance(trace.core, tarn.PyTrace)
    for name in dir(tarn.PyTrace):
        if not name.startswith("__"):
            assert callable(getattr(trace, name)), name
    assert trace.signal_value("tb.count", 10) == 1
    assert trace.find(tarn.compile(trace, "tb.count == 3")) == [13, 14]


def test_times_is_one_uint64_array(trace):
    times = trace.times
    assert times.dtype == np.uint64 and len(times) == trace.max_index() + 1
    assert times.tolist() == [trace.timestamp(i) for i in range(len(times))]
    assert trace.times is times  # built once
    with pytest.raises(ValueError):
        times[0] = 1  # read-only: the trace never changes
    assert len(tarn.Trace(tarn.PyTrace.from_vcd_string("")).times) == 0


def test_signal_views(trace):
    count = trace["tb.count"]
    assert (count.name, count.width, count.id) == ("tb.count", 8, trace.signal_id("tb.count"))
    assert count[10] == 1 and count[-1] == trace.signal_value("tb.count", trace.max_index())
    assert count[8:12] == [0, 1, 1, 2] and count[8:12:2] == [0, 1]
    assert count.at(40000) == 1 and count.at("40ns") == 1 and count.at("34.9ns") == 0
    assert count.bits(10) == "00000001" and count.integer(10) == 1
    assert count.transitions() == trace.transitions("tb.count")
    assert count.kinds == {"int", "logic"} or count.kinds == {"int"}
    # Short names resolve as on the command line.
    assert trace["temperature"].name == "tb.temperature"
    with pytest.raises(KeyError, match=r"did you mean tb\.count"):
        trace["tb.cuont"]
    with pytest.raises(KeyError, match=r"tb\.count, tb\.dut\.count"):
        trace["count"]
    assert "tb.count" in trace and "count" not in trace
    with pytest.raises(IndexError):
        count[-10_000]


def test_to_numpy_gives_the_change_points(trace):
    ch = trace["tb.count"].to_numpy()
    transitions = trace.transitions("tb.count")
    assert ch.indices.tolist() == [0] + [i for i, _, _ in transitions]
    assert ch.times.tolist() == [trace.timestamp(i) for i in ch.indices.tolist()]
    # No value at index 0: masked, never a float.
    assert ch.values.dtype == np.uint64 and bool(ch.values.mask[0])
    assert ch.values[1:].tolist() == [new for _, _, new in transitions]
    temp = trace["tb.temperature"].to_numpy()
    assert temp.values.dtype == np.float64 and temp.values[0] == 25.0


def test_frame_rows_and_types(trace):
    names = ["tb.count", "tb.temperature", "tb.data_bus", "tb.state"]
    df = trace.to_pandas(names)
    assert list(df.columns) == ["index", "time", *names]
    assert [str(t) for t in df.dtypes] == ["uint64", "uint64", "UInt64", "float64", "UInt64",
                                           "UInt64"]
    changes = {0}
    for n in names:
        changes |= {i for i, _, _ in trace.transitions(n)}
    assert df["index"].tolist() == sorted(changes)
    assert df["time"].tolist() == [trace.timestamp(i) for i in sorted(changes)]
    assert df["tb.count"].isna().tolist()[:3] == [True, False, False]  # x is <NA>, not NaN
    # A range: its first sample, then the changes inside it; times with units work too.
    part = trace.to_pandas(["tb.count"], 10, 20)
    assert part["index"].tolist() == [10, 11, 13, 15, 17, 19]
    same = trace.to_pandas(["tb.count"], "40ns", "90ns")  # the samples from 40 ns, before 90 ns
    assert same["index"].tolist() == part["index"].tolist()
    assert trace.to_pandas(["tb.count"], 5, 5).empty


def test_frames_of_wide_and_text_signals():
    t = tarn.Trace(
        tarn.PyTrace.from_vcd_string(
            "$var wire 100 ! w $end\n$var string 1 \" s $end\n$var real 64 # r $end\n"
            "$enddefinitions $end\n"
            f"#0\nb1{'0' * 70} !\nsIDLE \"\n#1\nx!\nsBUSY \"\nr2.5 #\n#2\nb11 !\n"
        )
    )
    df = t.to_pandas(["w", "s", "r"])
    assert df["w"].tolist() == [2**70, None, 3]
    assert str(df["s"].dtype) == "string" and df["s"].tolist() == ["IDLE", "BUSY", "BUSY"]
    assert math.isnan(df["r"][0]) and df["r"].tolist()[1:] == [2.5, 2.5]
    pa = pytest.importorskip("pyarrow")
    table = t.to_arrow(["w", "s", "r"])
    assert table.schema.field("w").type == pa.decimal256(76, 0)
    assert [None if v is None else int(v) for v in table["w"].to_pylist()] == [2**70, None, 3]
    assert table["r"].to_pylist() == [None, 2.5, 2.5]


def test_arrow_matches_pandas(trace):
    pytest.importorskip("pyarrow")
    names = ["tb.count", "tb.temperature", "tb.valid"]
    table = trace.to_arrow(names)
    df = trace.to_pandas(names)
    assert table.column_names == list(df.columns)
    for name in names:
        want = [None if (v is pd.NA or (isinstance(v, float) and math.isnan(v))) else v
                for v in df[name].tolist()]
        assert table[name].to_pylist() == want, name


def test_jupyter_reprs(trace):
    page = trace._repr_html_()
    for text in ("examples/counter.vcd", "vcd", "1 ps", "16", "0 ps to 582000 ps"):
        assert text in page
    assert "counter.vcd' (vcd): 16 signals, 123 samples, 0 ps to 582000 ps>" in repr(trace)
    svg = trace.wave(["tb.clk", "tb.count"], 0, "100ns")._repr_svg_()
    assert svg.startswith("<svg") and "count" in svg


def test_missing_extras_say_which_to_install(trace, monkeypatch):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"tarn\[pandas\]"):
        trace.to_pandas(["tb.count"])
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError, match=r"tarn\[arrow\]"):
        trace.to_arrow(["tb.count"])


def _expected(trace, name, n):
    """What a frame column should hold at every index, read one index at a time."""
    kinds = trace.value_kinds(name)
    values = trace.signal_values_range(name, 0, n)
    if "str" in kinds or "real" in kinds:
        return values
    return [trace.signal_int(name, i) if v is None or trace.signal_width(name) > 64 else v
            for i, v in enumerate(values)]


def _reconstruct(df, name, n):
    """Every index's value from the frame's change rows, carried forward."""
    rows = df["index"].tolist()
    col = [None if v is pd.NA else v for v in df[name].tolist()]
    out, k = [], -1
    for i in range(n):
        while k + 1 < len(rows) and rows[k + 1] <= i:
            k += 1
        out.append(col[k] if k >= 0 else None)
    return out


def _same(a, b):
    if isinstance(a, float) and math.isnan(a):
        return b is None or (isinstance(b, float) and math.isnan(b))
    return a == b and (a is None) == (b is None)


CORPUS = [p for kind in ("vcd", "fst", "fsdb", "wlf", "shm") for p in corpus_files(kind)]


@pytest.mark.filterwarnings("ignore::tarn.BestEffortWarning")
@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
def test_frames_rebuild_every_index_of_every_signal(path):
    t = tarn.open(path)
    names = t.signal_names()
    n = len(t.times)
    if not names or not n:
        pytest.skip("no values")
    # The frame of every signal at once, and of each signal alone: both rebuild its values.
    df = t.to_pandas(names)
    for name in names:
        want = _expected(t, name, n)
        got = _reconstruct(df, name, n)
        assert all(_same(g, w) for g, w in zip(got, want)), name
    for name in names[:20]:
        alone = t.to_pandas([name])
        assert set(alone["index"].tolist()) <= set(df["index"].tolist())


# ---------------------------------------------------------------- tarn export


def test_export_csv_json_parquet(example_vcd, tmp_path, capsys):
    assert main(["export", example_vcd, "tb.count", "temperature", "--to", "20"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0] == "index,time,tb.count,tb.temperature"
    assert lines[1] == "0,0,,25.0" and lines[-1] == "19,85000,6,27.25"
    out = tmp_path / "f.json"
    assert main(["export", example_vcd, "tb.count", "--format", "json", "--from", "10ns",
                 "--to", "20ns", "-o", os.fspath(out)]) == 0
    doc = json.loads(out.read_text())
    assert doc["timescale"] == "1 ps"
    assert doc["rows"] == [{"index": 2, "time": 10000, "tb.count": 0}]
    pq = pytest.importorskip("pyarrow.parquet")
    out = tmp_path / "f.parquet"
    assert main(["export", example_vcd, "tb.count", "tb.state", "--format", "parquet",
                 "-o", os.fspath(out)]) == 0
    table = pq.read_table(out)
    assert table.column_names == ["index", "time", "tb.count", "tb.state"]
    assert table.schema.metadata[b"timescale"] == b"1 ps"
    assert main(["export", example_vcd, "tb.count", "--format", "parquet"]) == 1
    assert "-o" in capsys.readouterr().err


def test_values_at_the_matches_of_a_search(trace):
    hits = trace.find(tarn.compile(trace, "tb.valid && tb.ready"))
    df = trace.values_at(["tb.count", "tb.temperature", "tb.data_bus"], hits)
    assert df["index"].tolist() == hits
    assert df["time"].tolist() == [trace.timestamp(i) for i in hits]
    assert df["tb.count"].tolist() == [trace.signal_value("tb.count", i) for i in hits]
    assert df["tb.temperature"].tolist() == [trace.signal_value("tb.temperature", i) for i in hits]
    assert trace.values_at(["tb.count"], []).empty
    with pytest.raises(ValueError, match="ascending"):
        trace.values_at(["tb.count"], [5, 3])
