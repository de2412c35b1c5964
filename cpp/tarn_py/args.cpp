#include "tarn_py/args.h"

#include <cstring>
#include <string>
#include <vector>

namespace tarn::py {

bool parse_args(const char* func, const char* const* names, Py_ssize_t n, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > n) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zd positional argument%s but %zd %s given", func,
                     n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* kname = PyUnicode_AsUTF8(key);
        if (!kname) return false;
        Py_ssize_t i = 0;
        while (i < n && std::strcmp(names[i], kname) != 0) ++i;
        if (i == n) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", func,
                         kname);
            return false;
        }
        if (out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func,
                         kname);
            return false;
        }
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!out[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing 1 required positional argument: '%s'", func,
                         names[i]);
            return false;
        }
    }
    return true;
}

bool no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes 0 positional arguments but %zd %s given", func,
                     nargs, nargs == 1 ? "was" : "were");
    } else {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func,
                     PyTuple_GET_ITEM(kwnames, 0));
    }
    return false;
}

bool arg_str(PyObject* o, const char* arg, std::string_view* out) {
    if (!PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", arg,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) return false;
    *out = std::string_view(s, static_cast<size_t>(n));
    return true;
}

namespace {

// The argument as a Python int (new reference), or nullptr with a TypeError naming it.
PyObject* as_int(PyObject* o, const char* arg) {
    if (PyLong_Check(o)) {
        Py_INCREF(o);
        return o;
    }
    if (!PyFloat_Check(o) && PyIndex_Check(o)) return PyNumber_Index(o);
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be interpreted as an integer",
                 arg, Py_TYPE(o)->tp_name);
    return nullptr;
}

bool overflow(const char* arg, const char* what) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': %s", arg, what);
    return false;
}

}  // namespace

bool arg_u64(PyObject* o, const char* arg, uint64_t* out) {
    PyObject* v = as_int(o, arg);
    if (!v) return false;
    int sign = PyObject_RichCompareBool(v, Py_False, Py_LT);  // v < 0
    if (sign == 1) {
        Py_DECREF(v);
        return overflow(arg, "can't convert negative int to unsigned");
    }
    unsigned long long x = PyLong_AsUnsignedLongLong(v);
    Py_DECREF(v);
    if (x == (unsigned long long)-1 && PyErr_Occurred()) {
        PyErr_Clear();
        return overflow(arg, "int too big to convert");
    }
    *out = x;
    return true;
}

bool arg_index(PyObject* o, const char* arg, uint64_t* out) {
    static_assert(sizeof(size_t) == sizeof(uint64_t), "64-bit platforms only");
    return arg_u64(o, arg, out);
}

bool arg_u32(PyObject* o, const char* arg, uint32_t* out) {
    uint64_t v;
    if (!arg_u64(o, arg, &v)) return false;
    if (v > UINT32_MAX) return overflow(arg, "int too big to convert");
    *out = static_cast<uint32_t>(v);
    return true;
}

bool arg_i64(PyObject* o, const char* arg, int64_t* out) {
    PyObject* v = as_int(o, arg);
    if (!v) return false;
    int overflowed = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflowed);
    Py_DECREF(v);
    if (overflowed) return overflow(arg, "int too big to convert");
    if (x == -1 && PyErr_Occurred()) return false;
    *out = x;
    return true;
}

bool arg_f64(PyObject* o, const char* arg, double* out) {
    double x = PyFloat_AsDouble(o);
    if (x == -1.0 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "argument '%s': must be real number, not %s", arg,
                         Py_TYPE(o)->tp_name);
        }
        return false;
    }
    *out = x;
    return true;
}

// `signal_names` as a list of texts: a sequence of str, but not a str itself. The message for a
// str is a compatibility text, kept word for word (docs/architecture.md, "Compatibility texts").
bool arg_names(PyObject* o, const char* arg, std::vector<std::string>* out) {
    if (PyUnicode_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", arg);
        return false;
    }
    if (!PySequence_Check(o)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got %s", arg,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    PyObject* seq = PySequence_Fast(o, "");
    if (!seq) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a sequence of str, got %s", arg,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    out->reserve(size_t(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        if (!PyUnicode_Check(item)) {
            PyErr_Format(PyExc_TypeError, "argument '%s': expected str, got %s", arg,
                         Py_TYPE(item)->tp_name);
            Py_DECREF(seq);
            return false;
        }
        Py_ssize_t len;
        const char* s = PyUnicode_AsUTF8AndSize(item, &len);
        if (!s) {
            Py_DECREF(seq);
            return false;
        }
        out->emplace_back(s, size_t(len));
    }
    Py_DECREF(seq);
    return true;
}

bool check_signals() {
    return PyErr_CheckSignals() != 0;
}

}  // namespace tarn::py
