#include "allocation.h"
#include "append.h"
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
    if (n == 0) return buffer == nullptr || buffer->failed ? -1 : 0;
    unsigned char *const space = cbor_append(buffer, n);
    if (space == nullptr) return -1;
    std::memcpy(space, source, static_cast<size_t>(n));
    return 0;
}

int32_t cbor_put_byte(cbor_buffer *buffer, unsigned char byte) {
    return cbor_append_byte(buffer, byte);
}
