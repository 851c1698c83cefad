#pragma once
/*
 * The calling thread's stack as the platform reports it, the floor that the
 * encoder's nesting guard keeps above its lowest address, the bounds kept
 * for each thread between calls, and where a call looks at them again. No
 * Python here, so that tests/platform runs this unit on its own, natively
 * and as a Windows program.
 */

#include <cstdint>

/* The addresses the stack spans: it grows down from `highest` towards
 * `lowest`. Both null where the platform does not tell. On a stack that the
 * kernel maps as it grows, under the soft stack limit (the process's
 * initial stack on Linux), `mapped` is the lowest address mapped when the
 * bounds were found: the stack above it stays usable however low the limit
 * is set later, the stack below it only as far as the limit lets it grow at
 * the time. Null on every other stack, which is there whole. */
struct stack_bounds {
    const char *lowest;
    const char *highest;
    const char *mapped;
};

/* The stack the calling thread runs on as the platform reports it. Windows
 * reports the running fiber's own stack; Linux and macOS report the
 * thread's, even while it runs on another stack (a makecontext coroutine).
 * On Linux the main thread's stack reaches down as far as the kernel lets
 * it grow under the soft limit (RLIMIT_STACK) as it stands now, or as far as
 * it is mapped already if that is lower, and `mapped` tells how far that
 * is; under glibc it cannot be told without /proc. */
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
 * null. The bounds of the thread's own stack are kept per thread, and found
 * again when a call starts outside them where the platform reports another
 * stack (a Windows fiber's); where the platform cannot tell them, they are
 * assumed below `here`. A call on a stack that no one reports, such as a
 * makecontext coroutine's, gets bounds assumed below `here` for itself
 * alone: another coroutine's stack may lie within them. */
const char *call_stack_floor(const char *here);

/* Where a call starting at `here` first looks at the stack again (see
 * deep_call_stack_floor), never null: 64 KiB below `here`, or the call's
 * floor if that is higher, or, on a stack with a `mapped` address, 16 KiB
 * above it if that is higher still, so that the soft limit is read again
 * before the stack grows where a lowered limit may not let it. A call that
 * starts that low reads it (one syscall) at its first container. */
const char *call_stack_checkpoint(const char *here);

/* The floor once more, for a call that started at `here` and has passed its
 * checkpoint: bounds the platform could not tell are looked up again, and
 * so are the main thread's when its soft stack limit changed since they
 * were found. A mapping placed under the main thread's stack after that is
 * not seen. */
const char *deep_call_stack_floor(const char *here);
