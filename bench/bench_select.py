"""Selective-load benchmark: time and peak memory of loading a large VCD whole and keeping only
the signals of one scope.

    python bench/bench_select.py [--repeat N] [--pattern GLOB] [--runs N]

The input is the benchmark dump (bench/out/big.vcd, made by gen_vcd.py if missing) repeated N
times (default 10, about 1.9 GB): its header once, then its value section N times with the time
stamps shifted so that they keep ascending. It is written to bench/out/big_x{N}.vcd once and
reused. Each load runs in a fresh interpreter; "net" subtracts the peak of an interpreter that
only imports tarn. The selective load keeps top.block0.* (the 100 signals of one of the 50
scopes) by default.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")

CHILD = r"""
import resource, sys, time
import tarn
path, pattern = sys.argv[1], sys.argv[2]
t0 = time.perf_counter()
trace = tarn.open(path, signals=None if pattern == "-" else [pattern])
dt = time.perf_counter() - t0
print(dt, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, len(trace.signal_names()),
      trace.max_index() + 1)
"""

BASELINE = r"""
import resource, tarn
print(0, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, 0, 0)
"""


def repeated(src: str, n: int) -> str:
    """The dump `src` with its value section written `n` times, time stamps shifted."""
    out = os.path.join(OUT, f"big_x{n}.vcd")
    if os.path.exists(out):
        return out
    with open(src, "rb") as f:
        data = f.read()
    cut = data.index(b"\n#") + 1  # the first time-stamp line ends the header
    header, section = data[:cut], data[cut:]
    last = int(section[section.rindex(b"\n#") + 2 :].split(b"\n", 1)[0])
    step = last + 10
    lines = section.split(b"\n")
    tmp = out + ".part"
    with open(tmp, "wb") as f:
        f.write(header)
        for k in range(n):
            if k == 0:
                f.write(section)
                continue
            shift = k * step
            chunk = [b"#%d" % (int(ln[1:]) + shift) if ln[:1] == b"#" else ln for ln in lines]
            f.write(b"\n".join(chunk))
    os.replace(tmp, out)
    return out


def run(code: str, *args: str) -> tuple[float, int, int, int]:
    out = subprocess.run([sys.executable, "-c", code, *args], check=True, capture_output=True,
                         text=True).stdout.split()
    return float(out[0]), int(out[1]) * 1024, int(out[2]), int(out[3])


def main() -> None:
    ap = argparse.ArgumentParser(description="Selective-load benchmark")
    ap.add_argument("--repeat", type=int, default=10)
    ap.add_argument("--pattern", default="top.block0.*")
    ap.add_argument("--runs", type=int, default=3)
    args = ap.parse_args()
    big = os.path.join(OUT, "big.vcd")
    if not os.path.exists(big):
        os.makedirs(OUT, exist_ok=True)
        subprocess.run([sys.executable, os.path.join(HERE, "gen_vcd.py"), big], check=True)
    path = repeated(big, args.repeat)
    base = min(run(BASELINE)[1] for _ in range(3))
    size = os.path.getsize(path)
    print(f"{os.path.basename(path)}: {size / 1e9:.2f} GB; interpreter + import tarn: "
          f"{base / 2**20:.1f} MiB peak")
    print("| load | signals | indices | median s | MB/s | peak MiB | net MiB |")
    print("|---|---|---|---|---|---|---|")
    nets = {}
    for label, pattern in (("whole", "-"), (args.pattern, args.pattern)):
        results = [run(CHILD, path, pattern) for _ in range(args.runs)]
        t = statistics.median(r[0] for r in results)
        peak = max(r[1] for r in results)
        nets[label] = peak - base
        print(f"| {label} | {results[0][2]} | {results[0][3]} | {t:.2f} | {size / 1e6 / t:.0f} | "
              f"{peak / 2**20:.0f} | {(peak - base) / 2**20:.0f} |")
    share = nets[args.pattern] / nets["whole"]
    print(f"selective peak above the interpreter: {100 * share:.1f}% of the whole load's")


if __name__ == "__main__":
    main()
