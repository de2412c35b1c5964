// Values at full width: the bits of any vector, and two-state values as Python ints of any size.
#include <string>

#include "tarn_py/args.h"
#include "tarn_py/convert.h"
#include "tarn_py/trace_object.h"

namespace tarn::py {

TARN_METHOD(trace_signal_bits) {
    TARN_ARGS("signal_bits", "name", "index");
    std::string_view name;
    uint64_t index;
    if (!arg_str(a[0], "name", &name) || !arg_index(a[1], "index", &index)) return nullptr;
    return guarded([&]() -> PyObject* {
        const Trace& t = trace_of(self);
        if (!t.signal_id(name)) Py_RETURN_NONE;
        auto bits = value_bits(t.signal_value(name, index), t.signal_width(name));
        if (!bits) Py_RETURN_NONE;
        return PyUnicode_FromStringAndSize(bits->data(), Py_ssize_t(bits->size()));
    });
}

TARN_METHOD(trace_signal_int) {
    TARN_ARGS("signal_int", "name", "index");
    std::string_view name;
    uint64_t index;
    if (!arg_str(a[0], "name", &name) || !arg_index(a[1], "index", &index)) return nullptr;
    return guarded([&]() -> PyObject* {
        auto words = two_state_words(trace_of(self).signal_value(name, index));
        if (!words) Py_RETURN_NONE;
        return words_to_py(*words);
    });
}

TARN_METHOD(trace_value_kinds) {
    TARN_ARGS("value_kinds", "name");
    std::string_view name;
    if (!arg_str(a[0], "name", &name)) return nullptr;
    return guarded([&]() -> PyObject* {
        const Trace& t = trace_of(self);
        auto id = t.signal_id(name);
        const Column* c = id ? t.column(*id) : nullptr;
        uint8_t tags = c ? c->tags_present() : 0;
        static const char* const kinds[] = {"int", "wide", "logic", "real", "str"};
        PyObject* set = PyFrozenSet_New(nullptr);
        for (int k = 0; set && k < 5; ++k) {
            if (!(tags & (1u << k))) continue;
            PyObject* s = PyUnicode_FromString(kinds[k]);
            if (!s || PySet_Add(set, s) < 0) Py_CLEAR(set);
            Py_XDECREF(s);
        }
        return set;
    });
}

}  // namespace tarn::py
