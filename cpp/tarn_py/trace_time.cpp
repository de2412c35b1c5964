// Time: the unit of the time stamps, and the sample index of a time.
#include "tarn_py/args.h"
#include "tarn_py/trace_object.h"

namespace tarn::py {

TARN_METHOD(trace_timescale) {
    if (!no_args("timescale", nargs, kwnames)) return nullptr;
    const auto& ts = trace_of(self).timescale();
    if (!ts) Py_RETURN_NONE;
    return Py_BuildValue("(ks)", static_cast<unsigned long>(ts->multiplier), ts->unit());
}

TARN_METHOD(trace_index_at) {
    TARN_ARGS("index_at", "time");
    uint64_t time;
    if (!arg_u64(a[0], "time", &time)) return nullptr;
    auto index = trace_of(self).index_at(time);
    if (!index) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*index);
}

}  // namespace tarn::py
