// How the binding declares its methods and the types that list them. Every method takes
// METH_FASTCALL | METH_KEYWORDS arguments; its docstring starts with the text signature
// ("name($self, a)\n--\n\n"), from which Python's inspect reads the parameters.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

// Declares or defines a method (static methods get no self).
#define TARN_METHOD(name)                                                                   \
    PyObject* name([[maybe_unused]] PyObject* self, [[maybe_unused]] PyObject* const* args, \
                   Py_ssize_t nargs, PyObject* kwnames)

#define TARN_METHOD_FN(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))
// A method table entry: name, function, text signature and docstring.
#define TARN_ENTRY(name, fn, sig, doc) \
    { name, TARN_METHOD_FN(fn), METH_FASTCALL | METH_KEYWORDS, sig "\n--\n\n" doc }
// A static method's entry: name, function and text signature (and a docstring).
#define TARN_STATIC(name, fn, sig) \
    { name, TARN_METHOD_FN(fn), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, sig "\n--\n\n" }
#define TARN_STATIC_DOC(name, fn, sig, doc) \
    { name, TARN_METHOD_FN(fn), METH_FASTCALL | METH_KEYWORDS | METH_STATIC, sig "\n--\n\n" doc }

namespace tarn::py {

// tp_dealloc of a type whose instances are the struct T: runs T's destructor (its C++ members),
// frees the memory and drops the instance's reference to its heap type.
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    std::destroy_at(reinterpret_cast<T*>(self));
    PyObject_Free(self);
    Py_DECREF(tp);
}

// Creates the heap type `name` of the module, with instances of T and the given methods. Python
// can neither instantiate it (instances come from the module's functions) nor subclass it.
// Returns a new reference or nullptr. `name` and `methods` must outlive the type.
template <class T>
PyObject* make_type(PyObject* module, const char* name, PyMethodDef* methods) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<T>)},
        {Py_tp_methods, methods},
        {0, nullptr},
    };
    PyType_Spec type_shape = {
        name,  sizeof(T),
        0,     Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    return PyType_FromModuleAndSpec(module, &type_shape, nullptr);
}

}  // namespace tarn::py
