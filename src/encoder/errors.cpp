#include "errors.h"

#include <pybind11/pybind11.h>

void throw_memory_error() {
    PyErr_NoMemory();
    throw pybind11::error_already_set();
}

void throw_recursion_error() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding a CBOR value");
    throw pybind11::error_already_set();
}

void throw_pending_error() {
    throw pybind11::error_already_set();
}
