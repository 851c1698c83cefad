#include "stack_bounds.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__APPLE__)
#include <pthread.h>
#endif

namespace {
/* The bounds of a stack that reaches `size` bytes below `highest`; a size
 * past the lowest address ends the stack at that address. */
stack_bounds bounds_below(const char *highest, size_t size) {
    const auto top = reinterpret_cast<uintptr_t>(highest);
    return {reinterpret_cast<const char *>(top - std::min<uintptr_t>(size, top)), highest, nullptr};
}
}  // namespace

#if defined(_WIN32)
/* A stack is one reservation, a fiber's too. VirtualQuery of a local gives
 * its base, and the extent of the pages from the local up that share its
 * attributes: the committed part of the stack, which ends at the stack's
 * top. (Windows 8 and later also tell both through
 * GetCurrentThreadStackLimits, but CPython 3.7 and 3.8 still run on
 * Windows 7.) */
stack_bounds current_thread_stack() {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(&region, &region, sizeof region) == 0) return {nullptr, nullptr, nullptr};
    const char *lowest = static_cast<const char *>(region.AllocationBase);
    return {lowest, static_cast<const char *>(region.BaseAddress) + region.RegionSize, nullptr};
}
#elif defined(__linux__)
namespace {
uint64_t soft_stack_limit() {
    rlimit limit;
    if (getrlimit(RLIMIT_STACK, &limit) != 0) return UINT64_MAX;
    return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : limit.rlim_cur;
}

bool on_initial_thread() {
    return getpid() == syscall(SYS_gettid);
}

/* The mapping of the process's initial stack, and the end of the mapping
 * below it (0 for none). */
struct stack_mapping {
    uintptr_t start;
    uintptr_t end;
    uintptr_t below_end;
};

/* When `address` lies on the process's initial stack, the mapping the
 * kernel names "[stack]" in /proc/self/maps. The thread whose id is the
 * process id usually runs there, but not in a child forked from another
 * thread, which goes on running on that thread's stack. False when /proc
 * cannot tell. */
bool initial_stack_mapping(uintptr_t address, stack_mapping &found) {
    FILE *const maps = std::fopen("/proc/self/maps", "re");
    if (maps == nullptr) return false;
    char line[512];
    uintptr_t previous_end = 0;
    bool on_initial_stack = false;
    while (std::fgets(line, sizeof line, maps) != nullptr) {
        const bool whole_line = std::strchr(line, '\n') != nullptr;
        unsigned long start = 0, end = 0;
        if (std::sscanf(line, "%lx-%lx", &start, &end) == 2) {
            if (start <= address && address < end) {
                const char *const name = std::strrchr(line, ' ');
                on_initial_stack = name != nullptr && std::strcmp(name, " [stack]\n") == 0;
                found = {start, end, previous_end};
                break;
            }
            previous_end = end;
        }
        /* The rest of a long line (a long file name) holds no addresses. */
        while (!whole_line && std::fgets(line, sizeof line, maps) != nullptr && std::strchr(line, '\n') == nullptr) {
        }
    }
    std::fclose(maps);
    return on_initial_stack;
}

/* The lowest address the process's initial stack reaches. The kernel lets
 * it grow while the whole mapping, with the argument and environment block
 * at its top, stays within the soft limit (glibc's figure wraps when that
 * block is larger than the limit; musl's covers only what was mapped at the
 * start), and never into the gap it keeps above the mapping below (256
 * pages unless the machine was booted with another stack_guard_gap). What
 * is mapped already stays, however low the limit was set since. */
uintptr_t initial_stack_lowest(const stack_mapping &mapping, uint64_t limit) {
    const uintptr_t guard_gap = 256 * static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t lowest = mapping.below_end + std::min(guard_gap, mapping.start - mapping.below_end);
    if (limit < mapping.end) lowest = std::max(lowest, mapping.end - static_cast<uintptr_t>(limit));
    return std::min(lowest, mapping.start);
}
}  // namespace

stack_bounds current_thread_stack() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return {nullptr, nullptr, nullptr};
    void *lowest = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
    pthread_attr_destroy(&attributes);
    if (!known) return {nullptr, nullptr, nullptr};
    const char *highest = static_cast<const char *>(lowest) + size;
    const char marker = 0;
    stack_mapping mapping{};
    if (on_initial_thread() && initial_stack_mapping(reinterpret_cast<uintptr_t>(&marker), mapping)) {
        return {reinterpret_cast<const char *>(initial_stack_lowest(mapping, soft_stack_limit())), highest,
                reinterpret_cast<const char *>(mapping.start)};
    }
    return {static_cast<const char *>(lowest), highest, nullptr};
}
#elif defined(__APPLE__)
/* pthread_get_stackaddr_np gives the stack's top, where it starts growing down. */
stack_bounds current_thread_stack() {
    const pthread_t self = pthread_self();
    return bounds_below(static_cast<const char *>(pthread_get_stackaddr_np(self)), pthread_get_stacksize_np(self));
}
#else
stack_bounds current_thread_stack() {
    return {nullptr, nullptr, nullptr};
}
#endif

/* Half the limit leaves the other half to the argument and environment
 * block and to the frames above `here`. Coroutine libraries give stacks of
 * 64 KiB and more; a Python thread's is rarely smaller. The top is rounded
 * up to a page, so that calls made from about the same depth keep the same
 * bounds. */
stack_bounds assumed_stack_below(const char *here, uint64_t limit) {
    constexpr size_t unknown_stack_size = 64 * 1024;
    constexpr uint64_t assumed_unlimited = 8 * 1024 * 1024;
    const uint64_t size = limit == 0 ? unknown_stack_size : std::min(limit, assumed_unlimited) / 2;
    const auto at = reinterpret_cast<uintptr_t>(here);
    const stack_bounds bounds = bounds_below(here, static_cast<size_t>(size));
    return {bounds.lowest, reinterpret_cast<const char *>(std::max(at, (at | 4095) + 1)), nullptr};
}

/* A quarter of the stack, at most 256 KiB. On Windows the lowest pages of
 * the reservation are a guard page and the pages kept for handling an
 * overflow, a few pages in all: Python threads there get the interpreter
 * executable's reservation, 1 MiB or more, so the floor stays 256 KiB above
 * its base, far above those pages. */
const char *stack_floor(const stack_bounds &bounds) {
    constexpr size_t largest_room = 256 * 1024;
    if (bounds.lowest == nullptr || bounds.highest == nullptr) return nullptr;
    const auto size = static_cast<size_t>(bounds.highest - bounds.lowest);
    return bounds.lowest + std::min(size / 4, largest_room);
}

namespace {
#if defined(_WIN32)
/* Windows reports the running fiber's stack: a call on another stack asks again. */
constexpr bool reports_follow_the_stack = true;
#else
constexpr bool reports_follow_the_stack = false;
#endif

/* The soft limit the calling thread's stack grows with; 0 for a stack that
 * does not: only the process's initial stack on Linux does. */
uint64_t followed_stack_limit() {
#if defined(__linux__)
    return on_initial_thread() ? soft_stack_limit() : 0;
#else
    return 0;
#endif
}

/* Whether the soft limit differs from `limit`, the one a thread's stack grew
 * with when its bounds were found (0: it did not grow with one). Such a
 * thread is the process's initial thread for good (a child forked from it
 * too): one syscall, not the three of followed_stack_limit(). */
bool stack_limit_changed(uint64_t limit) {
#if defined(__linux__)
    return limit != 0 && soft_stack_limit() != limit;
#else
    return limit != 0;
#endif
}

struct kept_stack {
    stack_bounds bounds; /* the thread's own stack: as reported, or assumed where the platform could not tell */
    const char *floor;
    const char *lowest_checkpoint; /* the lowest first checkpoint of a call on these bounds */
    stack_bounds reported;         /* the platform's last report; null when it could not tell */
    uint64_t limit;                /* followed_stack_limit() when the platform was last asked */
};

thread_local kept_stack kept{};

bool holds(const stack_bounds &bounds, const char *address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    return reinterpret_cast<uintptr_t>(bounds.lowest) <= at && at < reinterpret_cast<uintptr_t>(bounds.highest);
}

/* Whether `here` lies on the thread's own stack, its bounds found again
 * first where they may have changed. */
bool find_bounds(const char *here, bool ask_again) {
    /* Calls read the soft limit again this far above the stack mapped when
     * the bounds were found: room, on stack that is there, for a container
     * level and for the lookup that follows, which reads /proc. */
    constexpr uintptr_t mapped_margin = 16 * 1024;
    kept_stack &stack = kept;
    if (ask_again || (!holds(stack.reported, here) && (stack.reported.lowest == nullptr || reports_follow_the_stack))) {
        stack.limit = followed_stack_limit();
        stack.reported = current_thread_stack();
        stack.bounds = stack.reported.lowest != nullptr ? stack.reported : assumed_stack_below(here, stack.limit);
        stack.floor = stack_floor(stack.bounds);
        const auto mapped = reinterpret_cast<uintptr_t>(stack.bounds.mapped);
        const auto floor = reinterpret_cast<uintptr_t>(stack.floor);
        stack.lowest_checkpoint =
            reinterpret_cast<const char *>(mapped == 0 ? floor : std::max(floor, mapped + mapped_margin));
    }
    return holds(stack.bounds, here);
}

/* Not on the thread's own stack: a coroutine's, of a size no one tells. */
const char *unreported_stack_floor(const char *here) {
    return stack_floor(assumed_stack_below(here, 0));
}

/* For a call starting outside the bounds kept. */
const char *lowest_checkpoint_elsewhere(const char *here) {
    return find_bounds(here, false) ? kept.lowest_checkpoint : unreported_stack_floor(here);
}
}  // namespace

const char *call_stack_floor(const char *here) {
    const kept_stack &stack = kept;
    return holds(stack.bounds, here) || find_bounds(here, false) ? stack.floor : unreported_stack_floor(here);
}

const char *call_stack_checkpoint(const char *here) {
    constexpr uintptr_t recheck_depth = 64 * 1024;
    const kept_stack &stack = kept;
    const char *lowest = holds(stack.bounds, here) ? stack.lowest_checkpoint : lowest_checkpoint_elsewhere(here);
    const auto at = reinterpret_cast<uintptr_t>(here);
    return reinterpret_cast<const char *>(
        std::max(reinterpret_cast<uintptr_t>(lowest), at - std::min(recheck_depth, at)));
}

const char *deep_call_stack_floor(const char *here) {
    const kept_stack &stack = kept;
    const bool on_kept = stack.reported.lowest == nullptr || stack_limit_changed(stack.limit)
                             ? find_bounds(here, true)
                             : holds(stack.bounds, here) || find_bounds(here, false);
    return on_kept ? stack.floor : unreported_stack_floor(here);
}
