"""Threads, forks and reference counts: one trace and one expression shared by many threads,
the worker pool across fork(), and memory that stays flat over long loops of calls."""

import gc
import multiprocessing
import os
import random
import sys
import threading
import tracemalloc

import pytest

from tarn import PyExpr as E
from tarn import PyTrace

from random_trace import random_vcd


def dump(n=3000):
    lines = [
        "$scope module top $end",
        "$var wire 1 ! clk $end",
        "$var wire 8 # data [7:0] $end",
        "$scope module sub $end",
        "$var wire 4 $ nib [3:0] $end",
        "$var wire 1 ! clk_alias $end",
        "$upscope $end",
        "$upscope $end",
        "$enddefinitions $end",
    ]
    for t in range(n):
        lines.append(f"#{t * 5}")
        lines.append(f"{t & 1}!")
        if t % 3 == 0:
            lines.append(f"b{(t * 7) & 0xFF:b} #")
        if t % 7 == 0:
            lines.append("bx1z0 $" if t % 14 == 0 else f"b{t & 15:b} $")
    return "\n".join(lines) + "\n"


TRACE = PyTrace.from_vcd_string(dump())
EXPR = E.signal(0).and_(E.signal(1).slice(3, 0).gt_(E.const_int(4))).or_(E.signal(2).is_x())
NAMES = ["top.clk", "top.data", "top.sub.nib"]

# Every query of a trace, as (method, arguments).
CALLS = [
    ("signal_names", ()),
    ("scopes", ()),
    ("max_index", ()),
    ("timestamp", (17,)),
    ("signal_id", ("top.data",)),
    ("signal_width", ("top.data",)),
    ("signal_value", ("top.sub.nib", 14)),
    ("signal_value_raw", ("top.data", 99)),
    ("signal_values_range", ("top.data", 100, 140)),
    ("find", (EXPR,)),
    ("parallel_find", (EXPR,)),
    ("parallel_count", (EXPR,)),
    ("find_with_values", (EXPR, NAMES)),
    ("eval_expr", (EXPR, 33)),
    ("eval_expr_bool", (EXPR, 33)),
    ("changed_at", (21,)),
    ("changed_at_scope", (21, "top.sub")),
    ("transitions", ("top.data",)),
    ("snapshot", (28,)),
    ("snapshot_scope", (28, "top")),
    ("local_scopes", ("top",)),
    ("local_signals", ("top.sub",)),
    ("resolve", ("top.sub", "nib")),
    ("find_signals_glob", ("top.*a*",)),
    ("find_signals_containing", ("CLK",)),
    ("signal_stats", ("top.data",)),
    ("bit_slice_val", (0xABCD, 11, 4)),
    ("sign_extend_val", (0xF0, 8)),
]


def run_all(trace):
    return [repr(getattr(trace, name)(*args)) for name, args in CALLS]


def test_every_query_from_eight_threads_at_once():
    want = run_all(TRACE)
    barrier = threading.Barrier(8)
    results = [None] * 8
    errors = []

    def work(k):
        try:
            barrier.wait()
            got = [run_all(TRACE) for _ in range(5)]
            # Loading and building expressions from threads, too.
            t = PyTrace.from_vcd_string(dump(200 + k))
            got.append(t.parallel_count(E.signal(0).eq_(E.const_int(1))) == (200 + k) // 2)
            results[k] = got
        except BaseException as exc:  # report in the main thread
            errors.append(exc)

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # switch threads as often as possible
    try:
        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
    finally:
        sys.setswitchinterval(old)
    assert not errors
    for got in results:
        assert got[:5] == [want] * 5 and got[5] is True


def _queries_in_child(conn):
    try:
        conn.send(
            (TRACE.parallel_find(EXPR), repr(TRACE.changed_at(21)), TRACE.parallel_count(EXPR))
        )
    finally:
        conn.close()


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_fork_after_the_pool_started():
    want = (TRACE.parallel_find(EXPR), repr(TRACE.changed_at(21)), TRACE.parallel_count(EXPR))
    ctx = multiprocessing.get_context("fork")
    for _ in range(3):
        parent, child = ctx.Pipe(duplex=False)
        p = ctx.Process(target=_queries_in_child, args=(child,))
        p.start()
        child.close()
        # The poll limit only turns a hang into a failure.
        assert parent.poll(120), "the forked child hung"
        assert parent.recv() == want
        p.join(120)
        assert p.exitcode == 0
    # The parent's pool still works after forking.
    assert TRACE.parallel_find(EXPR) == want[0]


# Under AddressSanitizer freed memory waits in a quarantine, so resident memory says nothing.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


SMALL = dump(20)


def churn(rounds):
    for k in range(rounds):
        t = PyTrace.from_vcd_string(SMALL)
        e = E.signal(k & 1).add(E.const_int(k)).rel_eval(-1).not_()
        t.find(e)
        if k % 10 == 0:
            t.changed_at(3)
            t.signal_values_range("top.data", 0, 8)
            t.snapshot(4)
            t.find_with_values(e, NAMES)
            t.transitions("top.clk")
            for method, args in ((t.find, (None,)), (t.signal_value, (1, 2)), (e.and_, (3,))):
                try:
                    method(*args)
                except TypeError:
                    pass
            try:
                PyTrace.from_vcd("/nonexistent/dump.vcd")
            except ValueError:
                pass


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_memory_stays_flat_over_100000_calls():
    churn(2000)  # warm caches, free lists and the pool
    gc.collect()
    tracemalloc.start()
    try:
        before_py = tracemalloc.get_traced_memory()[0]
        before_rss = rss_bytes()
        churn(100_000)
        gc.collect()
        grown_py = tracemalloc.get_traced_memory()[0] - before_py
    finally:
        tracemalloc.stop()
    grown_rss = rss_bytes() - before_rss
    # A leak of a single object per call would show as megabytes here.
    assert grown_py < 256 << 10
    if not SANITIZED:
        assert grown_rss < 16 << 20


# ---- Parallel searches over many pieces, from threads and from forked workers ----


def big_trace():
    rng = random.Random(7)
    return PyTrace.from_vcd_string(random_vcd(rng, 20000))


def test_concurrent_calls_from_threads():
    t = big_trace()
    e = E.signal(0).or_(E.signal(1).rel_eval(-1))
    want = t.find(e)
    results = []

    def work():
        for _ in range(5):
            results.append(t.parallel_find(e) == want and t.parallel_count(e) == len(want))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert results == [True] * 20


_FORK_TRACE = None


def _search_in_child(_):
    e = E.signal(0).or_(E.signal(1).rel_eval(-1))
    return _FORK_TRACE.parallel_find(e), _FORK_TRACE.parallel_count(e)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_parallel_search_in_a_forked_child():
    global _FORK_TRACE
    _FORK_TRACE = big_trace()
    e = E.signal(0).or_(E.signal(1).rel_eval(-1))
    want = _FORK_TRACE.parallel_find(e)  # the pool is running before the fork
    ctx = multiprocessing.get_context("fork")
    with ctx.Pool(2) as pool:
        # The timeout only turns a hang into a failure.
        got = pool.map_async(_search_in_child, range(4)).get(timeout=120)
    assert got == [(want, len(want))] * 4
