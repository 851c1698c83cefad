#pragma once
/*
 * CBOR reader: reads one data item per call from a byte span it does not own.
 * The byte at the cursor selects a handler from cbor_item_handlers; arrays and
 * maps yield their count only, and the caller reads the elements with further
 * calls. The reader serves spans shorter than 2^31 bytes.
 */

#include <array>
#include <cstdint>

struct cbor_block_cache; /* allocation.h */

/* Cursor over a span; the span must stay valid and unchanged while it is read. */
struct cbor_reader {
    const unsigned char *data;
    uint64_t length;
    const unsigned char *cursor;
    int32_t in_indefinite;    /* set by an indefinite start, cleared by a break */
    cbor_block_cache *blocks; /* where the record and the items read come from; null: the heap */
};

/* One decoded item, owned by the caller of cbor_read_item. */
struct cbor_item {
    unsigned char initial_byte;
    uint32_t major_type;
    union {
        uint64_t integer;      /* major 0: the argument; major 1: its complement */
        double number;         /* F9, FA, FB */
        unsigned char *string; /* major 2 and 3, definite: heap copy followed by a 0 byte */
    } value;
    int64_t length; /* string bytes, array elements or map pairs; -1 for an indefinite start */
    cbor_block_cache *blocks; /* where the record and its string copy come from; null: the heap */
};

/* Handler for one initial byte: cursor on that byte; 0 on success, -1 on failure. */
using cbor_item_handler = int32_t (*)(cbor_reader *reader, cbor_item *item);

/* The handler of every initial byte. */
extern const std::array<cbor_item_handler, 256> cbor_item_handlers;

/* A reader at the start of the span; null when it cannot be allocated or the
 * span is 2^31 bytes or longer. */
cbor_reader *cbor_reader_new(const void *data, uint64_t length);

/* The same, the record and the items read taken from `blocks` (null: the heap). */
cbor_reader *cbor_reader_new(const void *data, uint64_t length, cbor_block_cache *blocks);

/* Frees the record only, never the span; a null reader is ignored. */
void cbor_reader_free(cbor_reader *reader);

/* Bytes left after the cursor; 0 for a null reader. */
inline int32_t cbor_reader_remaining(const cbor_reader *reader) {
    if (reader == nullptr) return 0;
    return static_cast<int32_t>(reader->length - static_cast<uint64_t>(reader->cursor - reader->data));
}

/* The next item, or null when nothing is left, the input is short (19 01, or
 * 43 01 02) or an allocation fails. The cursor's position after a failure is
 * unspecified. E0-F3 and F8 print "Unimplemented CBOR code: xx" on stderr and
 * still succeed. Tag heads D8-DB and the simple value F8 consume their
 * argument bytes; the tag number is not recorded. */
cbor_item *cbor_read_item(cbor_reader *reader);

/* Frees the payload copy of a string item, then the record, to where they came
 * from; null is ignored. */
void cbor_item_free(cbor_item *item);
