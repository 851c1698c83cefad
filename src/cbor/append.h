#pragma once
/*
 * The one way bytes enter a cbor_buffer, shared by the writers of the codec
 * and inlined into them: an append that fits in the block's spare room only
 * moves `size`; one that does not grows the block first (cbor_buffer_grow),
 * and the caller fills the new bytes.
 */

#include "allocation.h"
#include "cbor_writer.h"

#include <cstdint>

/* Grows the block so that n more bytes fit, or marks the buffer failed and
 * returns false when the size would overflow or the block cannot grow. */
bool cbor_buffer_grow(cbor_buffer *buffer, uint64_t n);

/* Room for n more bytes at the end of the buffer, which the caller must
 * fill; null, with the buffer marked failed from then on, when the buffer
 * is null or failed already, or the block cannot grow. */
inline unsigned char *cbor_append(cbor_buffer *buffer, uint64_t n) {
    if (buffer == nullptr || buffer->failed) return nullptr;
    if (n > buffer->capacity - buffer->size && !cbor_buffer_grow(buffer, n)) return nullptr;
    unsigned char *const space = buffer->data + buffer->size;
    buffer->size += n;
    return space;
}

/* One byte appended: 0, or -1 when it could not be. */
inline int32_t cbor_append_byte(cbor_buffer *buffer, unsigned char byte) {
    unsigned char *const space = cbor_append(buffer, 1);
    if (space == nullptr) return -1;
    *space = byte;
    return 0;
}
