// Bulk data for the Python layer's arrays and frames: the time stamps, and frames built from
// change points. Numbers travel as bytearrays that NumPy views without copying; only values
// that need Python objects (ints wider than 64 bits, texts) are built as lists.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "query/frame.h"
#include "tarn_py/args.h"
#include "tarn_py/convert.h"
#include "tarn_py/trace_object.h"
#include "util/pool.h"

namespace tarn::py {

namespace {

enum class Kind { UInt, Real, Wide, Text };

bool kind_of(std::string_view s, Kind* out) {
    if (s == "uint")
        *out = Kind::UInt;
    else if (s == "real")
        *out = Kind::Real;
    else if (s == "wide")
        *out = Kind::Wide;
    else if (s == "str")
        *out = Kind::Text;
    else
        return false;
    return true;
}

// A bytearray of n bytes to fill (new reference), or nullptr with a Python error set. NumPy
// views it without a copy, and the arrays stay writable.
PyObject* new_bytes(size_t n, char** data) {
    PyObject* b = PyByteArray_FromStringAndSize(nullptr, Py_ssize_t(n));
    if (b) *data = PyByteArray_AS_STRING(b);
    return b;
}

// The unsigned reading of a run for a column of two-state values up to 64 bits.
bool uint_of(const Column* c, size_t r, uint64_t* v) {
    if (r == Column::npos) return false;
    if (c->run_tag(r) == Tag::Int) {
        *v = c->run_int(r);
        return true;
    }
    auto words = two_state_words(c->run_value(r));
    if (!words || words->empty()) return false;
    *v = (*words)[0];
    return true;
}

bool real_of(const Column* c, size_t r, double* v) {
    if (r == Column::npos) return false;
    switch (c->run_tag(r)) {
        case Tag::Int:
            *v = double(c->run_int(r));
            return true;
        case Tag::Real:
            *v = c->run_value(r).as_real();
            return true;
        default: {
            auto words = two_state_words(c->run_value(r));
            if (!words) return false;
            double x = 0;
            for (size_t w = words->size(); w-- > 0;)
                x = x * 18446744073709551616.0 + double((*words)[w]);
            *v = x;
            return true;
        }
    }
}

// The Python object of a run for a column of wide ints or texts (new reference).
PyObject* object_of(const Column* c, size_t r, Kind kind) {
    if (r == Column::npos) Py_RETURN_NONE;
    SignalValue v = c->run_value(r);
    if (kind == Kind::Text) {
        if (v.tag() != Tag::Str) Py_RETURN_NONE;
        return value_to_py(v);
    }
    auto words = two_state_words(v);
    if (!words) Py_RETURN_NONE;
    return words_to_py(*words);
}

// The names and kinds of a frame; false with a Python error set.
bool frame_args(PyObject* name_list, PyObject* kind_list, std::vector<std::string>* names,
                std::vector<Kind>* kinds) {
    std::vector<std::string> kind_names;
    if (!arg_names(name_list, "names", names) || !arg_names(kind_list, "kinds", &kind_names))
        return false;
    if (kind_names.size() != names->size()) {
        PyErr_SetString(PyExc_ValueError, "one kind per name is needed");
        return false;
    }
    kinds->resize(names->size());
    for (size_t k = 0; k < names->size(); ++k) {
        if (!kind_of(kind_names[k], &(*kinds)[k])) {
            PyErr_SetString(PyExc_ValueError, "a kind is one of uint, real, wide, str");
            return false;
        }
    }
    return true;
}

// The frame of `names` at the ascending `rows`: (rows, times, columns) as _frame returns it.
PyObject* build_frame(const Trace& t, const std::vector<std::string>& names,
                      const std::vector<Kind>& kinds, const std::vector<uint64_t>& rows) {
    std::vector<const Column*> cols;
    for (const auto& name : names) {
        auto id = t.signal_id(name);
        cols.push_back(id ? t.column(*id) : nullptr);
    }
    const size_t n = rows.size();
    char *row_data, *time_data;
    PyObject* row_bytes = new_bytes(8 * n, &row_data);
    PyObject* time_bytes = row_bytes ? new_bytes(8 * n, &time_data) : nullptr;
    PyObject* columns = time_bytes ? PyList_New(Py_ssize_t(cols.size())) : nullptr;
    if (!columns) {
        Py_XDECREF(row_bytes);
        Py_XDECREF(time_bytes);
        return nullptr;
    }
    if (n) std::memcpy(row_data, rows.data(), 8 * n);  // an empty vector's data() may be null
    for (size_t k = 0; k < n; ++k) {
        uint64_t ts = t.timestamp(rows[k]);
        std::memcpy(time_data + 8 * k, &ts, 8);
    }
    // Numbers: value buffers and masks (1 where there is no value, as pandas and Arrow take
    // them) made here, filled on the pool.
    std::vector<char*> value_data(cols.size(), nullptr), missing_data(cols.size(), nullptr);
    bool ok = true;
    for (size_t k = 0; k < cols.size() && ok; ++k) {
        if (kinds[k] != Kind::UInt && kinds[k] != Kind::Real) continue;
        PyObject* values = new_bytes(8 * n, &value_data[k]);
        PyObject* missing = values ? new_bytes(n, &missing_data[k]) : nullptr;
        PyObject* pair = missing ? PyTuple_Pack(2, values, missing) : nullptr;
        Py_XDECREF(values);
        Py_XDECREF(missing);
        if (!pair)
            ok = false;
        else
            PyList_SET_ITEM(columns, Py_ssize_t(k), pair);
    }
    if (ok) {
        parallel_for(cols.size(), [&](size_t k) {
            if (!value_data[k]) return;
            query::row_segments(cols[k], rows, [&](size_t first, size_t last, size_t r) {
                uint64_t bits = 0;
                bool known;
                if (kinds[k] == Kind::UInt) {
                    known = uint_of(cols[k], r, &bits);
                } else {
                    double v = std::nan("");
                    known = real_of(cols[k], r, &v);
                    std::memcpy(&bits, &v, 8);
                }
                auto* out = reinterpret_cast<uint64_t*>(value_data[k]);
                std::fill(out + first, out + last, bits);
                std::memset(missing_data[k] + first, known ? 0 : 1, last - first);
            });
        });
    }
    // Objects: built here, on the calling thread, one per stretch of rows.
    for (size_t k = 0; k < cols.size() && ok; ++k) {
        if (value_data[k]) continue;
        PyObject* list = PyList_New(Py_ssize_t(n));
        if (!list) {
            ok = false;
            break;
        }
        query::row_segments(cols[k], rows, [&](size_t first, size_t last, size_t r) {
            if (!list) return;
            PyObject* o = object_of(cols[k], r, kinds[k]);
            if (!o) {
                Py_CLEAR(list);
                return;
            }
            for (size_t i = first; i < last; ++i) {
                Py_INCREF(o);
                PyList_SET_ITEM(list, Py_ssize_t(i), o);
            }
            Py_DECREF(o);
        });
        if (!list)
            ok = false;
        else
            PyList_SET_ITEM(columns, Py_ssize_t(k), list);
    }
    if (!ok) {
        // Unfilled slots of a list are NULL, which its deallocation skips.
        Py_DECREF(row_bytes);
        Py_DECREF(time_bytes);
        Py_DECREF(columns);
        return nullptr;
    }
    PyObject* result = PyTuple_Pack(3, row_bytes, time_bytes, columns);
    Py_DECREF(row_bytes);
    Py_DECREF(time_bytes);
    Py_DECREF(columns);
    return result;
}

}  // namespace

TARN_METHOD(trace_frame) {
    TARN_ARGS("_frame", "names", "start", "end", "kinds");
    std::vector<std::string> names;
    std::vector<Kind> kinds;
    uint64_t start, end;
    if (!arg_index(a[1], "start", &start) || !arg_index(a[2], "end", &end) ||
        !frame_args(a[0], a[3], &names, &kinds))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const Trace& t = trace_of(self);
        std::vector<const Column*> cols;
        for (const auto& name : names) {
            auto id = t.signal_id(name);
            cols.push_back(id ? t.column(*id) : nullptr);
        }
        return build_frame(t, names, kinds,
                           query::frame_rows(cols, start, std::min(end, t.num_indices())));
    });
}

TARN_METHOD(trace_frame_at) {
    TARN_ARGS("_frame_at", "names", "rows", "kinds");
    std::vector<std::string> names;
    std::vector<Kind> kinds;
    if (!frame_args(a[0], a[2], &names, &kinds)) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(a[1], &view, PyBUF_SIMPLE) < 0) return nullptr;
    std::vector<uint64_t> rows(size_t(view.len) / 8);
    if (!rows.empty()) std::memcpy(rows.data(), view.buf, rows.size() * 8);
    PyBuffer_Release(&view);
    if (!std::is_sorted(rows.begin(), rows.end())) {
        PyErr_SetString(PyExc_ValueError, "argument 'rows': the indices must ascend");
        return nullptr;
    }
    return guarded([&] { return build_frame(trace_of(self), names, kinds, rows); });
}

TARN_METHOD(trace_times) {
    if (!no_args("_times", nargs, kwnames)) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto& ts = trace_of(self).timestamps();
        return PyByteArray_FromStringAndSize(reinterpret_cast<const char*>(ts.data()),
                                             Py_ssize_t(8 * ts.size()));
    });
}

}  // namespace tarn::py
