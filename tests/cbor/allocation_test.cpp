#include "allocation.h"
#include "cbor_reader.h"
#include "cbor_writer.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using cbor_test::buffer_ptr;
using cbor_test::bytes;
using cbor_test::decode_float_item;
using cbor_test::from_hex;
using cbor_test::item_ptr;
using cbor_test::new_buffer;
using cbor_test::reader_ptr;
using cbor_test::reference_float_hex;
using cbor_test::to_hex;

/* Every test starts with a disarmed counter at zero and leaves it disarmed. */
class AllocationFailure : public testing::Test {
protected:
    void SetUp() override { cbor_reset_allocation_count(); }
    void TearDown() override { cbor_fail_allocation_at(0); }

    /* Allocations that `run` makes with nothing armed. */
    static uint64_t count_allocations(const std::function<void()> &run) {
        const uint64_t before = cbor_allocation_count();
        run();
        return cbor_allocation_count() - before;
    }
};

bool is_prefix(const std::string &prefix, const std::string &whole) {
    return prefix.size() <= whole.size() && whole.compare(0, prefix.size(), prefix) == 0;
}

/* Appends filler bytes until `room` bytes of spare room are left, so that
 * the next append longer than that must grow the block. */
void fill_until_room(cbor_buffer *buffer, uint64_t room) {
    while (buffer->capacity - buffer->size > room) ASSERT_EQ(cbor_put_byte(buffer, 0x00), 0);
}

/* A failed buffer takes no more bytes, whatever the writer. */
void expect_sticky_failure(cbor_buffer *buffer) {
    const std::string held = to_hex(buffer);
    const unsigned char byte = 0x01;
    EXPECT_EQ(cbor_put_byte(buffer, 0x00), -1);
    EXPECT_EQ(cbor_put_bytes(buffer, &byte, 1), -1);
    EXPECT_EQ(cbor_put_bytes(buffer, &byte, 0), -1);
    EXPECT_EQ(cbor_put_uint(buffer, 1000), -1);
    EXPECT_EQ(cbor_put_textstring(buffer, "x", 1), -1);
    EXPECT_EQ(cbor_put_array_start(buffer, CBOR_INDEFINITE), -1);
    EXPECT_EQ(cbor_put_null(buffer), -1);
    EXPECT_LT(cbor_put_float(buffer, 1.5), 0);
    EXPECT_EQ(cbor_put_float(buffer, std::nan("")), -1);
    EXPECT_TRUE(cbor_buffer_failed(buffer));
    EXPECT_EQ(to_hex(buffer), held);
}

// ---------------------------------------------------------------------------
// Writer sequence

struct write_step {
    const char *name;
    std::function<int32_t(cbor_buffer *)> write;
    int32_t status; /* when nothing fails */
};

const unsigned char three_bytes[] = {0xDE, 0xAD, 0x01};

const std::vector<write_step> &write_sequence() {
    static const std::vector<write_step> steps = {
        {"uint", [](cbor_buffer *b) { return cbor_put_uint(b, 1000); }, 0},
        {"negint", [](cbor_buffer *b) { return cbor_put_negint(b, -70000); }, 0},
        {"textstring",
         [](cbor_buffer *b) { return cbor_put_textstring(b, "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJK", 47); },
         0},
        {"bytestring", [](cbor_buffer *b) { return cbor_put_bytestring(b, three_bytes, 3); }, 0},
        {"array start", [](cbor_buffer *b) { return cbor_put_array_start(b, 2); }, 0},
        {"map start", [](cbor_buffer *b) { return cbor_put_map_start(b, CBOR_INDEFINITE); }, 0},
        {"float", [](cbor_buffer *b) { return cbor_put_float(b, 1.5); }, 1},
        {"break", cbor_put_break, 0},
        {"null", cbor_put_null, 0},
    };
    return steps;
}

/* 63 bytes before the float: the block grows in the text's payload and in the float's final write. */
const char sequence_head_hex[] =
    "1903e83a0001116f782f303132333435363738396162636465666768696a6b6c6d6e6f707172737475767778797a4142434445464748494a"
    "4b43dead0182bf";
const char sequence_tail_hex[] = "fff6";
/* 1.5 as written normally, and as a single or double when a narrower candidate was lost. */
const char *const float_forms[] = {"f93e00", "fa3fc00000", "fb3ff8000000000000"};

struct sequence_run {
    buffer_ptr buffer;
    std::vector<int32_t> statuses;
};

sequence_run run_sequence() {
    sequence_run run{new_buffer(), {}};
    for (const write_step &step : write_sequence()) run.statuses.push_back(step.write(run.buffer.get()));
    return run;
}

TEST_F(AllocationFailure, WriteSequenceWithoutFailure) {
    const sequence_run run = run_sequence();
    ASSERT_NE(run.buffer, nullptr);
    for (size_t i = 0; i < write_sequence().size(); ++i) {
        EXPECT_EQ(run.statuses[i], write_sequence()[i].status) << write_sequence()[i].name;
    }
    EXPECT_FALSE(cbor_buffer_failed(run.buffer.get()));
    EXPECT_EQ(to_hex(run.buffer.get()), std::string(sequence_head_hex) + float_forms[0] + sequence_tail_hex);
}

TEST_F(AllocationFailure, WriteSequenceFailingAtEveryAllocation) {
    const std::string full_hex = std::string(sequence_head_hex) + float_forms[0] + sequence_tail_hex;
    const uint64_t allocations = count_allocations([] { run_sequence(); });

    int widened = 0;
    std::set<std::string> failed_steps;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        cbor_fail_allocation_at(n);
        const sequence_run run = run_sequence();
        cbor_fail_allocation_at(0);

        if (run.buffer == nullptr) {
            EXPECT_EQ(n, 1u) << "only the first allocation creates the buffer";
            for (const int32_t status : run.statuses) EXPECT_EQ(status, -1);
            continue;
        }

        if (!cbor_buffer_failed(run.buffer.get())) {
            // Only the float can absorb a failure: a lost candidate makes it wider, never wrong.
            for (size_t i = 0; i < write_sequence().size(); ++i) {
                EXPECT_EQ(run.statuses[i], write_sequence()[i].status) << write_sequence()[i].name;
            }
            const std::string hex = to_hex(run.buffer.get());
            EXPECT_TRUE(hex == std::string(sequence_head_hex) + float_forms[1] + sequence_tail_hex ||
                        hex == std::string(sequence_head_hex) + float_forms[2] + sequence_tail_hex)
                << hex;
            ++widened;
            continue;
        }

        size_t first_failure = 0;
        while (first_failure < run.statuses.size() && run.statuses[first_failure] >= 0) {
            EXPECT_EQ(run.statuses[first_failure], write_sequence()[first_failure].status);
            ++first_failure;
        }
        ASSERT_LT(first_failure, run.statuses.size()) << "the buffer failed but every step reported success";
        failed_steps.insert(write_sequence()[first_failure].name);
        for (size_t i = first_failure; i < run.statuses.size(); ++i) {
            EXPECT_LT(run.statuses[i], 0) << write_sequence()[i].name << " after the failure";
        }
        const std::string held = to_hex(run.buffer.get());
        EXPECT_TRUE(is_prefix(held, full_hex)) << held;
        EXPECT_LT(held.size(), full_hex.size());
        expect_sticky_failure(run.buffer.get());
    }
    EXPECT_GT(widened, 0) << "no failure inside the float was absorbed by a wider width";
    EXPECT_EQ(failed_steps, (std::set<std::string>{"uint", "textstring", "float"}))
        << "the block's first allocation and its two growths";
}

/* An item written where the block's room ends: one that fills the room
 * exactly leaves the block as it is, one a byte longer grows it; the bytes
 * are the same. */
struct item_at_end_case {
    const char *name;
    std::function<int32_t(cbor_buffer *)> write;
    const char *hex;
};

class ItemAtEndOfBlock : public AllocationFailure, public testing::WithParamInterface<item_at_end_case> {};

TEST_P(ItemAtEndOfBlock, FillsTheRoomOrGrowsOnce) {
    const item_at_end_case &c = GetParam();
    const uint64_t item_size = std::string(c.hex).size() / 2;
    for (const uint64_t room : {item_size, item_size - 1}) {
        SCOPED_TRACE("room " + std::to_string(room));
        buffer_ptr buffer = new_buffer();
        ASSERT_EQ(cbor_put_byte(buffer.get(), 0x9F), 0);
        fill_until_room(buffer.get(), room);
        const std::string held = to_hex(buffer.get());
        const uint64_t capacity = buffer->capacity;
        EXPECT_GE(c.write(buffer.get()), 0);
        EXPECT_EQ(buffer->capacity == capacity, room == item_size);
        EXPECT_EQ(to_hex(buffer.get()), held + c.hex);
    }
}

const std::string twenty_four_letters = "abcdefghijklmnopqrstuvwx";

INSTANTIATE_TEST_SUITE_P(
    Items, ItemAtEndOfBlock,
    testing::Values(item_at_end_case{"null", cbor_put_null, "f6"},
                    item_at_end_case{"uint 1000", [](cbor_buffer *b) { return cbor_put_uint(b, 1000); }, "1903e8"},
                    item_at_end_case{"negint -2^63",
                                     [](cbor_buffer *b) { return cbor_put_negint(b, INT64_MIN); },
                                     "3b7fffffffffffffff"},
                    item_at_end_case{"map start 24", [](cbor_buffer *b) { return cbor_put_map_start(b, 24); }, "b818"},
                    item_at_end_case{"text of 5", [](cbor_buffer *b) { return cbor_put_textstring(b, "hello", 5); },
                                     "6568656c6c6f"},
                    item_at_end_case{"bytes of 24",
                                     [](cbor_buffer *b) {
                                         return cbor_put_bytestring(b, twenty_four_letters.data(), 24);
                                     },
                                     "58186162636465666768696a6b6c6d6e6f707172737475767778"},
                    item_at_end_case{"float 1.5", [](cbor_buffer *b) { return cbor_put_float(b, 1.5); },
                                     "f93e00"}),
    [](const testing::TestParamInfo<item_at_end_case> &info) {
        std::string name = info.param.name;
        for (char &c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST_F(AllocationFailure, BufferCreationFails) {
    cbor_fail_allocation_at(1);
    EXPECT_EQ(cbor_buffer_new(), nullptr);
    buffer_ptr buffer = new_buffer();
    EXPECT_NE(buffer, nullptr) << "the failure fires once";
}

TEST_F(AllocationFailure, FailedHeadKeepsEarlierBytes) {
    buffer_ptr buffer = new_buffer();
    ASSERT_EQ(cbor_put_true(buffer.get()), 0);
    fill_until_room(buffer.get(), 1);
    const std::string held = to_hex(buffer.get());
    cbor_fail_allocation_at(1); /* the growth for the first argument byte of 19 03 e8 */
    EXPECT_EQ(cbor_put_uint(buffer.get(), 1000), -1);
    EXPECT_TRUE(buffer->failed);
    EXPECT_TRUE(cbor_buffer_failed(buffer.get()));
    EXPECT_EQ(to_hex(buffer.get()), held + "19");
    expect_sticky_failure(buffer.get());
}

TEST_F(AllocationFailure, FailedFirstAppendLeavesBufferEmpty) {
    buffer_ptr buffer = new_buffer();
    cbor_fail_allocation_at(1);
    EXPECT_EQ(cbor_put_bytestring(buffer.get(), three_bytes, 3), -1);
    EXPECT_EQ(buffer->data, nullptr);
    EXPECT_EQ(buffer->size, 0u);
    expect_sticky_failure(buffer.get());
}

TEST_F(AllocationFailure, FailedStringPayloadKeepsHead) {
    buffer_ptr buffer = new_buffer();
    ASSERT_EQ(cbor_put_null(buffer.get()), 0);
    fill_until_room(buffer.get(), 1);
    const std::string held = to_hex(buffer.get());
    cbor_fail_allocation_at(1);
    EXPECT_EQ(cbor_put_textstring(buffer.get(), "hello", 5), -1);
    EXPECT_EQ(to_hex(buffer.get()), held + "65");
    expect_sticky_failure(buffer.get());
}

// ---------------------------------------------------------------------------
// Reader

TEST_F(AllocationFailure, ReaderCreationFails) {
    const unsigned char span[] = {0x01};
    cbor_fail_allocation_at(1);
    EXPECT_EQ(cbor_reader_new(span, sizeof span), nullptr);
    reader_ptr reader(cbor_reader_new(span, sizeof span));
    EXPECT_NE(reader, nullptr);
}

class ReadItemAllocationFailure : public AllocationFailure, public testing::WithParamInterface<const char *> {};

TEST_P(ReadItemAllocationFailure, EveryFailingAllocationGivesNull) {
    const bytes span = from_hex(GetParam());
    const uint64_t allocations = count_allocations([&] {
        reader_ptr reader(cbor_reader_new(span.data(), span.size()));
        item_ptr item(cbor_read_item(reader.get()));
        ASSERT_NE(item, nullptr);
    }) - 1; /* the reader record */
    ASSERT_GE(allocations, 1u);

    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n));
        reader_ptr reader(cbor_reader_new(span.data(), span.size()));
        ASSERT_NE(reader, nullptr);
        cbor_fail_allocation_at(n);
        item_ptr item(cbor_read_item(reader.get()));
        cbor_fail_allocation_at(0);
        EXPECT_EQ(item, nullptr);
    }

    // Nothing is left over from the failures: a new reader reads the item.
    reader_ptr reader(cbor_reader_new(span.data(), span.size()));
    item_ptr item(cbor_read_item(reader.get()));
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->initial_byte, span[0]);
}

INSTANTIATE_TEST_SUITE_P(Items, ReadItemAllocationFailure,
                         testing::Values("626162", "60", "43010203", "40",
                                         "7818000102030405060708090a0b0c0d0e0f1011121314151617", "5900020102", "18ff", "f93c00", "fb3ff0000000000000", "9f", "c1"));

TEST_F(AllocationFailure, StringItemsNeedRecordAndCopy) {
    const bytes span = from_hex("626162");
    reader_ptr reader(cbor_reader_new(span.data(), span.size()));
    const uint64_t allocations = count_allocations([&] { item_ptr item(cbor_read_item(reader.get())); });
    EXPECT_EQ(allocations, 2u);
}

// ---------------------------------------------------------------------------
// Float writer

enum class width { half, single, dbl };

width width_of(unsigned char initial_byte) {
    return initial_byte == 0xF9 ? width::half : initial_byte == 0xFA ? width::single : width::dbl;
}

struct float_outcomes {
    std::vector<width> written;
    int negative = 0;
};

/* A buffer that holds 81 and filler up to its capacity: the float's own
 * write must grow it. */
buffer_ptr full_buffer() {
    buffer_ptr buffer = new_buffer();
    EXPECT_EQ(cbor_put_byte(buffer.get(), 0x81), 0);
    fill_until_room(buffer.get(), 0);
    return buffer;
}

/* Runs cbor_put_float(x) once per allocation it makes, failing that one, on a
 * full buffer. */
float_outcomes put_float_failing_each_allocation(double x) {
    const uint64_t allocations = [&] {
        buffer_ptr buffer = full_buffer();
        const uint64_t before = cbor_allocation_count();
        cbor_put_float(buffer.get(), x);
        return cbor_allocation_count() - before;
    }();
    const std::string expected_hex = reference_float_hex(x);
    const bytes expected = from_hex(expected_hex);

    float_outcomes outcomes;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " + std::to_string(allocations));
        buffer_ptr buffer = full_buffer();
        const auto held = static_cast<size_t>(buffer->size);

        cbor_fail_allocation_at(n);
        const int32_t status = cbor_put_float(buffer.get(), x);
        cbor_fail_allocation_at(0);

        const unsigned char *added = buffer->data + held;
        const auto added_size = static_cast<size_t>(buffer->size - held);
        EXPECT_EQ(buffer->data[0], 0x81);

        if (status < 0) {
            ++outcomes.negative;
            EXPECT_TRUE(cbor_buffer_failed(buffer.get()));
            // At most the initial byte of a width whose payload could not follow.
            if (added_size != 0) {
                EXPECT_EQ(added_size, 1u);
                EXPECT_TRUE(added[0] == 0xF9 || added[0] == 0xFA || added[0] == 0xFB)
                    << to_hex(added, added_size);
            }
            expect_sticky_failure(buffer.get());
            continue;
        }

        EXPECT_EQ(status, std::isfinite(x) ? 1 : 0);
        EXPECT_FALSE(cbor_buffer_failed(buffer.get()));
        const std::string added_hex = to_hex(added, added_size);
        const auto value = decode_float_item(added, added_size);
        if (!value) {
            ADD_FAILURE() << "not a float item: " << added_hex;
            continue;
        }
        if (std::isnan(x)) {
            EXPECT_TRUE(std::isnan(*value)) << added_hex;
        } else {
            EXPECT_EQ(*value, x) << added_hex;
            EXPECT_EQ(std::signbit(*value), std::signbit(x)) << added_hex;
        }
        EXPECT_GE(added_size, expected.size()) << "narrower than " << expected_hex << ": " << added_hex;
        outcomes.written.push_back(width_of(added[0]));
    }
    return outcomes;
}

int count(const std::vector<width> &widths, width w) {
    int n = 0;
    for (const width each : widths) n += each == w ? 1 : 0;
    return n;
}

TEST_F(AllocationFailure, FloatAsHalfFallsBackToSingleOrDouble) {
    const float_outcomes outcomes = put_float_failing_each_allocation(1.5);
    EXPECT_GT(count(outcomes.written, width::single), 0) << "lost half candidate";
    EXPECT_GT(count(outcomes.written, width::dbl), 0) << "lost single candidate: double fallback";
    EXPECT_GT(outcomes.negative, 0);
}

TEST_F(AllocationFailure, FloatAsSingleFallsBackToDouble) {
    const float_outcomes outcomes = put_float_failing_each_allocation(65505.0);
    EXPECT_EQ(count(outcomes.written, width::half), 0);
    EXPECT_GT(count(outcomes.written, width::dbl), 0);
    EXPECT_GT(outcomes.negative, 0);
}

class FloatAllocationFailure : public AllocationFailure, public testing::WithParamInterface<double> {};

TEST_P(FloatAllocationFailure, NeverWritesAWrongValue) {
    const float_outcomes outcomes = put_float_failing_each_allocation(GetParam());
    EXPECT_GT(outcomes.negative, 0);
}

INSTANTIATE_TEST_SUITE_P(Values, FloatAllocationFailure,
                         testing::Values(0.0, -0.0, 1.0, -65504.0, 2049.0, std::ldexp(1.0, -24),
                                         std::ldexp(1.0, -149), 16777217.0, 0.1, 1e300,
                                         3.4028234663852886e38, HUGE_VAL, -HUGE_VAL, std::nan("")));

TEST_F(AllocationFailure, FloatFixedFormFailsWithoutBytes) {
    for (const double x : {std::nan(""), HUGE_VAL, -HUGE_VAL}) {
        buffer_ptr buffer = new_buffer();
        cbor_fail_allocation_at(1);
        EXPECT_EQ(cbor_put_float(buffer.get(), x), -1);
        cbor_fail_allocation_at(0);
        EXPECT_TRUE(cbor_buffer_failed(buffer.get()));
        EXPECT_EQ(buffer->size, 0u);
    }
}

TEST_F(AllocationFailure, FloatWithoutAnyCandidateMarksBufferFailed) {
    buffer_ptr buffer = new_buffer();
    ASSERT_EQ(cbor_put_uint(buffer.get(), 7), 0);
    cbor_fail_allocation_at(1); /* the scratch buffer */
    EXPECT_LT(cbor_put_float(buffer.get(), 0.1), 0);
    cbor_fail_allocation_at(0);
    EXPECT_TRUE(cbor_buffer_failed(buffer.get()));
    EXPECT_EQ(to_hex(buffer.get()), "07");
}

}  // namespace
