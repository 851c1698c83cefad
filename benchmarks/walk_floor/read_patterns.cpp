/*
 * The ways a C extension can read the elements of a flat list, tuple or dict
 * through the C-API, each on its own, so that their cost per element can be
 * compared (benchmarks/read_patterns.py). Through PyPy's C-API emulation every
 * call crosses into the interpreter, and what a call costs there differs
 * from CPython: this is where the walk floor's choices for PyPy come from.
 *
 * read_sequence(container, fetch, read) and read_dict(dict, fetch, read):
 * - fetch: how each element (each key and value) is reached;
 * - read: what is then read from a scalar element: "none" (nothing: the
 *   fetch alone), "api" (the reading functions: PyLong_AsLongLongAndOverflow,
 *   PyUnicode_AsUTF8AndSize, PyFloat_AsDouble) or "field" (the object's own
 *   fields where the headers publish them: a float's value, a str's cached
 *   UTF-8 copy when present).
 * Both return a digest of what they read.
 */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace {
struct digest {
    uint64_t state = 0;
    void add(uint64_t value) { state = (state ^ value) * 0x100000001B3ULL; }
};

enum class read_mode { none, api, field };

bool read_scalar(PyObject *object, read_mode mode, digest &sum) {
    if (mode == read_mode::none) {
        sum.add(reinterpret_cast<uintptr_t>(object));
        return true;
    }
    PyTypeObject *const type = Py_TYPE(object);
    if (type == &PyLong_Type) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (value == -1 && PyErr_Occurred()) return false;
        sum.add(static_cast<uint64_t>(value));
        return true;
    }
    if (type == &PyFloat_Type) {
        const double value =
            mode == read_mode::field ? reinterpret_cast<PyFloatObject *>(object)->ob_fval : PyFloat_AsDouble(object);
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        sum.add(bits);
        return true;
    }
    if (type == &PyUnicode_Type) {
        Py_ssize_t size = 0;
        const char *utf8 = nullptr;
        if (mode == read_mode::field) {
#if defined(PYPY_VERSION)
            /* Every str that crosses into C gets a full PyUnicodeObject, whose UTF-8 cache is filled on demand. */
            utf8 = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8;
            size = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8_length;
#else
            if (PyUnicode_IS_COMPACT_ASCII(object)) {
                utf8 = reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(object) + 1);
                size = reinterpret_cast<PyASCIIObject *>(object)->length;
            } else if (PyUnicode_IS_COMPACT(object)) {
                utf8 = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8;
                size = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8_length;
            }
#endif
        }
        if (utf8 == nullptr) utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) return false;
        sum.add(reinterpret_cast<uintptr_t>(utf8) + static_cast<uint64_t>(size));
        return true;
    }
    PyErr_Format(PyExc_TypeError, "read_patterns: unexpected %s", type->tp_name);
    return false;
}

bool parse_read(const char *name, read_mode &mode) {
    if (std::strcmp(name, "none") == 0) {
        mode = read_mode::none;
    } else if (std::strcmp(name, "api") == 0) {
        mode = read_mode::api;
    } else if (std::strcmp(name, "field") == 0) {
        mode = read_mode::field;
    } else {
        PyErr_Format(PyExc_ValueError, "unknown read mode %s", name);
        return false;
    }
    return true;
}

/* Reads one owned element and releases it. */
bool read_owned(PyObject *element, read_mode mode, digest &sum) {
    if (element == nullptr) return false;
    const bool read = read_scalar(element, mode, sum);
    Py_DECREF(element);
    return read;
}

bool read_items(PyObject *const *items, Py_ssize_t count, read_mode mode, digest &sum) {
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (!read_scalar(items[index], mode, sum)) return false;
    }
    return true;
}

bool read_iterator(PyObject *iterable, read_mode mode, digest &sum, bool pairs) {
    PyObject *iterator = PyObject_GetIter(iterable);
    if (iterator == nullptr) return false;
    bool read = true;
    while (PyObject *element = PyIter_Next(iterator)) {
        if (pairs) {
            read = read_items(&PyTuple_GET_ITEM(element, 0), 2, mode, sum);
            Py_DECREF(element);
        } else {
            read = read_owned(element, mode, sum);
        }
        if (!read) break;
    }
    Py_DECREF(iterator);
    return read && !PyErr_Occurred();
}

/* fetch: "index_object" (sequence[index] with an int object for the index,
 * PyObject_GetItem), "sequence_getitem" (PySequence_GetItem), "getitem"
 * (PyList_GetItem / PyTuple_GetItem, borrowed), "get_item" (the
 * PyList_GET_ITEM / PyTuple_GET_ITEM macros, borrowed), "fast_items"
 * (PySequence_Fast, then its item array), "iterator" (PyIter_Next). */
PyObject *read_sequence(PyObject *, PyObject *arguments) {
    PyObject *sequence;
    const char *fetch;
    const char *read_name;
    if (!PyArg_ParseTuple(arguments, "Oss", &sequence, &fetch, &read_name)) return nullptr;
    read_mode mode;
    if (!parse_read(read_name, mode)) return nullptr;
    const bool is_list = Py_TYPE(sequence) == &PyList_Type;
    if (!is_list && Py_TYPE(sequence) != &PyTuple_Type) {
        PyErr_SetString(PyExc_TypeError, "a list or a tuple");
        return nullptr;
    }
    const Py_ssize_t count = is_list ? PyList_GET_SIZE(sequence) : PyTuple_GET_SIZE(sequence);
    digest sum;
    bool read = true;
    if (std::strcmp(fetch, "index_object") == 0) {
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            PyObject *position = PyLong_FromSsize_t(index);
            if (position == nullptr) return nullptr;
            read = read_owned(PyObject_GetItem(sequence, position), mode, sum);
            Py_DECREF(position);
        }
    } else if (std::strcmp(fetch, "sequence_getitem") == 0) {
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            read = read_owned(PySequence_GetItem(sequence, index), mode, sum);
        }
    } else if (std::strcmp(fetch, "getitem") == 0) {
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            PyObject *item = is_list ? PyList_GetItem(sequence, index) : PyTuple_GetItem(sequence, index);
            read = item != nullptr && read_scalar(item, mode, sum);
        }
    } else if (std::strcmp(fetch, "get_item") == 0) {
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            read = read_scalar(is_list ? PyList_GET_ITEM(sequence, index) : PyTuple_GET_ITEM(sequence, index), mode,
                               sum);
        }
    } else if (std::strcmp(fetch, "fast_items") == 0) {
        PyObject *fast = PySequence_Fast(sequence, "a sequence");
        if (fast == nullptr) return nullptr;
        read = read_items(PySequence_Fast_ITEMS(fast), PySequence_Fast_GET_SIZE(fast), mode, sum);
        Py_DECREF(fast);
    } else if (std::strcmp(fetch, "iterator") == 0) {
        read = read_iterator(sequence, mode, sum, false);
    } else {
        PyErr_Format(PyExc_ValueError, "unknown sequence fetch %s", fetch);
        return nullptr;
    }
    if (!read) return nullptr;
    return PyLong_FromUnsignedLongLong(sum.state);
}

/* fetch: "dict_next" (PyDict_Next), "items_list" (PyDict_Items, then the
 * list's and each pair's item arrays), "keys_getitem" (PyDict_Keys, then
 * PyDict_GetItem per key), "keys_values" (PyDict_Keys and PyDict_Values, then
 * their item arrays side by side: no pair tuples), "items_iterator"
 * (PyIter_Next over dict.items()). */
PyObject *read_dict(PyObject *, PyObject *arguments) {
    PyObject *dict;
    const char *fetch;
    const char *read_name;
    if (!PyArg_ParseTuple(arguments, "O!ss", &PyDict_Type, &dict, &fetch, &read_name)) return nullptr;
    read_mode mode;
    if (!parse_read(read_name, mode)) return nullptr;
    digest sum;
    bool read = true;
    if (std::strcmp(fetch, "dict_next") == 0) {
        Py_ssize_t position = 0;
        PyObject *key;
        PyObject *value;
        while (read && PyDict_Next(dict, &position, &key, &value)) {
            read = read_scalar(key, mode, sum) && read_scalar(value, mode, sum);
        }
    } else if (std::strcmp(fetch, "items_list") == 0) {
        PyObject *items = PyDict_Items(dict);
        if (items == nullptr) return nullptr;
        PyObject *const *pairs = PySequence_Fast_ITEMS(items);
        const Py_ssize_t count = PyList_GET_SIZE(items);
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            read = read_items(&PyTuple_GET_ITEM(pairs[index], 0), 2, mode, sum);
        }
        Py_DECREF(items);
    } else if (std::strcmp(fetch, "keys_getitem") == 0) {
        PyObject *keys = PyDict_Keys(dict);
        if (keys == nullptr) return nullptr;
        PyObject *const *key_items = PySequence_Fast_ITEMS(keys);
        const Py_ssize_t count = PyList_GET_SIZE(keys);
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            PyObject *value = PyDict_GetItem(dict, key_items[index]);
            read = value != nullptr && read_scalar(key_items[index], mode, sum) && read_scalar(value, mode, sum);
        }
        Py_DECREF(keys);
    } else if (std::strcmp(fetch, "keys_values") == 0) {
        PyObject *keys = PyDict_Keys(dict);
        if (keys == nullptr) return nullptr;
        PyObject *values = PyDict_Values(dict);
        if (values == nullptr) {
            Py_DECREF(keys);
            return nullptr;
        }
        PyObject *const *key_items = PySequence_Fast_ITEMS(keys);
        PyObject *const *value_items = PySequence_Fast_ITEMS(values);
        const Py_ssize_t count = PyList_GET_SIZE(keys);
        for (Py_ssize_t index = 0; read && index < count; ++index) {
            read = read_scalar(key_items[index], mode, sum) && read_scalar(value_items[index], mode, sum);
        }
        Py_DECREF(values);
        Py_DECREF(keys);
    } else if (std::strcmp(fetch, "items_iterator") == 0) {
        PyObject *items = PyObject_CallMethod(dict, "items", nullptr);
        if (items == nullptr) return nullptr;
        read = read_iterator(items, mode, sum, true);
        Py_DECREF(items);
    } else {
        PyErr_Format(PyExc_ValueError, "unknown dict fetch %s", fetch);
        return nullptr;
    }
    if (!read) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "read_patterns: an element could not be read");
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(sum.state);
}

PyMethodDef methods[] = {
    {"read_sequence", read_sequence, METH_VARARGS, "read_sequence(list_or_tuple, fetch, read) -> digest"},
    {"read_dict", read_dict, METH_VARARGS, "read_dict(dict, fetch, read) -> digest"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "read_patterns", nullptr, -1, methods};
}  // namespace

PyMODINIT_FUNC PyInit_read_patterns() {
    return PyModule_Create(&module_definition);
}
