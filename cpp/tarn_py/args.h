// Argument conversion shared by every method, so all of them reject bad arguments alike, with
// messages that name the argument.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "util/interrupt.h"

namespace tarn::py {

// Collects the positional and keyword arguments of a METH_FASTCALL | METH_KEYWORDS call into
// out[0..n) following `names`. Every parameter is required. Sets a TypeError and returns false
// on a missing, surplus, duplicated or unknown argument.
bool parse_args(const char* func, const char* const* names, Py_ssize_t n, PyObject* const* args,
                Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

// For methods without parameters.
bool no_args(const char* func, Py_ssize_t nargs, PyObject* kwnames);

// Conversions; each sets TypeError/OverflowError naming `arg` and returns false on failure.
bool arg_str(PyObject* o, const char* arg, std::string_view* out);
bool arg_index(PyObject* o, const char* arg, uint64_t* out);  // unsigned machine word
bool arg_u64(PyObject* o, const char* arg, uint64_t* out);
bool arg_i64(PyObject* o, const char* arg, int64_t* out);
bool arg_u32(PyObject* o, const char* arg, uint32_t* out);
bool arg_f64(PyObject* o, const char* arg, double* out);
// A list of texts: a sequence of str, but not a str itself (whose message is a compatibility
// text, kept word for word: docs/architecture.md, "Compatibility texts").
bool arg_names(PyObject* o, const char* arg, std::vector<std::string>* out);

// Runs `body` and turns escaping C++ exceptions into Python exceptions, so an internal failure
// (out of memory, say) never takes the interpreter down and the trace stays usable.
template <class F>
PyObject* guarded(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "internal error");
        return nullptr;
    }
}

// Runs a long engine operation that Ctrl-C can interrupt: compute() runs inside an interruption
// scope (the module's hook runs pending signal handlers every few milliseconds of its work);
// convert(result) makes the Python object. When a handler raised (KeyboardInterrupt, say), the
// partial result is dropped and the handler's exception propagates.
template <class Compute, class Convert>
PyObject* interruptible(Compute&& compute, Convert&& convert) {
    return guarded([&]() -> PyObject* {
        InterruptScope scope;
        auto result = compute();
        if (scope.stopped()) {
            if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
            return nullptr;
        }
        return convert(std::move(result));
    });
}

// The module's interruption hook: runs the interpreter's pending signal handlers.
bool check_signals();

}  // namespace tarn::py

// Declares the argument array of a method and parses into it; returns nullptr on failure.
#define TARN_ARGS(func, ...)                                             \
    static const char* const kNames_[] = {__VA_ARGS__};                  \
    constexpr Py_ssize_t kCount_ = sizeof(kNames_) / sizeof(kNames_[0]); \
    PyObject* a[kCount_];                                                \
    if (!::tarn::py::parse_args(func, kNames_, kCount_, args, nargs, kwnames, a)) return nullptr
