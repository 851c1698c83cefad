#include "allocation.h"

#include <cstdlib>

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

void *cbor_calloc(size_t count, size_t size) {
    return allocation_allowed() ? std::calloc(count, size) : nullptr;
}

void *cbor_malloc(size_t size) {
    return allocation_allowed() ? std::malloc(size) : nullptr;
}

void *cbor_realloc(void *block, size_t size) {
    return allocation_allowed() ? std::realloc(block, size) : nullptr;
}

void cbor_free(void *block) {
    std::free(block);
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
