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
    std::string text;
    py::object as_str = py::reinterpret_steal<py::object>(PyObject_Str(object.ptr()));
    Py_ssize_t size = 0;
    const char *utf8 = as_str ? PyUnicode_AsUTF8AndSize(as_str.ptr(), &size) : nullptr;
    if (utf8 != nullptr) {
        text.assign(utf8, static_cast<size_t>(size));
    } else {
        text = describe_pending_error();
    }
    return utf8_prefix(std::move(text), limit);
}

resolved_integer resolve_integer(py::handle value, uint64_t text_limit) {
    const std::optional<resolved_integer> resolved =
        PyLong_CheckExact(value.ptr()) ? resolve_exact_int(value.ptr()) : resolve_int_subclass(value.ptr());
    if (resolved) return *resolved;
    throw std::runtime_error("dumps received an integer out of range for both int64_t and uint64_t" +
                             value_text(value, text_limit));
}
