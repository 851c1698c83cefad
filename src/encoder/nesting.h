#pragma once
/*
 * Every container the encoder enters costs native stack and one level of the
 * interpreter's recursion count. A nesting_guard refuses to go deeper, with
 * RecursionError, when either would run out: the interpreter's limit, or the
 * calling thread's stack, however small the thread's stack was made.
 */

/* The calling thread's stack floor (see call_stack_floor). Found on a
 * thread's first call (Linux reads /proc for the main thread, some 30
 * microseconds) and kept while calls start within the same bounds. */
const char *encoder_stack_floor();

/* One call's stack budget. The guard first stops at a checkpoint: 64 KiB
 * below where the call started, or higher, at the floor, or where the main
 * thread's stack would grow past the part mapped when its bounds were found
 * (see call_stack_checkpoint). A call that nests that deep looks at the
 * thread's stack once more (see deep_call_stack_floor), then goes on to the
 * floor. Calls that stay shallower look at nothing but their start. */
class stack_budget {
public:
    stack_budget();
    const char *checkpoint;
    /* At `here`, below the checkpoint: raises RecursionError past the floor. */
    void passed_checkpoint(const char *here);

private:
    const char *start;
    bool at_floor;
};

class nesting_guard {
public:
    explicit nesting_guard(stack_budget &stack);
    ~nesting_guard();
    nesting_guard(const nesting_guard &) = delete;
    nesting_guard &operator=(const nesting_guard &) = delete;
};
