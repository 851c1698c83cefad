#include "allocation.h"

#include <cstdlib>
#include <cstring>
#include <functional>

#if defined(__SANITIZE_ADDRESS__)
#define CBOR_BLOCK_CACHE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CBOR_BLOCK_CACHE 0
#endif
#endif
#ifndef CBOR_BLOCK_CACHE
#define CBOR_BLOCK_CACHE 1
#endif

/* Eight blocks of 48 bytes: the float writer holds six at once, none larger
 * than 40 bytes (a scratch buffer's record). */
struct cbor_block_cache {
    static constexpr size_t block_size = 48;
    static constexpr unsigned block_count = 8;
    alignas(16) unsigned char blocks[block_count][block_size];
    unsigned char free_blocks[block_count] = {7, 6, 5, 4, 3, 2, 1, 0}; /* indexes; the last one is taken first */
    unsigned free_count = block_count;

    bool holds(const void *block) const {
        const auto *byte = static_cast<const unsigned char *>(block);
        return std::less_equal<const unsigned char *>()(&blocks[0][0], byte) &&
               std::less<const unsigned char *>()(byte, &blocks[0][0] + sizeof blocks);
    }

    void *take(size_t size) {
        if (size > block_size || free_count == 0) return nullptr;
        return blocks[free_blocks[--free_count]];
    }

    void give_back(const void *block) {
        const auto index = static_cast<size_t>(static_cast<const unsigned char *>(block) - &blocks[0][0]) / block_size;
        free_blocks[free_count++] = static_cast<unsigned char>(index);
    }
};

namespace {
uint64_t allocations_attempted = 0;
uint64_t failing_allocation = 0; /* absolute count that fails; 0 when disarmed */

bool allocation_allowed() {
    ++allocations_attempted;
    if (failing_allocation == 0 || allocations_attempted != failing_allocation) return true;
    failing_allocation = 0;
    return false;
}
}  // namespace

/* Never inlined: where its result is known to be the thread's variable, GCC
 * recomputes that address (a call of the runtime's) at every use. */
#if defined(_MSC_VER)
__declspec(noinline)
#elif defined(__GNUC__) || defined(__clang__)
__attribute__((noinline))
#endif
cbor_block_cache *cbor_thread_block_cache() {
#if CBOR_BLOCK_CACHE
    static thread_local cbor_block_cache cache;
    return &cache;
#else
    return nullptr;
#endif
}

void *cbor_calloc(size_t count, size_t size, cbor_block_cache *cache) {
    if (!allocation_allowed()) return nullptr;
    if (cache != nullptr && count == 1) {
        if (void *block = cache->take(size)) return std::memset(block, 0, cbor_block_cache::block_size);
    }
    return std::calloc(count, size);
}

void *cbor_malloc(size_t size, cbor_block_cache *cache) {
    if (!allocation_allowed()) return nullptr;
    if (cache != nullptr) {
        if (void *block = cache->take(size)) return block;
    }
    return std::malloc(size);
}

void *cbor_realloc(void *block, size_t size, cbor_block_cache *cache) {
    if (!allocation_allowed()) return nullptr;
    if (cache == nullptr) return std::realloc(block, size);
    if (block == nullptr) {
        if (void *taken = cache->take(size)) return taken;
        return std::malloc(size);
    }
    if (!cache->holds(block)) return std::realloc(block, size);
    if (size <= cbor_block_cache::block_size) return block;
    void *moved = std::malloc(size);
    if (moved == nullptr) return nullptr;
    std::memcpy(moved, block, cbor_block_cache::block_size);
    cache->give_back(block);
    return moved;
}

void cbor_free(void *block, cbor_block_cache *cache) {
    if (cache != nullptr && cache->holds(block)) {
        cache->give_back(block);
    } else {
        std::free(block);
    }
}

void cbor_fail_allocation_at(uint64_t n) {
    failing_allocation = n == 0 ? 0 : allocations_attempted + n;
}

uint64_t cbor_allocation_count() {
    return allocations_attempted;
}

void cbor_reset_allocation_count() {
    allocations_attempted = 0;
    failing_allocation = 0;
}
