// PyExpr: an immutable expression tree built from Python.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "query/expr.h"

namespace tarn::py {

// Creates the type (once per module exec); returns a new reference or nullptr.
PyObject* make_expr_type(PyObject* module);

// The tree of a PyExpr argument; on anything else sets a TypeError naming `arg` and returns false.
bool arg_expr(PyObject* o, const char* arg, query::ExprPtr* out);

}  // namespace tarn::py
