"""Side-by-side comparison: tarn against the other ways to get a dump into Python.

    python bench/compare.py [--runs N]

Creates (once) a virtual environment of its own in bench/out/compare-venv for the peers that
come from PyPI (numpy), uses GTKWave's converters from Debian when present (`apt-get install
gtkwave`; rows are skipped otherwise), generates the benchmark files deterministically, runs
every contender on the same files, several times each in a fresh process, and prints a Markdown
table of median wall time and peak resident memory. The package's own dependencies are never
touched.

Rows:
- VCD: load the benchmark dump and build the change lists of 100 chosen signals — tarn
  (`from_vcd` + `transitions`) against a straightforward pure-Python reader written the way a
  user would (split lines, dictionary of codes, per-signal lists); GTKWave's `vcd2fst` parsing
  and converting the same file is shown as the native-code reference.
- FST: decode the `vcd2fst -4` file — tarn `from_fst` against GTKWave's `fst2vcd` (to
  /dev/null).
- Searches over 200 signals x 5,000,000 time stamps (the questions of bench_search.py):
  tarn `find` / `parallel_find` against numpy on dense arrays (with the array build from the
  trace shown separately).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import venv

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "out")
VENV = os.path.join(OUT, "compare-venv")

# ---- children: each prints "seconds peak_bytes" (and may print extra fields) ----

TARN_VCD = r"""
import resource, sys, time
import tarn
path, names = sys.argv[1], sys.argv[2].split(",")
t0 = time.perf_counter()
tr = tarn.PyTrace.from_vcd(path)
lists = {n: tr.transitions(n) for n in names}
dt = time.perf_counter() - t0
print(dt, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, sum(map(len, lists.values())))
"""

# What a user without a library writes: one pass, a dict from code to list of (time, value).
PLAIN_VCD = r"""
import resource, sys, time
path, names = sys.argv[1], set(sys.argv[2].split(","))
t0 = time.perf_counter()
scope, wanted, changes, t = [], {}, {}, None
with open(path) as f:
    for line in f:
        line = line.strip()
        if not line:
            continue
        c = line[0]
        if c == "#":
            t = int(line[1:])
        elif c in "01xXzZ":
            code = line[1:]
            if code in wanted:
                changes[code].append((t, c))
        elif c in "bBrR":
            value, _, code = line.partition(" ")
            if code in wanted:
                changes[code].append((t, value[1:]))
        elif line.startswith("$scope"):
            scope.append(line.split()[2])
        elif line.startswith("$upscope"):
            scope.pop()
        elif line.startswith("$var"):
            parts = line.split()
            full = ".".join(scope + [parts[4].split("[")[0]])
            if full in names:
                wanted[parts[3]] = full
                changes.setdefault(parts[3], [])
dt = time.perf_counter() - t0
print(dt, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
      sum(map(len, changes.values())))
"""

TARN_FST = r"""
import resource, sys, time
import tarn
t0 = time.perf_counter()
tr = tarn.PyTrace.from_fst(sys.argv[1])
dt = time.perf_counter() - t0
print(dt, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024)
"""

SEARCH = r"""
import resource, sys, time
sys.path.insert(0, sys.argv[1])
import numpy as np
import bench_search as bs
from tarn import PyExpr as E, PyTrace
path, which, how = sys.argv[2], sys.argv[3], sys.argv[4]
tr = PyTrace.from_vcd(path)
n = tr.max_index() + 1
sig = lambda name: E.signal(tr.signal_id("top." + name))
c = [sig(f"c{k}") for k in range(8)]
exprs = {
    "a": sig("a").eq_(E.const_int(0x5A)),
    "b": sig("a").bit_and(E.const_int(0xF)).eq_(sig("b").rel_eval(-1)),
    "c": c[0].and_(c[1]).or_(c[2].and_(c[3])).and_(c[4].or_(c[5])).and_(c[6].or_(c[7])),
}
leaves = {"a": ["a"], "b": ["a", "b"], "c": [f"c{k}" for k in range(8)]}
numpy_fn = {
    "a": lambda d: np.flatnonzero(d["a"] == 0x5A),
    "b": lambda d: np.flatnonzero((d["a"][1:] & 0xF) == d["b"][:-1]) + 1,
    "c": lambda d: np.flatnonzero(((d["c0"] & d["c1"]) | (d["c2"] & d["c3"]))
                                  & (d["c4"] | d["c5"]) & (d["c6"] | d["c7"])),
}
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
t0 = time.perf_counter()
if how == "find":
    r = tr.find(exprs[which])
elif how == "parallel_find":
    r = tr.parallel_find(exprs[which])
else:
    d = {k: np.array(tr.signal_values_range("top." + k, 0, n), dtype=np.uint64)
         for k in leaves[which]}
    t1 = time.perf_counter()
    r = numpy_fn[which](d)
    build = t1 - t0
dt = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
extra = build if how == "numpy" else 0.0
print(dt - extra, peak, len(r), extra)
"""


def ensure_venv() -> str:
    py = os.path.join(VENV, "bin", "python")
    if not os.path.exists(py):
        venv.EnvBuilder(with_pip=True).create(VENV)
        subprocess.run([py, "-m", "pip", "install", "-q", "numpy"], check=True)
    # Let the peer environment import the same tarn as this interpreter, without installing it.
    import tarn

    site = subprocess.run([py, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
                          check=True, capture_output=True, text=True).stdout.strip()
    with open(os.path.join(site, "tarn-under-test.pth"), "w") as f:
        f.write(os.path.dirname(os.path.dirname(os.path.abspath(tarn.__file__))) + "\n")
    return py


def run_py(py: str, code: str, *args: str) -> list[float]:
    out = subprocess.run([py, "-c", code, *args], check=True, capture_output=True, text=True)
    return [float(x) for x in out.stdout.split()]


def run_cmd(cmd: list[str], stdout=subprocess.DEVNULL) -> list[float]:
    """Wall time and peak resident memory of an external command."""
    import time

    t0 = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(proc.pid, 0)
    dt = time.perf_counter() - t0
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{cmd[0]} failed")
    return [dt, usage.ru_maxrss * 1024]


def median_of(runs: int, fn) -> list[float]:
    results = [fn() for _ in range(runs)]
    return [statistics.median(r[0] for r in results), max(r[1] for r in results)] + results[0][2:]


def main() -> None:
    ap = argparse.ArgumentParser(description="Compare tarn with other ways to read dumps")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--search-times", type=int, default=5_000_000)
    args = ap.parse_args()
    os.makedirs(OUT, exist_ok=True)
    py = ensure_venv()
    rows = []

    def row(task, tool, res, note=""):
        rows.append((task, tool, res[0], res[1], note))

    big = os.path.join(OUT, "big.vcd")
    if not os.path.exists(big):
        subprocess.run([sys.executable, os.path.join(HERE, "gen_vcd.py"), big], check=True)
    with open(big + ".json") as f:
        info = json.load(f)
    # 100 signals spread over the design (busy and quiet alike)
    step = info["signals"] // 100
    names = [f"top.block{i % 50}.sig{i}" for i in range(0, info["signals"], step)][:100]
    joined = ",".join(names)
    task = f"VCD {info['bytes'] / 1e6:.0f} MB: load + change lists of 100 signals"
    r = median_of(args.runs, lambda: run_py(sys.executable, TARN_VCD, big, joined))
    row(task, "tarn from_vcd + transitions", r)
    r = median_of(1, lambda: run_py(sys.executable, PLAIN_VCD, big, joined))
    row(task, "pure-Python reader (1 run)", r)
    fst = os.path.join(OUT, "big.fst")
    if shutil.which("vcd2fst"):
        r = median_of(1, lambda: run_cmd(["vcd2fst", "-4", big, fst]))
        row(task, "vcd2fst -4 (parse + convert, native)", r, "reference")
    if os.path.exists(fst):
        task = f"FST {os.path.getsize(fst) / 1e6:.0f} MB (vcd2fst -4): decode"
        r = median_of(args.runs, lambda: run_py(sys.executable, TARN_FST, fst))
        row(task, "tarn from_fst", r)
        if shutil.which("fst2vcd"):
            r = median_of(args.runs, lambda: run_cmd(["fst2vcd", fst]))
            row(task, "fst2vcd > /dev/null", r)

    search_vcd = os.path.join(OUT, f"search-{args.search_times}.vcd")
    if not os.path.exists(search_vcd):
        subprocess.run([py, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
                        "import bench_search as b; b.generate(sys.argv[2], int(sys.argv[3]))",
                        HERE, search_vcd, str(args.search_times)], check=True)
    labels = {"a": "(a) a == 0x5a", "b": "(b) (a & 0xf) == b.rel_eval(-1)",
              "c": "(c) and/or tree over 8 signals"}
    for q, label in labels.items():
        task = f"search {args.search_times / 1e6:.0f}M stamps {label}"
        for how in ("find", "parallel_find", "numpy"):
            r = median_of(args.runs, lambda: run_py(py, SEARCH, HERE, search_vcd, q, how))
            note = f"{r[2]:.0f} matches"
            if how == "numpy":
                note += f"; + {r[3] * 1e3:.0f} ms to build the dense arrays"
            row(task, {"find": "tarn find", "parallel_find": "tarn parallel_find",
                       "numpy": "numpy on dense arrays"}[how], r, note)

    print(f"Machine: {platform.machine()}, {os.cpu_count()} cores, Python "
          f"{platform.python_version()}; median of {args.runs} runs (wall time), peak RSS of the "
          "process (search rows: the process also holds the loaded trace)\n")
    print("| task | tool | median time | peak memory | note |")
    print("|---|---|---|---|---|")
    for task, tool, t, peak, note in rows:
        shown = f"{t * 1e3:.0f} ms" if t < 1 else f"{t:.2f} s"
        print(f"| {task} | {tool} | {shown} | {peak / 2**20:.0f} MiB | {note} |")


if __name__ == "__main__":
    main()
