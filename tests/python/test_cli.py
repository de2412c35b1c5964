"""The tarn command on the example dump: tables, --json parsed back, error exits."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET

import pytest

from tarn import PyTrace
from tarn.cli import main, scope_tree


@pytest.fixture
def run(capsys, example_vcd):
    """Run ``tarn`` with the example dump as the file."""

    def go(command, *args, file=None):
        code = main([command, example_vcd if file is None else file, *args])
        out, err = capsys.readouterr()
        return code, out, err

    return go


def as_json(run, command, *args):
    code, out, err = run(command, *args, "--json")
    assert code == 0, err
    return json.loads(out)


@pytest.fixture
def trace(example_vcd):
    return PyTrace.from_vcd(example_vcd)


def test_info(run, trace, example_vcd):
    code, out, _ = run("info")
    assert code == 0
    assert f"file:        {example_vcd}" in out
    assert "format:      vcd" in out
    assert "signals:     16" in out
    assert "time stamps: 123" in out
    assert "... and 6 more" in out
    doc = as_json(run, "info")
    assert doc["signals"] == 16 and doc["scopes"] == 2 and doc["time_stamps"] == 123
    assert doc["last_time"] == trace.timestamp(trace.max_index())


def test_scopes_tree(run, trace):
    code, out, _ = run("scopes")
    assert code == 0
    assert out.splitlines() == ["tb  (9 signals)", "└── dut  (7 signals)"]
    doc = as_json(run, "scopes")
    assert doc == [
        {"name": "tb", "path": "tb", "signals": 9,
         "scopes": [{"name": "dut", "path": "tb.dut", "signals": 7, "scopes": []}]}
    ]


def test_scope_tree_shape():
    t = PyTrace.from_vcd_string(
        "$scope module a $end $var wire 1 ! x $end $scope module b $end $scope module c $end "
        "$var wire 1 \" y $end $upscope $end $upscope $end $scope module d $end $upscope $end "
        "$upscope $end $scope module e $end $upscope $end $enddefinitions $end\n"
        .replace(" $end ", " $end\n")
    )
    tree = scope_tree(t)
    assert [n["path"] for n in tree] == ["a", "e"]
    assert [n["path"] for n in tree[0]["scopes"]] == ["a.b", "a.d"]
    assert tree[0]["scopes"][0]["scopes"][0]["signals"] == 1


def test_signals(run, trace):
    code, out, _ = run("signals")
    lines = out.splitlines()
    assert code == 0 and lines[0].split() == ["NAME", "WIDTH"] and len(lines) == 17
    assert lines[3].split() == ["tb.count", "8"]
    # Columns line up: every width ends in the same column.
    assert len({len(line) for line in lines}) == 1
    doc = as_json(run, "signals")
    assert doc[2] == {"name": "tb.count", "width": 8}
    assert [d["name"] for d in as_json(run, "signals", "--glob", "tb.dut.*")] == [
        n for n in trace.signal_names() if n.startswith("tb.dut.")
    ]
    assert [d["name"] for d in as_json(run, "signals", "--contains", "COUNT")] == [
        "tb.count", "tb.dut.count"
    ]


def test_value(run, trace):
    code, out, _ = run("value", "tb.count", "10")
    assert code == 0
    assert out.split() == ["SIGNAL", "INDEX", "TIME", "VALUE", "tb.count", "10", "40000", "ps",
                           "1"]
    assert as_json(run, "value", "tb.temperature", "4") == {
        "signal": "tb.temperature", "index": 4, "time": 15000, "value": 25.5, "timescale": "1 ps"
    }
    # A short name that is the last part of one full name is enough.
    assert as_json(run, "value", "temperature", "0")["signal"] == "tb.temperature"
    assert as_json(run, "value", "tb.data_bus", "3")["value"] is None
    # "@T" picks the last sample at or before time T.
    assert as_json(run, "value", "tb.count", "@40000")["index"] == 10
    assert as_json(run, "value", "tb.count", "@39999")["index"] == 9
    assert as_json(run, "value", "tb.count", "@99999999")["index"] == trace.max_index()
    assert as_json(run, "value", "tb.count", "0x0a")["index"] == 10
    assert as_json(run, "value", "tb.count", "010")["index"] == 10
    # A time with a unit, in the dump's own unit or any other; a bare number stays an index.
    assert as_json(run, "value", "tb.count", "40ns")["index"] == 10
    assert as_json(run, "value", "tb.count", "39.999 ns")["index"] == 9
    assert as_json(run, "value", "tb.count", "40000ps")["index"] == 10
    assert as_json(run, "value", "tb.count", "0.00004ms")["index"] == 10
    code, out, _ = run("value", "tb.data_bus", "3")
    assert code == 0 and out.split()[-1] == "x"


def test_snapshot_and_changes(run, trace):
    doc = as_json(run, "snapshot", "9")
    assert doc["index"] == 9 and doc["time"] == trace.timestamp(9)
    assert doc["values"] == {n: trace.signal_value(n, 9) for n in trace.signal_names()}
    doc = as_json(run, "snapshot", "9", "--scope", "tb.dut")
    assert doc["values"]["count"] == trace.signal_value("tb.dut.count", 9)
    code, out, _ = run("snapshot", "9", "--scope", "tb.dut")
    assert code == 0 and out.splitlines()[0] == "index 9, time 35000 ps, scope tb.dut"

    doc = as_json(run, "changes", "9")
    names = trace.signal_names()
    expected = [
        {"name": n, "old": trace.signal_value(n, 8), "new": trace.signal_value(n, 9)}
        for n in names
        if trace.signal_values_range(n, 8, 10)[0] != trace.signal_values_range(n, 8, 10)[1]
    ]
    assert doc["changes"] == expected
    code, out, _ = run("changes", "9", "--scope", "tb.dut")
    assert code == 0 and out.startswith("index 9, time 35000 ps: ")
    assert all(line.startswith("tb.dut.") for line in out.splitlines()[2:])


def test_transitions_and_stats(run, trace):
    doc = as_json(run, "transitions", "tb.state")
    states = trace.signal_values_range("tb.state", 0, trace.max_index() + 1)
    expected = [i for i in range(1, len(states)) if states[i] != states[i - 1]]
    assert [t["index"] for t in doc["transitions"]] == expected
    assert doc["total"] == len(expected)
    first = doc["transitions"][0]
    assert first == {"index": 1, "time": 5000, "old": None, "new": 0}
    doc = as_json(run, "transitions", "tb.count", "--limit", "2")
    assert len(doc["transitions"]) == 2 and doc["total"] > 2
    code, out, _ = run("transitions", "tb.count", "--limit", "2")
    assert out.splitlines()[-1] == f"... and {doc['total'] - 2} more"

    doc = as_json(run, "stats", "tb.count")
    counts = [v for v in trace.signal_values_range("tb.count", 0, trace.max_index() + 1)]
    ints = [v for v in counts if v is not None]
    assert (doc["min"], doc["max"], doc["count"]) == (min(ints), max(ints), len(ints))
    code, out, _ = run("stats", "tb.count")
    assert out.split()[:8] == ["SIGNAL", "MIN", "MAX", "SUM", "COUNT", "TRANSITIONS", "NUM_X",
                               "NUM_Z"]


def test_stats_of_a_real_signal(run, trace, tmp_path):
    temps = trace.signal_values_range("tb.temperature", 0, trace.max_index() + 1)
    doc = as_json(run, "stats", "temperature")
    assert list(doc) == ["signal", "min", "max", "mean", "count", "transitions", "num_x", "num_z"]
    assert (doc["min"], doc["max"], doc["count"]) == (25.0, max(temps), len(temps))
    assert doc["mean"] == pytest.approx(sum(temps) / len(temps))
    code, out, _ = run("stats", "temperature")
    header, row = out.splitlines()
    assert header.split()[:5] == ["SIGNAL", "MIN", "MAX", "MEAN", "COUNT"]
    assert row.split()[:3] == ["tb.temperature", "25.0", str(max(temps))]
    # NaN: left out of min and max, and the mean is NaN (a string in JSON).
    dump = tmp_path / "nan.vcd"
    dump.write_text("$var real 64 ! r $end\n$enddefinitions $end\n#0\nr-1.5 !\n#1\nrnan !\n"
                    "#2\nr2 !\n")
    code, out, _ = run("stats", "r", "--json", file=os.fspath(dump))
    doc = json.loads(out)
    assert (doc["min"], doc["max"], doc["mean"], doc["count"]) == (-1.5, 2.0, "nan", 3)


def test_find(run, trace):
    clk = trace.signal_values_range("tb.clk", 0, trace.max_index() + 1)
    rises = [i for i in range(1, len(clk)) if clk[i] == 1 and clk[i - 1] == 0]
    doc = as_json(run, "find", "$rose(tb.clk) && tb.en")
    en = trace.signal_values_range("tb.en", 0, trace.max_index() + 1)
    hits = [i for i in rises if en[i]]
    assert [m["index"] for m in doc["matches"]] == hits and doc["count"] == len(hits)
    assert doc["matches"][0]["time"] == trace.timestamp(hits[0])
    assert as_json(run, "find", "$rose(tb.clk)", "--count") == {"count": len(rises)}
    assert as_json(run, "find", "$rose(tb.clk)", "--count", "--parallel") == {"count": len(rises)}
    par = as_json(run, "find", "$rose(tb.clk)", "--parallel", "--values", "tb.count")
    seq = as_json(run, "find", "$rose(tb.clk)", "--values", "tb.count")
    assert par == seq
    assert seq["matches"][5]["values"] == {"tb.count": trace.signal_value("tb.count", rises[5])}
    doc = as_json(run, "find", "tb.count == 3", "--values", "tb.count,tb.state", "--values",
                  "temperature", "--limit", "1")
    assert list(doc["matches"][0]["values"]) == ["tb.count", "tb.state", "tb.temperature"]
    assert len(doc["matches"]) == 1 and doc["count"] > 1
    code, out, _ = run("find", "tb.count == 1000")
    assert code == 0 and out == "no matches\n"
    code, out, _ = run("find", "tb.count == 2", "--values", "tb.count")
    lines = out.splitlines()
    assert lines[0].split() == ["INDEX", "TIME", "tb.count"]
    assert all(line.split()[2:4] == ["ps", "2"] for line in lines[1:])
    code, out, _ = run("find", "tb.count == 15", "--values", "tb.count", "--hex")
    assert [line.split()[3] for line in out.splitlines()[1:3]] == ["0xF", "0xF"]
    code, out, _ = run("find", "clk", "--scope", "tb.dut", "--count")
    assert code == 0 and out.strip() == str(sum(1 for v in clk if v == 1))


@pytest.mark.parametrize(
    "args, code, fragment",
    [
        (["value", "tb.nope", "1"], 1, "unknown signal 'tb.nope'"),
        (["value", "tb.cuont", "1"], 1, "did you mean tb.count"),
        (["value", "count", "1"], 1, "ambiguous signal name 'count'"),
        (["value", "tb.count", "123"], 1, "index 123 is beyond the last index 122"),
        (["value", "tb.count", "-1"], 2, "must not be negative"),
        (["value", "tb.count", "one"], 2, "not an integer"),
        (["value", "tb.count"], 2, "required"),
        (["find", "tb.count ="], 1, "at column 10"),
        (["find", "tb.cont == 1"], 1, "unknown signal 'tb.cont' at column 1"),
        (["transitions", "tb.x"], 1, "unknown signal"),
        (["signals", "--glob", "a", "--contains", "b"], 2, "not allowed with"),
        (["wave", "tb.clk"], 2, "-o/--output"),
        (["wave", "tb.clk", "--from", "10", "--to", "5", "-o", "x.svg"], 1, "before --from"),
        (["wave", "tb.clk", "--to", "500", "-o", "x.svg"], 1, "--to 500 is beyond"),
        (["value", "tb.count", "@soon"], 2, "not an integer: 'soon'"),
        (["bogus"], 2, "invalid choice"),
    ],
)
def test_errors_are_one_line(capsys, example_vcd, args, code, fragment):
    argv = args[:1] + ([example_vcd] if args[0] != "bogus" else []) + args[1:]
    assert main(argv) == code
    out, err = capsys.readouterr()
    assert fragment in err
    assert err.count("\n") == 1 and err.startswith("tarn")
    assert out == ""


def test_file_errors(capsys, tmp_path):
    assert main(["info", os.fspath(tmp_path / "missing.vcd")]) == 1
    assert main(["info", os.fspath(tmp_path)]) == 1
    (tmp_path / "junk.bin").write_bytes(b"\x01\x02\x03")
    assert main(["stats", os.fspath(tmp_path / "junk.bin"), "x"]) == 1
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 3 and all(line.startswith("tarn: ") for line in err)
    assert "No such file" in err[0] and "cannot tell the format" in err[2]


def test_times_without_a_unit(capsys, tmp_path):
    # A dump that does not say what its time stamps count: times show bare, and a time with a
    # unit cannot be placed.
    path = tmp_path / "plain.vcd"
    path.write_text("$var wire 1 ! a $end\n$enddefinitions $end\n#5\n1!\n#9\n0!\n")
    assert main(["value", os.fspath(path), "a", "1"]) == 0
    assert capsys.readouterr().out.split()[-2:] == ["9", "0"]
    assert main(["value", os.fspath(path), "a", "@4"]) == 1
    assert "before the first time stamp" in capsys.readouterr().err
    assert main(["value", os.fspath(path), "a", "3ns"]) == 1
    assert "does not say what unit" in capsys.readouterr().err
    assert main(["info", os.fspath(path), "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["timescale"] is None


@pytest.mark.parametrize("engine", [[], ["--wavedrom"]], ids=["to scale", "wavedrom"])
def test_wave_svg(run, tmp_path, engine):
    if engine:
        pytest.importorskip("wavedrom")
    out_file = tmp_path / "w.svg"
    code, out, err = run("wave", "tb.clk", "tb.count", "tb.temperature", "--to", "30",
                         "-o", os.fspath(out_file), *engine)
    assert code == 0, err
    assert "indices 0 to 30, 0 ps to 135000 ps" in out
    root = ET.parse(out_file).getroot()
    assert root.tag.endswith("svg")
    texts = "".join(root.itertext())
    assert "count" in texts and "temperature" in texts
    # Times with units select the range too.
    code, out, err = run("wave", "tb.clk", "--from", "10ns", "--to", "0.1us",
                         "-o", os.fspath(out_file), *engine)
    assert code == 0 and "indices 2 to 22, 10000 ps to 100000 ps" in out, err


def test_module_entry_point(example_vcd):
    result = subprocess.run(
        [sys.executable, "-m", "tarn", "info", example_vcd, "--json"],
        capture_output=True,
        text=True,
        check=False,
    )
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout)["signals"] == 16


def test_progress_bar_on_a_terminal(example_vcd):
    # Standard error is a terminal (a pseudo-terminal of 100 columns): a load shows a bar there,
    # and the answer on standard output is the same as without one.
    import fcntl
    import pty
    import struct
    import termios

    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    env = {**os.environ, "TARN_PROGRESS_BYTES": "0"}
    result = subprocess.run(
        [sys.executable, "-m", "tarn", "info", example_vcd, "--json"],
        stdout=subprocess.PIPE, stderr=follower, env=env, check=False, timeout=60,
    )
    os.close(follower)
    shown = b""
    while True:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(leader)
    assert result.returncode == 0
    assert json.loads(result.stdout)["signals"] == 16
    assert b"counter.vcd" in shown  # the bar names the file
