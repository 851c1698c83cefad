/*
 * The walk floor: the least work any C encoder must do to visit every node of
 * a value and read what it would write (an int's value, a float's value, a
 * str's UTF-8 bytes, a bytes object's pointer and length, a container's
 * size), without writing any output.
 *
 * It reads every node the cheapest way the interpreter allows, as the fastest
 * encoders do:
 * - dispatch on the exact type, one pointer comparison per candidate type;
 * - items and entries are borrowed, never reference-counted;
 * - scalars are read in the loop, only containers recurse;
 * - CPython: a compact ASCII str's characters are its UTF-8 bytes, read in
 *   place; another str's cached UTF-8 copy is used when it has one, and
 *   PyUnicode_AsUTF8AndSize is called (and fills that cache) otherwise; an
 *   int's value comes from its digits, a float's from its field, a list's and
 *   a tuple's items from their arrays;
 * - PyPy: the cheapest of the reads that survive an item PyPy cannot hand
 *   to C, as dumps makes them: a tuple's and a float's fields; a list's
 *   items, and a dict's keys and values, from one tuple that a subscription
 *   hands over at once (PySequence_Fast_ITEMS is cheaper on a list read
 *   before, but PyPy corrupts its heap when handing an item over fails
 *   there; benchmarks/read_patterns-pypy.md); the API for an int and for a
 *   str without its UTF-8 copy yet.
 * Values of any other type are refused, so that nothing slower hides here.
 */

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstring>

namespace {
/* Every value read is folded in, so the compiler cannot drop the reads. */
struct digest {
    uint64_t state = 0;
    void add(uint64_t value) { state = (state ^ value) * 0x100000001B3ULL; }
};

bool visit_container(PyObject *object, digest &sum);

bool read_int(PyObject *object, digest &sum) {
#if defined(PYPY_VERSION)
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0) {
        sum.add(static_cast<uint64_t>(value));
        return true;
    }
    const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(object);
    if (unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    sum.add(unsigned_value);
    return true;
#else
    const PyLongObject *number = reinterpret_cast<const PyLongObject *>(object);
#if PY_VERSION_HEX >= 0x030C0000
    const uintptr_t tag = number->long_value.lv_tag;
    const uintptr_t digits = tag >> _PyLong_NON_SIZE_BITS;
    const bool negative = (tag & 3) == 2;
    const digit *magnitude_digits = number->long_value.ob_digit;
#else
    const Py_ssize_t size = Py_SIZE(number);
    const size_t digits = static_cast<size_t>(size < 0 ? -size : size);
    const bool negative = size < 0;
    const digit *magnitude_digits = number->ob_digit;
#endif
    /* An encoder writes at most 64 bits: three 30-bit digits hold them. */
    if (digits > 3) {
        PyErr_SetString(PyExc_OverflowError, "walk floor: int wider than 64 bits");
        return false;
    }
    uint64_t magnitude = 0;
    for (size_t index = 0; index < digits; ++index) {
        magnitude |= static_cast<uint64_t>(magnitude_digits[index]) << (PyLong_SHIFT * index);
    }
    sum.add(negative ? ~magnitude : magnitude);
    return true;
#endif
}

bool read_text(PyObject *object, digest &sum) {
    const char *utf8;
    Py_ssize_t size;
#if defined(PYPY_VERSION)
    /* Every str that crosses into C gets a full PyUnicodeObject, whose UTF-8 copy is made on demand. */
    utf8 = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8;
    size = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8_length;
    if (utf8 == nullptr) utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) return false;
#else
    if (PyUnicode_IS_COMPACT_ASCII(object)) {
        utf8 = reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(object) + 1);
        size = reinterpret_cast<PyASCIIObject *>(object)->length;
    } else if (PyUnicode_IS_COMPACT(object) && reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8 != nullptr) {
        utf8 = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8;
        size = reinterpret_cast<PyCompactUnicodeObject *>(object)->utf8_length;
    } else {
        utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) return false;
    }
#endif
    sum.add(reinterpret_cast<uintptr_t>(utf8) + static_cast<uint64_t>(size));
    return true;
}

bool read_float(PyObject *object, digest &sum) {
    const double value = reinterpret_cast<PyFloatObject *>(object)->ob_fval;
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    sum.add(bits);
    return true;
}

bool read_bytes(PyObject *object, digest &sum) {
#if defined(PYPY_VERSION)
    const char *data = PyBytes_AS_STRING(object);
    const Py_ssize_t size = PyBytes_GET_SIZE(object);
#else
    const char *data = reinterpret_cast<PyBytesObject *>(object)->ob_sval;
    const Py_ssize_t size = Py_SIZE(object);
#endif
    sum.add(reinterpret_cast<uintptr_t>(data) + static_cast<uint64_t>(size));
    return true;
}

/* Any node: scalars are read here, containers recurse. */
inline bool visit(PyObject *object, digest &sum) {
    PyTypeObject *const type = Py_TYPE(object);
    if (type == &PyUnicode_Type) return read_text(object, sum);
    if (type == &PyLong_Type) return read_int(object, sum);
    if (type == &PyFloat_Type) return read_float(object, sum);
    if (object == Py_None || object == Py_True || object == Py_False) {
        sum.add(reinterpret_cast<uintptr_t>(object));
        return true;
    }
    if (type == &PyBytes_Type) return read_bytes(object, sum);
    return visit_container(object, sum);
}

bool visit_items(PyObject *const *items, Py_ssize_t count, digest &sum) {
    sum.add(static_cast<uint64_t>(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (!visit(items[index], sum)) return false;
    }
    return true;
}

#if defined(PYPY_VERSION)
/* A list's items as one tuple, or a dict's keys and values as two, made by
 * Python code and handed to C by subscription. */
PyObject *snapshot(PyObject *container) {
    static PyObject *maker = nullptr;
    if (maker == nullptr) {
        PyObject *names = PyDict_New();
        if (names == nullptr) return nullptr;
        PyObject *run = PyRun_String(
            "class Snapshot:\n"
            "    def __getitem__(self, container):\n"
            "        if isinstance(container, dict):\n"
            "            return tuple(container.keys()), tuple(container.values())\n"
            "        return tuple(container)\n"
            "snapshot = Snapshot()\n",
            Py_file_input, names, names);
        maker = run != nullptr ? PyDict_GetItemString(names, "snapshot") : nullptr;
        Py_XINCREF(maker);
        Py_XDECREF(run);
        Py_DECREF(names);
        if (maker == nullptr) return nullptr;
    }
    return PyObject_GetItem(maker, container);
}
#endif

bool visit_list(PyObject *list, digest &sum) {
#if defined(PYPY_VERSION)
    PyObject *items = snapshot(list);
    if (items == nullptr) return false;
    const bool visited = visit_items(reinterpret_cast<PyTupleObject *>(items)->ob_item, Py_SIZE(items), sum);
    Py_DECREF(items);
    return visited;
#else
    return visit_items(reinterpret_cast<PyListObject *>(list)->ob_item, Py_SIZE(list), sum);
#endif
}

bool visit_dict(PyObject *dict, digest &sum) {
#if defined(PYPY_VERSION)
    PyObject *pair = snapshot(dict);
    if (pair == nullptr) return false;
    PyObject *const keys = PyTuple_GET_ITEM(pair, 0);
    PyObject *const values = PyTuple_GET_ITEM(pair, 1);
    const Py_ssize_t count = PyTuple_GET_SIZE(keys);
    sum.add(static_cast<uint64_t>(count));
    bool visited = true;
    for (Py_ssize_t index = 0; visited && index < count; ++index) {
        visited = visit(PyTuple_GET_ITEM(keys, index), sum) && visit(PyTuple_GET_ITEM(values, index), sum);
    }
    Py_DECREF(pair);
    return visited;
#else
    sum.add(static_cast<uint64_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!visit(key, sum) || !visit(value, sum)) return false;
    }
    return true;
#endif
}

bool visit_container(PyObject *object, digest &sum) {
    PyTypeObject *const type = Py_TYPE(object);
    if (type == &PyDict_Type) return visit_dict(object, sum);
    if (type == &PyList_Type) return visit_list(object, sum);
    if (type == &PyTuple_Type) {
        return visit_items(reinterpret_cast<PyTupleObject *>(object)->ob_item, Py_SIZE(object), sum);
    }
    PyErr_Format(PyExc_TypeError, "walk floor: unexpected %s", type->tp_name);
    return false;
}
}  // namespace

/* The entry point, by a name of its own: benchmarks/profile_shares.py counts the instructions inside it. */
PyObject *walk_floor_walk(PyObject *, PyObject *value) {
    digest sum;
    if (!visit(value, sum)) return nullptr;
    return PyLong_FromUnsignedLongLong(sum.state);
}

namespace {
PyObject *prepare(PyObject *, PyObject *value) {
    digest sum;
    if (!visit(value, sum)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    {"walk", walk_floor_walk, METH_O, "Visit every node of a value and read it; returns a digest of what was read."},
    {"prepare", prepare, METH_O,
     "The same walk under another name, for the profile: it gives every str its UTF-8 copy before the calls that "
     "are counted."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "walk_floor", nullptr, -1, methods};
}  // namespace

PyMODINIT_FUNC PyInit_walk_floor() {
    return PyModule_Create(&module_definition);
}
