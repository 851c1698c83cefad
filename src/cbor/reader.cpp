#include "allocation.h"
#include "cbor_reader.h"

#include <cstdint>

cbor_reader *cbor_reader_new(const void *data, uint64_t length) {
    return cbor_reader_new(data, length, nullptr);
}

cbor_reader *cbor_reader_new(const void *data, uint64_t length, cbor_block_cache *blocks) {
    if (length > INT32_MAX) return nullptr;
    auto *reader = static_cast<cbor_reader *>(cbor_calloc(1, sizeof(cbor_reader), blocks));
    if (reader == nullptr) return nullptr;
    reader->data = static_cast<const unsigned char *>(data);
    reader->length = length;
    reader->cursor = reader->data;
    reader->blocks = blocks;
    return reader;
}

void cbor_reader_free(cbor_reader *reader) {
    if (reader != nullptr) cbor_free(reader, reader->blocks);
}

namespace {
bool owns_string(const cbor_item *item) {
    return item->major_type == 2 || item->major_type == 3;
}
}  // namespace

cbor_item *cbor_read_item(cbor_reader *reader) {
    if (cbor_reader_remaining(reader) <= 0) return nullptr;
    const unsigned char initial_byte = *reader->cursor;
    auto *item = static_cast<cbor_item *>(cbor_calloc(1, sizeof(cbor_item), reader->blocks));
    if (item == nullptr) return nullptr;
    item->blocks = reader->blocks;
    item->initial_byte = initial_byte;
    item->major_type = initial_byte >> 5;
    if (cbor_item_handlers[initial_byte](reader, item) < 0) {
        cbor_item_free(item);
        return nullptr;
    }
    return item;
}

void cbor_item_free(cbor_item *item) {
    if (item == nullptr) return;
    if (owns_string(item)) cbor_free(item->value.string, item->blocks);
    cbor_free(item, item->blocks);
}
