#include "nesting.h"

#include "errors.h"
#include "stack_bounds.h"

#include <Python.h>

/* For the rare path of a check made at every container level: inlined, it
 * would make the check too large to be inlined itself. */
#if defined(_MSC_VER)
#define RARELY_TAKEN __declspec(noinline)
#else
#define RARELY_TAKEN __attribute__((noinline, cold))
#endif

const char *encoder_stack_floor() {
    const char marker = 0;
    return call_stack_floor(&marker);
}

stack_budget::stack_budget() {
    const char marker = 0;
    start = &marker;
    checkpoint = call_stack_checkpoint(&marker);
    at_floor = false;
}

RARELY_TAKEN void stack_budget::passed_checkpoint(const char *here) {
    if (!at_floor) {
        at_floor = true;
        checkpoint = deep_call_stack_floor(start);
        if (here >= checkpoint) return;
    }
    throw_recursion_error();
}

namespace {
#if PY_VERSION_HEX < 0x03090000 && !defined(PYPY_VERSION)
/* CPython 3.7 and 3.8 offer Py_EnterRecursiveCall only as a macro over a
 * global that later interpreters lack, which would keep the module from even
 * reaching its version check there. This is the same macro spelled with
 * functions; the interpreter's own check still reports the overflow and
 * grants the headroom that raising the error needs. */
bool enter_interpreter_recursion() {
    PyThreadState *thread = PyThreadState_Get();
    return !(++thread->recursion_depth > Py_GetRecursionLimit() &&
             _Py_CheckRecursiveCall(" while encoding a CBOR value"));
}

void leave_interpreter_recursion() {
    PyThreadState *thread = PyThreadState_Get();
    const int limit = Py_GetRecursionLimit();
    const int low_water_mark = limit > 200 ? limit - 50 : 3 * (limit >> 2);
    if (--thread->recursion_depth < low_water_mark) thread->overflowed = 0;
}
#else
bool enter_interpreter_recursion() {
    return Py_EnterRecursiveCall(" while encoding a CBOR value") == 0;
}

void leave_interpreter_recursion() {
    Py_LeaveRecursiveCall();
}
#endif
}  // namespace

nesting_guard::nesting_guard(stack_budget &stack) {
    const char marker = 0;
    if (&marker < stack.checkpoint) stack.passed_checkpoint(&marker);
    if (!enter_interpreter_recursion()) throw_pending_error();
}

nesting_guard::~nesting_guard() {
    leave_interpreter_recursion();
}
