"""Real memory exhaustion: in a child interpreter whose address space is
limited (RLIMIT_AS) below what the output needs, dumps raises instead of
crashing, gives its partial output back, and the next calls work under the
same limit.

The output buffer grows by at least what each append needs, so a list of
64 MiB byte strings needs 64 MiB more with every item; the inputs are made
before the limit is set, and the limit leaves room for three items' output
only.
Under AddressSanitizer (make test-sanitize) the child lets the sanitizer's
allocator return null instead of aborting, and frees at once instead of
holding freed blocks in quarantine, so that the memory given back can be
used again."""

import os
import platform
import subprocess
import sys
import textwrap

import pytest

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="address-space limits on Linux")
PYPY = platform.python_implementation() == "PyPy"

CHILD = textwrap.dedent(
    """
    import gc, resource, sys
    import orvantile_cbor

    MiB = 1 << 20
    item_mib, count, room_mib, probe_mib = map(int, sys.argv[1:])

    def address_space():
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[0]) * resource.getpagesize()

    def attempt(value, indefinite=True):
        try:
            return len(orvantile_cbor.dumps(value, indefinite))
        except Exception as error:
            return f"{type(error).__name__}: {error}"

    # made before the limit is set, and handed to C once: PyPy copies an
    # object into memory of its own the first time C code sees it, and keeps
    # the copy while the object lives
    items = [bytes([n]) * (item_mib * MiB) for n in range(count)]
    for item in items:
        orvantile_cbor.dumps(item)
    # PyPy's collector gives memory back only when it runs
    gc.collect()
    print("small before:", orvantile_cbor.dumps([1, "a", 2.5]).hex())
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    limit = address_space() + room_mib * MiB
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    if resource.getrlimit(resource.RLIMIT_AS)[0] != limit:
        print("limit ignored")
        sys.exit()

    print("all items:", attempt(items))
    print("all items, definite:", attempt(items, False))
    print("small after:", orvantile_cbor.dumps([1, "a", 2.5]).hex())
    # a new input, its output and the output's bytes object fit in the room
    # only if the failed calls gave their partial output back
    gc.collect()
    print("probe:", attempt(bytes(probe_mib * MiB)) == 5 + probe_mib * MiB)
    print("again:", attempt(items))
    print("small at the end:", orvantile_cbor.dumps({"k": [None]}, False).hex())
    """
)


def probe_mib(cpython_mib, pypy_mib):
    """A probe needs three times its size on CPython (input, output, bytes
    object). PyPy needs five (it copies the input into C memory and the
    bytes object out of it), and may keep a C copy of the list's items while
    the list lives, so its probes are smaller; a failed call that kept its
    partial output leaves room for neither."""
    return pypy_mib if PYPY else cpython_mib


def run_child(source, *arguments):
    """Runs a child interpreter; its output lines. Skips where the child
    found the address-space limit ignored (as under QEMU's emulation of
    another architecture)."""
    environment = dict(os.environ)
    if "libasan" in environment.get("LD_PRELOAD", ""):
        options = [environment.get("ASAN_OPTIONS", ""), "allocator_may_return_null=1", "quarantine_size_mb=0"]
        environment["ASAN_OPTIONS"] = ":".join(option for option in options if option)
    result = subprocess.run(
        [sys.executable, "-c", source, *map(str, arguments)], capture_output=True, text=True, env=environment,
        timeout=300,
    )
    assert result.returncode == 0, f"exit status {result.returncode}\n{result.stderr}"
    if "limit ignored" in result.stdout.splitlines():
        pytest.skip("the address-space limit is ignored here")
    return result.stdout.splitlines()


def run_limited(item_mib, count, room_mib, probe_mib):
    return run_child(CHILD, item_mib, count, room_mib, probe_mib)


def expected_lines(outcome):
    return [
        "small before: 9f016161f94100ff",
        f"all items: {outcome}",
        f"all items, definite: {outcome}",
        "small after: 9f016161f94100ff",
        "probe: True",
        f"again: {outcome}",
        "small at the end: a1616b81f6",
    ]


def test_output_larger_than_the_address_space_left():
    """8 x 64 MiB of input, 512 MiB of output, 200 MiB of room: the codec's
    output buffer cannot grow past the third item. A 60 MiB probe needs
    180 MiB."""
    assert run_limited(64, 8, 200, probe_mib(60, 30)) == expected_lines("MemoryError: ")


def test_room_for_the_output_but_not_for_its_bytes_object():
    """One 256 MiB item, 352 MiB of room: the output buffer fits, the bytes
    object that would copy it does not. A 100 MiB probe needs 300 MiB."""
    lines = run_limited(256, 1, 352, probe_mib(100, 15))
    # Which allocation fails first depends on how realloc grows a large
    # block: in place (glibc's mremap) or by a copy (AddressSanitizer).
    outcomes = ("RuntimeError: Could not allocate bytes object!", "MemoryError: ")
    for line, expected in zip(lines, expected_lines("either")):
        if expected.endswith(": either"):
            assert line.partition(": ")[2] in outcomes, line
        else:
            assert line == expected
    assert len(lines) == len(expected_lines("either"))


TEXT_CHILD = textwrap.dedent(
    """
    import resource
    import orvantile_cbor

    MiB = 1 << 20
    # 64 MiB of latin-1 each, 128 MiB of UTF-8; one object per call, since a
    # str that PyPy failed to hand to C stays unusable in C
    texts = ["\u00e9" * (64 * MiB) for _ in range(3)]
    with open("/proc/self/statm") as statm:
        limit = int(statm.read().split()[0]) * resource.getpagesize() + 100 * MiB
    resource.setrlimit(resource.RLIMIT_AS, (limit, resource.getrlimit(resource.RLIMIT_AS)[1]))
    if resource.getrlimit(resource.RLIMIT_AS)[0] != limit:
        print("limit ignored")
        raise SystemExit
    for value in (texts[0], [texts[1]], {"k": texts[2]}):
        try:
            orvantile_cbor.dumps(value)
        except Exception as error:
            print(type(error).__name__, error)
    print(orvantile_cbor.dumps(["\u00e9"]).hex())
    """
)


def test_text_whose_utf8_form_does_not_fit():
    assert run_child(TEXT_CHILD) == ["MemoryError "] * 3 + ["9f62c3a9ff"]
