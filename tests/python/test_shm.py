"""SHM loader: design and transition files crafted byte by byte, error texts, and the real
databases of the corpus."""

import pytest

from tarn import PyTrace

from builders import shm_design, shm_records, shm_transitions
from conftest import CORPUS, check_corpus, corpus_files, exercise, values


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


# Names the reading rules recover from each real database (a few of them).
SHM_EXPECT = {
    "alu4bit_xcelium_waves.shm": ["expected_result", "clk", "carry", "rst_n", "testcase_count"],
    "cmpe311_xcelium2309_waves.shm": ["busy", "clk", "cpu_data"],
    "processor_design_incisive_waves.shm": ["B_branch_check", "corect_counter"],
    "structural_alu_xcelium1809_waves.shm": ["control", "operand_a", "operand_b", "result"],
    "vdic_lab07_xcelium1909_sdi_transactions_waves.shm": ["do_alu_minmax_sequence"],
    "vdic_lab07_xcelium1909_xcelium.shm": ["uvm_test_top"],
}


@pytest.mark.parametrize("path", corpus_files("shm"), ids=lambda p: p.name)
def test_corpus_shm(path):
    t = PyTrace.from_shm(str(path))
    check_corpus(t, SHM_EXPECT[path.name])
    # Every decoded value is a bit; every signal has one from index 0 on.
    if t.max_index() > 0:
        for name in t.signal_names():
            assert set(values(t, name)) <= {0, 1}


def test_corpus_shm_by_design_and_transition_path():
    db = CORPUS / "shm" / "alu4bit_xcelium_waves.shm"
    if not db.is_dir():
        pytest.skip("corpus not present")
    whole = PyTrace.from_shm(str(db))
    by_dsn = PyTrace.from_shm(str(db / "waves.dsn"))
    by_trn = PyTrace.from_shm(str(db / "waves.trn"))
    assert whole.signal_names() == by_dsn.signal_names() == by_trn.signal_names()
    assert whole.max_index() == by_dsn.max_index() == by_trn.max_index()
