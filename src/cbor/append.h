#pragma once
/*
 * The one way bytes enter a cbor_buffer, shared by the writers of the codec
 * and inlined into them: the block is reallocated to its exact new size,
 * once per append, and the caller fills the new bytes.
 */

#include "allocation.h"
#include "cbor_writer.h"

#include <cstdint>

/* Room for n more bytes at the end of the buffer, which the caller must
 * fill; null, with the buffer marked failed from then on, when the buffer
 * is null or failed already, or the block cannot grow. */
inline unsigned char *cbor_append(cbor_buffer *buffer, uint64_t n) {
    if (buffer == nullptr || buffer->failed) return nullptr;
    const uint64_t new_size = buffer->size + n;
    void *grown = new_size < buffer->size || new_size > SIZE_MAX
                      ? nullptr
                      : cbor_realloc(buffer->data, static_cast<size_t>(new_size));
    if (grown == nullptr) {
        buffer->failed = true;
        return nullptr;
    }
    buffer->data = static_cast<unsigned char *>(grown);
    unsigned char *const space = buffer->data + buffer->size;
    buffer->size = new_size;
    return space;
}

/* One byte appended: 0, or -1 when it could not be. */
inline int32_t cbor_append_byte(cbor_buffer *buffer, unsigned char byte) {
    unsigned char *const space = cbor_append(buffer, 1);
    if (space == nullptr) return -1;
    *space = byte;
    return 0;
}
