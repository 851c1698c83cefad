#pragma once
/*
 * The writers the encoder calls for every item, defined here so that they
 * compile into it. An item whose bytes all fit in the block's spare room is
 * written with one check and one size update: the head's argument stored
 * big-endian in one go, a payload of up to 32 bytes by fixed-size copies
 * that compile to a few moves. An item that does not fit, and any item for
 * a null or failed buffer (a failed buffer has no room), takes the checked
 * path instead (cbor_put_byte, cbor_put_item_bytewise), which appends it
 * byte by byte and grows the block where an append needs it: the bytes, the
 * block's growth, the allocations and what a failed allocation leaves
 * behind are the same whichever path runs.
 */

#include "big_endian.h"
#include "cbor_writer.h"

#include <cstdint>
#include <cstring>

/* Inlined whatever the compiler's estimate of the caller's size: with
 * link-time optimisation GCC would otherwise call the item writer out of
 * line from every site, and pass an integer's empty payload to the copy. */
#if defined(_MSC_VER)
#define CBOR_ALWAYS_INLINE __forceinline
#elif defined(__GNUC__) || defined(__clang__)
#define CBOR_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define CBOR_ALWAYS_INLINE inline
#endif

/* The checked path, which runs only when an item does not fit (or the
 * buffer has failed), kept out of line: inlined by link-time optimisation
 * into the encoder's loops, it made the JSON documents, short strings and
 * dicts take a tenth longer. */
#if defined(_MSC_VER)
#define CBOR_NEVER_INLINE __declspec(noinline)
#elif defined(__GNUC__) || defined(__clang__)
#define CBOR_NEVER_INLINE __attribute__((noinline))
#else
#define CBOR_NEVER_INLINE
#endif

/* The checked path of an item: head (initial_byte, n) through
 * cbor_put_head_raw, then payload_size bytes of payload through
 * cbor_put_bytes; -1 as soon as an append fails. */
int32_t cbor_put_item_bytewise(cbor_buffer *buffer, unsigned char initial_byte, uint64_t n, const void *payload,
                               uint64_t payload_size);

/* Payloads of up to 32 bytes as two overlapping fixed-size copies; longer
 * ones by memcpy, whose call then costs little beside the copy. */
CBOR_ALWAYS_INLINE void cbor_copy_payload(unsigned char *out, const void *source, uint64_t n) {
    const auto *in = static_cast<const unsigned char *>(source);
    if (n > 32) {
        std::memcpy(out, in, static_cast<size_t>(n));
    } else if (n >= 16) {
        std::memcpy(out, in, 16);
        std::memcpy(out + n - 16, in + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(out, in, 8);
        std::memcpy(out + n - 8, in + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(out, in, 4);
        std::memcpy(out + n - 4, in + n - 4, 4);
    } else if (n >= 2) {
        std::memcpy(out, in, 2);
        std::memcpy(out + n - 2, in + n - 2, 2);
    } else if (n == 1) {
        out[0] = in[0];
    }
}

/* Head (initial_byte, then n in ArgumentBytes big-endian bytes) and
 * payload_size bytes of payload, when the spare room holds them all;
 * false, with nothing written, when it does not or the buffer is null. */
template <unsigned ArgumentBytes>
CBOR_ALWAYS_INLINE bool cbor_put_in_room(cbor_buffer *buffer, unsigned char initial_byte, uint64_t n, const void *payload,
                             uint64_t payload_size) {
    constexpr uint64_t head_size = 1 + ArgumentBytes;
    if (buffer == nullptr) return false;
    const uint64_t room = buffer->capacity - buffer->size;
    if (room < head_size || payload_size > room - head_size) return false;
    unsigned char *const out = buffer->data + buffer->size;
    out[0] = initial_byte;
    store_big_endian(out + 1, n, ArgumentBytes);
    cbor_copy_payload(out + head_size, payload, payload_size);
    buffer->size += head_size + payload_size;
    return true;
}

/* The shortest head for (major_bits, the major type shifted into the top
 * three bits; n), then payload_size bytes of payload. */
CBOR_ALWAYS_INLINE int32_t cbor_put_item(cbor_buffer *buffer, unsigned char major_bits, uint64_t n, const void *payload,
                             uint64_t payload_size) {
    unsigned char initial_byte;
    bool written;
    if (n <= 23) {
        initial_byte = static_cast<unsigned char>(major_bits | n);
        written = cbor_put_in_room<0>(buffer, initial_byte, n, payload, payload_size);
    } else if (n <= 0xFF) {
        initial_byte = static_cast<unsigned char>(major_bits | 24);
        written = cbor_put_in_room<1>(buffer, initial_byte, n, payload, payload_size);
    } else if (n <= 0xFFFF) {
        initial_byte = static_cast<unsigned char>(major_bits | 25);
        written = cbor_put_in_room<2>(buffer, initial_byte, n, payload, payload_size);
    } else if (n <= 0xFFFFFFFF) {
        initial_byte = static_cast<unsigned char>(major_bits | 26);
        written = cbor_put_in_room<4>(buffer, initial_byte, n, payload, payload_size);
    } else {
        initial_byte = static_cast<unsigned char>(major_bits | 27);
        written = cbor_put_in_room<8>(buffer, initial_byte, n, payload, payload_size);
    }
    return written ? 0 : cbor_put_item_bytewise(buffer, initial_byte, n, payload, payload_size);
}

/* One byte that is a whole item. */
CBOR_ALWAYS_INLINE int32_t cbor_put_one_byte_item(cbor_buffer *buffer, unsigned char byte) {
    return cbor_put_in_room<0>(buffer, byte, 0, nullptr, 0) ? 0 : cbor_put_byte(buffer, byte);
}

/* An indefinite start (major_bits | 31) for CBOR_INDEFINITE, else the head with payload. */
CBOR_ALWAYS_INLINE int32_t cbor_put_start_or_item(cbor_buffer *buffer, unsigned char major_bits, uint64_t n,
                                      const void *payload, uint64_t payload_size) {
    if (n == CBOR_INDEFINITE) return cbor_put_one_byte_item(buffer, static_cast<unsigned char>(major_bits | 31));
    return cbor_put_item(buffer, major_bits, n, payload, payload_size);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_head(cbor_buffer *buffer, unsigned major_type, uint64_t n) {
    return cbor_put_item(buffer, static_cast<unsigned char>(major_type << 5), n, nullptr, 0);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_uint(cbor_buffer *buffer, uint64_t n) {
    return cbor_put_item(buffer, 0x00, n, nullptr, 0);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_negint(cbor_buffer *buffer, int64_t v) {
    return cbor_put_item(buffer, 0x20, ~static_cast<uint64_t>(v), nullptr, 0);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_bytestring(cbor_buffer *buffer, const void *source, uint64_t n) {
    return cbor_put_start_or_item(buffer, 0x40, n, source, n);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_textstring(cbor_buffer *buffer, const void *source, uint64_t n) {
    return cbor_put_start_or_item(buffer, 0x60, n, source, n);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_array_start(cbor_buffer *buffer, uint64_t n) {
    return cbor_put_start_or_item(buffer, 0x80, n, nullptr, 0);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_map_start(cbor_buffer *buffer, uint64_t n) {
    return cbor_put_start_or_item(buffer, 0xA0, n, nullptr, 0);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_break(cbor_buffer *buffer) {
    return cbor_put_one_byte_item(buffer, 0xFF);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_false(cbor_buffer *buffer) {
    return cbor_put_one_byte_item(buffer, 0xF4);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_true(cbor_buffer *buffer) {
    return cbor_put_one_byte_item(buffer, 0xF5);
}

CBOR_ALWAYS_INLINE int32_t cbor_put_null(cbor_buffer *buffer) {
    return cbor_put_one_byte_item(buffer, 0xF6);
}
