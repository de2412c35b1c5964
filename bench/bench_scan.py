"""Scan benchmark: one condition over many small dumps, three ways.

    python bench/bench_scan.py [--files N] [--distinct N] [--jobs N]

Writes N dumps of about 1 MB under bench/out/scan/ (the first run only: `--distinct` different
dumps made by gen_vcd.py, copied until there are N files) and times `find` of one condition with
two value columns over all of them:

* a sequential loop: `tarn.open(path, signals=...)`, `find`, `values_at`, one dump after another;
* `tarn.scan` on the local process pool (`--jobs`, default the cores this process may use);
* `tarn.scan` on a Dask LocalCluster of two single-threaded worker processes on 127.0.0.1.

For Dask it also times as many tasks that do nothing, which is the scheduling overhead per dump.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

CONDITION = "$rose(top.block0.sig0) && top.block1.sig1 > 3"
VALUES = ["top.block2.sig2", "top.block3.sig3"]


def make_dumps(folder: str, count: int, distinct: int) -> list[str]:
    from gen_vcd import generate

    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(folder, f"run{k:05d}.vcd") for k in range(count)]
    if all(os.path.exists(p) for p in paths):
        return paths
    for k in range(distinct):
        generate(paths[k], signals=200, stamps=10_000, changes=60_000, seed=k + 1)
    for k in range(distinct, count):
        shutil.copyfile(paths[k % distinct], paths[k])
    return paths


def noop(path: str) -> None:
    return None


def main() -> None:
    ap = argparse.ArgumentParser(description="Scan benchmark")
    ap.add_argument("--files", type=int, default=2000)
    ap.add_argument("--distinct", type=int, default=20)
    ap.add_argument("--jobs", type=int, default=None)
    args = ap.parse_args()
    paths = make_dumps(os.path.join(HERE, "out", "scan"), args.files, args.distinct)
    size = sum(os.path.getsize(p) for p in paths)

    import tarn
    from tarn.scanning import signals_of

    patterns = signals_of(CONDITION, VALUES)
    rows = []

    t0 = time.perf_counter()
    matches = 0
    for p in paths:
        trace = tarn.open(p, signals=patterns)
        hits = trace.find(tarn.compile(trace, CONDITION))
        matches += len(trace.values_at(VALUES, hits))
    rows.append(("sequential loop", time.perf_counter() - t0, matches))

    t0 = time.perf_counter()
    df = tarn.scan(paths, CONDITION, values=VALUES, jobs=args.jobs)
    rows.append((f"local pool ({args.jobs or len(os.sched_getaffinity(0))} processes)",
                 time.perf_counter() - t0, len(df)))

    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.submit(noop, "warm-up").result()
        t0 = time.perf_counter()
        df = tarn.scan(paths, CONDITION, values=VALUES, client=client)
        rows.append(("Dask LocalCluster (2 workers)", time.perf_counter() - t0, len(df)))
        t0 = time.perf_counter()
        client.gather(client.map(noop, paths, pure=False))
        overhead = (time.perf_counter() - t0) / len(paths)

    print(f"{len(paths)} dumps, {size / 1e6 / len(paths):.2f} MB each, {size / 1e9:.2f} GB in all")
    print("| how | seconds | dumps/s | matches |")
    print("|---|---|---|---|")
    for name, dt, n in rows:
        print(f"| {name} | {dt:.1f} | {len(paths) / dt:.0f} | {n} |")
    print(f"Dask scheduling overhead: {overhead * 1e3:.2f} ms per dump (a task that does nothing)")


if __name__ == "__main__":
    main()
