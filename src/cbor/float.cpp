#include "allocation.h"
#include "append.h"
#include "big_endian.h"
#include "cbor_reader.h"
#include "cbor_writer.h"

#include <cmath>
#include <cstring>

namespace {
uint32_t single_bits(double x) {
    const float single = static_cast<float>(x);
    uint32_t bits;
    std::memcpy(&bits, &single, sizeof bits);
    return bits;
}

/* Truncating conversion: exponents outside the half's normal range are not
 * clamped, so they give a half that the read-back rejects. */
uint16_t half_bits(double x) {
    const uint32_t single = single_bits(x);
    const uint32_t sign = single >> 31;
    const uint32_t exponent = (single >> 23) & 0xFF;
    const uint32_t fraction = single & 0x7FFFFF;
    uint32_t half = (sign << 15) | (fraction >> 13);
    if (exponent == 255) {
        half = (sign << 15) | 0x7C00;
    } else if (exponent != 0) {
        half |= ((((exponent - 127) & 0xFF) + 15) * 1024) & 0xFFFF;
    }
    return static_cast<uint16_t>(half);
}

/* One append when the room holds the whole item; otherwise the initial byte,
 * then the payload. */
template <unsigned Width>
int32_t put_width(cbor_buffer *buffer, unsigned char initial_byte, uint64_t bits) {
    if (cbor_put_in_room<Width>(buffer, initial_byte, bits, nullptr, 0)) return 1;
    if (cbor_put_byte(buffer, initial_byte) < 0) return -1;
    unsigned char payload[8];
    store_big_endian(payload, bits, Width);
    return cbor_put_bytes(buffer, payload, Width) < 0 ? -1 : 1;
}

/* Null when the candidate was not written or cannot be read back. A failed
 * read leaves the cursor anywhere, so it is set past the candidate's bytes to
 * keep the next candidate aligned. */
cbor_item *read_candidate(cbor_reader *reader, int32_t write_status, unsigned encoded_size) {
    if (write_status < 0 || reader == nullptr) return nullptr;
    const unsigned char *start = reader->cursor;
    cbor_item *item = cbor_read_item(reader);
    reader->cursor = start + encoded_size;
    return item;
}

/* The writer of the shortest candidate that reads back equal, or null when
 * even the double candidate is missing. */
using width_writer = int32_t (*)(cbor_buffer *, double);
width_writer choose_width(const cbor_item *half, const cbor_item *single, const cbor_item *dbl) {
    if (dbl == nullptr) return nullptr;
    if (single == nullptr || single->value.number != dbl->value.number) return cbor_put_double;
    if (half == nullptr || half->value.number != single->value.number) return cbor_put_single;
    return cbor_put_half;
}

const unsigned char nan_form[] = {0xF9, 0x7E, 0x00};
const unsigned char positive_infinity_form[] = {0xF9, 0x7C, 0x00};
const unsigned char negative_infinity_form[] = {0xF9, 0xFC, 0x00};
}  // namespace

int32_t cbor_put_half(cbor_buffer *buffer, double x) {
    return put_width<2>(buffer, 0xF9, half_bits(x));
}

int32_t cbor_put_single(cbor_buffer *buffer, double x) {
    return put_width<4>(buffer, 0xFA, single_bits(x));
}

int32_t cbor_put_double(cbor_buffer *buffer, double x) {
    uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    return put_width<8>(buffer, 0xFB, bits);
}

int32_t cbor_put_float(cbor_buffer *buffer, double x) {
    if (std::isnan(x)) return cbor_put_bytes(buffer, nan_form, sizeof nan_form);
    if (std::isinf(x)) {
        return cbor_put_bytes(buffer, x < 0 ? negative_infinity_form : positive_infinity_form, 3);
    }

    cbor_block_cache *const blocks = cbor_thread_block_cache();
    cbor_buffer *scratch = cbor_buffer_new(blocks);
    const int32_t half_status = cbor_put_half(scratch, x);
    const int32_t single_status = cbor_put_single(scratch, x);
    const int32_t double_status = cbor_put_double(scratch, x);

    cbor_reader *reader = scratch == nullptr ? nullptr : cbor_reader_new(scratch->data, scratch->size, blocks);
    cbor_item *half = read_candidate(reader, half_status, 3);
    cbor_item *single = read_candidate(reader, single_status, 5);
    cbor_item *dbl = read_candidate(reader, double_status, 9);

    const width_writer writer = choose_width(half, single, dbl);
    int32_t result = -1;
    if (writer != nullptr) {
        result = writer(buffer, x);
    } else if (buffer != nullptr) {
        /* The value could not be written: the output must not go on without it. */
        cbor_buffer_mark_failed(buffer);
    }

    cbor_item_free(dbl);
    cbor_item_free(single);
    cbor_item_free(half);
    cbor_reader_free(reader);
    cbor_buffer_free(scratch);
    return result;
}
