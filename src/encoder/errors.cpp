#include "errors.h"

#include <pybind11/pybind11.h>

#include <cstring>

namespace {
#if defined(PYPY_VERSION)
/* PyPy reports an allocation that fails while it hands an object to C as a
 * SystemError whose message is the repr of the MemoryError it met. Fetching
 * an error costs PyPy a copy of every frame beneath its traceback: its own
 * SystemError has none, so this holds at any depth, but a SystemError that
 * a hook raised near PyPy's recursion limit still ends the process here. */
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

constexpr const char recursion_message[] = "maximum recursion depth exceeded while encoding a CBOR value";

bool is_ordinary(PyObject *type) {
    return PyErr_GivenExceptionMatches(type, PyExc_Exception) && !PyErr_GivenExceptionMatches(type, PyExc_MemoryError) &&
           !PyErr_GivenExceptionMatches(type, PyExc_RecursionError);
}

#if PY_VERSION_HEX < 0x030A0000 && !defined(PYPY_VERSION)
/* Up to CPython 3.9, a thread that passed the recursion limit is allowed 50
 * levels more to handle the error, and the process is ended if it goes past
 * those while the flag stays set (until its depth falls 50 levels below the
 * limit). Another hook call then could end it, so an ordinary error raised
 * in that state becomes RecursionError, with the error as its cause. */
void settle_recursion_error() {
    if (PyThreadState_Get()->overflowed != 0 && is_ordinary(PyErr_Occurred())) {
        _PyErr_FormatFromCause(PyExc_RecursionError, "%s", recursion_message);
    }
}
#else
void settle_recursion_error() {}
#endif

/* The pending error in the form the caller must see. */
void settle_pending_error() {
    restore_memory_error();
    settle_recursion_error();
}
}  // namespace

void throw_memory_error() {
    PyErr_NoMemory();
    throw python_error_pending();
}

void throw_recursion_error() {
    PyErr_SetString(PyExc_RecursionError, recursion_message);
    throw python_error_pending();
}

void throw_pending_error() {
    settle_pending_error();
    throw python_error_pending();
}

bool pending_error_is_ordinary() {
    if (PyErr_Occurred() == nullptr) return true;
    settle_pending_error();
    return is_ordinary(PyErr_Occurred());
}

void clear_ordinary_error() {
    if (!pending_error_is_ordinary()) throw python_error_pending();
    PyErr_Clear();
}
