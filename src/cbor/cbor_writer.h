#pragma once
/*
 * CBOR writer: a growable output buffer and the functions that append data
 * items to it.
 *
 * Contract shared by every cbor_put_* writer:
 *  - The caller owns the cbor_buffer (cbor_buffer_new / cbor_buffer_free); the
 *    buffer owns its block, whose first `size` bytes are the output (the
 *    rest is spare room, never read).
 *  - 0 means the whole item was appended; -1 means a null buffer or a failed
 *    allocation. The float width writers report success as 1 (see below).
 *  - A failed allocation marks the buffer as failed for good: every later
 *    append returns -1 and writes nothing, so the bytes held are always a
 *    prefix of what the caller asked for. cbor_buffer_failed tells the caller
 *    not to use them.
 *  - The writers do not track nesting: the caller writes a well-formed sequence
 *    (a start, its elements, and a break after an indefinite start).
 *  - An item is written at once when the block has room for all of it, and
 *    byte by byte, growing the block where it must, when it has not; the
 *    bytes, the growth and the failures are the same either way. The writers
 *    the encoder calls for every item are inline (inline_writers.h).
 */

#include <cstdint>

struct cbor_block_cache; /* allocation.h */

/* Output bytes. A new buffer has a null `data`, `size` and `capacity` 0.
 * The block holds `capacity` bytes, the first `size` of them written, and
 * size <= capacity <= max(32, 2 x size): an append that does not fit grows
 * the block once, to twice its capacity or to what the append needs if
 * more, so that the copies a heap makes when it moves a growing block add
 * up to at most the output's size, on every heap. A failed buffer keeps its
 * block but no room: its capacity drops to its size. */
struct cbor_buffer {
    unsigned char *data;
    uint64_t size;
    uint64_t capacity;
    bool failed;
    cbor_block_cache *blocks; /* where the record and its block come from; null: the heap */
};

/* Length that asks the string, array and map writers for an indefinite start. */
constexpr uint64_t CBOR_INDEFINITE = UINT64_MAX;

/* A new zeroed buffer, or null when it cannot be allocated. */
cbor_buffer *cbor_buffer_new();

/* The same, its record and block taken from `blocks` (null: the heap). */
cbor_buffer *cbor_buffer_new(cbor_block_cache *blocks);

/* Frees the block, then the record, to where they came from; a null buffer is ignored. */
void cbor_buffer_free(cbor_buffer *buffer);

/* True when an append has failed (or the buffer is null): the bytes are incomplete. */
bool cbor_buffer_failed(const cbor_buffer *buffer);

/* Appends one byte. */
int32_t cbor_put_byte(cbor_buffer *buffer, unsigned char byte);

/* Appends n bytes copied from source; n = 0 appends nothing and allocates nothing. */
int32_t cbor_put_bytes(cbor_buffer *buffer, const void *source, uint64_t n);

/* Shortest head for (major type 0-7, n): 1, 2, 3, 5 or 9 bytes; (0, 24) -> 18 18. */
inline int32_t cbor_put_head(cbor_buffer *buffer, unsigned major_type, uint64_t n);

/* Writes initial_byte, then n big-endian in the width its low five bits select
 * (24-27: 1, 2, 4, 8 bytes); any other value writes initial_byte | (n & 0xFF) alone. */
int32_t cbor_put_head_raw(cbor_buffer *buffer, unsigned char initial_byte, uint64_t n);

/* Unsigned integer: 0 -> 00, 24 -> 18 18, 2^64-1 -> 1B FF FF FF FF FF FF FF FF. */
inline int32_t cbor_put_uint(cbor_buffer *buffer, uint64_t n);

/* Negative integer v < 0, argument -1-v: -1 -> 20, -25 -> 38 18, -2^63 -> 3B 7F FF .. FF. */
inline int32_t cbor_put_negint(cbor_buffer *buffer, int64_t v);

/* Byte string of n bytes (head 2, n), or 5F alone for CBOR_INDEFINITE; b'' -> 40. */
inline int32_t cbor_put_bytestring(cbor_buffer *buffer, const void *source, uint64_t n);

/* Text string of n UTF-8 bytes, not validated (head 3, n), or 7F for CBOR_INDEFINITE. */
inline int32_t cbor_put_textstring(cbor_buffer *buffer, const void *source, uint64_t n);

/* Array head for n elements (0 -> 80), or 9F for CBOR_INDEFINITE. */
inline int32_t cbor_put_array_start(cbor_buffer *buffer, uint64_t n);

/* Map head for n key/value pairs (1 -> A1, 24 -> B8 18), or BF for CBOR_INDEFINITE. */
inline int32_t cbor_put_map_start(cbor_buffer *buffer, uint64_t n);

/* FF, closing an indefinite-length item. */
inline int32_t cbor_put_break(cbor_buffer *buffer);

/* F4. */
inline int32_t cbor_put_false(cbor_buffer *buffer);

/* F5. */
inline int32_t cbor_put_true(cbor_buffer *buffer);

/* F6. */
inline int32_t cbor_put_null(cbor_buffer *buffer);

/* Half float F9 + 2 bytes from x rounded to single and truncated, normal halves
 * only (exponents outside the half range give an unrelated half); x not NaN.
 * 1 on success, -1 on failure. */
int32_t cbor_put_half(cbor_buffer *buffer, double x);

/* Single float FA + 4 bytes of x rounded to single; x not NaN. 1 or -1. */
int32_t cbor_put_single(cbor_buffer *buffer, double x);

/* Double float FB + 8 bytes of x. 1 or -1. */
int32_t cbor_put_double(cbor_buffer *buffer, double x);

/* x in the shortest of half, single and double that reads back equal:
 * 1.5 -> F9 3E 00, 65505.0 -> FA 47 7F E1 00, 0.1 -> FB 3F B9 99 99 99 99 99 9A,
 * 2^-24 -> FA 33 80 00 00 (never a subnormal half), -0.0 -> F9 80 00.
 * Fixed forms, result 0: NaN -> F9 7E 00, +inf -> F9 7C 00, -inf -> F9 FC 00.
 * Result 1 after a chosen width; negative when nothing could be written, in
 * which case the buffer is marked failed. */
int32_t cbor_put_float(cbor_buffer *buffer, double x);

#include "inline_writers.h"
