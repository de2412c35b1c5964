"""Large files are read in blocks; the trace must equal the one parsed from the whole text."""

import os
import random
import subprocess
import sys

import pytest

from tarn import PyTrace

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def assert_same(a: PyTrace, b: PyTrace, rng: random.Random) -> None:
    assert a.signal_names() == b.signal_names()
    assert a.scopes() == b.scopes()
    n = a.max_index() + 1
    assert n == b.max_index() + 1
    assert [a.timestamp(i) for i in range(n)] == [b.timestamp(i) for i in range(n)]
    names = a.signal_names()
    for name in names:
        assert a.signal_id(name) == b.signal_id(name)
        assert a.signal_width(name) == b.signal_width(name)
    # every index of a sample of signals, every signal at a sample of indices
    for name in rng.sample(names, min(60, len(names))):
        assert a.signal_values_range(name, 0, n + 1) == b.signal_values_range(name, 0, n + 1)
    for i in rng.sample(range(n), 50):
        assert [a.signal_value(x, i) for x in names] == [b.signal_value(x, i) for x in names]


@pytest.fixture(scope="module")
def big_vcd(tmp_path_factory) -> str:
    path = str(tmp_path_factory.mktemp("big") / "big.vcd")
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "gen_vcd.py"), path,
                    "--signals", "600", "--stamps", "40000", "--changes", "1200000"],
                   check=True, capture_output=True)
    assert os.path.getsize(path) > 16 << 20  # several read blocks
    return path


def test_file_load_equals_string_load(big_vcd):
    with open(big_vcd, encoding="utf-8") as f:
        sequential = PyTrace.from_vcd_string(f.read())
    assert_same(PyTrace.from_vcd(big_vcd), sequential, random.Random(5))


def test_block_boundaries_inside_tricky_content(tmp_path):
    # Lines that look like time stamps after trimming, x values carried across read blocks,
    # reals, a non-UTF-8 time-stamp line and a declaration after the dump starts must all come
    # out as when the whole text is parsed at once.
    rng = random.Random(11)
    for variant in range(3):
        lines = ["$scope module top $end"]
        lines += [f"$var wire 8 s{i} v{i} $end" for i in range(40)]
        lines += ["$var real 1 r temp $end", "$upscope $end", "$enddefinitions $end"]
        body = []
        for t in range(60000):
            body.append(f"#{t}")
            for _ in range(rng.randrange(4)):
                i = rng.randrange(40)
                body.append(rng.choice([f"b{rng.getrandbits(8):b} s{i}", f"bx s{i}", f"bz1 s{i}",
                                        f"r{rng.random()} r", "  #junk-looking-but-trimmed"]))
            if variant == 1 and t == 40000:
                body.append("$var wire 1 late late $end")
                body.append("1late")
            if variant == 2 and t % 9973 == 0:
                body.append("#\xff9")
        path = tmp_path / f"t{variant}.vcd"
        text = "\n".join(lines + body) + "\n"
        data = text.encode("utf-8", "surrogateescape") if variant != 2 else \
            text.encode("utf-8").replace("\xff".encode(), b"\xff")
        while len(data) < (17 << 20):
            data += b"\n".join(b"#%d" % (60000 + k) for k in range(200000)) + b"\n"
        path.write_bytes(data)
        sequential = PyTrace.from_vcd_string(data.decode("utf-8", "replace")) \
            if variant != 2 else None
        from_file = PyTrace.from_vcd(str(path))
        if sequential is not None:
            assert_same(from_file, sequential, rng)
        else:
            # invalid UTF-8 lines are dropped by both paths; compare with a cleaned text
            cleaned = b"\n".join(line for line in data.split(b"\n") if b"\xff" not in line)
            assert_same(from_file, PyTrace.from_vcd_string(cleaned.decode()), rng)
