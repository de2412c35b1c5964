// Signal statistics and value helpers.
#include "query/stats.h"
#include "tarn_py/args.h"
#include "tarn_py/trace_object.h"

namespace tarn::py {

TARN_METHOD(trace_signal_stats) {
    TARN_ARGS("signal_stats", "name");
    std::string_view name;
    if (!arg_str(a[0], "name", &name)) return nullptr;
    return guarded([&] {
        query::SignalStats s = query::compute_stats(trace_of(self), name);
        return Py_BuildValue("(KKKKKKK)", (unsigned long long)s.min, (unsigned long long)s.max,
                             (unsigned long long)s.sum, (unsigned long long)s.count,
                             (unsigned long long)s.transitions, (unsigned long long)s.num_x,
                             (unsigned long long)s.num_z);
    });
}

TARN_METHOD(trace_real_stats) {
    TARN_ARGS("real_stats", "name");
    std::string_view name;
    if (!arg_str(a[0], "name", &name)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto s = query::compute_real_stats(trace_of(self), name);
        if (!s) Py_RETURN_NONE;
        return Py_BuildValue("(dddK)", s->min, s->max, s->mean, (unsigned long long)s->count);
    });
}

TARN_METHOD(trace_bit_slice_val) {
    TARN_ARGS("bit_slice_val", "val", "high", "low");
    uint64_t val, high, low;
    if (!arg_u64(a[0], "val", &val) || !arg_index(a[1], "high", &high) ||
        !arg_index(a[2], "low", &low))
        return nullptr;
    return PyLong_FromUnsignedLongLong(query::bit_slice(val, high, low));
}

TARN_METHOD(trace_sign_extend_val) {
    TARN_ARGS("sign_extend_val", "val", "width");
    uint64_t val, width;
    if (!arg_u64(a[0], "val", &val) || !arg_index(a[1], "width", &width)) return nullptr;
    return PyLong_FromLongLong(query::sign_extend(val, width));
}

}  // namespace tarn::py
