"""Peak memory of a load per input byte, for every binary reader.

Each file is loaded in a child process of its own; the growth of its peak resident memory over
the import of tarn, divided by the file's size, is the figure. Inputs: the fuzz corpora
(fuzz/corpus/<format>/ and, when present, the fuzzers' own fuzz/out/corpus_<format>/), the FST
test fixtures, and the real dumps of the corpus (--corpus, else TARN_CORPUS, else
../shared/corpus).

    python bench/mem_per_byte.py [--corpus DIR] [--top N]

Tiny files are dominated by fixed costs (allocator arenas, page granularity: about 0.2 MiB), so
the table shows the largest ratio among loads that grew the peak by at least 1 MiB, the largest
peak, and the largest ratio among files of at least 64 KiB.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
FORMATS = {fmt: f"from_{fmt}" for fmt in ("fst", "fsdb", "shm", "vpd", "wlf")}

CHILD = """
import json, resource, sys
from tarn import PyTrace
loader, path = sys.argv[1], sys.argv[2]
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
try:
    t = getattr(PyTrace, loader)(path)
    outcome = "loaded %d names, %d indices" % (len(t.signal_names()), t.max_index() + 1)
except ValueError as e:
    outcome = "failed: %s" % str(e)[:60]
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
print(json.dumps({"peak": peak * 1024, "outcome": outcome}))
"""


def size_of(path: pathlib.Path) -> int:
    if path.is_dir():
        return sum(p.stat().st_size for p in path.rglob("*") if p.is_file())
    return path.stat().st_size


def inputs(corpus: pathlib.Path):
    for fmt in FORMATS:
        folders = [ROOT / "fuzz" / "corpus" / fmt, ROOT / "fuzz" / "out" / f"corpus_{fmt}"]
        folders.append(corpus / fmt)
        if fmt == "fst":
            folders.append(ROOT / "tests" / "data" / "fst")
        for folder in folders:
            if not folder.is_dir():
                continue
            for p in sorted(folder.iterdir()):
                if fmt == "shm" and "fuzz" in folder.parts:
                    continue  # the SHM fuzz inputs pack several files into one
                if fmt == "fst" and folder.name == "fst" and not p.name.endswith(".fst"):
                    continue
                if p.is_file() or (fmt == "shm" and p.is_dir()):
                    yield fmt, p


def measure(loader: str, path: pathlib.Path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(x for x in (str(ROOT / "src"), env.get("PYTHONPATH")) if x)
    out = subprocess.run([sys.executable, "-c", CHILD, loader, str(path)], capture_output=True,
                         text=True, env=env, timeout=600)
    if out.returncode != 0:
        return {"peak": 0, "outcome": "child died: " + out.stderr[-200:]}
    return json.loads(out.stdout)


def main():
    ap = argparse.ArgumentParser()
    corpus = os.environ.get("TARN_CORPUS") or str(ROOT.parent / "shared" / "corpus")
    ap.add_argument("--corpus", default=corpus)
    ap.add_argument("--top", type=int, default=3)
    args = ap.parse_args()
    rows = {fmt: [] for fmt in FORMATS}
    for fmt, path in inputs(pathlib.Path(args.corpus)):
        size = size_of(path)
        if size == 0:
            continue
        r = measure(FORMATS[fmt], path)
        rows[fmt].append((r["peak"] / size, size, r["peak"], path, r["outcome"]))
    for fmt, rs in rows.items():
        if not rs:
            continue
        rs.sort(key=lambda r: r[0], reverse=True)
        real = [r for r in rs if r[2] >= 1 << 20]
        big = [r for r in rs if r[1] >= 64 << 10]
        top = max(rs, key=lambda r: r[2])
        print(f"{fmt}: {len(rs)} inputs; largest peak {top[2] / 1048576:.1f} MiB")
        for label, sel in (("peak >= 1 MiB", real), ("files >= 64 KiB", big)):
            for ratio, size, peak, path, outcome in sel[: args.top]:
                print(f"  [{label}] {ratio:8.1f} B/B  {size:9d} B  peak {peak / 1048576:7.1f} MiB"
                      f"  {path.name}  ({outcome})")

if __name__ == "__main__":
    main()
