"""What tarn.open and `tarn info` say about a recovery of FSDB, SHM, VPD or WLF that gave no
values or names that are not identifiers; VCD and FST never warn."""

import json
import warnings

import pytest

import tarn
from tarn.cli import main
from tarn.formats import is_identifier

from builders import (
    cstrings,
    fsdb_legacy,
    shm_design,
    shm_records,
    shm_transitions,
    vpd,
    wlf,
    wlf_value_page,
)
from conftest import DATA, corpus_files, opened, write_dump

ADVICE = "convert the file to VCD with your simulator's tools for full data"


@pytest.fixture(autouse=True)
def no_converters(monkeypatch):
    # These tests are about the recovery readers: no vendor converter may take over.
    for variable in ("TARN_FSDB2VCD", "TARN_SIMVISDBUTIL", "TARN_VPD2VCD", "TARN_WLF2VCD"):
        monkeypatch.setenv(variable, "")


def write(tmp_path, name, data):
    return write_dump(tmp_path / name, data)


def test_identifiers():
    good = [
        "clk", "top.cpu.pc", "_x1$y", "tb.mem[3]", "tb.data[7:0]", "tb.d [31:0]", "m[0][7:0]",
        "top.gen[2].u.q", "a(3)", "v(7 downto 0)", r"top.\bus+1 .x", r"\a.b", r"\ext_id\ ",
        "$rootio.clk", "$unit", ".clk", "T",
    ]
    bad = [
        "", "WDmultiple value changes", "DESKTOP-6A0EIIQ", "pop-os", "hfFoldedTop',", "h)|U",
        ")\x07", "/home/u/tb.v", "worklib.tb:v:0x50205bca", " branch_pre", "top.", "top..x",
        "1abc", "a[", "a[x]", "a[3", "\\", "$", "top.\\ x", "a.b c", "é",
    ]
    assert [n for n in good if not is_identifier(n)] == []
    assert [n for n in bad if is_identifier(n)] == []


def test_warning_classes():
    assert issubclass(tarn.BestEffortWarning, UserWarning)
    assert issubclass(tarn.ConverterWarning, tarn.BestEffortWarning)
    assert {"BestEffortWarning", "ConverterWarning"} <= set(tarn.__all__)


CRAFTED = {
    "names.fsdb": (
        fsdb_legacy(cstrings("top.cpu.clk", "top.io_x")),
        "FSDB: 2 names, no values recovered",
    ),
    "empty.fsdb": (fsdb_legacy(b""), "FSDB: no names, no values recovered"),
    "host.wlf": (
        wlf(b"pop-os\0", 1),
        "WLF: 1 name (not an identifier: 'pop-os'), no values recovered",
    ),
    "some.wlf": (
        wlf(b"top.a\0top.b\0host-1\0", 3, [wlf_value_page(b"\x01\x05\xff\x01\x07\x00")]),
        "WLF: 3 names (1 not an identifier: 'host-1'), values for 1 of 3 names recovered",
    ),
    "vocabulary.vpd": (
        vpd([b"DumpOff\0NewScope\0WDmultiple value changes\0Forced0D\0"]),
        "VPD: 4 names (1 not an identifier: 'WDmultiple value changes'), no values recovered",
    ),
    "junk.vpd": (
        vpd([b"a b\0c-d\0x y\0e+f\0"]),
        "VPD: 4 names (none an identifier, e.g. 'a b'), no values recovered",
    ),
    "scopes.shm": (
        {
            "waves.dsn": shm_design(shm_records(["a", "b"], scope="worklib.top:v:0x1")),
            "waves.trn": shm_transitions([(0, 2, bytes([0x08, 0x10]))]),
        },
        "SHM: 2 names, 1 scope (not an identifier: 'worklib.top:v:0x1'), values for every name "
        "recovered",
    ),
}

SOUND = {
    "values.wlf": wlf(b"top.a\0top.b\0top.c\0", 3, [wlf_value_page(b"\x01\x05\xff\x01\x07\x00")]),
    "waves.shm": {
        "waves.dsn": shm_design(shm_records(["a", "top.b[3]"], scope="top")),
        "waves.trn": shm_transitions([(0, 2, bytes([0x08, 0x10]))]),
    },
}


@pytest.mark.parametrize("name", sorted(CRAFTED))
def test_doubtful_recoveries_warn(tmp_path, name):
    data, said = CRAFTED[name]
    path = write(tmp_path, name, data)
    trace, caught = opened(path)
    assert caught == [(tarn.BestEffortWarning, f"{said}; {ADVICE}")]
    assert trace.signal_names() == getattr(tarn.PyTrace, "from_" + name.split(".")[1])(
        path
    ).signal_names()
    # The warning points at the caller of tarn.open.
    with pytest.warns(tarn.BestEffortWarning) as record:
        tarn.open(path)
    assert record[0].filename == __file__


@pytest.mark.parametrize("name", sorted(SOUND))
def test_sound_recoveries_do_not_warn(tmp_path, name):
    path = write(tmp_path, name, SOUND[name])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tarn.open(path).signal_names()


def test_vcd_and_fst_never_warn(tmp_path):
    # Names no design has and no values at all: still a full parse, so no warning.
    vcd = write(tmp_path, "odd.vcd", b"$var wire 1 ! a-b c $end\n$enddefinitions $end\n")
    fst = sorted((DATA / "fst").glob("*.fst"))[0]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert tarn.open(vcd).signal_names() == ["a-b"]
        assert tarn.open(fst).signal_names()


def test_info_prints_the_warning(tmp_path, capsys):
    data, said = CRAFTED["host.wlf"]
    path = write(tmp_path, "host.wlf", data)
    line = f"{said}; {ADVICE}"
    assert main(["info", path]) == 0
    out, err = capsys.readouterr()
    assert f"warning:     {line}\n" in out and err == ""
    assert main(["info", path, "--json"]) == 0
    doc = json.loads(capsys.readouterr().out)
    assert doc["warnings"] == [line] and doc["converter"] is None
    # Other commands say it on standard error and go on.
    assert main(["signals", path, "--no-convert"]) == 0
    out, err = capsys.readouterr()
    assert "pop-os" in out and err == f"tarn: warning: {line}\n"
    # A sound dump has no warning line.
    assert main(["info", write(tmp_path, "values.wlf", SOUND["values.wlf"])]) == 0
    assert "\nwarning:" not in capsys.readouterr().out


# What the readers make of the real dumps (docs/guide.md tabulates it): these load without a
# warning; every other FSDB, SHM, VPD and WLF file of the corpus warns.
CORPUS_SOUND = {
    "dl_ic_lab2_ncsim14_novas.fsdb",
    "sync_fifo_FIFO.fsdb",
    "cmpe311_xcelium2309_waves.shm",
    "vdic_lab07_xcelium1909_sdi_transactions_waves.shm",
}
BEST_EFFORT_CORPUS = [p for kind in ("fsdb", "shm", "vpd", "wlf") for p in corpus_files(kind)]


@pytest.mark.skipif(not BEST_EFFORT_CORPUS, reason="corpus of real dumps not present")
def test_corpus_warnings():
    for path in BEST_EFFORT_CORPUS:
        _, caught = opened(path)
        if path.name in CORPUS_SOUND:
            assert caught == [], path.name
        else:
            [(category, text)] = caught
            assert category is tarn.BestEffortWarning
            assert text.startswith(path.parent.name.upper() + ": ") and text.endswith(ADVICE)
    demo = [p for p in BEST_EFFORT_CORPUS if p.name == "demo2_fa_vsim.wlf"]
    assert [opened(p)[1] for p in demo] == [
        [(tarn.BestEffortWarning, f"WLF: 1 name, no values recovered; {ADVICE}")]
    ]


@pytest.mark.skipif(not corpus_files("vcd"), reason="corpus of real dumps not present")
def test_real_names_are_identifiers():
    # The rule admits what real writers name things: every signal of the corpus's VCD and FST
    # files that are small enough to load quickly.
    files = [p for kind in ("vcd", "fst") for p in corpus_files(kind)]
    names = [
        n
        for p in files
        if p.stat().st_size < 20_000_000
        for n in tarn.open(p).signal_names()
    ]
    assert len(names) > 1000
    assert [n for n in names if not is_identifier(n)] == []
