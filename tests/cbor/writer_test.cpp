#include "allocation.h"
#include "cbor_writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <limits>
#include <ostream>
#include <string>
#include <vector>

namespace {

using cbor_test::buffer_ptr;
using cbor_test::bytes;
using cbor_test::new_buffer;
using cbor_test::to_hex;

constexpr uint64_t max_u64 = std::numeric_limits<uint64_t>::max();
constexpr int64_t min_i64 = std::numeric_limits<int64_t>::min();

/* Runs one writer on a fresh buffer; returns the status and the bytes written. */
template <typename Write>
std::pair<int32_t, std::string> write_fresh(Write write) {
    buffer_ptr buffer = new_buffer();
    const int32_t status = write(buffer.get());
    return {status, to_hex(buffer.get())};
}

// ---------------------------------------------------------------------------
// Integers

struct uint_case {
    uint64_t value;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const uint_case &c) {
    return out << c.value << " -> " << c.hex;
}

class UnsignedIntegerTest : public testing::TestWithParam<uint_case> {};

TEST_P(UnsignedIntegerTest, WritesShortestHead) {
    const auto [status, hex] = write_fresh([](cbor_buffer *b) { return cbor_put_uint(b, GetParam().value); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex, GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(
    HeadWidthBoundaries, UnsignedIntegerTest,
    testing::Values(uint_case{0, "00"}, uint_case{23, "17"}, uint_case{24, "1818"}, uint_case{255, "18ff"},
                    uint_case{256, "190100"}, uint_case{65535, "19ffff"}, uint_case{65536, "1a00010000"},
                    uint_case{4294967295u, "1affffffff"}, uint_case{4294967296u, "1b0000000100000000"},
                    uint_case{max_u64, "1bffffffffffffffff"}));

struct negint_case {
    int64_t value;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const negint_case &c) {
    return out << c.value << " -> " << c.hex;
}

class NegativeIntegerTest : public testing::TestWithParam<negint_case> {};

TEST_P(NegativeIntegerTest, WritesComplementInShortestHead) {
    const auto [status, hex] = write_fresh([](cbor_buffer *b) { return cbor_put_negint(b, GetParam().value); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex, GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(
    HeadWidthBoundaries, NegativeIntegerTest,
    testing::Values(negint_case{-1, "20"}, negint_case{-24, "37"}, negint_case{-25, "3818"},
                    negint_case{-256, "38ff"}, negint_case{-257, "390100"}, negint_case{-65536, "39ffff"},
                    negint_case{-65537, "3a00010000"}, negint_case{-4294967296, "3affffffff"},
                    negint_case{-4294967297, "3b0000000100000000"}, negint_case{min_i64, "3b7fffffffffffffff"}));

// ---------------------------------------------------------------------------
// Heads

/* Argument n, the additional information it selects and its argument bytes. */
struct head_boundary {
    uint64_t n;
    unsigned additional_information;
    const char *argument_hex;
};

const head_boundary head_boundaries[] = {
    {0, 0, ""},
    {1, 1, ""},
    {23, 23, ""},
    {24, 24, "18"},
    {255, 24, "ff"},
    {256, 25, "0100"},
    {65535, 25, "ffff"},
    {65536, 26, "00010000"},
    {4294967295u, 26, "ffffffff"},
    {4294967296u, 27, "0000000100000000"},
    {max_u64, 27, "ffffffffffffffff"},
};

class HeadTest : public testing::TestWithParam<unsigned> {};

TEST_P(HeadTest, WritesShortestArgumentAtEveryBoundary) {
    const unsigned major_type = GetParam();
    for (const head_boundary &boundary : head_boundaries) {
        const auto initial_byte = static_cast<unsigned char>(major_type << 5 | boundary.additional_information);
        const std::string expected = to_hex(&initial_byte, 1) + boundary.argument_hex;

        const auto [status, hex] =
            write_fresh([&](cbor_buffer *b) { return cbor_put_head(b, major_type, boundary.n); });
        EXPECT_EQ(status, 0) << "n = " << boundary.n;
        EXPECT_EQ(hex, expected) << "n = " << boundary.n;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryMajorType, HeadTest, testing::Range(0u, 8u));

struct raw_head_case {
    unsigned char initial_byte;
    uint64_t n;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const raw_head_case &c) {
    return out << "initial byte " << static_cast<unsigned>(c.initial_byte) << ", n = " << c.n << " -> " << c.hex;
}

class RawHeadTest : public testing::TestWithParam<raw_head_case> {};

TEST_P(RawHeadTest, WritesInitialByteAndSelectedWidth) {
    const raw_head_case &c = GetParam();
    const auto [status, hex] = write_fresh([&](cbor_buffer *b) { return cbor_put_head_raw(b, c.initial_byte, c.n); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex, c.hex);
}

INSTANTIATE_TEST_SUITE_P(
    ArgumentWidths, RawHeadTest,
    testing::Values(
        // Widths 24-27 write the argument's low 1, 2, 4 or 8 bytes, whatever its size.
        raw_head_case{0x18, 0x2A, "182a"}, raw_head_case{0x18, 0x1234, "1834"},
        raw_head_case{0x19, 0x1234, "191234"}, raw_head_case{0x19, 0xABCDEF, "19cdef"},
        raw_head_case{0x1A, 0x12345678, "1a12345678"}, raw_head_case{0x1A, 0x0102030405060708, "1a05060708"},
        raw_head_case{0x1B, 0x0102030405060708, "1b0102030405060708"}, raw_head_case{0x1B, 0, "1b0000000000000000"},
        raw_head_case{0x78, 3, "7803"}, raw_head_case{0xB9, 0x0102, "b90102"},
        raw_head_case{0xDA, 0xDEADBEEF, "dadeadbeef"}, raw_head_case{0xFB, 0x3FF0000000000000, "fb3ff0000000000000"}));

INSTANTIATE_TEST_SUITE_P(
    InlineArgument, RawHeadTest,
    testing::Values(
        // Any other low five bits: the one byte initial_byte | (n & 0xFF).
        raw_head_case{0x00, 5, "05"}, raw_head_case{0x60, 3, "63"}, raw_head_case{0xE0, 0x14, "f4"},
        raw_head_case{0x40, 0x1FF, "ff"}, raw_head_case{0x1F, 0x100, "1f"}, raw_head_case{0x1C, 0x03, "1f"},
        raw_head_case{0x80, 0, "80"}, raw_head_case{0x20, 0x1FFFFFF01, "21"}));

// ---------------------------------------------------------------------------
// Strings

enum class string_kind { byte_string, text_string };

struct string_case {
    string_kind kind;
    size_t length;
    const char *head_hex;
};

std::ostream &operator<<(std::ostream &out, const string_case &c) {
    return out << (c.kind == string_kind::byte_string ? "byte string" : "text string") << " of " << c.length
               << " bytes";
}

class StringTest : public testing::TestWithParam<string_case> {};

TEST_P(StringTest, WritesHeadThenPayload) {
    const string_case &c = GetParam();
    bytes payload(c.length);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<unsigned char>(i * 7 + 1);

    buffer_ptr buffer = new_buffer();
    const int32_t status = c.kind == string_kind::byte_string
                               ? cbor_put_bytestring(buffer.get(), payload.data(), payload.size())
                               : cbor_put_textstring(buffer.get(), payload.data(), payload.size());
    EXPECT_EQ(status, 0);

    const std::string head_hex = c.head_hex;
    const size_t head_size = head_hex.size() / 2;
    ASSERT_EQ(buffer->size, head_size + payload.size());
    EXPECT_EQ(to_hex(buffer->data, head_size), head_hex);
    EXPECT_EQ(bytes(buffer->data + head_size, buffer->data + buffer->size), payload);
}

INSTANTIATE_TEST_SUITE_P(
    LengthBoundaries, StringTest,
    testing::Values(string_case{string_kind::byte_string, 0, "40"}, string_case{string_kind::byte_string, 1, "41"},
                    string_case{string_kind::byte_string, 23, "57"}, string_case{string_kind::byte_string, 24, "5818"},
                    string_case{string_kind::byte_string, 255, "58ff"},
                    string_case{string_kind::byte_string, 256, "590100"},
                    string_case{string_kind::byte_string, 65536, "5a00010000"},
                    string_case{string_kind::text_string, 0, "60"}, string_case{string_kind::text_string, 1, "61"},
                    string_case{string_kind::text_string, 23, "77"}, string_case{string_kind::text_string, 24, "7818"},
                    string_case{string_kind::text_string, 255, "78ff"},
                    string_case{string_kind::text_string, 256, "790100"},
                    string_case{string_kind::text_string, 65536, "7a00010000"}));

TEST(StringWriter, TextIsNotValidated) {
    const unsigned char invalid_utf8[] = {0xFF, 0xC0, 0x00};
    const auto [status, hex] =
        write_fresh([&](cbor_buffer *b) { return cbor_put_textstring(b, invalid_utf8, sizeof invalid_utf8); });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex, "63ffc000");
}

// ---------------------------------------------------------------------------
// Containers, indefinite starts and simple values

struct simple_case {
    const char *name;
    std::function<int32_t(cbor_buffer *)> write;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const simple_case &c) {
    return out << c.name;
}

class FixedItemTest : public testing::TestWithParam<simple_case> {};

TEST_P(FixedItemTest, WritesExpectedBytes) {
    const auto [status, hex] = write_fresh(GetParam().write);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex, GetParam().hex);
}

const unsigned char some_bytes[] = {1, 2, 3};

INSTANTIATE_TEST_SUITE_P(
    ContainerStarts, FixedItemTest,
    testing::Values(simple_case{"array 0", [](cbor_buffer *b) { return cbor_put_array_start(b, 0); }, "80"},
                    simple_case{"array 23", [](cbor_buffer *b) { return cbor_put_array_start(b, 23); }, "97"},
                    simple_case{"array 24", [](cbor_buffer *b) { return cbor_put_array_start(b, 24); }, "9818"},
                    simple_case{"array 65536", [](cbor_buffer *b) { return cbor_put_array_start(b, 65536); },
                                "9a00010000"},
                    simple_case{"array 2^64-2", [](cbor_buffer *b) { return cbor_put_array_start(b, max_u64 - 1); },
                                "9bfffffffffffffffe"},
                    simple_case{"map 0", [](cbor_buffer *b) { return cbor_put_map_start(b, 0); }, "a0"},
                    simple_case{"map 1", [](cbor_buffer *b) { return cbor_put_map_start(b, 1); }, "a1"},
                    simple_case{"map 24", [](cbor_buffer *b) { return cbor_put_map_start(b, 24); }, "b818"},
                    simple_case{"map 256", [](cbor_buffer *b) { return cbor_put_map_start(b, 256); }, "b90100"},
                    simple_case{"map 2^32", [](cbor_buffer *b) { return cbor_put_map_start(b, 4294967296u); },
                                "bb0000000100000000"}));

INSTANTIATE_TEST_SUITE_P(
    IndefiniteStarts, FixedItemTest,
    testing::Values(simple_case{"byte string",
                                [](cbor_buffer *b) { return cbor_put_bytestring(b, some_bytes, CBOR_INDEFINITE); },
                                "5f"},
                    simple_case{"text string",
                                [](cbor_buffer *b) { return cbor_put_textstring(b, some_bytes, CBOR_INDEFINITE); },
                                "7f"},
                    simple_case{"byte string without source",
                                [](cbor_buffer *b) { return cbor_put_bytestring(b, nullptr, CBOR_INDEFINITE); }, "5f"},
                    simple_case{"array", [](cbor_buffer *b) { return cbor_put_array_start(b, CBOR_INDEFINITE); }, "9f"},
                    simple_case{"map", [](cbor_buffer *b) { return cbor_put_map_start(b, CBOR_INDEFINITE); }, "bf"}));

INSTANTIATE_TEST_SUITE_P(SimpleValues, FixedItemTest,
                         testing::Values(simple_case{"break", cbor_put_break, "ff"},
                                         simple_case{"false", cbor_put_false, "f4"},
                                         simple_case{"true", cbor_put_true, "f5"},
                                         simple_case{"null", cbor_put_null, "f6"}));

INSTANTIATE_TEST_SUITE_P(
    RawAppends, FixedItemTest,
    testing::Values(simple_case{"one byte", [](cbor_buffer *b) { return cbor_put_byte(b, 0xAB); }, "ab"},
                    simple_case{"three bytes", [](cbor_buffer *b) { return cbor_put_bytes(b, some_bytes, 3); },
                                "010203"},
                    simple_case{"no bytes", [](cbor_buffer *b) { return cbor_put_bytes(b, some_bytes, 0); }, ""}));

// ---------------------------------------------------------------------------
// Buffer

TEST(Buffer, FreshBufferIsEmpty) {
    buffer_ptr buffer = new_buffer();
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(buffer->data, nullptr);
    EXPECT_EQ(buffer->size, 0u);
    EXPECT_EQ(buffer->capacity, 0u);
    EXPECT_FALSE(buffer->failed);
    EXPECT_FALSE(cbor_buffer_failed(buffer.get()));
}

TEST(Buffer, EmptyAppendAllocatesNothing) {
    buffer_ptr buffer = new_buffer();
    const uint64_t before = cbor_allocation_count();
    EXPECT_EQ(cbor_put_bytes(buffer.get(), some_bytes, 0), 0);
    EXPECT_EQ(cbor_put_bytes(buffer.get(), nullptr, 0), 0);
    EXPECT_EQ(cbor_allocation_count(), before);
    EXPECT_EQ(buffer->data, nullptr);
    EXPECT_EQ(buffer->size, 0u);
}

TEST(Buffer, EmptyAppendKeepsEarlierBytes) {
    buffer_ptr buffer = new_buffer();
    ASSERT_EQ(cbor_put_uint(buffer.get(), 500), 0);
    EXPECT_EQ(cbor_put_bytes(buffer.get(), some_bytes, 0), 0);
    EXPECT_EQ(to_hex(buffer.get()), "1901f4");
}

/* A MiB appended byte by byte: a few dozen reallocations, not one per
 * append, and the spare room within the bound the header states. */
TEST(Buffer, GrowsGeometrically) {
    constexpr uint64_t total = 1 << 20;
    buffer_ptr buffer = new_buffer();
    const uint64_t before = cbor_allocation_count();
    for (uint64_t i = 0; i < total; ++i) {
        ASSERT_EQ(cbor_put_byte(buffer.get(), static_cast<unsigned char>(i % 251)), 0);
        ASSERT_LE(buffer->capacity, std::max<uint64_t>(32, 2 * buffer->size)) << i;
    }
    EXPECT_LE(cbor_allocation_count() - before, 30u);
    ASSERT_EQ(buffer->size, total);
    for (uint64_t i = 0; i < total; ++i) ASSERT_EQ(buffer->data[i], i % 251) << i;
}

/* A length that wraps size + n around 2^64 is refused before any allocation. */
TEST(Buffer, LengthThatWrapsTheSizeFails) {
    buffer_ptr buffer = new_buffer();
    ASSERT_EQ(cbor_put_bytes(buffer.get(), some_bytes, 3), 0);
    EXPECT_EQ(cbor_put_bytes(buffer.get(), some_bytes, max_u64 - 1), -1);
    EXPECT_TRUE(cbor_buffer_failed(buffer.get()));
    EXPECT_EQ(buffer->size, 3u);
    EXPECT_EQ(to_hex(buffer.get()), "010203");
}

/* Records from this thread's block cache (the heap's under AddressSanitizer):
 * a block that outgrows its cached one moves to the heap with its bytes. */
TEST(Buffer, CachedBlockGrowsOntoTheHeap) {
    cbor_buffer *buffer = cbor_buffer_new(cbor_thread_block_cache());
    ASSERT_NE(buffer, nullptr);
    for (unsigned i = 0; i < 100; ++i) ASSERT_EQ(cbor_put_byte(buffer, static_cast<unsigned char>(i)), 0);
    ASSERT_EQ(buffer->size, 100u);
    for (unsigned i = 0; i < 100; ++i) EXPECT_EQ(buffer->data[i], i);
    cbor_buffer_free(buffer);
}

TEST(Buffer, AppendsAccumulateInOrder) {
    buffer_ptr buffer = new_buffer();
    const char key[] = "a";
    EXPECT_EQ(cbor_put_map_start(buffer.get(), CBOR_INDEFINITE), 0);
    EXPECT_EQ(cbor_put_textstring(buffer.get(), key, 1), 0);
    EXPECT_EQ(cbor_put_array_start(buffer.get(), 2), 0);
    EXPECT_EQ(cbor_put_uint(buffer.get(), 1), 0);
    EXPECT_EQ(cbor_put_negint(buffer.get(), -500), 0);
    EXPECT_EQ(cbor_put_break(buffer.get()), 0);
    EXPECT_EQ(to_hex(buffer.get()), "bf616182013901f3ff");
    EXPECT_EQ(buffer->size, 9u);
}

// ---------------------------------------------------------------------------
// Null buffer

struct null_buffer_case {
    const char *name;
    std::function<int32_t(cbor_buffer *)> write;
};

const null_buffer_case null_buffer_cases[] = {
    null_buffer_case{"byte", [](cbor_buffer *b) { return cbor_put_byte(b, 0); }},
    null_buffer_case{"bytes", [](cbor_buffer *b) { return cbor_put_bytes(b, some_bytes, 3); }},
    null_buffer_case{"no bytes", [](cbor_buffer *b) { return cbor_put_bytes(b, some_bytes, 0); }},
    null_buffer_case{"head", [](cbor_buffer *b) { return cbor_put_head(b, 0, 1); }},
    null_buffer_case{"wide head", [](cbor_buffer *b) { return cbor_put_head(b, 4, 70000); }},
    null_buffer_case{"raw head", [](cbor_buffer *b) { return cbor_put_head_raw(b, 0x1B, 1); }},
    null_buffer_case{"inline raw head", [](cbor_buffer *b) { return cbor_put_head_raw(b, 0x00, 1); }},
    null_buffer_case{"uint", [](cbor_buffer *b) { return cbor_put_uint(b, 1000); }},
    null_buffer_case{"negint", [](cbor_buffer *b) { return cbor_put_negint(b, -1000); }},
    null_buffer_case{"bytestring", [](cbor_buffer *b) { return cbor_put_bytestring(b, some_bytes, 3); }},
    null_buffer_case{"empty bytestring", [](cbor_buffer *b) { return cbor_put_bytestring(b, some_bytes, 0); }},
    null_buffer_case{"indefinite bytestring",
                     [](cbor_buffer *b) { return cbor_put_bytestring(b, nullptr, CBOR_INDEFINITE); }},
    null_buffer_case{"textstring", [](cbor_buffer *b) { return cbor_put_textstring(b, some_bytes, 3); }},
    null_buffer_case{"indefinite textstring",
                     [](cbor_buffer *b) { return cbor_put_textstring(b, nullptr, CBOR_INDEFINITE); }},
    null_buffer_case{"array start", [](cbor_buffer *b) { return cbor_put_array_start(b, 2); }},
    null_buffer_case{"indefinite array", [](cbor_buffer *b) { return cbor_put_array_start(b, CBOR_INDEFINITE); }},
    null_buffer_case{"map start", [](cbor_buffer *b) { return cbor_put_map_start(b, 2); }},
    null_buffer_case{"indefinite map", [](cbor_buffer *b) { return cbor_put_map_start(b, CBOR_INDEFINITE); }},
    null_buffer_case{"break", cbor_put_break},
    null_buffer_case{"false", cbor_put_false},
    null_buffer_case{"true", cbor_put_true},
    null_buffer_case{"null", cbor_put_null},
    null_buffer_case{"half", [](cbor_buffer *b) { return cbor_put_half(b, 1.0); }},
    null_buffer_case{"single", [](cbor_buffer *b) { return cbor_put_single(b, 1.0); }},
    null_buffer_case{"double", [](cbor_buffer *b) { return cbor_put_double(b, 1.0); }},
    null_buffer_case{"float as half", [](cbor_buffer *b) { return cbor_put_float(b, 1.5); }},
    null_buffer_case{"float as single", [](cbor_buffer *b) { return cbor_put_float(b, 65536.0); }},
    null_buffer_case{"float as double", [](cbor_buffer *b) { return cbor_put_float(b, 0.1); }},
    null_buffer_case{"float NaN", [](cbor_buffer *b) { return cbor_put_float(b, std::nan("")); }},
    null_buffer_case{"float infinity", [](cbor_buffer *b) { return cbor_put_float(b, HUGE_VAL); }},
    null_buffer_case{"float negative infinity", [](cbor_buffer *b) { return cbor_put_float(b, -HUGE_VAL); }},
};

TEST(NullBuffer, EveryWriterFails) {
    for (const null_buffer_case &c : null_buffer_cases) EXPECT_EQ(c.write(nullptr), -1) << c.name;
}

TEST(NullBuffer, CountsAsFailed) {
    EXPECT_TRUE(cbor_buffer_failed(nullptr));
}

/* In a child process, so that a dereference shows up as this test failing. */
TEST(NullBuffer, FreeIsIgnored) {
    EXPECT_EXIT(
        {
            cbor_buffer_free(nullptr);
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace
