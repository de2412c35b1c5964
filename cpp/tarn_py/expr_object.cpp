#include "tarn_py/expr_object.h"

#include <new>
#include <string>

#include "tarn_py/args.h"
#include "tarn_py/methods.h"

namespace tarn::py {

namespace {

using query::Expr;
using query::ExprKind;
using query::ExprPtr;

struct PyExprObject {
    PyObject_HEAD ExprPtr
        expr;  // shared with other expressions built from this one; never modified
};

PyTypeObject* g_expr_type = nullptr;

PyObject* wrap(ExprPtr e) {
    auto* obj = PyObject_New(PyExprObject, g_expr_type);
    if (!obj) return nullptr;
    new (&obj->expr) ExprPtr(std::move(e));
    return reinterpret_cast<PyObject*>(obj);
}

const ExprPtr& expr_of(PyObject* self) {
    return reinterpret_cast<PyExprObject*>(self)->expr;
}

// ---- Static constructors ----

TARN_METHOD(signal) {
    TARN_ARGS("signal", "id");
    uint64_t id;
    if (!arg_index(a[0], "id", &id)) return nullptr;
    return guarded([&] { return wrap(Expr::signal(id)); });
}

TARN_METHOD(const_int) {
    TARN_ARGS("const_int", "val");
    uint64_t v;
    if (!arg_u64(a[0], "val", &v)) return nullptr;
    return guarded([&] { return wrap(Expr::constant(SignalValue::make_int(v))); });
}

TARN_METHOD(const_float) {
    TARN_ARGS("const_float", "val");
    double v;
    if (!arg_f64(a[0], "val", &v)) return nullptr;
    return guarded([&] { return wrap(Expr::constant(SignalValue::make_real(v))); });
}

TARN_METHOD(const_str) {
    TARN_ARGS("const_str", "val");
    std::string_view v;
    if (!arg_str(a[0], "val", &v)) return nullptr;
    return guarded([&] { return wrap(Expr::constant(SignalValue::make_str(std::string(v)))); });
}

TARN_METHOD(always_true) {
    if (!no_args("always_true", nargs, kwnames)) return nullptr;
    return guarded([&] { return wrap(Expr::always_true()); });
}

// ---- Builders ----

TARN_METHOD(rel_eval) {
    TARN_ARGS("rel_eval", "offset");
    int64_t offset;
    if (!arg_i64(a[0], "offset", &offset)) return nullptr;
    return guarded([&] { return wrap(Expr::rel_eval(expr_of(self), offset)); });
}

TARN_METHOD(slice) {
    TARN_ARGS("slice", "high", "low");
    uint64_t high, low;
    if (!arg_index(a[0], "high", &high) || !arg_index(a[1], "low", &low)) return nullptr;
    return guarded([&] { return wrap(Expr::slice(expr_of(self), high, low)); });
}

template <ExprKind K>
PyObject* unary(const char* name, PyObject* self, Py_ssize_t nargs, PyObject* kwnames) {
    if (!no_args(name, nargs, kwnames)) return nullptr;
    return guarded([&] { return wrap(Expr::unary(K, expr_of(self))); });
}

template <ExprKind K>
PyObject* binary(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames) {
    TARN_ARGS(name, "other");
    ExprPtr other;
    if (!arg_expr(a[0], "other", &other)) return nullptr;
    return guarded([&] { return wrap(Expr::binary(K, expr_of(self), std::move(other))); });
}

#define UNARY(fn, kind)                                          \
    TARN_METHOD(fn) {                                            \
        return unary<ExprKind::kind>(#fn, self, nargs, kwnames); \
    }
#define BINARY(fn, kind)                                                \
    TARN_METHOD(fn) {                                                   \
        return binary<ExprKind::kind>(#fn, self, args, nargs, kwnames); \
    }

UNARY(not_, Not)
UNARY(signed_, Signed)
UNARY(is_x, IsX)
UNARY(is_z, IsZ)
BINARY(and_, And)
BINARY(or_, Or)
BINARY(eq_, Eq)
BINARY(neq, Neq)
BINARY(gt_, Gt)
BINARY(lt_, Lt)
BINARY(gte, Gte)
BINARY(lte, Lte)
BINARY(add, Add)
BINARY(sub, Sub)
BINARY(bit_and, BitAnd)
BINARY(bit_or, BitOr)
BINARY(bit_xor, BitXor)
BINARY(real_eq, RealEq)
BINARY(real_neq, RealNeq)
BINARY(real_lt, RealLt)
BINARY(real_gt, RealGt)
BINARY(real_lte, RealLte)
BINARY(real_gte, RealGte)
BINARY(real_add, RealAdd)
BINARY(real_sub, RealSub)

// The text signatures, like the docstrings of PyTrace, are compatibility texts that callers read
// and match: keep them word for word (see "Compatibility texts" in docs/architecture.md).
PyMethodDef expr_methods[] = {
    TARN_STATIC("signal", signal, "signal(id)"),
    TARN_STATIC("const_int", const_int, "const_int(val)"),
    TARN_STATIC("const_float", const_float, "const_float(val)"),
    TARN_STATIC("const_str", const_str, "const_str(val)"),
    TARN_STATIC("always_true", always_true, "always_true()"),
    TARN_ENTRY("rel_eval", rel_eval, "rel_eval($self, offset)", ""),
    TARN_ENTRY("not_", not_, "not_($self)", ""),
    TARN_ENTRY("and_", and_, "and_($self, other)", ""),
    TARN_ENTRY("or_", or_, "or_($self, other)", ""),
    TARN_ENTRY("eq_", eq_, "eq_($self, other)", ""),
    TARN_ENTRY("neq", neq, "neq($self, other)", ""),
    TARN_ENTRY("gt_", gt_, "gt_($self, other)", ""),
    TARN_ENTRY("lt_", lt_, "lt_($self, other)", ""),
    TARN_ENTRY("gte", gte, "gte($self, other)", ""),
    TARN_ENTRY("lte", lte, "lte($self, other)", ""),
    TARN_ENTRY("add", add, "add($self, other)", ""),
    TARN_ENTRY("sub", sub, "sub($self, other)", ""),
    TARN_ENTRY("bit_and", bit_and, "bit_and($self, other)", ""),
    TARN_ENTRY("bit_or", bit_or, "bit_or($self, other)", ""),
    TARN_ENTRY("bit_xor", bit_xor, "bit_xor($self, other)", ""),
    TARN_ENTRY("slice", slice, "slice($self, high, low)", ""),
    TARN_ENTRY("signed", signed_, "signed($self)", ""),
    TARN_ENTRY("is_x", is_x, "is_x($self)", ""),
    TARN_ENTRY("is_z", is_z, "is_z($self)", ""),
    // Beside the table above: comparisons and arithmetic of float readings.
    TARN_ENTRY(
        "real_eq", real_eq, "real_eq($self, other)",
        "Whether self == other as 64-bit floats: 1 or 0, or None when either has no float\n"
        "reading. A real reads as its number, an int, wide or logic value without x or z as its\n"
        "unsigned value (nearest double), a text as a float when it is one; NaN equals nothing."),
    TARN_ENTRY("real_neq", real_neq, "real_neq($self, other)",
               "The negation of real_eq: 1 where it is 0 or None."),
    TARN_ENTRY("real_lt", real_lt, "real_lt($self, other)",
               "self < other as 64-bit floats (see real_eq): 1, 0, or None without both readings."),
    TARN_ENTRY("real_gt", real_gt, "real_gt($self, other)",
               "self > other as 64-bit floats (see real_eq): 1, 0, or None without both readings."),
    TARN_ENTRY(
        "real_lte", real_lte, "real_lte($self, other)",
        "self <= other as 64-bit floats (see real_eq): 1, 0, or None without both readings."),
    TARN_ENTRY(
        "real_gte", real_gte, "real_gte($self, other)",
        "self >= other as 64-bit floats (see real_eq): 1, 0, or None without both readings."),
    TARN_ENTRY("real_add", real_add, "real_add($self, other)",
               "self + other as a 64-bit float (see real_eq); None without both readings."),
    TARN_ENTRY("real_sub", real_sub, "real_sub($self, other)",
               "self - other as a 64-bit float (see real_eq); None without both readings."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

bool arg_expr(PyObject* o, const char* arg, ExprPtr* out) {
    if (!g_expr_type || Py_TYPE(o) != g_expr_type) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected PyExpr, got %s", arg,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    *out = expr_of(o);
    return true;
}

PyObject* make_expr_type(PyObject* module) {
    PyObject* type = make_type<PyExprObject>(module, "tarn._core.PyExpr", expr_methods);
    if (!type) return nullptr;
    // Static constructors get no type argument; the module is created once per process.
    g_expr_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace tarn::py
