#pragma once
/*
 * The calling thread's stack as the platform reports it, and the floor that
 * the encoder's nesting guard keeps above its lowest address. No Python
 * here, so that tests/platform runs this unit on its own, natively and as a
 * Windows program.
 */

/* The addresses the stack spans: it grows down from `highest` towards
 * `lowest`. Both null where the platform does not tell. */
struct stack_bounds {
    const char *lowest;
    const char *highest;
};

stack_bounds current_thread_stack();

/* The lowest address a container level may start at: room is kept below it
 * for the writers and for Python hooks (__index__, __eq__, ...) that run
 * at the deepest level. Null, no floor, for unknown bounds. */
const char *stack_floor(const stack_bounds &bounds);
