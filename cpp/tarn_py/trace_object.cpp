#include "tarn_py/trace_object.h"

#include <string>

#include "tarn_py/args.h"
#include "tarn_py/convert.h"
#include "tarn_py/lists.h"
#include "trace/readers.h"

namespace tarn::py {

namespace {

PyTypeObject* g_trace_type = nullptr;

PyObject* wrap(Trace&& t) {
    auto* obj = PyObject_New(PyTraceObject, g_trace_type);
    if (!obj) return nullptr;
    new (&obj->trace) std::shared_ptr<const Trace>(std::make_shared<const Trace>(std::move(t)));
    return reinterpret_cast<PyObject*>(obj);
}

PyObject* wrap(Result<Trace>&& r) {
    if (!r) {
        PyErr_SetString(PyExc_ValueError, r.error().c_str());
        return nullptr;
    }
    return wrap(std::move(r).value());
}

// A loader taking one `path` argument.
template <Result<Trace> (*Read)(const std::string&)>
PyObject* loader(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"path"};
    PyObject* a[1];
    if (!parse_args(func, names, 1, args, nargs, kwnames, a)) return nullptr;
    std::string_view path;
    if (!arg_str(a[0], "path", &path)) return nullptr;
    return interruptible([&] { return Read(std::string(path)); },
                         [](Result<Trace>&& r) { return wrap(std::move(r)); });
}

#define LOADER(fn, read)                                \
    TARN_METHOD(fn) {                                   \
        return loader<read>(#fn, args, nargs, kwnames); \
    }
LOADER(from_vcd, read_vcd_file)
LOADER(from_fst, read_fst)
LOADER(from_fsdb, read_fsdb)
LOADER(from_shm, read_shm)
LOADER(from_vpd, read_vpd)
LOADER(from_wlf, read_wlf)

TARN_METHOD(from_vcd_string) {
    TARN_ARGS("from_vcd_string", "data");
    std::string_view data;
    if (!arg_str(a[0], "data", &data)) return nullptr;
    return interruptible([&] { return parse_vcd(data); },
                         [](Result<Trace>&& r) { return wrap(std::move(r)); });
}

// load(path, format, signals): any format by name, compressed or not, keeping the signals whose
// names match one of the patterns (all of them when signals is None; a str is one pattern).
TARN_METHOD(load) {
    TARN_ARGS("load", "path", "format", "signals");
    std::string_view path, format;
    if (!arg_str(a[0], "path", &path) || !arg_str(a[1], "format", &format)) return nullptr;
    auto fmt = format_named(format);
    if (!fmt) {
        PyErr_Format(PyExc_ValueError,
                     "argument 'format': unknown format %R; expected one of vcd, fst, fsdb, shm, "
                     "vpd, wlf",
                     a[1]);
        return nullptr;
    }
    LoadOptions options;
    if (a[2] != Py_None) {
        std::vector<std::string> patterns;
        if (PyUnicode_Check(a[2])) {
            std::string_view one;
            if (!arg_str(a[2], "signals", &one)) return nullptr;
            patterns.emplace_back(one);
        } else if (!arg_names(a[2], "signals", &patterns)) {
            return nullptr;
        }
        options.filter = NameFilter(std::move(patterns));
    }
    return interruptible([&] { return load_trace(std::string(path), *fmt, options); },
                         [](Result<Trace>&& r) { return wrap(std::move(r)); });
}

TARN_METHOD(read_head) {
    TARN_ARGS("read_head", "path", "size");
    std::string_view path;
    uint64_t size;
    if (!arg_str(a[0], "path", &path) || !arg_index(a[1], "size", &size)) return nullptr;
    if (size > (uint64_t(1) << 30)) {
        PyErr_SetString(PyExc_ValueError, "argument 'size': at most 2**30 bytes");
        return nullptr;
    }
    return interruptible(
        [&] { return tarn::read_head(std::string(path), static_cast<size_t>(size)); },
        [](Result<std::vector<uint8_t>>&& r) -> PyObject* {
            if (!r) {
                PyErr_SetString(PyExc_ValueError, r.error().c_str());
                return nullptr;
            }
            const auto& b = r.value();
            return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                             Py_ssize_t(b.size()));
        });
}

TARN_METHOD(signal_names) {
    if (!no_args("signal_names", nargs, kwnames)) return nullptr;
    return guarded([&] { return name_list_to_py(trace_of(self).signal_names()); });
}

TARN_METHOD(scopes) {
    if (!no_args("scopes", nargs, kwnames)) return nullptr;
    return guarded([&] { return name_list_to_py(trace_of(self).scopes()); });
}

TARN_METHOD(max_index) {
    if (!no_args("max_index", nargs, kwnames)) return nullptr;
    return PyLong_FromUnsignedLongLong(trace_of(self).max_index());
}

TARN_METHOD(timestamp) {
    TARN_ARGS("timestamp", "index");
    uint64_t index;
    if (!arg_index(a[0], "index", &index)) return nullptr;
    return PyLong_FromUnsignedLongLong(trace_of(self).timestamp(index));
}

TARN_METHOD(signal_id) {
    TARN_ARGS("signal_id", "name");
    std::string_view name;
    if (!arg_str(a[0], "name", &name)) return nullptr;
    auto id = trace_of(self).signal_id(name);
    if (!id) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*id);
}

TARN_METHOD(signal_width) {
    TARN_ARGS("signal_width", "name");
    std::string_view name;
    if (!arg_str(a[0], "name", &name)) return nullptr;
    return PyLong_FromUnsignedLong(trace_of(self).signal_width(name));
}

TARN_METHOD(signal_value) {
    TARN_ARGS("signal_value", "name", "index");
    std::string_view name;
    uint64_t index;
    if (!arg_str(a[0], "name", &name) || !arg_index(a[1], "index", &index)) return nullptr;
    return guarded([&] { return value_to_py(trace_of(self).signal_value(name, index)); });
}

TARN_METHOD(signal_value_raw) {
    TARN_ARGS("signal_value_raw", "name", "index");
    std::string_view name;
    uint64_t index;
    if (!arg_str(a[0], "name", &name) || !arg_index(a[1], "index", &index)) return nullptr;
    return guarded([&] {
        auto v = to_u64(trace_of(self).signal_value(name, index));
        return PyLong_FromUnsignedLongLong(v.value_or(0));
    });
}

TARN_METHOD(signal_values_range) {
    TARN_ARGS("signal_values_range", "name", "start", "end");
    std::string_view name;
    uint64_t start, end;
    if (!arg_str(a[0], "name", &name) || !arg_index(a[1], "start", &start) ||
        !arg_index(a[2], "end", &end))
        return nullptr;
    return guarded([&]() -> PyObject* {
        const Trace& t = trace_of(self);
        uint64_t n = end > start ? end - start : 0;
        if (n > uint64_t(PY_SSIZE_T_MAX) / sizeof(PyObject*)) return PyErr_NoMemory();
        PyObject* list = PyList_New(Py_ssize_t(n));
        if (!list) return nullptr;
        auto id = t.signal_id(name);
        const Column* c = id ? t.column(*id) : nullptr;
        // Walk the runs once instead of searching for every index.
        size_t r = Column::npos;
        for (uint64_t k = 0; k < n; ++k) {
            PyObject* v = value_at_to_py(c, start + k, r);
            if (!v) {
                Py_DECREF(list);
                return nullptr;
            }
            PyList_SET_ITEM(list, Py_ssize_t(k), v);
        }
        return list;
    });
}

// Some docstrings are compatibility texts: callers match on them, so they stay word for word even
// where they read oddly (the "O(1) access" of the snapshots, "rayon" in the parallel searches).
// See "Compatibility texts" in docs/architecture.md before changing any text here.
PyMethodDef trace_methods[] = {
    TARN_STATIC("from_vcd", from_vcd, "from_vcd(path)"),
    TARN_STATIC("from_vcd_string", from_vcd_string, "from_vcd_string(data)"),
    TARN_STATIC("from_fst", from_fst, "from_fst(path)"),
    TARN_STATIC("from_fsdb", from_fsdb, "from_fsdb(path)"),
    TARN_STATIC("from_shm", from_shm, "from_shm(path)"),
    TARN_STATIC("from_vpd", from_vpd, "from_vpd(path)"),
    TARN_STATIC("from_wlf", from_wlf, "from_wlf(path)"),
    TARN_ENTRY("signal_names", signal_names, "signal_names($self)", ""),
    TARN_ENTRY("scopes", scopes, "scopes($self)", ""),
    TARN_ENTRY("max_index", max_index, "max_index($self)", ""),
    TARN_ENTRY("timestamp", timestamp, "timestamp($self, index)", ""),
    TARN_ENTRY("signal_id", signal_id, "signal_id($self, name)", ""),
    TARN_ENTRY("signal_width", signal_width, "signal_width($self, name)", ""),
    TARN_ENTRY("signal_value", signal_value, "signal_value($self, name, index)", ""),
    TARN_ENTRY("signal_value_raw", signal_value_raw, "signal_value_raw($self, name, index)", ""),
    TARN_ENTRY("signal_values_range", signal_values_range,
               "signal_values_range($self, name, start, end)", ""),
    TARN_ENTRY("find", trace_find, "find($self, expr)", ""),
    TARN_ENTRY("parallel_find", trace_parallel_find, "parallel_find($self, expr)",
               "Find matching indices using rayon parallel iteration across all CPU cores."),
    TARN_ENTRY("parallel_count", trace_parallel_count, "parallel_count($self, expr)",
               "Count matching indices using rayon parallel iteration."),
    TARN_ENTRY("find_with_values", trace_find_with_values,
               "find_with_values($self, expr, signal_names)",
               "Find with value extraction in one pass: returns list of (index, [values]) tuples.\n"
               "Resolves signal IDs once upfront, uses signal_value_by_id in the hot loop."),
    TARN_ENTRY("eval_expr", trace_eval_expr, "eval_expr($self, expr, index)", ""),
    TARN_ENTRY("eval_expr_bool", trace_eval_expr_bool, "eval_expr_bool($self, expr, index)", ""),
    TARN_ENTRY("changed_at", trace_changed_at, "changed_at($self, index)",
               "Get all signals that changed value at a specific index.\n"
               "Returns list of (name, old_value, new_value) tuples."),
    TARN_ENTRY("changed_at_scope", trace_changed_at_scope, "changed_at_scope($self, index, scope)",
               "Get signals that changed at index within a scope."),
    TARN_ENTRY("transitions", trace_transitions, "transitions($self, name)",
               "Get all transitions for a signal: [(index, old, new), ...]"),
    TARN_ENTRY("snapshot", trace_snapshot, "snapshot($self, index)",
               "Snapshot: get all signal values at a specific index as a dict.\n"
               "Uses signal_value_by_id for O(1) access per signal."),
    TARN_ENTRY("snapshot_scope", trace_snapshot_scope, "snapshot_scope($self, index, scope)",
               "Snapshot within a scope.\n"
               "Uses signal_value_by_id for O(1) access per signal."),
    TARN_ENTRY("local_scopes", trace_local_scopes, "local_scopes($self, scope_name)", ""),
    TARN_ENTRY("local_signals", trace_local_signals, "local_signals($self, scope_name)", ""),
    TARN_ENTRY("resolve", trace_resolve, "resolve($self, scope_name, short_name)", ""),
    TARN_ENTRY("find_signals_glob", trace_find_signals_glob, "find_signals_glob($self, pattern)",
               "Find signals matching a glob pattern."),
    TARN_ENTRY("find_signals_containing", trace_find_signals_containing,
               "find_signals_containing($self, substring)",
               "Find signals containing a substring (case-insensitive)."),
    TARN_ENTRY("signal_stats", trace_signal_stats, "signal_stats($self, name)",
               "Compute stats for a signal: (min, max, sum, count, transitions, num_x, num_z)"),
    TARN_ENTRY("bit_slice_val", trace_bit_slice_val, "bit_slice_val($self, val, high, low)", ""),
    TARN_ENTRY("sign_extend_val", trace_sign_extend_val, "sign_extend_val($self, val, width)", ""),
    // Beside the table above: loading with options, time, and values at full width.
    TARN_STATIC_DOC(
        "load", load, "load(path, format, signals)",
        "Load the dump at path with the reader of format (\"vcd\", \"fst\", \"fsdb\", \"shm\",\n"
        "\"vpd\" or \"wlf\"), keeping only the signals whose names match one of the glob\n"
        "patterns in signals (a str is one pattern; None keeps every signal). A file compressed\n"
        "with gzip or zstd is decompressed as it is read."),
    TARN_STATIC_DOC("read_head", read_head, "read_head(path, size)",
                    "The first size bytes of the file's content, decompressed when the file is\n"
                    "gzip- or zstd-compressed."),
    TARN_ENTRY("timescale", trace_timescale, "timescale($self)",
               "The unit of the time stamps as (multiplier, unit), unit one of s, ms, us, ns, ps,\n"
               "fs: (10, \"ps\") when a time stamp counts 10 ps. None when the dump does not say."),
    TARN_ENTRY("index_at", trace_index_at, "index_at($self, time)",
               "The index of the last time stamp at or before time (with repeated time stamps,\n"
               "the last of them); None before the first."),
    TARN_ENTRY("signal_bits", trace_signal_bits, "signal_bits($self, name, index)",
               "The value as a text of 0, 1, x and z, most significant bit first, at the signal's\n"
               "declared width (shorter values extended as a VCD reader extends them); None for\n"
               "no value, reals, texts and unknown names."),
    TARN_ENTRY("signal_int", trace_signal_int, "signal_int($self, name, index)",
               "The two-state value at full width as an int of any size; None when the value has\n"
               "an x or z bit, is a real or a text, or there is none."),
    // For the Python layer's arrays and frames (tarn.Trace): bytes that NumPy views.
    TARN_ENTRY("_frame", trace_frame, "_frame($self, names, start, end, kinds)",
               "The rows, times and columns of a frame (see tarn.Trace.to_pandas)."),
    TARN_ENTRY("_frame_at", trace_frame_at, "_frame_at($self, names, rows, kinds)",
               "The same at given ascending rows (see tarn.Trace.values_at)."),
    TARN_ENTRY("_times", trace_times, "_times($self)",
               "Every time stamp as little-endian 64-bit words (see tarn.Trace.times)."),
    TARN_ENTRY("value_kinds", trace_value_kinds, "value_kinds($self, name)",
               "The kinds of value the signal holds at any index, as a frozenset of \"int\",\n"
               "\"wide\", \"logic\", \"real\" and \"str\"; empty for an unknown name or a signal\n"
               "without values."),
    TARN_ENTRY(
        "real_stats", trace_real_stats, "real_stats($self, name)",
        "Statistics of the signal's real values: (min, max, mean, count), each value\n"
        "weighted by the indices it holds as in signal_stats; None when it holds none. A NaN\n"
        "counts and makes the mean NaN; min and max are those of the other values (NaN when\n"
        "every value is NaN)."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* make_trace_type(PyObject* module) {
    PyObject* type = make_type<PyTraceObject>(module, "tarn._core.PyTrace", trace_methods);
    if (!type) return nullptr;
    // Loaders are static methods and get no type argument; the module is created once per
    // process, so one pointer suffices.
    g_trace_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace tarn::py
