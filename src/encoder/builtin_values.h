#pragma once
/*
 * The contents and sizes of str, bytes, float, list, tuple and dict objects,
 * subclass instances included, read from the objects themselves: no
 * override (__len__, __float__, __str__, encode, ...) is consulted.
 *
 * CPython's macros read the object's own storage. PyPy's C-API sizes a
 * subclass instance by calling its __len__ and reads a float subclass
 * through __float__, so there a str or bytes subclass instance is first
 * copied into an exact str's UTF-8 form or an exact bytes object, and the
 * size of a container subclass comes from its base type's own __len__.
 * Every failure of these reads leaves a Python error set.
 */

#include <pybind11/pybind11.h>

#include "errors.h"

#include <cstdint>

/* Bytes of a str's UTF-8 form or of a bytes object, valid while `owner`
 * (null when the object itself owns them) and the object live. */
struct byte_contents {
    const char *data = nullptr;
    Py_ssize_t size = 0;
    pybind11::object owner;
};

/* The UTF-8 form of a str; false when it has none (a lone surrogate:
 * UnicodeEncodeError) or it cannot be made (MemoryError). */
bool read_utf8(PyObject *text, byte_contents &out);

/* The contents of a bytes object; false when they cannot be read. */
bool read_bytes(PyObject *bytes, byte_contents &out);

/* The value of a float, from the object's own field (a function call on
 * PyPy otherwise). */
inline double read_float(PyObject *number) {
    return reinterpret_cast<PyFloatObject *>(number)->ob_fval;
}

#if !defined(PYPY_VERSION)
/* An int's value when the object holds it in a single machine word, read
 * from its digits; false for larger values. */
inline bool read_compact_int(PyObject *number, int64_t &out) {
#if PY_VERSION_HEX >= 0x030C0000
    const auto *const value = reinterpret_cast<PyLongObject *>(number);
    if (!PyUnstable_Long_IsCompact(value)) return false;
    out = PyUnstable_Long_CompactValue(value);
    return true;
#else
    const Py_ssize_t digits = Py_SIZE(number);
    if (digits < -1 || digits > 1) return false;
    out = digits * static_cast<int64_t>(reinterpret_cast<PyLongObject *>(number)->ob_digit[0]);
    return true;
#endif
}
#endif

/* The number of items of a list, tuple or dict; -1 when it cannot be read. */
Py_ssize_t read_list_size(PyObject *list);
Py_ssize_t read_tuple_size(PyObject *tuple);
Py_ssize_t read_dict_size(PyObject *dict);

#if defined(PYPY_VERSION)
/*
 * PyPy hands an object to C by making a C copy of it, and of its items when
 * it is a tuple. Of the C-API's ways to receive objects, only subscription
 * reports a failure to do so (an item whose __len__ raises, memory running
 * out) as an error: PyList_GET_ITEM and PySequence_GetItem turn the whole
 * list into C storage, which PyPy leaves corrupt when that fails, and
 * PyIter_Next, PyDict_Next, PyList_AsTuple and PySequence_Tuple abort the
 * process. So every item reaches the encoder through one of these two.
 */

/* sequence[index] by subscription, a new reference; null with an error set.
 * The index objects of the first 65,536 positions are made once and kept. */
PyObject *subscript_item(PyObject *sequence, Py_ssize_t index);

/* An exact list's items as one tuple, or a dict's keys and values (its own
 * storage, for a subclass instance too) as a tuple of two tuples in the
 * same order: a new reference, handed over with all its items in one
 * subscription; null with an error set. */
PyObject *items_snapshot(PyObject *container);
#endif

/* A size read above; raises the pending error when it could not be read. */
inline Py_ssize_t checked_size(Py_ssize_t size) {
    if (size < 0) throw_pending_error();
    return size;
}

#if !defined(PYPY_VERSION)
/* A compact ASCII str's characters are its UTF-8 form. */
inline bool read_utf8(PyObject *text, byte_contents &out) {
    if (PyUnicode_IS_COMPACT_ASCII(text)) {
        out.data = static_cast<const char *>(PyUnicode_DATA(text));
        out.size = PyUnicode_GET_LENGTH(text);
        return true;
    }
    out.data = PyUnicode_AsUTF8AndSize(text, &out.size);
    return out.data != nullptr;
}

inline bool read_bytes(PyObject *bytes, byte_contents &out) {
    out.data = PyBytes_AS_STRING(bytes);
    out.size = PyBytes_GET_SIZE(bytes);
    return true;
}

inline Py_ssize_t read_list_size(PyObject *list) {
    return PyList_GET_SIZE(list);
}

inline Py_ssize_t read_tuple_size(PyObject *tuple) {
    return PyTuple_GET_SIZE(tuple);
}

inline Py_ssize_t read_dict_size(PyObject *dict) {
    return PyDict_GET_SIZE(dict);
}
#endif
