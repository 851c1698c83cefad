#include <gtest/gtest.h>
#include "cbor_writer.h"
TEST(Smoke, Compiles) { cbor_buffer *b = cbor_buffer_new(); EXPECT_EQ(cbor_put_uint(b, 24), 0); cbor_buffer_free(b); }
