// Names and name lists as Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <string_view>
#include <vector>

namespace tarn::py {

// Names are UTF-8; replacement keeps a damaged one readable instead of failing the query.
inline PyObject* name_to_py(std::string_view s) {
    return PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
}

// A new list of str (new reference), or nullptr with an exception set.
inline PyObject* name_list_to_py(const std::vector<std::string>& names) {
    PyObject* list = PyList_New(Py_ssize_t(names.size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < names.size(); ++i) {
        PyObject* s = name_to_py(names[i]);
        if (!s) {
            Py_DECREF(list);
            return nullptr;
        }
        PyList_SET_ITEM(list, Py_ssize_t(i), s);
    }
    return list;
}

}  // namespace tarn::py
