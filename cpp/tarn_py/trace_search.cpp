// Searches and expression evaluation.
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

PyObject* not_yet(const char* name) {
    PyErr_Format(PyExc_NotImplementedError, "%s is not available yet", name);
    return nullptr;
}

}  // namespace

TARN_METHOD(trace_find) {
    (void)nargs;
    (void)kwnames;
    return not_yet("find");
}

TARN_METHOD(trace_parallel_find) {
    (void)nargs;
    (void)kwnames;
    return not_yet("parallel_find");
}

TARN_METHOD(trace_parallel_count) {
    (void)nargs;
    (void)kwnames;
    return not_yet("parallel_count");
}

TARN_METHOD(trace_find_with_values) {
    (void)nargs;
    (void)kwnames;
    return not_yet("find_with_values");
}

TARN_METHOD(trace_eval_expr) {
    (void)nargs;
    (void)kwnames;
    return not_yet("eval_expr");
}

TARN_METHOD(trace_eval_expr_bool) {
    (void)nargs;
    (void)kwnames;
    return not_yet("eval_expr_bool");
}

}  // namespace tarn::py
