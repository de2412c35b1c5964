"""Time the change queries, snapshots, name queries and statistics on the benchmark dump.

    python bench/bench_queries.py [VCD] [--repeat N]

VCD defaults to bench/out/big.vcd, which is generated with bench/gen_vcd.py when missing. The
busiest and the quietest signal are picked by their number of transitions; per-signal queries
should cost in proportion to those, not to the number of indices, and the per-index queries in
proportion to the number of signals.
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "src"))

import tarn  # noqa: E402


def timed(fn, repeat):
    """(best, median) wall time of fn() in seconds over `repeat` runs."""
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times), statistics.median(times)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("vcd", nargs="?", default=os.path.join(HERE, "out", "big.vcd"))
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    if not os.path.exists(args.vcd):
        import gen_vcd

        os.makedirs(os.path.dirname(os.path.abspath(args.vcd)), exist_ok=True)
        gen_vcd.generate(args.vcd, 5000, 300_000, 10_000_000)

    t0 = time.perf_counter()
    trace = tarn.PyTrace.from_vcd(args.vcd)
    load = time.perf_counter() - t0
    names = trace.signal_names()
    last = trace.max_index()
    print(f"{args.vcd}: {len(names)} signals, {last + 1} indices, loaded in {load:.2f} s")

    t0 = time.perf_counter()
    counts = {n: trace.signal_stats(n)[4] for n in names}
    all_stats = time.perf_counter() - t0
    busy = max(names, key=counts.get)
    quiet = min(names, key=counts.get)
    print(f"signal_stats of all {len(names)} signals: {all_stats * 1e3:.1f} ms")
    print(f"busiest {busy}: {counts[busy]} transitions; quietest {quiet}: {counts[quiet]}")

    mid = last // 2
    rows = [
        ("transitions(busiest)", lambda: trace.transitions(busy)),
        ("transitions(quietest)", lambda: trace.transitions(quiet)),
        ("signal_stats(busiest)", lambda: trace.signal_stats(busy)),
        ("signal_stats(quietest)", lambda: trace.signal_stats(quiet)),
        (f"changed_at({mid})", lambda: trace.changed_at(mid)),
        (f"changed_at_scope({mid}, 'top.block7')",
         lambda: trace.changed_at_scope(mid, "top.block7")),
        (f"snapshot({mid})", lambda: trace.snapshot(mid)),
        (f"snapshot_scope({mid}, 'top.block7')", lambda: trace.snapshot_scope(mid, "top.block7")),
        ("find_signals_glob('top.block1*.sig*9')",
         lambda: trace.find_signals_glob("top.block1*.sig*9")),
        ("find_signals_containing('SIG12')", lambda: trace.find_signals_containing("SIG12")),
        ("local_signals('top.block7')", lambda: trace.local_signals("top.block7")),
    ]
    print(f"{'query':44} {'best ms':>10} {'median ms':>10}   result size")
    for label, fn in rows:
        best, med = timed(fn, args.repeat)
        print(f"{label:44} {best * 1e3:10.3f} {med * 1e3:10.3f}   {len(fn())}")


if __name__ == "__main__":
    main()
