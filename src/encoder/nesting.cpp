#include "nesting.h"

#include "errors.h"

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace {
/* Room kept below the deepest container for the writers and for Python hooks
 * (__index__, __eq__, ...) that run there: a quarter of the stack, at most 256 KiB. */
constexpr size_t largest_reserve = 256 * 1024;

#if defined(__linux__)
const char *find_stack_floor() {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return nullptr;
    void *lowest = nullptr;
    size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
    pthread_attr_destroy(&attributes);
    if (!known) return nullptr;
    return static_cast<const char *>(lowest) + std::min(size / 4, largest_reserve);
}
#else
const char *find_stack_floor() {
    return nullptr;
}
#endif
}  // namespace

const char *encoder_stack_floor() {
    thread_local const char *const floor = find_stack_floor();
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
