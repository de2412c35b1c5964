"""FST loading speed and memory, side by side with GTKWave's fst2vcd on the same file.

    PYTHONPATH=src python bench/bench_fst.py [--repeat N] [--check]

Uses bench/out/big.vcd (written by gen_vcd.py when absent) and the FST that `vcd2fst -4` makes
from it (bench/out/big.fst; needs GTKWave's vcd2fst). Reports the best of N runs of `fst2vcd`
(output discarded) and of `PyTrace.from_fst`, wall clock and CPU time (the CPU time is the
steadier figure on a busy machine), the peak resident memory of a fresh process that
loads the FST, per value change, and with --check compares the trace with the VCD's.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
OUT = HERE / "out"

LOAD = """
import resource, sys, time
from tarn import PyTrace
r0 = resource.getrusage(resource.RUSAGE_SELF)
t0 = time.perf_counter()
t = PyTrace.from_fst(sys.argv[1])
dt = time.perf_counter() - t0
r1 = resource.getrusage(resource.RUSAGE_SELF)
cpu = r1.ru_utime + r1.ru_stime - r0.ru_utime - r0.ru_stime
print(dt, r0.ru_maxrss * 1024, r1.ru_maxrss * 1024, t.max_index() + 1, cpu)
"""


def ensure_inputs(vcd: pathlib.Path, fst: pathlib.Path) -> dict:
    if not vcd.exists():
        subprocess.run([sys.executable, os.fspath(HERE / "gen_vcd.py"), os.fspath(vcd)], check=True)
    if not fst.exists() or fst.stat().st_mtime < vcd.stat().st_mtime:
        if not shutil.which("vcd2fst"):
            sys.exit("vcd2fst (GTKWave) is needed to make the benchmark FST")
        subprocess.run(["vcd2fst", "-4", os.fspath(vcd), os.fspath(fst)], check=True,
                       stdout=subprocess.DEVNULL)
    meta = pathlib.Path(os.fspath(vcd) + ".json")
    return json.loads(meta.read_text()) if meta.exists() else {}


def cpu_of_children() -> float:
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def time_fst2vcd(fst: pathlib.Path):
    if not shutil.which("fst2vcd"):
        return None
    c0, t0 = cpu_of_children(), time.perf_counter()
    subprocess.run(["fst2vcd", os.fspath(fst)], check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0, cpu_of_children() - c0


def load_in_subprocess(fst: pathlib.Path):
    out = subprocess.run([sys.executable, "-c", LOAD, os.fspath(fst)], check=True,
                         capture_output=True, text=True, env=os.environ).stdout.split()
    return float(out[0]), int(out[1]), int(out[2]), int(out[3]), float(out[4])


def check(fst_path: pathlib.Path, vcd_path: pathlib.Path) -> None:
    import re

    from tarn import PyTrace

    fst = PyTrace.from_fst(os.fspath(fst_path))
    vcd = PyTrace.from_vcd(os.fspath(vcd_path))
    strip = re.compile(r" ?\[[0-9:]+\]$")
    names = fst.signal_names()
    assert [strip.sub("", n) for n in names] == vcd.signal_names(), "signal names differ"
    ft = [fst.timestamp(i) for i in range(fst.max_index() + 1)]
    vt = [vcd.timestamp(i) for i in range(vcd.max_index() + 1)]
    assert ft == vt, "time stamps differ"
    step = max(1, len(ft) // 1000)
    sample = list(range(0, len(ft), step)) + [len(ft) - 1]
    for k, name in enumerate(names):
        vname = strip.sub("", name)
        if k < 20:
            assert fst.signal_values_range(name, 0, len(ft)) == vcd.signal_values_range(
                vname, 0, len(ft)), name
        for i in sample:
            assert fst.signal_value(name, i) == vcd.signal_value(vname, i), (name, i)
    print(f"check: {len(names)} signals, {len(ft)} indices: same trace as the VCD")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--vcd", default=os.fspath(OUT / "big.vcd"))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--check", action="store_true")
    args = ap.parse_args()
    vcd = pathlib.Path(args.vcd)
    fst = vcd.with_suffix(".fst")
    OUT.mkdir(exist_ok=True)
    meta = ensure_inputs(vcd, fst)
    changes = meta.get("changes")

    ref, ref_cpu, ours, ours_cpu = [], [], [], []
    peak = base = n = 0
    for _ in range(args.repeat):
        r = time_fst2vcd(fst)
        if r is not None:
            ref.append(r[0])
            ref_cpu.append(r[1])
        dt, base, peak, n, cpu = load_in_subprocess(fst)
        ours.append(dt)
        ours_cpu.append(cpu)
    print(f"file: {fst} ({fst.stat().st_size / 1e6:.1f} MB, {n} time stamps, "
          f"{changes} value changes)")
    if ref:
        print(f"fst2vcd:  best {min(ref):.3f} s of {len(ref)} (CPU {min(ref_cpu):.3f} s)")
    print(f"from_fst: best {min(ours):.3f} s of {len(ours)} (CPU {min(ours_cpu):.3f} s, "
          "both cores)" + (f", {min(ours) / min(ref):.2f} x fst2vcd" if ref else ""))
    print(f"peak RSS: {peak / 1e6:.1f} MB (interpreter before loading {base / 1e6:.1f} MB)")
    if changes:
        print(f"per change: {peak / changes:.1f} bytes of peak RSS, "
              f"{(peak - base) / changes:.1f} bytes above the interpreter")
    if args.check:
        check(fst, vcd)


if __name__ == "__main__":
    main()
