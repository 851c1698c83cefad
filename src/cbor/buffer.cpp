#include "allocation.h"
#include "append.h"
#include "cbor_writer.h"


namespace {
/* Small enough for a tiny output, large enough for the float writer's three
 * candidates (17 bytes) in one allocation. */
constexpr uint64_t first_capacity = 32;

/* Twice as much: O(log n) reallocations and at most n bytes copied for n
 * bytes of output. Half as much again spares memory but took a fifth longer
 * under wine's heap, where every reallocation of a large block costs far
 * more than its copy. Saturates instead of overflowing. */
constexpr uint64_t next_capacity(uint64_t capacity) {
    if (capacity < first_capacity) return first_capacity;
    return capacity > UINT64_MAX / 2 ? UINT64_MAX : 2 * capacity;
}
}  // namespace

cbor_buffer *cbor_buffer_new() {
    return cbor_buffer_new(nullptr);
}

cbor_buffer *cbor_buffer_new(cbor_block_cache *blocks) {
    auto *buffer = static_cast<cbor_buffer *>(cbor_calloc(1, sizeof(cbor_buffer), blocks));
    if (buffer != nullptr) buffer->blocks = blocks;
    return buffer;
}

void cbor_buffer_free(cbor_buffer *buffer) {
    if (buffer == nullptr) return;
    cbor_block_cache *const blocks = buffer->blocks;
    cbor_free(buffer->data, blocks);
    cbor_free(buffer, blocks);
}

CBOR_NEVER_INLINE bool cbor_buffer_grow(cbor_buffer *buffer, uint64_t n) {
    const uint64_t needed = buffer->size + n;
    uint64_t capacity = next_capacity(buffer->capacity);
    if (capacity > SIZE_MAX) capacity = SIZE_MAX;
    if (capacity < needed) capacity = needed;
    void *grown = needed < buffer->size || needed > SIZE_MAX
                      ? nullptr
                      : cbor_realloc(buffer->data, static_cast<size_t>(capacity), buffer->blocks);
    if (grown == nullptr) {
        cbor_buffer_mark_failed(buffer);
        return false;
    }
    buffer->data = static_cast<unsigned char *>(grown);
    buffer->capacity = capacity;
    return true;
}

bool cbor_buffer_failed(const cbor_buffer *buffer) {
    return buffer == nullptr || buffer->failed;
}

CBOR_NEVER_INLINE int32_t cbor_put_bytes(cbor_buffer *buffer, const void *source, uint64_t n) {
    if (n == 0) return buffer == nullptr || buffer->failed ? -1 : 0;
    unsigned char *const space = cbor_append(buffer, n);
    if (space == nullptr) return -1;
    cbor_copy_payload(space, source, n);
    return 0;
}

CBOR_NEVER_INLINE int32_t cbor_put_byte(cbor_buffer *buffer, unsigned char byte) {
    return cbor_append_byte(buffer, byte);
}
