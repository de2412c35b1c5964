// PyTrace: the Python face of a loaded trace.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "tarn_py/methods.h"
#include "trace/trace.h"

namespace tarn::py {

struct PyTraceObject {
    PyObject_HEAD std::shared_ptr<const Trace> trace;  // shared, read-only
};

inline const Trace& trace_of(PyObject* self) {
    return *reinterpret_cast<PyTraceObject*>(self)->trace;
}
inline std::shared_ptr<const Trace> trace_ptr(PyObject* self) {
    return reinterpret_cast<PyTraceObject*>(self)->trace;
}

// Creates the type (once per module exec); returns a new reference or nullptr.
PyObject* make_trace_type(PyObject* module);

}  // namespace tarn::py

// The query methods, each defined in the file of its concern.
namespace tarn::py {
// searches and evaluation (trace_search.cpp)
TARN_METHOD(trace_find);
TARN_METHOD(trace_parallel_find);
TARN_METHOD(trace_parallel_count);
TARN_METHOD(trace_find_with_values);
TARN_METHOD(trace_eval_expr);
TARN_METHOD(trace_eval_expr_bool);
// change queries and snapshots (trace_changes.cpp)
TARN_METHOD(trace_changed_at);
TARN_METHOD(trace_changed_at_scope);
TARN_METHOD(trace_transitions);
TARN_METHOD(trace_snapshot);
TARN_METHOD(trace_snapshot_scope);
// scope and name queries (trace_names.cpp)
TARN_METHOD(trace_local_scopes);
TARN_METHOD(trace_local_signals);
TARN_METHOD(trace_resolve);
TARN_METHOD(trace_find_signals_glob);
TARN_METHOD(trace_find_signals_containing);
// statistics and value helpers (trace_stats.cpp)
TARN_METHOD(trace_signal_stats);
TARN_METHOD(trace_real_stats);
TARN_METHOD(trace_bit_slice_val);
TARN_METHOD(trace_sign_extend_val);
// values at full width (trace_values.cpp)
TARN_METHOD(trace_signal_bits);
TARN_METHOD(trace_signal_int);
TARN_METHOD(trace_value_kinds);
// time (trace_time.cpp)
TARN_METHOD(trace_timescale);
TARN_METHOD(trace_index_at);
// bulk data for the Python layer (trace_frames.cpp)
TARN_METHOD(trace_frame);
TARN_METHOD(trace_frame_at);
TARN_METHOD(trace_times);
}  // namespace tarn::py
