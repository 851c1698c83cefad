#pragma once

#include <pybind11/pybind11.h>

#include "errors.h"

/* Walks a dict's entries in order, handing out borrowed key and value. On
 * CPython this is PyDict_Next over the live table. PyPy's PyDict_Next aborts
 * the process when the dict changes under it, and consults a subclass's
 * __len__ and __getitem__, so there the walk goes over a snapshot of the
 * items taken at the start, from a copy of the dict's own storage when the
 * dict is a subclass instance. Raises when an entry cannot be handed out. */
class dict_entries {
public:
    explicit dict_entries(PyObject *dict) : dict(dict) {
#if defined(PYPY_VERSION)
        pybind11::object exact_copy;
        if (!PyDict_CheckExact(dict)) {
            exact_copy = pybind11::reinterpret_steal<pybind11::object>(PyDict_Copy(dict));
            if (!exact_copy) throw_pending_error();
        }
        items = pybind11::reinterpret_steal<pybind11::object>(PyDict_Items(exact_copy ? exact_copy.ptr() : dict));
        if (!items) throw_pending_error();
        count = PyList_GET_SIZE(items.ptr());
#endif
    }

    bool next(PyObject *&key, PyObject *&value) {
#if defined(PYPY_VERSION)
        if (position == count) return false;
        /* Handing an item to C allocates on PyPy, and may fail. */
        PyObject *entry = PyList_GET_ITEM(items.ptr(), position++);
        if (entry == nullptr) throw_pending_error();
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
    Py_ssize_t count = 0;
#endif
};
