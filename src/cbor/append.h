#pragma once
/*
 * The checked way bytes enter a cbor_buffer, taken by the writers whenever
 * a whole item does not fit in the block's spare room (inline_writers.h):
 * an append that fits in the room only moves `size`; one that does not
 * grows the block first (cbor_buffer_grow), and the caller fills the new
 * bytes.
 */

#include "allocation.h"
#include "cbor_writer.h"

#include <cstdint>

/* Grows the block so that n more bytes fit, or marks the buffer failed and
 * returns false when the size would overflow or the block cannot grow. */
bool cbor_buffer_grow(cbor_buffer *buffer, uint64_t n);

/* Marks the buffer failed for good: no room left, and every append refused. */
inline void cbor_buffer_mark_failed(cbor_buffer *buffer) {
    buffer->failed = true;
    buffer->capacity = buffer->size;
}

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
