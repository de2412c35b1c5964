"""Dumps compressed as a whole with gzip or zstd: told by their magic bytes, decompressed as they
are read (never to disk), equal to the plain file; truncated and corrupt streams and bombs fail
cleanly."""

import gzip
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import tarn
from tarn import PyTrace

from conftest import DATA, corpus_files, values

ZSTD = shutil.which("zstd")


def gz(data: bytes) -> bytes:
    return gzip.compress(data, mtime=0)


def zst(data: bytes, tmp_path: pathlib.Path) -> bytes:
    if ZSTD is None:
        pytest.skip("the zstd tool is not installed")
    src = tmp_path / "plain.bin"
    src.write_bytes(data)
    out = subprocess.run([ZSTD, "-q", "-c", str(src)], check=True, capture_output=True).stdout
    src.unlink()
    return out


def same(a: PyTrace, b: PyTrace) -> None:
    assert a.signal_names() == b.signal_names()
    assert a.scopes() == b.scopes()
    assert a.max_index() == b.max_index()
    assert [a.timestamp(i) for i in range(a.max_index() + 1)] == [
        b.timestamp(i) for i in range(b.max_index() + 1)
    ]
    for n in a.signal_names():
        assert values(a, n) == values(b, n), n


def first(kind: str, suffix: str | None = None) -> list[pathlib.Path]:
    files = [p for p in corpus_files(kind, suffix) if p.is_file()]
    return files[:2]


FILES = (
    first("vcd", ".vcd") + first("fst", ".fst") + first("fsdb") + first("vpd") + first("wlf")
    + [DATA / "fst" / "mixed_wrapped.fst", DATA / "fst" / "bits_lz4.fst",
       DATA / "fsdb" / "modern.fsdb"]
)


@pytest.mark.parametrize("path", FILES, ids=[p.name for p in FILES])
def test_compressed_copies_load_as_the_plain_file(path, tmp_path):
    plain = tarn.open(path)
    fmt = tarn.detect_format(path)
    data = path.read_bytes()
    for ending, packed in ((".gz", gz(data)), (".zst", zst(data, tmp_path))):
        # Named as users name them, and misnamed: the content decides.
        for name in (path.name + ending, "dump.bin"):
            copy = tmp_path / name
            copy.write_bytes(packed)
            assert tarn.detect_format(copy) == fmt
            same(plain, tarn.open(copy))
            copy.unlink()
    # Selective and compressed at once.
    names = plain.signal_names()
    if names:
        copy = tmp_path / (path.name + ".gz")
        copy.write_bytes(gz(data))
        part = tarn.open(copy, signals=[names[-1]])
        assert part.signal_names() == [names[-1]]
        assert values(part, names[-1]) == values(plain, names[-1])


def test_detection_looks_through_compression(tmp_path):
    # An empty VCD says nothing: the name without .gz/.zst decides.
    for name in ("empty.vcd.gz", "EMPTY.VCD.GZ"):
        p = tmp_path / name
        p.write_bytes(gz(b""))
        assert tarn.detect_format(p) == "vcd"
        assert tarn.open(p).signal_names() == []
    p = tmp_path / "x.fst.zst"
    p.write_bytes(zst(b"\x01" * 10, tmp_path))
    assert tarn.detect_format(p) == "fst"
    p = tmp_path / "x.gz"
    p.write_bytes(gz(b"\x01" * 10))
    with pytest.raises(ValueError, match="cannot tell the format"):
        tarn.detect_format(p)
    assert PyTrace.read_head(str(p), 4) == b"\x01" * 4
    assert PyTrace.read_head(str(p), 100) == b"\x01" * 10
    # Several gzip members in a row are one stream, as the gzip tool reads them.
    text = (DATA / "fst" / "mixed_zlib.fst2vcd.vcd").read_bytes()
    p = tmp_path / "members.vcd.gz"
    p.write_bytes(gz(text[:1000]) + gz(text[1000:]))
    same(tarn.open(DATA / "fst" / "mixed_zlib.fst2vcd.vcd"), tarn.open(p))


def test_truncated_and_corrupt_streams_fail_cleanly(tmp_path):
    fst = (DATA / "fst" / "verilator_lz4.fst").read_bytes()
    vcd = (DATA / "fst" / "verilator_lz4.fst2vcd.vcd").read_bytes()
    for name, data, fmt in (("v.fst", fst, "fst"), ("v.vcd", vcd, "vcd")):
        for ending, packed in ((".gz", gz(data)), (".zst", zst(data, tmp_path))):
            path = tmp_path / (name + ending)
            for cut in (len(packed) // 3, len(packed) - 3):
                path.write_bytes(packed[:cut])
                with pytest.raises(ValueError) as e:
                    tarn.open(path, format=fmt)
                assert str(e.value).startswith(f"Failed to read {path}: ")
                assert "ends early" in str(e.value)
            bad = bytearray(packed)
            bad[len(bad) // 2] ^= 0xFF
            path.write_bytes(bytes(bad))
            with pytest.raises(ValueError) as e:
                tarn.open(path, format=fmt)
            assert str(e.value).startswith(f"Failed to read {path}: ")
            assert "corrupt" in str(e.value) or "FST" in str(e.value)
    # A corrupt start fails detection with the same kind of message.
    path = tmp_path / "head.vcd.gz"
    path.write_bytes(b"\x1f\x8b\x08\x00" + bytes(6) + b"\xff" * 40)
    with pytest.raises(ValueError, match="Failed to read .*corrupt"):
        tarn.open(path)


def test_an_shm_database_is_not_read_compressed(tmp_path):
    shm = [p for p in corpus_files("shm") if p.is_dir()]
    if not shm:
        pytest.skip("no SHM database in the corpus")
    dsn = next(shm[0].glob("*.dsn"))
    path = tmp_path / "waves.dsn"
    path.write_bytes(gz(dsn.read_bytes()))
    with pytest.raises(ValueError, match="SHM database"):
        tarn.open(path, format="shm")


CHILD = """
import json, resource, sys
import tarn
base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
outcome = []
for path, fmt in json.loads(sys.argv[1]):
    try:
        t = tarn.open(path, format=fmt)
        outcome.append(["loaded", t.max_index()])
    except ValueError as e:
        outcome.append(["refused", str(e)])
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base
print(json.dumps({"outcome": outcome, "peak_kib": peak}))
"""


def test_bombs_are_refused_in_bounded_memory(tmp_path):
    # 256 MiB of zeros behind an FST and a WLF name, gzip and zstd (some 250 KiB and 8 KiB on
    # disk): refused after at most 16 MiB + 256 bytes per compressed byte. A VCD of 256 MiB of
    # blank lines is parsed as it inflates, in little memory.
    zeros = bytes(1 << 20)
    jobs = []
    for ending in ("gz", "zst"):
        bomb = tmp_path / f"bomb.fst.{ending}"
        lines = tmp_path / f"blank.vcd.{ending}"
        if ending == "gz":
            with gzip.open(bomb, "wb", compresslevel=9) as f:
                for _ in range(256):
                    f.write(zeros)
            with gzip.open(lines, "wb", compresslevel=9) as f:
                f.write(b"$var wire 1 ! a $end\n#0\n1!\n")
                for _ in range(256):
                    f.write(b"\n" * len(zeros))
        else:
            if ZSTD is None:
                continue
            for target, fill in ((bomb, b"\0"), (lines, b"\n")):
                cmd = f"head -c {1 << 28} /dev/zero"
                if fill != b"\0":
                    cmd += " | tr '\\0' '\\n'"
                with open(target, "wb") as out:
                    subprocess.run(f"{cmd} | {ZSTD} -q -c", shell=True, check=True, stdout=out)
        jobs += [(str(bomb), "fst"), (str(bomb), "wlf"), (str(lines), "vcd")]
    env = dict(os.environ)
    home = os.path.dirname(os.path.dirname(os.path.abspath(tarn.__file__)))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (home, env.get("PYTHONPATH")) if p)
    proc = subprocess.run([sys.executable, "-c", CHILD, json.dumps(jobs)], capture_output=True,
                          text=True, env=env, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    result = json.loads(proc.stdout)
    for (path, fmt), (what, detail) in zip(jobs, result["outcome"]):
        if fmt == "vcd":
            assert what == "loaded" and detail == 0, (path, detail)
        else:
            assert what == "refused", path
            assert "decompresses to more than" in detail and path in detail
    # The largest refused bomb may hold 16 MiB + 256 x its size; AddressSanitizer keeps freed
    # memory in a quarantine before reusing it.
    largest = max(os.path.getsize(p) for p, fmt in jobs if fmt != "vcd")
    sanitized = "asan" in os.environ.get("LD_PRELOAD", "")
    bound_kib = ((16 << 20) + 256 * largest) // 1024 + ((48 + 320 * sanitized) << 10)
    assert result["peak_kib"] < bound_kib, result["peak_kib"]
