/*
 * The walk floor: visits every node of a value and reads what an encoder
 * must read (an int's value, a float's value, a str's UTF-8 bytes, a bytes
 * object's pointer and length) without writing any output. Its time is the
 * lower bound for any encoder that walks the same value.
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

bool visit(PyObject *object, digest &sum);

bool visit_sequence(PyObject *const *items, Py_ssize_t count, digest &sum) {
    sum.add(static_cast<uint64_t>(count));
    for (Py_ssize_t index = 0; index < count; ++index) {
        if (!visit(items[index], sum)) return false;
    }
    return true;
}

bool visit_dict(PyObject *dict, digest &sum) {
    sum.add(static_cast<uint64_t>(PyDict_GET_SIZE(dict)));
    Py_ssize_t position = 0;
    PyObject *key;
    PyObject *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!visit(key, sum) || !visit(value, sum)) return false;
    }
    return true;
}

bool visit_int(PyObject *object, digest &sum) {
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
}

bool visit(PyObject *object, digest &sum) {
    if (object == Py_None || object == Py_True || object == Py_False) {
        sum.add(reinterpret_cast<uintptr_t>(object));
        return true;
    }
    if (PyLong_Check(object)) return visit_int(object, sum);
    if (PyFloat_Check(object)) {
        const double value = PyFloat_AS_DOUBLE(object);
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        sum.add(bits);
        return true;
    }
    if (PyUnicode_Check(object)) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(object, &size);
        if (utf8 == nullptr) return false;
        sum.add(reinterpret_cast<uintptr_t>(utf8) + static_cast<uint64_t>(size));
        return true;
    }
    if (PyBytes_Check(object)) {
        sum.add(reinterpret_cast<uintptr_t>(PyBytes_AS_STRING(object)) + static_cast<uint64_t>(PyBytes_GET_SIZE(object)));
        return true;
    }
    if (PyList_Check(object)) return visit_sequence(PySequence_Fast_ITEMS(object), PyList_GET_SIZE(object), sum);
    if (PyTuple_Check(object)) return visit_sequence(PySequence_Fast_ITEMS(object), PyTuple_GET_SIZE(object), sum);
    if (PyDict_Check(object)) return visit_dict(object, sum);
    PyErr_Format(PyExc_TypeError, "walk floor: unexpected %s", Py_TYPE(object)->tp_name);
    return false;
}

PyObject *walk(PyObject *, PyObject *value) {
    digest sum;
    if (!visit(value, sum)) return nullptr;
    return PyLong_FromUnsignedLongLong(sum.state);
}

PyMethodDef methods[] = {
    {"walk", walk, METH_O, "Visit every node of a value and read it; returns a digest of what was read."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {PyModuleDef_HEAD_INIT, "walk_floor", nullptr, -1, methods};
}  // namespace

PyMODINIT_FUNC PyInit_walk_floor() {
    return PyModule_Create(&module_definition);
}
