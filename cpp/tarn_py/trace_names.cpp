// Scope and name queries.
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", name);
    return nullptr;
}

}  // namespace

TARN_METHOD(trace_local_scopes) {
    (void)nargs;
    (void)kwnames;
    return not_yet("local_scopes");
}

TARN_METHOD(trace_local_signals) {
    (void)nargs;
    (void)kwnames;
    return not_yet("local_signals");
}

TARN_METHOD(trace_resolve) {
    (void)nargs;
    (void)kwnames;
    return not_yet("resolve");
}

TARN_METHOD(trace_find_signals_glob) {
    (void)nargs;
    (void)kwnames;
    return not_yet("find_signals_glob");
}

TARN_METHOD(trace_find_signals_containing) {
    (void)nargs;
    (void)kwnames;
    return not_yet("find_signals_containing");
}

}  // namespace tarn::py
