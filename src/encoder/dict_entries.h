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
 * a snapshot of the dict's own keys and values, taken at the start from one
 * copy of the dict (items_snapshot). Until Python code of an element may
 * have run (the count `hooks_run` moved on), the snapshot's size stands for
 * the dict's: taking it ran Python code, during which another thread may
 * have changed the dict. Raises when the entries cannot be handed over. */
class dict_entries {
public:
#if defined(PYPY_VERSION)
    dict_entries(PyObject *dict, const uint64_t &hooks_run)
        : dict(dict), hooks_run(hooks_run), hooks_run_at_start(hooks_run) {
        const auto snapshot = pybind11::reinterpret_steal<pybind11::object>(items_snapshot(dict));
        if (!snapshot) throw_pending_error();
        keys = pybind11::reinterpret_borrow<pybind11::object>(PyTuple_GET_ITEM(snapshot.ptr(), 0));
        values = pybind11::reinterpret_borrow<pybind11::object>(PyTuple_GET_ITEM(snapshot.ptr(), 1));
    }

    bool size_is(Py_ssize_t expected) const {
        if (hooks_run == hooks_run_at_start) return PyTuple_GET_SIZE(keys.ptr()) == expected;
        return checked_size(read_dict_size(dict)) == expected;
    }

    bool next(PyObject *&key, PyObject *&value) {
        if (position == PyTuple_GET_SIZE(keys.ptr())) return false;
        key = PyTuple_GET_ITEM(keys.ptr(), position);
        value = PyTuple_GET_ITEM(values.ptr(), position++);
        return true;
    }

private:
    PyObject *dict;
    const uint64_t &hooks_run;
    const uint64_t hooks_run_at_start;
    pybind11::object keys;
    pybind11::object values;
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
