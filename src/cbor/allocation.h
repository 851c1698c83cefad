#pragma once
/*
 * Every allocation of the codec goes through these functions, so that tests
 * can make the Nth one fail. Production never arms the failure and gets the
 * standard functions, or a block of a cbor_block_cache.
 */

#include <cstddef>
#include <cstdint>

/* A few small blocks kept by one thread for records that live only inside
 * one call of the codec (the float writer's scratch buffer and its block,
 * its reader and items): taken and given back without the heap. Blocks
 * that do not fit, or that come when all are taken, are the heap's. The
 * blocks are part of the thread's own storage and go with it when the
 * thread exits. */
struct cbor_block_cache;

/* This thread's cache, or null in builds under AddressSanitizer, which must
 * see every record freed to catch a use after free. Reading a thread's own
 * variable costs a call in a shared library: read it once and pass it on. */
cbor_block_cache *cbor_thread_block_cache();

/* The standard functions' contracts; with a cache, a block of the cache
 * when the request fits one and one is free. cbor_realloc and cbor_free
 * take the cache the block came from (null for the heap). Every call
 * counts as an allocation attempt, served from the cache or not. */
void *cbor_calloc(size_t count, size_t size, cbor_block_cache *cache = nullptr);
void *cbor_malloc(size_t size, cbor_block_cache *cache = nullptr);
void *cbor_realloc(void *block, size_t size, cbor_block_cache *cache = nullptr);
void cbor_free(void *block, cbor_block_cache *cache = nullptr);

/* Makes the nth allocation from now fail (1 = the next one); 0 disarms. */
void cbor_fail_allocation_at(uint64_t n);

/* Allocations attempted since the counter was last reset. */
uint64_t cbor_allocation_count();
void cbor_reset_allocation_count();
