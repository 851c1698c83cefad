#include "nesting.h"

#include "errors.h"
#include "stack_bounds.h"

#include <Python.h>

const char *encoder_stack_floor() {
    thread_local const char *const floor = stack_floor(current_thread_stack());
    return floor;
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

nesting_guard::nesting_guard(const char *stack_floor) {
    const char marker = 0;
    if (stack_floor != nullptr && &marker < stack_floor) throw_recursion_error();
    if (!enter_interpreter_recursion()) throw_pending_error();
}

nesting_guard::~nesting_guard() {
    leave_interpreter_recursion();
}
