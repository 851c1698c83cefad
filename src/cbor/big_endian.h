#pragma once
/* Big-endian stores and loads by shift and mask, whatever the host's byte order. */

#include <cstdint>

inline void store_big_endian(unsigned char *out, uint64_t value, unsigned width) {
    for (unsigned i = 0; i < width; ++i) out[i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
}

inline uint64_t load_big_endian(const unsigned char *in, unsigned width) {
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) value = (value << 8) | in[i];
    return value;
}
