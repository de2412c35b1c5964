"""Frame benchmark: converting signals of the benchmark dump to pandas and Arrow, beside loading it.

    python bench/bench_frames.py [FILE] [--signals N] [--runs N]

Without FILE it uses bench/out/big.vcd (made by gen_vcd.py if missing). Each figure is the median
of several runs in one interpreter: the load, then `to_pandas` and `to_arrow` of N signals (every
(5000 / N)-th name, so busy and quiet signals mix as they do in the dump; with --busiest the N
signals with the most changes), then `to_numpy` of each of them. Rows are the samples where any
of the N signals changes.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def timed(f, *args):  # type: ignore[no-untyped-def]
    t0 = time.perf_counter()
    out = f(*args)
    return time.perf_counter() - t0, out


def main() -> None:
    ap = argparse.ArgumentParser(description="Frame benchmark")
    ap.add_argument("file", nargs="?")
    ap.add_argument("--signals", type=int, default=100)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument(
        "--busiest", action="store_true", help="the N signals with the most changes instead"
    )
    args = ap.parse_args()
    path = args.file or os.path.join(HERE, "out", "big.vcd")
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_vcd.py"), path], check=True)

    import tarn

    loads, frames, arrows, numpys = [], [], [], []
    shape = (0, 0)
    for _ in range(args.runs):
        dt, trace = timed(tarn.open, path)
        loads.append(dt)
        names = trace.signal_names()
        if args.busiest:
            changes = {n: len(trace[n].to_numpy().indices) for n in names}
            pick = sorted(names, key=changes.__getitem__, reverse=True)[: args.signals]
        else:
            step = max(1, len(names) // args.signals)
            pick = names[::step][: args.signals]
        trace.to_pandas(pick[:1])  # imports pandas and pyarrow outside the timings
        trace.to_arrow(pick[:1])
        dt, df = timed(trace.to_pandas, pick)
        frames.append(dt)
        shape = df.shape
        dt, _ = timed(trace.to_arrow, pick)
        arrows.append(dt)
        dt, _ = timed(lambda t, p: [t[n].to_numpy() for n in p], trace, pick)
        numpys.append(dt)
        del trace, df
    med = statistics.median
    print(f"{os.path.basename(path)}: {shape[0]} rows x {shape[1] - 2} signals")
    print("| step | median s |")
    print("|---|---|")
    print(f"| load (tarn.open) | {med(loads):.3f} |")
    print(f"| to_pandas, {len(pick)} signals | {med(frames):.3f} |")
    print(f"| to_arrow, {len(pick)} signals | {med(arrows):.3f} |")
    print(f"| to_numpy of each signal | {med(numpys):.3f} |")


if __name__ == "__main__":
    main()
