#include "integers.h"

#include "errors.h"
#include "value_variant.h"

#include <optional>
#include <stdexcept>

namespace py = pybind11;

namespace {
/* The int made from `candidate` must compare equal to `value`; a failed
 * comparison (an error, or an __eq__ that says no) refuses the candidate. */
template <typename T>
bool equals_plain_int(PyObject *value, T candidate) {
    py::object plain = py::reinterpret_steal<py::object>(
        std::is_unsigned_v<T> ? PyLong_FromUnsignedLongLong(candidate) : PyLong_FromLongLong(candidate));
    const int equal = plain ? PyObject_RichCompareBool(plain.ptr(), value, Py_EQ) : -1;
    if (equal == -1) clear_ordinary_error();
    return equal == 1;
}

/* An exact int runs no Python code, so it needs no comparison. */
std::optional<resolved_integer> resolve_exact_int(PyObject *value) {
    int overflow = 0;
    const long long signed_value = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow == 0) {
        if (signed_value >= 0) return resolved_integer(static_cast<uint64_t>(signed_value));
        return resolved_integer(static_cast<int64_t>(signed_value));
    }
    if (overflow > 0) {
        const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(value);
        if (!(unsigned_value == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
            return resolved_integer(static_cast<uint64_t>(unsigned_value));
        }
    }
    clear_ordinary_error();
    return std::nullopt;
}

std::optional<resolved_integer> resolve_int_subclass(PyObject *value) {
    uint64_t unsigned_value;
    if (load_uint64(value, true, unsigned_value) && equals_plain_int(value, unsigned_value)) {
        return resolved_integer(unsigned_value);
    }
    int64_t signed_value;
    if (load_int64(value, true, signed_value) && equals_plain_int(value, signed_value)) {
        return resolved_integer(signed_value);
    }
    return std::nullopt;
}

#if defined(PYPY_VERSION)
/* PyPy copies every frame beneath an exception's traceback when C code
 * fetches the exception, and near its recursion limit ends the process
 * instead. So there str() runs in Python code, which catches an ordinary
 * error itself, and only errors that must reach the caller leave it. */
constexpr const char quote_source[] =
    "def quote(value):\n"
    "    try:\n"
    "        text = str(value)\n"
    "        text.encode()\n"
    "        return text\n"
    "    except (MemoryError, RecursionError):\n"
    "        raise\n"
    "    except Exception as error:\n"
    "        text = 'failed with ' + type(error).__name__\n"
    "        try:\n"
    "            message = str(error)\n"
    "            message.encode()\n"
    "        except BaseException:\n"
    "            return text\n"
    "        return text + ': ' + message\n";

/* The function `quote` above, made on first use and kept. */
PyObject *quote_function() {
    static PyObject *function = nullptr;
    if (function != nullptr) return function;
    const auto globals = py::reinterpret_steal<py::object>(PyDict_New());
    if (!globals || PyDict_SetItemString(globals.ptr(), "__builtins__", PyEval_GetBuiltins()) != 0) {
        throw_pending_error();
    }
    const auto module_result =
        py::reinterpret_steal<py::object>(PyRun_String(quote_source, Py_file_input, globals.ptr(), globals.ptr()));
    if (!module_result) throw_pending_error();
    function = PyDict_GetItemString(globals.ptr(), "quote");
    Py_XINCREF(function);
    return function;
}

std::string quoted_text(PyObject *object) {
    const auto text = py::reinterpret_steal<py::object>(PyObject_CallFunctionObjArgs(quote_function(), object, nullptr));
    Py_ssize_t size = 0;
    const char *utf8 = text ? PyUnicode_AsUTF8AndSize(text.ptr(), &size) : nullptr;
    if (utf8 == nullptr) throw_pending_error();
    return std::string(utf8, static_cast<size_t>(size));
}
#else
/* "failed with TypeName: message" for the pending Python error, which is
 * cleared; an error that must reach the caller is thrown instead. */
std::string describe_pending_error() {
    if (!pending_error_is_ordinary()) throw_pending_error();
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    const auto held_type = py::reinterpret_steal<py::object>(type);
    const auto held_value = py::reinterpret_steal<py::object>(value);
    const auto held_traceback = py::reinterpret_steal<py::object>(traceback);

    std::string text = "failed with ";
    text += type != nullptr ? reinterpret_cast<PyTypeObject *>(type)->tp_name : "unknown exception";
    const auto message = py::reinterpret_steal<py::object>(value != nullptr ? PyObject_Str(value) : nullptr);
    const char *utf8 = message ? PyUnicode_AsUTF8(message.ptr()) : nullptr;
    if (utf8 != nullptr) text.append(": ").append(utf8);
    PyErr_Clear();
    return text;
}

std::string quoted_text(PyObject *object) {
    py::object as_str = py::reinterpret_steal<py::object>(PyObject_Str(object));
    Py_ssize_t size = 0;
    const char *utf8 = as_str ? PyUnicode_AsUTF8AndSize(as_str.ptr(), &size) : nullptr;
    if (utf8 == nullptr) return describe_pending_error();
    return std::string(utf8, static_cast<size_t>(size));
}
#endif

/* Longest prefix of at most `limit` bytes that ends on a character boundary. */
std::string utf8_prefix(std::string text, uint64_t limit) {
    if (text.size() <= limit) return text;
    size_t end = static_cast<size_t>(limit);
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}
}  // namespace

std::string value_text(py::handle object, uint64_t limit) {
    return utf8_prefix(quoted_text(object.ptr()), limit);
}

resolved_integer resolve_integer(py::handle value, uint64_t text_limit) {
    const std::optional<resolved_integer> resolved =
        PyLong_CheckExact(value.ptr()) ? resolve_exact_int(value.ptr()) : resolve_int_subclass(value.ptr());
    if (resolved) return *resolved;
    throw std::runtime_error("dumps received an integer out of range for both int64_t and uint64_t" +
                             value_text(value, text_limit));
}
