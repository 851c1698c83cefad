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

int32_t cbor_put_bytes(cbor_buffer *buffer, const void *source, uint64_t n) {
    if (buffer == nullptr || buffer->failed) return -1;
    if (n == 0) return 0;
    const uint64_t new_size = buffer->size + n;
    void *grown = new_size < buffer->size || new_size > SIZE_MAX
                      ? nullptr
                      : cbor_realloc(buffer->data, static_cast<size_t>(new_size));
    if (grown == nullptr) {
        buffer->failed = true;
        return -1;
    }
    buffer->data = static_cast<unsigned char *>(grown);
    std::memcpy(buffer->data + buffer->size, source, static_cast<size_t>(n));
    buffer->size = new_size;
    return 0;
}

int32_t cbor_put_byte(cbor_buffer *buffer, unsigned char byte) {
    return cbor_put_bytes(buffer, &byte, 1);
}
