// Searches and expression evaluation.
#include <optional>
#include <string>
#include <vector>

#include "query/expr.h"
#include "query/find.h"
#include "tarn_py/args.h"
#include "tarn_py/convert.h"
#include "tarn_py/expr_object.h"
#include "tarn_py/lists.h"
#include "tarn_py/trace_object.h"

namespace tarn::py {

namespace {

// One Python list of the indices of consecutive pieces.
PyObject* index_list(const std::vector<std::vector<uint64_t>>& pieces) {
    size_t total = 0;
    for (const auto& p : pieces) total += p.size();
    PyObject* list = PyList_New(Py_ssize_t(total));
    if (!list) return nullptr;
    Py_ssize_t k = 0;
    for (const auto& p : pieces) {
        for (uint64_t i : p) {
            PyObject* x = PyLong_FromUnsignedLongLong(i);
            if (!x) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, k++, x);
        }
    }
    return list;
}

// A search taking one `expr` argument: run(trace, expr) computes, convert makes the result.
template <class Run, class Convert>
PyObject* search(const char* func, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                 PyObject* kwnames, Run&& run, Convert&& convert) {
    TARN_ARGS(func, "expr");
    query::ExprPtr expr;
    if (!arg_expr(a[0], "expr", &expr)) return nullptr;
    return interruptible([&] { return run(trace_of(self), *expr); }, convert);
}

// An evaluation taking `expr` and `index`: eval(trace, expr, index) makes the result.
template <class Eval>
PyObject* eval_at(const char* func, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, Eval&& eval) {
    TARN_ARGS(func, "expr", "index");
    query::ExprPtr expr;
    uint64_t index;
    if (!arg_expr(a[0], "expr", &expr) || !arg_index(a[1], "index", &index)) return nullptr;
    return guarded([&] { return eval(trace_of(self), *expr, index); });
}

}  // namespace

TARN_METHOD(trace_find) {
    return search(
        "find", self, args, nargs, kwnames,
        [](const Trace& t, const query::Expr& e) {
            std::vector<std::vector<uint64_t>> one(1);
            one[0] = query::find(t, e);
            return one;
        },
        index_list);
}

TARN_METHOD(trace_parallel_find) {
    return search(
        "parallel_find", self, args, nargs, kwnames,
        [](const Trace& t, const query::Expr& e) { return query::parallel_find_pieces(t, e); },
        index_list);
}

TARN_METHOD(trace_parallel_count) {
    return search(
        "parallel_count", self, args, nargs, kwnames,
        [](const Trace& t, const query::Expr& e) { return query::parallel_count(t, e); },
        [](uint64_t n) { return PyLong_FromUnsignedLongLong(n); });
}

TARN_METHOD(trace_find_with_values) {
    TARN_ARGS("find_with_values", "expr", "signal_names");
    query::ExprPtr expr;
    std::vector<std::string> names;
    if (!arg_expr(a[0], "expr", &expr) || !arg_names(a[1], "signal_names", &names)) return nullptr;
    const Trace& t = trace_of(self);
    auto compute = [&] { return query::find(t, *expr); };
    return interruptible(compute, [&](std::vector<uint64_t>&& hits) -> PyObject* {
        // Resolve names once; the rows read columns through forward-moving cursors.
        std::vector<const Column*> cols;
        for (const auto& n : names) {
            auto id = t.signal_id(n);
            cols.push_back(id ? t.column(*id) : nullptr);
        }
        std::vector<size_t> runs(cols.size(), Column::npos);
        PyObject* list = PyList_New(Py_ssize_t(hits.size()));
        if (!list) return nullptr;
        for (size_t h = 0; h < hits.size(); ++h) {
            uint64_t i = hits[h];
            PyObject* index = PyLong_FromUnsignedLongLong(i);
            PyObject* values = index ? PyList_New(Py_ssize_t(cols.size())) : nullptr;
            PyObject* row = tuple_of({index, values});
            if (!row) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, Py_ssize_t(h), row);
            for (size_t k = 0; k < cols.size(); ++k) {
                PyObject* v = value_at_to_py(cols[k], i, runs[k]);
                if (!v) {
                    Py_DECREF(list);
                    return nullptr;
                }
                PyList_SET_ITEM(values, Py_ssize_t(k), v);
            }
        }
        return list;
    });
}

TARN_METHOD(trace_eval_expr) {
    return eval_at("eval_expr", self, args, nargs, kwnames,
                   [](const Trace& t, const query::Expr& e, uint64_t i) {
                       return value_to_py(query::eval(t, e, i));
                   });
}

TARN_METHOD(trace_eval_expr_bool) {
    return eval_at("eval_expr_bool", self, args, nargs, kwnames,
                   [](const Trace& t, const query::Expr& e, uint64_t i) {
                       return PyBool_FromLong(query::eval_bool(t, e, i));
                   });
}

}  // namespace tarn::py
