#include "value_variant.h"

#include "errors.h"

#include <cstring>
#include <type_traits>

namespace py = pybind11;

namespace {
/* Where the hooks of an object are looked for. The encoder looks on the type,
 * as CPython's slots do. pybind11's standard casters, which dumps' other
 * arguments follow, look on the object on PyPy, and on CPython 3.8 and
 * later read an object that is not an int through int() rather than its
 * __index__. */
enum class lookup { on_type, as_pybind11 };

constexpr bool index_first([[maybe_unused]] lookup where) {
#if PY_VERSION_HEX >= 0x03080000 && !defined(PYPY_VERSION)
    return where == lookup::on_type;
#else
    return true;
#endif
}

#if defined(PYPY_VERSION)
/* PyPy's C-API does not fill the type slots of classes defined in Python:
 * the method is looked up on the type, as CPython's slots are, never on the
 * instance (its own attributes and __getattr__ do not count). The names are
 * made once and kept. */
bool type_defines(PyObject *object, const char *name, PyObject *&kept_name) {
    if (kept_name == nullptr) {
        kept_name = PyUnicode_InternFromString(name);
        if (kept_name == nullptr) throw_pending_error();
    }
    return _PyType_Lookup(Py_TYPE(object), kept_name) != nullptr;
}

PyObject *index_name = nullptr;
PyObject *bool_name = nullptr;
#endif

bool has_index(PyObject *object) {
#if defined(PYPY_VERSION)
    return type_defines(object, "__index__", index_name);
#else
    return PyIndex_Check(object) != 0;
#endif
}

/* NumPy's boolean scalar converts by its truth value even without conversion. */
bool is_numpy_bool(PyObject *object) {
    const char *const type_name = Py_TYPE(object)->tp_name;
    return std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0;
}

#if defined(PYPY_VERSION)
/* pybind11's standard casters ask the object itself, whose attributes and
 * __getattr__ count; an AttributeError only means no. */
bool object_has(PyObject *object, const char *name) {
    const auto attribute = py::reinterpret_steal<py::object>(PyObject_GetAttrString(object, name));
    if (!attribute) clear_ordinary_error();
    return static_cast<bool>(attribute);
}

bool has_bool(PyObject *object, lookup where) {
    return where == lookup::on_type ? type_defines(object, "__bool__", bool_name) : object_has(object, "__bool__");
}
#endif

/* The truth value of True, False and, with `convert`, None and any object
 * with a truth slot; the slot's result must be 0 or 1. */
bool load_truth(PyObject *object, bool convert, bool &out, [[maybe_unused]] lookup where) {
    if (object == Py_True || object == Py_False) return out = object == Py_True, true;
    if (!convert && !is_numpy_bool(object)) return false;
    int truth = -1;
    if (object == Py_None) {
        truth = 0;
#if defined(PYPY_VERSION)
    } else if (has_bool(object, where)) {
        truth = PyObject_IsTrue(object);
#else
    } else if (PyNumberMethods *const number = Py_TYPE(object)->tp_as_number; number != nullptr && number->nb_bool) {
        truth = number->nb_bool(object);
#endif
    }
    if (truth == 0 || truth == 1) return out = truth == 1, true;
    clear_ordinary_error();
    return false;
}

template <typename T>
bool load_integer(PyObject *source, bool convert, T &out, lookup where = lookup::on_type) {
    if (source == nullptr || PyFloat_Check(source)) return false;
    const bool is_int = PyLong_Check(source) != 0;
    if (!convert && !is_int && !has_index(source)) return false;

    py::object index;
    PyObject *number = source;
    if (!is_int && index_first(where)) {
        index = py::reinterpret_steal<py::object>(PyNumber_Index(source));
        if (index) {
            number = index.ptr();
        } else {
            clear_ordinary_error();
            if (!convert) return false;
        }
    }

    T value;
    if constexpr (std::is_unsigned_v<T>) {
        value = PyLong_AsUnsignedLongLong(number);
    } else {
        value = PyLong_AsLongLong(number);
    }
    if (value == static_cast<T>(-1) && PyErr_Occurred()) {
        clear_ordinary_error();
        if (convert && PyNumber_Check(source)) {
            const auto as_int = py::reinterpret_steal<py::object>(PyNumber_Long(source));
            if (!as_int) clear_ordinary_error();
            return load_integer(as_int.ptr(), false, out, where);
        }
        return false;
    }
    out = value;
    return true;
}

template <typename Wrapper>
void hold(value_variant &out, PyObject *object) {
    out.emplace<Wrapper>(py::reinterpret_borrow<Wrapper>(object));
}

/* Alternatives 0-7 and 12 take objects by type alone, and run no Python code.
 * Alternative 11 would take only str and bytes, which 6 and 7 take first. */
bool load_by_type(PyObject *object, value_variant &out) {
    if (PyBool_Check(object)) return hold<py::bool_>(out, object), true;
    if (PyFloat_Check(object)) return hold<py::float_>(out, object), true;
    if (PyLong_Check(object)) return hold<py::int_>(out, object), true;
    if (PyList_Check(object)) return hold<py::list>(out, object), true;
    if (PyTuple_Check(object)) return hold<py::tuple>(out, object), true;
    if (PyDict_Check(object)) return hold<py::dict>(out, object), true;
    if (PyBytes_Check(object)) return hold<py::bytes>(out, object), true;
    if (PyUnicode_Check(object)) return hold<py::str>(out, object), true;
    if (object == Py_None) return hold<py::none>(out, object), true;
    return false;
}

/* Alternatives 8, 9 and 10, the ones that convert. */
bool load_by_conversion(PyObject *object, bool convert, value_variant &out) {
    bool truth;
    if (load_truth(object, convert, truth, lookup::on_type)) return out.emplace<bool>(truth), true;
    uint64_t unsigned_value;
    if (load_integer(object, convert, unsigned_value)) return out.emplace<uint64_t>(unsigned_value), true;
    int64_t signed_value;
    if (load_integer(object, convert, signed_value)) return out.emplace<int64_t>(signed_value), true;
    return false;
}
}  // namespace

bool classify(PyObject *object, value_variant &out, bool allow_conversion) {
    if (load_by_type(object, out) || load_by_conversion(object, false, out)) return true;
    return allow_conversion && load_by_conversion(object, true, out);
}

bool load_uint64(PyObject *source, bool convert, uint64_t &out) {
    return load_integer(source, convert, out);
}

bool load_int64(PyObject *source, bool convert, int64_t &out) {
    return load_integer(source, convert, out);
}

bool load_flag_argument(PyObject *source, bool convert, bool &out) {
    return load_truth(source, convert, out, lookup::as_pybind11);
}

bool load_count_argument(PyObject *source, bool convert, uint64_t &out) {
    return load_integer(source, convert, out, lookup::as_pybind11);
}

value_variant load_element(py::handle element) {
    value_variant result;
    if (!classify(element.ptr(), result, true)) throw py::cast_error(cast_error_text);
    return result;
}
