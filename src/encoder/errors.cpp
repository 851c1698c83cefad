#include "errors.h"

#include <pybind11/pybind11.h>

#include <cstring>

namespace {
#if defined(PYPY_VERSION)
/* PyPy reports an allocation that fails while it hands an object to C as a
 * SystemError whose message is the repr of the MemoryError it met. */
void restore_memory_error() {
    if (!PyErr_ExceptionMatches(PyExc_SystemError)) return;
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyObject *const message = value == nullptr ? nullptr : PyUnicode_Check(value) ? (Py_INCREF(value), value) : PyObject_Str(value);
    const char *const text = message != nullptr ? PyUnicode_AsUTF8(message) : nullptr;
    constexpr const char memory_error_repr[] = "<MemoryError object";
    const bool out_of_memory = text != nullptr && std::strncmp(text, memory_error_repr, sizeof memory_error_repr - 1) == 0;
    Py_XDECREF(message);
    PyErr_Clear();
    if (out_of_memory) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        PyErr_NoMemory();
    } else {
        PyErr_Restore(type, value, traceback);
    }
}
#else
void restore_memory_error() {}
#endif
}  // namespace

void throw_memory_error() {
    PyErr_NoMemory();
    throw pybind11::error_already_set();
}

void throw_recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a CBOR value");
    throw pybind11::error_already_set();
}

void throw_pending_error() {
    restore_memory_error();
    throw pybind11::error_already_set();
}

bool pending_error_is_ordinary() {
    if (PyErr_Occurred() == nullptr) return true;
    restore_memory_error();
    PyObject *const type = PyErr_Occurred();
    return PyErr_GivenExceptionMatches(type, PyExc_Exception) && !PyErr_GivenExceptionMatches(type, PyExc_MemoryError);
}

void clear_ordinary_error() {
    if (!pending_error_is_ordinary()) throw pybind11::error_already_set();
    PyErr_Clear();
}
