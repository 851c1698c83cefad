#include "append.h"
#include "cbor_writer.h"

namespace {
constexpr unsigned char additional_information(uint64_t n) {
    if (n <= 23) return static_cast<unsigned char>(n);
    if (n <= 0xFF) return 24;
    if (n <= 0xFFFF) return 25;
    if (n <= 0xFFFFFFFF) return 26;
    return 27;
}

int32_t put_start_or_head(cbor_buffer *buffer, unsigned major_type, uint64_t n) {
    if (n == CBOR_INDEFINITE) return cbor_append_byte(buffer, static_cast<unsigned char>((major_type << 5) | 31));
    return cbor_put_head(buffer, major_type, n);
}

int32_t put_string(cbor_buffer *buffer, unsigned major_type, const void *source, uint64_t n) {
    if (put_start_or_head(buffer, major_type, n) < 0) return -1;
    if (n == CBOR_INDEFINITE) return 0;
    return cbor_put_bytes(buffer, source, n);
}
}  // namespace

int32_t cbor_put_head_raw(cbor_buffer *buffer, unsigned char initial_byte, uint64_t n) {
    unsigned width_bits;
    switch (initial_byte & 0x1F) {
        case 24: width_bits = 8; break;
        case 25: width_bits = 16; break;
        case 26: width_bits = 32; break;
        case 27: width_bits = 64; break;
        default: return cbor_append_byte(buffer, static_cast<unsigned char>(initial_byte | (n & 0xFF)));
    }
    if (cbor_append_byte(buffer, initial_byte) < 0) return -1;
    for (int shift = static_cast<int>(width_bits) - 8; shift >= 0; shift -= 8) {
        if (cbor_append_byte(buffer, static_cast<unsigned char>((n >> shift) & 0xFF)) < 0) return -1;
    }
    return 0;
}

int32_t cbor_put_head(cbor_buffer *buffer, unsigned major_type, uint64_t n) {
    return cbor_put_head_raw(buffer, static_cast<unsigned char>((major_type << 5) | additional_information(n)), n);
}

int32_t cbor_put_uint(cbor_buffer *buffer, uint64_t n) {
    return cbor_put_head_raw(buffer, additional_information(n), n);
}

int32_t cbor_put_negint(cbor_buffer *buffer, int64_t v) {
    return cbor_put_head(buffer, 1, ~static_cast<uint64_t>(v));
}

int32_t cbor_put_bytestring(cbor_buffer *buffer, const void *source, uint64_t n) {
    return put_string(buffer, 2, source, n);
}

int32_t cbor_put_textstring(cbor_buffer *buffer, const void *source, uint64_t n) {
    return put_string(buffer, 3, source, n);
}

int32_t cbor_put_array_start(cbor_buffer *buffer, uint64_t n) {
    return put_start_or_head(buffer, 4, n);
}

int32_t cbor_put_map_start(cbor_buffer *buffer, uint64_t n) {
    return put_start_or_head(buffer, 5, n);
}

int32_t cbor_put_break(cbor_buffer *buffer) {
    return cbor_append_byte(buffer, 0xFF);
}

int32_t cbor_put_false(cbor_buffer *buffer) {
    return cbor_append_byte(buffer, 0xF4);
}

int32_t cbor_put_true(cbor_buffer *buffer) {
    return cbor_append_byte(buffer, 0xF5);
}

int32_t cbor_put_null(cbor_buffer *buffer) {
    return cbor_append_byte(buffer, 0xF6);
}
