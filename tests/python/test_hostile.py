"""Hostile files: headers with huge counts, lengths and offsets, offsets pointing backwards,
self-referencing links, and names that expand without bound. Every load must fail with a
ValueError or finish, in memory bounded by the file's size; each batch runs in a child process
whose peak memory is measured."""

import json
import os
import pathlib
import subprocess
import sys

import pytest

import tarn

from builders import SHM_SIGNAL, shm_design, shm_records, shm_transitions, vpd, wlf, wlf_value_page
from conftest import DATA

ROOT = pathlib.Path(__file__).resolve().parents[2]
FSDB_SEEDS = ROOT / "fuzz" / "corpus" / "fsdb"

# Values written over header fields: counts, lengths and offsets far beyond any file.
HOSTILE_WORDS = [0xFFFFFFFF, 0x7FFFFFF0, 0x10000]

CHILD = """
import json, os, resource, struct, sys
from tarn import PyTrace
jobs = json.load(sys.stdin)
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
failed = loaded = 0

def load(loader, path):
    global failed, loaded
    try:
        t = getattr(PyTrace, loader)(path)
        for name in t.signal_names()[:3]:
            t.signal_value(name, t.max_index())
            t.transitions(name)
        loaded += 1
    except ValueError:
        failed += 1

def stomp(data, limit, step):
    # Each hostile word written at each offset of the first `limit` bytes, both byte orders.
    for at in range(0, max(min(len(data), limit) - 3, 1), step):
        for w in WORDS:
            for fmt in ("<I", ">I"):
                out = bytearray(data)
                out[at : at + 4] = struct.pack(fmt, w)
                yield bytes(out[: len(data)])
        out = bytearray(data)
        out[at : at + 4] = bytes(4)  # an offset pointing back to the start
        yield bytes(out[: len(data)])

for job in jobs:
    if "stomp" not in job:
        load(job["loader"], job["path"])
        continue
    folder = job["dir"]
    os.makedirs(folder, exist_ok=True)
    for name, data in job["files"].items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(bytes.fromhex(data))
    target = os.path.join(folder, job["stomp"])
    seed = bytes.fromhex(job["files"][job["stomp"]])
    for m in stomp(seed, job["limit"], job["step"]):
        with open(target, "wb") as f:
            f.write(m)
        load(job["loader"], job.get("path", target))
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
print(json.dumps({"failed": failed, "loaded": loaded, "peak_kib": peak}))
""".replace("WORDS", repr(HOSTILE_WORDS))


def load_all(jobs):
    """Runs the load jobs in one child; their outcome counts and its peak memory growth."""
    env = dict(os.environ)
    home = os.path.dirname(os.path.dirname(os.path.abspath(tarn.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (home, env.get("PYTHONPATH")) if p)
    try:
        proc = subprocess.run(
            [sys.executable, "-c", CHILD],
            input=json.dumps(jobs),
            capture_output=True,
            text=True,
            env=env,
            timeout=600,  # only turns a hang into a failure
        )
    except subprocess.TimeoutExpired:
        pytest.fail("a hostile file made the load hang")
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout)


def stomp_job(folder, loader, name, data, limit=4096, step=1, others=None, path=None):
    """Loads of `data` (file `name` in `folder`) with hostile words written over its header."""
    files = {name: data.hex()}
    files.update({k: v.hex() for k, v in (others or {}).items()})
    job = {"loader": loader, "dir": str(folder), "files": files, "stomp": name, "limit": limit,
           "step": step}
    if path is not None:
        job["path"] = str(path)
    return job


# Peak memory a batch of small hostile loads may grow by: the decoded traces of files of a few
# KiB are tiny, so anything near this means an allocation sized by a number from the file.
# AddressSanitizer keeps freed memory in a quarantine (256 MiB) before reusing it.
SANITIZED = "asan" in os.environ.get("LD_PRELOAD", "")
BOUND_KIB = (64 + 320 * SANITIZED) << 10


def check(result):
    assert result["failed"] + result["loaded"] > 0
    assert result["peak_kib"] < BOUND_KIB, result


def fst_seeds():
    # One file per block compression and the gzip wrapper.
    names = ["mixed_zlib", "mixed_lz4", "mixed_fastlz", "mixed_wrapped", "blackout_lz4"]
    return [DATA / "fst" / f"{n}.fst" for n in names]


def test_fst_header_stomp(tmp_path):
    jobs = [
        stomp_job(tmp_path / p.stem, "from_fst", "x.fst", p.read_bytes(), step=3)
        for p in fst_seeds()
    ]
    check(load_all(jobs))


def test_fsdb_header_stomp(tmp_path):
    jobs = []
    for p in sorted(FSDB_SEEDS.glob("*")):
        data = p.read_bytes()
        jobs.append(stomp_job(tmp_path / p.name, "from_fsdb", "x.fsdb", data, 2600, 7))
    check(load_all(jobs))


def test_vpd_and_wlf_header_stomp(tmp_path):
    names = b"\x01top.u1.sig\0top.clk\0top.rst\0top.u1.q\0"
    v = vpd([names, b"FoldedTop\0" + bytes(130) + b"top.late\0"])
    pages = [wlf_value_page(b"\x01\x05\xff\x01\x07\x00"), wlf_value_page(b"\xff\x02\x09\x00")]
    w = wlf(b"top.a\0top.b\0top.c\0", 3, pages)
    jobs = [
        stomp_job(tmp_path / "vpd", "from_vpd", "x.vpd", v, step=2),
        stomp_job(tmp_path / "wlf", "from_wlf", "x.wlf", w, limit=64),
        # The value pages too: their lengths and ids.
        stomp_job(tmp_path / "wlf_pages", "from_wlf", "x.wlf", w[8192:] + w[8192:], limit=64),
    ]
    check(load_all(jobs))


def test_shm_self_and_backward_links_and_stomp(tmp_path):
    trn = shm_transitions([(10, 3, b"\x10\x08"), (20, 2, b"\x04")])
    jobs = []
    for k, links in enumerate([[0, None], [None, 0], [1, 1], [None, 1]]):
        recs = [(SHM_SIGNAL, b"sig%d\0" % i) for i in range(2)]
        db = tmp_path / f"links{k}.shm"
        db.mkdir()
        (db / "w.dsn").write_bytes(shm_design(recs, links=links))
        (db / "w.trn").write_bytes(trn)
        jobs.append({"loader": "from_shm", "path": str(db)})
    design = shm_design(shm_records(["clk", "rst_n", "data"], scope="top"))
    for part, data in (("w.dsn", design), ("w.trn", trn)):
        others = {"w.trn": trn} if part == "w.dsn" else {"w.dsn": design}
        db = tmp_path / f"stomp_{part}.shm"
        jobs.append(stomp_job(db, "from_shm", part, data, 512, 2, others, path=db))
    result = load_all(jobs)
    check(result)
    assert result["loaded"] >= 4  # the self-linked databases load


def test_names_that_expand_without_bound(tmp_path):
    # 150,000 nested scopes of one letter: 3 MB of text whose paths would take 22 GB.
    path = tmp_path / "deep.vcd"
    path.write_text("$scope module m $end\n" * 150_000 + "$enddefinitions $end\n#0\n")
    result = load_all([{"loader": "from_vcd", "path": str(path)}])
    assert result["failed"] == 1
    assert result["peak_kib"] < (1 + SANITIZED) << 20  # the budget caps names near 256 MiB
    with pytest.raises(ValueError, match=r"^VCD data: the declarations expand to more than "):
        tarn.PyTrace.from_vcd_string("$scope module m $end\n" * 150_000)
