// Change queries and snapshots.
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", name);
    return nullptr;
}

}  // namespace

TARN_METHOD(trace_changed_at) {
    (void)nargs;
    (void)kwnames;
    return not_yet("changed_at");
}

TARN_METHOD(trace_changed_at_scope) {
    (void)nargs;
    (void)kwnames;
    return not_yet("changed_at_scope");
}

TARN_METHOD(trace_transitions) {
    (void)nargs;
    (void)kwnames;
    return not_yet("transitions");
}

TARN_METHOD(trace_snapshot) {
    (void)nargs;
    (void)kwnames;
    return not_yet("snapshot");
}

TARN_METHOD(trace_snapshot_scope) {
    (void)nargs;
    (void)kwnames;
    return not_yet("snapshot_scope");
}

}  // namespace tarn::py
