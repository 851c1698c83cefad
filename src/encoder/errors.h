#pragma once
/*
 * The encoder's failures that are not plain RuntimeErrors. Messages that
 * Python shows as RuntimeError are thrown as std::runtime_error or
 * pybind11::cast_error, which the binding translates.
 */

/* MemoryError: the output could not be completed. */
[[noreturn]] void throw_memory_error();

/* RecursionError: the thread's stack would not hold another level. */
[[noreturn]] void throw_recursion_error();

/* The Python error that is already set. */
[[noreturn]] void throw_pending_error();
