#pragma once

#include <pybind11/pybind11.h>

#include "builtin_values.h"
#include "errors.h"

#include <cstdint>

/* The items of a list or tuple, by position, as the encoder writes them,
 * and the check that a list still has the size its head was written with.
 *
 * CPython lends each item from the object's own storage when it is asked
 * for, so Python code run in between (a hook of an earlier item) is seen.
 *
 * On PyPy an exact tuple's items were all handed to C with the tuple and
 * are lent likewise. An exact list's items are lent from a snapshot taken
 * at the start (items_snapshot), which hands them all over at once; once
 * Python code may have run (the count `hooks_run` moved on), the rest are
 * fetched from the list itself, as CPython would read them. Until then the
 * snapshot's size stands for the list's: taking it ran Python code, during
 * which another thread may have changed the list. A subclass instance's
 * item is fetched by subscription (subscript_item), which honours its
 * __getitem__ and passes its errors on. Raises when an item cannot be
 * handed over. */
class sequence_items {
public:
#if defined(PYPY_VERSION)
    using item = pybind11::object;

    sequence_items(PyObject *sequence, const uint64_t &hooks_run)
        : sequence(sequence), hooks_run(hooks_run), hooks_run_at_start(hooks_run) {
        if (PyList_CheckExact(sequence)) {
            snapshot = pybind11::reinterpret_steal<pybind11::object>(items_snapshot(sequence));
            if (!snapshot) throw_pending_error();
        }
    }

    bool list_size_is(Py_ssize_t count) const {
        if (snapshot_is_current()) return PyTuple_GET_SIZE(snapshot.ptr()) == count;
        return checked_size(read_list_size(sequence)) == count;
    }

    item at(Py_ssize_t index) const {
        if (PyTuple_CheckExact(sequence)) return pybind11::reinterpret_borrow<item>(PyTuple_GET_ITEM(sequence, index));
        if (snapshot_is_current()) return pybind11::reinterpret_borrow<item>(PyTuple_GET_ITEM(snapshot.ptr(), index));
        auto fetched = pybind11::reinterpret_steal<item>(subscript_item(sequence, index));
        if (!fetched) throw_pending_error();
        return fetched;
    }

private:
    bool snapshot_is_current() const { return snapshot && hooks_run == hooks_run_at_start; }

    PyObject *sequence;
    const uint64_t &hooks_run;
    const uint64_t hooks_run_at_start;
    pybind11::object snapshot;
#else
    using item = pybind11::handle;

    sequence_items(PyObject *sequence, const uint64_t &) : sequence(sequence) {}

    bool list_size_is(Py_ssize_t count) const { return PyList_GET_SIZE(sequence) == count; }

    item at(Py_ssize_t index) const { return PySequence_Fast_GET_ITEM(sequence, index); }

private:
    PyObject *sequence;
#endif
};
