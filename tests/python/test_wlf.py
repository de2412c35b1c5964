"""WLF loader: header, name and value pages crafted byte by byte, error texts, and the real
dumps of the corpus."""

import struct

import pytest

from tarn import PyTrace

from builders import WLF_PAGE as PAGE
from builders import wlf, wlf_header, wlf_value_page
from conftest import check_corpus, corpus_files, exercise, values


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


# Names the reading rules recover from each real file (a few of them).
WLF_EXPECT = {
    "demo2_fa_vsim.wlf": ["MSI"],
    "mips_single_cycle_questa_intel_vsim.wlf": ["DESKTOP-6A0EIIQ"],
    "online_mult_hd_modelsim_altera13_vsim.wlf": ["EE-CAS01"],
    "pci_modelsim_se102c_vsim.wlf": ["VLAD-5B9B2A3677"],
    "super_spi_master_questa_linux_vsim.wlf": ["pop-os"],
    "sv_fifo_questasim2021_1_vsim.wlf": ["ABDELRAHMAN-PC"],
}


@pytest.mark.parametrize("path", corpus_files("wlf"), ids=lambda p: p.name)
def test_corpus_wlf(path):
    check_corpus(PyTrace.from_wlf(str(path)), WLF_EXPECT[path.name])
