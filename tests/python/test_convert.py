"""Vendor converters: stand-in fsdb2vcd, simvisdbutil, vpd2vcd and wlf2vcd scripts on PATH that
write a known VCD, fail, hang, or write garbage, and what tarn.open makes of each.

Every test checks that the converter's processes are gone and that no file descriptor is left
open; the temporary files of file mode are checked to be removed.
"""

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tarn
from tarn import convert
from tarn.cli import main

from builders import cstrings, fsdb_legacy, shm_design, shm_records, vpd, wlf
from conftest import EXAMPLES, opened, values, write_dump

FALLBACK = "using tarn's recovery reader instead"

# One small file per format, in the layout its recovery reader understands.
DUMPS = {
    "fsdb": ("w.fsdb", fsdb_legacy(cstrings("top.cpu.clk", "top.io_x"))),
    "shm": ("waves.shm", {"waves.dsn": shm_design(shm_records(["a", "b"], scope="top"))}),
    "vpd": ("w.vpd", vpd([b"top.u1.sig\0top.clk\0top.rst\0top.u1.q\0"])),
    "wlf": ("w.wlf", wlf(b"top.a\0top.b\0", 2)),
}

# The default command lines, as the stand-ins see them: where the input and the output are.
DEFAULT_ARGS = {
    "fsdb": ("fsdb2vcd", "{input} -o {output}"),
    "shm": ("simvisdbutil", "{input} -vcd -output {output} -overwrite"),
    "vpd": ("vpd2vcd", "{input} {output}"),
    "wlf": ("wlf2vcd", "{input} -o {output}"),
}


def children():
    """The ids of this process's live children (a zombie still counts: it was not reaped)."""
    found = []
    for task in pathlib.Path("/proc/self/task").iterdir():
        found += (task / "children").read_text().split()
    return sorted(found)


def open_fds():
    return sorted(os.listdir("/proc/self/fd"))


def running(pid):
    """Whether process ``pid`` is alive (not gone and not a zombie)."""
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


@pytest.fixture(autouse=True)
def clean(monkeypatch, tmp_path):
    """A PATH with the stand-ins' folder first and no converter settings; afterwards no child
    process and no new descriptor may remain."""
    for variable, _ in convert.CONVERTERS.values():
        monkeypatch.delenv(variable, raising=False)
    monkeypatch.delenv(convert.TIMEOUT_VARIABLE, raising=False)
    tools = tmp_path / "bin"
    tools.mkdir()
    monkeypatch.setenv("PATH", f"{tools}{os.pathsep}{os.environ.get('PATH', '')}")
    before = open_fds()
    yield
    assert children() == []
    assert open_fds() == before


def tool(tmp_path, name, script):
    """Put an executable shell script named ``name`` on PATH."""
    path = tmp_path / "bin" / name
    path.write_text("#!/bin/sh\n" + textwrap.dedent(script))
    path.chmod(0o755)
    return path


def dump(tmp_path, fmt):
    name, data = DUMPS[fmt]
    return write_dump(tmp_path / name, data)


def same_trace(a, b):
    assert a.signal_names() == b.signal_names()
    assert a.scopes() == b.scopes()
    assert a.max_index() == b.max_index()
    assert [a.timestamp(i) for i in range(a.max_index() + 1)] == [
        b.timestamp(i) for i in range(b.max_index() + 1)
    ]
    for name in a.signal_names():
        assert values(a, name) == values(b, name), name


def recovered(path, fmt):
    return getattr(tarn.PyTrace, "from_" + fmt)(path)


def big_vcd(path, steps=40_000):
    """A VCD of a few MiB: far more than a pipe holds, so the converter and the load must take
    turns."""
    lines = ["$timescale 1ns $end", "$scope module top $end", "$var wire 16 ! count $end",
             "$var wire 1 \" clk $end", "$upscope $end", "$enddefinitions $end"]
    for t in range(steps):
        lines += [f"#{t * 5}", f"b{t & 0xFFFF:b} !", f"{t & 1}\""]
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.mark.parametrize("fmt", sorted(DUMPS))
def test_converter_output_is_loaded(tmp_path, fmt):
    program, args = DEFAULT_ARGS[fmt]
    known = big_vcd(tmp_path / "known.vcd")
    # Each stand-in records its arguments and writes the known VCD where its last-but-one (or,
    # for vpd2vcd and simvisdbutil, its named) output argument says.
    out = {"fsdb": "$3", "shm": "$4", "vpd": "$2", "wlf": "$3"}[fmt]
    tool(tmp_path, program, f"""\
        printf '%s\\n' "$@" > "{tmp_path}/args"
        cat "{known}" > "{out}"
        echo "{program}: done"
    """)
    path = dump(tmp_path, fmt)
    trace, caught = opened(path)
    assert caught == []
    same_trace(trace, tarn.PyTrace.from_vcd(os.fspath(known)))
    given = (tmp_path / "args").read_text().split("\n")[:-1]
    streamed = [a for a in given if a.startswith("/dev/fd/")]
    assert len(streamed) == 1
    assert given == args.format(input=path, output=streamed[0]).split(" ")
    loaded = tarn.formats.load_dump(path)
    assert loaded.converter == program and loaded.warnings == ()
    # convert=False and --no-convert read the file itself, without running the converter.
    (tmp_path / "args").unlink()
    trace, _ = opened(path, convert=False)
    same_trace(trace, recovered(path, fmt))
    assert main(["signals", path, "--no-convert", "--json"]) == 0
    assert not (tmp_path / "args").exists()


def test_info_names_the_converter(tmp_path, capsys):
    tool(tmp_path, "wlf2vcd", f'cat "{EXAMPLES / "counter.vcd"}" > "$3"\n')
    path = dump(tmp_path, "wlf")
    assert main(["info", path]) == 0
    out, err = capsys.readouterr()
    assert "format:      wlf (converted by wlf2vcd)\n" in out and "signals:     16\n" in out
    assert "warning" not in out + err
    assert main(["info", path, "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert (doc["converter"], doc["warnings"], doc["signals"]) == ("wlf2vcd", [], 16)
    assert main(["info", path, "--no-convert", "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["converter"] is None and doc["signals"] == 2


FAILURES = {
    "exit": ('echo "starting" ; echo "fsdb2vcd: license checkout failed" >&2; exit 3\n',
             "exit status 3: starting / fsdb2vcd: license checkout failed"),
    "signal": ("kill -TERM $$\n", "killed by signal SIGTERM"),
    "garbage": ('echo "this is not a VCD" > "$3"\n', "its output holds no VCD signals"),
    "nothing": ("exit 0\n", "its output holds no VCD signals"),
    # A VCD whose writer then failed: what it wrote is not trusted.
    "partial": (f'cat "{EXAMPLES / "counter.vcd"}" > "$3"; exit 1\n', "exit status 1"),
}


@pytest.mark.parametrize("output", ["{output}", "{output_file}"])
@pytest.mark.parametrize("case", sorted(FAILURES))
def test_failing_converter_falls_back(tmp_path, monkeypatch, case, output):
    script, reason = FAILURES[case]
    if case == "nothing" and output == "{output_file}":
        reason = "it wrote no output file"
    tool(tmp_path, "fsdb2vcd", script)
    monkeypatch.setenv("TARN_FSDB2VCD", f"fsdb2vcd {{input}} -o {output}")
    path = dump(tmp_path, "fsdb")
    trace, caught = opened(path)
    assert caught == [
        (tarn.ConverterWarning, f"FSDB: fsdb2vcd failed ({reason}); {FALLBACK}"),
        (tarn.BestEffortWarning, "FSDB: 2 names, no values recovered; convert the file to VCD "
         "with your simulator's tools for full data"),
    ]
    same_trace(trace, recovered(path, "fsdb"))


HANGS = {
    # Writes the start of a VCD, then waits on a child that also holds the output open.
    "sleeps": 'echo "$$ " > "{pids}"; printf "\\$enddefinitions \\$end\\n" > "$3"\n'
              'sleep 60 & echo "$!" >> "{pids}"; wait\n',
    # Ignores SIGTERM: ended by SIGKILL.
    "stubborn": 'trap "" TERM; echo "$$" > "{pids}"; sleep 60\n',
}


@pytest.mark.parametrize("output", ["{output}", "{output_file}"])
@pytest.mark.parametrize("case", sorted(HANGS))
def test_hanging_converter_is_ended(tmp_path, monkeypatch, case, output):
    pids = tmp_path / "pids"
    tool(tmp_path, "vpd2vcd", HANGS[case].format(pids=pids))
    monkeypatch.setenv("TARN_VPD2VCD", f"vpd2vcd {{input}} -o {output}")
    monkeypatch.setenv("TARN_CONVERT_TIMEOUT", "0.5")
    path = dump(tmp_path, "vpd")
    trace, caught = opened(path)
    said = f"VPD: vpd2vcd failed (timed out after 0.5 s); {FALLBACK}"
    assert caught[0] == (tarn.ConverterWarning, said)
    assert caught[1][0] is tarn.BestEffortWarning
    same_trace(trace, recovered(path, "vpd"))
    assert not any(running(int(p)) for p in pids.read_text().split())


@pytest.mark.parametrize("output, streams", [("{output_file}", True), ("{output}", False)])
def test_file_mode(tmp_path, monkeypatch, output, streams):
    # A converter that cannot write to a pipe, or a system without /dev/fd or coreutils timeout,
    # gets a regular file, removed afterwards.
    tool(tmp_path, "wlf2vcd", f"""\
        case "$3" in /dev/*) echo "cannot write to a pipe" >&2; exit 2;; esac
        [ -e "$3" ] && exit 4
        echo "$3" > "{tmp_path}/output"
        cat "{EXAMPLES / "counter.vcd"}" > "$3"
    """)
    monkeypatch.setenv("TARN_WLF2VCD", f"wlf2vcd {{input}} -o {output}")
    if not streams:
        monkeypatch.setattr(convert, "_can_stream", lambda: False)
    trace, caught = opened(dump(tmp_path, "wlf"))
    assert caught == []
    same_trace(trace, tarn.PyTrace.from_vcd(os.fspath(EXAMPLES / "counter.vcd")))
    written = pathlib.Path((tmp_path / "output").read_text().strip())
    assert written.suffix == ".vcd" and not written.parent.exists()


def test_file_mode_removes_the_file_on_failure(tmp_path, monkeypatch):
    tool(tmp_path, "wlf2vcd", f'echo "$3" > "{tmp_path}/output"; echo x > "$3"; exit 5\n')
    monkeypatch.setenv("TARN_WLF2VCD", "wlf2vcd {input} -o {output_file}")
    _, caught = opened(dump(tmp_path, "wlf"))
    assert caught[0] == (tarn.ConverterWarning, f"WLF: wlf2vcd failed (exit status 5); {FALLBACK}")
    assert not pathlib.Path((tmp_path / "output").read_text().strip()).parent.exists()


@pytest.mark.parametrize("streams", [True, False])
def test_vcd_on_standard_output(tmp_path, monkeypatch, streams):
    # A command line without an output placeholder: the converter prints the VCD.
    tool(tmp_path, "wlf2vcd", f'cat "{EXAMPLES / "counter.vcd"}"; echo "done" >&2\n')
    monkeypatch.setenv("TARN_WLF2VCD", "wlf2vcd {input}")
    if not streams:
        monkeypatch.setattr(convert, "_can_stream", lambda: False)
    trace, caught = opened(dump(tmp_path, "wlf"))
    assert caught == []
    same_trace(trace, tarn.PyTrace.from_vcd(os.fspath(EXAMPLES / "counter.vcd")))


def test_settings(tmp_path, monkeypatch):
    path = dump(tmp_path, "fsdb")
    # No converter on PATH: the recovery reader, silently as far as conversion goes.
    _, caught = opened(path)
    assert [c for c, _ in caught] == [tarn.BestEffortWarning]
    # A converter the user named that is not there is worth a word.
    monkeypatch.setenv("TARN_FSDB2VCD", "my-fsdb2vcd --in {input} --out {output}")
    _, caught = opened(path)
    assert caught[0] == (
        tarn.ConverterWarning,
        f"FSDB: TARN_FSDB2VCD names 'my-fsdb2vcd', which is not on PATH; {FALLBACK}",
    )
    # Set empty: no conversion, even with the default converter on PATH.
    tool(tmp_path, "fsdb2vcd", "exit 1\n")
    monkeypatch.setenv("TARN_FSDB2VCD", "")
    _, caught = opened(path)
    assert [c for c, _ in caught] == [tarn.BestEffortWarning]
    # Command lines and time limits that cannot be used are errors, not silent fallbacks.
    for bad, message in [
        ("fsdb2vcd -o {output}", "TARN_FSDB2VCD: the command line .* has no {input}"),
        ("fsdb2vcd '{input}", "TARN_FSDB2VCD: cannot split"),
    ]:
        monkeypatch.setenv("TARN_FSDB2VCD", bad)
        with pytest.raises(ValueError, match=message):
            tarn.open(path)
    monkeypatch.delenv("TARN_FSDB2VCD")
    for bad in ("0", "-1", "soon", "inf", "nan"):
        monkeypatch.setenv("TARN_CONVERT_TIMEOUT", bad)
        with pytest.raises(ValueError, match="TARN_CONVERT_TIMEOUT must be a positive number"):
            tarn.open(path)
    # Placeholders are filled in once, also inside an argument; a path may contain braces.
    line = convert.Converter(("conv", "--in={input}", "{output_file}"))
    filled = line.command("/d/{output}.fsdb", "/t/x.vcd")
    assert filled == ["conv", "--in=/d/{output}.fsdb", "/t/x.vcd"]
    # VCD and FST are never converted.
    tool(tmp_path, "fsdb2vcd", f'echo "$@" > "{tmp_path}/ran"; exit 1\n')
    monkeypatch.delenv("TARN_CONVERT_TIMEOUT")
    _, caught = opened(EXAMPLES / "counter.vcd", format="vcd")
    assert caught == [] and not (tmp_path / "ran").exists()


@pytest.mark.parametrize("output", ["{output}", "{output_file}"])
def test_interrupted_load_ends_the_converter(tmp_path, monkeypatch, output):
    # The load stops (as on Ctrl-C) while the converter is still running: it is ended, and
    # the temporary file is removed.
    pids = tmp_path / "pids"
    tool(tmp_path, "fsdb2vcd", f"""\
        echo "$$ $3" > "{pids}"
        cat "{EXAMPLES / "counter.vcd"}" > "$3"
        sleep 60
    """)
    monkeypatch.setenv("TARN_FSDB2VCD", f"fsdb2vcd {{input}} -o {output}")

    def interrupt(*args):
        # Once the converter has started writing.
        for _ in range(1000):
            if pids.exists() and len(pids.read_text().split()) == 2:
                break
            time.sleep(0.01)
        raise KeyboardInterrupt

    class Interrupting:
        load = staticmethod(interrupt)

    monkeypatch.setattr(convert, "PyTrace", Interrupting)
    # File mode waits for the converter before loading: interrupt the wait instead.
    monkeypatch.setattr(convert, "_wait", interrupt)
    with pytest.raises(KeyboardInterrupt):
        tarn.open(dump(tmp_path, "fsdb"))
    pid, written = pids.read_text().split()
    assert not running(int(pid))
    if output == "{output_file}":
        assert not pathlib.Path(written).parent.exists()


def test_ctrl_c_during_a_streamed_load(tmp_path):
    # A real Ctrl-C while the load waits on a converter that writes nothing: the load stops
    # with KeyboardInterrupt and the converter's processes are ended.
    pids = tmp_path / "pids"
    tool(tmp_path, "fsdb2vcd", f'echo "$$" > "{pids}"; sleep 60 & echo "$!" >> "{pids}"; wait\n')
    path = dump(tmp_path, "fsdb")
    child = textwrap.dedent(f"""\
        import os, pathlib, tarn
        try:
            tarn.open({path!r})
        except KeyboardInterrupt:
            left = [t for t in pathlib.Path("/proc/self/task").iterdir()
                    if (t / "children").read_text().split()]
            print("interrupted", len(left))
    """)
    # The child imports the same tarn as this process.
    home = os.path.dirname(os.path.dirname(os.path.abspath(tarn.__file__)))
    env = dict(os.environ, PYTHONPATH=home)
    proc = subprocess.Popen([sys.executable, "-c", child], env=env, stdout=subprocess.PIPE,
                            text=True)
    try:
        for _ in range(200):
            if pids.exists() and len(pids.read_text().split()) == 2:
                break
            try:
                proc.wait(0.05)
            except subprocess.TimeoutExpired:
                pass
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=30)
    finally:
        proc.kill()
        proc.wait()
    assert out == "interrupted 0\n"
    assert not any(running(int(p)) for p in pids.read_text().split())
