#include "refused_arguments.h"

#include "errors.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <string>

/* For what a call without keywords never runs: inlined, it would make the
 * entry of every call larger. */
#if defined(_MSC_VER)
#define NOT_INLINED __declspec(noinline)
#else
#define NOT_INLINED __attribute__((noinline))
#endif

namespace {
constexpr Py_ssize_t parameter_count = static_cast<Py_ssize_t>(std::size(dumps_parameters));

/* Characters of a type name or keyword name kept in a message. */
constexpr size_t name_limit = 100;

/* Exact ints of up to this many digits are shown as they are. */
constexpr size_t digit_limit = 20;

/* Whether the exact str `key` reads `name` (ASCII). CPython's compact ASCII
 * strs, which keyword names are, are read from their own storage. */
bool key_is(PyObject *key, const char *name) {
#if !defined(PYPY_VERSION)
    if (PyUnicode_IS_COMPACT_ASCII(key)) {
        const size_t length = std::strlen(name);
        return static_cast<size_t>(PyUnicode_GET_LENGTH(key)) == length && std::memcmp(PyUnicode_DATA(key), name, length) == 0;
    }
#endif
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
}

/* The position of the parameter that `key` names; parameter_count for any other key. */
Py_ssize_t parameter_position(PyObject *key) {
    if (!PyUnicode_CheckExact(key)) return parameter_count;
    Py_ssize_t position = 0;
    while (position < parameter_count && !key_is(key, dumps_parameters[position])) ++position;
    return position;
}

/* `text` (UTF-8) up to its 100th character, then "..." if it goes on. */
void append_cut(std::string &message, const char *text) {
    size_t characters = 0;
    for (size_t end = 0; text[end] != '\0'; ++end) {
        const bool starts_character = (static_cast<unsigned char>(text[end]) & 0xC0) != 0x80;
        if (starts_character && characters++ == name_limit) {
            message.append(text, end);
            message += "...";
            return;
        }
    }
    message += text;
}

/* The repr of None, a bool, an exact float or an exact int, which the
 * interpreter makes in C. */
void append_repr(std::string &message, PyObject *object) {
    const auto repr = pybind11::reinterpret_steal<pybind11::object>(PyObject_Repr(object));
    Py_ssize_t size = 0;
    const char *const text = repr ? PyUnicode_AsUTF8AndSize(repr.ptr(), &size) : nullptr;
    if (text == nullptr) throw_pending_error();
    message.append(text, static_cast<size_t>(size));
}

/* Whether `object` is an exact int of at most 20 digits; its repr is then
 * short. Rounded to a double first, so that no long repr is ever made. */
bool is_short_int(PyObject *object) {
    if (!PyLong_CheckExact(object)) return false;
    const double rounded = PyLong_AsDouble(object);
    if (rounded == -1.0 && PyErr_Occurred()) {
        PyErr_Clear(); /* OverflowError: far too many digits */
        return false;
    }
    return std::fabs(rounded) <= 1e20;
}

void append_description(std::string &message, PyObject *object) {
    if (object == Py_None || PyBool_Check(object) || PyFloat_CheckExact(object)) return append_repr(message, object);
    if (is_short_int(object)) {
        std::string digits;
        append_repr(digits, object);
        if (digits.size() - (digits[0] == '-') <= digit_limit) {
            message += digits;
            return;
        }
    }
    message += '<';
    append_cut(message, Py_TYPE(object)->tp_name);
    message += " object>";
}

/* A keyword's name; one that is not a str is described like an argument. */
void append_keyword(std::string &message, PyObject *key) {
    if (!PyUnicode_Check(key)) return append_description(message, key);
    const Py_ssize_t length = PyUnicode_GetLength(key);
    const auto kept = pybind11::reinterpret_steal<pybind11::object>(
        PyUnicode_Substring(key, 0, std::min<Py_ssize_t>(length, static_cast<Py_ssize_t>(name_limit))));
    /* A lone surrogate has no UTF-8 form: it is shown escaped. */
    const auto utf8 = pybind11::reinterpret_steal<pybind11::object>(
        kept ? PyUnicode_AsEncodedString(kept.ptr(), "utf-8", "backslashreplace") : nullptr);
    if (!utf8) throw_pending_error();
    message.append(PyBytes_AS_STRING(utf8.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(utf8.ptr())));
    if (length > static_cast<Py_ssize_t>(name_limit)) message += "...";
}

/* Whether keyword arguments `kwargs` (a dict) fill the parameters that
 * `positional` arguments left. Runs no Python code. */
NOT_INLINED bool keyword_arguments_fit(Py_ssize_t positional, PyObject *kwargs) {
    bool value_given = positional > 0;
    Py_ssize_t cursor = 0;
    PyObject *key;
    PyObject *argument;
    while (PyDict_Next(kwargs, &cursor, &key, &argument)) {
        const Py_ssize_t position = parameter_position(key);
        if (position < positional || position == parameter_count) return false;
        value_given = value_given || position == 0;
    }
    return value_given;
}

bool arguments_fit(PyObject *args, PyObject *kwargs) {
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > parameter_count) return false;
    return kwargs == nullptr ? positional > 0 : keyword_arguments_fit(positional, kwargs);
}

std::string refusal_message(const char *name, const char *signature, PyObject *args, PyObject *kwargs) {
    std::string message = name;
    message += "(): incompatible function arguments. The following argument types are supported:\n    1. ";
    message += signature;
    message += "\n\nInvoked with: ";
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    for (Py_ssize_t index = 0; index < positional; ++index) {
        if (index > 0) message += ", ";
        append_description(message, PyTuple_GET_ITEM(args, index));
    }
    if (kwargs == nullptr || PyDict_Size(kwargs) == 0) return message;
    message += positional > 0 ? "; kwargs: " : "kwargs: ";
    Py_ssize_t cursor = 0;
    PyObject *key;
    PyObject *argument;
    for (bool first = true; PyDict_Next(kwargs, &cursor, &key, &argument); first = false) {
        if (!first) message += ", ";
        append_keyword(message, key);
        message += '=';
        append_description(message, argument);
    }
    return message;
}

/* pybind11's entry point of a bound function, which cpp_function keeps protected. */
struct bound_function : pybind11::cpp_function {
    using pybind11::cpp_function::dispatcher;
};

/* The record pybind11 keeps for a bound function, from the capsule that is
 * the function's `self`. */
pybind11::detail::function_record *function_record(PyObject *capsule) {
    auto *const record = static_cast<pybind11::detail::function_record *>(
        PyCapsule_GetPointer(capsule, pybind11::detail::get_function_record_capsule_name()));
    if (record == nullptr) throw pybind11::error_already_set();
    return record;
}

/* Raises the refusal. Its own errors become Python exceptions as the
 * dispatcher's do, through the registered translators. */
NOT_INLINED PyObject *refuse_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    try {
        const pybind11::detail::function_record *const record = function_record(self);
        throw pybind11::type_error(refusal_message(record->name, record->signature, args, kwargs));
    } catch (...) {
        pybind11::detail::try_translate_exceptions();
        return nullptr;
    }
}

/* dumps as the interpreter calls it. */
PyObject *call_dumps(PyObject *self, PyObject *args, PyObject *kwargs) {
    if (!arguments_fit(args, kwargs)) return refuse_call(self, args, kwargs);
    PyObject *const result = bound_function::dispatcher(self, args, kwargs);
    if (result != Py_None) return result;
    Py_DECREF(result);
    return refuse_call(self, args, kwargs);
}
}  // namespace

void check_calls_of_dumps(pybind11::handle dumps) {
    /* The function object reads its method entry at every call, on PyPy too. */
    function_record(PyCFunction_GET_SELF(dumps.ptr()))->def->ml_meth =
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_dumps));
}
