// PyExpr: an immutable expression tree built from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarn::py {

// Creates the type (once per module exec); returns a new reference or nullptr.
PyObject* make_expr_type(PyObject* module);

}  // namespace tarn::py
