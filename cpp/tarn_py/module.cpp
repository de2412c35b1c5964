// The extension module tarn._core.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "tarn_py/args.h"
#include "tarn_py/expr_object.h"
#include "tarn_py/trace_object.h"

namespace {

int core_exec(PyObject* module) {
    tarn::set_interrupt_hook(tarn::py::check_signals);
    PyObject* trace = tarn::py::make_trace_type(module);
    if (!trace) return -1;
    if (PyModule_AddObjectRef(module, "PyTrace", trace) < 0) {
        Py_DECREF(trace);
        return -1;
    }
    Py_DECREF(trace);
    PyObject* expr = tarn::py::make_expr_type(module);
    if (!expr) return -1;
    int rc = PyModule_AddObjectRef(module, "PyExpr", expr);
    Py_DECREF(expr);
    return rc;
}

PyModuleDef_Slot core_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(core_exec)},
    {0, nullptr},
};

PyModuleDef core_module = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "Compiled core of tarn: load waveform dumps and query them.",
    0,
    nullptr,
    core_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__core(void) {
    return PyModuleDef_Init(&core_module);
}
