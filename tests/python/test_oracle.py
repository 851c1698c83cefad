"""Property tests: whatever dumps writes, an independent decoder (cbor2)
reads back as the value that was given, as exactly one data item; and a
short run of the byte-for-byte comparison with the reference encoder."""

import math
import subprocess
import sys
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from cbor_oracle import decode_one, normal
from float_reference import expected_float_bytes
from orvantile_cbor import dumps

examples = settings(max_examples=250, deadline=None, suppress_health_check=[HealthCheck.too_slow])

INT64_MIN = -(2**63)
UINT64_MAX = 2**64 - 1

integers = st.one_of(
    st.integers(INT64_MIN, UINT64_MAX),
    st.sampled_from([0, 23, 24, 255, 256, 65535, 65536, 2**32 - 1, 2**32, UINT64_MAX, -1, -24, -25, -256, -257, INT64_MIN]),
)
floats = st.one_of(
    st.floats(),
    st.floats(width=16),
    st.floats(width=32),
    st.sampled_from([0.0, -0.0, 2.0**-14, 2.0**-24, 65504.0, 65505.0, 2.0**-149, 1e300]),
)
scalars = st.one_of(st.none(), st.booleans(), integers, floats, st.text(), st.binary())
hashable_scalars = st.one_of(
    st.none(), st.booleans(), integers, floats.filter(lambda x: not math.isnan(x)), st.text(), st.binary()
)
keys = st.recursive(hashable_scalars, lambda inner: st.lists(inner, max_size=3).map(tuple), max_leaves=6)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=6),
        st.lists(inner, max_size=6).map(tuple),
        st.dictionaries(keys, inner, max_size=6),
    ),
    max_leaves=30,
)


def element_depth(value):
    """The deepest element level of `value`: an element of a container at
    level d is at level d + 1; a key and its value share a level."""
    if isinstance(value, (list, tuple)):
        return max((1 + element_depth(item) for item in value), default=0)
    if isinstance(value, dict):
        return max((1 + max(element_depth(k), element_depth(v)) for k, v in value.items()), default=0)
    return 0


@examples
@given(values, st.booleans())
def test_round_trip(value, indefinite):
    data = dumps(value, indefinite)
    assert normal(decode_one(data)) == normal(value)
    assert dumps(value, indefinite, 10**9) == data
    assert dumps(value, indefinite, UINT64_MAX) == data


@examples
@given(values)
def test_modes_differ_only_in_container_framing(value):
    indefinite = decode_one(dumps(value, True))
    definite = decode_one(dumps(value, False))
    assert normal(indefinite) == normal(definite)
    if not isinstance(value, (list, tuple, dict)):
        assert dumps(value, True) == dumps(value, False)


@examples
@given(values, st.booleans())
def test_depth_limit_is_the_deepest_element_level(value, indefinite):
    depth = element_depth(value)
    expected = dumps(value, indefinite)
    assert dumps(value, indefinite, max(depth, 1)) == expected
    if depth > 1:
        try:
            dumps(value, indefinite, depth - 1)
        except RuntimeError as error:
            assert str(error) == f"Exceeded recursion limit:{depth - 1}"
        else:
            raise AssertionError("the depth limit was not enforced")


@examples
@given(floats)
def test_float_width_is_the_shortest_exact_one(x):
    data = dumps(x)
    assert data == expected_float_bytes(x)
    decoded = decode_one(data)
    if math.isnan(x):
        assert math.isnan(decoded)
    else:
        assert decoded == x
        assert math.copysign(1.0, decoded) == math.copysign(1.0, x)


@examples
@given(integers)
def test_integer_head_is_the_shortest(n):
    data = dumps(n)
    argument = n if n >= 0 else -1 - n
    assert data[0] >> 5 == (0 if n >= 0 else 1)
    size = 0 if argument < 24 else 1 if argument < 2**8 else 2 if argument < 2**16 else 4 if argument < 2**32 else 8
    assert len(data) == 1 + size
    assert decode_one(data) == n


@examples
@given(st.one_of(st.integers(max_value=INT64_MIN - 1), st.integers(min_value=UINT64_MAX + 1)))
def test_integers_outside_64_bits_are_refused(n):
    try:
        dumps([n])
    except RuntimeError as error:
        text = str(error)
    else:
        raise AssertionError("no error")
    assert text == "dumps received an integer out of range for both int64_t and uint64_t" + str(n)[:40]


def test_bytes_equal_the_reference_encoders():
    """A short, seeded run of the byte-for-byte check against the reference
    encoder of tests/fuzz (`make fuzz` runs a million values)."""
    properties = Path(__file__).resolve().parents[1] / "fuzz" / "properties.py"
    result = subprocess.run([sys.executable, str(properties), "--values", "2000", "--jobs", "1", "--seed", "0"],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "random: 2,000 generated values checked" in result.stdout
