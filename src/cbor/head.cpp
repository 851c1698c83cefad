#include "append.h"
#include "cbor_writer.h"

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

CBOR_NEVER_INLINE int32_t cbor_put_item_bytewise(cbor_buffer *buffer, unsigned char initial_byte, uint64_t n,
                                                 const void *payload, uint64_t payload_size) {
    if (cbor_put_head_raw(buffer, initial_byte, n) < 0) return -1;
    return cbor_put_bytes(buffer, payload, payload_size);
}
