"""What callers see of the compiled module: the type stubs describe exactly what it exposes, and
its compatibility texts stand word for word.

Callers match on the texts below (docstrings, text signatures, a few messages), so they are kept
exactly as they are even where they read oddly; docs/architecture.md ("Compatibility texts")
says why. They are checked here and nowhere else.
"""

import ast
import inspect
import pathlib

import pytest

from tarn import PyExpr, PyTrace, _core

from conftest import DATA

STUB = pathlib.Path(_core.__file__).with_name("_core.pyi")


def stub_classes():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    classes = {}
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            methods = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    static = any(
                        isinstance(d, ast.Name) and d.id == "staticmethod"
                        for d in item.decorator_list
                    )
                    params = [a.arg for a in item.args.posonlyargs + item.args.args]
                    methods[item.name] = (static, params)
            classes[node.name] = methods
    return classes


def module_methods(cls):
    methods = {}
    for name, attr in vars(cls).items():
        if name.startswith("__"):
            continue
        static = isinstance(attr, staticmethod)
        func = getattr(cls, name)
        params = list(inspect.signature(func).parameters)
        if not static:
            # Instance methods are unbound here: the text signature's $self is the first one.
            params = ["self"] + params[1:] if params and params[0] == "self" else params
        methods[name] = (static, params)
    return methods


def test_stub_lists_the_module_classes():
    public = {n for n, v in vars(_core).items() if not n.startswith("_") and isinstance(v, type)}
    assert set(stub_classes()) == public == {"PyTrace", "PyExpr"}


@pytest.mark.parametrize("cls_name", ["PyTrace", "PyExpr"])
def test_stub_methods_match_text_signatures(cls_name):
    cls = getattr(_core, cls_name)
    actual = module_methods(cls)
    expected = stub_classes()[cls_name]
    assert sorted(expected) == sorted(actual)
    for name, (static, params) in expected.items():
        assert actual[name] == (static, params), name


def test_stub_docstrings_match_module_docstrings():
    stub = ast.parse(STUB.read_text(encoding="utf-8"))
    for node in stub.body:
        if not isinstance(node, ast.ClassDef):
            continue
        cls = getattr(_core, node.name)
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and hasattr(cls, item.name):
                doc = ast.get_docstring(item)
                if doc is not None:
                    assert inspect.getdoc(getattr(cls, item.name)) == doc, item.name


# ---- Compatibility texts ------------------------------------------------------------------

TRACE_SIGNATURES = {
    "from_vcd": "(path)",
    "from_vcd_string": "(data)",
    "from_fst": "(path)",
    "from_fsdb": "(path)",
    "from_shm": "(path)",
    "from_vpd": "(path)",
    "from_wlf": "(path)",
    "signal_names": "($self)",
    "scopes": "($self)",
    "max_index": "($self)",
    "timestamp": "($self, index)",
    "signal_id": "($self, name)",
    "signal_width": "($self, name)",
    "signal_value": "($self, name, index)",
    "signal_value_raw": "($self, name, index)",
    "signal_values_range": "($self, name, start, end)",
    "find": "($self, expr)",
    "parallel_find": "($self, expr)",
    "parallel_count": "($self, expr)",
    "find_with_values": "($self, expr, signal_names)",
    "eval_expr": "($self, expr, index)",
    "eval_expr_bool": "($self, expr, index)",
    "changed_at": "($self, index)",
    "changed_at_scope": "($self, index, scope)",
    "transitions": "($self, name)",
    "snapshot": "($self, index)",
    "snapshot_scope": "($self, index, scope)",
    "local_scopes": "($self, scope_name)",
    "local_signals": "($self, scope_name)",
    "resolve": "($self, scope_name, short_name)",
    "find_signals_glob": "($self, pattern)",
    "find_signals_containing": "($self, substring)",
    "signal_stats": "($self, name)",
    "bit_slice_val": "($self, val, high, low)",
    "sign_extend_val": "($self, val, width)",
}

EXPR_SIGNATURES = {
    "signal": "(id)",
    "const_int": "(val)",
    "const_float": "(val)",
    "const_str": "(val)",
    "always_true": "()",
    "rel_eval": "($self, offset)",
    "not_": "($self)",
    "and_": "($self, other)",
    "or_": "($self, other)",
    "eq_": "($self, other)",
    "neq": "($self, other)",
    "gt_": "($self, other)",
    "lt_": "($self, other)",
    "gte": "($self, other)",
    "lte": "($self, other)",
    "add": "($self, other)",
    "sub": "($self, other)",
    "bit_and": "($self, other)",
    "bit_or": "($self, other)",
    "bit_xor": "($self, other)",
    "slice": "($self, high, low)",
    "signed": "($self)",
    "is_x": "($self)",
    "is_z": "($self)",
}

# Every docstring the module has; all other methods have none. The mentions of "rayon" and of
# "O(1) access" are part of the texts.
TRACE_DOCSTRINGS = {
    "parallel_find": "Find matching indices using rayon parallel iteration across all CPU cores.",
    "parallel_count": "Count matching indices using rayon parallel iteration.",
    "find_with_values": (
        "Find with value extraction in one pass: returns list of (index, [values]) tuples.\n"
        "Resolves signal IDs once upfront, uses signal_value_by_id in the hot loop."
    ),
    "changed_at": (
        "Get all signals that changed value at a specific index.\n"
        "Returns list of (name, old_value, new_value) tuples."
    ),
    "changed_at_scope": "Get signals that changed at index within a scope.",
    "transitions": "Get all transitions for a signal: [(index, old, new), ...]",
    "snapshot": (
        "Snapshot: get all signal values at a specific index as a dict.\n"
        "Uses signal_value_by_id for O(1) access per signal."
    ),
    "snapshot_scope": (
        "Snapshot within a scope.\nUses signal_value_by_id for O(1) access per signal."
    ),
    "find_signals_glob": "Find signals matching a glob pattern.",
    "find_signals_containing": "Find signals containing a substring (case-insensitive).",
    "signal_stats": (
        "Compute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)"
    ),
}


# Methods added beside that surface; each says what it does (its docstring is checked against
# the stub above).
TRACE_ADDED = {
    "load": "(path, format, signals)",
    "read_head": "(path, size)",
    "timescale": "($self)",
    "index_at": "($self, time)",
    "signal_bits": "($self, name, index)",
    "signal_int": "($self, name, index)",
    "value_kinds": "($self, name)",
    "real_stats": "($self, name)",
}

EXPR_ADDED = {
    name: "($self, other)"
    for name in ("real_eq", "real_neq", "real_lt", "real_gt", "real_lte", "real_gte", "real_add",
                 "real_sub")
}


@pytest.mark.parametrize(
    "cls, signatures, docstrings, added",
    [
        (PyTrace, TRACE_SIGNATURES, TRACE_DOCSTRINGS, TRACE_ADDED),
        (PyExpr, EXPR_SIGNATURES, {}, EXPR_ADDED),
    ],
    ids=["PyTrace", "PyExpr"],
)
def test_text_signatures_and_docstrings(cls, signatures, docstrings, added):
    assert {n for n in dir(cls) if not n.startswith("_")} == set(signatures) | set(added)
    for name, text in signatures.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == text, name
        assert method.__doc__ == docstrings.get(name), name
    for name, text in added.items():
        assert getattr(cls, name).__text_signature__ == text, name
        assert getattr(cls, name).__doc__, name


def test_fixed_messages(tmp_path):
    trace = PyTrace.from_vcd_string("")
    with pytest.raises(TypeError) as e:
        trace.find_with_values(PyExpr.always_true(), "top.clk")
    assert str(e.value) == "argument 'signal_names': Can't extract `str` to `Vec`"
    # A gzip header with a flag set (here a stored file name) in the FST wrapper.
    wrapped = bytearray((DATA / "fst" / "mixed_wrapped.fst").read_bytes())
    assert wrapped[17:19] == b"\x1f\x8b"
    wrapped[20] = 8
    path = tmp_path / "flags.fst"
    path.write_bytes(wrapped)
    with pytest.raises(ValueError) as e:
        PyTrace.from_fst(str(path))
    assert str(e.value) == (
        "FST open: failed to parse a gzip header: TODO currently extra flags are not supported 8"
    )
