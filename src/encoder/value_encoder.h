#pragma once
/*
 * value_encoder writes one value_variant, and everything nested in it, to its
 * output buffer. Two switches make four encoders: containers with definite
 * lengths or as indefinite-length items closed by a break, and nesting with
 * or without a max_depth bound.
 *
 * Python code may run in the middle of a container (__index__, __bool__,
 * __eq__, __str__) and change it. Each element is held by a strong reference
 * while it is written, and the container's size is checked before every
 * element and after the last: a change raises RuntimeError, so a definite
 * count always equals the elements written and nothing is skipped silently.
 */

#include "cbor_writer.h"
#include "dict_entries.h"
#include "errors.h"
#include "integers.h"
#include "nesting.h"
#include "value_variant.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <variant>

struct buffer_release {
    void operator()(cbor_buffer *buffer) const { cbor_buffer_free(buffer); }
};
using buffer_handle = std::unique_ptr<cbor_buffer, buffer_release>;

template <bool indefinite_lengths, bool depth_limited>
class value_encoder {
public:
    buffer_handle buffer;
    uint64_t depth = 0;     /* depth-limited encoders: level of the element being written */
    uint64_t max_depth = 0; /* depth-limited encoders: deepest level allowed, never 0 */
    uint64_t text_limit = 40;
    const char *stack_floor = encoder_stack_floor();

    value_encoder(buffer_handle output, uint64_t limit) : buffer(std::move(output)), max_depth(limit) {}

    void operator()(const pybind11::bool_ &value) {
        if (value.ptr() == Py_True) {
            cbor_put_true(buffer.get());
        } else {
            cbor_put_false(buffer.get());
        }
    }

    void operator()(const pybind11::float_ &value) { cbor_put_float(buffer.get(), PyFloat_AsDouble(value.ptr())); }

    void operator()(const pybind11::int_ &value) { std::visit(*this, resolve_integer(value, text_limit)); }

    void operator()(const pybind11::list &value) {
        nesting_guard guard(stack_floor);
        PyObject *list = value.ptr();
        const Py_ssize_t count = PyList_GET_SIZE(list);
        write_array_start(count);
        for (Py_ssize_t index = 0;; ++index) {
            if (PyList_GET_SIZE(list) != count) throw std::runtime_error("list changed size during iteration");
            if (index == count) break;
            encode_nested(sequence_item(list, index));
        }
        write_break();
    }

    void operator()(const pybind11::tuple &value) {
        nesting_guard guard(stack_floor);
        PyObject *tuple = value.ptr();
        const Py_ssize_t count = PyTuple_GET_SIZE(tuple);
        write_array_start(count);
        for (Py_ssize_t index = 0; index < count; ++index) encode_nested(sequence_item(tuple, index));
        write_break();
    }

    void operator()(const pybind11::dict &value) {
        nesting_guard guard(stack_floor);
        PyObject *dict = value.ptr();
        const Py_ssize_t count = PyDict_Size(dict);
        if constexpr (indefinite_lengths) {
            cbor_put_map_start(buffer.get(), CBOR_INDEFINITE);
        } else {
            cbor_put_map_start(buffer.get(), static_cast<uint64_t>(count));
        }
        dict_entries entries(dict);
        Py_ssize_t written = 0;
        PyObject *key;
        PyObject *item;
        for (;;) {
            if (PyDict_Size(dict) != count) throw std::runtime_error("dictionary changed size during iteration");
            if (!entries.next(key, item)) break;
            if (written == count) throw std::runtime_error("dictionary keys changed during iteration");
            const auto held_key = pybind11::reinterpret_borrow<pybind11::object>(key);
            const auto held_item = pybind11::reinterpret_borrow<pybind11::object>(item);
            enter_element();
            encode_element(held_key);
            encode_element(held_item);
            leave_element();
            ++written;
        }
        if (written != count) throw std::runtime_error("dictionary keys changed during iteration");
        write_break();
    }

    void operator()(const pybind11::bytes &value) {
        char *data = nullptr;
        Py_ssize_t size = 0;
        if (PyBytes_AsStringAndSize(value.ptr(), &data, &size) != 0) {
            PyErr_Clear();
            throw std::runtime_error("Unable to extract bytes contents!");
        }
        cbor_put_bytestring(buffer.get(), data, static_cast<uint64_t>(size));
    }

    void operator()(const pybind11::str &value) {
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
        if (utf8 == nullptr) {
            PyErr_Clear();
            throw pybind11::cast_error(cast_error_text);
        }
        cbor_put_textstring(buffer.get(), utf8, static_cast<uint64_t>(size));
    }

    void operator()(bool value) {
        if (value) {
            cbor_put_true(buffer.get());
        } else {
            cbor_put_false(buffer.get());
        }
    }

    void operator()(uint64_t value) { cbor_put_uint(buffer.get(), value); }

    void operator()(int64_t value) {
        if (value >= 0) {
            cbor_put_uint(buffer.get(), static_cast<uint64_t>(value));
        } else {
            cbor_put_negint(buffer.get(), value);
        }
    }

    void operator()(std::string_view value) { cbor_put_textstring(buffer.get(), value.data(), value.size()); }

    void operator()(const pybind11::none &) { cbor_put_null(buffer.get()); }

    /* Raises when the element about to be written would be deeper than max_depth. */
    void check_depth() {
        ++depth;
        if (depth > max_depth) throw std::runtime_error("Exceeded recursion limit:" + std::to_string(max_depth));
    }

private:
    /* CPython reads the item storage directly. PyPy fetches sequence[index],
     * which honours a subclass's __getitem__ and passes its errors on; its
     * PySequence_GetItem would read the C copy of a tuple subclass, which PyPy
     * fills through an overridden __iter__ and may leave short. */
    static pybind11::object sequence_item(PyObject *sequence, Py_ssize_t index) {
#if defined(PYPY_VERSION)
        const auto position = pybind11::reinterpret_steal<pybind11::object>(PyLong_FromSsize_t(index));
        if (!position) throw_pending_error();
        auto item = pybind11::reinterpret_steal<pybind11::object>(PyObject_GetItem(sequence, position.ptr()));
        if (!item) throw_pending_error();
        return item;
#else
        return pybind11::reinterpret_borrow<pybind11::object>(PySequence_Fast_GET_ITEM(sequence, index));
#endif
    }

    void write_array_start(Py_ssize_t count) {
        if constexpr (indefinite_lengths) {
            cbor_put_array_start(buffer.get(), CBOR_INDEFINITE);
        } else {
            cbor_put_array_start(buffer.get(), static_cast<uint64_t>(count));
        }
    }

    void write_break() {
        if constexpr (indefinite_lengths) cbor_put_break(buffer.get());
    }

    void enter_element() {
        if constexpr (depth_limited) check_depth();
    }

    void leave_element() {
        if constexpr (depth_limited) --depth;
    }

    /* One list or tuple item, one level down. */
    void encode_nested(pybind11::handle element) {
        enter_element();
        encode_element(element);
        leave_element();
    }

    void encode_element(pybind11::handle element) {
        value_variant loaded = load_element(element);
        std::visit(*this, loaded);
    }
};
