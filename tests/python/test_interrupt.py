"""Ctrl-C during a long load or search raises KeyboardInterrupt in the caller, and the library
stays usable. Each case runs in a child process that the test interrupts."""

import gzip
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import tarn

# Generous limit for a child to answer: none of these children would ever finish on its own.
HANG_GUARD = 300


def child(code: str) -> subprocess.Popen:
    # The child imports the same tarn as this process.
    env = dict(os.environ)
    home = os.path.dirname(os.path.dirname(os.path.abspath(tarn.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (home, env.get("PYTHONPATH")) if p)
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )


def finish(proc: subprocess.Popen) -> str:
    try:
        out, err = proc.communicate(timeout=HANG_GUARD)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("the child ignored the interrupt")
    assert proc.returncode == 0, err
    return out


def load_from_fifo(tmp_path, then: str = ""):
    """A child that says "loading", loads a dump from a new FIFO, says how that ended, then runs
    `then`. Returns the FIFO's path and the child, once it is loading."""
    fifo = tmp_path / "dump.vcd"
    os.mkfifo(fifo)
    proc = child(
        "from tarn import PyTrace\n"
        'print("loading", flush=True)\n'
        "try:\n"
        f"    PyTrace.from_vcd({str(fifo)!r})\n"
        '    print("loaded")\n'
        "except KeyboardInterrupt:\n"
        '    print("interrupted")\n' + textwrap.dedent(then)
    )
    assert proc.stdout.readline() == "loading\n"
    return fifo, proc


def test_interrupt_load_waiting_on_a_pipe(tmp_path):
    # A dump from a pipe whose writer never finishes: only Ctrl-C ends the load.
    fifo, proc = load_from_fifo(
        tmp_path,
        """
        t = PyTrace.from_vcd_string("$var wire 1 ! a $end\\n#0\\n1!\\n")
        print(t.signal_value("a", 0))
        """,
    )
    with open(fifo, "w") as w:
        w.write("$var wire 1 ! a $end\n$enddefinitions $end\n")
        for k in range(20000):
            w.write(f"#{k}\n{k & 1}!\n")
        w.flush()
        time.sleep(0.3)  # the child now waits for more
        proc.send_signal(signal.SIGINT)
        assert finish(proc).split() == ["interrupted", "1"]


def test_interrupt_load_waiting_for_a_writer(tmp_path):
    # Opening a pipe that no one writes to waits in the kernel until the signal.
    _, proc = load_from_fifo(tmp_path)
    time.sleep(0.3)
    proc.send_signal(signal.SIGINT)
    assert finish(proc).split() == ["interrupted"]


def write_big_vcd(path, stamps: int) -> None:
    with open(path, "w") as f:
        f.write("$scope module top $end\n")
        for k in range(8):
            f.write(f"$var wire 8 {chr(33 + k)} v{k} [7:0] $end\n")
        f.write("$upscope $end\n$enddefinitions $end\n")
        block = []
        for t in range(stamps):
            block.append(f"#{t}\n")
            for k in range(8):
                block.append(f"b{(t + k) & 0xFF:b} {chr(33 + k)}\n")
            if len(block) > 90000:
                f.write("".join(block))
                block.clear()
        f.write("".join(block))


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
def test_interrupt_large_load(tmp_path, compressed):
    # A load of a second or more; an alarm raises KeyboardInterrupt a few milliseconds into it.
    # A compressed dump is parsed as it decompresses, in one pass.
    path = tmp_path / "big.vcd"
    write_big_vcd(path, 300_000)
    assert path.stat().st_size > 24 << 20
    load = f"PyTrace.from_vcd({str(path)!r})"
    if compressed:
        packed = tmp_path / "big.vcd.gz"
        with open(path, "rb") as src, gzip.open(packed, "wb", compresslevel=1) as dst:
            shutil.copyfileobj(src, dst)
        load = f"PyTrace.load({str(packed)!r}, 'vcd', None)"
    out = finish(
        child(
            f"""
            import signal
            from tarn import PyTrace
            state = {{"loading": False, "hit": None}}
            def on_alarm(sig, frame):
                state["hit"] = state["loading"]
                raise KeyboardInterrupt
            signal.signal(signal.SIGALRM, on_alarm)
            signal.setitimer(signal.ITIMER_REAL, 0.005)
            try:
                state["loading"] = True
                {load}
                state["loading"] = False
                print("loaded")
            except KeyboardInterrupt:
                print("interrupted", state["hit"])
            t = {load}
            print(t.max_index(), t.signal_value("top.v3", 299_999))
            """
        )
    )
    assert out.split() == ["interrupted", "True", "299999", str((299_999 + 3) & 0xFF)]


SEARCH_CHILD = """
from tarn import PyExpr, PyTrace
lines = ["$var wire 1 ! a $end", "$var wire 4 # b $end", "$enddefinitions $end"]
for t in range(200_000):
    lines.append(f"#{t}")
    lines.append(f"{t & 1}!")
    lines.append(f"b{t % 3:b} #")
trace = PyTrace.from_vcd_string("\\n".join(lines) + "\\n")
a, b = PyExpr.signal(0), PyExpr.signal(1)
e = a
for k in range(100_000):  # every index costs 100,000 steps: the search would take hours
    e = e.add(b) if k & 1 else e.bit_xor(a)
e = e.gt_(PyExpr.const_int(0))
print("searching", flush=True)
try:
    print(trace.METHOD(e))
except KeyboardInterrupt:
    print("interrupted")
print(trace.parallel_count(a), len(trace.find(b.eq_(PyExpr.const_int(2)))))
"""


@pytest.mark.parametrize("method", ["find", "parallel_find", "parallel_count", "find_with_values"])
def test_interrupt_search(method):
    code = SEARCH_CHILD.replace("METHOD(e)", "find_with_values(e, ['a'])" if method ==
                                "find_with_values" else f"{method}(e)")
    proc = child(code)
    assert proc.stdout.readline() == "searching\n"
    time.sleep(0.5)
    proc.send_signal(signal.SIGINT)
    assert finish(proc).split() == ["interrupted", "100000", "66666"]


def test_signal_handler_that_lets_other_threads_in():
    # A handler that releases the interpreter lock (a sleep, a print) runs inside the search's
    # poll; another thread then starts its own parallel query. Neither may wait for the other.
    out = finish(
        child(
            """
            import signal, threading, time
            from tarn import PyExpr, PyTrace
            lines = ["$var wire 1 ! a $end", "$var wire 4 # b $end", "$enddefinitions $end"]
            for t in range(100_000):
                lines += [f"#{t}", f"{t & 1}!", f"b{t % 3:b} #"]
            trace = PyTrace.from_vcd_string("\\n".join(lines) + "\\n")
            a, b = PyExpr.signal(0), PyExpr.signal(1)
            e = a
            for k in range(1000):
                e = e.add(b) if k & 1 else e.bit_xor(a)
            stop = False
            def other():
                while not stop:
                    trace.parallel_count(a)
            th = threading.Thread(target=other)
            th.start()
            calls = []
            def on_alarm(sig, frame):
                calls.append(1)
                time.sleep(0.002)
            signal.signal(signal.SIGALRM, on_alarm)
            signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
            n = trace.parallel_count(e.gt_(PyExpr.const_int(0)))
            signal.setitimer(signal.ITIMER_REAL, 0)
            stop = True
            th.join()
            print(n == len(trace.find(e.gt_(PyExpr.const_int(0)))), len(calls) > 0)
            """
        )
    )
    assert out.split() == ["True", "True"]
