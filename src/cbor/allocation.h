#pragma once
/*
 * Every allocation of the codec goes through these functions, so that tests
 * can make the Nth one fail. Production never arms the failure and gets the
 * standard functions.
 */

#include <cstddef>
#include <cstdint>

void *cbor_calloc(size_t count, size_t size);
void *cbor_malloc(size_t size);
void *cbor_realloc(void *block, size_t size);
void cbor_free(void *block);

/* Makes the nth allocation from now fail (1 = the next one); 0 disarms. */
void cbor_fail_allocation_at(uint64_t n);

/* Allocations attempted since the counter was last reset. */
uint64_t cbor_allocation_count();
void cbor_reset_allocation_count();
