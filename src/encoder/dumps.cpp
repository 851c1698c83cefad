#include "dumps.h"

#include "value_encoder.h"

namespace {
template <bool indefinite_lengths, bool depth_limited>
pybind11::bytes encode(const value_variant &value, buffer_handle output, uint64_t max_depth) {
    value_encoder<indefinite_lengths, depth_limited> encoder(std::move(output), max_depth);
    std::visit(encoder, value);
    const cbor_buffer *buffer = encoder.buffer.get();
    if (cbor_buffer_failed(buffer)) throw_memory_error();
    PyObject *bytes =
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buffer->data), static_cast<Py_ssize_t>(buffer->size));
    if (bytes == nullptr) {
        PyErr_Clear();
        throw std::runtime_error("Could not allocate bytes object!");
    }
    return pybind11::reinterpret_steal<pybind11::bytes>(bytes);
}
}  // namespace

pybind11::bytes dumps_impl(const value_variant &value, bool indefinite, uint64_t max_depth) {
    buffer_handle output(cbor_buffer_new());
    if (!output) throw_memory_error();
    if (indefinite) {
        return max_depth != 0 ? encode<true, true>(value, std::move(output), max_depth)
                              : encode<true, false>(value, std::move(output), max_depth);
    }
    return max_depth != 0 ? encode<false, true>(value, std::move(output), max_depth)
                          : encode<false, false>(value, std::move(output), max_depth);
}
