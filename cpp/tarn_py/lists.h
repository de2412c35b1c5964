// Names, name lists and tuples as Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
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

// A new tuple of `items` (new references, which it steals); nullptr when any item is (an
// exception is then set) or the tuple cannot be made, with every item released.
inline PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    bool ok = true;
    for (PyObject* x : items) ok = ok && x;
    PyObject* t = ok ? PyTuple_New(Py_ssize_t(items.size())) : nullptr;
    Py_ssize_t k = 0;
    for (PyObject* x : items) {
        if (t)
            PyTuple_SET_ITEM(t, k++, x);
        else
            Py_XDECREF(x);
    }
    return t;
}

}  // namespace tarn::py
