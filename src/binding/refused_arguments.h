#pragma once
/*
 * The TypeError of a dumps call whose arguments are refused. It keeps
 * pybind11's shape ("dumps(): incompatible function arguments. ...", the
 * signature, then "Invoked with: " and the arguments), but describes each
 * argument without its contents and without running any of its code:
 * pybind11 quotes the repr of every argument, which can be huge, hold
 * secrets, or raise an interrupt that pybind11 swallows.
 *
 * pybind11 refuses a call in two places: before any caster runs, when the
 * arguments do not fill the parameters, and when a caster fails. So every
 * call of dumps first passes a check of its parameters, and the casters
 * never fail (value_caster.h): the bound function hands refused_call()
 * back instead of bytes, and the refusal is raised on its way out.
 */

#include <pybind11/pybind11.h>

/* dumps' parameters in order; only the first has no default. */
inline constexpr const char *dumps_parameters[] = {"value", "indefinite", "max_depth"};

/* What the bound dumps returns, in place of bytes, when a caster refused its
 * argument: None, which dumps itself never returns. */
inline pybind11::bytes refused_call() { return pybind11::reinterpret_borrow<pybind11::bytes>(Py_None); }

/* Makes every call of `dumps`, the function pybind11 bound with
 * dumps_parameters, pass through the parameter check and raise the refusal
 * described below. The call costs a few instructions more; the function
 * object, its docstring and its signature stay as pybind11 made them. A
 * call fits when it has at most three positional arguments, each keyword
 * names a parameter not filled by position, and `value` is given; a keyword
 * that is not an exact str does not fit (a subclass's own __eq__ and
 * __hash__ would decide whether pybind11 finds it). Throws
 * pybind11::error_already_set when `dumps` is not such a function.
 *
 * The refusal describes each argument as its repr when it is None, a bool,
 * an exact float or an exact int of at most 20 digits, and as
 * "<TYPE object>" otherwise; type names and keyword names are cut to 100
 * characters followed by "...". No code of the arguments runs; a
 * MemoryError met while the message is made reaches the caller instead. */
void check_calls_of_dumps(pybind11::handle dumps);
