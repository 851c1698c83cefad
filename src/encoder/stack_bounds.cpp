#include "stack_bounds.h"

#include <algorithm>
#include <cstddef>

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
/* The main thread's stack grows on demand up to RLIMIT_STACK (8 MiB taken
 * for an unlimited one, which leaves the region below the stack unmapped).
 * glibc reports it so; musl only as far as it was mapped at the start, some
 * 128 KiB. The argument and environment strings above the reported top
 * count against the limit too, at most a quarter of it: the three quarters
 * left lie below that top. 0 for other threads. */
size_t main_thread_stack_size() {
    rlimit limit;
    if (getpid() != syscall(SYS_gettid) || getrlimit(RLIMIT_STACK, &limit) != 0) return 0;
    const rlim_t whole = limit.rlim_cur == RLIM_INFINITY ? 8 * 1024 * 1024 : limit.rlim_cur;
    return static_cast<size_t>(whole - whole / 4);
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
    return {highest - std::max(size, main_thread_stack_size()), highest};
}
#elif defined(__APPLE__)
/* pthread_get_stackaddr_np gives the stack's top, where it starts growing down. */
stack_bounds current_thread_stack() {
    const pthread_t self = pthread_self();
    const char *highest = static_cast<const char *>(pthread_get_stackaddr_np(self));
    return {highest - pthread_get_stacksize_np(self), highest};
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
