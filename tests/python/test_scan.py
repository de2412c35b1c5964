"""Searching many dumps: tarn.scan against per-file searches, broken dumps, a local process pool
with a worker killed mid-scan, a Dask cluster started (and stopped) by the tests on 127.0.0.1,
and `tarn find` over several dumps."""

from __future__ import annotations

import json
import os
import random
import signal

import pytest

import tarn
from tarn import scanning as scan_mod
from tarn.cli import main

pd = pytest.importorskip("pandas")

CONDITION = "top.valid && top.data > 100"
VALUES = ("top.data", "top.mode")


def _dump(rng: random.Random, stamps: int) -> str:
    lines = [
        "$timescale 1ns $end",
        "$scope module top $end",
        "$var wire 1 ! valid $end",
        "$var wire 8 \" data $end",
        "$var real 64 # mode $end",
        "$var wire 4 $ other $end",
        "$upscope $end",
        "$enddefinitions $end",
    ]
    for t in range(stamps):
        lines.append(f"#{t * 10}")
        if rng.random() < 0.5:
            lines.append(f"{rng.randint(0, 1)}!")
        if rng.random() < 0.5:
            lines.append(f"b{rng.randint(0, 255):b} \"")
        if rng.random() < 0.1:
            lines.append(f"r{rng.random():.3f} #")
        if rng.random() < 0.05:
            lines.append("bx \"")
        lines.append(f"b{rng.randint(0, 15):b} $")
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def dumps(tmp_path_factory):
    """Twelve good dumps and three that fail in different ways."""
    d = tmp_path_factory.mktemp("runs")
    rng = random.Random(7)
    good = []
    for k in range(12):
        p = d / f"run{k:02d}.vcd"
        p.write_text(_dump(rng, 200 + 20 * k))
        good.append(str(p))
    junk = d / "run90.vcd"
    junk.write_bytes(b"\x00\x01 not a dump at all")
    other = d / "run91.vcd"  # loads, but the condition names signals it does not have
    other.write_text("$var wire 1 ! x $end\n$enddefinitions $end\n#0\n1!\n")
    return d, good, [str(junk), str(other)]


def _expected(path: str) -> pd.DataFrame:
    trace = tarn.open(path)
    hits = trace.find(tarn.compile(trace, CONDITION))
    df = trace.values_at(list(VALUES), hits)
    df.insert(0, "path", path)
    return df


def _check(df, good, broken, missing=()):
    want = pd.concat([_expected(p) for p in good], ignore_index=True)
    assert list(df.columns) == ["path", "index", "time", *VALUES]
    assert df["path"].tolist() == want["path"].tolist()  # grouped by path, in the order given
    for col in ("index", "time", "top.data"):
        assert df[col].tolist() == want[col].tolist(), col
    assert df["top.mode"].fillna(-1).tolist() == want["top.mode"].fillna(-1).tolist()
    assert set(df.attrs["errors"]) == set(broken) | set(missing)
    assert "top.valid" in df.attrs["errors"][broken[1]]  # what the condition could not find
    assert all(df.attrs["timescales"][p] == "1 ns" for p in good)


@pytest.mark.parametrize("jobs", [1, 2])
def test_scan_equals_per_file_searches(dumps, jobs):
    d, good, broken = dumps
    missing = str(d / "nothing*.vcd")
    df = tarn.scan([*good[:6], broken[0], str(d / "run1*.vcd"), broken[1], missing], CONDITION,
                   values=VALUES, jobs=jobs)
    order = good[:6] + [p for p in good if os.path.basename(p).startswith("run1")]
    _check(df, order, broken, [missing])
    assert "no file matches" in df.attrs["errors"][missing]


def test_scan_file_gives_one_dumps_frame(dumps):
    d, good, broken = dumps
    path, df, error = scan_mod.scan_file(good[0], CONDITION, VALUES)
    want = _expected(good[0])
    assert error is None and df["index"].tolist() == want["index"].tolist()
    assert df.attrs["timescale"] == "1 ns"
    path, df, error = scan_mod.scan_file(broken[0], CONDITION, VALUES)
    assert df is None and error


def test_each_dump_is_loaded_with_the_signals_it_needs():
    assert scan_mod.signals_of("valid && top.data[3:0] == 2", ["mode"]) == [
        "valid", "*.valid", "top.data", "*.top.data", "mode", "*.mode"
    ]


def test_a_worker_killed_mid_scan_costs_a_retry(dumps, tmp_path, monkeypatch):
    # The pool's workers are forked from this process, so they run this stand-in, which kills
    # its worker the first time it meets one dump.
    d, good, broken = dumps
    marker = tmp_path / "killed"
    real = scan_mod._search

    def fragile(path, *args, **kwargs):
        if path == good[3] and not marker.exists():
            marker.write_text("once")
            os.kill(os.getpid(), signal.SIGKILL)
        return real(path, *args, **kwargs)

    monkeypatch.setattr(scan_mod, "_search", fragile)
    df = tarn.scan([*good, *broken], CONDITION, values=VALUES, jobs=2)
    assert marker.exists()
    _check(df, good, broken)


def test_scan_on_a_dask_cluster(dumps):
    distributed = pytest.importorskip("dask.distributed")
    d, good, broken = dumps
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
        processes=True,
    ) as cluster, distributed.Client(cluster) as client:
        df = tarn.scan([*good, *broken], CONDITION, values=VALUES, client=client)
        _check(df, good, broken)
        # The same through the scheduler's address, as a real cluster is reached.
        df = tarn.scan([*good[:3], *broken], CONDITION, values=VALUES,
                       scheduler=cluster.scheduler_address)
        _check(df, good[:3], broken)


def test_a_dask_worker_lost_mid_scan(dumps, tmp_path):
    distributed = pytest.importorskip("dask.distributed")
    d, good, broken = dumps
    marker = str(tmp_path / "killed")

    class KillOnce(distributed.WorkerPlugin):
        """Kills its worker when a task first starts executing there, once per scan (a marker
        file remembers)."""

        def transition(self, key, start, finish, **kwargs):
            if finish == "executing" and not os.path.exists(marker):
                with open(marker, "w") as f:
                    f.write(str(key))
                os.kill(os.getpid(), signal.SIGKILL)

    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address=None,
        processes=True,
    ) as cluster, distributed.Client(cluster) as client:
        client.register_plugin(KillOnce())
        df = tarn.scan([*good, *broken], CONDITION, values=VALUES, client=client)
    assert os.path.exists(marker)  # a worker died, and no dump went missing
    _check(df, good, broken)


def test_find_over_several_dumps(dumps, capsys):
    d, good, broken = dumps
    code = main(["find", good[0], good[1], broken[0], CONDITION, "--values", "top.data",
                 "--jobs", "2"])
    out, err = capsys.readouterr()
    assert code == 1  # a dump failed: listed at the end
    lines = out.splitlines()
    assert lines[0].split() == ["FILE", "INDEX", "TIME", "top.data"]
    expect = pd.concat([_expected(p) for p in good[:2]], ignore_index=True)
    assert len(lines) - 1 == len(expect)
    assert lines[1].split()[0] == good[0] and lines[1].split()[3] == "ns"
    assert err.strip().splitlines() == [f"tarn: {broken[0]}: " + err.split(": ", 2)[2].strip()]
    code = main(["find", str(d / "run0*.vcd"), CONDITION, "--json"])
    doc = json.loads(capsys.readouterr().out)
    assert code == 0 and doc["errors"] == {}
    assert {m["file"] for m in doc["matches"]} <= set(good)
    assert doc["timescales"] == {p: "1 ns" for p in good if "run0" in p}
    assert doc["count"] == sum(len(_expected(p)) for p in good if "run0" in p)
    code = main(["find", good[0], good[1], CONDITION, "--count"])
    lines = capsys.readouterr().out.splitlines()
    assert code == 0 and lines[0].split() == ["FILE", "COUNT"]
    assert [int(line.split()[1]) for line in lines[1:]] == [len(_expected(p)) for p in good[:2]]
