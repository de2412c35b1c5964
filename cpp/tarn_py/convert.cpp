#include "tarn_py/convert.h"

#include <cstdio>
#include <string>

namespace tarn::py {

PyObject* value_to_py(const SignalValue& v) {
    switch (v.tag()) {
        case Tag::Int:
            return PyLong_FromUnsignedLongLong(v.as_int());
        case Tag::Wide:
            return PyLong_FromUnsignedLongLong(v.as_wide().empty() ? 0 : v.as_wide()[0]);
        case Tag::Real:
            return PyFloat_FromDouble(v.as_real());
        case Tag::Str:
            // Stored texts are UTF-8; replacement keeps a damaged one readable instead of failing.
            return PyUnicode_DecodeUTF8(v.as_str().data(), Py_ssize_t(v.as_str().size()),
                                        "replace");
        case Tag::Logic:
        case Tag::Missing:
            break;
    }
    Py_RETURN_NONE;
}

PyObject* run_to_py(const Column& c, size_t r) {
    switch (c.run_tag(r)) {
        case Tag::Int:
            return PyLong_FromUnsignedLongLong(c.run_int(r));
        case Tag::Logic:
        case Tag::Missing:
            Py_RETURN_NONE;
        default:
            return value_to_py(c.run_value(r));
    }
}

PyObject* value_at_to_py(const Column* c, uint64_t i, size_t& r) {
    if (!c || !c->num_runs() || i >= c->end() || i < c->run_start(0)) Py_RETURN_NONE;
    if (r == Column::npos) r = c->find_run(i);
    while (r + 1 < c->num_runs() && c->run_start(r + 1) <= i) ++r;
    return run_to_py(*c, r);
}

// A Python int of any size from its words, least significant first.
PyObject* words_to_py(const SignalValue::Words& words) {
    if (words.size() <= 1) return PyLong_FromUnsignedLongLong(words.empty() ? 0 : words[0]);
    std::string hex;
    hex.reserve(words.size() * 16);
    char buf[17];
    for (size_t w = words.size(); w-- > 0;) {
        std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(words[w]));
        hex += buf;
    }
    return PyLong_FromString(hex.c_str(), nullptr, 16);
}

}  // namespace tarn::py
