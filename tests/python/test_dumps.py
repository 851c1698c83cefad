"""Byte-exact output of dumps for every kind of value, in both container modes."""

import collections
import math
import platform
import struct

import pytest

from orvantile_cbor import dumps

MODES = [pytest.param(True, id="indefinite"), pytest.param(False, id="definite")]


def encode_hex(value, indefinite):
    return dumps(value, indefinite=indefinite).hex()


def case_id(value):
    text = value if isinstance(value, str) else repr(value)
    return text if len(text) <= 24 else text[:21] + "..."


# Values without containers: the container mode must not change their bytes.
SCALARS = [
    # simple values
    (None, "f6"),
    (True, "f5"),
    (False, "f4"),
    # unsigned integers at every head-width boundary
    (0, "00"),
    (1, "01"),
    (23, "17"),
    (24, "1818"),
    (255, "18ff"),
    (256, "190100"),
    (65535, "19ffff"),
    (65536, "1a00010000"),
    (2**32 - 1, "1affffffff"),
    (2**32, "1b0000000100000000"),
    (2**63 - 1, "1b7fffffffffffffff"),
    (2**63, "1b8000000000000000"),
    (2**64 - 1, "1bffffffffffffffff"),
    # negative integers at every head-width boundary
    (-1, "20"),
    (-24, "37"),
    (-25, "3818"),
    (-256, "38ff"),
    (-257, "390100"),
    (-65536, "39ffff"),
    (-65537, "3a00010000"),
    (-(2**32), "3affffffff"),
    (-(2**32) - 1, "3b0000000100000000"),
    (-(2**63), "3b7fffffffffffffff"),
    # byte strings, always definite
    (b"", "40"),
    (b"ab", "426162"),
    (b"\x00" * 23, "57" + "00" * 23),
    (b"\x01" * 24, "5818" + "01" * 24),
    (b"\xff" * 255, "58ff" + "ff" * 255),
    (b"\x02" * 256, "590100" + "02" * 256),
    (b"\x03" * 65536, "5a00010000" + "03" * 65536),
    # text strings, UTF-8, always definite
    ("", "60"),
    ("a", "6161"),
    ("\x00", "6100"),
    ("é", "62c3a9"),
    ("€", "63e282ac"),
    ("😀", "64f09f9880"),
    ("a" * 23, "77" + "61" * 23),
    ("b" * 24, "7818" + "62" * 24),
    ("c" * 256, "790100" + "63" * 256),
    ("é" * 12, "7818" + "c3a9" * 12),  # the head counts bytes, not characters
]


@pytest.mark.parametrize("indefinite", MODES)
@pytest.mark.parametrize("value, expected", SCALARS, ids=case_id)
def test_scalar(value, expected, indefinite):
    assert encode_hex(value, indefinite) == expected


# value, indefinite-length bytes, definite-length bytes
CONTAINERS = [
    ([], "9fff", "80"),
    ((), "9fff", "80"),
    ({}, "bfff", "a0"),
    ([1, 2], "9f0102ff", "820102"),
    ((1, "a"), "9f016161ff", "82016161"),
    ([None, True, False], "9ff6f5f4ff", "83f6f5f4"),
    ([b"ab", "é"], "9f42616262c3a9ff", "8242616262c3a9"),
    ([-1, 2**64 - 1], "9f201bffffffffffffffffff", "82201bffffffffffffffff"),
    # integers past one 30-bit digit, read from the int's digits inside a container
    ([2**30 - 1, 2**30, 2**31 - 1, 2**32, 2**62, 2**63 - 1],
     "9f1a3fffffff1a400000001a7fffffff1b00000001000000001b40000000000000001b7fffffffffffffffff",
     "861a3fffffff1a400000001a7fffffff1b00000001000000001b40000000000000001b7fffffffffffffff"),
    ([-(2**30), -(2**30) - 1, -(2**31) - 1, -(2**63)],
     "9f3a3fffffff3a400000003a800000003b7fffffffffffffffff", "843a3fffffff3a400000003a800000003b7fffffffffffffff"),
    ([0] * 23, "9f" + "00" * 23 + "ff", "97" + "00" * 23),
    ([0] * 24, "9f" + "00" * 24 + "ff", "9818" + "00" * 24),
    (tuple(range(24)), "9f" + bytes(range(24)).hex() + "ff", "9818" + bytes(range(24)).hex()),
    ((24, 25), "9f18181819ff", "8218181819"),
    ([None] * 256, "9f" + "f6" * 256 + "ff", "990100" + "f6" * 256),
    ({"a": 1}, "bf616101ff", "a1616101"),
    ({"b": 1, "a": 2}, "bf616201616102ff", "a2616201616102"),  # insertion order, not sorted
    ({1: "a", -1: b""}, "bf0161612040ff", "a20161612040"),
    ({None: [True, False]}, "bff69ff5f4ffff", "a1f682f5f4"),
    ({1.5: None}, "bff93e00f6ff", "a1f93e00f6"),
    ({(1, 2): 3}, "bf9f0102ff03ff", "a182010203"),
    ({((), (1,)): ()}, "bf9f9fff9f01ffff9fffff", "a18280810180"),
    ({b"k": {"j": {}}}, "bf416bbf616abfffffff", "a1416ba1616aa0"),
    (dict.fromkeys(range(24)), "bf" + "".join(f"{i:02x}f6" for i in range(24)) + "ff",
     "b818" + "".join(f"{i:02x}f6" for i in range(24))),
    ([[]], "9f9fffff", "8180"),
    ([[1, [2]], {}], "9f9f019f02ffffbfffff", "8282018102a0"),
    ([{"a": [()]}], "9fbf61619f9fffffffff", "81a161618180"),
    (((((None,),),),), "9f9f9f9ff6ffffffff", "81818181f6"),
    ({"a": [1, "x"]}, "bf61619f016178ffff", "a1616182016178"),
]


@pytest.mark.parametrize("value, indefinite_hex, definite_hex", CONTAINERS, ids=case_id)
def test_container(value, indefinite_hex, definite_hex):
    assert encode_hex(value, True) == indefinite_hex
    assert encode_hex(value, False) == definite_hex


def test_indefinite_is_the_default():
    assert dumps([1, {}]) == dumps([1, {}], indefinite=True) == bytes.fromhex("9f01bfffff")


def test_documented_examples():
    assert dumps({"a": [1, "x"]}).hex() == "bf61619f016178ffff"
    assert dumps({"a": [1, 2.5]}) == bytes.fromhex("BF616 19F01F94100FFFF".replace(" ", ""))


def double_from_bits(bits):
    return struct.unpack(">d", struct.pack(">Q", bits))[0]


FLOATS = [
    # half precision
    (0.0, "f90000"),
    (-0.0, "f98000"),
    (1.0, "f93c00"),
    (1.5, "f93e00"),
    (-2.0, "f9c000"),
    (0.5, "f93800"),
    (2.5, "f94100"),
    (65504.0, "f97bff"),
    (-65504.0, "f9fbff"),
    (2048.0, "f96800"),
    (2050.0, "f96801"),
    (2.0**-14, "f90400"),
    # single precision
    (65505.0, "fa477fe100"),
    (65520.0, "fa477ff000"),
    (65536.0, "fa47800000"),
    (100000.0, "fa47c35000"),
    (2049.0, "fa45001000"),  # 12 significant bits
    (2.0**-15, "fa38000000"),
    (2.0**-24, "fa33800000"),  # never the subnormal half f90001
    (1023 * 2.0**-24, "fa387fc000"),
    (2.0**-149, "fa00000001"),
    (2.0**-126, "fa00800000"),
    (16777216.0, "fa4b800000"),
    (3.4028234663852886e38, "fa7f7fffff"),
    (-3.4028234663852886e38, "faff7fffff"),
    # double precision
    (16777217.0, "fb4170000010000000"),
    (0.1, "fb3fb999999999999a"),
    (1e300, "fb7e37e43c8800759c"),
    (1e-300, "fb01a56e1fc2f8f359"),
    (float.fromhex("0x1.0000000000001p0"), "fb3ff0000000000001"),
    (5e-324, "fb0000000000000001"),
    (3.4028235677973366e38, "fb47effffff0000000"),  # rounds to infinity as a single
    (1e39, "fb48078287f49c4a1d"),
    (1.7976931348623157e308, "fb7fefffffffffffff"),
    # fixed forms
    (math.nan, "f97e00"),
    (-math.nan, "f97e00"),
    (double_from_bits(0x7FF0000000000001), "f97e00"),  # signalling payload
    (double_from_bits(0xFFF8DEADBEEF0000), "f97e00"),
    (math.inf, "f97c00"),
    (-math.inf, "f9fc00"),
]


class Real(float):
    pass


@pytest.mark.parametrize("indefinite", MODES)
@pytest.mark.parametrize("value, expected", FLOATS, ids=case_id)
def test_float(value, expected, indefinite):
    assert encode_hex(value, indefinite) == expected
    assert encode_hex(Real(value), indefinite) == expected


@pytest.mark.parametrize("value, expected", FLOATS, ids=case_id)
def test_float_inside_containers(value, expected):
    assert encode_hex([value, {"f": value}], True) == f"9f{expected}bf6166{expected}ffff"
    assert encode_hex([value, {"f": value}], False) == f"82{expected}a16166{expected}"


class Items(list):
    def __iter__(self):
        return iter([9, 9, 9])

    def __getitem__(self, index):
        return 9

    def __len__(self):
        return 3


class Pairs(dict):
    def __iter__(self):
        return iter(["z"])

    def keys(self):
        return ["z"]

    def items(self):
        return [("z", 9)]

    def __getitem__(self, key):
        return 9

    def __len__(self):
        return 1


class Row(tuple):
    def __iter__(self):
        return iter([9])


class Blob(bytes):
    def __bytes__(self):
        return b"zz"


class Text(str):
    def __str__(self):
        return "zz"


# PyPy's C API reads list and dict subclasses through their overrides.
CPYTHON_ONLY = pytest.mark.skipif(platform.python_implementation() == "PyPy", reason="PyPy honours the overrides")

Point = collections.namedtuple("Point", "x y")

# Subclasses of the built-in containers and strings are written from their
# own storage: overridden iteration, lookup and conversion hooks are ignored.
SUBCLASSES = [
    pytest.param(Items([1, 2]), "9f0102ff", "820102", marks=CPYTHON_ONLY),
    (Row((1, 2)), "9f0102ff", "820102"),
    (Point(1, 2), "9f0102ff", "820102"),
    pytest.param(Pairs(a=1), "bf616101ff", "a1616101", marks=CPYTHON_ONLY),
    (collections.OrderedDict([("b", 1), ("a", 2)]), "bf616201616102ff", "a2616201616102"),
    (collections.defaultdict(list, k=[]), "bf616b9fffff", "a1616b80"),
    (Blob(b"ab"), "426162", "426162"),
    (Text("ab"), "626162", "626162"),
    ([Blob(b""), Text("é"), Real(0.5)], "9f4062c3a9f93800ff", "834062c3a9f93800"),
]


@pytest.mark.parametrize("value, indefinite_hex, definite_hex", SUBCLASSES, ids=case_id)
def test_subclass(value, indefinite_hex, definite_hex):
    assert encode_hex(value, True) == indefinite_hex
    assert encode_hex(value, False) == definite_hex


def test_result_is_a_new_bytes_object():
    first = dumps([1, "a"])
    second = dumps([1, "a"])
    assert type(first) is bytes and type(second) is bytes
    assert first is not second
    assert first == second == bytes.fromhex("9f016161ff")
