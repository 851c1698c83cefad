"""dumps called again and again, through success and every error path, with
flat memory and unchanged reference counts.

    python tests/leaks/leak_check.py [--calls N] [--warmup N] [--limit-kib N]

The calls cycle through the cases below. After the warm-up calls, Python's
traced memory (tracemalloc) and the process's resident set (/proc/self/statm)
are taken, with the reference counts of every object the cases hand to dumps;
after the remaining calls they are taken again. Prints the figures, and exits
with status 1 when either memory figure grew by more than the limit (1 MiB by
default) or any reference count changed.

Under AddressSanitizer, whose allocator holds freed blocks in quarantine and
keeps its own bookkeeping, the resident set is reported but not judged: run
the sanitized module with ASAN_OPTIONS=quarantine_size_mb=0 to make it
meaningful there too. Nor is it judged when ORVANTILE_EMULATED=1 says that the
interpreter runs under an emulator (scripts/test-aarch64 runs it under
qemu-user), whose own memory the resident set then counts, nor where the C
library cannot be asked to hand freed memory back (musl has no malloc_trim)."""

import argparse
import ctypes
import gc
import os
import resource
import sys
import threading
import time
import tracemalloc

import orvantile_cbor
from orvantile_cbor import dumps

MiB = 1 << 20


def fresh(text):
    """A str object of its own, shared with no literal."""
    return "".join([text, "!"])


class Marker:
    """Carried by the exceptions that the hooks raise."""


MARKER = Marker()


def raising(exception):
    def hook(self, *arguments):
        raise exception(MARKER)

    return hook


class Index:
    def __init__(self, number):
        self.number = number

    def __index__(self):
        return self.number


class Clearing:
    """Empties the container it was put in while that container is written."""

    def __init__(self, container):
        self.container = container

    def __index__(self):
        self.container.clear()
        return 1


BadIndex = type("BadIndex", (), {"__index__": raising(ValueError)})
BadTruth = type("BadTruth", (), {"__bool__": raising(KeyError)})
BadEq = type("BadEq", (int,), {"__eq__": raising(ArithmeticError), "__hash__": int.__hash__})
BadStr = type(
    "BadStr",
    (int,),
    {"__eq__": lambda self, other: False, "__hash__": int.__hash__, "__str__": raising(LookupError)},
)
Liar = type("Liar", (int,), {"__eq__": lambda self, other: False, "__hash__": int.__hash__})


def in_small_stack(function):
    """Calls function in a thread with a 256 KiB stack; returns or raises what
    it did. A self-reference then ends in RecursionError within a few thousand
    levels on every version: from CPython 3.14 only the stack bounds nesting,
    and the main thread's takes some 85,000 levels (80 ms a call)."""
    outcome = []

    def target():
        try:
            outcome.append((function(), None))
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            outcome.append((None, error))

    previous = threading.stack_size(256 * 1024)
    try:
        thread = threading.Thread(target=target)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    result, error = outcome.pop()
    try:
        if error is not None:
            raise error
        return result
    finally:
        error = None


def cases():
    """(name, call, objects whose reference counts are watched, exception or None)."""
    big = 10**15 + 7
    huge = 2**64 + 5
    text = fresh("text é €")
    long_text = fresh("x" * 100_000)
    blob = bytes(range(256)) * 3
    long_blob = bytes(200_000)
    real = 1.0 / 3.0
    key = (fresh("k"), 10**12 + 1)
    inner = [big, text, blob, real, None, True, -(2**63), 2**64 - 1, 65505.0, float("nan")]
    mapping = {key: inner, fresh("other"): (real, -big), 1.5: {}}
    top = [mapping, inner, (big, real), long_text, long_blob]
    everything = [top, mapping, inner, key, big, text, long_text, blob, long_blob, real]
    surrogate = fresh("\ud800")
    looped = [big, text]
    looped.append(looped)
    deep = []
    for _ in range(50):
        deep = [deep, real]
    hooks = [Index(5), Index(2**63), Index(-3), type("Truthy", (), {"__bool__": lambda self: True})()]
    bad_index, bad_truth, bad_eq, bad_str, liar = BadIndex(), BadTruth(), BadEq(9), BadStr(9), Liar(2**40)
    a_set = {big, text}

    def clearing_list():
        value = [big, text, None]
        value[2] = Clearing(value)
        return dumps(value)

    def clearing_dict():
        value = {text: big, "hook": None}
        value["hook"] = Clearing(value)
        return dumps(value, False)

    return [
        ("success, indefinite", lambda: dumps(top), everything, None),
        ("success, definite", lambda: dumps(top, False), everything, None),
        ("success, depth-limited", lambda: dumps(top, True, 10), everything, None),
        ("success, 50 levels", lambda: dumps(deep, False, 51), [deep, real], None),
        ("success, hooks", lambda: dumps([hooks, mapping], False), hooks + everything, None),
        ("range error", lambda: dumps([top, huge]), everything + [huge], RuntimeError),
        ("range error, key", lambda: dumps({huge: top}, False), everything + [huge], RuntimeError),
        ("cast error", lambda: dumps([top, bytearray(b"x")]), everything, RuntimeError),
        ("surrogate str", lambda: dumps({text: [top, surrogate]}), everything + [surrogate], RuntimeError),
        ("surrogate str, top level", lambda: dumps(surrogate), [surrogate], RuntimeError),
        ("depth error", lambda: dumps(top, True, 2), everything, RuntimeError),
        ("depth error, 50 levels", lambda: dumps(deep, False, 20), [deep, real], RuntimeError),
        ("recursion error", lambda: in_small_stack(lambda: dumps(looped)), [looped, big, text], RecursionError),
        ("depth error, self-reference", lambda: dumps(looped, False, 50), [looped, big, text], RuntimeError),
        ("incompatible value", lambda: dumps(a_set), [a_set, big, text], TypeError),
        ("incompatible max_depth", lambda: dumps(top, True, -1), everything, TypeError),
        ("__index__ raises", lambda: dumps([top, bad_index]), everything + [bad_index, MARKER], RuntimeError),
        ("__bool__ raises", lambda: dumps([top, bad_truth]), everything + [bad_truth, MARKER], RuntimeError),
        ("__eq__ raises", lambda: dumps([top, bad_eq]), everything + [bad_eq, MARKER], RuntimeError),
        ("__str__ raises", lambda: dumps([top, bad_str]), everything + [bad_str, MARKER], RuntimeError),
        ("__eq__ lies", lambda: dumps({liar: top}), everything + [liar], RuntimeError),
        ("hook clears the list", clearing_list, [big, text], RuntimeError),
        ("hook clears the dict", clearing_dict, [big, text], RuntimeError),
    ]


# glibc's malloc_trim hands freed heap back to the system, so that the resident
# set counts memory in use, not free blocks kept for reuse (1.3 MiB of them
# after 20,000 calls on CPython 3.14, with no byte leaked).
malloc_trim = getattr(ctypes.CDLL(None), "malloc_trim", None)


def resident_bytes():
    if malloc_trim is not None:
        malloc_trim(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def resident_set_unjudged():
    """Why the resident set's growth says nothing of dumps here, or None."""
    if "libasan" in os.environ.get("LD_PRELOAD", "") and "quarantine_size_mb=0" not in os.environ.get(
        "ASAN_OPTIONS", ""
    ):
        return "under the sanitizer allocator"
    # Under qemu-user the resident set is mostly the emulator's, which keeps
    # some 280 KiB for every guest thread that ever ran, whether or not it
    # called dumps (the recursion case starts a thread per call). Every other
    # check holds under emulation.
    if os.environ.get("ORVANTILE_EMULATED") == "1":
        return "under emulation"
    # Without it, free blocks the allocator keeps for reuse count as grown.
    if malloc_trim is None:
        return "without malloc_trim"
    return None


def run(calls, warmup):
    """Makes `calls` calls in all; returns the figures."""
    table = cases()
    watched = {id(item): item for _, _, objects, _ in table for item in objects}
    wrong = []
    outcomes = {name: 0 for name, _, _, _ in table}

    def call(index):
        name, function, _, raises = table[index % len(table)]
        try:
            function()
        except Exception as error:  # noqa: BLE001 - every outcome is checked
            if raises is None or type(error) is not raises:
                wrong.append(f"{name}: {type(error).__name__}: {error}")
        else:
            if raises is not None:
                wrong.append(f"{name}: no {raises.__name__}")
        outcomes[name] += 1

    tracemalloc.start()
    started = time.perf_counter()
    for index in range(warmup):
        call(index)
    gc.collect()
    traced_before = tracemalloc.get_traced_memory()[0]
    resident_before = resident_bytes()
    counts_before = {key: sys.getrefcount(item) for key, item in watched.items()}
    for index in range(warmup, calls):
        call(index)
    gc.collect()
    traced_after = tracemalloc.get_traced_memory()[0]
    resident_after = resident_bytes()
    counts_after = {key: sys.getrefcount(item) for key, item in watched.items()}
    elapsed = time.perf_counter() - started
    tracemalloc.stop()
    changed = [
        f"{repr(watched[key])[:50]}: {counts_before[key]} -> {counts_after[key]}"
        for key in watched
        if counts_after[key] != counts_before[key]
    ]
    return {
        "calls": calls,
        "warmup": warmup,
        "cases": len(table),
        "error_calls": sum(count for (name, _, _, raises) in table for count in [outcomes[name]] if raises),
        "seconds": elapsed,
        "traced_growth": traced_after - traced_before,
        "resident_growth": resident_after - resident_before,
        "peak_resident": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
        "watched": len(watched),
        "changed_counts": changed,
        "wrong": wrong[:20],
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=1_000_000)
    parser.add_argument("--warmup", type=int, default=None, help="default: a tenth of the calls")
    parser.add_argument("--limit-kib", type=int, default=1024)
    arguments = parser.parse_args()
    warmup = arguments.warmup if arguments.warmup is not None else arguments.calls // 10
    figures = run(arguments.calls, warmup)
    unjudged = resident_set_unjudged()
    limit = arguments.limit_kib * 1024
    print(f"module: {orvantile_cbor.__file__}")
    print(
        f"{figures['calls']:,} calls ({figures['error_calls']:,} through an error path) over "
        f"{figures['cases']} cases in {figures['seconds']:.1f} s; measured after {figures['warmup']:,} warm-up calls"
    )
    print(f"traced Python memory growth: {figures['traced_growth']:+,} bytes")
    print(
        f"resident set growth: {figures['resident_growth']:+,} bytes"
        f"{f' (not judged {unjudged})' if unjudged else ''}; "
        f"peak resident set {figures['peak_resident'] / MiB:.1f} MiB"
    )
    print(f"reference counts changed: {len(figures['changed_counts'])} of {figures['watched']} watched objects")
    failures = []
    if figures["wrong"]:
        failures.append("unexpected outcomes: " + "; ".join(figures["wrong"]))
    if figures["changed_counts"]:
        failures.append("reference counts changed: " + "; ".join(figures["changed_counts"]))
    if figures["traced_growth"] > limit:
        failures.append(f"traced memory grew by more than {arguments.limit_kib} KiB")
    if not unjudged and figures["resident_growth"] > limit:
        failures.append(f"resident set grew by more than {arguments.limit_kib} KiB")
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("no leak")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
