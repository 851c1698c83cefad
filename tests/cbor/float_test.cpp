#include "cbor_writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <ostream>
#include <random>
#include <string>

namespace {

using cbor_test::bits_of;
using cbor_test::buffer_ptr;
using cbor_test::double_from_bits;
using cbor_test::float_from_bits;
using cbor_test::half_to_double;
using cbor_test::hex_big_endian;
using cbor_test::new_buffer;
using cbor_test::reference_float_hex;
using cbor_test::to_hex;

struct float_result {
    int32_t status;
    std::string hex;
};

float_result put_float(double x) {
    buffer_ptr buffer = new_buffer();
    const int32_t status = cbor_put_float(buffer.get(), x);
    return {status, to_hex(buffer.get())};
}

// ---------------------------------------------------------------------------
// Known values

struct float_case {
    const char *name;
    double value;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const float_case &c) {
    return out << c.name << " -> " << c.hex;
}

class FloatWidthTest : public testing::TestWithParam<float_case> {};

TEST_P(FloatWidthTest, WritesShortestExactWidth) {
    const auto [status, hex] = put_float(GetParam().value);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(hex, GetParam().hex);
}

const float_case half_cases[] = {
    {"0.0", 0.0, "f90000"},
    {"-0.0", -0.0, "f98000"},
    {"1.0", 1.0, "f93c00"},
    {"1.5", 1.5, "f93e00"},
    {"-2.0", -2.0, "f9c000"},
    {"0.5", 0.5, "f93800"},
    {"65504", 65504.0, "f97bff"},
    {"-65504", -65504.0, "f9fbff"},
    {"2048", 2048.0, "f96800"},
    {"2050", 2050.0, "f96801"},
    {"2^-14", std::ldexp(1.0, -14), "f90400"},
};

INSTANTIATE_TEST_SUITE_P(Halves, FloatWidthTest, testing::ValuesIn(half_cases));

const float_case single_cases[] = {
    {"65505", 65505.0, "fa477fe100"},
    {"65520", 65520.0, "fa477ff000"},
    {"65536", 65536.0, "fa47800000"},
    {"100000", 100000.0, "fa47c35000"},
    {"2049", 2049.0, "fa45001000"},
    {"2^-15", std::ldexp(1.0, -15), "fa38000000"},
    {"2^-24", std::ldexp(1.0, -24), "fa33800000"},
    {"1023 x 2^-24", std::ldexp(1023.0, -24), "fa387fc000"},
    {"2^-149", std::ldexp(1.0, -149), "fa00000001"},
    {"2^-126", std::ldexp(1.0, -126), "fa00800000"},
    {"16777216", 16777216.0, "fa4b800000"},
    {"largest single", 3.4028234663852886e38, "fa7f7fffff"},
};

INSTANTIATE_TEST_SUITE_P(Singles, FloatWidthTest, testing::ValuesIn(single_cases));

const float_case double_cases[] = {
    {"16777217", 16777217.0, "fb4170000010000000"},
    {"0.1", 0.1, "fb3fb999999999999a"},
    {"1e300", 1e300, "fb7e37e43c8800759c"},
    {"1e-300", 1e-300, "fb01a56e1fc2f8f359"},
    {"next after 1.0", std::nextafter(1.0, 2.0), "fb3ff0000000000001"},
    {"1 + 2^-40", 1.0 + std::ldexp(1.0, -40), "fb3ff0000000001000"},
    {"smallest double", std::numeric_limits<double>::denorm_min(), "fb0000000000000001"},
    {"largest double", std::numeric_limits<double>::max(), "fb7fefffffffffffff"},
};

INSTANTIATE_TEST_SUITE_P(Doubles, FloatWidthTest, testing::ValuesIn(double_cases));

struct fixed_form_case {
    const char *name;
    uint64_t bits;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const fixed_form_case &c) {
    return out << c.name << " -> " << c.hex;
}

class FloatFixedFormTest : public testing::TestWithParam<fixed_form_case> {};

TEST_P(FloatFixedFormTest, WritesFixedForm) {
    const auto [status, hex] = put_float(double_from_bits(GetParam().bits));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(hex, GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(
    NanAndInfinities, FloatFixedFormTest,
    testing::Values(fixed_form_case{"quiet NaN", 0x7FF8000000000000, "f97e00"},
                    fixed_form_case{"negative quiet NaN", 0xFFF8000000000000, "f97e00"},
                    fixed_form_case{"signalling NaN", 0x7FF0000000000001, "f97e00"},
                    fixed_form_case{"negative signalling NaN", 0xFFF0000000000001, "f97e00"},
                    fixed_form_case{"NaN with high payload", 0x7FF4000000000000, "f97e00"},
                    fixed_form_case{"NaN with full payload", 0x7FFFFFFFFFFFFFFF, "f97e00"},
                    fixed_form_case{"negative NaN with full payload", 0xFFFFFFFFFFFFFFFF, "f97e00"},
                    fixed_form_case{"+inf", 0x7FF0000000000000, "f97c00"},
                    fixed_form_case{"-inf", 0xFFF0000000000000, "f9fc00"}));

TEST(FloatWriter, AppendsAfterEarlierBytes) {
    buffer_ptr buffer = new_buffer();
    ASSERT_EQ(cbor_put_array_start(buffer.get(), 3), 0);
    EXPECT_EQ(cbor_put_float(buffer.get(), 2.5), 1);
    EXPECT_EQ(cbor_put_float(buffer.get(), 0.1), 1);
    EXPECT_EQ(cbor_put_float(buffer.get(), -HUGE_VAL), 0);
    EXPECT_EQ(to_hex(buffer.get()), "83f94100fb3fb999999999999af9fc00");
}

// ---------------------------------------------------------------------------
// Width writers used directly

struct width_case {
    const char *name;
    int32_t (*write)(cbor_buffer *, double);
    double value;
    const char *hex;
};

std::ostream &operator<<(std::ostream &out, const width_case &c) {
    return out << c.name << " -> " << c.hex;
}

class WidthWriterTest : public testing::TestWithParam<width_case> {};

TEST_P(WidthWriterTest, WritesThatWidth) {
    const width_case &c = GetParam();
    buffer_ptr buffer = new_buffer();
    EXPECT_EQ(c.write(buffer.get(), c.value), 1);
    EXPECT_EQ(to_hex(buffer.get()), c.hex);
}

INSTANTIATE_TEST_SUITE_P(
    Values, WidthWriterTest,
    testing::Values(
        width_case{"half 1.0", cbor_put_half, 1.0, "f93c00"},
        width_case{"half -2.0", cbor_put_half, -2.0, "f9c000"},
        width_case{"half 65504", cbor_put_half, 65504.0, "f97bff"},
        width_case{"half -0.0", cbor_put_half, -0.0, "f98000"},
        // The low 13 bits of the single's fraction are dropped, not rounded.
        width_case{"half truncates", cbor_put_half, 1.0 + 3 * std::ldexp(1.0, -12), "f93c00"},
        width_case{"half of 0.1", cbor_put_half, 0.1, "f92e66"},
        width_case{"half +inf", cbor_put_half, HUGE_VAL, "f97c00"},
        width_case{"half -inf", cbor_put_half, -HUGE_VAL, "f9fc00"},
        width_case{"single 1.0", cbor_put_single, 1.0, "fa3f800000"},
        width_case{"single rounds 0.1", cbor_put_single, 0.1, "fa3dcccccd"},
        width_case{"single 2^-149", cbor_put_single, std::ldexp(1.0, -149), "fa00000001"},
        width_case{"single -inf", cbor_put_single, -HUGE_VAL, "faff800000"},
        width_case{"double 1.0", cbor_put_double, 1.0, "fb3ff0000000000000"},
        width_case{"double 0.1", cbor_put_double, 0.1, "fb3fb999999999999a"},
        width_case{"double NaN", cbor_put_double, double_from_bits(0x7FF8000000000001), "fb7ff8000000000001"}));

TEST(WidthWriter, HalfOutsideItsRangeStillWritesThreeBytes) {
    for (const double x : {65536.0, 1e10, std::ldexp(1.0, -15), std::ldexp(1.0, -30), -3e20}) {
        buffer_ptr buffer = new_buffer();
        EXPECT_EQ(cbor_put_half(buffer.get(), x), 1) << x;
        ASSERT_EQ(buffer->size, 3u) << x;
        EXPECT_EQ(buffer->data[0], 0xF9) << x;
    }
}

// ---------------------------------------------------------------------------
// Against the reference, over every half and many random doubles and singles

/* The reference used below must itself give the known encodings. */
TEST(FloatReference, AgreesWithKnownEncodings) {
    const auto check = [](const auto &table) {
        for (const float_case &c : table) EXPECT_EQ(reference_float_hex(c.value), c.hex) << c.name;
    };
    check(half_cases);
    check(single_cases);
    check(double_cases);
}

TEST(FloatReference, HalfDecoderKnownValues) {
    EXPECT_EQ(half_to_double(0x3C00), 1.0);
    EXPECT_EQ(half_to_double(0xC000), -2.0);
    EXPECT_EQ(half_to_double(0x7BFF), 65504.0);
    EXPECT_EQ(half_to_double(0x0400), std::ldexp(1.0, -14));
    EXPECT_EQ(half_to_double(0x0001), std::ldexp(1.0, -24));
    EXPECT_EQ(half_to_double(0x03FF), std::ldexp(1023.0, -24));
    EXPECT_TRUE(std::signbit(half_to_double(0x8000)));
    EXPECT_EQ(half_to_double(0x7C00), HUGE_VAL);
    EXPECT_EQ(half_to_double(0xFC00), -HUGE_VAL);
    EXPECT_TRUE(std::isnan(half_to_double(0x7E00)));
    EXPECT_TRUE(std::isnan(half_to_double(0xFC01)));
}

TEST(FloatExhaustive, EveryHalfBitPattern) {
    int mismatches = 0;
    for (uint32_t pattern = 0; pattern <= 0xFFFF; ++pattern) {
        const auto half = static_cast<uint16_t>(pattern);
        const double x = half_to_double(half);
        const unsigned exponent = (half >> 10) & 0x1F;
        const unsigned fraction = half & 0x3FF;

        std::string expected;
        int32_t expected_status = 1;
        if (exponent == 31) {
            expected_status = 0;
            expected = fraction != 0 ? "f97e00" : (half & 0x8000) ? "f9fc00" : "f97c00";
        } else if (exponent == 0 && fraction != 0) {
            // Subnormal halves are never written; the value is an exact single.
            expected = "fa" + hex_big_endian(bits_of(static_cast<float>(x)), 4);
        } else {
            expected = "f9" + hex_big_endian(half, 2);
        }

        const auto [status, hex] = put_float(x);
        if (status != expected_status || hex != expected) {
            ADD_FAILURE() << "half " << hex_big_endian(half, 2) << " (" << x << "): expected " << expected
                          << " status " << expected_status << ", got " << hex << " status " << status;
            if (++mismatches >= 20) return;
        }
    }
}

void check_against_reference(double x, int &mismatches) {
    const std::string expected = reference_float_hex(x);
    const int32_t expected_status = std::isfinite(x) ? 1 : 0;
    const auto [status, hex] = put_float(x);
    if (status != expected_status || hex != expected) {
        ADD_FAILURE() << "bits " << hex_big_endian(bits_of(x), 8) << " (" << x << "): expected " << expected
                      << " status " << expected_status << ", got " << hex << " status " << status;
        ++mismatches;
    }
}

/* CBOR_FLOAT_SAMPLES raises the count for the long run. */
const int random_samples = [] {
    const char *requested = std::getenv("CBOR_FLOAT_SAMPLES");
    return requested != nullptr ? std::atoi(requested) : 200000;
}();

TEST(FloatRandom, DoubleBitPatterns) {
    std::mt19937_64 random(0x5eed0001);
    int mismatches = 0;
    for (int i = 0; i < random_samples && mismatches < 20; ++i) {
        check_against_reference(double_from_bits(random()), mismatches);
    }
}

TEST(FloatRandom, SingleBitPatterns) {
    std::mt19937_64 random(0x5eed0002);
    int mismatches = 0;
    for (int i = 0; i < random_samples && mismatches < 20; ++i) {
        check_against_reference(static_cast<double>(float_from_bits(static_cast<uint32_t>(random()))), mismatches);
    }
}

/* Singles whose fraction fits a half and whose exponent lies around the half's
 * range, so that half, subnormal-half and single outcomes are all frequent. */
TEST(FloatRandom, SinglesNearTheHalfRange) {
    std::mt19937_64 random(0x5eed0003);
    std::uniform_int_distribution<int> exponent(-30, 20);
    std::uniform_int_distribution<uint32_t> fraction(0, 0x7FF);
    int mismatches = 0;
    for (int i = 0; i < random_samples / 4 && mismatches < 20; ++i) {
        const double sign = (random() & 1) ? -1.0 : 1.0;
        const double x = sign * std::ldexp(static_cast<double>(fraction(random) | 0x800), exponent(random) - 11);
        check_against_reference(x, mismatches);
    }
}

}  // namespace
