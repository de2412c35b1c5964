"""Load benchmark: time, throughput and peak memory of loading a dump.

    python bench/bench_load.py [FILE ...] [--runs N]

A FILE ending in .gz or .zst is loaded with tarn.open (one pass as it decompresses).
Without FILE it uses bench/out/big.vcd (made by gen_vcd.py if missing) and, when present,
bench/out/big.fst. Loads use every core the process may run on; `taskset -c 0 python
bench/bench_load.py` gives the one-core figures. Each run is a fresh interpreter, so peak
resident memory is that of one load; "net" subtracts the peak of an interpreter that only
imports tarn. Bytes per change use the change count recorded by gen_vcd.py.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")

CHILD = r"""
import resource, sys, time
import tarn
path, loader = sys.argv[1], sys.argv[2]
load = tarn.open if loader == "open" else getattr(tarn.PyTrace, loader)
t0 = time.perf_counter()
trace = load(path)
dt = time.perf_counter() - t0
print(dt, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""

BASELINE = r"""
import resource, tarn
print(0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""

# Compressed dumps load through tarn.open, which looks through the compression.
LOADERS = {".vcd": "from_vcd", ".fst": "from_fst", ".fsdb": "from_fsdb", ".vpd": "from_vpd",
           ".wlf": "from_wlf", ".gz": "open", ".zst": "open"}


def run(code: str, *args: str) -> tuple[float, int]:
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True,
                         text=True).stdout.split()
    return float(out[0]), int(out[1]) * 1024


def changes_of(path: str) -> int | None:
    stem = os.path.splitext(path)[0] if path.endswith((".gz", ".zst")) else path
    for cand in (stem + ".json", os.path.splitext(stem)[0] + ".vcd.json"):
        if os.path.exists(cand):
            with open(cand) as f:
                return json.load(f)["changes"]
    return None


def main() -> None:
    ap = argparse.ArgumentParser(description="Load benchmark")
    ap.add_argument("files", nargs="*")
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    files = args.files
    if not files:
        big = os.path.join(OUT, "big.vcd")
        if not os.path.exists(big):
            subprocess.run([sys.executable, os.path.join(HERE, "gen_vcd.py"), big], check=True)
        files = [big] + [p for p in [os.path.join(OUT, "big.fst")] if os.path.exists(p)]
    base = min(run(BASELINE)[1] for _ in range(3))
    print(f"interpreter + import tarn: {base / 2**20:.1f} MiB peak")
    print("| file | loader | median s | MB/s | peak MiB | bytes/change (gross) | (net) |")
    print("|---|---|---|---|---|---|---|")
    for path in files:
        loader = LOADERS.get(os.path.splitext(path)[1].lower(), "from_vcd")
        results = [run(CHILD, path, loader) for _ in range(args.runs)]
        t = statistics.median(r[0] for r in results)
        peak = max(r[1] for r in results)
        size = os.path.getsize(path)
        n = changes_of(path)
        per = f"{peak / n:.1f}" if n else "-"
        net = f"{(peak - base) / n:.1f}" if n else "-"
        print(f"| {os.path.basename(path)} | {loader} | {t:.3f} | {size / 1e6 / t:.0f} | "
              f"{peak / 2**20:.0f} | {per} | {net} |")


if __name__ == "__main__":
    main()
