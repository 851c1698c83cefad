#pragma once
/*
 * The encoder's failures that are not plain RuntimeErrors, and the one rule
 * for errors raised by the hooks of the values being encoded. Messages that
 * Python shows as RuntimeError are thrown as std::runtime_error or
 * pybind11::cast_error, which the binding translates.
 */

/* Thrown once a Python error is set that must reach the caller as it is.
 * The binding's translator leaves the error set and returns null to the
 * interpreter: the error is never fetched into C++, because PyPy cannot
 * hand an exception with its traceback to C code near its recursion limit
 * (its frames are copied one by one) and ends the process instead. The
 * destructors run while it unwinds see the error set: they only release
 * references, and the interpreters' finalizers keep a pending error. */
struct python_error_pending {};

/* MemoryError: the output could not be completed. */
[[noreturn]] void throw_memory_error();

/* RecursionError: the thread's stack would not hold another level. */
[[noreturn]] void throw_recursion_error();

/* The Python error that is already set. */
[[noreturn]] void throw_pending_error();

/* Whether the pending Python error is an ordinary failure of a conversion
 * (a hook such as __index__ or __bool__ raised, or the interpreter refused
 * the object): an Exception other than MemoryError and RecursionError. Such
 * a failure only means that the conversion refuses the object. Anything
 * else (KeyboardInterrupt, SystemExit, MemoryError, RecursionError, ...)
 * must reach the caller, and no further hook may run after it. An ordinary
 * error raised while the thread has used up the interpreter's last margin
 * for recursion (CPython 3.7-3.9) becomes RecursionError. */
bool pending_error_is_ordinary();

/* Clears the pending error when it is ordinary, throws it otherwise; does
 * nothing when no error is set. */
void clear_ordinary_error();
