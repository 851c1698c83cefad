"""Float widths against a struct-based reference: every half bit pattern,
and random doubles and singles (ORVANTILE_FLOAT_SAMPLES of each, 100,000 by
default; `make test-floats-long` runs a million)."""

import os
import random
import struct

from float_reference import expected_float_bytes
from orvantile_cbor import dumps

SAMPLES = int(os.environ.get("ORVANTILE_FLOAT_SAMPLES", "100000"))


def mismatches(values):
    wrong = [(x, dumps(x).hex()) for x in values if dumps(x) != expected_float_bytes(x)]
    return wrong[:10]


def test_every_half_bit_pattern():
    halves = [struct.unpack(">e", bits.to_bytes(2, "big"))[0] for bits in range(1 << 16)]
    assert mismatches(halves) == []


def test_random_doubles():
    generator = random.Random(0xD0B1E)
    doubles = (struct.unpack(">d", generator.getrandbits(64).to_bytes(8, "big"))[0] for _ in range(SAMPLES))
    assert mismatches(doubles) == []


def test_random_singles():
    generator = random.Random(0x5119)
    singles = (struct.unpack(">f", generator.getrandbits(32).to_bytes(4, "big"))[0] for _ in range(SAMPLES))
    assert mismatches(singles) == []
