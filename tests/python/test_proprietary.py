"""SHM, VPD and WLF loaders: crafted files, error texts, and the real dumps of the corpus."""

import struct

import pytest

from tarn import PyExpr, PyTrace

from builders import WLF_PAGE as PAGE
from builders import (
    shm_design,
    shm_records,
    shm_transitions,
    vpd,
    wlf,
    wlf_header,
    wlf_value_page,
)
from conftest import CORPUS, corpus_files


def values(t: PyTrace, name: str) -> list:
    return t.signal_values_range(name, 0, t.max_index() + 1)


def exercise(t: PyTrace) -> None:
    """Every query answers on the trace."""
    names = t.signal_names()
    n = t.max_index() + 1
    for name in names[:50]:
        t.signal_id(name)
        t.signal_width(name)
        t.signal_value(name, n - 1)
        assert len(t.signal_values_range(name, 0, n)) == n
    assert t.signal_value("no such signal", 0) is None
    assert t.signal_width("no such signal") == 1
    calls = [
        lambda: t.changed_at(0),
        lambda: t.snapshot(0),
        lambda: t.local_scopes(""),
        lambda: t.find_signals_glob("*"),
        lambda: t.find_signals_containing("a"),
    ]
    if names:
        sid = t.signal_id(names[0])
        calls += [
            lambda: t.transitions(names[0]),
            lambda: t.signal_stats(names[0]),
            lambda: t.find(PyExpr.signal(sid)),
            lambda: t.parallel_count(PyExpr.signal(sid)),
        ]
    for call in calls:
        call()


# --- SHM ---------------------------------------------------------------------------------


def test_shm_directory_design_and_transitions(tmp_path):
    db = tmp_path / "waves.shm"
    db.mkdir()
    (db / "waves.dsn").write_bytes(shm_design(shm_records(["clk", "rst_n", "9bad"], scope="top")))
    # clk and rst_n start at 1 and 0 and toggle three times over a block time of 10.
    (db / "waves.trn").write_bytes(shm_transitions([(10, 3, b"\x10\x08")]))
    for path in (db, db / "waves.dsn", db / "waves.trn"):
        t = PyTrace.from_shm(str(path))
        assert t.signal_names() == ["clk", "rst_n"]
        assert t.scopes() == ["top"]
        assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 2, 5, 7, 10]
        assert values(t, "clk") == [1, 0, 1, 0, 0]
        assert values(t, "rst_n") == [0, 1, 0, 1, 1]
        assert t.signal_width("clk") == 1
        exercise(t)


def test_shm_upper_case_and_missing_design(tmp_path):
    (tmp_path / "W.TRN").write_bytes(shm_transitions([(10, 1, b"\x10")]))
    t = PyTrace.from_shm(str(tmp_path))
    assert t.signal_names() == [] and t.scopes() == []
    assert t.max_index() == 0 and t.timestamp(0) == 0
    (tmp_path / "W.DSN").write_bytes(shm_design(shm_records(["a"])))
    t = PyTrace.from_shm(str(tmp_path / "W.TRN"))
    assert values(t, "a") == [1, 0, 0]


def test_shm_errors(tmp_path):
    with pytest.raises(ValueError) as e:
        PyTrace.from_shm(str(tmp_path))
    assert str(e.value) == f"No .dsn/.trn in {tmp_path}"
    with pytest.raises(ValueError, match=r"^DSN: No such file or directory"):
        PyTrace.from_shm(str(tmp_path / "missing.dsn"))
    (tmp_path / "bad.dsn").write_bytes(bytes(200))
    with pytest.raises(ValueError) as e:
        PyTrace.from_shm(str(tmp_path / "bad.dsn"))
    assert str(e.value) == "Bad DSN magic: 0x00000000"
    (tmp_path / "small.dsn").write_bytes(b"\xff" * 100)
    assert PyTrace.from_shm(str(tmp_path / "small.dsn")).signal_names() == []


# --- VPD ---------------------------------------------------------------------------------


def test_vpd_name_sections(tmp_path):
    names = b"top.u1.sig\0top.clk\0top.rst\0top.u1.q\0"
    marker = b"FoldedTop\0" + bytes(130) + b"top.late\0"
    three = b"aa\0bb\0cc\0"  # exactly three identifiers and no marker: not a name section
    path = tmp_path / "x.vpd"
    path.write_bytes(vpd([names, marker, three]))
    t = PyTrace.from_vpd(str(path))
    assert t.signal_names() == [
        "top.u1.sig", "top.clk", "top.rst", "top.u1.q", "FoldedTop", "top.late"
    ]
    assert t.scopes() == ["top", "top.u1"]
    assert t.max_index() == 0 and t.timestamp(0) == 0
    assert t.signal_value("top.clk", 0) is None
    exercise(t)


def test_vpd_duplicate_offsets_and_errors(tmp_path):
    section = b"\x01one.a\0one.b\0one.c\0one.d\0"
    path = tmp_path / "d.vpd"
    path.write_bytes(vpd([section], offsets=[129, 129, 5, 10**9]))
    assert PyTrace.from_vpd(str(path)).signal_names() == ["one.a", "one.b", "one.c", "one.d"]
    path.write_bytes(struct.pack("<I", 0x12345678) + bytes(124))
    assert PyTrace.from_vpd(str(path)).signal_names() == []
    path.write_bytes(bytes(127))
    with pytest.raises(ValueError) as e:
        PyTrace.from_vpd(str(path))
    assert str(e.value) == "VPD file too small"
    path.write_bytes(bytes.fromhex("00112233") + bytes(200))
    with pytest.raises(ValueError) as e:
        PyTrace.from_vpd(str(path))
    assert str(e.value) == "Not a VPD file (magic=0x33221100)"
    with pytest.raises(ValueError, match=r"^Failed to read .*nope\.vpd: "):
        PyTrace.from_vpd(str(tmp_path / "nope.vpd"))


# --- WLF ---------------------------------------------------------------------------------

def test_wlf_names_and_values(tmp_path):
    path = tmp_path / "v.wlf"
    pages = [wlf_value_page(b"\x01\x05\xff\x01\x07\x00"), wlf_value_page(b"\xff\x02\x09\x00")]
    path.write_bytes(wlf(b"top.a\0top.b\0top.c\0", 3, pages))
    t = PyTrace.from_wlf(str(path))
    assert t.signal_names() == ["top.a", "top.b", "top.c"]
    assert t.scopes() == ["top"]
    assert [t.timestamp(i) for i in range(t.max_index() + 1)] == [0, 1, 2]
    assert values(t, "top.a") == [None, None, None]  # id 0 is the filler byte
    assert values(t, "top.b") == [5, 7, 7]
    assert values(t, "top.c") == [None, None, 9]
    exercise(t)


def test_wlf_name_pages_and_cap(tmp_path):
    path = tmp_path / "n.wlf"
    page1 = bytearray(PAGE)
    page1[100:110] = b"top.extra\0"
    path.write_bytes(wlf_header(b"top.a\0", 5) + page1)
    assert PyTrace.from_wlf(str(path)).signal_names() == ["top.a", "top.extra"]
    path.write_bytes(wlf_header(b"top.a\0", 0) + page1)  # B = 0: page 0 only
    assert PyTrace.from_wlf(str(path)).signal_names() == ["top.a"]
    many = b"".join(b"n%d\0" % i for i in range(1600))
    page = wlf_header(b"", 1500)
    page[2:4] = struct.pack(">H", PAGE)
    page[43 : 43 + len(many)] = many[: PAGE - 43]
    path.write_bytes(page)
    assert len(PyTrace.from_wlf(str(path)).signal_names()) == 1500
    page[24:26] = struct.pack(">H", 10)
    path.write_bytes(page)
    assert len(PyTrace.from_wlf(str(path)).signal_names()) == 1000


def test_wlf_errors_and_short_files(tmp_path):
    path = tmp_path / "s.wlf"
    path.write_bytes(bytes(PAGE - 1))
    with pytest.raises(ValueError) as e:
        PyTrace.from_wlf(str(path))
    assert str(e.value) == "WLF file too small (< 1 page)"
    path.write_bytes(bytes(PAGE) + bytes(100))  # a trailing partial page is ignored
    t = PyTrace.from_wlf(str(path))
    assert t.signal_names() == [] and t.max_index() == 0
    # FF FF with fewer than 16 non-zero bytes: neither a value page nor a name page.
    sparse = bytearray(PAGE)
    sparse[0:4] = b"\xff\xff\x00\x06"
    sparse[16:22] = b"\x01\x05\xff\x01\x07\x00"
    sparse[200:208] = b"top.zz\0\0"
    path.write_bytes(wlf_header(b"top.a\0top.b\0", 9) + sparse)
    t = PyTrace.from_wlf(str(path))
    assert t.signal_names() == ["top.a", "top.b"] and t.max_index() == 0


# --- the corpus of real dumps --------------------------------------------------------------

# Names the reading rules recover from each real file (a few of them).
SHM_EXPECT = {
    "alu4bit_xcelium_waves.shm": ["expected_result", "clk", "carry", "rst_n", "testcase_count"],
    "cmpe311_xcelium2309_waves.shm": ["busy", "clk", "cpu_data"],
    "processor_design_incisive_waves.shm": ["B_branch_check", "corect_counter"],
    "structural_alu_xcelium1809_waves.shm": ["control", "operand_a", "operand_b", "result"],
    "vdic_lab07_xcelium1909_sdi_transactions_waves.shm": ["do_alu_minmax_sequence"],
    "vdic_lab07_xcelium1909_xcelium.shm": ["uvm_test_top"],
}
VPD_EXPECT = {
    "18240hw5_vcs2014_12_inter.vpd": ["PatternLoopCount", "DaiDir"],
    "fby3_vcs2014_inter.vpd": ["NewScope", "timeArgs"],
    "layered_tb_vcs2018_inter.vpd": ["NewScope", "FileInfo"],
    "sverilog2_vcdplus.vpd": ["UUT", "cout"],
}
WLF_EXPECT = {
    "demo2_fa_vsim.wlf": ["MSI"],
    "mips_single_cycle_questa_intel_vsim.wlf": ["DESKTOP-6A0EIIQ"],
    "online_mult_hd_modelsim_altera13_vsim.wlf": ["EE-CAS01"],
    "pci_modelsim_se102c_vsim.wlf": ["VLAD-5B9B2A3677"],
    "super_spi_master_questa_linux_vsim.wlf": ["pop-os"],
    "sv_fifo_questasim2021_1_vsim.wlf": ["ABDELRAHMAN-PC"],
}


def check_corpus(t: PyTrace, expect: list[str]) -> None:
    names = t.signal_names()
    assert set(expect) <= set(names)
    assert len(set(names)) == len(names)
    stamps = [t.timestamp(i) for i in range(t.max_index() + 1)]
    assert stamps == sorted(set(stamps)) and stamps[0] == 0
    exercise(t)


@pytest.mark.parametrize("path", corpus_files("shm"), ids=lambda p: p.name)
def test_corpus_shm(path):
    t = PyTrace.from_shm(str(path))
    check_corpus(t, SHM_EXPECT[path.name])
    # Every decoded value is a bit; every signal has one from index 0 on.
    if t.max_index() > 0:
        for name in t.signal_names():
            assert set(values(t, name)) <= {0, 1}


@pytest.mark.parametrize("path", corpus_files("vpd"), ids=lambda p: p.name)
def test_corpus_vpd(path):
    t = PyTrace.from_vpd(str(path))
    check_corpus(t, VPD_EXPECT[path.name])
    assert t.max_index() == 0


@pytest.mark.parametrize("path", corpus_files("wlf"), ids=lambda p: p.name)
def test_corpus_wlf(path):
    check_corpus(PyTrace.from_wlf(str(path)), WLF_EXPECT[path.name])


def test_corpus_shm_by_design_and_transition_path():
    db = CORPUS / "shm" / "alu4bit_xcelium_waves.shm"
    if not db.is_dir():
        pytest.skip("corpus not present")
    whole = PyTrace.from_shm(str(db))
    by_dsn = PyTrace.from_shm(str(db / "waves.dsn"))
    by_trn = PyTrace.from_shm(str(db / "waves.trn"))
    assert whole.signal_names() == by_dsn.signal_names() == by_trn.signal_names()
    assert whole.max_index() == by_dsn.max_index() == by_trn.max_index()
