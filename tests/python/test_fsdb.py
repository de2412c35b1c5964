"""FSDB loader: error texts, crafted legacy and modern files, and the real dumps of the corpus."""

import importlib.util

import pytest

from tarn import PyExpr, PyTrace

from builders import FSDB_LEGACY, cstrings, fsdb_blob, fsdb_legacy, fsdb_modern
from conftest import CORPUS, DATA, corpus_files


def write(tmp_path, data: bytes, name: str = "w.fsdb") -> str:
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


def test_errors(tmp_path):
    missing = str(tmp_path / "nope.fsdb")
    with pytest.raises(ValueError) as e:
        PyTrace.from_fsdb(missing)
    assert str(e.value) == f"Failed to read {missing}: No such file or directory"
    with pytest.raises(ValueError, match=r"^FSDB file too small$"):
        PyTrace.from_fsdb(write(tmp_path, bytes(4) + FSDB_LEGACY[:4] + bytes(3)))
    with pytest.raises(ValueError) as e:
        PyTrace.from_fsdb(write(tmp_path, bytes.fromhex("0000000000112233") + bytes(4)))
    assert str(e.value) == "Not an FSDB file (magic=0x00112233)"
    with pytest.raises(TypeError):
        PyTrace.from_fsdb(b"w.fsdb")


def test_legacy_names_and_scopes(tmp_path):
    t = PyTrace.from_fsdb(write(tmp_path, bytes(4) + FSDB_LEGACY + bytes(4)))
    assert (t.signal_names(), t.scopes(), t.max_index(), t.timestamp(0)) == ([], [], 0, 0)

    data = fsdb_legacy(cstrings("top.cpu.clk", "sim/run.log", "top.cpu.clk", "top.io_x"))
    t = PyTrace.from_fsdb(write(tmp_path, data))
    assert t.signal_names() == ["top.cpu.clk", "top.io_x"]
    assert t.scopes() == ["top", "top.cpu"]
    assert t.signal_width("top.cpu.clk") == 1
    assert t.signal_width("unknown") == 1
    assert t.signal_id("top.io_x") == 1
    assert t.signal_value("top.cpu.clk", 0) is None
    assert t.local_signals("top.cpu") == ["top.cpu.clk"]


def test_modern_values_through_python(tmp_path):
    # Names from one large stream; the section's pairs 00 05 01 07 give id 0 the values 5 and 7
    # at times 5 and 10; every other name is 0 from time 0 on.
    names = [f"top.u.s{i}" for i in range(11)]
    data = fsdb_modern(sections=[fsdb_blob([], bytes.fromhex("00050107"))],
                  streams=[cstrings(*names)], widths=bytes.fromhex("0100430000 01006a"))
    t = PyTrace.from_fsdb(write(tmp_path, data))
    assert t.signal_names() == names
    assert t.scopes() == ["top", "top.u"]
    assert [t.signal_width(n) for n in names[:3]] == [8, 2, 1]
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 5, 10]
    assert t.signal_values_range("top.u.s0", 0, 4) == [0, 5, 7, None]
    assert t.signal_values_range("top.u.s3", 0, 3) == [0, 0, 0]
    assert t.transitions("top.u.s0") == [(1, 0, 5), (2, 5, 7)]
    assert t.find(PyExpr.signal(0).eq_(PyExpr.const_int(7))) == [2]


def fixture_script():
    script = DATA / "fsdb" / "make_fsdb.py"
    module_spec = importlib.util.spec_from_file_location("make_fsdb", script)
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module


def test_fixture_files_are_what_the_builder_writes():
    # The C++ tests compare their own builder's bytes with these files.
    files = fixture_script().files()
    assert sorted(files) == sorted(p.name for p in (DATA / "fsdb").glob("*.fsdb"))
    for name, data in files.items():
        assert (DATA / "fsdb" / name).read_bytes() == data, f"{name}: run make_fsdb.py"
    t = PyTrace.from_fsdb(str(DATA / "fsdb" / "modern.fsdb"))
    assert t.signal_names()[:3] == ["top.u.s0", "top.u.s1", "top.u.s2"]
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 5, 10]


CORPUS_NAMES = {
    # What the byte-pattern rules recover from each real file.
    "cxl_cocotb_unknown_writer_evaluate_result.fsdb": [],
    "cxl_cocotb_vcs2022_rm_me_dump.fsdb": ["test_axi_pcie", "inst", "T", "clk", "rst"],
    "dl_ic_lab2_ncsim14_novas.fsdb": ["e", "c", "T", "E", "NXE"],
    "sync_fifo_FIFO.fsdb": ["fifo"],
    "uvm_virtual_sequencer_vcs2023_novas.fsdb": ["D", "c", "e", "F", "E", "DDE", "C", "o", "g",
                                                 "J", "w"],
    "vnc_4port_switch_vcs2025_pair_novas.fsdb": [],
}


@pytest.mark.parametrize("path", corpus_files("fsdb"), ids=lambda p: p.name)
def test_corpus_files_load(path):
    t = PyTrace.from_fsdb(str(path))
    names = t.signal_names()
    assert names == CORPUS_NAMES[path.name]
    parts = [n.split(".") for n in names]
    assert t.scopes() == sorted({".".join(p[:j]) for p in parts for j in range(1, len(p))})
    stamps = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert stamps[0] == 0 and stamps == sorted(set(stamps))
    for n in names:
        assert t.signal_width(n) >= 1
        t.signal_value(n, t.max_index())


def test_corpus_pair_with_vcd():
    fsdb = CORPUS / "fsdb" / "vnc_4port_switch_vcs2025_pair_novas.fsdb"
    vcd = CORPUS / "vcd" / "vnc_4port_switch_vcs2025_pair_of_fsdb.vcd"
    if not (fsdb.is_file() and vcd.is_file()):
        pytest.skip("corpus not present")
    recovered = set(PyTrace.from_fsdb(str(fsdb)).signal_names())
    declared = PyTrace.from_vcd(str(vcd)).signal_names()
    # This file keeps its hierarchy in a packed form that the name rules do not read: none of
    # the VCD's names come back, and no name is invented.
    assert len(declared) > 0
    assert recovered == set()
