"""Byte-for-byte comparison of two builds of orvantile_cbor.

Builds the module as it was at a baseline commit and as it is in the work
tree, then runs the same calls in one child process per build: every
benchmark data set, and values that hypothesis generates (with a fixed seed,
so both children see the same ones) in all four encoder modes. Each call's
outcome is its output (compared by length and SHA-256 digest), or the type
and text of the exception it raised, together with the Python hooks that
ran, in their order. Then a float sweep, one call per float, compared byte
for byte: every half-precision bit pattern with its neighbouring doubles
and singles, random singles and doubles, subnormals, NaN payloads, the
zeros and infinities, and the half and single boundaries with their
neighbours. Any difference is printed, and the exit status is 1.

    .venv/bin/python benchmarks/compare_builds.py --baseline <commit>
"""

import argparse
import hashlib
import math
import pickle
import random
import re
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import builds
import datasets

MODES = [(True, 0), (False, 0), (True, 10**6), (False, 10**6)]
BUILD_DIR = builds.REPO / "build" / "compare"

# Hooks append what they were asked to the log of the call that runs them.
hook_log = []


class Hooked:
    """Holds a payload that one conversion hook hands out and logs."""

    def __init__(self, payload):
        self.payload = payload

    def hand_out(self):
        hook_log.append((type(self).__name__, self.payload))
        return self.payload

    def __repr__(self):
        return f"{type(self).__name__}({self.payload!r})"


class Index(Hooked):
    __index__ = Hooked.hand_out


class Truth(Hooked):
    __bool__ = Hooked.hand_out


class IntOnly(Hooked):
    __int__ = Hooked.hand_out


class LoggedInt(int):
    """An int subclass whose comparison and text are logged; `honest` says
    whether it equals the plain int of its own value."""

    def __new__(cls, number, honest):
        self = int.__new__(cls, number)
        self.honest = honest
        return self

    def __eq__(self, other):
        hook_log.append(("eq", int(self), self.honest))
        return int.__eq__(self, other) if self.honest else False

    __hash__ = int.__hash__

    def __str__(self):
        hook_log.append(("str", int(self)))
        return f"logged {int(self)}"


class Real(float):
    pass


class Text(str):
    pass


class Blob(bytes):
    pass


class Items(list):
    pass


class Row(tuple):
    pass


class Mapping(dict):
    pass


def strategies():
    """Values that encode, and values with something in them that raises."""
    from hypothesis import strategies as st

    in_range = st.one_of(
        st.integers(-(2**63), 2**64 - 1),
        st.sampled_from([0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, 2**64 - 1, -(2**63)]),
    )
    floats = st.one_of(st.floats(), st.floats(width=16), st.floats(width=32))
    writable = st.one_of(
        st.none(), st.booleans(), in_range, floats, st.text(), st.binary(),
        in_range.map(Index),
        st.booleans().map(Truth),
        in_range.map(IntOnly),
        st.builds(LoggedInt, in_range, st.just(True)),
        floats.map(Real),
        st.text().map(Text),
        st.binary().map(Blob),
    )
    failing = st.one_of(
        st.one_of(st.integers(min_value=2**64), st.integers(max_value=-(2**63) - 1)),
        st.builds(LoggedInt, st.integers(), st.booleans()),
        st.integers().map(Index),
        st.text(st.characters(min_codepoint=0xD7F0, max_codepoint=0xE010), min_size=1),
        st.binary().map(bytearray),
        st.sampled_from([set(), object(), 1j]),
    )

    def nested(scalars):
        keys = st.one_of(st.none(), st.booleans(), in_range, st.text(), st.binary(), st.tuples(in_range, st.text()))
        return st.recursive(
            scalars,
            lambda inner: st.one_of(
                st.lists(inner, max_size=6),
                st.lists(inner, max_size=6).map(tuple),
                st.dictionaries(keys, inner, max_size=6),
                st.lists(inner, max_size=4).map(Items),
                st.lists(inner, max_size=4).map(Row),
                st.dictionaries(keys, inner, max_size=4).map(Mapping),
            ),
            max_leaves=25,
        )

    return st.one_of(nested(writable), nested(st.one_of(writable, failing)))


def clearing_list():
    items = [1, None, "x"]
    items[1] = type("Clearing", (), {"__index__": lambda self: (hook_log.append("clear"), items.clear(), 5)[2]})()
    return items


def replacing_value():
    mapping = {"a": None, "b": "old"}
    mapping["a"] = type("Replacing", (), {"__index__": lambda self: (mapping.__setitem__("b", [1.5]), 5)[1]})()
    return mapping


def self_containing():
    items = [1]
    items.append(items)
    return items


HAND_WRITTEN = {"clearing_list": clearing_list, "replacing_value": replacing_value, "self_containing": self_containing}


def float_sweep():
    """The floats of the sweep, the same list in every process."""

    def half(bits):
        return struct.unpack(">e", struct.pack(">H", bits))[0]

    def single(bits):
        return struct.unpack(">f", struct.pack(">I", bits & 0xFFFFFFFF))[0]

    def double(bits):
        return struct.unpack(">d", struct.pack(">Q", bits & 0xFFFFFFFFFFFFFFFF))[0]

    def single_bits(x):
        return struct.unpack(">I", struct.pack(">f", x))[0]

    def with_neighbours(x):
        """x, the doubles next to it, and the singles next to it when it is one."""
        found = [x]
        if math.isfinite(x):
            found += [math.nextafter(x, -math.inf), math.nextafter(x, math.inf)]
            if abs(x) <= 3.4028234663852886e38 and float(struct.unpack(">f", struct.pack(">f", x))[0]) == x:
                found += [single(single_bits(x) - 1), single(single_bits(x) + 1)]
        return [value for value in found if not math.isnan(value) or math.isnan(x)]

    generator = random.Random(29)
    values = []
    for bits in range(0x10000):
        values += with_neighbours(half(bits))
    values += [double(generator.getrandbits(64)) for _ in range(100_000)]
    values += [single(generator.getrandbits(32)) for _ in range(100_000)]
    values += [double(generator.getrandbits(52) | sign) for _ in range(10_000) for sign in (0, 1 << 63)]
    values += [single(generator.getrandbits(23) | sign) for _ in range(10_000) for sign in (0, 1 << 31)]
    values += [double(0x7FF0000000000000 | generator.getrandbits(52) | sign) for _ in range(1_000)
               for sign in (0, 1 << 63)]
    values += [single(0x7F800000 | generator.getrandbits(23) | sign) for _ in range(1_000) for sign in (0, 1 << 31)]
    boundaries = [0.0, -0.0, math.inf, -math.inf, 65504.0, 65505.0, 65519.0, 65520.0, 65536.0, 2.0**-14, 2.0**-15,
                  2.0**-24, 2.0**-25, 1023 * 2.0**-24, 2.0**-126, 2.0**-127, 2.0**-149, 2.0**-150, 16777216.0,
                  16777217.0, 3.4028234663852886e38, 3.4028235677973366e38, 1.7976931348623157e308, 5e-324, 2.0**-1022]
    for x in boundaries:
        values += with_neighbours(x) + with_neighbours(-x)
    return values


def outcome(dumps, value, indefinite, max_depth):
    hook_log.clear()
    try:
        data = dumps(value, indefinite, max_depth)
        result = ("ok", len(data), hashlib.sha256(data).hexdigest())
    except Exception as error:
        # Default reprs in "Invoked with: ..." carry addresses that differ between processes.
        result = (type(error).__name__, re.sub(r" at 0x[0-9a-fA-F]+", " at 0x?", str(error)))
    return result + (tuple(hook_log),)


def run_build(module_dir, output, examples):
    """Child process: every outcome of the build in module_dir, pickled into output."""
    sys.path.insert(0, str(module_dir))
    import orvantile_cbor
    from hypothesis import HealthCheck, given, settings

    dumps = orvantile_cbor.dumps
    outcomes = []
    for name in datasets.available():
        value = datasets.make(name)
        outcomes += [(name, mode, outcome(dumps, value, *mode)) for mode in MODES]
        del value
    for name, make in HAND_WRITTEN.items():
        outcomes += [(name, mode, outcome(dumps, make(), *mode)) for mode in MODES]

    @settings(max_examples=examples, derandomize=True, database=None, deadline=None,
              suppress_health_check=list(HealthCheck))
    @given(strategies())
    def generated(value):
        label = f"example {len(outcomes)}"
        outcomes.extend((label, mode, outcome(dumps, value, *mode)) for mode in MODES)

    generated()
    sweep = float_sweep()
    outcomes += [("float sweep in one list", mode, outcome(dumps, sweep, *mode)) for mode in MODES]
    floats = [dumps(x) for x in sweep]
    Path(output).write_bytes(pickle.dumps((outcomes, sweep, floats)))


def outcomes_of(module_dir, examples):
    with tempfile.NamedTemporaryFile(suffix=".pickle") as output:
        subprocess.run(
            [sys.executable, __file__, "--run", str(module_dir), "--output", output.name, "--examples", str(examples)],
            check=True,
        )
        return pickle.loads(Path(output.name).read_bytes())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--baseline", default="HEAD", help="commit whose build is the reference (default HEAD)")
    parser.add_argument("--examples", type=int, default=3000, help="hypothesis examples (default 3000)")
    parser.add_argument("--run", help=argparse.SUPPRESS)
    parser.add_argument("--output", help=argparse.SUPPRESS)
    arguments = parser.parse_args()
    if arguments.run:
        run_build(arguments.run, arguments.output, arguments.examples)
        return 0

    baseline = builds.build_commit(arguments.baseline, BUILD_DIR / "baseline")
    candidate = builds.build_module(builds.REPO, BUILD_DIR / "work-tree")
    expected, sweep, expected_floats = outcomes_of(baseline, arguments.examples)
    actual, _, actual_floats = outcomes_of(candidate, arguments.examples)
    differences = [(old, new) for old, new in zip(expected, actual) if old != new]
    if len(expected) != len(actual):
        differences.append((f"{len(expected)} calls", f"{len(actual)} calls"))
    differences += [(f"{x!r} ({struct.pack('>d', x).hex()}): {old.hex()}", new.hex())
                    for x, old, new in zip(sweep, expected_floats, actual_floats) if old != new]
    if len(expected_floats) != len(actual_floats):
        differences.append((f"{len(expected_floats)} floats", f"{len(actual_floats)} floats"))
    errors = sum(1 for _, _, result in expected if result[0] != "ok")
    hooks = sum(1 for _, _, result in expected if result[-1])
    print(f"{len(expected)} calls ({errors} raising, {hooks} running hooks) and a sweep of {len(sweep)} floats, "
          f"one call each, against {arguments.baseline}: {len(differences)} differences")
    for old, new in differences[:20]:
        print(f"  baseline:  {old}\n  work tree: {new}")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
