#pragma once
/*
 * value_encoder writes one value_variant, and everything nested in it, to its
 * output buffer. Two switches make four encoders: containers with definite
 * lengths or as indefinite-length items closed by a break, and nesting with
 * or without a max_depth bound.
 *
 * Python code may run in the middle of a container (__index__, __bool__,
 * __eq__, __str__) and change it. Each element that is not of an exact
 * built-in scalar type (those run no Python code) is held by a strong
 * reference while it is written, and the container's size is checked before
 * every element and after the last: a change raises RuntimeError, so a
 * definite count always equals the elements written. One change is not seen,
 * as Python's own dict iteration does not see it: on CPython a hook that
 * removes a dict's entry and adds another, its size unchanged, can make the
 * dict rebuild its table, and the walk goes on from its position in the new
 * table: an entry the rebuild moved to a place already passed is skipped and
 * the new one written, so the count still holds. Telling would need the
 * dict's version tag, which CPython 3.12 deprecated.
 */

#include "builtin_values.h"
#include "cbor_writer.h"
#include "dict_entries.h"
#include "errors.h"
#include "integers.h"
#include "nesting.h"
#include "sequence_items.h"
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
    stack_budget stack;
    uint64_t hooks_run = 0; /* elements whose writing may have run Python code, so far */

    value_encoder(buffer_handle output, uint64_t limit) : buffer(std::move(output)), max_depth(limit) {}

    void operator()(const pybind11::bool_ &value) { write_boolean(value.ptr() == Py_True); }

    void operator()(const pybind11::float_ &value) { write_float(value.ptr()); }

    void operator()(const pybind11::int_ &value) { write_integer(value); }

    void operator()(const pybind11::list &value) { write_list(value.ptr()); }

    void operator()(const pybind11::tuple &value) { write_tuple(value.ptr()); }

    void operator()(const pybind11::dict &value) { write_dict(value.ptr()); }

    void operator()(const pybind11::bytes &value) { write_bytes(value.ptr()); }

    void operator()(const pybind11::str &value) { write_text(value.ptr()); }

    void operator()(bool value) { write_boolean(value); }

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
    void write_boolean(bool value) {
        if (value) {
            cbor_put_true(buffer.get());
        } else {
            cbor_put_false(buffer.get());
        }
    }

    void write_float(PyObject *value) { cbor_put_float(buffer.get(), read_float(value)); }

    void write_integer(pybind11::handle value) { std::visit(*this, resolve_integer(value, text_limit)); }

    /* On CPython an exact int that fits in a machine word needs no conversion. */
    void write_exact_int(PyObject *value) {
#if !defined(PYPY_VERSION)
        int64_t compact;
        if (read_compact_int(value, compact)) return (*this)(compact);
#endif
        write_integer(value);
    }

    void write_bytes(PyObject *value) {
        byte_contents contents;
        if (!read_bytes(value, contents)) {
            clear_ordinary_error();
            throw std::runtime_error("Unable to extract bytes contents!");
        }
        cbor_put_bytestring(buffer.get(), contents.data, static_cast<uint64_t>(contents.size));
    }

    /* A str without a UTF-8 form (a lone surrogate) is refused like an
     * element of no accepted kind; any other failure to make that form
     * (MemoryError) passes through. */
    void write_text(PyObject *value) {
        byte_contents utf8;
        if (!read_utf8(value, utf8)) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw_pending_error();
            PyErr_Clear();
            throw pybind11::cast_error(cast_error_text);
        }
        cbor_put_textstring(buffer.get(), utf8.data, static_cast<uint64_t>(utf8.size));
    }

    void write_list(PyObject *list) {
        nesting_guard guard(stack);
        const Py_ssize_t count = checked_size(read_list_size(list));
        write_array_start(count);
        const sequence_items items(list, hooks_run);
        for (Py_ssize_t index = 0;; ++index) {
            if (!items.list_size_is(count)) throw std::runtime_error("list changed size during iteration");
            if (index == count) break;
            encode_nested(items.at(index));
        }
        write_break();
    }

    void write_tuple(PyObject *tuple) {
        nesting_guard guard(stack);
        const Py_ssize_t count = checked_size(read_tuple_size(tuple));
        write_array_start(count);
        const sequence_items items(tuple, hooks_run);
        for (Py_ssize_t index = 0; index < count; ++index) encode_nested(items.at(index));
        write_break();
    }

    void write_dict(PyObject *dict) {
        nesting_guard guard(stack);
        const Py_ssize_t count = checked_size(read_dict_size(dict));
        if constexpr (indefinite_lengths) {
            cbor_put_map_start(buffer.get(), CBOR_INDEFINITE);
        } else {
            cbor_put_map_start(buffer.get(), static_cast<uint64_t>(count));
        }
        dict_entries entries(dict, hooks_run);
        Py_ssize_t written = 0;
        PyObject *key;
        PyObject *item;
        for (;;) {
            if (!entries.size_is(count)) throw std::runtime_error("dictionary changed size during iteration");
            if (!entries.next(key, item)) break;
            if (written == count) throw std::runtime_error("dictionary keys changed during iteration");
            enter_element();
            if (write_exact_scalar(key)) {
                encode_element(item);
            } else {
                /* Python code run while the key is written may drop the item from the dict. */
                const auto held_item = pybind11::reinterpret_borrow<pybind11::object>(item);
                encode_element(key);
                encode_element(held_item);
            }
            leave_element();
            ++written;
        }
        if (written != count) throw std::runtime_error("dictionary keys changed during iteration");
        write_break();
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

    /* Objects of the exact built-in scalar types run no Python code while
     * classified or written, so they are written as their variant alternative
     * would write them, without building the variant and without a reference
     * of their own. False for every other object. */
    bool write_exact_scalar(PyObject *element) {
        PyTypeObject *const type = Py_TYPE(element);
        if (type == &PyUnicode_Type) return write_text(element), true;
        if (type == &PyLong_Type) return write_exact_int(element), true;
        if (type == &PyFloat_Type) return write_float(element), true;
        if (type == &PyBool_Type) return write_boolean(element == Py_True), true;
        if (element == Py_None) return cbor_put_null(buffer.get()), true;
        if (type == &PyBytes_Type) return write_bytes(element), true;
        return false;
    }

    /* Exact lists, tuples and dicts likewise skip the variant. */
    bool write_exact_container(PyObject *element) {
        PyTypeObject *const type = Py_TYPE(element);
        if (type == &PyDict_Type) return write_dict(element), true;
        if (type == &PyList_Type) return write_list(element), true;
        if (type == &PyTuple_Type) return write_tuple(element), true;
        return false;
    }

    void encode_element(pybind11::handle element) {
        if (write_exact_scalar(element.ptr())) return;
        /* From here on Python code may run (inside the element, or while it is
         * classified) and drop the element from its container. */
        const auto held = pybind11::reinterpret_borrow<pybind11::object>(element);
        if (write_exact_container(held.ptr())) return;
        ++hooks_run;
        value_variant loaded = load_element(held);
        std::visit(*this, loaded);
    }
};
