#include "builtin_values.h"

#if defined(PYPY_VERSION)
namespace py = pybind11;

namespace {
/* The base type's own __len__, looked up once: calling it measures the
 * object's storage, whatever its class defines. */
Py_ssize_t length_by_base(PyTypeObject *base, PyObject *&base_length, PyObject *object) {
    if (base_length == nullptr) {
        base_length = PyObject_GetAttrString(reinterpret_cast<PyObject *>(base), "__len__");
        if (base_length == nullptr) return -1;
    }
    const auto length = py::reinterpret_steal<py::object>(PyObject_CallFunctionObjArgs(base_length, object, nullptr));
    return length ? PyLong_AsSsize_t(length.ptr()) : -1;
}

PyObject *list_length = nullptr;
PyObject *tuple_length = nullptr;
PyObject *dict_length = nullptr;

PyObject *kept_index_objects[1 << 16];

/* Its __getitem__ makes the snapshot as Python code, so that the tuple is
 * handed to C by subscription. A dict is first copied by dict.copy, which
 * reads its own storage (the views of a subclass instance would ask its
 * __len__) in one step that no other thread interrupts: its keys and values
 * are then taken from a dict that nothing else can change, so each key is
 * paired with the value it had. */
constexpr const char snapshot_source[] =
    "class Snapshot:\n"
    "    def __getitem__(self, container):\n"
    "        if isinstance(container, dict):\n"
    "            copy = dict.copy(container)\n"
    "            return tuple(copy.keys()), tuple(copy.values())\n"
    "        return tuple(container)\n"
    "snapshot = Snapshot()\n";

PyObject *snapshot_maker = nullptr;

PyObject *make_snapshot_maker() {
    const auto names = py::reinterpret_steal<py::object>(PyDict_New());
    if (!names) return nullptr;
    const auto run = py::reinterpret_steal<py::object>(PyRun_String(snapshot_source, Py_file_input, names.ptr(), names.ptr()));
    if (!run) return nullptr;
    PyObject *maker = PyDict_GetItemString(names.ptr(), "snapshot");
    Py_XINCREF(maker);
    return maker;
}
}  // namespace

PyObject *items_snapshot(PyObject *container) {
    if (snapshot_maker == nullptr) snapshot_maker = make_snapshot_maker();
    return snapshot_maker != nullptr ? PyObject_GetItem(snapshot_maker, container) : nullptr;
}

PyObject *subscript_item(PyObject *sequence, Py_ssize_t index) {
    constexpr Py_ssize_t kept = sizeof kept_index_objects / sizeof kept_index_objects[0];
    if (index < kept) {
        PyObject *&position = kept_index_objects[index];
        if (position == nullptr) position = PyLong_FromSsize_t(index);
        return position != nullptr ? PyObject_GetItem(sequence, position) : nullptr;
    }
    const auto position = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(index));
    return position ? PyObject_GetItem(sequence, position.ptr()) : nullptr;
}

bool read_bytes(PyObject *bytes, byte_contents &out) {
    if (!PyBytes_CheckExact(bytes)) {
        out.owner = py::reinterpret_steal<py::object>(PyBytes_FromObject(bytes));
        if (!out.owner) return false;
        bytes = out.owner.ptr();
    }
    char *data = nullptr;
    if (PyBytes_AsStringAndSize(bytes, &data, &out.size) != 0) return false;
    out.data = data;
    return true;
}

bool read_utf8(PyObject *text, byte_contents &out) {
    if (PyUnicode_CheckExact(text)) {
        out.data = PyUnicode_AsUTF8AndSize(text, &out.size);
        return out.data != nullptr;
    }
    out.owner = py::reinterpret_steal<py::object>(PyUnicode_AsUTF8String(text));
    return out.owner && read_bytes(out.owner.ptr(), out);
}

Py_ssize_t read_list_size(PyObject *list) {
    return PyList_CheckExact(list) ? PyList_GET_SIZE(list) : length_by_base(&PyList_Type, list_length, list);
}

Py_ssize_t read_tuple_size(PyObject *tuple) {
    return PyTuple_CheckExact(tuple) ? PyTuple_GET_SIZE(tuple) : length_by_base(&PyTuple_Type, tuple_length, tuple);
}

Py_ssize_t read_dict_size(PyObject *dict) {
    return PyDict_CheckExact(dict) ? PyDict_Size(dict) : length_by_base(&PyDict_Type, dict_length, dict);
}
#endif
