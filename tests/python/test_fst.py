"""FST loading: cross-checks against the VCD that fst2vcd prints, real dumps, and errors."""

import importlib.util
import math
import os
import re
import struct

import pytest

import tarn
from tarn import PyTrace

from conftest import DATA, corpus_files

FST = DATA / "fst"

# Each fixture with the VCD fst2vcd printed for it (see tests/data/fst/make_fst.sh).
PAIRS = sorted(p.name[: -len(".fst2vcd.vcd")] for p in FST.glob("*.fst2vcd.vcd"))

RANGE_SUFFIX = re.compile(r" ?\[[0-9:]+\]$")


def base_name(name: str) -> str:
    return RANGE_SUFFIX.sub("", name)


def same_value(a, b) -> bool:
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b)) or math.isclose(a, b, rel_tol=1e-15)
    return a == b and type(a) is type(b)


def compare_traces(fst: PyTrace, vcd: PyTrace):
    """Every signal of the FST trace reads, at every index, what the VCD trace reads at the same
    time. fst2vcd omits time stamps without changes, so VCD indices are found by time."""
    fst_names = fst.signal_names()
    # FST names are as written (`data [7:0]`); the VCD reader cuts a select off unless it tells
    # signals apart (`PC_w[3]`, a bus dumped bit by bit).
    known = set(vcd.signal_names())
    vcd_names = [
        n if n in known else n.replace(" [", "[") if n.replace(" [", "[") in known else base_name(n)
        for n in fst_names
    ]
    assert vcd_names == vcd.signal_names()
    fst_times = [fst.timestamp(i) for i in range(fst.max_index() + 1)]
    vcd_times = [vcd.timestamp(i) for i in range(vcd.max_index() + 1)]
    assert fst_times == sorted(set(fst_times)), "one index per distinct time"
    assert set(vcd_times) <= set(fst_times)
    vcd_index = []
    j = -1
    for t in fst_times:
        while j + 1 < len(vcd_times) and vcd_times[j + 1] <= t:
            j += 1
        vcd_index.append(j)
    for name, vname in zip(fst_names, vcd_names):
        fv = fst.signal_values_range(name, 0, len(fst_times))
        vv = vcd.signal_values_range(vname, 0, len(vcd_times))
        for i, value in enumerate(fv):
            expect = vv[vcd_index[i]] if vcd_index[i] >= 0 else None
            assert same_value(value, expect), (name, i, fst_times[i], value, expect)
        assert fst.signal_id(name) is not None
    # Aliases share their signal id in both readers.
    for a in range(len(fst_names)):
        for b in range(a + 1, len(fst_names)):
            same_fst = fst.signal_id(fst_names[a]) == fst.signal_id(fst_names[b])
            same_vcd = vcd.signal_id(vcd_names[a]) == vcd.signal_id(vcd_names[b])
            assert same_fst == same_vcd, (fst_names[a], fst_names[b])


@pytest.mark.parametrize("name", PAIRS)
def test_matches_fst2vcd(name):
    fst = PyTrace.from_fst(os.fspath(FST / f"{name}.fst"))
    vcd = PyTrace.from_vcd(os.fspath(FST / f"{name}.fst2vcd.vcd"))
    compare_traces(fst, vcd)


def test_fixture_set_covers_every_packing():
    assert {"mixed_lz4", "mixed_fastlz", "mixed_zlib", "mixed_wrapped", "icarus_zlib",
            "icarus_fastlz", "icarus_wrapped", "verilator_lz4", "blackout_lz4",
            "strings_lz4"} <= set(PAIRS)


def test_values_scopes_and_widths():
    t = PyTrace.from_fst(os.fspath(FST / "mixed_lz4.fst"))
    assert t.scopes() == ["top", "top.sub"]
    assert t.signal_names()[:3] == ["top.clk", "top.data [7:0]", "top.data_copy [7:0]"]
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 5, 10, 15, 20, 25, 30]
    assert t.signal_width("top.wide [99:0]") == 100
    assert t.signal_width("top.nib [3:0]") == 4
    assert t.signal_width("no.such.signal") == 1
    # Two names declared with one code are one signal.
    assert t.signal_id("top.data [7:0]") == t.signal_id("top.data_copy [7:0]")
    assert t.signal_id("top.clk") == t.signal_id("top.sub.clk")
    assert t.signal_values_range("top.data [7:0]", 0, 4) == [0, 170, 255, 1]
    assert t.signal_values_range("top.temp", 0, 3) == [0.5, -3.25, 1e30]
    assert t.find(tarn.compile(t, "top.temp < 0")) == [1]  # a real: compared as a float
    # x and z vectors read as None; 1010... over 100 bits keeps its last 64 bits.
    assert t.signal_values_range("top.nib [3:0]", 0, 4) == [None, None, 0, 0]
    assert t.signal_value("top.wide [99:0]", 3) == int("10" * 32, 2)
    assert t.signal_value_raw("top.sub.state [2:0]", 1) == 5
    assert t.signal_value("top.en", 0) is None  # z
    assert t.signal_value("top.en", 4) is None  # x
    # Values carry forward to the end; past the end there is nothing.
    assert t.signal_value("top.data [7:0]", 6) == 0
    assert t.signal_value("top.data [7:0]", 7) is None


def test_bus_dumped_bit_by_bit_is_assembled():
    t = PyTrace.from_fst(os.fspath(FST / "bits_lz4.fst"))
    names = t.signal_names()
    # The bits keep their names as written; the vector stands right before its first bit, its
    # id after every handle's.
    assert names[1:6] == ["top.PC_w"] + [f"top.PC_w [{k}]" for k in (3, 2, 1, 0)]
    assert (t.signal_width("top.PC_w"), t.signal_id("top.PC_w")) == (4, 8)
    assert [t.signal_bits("top.PC_w", i) for i in range(6)] == [
        None, "0101", "010z", "1101", "1101", "1001"
    ]
    # Array words are not bits of a bus.
    assert "top.mem" not in names
    # Two-state values wider than 64 bits stay whole: a change above bit 63 is a change.
    assert [i for i, _, _ in t.transitions("top.wide [99:0]")] == [2, 4]
    assert t.signal_int("top.wide [99:0]", 2) == 2**99 + 1
    # ... and conditions see it too.
    assert t.find(tarn.compile(t, "$changed(`top.wide [99:0]`)")) == [2, 4]


def test_string_signals_read_as_text():
    t = PyTrace.from_fst(os.fspath(FST / "strings_lz4.fst"))
    assert t.signal_values_range("top.msg", 0, 4) == ["IDLE", "Running_now", "", "Done"]
    assert t.signal_width("top.msg") == 0


def test_section_boundary_time_is_one_index():
    # Icarus Verilog splits this run into two sections at a $dumpflush; the boundary time is in
    # both sections' time tables.
    t = PyTrace.from_fst(os.fspath(FST / "icarus_zlib.fst"))
    times = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert len(times) == len(set(times)) == 84
    vcd = PyTrace.from_vcd(os.fspath(FST / "icarus_zlib.fst2vcd.vcd"))
    boundary = times.index(210000)
    vi = [vcd.timestamp(i) for i in range(vcd.max_index() + 1)].index(210000)
    for name in t.signal_names():
        assert same_value(t.signal_value(name, boundary), vcd.signal_value(base_name(name), vi))


def test_packings_load_the_same_trace():
    def snapshot(path):
        t = PyTrace.from_fst(os.fspath(path))
        n = t.max_index() + 1
        return t.signal_names(), [t.signal_values_range(s, 0, n) for s in t.signal_names()]

    for group in (["mixed_lz4", "mixed_fastlz", "mixed_zlib", "mixed_wrapped"],
                  ["icarus_zlib", "icarus_fastlz", "icarus_wrapped"]):
        first = snapshot(FST / f"{group[0]}.fst")
        for other in group[1:]:
            assert snapshot(FST / f"{other}.fst") == first, other


def test_doubly_compressed_large_hierarchy(tmp_path):
    script = FST / "src" / "gen_big_hier.py"
    module_spec = importlib.util.spec_from_file_location("gen_big_hier", script)
    gen = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(gen)
    vcd_path = tmp_path / "big.vcd"
    with open(vcd_path, "w") as f:
        gen.main(f)
    fst = PyTrace.from_fst(os.fspath(FST / "big_hier_lz4.fst"))
    vcd = PyTrace.from_vcd(os.fspath(vcd_path))
    names = fst.signal_names()
    assert len(names) == gen.SCOPES * gen.PER_SCOPE
    assert names == vcd.signal_names()
    assert len(fst.scopes()) == gen.SCOPES + 1
    assert [fst.timestamp(i) for i in range(5)] == [0, 10, 20, 30, 40]
    for name in names:
        assert fst.signal_values_range(name, 0, 5) == vcd.signal_values_range(name, 0, 5), name


@pytest.mark.parametrize("path", corpus_files("fst"), ids=lambda p: p.name)
def test_real_dumps_load(path):
    t = PyTrace.from_fst(os.fspath(path))
    names = t.signal_names()
    assert names and t.scopes()
    times = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert times == sorted(set(times))
    assert any(t.signal_value(n, t.max_index()) is not None for n in names)


def test_real_dump_values():
    path = [p for p in corpus_files("fst") if p.name.startswith("paritysel")]
    if not path:
        pytest.skip("corpus not available")
    t = PyTrace.from_fst(os.fspath(path[0]))
    assert t.scopes() == ["testbench", "testbench.DUT"]
    assert t.signal_value("testbench.data_a_tb[7:0]", 0) == 0b01010101
    assert t.signal_value("testbench.DUT.data_out[7:0]", 0) is None
    i = [t.timestamp(k) for k in range(t.max_index() + 1)].index(110000)
    assert t.signal_value("testbench.DUT.data_out[7:0]", i) == 0b10101010
    assert t.signal_value("testbench.sel_tb[3:0]", i) == 3


# ---- failures ----------------------------------------------------------------------------------


def blocks(data: bytes):
    """(type, offset of the byte after the type byte, section length) of each block."""
    out, pos = [], 0
    while pos < len(data):
        kind = data[pos]
        (length,) = struct.unpack(">Q", data[pos + 1 : pos + 9])
        out.append((kind, pos + 1, length))
        pos += 1 + length
    return out


def write(tmp_path, data: bytes):
    p = tmp_path / "x.fst"
    p.write_bytes(data)
    return os.fspath(p)


def test_open_failures(tmp_path):
    with pytest.raises(ValueError, match=r"^Failed to open .*nope\.fst: "):
        PyTrace.from_fst(os.fspath(tmp_path / "nope.fst"))
    with pytest.raises(ValueError, match=r"^Failed to open "):
        PyTrace.from_fst(os.fspath(tmp_path))
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(os.fspath(FST / "killed_icarus.fst"))
    assert str(e.value) == "FST open: The FST file is incomplete: geometry block is missing."
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(write(tmp_path, b""))
    assert str(e.value) == "FST open: I/O operation failed"
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(write(tmp_path, b"\x09" + bytes(40)))
    assert str(e.value) == "FST open: Unexpected block type"
    # A VCD is not an FST file.
    with pytest.raises(ValueError, match="^FST open: "):
        PyTrace.from_fst(os.fspath(FST / "mixed_lz4.fst2vcd.vcd"))
    wrapped = (FST / "mixed_wrapped.fst").read_bytes()
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(write(tmp_path, wrapped[:1] + bytes(8) + wrapped[9:]))
    assert str(e.value) == (
        "FST open: The FST file is still being compressed into its final GZIP wrapper.")


def test_truncated_files_fail_cleanly(tmp_path):
    data = (FST / "icarus_zlib.fst").read_bytes()
    for cut in range(1, len(data), 7):
        with pytest.raises(ValueError, match="^FST (open|hierarchy|signals): "):
            PyTrace.from_fst(write(tmp_path, data[:cut]))


def test_corrupt_hierarchy_and_signals(tmp_path):
    data = bytearray((FST / "mixed_lz4.fst").read_bytes())
    hier = [b for b in blocks(bytes(data)) if b[0] in (4, 6, 7)][0]
    broken = bytearray(data)
    # Claim a larger uncompressed size than the LZ4 block gives.
    struct.pack_into(">Q", broken, hier[1] + 8, 1 << 20)
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(write(tmp_path, bytes(broken)))
    assert str(e.value) == "FST hierarchy: failed to decompress with lz4"

    vc = [b for b in blocks(bytes(data)) if b[0] in (1, 5, 8)][0]
    end = vc[1] + vc[2]
    (clen,) = struct.unpack(">Q", data[end - 16 : end - 8])
    broken = bytearray(data)
    struct.pack_into(">Q", broken, end - 24 - clen - 8, 1 << 40)
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(write(tmp_path, bytes(broken)))
    assert str(e.value) == (
        "FST signals: malformed FST data: position table lies outside its section"
    )


def test_hostile_lengths_fail_quickly(tmp_path):
    data = bytearray((FST / "mixed_lz4.fst").read_bytes())
    found = blocks(bytes(data))
    geometry = [b for b in found if b[0] == 3][0]
    vc = [b for b in found if b[0] in (1, 5, 8)][0]
    cases = []
    huge_section = bytearray(data)
    struct.pack_into(">Q", huge_section, vc[1], 1 << 60)
    cases.append(huge_section)
    many_signals = bytearray(data)
    struct.pack_into(">Q", many_signals, geometry[1] + 16, 1 << 32)
    cases.append(many_signals)
    many_times = bytearray(data)
    end = vc[1] + vc[2]
    struct.pack_into(">Q", many_times, end - 8, 1 << 40)
    cases.append(many_times)
    for case in cases:
        with pytest.raises(ValueError, match="^FST open: "):
            PyTrace.from_fst(write(tmp_path, bytes(case)))
