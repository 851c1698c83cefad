#pragma once
/*
 * Every container the encoder enters costs native stack and one level of the
 * interpreter's recursion count. A nesting_guard refuses to go deeper, with
 * RecursionError, when either would run out: the interpreter's limit, or the
 * calling thread's stack, however small the thread's stack was made.
 */

/* The lowest stack address the encoder may reach on this thread. Found on
 * a thread's first call (Linux reads it from /proc for the main thread,
 * some 30 microseconds) and kept. */
const char *encoder_stack_floor();

class nesting_guard {
public:
    explicit nesting_guard(const char *stack_floor);
    ~nesting_guard();
    nesting_guard(const nesting_guard &) = delete;
    nesting_guard &operator=(const nesting_guard &) = delete;
};
