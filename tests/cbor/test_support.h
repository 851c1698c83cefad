#pragma once
/*
 * Helpers shared by the codec tests: owning handles for the codec's records,
 * hex conversion, and an IEEE reference for float widths that is written from
 * the format definitions rather than by calling the codec.
 */

#include "cbor_reader.h"
#include "cbor_writer.h"

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cbor_test {

struct buffer_deleter {
    void operator()(cbor_buffer *buffer) const { cbor_buffer_free(buffer); }
};
struct reader_deleter {
    void operator()(cbor_reader *reader) const { cbor_reader_free(reader); }
};
struct item_deleter {
    void operator()(cbor_item *item) const { cbor_item_free(item); }
};
using buffer_ptr = std::unique_ptr<cbor_buffer, buffer_deleter>;
using reader_ptr = std::unique_ptr<cbor_reader, reader_deleter>;
using item_ptr = std::unique_ptr<cbor_item, item_deleter>;

inline buffer_ptr new_buffer() {
    return buffer_ptr(cbor_buffer_new());
}

using bytes = std::vector<unsigned char>;

inline std::string to_hex(const unsigned char *data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

inline std::string to_hex(const bytes &data) {
    return to_hex(data.data(), data.size());
}

/* The bytes a buffer holds; "" for a null or empty buffer. */
inline std::string to_hex(const cbor_buffer *buffer) {
    if (buffer == nullptr || buffer->size == 0) return "";
    return to_hex(buffer->data, static_cast<size_t>(buffer->size));
}

/* Lower- or upper-case hex digits, no separators. */
inline bytes from_hex(const std::string &hex) {
    auto nibble = [](char c) -> unsigned {
        if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
        if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
        return static_cast<unsigned>(c - 'A' + 10);
    };
    bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(nibble(hex[i]) << 4 | nibble(hex[i + 1])));
    }
    return out;
}

/* Big-endian hex of the low `width` bytes of value. */
inline std::string hex_big_endian(uint64_t value, unsigned width) {
    bytes out(width);
    for (unsigned i = 0; i < width; ++i) out[i] = static_cast<unsigned char>(value >> (8 * (width - 1 - i)));
    return to_hex(out);
}

/* The same bits seen as another type of the same size. */
template <typename To, typename From>
To same_bits(From from) {
    static_assert(sizeof(To) == sizeof(From), "same size only");
    To to;
    std::memcpy(&to, &from, sizeof to);
    return to;
}

inline uint64_t bits_of(double x) { return same_bits<uint64_t>(x); }
inline uint32_t bits_of(float x) { return same_bits<uint32_t>(x); }
inline double double_from_bits(uint64_t bits) { return same_bits<double>(bits); }
inline float float_from_bits(uint32_t bits) { return same_bits<float>(bits); }

/* IEEE 754 binary16: sign, 5-bit exponent biased by 15, 10-bit fraction. */
inline double half_to_double(uint16_t half) {
    const unsigned exponent = (half >> 10) & 0x1F;
    const unsigned fraction = half & 0x3FF;
    double magnitude;
    if (exponent == 0) {
        magnitude = std::ldexp(static_cast<double>(fraction), -24);
    } else if (exponent == 31) {
        magnitude = fraction == 0 ? HUGE_VAL : std::nan("");
    } else {
        magnitude = std::ldexp(static_cast<double>(fraction | 0x400), static_cast<int>(exponent) - 25);
    }
    return (half & 0x8000) ? -magnitude : magnitude;
}

/* The half that holds x exactly when x is ±0 or a normal half; nothing otherwise. */
inline std::optional<uint16_t> exact_normal_half(double x) {
    const uint64_t bits = bits_of(x);
    const auto sign = static_cast<uint16_t>((bits >> 48) & 0x8000);
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    const uint64_t fraction = bits & 0xFFFFFFFFFFFFF;
    if (biased == 0 && fraction == 0) return sign;
    const int exponent = biased - 1023;
    if (biased == 0 || biased == 0x7FF || exponent < -14 || exponent > 15) return std::nullopt;
    if ((fraction & ((uint64_t{1} << 42) - 1)) != 0) return std::nullopt;
    return static_cast<uint16_t>(sign | (exponent + 15) << 10 | fraction >> 42);
}

/* True when x is exactly an IEEE single (normal, subnormal or zero). */
inline bool is_exact_single(double x) {
    if (!std::isfinite(x) || std::fabs(x) > FLT_MAX) return false;
    return static_cast<double>(static_cast<float>(x)) == x;
}

/* The encoding the float writer must produce: fixed forms for NaN and the
 * infinities, then the shortest of normal half, single and double that holds
 * x exactly. */
inline std::string reference_float_hex(double x) {
    if (std::isnan(x)) return "f97e00";
    if (std::isinf(x)) return x < 0 ? "f9fc00" : "f97c00";
    if (const auto half = exact_normal_half(x)) return "f9" + hex_big_endian(*half, 2);
    if (is_exact_single(x)) return "fa" + hex_big_endian(bits_of(static_cast<float>(x)), 4);
    return "fb" + hex_big_endian(bits_of(x), 8);
}

/* Value of a complete F9/FA/FB item, or nothing for any other byte sequence. */
inline std::optional<double> decode_float_item(const unsigned char *data, size_t size) {
    if (size == 0) return std::nullopt;
    uint64_t payload = 0;
    for (size_t i = 1; i < size; ++i) payload = payload << 8 | data[i];
    if (data[0] == 0xF9 && size == 3) return half_to_double(static_cast<uint16_t>(payload));
    if (data[0] == 0xFA && size == 5) return float_from_bits(static_cast<uint32_t>(payload));
    if (data[0] == 0xFB && size == 9) return double_from_bits(payload);
    return std::nullopt;
}

}  // namespace cbor_test
