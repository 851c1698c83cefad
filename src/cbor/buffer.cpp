#include "allocation.h"
#include "cbor_writer.h"

#include <cstring>

cbor_buffer *cbor_buffer_new() {
    return static_cast<cbor_buffer *>(cbor_calloc(1, sizeof(cbor_buffer)));
}

void cbor_buffer_free(cbor_buffer *buffer) {
    if (buffer == nullptr) return;
    cbor_free(buffer->data);
    cbor_free(buffer);
}

bool cbor_buffer_failed(const cbor_buffer *buffer) {
    return buffer == nullptr || buffer->failed;
}

namespace {
/* Reallocates the block to the exact size with n more bytes; the n bytes at
 * the end are the caller's to fill. Null, and the buffer marked failed, when
 * that cannot be done. */
unsigned char *grow(cbor_buffer *buffer, uint64_t n) {
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
}  // namespace

int32_t cbor_put_bytes(cbor_buffer *buffer, const void *source, uint64_t n) {
    if (buffer == nullptr || buffer->failed) return -1;
    if (n == 0) return 0;
    unsigned char *const space = grow(buffer, n);
    if (space == nullptr) return -1;
    std::memcpy(space, source, static_cast<size_t>(n));
    return 0;
}

/* Stores the byte itself rather than copying it: heads are written a byte at a time. */
int32_t cbor_put_byte(cbor_buffer *buffer, unsigned char byte) {
    if (buffer == nullptr || buffer->failed) return -1;
    unsigned char *const space = grow(buffer, 1);
    if (space == nullptr) return -1;
    *space = byte;
    return 0;
}
