"""VPD loader: name sections crafted byte by byte, error texts, and the real dumps of the
corpus."""

import struct

import pytest

from tarn import PyTrace

from builders import vpd
from conftest import check_corpus, corpus_files, exercise


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


# Names the reading rules recover from each real file (a few of them).
VPD_EXPECT = {
    "18240hw5_vcs2014_12_inter.vpd": ["PatternLoopCount", "DaiDir"],
    "fby3_vcs2014_inter.vpd": ["NewScope", "timeArgs"],
    "layered_tb_vcs2018_inter.vpd": ["NewScope", "FileInfo"],
    "sverilog2_vcdplus.vpd": ["UUT", "cout"],
}


@pytest.mark.parametrize("path", corpus_files("vpd"), ids=lambda p: p.name)
def test_corpus_vpd(path):
    t = PyTrace.from_vpd(str(path))
    check_corpus(t, VPD_EXPECT[path.name])
    assert t.max_index() == 0
