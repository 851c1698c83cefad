#include "allocation.h"
#include "cbor_reader.h"

#include <cstdint>

cbor_reader *cbor_reader_new(const void *data, uint64_t length) {
    if (length > INT32_MAX) return nullptr;
    auto *reader = static_cast<cbor_reader *>(cbor_calloc(1, sizeof(cbor_reader)));
    if (reader == nullptr) return nullptr;
    reader->data = static_cast<const unsigned char *>(data);
    reader->length = length;
    reader->cursor = reader->data;
    return reader;
}

void cbor_reader_free(cbor_reader *reader) {
    cbor_free(reader);
}

int32_t cbor_reader_remaining(const cbor_reader *reader) {
    if (reader == nullptr) return 0;
    return static_cast<int32_t>(reader->length - static_cast<uint64_t>(reader->cursor - reader->data));
}

namespace {
bool owns_string(const cbor_item *item) {
    return item->major_type == 2 || item->major_type == 3;
}
}  // namespace

cbor_item *cbor_read_item(cbor_reader *reader) {
    if (cbor_reader_remaining(reader) <= 0) return nullptr;
    const unsigned char initial_byte = *reader->cursor;
    auto *item = static_cast<cbor_item *>(cbor_calloc(1, sizeof(cbor_item)));
    if (item == nullptr) return nullptr;
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
    if (owns_string(item)) cbor_free(item->value.string);
    cbor_free(item);
}
