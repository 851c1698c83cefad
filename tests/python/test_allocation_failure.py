"""Every allocation of the codec made to fail in turn, in a test build of the
module: dumps either returns the right bytes or raises MemoryError, and the
next call works."""

import json

import pytest

from module_builds import build_module, run_with_module

SWEEP = r"""
import json, math
import cbor2
import orvantile_cbor

VALUES = [
    0, 23, 2**64 - 1, -2**63, "", "text", "é" * 30, b"", b"\x00" * 300,
    0.0, 1.5, 65505.0, 0.1, float("nan"), float("-inf"),
    [1, [2.5, "x"], (b"y", None)],
    {"a": [1, 2.5], (1, 2): {"b": True}, 3: -1.0e300},
]

def same_value(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b or (math.isnan(a) and math.isnan(b))
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(map(same_value, a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same_value(a[k], b[k]) for k in a)
    return a == b

totals = {"calls": 0, "memory_errors": 0, "exact": 0, "wider_float": 0, "wrong": []}
for value in VALUES:
    for indefinite, max_depth in ((True, 0), (False, 0), (True, 10), (False, 10)):
        expected = orvantile_cbor.dumps(value, indefinite, max_depth)
        start = orvantile_cbor._allocation_count()
        orvantile_cbor.dumps(value, indefinite, max_depth)
        allocations = orvantile_cbor._allocation_count() - start
        for n in range(1, allocations + 1):
            orvantile_cbor._fail_allocation_at(n)
            totals["calls"] += 1
            try:
                written = orvantile_cbor.dumps(value, indefinite, max_depth)
            except MemoryError:
                totals["memory_errors"] += 1
            else:
                if written == expected:
                    totals["exact"] += 1
                elif same_value(cbor2.loads(written), cbor2.loads(expected)):
                    totals["wider_float"] += 1
                else:
                    totals["wrong"].append([repr(value), n, written.hex()])
            orvantile_cbor._fail_allocation_at(0)
            assert orvantile_cbor.dumps(value, indefinite, max_depth) == expected
print(json.dumps(totals))
"""


@pytest.fixture(scope="module")
def module_with_allocation_hooks(tmp_path_factory):
    return build_module(tmp_path_factory, ORVANTILE_ALLOCATION_HOOKS="ON")


def test_every_failed_allocation_raises_memory_error_or_writes_the_value(module_with_allocation_hooks):
    result = run_with_module(module_with_allocation_hooks, SWEEP)
    assert result.returncode == 0, result.stderr
    totals = json.loads(result.stdout)
    assert totals["wrong"] == []
    assert totals["memory_errors"] > 0
    assert totals["calls"] == totals["memory_errors"] + totals["exact"] + totals["wider_float"]
