"""Search speed: find, parallel_find and parallel_count against numpy on dense arrays.

Generates (once, deterministically) a VCD dump of 200 signals and 5,000,000 time stamps in the
temporary directory, loads it, and times three questions:

  (a)  a == const
  (b)  (a & mask) == b.rel_eval(-1)
  (c)  an and_/or_ tree over 8 one-bit signals

numpy answers the same questions on dense arrays of the same values; its time is shown without
and with building the arrays from the trace (signal_values_range, then numpy.array).

Usage:  PYTHONPATH=src python bench/bench_search.py [--times N] [--repeat R]
Needs numpy (pip install numpy); the package itself does not.
"""

import argparse
import os
import tempfile
import time

import numpy as np

from tarn import PyExpr as E
from tarn import PyTrace

N_SIGNALS = 200


def codes(n):
    # Printable identifier codes, 1 or 2 characters.
    chars = [chr(c) for c in range(33, 127)]
    out = list(chars)
    for a in chars:
        out.extend(a + b for b in chars)
    return out[:n]


def plan(rng):
    """(name, width, change probability) per signal: the searched ones first."""
    sigs = [("a", 8, 0.3), ("b", 4, 0.3)]
    sigs += [(f"c{k}", 1, p) for k, p in enumerate(np.linspace(0.02, 0.3, 8))]
    while len(sigs) < N_SIGNALS:
        k = len(sigs)
        sigs.append((f"x{k}", 1 if k % 2 else 8, float(rng.uniform(0.0005, 0.004))))
    return sigs


def generate(path, n_times, seed=1):
    rng = np.random.default_rng(seed)
    sigs = plan(rng)
    code = codes(len(sigs))
    # One line per (signal, value): VCD text of each possible change.
    tables = []
    for s, (_, width, _) in enumerate(sigs):
        if width == 1:
            tables.append(np.array([f"0{code[s]}", f"1{code[s]}"], dtype=object))
        else:
            tables.append(np.array([f"b{v:0{width}b} {code[s]}" for v in range(1 << width)],
                                   dtype=object))
    # Change times and values per signal; every signal has a value at time 0.
    events_t, events_line = [], []
    for s, (_, width, p) in enumerate(sigs):
        mask = rng.random(n_times) < p
        mask[0] = True
        t = np.flatnonzero(mask)
        v = rng.integers(0, 1 << width, size=t.size)
        events_t.append(t)
        events_line.append(tables[s][v])
    t_all = np.concatenate(events_t)
    line_all = np.concatenate(events_line)
    order = np.argsort(t_all, kind="stable")
    t_all, line_all = t_all[order], line_all[order]

    with open(path, "w") as f:
        f.write("$timescale 1ns $end\n$scope module top $end\n")
        for s, (name, width, _) in enumerate(sigs):
            f.write(f"$var wire {width} {code[s]} {name} $end\n")
        f.write("$upscope $end\n$enddefinitions $end\n")
        step = 250_000
        for lo in range(0, n_times, step):
            hi = min(lo + step, n_times)
            a, b = np.searchsorted(t_all, [lo, hi])
            et, el = t_all[a:b], line_all[a:b]
            times = np.arange(lo, hi)
            before = np.searchsorted(et, times)
            out = np.empty(times.size + et.size, dtype=object)
            out[times - lo + before] = [f"#{x}" for x in times.tolist()]
            out[np.arange(et.size) + (et - lo) + 1] = el
            f.write("\n".join(out.tolist()))
            f.write("\n")


def timed(fn, repeat):
    """Best wall time and the process CPU time of that run (all threads), and the result."""
    best, cpu, result = None, None, None
    for _ in range(repeat):
        w0, c0 = time.perf_counter(), time.process_time()
        result = fn()
        dt, dc = time.perf_counter() - w0, time.process_time() - c0
        if best is None or dt < best:
            best, cpu = dt, dc
    return best, cpu, result


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--times", type=int, default=5_000_000)
    ap.add_argument("--repeat", type=int, default=3)
    args = ap.parse_args()

    path = os.path.join(tempfile.gettempdir(), f"tarn-bench-search-{args.times}.vcd")
    if not os.path.exists(path):
        t0 = time.perf_counter()
        generate(path + ".part", args.times)
        os.replace(path + ".part", path)
        print(f"generated {path} in {time.perf_counter() - t0:.1f} s")
    t0 = time.perf_counter()
    tr = PyTrace.from_vcd(path)
    print(f"loaded {len(tr.signal_names())} signals, {tr.max_index() + 1} time stamps "
          f"in {time.perf_counter() - t0:.1f} s")
    n = tr.max_index() + 1

    def sig(name):
        return E.signal(tr.signal_id("top." + name))

    def dense(name):
        return np.array(tr.signal_values_range("top." + name, 0, n), dtype=np.uint64)

    c = [sig(f"c{k}") for k in range(8)]
    queries = {
        "(a) a == 0x5a": (
            sig("a").eq_(E.const_int(0x5A)),
            ["a"],
            lambda d: np.flatnonzero(d["a"] == 0x5A),
        ),
        "(b) (a & 0xf) == b[-1]": (
            sig("a").bit_and(E.const_int(0xF)).eq_(sig("b").rel_eval(-1)),
            ["a", "b"],
            lambda d: np.flatnonzero((d["a"][1:] & 0xF) == d["b"][:-1]) + 1,
        ),
        "(c) and/or tree, 8 signals": (
            c[0].and_(c[1]).or_(c[2].and_(c[3])).and_(c[4].or_(c[5])).and_(c[6].or_(c[7])),
            [f"c{k}" for k in range(8)],
            lambda d: np.flatnonzero(
                ((d["c0"] & d["c1"]) | (d["c2"] & d["c3"])) & (d["c4"] | d["c5"])
                & (d["c6"] | d["c7"])
            ),
        ),
    }

    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores; wall times (best of "
          f"{args.repeat}), with the process CPU time of that run in brackets")
    head = (f"{'query':27} {'matches':>8} {'find':>15} {'parallel_find':>15} "
            f"{'parallel_count':>15} {'numpy':>7} {'np+build':>9}")
    print(head)
    print("-" * len(head))

    def ms(wall, cpu):
        return f"{wall * 1e3:6.0f} ({cpu * 1e3:4.0f})ms"

    for label, (expr, names, np_fn) in queries.items():
        t_find, c_find, found = timed(lambda: tr.find(expr), args.repeat)
        t_pfind, c_pfind, pfound = timed(lambda: tr.parallel_find(expr), args.repeat)
        t_pcount, c_pcount, count = timed(lambda: tr.parallel_count(expr), args.repeat)
        t_build, _, arrays = timed(lambda: {k: dense(k) for k in names}, 1)
        t_np, _, np_found = timed(lambda: np_fn(arrays), args.repeat)
        assert found == pfound == np_found.tolist() and count == len(found), label
        print(f"{label:27} {len(found):8d} {ms(t_find, c_find)} {ms(t_pfind, c_pfind)} "
              f"{ms(t_pcount, c_pcount)} {t_np * 1e3:5.0f}ms {(t_np + t_build) * 1e3:7.0f}ms")


if __name__ == "__main__":
    main()
