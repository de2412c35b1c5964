// Signal statistics and value helpers.
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", name);
    return nullptr;
}

}  // namespace

TARN_METHOD(trace_signal_stats) {
    (void)nargs;
    (void)kwnames;
    return not_yet("signal_stats");
}

TARN_METHOD(trace_bit_slice_val) {
    (void)nargs;
    (void)kwnames;
    return not_yet("bit_slice_val");
}

TARN_METHOD(trace_sign_extend_val) {
    (void)nargs;
    (void)kwnames;
    return not_yet("sign_extend_val");
}

}  // namespace tarn::py
