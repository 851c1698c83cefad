/*
 * The stack bounds behind the encoder's nesting guard, on their own: built
 * natively and as a Windows program run under wine (make test-windows).
 * In the main thread and in a thread asked for a 256 KiB stack (what the
 * platform gave is read back: wine gives at least 1 MiB), the bounds hold a
 * local variable, a call's first checkpoint lies where the encoder's rule
 * puts it, and a recursion that stops at the floor by that rule ends
 * cleanly, with the room below the floor still usable. So it does
 * on a stack of 256 KiB that the thread switches to after a first call on
 * its own: a fiber on Windows, which reports its own bounds; a makecontext
 * coroutine under glibc, whose bounds no one reports, so that the floor
 * lies within the 64 KiB assumed below the call.
 */

#include "stack_bounds.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <pthread.h>
#include <sys/resource.h>
#if defined(__GLIBC__)
#include <ucontext.h>
#endif
#endif

namespace {
constexpr size_t small_stack = 256 * 1024;
constexpr size_t largest_room = 256 * 1024;
/* Less than the room the floor keeps on the smallest stack here (a quarter of 256 KiB). */
constexpr size_t deepest_use = 32 * 1024;

int passed = 0;
int failed = 0;

void check(bool condition, const char *thread, const char *what) {
    if (condition) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED in the %s: %s\n", thread, what);
    }
}

/* What a writer or a Python hook does at the deepest level: use stack. */
unsigned use_stack_below_the_floor() {
    volatile unsigned char block[deepest_use];
    for (size_t i = 0; i < deepest_use; ++i) block[i] = static_cast<unsigned char>(i);
    return block[deepest_use - 1];
}

struct descent {
    const char *floor;
    const char *deepest = nullptr;
    unsigned levels = 0;
    unsigned deepest_use_result = 0;
};

/* One container level: a frame of a few hundred bytes, refused below the
 * floor as nesting_guard refuses it. */
unsigned descend(descent &state) {
    volatile unsigned char frame[256];
    for (volatile unsigned char &byte : frame) byte = 1;
    const char marker = 0;
    if (&marker < state.floor) {
        state.deepest = &marker;
        state.deepest_use_result = use_stack_below_the_floor();
        return 0;
    }
    ++state.levels;
    return descend(state) + frame[0];
}

/* A recursion that stops at `floor` ends cleanly, with room below it. */
void check_descent(const char *thread, const char *floor) {
    descent state{floor};
    const unsigned result = descend(state);
    check(result == state.levels, thread, "the recursion came back up");
    check(state.deepest != nullptr && state.deepest < floor && floor - state.deepest < 4096, thread,
          "the recursion stopped at the floor");
    check(state.deepest_use_result == static_cast<unsigned char>(deepest_use - 1), thread,
          "32 KiB more below the floor were usable");
}

void check_this_thread(const char *thread, [[maybe_unused]] bool main_thread) {
    const char local = 0;
    const stack_bounds bounds = current_thread_stack();
    check(bounds.lowest != nullptr && bounds.highest != nullptr, thread, "the bounds are known");
    if (bounds.lowest == nullptr || bounds.highest == nullptr) return;
    check(bounds.lowest < &local && &local < bounds.highest, thread, "the bounds hold a local variable");
#if defined(_WIN32)
    ULONG_PTR low_limit = 0;
    ULONG_PTR high_limit = 0;
    GetCurrentThreadStackLimits(&low_limit, &high_limit);
    check(reinterpret_cast<ULONG_PTR>(bounds.lowest) == low_limit &&
              reinterpret_cast<ULONG_PTR>(bounds.highest) == high_limit,
          thread, "the bounds are those GetCurrentThreadStackLimits gives");
#endif
    const size_t size = static_cast<size_t>(bounds.highest - bounds.lowest);
#if defined(__linux__)
    rlimit limit;
    if (main_thread && getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        check(size >= limit.rlim_cur - limit.rlim_cur / 4 && size <= limit.rlim_cur, thread,
              "the bounds reach the stack limit's three quarters, and not past the limit");
    }
#endif
    const char *floor = stack_floor(bounds);
    check(floor == bounds.lowest + (size / 4 < largest_room ? size / 4 : largest_room), thread,
          "the floor keeps a quarter of the stack, at most 256 KiB");
    check(call_stack_floor(&local) == floor, thread, "a call's floor is that of these bounds");
    const auto at = reinterpret_cast<uintptr_t>(&local);
    const uintptr_t above_mapped = bounds.mapped == nullptr ? 0 : reinterpret_cast<uintptr_t>(bounds.mapped) + 16 * 1024;
    check(reinterpret_cast<uintptr_t>(call_stack_checkpoint(&local)) ==
              std::max({reinterpret_cast<uintptr_t>(floor), at - 64 * 1024, above_mapped}),
          thread, "a call's first checkpoint is 64 KiB below it, at the floor or 16 KiB above the stack mapped, "
          "whichever is highest");
    check_descent(thread, floor);
    std::printf("%s: stack of %zu KiB, floor %zu KiB above its lowest address\n", thread, size / 1024,
                static_cast<size_t>(floor - bounds.lowest) / 1024);
}

/* Where the platform cannot tell: half a finite limit, 4 MiB for an
 * unlimited one, 64 KiB for a stack of unknown size, all below the address. */
void check_assumed_bounds() {
    const char local = 0;
    const struct {
        uint64_t limit;
        size_t size;
    } cases[] = {{512 * 1024, 256 * 1024}, {UINT64_MAX, 4 * 1024 * 1024}, {0, 64 * 1024}};
    const auto at = reinterpret_cast<uintptr_t>(&local);
    for (const auto &example : cases) {
        const stack_bounds bounds = assumed_stack_below(&local, example.limit);
        const auto lowest = reinterpret_cast<uintptr_t>(bounds.lowest);
        check(lowest == (at > example.size ? at - example.size : 0) && &local < bounds.highest &&
                  bounds.highest - &local <= 4096,
              "main thread", "bounds assumed below a local (not below address 0)");
    }
}

#if defined(_WIN32)
void *thread_fiber = nullptr;

void WINAPI run_fiber(void *) {
    const char local = 0;
    ULONG_PTR low_limit = 0;
    ULONG_PTR high_limit = 0;
    GetCurrentThreadStackLimits(&low_limit, &high_limit);
    const char *floor = call_stack_floor(&local);
    check(floor == stack_floor({reinterpret_cast<const char *>(low_limit), reinterpret_cast<const char *>(high_limit),
                                nullptr}),
          "fiber", "a call's floor is that of the fiber's own stack");
    check_descent("fiber", floor);
    SwitchToFiber(thread_fiber);
}

bool run_on_another_stack() {
    thread_fiber = ConvertThreadToFiber(nullptr);
    void *const fiber = CreateFiberEx(small_stack, small_stack, 0, run_fiber, nullptr);
    if (thread_fiber == nullptr || fiber == nullptr) return false;
    SwitchToFiber(fiber);
    DeleteFiber(fiber);
    return ConvertFiberToThread() != 0;
}
#elif defined(__GLIBC__)
ucontext_t thread_context;
ucontext_t coroutine_context;
alignas(16) char coroutine_stack[small_stack];

void run_coroutine() {
    const char local = 0;
    const char *floor = call_stack_floor(&local);
    check(coroutine_stack < floor && floor < &local && &local - floor <= 64 * 1024, "coroutine",
          "a call's floor lies within the 64 KiB assumed below it");
    check_descent("coroutine", floor);
}

bool run_on_another_stack() {
    if (getcontext(&coroutine_context) != 0) return false;
    coroutine_context.uc_stack.ss_sp = coroutine_stack;
    coroutine_context.uc_stack.ss_size = sizeof coroutine_stack;
    coroutine_context.uc_link = &thread_context;
    makecontext(&coroutine_context, run_coroutine, 0);
    return swapcontext(&thread_context, &coroutine_context) == 0;
}
#else
/* musl offers no makecontext, macOS deprecates it. */
bool run_on_another_stack() {
    return true;
}
#endif

#if defined(_WIN32)
DWORD WINAPI run_in_thread(void *) {
    check_this_thread("second thread", false);
    return 0;
}

bool run_second_thread() {
    HANDLE thread = CreateThread(nullptr, small_stack, run_in_thread, nullptr, STACK_SIZE_PARAM_IS_A_RESERVATION,
                                 nullptr);
    if (thread == nullptr) return false;
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    return true;
}
#else
void *run_in_thread(void *) {
    check_this_thread("second thread", false);
    return nullptr;
}

bool run_second_thread() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, small_stack);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, run_in_thread, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    if (started) pthread_join(thread, nullptr);
    return started;
}
#endif
}  // namespace

int main() {
    check_this_thread("main thread", true);
    check_assumed_bounds();
    check(run_on_another_stack(), "main thread", "the thread switched to another stack and back");
    const char local = 0;
    check(call_stack_floor(&local) == stack_floor(current_thread_stack()), "main thread",
          "back on the thread's own stack, a call's floor is its own again");
    check(run_second_thread(), "main thread", "a second thread started");
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
