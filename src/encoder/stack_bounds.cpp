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

#if defined(__linux__) || defined(__APPLE__)
namespace {
/* The bounds of a stack that reaches `size` bytes below `highest`; a size
 * past the lowest address ends the stack at that address. */
stack_bounds bounds_below(const char *highest, size_t size) {
    const auto top = reinterpret_cast<uintptr_t>(highest);
    return {reinterpret_cast<const char *>(top - std::min<uintptr_t>(size, top)), highest};
}
}  // namespace
#endif

#if defined(_WIN32)
/* A stack is one reservation. VirtualQuery of a local gives its base, and
 * the extent of the pages from the local up that share its attributes: the
 * committed part of the stack, which ends at the stack's top. (Windows 8
 * and later also tell both through GetCurrentThreadStackLimits, but CPython
 * 3.7 and 3.8 still run on Windows 7.) */
stack_bounds current_thread_stack() {
    MEMORY_BASIC_INFORMATION region{};
    if (VirtualQuery(&region, &region, sizeof region) == 0) return {nullptr, nullptr};
    const char *lowest = static_cast<const char *>(region.AllocationBase);
    return {lowest, static_cast<const char *>(region.BaseAddress) + region.RegionSize};
}
#elif defined(__linux__)
namespace {
/* When `address` lies on the process's initial stack, the mapping the
 * kernel names "[stack]" in /proc/self/maps: the end of the mapping below
 * it (0 for none). The thread whose id is the process id usually runs
 * there, but not in a child forked from another thread, which goes on
 * running on that thread's stack. False when /proc cannot tell. */
bool initial_stack_mapping(uintptr_t address, uintptr_t &below_end) {
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
                below_end = previous_end;
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

/* The size of the process's initial stack below `highest`, of which the
 * platform reported `reported` bytes. It grows on demand up to
 * RLIMIT_STACK (8 MiB taken for an unlimited one): glibc reports it so,
 * musl only as far as it was mapped at the start, some 128 KiB. The
 * argument and environment strings above the reported top count against
 * the limit too, at most a quarter of it: the three quarters left lie below
 * that top. Whatever the limit, the stack never grows into the mapping
 * below it nor into the gap the kernel keeps above that mapping (256 pages
 * unless the machine was booted with another stack_guard_gap). */
size_t initial_stack_size(uintptr_t highest, size_t reported, uintptr_t below_end) {
    rlimit limit;
    uint64_t size = reported;
    if (getrlimit(RLIMIT_STACK, &limit) == 0) {
        const uint64_t whole = limit.rlim_cur == RLIM_INFINITY ? 8 * 1024 * 1024 : limit.rlim_cur;
        size = std::max<uint64_t>(size, whole - whole / 4);
    }
    const uint64_t guard_gap = 256 * static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
    const uint64_t room = highest - below_end;
    return static_cast<size_t>(std::min(size, room > guard_gap ? room - guard_gap : 0));
}
}  // namespace

stack_bounds current_thread_stack() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return {nullptr, nullptr};
    void *lowest = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
    pthread_attr_destroy(&attributes);
    if (!known) return {nullptr, nullptr};
    const char *highest = static_cast<const char *>(lowest) + size;
    const char marker = 0;
    uintptr_t below_end = 0;
    if (getpid() == syscall(SYS_gettid) && initial_stack_mapping(reinterpret_cast<uintptr_t>(&marker), below_end)) {
        size = initial_stack_size(reinterpret_cast<uintptr_t>(highest), size, below_end);
    }
    return bounds_below(highest, size);
}
#elif defined(__APPLE__)
/* pthread_get_stackaddr_np gives the stack's top, where it starts growing down. */
stack_bounds current_thread_stack() {
    const pthread_t self = pthread_self();
    return bounds_below(static_cast<const char *>(pthread_get_stackaddr_np(self)), pthread_get_stacksize_np(self));
}
#else
stack_bounds current_thread_stack() {
    return {nullptr, nullptr};
}
#endif

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
