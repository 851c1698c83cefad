#pragma once

#include <pybind11/pybind11.h>

#include "errors.h"

/* Walks a dict's entries in order, handing out borrowed key and value. On
 * CPython this is PyDict_Next over the live table. PyPy's PyDict_Next aborts
 * the process when the dict changes under it, so there the walk goes over a
 * snapshot of the items taken at the start. */
class dict_entries {
public:
    explicit dict_entries(PyObject *dict) : dict(dict) {
#if defined(PYPY_VERSION)
        items = pybind11::reinterpret_steal<pybind11::object>(PyDict_Items(dict));
        if (!items) throw_pending_error();
#endif
    }

    bool next(PyObject *&key, PyObject *&value) {
#if defined(PYPY_VERSION)
        if (position == PyList_GET_SIZE(items.ptr())) return false;
        PyObject *entry = PyList_GET_ITEM(items.ptr(), position++);
        key = PyTuple_GET_ITEM(entry, 0);
        value = PyTuple_GET_ITEM(entry, 1);
        return true;
#else
        return PyDict_Next(dict, &position, &key, &value) != 0;
#endif
    }

private:
    PyObject *dict;
    Py_ssize_t position = 0;
#if defined(PYPY_VERSION)
    pybind11::object items;
#endif
};
