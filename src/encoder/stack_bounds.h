#pragma once
/*
 * The calling thread's stack as the platform reports it, the floor that the
 * encoder's nesting guard keeps above its lowest address, and the bounds
 * kept for each thread between calls. No Python here, so that
 * tests/platform runs this unit on its own, natively and as a Windows
 * program.
 */

#include <cstdint>

/* The addresses the stack spans: it grows down from `highest` towards
 * `lowest`. Both null where the platform does not tell. */
struct stack_bounds {
    const char *lowest;
    const char *highest;
};

/* The stack the calling thread runs on as the platform reports it. Windows
 * reports the running fiber's own stack; Linux and macOS report the
 * thread's, even while it runs on another stack (a makecontext coroutine).
 * On Linux the main thread's stack reaches down as far as the kernel lets
 * it grow under the soft limit (RLIMIT_STACK) as it stands now, or as far as
 * it is mapped already if that is lower; under glibc it cannot be told
 * without /proc. */
stack_bounds current_thread_stack();

/* Bounds assumed below `here` where the platform cannot tell: for a stack
 * that grows up to the soft stack limit `limit` (UINT64_MAX: unlimited), half
 * of it, at most 4 MiB; for one of unknown size (`limit` 0), 64 KiB. */
stack_bounds assumed_stack_below(const char *here, uint64_t limit);

/* The lowest address a container level may start at: room is kept below it
 * for the writers and for Python hooks (__index__, __eq__, ...) that run
 * at the deepest level. Null, no floor, for unknown bounds. */
const char *stack_floor(const stack_bounds &bounds);

/* The floor for a call starting at `here` on the calling thread, never
 * null. The bounds are kept per thread, and found again when a call starts
 * outside them: on a fiber or a coroutine's stack, or back on the thread's
 * own. Where the platform cannot tell, they are assumed below `here`. */
const char *call_stack_floor(const char *here);

/* The floor once more, for a call that started at `here` and has gone
 * deep: bounds the platform could not tell are looked up again, and so are
 * the main thread's when its soft stack limit changed since they were
 * found. A mapping placed under the main thread's stack after that is not
 * seen. */
const char *deep_call_stack_floor(const char *here);
