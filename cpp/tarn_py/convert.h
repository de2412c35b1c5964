// SignalValue -> Python object (new reference).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "signal/store.h"
#include "signal/value.h"

namespace tarn::py {

PyObject* value_to_py(const SignalValue& v);
// A Python int of any size from its words, least significant first.
PyObject* words_to_py(const SignalValue::Words& words);
// Same, for run r of a column, without building a SignalValue for the common kinds.
PyObject* run_to_py(const Column& c, size_t r);
// The value of column `c` (may be null) at index i, for callers that walk indices in ascending
// order: `r` is their cursor into the runs, npos to start.
PyObject* value_at_to_py(const Column* c, uint64_t i, size_t& r);

}  // namespace tarn::py
