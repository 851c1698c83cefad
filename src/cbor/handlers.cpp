#include "allocation.h"
#include "big_endian.h"
#include "cbor_reader.h"

#include <cstdio>
#include <cstring>
#include <limits>

namespace {
int32_t cbor_read_uint_inline(cbor_reader *reader, cbor_item *item) {
    item->value.integer = item->initial_byte & 0x1F;
    reader->cursor += 1;
    return 0;
}

/* Moves past the initial byte, then past `width` payload bytes if they are there. */
const unsigned char *take_payload(cbor_reader *reader, unsigned width) {
    reader->cursor += 1;
    if (cbor_reader_remaining(reader) < static_cast<int32_t>(width)) return nullptr;
    const unsigned char *payload = reader->cursor;
    reader->cursor += width;
    return payload;
}

template <unsigned Width>
int32_t cbor_read_uint(cbor_reader *reader, cbor_item *item) {
    const unsigned char *payload = take_payload(reader, Width);
    if (payload == nullptr) return -1;
    item->value.integer = load_big_endian(payload, Width);
    return 0;
}

constexpr auto cbor_read_uint_1 = cbor_read_uint<1>;
constexpr auto cbor_read_uint_2 = cbor_read_uint<2>;
constexpr auto cbor_read_uint_4 = cbor_read_uint<4>;
constexpr auto cbor_read_uint_8 = cbor_read_uint<8>;

template <cbor_item_handler ReadArgument>
int32_t cbor_read_negint(cbor_reader *reader, cbor_item *item) {
    if (ReadArgument(reader, item) < 0) return -1;
    item->value.integer = ~item->value.integer;
    return 0;
}

/* Byte and text copies alike end with a 0 byte after the payload, which also
 * keeps an empty payload's allocation non-empty. */
template <cbor_item_handler ReadArgument>
int32_t cbor_read_string(cbor_reader *reader, cbor_item *item) {
    if (ReadArgument(reader, item) < 0) return -1;
    const uint64_t length = item->value.integer;
    item->value.integer = 0;
    item->length = static_cast<int64_t>(length);
    if (length > static_cast<uint64_t>(cbor_reader_remaining(reader))) return -1;
    auto *copy = static_cast<unsigned char *>(cbor_malloc(static_cast<size_t>(length) + 1, reader->blocks));
    if (copy == nullptr) return -1;
    if (length > 0) std::memcpy(copy, reader->cursor, static_cast<size_t>(length));
    copy[length] = 0;
    item->value.string = copy;
    reader->cursor += length;
    return 0;
}

template <cbor_item_handler ReadArgument>
constexpr auto cbor_read_bytestring = cbor_read_string<ReadArgument>;
template <cbor_item_handler ReadArgument>
constexpr auto cbor_read_textstring = cbor_read_string<ReadArgument>;

template <cbor_item_handler ReadArgument>
int32_t cbor_read_count(cbor_reader *reader, cbor_item *item) {
    if (ReadArgument(reader, item) < 0) return -1;
    item->length = static_cast<int64_t>(item->value.integer);
    item->value.integer = 0;
    return 0;
}

int32_t cbor_read_indefinite_start(cbor_reader *reader, cbor_item *item) {
    item->length = -1;
    reader->cursor += 1;
    reader->in_indefinite = 1;
    return 0;
}

int32_t cbor_read_break(cbor_reader *reader, cbor_item *) {
    reader->cursor += 1;
    reader->in_indefinite = 0;
    return 0;
}

int32_t cbor_read_skip(cbor_reader *reader, cbor_item *) {
    reader->cursor += 1;
    return 0;
}

/* A tag head with argument bytes: the bytes are consumed, the number is not kept. */
template <cbor_item_handler ReadArgument>
int32_t cbor_read_tag(cbor_reader *reader, cbor_item *item) {
    if (ReadArgument(reader, item) < 0) return -1;
    item->value.integer = 0;
    return 0;
}

int32_t cbor_read_unimplemented(cbor_reader *reader, cbor_item *item) {
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", item->initial_byte);
    reader->cursor += 1;
    return 0;
}

/* F8 carries its simple value in one more byte. */
int32_t cbor_read_unimplemented_simple(cbor_reader *reader, cbor_item *item) {
    std::fprintf(stderr, "Unimplemented CBOR code: %02x\n", item->initial_byte);
    if (take_payload(reader, 1) == nullptr) return -1;
    return 0;
}

double double_from_bits(uint64_t bits) {
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

/* Exact without a library call: a subnormal half is its fraction times
 * 2^-24 (a product by a power of two), a normal one the double whose
 * exponent is the half's rebased from 15 to 1023 and whose fraction is the
 * half's in its top ten bits. */
int32_t cbor_read_half(cbor_reader *reader, cbor_item *item) {
    const unsigned char *payload = take_payload(reader, 2);
    if (payload == nullptr) return -1;
    const auto half = static_cast<uint16_t>(load_big_endian(payload, 2));
    const unsigned exponent = (half >> 10) & 0x1F;
    const uint64_t fraction = half & 0x3FF;
    double value;
    if (exponent == 0) {
        value = static_cast<double>(fraction) * 0x1p-24;
    } else if (exponent != 31) {
        value = double_from_bits(uint64_t{exponent + 1023 - 15} << 52 | fraction << 42);
    } else {
        value = fraction == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
    }
    item->value.number = (half & 0x8000) ? -value : value;
    return 0;
}

int32_t cbor_read_single(cbor_reader *reader, cbor_item *item) {
    const unsigned char *payload = take_payload(reader, 4);
    if (payload == nullptr) return -1;
    const auto bits = static_cast<uint32_t>(load_big_endian(payload, 4));
    if (bits == 0x7F800000) {
        item->value.number = double_from_bits(0x7FF0000000000000);
    } else if (bits == 0x7FFC0000) {
        item->value.number = double_from_bits(0xFFF8000000000000);
    } else {
        float single;
        std::memcpy(&single, &bits, sizeof single);
        item->value.number = single;
    }
    return 0;
}

int32_t cbor_read_double(cbor_reader *reader, cbor_item *item) {
    const unsigned char *payload = take_payload(reader, 8);
    if (payload == nullptr) return -1;
    item->value.number = double_from_bits(load_big_endian(payload, 8));
    return 0;
}

struct handler_range {
    unsigned first;
    unsigned last;
    cbor_item_handler handler;
};

/* One row per run of initial bytes, in byte order. */
constexpr handler_range handler_ranges[] = {
    {0x00, 0x17, cbor_read_uint_inline},
    {0x18, 0x18, cbor_read_uint_1},
    {0x19, 0x19, cbor_read_uint_2},
    {0x1A, 0x1A, cbor_read_uint_4},
    {0x1B, 0x1B, cbor_read_uint_8},
    {0x1C, 0x1F, cbor_read_skip},
    {0x20, 0x37, cbor_read_negint<cbor_read_uint_inline>},
    {0x38, 0x38, cbor_read_negint<cbor_read_uint_1>},
    {0x39, 0x39, cbor_read_negint<cbor_read_uint_2>},
    {0x3A, 0x3A, cbor_read_negint<cbor_read_uint_4>},
    {0x3B, 0x3B, cbor_read_negint<cbor_read_uint_8>},
    {0x3C, 0x3F, cbor_read_skip},
    {0x40, 0x57, cbor_read_bytestring<cbor_read_uint_inline>},
    {0x58, 0x58, cbor_read_bytestring<cbor_read_uint_1>},
    {0x59, 0x59, cbor_read_bytestring<cbor_read_uint_2>},
    {0x5A, 0x5A, cbor_read_bytestring<cbor_read_uint_4>},
    {0x5B, 0x5B, cbor_read_bytestring<cbor_read_uint_8>},
    {0x5C, 0x5E, cbor_read_skip},
    {0x5F, 0x5F, cbor_read_indefinite_start},
    {0x60, 0x77, cbor_read_textstring<cbor_read_uint_inline>},
    {0x78, 0x78, cbor_read_textstring<cbor_read_uint_1>},
    {0x79, 0x79, cbor_read_textstring<cbor_read_uint_2>},
    {0x7A, 0x7A, cbor_read_textstring<cbor_read_uint_4>},
    {0x7B, 0x7B, cbor_read_textstring<cbor_read_uint_8>},
    {0x7C, 0x7E, cbor_read_skip},
    {0x7F, 0x7F, cbor_read_indefinite_start},
    {0x80, 0x97, cbor_read_count<cbor_read_uint_inline>},
    {0x98, 0x98, cbor_read_count<cbor_read_uint_1>},
    {0x99, 0x99, cbor_read_count<cbor_read_uint_2>},
    {0x9A, 0x9A, cbor_read_count<cbor_read_uint_4>},
    {0x9B, 0x9B, cbor_read_count<cbor_read_uint_8>},
    {0x9C, 0x9E, cbor_read_skip},
    {0x9F, 0x9F, cbor_read_indefinite_start},
    {0xA0, 0xB7, cbor_read_count<cbor_read_uint_inline>},
    {0xB8, 0xB8, cbor_read_count<cbor_read_uint_1>},
    {0xB9, 0xB9, cbor_read_count<cbor_read_uint_2>},
    {0xBA, 0xBA, cbor_read_count<cbor_read_uint_4>},
    {0xBB, 0xBB, cbor_read_count<cbor_read_uint_8>},
    {0xBC, 0xBE, cbor_read_skip},
    {0xBF, 0xBF, cbor_read_indefinite_start},
    {0xC0, 0xD7, cbor_read_skip},
    {0xD8, 0xD8, cbor_read_tag<cbor_read_uint_1>},
    {0xD9, 0xD9, cbor_read_tag<cbor_read_uint_2>},
    {0xDA, 0xDA, cbor_read_tag<cbor_read_uint_4>},
    {0xDB, 0xDB, cbor_read_tag<cbor_read_uint_8>},
    {0xDC, 0xDF, cbor_read_skip},
    {0xE0, 0xF3, cbor_read_unimplemented},
    {0xF4, 0xF7, cbor_read_skip},
    {0xF8, 0xF8, cbor_read_unimplemented_simple},
    {0xF9, 0xF9, cbor_read_half},
    {0xFA, 0xFA, cbor_read_single},
    {0xFB, 0xFB, cbor_read_double},
    {0xFC, 0xFE, cbor_read_skip},
    {0xFF, 0xFF, cbor_read_break},
};

/* Fails to compile unless the rows cover every byte once, in order. */
constexpr std::array<cbor_item_handler, 256> build_handler_table() {
    std::array<cbor_item_handler, 256> table{};
    unsigned next = 0;
    for (const handler_range &range : handler_ranges) {
        if (range.first != next || range.last < range.first) throw "handler rows must be contiguous";
        for (unsigned byte = range.first; byte <= range.last; ++byte) table[byte] = range.handler;
        next = range.last + 1;
    }
    if (next != 256) throw "handler rows must end at 0xFF";
    return table;
}

constexpr std::array<cbor_item_handler, 256> handler_table = build_handler_table();
}  // namespace

/* Declared extern const, as a constexpr definition would take internal
 * linkage under MSVC; copying a constant expression keeps the table built,
 * and checked, at compile time. */
const std::array<cbor_item_handler, 256> cbor_item_handlers = handler_table;
