#include "tarn_py/expr_object.h"

namespace tarn::py {

namespace {

struct PyExprObject {
    PyObject_HEAD
};

void expr_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(tp);
}

PyType_Slot expr_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(expr_dealloc)},
    {0, nullptr},
};

PyType_Spec expr_spec = {
    "tarn._core.PyExpr",
    sizeof(PyExprObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    expr_slots,
};

}  // namespace

PyObject* make_expr_type(PyObject* module) {
    return PyType_FromModuleAndSpec(module, &expr_spec, nullptr);
}

}  // namespace tarn::py
