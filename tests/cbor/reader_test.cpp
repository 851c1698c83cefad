#include "cbor_reader.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>

namespace {

using cbor_test::bits_of;
using cbor_test::bytes;
using cbor_test::from_hex;
using cbor_test::hex_big_endian;
using cbor_test::item_ptr;
using cbor_test::reader_ptr;
using cbor_test::to_hex;

/* A reader over a span that the fixture keeps alive. */
class ReaderTest : public testing::Test {
protected:
    cbor_reader *open(const std::string &hex) {
        span_ = from_hex(hex);
        reader_.reset(cbor_reader_new(span_.data(), span_.size()));
        return reader_.get();
    }

    item_ptr read() { return item_ptr(cbor_read_item(reader_.get())); }

    int32_t consumed() const { return static_cast<int32_t>(reader_->cursor - reader_->data); }

    bytes span_;
    reader_ptr reader_;
};

// ---------------------------------------------------------------------------
// Every initial byte

bool prints_unimplemented(unsigned byte) {
    return (byte >= 0xE0 && byte <= 0xF3) || byte == 0xF8;
}

unsigned argument_width(unsigned additional_information) {
    switch (additional_information) {
        case 24: return 1;
        case 25: return 2;
        case 26: return 4;
        case 27: return 8;
        default: return 0;
    }
}

/* What an item starting with `byte` consumes when every later byte is zero:
 * its head, its argument bytes and, for definite strings, the payload. */
int32_t expected_item_size(unsigned byte) {
    const unsigned major_type = byte >> 5;
    const unsigned info = byte & 0x1F;
    switch (major_type) {
        case 0:
        case 1:
        case 4:
        case 5: return 1 + static_cast<int32_t>(argument_width(info));
        case 2:
        case 3:
            if (info < 24) return 1 + static_cast<int32_t>(info); /* inline length */
            return 1 + static_cast<int32_t>(argument_width(info)); /* zero length argument, or no argument */
        case 6: return 1 + static_cast<int32_t>(argument_width(info));
        default:
            switch (byte) {
                case 0xF8: return 2;
                case 0xF9: return 3;
                case 0xFA: return 5;
                case 0xFB: return 9;
                default: return 1;
            }
    }
}

/* Length field for the same zero-filled input: an inline length or count, the
 * zero argument, or -1 for an indefinite start. */
int64_t expected_item_length(unsigned byte) {
    const unsigned major_type = byte >> 5;
    const unsigned info = byte & 0x1F;
    if (major_type < 2 || major_type > 5) return 0;
    if (info == 31) return -1;
    return info < 24 ? info : 0;
}

/* Reads the item that `byte` starts in a span whose other bytes are all zero. */
void check_item_in_zero_filled_span(unsigned byte) {
    bytes span(32, 0);
    span[0] = static_cast<unsigned char>(byte);

    reader_ptr reader(cbor_reader_new(span.data(), span.size()));
    ASSERT_NE(reader, nullptr);
    testing::internal::CaptureStderr();
    item_ptr item(cbor_read_item(reader.get()));
    const std::string diagnostics = testing::internal::GetCapturedStderr();

    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->initial_byte, byte);
    EXPECT_EQ(item->major_type, byte >> 5);
    EXPECT_EQ(reader->cursor - reader->data, expected_item_size(byte));
    EXPECT_EQ(cbor_reader_remaining(reader.get()), 32 - expected_item_size(byte));
    EXPECT_EQ(item->length, expected_item_length(byte));

    if (prints_unimplemented(byte)) {
        EXPECT_EQ(diagnostics, "Unimplemented CBOR code: " + hex_big_endian(byte, 1) + "\n");
    } else {
        EXPECT_EQ(diagnostics, "");
    }

    const bool indefinite_start = byte == 0x5F || byte == 0x7F || byte == 0x9F || byte == 0xBF;
    EXPECT_EQ(reader->in_indefinite, indefinite_start ? 1 : 0);

    const unsigned major_type = byte >> 5;
    const unsigned info = byte & 0x1F;
    const bool has_argument = major_type <= 5 && info < 28; /* inline or 1-8 argument bytes */
    const uint64_t argument = info < 24 ? info : 0;
    if (has_argument && major_type == 0) {
        EXPECT_EQ(item->value.integer, argument);
    } else if (has_argument && major_type == 1) {
        EXPECT_EQ(item->value.integer, ~argument);
    } else if (has_argument && (major_type == 2 || major_type == 3)) {
        ASSERT_NE(item->value.string, nullptr);
        const auto length = static_cast<size_t>(item->length);
        EXPECT_EQ(bytes(item->value.string, item->value.string + length), bytes(length, 0));
        if (major_type == 3) {
            EXPECT_EQ(item->value.string[length], 0);
        }
    } else {
        /* Counts, indefinite starts, tags, simple values, reserved heads and zero floats. */
        EXPECT_EQ(item->value.integer, 0u);
    }
}

TEST(InitialBytes, EveryByteReadsOneItem) {
    for (unsigned byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE("initial byte " + hex_big_endian(byte, 1));
        check_item_in_zero_filled_span(byte);
    }
}

/* Every item with argument or payload bytes, cut one byte short. */
TEST(InitialBytes, EveryTruncatedItemReadsAsNull) {
    for (unsigned byte = 0; byte < 256; ++byte) {
        const int32_t size = expected_item_size(byte);
        if (size == 1) continue;
        bytes span(static_cast<size_t>(size - 1), 0);
        span[0] = static_cast<unsigned char>(byte);
        reader_ptr reader(cbor_reader_new(span.data(), span.size()));
        ASSERT_NE(reader, nullptr);

        testing::internal::CaptureStderr();
        item_ptr item(cbor_read_item(reader.get()));
        const std::string diagnostics = testing::internal::GetCapturedStderr();
        EXPECT_EQ(item, nullptr) << "initial byte " << hex_big_endian(byte, 1);
        EXPECT_EQ(diagnostics, byte == 0xF8 ? "Unimplemented CBOR code: f8\n" : "");
    }
}

// ---------------------------------------------------------------------------
// Values and lengths

struct short_case {
    const char *name;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const short_case &c) {
    return out << c.name << ": " << c.hex;
}

class NullItemTest : public ReaderTest, public testing::WithParamInterface<short_case> {};

TEST_P(NullItemTest, ReadsNothing) {
    ASSERT_NE(open(GetParam().hex), nullptr);
    EXPECT_EQ(read(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    ShortOrEmpty, NullItemTest,
    testing::Values(short_case{"empty span", ""}, short_case{"uint, one of two argument bytes", "1901"},
                    short_case{"negint without argument", "38"}, short_case{"uint64, seven bytes", "1b01020304050607"},
                    short_case{"bytes, two of three payload bytes", "430102"},
                    short_case{"text, length 24 declared, 1 present", "781861"},
                    short_case{"text, length argument short", "7900"},
                    short_case{"array count argument short", "9a000000"},
                    short_case{"bytes, 2^64-1 declared", "5bffffffffffffffff00"},
                    short_case{"tag 1 byte, short", "d8"}, short_case{"tag 2 bytes, short", "d901"},
                    short_case{"tag 4 bytes, short", "da010203"},
                    short_case{"tag 8 bytes, short", "db01020304050607"}, short_case{"half, short", "f93c"},
                    short_case{"single, short", "fa3f8000"}, short_case{"double, short", "fb3ff00000000000"}));

/* Items whose head is all there is: integers carry their argument in
 * `value`, arrays and maps their count in `length`. */
struct head_case {
    const char *hex;
    unsigned major_type;
    uint64_t value;
    int64_t length;
    int32_t consumed;
};

std::ostream &operator<<(std::ostream &out, const head_case &c) {
    return out << c.hex;
}

class HeadItemTest : public ReaderTest, public testing::WithParamInterface<head_case> {};

TEST_P(HeadItemTest, ReadsHeadOnly) {
    const head_case &c = GetParam();
    ASSERT_NE(open(c.hex), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->major_type, c.major_type);
    EXPECT_EQ(item->value.integer, c.value);
    EXPECT_EQ(item->length, c.length);
    EXPECT_EQ(consumed(), c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    Heads, HeadItemTest,
    testing::Values(head_case{"17", 0, 23, 0, 1}, head_case{"182a", 0, 42, 0, 2}, head_case{"19abcd", 0, 0xABCD, 0, 3},
                    head_case{"1a12345678", 0, 0x12345678, 0, 5},
                    head_case{"1bffffffffffffffff", 0, UINT64_MAX, 0, 9},
                    head_case{"182aff", 0, 42, 0, 2}, head_case{"20", 1, UINT64_MAX, 0, 1},
                    head_case{"37", 1, ~uint64_t{23}, 0, 1}, head_case{"38ff", 1, ~uint64_t{255}, 0, 2},
                    head_case{"390100", 1, ~uint64_t{256}, 0, 3},
                    head_case{"3b7fffffffffffffff", 1, ~uint64_t{0x7FFFFFFFFFFFFFFF}, 0, 9},
                    head_case{"820102", 4, 0, 2, 1}, head_case{"80", 4, 0, 0, 1}, head_case{"9818", 4, 0, 24, 2},
                    head_case{"9a00010000", 4, 0, 65536, 5}, head_case{"a1", 5, 0, 1, 1},
                    head_case{"b90100", 5, 0, 256, 3},
                    // The count is not compared with what is left.
                    head_case{"9b00000000ffffffff", 4, 0, 0xFFFFFFFF, 9}));

TEST_F(ReaderTest, NegativeIntegerReadsAsSignedValue) {
    ASSERT_NE(open("2038ff"), nullptr);
    item_ptr minus_one = read();
    item_ptr minus_256 = read();
    ASSERT_NE(minus_one, nullptr);
    ASSERT_NE(minus_256, nullptr);
    EXPECT_EQ(static_cast<int64_t>(minus_one->value.integer), -1);
    EXPECT_EQ(static_cast<int64_t>(minus_256->value.integer), -256);
}

struct string_case {
    const char *hex;
    unsigned major_type;
    const char *payload_hex;
    int32_t consumed;
};

std::ostream &operator<<(std::ostream &out, const string_case &c) {
    return out << c.hex;
}

class StringItemTest : public ReaderTest, public testing::WithParamInterface<string_case> {};

TEST_P(StringItemTest, CopiesPayload) {
    const string_case &c = GetParam();
    ASSERT_NE(open(c.hex), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    const bytes payload = from_hex(c.payload_hex);
    EXPECT_EQ(item->major_type, c.major_type);
    EXPECT_EQ(item->length, static_cast<int64_t>(payload.size()));
    EXPECT_EQ(consumed(), c.consumed);
    ASSERT_NE(item->value.string, nullptr);
    EXPECT_NE(item->value.string, span_.data() + (c.consumed - static_cast<int32_t>(payload.size())))
        << "the payload must be a copy";
    const size_t copied = payload.size() + (c.major_type == 3 ? 1 : 0);
    bytes expected = payload;
    if (c.major_type == 3) expected.push_back(0);
    EXPECT_EQ(to_hex(item->value.string, copied), to_hex(expected));
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, StringItemTest,
    testing::Values(string_case{"626162", 3, "6162", 3}, string_case{"60", 3, "", 1},
                    string_case{"7803616263ff", 3, "616263", 5}, string_case{"430102ff", 2, "0102ff", 4},
                    string_case{"40", 2, "", 1}, string_case{"59000201fe", 2, "01fe", 5},
                    string_case{"5a00000001aa", 2, "aa", 6}, string_case{"5b000000000000000100", 2, "00", 10}));

TEST_F(ReaderTest, TextCopyIsTerminated) {
    ASSERT_NE(open("626162"), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->length, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(item->value.string)), "ab");
    EXPECT_EQ(item->value.string[2], 0);
}

TEST_F(ReaderTest, ItemOutlivesSpan) {
    ASSERT_NE(open("4201026101"), nullptr);
    item_ptr bytes_item = read();
    item_ptr text_item = read();
    reader_.reset();
    span_.assign(span_.size(), 0xEE);
    ASSERT_NE(bytes_item, nullptr);
    ASSERT_NE(text_item, nullptr);
    EXPECT_EQ(to_hex(bytes_item->value.string, 2), "0102");
    EXPECT_EQ(to_hex(text_item->value.string, 2), "0100");
}

TEST_F(ReaderTest, ArrayLeavesCursorOnFirstElement) {
    ASSERT_NE(open("820507"), nullptr);
    item_ptr array = read();
    ASSERT_NE(array, nullptr);
    EXPECT_EQ(array->length, 2);
    EXPECT_EQ(*reader_->cursor, 0x05);
    item_ptr first = read();
    item_ptr second = read();
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(first->value.integer, 5u);
    EXPECT_EQ(second->value.integer, 7u);
    EXPECT_EQ(cbor_reader_remaining(reader_.get()), 0);
}

TEST_F(ReaderTest, IndefiniteStartAndBreakToggleFlag) {
    ASSERT_NE(open("9f01ff"), nullptr);
    EXPECT_EQ(reader_->in_indefinite, 0);
    item_ptr start = read();
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(start->major_type, 4u);
    EXPECT_EQ(start->length, -1);
    EXPECT_EQ(reader_->in_indefinite, 1);
    item_ptr element = read();
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(reader_->in_indefinite, 1);
    item_ptr end = read();
    ASSERT_NE(end, nullptr);
    EXPECT_EQ(end->major_type, 7u);
    EXPECT_EQ(reader_->in_indefinite, 0);
}

TEST_F(ReaderTest, BreakClearsFlagWhateverWasOpened) {
    ASSERT_NE(open("bf5fffff"), nullptr);
    item_ptr map = read();
    item_ptr bytes_start = read();
    EXPECT_EQ(reader_->in_indefinite, 1);
    item_ptr first_break = read();
    EXPECT_EQ(reader_->in_indefinite, 0);
    item_ptr second_break = read();
    EXPECT_NE(second_break, nullptr);
    EXPECT_EQ(reader_->in_indefinite, 0);
}

TEST_F(ReaderTest, IndefiniteStringsHaveNoPayload) {
    ASSERT_NE(open("5f7f"), nullptr);
    for (const unsigned major_type : {2u, 3u}) {
        item_ptr item = read();
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->major_type, major_type);
        EXPECT_EQ(item->length, -1);
        EXPECT_EQ(item->value.string, nullptr);
    }
}

// ---------------------------------------------------------------------------
// Floats

struct float_item_case {
    const char *hex;
    double value;
};

std::ostream &operator<<(std::ostream &out, const float_item_case &c) {
    return out << c.hex;
}

class FloatItemTest : public ReaderTest, public testing::WithParamInterface<float_item_case> {};

TEST_P(FloatItemTest, DecodesValue) {
    const float_item_case &c = GetParam();
    ASSERT_NE(open(c.hex), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->major_type, 7u);
    EXPECT_EQ(item->value.number, c.value);
    EXPECT_EQ(std::signbit(item->value.number), std::signbit(c.value));
    EXPECT_EQ(cbor_reader_remaining(reader_.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FloatItemTest,
    testing::Values(float_item_case{"f93c00", 1.0}, float_item_case{"f90000", 0.0}, float_item_case{"f98000", -0.0},
                    float_item_case{"f90001", std::ldexp(1.0, -24)}, float_item_case{"f903ff", std::ldexp(1023.0, -24)},
                    float_item_case{"f90400", std::ldexp(1.0, -14)}, float_item_case{"f97bff", 65504.0},
                    float_item_case{"f9fbff", -65504.0}, float_item_case{"f9c000", -2.0},
                    float_item_case{"f97c00", HUGE_VAL}, float_item_case{"f9fc00", -HUGE_VAL},
                    float_item_case{"fa47800000", 65536.0}, float_item_case{"fa7f800000", HUGE_VAL},
                    float_item_case{"faff800000", -HUGE_VAL}, float_item_case{"fa00000001", std::ldexp(1.0, -149)},
                    float_item_case{"fa80000000", -0.0}, float_item_case{"fa3dcccccd", static_cast<double>(0.1f)},
                    float_item_case{"fb3ff0000000000000", 1.0}, float_item_case{"fb3fb999999999999a", 0.1},
                    float_item_case{"fb8000000000000000", -0.0}, float_item_case{"fbfff0000000000000", -HUGE_VAL}));

class NanItemTest : public ReaderTest, public testing::WithParamInterface<const char *> {};

TEST_P(NanItemTest, DecodesNan) {
    ASSERT_NE(open(GetParam()), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    EXPECT_TRUE(std::isnan(item->value.number));
}

INSTANTIATE_TEST_SUITE_P(Payloads, NanItemTest,
                         testing::Values("f97e00", "f97c01", "f9fe00", "fa7fc00000", "fa7fc00001", "faffc00000",
                                         "fb7ff8000000000000", "fbfff8000000000001"));

TEST_F(ReaderTest, SingleNanWithCanonicalQuietBitsMapsToNegativeQuietNan) {
    ASSERT_NE(open("fa7ffc0000"), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(bits_of(item->value.number), 0xFFF8000000000000u);
}

TEST_F(ReaderTest, DoubleKeepsExactBits) {
    ASSERT_NE(open("fb7ff0000000000001"), nullptr);
    item_ptr item = read();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(bits_of(item->value.number), 0x7FF0000000000001u);
}

TEST_F(ReaderTest, ReadsThreeWidthsInSequence) {
    ASSERT_NE(open("f93c00fa3f800000fb3ff0000000000000"), nullptr);
    for (int i = 0; i < 3; ++i) {
        item_ptr item = read();
        ASSERT_NE(item, nullptr) << "item " << i;
        EXPECT_EQ(item->value.number, 1.0) << "item " << i;
    }
    EXPECT_EQ(cbor_reader_remaining(reader_.get()), 0);
    EXPECT_EQ(read(), nullptr);
}

// ---------------------------------------------------------------------------
// Tags, simple values and reserved heads

struct skipped_case {
    const char *hex;
    unsigned major_type;
    int32_t consumed;
};

std::ostream &operator<<(std::ostream &out, const skipped_case &c) {
    return out << c.hex;
}

class SkippedItemTest : public ReaderTest, public testing::WithParamInterface<skipped_case> {};

TEST_P(SkippedItemTest, ConsumesHeadOnly) {
    const skipped_case &c = GetParam();
    ASSERT_NE(open(c.hex), nullptr);
    testing::internal::CaptureStderr();
    item_ptr item = read();
    testing::internal::GetCapturedStderr();
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->major_type, c.major_type);
    EXPECT_EQ(item->value.integer, 0u);
    EXPECT_EQ(item->length, 0);
    EXPECT_EQ(consumed(), c.consumed);
}

INSTANTIATE_TEST_SUITE_P(
    TagsAndSimpleValues, SkippedItemTest,
    testing::Values(skipped_case{"c1fb", 6, 1}, skipped_case{"d7ff", 6, 1}, skipped_case{"d820ff", 6, 2},
                    skipped_case{"d90102ff", 6, 3}, skipped_case{"da01020304ff", 6, 5},
                    skipped_case{"db0102030405060708ff", 6, 9}, skipped_case{"dcff", 6, 1},
                    skipped_case{"f4f5", 7, 1}, skipped_case{"f6", 7, 1}, skipped_case{"f7", 7, 1},
                    skipped_case{"f810ff", 7, 2}, skipped_case{"e0ff", 7, 1}, skipped_case{"f3", 7, 1},
                    skipped_case{"fc", 7, 1}, skipped_case{"feff", 7, 1}, skipped_case{"1c", 0, 1},
                    skipped_case{"3f", 1, 1}, skipped_case{"5c", 2, 1}, skipped_case{"7e", 3, 1},
                    skipped_case{"9c", 4, 1}, skipped_case{"be", 5, 1}));

TEST_F(ReaderTest, UnimplementedCodeIsReportedAndSkipped) {
    ASSERT_NE(open("e0f801f5"), nullptr);
    testing::internal::CaptureStderr();
    item_ptr e0 = read();
    item_ptr f8 = read();
    item_ptr after = read();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Unimplemented CBOR code: e0\nUnimplemented CBOR code: f8\n");
    ASSERT_NE(e0, nullptr);
    ASSERT_NE(f8, nullptr);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(e0->major_type, 7u);
    EXPECT_EQ(after->initial_byte, 0xF5);
}

// ---------------------------------------------------------------------------
// Reader record

TEST_F(ReaderTest, NewReaderStartsAtSpan) {
    ASSERT_NE(open("010203"), nullptr);
    EXPECT_EQ(reader_->data, span_.data());
    EXPECT_EQ(reader_->cursor, span_.data());
    EXPECT_EQ(reader_->length, 3u);
    EXPECT_EQ(reader_->in_indefinite, 0);
    EXPECT_EQ(cbor_reader_remaining(reader_.get()), 3);
}

TEST_F(ReaderTest, ReaderAtEndReadsNothing) {
    ASSERT_NE(open("f6"), nullptr);
    EXPECT_NE(read(), nullptr);
    EXPECT_EQ(cbor_reader_remaining(reader_.get()), 0);
    EXPECT_EQ(read(), nullptr);
    EXPECT_EQ(read(), nullptr);
}

TEST(ReaderLimits, RefusesSpansOf2To31BytesOrMore) {
    const unsigned char byte = 0;
    EXPECT_EQ(cbor_reader_new(&byte, uint64_t{1} << 31), nullptr);
    EXPECT_EQ(cbor_reader_new(&byte, UINT64_MAX), nullptr);
}

TEST(ReaderLimits, AcceptsLargestSpan) {
    const unsigned char byte = 0;
    reader_ptr reader(cbor_reader_new(&byte, (uint64_t{1} << 31) - 1));
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(cbor_reader_remaining(reader.get()), INT32_MAX);
}

TEST(ReaderLimits, NullHandling) {
    EXPECT_EQ(cbor_reader_remaining(nullptr), 0);
    EXPECT_EQ(cbor_read_item(nullptr), nullptr);
    cbor_item_free(nullptr);
}

TEST(ReaderLimits, EmptySpanWithoutData) {
    reader_ptr reader(cbor_reader_new(nullptr, 0));
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(cbor_reader_remaining(reader.get()), 0);
    EXPECT_EQ(cbor_read_item(reader.get()), nullptr);
}

}  // namespace
