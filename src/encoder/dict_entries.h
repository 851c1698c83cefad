#pragma once

#include <pybind11/pybind11.h>

#include "builtin_values.h"
#include "errors.h"

#include <cstdint>

/* Walks a dict's entries in order, handing out borrowed key and value, and
 * checks that the dict still has the size its head was written with.
 *
 * On CPython this is PyDict_Next over the live table, and the size is read
 * from the dict before every entry.
 *
 * PyPy's PyDict_Next aborts the process when the dict changes under it, and
 * consults a subclass's __len__ and __getitem__, so there the walk goes over
 * a list of the items taken at the start (from a copy of the dict's own
 * storage when it is a subclass instance), each (key, value) tuple fetched
 * by subscription (subscript_item) and held while its entry is written.
 * Until Python code may have run (the count `hooks_run` moved on), the dict
 * cannot have changed, and its size is not read again. Raises when an entry
 * cannot be handed over. */
class dict_entries {
public:
#if defined(PYPY_VERSION)
    dict_entries(PyObject *dict, const uint64_t &hooks_run)
        : dict(dict), hooks_run(hooks_run), hooks_run_at_start(hooks_run) {
        pybind11::object exact_copy;
        if (!PyDict_CheckExact(dict)) {
            exact_copy = pybind11::reinterpret_steal<pybind11::object>(PyDict_Copy(dict));
            if (!exact_copy) throw_pending_error();
        }
        items = pybind11::reinterpret_steal<pybind11::object>(PyDict_Items(exact_copy ? exact_copy.ptr() : dict));
        if (!items) throw_pending_error();
        count = PyList_GET_SIZE(items.ptr());
    }

    bool size_is(Py_ssize_t expected) const {
        return hooks_run == hooks_run_at_start || checked_size(read_dict_size(dict)) == expected;
    }

    bool next(PyObject *&key, PyObject *&value) {
        if (position == count) return false;
        entry = pybind11::reinterpret_steal<pybind11::object>(subscript_item(items.ptr(), position++));
        if (!entry) throw_pending_error();
        key = PyTuple_GET_ITEM(entry.ptr(), 0);
        value = PyTuple_GET_ITEM(entry.ptr(), 1);
        return true;
    }

private:
    PyObject *dict;
    const uint64_t &hooks_run;
    const uint64_t hooks_run_at_start;
    pybind11::object items;
    pybind11::object entry;
    Py_ssize_t count = 0;
    Py_ssize_t position = 0;
#else
    dict_entries(PyObject *dict, const uint64_t &) : dict(dict) {}

    bool size_is(Py_ssize_t expected) const { return PyDict_GET_SIZE(dict) == expected; }

    bool next(PyObject *&key, PyObject *&value) { return PyDict_Next(dict, &position, &key, &value) != 0; }

private:
    PyObject *dict;
    Py_ssize_t position = 0;
#endif
};
