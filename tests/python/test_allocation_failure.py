"""Every allocation of the codec made to fail in turn, in a test build of the
module: dumps either returns the right bytes (a float may come out wider but
exact, when one of its width candidates could not be made), or raises
MemoryError, or raises the very error it raises without the failure; the
next call works, and the inputs' reference counts are unchanged.

The default run sweeps a small set of values; ORVANTILE_ALLOCATION_SWEEP=long
(`make test-allocation-long`) sweeps a few hundred, and the test prints the
figures either way (shown with pytest -s)."""

import json
import os

import pytest

from module_builds import build_module, run_with_module

SWEEP = r"""
import gc, json, math, random, struct, sys
import cbor2
import orvantile_cbor

class Index:
    def __init__(self, number):
        self.number = number
    def __index__(self):
        return self.number

class Truth:
    def __bool__(self):
        return False

class RaisingIndex:
    def __index__(self):
        raise ValueError("no index")

class Clearing:
    def __init__(self, target):
        self.target = target
    def __index__(self):
        self.target.clear()
        return 1

def nest(levels, leaf):
    value = leaf
    for level in range(levels):
        value = [value] if level % 3 == 0 else (value,) if level % 3 == 1 else {"k": value}
    return value

class Fresh:
    # A value that a hook changes while it is written, made anew for every
    # call from parts that persist (and whose reference counts are watched).
    def __init__(self, make, *parts):
        self.make, self.parts = make, list(parts)
    def __repr__(self):
        return f"Fresh({self.make.__name__})"

def self_containing():
    value = [None]
    value.append(value)
    return value

def clearing_list(number, text):
    value = [number, text, None]
    value[2] = Clearing(value)
    return value

def clearing_dict(number, text):
    value = {text: number, "hook": None}
    value["hook"] = Clearing(value)
    return value

DEFAULT_VALUES = [
    0, 23, 2**64 - 1, -2**63, "", "text", "é" * 30, b"", b"\x00" * 300,
    0.0, 1.5, 65505.0, 0.1, float("nan"), float("-inf"),
    [1, [2.5, "x"], (b"y", None)],
    {"a": [1, 2.5], (1, 2): {"b": True}, 3: -1.0e300},
    [1.5, "x", 2**64],
    [0.1, bytearray(b"x")],
]

def long_values():
    ints = [0, 1, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1,
            -1, -24, -25, -256, -257, -65536, -65537, -2**32, -2**32 - 1, -2**63]
    texts = ["", "a", "é", "€", "😀", "a" * 23, "b" * 24, "c" * 255, "d" * 256, "é" * 200, "€😀" * 999,
             "x" * 70000]
    blobs = [b"", b"\x00", b"\x01" * 23, b"\x02" * 24, bytes(range(256)), b"\x03" * 65535, b"\x04" * 70000]
    floats = [0.0, -0.0, 1.0, -2.0, 1.5, 65504.0, 65505.0, 2.0**-14, 2.0**-24, 2.0**-149, 1023 * 2.0**-24,
              16777216.0, 16777217.0, 3.4028234663852886e38, 3.4028235677973366e38, 0.1, 1e300, 1e-300,
              5e-324, 1.7976931348623157e308, float("nan"), float("inf"), float("-inf")]
    containers = [
        [], (), {}, [[]], ((),), [{}], {"k": {}},
        list(range(40)), tuple(range(-20, 20)), [0.1 * i for i in range(40)],
        [2.0**-i for i in range(30)], ["s" * i for i in range(30)], [bytes([i]) * i for i in range(30)],
        {str(i): i for i in range(30)}, {i: [float(i), str(i)] for i in range(20)},
        {(1, (2, 3)): [None, True, False], 1.5: b"v", -7: "w", None: {}},
        [ints, texts[:9], blobs[:5], floats],
        {"ints": tuple(ints), "floats": floats[:12], "nested": {"a": [{"b": (1.5, "c")}]}},
        nest(20, 2.5), nest(60, "leaf"), nest(7, [1, {"x": (2.5, b"y")}]),
        [Index(5), Index(2**63), Index(-3), Truth(), [Index(2**64 - 1)]],
        {Index(7): Truth(), "k": Index(-2**63)},
        [[[[[[[[[[1]]]]]]]]]],
    ]
    errors = [
        [1.5, "x", 2**64], {"a": 0.1, "b": -2**63 - 1}, {2**70: 1}, [0.5, bytearray(b"x")],
        ["ok", "a\ud800b"], {"k": [1, 2.5, "\udfff"]}, [0.1, RaisingIndex()], self_containing(),
        Fresh(clearing_list, 0.25, "".join(["te", "xt"])), Fresh(clearing_dict, 2**40, "".join(["ke", "y"])),
        [0.25, {1, 2}], nest(12, [1.5, 2**65]),
    ]
    large = [[float(i) / 7 for i in range(200)], {str(i): [i, -i, b"b" * (i % 30)] for i in range(150)}]
    generator = random.Random(6)
    def random_value(levels):
        pick = generator.randrange(9 if levels else 6)
        if pick == 0:
            return generator.randrange(-2**63, 2**64)
        if pick == 1:
            return struct.unpack(">d", generator.getrandbits(64).to_bytes(8, "big"))[0]
        if pick == 2:
            return generator.choice([0.5, 65504.0, 2.0**-24, 1e39, -0.0])
        if pick == 3:
            return "".join(chr(generator.choice([97, 233, 8364, 128512])) for _ in range(generator.randrange(30)))
        if pick == 4:
            return generator.randbytes(generator.randrange(40))
        if pick == 5:
            return generator.choice([None, True, False])
        items = [random_value(levels - 1) for _ in range(generator.randrange(6))]
        if pick == 6:
            return items
        if pick == 7:
            return tuple(items)
        return {generator.randrange(-1000, 1000) if i % 2 else str(i): item for i, item in enumerate(items)}
    randoms = [random_value(4) for _ in range(60)]
    return ints + texts + blobs + floats + containers + errors + large + randoms

def normal(value):
    # Same CBOR content: floats by their bits, arrays as lists, maps in order.
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else struct.pack(">d", value))
    if isinstance(value, (list, tuple)):
        return ("array", [normal(item) for item in value])
    if isinstance(value, dict):
        return ("map", [(normal(key), normal(item)) for key, item in value.items()])
    return (type(value).__name__, value)

def float_at(data, index):
    # (width, value) of the float whose head is at index, or None.
    width = {0xF9: 2, 0xFA: 4, 0xFB: 8}.get(data[index])
    if width is None:
        return None
    return width, struct.unpack({2: ">e", 4: ">f", 8: ">d"}[width], data[index + 1:index + 1 + width])[0]

def item_end(data, index):
    # End of the head (and, for a string, the payload) that starts at index.
    major, info = data[index] >> 5, data[index] & 31
    width = {24: 1, 25: 2, 26: 4, 27: 8}.get(info, 0)
    argument = int.from_bytes(data[index + 1:index + 1 + width], "big") if width else info
    return index + 1 + width + (argument if major in (2, 3) and info != 31 else 0)

def same_but_wider_floats(written, expected):
    # Byte for byte the same items, but for floats written in a wider
    # width that holds the very same value.
    i = j = 0
    while i < len(written) and j < len(expected):
        found, wanted = float_at(written, i), float_at(expected, j)
        if wanted is not None:
            if found is None or found[0] < wanted[0]:
                return False
            if not (math.isnan(found[1]) and math.isnan(wanted[1])) and (
                    found[1] != wanted[1] or math.copysign(1, found[1]) != math.copysign(1, wanted[1])):
                return False
            i, j = i + 1 + found[0], j + 1 + wanted[0]
            continue
        end_written, end_expected = item_end(written, i), item_end(expected, j)
        if found is not None or written[i:end_written] != expected[j:end_expected]:
            return False
        i, j = end_written, end_expected
    return i == len(written) and j == len(expected)

def watched(value, found):
    # Objects reachable from value whose reference count is theirs alone:
    # no cached small ints, single characters or singletons.
    if id(value) in found:
        return
    if value is None or isinstance(value, bool) or value == ():
        return
    if type(value) is int and -5 <= value <= 256:
        return
    if isinstance(value, (str, bytes)) and len(value) <= 1:
        return
    found[id(value)] = value
    if isinstance(value, (list, tuple)):
        for item in value:
            watched(item, found)
    elif isinstance(value, dict):
        for key, item in value.items():
            watched(key, found)
            watched(item, found)

def reference_counts(objects):
    # PyPy counts no references: nothing to compare there.
    return [sys.getrefcount(item) for item in objects] if hasattr(sys, "getrefcount") else []

def outcome(value, indefinite, max_depth):
    if isinstance(value, Fresh):
        value = value.make(*value.parts)
    try:
        return orvantile_cbor.dumps(value, indefinite, max_depth)
    except Exception as error:
        return (type(error).__name__, str(error))

values = long_values() if sys.argv[1] == "long" else DEFAULT_VALUES
modes = ((True, 0), (False, 0), (True, 10), (False, 10), (True, 2), (False, 2))
totals = {"values": len(values), "calls": 0, "allocation_sites_failed": 0, "memory_errors": 0,
          "exact": 0, "wider_float": 0, "same_error": 0, "unreached": 0, "wrong": [], "reference_leaks": []}
for value in values:
    found = {}
    watched(value.parts if isinstance(value, Fresh) else value, found)
    objects = list(found.values())
    del found
    for indefinite, max_depth in modes:
        expected = outcome(value, indefinite, max_depth)
        gc.collect()
        counts_before = reference_counts(objects)
        start = orvantile_cbor._allocation_count()
        assert outcome(value, indefinite, max_depth) == expected
        allocations = orvantile_cbor._allocation_count() - start
        totals["calls"] += 2
        for n in range(1, allocations + 1):
            orvantile_cbor._fail_allocation_at(n)
            start = orvantile_cbor._allocation_count()
            written = outcome(value, indefinite, max_depth)
            reached = orvantile_cbor._allocation_count() - start >= n
            orvantile_cbor._fail_allocation_at(0)
            totals["calls"] += 1
            totals["allocation_sites_failed"] += reached
            totals["unreached"] += not reached
            if written == ("MemoryError", ""):
                totals["memory_errors"] += 1
            elif written == expected:
                totals["exact" if isinstance(expected, bytes) else "same_error"] += 1
            elif (isinstance(written, bytes) and isinstance(expected, bytes)
                  and same_but_wider_floats(written, expected)
                  and normal(cbor2.loads(written)) == normal(cbor2.loads(expected))):
                totals["wider_float"] += 1
            else:
                totals["wrong"].append([repr(value)[:200], indefinite, max_depth, n, repr(written)[:200]])
            totals["calls"] += 1
            if outcome(value, indefinite, max_depth) != expected:
                totals["wrong"].append([repr(value)[:200], indefinite, max_depth, n, "next call differs"])
        gc.collect()
        counts_after = reference_counts(objects)
        if counts_after != counts_before:
            leaked = [(repr(item)[:60], a - b) for item, a, b in zip(objects, counts_after, counts_before) if a != b]
            totals["reference_leaks"].append([repr(value)[:200], indefinite, max_depth, leaked])
print(json.dumps(totals))
"""

SWEEP_SET = os.environ.get("ORVANTILE_ALLOCATION_SWEEP", "default")


@pytest.fixture(scope="module")
def module_with_allocation_hooks(tmp_path_factory):
    return build_module(tmp_path_factory, ORVANTILE_ALLOCATION_HOOKS="ON")


def test_every_failed_allocation_raises_memory_error_or_writes_the_value(module_with_allocation_hooks):
    result = run_with_module(module_with_allocation_hooks, SWEEP, SWEEP_SET)
    assert result.returncode == 0, result.stderr
    totals = json.loads(result.stdout)
    print(
        f"\nallocation sweep ({SWEEP_SET}): {totals['values']} values x 6 modes, {totals['calls']} calls made, "
        f"{totals['allocation_sites_failed']} allocation sites failed, {totals['memory_errors']} MemoryErrors, "
        f"{totals['exact']} exact results, {totals['wider_float']} wider-but-exact floats, "
        f"{totals['same_error']} same errors, {len(totals['wrong'])} wrong results, "
        f"{len(totals['reference_leaks'])} reference leaks"
    )
    assert totals["wrong"] == []
    assert totals["reference_leaks"] == []
    assert totals["unreached"] == 0
    assert totals["memory_errors"] > 0
    assert totals["allocation_sites_failed"] == (
        totals["memory_errors"] + totals["exact"] + totals["wider_float"] + totals["same_error"]
    )
